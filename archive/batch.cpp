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

#include "archive/internal_update.h"
#include "archive/read_internal.h"
#include "archive/sorvane.h"

// Extents of blocks, each with the block entry it was found for.
struct BlockExtents {
  BlockEntry* entries = nullptr;
  uint32_t* extents = nullptr;
  uint32_t count = 0;
};

namespace {

// The extent remembered for a pending block; the stored size when none is.
uint32_t KnownExtent(const Archive* archive, uint32_t index) {
  const BlockEntry& block = archive->blockTable[index];
  const BlockExtents* known = archive->extents;
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
// least 32 and below everything else), else 32.
uint64_t HeaderEnd(const ArchiveHeader& header, const ExtentList& used) {
  uint64_t contentStart = ~0ull;
  for (size_t i = 0; i < used.size(); ++i) {
    if (used[i].start < contentStart) contentStart = used[i].start;
  }
  return (header.headerSize >= kHeaderBytes && header.headerSize <= contentStart) ? header.headerSize
                                                                                  : kHeaderBytes;
}

// The archive-relative extent of length bytes at an archive-relative
// offset, found as readers find them: file positions wrap at 32 bits, so an
// offset may reach back into what precedes the header; that part is never
// written and is left out. Ends beyond `limit` are cut there. False when
// nothing is left.
bool RelativeExtent(const Archive* archive, uint32_t offset, uint64_t length, uint64_t limit, Extent* out) {
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
  if (RelativeExtent(archive, h.hashTableOffset, static_cast<uint64_t>(h.hashTableEntries) * kEntryBytes, ~0ull, &e) &&
      !used->Append(e)) {
    return false;
  }
  if (h.blockTableEntries != 0 &&
      RelativeExtent(archive, h.blockTableOffset, static_cast<uint64_t>(h.blockTableEntries) * kEntryBytes, ~0ull,
                     &e) &&
      !used->Append(e)) {
    return false;
  }
  for (uint32_t i = 0; i < h.blockTableEntries && archive->blockTable != nullptr; ++i) {
    if (firstUser[i] == kNoBlock) continue;
    const uint32_t extent = BlockExtent(archive, i, archive->hashTable[firstUser[i]]);
    if (RelativeExtent(archive, archive->blockTable[i].offset, extent, fileEnd, &e) && !used->Append(e)) return false;
  }
  return true;
}

uint64_t SpaceLimit(const Archive* archive) { return 0xFFFFFFFFull - archive->headerOffset; }

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

// Puts the committed state back into the record; the session's own memory is
// released, the session object stays.
void RestoreCommitted(Archive* archive, UpdateSession* s) {
  if (s->blockRefs != nullptr) {
    for (uint32_t i = s->undoCount; i > 0; --i) archive->hashTable[s->undo[i - 1].index] = s->undo[i - 1].entry;
    platform::VirtualFree(archive->blockTable);
    archive->blockTable = s->committedBlocks;
    s->committedBlocks = nullptr;
    archive->header = s->committedHeader;
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
  delete archive->session;
  archive->session = nullptr;
}

// A new session over the committed state.
UpdateSession* StartSession(Archive* archive, bool explicitBatch) {
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
    if (k != 0) std::memcpy(pending, archive->blockTable, static_cast<size_t>(k) * kEntryBytes);
    for (uint32_t i = 0; i < n; ++i) {
      const HashEntry& e = archive->hashTable[i];
      if (!IsHashEntryInUse(e) || e.blockIndex >= k) continue;
      if (s->blockRefs[e.blockIndex] != 0xFFFFFFFFu) ++s->blockRefs[e.blockIndex];
      if (firstUser[e.blockIndex] == kNoBlock) firstUser[e.blockIndex] = i;
    }
    ok = CollectUsed(archive, firstUser, &used);
  }
  if (ok) ok = s->space.Build(&used, HeaderEnd(archive->header, used));
  if (!ok) {
    const uint32_t error = GetLastError();
    platform::VirtualFree(pending);
    FreeSession(s);
    delete s;
    SetLastError(error);
    return nullptr;
  }
  s->blockCapacity = static_cast<uint32_t>(capacity);
  s->committedBlocks = archive->blockTable;
  archive->blockTable = pending;
  archive->session = s;
  return s;
}

// Where the pending state ends: the header's own bytes, both tables and
// every block in use.
uint64_t PendingEnd(Archive* archive, uint32_t hashPos, uint32_t blockPos) {
  const UpdateSession* s = archive->session;
  const ArchiveHeader& h = archive->header;
  const uint64_t fileEnd = FileEnd(archive);
  uint64_t end = kHeaderBytes;
  Extent e;
  auto grow = [&end, &e] {
    if (e.end > end) end = e.end;
  };
  if (RelativeExtent(archive, hashPos, static_cast<uint64_t>(h.hashTableEntries) * kEntryBytes, ~0ull, &e)) grow();
  if (h.blockTableEntries != 0 &&
      RelativeExtent(archive, blockPos, static_cast<uint64_t>(h.blockTableEntries) * kEntryBytes, ~0ull, &e)) {
    grow();
  }
  for (uint32_t i = 0; i < h.blockTableEntries; ++i) {
    if (s->blockRefs[i] == 0) continue;
    if (RelativeExtent(archive, archive->blockTable[i].offset, KnownExtent(archive, i), fileEnd, &e)) grow();
  }
  return end;
}

// Cuts the file after the committed archive when something dead follows it.
void CutDeadTail(Archive* archive) {
  const uint64_t end = static_cast<uint64_t>(archive->headerOffset) + archive->header.archiveSize;
  uint64_t size = 0;
  if (!platform::GetFileSize64(archive->fileHandle, &size) || size <= end) return;
  const uint32_t error = GetLastError();
  int32_t high = static_cast<int32_t>(end >> 32);
  if (platform::SetFilePointer(archive->fileHandle, static_cast<int32_t>(static_cast<uint32_t>(end)), &high,
                               platform::kFileBegin) != platform::kInvalidSetFilePointer ||
      GetLastError() == ERROR_SUCCESS) {
    platform::SetEndOfFile(archive->fileHandle);
  }
  SetLastError(error);
}

// Writes the pending state and switches to it; the session ends either way.
// Before the switch a failure restores the committed state; after it the
// new state stands, and a failed flush is still reported.
bool CommitSession(Archive* archive) {
  UpdateSession* s = archive->session;
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
  uint64_t hashPos = s->committedHeader.hashTableOffset;
  uint64_t blockPos = s->committedHeader.blockTableOffset;
  const bool writeHash = s->hashChanged;
  const bool writeBlocks = s->blocksChanged && blockBytes != 0;
  bool ok = true;
  if (writeHash && writeBlocks) {
    ok = AllocateSpace(archive, hashBytes + blockBytes, &hashPos);
    blockPos = hashPos + hashBytes;
  } else if (writeHash) {
    ok = AllocateSpace(archive, hashBytes, &hashPos);
  } else if (writeBlocks) {
    ok = AllocateSpace(archive, blockBytes, &blockPos);
  }
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
  if (ok) ok = platform::FlushFileBuffers(archive->fileHandle);
  ArchiveHeader next = h;
  next.hashTableOffset = static_cast<uint32_t>(hashPos);
  next.blockTableOffset = static_cast<uint32_t>(blockPos);
  const uint64_t end = PendingEnd(archive, next.hashTableOffset, next.blockTableOffset);
  if (ok && end > SpaceLimit(archive)) {
    SetLastError(kErrorFileTooLarge);
    ok = false;
  }
  next.archiveSize = static_cast<uint32_t>(end);
  uint8_t raw[kHeaderBytes];
  SerializeArchiveHeader(next, raw);
  if (ok) ok = WriteExactAt(archive->fileHandle, base, raw, kHeaderBytes);
  if (!ok) {
    const uint32_t error = GetLastError();
    RestoreCommitted(archive, s);
    EndSession(archive);
    SetLastError(error);
    return false;
  }
  // Switched: the new state is the archive now.
  archive->header = next;
  AcceptPending(s);
  EndSession(archive);
  if (!platform::FlushFileBuffers(archive->fileHandle)) return false;
  CutDeadTail(archive);
  return true;
}

void AbandonSession(Archive* archive) {
  RestoreCommitted(archive, archive->session);
  EndSession(archive);
}

}  // namespace

bool WriteEncryptedTable(platform::OsHandle file, uint64_t position, const void* table, uint32_t entries,
                         uint32_t key) {
  if (entries == 0) return true;
  const uint32_t bytes = entries * kEntryBytes;
  const uint32_t chunk = bytes < kTableChunk ? bytes : kTableChunk;
  PageBuffer copy(chunk);
  if (!copy) return false;
  CipherState state{key};
  const auto* from = static_cast<const uint8_t*>(table);
  for (uint32_t done = 0; done < bytes;) {
    const uint32_t n = bytes - done < chunk ? bytes - done : chunk;
    std::memcpy(copy.bytes(), from + done, n);
    EncryptWords(copy.bytes(), n, &state);
    if (!WriteExactAt(file, position + done, copy.bytes(), n)) return false;
    done += n;
  }
  return true;
}

bool NoteHashChange(Archive* archive, const HashEntry* entry) {
  UpdateSession* s = archive->session;
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
  UpdateSession* s = archive->session;
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
  UpdateSession* s = archive->session;
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

void DiscardUpdateSession(Archive* archive) {
  if (archive->session != nullptr) AbandonSession(archive);
  if (archive->extents != nullptr) {
    std::free(archive->extents->entries);
    std::free(archive->extents->extents);
    delete archive->extents;
    archive->extents = nullptr;
  }
}

uint32_t BlockExtent(Archive* archive, uint32_t index, const HashEntry& entry) {
  const BlockEntry& block = archive->blockTable[index];
  const BlockExtents* known = archive->extents;
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
  BlockExtents* known = archive->extents;
  if (known == nullptr) {
    known = archive->extents = new (std::nothrow) BlockExtents;
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
    for (uint32_t i = known->count; i < count; ++i) known->entries[i] = BlockEntry{~0u, ~0u, ~0u, 0};
    known->count = count;
  }
  known->entries[index] = block;
  known->extents[index] = extent;
}

bool CommitBatchSoFar(Archive* archive, bool* batchOpen) {
  UpdateSession* s = archive->session;
  *batchOpen = s != nullptr;
  if (s == nullptr) return true;
  if (s->failed) {
    SetLastError(s->failure);
    return false;
  }
  return CommitSession(archive);
}

bool ResumeBatch(Archive* archive) { return StartSession(archive, true) != nullptr; }

bool AllocateSpace(Archive* archive, uint64_t size, uint64_t* position) {
  return archive->session->space.Allocate(size, SpaceLimit(archive), position);
}

void ReleaseSpace(Archive* archive, uint64_t start, uint64_t end) {
  // Failing to note a gap for want of memory only leaves it unused.
  const uint32_t error = GetLastError();
  archive->session->space.Release(start, end);
  SetLastError(error);
}

bool ReserveBlockEntry(Archive* archive) {
  UpdateSession* s = archive->session;
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
  std::memcpy(blocks, archive->blockTable, static_cast<size_t>(count) * kEntryBytes);
  std::memcpy(refs, s->blockRefs, static_cast<size_t>(count) * sizeof(uint32_t));
  platform::VirtualFree(archive->blockTable);
  platform::VirtualFree(s->blockRefs);
  archive->blockTable = blocks;
  s->blockRefs = refs;
  s->blockCapacity = static_cast<uint32_t>(capacity);
  return true;
}

void ChangeBlockReference(Archive* archive, uint32_t oldIndex, uint32_t newIndex) {
  UpdateSession* s = archive->session;
  const uint32_t count = archive->header.blockTableEntries;
  if (newIndex < count && s->blockRefs[newIndex] != 0xFFFFFFFFu) ++s->blockRefs[newIndex];
  if (oldIndex < count && s->blockRefs[oldIndex] != 0 && --s->blockRefs[oldIndex] == 0) {
    const BlockEntry& b = archive->blockTable[oldIndex];
    ReleaseSpace(archive, b.offset, static_cast<uint64_t>(b.offset) + b.storedSize);
  }
}

uint32_t BlockReferences(const Archive* archive, uint32_t index) {
  if (index >= archive->header.blockTableEntries) return 0;
  return archive->session->blockRefs[index];
}

// ---- batches ----------------------------------------------------------------------

bool BeginArchiveUpdate(ArchiveHandle archive) {
  if (!CheckUpdatableArchive(archive)) return false;
  if (archive->session != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  return StartSession(archive, true) != nullptr;
}

bool CommitArchiveUpdate(ArchiveHandle archive) {
  if (!CheckUpdatableArchive(archive)) return false;
  UpdateSession* s = archive->session;
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
  UpdateSession* s = archive->session;
  if (s == nullptr || !s->explicitBatch) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  AbandonSession(archive);
  return true;
}

uint32_t GetArchiveUpdateFailure(ArchiveHandle archive) {
  if (!CheckUpdatableArchive(archive)) return 0xFFFFFFFFu;
  const UpdateSession* s = archive->session;
  return s != nullptr && s->failed ? s->failure : 0;
}
