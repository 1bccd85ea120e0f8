// What the update units share, grouped by the unit that defines it. Not part
// of the public interface.
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/format/attributes.h"
#include "archive/read/attributes_read.h"
#include "archive/format/crypto.h"
#include "archive/format/records.h"
#include "archive/read/known_names.h"
#include "archive/read/probe_table.h"
#include "archive/read/read_internal.h"
#include "archive/update/space.h"
#include "platform/exact_io.h"
#include "platform/page_buffer.h"
#include "platform/platform.h"

using platform::PageBuffer;
using platform::ReadExactAt;
using platform::WriteExactAt;

// A hash entry that names a file: neither empty nor a deletion mark.
inline bool IsHashEntryInUse(const HashEntry& e) { return !IsHashEntryFree(e); }
// Empty (0xFFFFFFFF in some word, not a mark): a probe run ends here.
inline bool IsHashEntryEmpty(const HashEntry& e) { return IsHashEntryFree(e) && !IsHashEntryDeleted(e); }
inline void MarkHashEntryDeleted(HashEntry& e) { e = kDeletedMark; }
inline void MarkHashEntryEmpty(HashEntry& e) {
  e.nameHashA = kFreeWord;
  e.nameHashB = kFreeWord;
  e.locale = kFreeWord;
  e.blockIndex = kFreeWord;
}

// ---- the session and the record's update state (session.cpp) ----------------------
//
// Every update runs in a session: the archive's open batch, or one of its own
// that commits when the operation ends. Until the commit the archive file
// keeps its committed state: new data goes where neither the committed nor
// the pending state has anything, and the commit writes the tables there
// too, flushes, and only then puts the new header in place (one write,
// flushed). Until then the pending state lives in the record's tables.

// The name list as the session keeps it: read once, changed in memory,
// stored once by the commit.
struct SessionList {
  bool loaded = false;    // text holds the list (empty: there is none)
  bool unusable = false;  // a list is there but cannot be read: left alone
  bool dirty = false;
  char* text = nullptr;   // malloc'd, size bytes plus room
  uint32_t size = 0;
  uint32_t capacity = 0;
  // The lines by their letters, case ignored: 1 + the offset of each line's
  // first occurrence, 0 for a free slot. Built on first use, kept by
  // appends, dropped by removals.
  struct Line {
    uint32_t offset;
    bool free() const { return offset == 0; }
  };
  ProbeTable<Line> index{0x40000000u};
  // Lookups made by scanning the text since the index was last dropped: a
  // few cost less than building it over a long list.
  uint32_t scans = 0;
  // Where the text first differs from the stored list it was read from, and
  // that list's block: the whole sectors before it are kept as stored.
  uint32_t firstChange = 0xFFFFFFFFu;
  bool blockKnown = false;
  BlockEntry block{};
};

// A hash entry as it was before the session first changed it.
struct HashUndo {
  uint32_t index;
  HashEntry entry;
};

struct UpdateSession {
  bool explicitBatch = false;
  bool failed = false;  // a batch that failed on the archive's side and was abandoned
  uint32_t failure = 0;
  ArchiveHeader committedHeader{};
  // The hash table changes in place (open files point into it); these undo
  // the changes, latest last.
  HashUndo* undo = nullptr;
  uint32_t undoCount = 0;
  uint32_t undoCapacity = 0;
  BlockEntry* committedBlocks = nullptr;  // the committed block table (archive->blockTable is the pending one)
  uint32_t blockCapacity = 0;             // entries the pending block table has room for
  uint32_t* blockRefs = nullptr;          // in-use hash entries naming each pending block
  // No pending block below this is free to be taken by a new add (see
  // FreeBlockEntry); lowered whenever a block loses its last name.
  uint32_t freeFrom = 0;
  FreeSpace space;
  // Room kept for the commit's tables from the session's start on, so that
  // the session's data do not split the hole an older copy of the tables
  // left (empty: none was free).
  Extent tableRoom{0, 0};
  // The file length a failed update goes back to: where the committed
  // archive ends (or the file did, when a table runs past its end).
  uint64_t committedFileEnd = 0;
  bool hashChanged = false;
  bool blocksChanged = false;
  SessionList list;
  AttributesTable* attributes = nullptr;  // see KeptAttributes (attributes_upkeep.cpp)
  bool attributesLoaded = false;
  bool attributesDirty = false;
  PageBuffer scratch;  // the adds' working buffers, kept for the session
};

// What the update side has learnt of the blocks' extents, kept between
// updates: the extent of block i while its entry is still entries[i].
struct BlockExtents {
  BlockEntry* entries = nullptr;
  uint32_t* extents = nullptr;
  uint32_t count = 0;
};

// What the update side keeps with an archive record: the update in progress
// (a batch, or one operation's own; while it lasts the record's tables are
// the pending state) and the extents learnt. The record deletes it when it
// is released, which abandons a session still open.
struct UpdateState final : ArchiveExtension {
  explicit UpdateState(Archive* record) : owner(record) {}
  ~UpdateState() override;
  UpdateState(const UpdateState&) = delete;
  UpdateState& operator=(const UpdateState&) = delete;
  Archive* owner;
  UpdateSession* session = nullptr;
  BlockExtents* extents = nullptr;
  // SetBatchesKeepFile: batches write past the committed end only.
  bool batchesKeepFile = false;
};
// The record's update state, made on first use (null, last error set, only
// for want of memory).
UpdateState* UpdateStateOf(Archive* archive);
inline UpdateState* StateOf(const Archive* archive) { return static_cast<UpdateState*>(archive->extension); }
inline UpdateSession* SessionOf(const Archive* archive) {
  return archive->extension != nullptr ? StateOf(archive)->session : nullptr;
}
inline BlockExtents* ExtentsOf(const Archive* archive) {
  return archive->extension != nullptr ? StateOf(archive)->extents : nullptr;
}

// How an operation inside a session ended.
enum class Outcome {
  kDone,           // changed the pending state
  kRefused,        // nothing changed (the caller's or the source's error)
  kArchiveFailed,  // failed on the archive's side: the whole session is abandoned
};

// ---- opening for update (open_update.cpp) ---------------------------------------

// Null or unknown archive: ERROR_INVALID_PARAMETER; opened without OPEN_WRITE:
// ERROR_ACCESS_DENIED.
bool CheckUpdatableArchive(Archive* archive);

// ---- operations in sessions (session.cpp) -----------------------------------------

// The session an operation runs in: the open batch, or a new one of its own.
// Null (last error set) when one cannot be had or the batch has failed.
UpdateSession* BeginOperation(Archive* archive);
// Ends an operation with its outcome: commits a session of its own, abandons
// it (or the whole batch on kArchiveFailed). Returns the operation's result,
// with its error kept as the last error.
bool EndOperation(Archive* archive, Outcome outcome);
// Compaction works on the committed state: the batch's changes so far are
// committed first, and the batch goes on afterwards.
bool CommitBatchSoFar(Archive* archive, bool* batchOpen);
bool ResumeBatch(Archive* archive);
// A new session over the committed state (null, last error set, when it
// cannot be had).
UpdateSession* StartSession(Archive* archive, bool explicitBatch);
// Puts the committed state back into the record, and the file back at its
// committed length: whatever the pending state wrote past it goes, so that a
// disk that ran full has its room again. The session's own memory is
// released, the session object stays.
void RestoreCommitted(Archive* archive, UpdateSession* s);
// The pending state becomes the committed one in memory.
void AcceptPending(UpdateSession* s);
// Deletes the record's session object.
void EndSession(Archive* archive);
// Restores the committed state and ends the session.
void AbandonSession(Archive* archive);
// Cuts the file at a file position when it runs on past it. A cut that
// fails leaves bytes that no state uses; the next session tries again.
void CutFileAt(Archive* archive, uint64_t end);
// Notes a hash entry before the session changes it (false: no memory).
bool NoteHashChange(Archive* archive, const HashEntry* entry);
// Page memory for a table of entries (null on failure, last error set).
template <typename T>
T* AllocateEntries(uint64_t count) {
  if (count * sizeof(T) > 0xFFFFFFFFull) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return static_cast<T*>(platform::VirtualAlloc(count != 0 ? static_cast<size_t>(count * sizeof(T)) : 1));
}

// ---- the commit (commit.cpp) ------------------------------------------------------

// Writes the pending state and switches to it; the session ends either way.
// Before the switch a failure restores the committed state; after it the
// new state stands, and a failed flush is still reported.
bool CommitSession(Archive* archive);
// Writes a decrypted table, encrypted with key, at a file position; the
// table itself stays decrypted.
bool WriteEncryptedTable(platform::OsHandle file, uint64_t position, const HashEntry* table, uint32_t entries,
                         uint32_t key);
bool WriteEncryptedTable(platform::OsHandle file, uint64_t position, const BlockEntry* table, uint32_t entries,
                         uint32_t key);
// The high-offset table of the extended header: each block's offsetHigh, not
// encrypted.
bool WriteHighOffsetTable(platform::OsHandle file, uint64_t position, const BlockEntry* table, uint32_t entries);

// ---- space of both states (used_space.cpp) ----------------------------------------

// The file position below which archives of the classic header must end
// (4 GiB). Only tests lower it, to reach the limit without writing 4 GB.
extern uint64_t ClassicFileLimit;
// The archive-relative end no state may pass.
uint64_t SpaceLimit(const Archive* archive);
// The header's own bytes: its stated size when that is a sensible one (at
// least what the commit writes of it and below everything else), else what
// the commit writes: 44 bytes of an extended header, 32 of a classic one.
uint64_t HeaderEnd(const Archive* archive, const ExtentList& used);
// Every extent the archive's current tables use: both tables (whole, even
// beyond the file's end, where readers take them as zeros) and the data of
// each block some in-use hash entry names (up to the file's end, beyond
// which no reader finds any). firstUser[i]: the first entry naming block i.
bool CollectUsed(Archive* archive, const uint32_t* firstUser, ExtentList* used);
// Where an archive whose state uses these extents ends (its header's end at
// least).
uint64_t UsedEnd(const Archive* archive, const ExtentList& used);
// Adds the committed block table's room beyond the table itself (see
// BlockTableRoom), up to the limit: no state uses it, and it may run past
// the file's end, but no data may go there while that copy is live.
bool KeepBlockTableRoom(const Archive* archive, ExtentList* used);
// Where the pending state ends: the header's own bytes, both tables at the
// positions given and every block in use.
uint64_t PendingEnd(Archive* archive, uint64_t hashPos, uint64_t blockPos, uint64_t highPos);
// Space for new bytes: free in both states, archive-relative, below 4 GiB
// counted from the file's start in archives of the classic header.
bool AllocateSpace(Archive* archive, uint64_t size, uint64_t* position);
// The same from the gaps alone, best fit; false (last error kept) when none
// holds size bytes.
bool AllocateGapSpace(Archive* archive, uint64_t size, uint64_t* position);
// The room a block table of this many entries is given: its own bytes
// (and the high-offset table's, when high) for a power of two entries.
uint64_t BlockTableRoom(uint32_t entries, bool high);
// Keeps the best-fitting gap for a copy of the committed tables (or, when
// none holds them all, of the hash table) out of the session's data.
void ReserveTableRoom(const Archive* archive, UpdateSession* s);
// Gives the kept room back for the commit to place the tables.
void ReleaseTableRoom(Archive* archive);
void ReleaseSpace(Archive* archive, uint64_t start, uint64_t end);
// Gives back the space of pending block `index` when this session wrote it.
// A committed block gives none back: the entry may claim bytes its data do
// not take (a stored size beyond its layout, a place past the file's end),
// which were free and may hold new data of this session by now.
void ReleaseBlockSpace(Archive* archive, uint32_t index);

// ---- blocks: references and extents (block_refs.cpp) -----------------------------

// Room for one more pending block entry.
bool ReserveBlockEntry(Archive* archive);
// The bytes a block's data take from its offset on: their own layout's
// extent where it can be read (a stored size may be false), else the stored
// size. Remembered per block, for as long as the block entry stays the same.
// fileSize: the archive file's size where the caller knows it (see
// LocateBlockData).
uint32_t BlockExtent(Archive* archive, uint32_t index, const HashEntry& entry, const uint64_t* fileSize = nullptr);
// Notes the extent of a block this library has just written or moved.
void NoteBlockExtent(Archive* archive, uint32_t index, const BlockEntry& block, uint32_t extent);
// Keeps the block reference counts: entry now names newIndex instead of
// oldIndex (either may be none: kNoBlock). A block no entry names any more
// gives its space back when this session wrote it.
constexpr uint32_t kNoBlock = 0xFFFFFFFFu;
void ChangeBlockReference(Archive* archive, uint32_t oldIndex, uint32_t newIndex);
// In-use hash entries that name the pending block.
uint32_t BlockReferences(const Archive* archive, uint32_t index);
// The lowest pending block entry that no in-use hash entry names, for a new
// add to take instead of growing the table; the table's count when there is
// none, or when "(attributes)" is present but not kept by the session (its
// items, indexed by block, would then describe another file's content).
uint32_t FreeBlockEntry(Archive* archive);
// The extent remembered for a pending block; the stored size when none is.
uint32_t KnownExtent(const Archive* archive, uint32_t index);

// ---- room for compaction (room.cpp) -----------------------------------------------

// Bytes past the end of the committed archive belong to no state: an update
// that failed left them, and one that could not even cut them off left them
// for the next. Every session starts by cutting them; this does it outside
// one (no session may be open). False when the archive cannot be measured.
bool CutPastCommittedEnd(Archive* archive);
// What compaction needs beside the archive: the new file's bytes, and the
// room the file system has for them, counting what the cut above gives back.
// False (last error set) when the free space cannot be learnt.
bool CompactionRoom(Archive* archive, uint64_t* needed, uint64_t* available);
// Cuts what lies past the committed end and fails with ERROR_DISK_FULL when
// the compacted copy would not fit.
bool CheckCompactionRoom(Archive* archive);

// ---- "(attributes)" (attributes_upkeep.cpp) ---------------------------------------

// What an add learnt of the content it stored.
struct StoredContent {
  ContentDigest* digest;
  uint64_t fileTime;
};

// The attributes an update of this archive keeps: read on first use, null
// when the archive has none or has one that cannot be read (left alone).
AttributesTable* KeptAttributes(Archive* archive);
// Records the content of a file just stored in block index.
void NoteStoredContent(Archive* archive, uint32_t blockIndex, const StoredContent& content);
// A block entry taken for another file: its item is void until noted anew.
void ForgetAttributesItem(Archive* archive, uint32_t index);
// A block copied to a new index keeps its content.
void CopyAttributesItem(Archive* archive, uint32_t from, uint32_t to);
// A direct change of "(attributes)" by the caller: the session's copy is void.
void ForgetSessionAttributes(Archive* archive);
// Stores the session's attributes when they changed (the commit's step,
// after the name list). kRefused: no room for them.
Outcome StoreSessionAttributes(Archive* archive);
void ReleaseSessionAttributes(UpdateSession* session);

// Compaction: the re-indexed "(attributes)" for the blocks kept. block is
// the index of the attributes file's block (kNoAttributes when there is none
// to rewrite: absent, unusable, or its block not kept); entry and bytes are
// its new block (offset to be set) and stored bytes. With apart, other
// entries name that block too: it is kept for them as it is, and the
// attributes (hash entry hashIndex) get a block of their own after the
// others.
constexpr uint32_t kNoAttributes = 0xFFFFFFFFu;
struct CompactedAttributes {
  uint32_t block = kNoAttributes;
  bool apart = false;
  uint32_t hashIndex = 0;
  BlockEntry entry{};
  uint8_t* bytes = nullptr;  // malloc'd
  ~CompactedAttributes();
};
// firstUser[i]: the first hash entry naming block i, unusedMark for a
// block that is dropped. False only for want of memory.
bool PrepareCompactedAttributes(Archive* archive, const uint32_t* firstUser, uint32_t blockCount,
                                uint32_t unusedMark, CompactedAttributes* out);

// ---- the name list (listfile_upkeep.cpp; archives opened with UPDATE_KEEP_LISTFILE)

bool ListfileAddName(Archive* archive, const char* name);
bool ListfileRemoveName(Archive* archive, const char* name);
// A direct change of "(listfile)" by the caller: the session's copy is void.
void ForgetSessionList(Archive* archive);
// Stores the session's list when it changed (kRefused: no room for it).
Outcome StoreSessionList(Archive* archive);
void ReleaseSessionList(SessionList* list);

// ---- sector layouts and re-keying (modify.cpp) -----------------------------------

// The file's layout, read and checked, ready for re-keying: its pieces, each
// encrypted with the key plus its index. Those are the sectors, plus the
// checksum block behind them when the file has one, or the one piece of a
// single-unit file.
struct SectorLayout {
  uint32_t dataOffset = 0; // from the block's start: a per-file header's length
  uint64_t dataStart = 0;  // absolute position of the offset table / data
  uint32_t sectorCount = 0;  // pieces
  bool hasTable = false;
  PageBuffer offsets;      // sectorCount + 1 entries, from the data start (the offset table when there is one)
};

// Reads a block's layout with its key (ERROR_FILE_CORRUPT: unsound or not in
// the file).
bool LoadSectorLayout(Archive* archive, const BlockEntry& block, uint32_t key, SectorLayout* layout);
uint64_t LayoutExtent(const SectorLayout& layout);
// Writes a copy of a file's data (LayoutExtent bytes) at `to` in target, its
// offset table and pieces re-encrypted from oldKey to newKey; a per-file
// header is copied as it is. The original is not touched. *readFailed tells
// the old data's fault from the new copy's.
bool WriteRekeyedCopy(Archive* archive, const BlockEntry& block, const SectorLayout& layout, uint32_t oldKey,
                      uint32_t newKey, platform::OsHandle target, uint64_t to, bool* readFailed);
// The key of a position-keyed file whose block moves from `before` to
// `after`.
inline uint32_t MovedKey(uint32_t key, const BlockEntry& before, const BlockEntry& after) {
  return (((key ^ before.fileSize) - before.offset) + after.offset) ^ before.fileSize;
}
// Copies a block's data, as it reads now, to new space of the session and
// points the block entry there, re-keyed when the key follows the position
// (found through entry, a hash entry naming the block). kRefused: the data
// cannot be read or its key found, and the block stays as it is.
Outcome MoveBlockData(Archive* archive, uint32_t index, const HashEntry& entry);

// ---- adding (add.cpp) ------------------------------------------------------------

struct AddSource {
  const char* path = nullptr;        // from disk
  const uint8_t* memory = nullptr;   // from memory
  uint32_t memorySize = 0;
};
// Stores one file in the session (no name-list upkeep), a new entry in
// locale (one replaced keeps its own).
Outcome AddToSession(Archive* archive, const AddSource& source, const char* storedName, uint32_t flags,
                     uint32_t mask, uint32_t level, uint32_t locale);
// The entry to store name/locale in: the entry already holding them (only when
// replace is allowed, else ERR_ALREADY_STORED), else the first deleted mark of
// the probe run, else the empty entry ending it; ERR_HASH_TABLE_FULL when the
// run covers the whole table without one.
HashEntry* FindFreeHashSlot(Archive* archive, const char* name, uint32_t locale, bool replace);

// ERROR_INVALID_PARAMETER for a locale no hash entry can hold: a word of all
// ones marks an entry empty, so such an entry would hide its file and end
// the probe runs of the names behind it.
bool CheckEntryLocale(uint32_t locale);

// The entry of name in exactly this locale, or null.
HashEntry* FindExactHashEntry(Archive* archive, const char* name, uint32_t locale);

// What the list adds share with the single ones.
// One sector's stored form: length bytes at data (inside an input or output
// area of the add).
struct StoredSector {
  uint8_t* data;
  uint32_t length;
};
// Compresses one sector of length bytes into out (room for length bytes);
// the stored form is the compressed bytes only when they are shorter.
StoredSector CompressAddSector(uint8_t* in, uint32_t length, uint8_t* out, uint32_t sectorIndex, uint32_t flags,
                               uint32_t mask, uint32_t level);
// The mask a file's compressed sectors take, given its first bytes: the
// audio methods only for a PCM WAV (else implode, level 0); the outside
// provider is loaded when the mask needs it.
uint32_t AddMaskFor(const uint8_t* firstBytes, uint32_t size, uint32_t flags, uint32_t mask, uint32_t* level);
// Whether such sectors may be compressed on the compression threads (not a
// provider from outside, which may not take calls from several threads).
bool CompressesOnThreads(uint32_t flags, uint32_t mask);
// Whether a reader gets other bytes back than the source's (audio coding).
bool IsLossyAdd(uint32_t flags, uint32_t mask);
// ERROR_INVALID_PARAMETER for a mask whose files could not be read back.
bool CheckAddArguments(uint32_t flags, uint32_t mask);
// Where an add's data go in the block table: the replaced file's own entry,
// unless another entry names it too (writing it would change that file) or
// it names no block at all; else the lowest entry no name refers to, else a
// new entry at the table's end.
struct BlockChoice {
  uint32_t oldIndex;
  uint32_t blockIndex;
  bool grows;
};
BlockChoice ChooseBlock(Archive* archive, const HashEntry& slot);
// Puts the new block and the name's entry into the pending tables.
void InstallBlock(Archive* archive, HashEntry* slot, const char* storedName, const BlockChoice& choice,
                  const BlockEntry& block, uint32_t newLocale);

// ---- progress (progress.cpp) ------------------------------------------------------

// Tells the caller's progress callback that this many more bytes of an
// add's source or a compaction's data were handled.
void ReportUpdateProgress(uint64_t bytes);
