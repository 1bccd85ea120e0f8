// Update sessions: the pending state of an archive beside its committed one.
// A session starts over the committed state, notes each hash entry before
// changing it, and ends by its commit (commit.cpp) or by putting the
// committed state back.
#include <cstdlib>
#include <cstring>
#include <new>

#include "archive/update/update_internal.h"
#include "archive/read/read_internal.h"
#include "sorvane/sorvane.h"

namespace {

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

// The pending tables of a new session: the committed block table copied
// with room to grow, the reference counts of its blocks, and the first hash
// entry naming each committed block (kNoBlock for none). False (last error
// set) for want of memory.
struct PendingStart {
  BlockEntry* blocks = nullptr;
  uint32_t capacity = 0;
  PageBuffer firstUser;
  ~PendingStart() { platform::VirtualFree(blocks); }
};

bool PreparePending(const Archive* archive, UpdateSession* s, PendingStart* out) {
  const uint32_t n = archive->header.hashTableEntries;
  const uint32_t k = archive->blockTable != nullptr ? archive->header.blockTableEntries : 0;
  const uint64_t capacity = static_cast<uint64_t>(k) + k / 4 + 16;
  out->blocks = AllocateEntries<BlockEntry>(capacity);
  s->blockRefs = AllocateEntries<uint32_t>(capacity);
  out->firstUser = PageBuffer(static_cast<size_t>(k + 1) * sizeof(uint32_t));
  if (out->blocks == nullptr || s->blockRefs == nullptr || !out->firstUser) return false;
  out->capacity = static_cast<uint32_t>(capacity);
  auto* firstUser = reinterpret_cast<uint32_t*>(out->firstUser.bytes());
  std::memset(firstUser, 0xFF, out->firstUser.size());
  if (k != 0) std::memcpy(out->blocks, archive->blockTable, static_cast<size_t>(k) * sizeof(BlockEntry));
  // Entries naming slots past the table count too (see CountReferences).
  for (uint32_t i = 0; i < n; ++i) {
    const HashEntry& e = archive->hashTable[i];
    if (!IsHashEntryInUse(e) || e.blockIndex >= capacity) continue;
    if (s->blockRefs[e.blockIndex] != 0xFFFFFFFFu) ++s->blockRefs[e.blockIndex];
    if (e.blockIndex < k && firstUser[e.blockIndex] == kNoBlock) firstUser[e.blockIndex] = i;
  }
  return true;
}

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
  PendingStart pending;
  ExtentList used;
  bool ok = PreparePending(archive, s, &pending);
  if (ok) ok = CollectUsed(archive, reinterpret_cast<const uint32_t*>(pending.firstUser.bytes()), &used);
  uint64_t usedEnd = 0;
  if (ok) {
    usedEnd = UsedEnd(archive, used);
    ok = KeepBlockTableRoom(archive, &used);
  }
  if (ok) ok = s->space.Build(&used, HeaderEnd(archive, used));
  // A batch that must leave the file as it was when abandoned writes no
  // byte into the committed state's dead space, which the cut at the end
  // would not give back.
  if (ok && explicitBatch && state->batchesKeepFile) s->space.KeepToTail();
  if (ok) ReserveTableRoom(archive, s);
  if (!ok) {
    const uint32_t error = GetLastError();
    FreeSession(s);
    delete s;
    SetLastError(error);
    return nullptr;
  }
  // Bytes past the committed end are dead: cut first, they give a full
  // disk its room back before anything new is written.
  const uint64_t committedEnd = archive->headerOffset + usedEnd;
  CutFileAt(archive, committedEnd);
  uint64_t size = 0;
  s->committedFileEnd = platform::GetFileSize64(archive->fileHandle, &size) && size < committedEnd ? size : committedEnd;
  s->blockCapacity = pending.capacity;
  s->committedBlocks = archive->blockTable;
  archive->blockTable = pending.blocks;
  pending.blocks = nullptr;
  state->session = s;
  return s;
}

void AbandonSession(Archive* archive) {
  RestoreCommitted(archive, SessionOf(archive));
  EndSession(archive);
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
