// The names a caller hands the library for an archive.
#include "archive/read/known_names.h"

#include "archive/read/read_internal.h"

const char* FindKnownName(const Archive* archive, uint32_t nameA, uint32_t nameB) {
  return archive->knownNames != nullptr ? archive->knownNames->Find(nameA, nameB) : nullptr;
}

void DropKnownNames(Archive* archive) {
  delete archive->knownNames;
  archive->knownNames = nullptr;
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
  DropKnownNames(archive);
  if (count != 0) archive->knownNames = known;
  else delete known;
  return true;
}
