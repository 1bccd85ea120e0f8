// Update sessions: the pending state of an archive beside its committed one,
// the free space between them, and the commit that switches from one to the
// other without ever writing over a byte the committed state uses.
//
// Commit order: new data is already in free space; the name list (when it
// changed) goes there too, then the changed tables; the file is flushed; the
// header is written in one piece and flushed. A stop before the header write
// leaves the old state whole, a stop after it the new one. Only then does
// the space of the old state become free, and the dead tail is cut off.
#include <cstdlib>
#include <cstring>
#include <new>

#include "archive/update/update_internal.h"
#include "archive/read/read_internal.h"
#include "sorvane/sorvane.h"
#include "platform/bytes.h"

// Extents of blocks, each with the block entry it was found for.

namespace {

// The extent remembered for a pending block; the stored size when none is.
uint32_t KnownExtent(const Archive* archive, uint32_t index) {
  const BlockEntry& block = archive->blockTable[index];
  const BlockExtents* known = ExtentsOf(archive);
  if (known != nullptr && index < known->count && std::memcmp(&known->entries[index], &block, sizeof block) == 0) {
    return known->extents[index];
  }
  return block.storedSize;
}

// Tables are encrypted and written through a buffer of this size.
constexpr uint32_t kTableChunk = 64 * 1024;

// Page memory for a table of entries (null on failure, last error set).
template <typename T>
T* AllocateEntries(uint64_t count) {
  if (count * sizeof(T) > 0xFFFFFFFFull) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return static_cast<T*>(platform::VirtualAlloc(count != 0 ? static_cast<size_t>(count * sizeof(T)) : 1));
}

// The header's own bytes: its stated size when that is a sensible one (at
// least what the commit writes of it and below everything else), else what
// the commit writes: 44 bytes of an extended header, 32 of a classic one.
uint64_t HeaderEnd(const Archive* archive, const ExtentList& used) {
  const ArchiveHeader& header = archive->header;
  const uint32_t written = archive->extended ? kExtendedHeaderBytes : kHeaderBytes;
  uint64_t contentStart = ~0ull;
  for (size_t i = 0; i < used.size(); ++i) {
    if (used[i].start < contentStart) contentStart = used[i].start;
  }
  return (header.headerSize >= written && header.headerSize <= contentStart) ? header.headerSize : written;
}

// The archive-relative extent of length bytes at an archive-relative
// offset, found as readers find them: file positions wrap at 32 bits, so an
// offset may reach back into what precedes the header; that part is never
// written and is left out. Ends beyond `limit` are cut there. False when
// nothing is left.
bool RelativeExtent(const Archive* archive, uint64_t offset, uint64_t length, uint64_t limit, Extent* out) {
  const uint64_t start = ArchivePosition(archive, offset);
  const uint64_t end = start + length;
  const uint64_t base = archive->headerOffset;
  if (end <= base) return false;
  out->start = start > base ? start - base : 0;
  out->end = end - base < limit ? end - base : limit;
  return out->end > out->start;
}

// The archive-relative end of the archive file.
uint64_t FileEnd(const Archive* archive) {
  uint64_t size = 0;
  platform::GetFileSize64(archive->fileHandle, &size);
  return size > archive->headerOffset ? size - archive->headerOffset : 0;
}

// Every extent the archive's current tables use: both tables (whole, even
// beyond the file's end, where readers take them as zeros) and the data of
// each block some in-use hash entry names (up to the file's end, beyond
// which no reader finds any).
bool CollectUsed(Archive* archive, const uint32_t* firstUser, ExtentList* used) {
  const ArchiveHeader& h = archive->header;
  const uint64_t fileEnd = FileEnd(archive);
  Extent e;
  if (RelativeExtent(archive, HashTablePos(h), static_cast<uint64_t>(h.hashTableEntries) * kEntryBytes, ~0ull, &e) &&
      !used->Append(e)) {
    return false;
  }
  if (h.blockTableEntries != 0 &&
      RelativeExtent(archive, BlockTablePos(h), static_cast<uint64_t>(h.blockTableEntries) * kEntryBytes, ~0ull,
                     &e) &&
      !used->Append(e)) {
    return false;
  }
  if (archive->extended && h.highOffsetTablePos != 0 && h.blockTableEntries != 0 &&
      RelativeExtent(archive, h.highOffsetTablePos, static_cast<uint64_t>(h.blockTableEntries) * 2, ~0ull, &e) &&
      !used->Append(e)) {
    return false;
  }
  for (uint32_t i = 0; i < h.blockTableEntries && archive->blockTable != nullptr; ++i) {
    if (firstUser[i] == kNoBlock) continue;
    const uint32_t extent = BlockExtent(archive, i, archive->hashTable[firstUser[i]]);
    if (RelativeExtent(archive, BlockOffset(archive->blockTable[i]), extent, fileEnd, &e) && !used->Append(e)) {
      return false;
    }
  }
  return true;
}

}  // namespace

// Archives of the classic header end below 4 GiB counted from the file's
// start; the extended header's positions reach 2^48 (the high words are 16
// bits). Tests lower the classic limit to reach it without writing 4 GB.
uint64_t ClassicFileLimit = 0xFFFFFFFFull;

namespace {

uint64_t SpaceLimit(const Archive* archive) {
  if (archive->extended) return (1ull << 48) - 1;
  return ClassicFileLimit > archive->headerOffset ? ClassicFileLimit - archive->headerOffset : 0;
}

// The extended header's high-offset table is written when some block lies
// at 4 GiB or beyond.
bool NeedsHighOffsets(const Archive* archive) {
  if (!archive->extended) return false;
  for (uint32_t i = 0; i < archive->header.blockTableEntries; ++i) {
    if (archive->blockTable[i].offsetHigh != 0) return true;
  }
  return false;
}

// Counts the in-use entries naming blocks [from, to) that the pending table
// does not have yet. A hostile table's entries may name blocks past its end;
// a block appended there is named by them too, and must not lose its space
// when one of them lets go of it while the block's own file still uses it.
// Entries that change later leave these counts too high, never too low.
void CountReferences(const Archive* archive, uint32_t* refs, uint32_t from, uint32_t to) {
  for (uint32_t i = 0; i < archive->header.hashTableEntries; ++i) {
    const HashEntry& e = archive->hashTable[i];
    if (IsHashEntryInUse(e) && e.blockIndex >= from && e.blockIndex < to && refs[e.blockIndex] != 0xFFFFFFFFu) {
      ++refs[e.blockIndex];
    }
  }
}

void FreeSession(UpdateSession* s) {
  std::free(s->undo);
  platform::VirtualFree(s->blockRefs);
  s->undo = nullptr;
  s->undoCount = s->undoCapacity = 0;
  s->blockRefs = nullptr;
  s->scratch = PageBuffer();
  ReleaseSessionList(&s->list);
  ReleaseSessionAttributes(s);
}

// Cuts the file at a file position when it runs on past it. A cut that
// fails leaves bytes that no state uses; the next session tries again.
void CutFileAt(Archive* archive, uint64_t end) {
  uint64_t size = 0;
  const uint32_t error = GetLastError();
  if (!platform::GetFileSize64(archive->fileHandle, &size) || size <= end) {
    SetLastError(error);
    return;
  }
  int32_t high = static_cast<int32_t>(end >> 32);
  SetLastError(ERROR_SUCCESS);
  if (platform::SetFilePointer(archive->fileHandle, static_cast<int32_t>(static_cast<uint32_t>(end)), &high,
                               platform::kFileBegin) != platform::kInvalidSetFilePointer ||
      GetLastError() == ERROR_SUCCESS) {
    platform::SetEndOfFile(archive->fileHandle);
  }
  SetLastError(error);
}

// Puts the committed state back into the record, and the file back at its
// committed length: whatever the pending state wrote past it goes, so that a
// disk that ran full has its room again. The session's own memory is
// released, the session object stays.
void RestoreCommitted(Archive* archive, UpdateSession* s) {
  if (s->blockRefs != nullptr) {
    for (uint32_t i = s->undoCount; i > 0; --i) archive->hashTable[s->undo[i - 1].index] = s->undo[i - 1].entry;
    platform::VirtualFree(archive->blockTable);
    archive->blockTable = s->committedBlocks;
    s->committedBlocks = nullptr;
    archive->header = s->committedHeader;
    CutFileAt(archive, s->committedFileEnd);
  }
  FreeSession(s);
}

// The pending state becomes the committed one in memory.
void AcceptPending(UpdateSession* s) {
  platform::VirtualFree(s->committedBlocks);
  s->committedBlocks = nullptr;
  FreeSession(s);
}

void EndSession(Archive* archive) {
  if (UpdateState* state = StateOf(archive)) {
    delete state->session;
    state->session = nullptr;
  }
}

// A new session over the committed state.
UpdateSession* StartSession(Archive* archive, bool explicitBatch) {
  UpdateState* state = UpdateStateOf(archive);
  if (state == nullptr) return nullptr;
  auto* s = new (std::nothrow) UpdateSession;
  if (s == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  s->explicitBatch = explicitBatch;
  s->committedHeader = archive->header;
  const uint32_t n = archive->header.hashTableEntries;
  const uint32_t k = archive->blockTable != nullptr ? archive->header.blockTableEntries : 0;
  const uint64_t capacity = static_cast<uint64_t>(k) + k / 4 + 16;
  auto* pending = AllocateEntries<BlockEntry>(capacity);
  s->blockRefs = AllocateEntries<uint32_t>(capacity);
  PageBuffer firstUserBuffer(static_cast<size_t>(k + 1) * sizeof(uint32_t));
  ExtentList used;
  bool ok = pending != nullptr && s->blockRefs != nullptr && firstUserBuffer;
  if (ok) {
    auto* firstUser = reinterpret_cast<uint32_t*>(firstUserBuffer.bytes());
    std::memset(firstUser, 0xFF, firstUserBuffer.size());
    if (k != 0) std::memcpy(pending, archive->blockTable, static_cast<size_t>(k) * sizeof(BlockEntry));
    // Entries naming slots past the table count too (see CountReferences).
    for (uint32_t i = 0; i < n; ++i) {
      const HashEntry& e = archive->hashTable[i];
      if (!IsHashEntryInUse(e) || e.blockIndex >= capacity) continue;
      if (s->blockRefs[e.blockIndex] != 0xFFFFFFFFu) ++s->blockRefs[e.blockIndex];
      if (e.blockIndex < k && firstUser[e.blockIndex] == kNoBlock) firstUser[e.blockIndex] = i;
    }
    ok = CollectUsed(archive, firstUser, &used);
  }
  if (ok) ok = s->space.Build(&used, HeaderEnd(archive, used));
  if (!ok) {
    const uint32_t error = GetLastError();
    platform::VirtualFree(pending);
    FreeSession(s);
    delete s;
    SetLastError(error);
    return nullptr;
  }
  // Bytes past the committed end are dead: cut first, they give a full
  // disk its room back before anything new is written.
  const uint64_t committedEnd = archive->headerOffset + s->space.tail();
  CutFileAt(archive, committedEnd);
  uint64_t size = 0;
  s->committedFileEnd = platform::GetFileSize64(archive->fileHandle, &size) && size < committedEnd ? size : committedEnd;
  s->blockCapacity = static_cast<uint32_t>(capacity);
  s->committedBlocks = archive->blockTable;
  archive->blockTable = pending;
  state->session = s;
  return s;
}

// Where the pending state ends: the header's own bytes, both tables and
// every block in use.
uint64_t PendingEnd(Archive* archive, uint64_t hashPos, uint64_t blockPos, uint64_t highPos) {
  const UpdateSession* s = SessionOf(archive);
  const ArchiveHeader& h = archive->header;
  const uint64_t fileEnd = FileEnd(archive);
  uint64_t end = archive->extended ? kExtendedHeaderBytes : kHeaderBytes;
  Extent e;
  auto grow = [&end, &e] {
    if (e.end > end) end = e.end;
  };
  if (RelativeExtent(archive, hashPos, static_cast<uint64_t>(h.hashTableEntries) * kEntryBytes, ~0ull, &e)) grow();
  if (h.blockTableEntries != 0 &&
      RelativeExtent(archive, blockPos, static_cast<uint64_t>(h.blockTableEntries) * kEntryBytes, ~0ull, &e)) {
    grow();
  }
  if (highPos != 0 && RelativeExtent(archive, highPos, static_cast<uint64_t>(h.blockTableEntries) * 2, ~0ull, &e)) {
    grow();
  }
  for (uint32_t i = 0; i < h.blockTableEntries; ++i) {
    if (s->blockRefs[i] == 0) continue;
    if (RelativeExtent(archive, BlockOffset(archive->blockTable[i]), KnownExtent(archive, i), fileEnd, &e)) grow();
  }
  return end;
}

// Cuts the file after the committed archive when something dead follows it.
void CutDeadTail(Archive* archive) { CutFileAt(archive, archive->headerOffset + archive->committedEnd); }

// Writes the pending state and switches to it; the session ends either way.
// Before the switch a failure restores the committed state; after it the
// new state stands, and a failed flush is still reported.
bool CommitSession(Archive* archive) {
  UpdateSession* s = SessionOf(archive);
  if (StoreSessionList(archive) == Outcome::kArchiveFailed ||
      StoreSessionAttributes(archive) == Outcome::kArchiveFailed) {
    const uint32_t error = GetLastError();
    RestoreCommitted(archive, s);
    EndSession(archive);
    SetLastError(error);
    return false;
  }
  if (!s->hashChanged && !s->blocksChanged) {
    AcceptPending(s);
    EndSession(archive);
    return true;
  }
  const ArchiveHeader& h = archive->header;
  const uint64_t hashBytes = static_cast<uint64_t>(h.hashTableEntries) * kEntryBytes;
  const uint64_t blockBytes = static_cast<uint64_t>(h.blockTableEntries) * kEntryBytes;
  uint64_t hashPos = HashTablePos(s->committedHeader);
  uint64_t blockPos = BlockTablePos(s->committedHeader);
  uint64_t highPos = archive->extended ? s->committedHeader.highOffsetTablePos : 0;
  const bool writeHash = s->hashChanged;
  const bool writeBlocks = s->blocksChanged && blockBytes != 0;
  // The high-offset table follows the block table; it is there while some
  // block needs it, and dropped (position 0) once none does.
  const bool writeHigh = writeBlocks && NeedsHighOffsets(archive);
  const uint64_t highBytes = writeHigh ? static_cast<uint64_t>(h.blockTableEntries) * 2 : 0;
  if (s->blocksChanged && !writeHigh) highPos = 0;
  bool ok = true;
  if (writeHash && writeBlocks) {
    ok = AllocateSpace(archive, hashBytes + blockBytes + highBytes, &hashPos);
    blockPos = hashPos + hashBytes;
  } else if (writeHash) {
    ok = AllocateSpace(archive, hashBytes, &hashPos);
  } else if (writeBlocks) {
    ok = AllocateSpace(archive, blockBytes + highBytes, &blockPos);
  }
  if (writeHigh) highPos = blockPos + blockBytes;
  if (h.blockTableEntries == 0) blockPos = hashPos + hashBytes;
  const uint64_t base = archive->headerOffset;
  // Space handed out never wraps, so these are plain file positions.
  if (ok && writeHash) {
    ok = WriteEncryptedTable(archive->fileHandle, base + hashPos, archive->hashTable, h.hashTableEntries,
                             HashTableKey());
  }
  if (ok && writeBlocks) {
    ok = WriteEncryptedTable(archive->fileHandle, base + blockPos, archive->blockTable, h.blockTableEntries,
                             BlockTableKey());
  }
  if (ok && writeHigh) ok = WriteHighOffsetTable(archive->fileHandle, base + highPos, archive->blockTable, h.blockTableEntries);
  if (ok) ok = platform::FlushFileBuffers(archive->fileHandle);
  ArchiveHeader next = h;
  SetTablePositions(&next, hashPos, blockPos, highPos);
  const uint64_t end = PendingEnd(archive, hashPos, blockPos, highPos);
  if (ok && end > SpaceLimit(archive)) {
    SetLastError(kErrorFileTooLarge);
    ok = false;
  }
  // Past 4 GiB the size field cannot hold the end; readers of the extended
  // header do not trust it anyway.
  next.archiveSize = end > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(end);
  uint8_t raw[kExtendedHeaderBytes];
  SerializeExtendedHeader(next, raw);
  if (ok) ok = WriteExactAt(archive->fileHandle, base, raw, archive->extended ? kExtendedHeaderBytes : kHeaderBytes);
  if (!ok) {
    const uint32_t error = GetLastError();
    RestoreCommitted(archive, s);
    EndSession(archive);
    SetLastError(error);
    return false;
  }
  // Switched: the new state is the archive now.
  archive->header = next;
  archive->committedEnd = end;
  AcceptPending(s);
  EndSession(archive);
  if (!platform::FlushFileBuffers(archive->fileHandle)) return false;
  CutDeadTail(archive);
  return true;
}

void AbandonSession(Archive* archive) {
  RestoreCommitted(archive, SessionOf(archive));
  EndSession(archive);
}

}  // namespace

namespace {

// Writes entries of a table through a small buffer, each turned into its
// disk bytes by pack (entryBytes each) and, with a key, encrypted.
template <typename Entry, typename Pack>
bool WriteTable(platform::OsHandle file, uint64_t position, const Entry* table, uint32_t entries,
                uint32_t entryBytes, const uint32_t* key, Pack pack) {
  if (entries == 0) return true;
  const uint32_t perChunk = kTableChunk / entryBytes;
  const uint32_t chunkEntries = entries < perChunk ? entries : perChunk;
  PageBuffer copy(static_cast<size_t>(chunkEntries) * entryBytes);
  if (!copy) return false;
  CipherState state{key != nullptr ? *key : 0};
  for (uint32_t done = 0; done < entries;) {
    const uint32_t n = entries - done < chunkEntries ? entries - done : chunkEntries;
    for (uint32_t i = 0; i < n; ++i) pack(table[done + i], copy.bytes() + static_cast<size_t>(i) * entryBytes);
    if (key != nullptr) EncryptWords(copy.bytes(), n * entryBytes, &state);
    if (!WriteExactAt(file, position + static_cast<uint64_t>(done) * entryBytes, copy.bytes(), n * entryBytes)) {
      return false;
    }
    done += n;
  }
  return true;
}

}  // namespace

bool WriteEncryptedTable(platform::OsHandle file, uint64_t position, const HashEntry* table, uint32_t entries,
                         uint32_t key) {
  return WriteTable(file, position, table, entries, kEntryBytes, &key, [](const HashEntry& e, uint8_t* out) {
    platform::StoreLE32(out, e.nameHashA);
    platform::StoreLE32(out + 4, e.nameHashB);
    platform::StoreLE32(out + 8, e.locale);
    platform::StoreLE32(out + 12, e.blockIndex);
  });
}

bool WriteEncryptedTable(platform::OsHandle file, uint64_t position, const BlockEntry* table, uint32_t entries,
                         uint32_t key) {
  return WriteTable(file, position, table, entries, kEntryBytes, &key, [](const BlockEntry& e, uint8_t* out) {
    platform::StoreLE32(out, e.offset);
    platform::StoreLE32(out + 4, e.storedSize);
    platform::StoreLE32(out + 8, e.fileSize);
    platform::StoreLE32(out + 12, e.flags);
  });
}

bool WriteHighOffsetTable(platform::OsHandle file, uint64_t position, const BlockEntry* table, uint32_t entries) {
  return WriteTable(file, position, table, entries, 2, nullptr,
                    [](const BlockEntry& e, uint8_t* out) { platform::StoreLE16(out, e.offsetHigh); });
}

void SetTablePositions(ArchiveHeader* header, uint64_t hashPos, uint64_t blockPos, uint64_t highPos) {
  header->hashTableOffset = static_cast<uint32_t>(hashPos);
  header->blockTableOffset = static_cast<uint32_t>(blockPos);
  if (!HasExtendedHeader(*header)) return;
  header->hashTablePosHigh = static_cast<uint16_t>(hashPos >> 32);
  header->blockTablePosHigh = static_cast<uint16_t>(blockPos >> 32);
  header->highOffsetTablePos = highPos;
}

bool NoteHashChange(Archive* archive, const HashEntry* entry) {
  UpdateSession* s = SessionOf(archive);
  if (s->undoCount == s->undoCapacity) {
    const uint32_t capacity = s->undoCapacity < 16 ? 16 : s->undoCapacity * 2;
    void* bigger = std::realloc(s->undo, static_cast<size_t>(capacity) * sizeof(HashUndo));
    if (bigger == nullptr) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return false;
    }
    s->undo = static_cast<HashUndo*>(bigger);
    s->undoCapacity = capacity;
  }
  s->undo[s->undoCount++] = HashUndo{static_cast<uint32_t>(entry - archive->hashTable), *entry};
  return true;
}

UpdateSession* BeginOperation(Archive* archive) {
  UpdateSession* s = SessionOf(archive);
  if (s == nullptr) {
    // Operations that fail later leave the caller's last error alone.
    const uint32_t error = GetLastError();
    s = StartSession(archive, false);
    if (s != nullptr) SetLastError(error);
    return s;
  }
  if (s->failed) {
    SetLastError(s->failure);
    return nullptr;
  }
  return s;
}

bool EndOperation(Archive* archive, Outcome outcome) {
  UpdateSession* s = SessionOf(archive);
  if (outcome == Outcome::kDone) return s->explicitBatch || CommitSession(archive);
  const uint32_t error = GetLastError();
  if (!s->explicitBatch) {
    AbandonSession(archive);
  } else if (outcome == Outcome::kArchiveFailed) {
    RestoreCommitted(archive, s);
    s->failed = true;
    s->failure = error;
  }
  SetLastError(error);
  return false;
}

UpdateState* UpdateStateOf(Archive* archive) {
  if (archive->extension == nullptr) archive->extension = new (std::nothrow) UpdateState(archive);
  if (archive->extension == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return StateOf(archive);
}

UpdateState::~UpdateState() {
  if (session != nullptr) AbandonSession(owner);
  if (extents != nullptr) {
    std::free(extents->entries);
    std::free(extents->extents);
    delete extents;
  }
}

uint32_t BlockExtent(Archive* archive, uint32_t index, const HashEntry& entry) {
  const BlockEntry& block = archive->blockTable[index];
  const BlockExtents* known = ExtentsOf(archive);
  if (known != nullptr && index < known->count && std::memcmp(&known->entries[index], &block, sizeof block) == 0) {
    return known->extents[index];
  }
  const uint32_t error = GetLastError();
  uint32_t extent = block.storedSize;
  uint32_t own = 0;
  if (StoredExtent(archive, entry, &own)) extent = own;
  SetLastError(error);
  NoteBlockExtent(archive, index, block, extent);
  return extent;
}

void NoteBlockExtent(Archive* archive, uint32_t index, const BlockEntry& block, uint32_t extent) {
  UpdateState* state = UpdateStateOf(archive);
  if (state == nullptr) return;
  BlockExtents* known = state->extents;
  if (known == nullptr) {
    known = state->extents = new (std::nothrow) BlockExtents;
    if (known == nullptr) return;
  }
  if (index >= known->count) {
    // Unknown slots hold an entry no block has (offset and sizes all ones
    // with no flags), so they never match.
    const uint32_t count = index + 1 > known->count * 2 ? index + 1 : known->count * 2;
    void* entries = std::realloc(known->entries, static_cast<size_t>(count) * sizeof(BlockEntry));
    if (entries != nullptr) known->entries = static_cast<BlockEntry*>(entries);
    void* extents = std::realloc(known->extents, static_cast<size_t>(count) * sizeof(uint32_t));
    if (extents != nullptr) known->extents = static_cast<uint32_t*>(extents);
    if (entries == nullptr || extents == nullptr) return;
    for (uint32_t i = known->count; i < count; ++i) known->entries[i] = BlockEntry{~0u, ~0u, ~0u, 0, 0xFFFF, 0};
    known->count = count;
  }
  known->entries[index] = block;
  known->extents[index] = extent;
}

namespace {

// A batch that cannot go on: every later change in it is refused, as after a
// failure inside it, until the caller commits or abandons it. Without it the
// caller's later changes would each commit on their own.
void LeaveFailedBatch(Archive* archive, uint32_t error) {
  auto* s = new (std::nothrow) UpdateSession;
  UpdateState* state = UpdateStateOf(archive);
  if (s != nullptr && state != nullptr) {
    s->explicitBatch = true;
    s->failed = true;
    s->failure = error;
    state->session = s;
  } else {
    delete s;
  }
  SetLastError(error);
}

}  // namespace

bool CommitBatchSoFar(Archive* archive, bool* batchOpen) {
  UpdateSession* s = SessionOf(archive);
  *batchOpen = s != nullptr;
  if (s == nullptr) return true;
  if (s->failed) {
    SetLastError(s->failure);
    return false;
  }
  if (CommitSession(archive)) return true;
  LeaveFailedBatch(archive, GetLastError());
  return false;
}

bool CutPastCommittedEnd(Archive* archive) {
  if (SessionOf(archive) != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (StartSession(archive, false) == nullptr) return false;
  AbandonSession(archive);
  return true;
}

bool ResumeBatch(Archive* archive) {
  if (StartSession(archive, true) != nullptr) return true;
  LeaveFailedBatch(archive, GetLastError());
  return false;
}

bool AllocateSpace(Archive* archive, uint64_t size, uint64_t* position) {
  return SessionOf(archive)->space.Allocate(size, SpaceLimit(archive), position);
}

void ReleaseSpace(Archive* archive, uint64_t start, uint64_t end) {
  // Failing to note a gap for want of memory only leaves it unused.
  const uint32_t error = GetLastError();
  SessionOf(archive)->space.Release(start, end);
  SetLastError(error);
}

void ReleaseBlockSpace(Archive* archive, uint32_t index) {
  const UpdateSession* s = SessionOf(archive);
  const BlockEntry& b = archive->blockTable[index];
  if (index < s->committedHeader.blockTableEntries && s->committedBlocks != nullptr) {
    const BlockEntry& c = s->committedBlocks[index];
    if (BlockOffset(c) == BlockOffset(b) && c.storedSize == b.storedSize && c.fileSize == b.fileSize &&
        c.flags == b.flags) {
      return;
    }
  }
  ReleaseSpace(archive, BlockOffset(b), BlockOffset(b) + b.storedSize);
}

bool ReserveBlockEntry(Archive* archive) {
  UpdateSession* s = SessionOf(archive);
  const uint32_t count = archive->header.blockTableEntries;
  if (count == 0xFFFFFFFFu / kEntryBytes) {
    SetLastError(kErrorFileTooLarge);
    return false;
  }
  if (count < s->blockCapacity) return true;
  uint64_t capacity = static_cast<uint64_t>(s->blockCapacity) * 2;
  if (capacity > 0xFFFFFFFFu / kEntryBytes) capacity = 0xFFFFFFFFu / kEntryBytes;
  auto* blocks = AllocateEntries<BlockEntry>(capacity);
  auto* refs = AllocateEntries<uint32_t>(capacity);
  if (blocks == nullptr || refs == nullptr) {
    platform::VirtualFree(blocks);
    platform::VirtualFree(refs);
    return false;
  }
  std::memcpy(blocks, archive->blockTable, static_cast<size_t>(count) * sizeof(BlockEntry));
  std::memcpy(refs, s->blockRefs, static_cast<size_t>(s->blockCapacity) * sizeof(uint32_t));
  CountReferences(archive, refs, s->blockCapacity, static_cast<uint32_t>(capacity));
  platform::VirtualFree(archive->blockTable);
  platform::VirtualFree(s->blockRefs);
  archive->blockTable = blocks;
  s->blockRefs = refs;
  s->blockCapacity = static_cast<uint32_t>(capacity);
  return true;
}

void ChangeBlockReference(Archive* archive, uint32_t oldIndex, uint32_t newIndex) {
  UpdateSession* s = SessionOf(archive);
  const uint32_t count = archive->header.blockTableEntries;
  if (newIndex < count && s->blockRefs[newIndex] != 0xFFFFFFFFu) ++s->blockRefs[newIndex];
  if (oldIndex < count && s->blockRefs[oldIndex] != 0 && --s->blockRefs[oldIndex] == 0) {
    ReleaseBlockSpace(archive, oldIndex);
  }
}

uint32_t BlockReferences(const Archive* archive, uint32_t index) {
  if (index >= archive->header.blockTableEntries) return 0;
  return SessionOf(archive)->blockRefs[index];
}

// ---- batches ----------------------------------------------------------------------

bool BeginArchiveUpdate(ArchiveHandle archive) {
  if (!CheckUpdatableArchive(archive)) return false;
  if (SessionOf(archive) != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  return StartSession(archive, true) != nullptr;
}

bool CommitArchiveUpdate(ArchiveHandle archive) {
  if (!CheckUpdatableArchive(archive)) return false;
  UpdateSession* s = SessionOf(archive);
  if (s == nullptr || !s->explicitBatch) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (s->failed) {
    const uint32_t error = s->failure;
    EndSession(archive);
    SetLastError(error);
    return false;
  }
  return CommitSession(archive);
}

bool AbandonArchiveUpdate(ArchiveHandle archive) {
  if (!CheckUpdatableArchive(archive)) return false;
  UpdateSession* s = SessionOf(archive);
  if (s == nullptr || !s->explicitBatch) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  AbandonSession(archive);
  return true;
}

uint32_t GetArchiveUpdateFailure(ArchiveHandle archive) {
  if (!CheckUpdatableArchive(archive)) return 0xFFFFFFFFu;
  const UpdateSession* s = SessionOf(archive);
  return s != nullptr && s->failed ? s->failure : 0;
}
