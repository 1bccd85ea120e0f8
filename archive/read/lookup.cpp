// Finding stored files by name, locale or hash index, opening and closing
// them, and the queries on open handles.
#include <cstdio>
#include <cstring>
#include <new>

#include "archive/read/read_internal.h"
#include "archive/format/records.h"
#include "sorvane/sorvane_ext.h"
#include "platform/platform.h"

namespace {

bool ListHolds(const void* const* list, uint32_t count, const void* handle) {
  for (uint32_t i = 0; i < count; ++i) {
    if (list[i] == handle) return true;
  }
  return false;
}

// Lists an open file. A stored file's archive must still be open: another
// thread may have closed it while this open looked for the file's key (the
// open's reference kept the record meanwhile); closedError says so then.
bool ListOpenFile(ArchiveFile* file, uint32_t closedError) {
  std::lock_guard<std::mutex> lock(HandleListsMutex);
  if (file->archive != nullptr &&
      !ListHolds(reinterpret_cast<const void* const*>(ArchiveList), ArchiveListCount, file->archive)) {
    SetLastError(closedError);
    return false;
  }
  return AppendToHandleList(OpenFileList, OpenFileListCount, static_cast<FileHandle>(file));
}

void ReleaseFileRecord(ArchiveFile* file) {
  ReleaseName(file->name);
  platform::VirtualFree(file->sectorOffsets);
  platform::VirtualFree(file->unit);
  platform::VirtualFree(file);
}

uint32_t Fail(uint32_t error) {
  SetLastError(error);
  return 0xFFFFFFFFu;
}

bool FailOpen(uint32_t error) {
  SetLastError(error);
  return false;
}

// Opens the disk file that the disk search mode falls back to.
platform::OsHandle OpenFromDisk(const char* name, char** fullPath) {
  const uint32_t needed = MakeLibraryPath(name, nullptr, 0);
  if (needed == 0xFFFFFFFFu) return platform::InvalidHandle();
  char* path = new (std::nothrow) char[needed];
  if (path == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return platform::InvalidHandle();
  }
  platform::OsHandle handle = platform::InvalidHandle();
  if (MakeLibraryPath(name, path, needed) == 0 && platform::FileExists(path)) {
    handle = platform::CreateFile(path, platform::kGenericRead, platform::kFileShareRead,
                                  platform::kOpenExisting, 0);
  }
  if (platform::IsValidHandle(handle)) {
    *fullPath = path;
  } else {
    delete[] path;
  }
  return handle;
}

// The open itself, once the caller's arguments are checked. byIndex selects
// hash entry `index` of `archive` (scope is then 0); name is then the "#N"
// text the file is known by until the key search finds its real name.
// Where an open found its file: an entry of an archive, whose reference the
// open holds, or a file on disk.
struct FoundFile {
  Archive* archive = nullptr;
  HashEntry* entry = nullptr;
  platform::OsHandle disk = platform::InvalidHandle();
  char* diskPath = nullptr;
  bool Stored() const { return !platform::IsValidHandle(disk); }
};

// Gives up an open: drops its reference on the archive found, if any, and
// fails with error.
bool DropFound(FoundFile* found, uint32_t error) {
  if (found->archive != nullptr) ReleaseArchiveReference(found->archive);
  found->archive = nullptr;
  return FailOpen(error);
}

// Finds the entry (by index, in one archive, or in all in priority order,
// in locale or else the neutral one) or, when every archive is searched,
// the file on disk; an entry found must name a block that exists.
bool FindFileToOpen(Archive* archive, const char* name, bool byIndex, uint32_t index,
                    uint32_t searchScope, uint32_t locale, FoundFile* found) {
  if (byIndex || (searchScope == 0 && archive != nullptr)) {
    // Held for the open's length, whatever another thread closes meanwhile.
    if (!AcquireListedArchive(archive)) return FailOpen(ERROR_INVALID_PARAMETER);
    found->archive = archive;
    if (byIndex) {
      if (index >= archive->header.hashTableEntries) return DropFound(found, ERROR_FILE_NOT_FOUND);
      found->entry = &archive->hashTable[index];
      // Empty entries and deletion marks hold no file.
      if (IsHashEntryFree(*found->entry)) return DropFound(found, ERROR_FILE_NOT_FOUND);
    } else {
      found->entry = FindHashEntry(archive, name, locale);
    }
  } else if (searchScope != 0) {
    if (!FindInAllArchives(name, locale, &found->archive, &found->entry)) {
      found->disk = OpenFromDisk(name, &found->diskPath);
      if (!platform::IsValidHandle(found->disk)) return FailOpen(ERROR_FILE_NOT_FOUND);
    }
  } else {
    FindInAllArchives(name, locale, &found->archive, &found->entry);
  }
  if (!found->Stored()) return true;
  if (found->entry == nullptr || found->archive->header.blockTableEntries == 0) {
    return DropFound(found, ERROR_FILE_NOT_FOUND);
  }
  // An entry that names no block of the table belongs to a broken table.
  if (found->entry->blockIndex >= found->archive->header.blockTableEntries) {
    return DropFound(found, ERROR_FILE_CORRUPT);
  }
  if ((found->archive->blockTable[found->entry->blockIndex].flags & BLOCK_EXISTS) == 0) {
    return DropFound(found, ERROR_FILE_INVALID);
  }
  return true;
}

// The open file's record, taking over the open's reference on its archive
// or the disk file. Null on failure, with the disk file closed (a stored
// file's reference stays the caller's).
ArchiveFile* NewFileRecord(const FoundFile& found, const char* name) {
  auto* file = static_cast<ArchiveFile*>(platform::VirtualAlloc(sizeof(ArchiveFile)));
  if (file == nullptr) {
    if (!found.Stored()) {
      platform::CloseHandle(found.disk);
      delete[] found.diskPath;
    }
    return nullptr;
  }
  if (found.Stored()) {
    file->name = CopyName(name);
    file->archive = found.archive;
    file->hashEntry = found.entry;
    // Its key is found for this block; another one put there later is seen.
    file->loadedFor = found.archive->blockTable[found.entry->blockIndex];
  } else {
    file->name = CopyName(found.diskPath);
    delete[] found.diskPath;
    file->diskHandle = found.disk;
  }
  if (file->name == nullptr) {
    if (!found.Stored()) platform::CloseHandle(found.disk);
    platform::VirtualFree(file);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return file;
}

// Finds the key of an encrypted file; an index open passes no name, so that
// the key search looks for one (and the file takes the name it finds).
bool FindKeyForOpen(ArchiveFile* file, const FoundFile& found, bool byIndex) {
  char* foundName = byIndex ? nullptr : file->name;
  file->fileKey = FindFileKey(found.archive, found.entry, &foundName);
  if (byIndex && foundName != nullptr) {
    ReleaseName(file->name);
    file->name = foundName;
  }
  if (file->fileKey != 0) return true;
  ReleaseFileRecord(file);
  ReleaseArchiveReference(found.archive);
  return FailOpen(ERROR_FILE_INVALID);
}

bool OpenFound(Archive* archive, const char* name, bool byIndex, uint32_t index,
               uint32_t searchScope, uint32_t locale, FileHandle* out) {
  FoundFile found;
  if (!FindFileToOpen(archive, name, byIndex, index, searchScope, locale, &found)) return false;
  ArchiveFile* file = NewFileRecord(found, name);
  const bool stored = found.Stored();
  if (file == nullptr) {
    if (stored) DropFound(&found, GetLastError());
    return false;
  }
  if (stored && (found.archive->blockTable[found.entry->blockIndex].flags & BLOCK_ENCRYPTED) &&
      !FindKeyForOpen(file, found, byIndex)) {
    return false;
  }
  // An archive the caller named was closed under the open: its handle is
  // no open archive now. One found by searching simply is no longer there.
  const bool named = byIndex || (searchScope == 0 && archive != nullptr);
  if (!ListOpenFile(file, named ? ERROR_INVALID_PARAMETER : ERROR_FILE_NOT_FOUND)) {
    const uint32_t error = GetLastError();
    if (!stored) platform::CloseHandle(file->diskHandle);
    ReleaseFileRecord(file);
    if (stored) ReleaseArchiveReference(found.archive);
    SetLastError(error);
    return false;
  }
  *out = file;
  return true;
}

// OpenArchiveFile and OpenArchiveFileInLocale once the locale is chosen.
bool OpenByName(ArchiveHandle archive, const char* name, uint32_t searchScope, uint32_t locale,
                FileHandle* out) {
  if (out == nullptr || name == nullptr || (archive != nullptr && !IsOpenArchive(archive))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  uint32_t index = 0;
  const bool indexForm = ParseIndexName(name, &index);
  // The index form needs an archive to index into.
  if (archive == nullptr && indexForm) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const bool byIndex = indexForm && searchScope == 0;
  return OpenFound(archive, name, byIndex, index, searchScope, locale, out);
}

}  // namespace

// ---- handle checks --------------------------------------------------------------------

uint32_t GetHandleKind(const void* handle) {
  if (handle == nullptr) return 0;
  std::lock_guard<std::mutex> lock(HandleListsMutex);
  if (ListHolds(reinterpret_cast<const void* const*>(OpenFileList), OpenFileListCount, handle)) {
    return 2;
  }
  if (ListHolds(reinterpret_cast<const void* const*>(ArchiveList), ArchiveListCount, handle)) {
    return 1;
  }
  return 0;
}

bool IsOpenArchive(const void* handle) {
  if (handle == nullptr) return false;
  std::lock_guard<std::mutex> lock(HandleListsMutex);
  return
         ListHolds(reinterpret_cast<const void* const*>(ArchiveList), ArchiveListCount, handle);
}

bool IsOpenFile(const void* handle) {
  if (handle == nullptr) return false;
  std::lock_guard<std::mutex> lock(HandleListsMutex);
  return
         ListHolds(reinterpret_cast<const void* const*>(OpenFileList), OpenFileListCount, handle);
}

// ---- lookup -------------------------------------------------------------------------------

HashEntry* FindHashEntryFrom(Archive* archive, uint32_t startIndex, uint32_t nameA,
                             uint32_t nameB, uint32_t locale) {
  if (archive == nullptr || archive->hashTable == nullptr) return nullptr;
  const uint32_t n = archive->header.hashTableEntries;
  if (n == 0) return nullptr;
  const uint32_t start = startIndex % n;
  const uint32_t passes = locale != 0 ? 2 : 1;
  // Archives made to resist editors put an entry naming no block of the
  // table ahead of a name's true one; readers pass over it. It is the
  // result only when the name has no other, so that its open tells of the
  // broken table.
  HashEntry* broken = nullptr;
  for (uint32_t pass = 0; pass < passes; ++pass) {
    const uint32_t wanted = pass == 0 ? locale : 0;
    uint32_t i = start;
    do {
      HashEntry& e = archive->hashTable[i];
      // A deletion mark keeps the probe run of the names behind it intact
      // and, whatever its name words, matches no name; only an empty entry
      // ends the run.
      if (!IsHashEntryDeleted(e)) {
        if (IsHashEntryFree(e)) break;
        if (e.nameHashA == nameA && e.nameHashB == nameB && e.locale == wanted) {
          if (e.blockIndex < archive->header.blockTableEntries) return &e;
          if (broken == nullptr) broken = &e;
        }
      }
      i = i + 1 == n ? 0 : i + 1;
    } while (i != start);
  }
  return broken;
}

HashEntry* FindHashEntry(Archive* archive, const char* name, uint32_t locale) {
  if (archive == nullptr || name == nullptr) return nullptr;
  return FindHashEntryFrom(archive, HashString(name, HASH_TABLE_INDEX), HashString(name, HASH_NAME_A),
                           HashString(name, HASH_NAME_B), locale);
}

bool FindInAllArchives(const char* name, uint32_t locale, Archive** archive, HashEntry** entry) {
  *archive = nullptr;
  *entry = nullptr;
  if (name == nullptr) return false;
  const uint32_t start = HashString(name, HASH_TABLE_INDEX);
  const uint32_t a = HashString(name, HASH_NAME_A);
  const uint32_t b = HashString(name, HASH_NAME_B);
  // The order is the list's at one moment, and the archive found is held
  // before another thread can close it.
  std::lock_guard<std::mutex> lock(HandleListsMutex);
  for (uint32_t i = 0; i < ArchiveListCount; ++i) {
    if (HashEntry* e = FindHashEntryFrom(ArchiveList[i], start, a, b, locale)) {
      *archive = ArchiveList[i];
      *entry = e;
      ++(*archive)->refCount;
      return true;
    }
  }
  return false;
}

const BlockEntry* BlockOfFile(const ArchiveFile* file) {
  const Archive* archive = file->archive;
  if (archive == nullptr || file->hashEntry == nullptr || archive->blockTable == nullptr ||
      file->hashEntry->blockIndex >= archive->header.blockTableEntries) {
    return nullptr;
  }
  return &archive->blockTable[file->hashEntry->blockIndex];
}

bool ParseIndexName(const char* name, uint32_t* index) {
  if (name == nullptr || name[0] != '#' || name[1] < '0' || name[1] > '9') return false;
  uint64_t value = 0;
  for (const char* p = name + 1; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + static_cast<uint32_t>(*p - '0');
    if (value > 0xFFFFFFFFull) value = 0xFFFFFFFFull;
  }
  *index = static_cast<uint32_t>(value);
  return true;
}

// ---- opening and closing ----------------------------------------------------------------

bool OpenArchiveFile(ArchiveHandle archive, const char* name, uint32_t searchScope,
                     FileHandle* out) {
  return OpenByName(archive, name, searchScope, GetLocale(), out);
}

bool OpenArchiveFileInLocale(ArchiveHandle archive, const char* name, uint32_t locale, FileHandle* out) {
  return OpenByName(archive, name, 0, locale, out);
}

bool OpenArchiveFileByIndex(ArchiveHandle archive, uint32_t index, FileHandle* out) {
  if (out == nullptr || archive == nullptr || !IsOpenArchive(archive)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  char indexName[16];
  std::snprintf(indexName, sizeof indexName, "#%u", index);
  return OpenFound(archive, indexName, true, index, 0, 0, out);
}

bool OpenFileFromAnyArchive(const char* name, FileHandle* out) {
  return OpenArchiveFile(nullptr, name, 0, out);
}

bool CloseArchiveFile(FileHandle file) {
  if (file == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(HandleListsMutex);
    if (OpenFileListCount == 0) return false;
    const uint32_t before = OpenFileListCount;
    RemoveFromHandleList(OpenFileList, OpenFileListCount, file);
    if (OpenFileListCount == before) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return false;
    }
  }
  if (file->archive != nullptr) {
    ReleaseArchiveReference(file->archive);
  } else {
    platform::CloseHandle(file->diskHandle);
  }
  ReleaseFileRecord(file);
  return true;
}

// ---- queries ---------------------------------------------------------------------------------

bool GetHandleName(const void* handle, char* buffer, uint32_t bufferSize) {
  if (handle == nullptr || buffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const char* source = nullptr;
  switch (GetHandleKind(handle)) {
    case 1: source = static_cast<const Archive*>(handle)->path; break;
    case 2: source = static_cast<const ArchiveFile*>(handle)->name; break;
    default: return false;
  }
  const size_t length = std::strlen(source) + 1;
  std::memcpy(buffer, source, bufferSize < length ? bufferSize : length);
  return true;
}

bool GetHandleNameAlias(const void* handle, char* buffer, uint32_t bufferSize) {
  return GetHandleName(handle, buffer, bufferSize);
}

bool GetFileArchive(FileHandle file, ArchiveHandle* out) {
  if (file == nullptr || out == nullptr || !IsOpenFile(file)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  *out = file->archive;
  return true;
}

// INFO_ARCHIVE returns the handle's low 32 bits, the whole handle on the
// 32-bit target; GetFileArchive gives it at full width.
uint32_t GetArchiveFileInfo(const void* handle, uint32_t infoCode) {
  if (handle == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (infoCode == 0) return Fail(ERROR_UNKNOWN_PROPERTY);
  const uint32_t kind = GetHandleKind(handle);
  if (kind == 0) return Fail(ERROR_INVALID_PARAMETER);
  if (infoCode > INFO_HASH_INDEX) return Fail(ERROR_UNKNOWN_PROPERTY);

  if (kind == 1) {
    const auto* archive = static_cast<const Archive*>(handle);
    switch (infoCode) {
      case INFO_SECTOR_SHIFT: return archive->header.sectorSizeShift;
      case INFO_HASH_TABLE_SIZE: return archive->header.hashTableEntries;
      case INFO_BLOCK_TABLE_SIZE: return archive->header.blockTableEntries;
      case INFO_HANDLE_KIND: return 1;
      case INFO_SIZE: return archive->header.archiveSize;
      case INFO_PRIORITY: {
        std::lock_guard<std::mutex> lock(HandleListsMutex);
        return archive->priority;
      }
      default: return Fail(ERROR_UNKNOWN_PROPERTY);
    }
  }

  const auto* file = static_cast<const ArchiveFile*>(handle);
  if (file->archive == nullptr) {
    switch (infoCode) {
      case INFO_HANDLE_KIND: return 2;
      case INFO_SIZE:
      case INFO_COMPRESSED_SIZE: return platform::GetFileSize(file->diskHandle, nullptr);
      case INFO_FLAGS: return platform::GetFileAttributes(file->name);
      case INFO_POSITION:
        return platform::SetFilePointer(file->diskHandle, 0, nullptr, platform::kFileCurrent);
      default: return Fail(ERROR_UNKNOWN_PROPERTY);
    }
  }

  const Archive* archive = file->archive;
  // A file deleted under its handle has no entry any more: a rebuilt hash
  // table left it none, a deletion mark is no entry of its.
  const bool hasEntry = file->hashEntry != nullptr && !IsHashEntryFree(*file->hashEntry);
  if ((infoCode == INFO_LOCALE || infoCode == INFO_HASH_INDEX) && !hasEntry) return Fail(ERROR_FILE_INVALID);
  switch (infoCode) {
    case INFO_SECTOR_SHIFT: return archive->header.sectorSizeShift;
    case INFO_HASH_TABLE_SIZE: return archive->header.hashTableEntries;
    case INFO_BLOCK_TABLE_SIZE: return archive->header.blockTableEntries;
    case INFO_HANDLE_KIND: return 2;
    case INFO_ARCHIVE: return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(archive));
    case INFO_POSITION: return file->position;
    case INFO_LOCALE: return file->hashEntry->locale;
    case INFO_HASH_INDEX: return static_cast<uint32_t>(file->hashEntry - archive->hashTable);
    default: break;
  }
  const BlockEntry* block = BlockOfFile(file);
  if (block == nullptr) return Fail(ERROR_FILE_INVALID);
  switch (infoCode) {
    case INFO_SIZE: return block->fileSize;
    case INFO_COMPRESSED_SIZE: return block->storedSize;
    case INFO_FLAGS: return block->flags;
    default: return Fail(ERROR_UNKNOWN_PROPERTY);
  }
}

uint32_t SetLocale(uint32_t locale) {
  CurrentLocale.store(locale, std::memory_order_relaxed);
  return locale;
}

uint32_t GetLocale() { return CurrentLocale.load(std::memory_order_relaxed); }

extern "C" bool ArchiveHasEntry(ArchiveHandle archive, const char* name, uint32_t locale) {
  if (!IsOpenArchive(archive) || name == nullptr) return false;
  const uint32_t n = archive->header.hashTableEntries;
  if (n == 0 || archive->hashTable == nullptr) return false;
  const uint32_t a = HashString(name, HASH_NAME_A);
  const uint32_t b = HashString(name, HASH_NAME_B);
  uint32_t i = HashString(name, HASH_TABLE_INDEX) % n;
  for (uint32_t step = 0; step < n; ++step, i = i + 1 == n ? 0 : i + 1) {
    const HashEntry& e = archive->hashTable[i];
    if (IsHashEntryDeleted(e)) continue;
    if (IsHashEntryFree(e)) return false;
    if (e.nameHashA == a && e.nameHashB == b && (locale == ANY_LOCALE || e.locale == locale)) return true;
  }
  return false;
}
