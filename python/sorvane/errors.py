"""The exceptions of the package: the library's error codes as OSError."""

from __future__ import annotations

import errno as _errno

from . import _native as _n

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Optional, Tuple

__all__ = ["Error", "NotFoundError", "AccessDeniedError", "ArchiveInUseError", "AlreadyStoredError",
           "BadArchiveError", "BadNameError", "TableFullError", "error_for"]


class Error(OSError):
    """A failure of the library: ``code`` is its error code (the Windows
    numbering, also on POSIX systems, or one of the library's own ``ERR_*``
    codes) and ``strerror`` its words; ``errno`` is the nearest POSIX
    number where there is one. Codes with a meaning of their own raise the
    subclasses below, which are also the matching built-in OSError
    subclasses (``FileNotFoundError``, ``PermissionError``...)."""

    code: int

    def __init__(self, code: int, words: Optional[str] = None, filename: Optional[str] = None):
        self.code = code
        if words is None:
            words = _n.error_text(code)
        number = _ERRNO.get(code, 0)
        if filename is None:
            super().__init__(number, words)
        else:
            super().__init__(number, words, filename)

    def __str__(self) -> str:
        text = "%s (error %s)" % (self.strerror, _code_text(self.code))
        if self.filename is not None:
            text += ": %r" % (self.filename,)
        return text

    def __reduce__(self):
        return (type(self), (self.code, self.strerror, self.filename))


class NotFoundError(Error, FileNotFoundError):
    """The archive or a source file does not exist."""


class AccessDeniedError(Error, PermissionError):
    """The file cannot be opened as asked, or the archive is open only for reading."""


class ArchiveInUseError(Error, PermissionError):
    """Another handle holds the archive: an update excludes every other
    handle, readers exclude an update (the library never waits; try again
    later)."""


class AlreadyStoredError(Error, FileExistsError):
    """A file of that name is stored in that locale already (give ``replace=True``)."""


class BadArchiveError(Error):
    """The file is no archive, or its tables or data do not decode."""


class BadNameError(Error, ValueError):
    """A stored name that breaks the name rule (``code`` is the rule's
    ``NAME_*`` value), or one that would land outside the output folder."""

    def __init__(self, code: int, words: Optional[str] = None, filename: Optional[str] = None):
        super().__init__(code, words or _NAME_WORDS.get(code, "not a name that can be stored"), filename)
        self.errno = _errno.EINVAL

    def __str__(self) -> str:
        text = str(self.strerror)
        if self.filename is not None:
            text += ": %r" % (self.filename,)
        return text


class TableFullError(Error):
    """The archive's hash table has no free entry (``resize()`` it)."""


_ERRNO = {
    _n.ERROR_FILE_NOT_FOUND: _errno.ENOENT,
    _n.ERROR_PATH_NOT_FOUND: _errno.ENOENT,
    _n.ERR_FILE_NOT_STORED: _errno.ENOENT,
    _n.ERROR_ACCESS_DENIED: _errno.EACCES,
    _n.ERROR_SHARING_VIOLATION: _errno.EACCES,
    _n.ERROR_NOT_ENOUGH_MEMORY: _errno.ENOMEM,
    _n.ERROR_NOT_SUPPORTED: getattr(_errno, "EOPNOTSUPP", _errno.EINVAL),
    _n.ERROR_FILE_EXISTS: _errno.EEXIST,
    _n.ERROR_ALREADY_EXISTS: _errno.EEXIST,
    _n.ERR_ALREADY_STORED: _errno.EEXIST,
    _n.ERROR_INVALID_PARAMETER: _errno.EINVAL,
    _n.ERROR_DISK_FULL: _errno.ENOSPC,
    _n.ERROR_FILENAME_EXCED_RANGE: _errno.ENAMETOOLONG,
    223: _errno.EFBIG,
}

_CLASSES = {
    _n.ERROR_FILE_NOT_FOUND: NotFoundError,
    _n.ERROR_PATH_NOT_FOUND: NotFoundError,
    _n.ERR_FILE_NOT_STORED: NotFoundError,
    _n.ERROR_ACCESS_DENIED: AccessDeniedError,
    _n.ERROR_SHARING_VIOLATION: ArchiveInUseError,
    _n.ERR_ALREADY_STORED: AlreadyStoredError,
    _n.ERROR_FILE_EXISTS: AlreadyStoredError,
    _n.ERROR_ALREADY_EXISTS: AlreadyStoredError,
    _n.ERR_NOT_ARCHIVE: BadArchiveError,
    _n.ERROR_FILE_CORRUPT: BadArchiveError,
    _n.ERROR_FILE_INVALID: BadArchiveError,
    _n.ERR_HASH_TABLE_FULL: TableFullError,
}

_NAME_WORDS = {
    1: "the name is empty",
    2: "the name is longer than 259 bytes",
    3: "the name holds a line end, which the name list cannot hold",
    4: "the name would land outside the folder it is extracted to",
    5: "the name has an empty or \".\" component, so it extracts where another name does",
}


def _code_text(code: int) -> str:
    return "0x%08X" % code if code >= 0x10000 else str(code)


def error_for(code: int, filename: Optional[str] = None) -> Error:
    """The exception for a library error code."""
    return _CLASSES.get(code, Error)(code, None, filename)


def last_error(filename: Optional[str] = None, default: int = _n.ERROR_FILE_CORRUPT) -> Tuple[int, Error]:
    """The calling thread's last library error as (code, exception)."""
    code = _n.lib.GetLastError() or default
    return code, error_for(code, filename)
