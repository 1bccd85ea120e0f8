// The public batch calls: a caller's own session over several changes.
#include "archive/update/update_internal.h"
#include "sorvane/sorvane.h"
#include "sorvane/sorvane_ext.h"

namespace {

// The caller's open batch (null and ERROR_INVALID_PARAMETER when there is
// none: no session, or one operation's own).
UpdateSession* CallersBatch(Archive* archive) {
  UpdateSession* s = SessionOf(archive);
  if (s == nullptr || !s->explicitBatch) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return s;
}

}  // namespace

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
  UpdateSession* s = CallersBatch(archive);
  if (s == nullptr) return false;
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
  if (CallersBatch(archive) == nullptr) return false;
  AbandonSession(archive);
  return true;
}

bool SetBatchesKeepFile(ArchiveHandle archive, bool keep) {
  if (!CheckUpdatableArchive(archive)) return false;
  UpdateState* state = UpdateStateOf(archive);
  if (state == nullptr) return false;
  state->batchesKeepFile = keep;
  return true;
}

uint32_t GetArchiveUpdateFailure(ArchiveHandle archive) {
  if (!CheckUpdatableArchive(archive)) return 0xFFFFFFFFu;
  const UpdateSession* s = SessionOf(archive);
  return s != nullptr && s->failed ? s->failure : 0;
}
