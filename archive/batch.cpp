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

namespace {

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

// Every extent the archive's current tables use: the hash table, the block
// table and each block some in-use hash entry names.
bool CollectUsed(const Archive* archive, const uint32_t* refs, ExtentList* used) {
  const ArchiveHeader& h = archive->header;
  const uint64_t hashStart = h.hashTableOffset;
  if (!used->Append({hashStart, hashStart + static_cast<uint64_t>(h.hashTableEntries) * kEntryBytes})) return false;
  if (h.blockTableEntries != 0) {
    const uint64_t blockStart = h.blockTableOffset;
    if (!used->Append({blockStart, blockStart + static_cast<uint64_t>(h.blockTableEntries) * kEntryBytes})) {
      return false;
    }
  }
  for (uint32_t i = 0; i < h.blockTableEntries && archive->blockTable != nullptr; ++i) {
    const BlockEntry& b = archive->blockTable[i];
    if (refs[i] == 0 || b.storedSize == 0) continue;
    if (!used->Append({b.offset, static_cast<uint64_t>(b.offset) + b.storedSize})) return false;
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
  ExtentList used;
  bool ok = pending != nullptr && s->blockRefs != nullptr;
  if (ok) {
    if (k != 0) std::memcpy(pending, archive->blockTable, static_cast<size_t>(k) * kEntryBytes);
    for (uint32_t i = 0; i < n; ++i) {
      const HashEntry& e = archive->hashTable[i];
      if (IsHashEntryInUse(e) && e.blockIndex < k && s->blockRefs[e.blockIndex] != 0xFFFFFFFFu) {
        ++s->blockRefs[e.blockIndex];
      }
    }
    ok = CollectUsed(archive, s->blockRefs, &used);
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
uint64_t PendingEnd(const Archive* archive, uint64_t hashPos, uint64_t blockPos) {
  const UpdateSession* s = archive->session;
  const ArchiveHeader& h = archive->header;
  uint64_t end = kHeaderBytes;
  auto grow = [&end](uint64_t v) {
    if (v > end) end = v;
  };
  grow(hashPos + static_cast<uint64_t>(h.hashTableEntries) * kEntryBytes);
  if (h.blockTableEntries != 0) grow(blockPos + static_cast<uint64_t>(h.blockTableEntries) * kEntryBytes);
  for (uint32_t i = 0; i < h.blockTableEntries; ++i) {
    const BlockEntry& b = archive->blockTable[i];
    if (s->blockRefs[i] != 0 && b.storedSize != 0) grow(static_cast<uint64_t>(b.offset) + b.storedSize);
  }
  const uint64_t headerSize = s->committedHeader.headerSize;
  if (headerSize > kHeaderBytes && headerSize <= end) grow(headerSize);
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
  if (StoreSessionList(archive) == Outcome::kArchiveFailed) {
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
  const uint64_t end = PendingEnd(archive, hashPos, blockPos);
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
  if (archive->session == nullptr) return;
  AbandonSession(archive);
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
