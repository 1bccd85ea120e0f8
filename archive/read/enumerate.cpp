// The stored entries as a caller sees them: every hash entry in use with the
// name that hashes to it, its block's facts and its compression methods.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "archive/format/records.h"
#include "archive/read/known_names.h"
#include "archive/read/listed_names.h"
#include "archive/read/read_internal.h"
#include "platform/platform.h"
#include "sorvane/sorvane_ext.h"

namespace {

ArchiveEntry Describe(ArchiveHandle archive, uint32_t index, const HashEntry& e, uint32_t flags,
                      const uint64_t* fileSize) {
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
    entry.storedSize = block.storedSize;
    if ((flags & ENTRIES_NO_LAYOUT) == 0) {
      const uint32_t extent = StoredExtentAt(archive, index, fileSize);
      if (extent != 0xFFFFFFFFu) entry.storedSize = extent;
      entry.methods = CompressionMethodsAt(archive, index, fileSize);
    }
  }
  return entry;
}

bool Enumerate(ArchiveHandle archive, const char* const* names, uint32_t count, uint32_t flags,
               ArchiveEntryCallback callback, void* context) {
  const uint32_t savedError = GetLastError();
  // Names are taken from the archive's lists first, then from those given
  // with SetArchiveNameList, then from the caller's.
  ListedNames* listed = AcquireListedNames(archive);
  if (listed == nullptr) return false;
  KnownNames index;
  bool ok = CopyKnownNames(archive, &index);
  for (uint32_t i = 0; ok && i < count; ++i) {
    if (names[i] != nullptr) ok = index.Add(names[i], static_cast<uint32_t>(strnlen(names[i], kMaxPath + 1)));
  }
  if (!ok) {
    ReleaseListedNames(archive, listed);
    return false;
  }
  const uint32_t n = archive->hashTable != nullptr ? HashEntriesInFile(archive) : 0;
  uint64_t size = 0;
  const uint64_t* fileSize = platform::GetFileSize64(archive->fileHandle, &size) ? &size : nullptr;
  for (uint32_t i = 0; i < n; ++i) {
    const HashEntry& e = archive->hashTable[i];
    if (IsHashEntryFree(e)) continue;
    ArchiveEntry entry = Describe(archive, i, e, flags, fileSize);
    const char* known = listed->Shown(e.nameHashA, e.nameHashB);
    if (known == nullptr) known = index.Find(e.nameHashA, e.nameHashB);
    char byIndex[16];
    std::snprintf(byIndex, sizeof byIndex, "#%u", i);
    entry.nameKnown = known != nullptr;
    entry.name = known != nullptr ? known : byIndex;
    SetLastError(savedError);
    if (!callback(context, &entry)) break;
  }
  ReleaseListedNames(archive, listed);
  SetLastError(savedError);
  return true;
}

}  // namespace

uint32_t HashEntriesInFile(const Archive* archive) {
  const uint32_t declared = archive->header.hashTableEntries;
  uint64_t fileSize = 0;
  if (!platform::GetFileSize64(archive->fileHandle, &fileSize)) return declared;
  const uint64_t start = ArchivePosition(archive, HashTablePos(archive->header));
  const uint64_t inFile = start < fileSize ? (fileSize - start) / kEntryBytes : 0;
  return inFile < declared ? static_cast<uint32_t>(inFile) : declared;
}

extern "C" bool EnumerateArchiveEntries(ArchiveHandle archive, const char* const* names, uint32_t count,
                                        ArchiveEntryCallback callback, void* context) {
  return EnumerateArchiveEntriesWith(archive, names, count, 0, callback, context);
}

extern "C" bool EnumerateArchiveEntriesWith(ArchiveHandle archive, const char* const* names, uint32_t count,
                                            uint32_t flags, ArchiveEntryCallback callback, void* context) {
  if (!IsOpenArchive(archive) || callback == nullptr || (names == nullptr && count != 0) ||
      (flags & ~ENTRIES_NO_LAYOUT) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  try {
    return Enumerate(archive, names, count, flags, callback, context);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
}

extern "C" bool EnumerateListedNames(ArchiveHandle archive, ListedNameCallback callback, void* context) {
  if (!IsOpenArchive(archive) || callback == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  return ForEachListedName(archive, callback, context);
}

extern "C" bool CollectArchiveEntries(ArchiveHandle archive, const char* const* names, uint32_t count,
                                      ArchiveEntryTable** out) {
  if (out == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  *out = nullptr;
  if (!IsOpenArchive(archive) || (names == nullptr && count != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const uint32_t savedError = GetLastError();
  try {
    struct Gathered {
      std::vector<ArchiveEntry> entries;
      std::string names;
    } gathered;
    auto take = [](void* context, const ArchiveEntry* e) {
      auto* g = static_cast<Gathered*>(context);
      g->entries.push_back(*e);
      g->names.append(e->name);
      g->names.push_back('\0');
      return true;
    };
    if (!Enumerate(archive, names, count, 0, take, &gathered)) return false;
    // One block: the table, the entries, the names. The entries start at a
    // multiple of their alignment.
    constexpr size_t kAlign = alignof(ArchiveEntry);
    const size_t head = (sizeof(ArchiveEntryTable) + kAlign - 1) / kAlign * kAlign;
    const size_t entryBytes = gathered.entries.size() * sizeof(ArchiveEntry);
    auto* block = static_cast<unsigned char*>(std::malloc(head + entryBytes + gathered.names.size() + 1));
    if (block == nullptr) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return false;
    }
    auto* table = reinterpret_cast<ArchiveEntryTable*>(block);
    auto* entries = reinterpret_cast<ArchiveEntry*>(block + head);
    char* text = reinterpret_cast<char*>(block + head + entryBytes);
    if (!gathered.names.empty()) std::memcpy(text, gathered.names.data(), gathered.names.size());
    text[gathered.names.size()] = '\0';
    size_t pos = 0;
    for (size_t i = 0; i < gathered.entries.size(); ++i) {
      entries[i] = gathered.entries[i];
      entries[i].name = text + pos;
      pos += std::strlen(text + pos) + 1;
    }
    *table = ArchiveEntryTable{};
    table->structSize = sizeof(ArchiveEntryTable);
    table->count = static_cast<uint32_t>(gathered.entries.size());
    table->entrySize = sizeof(ArchiveEntry);
    table->entries = entries;
    table->names = text;
    table->namesSize = gathered.names.size();
    *out = table;
    SetLastError(savedError);
    return true;
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
}

extern "C" void FreeArchiveEntryTable(ArchiveEntryTable* table) { std::free(table); }
