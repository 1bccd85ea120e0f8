// Folder listings that carry what a walk needs of each entry: the search
// records give every file's kind, size and time, so a walk over many small
// files asks the system nothing more per file.
#include "platform/win32/win32_internal.h"
#include "platform/write_steps.h"

namespace platform {

using win32::CheckHandle;
using win32::ToHandle;

namespace {

uint64_t Join(DWORD high, DWORD low) { return (static_cast<uint64_t>(high) << 32) | low; }

}  // namespace

bool WritePiecesAt(OsHandle file, uint64_t offset, const WritePiece* pieces, uint32_t count) {
  if (!CheckHandle(file)) return false;
  if (pieces == nullptr && count != 0) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  uint64_t length = 0;
  for (uint32_t i = 0; i < count; ++i) length += pieces[i].size;
  if (!win32::CheckRange(offset, length)) return false;
  if (!internal::TakeWriteStep(true)) return false;
  for (uint32_t i = 0; i < count; ++i) {
    const auto* in = static_cast<const uint8_t*>(pieces[i].data);
    uint32_t total = 0;
    while (total < pieces[i].size) {
      OVERLAPPED at = {};
      at.Offset = static_cast<DWORD>(offset);
      at.OffsetHigh = static_cast<DWORD>(offset >> 32);
      DWORD done = 0;
      if (!::WriteFile(ToHandle(file), in + total, pieces[i].size - total, &done, &at)) return false;
      if (done == 0) {
        ::SetLastError(ERROR_DISK_FULL);
        return false;
      }
      total += done;
      offset += done;
    }
  }
  return true;
}

OsHandle OpenFileForReading(const char* path) {
  if (path == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return InvalidHandle();
  }
  // Read sharing only, as for any file read for an archive: no writer may
  // change it while it is read, and one still being written is refused.
  HANDLE h = ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                           nullptr);
  if (h == INVALID_HANDLE_VALUE || h == nullptr) return InvalidHandle();
  return h;
}

bool ReadOnce(OsHandle file, void* buffer, uint32_t count, uint32_t* bytesRead) {
  *bytesRead = 0;
  if (!CheckHandle(file)) return false;
  DWORD got = 0;
  if (!::ReadFile(ToHandle(file), buffer, count, &got, nullptr)) return false;
  *bytesRead = got;
  return true;
}

bool ListFolder(const char* path, std::vector<FolderEntry>* entries) {
  entries->clear();
  if (path == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  std::string folder = path;
  win32::EndWithSeparator(folder);
  const std::string pattern = folder + '*';
  WIN32_FIND_DATAA found;
  HANDLE search = ::FindFirstFileA(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  bool ok = true;
  do {
    const char* name = found.cFileName;
    if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
    FolderEntry entry;
    entry.name = name;
    const DWORD attributes = found.dwFileAttributes;
    const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      // A link or junction: what it leads to is looked up through it.
      entry.kind = EntryKind::Link;
      const std::string full = folder + name;
      WIN32_FILE_ATTRIBUTE_DATA target;
      if (!::GetFileAttributesExA(full.c_str(), GetFileExInfoStandard, &target)) {
        entry.target = EntryKind::Missing;
      } else if ((target.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        entry.target = EntryKind::Folder;
      } else {
        entry.target = EntryKind::File;
        entry.size = Join(target.nFileSizeHigh, target.nFileSizeLow);
        entry.writeTime = Join(target.ftLastWriteTime.dwHighDateTime, target.ftLastWriteTime.dwLowDateTime);
      }
      if (folder && entry.target == EntryKind::Missing) entry.target = EntryKind::Folder;
    } else if (folder) {
      entry.kind = entry.target = EntryKind::Folder;
    } else if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
      entry.kind = entry.target = EntryKind::Other;
    } else {
      entry.kind = entry.target = EntryKind::File;
      entry.size = Join(found.nFileSizeHigh, found.nFileSizeLow);
      entry.writeTime = Join(found.ftLastWriteTime.dwHighDateTime, found.ftLastWriteTime.dwLowDateTime);
    }
    entries->push_back(std::move(entry));
  } while (::FindNextFileA(search, &found));
  if (::GetLastError() != ERROR_NO_MORE_FILES) ok = false;
  const DWORD error = ::GetLastError();
  ::FindClose(search);
  if (!ok) ::SetLastError(error);
  return ok;
}

bool GetFileIdentity(const char* path, uint64_t* device, uint64_t* fileId) {
  if (path == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  HANDLE h = ::CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool ok = ::GetFileInformationByHandle(h, &info) != FALSE;
  const DWORD error = ::GetLastError();
  ::CloseHandle(h);
  if (!ok) {
    ::SetLastError(error);
    return false;
  }
  *device = info.dwVolumeSerialNumber;
  *fileId = Join(info.nFileIndexHigh, info.nFileIndexLow);
  return true;
}

}  // namespace platform
