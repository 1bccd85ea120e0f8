// The archive library's public operations: opening and reading MPQ archives,
// looking stored files up, recovering their keys, and (update side) creating
// archives and adding, deleting, renaming, re-localing and compacting files.
//
// Conventions: every operation returns a success flag (value queries return
// the value, 0xFFFFFFFF marking failure) and leaves the reason of a failure in
// the thread's last error (GetLastError()). Handles are the addresses of the
// library's records; they are checked against the library's open lists before
// use, so a stale or foreign handle fails with ERROR_INVALID_PARAMETER.
// The library is used from one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

struct Archive;
struct ArchiveFile;
using ArchiveHandle = Archive*;
using FileHandle = ArchiveFile*;

// ---- Win32 shapes the operations take ------------------------------------------

struct OVERLAPPED {
  uintptr_t Internal;
  uintptr_t InternalHigh;
  uint32_t Offset;
  uint32_t OffsetHigh;
  void* hEvent;
};

constexpr uint32_t ERROR_SUCCESS = 0;
constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
constexpr uint32_t ERROR_ACCESS_DENIED = 5;
constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr uint32_t ERROR_NOT_SUPPORTED = 50;
constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
constexpr uint32_t ERROR_FILE_INVALID = 1006;
constexpr uint32_t ERROR_FILE_CORRUPT = 1392;
constexpr uint32_t ERROR_UNKNOWN_PROPERTY = 1608;

uint32_t GetLastError();
void SetLastError(uint32_t code);

// ---- the library's own error codes --------------------------------------------------

constexpr uint32_t ERR_NOT_ARCHIVE = 0x85200065u;
constexpr uint32_t ERR_FILE_NOT_STORED = 0x85200066u;
constexpr uint32_t ERR_HASH_TABLE_FULL = 0x85200069u;
constexpr uint32_t ERR_ALREADY_STORED = 0x8520006Au;
constexpr uint32_t ERR_READ_ONLY_NEEDS_EXISTING = 0x8520006Cu;

// ---- flags ----------------------------------------------------------------------

constexpr uint32_t BLOCK_IMPLODED = 0x00000100u;
constexpr uint32_t BLOCK_COMPRESSED = 0x00000200u;
constexpr uint32_t BLOCK_ENCRYPTED = 0x00010000u;
constexpr uint32_t BLOCK_KEY_ADJUSTED = 0x00020000u;
constexpr uint32_t BLOCK_SINGLE_UNIT = 0x01000000u;
constexpr uint32_t BLOCK_SECTOR_CRC = 0x04000000u;
constexpr uint32_t BLOCK_EXISTS = 0x80000000u;

constexpr uint32_t OPEN_CD_ONLY = 0x00000001u;
constexpr uint32_t OPEN_WRITE = 0x00008000u;

constexpr uint32_t UPDATE_KEEP_LISTFILE = 0x1u;
constexpr uint32_t UPDATE_OPEN_EXISTING = 0x4u;
constexpr uint32_t UPDATE_CREATE_ALWAYS = 0x8u;
constexpr uint32_t UPDATE_READ_ONLY = 0x10u;
constexpr uint32_t UPDATE_OPEN_ALWAYS = 0x20u;
// A new archive gets the extended header (format version 1): positions are
// 64-bit, so it may grow past 4 GB. Archives of the classic header stay
// within 4 GB (updates that would pass it fail with error 223).
constexpr uint32_t UPDATE_FORMAT_1 = 0x40u;

constexpr uint32_t ADD_REPLACE = 0x1u;

// Compression method bits of a sector's method mask.
constexpr uint32_t COMP_HUFFMAN = 0x01u;
constexpr uint32_t COMP_ZLIB = 0x02u;   // provided by the external provider
constexpr uint32_t COMP_IMPLODE = 0x08u;
constexpr uint32_t COMP_BZIP2 = 0x10u;  // provided by the external provider
constexpr uint32_t COMP_ADPCM_MONO = 0x40u;
constexpr uint32_t COMP_ADPCM_STEREO = 0x80u;

// GetArchiveFileInfo codes.
constexpr uint32_t INFO_SECTOR_SHIFT = 1;
constexpr uint32_t INFO_HASH_TABLE_SIZE = 2;
constexpr uint32_t INFO_BLOCK_TABLE_SIZE = 3;
constexpr uint32_t INFO_HANDLE_KIND = 4;
constexpr uint32_t INFO_SIZE = 5;
constexpr uint32_t INFO_COMPRESSED_SIZE = 6;
constexpr uint32_t INFO_FLAGS = 7;
constexpr uint32_t INFO_ARCHIVE = 8;
constexpr uint32_t INFO_POSITION = 9;
constexpr uint32_t INFO_LOCALE = 10;
constexpr uint32_t INFO_PRIORITY = 11;
constexpr uint32_t INFO_HASH_INDEX = 12;

// Hash types of HashString.
constexpr uint32_t HASH_TABLE_INDEX = 0;
constexpr uint32_t HASH_NAME_A = 1;
constexpr uint32_t HASH_NAME_B = 2;
constexpr uint32_t HASH_FILE_KEY = 3;

// ---- hashing and encryption -------------------------------------------------------

bool BuildCryptTable();
uint32_t HashString(const char* name, uint32_t hashType);
bool EncryptBlock(void* data, uint32_t byteLength, uint32_t key);
bool DecryptBlock(void* data, uint32_t byteLength, uint32_t key);
uint32_t DetectFileKey(const void* words, uint32_t expectedFirst);
uint32_t HashTableKey();
uint32_t BlockTableKey();

// ---- archives ---------------------------------------------------------------------

bool OpenArchive(const char* path, uint32_t priority, uint32_t flags, ArchiveHandle* out);
bool CloseArchive(ArchiveHandle archive);
bool SetArchivePriority(ArchiveHandle archive, uint32_t priority);
bool SetBaseDirectory(const char* path);
bool GetBaseDirectory(char* buffer, uint32_t size);
uint32_t MakeLibraryPath(const char* path, char* buffer, uint32_t size);

const char* GetLibraryBanner();
uint32_t CopyLibraryBanner(char* buffer, uint32_t size);
float GetLibraryVersionNumber();
uint64_t GetLibraryVersion64();

// Run automatically at static initialisation and at exit; callable again.
void LibraryStartup();
void LibraryShutdown();

// ---- stored files -----------------------------------------------------------------

// searchScope 0: the given archive, or all open archives when archive is null.
// Any other scope: all open archives, then the disk.
bool OpenArchiveFile(ArchiveHandle archive, const char* name, uint32_t searchScope, FileHandle* out);
// The index form: hash-table entry index of the given archive.
bool OpenArchiveFileByIndex(ArchiveHandle archive, uint32_t index, FileHandle* out);
bool OpenFileFromAnyArchive(const char* name, FileHandle* out);
bool CloseArchiveFile(FileHandle file);
bool GetHandleName(const void* handle, char* buffer, uint32_t bufferSize);
bool GetHandleNameAlias(const void* handle, char* buffer, uint32_t bufferSize);
bool GetFileArchive(FileHandle file, ArchiveHandle* out);
uint32_t GetArchiveFileInfo(const void* handle, uint32_t infoCode);
uint32_t SetLocale(uint32_t locale);
uint32_t GetLocale();

bool ReadArchiveFile(FileHandle file, void* buffer, uint32_t count, uint32_t* bytesRead,
                     OVERLAPPED* overlapped);
uint32_t SetArchiveFilePointer(FileHandle file, int32_t distance, int32_t* distanceHigh,
                               uint32_t method);
uint32_t GetArchiveFileSize(FileHandle file, uint32_t* sizeHigh);
// The bytes the data of a hash entry's file take in the archive as its own
// layout says (per-file header, sector offset table and sectors, or the plain
// data). Its block's stored size should be the same; where it is not, the
// writer falsified that size, which reading does not consult. 0xFFFFFFFF when
// the layout cannot be read (or its key not found).
uint32_t GetStoredExtent(ArchiveHandle archive, uint32_t hashIndex);

bool LoadStormLibrary();
void UnloadStormLibrary();

// ---- names as paths ---------------------------------------------------------------

// False for a stored name whose output would land outside the folder it is
// written under: a leading separator, a drive ("C:"), or a component of two
// or more dots (with trailing spaces). Both '\' and '/' count as separators.
bool IsSafeStoredName(const char* name);

// ---- update side ----------------------------------------------------------------

// Returns the handle, null on failure, or the all-ones value when the file
// itself cannot be opened or created (test with IsUsableArchive).
ArchiveHandle OpenArchiveWritable(const char* path, uint32_t updateFlags, uint32_t hashTableSize);
inline bool IsUsableArchive(ArchiveHandle a) {
  return a != nullptr && a != reinterpret_cast<ArchiveHandle>(~static_cast<uintptr_t>(0));
}
bool CloseWritableArchive(ArchiveHandle archive, uint32_t ignored);

bool AddFileFromDisk(ArchiveHandle archive, const char* sourcePath, const char* storedName,
                     uint32_t flags, uint32_t methodMask, uint32_t level);
bool AddFileFromMemory(ArchiveHandle archive, const void* data, uint32_t size,
                       const char* storedName, uint32_t flags, uint32_t methodMask, uint32_t level);
bool AddFile(ArchiveHandle archive, const char* sourcePath, const char* storedName, uint32_t flags);
bool AddWaveFile(ArchiveHandle archive, const char* sourcePath, const char* storedName,
                 uint32_t flags, uint32_t quality);
bool AddBuffer(ArchiveHandle archive, const void* data, uint32_t size, const char* storedName,
               uint32_t flags);
bool AddWaveBuffer(ArchiveHandle archive, const void* data, uint32_t size,
                   const char* storedName, uint32_t flags, uint32_t quality);

bool DeleteArchiveFile(ArchiveHandle archive, const char* name);
bool RenameArchiveFile(ArchiveHandle archive, const char* oldName, const char* newName);
bool SetArchiveFileLocale(ArchiveHandle archive, const char* name, uint32_t oldLocale,
                          uint32_t newLocale);
bool CompactArchive(ArchiveHandle archive);

// "(attributes)": per stored file its CRC-32, file time (a Windows FILETIME)
// and MD5 of the whole content, and a patch bit. Every update of an archive
// that has one keeps it current: an added file gets the CRC-32 and MD5 of
// its content and the source's modification time (the current time for
// data from memory); renames and compaction keep the items with their
// files. SetArchiveAttributes starts one with the given attributes (or
// replaces the one there), computing the digests of every stored file (their
// times are unknown and stay unrecorded). ERROR_NOT_SUPPORTED when this build
// cannot compute a digest asked for, ERROR_INVALID_PARAMETER for no or
// unknown flags.
constexpr uint32_t ATTRIBUTE_CRC32 = 0x1u;
constexpr uint32_t ATTRIBUTE_FILETIME = 0x2u;
constexpr uint32_t ATTRIBUTE_MD5 = 0x4u;
constexpr uint32_t ATTRIBUTE_PATCH_BIT = 0x8u;
bool SetArchiveAttributes(ArchiveHandle archive, uint32_t flags);

// Batches. Every update above is committed before it returns, in a way that a
// stop at any moment leaves either the archive as it was or the change whole.
// Between BeginArchiveUpdate and CommitArchiveUpdate updates are committed
// together instead: the tables and the name list are written once, at the
// commit, and until then the archive on disk stays as it was (the archive's
// handle sees the changes at once). Inside a batch:
//  - an update that fails for its own reason (a source that cannot be read,
//    a name already stored, a name not found) changes nothing and the batch
//    goes on;
//  - a failure on the archive's side (a write error, a full hash table, no
//    memory) abandons the whole batch: the archive is as it was before
//    BeginArchiveUpdate, every further update fails with that error, and
//    CommitArchiveUpdate reports it and ends the batch;
//  - CompactArchive commits what the batch holds so far before it compacts;
//    the batch goes on afterwards.
// AbandonArchiveUpdate drops the batch's changes; closing the archive with a
// batch open does the same. A second BeginArchiveUpdate, or a commit or
// abandon without a batch, fails with ERROR_INVALID_PARAMETER.
bool BeginArchiveUpdate(ArchiveHandle archive);
bool CommitArchiveUpdate(ArchiveHandle archive);
bool AbandonArchiveUpdate(ArchiveHandle archive);
// Adding a file may compress its sectors on several threads at once (the
// caller's among them): count threads, 0 for one per processor, at most 64.
// The stored bytes and the order of writes are the same whatever the count;
// the library's other work stays on the calling thread. The default is 1.
// Returns the count before the call.
uint32_t SetCompressionThreadCount(uint32_t count);

// The error that abandoned the archive's open batch; 0 while the batch (or
// no batch) is open and usable, 0xFFFFFFFF for a handle that is no archive
// open for update.
uint32_t GetArchiveUpdateFailure(ArchiveHandle archive);

// ---- help for callers that guide a user -------------------------------------------

// Names the caller knows for the archive besides those of its own name lists
// (a user's list, say). Finding a file's key by its name (opening by index,
// compaction's re-keying) and rebuilding the hash table look them up too.
// The library keeps a copy until the archive is closed or the call is made
// again; count 0 forgets them.
bool SetArchiveNameList(ArchiveHandle archive, const char* const* names, uint32_t count);

// Rebuilds the archive's hash table with hashTableSize entries (at most
// 4,194,304, the most an archive is opened with). Every entry in use needs a
// known name: "(listfile)", "(attributes)", "(signature)", a line of the
// archive's name lists or a name given with SetArchiveNameList; otherwise
// nothing changes and the call fails with ERROR_FILE_INVALID. Fewer entries
// than files in use: ERR_HASH_TABLE_FULL. The new table goes to free space
// and one header write switches to it, so a stop at any moment leaves the
// old table or the new one; the old table's bytes are dead space until the
// archive is compacted. An open batch is committed first and goes on
// afterwards, as with CompactArchive. Open files of the archive stay usable.
bool ResizeHashTable(ArchiveHandle archive, uint32_t hashTableSize);

// Called during adds and compaction with the number of bytes handled since
// the last call (source bytes stored, data bytes copied), on the thread that
// called the library. Null turns it off. Process-wide.
typedef void (*UpdateProgressCallback)(void* context, uint64_t bytes);
void SetUpdateProgressCallback(UpdateProgressCallback callback, void* context);
