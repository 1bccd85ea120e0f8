// Opening archives for update, creating new ones, and putting the header and
// both tables back on disk after a change.
#include <cstring>

#include "archive/update/update_internal.h"
#include "archive/read/read_internal.h"
#include "sorvane/sorvane.h"
#include "platform/bytes.h"

namespace {

// The header's archiveSize, 32 + 16 x N, must fit in 32 bits.
constexpr uint32_t kMaxHashTableEntries = (0xFFFFFFFFu - kHeaderBytes) / kEntryBytes;

uint32_t ChooseDisposition(uint32_t flags) {
  if (flags & UPDATE_OPEN_ALWAYS) return platform::kOpenAlways;
  if (flags & UPDATE_CREATE_ALWAYS) return platform::kCreateAlways;
  if (flags & UPDATE_OPEN_EXISTING) return platform::kOpenExisting;
  return platform::kCreateNew;
}

void CutToEmpty(platform::OsHandle file) {
  int32_t high = 0;
  if (platform::SetFilePointer(file, 0, &high, platform::kFileBegin) == 0) platform::SetEndOfFile(file);
}

// Writes a new, empty archive into the (empty) file and builds its record.
Archive* CreateNewArchive(platform::OsHandle file, const char* path, uint32_t hashTableSize, bool extended) {
  ArchiveHeader header{};
  std::memcpy(header.signature, kSignatureMpq, 4);
  const uint32_t headerBytes = extended ? kExtendedHeaderBytes : kHeaderBytes;
  header.headerSize = headerBytes;
  const uint64_t tableBytes = static_cast<uint64_t>(hashTableSize) * kEntryBytes;
  header.archiveSize = static_cast<uint32_t>(headerBytes + tableBytes);
  header.formatVersion = extended ? 1 : 0;
  header.sectorSizeShift = 3;
  header.hashTableOffset = headerBytes;
  header.blockTableOffset = static_cast<uint32_t>(headerBytes + tableBytes);
  header.hashTableEntries = hashTableSize;
  header.blockTableEntries = 0;

  uint8_t raw[kExtendedHeaderBytes];
  SerializeExtendedHeader(header, raw);
  // A table of 0 entries (or one too large to address) cannot be had; the
  // header already written stays, as the caller will be told of the failure.
  if (hashTableSize == 0 || hashTableSize > kMaxHashTableEntries) {
    if (WriteExactAt(file, 0, raw, headerBytes)) SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // Header and table in one write, so that a stop leaves no header without
  // its table.
  PageBuffer table(static_cast<size_t>(headerBytes + tableBytes));
  if (!table) return nullptr;
  std::memcpy(table.bytes(), raw, headerBytes);
  std::memset(table.bytes() + headerBytes, 0xFF, static_cast<size_t>(tableBytes));
  EncryptBlock(table.bytes() + headerBytes, static_cast<uint32_t>(tableBytes), HashTableKey());
  if (!WriteExactAt(file, 0, table.bytes(), static_cast<uint32_t>(headerBytes + tableBytes)) ||
      !platform::FlushFileBuffers(file)) {
    return nullptr;
  }
  // All ones decrypts to all ones again; filling is cheaper than decrypting.
  PageBuffer hash(static_cast<size_t>(tableBytes));
  if (!hash) return nullptr;
  std::memset(hash.bytes(), 0xFF, hash.size());

  PageBuffer record(sizeof(Archive));
  if (!record) return nullptr;
  auto* archive = reinterpret_cast<Archive*>(record.bytes());
  const size_t pathLength = strnlen(path, kMaxPath - 1);
  std::memcpy(archive->path, path, pathLength);
  archive->path[pathLength] = '\0';
  archive->fileHandle = file;
  archive->sectorSize = 512u << header.sectorSizeShift;
  archive->headerOffset = 0;
  archive->extended = extended;
  archive->userDataPos = kNoUserData;
  archive->blockTable = nullptr;
  archive->hashTable = reinterpret_cast<HashEntry*>(hash.release());
  archive->refCount = 1;
  archive->header = header;
  return static_cast<Archive*>(record.release());
}

}  // namespace

bool CheckUpdatableArchive(Archive* archive) {
  if (archive == nullptr || !IsOpenArchive(archive)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if ((archive->openFlags & OPEN_WRITE) == 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  return true;
}

bool IsUsableArchive(ArchiveHandle archive) {
  return archive != nullptr && archive != reinterpret_cast<ArchiveHandle>(~static_cast<uintptr_t>(0));
}

ArchiveHandle OpenArchiveWritable(const char* path, uint32_t updateFlags, uint32_t hashTableSize) {
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const uint32_t disposition = ChooseDisposition(updateFlags);
  uint32_t access = platform::kGenericRead | platform::kGenericWrite;
  uint32_t storedFlags = updateFlags | OPEN_WRITE;
  const bool readOnly = (updateFlags & UPDATE_READ_ONLY) != 0;
  if (readOnly) {
    if ((updateFlags & UPDATE_OPEN_EXISTING) == 0) {
      SetLastError(ERR_READ_ONLY_NEEDS_EXISTING);
      return nullptr;
    }
    access = platform::kGenericRead;
    storedFlags = updateFlags & ~OPEN_WRITE;
  }
  // The record keeps the path in a fixed field; a longer one cannot be kept.
  if (std::strlen(path) >= kMaxPath) {
    SetLastError(platform::kErrorFilenameExcedRange);
    return nullptr;
  }

  char openedPath[kMaxPath + 1];
  std::strcpy(openedPath, path);
  // A handle that writes keeps every other archive handle out, in this
  // process or another; read-only ones share with readers. A file in use is
  // never looked for again under the base folder: that would be another
  // archive of the same name.
  platform::OsHandle file = platform::CreateSharedFile(path, access, platform::kFileShareRead, disposition, false);
  bool busy = !platform::IsValidHandle(file) && GetLastError() == ERROR_SHARING_VIOLATION;
  if (!platform::IsValidHandle(file) && !busy) {
    const uint32_t firstError = GetLastError();
    const uint32_t needed = MakeLibraryPath(path, nullptr, 0);
    if (needed != 0 && needed != 0xFFFFFFFFu && needed <= kMaxPath &&
        MakeLibraryPath(path, openedPath, needed) == 0) {
      file = platform::CreateSharedFile(openedPath, access, platform::kFileShareRead, disposition, false);
      busy = !platform::IsValidHandle(file) && GetLastError() == ERROR_SHARING_VIOLATION;
    } else {
      SetLastError(firstError);
    }
  }
  if (!platform::IsValidHandle(file)) {
    if (busy) SetLastError(ERROR_SHARING_VIOLATION);
    else if (updateFlags & UPDATE_OPEN_EXISTING) SetLastError(ERROR_FILE_NOT_FOUND);
    return reinterpret_cast<ArchiveHandle>(~static_cast<uintptr_t>(0));
  }

  // Whether this open made the file: the system names one that was already
  // there (ERROR_ALREADY_EXISTS).
  const bool created =
      disposition == platform::kCreateNew ||
      (disposition != platform::kOpenExisting && GetLastError() != platform::kErrorAlreadyExists);
  uint64_t fileSize = 0;
  if (!platform::GetFileSize64(file, &fileSize)) {
    const uint32_t error = GetLastError();
    platform::CloseHandle(file);
    SetLastError(error);
    return nullptr;
  }

  Archive* archive = nullptr;
  if (fileSize == 0 && !readOnly) {
    archive = CreateNewArchive(file, openedPath, hashTableSize, (updateFlags & UPDATE_FORMAT_1) != 0);
    // The new file's name must reach the disk too, or a power loss could
    // take an archive whose updates were all reported done.
    if (archive != nullptr && created && !platform::FlushFolderOf(openedPath)) {
      const uint32_t error = GetLastError();
      ReleaseArchiveRecord(archive);
      archive = nullptr;
      file = platform::InvalidHandle();
      SetLastError(error);
    }
    if (archive == nullptr) {
      const uint32_t error = GetLastError();
      const bool sizeRefused = hashTableSize == 0 || hashTableSize > kMaxHashTableEntries;
      if (platform::IsValidHandle(file)) {
        // What a failed creation wrote goes: the file is empty again, or gone
        // when this open made it. A refused size keeps its header.
        if (!sizeRefused) CutToEmpty(file);
        platform::CloseHandle(file);
      }
      if (created && !sizeRefused) platform::DeleteFile(openedPath);
      SetLastError(error);
      return nullptr;
    }
  } else {
    HeaderSearch found;
    if (!FindArchiveHeader(file, &found) || found.archiveStart == 0xFFFFFFFFu) {
      platform::CloseHandle(file);
      SetLastError(found.strayUserData ? ERROR_FILE_CORRUPT : ERR_NOT_ARCHIVE);
      return nullptr;
    }
    if (!LoadArchiveRecord(file, found.archiveStart, openedPath, &archive)) {
      const uint32_t error = GetLastError();
      platform::CloseHandle(file);
      SetLastError(error);
      return nullptr;
    }
    archive->userDataPos = found.userDataPos;
    archive->userDataSize = found.userDataSize;
    archive->userDataHeaderSize = found.userDataHeaderSize;
    // Later header versions carry tables of their own that an update would
    // leave stale; they are read, never written.
    if (!readOnly && archive->header.formatVersion >= 2 && archive->extended) {
      ReleaseArchiveRecord(archive);
      SetLastError(ERROR_NOT_SUPPORTED);
      return nullptr;
    }
  }
  archive->priority = 0;
  archive->openFlags = storedFlags;
  if (!AddToArchiveList(archive)) {
    const uint32_t error = GetLastError();
    ReleaseArchiveRecord(archive);
    SetLastError(error);
    return nullptr;
  }
  return archive;
}

bool CloseWritableArchive(ArchiveHandle archive, uint32_t /*ignored*/) { return CloseArchive(archive); }
