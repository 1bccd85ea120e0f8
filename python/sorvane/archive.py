"""Archive objects: reading, extracting and updating one archive."""

from __future__ import annotations

import ctypes
import io
import os
import struct
import weakref
from ctypes import byref, c_int32, c_uint32

from . import _extract
from . import _native as _n
from .errors import BadNameError, Error, error_for, last_error

__all__ = ["Archive", "ArchiveInfo", "ArchiveFile", "ArchiveFacts", "VerifyResult", "open", "create",
           "INTERNAL_NAMES", "COMPRESSION_METHODS"]

# typing is imported by type checkers only: scripts that list an archive and
# end should not pay for it at start.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Union

    PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
    Name = Union[str, bytes, "ArchiveInfo"]
    Progress = Callable[[int], Any]

#: Names the library keeps for itself; extractall() leaves them out unless named.
INTERNAL_NAMES = ("(listfile)", "(attributes)", "(signature)")

#: compress= words and what they store: (block flags, method mask).
COMPRESSION_METHODS: Dict[str, tuple] = {
    "none": (0, 0),
    "implode": (_n.BLOCK_COMPRESSED, _n.COMP_IMPLODE),
    "implode-only": (_n.BLOCK_IMPLODED, _n.COMP_IMPLODE),
    "huffman": (_n.BLOCK_COMPRESSED, _n.COMP_HUFFMAN),
    "wave": (_n.BLOCK_COMPRESSED, _n.COMP_ADPCM_STEREO | _n.COMP_HUFFMAN),
    "zlib": (_n.BLOCK_COMPRESSED, _n.COMP_ZLIB),
    "bzip2": (_n.BLOCK_COMPRESSED, _n.COMP_BZIP2),
}

# ArchiveEntry as the platform's C compiler lays it out.
_ENTRY = struct.Struct("@11IP")
_DEFAULT_HASH_SIZE = 1024
# The most read() asks of the library at once.
_READ_PIECE = 16 << 20
_MAX_HASH_SIZE = 4194304
_FLAG_WORDS = ((_n.BLOCK_IMPLODED, "imploded"), (_n.BLOCK_COMPRESSED, "compressed"),
               (_n.BLOCK_ENCRYPTED, "encrypted"), (_n.BLOCK_KEY_ADJUSTED, "key-adjusted"),
               (_n.BLOCK_SINGLE_UNIT, "single-unit"), (_n.BLOCK_SECTOR_CRC, "sector-crc"))


class ArchiveInfo:
    """One stored entry (a hash-table entry in use), as ``infolist()`` gives it.

    ``filename`` is the stored name (``\\`` between folders) when a name list
    knows it, else ``"#"`` and the hash index, a form ``read()`` and
    ``open()`` take as well. Sizes follow zipfile's names: ``file_size`` is
    what reading gives, ``compress_size`` what the data takes in the
    archive."""

    __slots__ = ("filename", "hash_index", "locale", "name_known", "has_block", "block_index", "file_size",
                 "compress_size", "block_stored_size", "flags", "methods")

    filename: str
    hash_index: int
    locale: int
    name_known: bool
    has_block: bool
    block_index: int
    file_size: int
    compress_size: int
    block_stored_size: int
    flags: int
    methods: Optional[int]

    def __init__(self, filename: str, hash_index: int = 0, locale: int = 0, name_known: bool = True,
                 has_block: bool = True, block_index: int = 0, file_size: int = 0, compress_size: int = 0,
                 block_stored_size: int = 0, flags: int = 0, methods: Optional[int] = None):
        self.filename = filename
        self.hash_index = hash_index
        self.locale = locale
        self.name_known = name_known
        self.has_block = has_block
        self.block_index = block_index
        self.file_size = file_size
        self.compress_size = compress_size
        self.block_stored_size = block_stored_size
        self.flags = flags
        self.methods = methods

    @property
    def flag_words(self) -> List[str]:
        """The block flags as words ("compressed", "encrypted"...)."""
        return [word for bit, word in _FLAG_WORDS if self.flags & bit]

    @property
    def encrypted(self) -> bool:
        """Whether the data is enciphered."""
        return bool(self.flags & _n.BLOCK_ENCRYPTED)

    def is_dir(self) -> bool:
        """Always False: archives store files only (zipfile's habit)."""
        return False

    def __repr__(self) -> str:
        return "<ArchiveInfo %r locale=0x%04x size=%d stored=%d flags=0x%08x>" % (
            self.filename, self.locale, self.file_size, self.compress_size, self.flags)


class VerifyResult:
    """The outcome of verifying one entry: ``state`` is "whole", "damaged",
    "not checked" or "differs" (decodes, but not to what "(attributes)"
    records); ``reason``, ``error`` and ``sector`` say why."""

    __slots__ = ("info", "state", "reason", "error", "sector", "digests_differing")
    STATES = ("whole", "damaged", "not checked", "differs")
    REASONS = (None, "no block", "no key", "key needs name", "cannot open", "unreadable", "method missing", "digest")

    def __init__(self, info: ArchiveInfo, state: str, reason: Optional[str], error: int, sector: Optional[int],
                 digests_differing: int):
        self.info = info
        self.state = state
        self.reason = reason
        self.error = error
        self.sector = sector
        self.digests_differing = digests_differing

    @property
    def ok(self) -> bool:
        """True when the entry is whole."""
        return self.state == "whole"

    def __repr__(self) -> str:
        return "<VerifyResult %r %s%s>" % (self.info.filename, self.state,
                                           " (%s)" % self.reason if self.reason else "")


def _snake(name: str) -> str:
    import re
    return re.sub(r"(?<=[a-z0-9])([A-Z])", r"_\1", name).lower()


class ArchiveFacts:
    """An archive's header and table facts (``Archive.info()``): the
    library's record with its names in snake case (``format_version``,
    ``hash_table_entries``, ``hash_used``, ``dead_bytes``,
    ``attributes_present``...); ``signature`` is bytes."""

    def __init__(self, record: "_n.ArchiveFacts"):
        for field, _ in _n.ArchiveFacts._fields_:
            if field == "structSize":
                continue
            value = getattr(record, field)
            if field == "signature":
                value = bytes(value)
            setattr(self, _snake(field), value)

    def as_dict(self) -> Dict[str, Any]:
        """The facts as a plain dict."""
        return dict(vars(self))

    def __repr__(self) -> str:
        return "<ArchiveFacts %s>" % ", ".join("%s=%r" % kv for kv in vars(self).items())


def _fs(path: PathLike) -> bytes:
    return os.fsencode(os.path.abspath(os.fspath(path)))


def _stored(name: Union[str, bytes]) -> bytes:
    return _n.encode_name(name).replace(b"/", b"\\")


def _name_key(name: str) -> bytes:
    # One name whatever the case of its ASCII letters, as the archive's
    # hashes fold them; str.upper() would also join names the archive keeps
    # apart ("é" and "É", "straße" and "STRASSE").
    return _n.encode_name(name).upper()


_INTERNAL_KEYS = frozenset(name.encode().upper() for name in INTERNAL_NAMES)


def _check_name(raw: bytes) -> None:
    problem = _n.lib.CheckStoredName(raw)
    if problem != _n.NAME_FOLLOWS_RULE:
        raise BadNameError(problem, None, _n.decode_name(raw))


def _stored_name_for_path(path: str) -> str:
    # As the tool names what it adds: the path's components, without a drive,
    # "." or a leading separator; a path that climbs out has none.
    rest = path[2:] if len(path) >= 2 and path[1] == ":" else path
    parts = []
    for part in rest.replace("/", "\\").split("\\"):
        if part in ("", "."):
            continue
        if part == "..":
            raise BadNameError(4, "the path climbs out of its folder; give arcname=", path)
        parts.append(part)
    return "\\".join(parts)


def _method(compress: Union[str, int]) -> tuple:
    if isinstance(compress, str):
        try:
            return COMPRESSION_METHODS[compress]
        except KeyError:
            raise ValueError("compress=%r is none of %s or a method mask" % (compress, ", ".join(COMPRESSION_METHODS)))
    mask = int(compress)
    own = _n.COMP_HUFFMAN | _n.COMP_IMPLODE | _n.COMP_ADPCM_MONO | _n.COMP_ADPCM_STEREO
    usable = mask in (_n.COMP_ZLIB, _n.COMP_BZIP2) or (
        mask != 0 and mask & ~own == 0 and
        mask & (_n.COMP_ADPCM_MONO | _n.COMP_ADPCM_STEREO) != _n.COMP_ADPCM_MONO | _n.COMP_ADPCM_STEREO)
    if not usable:
        raise ValueError("compress=0x%x is no usable method mask (0x01, 0x08, 0x40, 0x80 together with one audio "
                         "bit at most; 0x02 or 0x10 alone)" % mask)
    return (_n.BLOCK_COMPRESSED, mask)


def _wave_mask(header: bytes) -> int:
    # A mono 16-bit PCM WAV is audio-coded with one channel.
    if len(header) >= 36 and header[22] | (header[23] << 8) == 1:
        return _n.COMP_ADPCM_MONO | _n.COMP_HUFFMAN
    return _n.COMP_ADPCM_STEREO | _n.COMP_HUFFMAN


def _read_names(listfile: Union[PathLike, Iterable[Union[str, bytes]], None]) -> List[bytes]:
    if listfile is None:
        return []
    if isinstance(listfile, (str, bytes, os.PathLike)):
        import re
        with io.open(os.fspath(listfile), "rb") as f:
            text = f.read()
        return [line for line in re.split(rb"[\r\n\x00]+", text) if line]
    return [_n.encode_name(name) for name in listfile]


class Archive:
    """An open archive. Made by :func:`open` and :func:`create`; a context
    manager (``with``) and closed by ``close()``.

    Reading: ``namelist()``, ``infolist()``, ``getinfo()``, ``read()``,
    ``open()``, ``extract()``, ``extractall()``, ``verify()``, ``info()``.
    Updating (mode "a"): ``add()``, ``writestr()``, ``delete()``,
    ``rename()``, ``set_locale()``, ``compact()``, ``resize()``. A ``with``
    block of an archive opened for update is one batch: its changes reach the
    file together when the block ends normally and not at all when it ends
    with an exception (``compact()`` and ``resize()`` commit what the block
    did before them). Outside a ``with`` block every update commits by
    itself.

    ``locale`` is this object's: names are looked up in it first (then in
    the neutral locale 0) and updates use it unless told otherwise; other
    archives and the process are not affected.

    Threads: one Archive is used by one thread at a time (file objects from
    ``open()`` each by one thread at a time, and may be read while other
    file objects of the same archive are read on other threads). Several
    archives may be used from several threads; calls into the library let go
    of the interpreter lock. Updates of all archives in the process take
    turns (the library's update side is one at a time).
    """

    def __init__(self, path: PathLike, mode: str = "r", *, listfile: Union[PathLike, Iterable[str], None] = None,
                 locale: int = 0, hash_size: Optional[int] = None, format: int = 0, attributes: bool = False,
                 overwrite: bool = False, reuse_dead_space: bool = False):
        if mode not in ("r", "a", "w", "x"):
            raise ValueError("mode must be 'r', 'a', 'w' or 'x', not %r" % (mode,))
        if format not in (0, 1):
            raise ValueError("format must be 0 or 1")
        size = _DEFAULT_HASH_SIZE if hash_size is None else int(hash_size)
        if not 1 <= size <= _MAX_HASH_SIZE:
            raise ValueError("hash_size must be between 1 and %d" % _MAX_HASH_SIZE)
        self.filename: str = os.fsdecode(os.fspath(path))
        self.mode = mode
        self.locale = int(locale)
        self._handle: Optional[int] = None
        self._files: "weakref.WeakSet[ArchiveFile]" = weakref.WeakSet()
        self._batch = False
        self._depth = 0
        self._progress_error: Optional[BaseException] = None
        raw = _fs(path)
        # The library finds no archive file at a folder's path: it is there,
        # and "missing" (FileNotFoundError) would mislead.
        if os.path.isdir(raw):
            raise Error(_n.ERROR_ACCESS_DENIED, "it is a folder, not an archive", self.filename)
        if mode == "r":
            handle = _n.ArchiveHandle()
            if not _n.lib.OpenArchive(raw, 0, 0, byref(handle)):
                raise last_error(self.filename, _n.ERR_NOT_ARCHIVE)[1]
            self._handle = handle.value
        else:
            exists = os.path.isfile(raw) and os.path.getsize(raw) != 0
            if exists and mode == "x" and not overwrite:
                raise error_for(_n.ERROR_FILE_EXISTS, self.filename)
            flags = _n.UPDATE_CREATE_ALWAYS if mode in ("w", "x") else _n.UPDATE_OPEN_ALWAYS
            # The library keeps the name list, once per commit.
            flags |= _n.UPDATE_KEEP_LISTFILE
            if format == 1:
                flags |= _n.UPDATE_FORMAT_1
            with _n.update_lock:
                handle = _n.lib.OpenArchiveWritable(raw, flags, size)
                if not _n.lib.IsUsableArchive(handle):
                    raise last_error(self.filename, _n.ERR_NOT_ARCHIVE)[1]
            self._handle = handle
            # A batch given up leaves every byte as it was unless the caller
            # lets batches fill dead space (smaller archives between
            # compactions).
            _n.lib.SetBatchesKeepFile(handle, not reuse_dead_space)
            if attributes and (not exists or mode != "a"):
                digests = _n.ATTRIBUTE_FILETIME | _n.lib.GetSupportedDigests()
                self._update(lambda: _n.lib.SetArchiveAttributes(self._handle, digests))
        self._names: List[bytes] = []
        try:
            self._names = _read_names(listfile)
            if self._names:
                array, count, _keep = _n.names_array(self._names)
                if not _n.lib.SetArchiveNameList(self._handle, array, count):
                    raise last_error(self.filename)[1]
        except BaseException:
            self.close()
            raise

    # ---- life ---------------------------------------------------------------------

    def __enter__(self) -> "Archive":
        self._depth += 1
        if self._depth == 1 and self.writable and not self._batch:
            self._check_open()
            with _n.update_lock:
                if not _n.lib.BeginArchiveUpdate(self._handle):
                    raise last_error(self.filename)[1]
            self._batch = True
        return self

    def __exit__(self, kind, value, traceback) -> None:
        self._depth -= 1
        if self._depth > 0:
            return
        try:
            if self._batch and self._handle is not None:
                self._batch = False
                with _n.update_lock:
                    if kind is not None:
                        _n.lib.AbandonArchiveUpdate(self._handle)
                    elif not _n.lib.CommitArchiveUpdate(self._handle):
                        raise last_error(self.filename)[1]
        finally:
            self.close()

    def close(self) -> None:
        """Closes the archive and every file object open on it. A batch still
        open (an update in a ``with`` block of another object) is abandoned."""
        if self._handle is None:
            return
        for f in list(self._files):
            f._detach()
        handle, self._handle = self._handle, None
        if self.mode == "r":
            _n.lib.CloseArchive(handle)
        else:
            with _n.update_lock:
                _n.lib.CloseWritableArchive(handle, 0)

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    @property
    def closed(self) -> bool:
        """Whether close() has been called."""
        return self._handle is None

    @property
    def writable(self) -> bool:
        """Whether the archive was opened for update."""
        return self.mode != "r"

    def __repr__(self) -> str:
        return "<sorvane.Archive %r mode=%r%s>" % (self.filename, self.mode, " closed" if self.closed else "")

    def _check_open(self) -> None:
        if self._handle is None:
            raise ValueError("the archive is closed")

    # ---- reading ------------------------------------------------------------------

    def infolist(self) -> List[ArchiveInfo]:
        """One ArchiveInfo per stored entry (every hash entry in use), in
        the order of the archive's hash table. Names come from the archive's
        name lists and the ``listfile`` given to open()."""
        self._check_open()
        array, count, _keep = _n.names_array(self._names)
        table = ctypes.POINTER(_n.ArchiveEntryTable)()
        if not _n.lib.CollectArchiveEntries(self._handle, array, count, byref(table)):
            raise last_error(self.filename)[1]
        try:
            t = table.contents
            if t.entrySize != _ENTRY.size:
                return self._infolist_one_by_one()
            records = ctypes.string_at(t.entries, t.count * t.entrySize) if t.count else b""
            names = ctypes.string_at(t.names, t.namesSize).split(b"\0") if t.count else []
        finally:
            _n.lib.FreeArchiveEntryTable(table)
        make = ArchiveInfo
        bad = _n.BAD
        # One call for the whole table: a call back per entry would cost more
        # than the library's own work.
        return [make(name.decode("utf-8", "surrogateescape"), index, locale, known != 0, block != 0, block_index,
                     size if block else 0, stored if block else 0, block_stored, flags,
                     None if methods == bad else methods)
                for (_, index, locale, block, block_index, flags, size, block_stored, stored, methods, known, _p),
                name in zip(_ENTRY.iter_unpack(records), names)]

    def _infolist_one_by_one(self) -> List[ArchiveInfo]:
        infos: List[ArchiveInfo] = []
        append = infos.append
        decode = _n.decode_name

        def take(_context, pointer):
            e = pointer.contents
            has_block = e.hasBlock != 0
            append(ArchiveInfo(decode(e.name), e.hashIndex, e.locale, e.nameKnown != 0, has_block, e.blockIndex,
                               e.fileSize if has_block else 0, e.storedSize if has_block else 0,
                               e.blockStoredSize, e.flags, None if e.methods == _n.BAD else e.methods))
            return True

        array, count, _keep = _n.names_array(self._names)
        if not _n.lib.EnumerateArchiveEntries(self._handle, array, count, _n.EntryCallback(take), None):
            raise last_error(self.filename)[1]
        return infos

    def namelist(self) -> List[str]:
        """Every stored name once (a name stored in several locales once),
        in hash-table order; entries of no known name as ``"#INDEX"``."""
        seen = set()
        names = []
        for info in self.infolist():
            key = _name_key(info.filename) if info.name_known else info.filename
            if key not in seen:
                seen.add(key)
                names.append(info.filename)
        return names

    def getinfo(self, name: str) -> ArchiveInfo:
        """The ArchiveInfo of name in this archive's locale (else the
        neutral one); KeyError when it is not stored. An entry that names no
        block is passed over, as reading passes over it."""
        raw = _stored(name)
        best = None
        for info in self.infolist():
            if info.has_block and _stored(info.filename).upper() == raw.upper():
                if info.locale == self.locale:
                    return info
                if info.locale == 0:
                    best = info
        if best is None:
            raise KeyError("there is no file named %r in the archive" % (name,))
        return best

    def __contains__(self, name: object) -> bool:
        if not isinstance(name, (str, bytes)):
            return False
        self._check_open()
        typed = _n.encode_name(name)
        return any(_n.lib.ArchiveHasEntry(self._handle, raw, _n.ANY_LOCALE) for raw in (typed, _stored(typed)))

    def _typed(self, name: Union[str, bytes], locale: int) -> bytes:
        # As the tool looks a name up: as typed when it is stored (in locale
        # or the neutral one), else with "/" read as "\\". Other writers
        # store names with "/", which namelist() gives as they are.
        typed = _n.encode_name(name)
        stored = _stored(typed)
        if typed != stored and self._handle is not None:
            if _n.lib.ArchiveHasEntry(self._handle, typed, locale) or _n.lib.ArchiveHasEntry(self._handle, typed, 0):
                return typed
        return stored

    def _lookup(self, name: Name):
        if isinstance(name, ArchiveInfo):
            raw = self._typed(name.filename, name.locale) if name.name_known else name.filename.encode()
            return raw, name.locale
        return self._typed(name, self.locale), self.locale

    def _open_handle(self, name: Name) -> int:
        self._check_open()
        raw, locale = self._lookup(name)
        handle = _n.FileHandle()
        if not _n.lib.OpenArchiveFileInLocale(self._handle, raw, locale, byref(handle)):
            code, error = last_error(_n.decode_name(raw))
            if code in (_n.ERROR_FILE_NOT_FOUND, _n.ERR_FILE_NOT_STORED):
                raise KeyError("there is no file named %r in the archive" % (_n.decode_name(raw),))
            raise error
        if isinstance(name, ArchiveInfo) and _n.lib.GetArchiveFileInfo(handle, _n.INFO_HASH_INDEX) != name.hash_index:
            # A second entry of one name and locale is not the one its name
            # leads to: that very entry, by its index, when it is the one
            # the info describes (an ArchiveInfo made by hand keeps the name).
            own = _n.FileHandle()
            if _n.lib.OpenArchiveFileByIndex(self._handle, name.hash_index, byref(own)):
                info = tuple(_n.lib.GetArchiveFileInfo(own, what) for what in (_n.INFO_SIZE, _n.INFO_FLAGS,
                                                                                _n.INFO_LOCALE))
                if info == (name.file_size, name.flags, name.locale):
                    own, handle = handle, own
                _n.lib.CloseArchiveFile(own)
        return handle.value

    def read(self, name: Name) -> bytes:
        """The whole content of a stored file (``name`` as stored, ``/``
        taken as ``\\``, or an ArchiveInfo for that very entry). KeyError when
        no such file is stored; sorvane.Error when it cannot be decoded."""
        handle = self._open_handle(name)
        try:
            high = c_uint32(0)
            size = _n.lib.GetArchiveFileSize(handle, byref(high))
            if size == _n.BAD and _n.lib.GetLastError() != 0:
                raise last_error(_name_of(name))[1]
            size |= high.value << 32
            if size == 0:
                return b""
            # The size is the archive's claim: memory follows the bytes that
            # decode, a piece at a time, not a claim of gigabytes.
            buffer = ctypes.create_string_buffer(min(size, _READ_PIECE))
            pieces = []
            got = c_uint32(0)
            for start in range(0, size, _READ_PIECE):
                want = min(size - start, _READ_PIECE)
                if not _n.lib.ReadArchiveFile(handle, buffer, want, byref(got), None) or got.value != want:
                    raise last_error(_name_of(name))[1]
                pieces.append(buffer.raw if want == len(buffer) else ctypes.string_at(buffer, want))
            return pieces[0] if len(pieces) == 1 else b"".join(pieces)
        finally:
            _n.lib.CloseArchiveFile(handle)

    def open(self, name: Name, mode: str = "r") -> "ArchiveFile":
        """A binary file object reading a stored file: read, readinto, seek,
        tell, readline and iteration over lines. It reads only the sectors
        it needs and becomes unusable (ValueError) once the archive is
        closed."""
        if mode not in ("r", "rb"):
            raise ValueError("stored files open for reading only ('r')")
        handle = self._open_handle(name)
        f = ArchiveFile(self, handle, _name_of(name))
        self._files.add(f)
        return f

    def extract(self, member: Name, path: Optional[PathLike] = None) -> str:
        """Writes one stored file below path (default: the current folder),
        recreating its folders, and returns the path written. A name that
        would land outside the folder raises BadNameError; nothing is written
        through a symbolic link (sorvane.Error); an existing file is replaced
        only by a complete one."""
        root = os.getcwd() if path is None else os.fspath(path)
        raw, _ = self._lookup(member)
        if isinstance(member, ArchiveInfo) and not member.name_known:
            raise BadNameError(1, "an entry without a known name cannot be extracted by name", member.filename)
        _extract.components(raw)
        with self.open(member) as f:
            def chunks():
                while True:
                    chunk = f.read(1 << 20)
                    if not chunk:
                        return
                    yield chunk
            return _extract.write_below(root, raw, chunks)

    def extractall(self, path: Optional[PathLike] = None, members: Optional[Iterable[Name]] = None) -> List[str]:
        """Extracts members (default: every stored file of a known name but
        the internal ones, each name once, in this archive's locale) below
        path, as extract() does; returns the paths written. The first
        failure raises; files written before it stay, whole."""
        if members is None:
            members = self._default_members()
        return [self.extract(m, path) for m in members]

    def _default_members(self) -> List[ArchiveInfo]:
        # A name stored in one locale is written whatever its locale; of one
        # stored in several, the archive's locale, else the neutral one, else
        # the lowest. An entry that names no block holds no file: readers
        # pass over it, as the tool's extract does.
        chosen: Dict[bytes, ArchiveInfo] = {}
        for info in self.infolist():
            key = _name_key(info.filename)
            if not info.name_known or not info.has_block or key in _INTERNAL_KEYS:
                continue
            held = chosen.get(key)
            if held is None or _rank(info, self.locale) < _rank(held, self.locale):
                chosen[key] = info
        return list(chosen.values())

    def verify(self, names: Optional[Iterable[str]] = None) -> List[VerifyResult]:
        """Decodes every stored entry and checks it against "(attributes)"
        where that records digests; one VerifyResult per entry (hash-table
        order). ``names`` adds names to those the archive knows."""
        self._check_open()
        results: List[VerifyResult] = []
        extra = self._names + [_n.encode_name(n) for n in (names or ())]

        def take(_context, pointer):
            r = pointer.contents
            e = r.entry.contents
            info = ArchiveInfo(_n.decode_name(e.name), e.hashIndex, e.locale, e.nameKnown != 0, e.hasBlock != 0,
                               e.blockIndex, e.fileSize, e.storedSize, e.blockStoredSize, e.flags,
                               None if e.methods == _n.BAD else e.methods)
            state = VerifyResult.STATES[r.state] if r.state < 4 else str(r.state)
            reason = VerifyResult.REASONS[r.reason] if r.reason < len(VerifyResult.REASONS) else str(r.reason)
            results.append(VerifyResult(info, state, reason, r.error, None if r.sector == _n.BAD else r.sector,
                                        r.digestsDiffering))
            return True

        array, count, _keep = _n.names_array(extra)
        if not _n.lib.VerifyArchiveEntries(self._handle, array, count, _n.VerifyCallback(take), None):
            raise last_error(self.filename)[1]
        return results

    def testzip(self) -> Optional[str]:
        """zipfile's habit: the name of the first entry that is not whole, or None.
        An entry that names no block holds no file and is passed over, as the
        tool's verify passes over it."""
        for result in self.verify():
            if not result.ok and result.reason != "no block":
                return result.info.filename
        return None

    def info(self) -> ArchiveFacts:
        """The archive's header, tables, use of space and "(attributes)"."""
        self._check_open()
        facts = _n.ArchiveFacts()
        what = _n.FACTS_TABLES | _n.FACTS_SPACE | _n.FACTS_ATTRIBUTES
        if not _n.lib.GetArchiveFacts(self._handle, what, byref(facts)):
            raise last_error(self.filename)[1]
        return ArchiveFacts(facts)

    # ---- updating -----------------------------------------------------------------

    def _check_writable(self) -> None:
        self._check_open()
        if not self.writable:
            raise io.UnsupportedOperation("the archive is open for reading only; open it with mode 'a'")

    def _update(self, call: Callable[[], bool], locale: Optional[int] = None, name: Optional[str] = None,
                progress: Optional[Progress] = None, refusal: Optional[Exception] = None) -> None:
        """Runs one update under the process's update lock, in the locale
        asked for, with the progress callback installed for its duration.
        ``refusal`` is raised when the call fails without an error of its own
        (the library leaves the last error alone for some refusals)."""
        with _n.update_lock:
            saved = _n.lib.SetLocale(self.locale if locale is None else locale)
            hook = None
            if progress is not None:
                self._progress_error = None

                def forward(_context, count):
                    if self._progress_error is None:
                        try:
                            progress(count)
                        except BaseException as error:  # re-raised when the call returns
                            self._progress_error = error

                hook = _n.ProgressCallback(forward)
                _n.lib.SetUpdateProgressCallback(ctypes.cast(hook, ctypes.c_void_p), None)
            try:
                _n.lib.SetLastError(0)
                ok = call()
                code = _n.lib.GetLastError()
            finally:
                if hook is not None:
                    _n.lib.SetUpdateProgressCallback(None, None)
                _n.lib.SetLocale(saved)
        if self._progress_error is not None:
            error, self._progress_error = self._progress_error, None
            raise error
        if not ok:
            if code == 0 and refusal is not None:
                raise refusal
            raise error_for(code or _n.ERROR_FILE_CORRUPT, name or self.filename)

    def _one_commit(self):
        """Outside a with block, a call that makes several changes commits
        them together."""
        return _Batch(self) if not self._batch else _NoBatch()

    def add(self, path: PathLike, arcname: Optional[str] = None, compress: Union[str, int] = "implode",
            level: Optional[int] = None, encrypt: bool = False, key_adjusted: bool = False,
            locale: Optional[int] = None, replace: bool = False, single_unit: bool = False,
            progress: Optional[Progress] = None) -> List[str]:
        """Stores a file, or every file below a folder (walked in name
        order; links to folders are not followed, what is no regular file is
        left out, and so is the archive itself). ``arcname`` is the stored
        name (of a folder: the folder the files go under, "" for none);
        by default the path's own components. ``compress`` is one of
        COMPRESSION_METHODS or a method mask; ``locale`` defaults to the
        archive's. Every name must follow the name rule (BadNameError, before
        anything is stored). ``progress(bytes)`` is called as source bytes
        are stored. Returns the names stored."""
        self._check_writable()
        source = os.fspath(path)
        text_path = os.fsdecode(source)
        pairs = []
        if os.path.isdir(source):
            base = _stored_name_for_path(text_path) if arcname is None else _n.decode_name(_stored(arcname))
            for file_path, relative in _walk(source):
                if os.path.exists(self.filename) and _same(file_path, self.filename):
                    continue
                pairs.append((file_path, (base + "\\" if base else "") + relative))
        else:
            if not os.path.exists(source):
                raise error_for(_n.ERROR_FILE_NOT_FOUND, text_path)
            if not os.path.isfile(source):
                raise Error(_n.ERROR_ACCESS_DENIED, "not a regular file", text_path)
            pairs.append((source, _stored_name_for_path(text_path) if arcname is None else arcname))
        flags, mask = _method(compress)
        self._check_method(compress, flags, mask)
        flags |= _options(encrypt, key_adjusted, replace, single_unit)
        prepared = []
        for file_path, name in pairs:
            raw = _stored(name)
            _check_name(raw)
            prepared.append((os.fsencode(file_path), raw))
        stored = []
        with self._one_commit():
            for file_path, raw in prepared:
                this_mask = mask
                if compress == "wave":
                    with io.open(file_path, "rb") as f:
                        this_mask = _wave_mask(f.read(36))
                self._update(lambda: _n.lib.AddFileFromDisk(self._handle, file_path, raw, flags, this_mask,
                                                            level or 0),
                             locale, _n.decode_name(raw), progress)
                stored.append(_n.decode_name(raw))
        return stored

    def write(self, filename: PathLike, arcname: Optional[str] = None, **options: Any) -> List[str]:
        """zipfile's name for add()."""
        return self.add(filename, arcname, **options)

    def writestr(self, arcname: Union[str, ArchiveInfo], data: Union[bytes, bytearray, memoryview, str],
                 compress: Union[str, int] = "implode", level: Optional[int] = None, encrypt: bool = False,
                 key_adjusted: bool = False, locale: Optional[int] = None, replace: bool = False,
                 single_unit: bool = False, progress: Optional[Progress] = None) -> None:
        """Stores data (text is stored as UTF-8) under arcname, with add()'s
        options."""
        self._check_writable()
        if isinstance(arcname, ArchiveInfo):
            if locale is None:
                locale = arcname.locale
            arcname = arcname.filename
        raw = _stored(arcname)
        _check_name(raw)
        payload = data.encode("utf-8") if isinstance(data, str) else bytes(data)
        if len(payload) > 0xFFFFFFFF:
            raise ValueError("a stored file holds at most 4 GiB - 1 bytes")
        flags, mask = _method(compress)
        self._check_method(compress, flags, mask)
        if compress == "wave":
            mask = _wave_mask(payload[:36])
        flags |= _options(encrypt, key_adjusted, replace, single_unit)
        self._update(lambda: _n.lib.AddFileFromMemory(self._handle, payload, len(payload), raw, flags, mask,
                                                      level or 0),
                     locale, _n.decode_name(raw), progress)

    def _check_method(self, compress, flags, mask) -> None:
        # The library stores a sector it cannot compress as it is; a method
        # this build lacks would turn into a silent plain copy.
        if mask and not flags & _n.BLOCK_IMPLODED and not _n.lib.CanCompressWith(mask):
            raise Error(_n.ERROR_NOT_SUPPORTED, "compress=%r is not available in this build" % (compress,))

    def delete(self, name: str, locale: Optional[int] = None) -> None:
        """Removes a stored file (of the archive's locale, or ``locale``);
        KeyError when it is not stored."""
        self._check_writable()
        raw = self._typed(name, self.locale if locale is None else locale)
        # Only the neutral version stored: not this locale's file to delete.
        absent = KeyError("there is no file named %r in the archive's locale" % (name,))
        try:
            self._update(lambda: _n.lib.DeleteArchiveFile(self._handle, raw), locale, name, refusal=absent)
        except Error as error:
            if error.code in (_n.ERROR_FILE_NOT_FOUND, _n.ERR_FILE_NOT_STORED):
                raise KeyError("there is no file named %r in the archive" % (name,)) from None
            raise

    def remove(self, name: str, locale: Optional[int] = None) -> None:
        """The same as delete()."""
        self.delete(name, locale)

    def rename(self, old: str, new: str, locale: Optional[int] = None) -> None:
        """Stores a file under a new name (which must follow the name rule);
        KeyError when old is not stored, AlreadyStoredError when new is."""
        self._check_writable()
        raw_old, raw_new = self._typed(old, self.locale if locale is None else locale), _stored(new)
        _check_name(raw_new)
        try:
            self._update(lambda: _n.lib.RenameArchiveFile(self._handle, raw_old, raw_new), locale, old)
        except Error as error:
            if error.code in (_n.ERROR_FILE_NOT_FOUND, _n.ERR_FILE_NOT_STORED):
                raise KeyError("there is no file named %r in the archive" % (old,)) from None
            raise

    def set_locale(self, name: str, old: int, new: int) -> None:
        """Moves the version of a stored file in locale old to locale new."""
        self._check_writable()
        if old == new:
            raise ValueError("the old and the new locale are the same")
        raw = self._typed(name, old)
        absent = KeyError("there is no file named %r in locale 0x%04x" % (name, old))
        try:
            self._update(lambda: _n.lib.SetArchiveFileLocale(self._handle, raw, old, new), None, name,
                         refusal=absent)
        except Error as error:
            if error.code in (_n.ERROR_FILE_NOT_FOUND, _n.ERR_FILE_NOT_STORED):
                raise KeyError("there is no file named %r in locale 0x%04x" % (name, old)) from None
            raise

    def compact(self, progress: Optional[Progress] = None) -> None:
        """Writes the archive anew without dead space (what deletes and
        replaces left). Inside a with block it commits what the block did so
        far first. ``progress(bytes)`` is called as data is copied."""
        self._check_writable()
        self._update(lambda: _n.lib.CompactArchive(self._handle), None, None, progress)

    def resize(self, entries: int) -> None:
        """Rebuilds the hash table with that many entries (every stored file
        needs a known name: pass listfile= to open() for the others). Inside a
        with block it commits what the block did so far first."""
        self._check_writable()
        if not 1 <= entries <= _MAX_HASH_SIZE:
            raise ValueError("entries must be between 1 and %d" % _MAX_HASH_SIZE)
        self._update(lambda: _n.lib.ResizeHashTable(self._handle, entries))


def _rank(info: ArchiveInfo, locale: int) -> tuple:
    return (info.locale != locale, info.locale != 0, info.locale)


class _Batch:
    def __init__(self, archive: Archive):
        self.archive = archive

    def __enter__(self):
        with _n.update_lock:
            if not _n.lib.BeginArchiveUpdate(self.archive._handle):
                raise last_error(self.archive.filename)[1]
        return self

    def __exit__(self, kind, value, traceback):
        with _n.update_lock:
            if kind is not None:
                _n.lib.AbandonArchiveUpdate(self.archive._handle)
            elif not _n.lib.CommitArchiveUpdate(self.archive._handle):
                raise last_error(self.archive.filename)[1]


class _NoBatch:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return None


def _options(encrypt: bool, key_adjusted: bool, replace: bool, single_unit: bool) -> int:
    flags = 0
    if encrypt:
        flags |= _n.BLOCK_ENCRYPTED
    if key_adjusted:
        flags |= _n.BLOCK_ENCRYPTED | _n.BLOCK_KEY_ADJUSTED
    if replace:
        flags |= _n.ADD_REPLACE
    if single_unit:
        flags |= _n.BLOCK_SINGLE_UNIT
    return flags


def _walk(folder: str) -> Iterator[tuple]:
    """(path, stored relative name) of every regular file below folder, in
    name order, not following links to folders."""
    entries = sorted(os.scandir(folder), key=lambda e: os.fsencode(e.name))
    for entry in entries:
        if entry.is_dir(follow_symlinks=False):
            for path, relative in _walk(entry.path):
                yield path, os.fsdecode(entry.name) + "\\" + relative
        else:
            try:
                regular = entry.is_file(follow_symlinks=True) and not entry.is_dir(follow_symlinks=True)
            except OSError:  # a link that loops or cannot be followed: no file, as the tool skips it
                regular = False
            if regular:
                yield entry.path, os.fsdecode(entry.name)


def _same(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _name_of(name: Name) -> str:
    return name.filename if isinstance(name, ArchiveInfo) else os.fsdecode(name) if isinstance(name, bytes) else name


class ArchiveFile(io.RawIOBase):
    """A stored file open for reading (``Archive.open()``): a binary file
    object with read, readinto, readline, seek, tell and line iteration.
    Only the sectors a read touches are decoded. Closed with its archive."""

    def __init__(self, archive: Archive, handle: int, name: str):
        super().__init__()
        self._archive: Optional[Archive] = archive
        self._handle: Optional[int] = handle
        self.name = name
        high = c_uint32(0)
        self._size = _n.lib.GetArchiveFileSize(handle, byref(high)) | (high.value << 32)
        self._pos = 0

    @property
    def size(self) -> int:
        """The stored file's size in bytes."""
        return self._size

    def _detach(self) -> None:
        if self._handle is not None:
            _n.lib.CloseArchiveFile(self._handle)
            self._handle = None
        self._archive = None
        super().close()

    def close(self) -> None:
        """Closes the stored file (its archive stays open)."""
        archive = self._archive
        self._detach()
        if archive is not None:
            archive._files.discard(self)

    def readable(self) -> bool:
        """True: stored files are read."""
        return True

    def seekable(self) -> bool:
        """True: any position can be read from."""
        return True

    def _check(self) -> int:
        if self._handle is None:
            raise ValueError("I/O operation on a closed file (or one whose archive is closed)")
        return self._handle

    def readinto(self, buffer: Any) -> int:
        """Reads into a writable buffer at the position; returns the bytes read
        (0 at the end)."""
        handle = self._check()
        view = memoryview(buffer).cast("B")
        want = min(len(view), self._size - self._pos)
        if want <= 0:
            return 0
        target = (ctypes.c_char * want).from_buffer(view) if not view.readonly else None
        if target is None:
            raise TypeError("readinto() needs a writable buffer")
        self._seek_library(handle)
        got = c_uint32(0)
        ok = _n.lib.ReadArchiveFile(handle, target, want, byref(got), None)
        if not ok or got.value != want:
            raise last_error(self.name)[1]
        self._pos += got.value
        return got.value

    def read(self, size: Optional[int] = -1) -> bytes:
        """Up to size bytes from the position (all the rest for -1 or None)."""
        self._check()
        if size is None or size < 0:
            size = self._size - self._pos
        size = max(0, min(size, self._size - self._pos))
        if size > _READ_PIECE:
            # As Archive.read(): memory follows the bytes that decode.
            pieces = []
            while size > 0:
                piece = self.read(min(size, _READ_PIECE))
                if not piece:
                    break
                pieces.append(piece)
                size -= len(piece)
            return b"".join(pieces)
        if size == 0:
            return b""
        buffer = bytearray(size)
        got = self.readinto(buffer)
        return bytes(buffer) if got == size else bytes(buffer[:got])

    def readall(self) -> bytes:
        """Everything from the position to the end."""
        return self.read(-1)

    def read1(self, size: int = -1) -> bytes:
        """The same as read()."""
        return self.read(size)

    def readline(self, size: Optional[int] = -1) -> bytes:
        """The bytes up to and with the next b"\\n" (at most size)."""
        self._check()
        limit = self._size - self._pos if size is None or size < 0 else min(size, self._size - self._pos)
        start = self._pos
        parts = []
        taken = 0
        while taken < limit:
            chunk = self.read(min(4096, limit - taken))
            if not chunk:
                break
            end = chunk.find(b"\n")
            if end >= 0:
                parts.append(chunk[:end + 1])
                taken += end + 1
                break
            parts.append(chunk)
            taken += len(chunk)
        self._pos = start + taken
        return b"".join(parts)

    def __iter__(self) -> Iterator[bytes]:
        self._check()
        return self

    def __next__(self) -> bytes:
        line = self.readline()
        if not line:
            raise StopIteration
        return line

    def _seek_library(self, handle: int) -> None:
        # The low word is signed; with the high word given, a position past
        # 2 GiB is the 64-bit distance the two make. A move that fails must
        # not leave the read at another place.
        low = self._pos & 0xFFFFFFFF
        moved = _n.lib.SetArchiveFilePointer(handle, low - (1 << 32) if low >= 1 << 31 else low,
                                             byref(c_int32(self._pos >> 32)), _n.FILE_BEGIN)
        if moved != low:
            raise last_error(self.name)[1]

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        """Moves the position (kept within the file, as zipfile does);
        returns it."""
        self._check()
        if whence == io.SEEK_SET:
            target = offset
        elif whence == io.SEEK_CUR:
            target = self._pos + offset
        elif whence == io.SEEK_END:
            target = self._size + offset
        else:
            raise ValueError("whence must be 0, 1 or 2")
        if target < 0:
            raise ValueError("negative seek position %d" % target)
        self._pos = min(target, self._size)
        return self._pos

    def tell(self) -> int:
        """The position."""
        self._check()
        return self._pos

    def __repr__(self) -> str:
        return "<sorvane.ArchiveFile %r size=%d%s>" % (self.name, self._size, " closed" if self.closed else "")


def open(path: PathLike, mode: str = "r", *, listfile: Union[PathLike, Iterable[str], None] = None,
         locale: int = 0, hash_size: Optional[int] = None, format: int = 0, attributes: bool = False,
         reuse_dead_space: bool = False) -> Archive:
    """Opens an archive: mode "r" to read (shared with other readers), "a"
    to update it (creating it when missing, with ``hash_size`` entries,
    ``format`` 0 or 1 and, with ``attributes``, an "(attributes)" file).
    An update excludes every other handle on the archive: an archive in use
    raises ArchiveInUseError at once. ``listfile`` (a file of names, one a
    line, or a list of names) names entries the archive's own list lacks;
    ``locale`` is the language names are looked up in first. A batch (a
    ``with`` block) writes past the archive's end, so that one given up
    leaves the file byte for byte as it was; ``reuse_dead_space`` lets it
    fill the dead space deletes and replaces left instead (only the tables
    and files are then kept as they were)."""
    if mode not in ("r", "a"):
        raise ValueError("sorvane.open() takes mode 'r' or 'a' (sorvane.create() makes a new archive)")
    return Archive(path, mode, listfile=listfile, locale=locale, hash_size=hash_size, format=format,
                   attributes=attributes, reuse_dead_space=reuse_dead_space)


def create(path: PathLike, *, hash_size: Optional[int] = None, format: int = 0, attributes: bool = False,
           overwrite: bool = False, locale: int = 0, listfile: Union[PathLike, Iterable[str], None] = None) -> Archive:
    """Creates a new, empty archive open for update (mode "x"): an existing
    non-empty file raises FileExistsError unless ``overwrite``. Options as
    for open()."""
    return Archive(path, "x", listfile=listfile, locale=locale, hash_size=hash_size, format=format,
                   attributes=attributes, overwrite=overwrite)
