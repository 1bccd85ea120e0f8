#include "platform/win32/win32_internal.h"
#include "platform/write_steps.h"

namespace platform {

using win32::CheckHandle;
using win32::ToHandle;

namespace {

// Writes until the count is done: at the file pointer, or at `offset` when
// one is given. A write that takes nothing is a full disk, not a reason to
// spin.
bool WriteAll(OsHandle file, const void* buffer, uint32_t count, const uint64_t* offset, uint32_t* bytesWritten) {
  const auto* in = static_cast<const uint8_t*>(buffer);
  uint32_t total = 0;
  bool ok = true;
  while (ok && total < count) {
    OVERLAPPED at = {};
    if (offset != nullptr) {
      const uint64_t position = *offset + total;
      at.Offset = static_cast<DWORD>(position);
      at.OffsetHigh = static_cast<DWORD>(position >> 32);
    }
    DWORD done = 0;
    ok = ::WriteFile(ToHandle(file), in + total, count - total, &done, offset != nullptr ? &at : nullptr) != 0;
    if (ok && done == 0) {
      ::SetLastError(ERROR_DISK_FULL);
      ok = false;
    }
    if (ok) total += done;
  }
  if (bytesWritten != nullptr) *bytesWritten = total;
  return ok;
}

}  // namespace

OsHandle CreateFile(const char* path, uint32_t access, uint32_t shareMode, uint32_t disposition,
                    uint32_t attributes) {
  if (path == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return InvalidHandle();
  }
  HANDLE h = ::CreateFileA(path, access, shareMode, nullptr, disposition,
                           attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE || h == nullptr) return InvalidHandle();
  return h;
}

bool ReadFile(OsHandle file, void* buffer, uint32_t count, uint32_t* bytesRead) {
  if (bytesRead != nullptr) *bytesRead = 0;
  if (!CheckHandle(file)) return false;
  auto* out = static_cast<uint8_t*>(buffer);
  uint32_t total = 0;
  // Disk files deliver everything up to the end in one call; pipes and
  // consoles may not, so keep going until the count or the end.
  while (total < count) {
    DWORD got = 0;
    if (!::ReadFile(ToHandle(file), out + total, count - total, &got, nullptr)) {
      if (bytesRead != nullptr) *bytesRead = total;
      // A pipe whose writer has gone is the end of its data.
      if (::GetLastError() == ERROR_BROKEN_PIPE) return true;
      return false;
    }
    if (got == 0) break;
    total += got;
  }
  if (bytesRead != nullptr) *bytesRead = total;
  return true;
}

bool WriteFile(OsHandle file, const void* buffer, uint32_t count, uint32_t* bytesWritten) {
  if (bytesWritten != nullptr) *bytesWritten = 0;
  if (!CheckHandle(file)) return false;
  if (!internal::TakeWriteStep(true)) return false;
  return WriteAll(file, buffer, count, nullptr, bytesWritten);
}

uint32_t SetFilePointer(OsHandle file, int32_t distance, int32_t* distanceHigh, uint32_t method) {
  if (!CheckHandle(file)) return kInvalidSetFilePointer;
  if (method != FILE_BEGIN && method != FILE_CURRENT && method != FILE_END) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return kInvalidSetFilePointer;
  }
  LARGE_INTEGER move;
  move.QuadPart = distanceHigh != nullptr
                      ? static_cast<LONGLONG>((static_cast<uint64_t>(static_cast<uint32_t>(*distanceHigh)) << 32) |
                                              static_cast<uint32_t>(distance))
                      : static_cast<LONGLONG>(distance);
  // Without a high part the new position must fit the low part alone (and
  // not be the failure value): some systems move past 4 GiB anyway and give
  // back only the low part, so the move is taken back here.
  LARGE_INTEGER before = {};
  if (distanceHigh == nullptr && !::SetFilePointerEx(ToHandle(file), LARGE_INTEGER{}, &before, FILE_CURRENT)) {
    return kInvalidSetFilePointer;
  }
  LARGE_INTEGER after = {};
  if (!::SetFilePointerEx(ToHandle(file), move, &after, method)) return kInvalidSetFilePointer;
  const auto position = static_cast<uint64_t>(after.QuadPart);
  if (distanceHigh == nullptr && position >= kInvalidSetFilePointer) {
    ::SetFilePointerEx(ToHandle(file), before, nullptr, FILE_BEGIN);
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return kInvalidSetFilePointer;
  }
  const auto low = static_cast<uint32_t>(position);
  if (distanceHigh != nullptr) *distanceHigh = static_cast<int32_t>(position >> 32);
  // A low part equal to the failure value is told apart by the last error.
  if (low == kInvalidSetFilePointer) ::SetLastError(NO_ERROR);
  return low;
}

uint32_t GetFileSize(OsHandle file, uint32_t* sizeHigh) {
  if (!CheckHandle(file)) return kInvalidFileSize;
  const DWORD saved = ::GetLastError();
  ::SetLastError(NO_ERROR);
  DWORD high = 0;
  const DWORD low = ::GetFileSize(ToHandle(file), &high);
  if (low == INVALID_FILE_SIZE && ::GetLastError() != NO_ERROR) return kInvalidFileSize;
  if (sizeHigh != nullptr) *sizeHigh = high;
  if (low != INVALID_FILE_SIZE) ::SetLastError(saved);
  return low;
}

bool GetFileSize64(OsHandle file, uint64_t* size) {
  if (!CheckHandle(file)) return false;
  LARGE_INTEGER value;
  if (!::GetFileSizeEx(ToHandle(file), &value)) return false;
  if (size != nullptr) *size = static_cast<uint64_t>(value.QuadPart);
  return true;
}

bool GetFileWriteTime(OsHandle file, uint64_t* fileTime) {
  if (!CheckHandle(file)) return false;
  FILETIME written;
  if (!::GetFileTime(ToHandle(file), nullptr, nullptr, &written)) return false;
  *fileTime = (static_cast<uint64_t>(written.dwHighDateTime) << 32) | written.dwLowDateTime;
  return true;
}

bool SetEndOfFile(OsHandle file) {
  return CheckHandle(file) && internal::TakeWriteStep() && ::SetEndOfFile(ToHandle(file)) != FALSE;
}

bool FlushFileBuffers(OsHandle file) {
  return CheckHandle(file) && internal::TakeWriteStep() && ::FlushFileBuffers(ToHandle(file)) != FALSE;
}

bool CloseHandle(OsHandle file) { return CheckHandle(file) && ::CloseHandle(ToHandle(file)) != FALSE; }

// Positioned transfers go through an OVERLAPPED offset on the synchronous
// handle; as on Windows generally, this leaves the file pointer after the
// bytes transferred.
bool ReadFileAt(OsHandle file, uint64_t offset, void* buffer, uint32_t count, uint32_t* bytesRead) {
  if (bytesRead != nullptr) *bytesRead = 0;
  if (!CheckHandle(file) || !win32::CheckRange(offset, count)) return false;
  auto* out = static_cast<uint8_t*>(buffer);
  uint32_t total = 0;
  while (total < count) {
    OVERLAPPED at = {};
    const uint64_t position = offset + total;
    at.Offset = static_cast<DWORD>(position);
    at.OffsetHigh = static_cast<DWORD>(position >> 32);
    DWORD got = 0;
    if (!::ReadFile(ToHandle(file), out + total, count - total, &got, &at)) {
      // Reading at or past the end through an offset reports the end as an
      // error; to callers it is a short read.
      if (::GetLastError() == ERROR_HANDLE_EOF) break;
      if (bytesRead != nullptr) *bytesRead = total;
      return false;
    }
    if (got == 0) break;
    total += got;
  }
  if (bytesRead != nullptr) *bytesRead = total;
  return true;
}

bool WriteFileAt(OsHandle file, uint64_t offset, const void* buffer, uint32_t count, uint32_t* bytesWritten) {
  if (bytesWritten != nullptr) *bytesWritten = 0;
  if (!CheckHandle(file) || !win32::CheckRange(offset, count)) return false;
  if (!internal::TakeWriteStep(true)) return false;
  return WriteAll(file, buffer, count, &offset, bytesWritten);
}

// The system keeps share modes between every opener; a file replaced by a
// rename keeps its handles on the old file, which no longer has the name, so
// the same check as on POSIX applies.
OsHandle CreateSharedFile(const char* path, uint32_t access, uint32_t shareMode, uint32_t disposition,
                          bool /*ownerOnly*/) {
  return CreateFile(path, access, shareMode, disposition, 0);
}

bool SharingUnprotected() { return false; }

bool NamesFile(const char* path, OsHandle file) {
  if (path == nullptr || !CheckHandle(file)) return false;
  HANDLE named = ::CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (named == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION a = {}, b = {};
  const bool same = ::GetFileInformationByHandle(named, &a) && ::GetFileInformationByHandle(ToHandle(file), &b) &&
                    a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
                    a.nFileIndexLow == b.nFileIndexLow;
  ::CloseHandle(named);
  return same;
}

bool CopyOwnership(OsHandle /*from*/, OsHandle /*to*/, bool* ownerKept) {
  *ownerKept = true;
  return true;
}

bool ResolveLinks(const char* path, std::string* resolved) {
  if (path == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  *resolved = path;
  return true;
}

}  // namespace platform
