// The library's in-memory records of open archives and files, and the
// process-wide lists that hold them. Not part of the public interface.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "archive/format/records.h"
#include "platform/platform.h"

struct KnownNames;

// What a layer above keeps with an archive record (the update side's session
// and what it has learnt of the blocks). The record owns it and deletes it
// first when it is released, so closing needs no code of that layer.
struct ArchiveExtension {
  virtual ~ArchiveExtension() = default;
};

struct Archive {
  char path[kMaxPath];
  platform::OsHandle fileHandle;
  uint32_t priority;  // guarded by HandleListsMutex: the list's order follows it
  uint32_t sectorSize;
  uint32_t headerOffset;  // file position of the header (all positions count from it)
  BlockEntry* blockTable;
  HashEntry* hashTable;
  // One for the open list while the archive is in it, one per open file,
  // and one per open under way: the record goes when the last is dropped
  // (ReleaseArchiveReference), so an open that found the archive just before
  // another thread closed it still holds memory that is there. Guarded by
  // HandleListsMutex.
  uint32_t refCount;
  ArchiveHeader header;
  uint32_t openFlags;
  // The update side's state: the update in progress (while it lasts the
  // tables above are the pending state) and what it has learnt of the
  // blocks' extents. Null until the first update.
  ArchiveExtension* extension;
  // File position of a user-data block that led to the header, else
  // kNoUserData; its three words as read.
  uint32_t userDataPos;
  uint32_t userDataSize;
  uint32_t userDataHeaderSize;
  // Positions are 64-bit and the high-offset table is in use (extended
  // header); else positions wrap at 32 bits.
  bool extended;
  // Where the archive written by the last commit ends (archive-relative).
  uint64_t committedEnd;
  // Names the caller gave for the archive (SetArchiveNameList); null for none.
  KnownNames* knownNames;
  // The last compaction could not give the new file the archive's owner
  // (only privileged processes may): it belongs to the compacting user now.
  bool ownerNotKept;
};
constexpr uint32_t kNoUserData = 0xFFFFFFFFu;

struct ArchiveFile {
  Archive* archive;  // null for a file opened from disk
  uint32_t fileKey;
  uint32_t position;
  uint32_t* sectorOffsets;  // k + 1 entries once loaded (k + 2 with a checksum block)
  uint8_t* unit;            // a single-unit file's decoded bytes once read
  BlockEntry loadedFor;     // the block entry the two above were loaded for
  HashEntry* hashEntry;     // stored file: its entry in archive->hashTable
  platform::OsHandle diskHandle;  // disk file
  char* name;
};

// Where the archive ends, counted from its header: the end of its furthest
// table or block (a block as far as its own layout reaches, else its stored
// size; never past the file's end). The extended header's archiveSize is not
// to be trusted, so this is the measure of such archives.
uint64_t ArchiveContentEnd(Archive* archive);

// Process-wide lists (highest priority first / opening order). Threads open
// and close archives and files at once, so the lists, their order and every
// record's refCount and priority change only under HandleListsMutex, and
// are read only under it. It is held for the lists' own upkeep alone, never
// across a call that may take it again (a key search opens files itself),
// nor across reading an archive's data.
extern std::mutex HandleListsMutex;
extern ArchiveHandle* ArchiveList;
extern uint32_t ArchiveListCount;
extern FileHandle* OpenFileList;
extern uint32_t OpenFileListCount;
// The process-wide locale of SetLocale; the library's own code never
// changes it, and passes the locale it means along instead.
extern std::atomic<uint32_t> CurrentLocale;
// Read and written under the base folder's own lock (archive_open.cpp),
// except by tests that run on one thread.
extern char BaseDirectory[kMaxPath + 1];

constexpr uint32_t KnownLocales[7] = {0, 0x407, 0x409, 0x40A, 0x40C, 0x410, 0x416};

// Handle checks against the open lists: 2 for a stored/disk file, 1 for an
// archive, 0 for anything else.
uint32_t GetHandleKind(const void* handle);
bool IsOpenArchive(const void* handle);
bool IsOpenFile(const void* handle);

// Takes a reference on an archive that is in the open list; false (nothing
// taken) when it is not.
bool AcquireListedArchive(Archive* archive);
// Drops a reference; the last one releases the record.
void ReleaseArchiveReference(Archive* archive);
