// The names a caller hands the library for an archive.
#include "archive/read/known_names.h"

#include <cstdlib>
#include <mutex>

#include "archive/read/read_internal.h"
#include "sorvane/sorvane_ext.h"

namespace {

// Guards every archive's knownNames: key searches of files being opened on
// several threads look names up while SetArchiveNameList may replace them.
std::mutex KnownNamesMutex;

}  // namespace

char* CopyKnownName(const Archive* archive, uint32_t nameA, uint32_t nameB) {
  std::lock_guard<std::mutex> lock(KnownNamesMutex);
  if (archive->knownNames == nullptr) return nullptr;
  return CopyName(archive->knownNames->Find(nameA, nameB));
}

bool CopyKnownNames(const Archive* archive, KnownNames* names) {
  std::lock_guard<std::mutex> lock(KnownNamesMutex);
  return archive->knownNames == nullptr || names->AddAll(*archive->knownNames);
}

void DropKnownNames(Archive* archive) {
  KnownNames* old = nullptr;
  {
    std::lock_guard<std::mutex> lock(KnownNamesMutex);
    old = archive->knownNames;
    archive->knownNames = nullptr;
  }
  delete old;
}

bool SetArchiveNameList(ArchiveHandle archive, const char* const* names, uint32_t count) {
  if (archive == nullptr || !IsOpenArchive(archive) || (names == nullptr && count != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  auto* known = new (std::nothrow) KnownNames;
  if (known == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  for (uint32_t i = 0; i < count; ++i) {
    if (names[i] != nullptr && !known->Add(names[i], static_cast<uint32_t>(strnlen(names[i], kMaxPath + 1)))) {
      delete known;
      return false;
    }
  }
  if (count == 0) {
    delete known;
    known = nullptr;
  }
  KnownNames* old = nullptr;
  {
    std::lock_guard<std::mutex> lock(KnownNamesMutex);
    old = archive->knownNames;
    archive->knownNames = known;
  }
  delete old;
  return true;
}
