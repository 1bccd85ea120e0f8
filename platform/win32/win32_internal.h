// The system header, minus the A/W macros whose names the platform layer
// uses for its own functions.
#pragma once

#include "platform/win32/windows_header.h"

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace platform::win32 {

inline HANDLE ToHandle(OsHandle file) { return static_cast<HANDLE>(file); }

// Rejects the two values that never name an open file before the system sees
// them: the all-ones value is the current-process pseudo-handle to Win32.
inline bool CheckHandle(OsHandle file) {
  if (IsValidHandle(file)) return true;
  ::SetLastError(ERROR_INVALID_HANDLE);
  return false;
}

// Whether count bytes from offset lie where a file can reach (below 2^63).
// The system reads the two highest positions as "at the end" and "at the
// file pointer": a transfer must never land there instead of failing.
inline bool CheckRange(uint64_t offset, uint64_t count) {
  if (offset <= static_cast<uint64_t>(INT64_MAX) - count) return true;
  ::SetLastError(ERROR_INVALID_PARAMETER);
  return false;
}

// Makes path ready for a name to be appended. A bare drive ("C:") stays as
// it is: it names the drive's current folder, and a backslash would turn it
// into the drive's root.
inline void EndWithSeparator(std::string& path) {
  if (path.empty() || path.back() == '\\' || path.back() == '/') return;
  if (path.size() == 2 && path[1] == ':') return;
  path += '\\';
}

}  // namespace platform::win32
