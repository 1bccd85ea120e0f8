// Opening archives for update, creating new ones, and putting the header and
// both tables back on disk after a change.
#include <cstring>

#include "archive/update/update_internal.h"
#include "archive/read/read_internal.h"
#include "sorvane/sorvane.h"
#include "platform/bytes.h"

namespace {

// The largest table opening takes again (which also keeps the header's
// archiveSize, 32 + 16 x N, within 32 bits).
constexpr uint32_t kMaxHashTableEntries = kMaxTableBytes / kEntryBytes;

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

namespace {

// What an update open asks of the file and keeps in the record's flags.
struct UpdateAccess {
  uint32_t access = platform::kGenericRead | platform::kGenericWrite;
  uint32_t storedFlags = 0;
  bool readOnly = false;
};

bool ChooseUpdateAccess(uint32_t updateFlags, UpdateAccess* chosen) {
  chosen->storedFlags = updateFlags | OPEN_WRITE;
  chosen->readOnly = (updateFlags & UPDATE_READ_ONLY) != 0;
  if (!chosen->readOnly) return true;
  if ((updateFlags & UPDATE_OPEN_EXISTING) == 0) {
    SetLastError(ERR_READ_ONLY_NEEDS_EXISTING);
    return false;
  }
  chosen->access = platform::kGenericRead;
  chosen->storedFlags = updateFlags & ~OPEN_WRITE;
  return true;
}

// Writes a new archive into the empty file. What a failed creation wrote
// goes: the file is empty again, or gone when this open made it; a refused
// table size keeps its header. The file is closed on failure.
Archive* CreateInEmptyFile(platform::OsHandle file, const char* openedPath, uint32_t hashTableSize,
                           bool extended, bool created) {
  Archive* archive = CreateNewArchive(file, openedPath, hashTableSize, extended);
  // The new file's name must reach the disk too, or a power loss could
  // take an archive whose updates were all reported done.
  if (archive != nullptr && created && !platform::FlushFolderOf(openedPath)) {
    const uint32_t error = GetLastError();
    ReleaseArchiveRecord(archive);
    archive = nullptr;
    file = platform::InvalidHandle();
    SetLastError(error);
  }
  if (archive != nullptr) return archive;
  const uint32_t error = GetLastError();
  const bool sizeRefused = hashTableSize == 0 || hashTableSize > kMaxHashTableEntries;
  if (platform::IsValidHandle(file)) {
    if (!sizeRefused) CutToEmpty(file);
    platform::CloseHandle(file);
  }
  if (created && !sizeRefused) platform::DeleteFile(openedPath);
  SetLastError(error);
  return nullptr;
}

// Loads an existing archive. Later header versions carry tables of their own
// that an update would leave stale; they are read, never written.
Archive* LoadForUpdate(platform::OsHandle file, const char* openedPath, bool readOnly) {
  Archive* archive = LoadOpenedArchive(file, openedPath);
  if (archive == nullptr || readOnly || archive->header.formatVersion < 2 || !archive->extended) {
    return archive;
  }
  ReleaseArchiveRecord(archive);
  SetLastError(ERROR_NOT_SUPPORTED);
  return nullptr;
}

}  // namespace

ArchiveHandle OpenArchiveWritable(const char* path, uint32_t updateFlags, uint32_t hashTableSize) {
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const uint32_t disposition = ChooseDisposition(updateFlags);
  UpdateAccess chosen;
  if (!ChooseUpdateAccess(updateFlags, &chosen) || !CheckRecordPath(path)) return nullptr;

  char openedPath[kMaxPath] = {};
  bool busy = false;
  const platform::OsHandle file = OpenArchivePath(path, chosen.access, disposition, openedPath, &busy);
  if (!platform::IsValidHandle(file)) {
    if (!busy && (updateFlags & UPDATE_OPEN_EXISTING)) SetLastError(ERROR_FILE_NOT_FOUND);
    return reinterpret_cast<ArchiveHandle>(~static_cast<uintptr_t>(0));
  }

  // Whether this open made the file: the system names one that was already
  // there (ERROR_ALREADY_EXISTS).
  const bool created =
      disposition == platform::kCreateNew ||
      (disposition != platform::kOpenExisting && GetLastError() != platform::kErrorAlreadyExists);
  OwnedFile owned(file);
  uint64_t fileSize = 0;
  if (!platform::GetFileSize64(file, &fileSize)) return nullptr;
  owned.Release();
  Archive* archive =
      fileSize == 0 && !chosen.readOnly
          ? CreateInEmptyFile(file, openedPath, hashTableSize, (updateFlags & UPDATE_FORMAT_1) != 0, created)
          : LoadForUpdate(file, openedPath, chosen.readOnly);
  if (archive == nullptr || !ListOpenedArchive(archive, 0, chosen.storedFlags)) return nullptr;
  return archive;
}

bool CloseWritableArchive(ArchiveHandle archive, uint32_t /*ignored*/) { return CloseArchive(archive); }
