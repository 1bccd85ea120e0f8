// Internal operations of the read side that other archive units (the update
// side, compaction) build on. Not part of the public interface.
#pragma once

#include <cstdint>

#include "archive/format/crypto.h"
#include "archive/format/records.h"
#include "archive/format/tables.h"
#include "archive/read/archive_record.h"
#include "platform/exact_io.h"
#include "platform/page_buffer.h"

using platform::PageBuffer;
using platform::ReadExactAt;
using platform::WriteExactAt;

// ---- archives and the open lists (archive_open.cpp) ---------------------------------

// Largest accepted sectorSizeShift: 512 << 15 is a 16 MiB sector, far beyond
// what any writer uses, and keeps a read's buffers (one sector plus a group
// of 16) within a few hundred MiB even for hostile headers.
constexpr uint16_t kMaxSectorSizeShift = 15;

// Largest byte size of a hash or block table that opening allocates: 64 MiB,
// 4,194,304 entries. A table may claim more entries than the file holds (the
// missing part reads as zeros, as archives made to resist editors rely on),
// so the file's size cannot bound it; this ceiling does.
constexpr uint32_t kMaxTableBytes = 64u << 20;

// File position of an archive-relative offset. In archives of the classic
// header positions are 32-bit and wrap, so an offset "below" zero reaches
// into what precedes the header; with the extended header they are 64-bit.
inline uint64_t ArchivePosition(const Archive* archive, uint64_t offset) {
  if (!archive->extended) return static_cast<uint32_t>(archive->headerOffset + static_cast<uint32_t>(offset));
  return archive->headerOffset + offset;
}
inline uint64_t BlockPosition(const Archive* archive, const BlockEntry& block) {
  return ArchivePosition(archive, BlockOffset(block));
}

// Position of the first archive header at a multiple of 512, or 0xFFFFFFFF.
uint32_t FindArchiveHeader(platform::OsHandle file);
// The same, with the user-data block that led there. archiveStart is
// 0xFFFFFFFF when no header is found; strayUserData tells that a user-data
// block pointing at no header was seen. False on a read error.
struct HeaderSearch {
  uint32_t archiveStart = 0xFFFFFFFFu;
  uint32_t userDataPos = kNoUserData;
  uint32_t userDataSize = 0;
  uint32_t userDataHeaderSize = 0;
  bool strayUserData = false;
};
bool FindArchiveHeader(platform::OsHandle file, HeaderSearch* found);

// Reads and checks the header at archiveStart and loads both tables,
// decrypted, into a new zero-filled record (path, fileHandle, sectorSize,
// headerOffset, tables, header; refCount 1). The record does not own the file
// handle until this succeeds. Fails with ERROR_FILE_CORRUPT for header values
// no archive can have (see archive_open.cpp), or with the read's or the
// allocator's error. Does not touch ArchiveList.
bool LoadArchiveRecord(platform::OsHandle file, uint32_t archiveStart, const char* path,
                       Archive** out);
// Closes the record's file and releases its tables and the record itself.
void ReleaseArchiveRecord(Archive* archive);

// Closes a file on every way out until a record takes it; the last error
// the failure set outlives the close.
class OwnedFile {
 public:
  explicit OwnedFile(platform::OsHandle file) : file_(file) {}
  ~OwnedFile() { Close(); }
  OwnedFile(const OwnedFile&) = delete;
  OwnedFile& operator=(const OwnedFile&) = delete;
  void Close();
  // The record now closes it.
  void Release() { file_ = platform::InvalidHandle(); }

 private:
  platform::OsHandle file_;
};

// ---- the steps both ways of opening share (opener.cpp) ----------------------------

// True when path fits the record's path field; else false with
// kErrorFilenameExcedRange.
bool CheckRecordPath(const char* path);
// Opens path with access and disposition, else the same name under the base
// folder; the name it was opened under goes to opened. A file in use fails
// with ERROR_SHARING_VIOLATION and *busy set, and is never looked for under
// the base folder. Otherwise an invalid handle carries the error of the last
// open tried.
platform::OsHandle OpenArchivePath(const char* path, uint32_t access, uint32_t disposition,
                                   char (&opened)[kMaxPath], bool* busy);
// Finds the header in an opened file and loads its record, user-data block
// included. Takes the file: on failure it is closed and null returned, with
// ERROR_FILE_CORRUPT or ERR_NOT_ARCHIVE when no header is found, else the
// error of LoadArchiveRecord.
Archive* LoadOpenedArchive(platform::OsHandle file, const char* opened);
// Sets the record's priority and open flags and puts it into ArchiveList; on
// failure the record (and its file) is released and the allocator's error kept.
bool ListOpenedArchive(Archive* archive, uint32_t priority, uint32_t flags);

// The process-wide lists of open archives and files: page memory grown by
// one for each insert, released when the last goes. The caller holds
// HandleListsMutex.
template <typename Handle>
bool AppendToHandleList(Handle*& list, uint32_t& count, Handle item) {
  auto* grown = static_cast<Handle*>(platform::VirtualAlloc(sizeof(Handle) * (count + 1)));
  if (grown == nullptr) return false;
  for (uint32_t i = 0; i < count; ++i) grown[i] = list[i];
  grown[count] = item;
  platform::VirtualFree(list);
  list = grown;
  ++count;
  return true;
}
template <typename Handle>
void RemoveFromHandleList(Handle*& list, uint32_t& count, Handle item) {
  uint32_t i = 0;
  while (i < count && list[i] != item) ++i;
  if (i == count) return;
  for (; i + 1 < count; ++i) list[i] = list[i + 1];
  if (--count == 0) {
    platform::VirtualFree(list);
    list = nullptr;
  }
}

// Inserts into ArchiveList and keeps it in priority order (false: no memory).
// Takes HandleListsMutex.
bool AddToArchiveList(Archive* archive);
// Stable insertion sort, highest priority first; the caller holds
// HandleListsMutex.
void SortArchiveList();

// ---- lookup (lookup.cpp) ------------------------------------------------------------

// Probe for name/locale, falling back to locale 0. Empty entries stop the
// probe; deletion marks (IsHashEntryDeleted) are passed over and never match.
// An entry naming no block of the table is the result only when the name
// has no other.
// The hash entries that lie within the file: a table cut short by the file's
// end holds nothing past it.
uint32_t HashEntriesInFile(const Archive* archive);
HashEntry* FindHashEntry(Archive* archive, const char* name, uint32_t locale);
HashEntry* FindHashEntryFrom(Archive* archive, uint32_t startIndex, uint32_t nameA,
                             uint32_t nameB, uint32_t locale);
// Walks ArchiveList in priority order for name in locale (else the neutral
// one). The archive found comes with a reference taken for the caller
// (ReleaseArchiveReference), so that it outlives a close on another thread.
bool FindInAllArchives(const char* name, uint32_t locale, Archive** archive, HashEntry** entry);

// The block entry of an open stored file, or null when its hash entry no
// longer names a block of the table.
const BlockEntry* BlockOfFile(const ArchiveFile* file);

// "#N" (a '#' followed by a decimal digit): true, with N in *index (saturating
// at 0xFFFFFFFF).
bool ParseIndexName(const char* name, uint32_t* index);

// ---- keys (keys.cpp) ------------------------------------------------------------------

// HashString(name, HASH_FILE_KEY), adjusted by the block's offset and size
// when BLOCK_KEY_ADJUSTED is set.
uint32_t FileKey(const char* name, const BlockEntry& block);
// The key of an entry's file, 0 when none is found. With *name null, a name
// found in the archive's name lists is stored there (release with ReleaseName).
uint32_t FindFileKey(Archive* archive, const HashEntry* entry, char** name);
// The key of an encrypted block's sector offset table, found from the table
// itself: its first entry is the table's own size, or one word more where a
// writer left a word behind the table. A candidate under which the whole
// table is sound wins; failing that the first candidate found; 0 for none.
uint32_t DetectTableKey(const Archive* archive, const BlockEntry& block);
// The first name of the archive's name lists (every known locale) whose two
// check values are nameA and nameB; release with ReleaseName. Null when none.
char* FindListedName(Archive* archive, uint32_t nameA, uint32_t nameB);

// Names handed out by the functions above.
char* CopyName(const char* name);
void ReleaseName(char* name);

// ---- reading (read.cpp) ------------------------------------------------------------

// Where a block's data lie. dataOffset is h: the per-file header's length in
// a "BN3\x1a" archive (its first word), else 0. start is D, the file position
// of offset + h (wrapping at 32 bits in archives of the classic header). room is how many bytes of the archive
// file lie from D on (0 when D is past its end; at most 0xFFFFFFFF). The
// block's stored size plays no part: what the data take is bounded by the
// file alone.
struct BlockData {
  uint32_t dataOffset = 0;
  uint64_t start = 0;
  uint32_t room = 0;
};
// False (with the system's error, or ERROR_FILE_CORRUPT for a per-file
// header that is not in the file) when h cannot be read. fileSize, when
// given, is the archive file's size as the caller already knows it: loops
// over every entry take it once rather than asking the system per entry.
bool LocateBlockData(const Archive* archive, const BlockEntry& block, BlockData* where,
                     const uint64_t* fileSize = nullptr);
// h alone; see LocateBlockData.
bool ReadDataOffset(const Archive* archive, const BlockEntry& block, uint32_t* dataOffset);


// Decodes one compressed sector of a block with these flags, as reading
// does: stored holds storedLength bytes, fewer than the expected ones it
// decodes to into out. False (last error set) when it does not decode.
bool DecodeStoredSector(uint32_t flags, uint8_t* out, uint32_t expected, const uint8_t* stored,
                        uint32_t storedLength);

// The most a single-unit file may decode to: it is decoded whole, once per
// open file, so a read of it holds this much (plus its stored piece, which
// is smaller) at most. Larger ones fail with ERROR_NOT_ENOUGH_MEMORY.
constexpr uint32_t kMaxSingleUnitBytes = 256u << 20;

// Reads, decrypts (with key - 1 when the block is encrypted) and checks a
// block's sector offset table into a new page allocation of k + 1 host-order
// entries (k + 2 with a checksum block); release with platform::VirtualFree. Null with ERROR_FILE_CORRUPT
// when it is not in the file or unsound, or with the system's error.
uint32_t* LoadSectorTable(const Archive* archive, const BlockEntry& block, const BlockData& where,
                          uint32_t key);

// The bytes a block's data take from its offset on as its own layout says:
// h plus the table's end entry (table, any gap behind it, every sector), or
// h plus the file size for data without a table. key decodes an encrypted
// table. False when the table does not read or is unsound, or the extent
// does not fit 32 bits.
bool DataExtent(const Archive* archive, const BlockEntry& block, uint32_t key, uint32_t* extent,
                const uint64_t* fileSize = nullptr);
// DataExtent of the entry's block, the key of an encrypted table found from
// the table itself or else by name. Where this differs from the stored size,
// the stored size is the one a writer falsified.
bool StoredExtent(Archive* archive, const HashEntry& entry, uint32_t* extent, const uint64_t* fileSize = nullptr);
// GetStoredExtent and GetCompressionMethods with the file's size known (see
// LocateBlockData).
uint32_t StoredExtentAt(Archive* archive, uint32_t hashIndex, const uint64_t* fileSize);
uint32_t CompressionMethodsAt(Archive* archive, uint32_t hashIndex, const uint64_t* fileSize);


// ---- whole stored files as text (listfile.cpp) -------------------------------------

// Reads the name list visible in locale (its own, else the neutral one) into
// text (malloc'd, grown as the bytes actually arrive, so a list's claimed
// size costs nothing). *present tells whether the archive holds one at all;
// the result is false when a list is present but could not be read whole.
bool ReadListfile(Archive* archive, uint32_t locale, char** text, uint32_t* size, uint32_t* capacity,
                  bool* present);
// The same for any stored file.
bool ReadWholeStoredFile(Archive* archive, const char* name, uint32_t locale, char** text, uint32_t* size,
                         uint32_t* capacity, bool* present);
// Whether an open stored file's size is one its block can stand for (else
// ERROR_FILE_CORRUPT): a list that claims more cannot be read whole.
bool StoredSizeFits(FileHandle file);
// Position of the first whole-line occurrence of name in text (case
// ignored), or -1: it starts the text or follows a CR or LF, and ends the text
// or stands before a CR or LF.
int64_t FindListedLine(const uint8_t* text, uint32_t size, const char* name);

// Room for at least `needed` bytes in a malloc'd text (kErrorFileTooLarge
// past 4 GiB, or no memory).
bool GrowText(char** text, uint32_t* capacity, uint64_t needed);
