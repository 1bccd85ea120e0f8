#include "platform/win32/win32_internal.h"

namespace platform {

uint32_t GetTickCount() { return ::GetTickCount(); }

uint64_t GetSystemTimeAsFileTime() {
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

uint32_t GetModuleFileName(char* buffer, uint32_t size) {
  if (buffer == nullptr || size == 0) {
    ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  const DWORD length = ::GetModuleFileNameA(nullptr, buffer, size);
  if (length >= size) {
    // Older systems leave a truncated name unterminated; always end it.
    buffer[size - 1] = '\0';
    ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  return length;
}

}  // namespace platform
