// The stored entries as a caller sees them: every hash entry in use with the
// name that hashes to it, its block's facts and its compression methods.
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "archive/read/read_internal.h"
#include "archive/format/records.h"
#include "sorvane/sorvane.h"
#include "platform/platform.h"

namespace {

uint64_t NameKey(uint32_t a, uint32_t b) { return (static_cast<uint64_t>(a) << 32) | b; }

// Names every archive may hold besides the listed ones.
const char* const kInternalNames[] = {"(listfile)", "(attributes)", "(signature)"};

// A list of the name list bounds what is read: a larger one is no name list.
constexpr uint32_t kMaxListBytes = 64u << 20;

// Reads a whole stored file of the current locale; false when it cannot be
// opened or read through.
bool ReadWhole(ArchiveHandle archive, const char* name, std::string* text) {
  FileHandle file = nullptr;
  if (!OpenArchiveFile(archive, name, 0, &file)) return false;
  const uint32_t size = GetArchiveFileSize(file, nullptr);
  bool ok = size != 0xFFFFFFFFu && size <= kMaxListBytes;
  if (ok) {
    text->assign(size, '\0');
    uint32_t got = 0;
    ok = size == 0 || (ReadArchiveFile(file, text->data(), size, &got, nullptr) && got == size);
  }
  CloseArchiveFile(file);
  return ok;
}

class NameIndex {
 public:
  void Add(const char* name, size_t length) {
    std::string text(name, length);
    index_.emplace(NameKey(HashString(text.c_str(), HASH_NAME_A), HashString(text.c_str(), HASH_NAME_B)),
                   std::move(text));
  }
  void AddLines(const std::string& text) {
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
      if (i < text.size() && text[i] != '\r' && text[i] != '\n' && text[i] != '\0') continue;
      if (i > start) Add(text.data() + start, i - start);
      start = i + 1;
    }
  }
  const std::string* Find(uint32_t a, uint32_t b) const {
    auto it = index_.find(NameKey(a, b));
    return it != index_.end() ? &it->second : nullptr;
  }

 private:
  std::unordered_map<uint64_t, std::string> index_;
};

// Every language version of the list, as the key search reads them; the
// caller's locale is restored (and so is the last error).
void AddArchiveLists(ArchiveHandle archive, NameIndex* index) {
  for (const char* name : kInternalNames) index->Add(name, std::char_traits<char>::length(name));
  const uint32_t savedLocale = GetLocale();
  const uint32_t savedError = GetLastError();
  for (uint32_t locale : KnownLocales) {
    SetLocale(locale);
    std::string text;
    if (ReadWhole(archive, "(listfile)", &text)) index->AddLines(text);
  }
  SetLocale(savedLocale);
  SetLastError(savedError);
}

// The hash entries that lie within the file: a table cut short by the file's
// end holds nothing past it.
uint32_t EntriesInFile(ArchiveHandle archive) {
  const uint32_t declared = archive->header.hashTableEntries;
  uint64_t fileSize = 0;
  if (!platform::GetFileSize64(archive->fileHandle, &fileSize)) return declared;
  const uint64_t start = ArchivePosition(archive, HashTablePos(archive->header));
  const uint64_t inFile = start < fileSize ? (fileSize - start) / kEntryBytes : 0;
  return inFile < declared ? static_cast<uint32_t>(inFile) : declared;
}

ArchiveEntry Describe(ArchiveHandle archive, uint32_t index, const HashEntry& e) {
  ArchiveEntry entry{};
  entry.structSize = sizeof entry;
  entry.hashIndex = index;
  entry.locale = e.locale;
  entry.blockIndex = e.blockIndex;
  entry.methods = 0xFFFFFFFFu;
  entry.hasBlock = archive->blockTable != nullptr && e.blockIndex < archive->header.blockTableEntries;
  if (entry.hasBlock) {
    const BlockEntry& block = archive->blockTable[e.blockIndex];
    entry.flags = block.flags;
    entry.fileSize = block.fileSize;
    entry.blockStoredSize = block.storedSize;
    const uint32_t extent = GetStoredExtent(archive, index);
    entry.storedSize = extent != 0xFFFFFFFFu ? extent : block.storedSize;
    entry.methods = GetCompressionMethods(archive, index);
  }
  return entry;
}

bool Enumerate(ArchiveHandle archive, const char* const* names, uint32_t count, ArchiveEntryCallback callback,
               void* context) {
  NameIndex index;
  AddArchiveLists(archive, &index);
  for (uint32_t i = 0; i < count; ++i) {
    if (names[i] != nullptr) index.Add(names[i], std::char_traits<char>::length(names[i]));
  }
  const uint32_t n = archive->hashTable != nullptr ? EntriesInFile(archive) : 0;
  const uint32_t savedError = GetLastError();
  for (uint32_t i = 0; i < n; ++i) {
    const HashEntry& e = archive->hashTable[i];
    if (IsHashEntryFree(e)) continue;
    ArchiveEntry entry = Describe(archive, i, e);
    const std::string* known = index.Find(e.nameHashA, e.nameHashB);
    const std::string shown = known != nullptr ? *known : "#" + std::to_string(i);
    entry.nameKnown = known != nullptr;
    entry.name = shown.c_str();
    SetLastError(savedError);
    if (!callback(context, &entry)) break;
  }
  return true;
}

}  // namespace

extern "C" bool EnumerateArchiveEntries(ArchiveHandle archive, const char* const* names, uint32_t count,
                                        ArchiveEntryCallback callback, void* context) {
  if (!IsOpenArchive(archive) || callback == nullptr || (names == nullptr && count != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  try {
    return Enumerate(archive, names, count, callback, context);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
}
