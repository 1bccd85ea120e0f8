// The system header, minus the A/W macros whose names the platform layer
// uses for its own functions.
#pragma once

#include "platform/win32/windows_header.h"

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

// Makes path ready for a name to be appended. A bare drive ("C:") stays as
// it is: it names the drive's current folder, and a backslash would turn it
// into the drive's root.
inline void EndWithSeparator(std::string& path) {
  if (path.empty() || path.back() == '\\' || path.back() == '/') return;
  if (path.size() == 2 && path[1] == ':') return;
  path += '\\';
}

}  // namespace platform::win32
