// The stored entries as a caller sees them: every hash entry in use with the
// name that hashes to it, its block's facts and its compression methods.
#include <cstdio>
#include <new>
#include <string>

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
  const uint32_t savedError = GetLastError();
  KnownNames names;
  if (!GatherAllNames(archive, &names)) return false;
  SetLastError(savedError);
  for (uint32_t pos = 0; pos < names.size;) {
    const char* name = names.text + pos;
    const uint32_t length = static_cast<uint32_t>(std::char_traits<char>::length(name));
    if (!callback(context, name, length)) break;
    pos += length + 1;
  }
  return true;
}
