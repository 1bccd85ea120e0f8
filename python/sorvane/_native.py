"""The library's C interface as ctypes sees it: loading, signatures, records.

ctypes (not a compiled extension) so that one wheel serves every Python 3
of a platform and building the package needs only the library's own build
(CMake and a C++ compiler), no Python headers. ctypes lets go of the
interpreter lock for the duration of every call into the library, so long
reads, adds and compactions run while other Python threads go on.
"""

import ctypes
import os
import sys
import _thread
from ctypes import CFUNCTYPE, POINTER, Structure, c_bool, c_char_p, c_int32, c_uint8, c_uint32, c_uint64, c_void_p

ArchiveHandle = c_void_p
FileHandle = c_void_p


def _load():
    here = os.path.dirname(os.path.abspath(__file__))
    given = os.environ.get("SORVANE_LIBRARY")
    candidates = [given] if given else []
    if sys.platform == "win32":
        candidates.append(os.path.join(here, "libsorvane.dll"))
    elif sys.platform == "darwin":
        candidates.append(os.path.join(here, "libsorvane.dylib"))
    else:
        candidates.append(os.path.join(here, "libsorvane.so.1"))
    errors = []
    for path in candidates:
        if path and os.path.exists(path):
            try:
                return ctypes.CDLL(path)
            except OSError as error:
                errors.append("%s: %s" % (path, error))
    raise ImportError("sorvane: the bundled libsorvane cannot be loaded (%s)" %
                      ("; ".join(errors) or "not found beside the package: " + here))


lib = _load()

# The update side and the process-wide locale it reads are the process's, not
# an archive's: one update at a time, and the locale set and put back around
# it under the same lock.
update_lock = _thread.RLock()

ERROR_SUCCESS = 0
ERROR_FILE_NOT_FOUND = 2
ERROR_PATH_NOT_FOUND = 3
ERROR_ACCESS_DENIED = 5
ERROR_NOT_ENOUGH_MEMORY = 8
ERROR_SHARING_VIOLATION = 32
ERROR_NOT_SUPPORTED = 50
ERROR_FILE_EXISTS = 80
ERROR_INVALID_PARAMETER = 87
ERROR_DISK_FULL = 112
ERROR_INVALID_NAME = 123
ERROR_ALREADY_EXISTS = 183
ERROR_FILENAME_EXCED_RANGE = 206
ERROR_FILE_INVALID = 1006
ERROR_FILE_CORRUPT = 1392
ERR_NOT_ARCHIVE = 0x85200065
ERR_FILE_NOT_STORED = 0x85200066
ERR_HASH_TABLE_FULL = 0x85200069
ERR_ALREADY_STORED = 0x8520006A
ERR_READ_ONLY_NEEDS_EXISTING = 0x8520006C

BLOCK_IMPLODED = 0x00000100
BLOCK_COMPRESSED = 0x00000200
BLOCK_ENCRYPTED = 0x00010000
BLOCK_KEY_ADJUSTED = 0x00020000
BLOCK_SINGLE_UNIT = 0x01000000
BLOCK_SECTOR_CRC = 0x04000000
BLOCK_EXISTS = 0x80000000
ADD_REPLACE = 0x1

UPDATE_KEEP_LISTFILE = 0x1
UPDATE_OPEN_EXISTING = 0x4
UPDATE_CREATE_ALWAYS = 0x8
UPDATE_READ_ONLY = 0x10
UPDATE_OPEN_ALWAYS = 0x20
UPDATE_FORMAT_1 = 0x40

COMP_HUFFMAN = 0x01
COMP_ZLIB = 0x02
COMP_IMPLODE = 0x08
COMP_BZIP2 = 0x10
COMP_ADPCM_MONO = 0x40
COMP_ADPCM_STEREO = 0x80
METHOD_SECTOR_STORED = 0x100

FILE_BEGIN = 0
FILE_CURRENT = 1
FILE_END = 2

INFO_SECTOR_SHIFT = 1
INFO_HASH_TABLE_SIZE = 2
INFO_SIZE = 5
INFO_FLAGS = 7
INFO_LOCALE = 10
INFO_HASH_INDEX = 12

FACTS_TABLES = 0x1
FACTS_SPACE = 0x2
FACTS_ATTRIBUTES = 0x4

ATTRIBUTE_CRC32 = 0x1
ATTRIBUTE_FILETIME = 0x2
ATTRIBUTE_MD5 = 0x4

ANY_LOCALE = 0xFFFFFFFF
NAME_FOLLOWS_RULE = 0
BAD = 0xFFFFFFFF


class ArchiveEntry(Structure):
    _fields_ = [("structSize", c_uint32), ("hashIndex", c_uint32), ("locale", c_uint32), ("hasBlock", c_uint32),
                ("blockIndex", c_uint32), ("flags", c_uint32), ("fileSize", c_uint32),
                ("blockStoredSize", c_uint32), ("storedSize", c_uint32), ("methods", c_uint32),
                ("nameKnown", c_uint32), ("name", c_char_p)]


class ArchiveFacts(Structure):
    _fields_ = [("structSize", c_uint32), ("headerOffset", c_uint64), ("signature", c_uint8 * 4),
                ("headerSize", c_uint32), ("headerArchiveSize", c_uint32), ("archiveSize", c_uint64),
                ("formatVersion", c_uint32), ("extended", c_uint32), ("sectorSize", c_uint32),
                ("sectorSizeShift", c_uint32), ("hasUserData", c_uint32), ("userDataPos", c_uint64),
                ("userDataSize", c_uint32), ("userDataHeaderSize", c_uint32), ("fileSize", c_uint64),
                ("bytesPastEnd", c_uint64), ("hashTablePos", c_uint64), ("hashTableEntries", c_uint32),
                ("hashEntriesInFile", c_uint32), ("hashUsed", c_uint32), ("hashDeleted", c_uint32),
                ("hashEmpty", c_uint32), ("blockTablePos", c_uint64), ("blockTableEntries", c_uint32),
                ("blocksUsed", c_uint32), ("contentBytes", c_uint64), ("hasHighOffsets", c_uint32),
                ("highOffsetTablePos", c_uint64), ("highBlocks", c_uint32), ("fileDataBytes", c_uint64),
                ("deadBytes", c_uint64), ("attributesPresent", c_uint32), ("attributesError", c_uint32),
                ("attributesVersion", c_uint32), ("attributesFlags", c_uint32), ("attributesCount", c_uint32),
                ("attributesSize", c_uint32)]


class ArchiveVerifyResult(Structure):
    _fields_ = [("structSize", c_uint32), ("entry", POINTER(ArchiveEntry)), ("state", c_uint32),
                ("reason", c_uint32), ("error", c_uint32), ("sector", c_uint32), ("digestsDiffering", c_uint32),
                ("recordedCrc", c_uint32), ("actualCrc", c_uint32), ("recordedMd5", c_uint8 * 16),
                ("actualMd5", c_uint8 * 16)]


class ArchiveEntryTable(Structure):
    _fields_ = [("structSize", c_uint32), ("count", c_uint32), ("entrySize", c_uint32),
                ("entries", c_void_p), ("names", c_void_p), ("namesSize", c_uint64)]


EntryCallback = CFUNCTYPE(c_bool, c_void_p, POINTER(ArchiveEntry))
VerifyCallback = CFUNCTYPE(c_bool, c_void_p, POINTER(ArchiveVerifyResult))
ListedNameCallback = CFUNCTYPE(c_bool, c_void_p, c_char_p, c_uint32)
ProgressCallback = CFUNCTYPE(None, c_void_p, c_uint64)


def _declare(name, restype, *argtypes):
    function = getattr(lib, name)
    function.restype = restype
    function.argtypes = list(argtypes)
    return function


_declare("GetLastError", c_uint32)
_declare("SetLastError", None, c_uint32)
_declare("GetSorvaneVersion", c_uint32)
_declare("GetErrorText", c_uint32, c_uint32, c_char_p, c_uint32)
_declare("OpenArchive", c_bool, c_char_p, c_uint32, c_uint32, POINTER(ArchiveHandle))
_declare("CloseArchive", c_bool, ArchiveHandle)
_declare("OpenArchiveFileInLocale", c_bool, ArchiveHandle, c_char_p, c_uint32, POINTER(FileHandle))
_declare("OpenArchiveFileByIndex", c_bool, ArchiveHandle, c_uint32, POINTER(FileHandle))
_declare("CloseArchiveFile", c_bool, FileHandle)
_declare("ReadArchiveFile", c_bool, FileHandle, c_void_p, c_uint32, POINTER(c_uint32), c_void_p)
_declare("SetArchiveFilePointer", c_uint32, FileHandle, c_int32, POINTER(c_int32), c_uint32)
_declare("GetArchiveFileSize", c_uint32, FileHandle, POINTER(c_uint32))
_declare("GetArchiveFileInfo", c_uint32, c_void_p, c_uint32)
_declare("SetLocale", c_uint32, c_uint32)
_declare("GetLocale", c_uint32)
_declare("IsSafeStoredName", c_bool, c_char_p)
_declare("CheckStoredName", c_uint32, c_char_p)
_declare("EnumerateArchiveEntries", c_bool, ArchiveHandle, POINTER(c_char_p), c_uint32, EntryCallback, c_void_p)
_declare("GetArchiveFacts", c_bool, ArchiveHandle, c_uint32, POINTER(ArchiveFacts))
_declare("CheckArchiveTables", c_bool, ArchiveHandle, c_void_p, c_void_p, POINTER(c_uint32))
_declare("VerifyArchiveEntries", c_bool, ArchiveHandle, POINTER(c_char_p), c_uint32, VerifyCallback, c_void_p)
_declare("GetSupportedDigests", c_uint32)
_declare("SetArchiveNameList", c_bool, ArchiveHandle, POINTER(c_char_p), c_uint32)
_declare("OpenArchiveWritable", ArchiveHandle, c_char_p, c_uint32, c_uint32)
_declare("IsUsableArchive", c_bool, ArchiveHandle)
_declare("CloseWritableArchive", c_bool, ArchiveHandle, c_uint32)
_declare("AddFileFromDisk", c_bool, ArchiveHandle, c_char_p, c_char_p, c_uint32, c_uint32, c_uint32)
_declare("AddFileFromMemory", c_bool, ArchiveHandle, c_void_p, c_uint32, c_char_p, c_uint32, c_uint32, c_uint32)
_declare("DeleteArchiveFile", c_bool, ArchiveHandle, c_char_p)
_declare("RenameArchiveFile", c_bool, ArchiveHandle, c_char_p, c_char_p)
_declare("SetArchiveFileLocale", c_bool, ArchiveHandle, c_char_p, c_uint32, c_uint32)
_declare("CompactArchive", c_bool, ArchiveHandle)
_declare("SetArchiveAttributes", c_bool, ArchiveHandle, c_uint32)
_declare("BeginArchiveUpdate", c_bool, ArchiveHandle)
_declare("CommitArchiveUpdate", c_bool, ArchiveHandle)
_declare("AbandonArchiveUpdate", c_bool, ArchiveHandle)
_declare("GetArchiveUpdateFailure", c_uint32, ArchiveHandle)
_declare("SetCompressionThreadCount", c_uint32, c_uint32)
_declare("ResizeHashTable", c_bool, ArchiveHandle, c_uint32)
_declare("SetUpdateProgressCallback", None, c_void_p, c_void_p)
_declare("ArchiveHasEntry", c_bool, ArchiveHandle, c_char_p, c_uint32)
_declare("EnumerateListedNames", c_bool, ArchiveHandle, ListedNameCallback, c_void_p)
_declare("CanCompressWith", c_bool, c_uint32)
_declare("CollectArchiveEntries", c_bool, ArchiveHandle, POINTER(c_char_p), c_uint32,
         POINTER(POINTER(ArchiveEntryTable)))
_declare("FreeArchiveEntryTable", None, POINTER(ArchiveEntryTable))
_declare("SetBatchesKeepFile", c_bool, ArchiveHandle, c_bool)


def error_text(code):
    """The library's words for an error code."""
    size = lib.GetErrorText(code, None, 0)
    buffer = ctypes.create_string_buffer(size + 1)
    lib.GetErrorText(code, buffer, size + 1)
    return buffer.value.decode("utf-8", "replace")


def encode_name(name):
    """A stored name as the library takes it: text as UTF-8 (bytes the archive
    held that are no UTF-8 come back from decode_name as surrogates and go
    back unchanged); bytes as they are."""
    if isinstance(name, bytes):
        return name
    if not isinstance(name, str):
        name = os.fspath(name)
        if isinstance(name, bytes):
            return name
    return name.encode("utf-8", "surrogateescape")


def decode_name(raw):
    return raw.decode("utf-8", "surrogateescape")


def names_array(names):
    """(array of char*, count, the bytes kept alive) for a list of names."""
    encoded = [encode_name(n) for n in names]
    array = (c_char_p * max(1, len(encoded)))(*encoded)
    return array, len(encoded), encoded
