"""Writing stored files below an output folder with the tool's safety: no
name leaves the folder, nothing is written through a symbolic link below
it, and a file is replaced only by a complete one."""

import os
import stat

from . import _native as _n
from .errors import BadNameError, Error

_SAFE_FLAGS = getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_CLOEXEC", 0)
_DIR_FLAGS = os.O_RDONLY | getattr(os, "O_DIRECTORY", 0) | _SAFE_FLAGS
_HAVE_DIR_FD = os.open in os.supports_dir_fd and os.mkdir in os.supports_dir_fd and hasattr(os, "O_NOFOLLOW")
_WINDOWS = os.name == "nt"
_DEVICES = {b"CON", b"PRN", b"AUX", b"NUL", b"CONIN$", b"CONOUT$"}


def keeps_its_name(part):
    """Whether Windows makes a file or folder named part (bytes) under that
    very name. It drops trailing dots and blanks ("a." is "a"), reads a
    colon as a stream of another file, opens device names ("nul.txt") as
    the device, and refuses wildcards and controls."""
    if part == b".":
        return True
    if not part or part[-1:] in (b".", b" "):
        return False
    if any(c < 0x20 or c in b'<>:"|?*' for c in part):
        return False
    stem = part.split(b".", 1)[0].rstrip(b" ").upper()
    if stem in _DEVICES:
        return False
    return not (len(stem) == 4 and stem[:3] in (b"COM", b"LPT") and (stem[3:].isdigit() or stem[3] in b"\xb9\xb2\xb3"))


def _found_under_its_own_name(path, part):
    # A short name ("LONGFI~1.TXT") finds a file of another name, which
    # must not be replaced by this entry's bytes.
    if not os.path.lexists(path):
        return True
    real = os.path.basename(os.path.realpath(path))
    return real.lower() == os.fsdecode(part).lower()


def components(raw_name):
    """The folder components and the file name of a stored name (bytes),
    or BadNameError when it would land outside the output folder or names
    a folder."""
    if not raw_name or not _n.lib.IsSafeStoredName(raw_name):
        raise BadNameError(4, None, _n.decode_name(raw_name))
    pieces = raw_name.replace(b"/", b"\\").split(b"\\")
    parts = [p for p in pieces if p and p != b"."]
    # A name that ends in a separator or "." names a folder, not a file:
    # "a\\" would otherwise land on the file "a" of another entry.
    if not parts or pieces[-1] in (b"", b"."):
        raise BadNameError(5, None, _n.decode_name(raw_name))
    if _WINDOWS and not all(keeps_its_name(p) for p in parts):
        raise BadNameError(4, "not a name Windows keeps as it is", _n.decode_name(raw_name))
    return parts


def _link_error(path):
    return Error(_n.ERROR_ACCESS_DENIED, "a symbolic link is in the way; nothing is written through it",
                 os.fsdecode(path))


def _open_folder_below(root_fd, parts, shown):
    """Opens (creating as needed) every folder of parts below root_fd, never
    following a link. Returns the innermost folder's descriptor."""
    fd = os.dup(root_fd)
    try:
        for i, part in enumerate(parts):
            try:
                os.mkdir(part, 0o777, dir_fd=fd)
            except FileExistsError:
                pass
            try:
                inner = os.open(part, _DIR_FLAGS, dir_fd=fd)
            except OSError as error:
                try:
                    st = os.stat(part, dir_fd=fd, follow_symlinks=False)
                    if stat.S_ISLNK(st.st_mode):
                        raise _link_error(os.path.join(shown, *parts[:i + 1])) from None
                except FileNotFoundError:
                    pass
                raise error
            os.close(fd)
            fd = inner
        return fd
    except BaseException:
        os.close(fd)
        raise


def write_below(root, raw_name, chunks):
    """Writes the bytes chunks() yields to root/<stored name> through a
    temporary file renamed into place. Returns the path written."""
    parts = components(raw_name)
    root_b = os.fsencode(root)
    final = os.path.join(root_b, *parts)
    if not _HAVE_DIR_FD:
        return _write_plain(root_b, parts, final, chunks)
    os.makedirs(root_b, exist_ok=True)
    root_fd = os.open(root_b, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0) | getattr(os, "O_CLOEXEC", 0))
    try:
        folder = _open_folder_below(root_fd, parts[:-1], root_b)
    finally:
        os.close(root_fd)
    try:
        leaf = parts[-1]
        try:
            st = os.stat(leaf, dir_fd=folder, follow_symlinks=False)
            if stat.S_ISLNK(st.st_mode):
                raise _link_error(final)
            if stat.S_ISDIR(st.st_mode):
                raise Error(_n.ERROR_ACCESS_DENIED, "a folder of that name is in the way", os.fsdecode(final))
        except FileNotFoundError:
            pass
        temp = b".%s.%s.part" % (leaf[:64], os.urandom(6).hex().encode())
        fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | _SAFE_FLAGS, 0o666, dir_fd=folder)
        try:
            with os.fdopen(fd, "wb", closefd=True) as out:
                for chunk in chunks():
                    out.write(chunk)
            os.replace(temp, leaf, src_dir_fd=folder, dst_dir_fd=folder)
        except BaseException:
            try:
                os.unlink(temp, dir_fd=folder)
            except OSError:
                pass
            raise
    finally:
        os.close(folder)
    return os.fsdecode(final)


def _write_plain(root_b, parts, final, chunks):
    # Systems without descriptor-relative calls: every folder is checked
    # for a link before it is used.
    path = root_b
    os.makedirs(path, exist_ok=True)
    for part in parts[:-1]:
        path = os.path.join(path, part)
        if os.path.islink(path):
            raise _link_error(path)
        if not _found_under_its_own_name(path, part):
            raise Error(_n.ERROR_ALREADY_EXISTS, "another file or folder answers to that name", os.fsdecode(path))
        os.makedirs(path, exist_ok=True)
    if os.path.islink(final):
        raise _link_error(final)
    if not _found_under_its_own_name(final, parts[-1]):
        raise Error(_n.ERROR_ALREADY_EXISTS, "another file or folder answers to that name", os.fsdecode(final))
    temp = os.path.join(path, b".%s.%s.part" % (parts[-1][:64], os.urandom(6).hex().encode()))
    try:
        with open(temp, "xb") as out:
            for chunk in chunks():
                out.write(chunk)
        os.replace(temp, final)
    except BaseException:
        try:
            os.unlink(temp)
        except OSError:
            pass
        raise
    return os.fsdecode(final)
