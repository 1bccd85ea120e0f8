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

uint32_t ProcessorCount() {
  // The processors this process may use (its affinity within its group).
  DWORD_PTR process = 0, system = 0;
  if (::GetProcessAffinityMask(::GetCurrentProcess(), &process, &system) && process != 0) {
    uint32_t count = 0;
    for (; process != 0; process &= process - 1) ++count;
    return count;
  }
  SYSTEM_INFO info;
  ::GetSystemInfo(&info);
  return info.dwNumberOfProcessors != 0 ? info.dwNumberOfProcessors : 1u;
}

}  // namespace platform
