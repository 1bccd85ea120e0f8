#include "names.h"

#include <fstream>
#include <sstream>

#include "cli.h"
#include "guide.h"

namespace sorvane {

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

std::vector<std::string> Components(const std::string& path) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : path) {
    if (IsSeparator(c)) {
      if (!part.empty()) parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  if (!part.empty()) parts.push_back(part);
  return parts;
}

}  // namespace

std::vector<std::string> SplitNames(const std::string& text) {
  std::vector<std::string> names;
  std::string line;
  for (char c : text) {
    if (c == '\r' || c == '\n' || c == '\0') {
      if (!line.empty()) names.push_back(line);
      line.clear();
    } else {
      line += c;
    }
  }
  if (!line.empty()) names.push_back(line);
  return names;
}

bool ReadStoredFile(ArchiveHandle archive, const char* name, std::string* contents) {
  FileHandle file = nullptr;
  if (!OpenArchiveFile(archive, name, 0, &file)) return false;
  SetLastError(0);
  const uint32_t size = GetArchiveFileSize(file, nullptr);
  contents->clear();
  bool ok = size != 0xFFFFFFFFu || GetLastError() == 0;
  std::string chunk(1 << 20, '\0');
  uint32_t total = 0;
  while (ok && total < size) {
    const uint32_t want = std::min<uint32_t>(size - total, static_cast<uint32_t>(chunk.size()));
    uint32_t got = 0;
    ok = ReadArchiveFile(file, chunk.data(), want, &got, nullptr) && got == want;
    if (ok) contents->append(chunk.data(), got);
    total += got;
  }
  const uint32_t error = GetLastError();
  CloseArchiveFile(file);
  if (!ok && error == 0) SetLastError(ERROR_FILE_CORRUPT);
  else SetLastError(error);
  return ok;
}

StoredEntry ToStoredEntry(const ArchiveEntry& e) {
  StoredEntry entry;
  entry.hashIndex = e.hashIndex;
  entry.locale = e.locale;
  if (e.nameKnown) entry.name = e.name;
  entry.blockValid = e.hasBlock != 0;
  entry.blockIndex = e.blockIndex;
  entry.block.fileSize = e.fileSize;
  entry.block.storedSize = e.blockStoredSize;
  entry.block.flags = e.flags;
  entry.extent = e.storedSize;
  entry.methods = e.methods;
  return entry;
}

bool StoredEntries(ArchiveHandle archive, const std::vector<std::string>& names, std::vector<StoredEntry>* out,
                   uint32_t options) {
  std::vector<const char*> given;
  given.reserve(names.size());
  for (const std::string& name : names) given.push_back(name.c_str());
  out->clear();
  auto take = [](void* context, const ArchiveEntry* e) {
    static_cast<std::vector<StoredEntry>*>(context)->push_back(ToStoredEntry(*e));
    return true;
  };
  if (EnumerateArchiveEntriesWith(archive, given.data(), static_cast<uint32_t>(given.size()),
                                  (options & kEntriesNoLayout) ? ENTRIES_NO_LAYOUT : 0, take, out)) {
    if (options & kEntriesFilesOnly) std::erase_if(*out, [](const StoredEntry& e) { return !e.blockValid; });
    return true;
  }
  Fail("cannot gather the archive's entries");
  return false;
}

bool OpenStoredEntry(ArchiveHandle archive, const std::string& name, uint32_t locale, uint32_t hashIndex,
                     bool byIndex, FileHandle* file) {
  if (!byIndex && OpenArchiveFileInLocale(archive, name.c_str(), locale, file)) {
    if (GetArchiveFileInfo(*file, INFO_HASH_INDEX) == hashIndex) return true;
    CloseArchiveFile(*file);
  }
  *file = nullptr;
  return OpenArchiveFileByIndex(archive, hashIndex, file);
}

bool LessByName(const StoredEntry& a, const StoredEntry& b) {
  if (a.name.empty() != b.name.empty()) return b.name.empty();
  if (a.name != b.name) return a.name < b.name;
  if (a.locale != b.locale) return a.locale < b.locale;
  return a.hashIndex < b.hashIndex;
}

std::string DisplayName(const StoredEntry& entry) {
  if (!entry.name.empty()) return Shown(entry.name);
  std::string text = "#";
  text += std::to_string(entry.hashIndex);
  return text;
}

bool IsSafeStoredName(const std::string& name) {
  return !name.empty() && ::IsSafeStoredName(name.c_str());
}

std::string StoredNameForPath(const std::string& path) {
  std::string rest = path;
  if (rest.size() >= 2 && rest[1] == ':') rest = rest.substr(2);
  std::string stored;
  for (const std::string& part : Components(rest)) {
    if (part == ".") continue;
    if (part == "..") return "";
    if (!stored.empty()) stored += '\\';
    stored += part;
  }
  return stored;
}

}  // namespace sorvane
