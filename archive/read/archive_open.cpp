// Opening and closing archives, the process-wide lists, the base directory
// and the library's start-up and shutdown.
#include <cstdlib>
#include <cstring>

#include "archive/read/known_names.h"
#include "archive/read/listed_names.h"
#include "archive/read/read_internal.h"
#include "archive/format/records.h"
#include "archive/format/tables.h"
#include "sorvane/sorvane.h"
#include "platform/bytes.h"
#include "platform/platform.h"

std::mutex HandleListsMutex;
ArchiveHandle* ArchiveList = nullptr;
uint32_t ArchiveListCount = 0;
FileHandle* OpenFileList = nullptr;
uint32_t OpenFileListCount = 0;
std::atomic<uint32_t> CurrentLocale{0};
char BaseDirectory[kMaxPath + 1] = {};

namespace {

// Opens of relative paths read the base folder while another thread may set
// it.
std::mutex BaseDirectoryMutex;

constexpr char kBanner[] = "Quillon Sorvane Library v1.06";

bool HasSignature(const uint8_t* bytes) {
  return std::memcmp(bytes, kSignatureMpq, 4) == 0 || std::memcmp(bytes, kSignatureBn3, 4) == 0;
}

void FreeTables(Archive* archive) {
  platform::VirtualFree(archive->hashTable);
  platform::VirtualFree(archive->blockTable);
  archive->hashTable = nullptr;
  archive->blockTable = nullptr;
}

// Reads a table whole; a table that runs past the end of the file keeps the
// zero fill of its buffer for the missing part.
bool ReadTable(platform::OsHandle file, uint64_t position, void* table, uint32_t bytes) {
  uint32_t got = 0;
  return platform::ReadFileAt(file, position, table, bytes, &got);
}

}  // namespace


bool FindArchiveHeader(platform::OsHandle file, HeaderSearch* found) {
  found->archiveStart = 0xFFFFFFFFu;
  found->userDataPos = kNoUserData;
  found->strayUserData = false;
  uint64_t size = 0;
  if (!platform::GetFileSize64(file, &size)) return false;
  // Archive starts are 32-bit; a header further in could not be addressed.
  const uint64_t searched = size > 0xFFFFFFFFull ? 0xFFFFFFFFull : size;
  for (uint64_t position = 0; position < searched; position += 512) {
    uint8_t bytes[kHeaderBytes];
    uint32_t got = 0;
    if (!platform::ReadFileAt(file, position, bytes, kHeaderBytes, &got) || got < kHeaderBytes) return false;
    if (HasSignature(bytes)) {
      found->archiveStart = static_cast<uint32_t>(position);
      return true;
    }
    if (std::memcmp(bytes, kSignatureUserData, 4) != 0) continue;
    // A user-data block names where its archive's header lies; one that
    // points at no header (outside the file, or at other bytes) is passed
    // over, and remembered so the failure can say so.
    const uint32_t userDataSize = platform::LoadLE32(bytes + 4);
    const uint64_t headerPos = position + platform::LoadLE32(bytes + 8);
    uint8_t header[4];
    if (headerPos > position && headerPos + kHeaderBytes <= size && headerPos <= 0xFFFFFFFFull &&
        platform::ReadFileAt(file, headerPos, header, 4, &got) && got == 4 && HasSignature(header)) {
      found->archiveStart = static_cast<uint32_t>(headerPos);
      found->userDataPos = static_cast<uint32_t>(position);
      found->userDataSize = userDataSize;
      found->userDataHeaderSize = platform::LoadLE32(bytes + 12);
      return true;
    }
    found->strayUserData = true;
  }
  return true;
}

uint32_t FindArchiveHeader(platform::OsHandle file) {
  HeaderSearch found;
  return FindArchiveHeader(file, &found) ? found.archiveStart : 0xFFFFFFFFu;
}

// Header values are refused with ERROR_FILE_CORRUPT when no archive could
// have them: no hash entries, a sector size beyond kMaxSectorSizeShift, or a
// table larger than kMaxTableBytes (which also keeps every byte size within
// 32 bits). A table may claim more entries than the file holds: the missing
// part keeps the zero fill of its buffer and is decrypted with the rest.
// Headers of later versions are read through the fields they share with the
// extended header; one without a classic hash table is ERROR_NOT_SUPPORTED.
// Extended fields that point outside the file are junk: the classic header
// is read alone.
namespace {

// What the header says of the tables to read.
struct RecordLayout {
  ArchiveHeader header;
  bool extended = false;
  bool hasHighTable = false;
  uint64_t hashBytes = 0;
  uint64_t blockBytes = 0;
  uint64_t highBytes = 0;
};

bool ReadRecordLayout(platform::OsHandle file, uint32_t archiveStart, RecordLayout* layout) {
  uint8_t raw[kExtendedHeaderBytes] = {};
  uint32_t got = 0;
  if (!platform::ReadFileAt(file, archiveStart, raw, kExtendedHeaderBytes, &got)) return false;
  if (got < kHeaderBytes) {
    SetLastError(ERROR_FILE_CORRUPT);
    return false;
  }
  ArchiveHeader& header = layout->header;
  header = ParseArchiveHeader(raw);
  layout->extended = HasExtendedHeader(header);
  if (layout->extended) {
    if (got < kExtendedHeaderBytes) {
      SetLastError(ERROR_FILE_CORRUPT);
      return false;
    }
    ParseExtendedHeader(raw, &header);
  }
  uint64_t fileSize = 0;
  if (!platform::GetFileSize64(file, &fileSize)) return false;
  layout->highBytes = static_cast<uint64_t>(header.blockTableEntries) * 2;
  // Archives made to resist editors set the version and header size of the
  // extended header over bytes that are no such header (often the hash
  // table's first bytes), and the readers they are made for never look at
  // the version. A table that would start past the file's end, or a
  // high-offset table the file cannot hold, is no header any writer made:
  // the classic header is all there is.
  if (layout->extended) {
    const auto outside = [&](uint64_t position) { return archiveStart + position >= fileSize; };
    const bool tablesOutside = (header.hashTablePosHigh != 0 && outside(HashTablePos(header))) ||
                               (header.blockTablePosHigh != 0 && outside(BlockTablePos(header)));
    const bool highOutside = header.highOffsetTablePos != 0 && layout->highBytes != 0 &&
                             (header.highOffsetTablePos > fileSize ||
                              archiveStart + header.highOffsetTablePos + layout->highBytes > fileSize);
    if (tablesOutside || highOutside) {
      layout->extended = false;
      header.highOffsetTablePos = 0;
      header.hashTablePosHigh = 0;
      header.blockTablePosHigh = 0;
    }
  }
  if (layout->extended && header.formatVersion >= 2 &&
      (header.hashTableEntries == 0 || HashTablePos(header) == 0)) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return false;
  }
  layout->hashBytes = static_cast<uint64_t>(header.hashTableEntries) * kEntryBytes;
  layout->blockBytes = static_cast<uint64_t>(header.blockTableEntries) * kEntryBytes;
  if (header.hashTableEntries == 0 || layout->hashBytes > kMaxTableBytes ||
      layout->blockBytes > kMaxTableBytes || header.sectorSizeShift > kMaxSectorSizeShift) {
    SetLastError(ERROR_FILE_CORRUPT);
    return false;
  }
  layout->hasHighTable = layout->extended && header.highOffsetTablePos != 0 && layout->highBytes != 0;
  return true;
}

}  // namespace

bool LoadArchiveRecord(platform::OsHandle file, uint32_t archiveStart, const char* path,
                       Archive** out) {
  RecordLayout layout;
  if (!ReadRecordLayout(file, archiveStart, &layout)) return false;
  const ArchiveHeader& header = layout.header;
  PageBuffer record(sizeof(Archive));
  if (!record) return false;
  auto* archive = reinterpret_cast<Archive*>(record.bytes());
  archive->header = header;
  archive->extended = layout.extended;
  archive->userDataPos = kNoUserData;
  archive->headerOffset = archiveStart;
  PageBuffer hash(static_cast<size_t>(layout.hashBytes));
  if (!hash) return false;
  PageBuffer blocks;
  PageBuffer rawBlocks(static_cast<size_t>(layout.blockBytes));
  PageBuffer high(static_cast<size_t>(layout.highBytes));
  if (layout.blockBytes != 0) {
    blocks = PageBuffer(static_cast<size_t>(header.blockTableEntries) * sizeof(BlockEntry));
    if (!blocks || !rawBlocks || (layout.hasHighTable && !high)) return false;
  }
  bool ok = ReadTable(file, ArchivePosition(archive, HashTablePos(header)), hash.bytes(),
                      static_cast<uint32_t>(layout.hashBytes));
  if (ok && layout.blockBytes != 0) {
    ok = ReadTable(file, ArchivePosition(archive, BlockTablePos(header)), rawBlocks.bytes(),
                   static_cast<uint32_t>(layout.blockBytes));
  }
  if (ok && layout.hasHighTable) {
    ok = ReadExactAt(file, archiveStart + header.highOffsetTablePos, high.bytes(),
                     static_cast<uint32_t>(layout.highBytes));
  }
  if (!ok) return false;
  DecodeHashTable(hash.bytes(), header.hashTableEntries, HashTableKey(), reinterpret_cast<HashEntry*>(hash.bytes()));
  if (layout.blockBytes != 0) {
    DecodeBlockTable(rawBlocks.bytes(), layout.hasHighTable ? high.bytes() : nullptr, header.blockTableEntries,
                     BlockTableKey(), reinterpret_cast<BlockEntry*>(blocks.bytes()));
  }
  archive->hashTable = static_cast<HashEntry*>(hash.release());
  archive->blockTable = static_cast<BlockEntry*>(blocks.release());
  std::strncpy(archive->path, path, kMaxPath - 1);
  archive->fileHandle = file;
  archive->sectorSize = 512u << header.sectorSizeShift;
  archive->refCount = 1;
  *out = static_cast<Archive*>(record.release());
  return true;
}

void ReleaseArchiveRecord(Archive* archive) {
  if (archive == nullptr) return;
  delete archive->extension;
  archive->extension = nullptr;
  DropKnownNames(archive);
  DropListedNames(archive);
  if (platform::IsValidHandle(archive->fileHandle)) platform::CloseHandle(archive->fileHandle);
  FreeTables(archive);
  platform::VirtualFree(archive);
}

bool AddToArchiveList(Archive* archive) {
  std::lock_guard<std::mutex> lock(HandleListsMutex);
  if (!AppendToHandleList(ArchiveList, ArchiveListCount, static_cast<ArchiveHandle>(archive))) return false;
  if (ArchiveListCount > 1) SortArchiveList();
  return true;
}

bool AcquireListedArchive(Archive* archive) {
  std::lock_guard<std::mutex> lock(HandleListsMutex);
  for (uint32_t i = 0; i < ArchiveListCount; ++i) {
    if (ArchiveList[i] == archive) {
      ++archive->refCount;
      return true;
    }
  }
  return false;
}

void ReleaseArchiveReference(Archive* archive) {
  bool last = false;
  {
    std::lock_guard<std::mutex> lock(HandleListsMutex);
    last = --archive->refCount == 0;
  }
  // Nothing can find the record any more: it is out of the list, and no
  // file or open refers to it.
  if (last) ReleaseArchiveRecord(archive);
}

void SortArchiveList() {
  for (uint32_t start = 1; start < ArchiveListCount; ++start) {
    for (uint32_t i = start; i > 0 && ArchiveList[i]->priority > ArchiveList[i - 1]->priority; --i) {
      ArchiveHandle t = ArchiveList[i];
      ArchiveList[i] = ArchiveList[i - 1];
      ArchiveList[i - 1] = t;
    }
  }
}

bool OpenArchive(const char* path, uint32_t priority, uint32_t flags, ArchiveHandle* out) {
  if (path == nullptr || out == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (flags & OPEN_CD_ONLY) {
    char root[4] = {};
    if (path[0] != 0 && path[1] == ':' && path[2] == '\\') {
      std::memcpy(root, path, 3);
    } else {
      char current[kMaxPath + 1] = {};
      const uint32_t n = platform::GetCurrentDirectory(sizeof current, current);
      if (n == 0 || n > kMaxPath) return false;
      std::memcpy(root, current, 3);
    }
    if (platform::GetDriveType(root) != platform::kDriveCdrom) return false;
  }

  if (!CheckRecordPath(path)) return false;
  const uint32_t access =
      platform::kGenericRead | ((flags & OPEN_WRITE) ? platform::kGenericWrite : 0u);
  char opened[kMaxPath] = {};
  bool busy = false;
  const platform::OsHandle file = OpenArchivePath(path, access, platform::kOpenExisting, opened, &busy);
  if (!platform::IsValidHandle(file)) {
    if (!busy) SetLastError(ERROR_FILE_NOT_FOUND);
    return false;
  }
  Archive* archive = LoadOpenedArchive(file, opened);
  if (archive == nullptr || !ListOpenedArchive(archive, priority, flags)) return false;
  *out = archive;
  return true;
}

bool CloseArchive(ArchiveHandle archive) {
  // Out of the list first, so that no open on another thread finds it
  // while its files are closed; an open already under way holds its own
  // reference and fails when it sees the archive gone.
  {
    std::lock_guard<std::mutex> lock(HandleListsMutex);
    const uint32_t before = ArchiveListCount;
    if (archive != nullptr) RemoveFromHandleList(ArchiveList, ArchiveListCount, archive);
    if (archive == nullptr || ArchiveListCount == before) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return false;
    }
  }
  // Files still open on the archive refer into its hash table: close them,
  // newest first, so no handle is left pointing at released memory.
  for (;;) {
    FileHandle file = nullptr;
    {
      std::lock_guard<std::mutex> lock(HandleListsMutex);
      for (uint32_t i = OpenFileListCount; i > 0 && file == nullptr; --i) {
        if (OpenFileList[i - 1]->archive == archive) file = OpenFileList[i - 1];
      }
    }
    if (file == nullptr) break;
    // Fails only when another thread closed it in between: gone all the same.
    CloseArchiveFile(file);
  }
  ReleaseArchiveReference(archive);
  return true;
}

bool SetArchivePriority(ArchiveHandle archive, uint32_t priority) {
  std::lock_guard<std::mutex> lock(HandleListsMutex);
  uint32_t i = 0;
  while (i < ArchiveListCount && ArchiveList[i] != archive) ++i;
  if (archive == nullptr || i == ArchiveListCount) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  archive->priority = priority;
  if (ArchiveListCount > 1) SortArchiveList();
  return true;
}

bool SetBaseDirectory(const char* path) {
  if (path == nullptr || path[0] == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const size_t n = std::strlen(path);
  if (n > kMaxPath) return false;
  if (n == kMaxPath && path[n - 1] != '\\' && path[n - 1] != '/') return false;
  char folder[kMaxPath + 2] = {};
  std::memcpy(folder, path, n);
  for (size_t i = 0; i < n; ++i) {
    if (folder[i] == '/') folder[i] = '\\';
  }
  if (folder[n - 1] != '\\') folder[n] = '\\';
  const uint32_t attributes = platform::GetFileAttributes(folder);
  if (attributes == platform::kInvalidFileAttributes ||
      (attributes & platform::kFileAttributeDirectory) == 0) {
    return false;
  }
  std::lock_guard<std::mutex> lock(BaseDirectoryMutex);
  std::memcpy(BaseDirectory, folder, sizeof BaseDirectory);
  return true;
}

bool GetBaseDirectory(char* buffer, uint32_t size) {
  if (buffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  std::lock_guard<std::mutex> lock(BaseDirectoryMutex);
  const size_t length = std::strlen(BaseDirectory) + 1;
  std::memcpy(buffer, BaseDirectory, size < length ? size : length);
  return true;
}

// A path the platform calls absolute is used as it is; on Windows a path
// that starts with a backslash only lacks its drive, which comes from the
// base directory.
uint32_t MakeLibraryPath(const char* path, char* buffer, uint32_t size) {
  if (path == nullptr) return 0xFFFFFFFFu;
  const size_t length = std::strlen(path);
  std::lock_guard<std::mutex> lock(BaseDirectoryMutex);
  const char* prefix = "";
  size_t prefixLength = 0;
  if (!platform::IsAbsolutePath(path)) {
    prefix = BaseDirectory;
    prefixLength = path[0] == '\\' ? 2 : std::strlen(BaseDirectory);
    if (prefixLength > std::strlen(BaseDirectory)) prefixLength = std::strlen(BaseDirectory);
  }
  const uint64_t needed = static_cast<uint64_t>(prefixLength) + length + 1;
  if (needed > 0xFFFFFFFEull) return 0xFFFFFFFFu;
  if (buffer == nullptr || size < needed) return static_cast<uint32_t>(needed);
  std::memcpy(buffer, prefix, prefixLength);
  std::memcpy(buffer + prefixLength, path, length + 1);
  return 0;
}

const char* GetLibraryBanner() { return kBanner; }

uint32_t CopyLibraryBanner(char* buffer, uint32_t size) {
  constexpr uint32_t length = sizeof kBanner;  // terminator included
  if (buffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return length;
  }
  std::memcpy(buffer, kBanner, size < length ? size : length);
  return length;
}

uint32_t GetSorvaneVersion() { return SORVANE_VERSION; }

float GetLibraryVersionNumber() { return 2.0f; }
uint64_t GetLibraryVersion64() { return 0x0002000600000001ull; }

void LibraryStartup() {
  BuildCryptTable();
  char path[kMaxPath + 1] = {};
  const uint32_t n = platform::GetModuleFileName(path, kMaxPath);
  if (n == 0 || n >= kMaxPath) return;
  // Cut after the last separator; POSIX module paths use '/'.
  char* cut = nullptr;
  for (char* p = path; *p != 0; ++p) {
    if (*p == '\\' || *p == '/') cut = p;
  }
  if (cut == nullptr) return;
  cut[1] = 0;
  SetBaseDirectory(path);
}

namespace {

// Closes every handle of a list, newest first; one that cannot be closed is
// dropped from the list all the same, so that shutdown ends.
template <typename Handle, typename Close>
void CloseEvery(Handle*& list, uint32_t& count, Close close) {
  for (;;) {
    Handle last = nullptr;
    {
      std::lock_guard<std::mutex> lock(HandleListsMutex);
      if (count == 0) return;
      last = list[count - 1];
    }
    if (!close(last)) {
      std::lock_guard<std::mutex> lock(HandleListsMutex);
      RemoveFromHandleList(list, count, last);
    }
  }
}

}  // namespace

void LibraryShutdown() {
  CloseEvery(OpenFileList, OpenFileListCount, CloseArchiveFile);
  CloseEvery(ArchiveList, ArchiveListCount, CloseArchive);
}

namespace {

// Start-up runs before main from this unit, which every user of the library
// links (it holds OpenArchive). atexit runs handlers in reverse order, so the
// provider is unloaded after every file and archive is closed.
struct LibraryLifetime {
  LibraryLifetime() {
    LibraryStartup();
    std::atexit(UnloadStormLibrary);
    std::atexit(LibraryShutdown);
  }
};
const LibraryLifetime kLibraryLifetime;

}  // namespace
