// The system header, minus the A/W macros whose names the platform layer
// uses for its own functions.
#pragma once

#include "platform/win32/windows_header.h"

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

}  // namespace platform::win32
