"""sorvane: read, extract, create and update MPQ game archives.

The habits of zipfile and tarfile::

    import sorvane

    with sorvane.open("mod.mpq") as archive:
        for info in archive.infolist():
            print(info.filename, info.file_size, info.compress_size)
        data = archive.read("units\\\\grunt.txt")

    with sorvane.open("mod.mpq", "a") as archive:   # one batch: all or nothing
        archive.add("art", arcname="art", compress="zlib")
        archive.writestr("readme.txt", "made with sorvane")

A ctypes layer over libsorvane, the shared library built from the same
repository and bundled in the package.
"""

from . import _native
from .archive import (COMPRESSION_METHODS, INTERNAL_NAMES, Archive, ArchiveFacts, ArchiveFile, ArchiveInfo,
                      VerifyResult, create, open)
from .errors import (AccessDeniedError, AlreadyStoredError, ArchiveInUseError, BadArchiveError, BadNameError, Error,
                     NotFoundError, TableFullError)

__all__ = ["open", "create", "Archive", "ArchiveInfo", "ArchiveFile", "ArchiveFacts", "VerifyResult", "Error",
           "NotFoundError", "AccessDeniedError", "ArchiveInUseError", "AlreadyStoredError", "BadArchiveError",
           "BadNameError", "TableFullError", "COMPRESSION_METHODS", "INTERNAL_NAMES", "library_version",
           "check_name", "set_compression_threads", "__version__"]


def library_version() -> str:
    """The version of the bundled library, "major.minor.patch"."""
    v = _native.lib.GetSorvaneVersion()
    return "%d.%d.%d" % (v >> 16, (v >> 8) & 0xFF, v & 0xFF)


__version__ = library_version()


def check_name(name: str) -> None:
    """Raises BadNameError when name breaks the name rule every stored name
    should follow (not empty, at most 259 bytes, no line end, nothing that
    extracts outside its folder or where another name does)."""
    from .archive import _check_name, _stored
    _check_name(_stored(name))


def set_compression_threads(count: int) -> int:
    """How many threads an add compresses sectors on (0: one per processor,
    at most 64; the stored bytes are the same whatever the count). Process-
    wide; returns the count before."""
    with _native.update_lock:
        return int(_native.lib.SetCompressionThreadCount(count))
