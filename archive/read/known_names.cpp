// The names a caller hands the library for an archive.
#include "archive/read/known_names.h"

#include <cstdlib>

#include "archive/read/read_internal.h"
#include "sorvane/sorvane_ext.h"

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

bool GatherAllNames(Archive* archive, KnownNames* names) {
  for (const char* internal : {"(listfile)", "(attributes)", "(signature)"}) {
    if (!names->Add(internal, static_cast<uint32_t>(std::strlen(internal)))) return false;
  }
  const uint32_t savedLocale = CurrentLocale;
  bool ok = true;
  for (uint32_t locale : KnownLocales) {
    if (!ok) break;
    // A locale without a list of its own would read the neutral one again.
    if (locale != 0 && !ArchiveHasEntry(archive, "(listfile)", locale)) continue;
    CurrentLocale = locale;
    char* text = nullptr;
    uint32_t size = 0, capacity = 0;
    bool present = false;
    if (ReadListfile(archive, &text, &size, &capacity, &present) && present) ok = names->AddLines(text, size);
    std::free(text);
  }
  CurrentLocale = savedLocale;
  if (ok && archive->knownNames != nullptr) ok = names->AddAll(*archive->knownNames);
  return ok;
}
