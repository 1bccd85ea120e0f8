// The system header, minus the A/W macros whose names the platform layer
// uses for its own functions.
#pragma once

#include <windows.h>

#undef CreateFile
#undef DeleteFile
#undef ReplaceFile
#undef CreateDirectory
#undef RemoveDirectory
#undef SetCurrentDirectory
#undef GetCurrentDirectory
#undef GetFileAttributes
#undef GetDriveType
#undef GetModuleFileName
#undef LoadLibrary
#undef RegOpenKey
#undef RegQueryValue

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

// The program's own function symbol holding address, from the symbol table
// read when crash capture was installed.
bool FindProgramSymbol(uintptr_t address, char* name, size_t size, uintptr_t* displacement);

// While a crash report is written for another thread: the bounds of the
// faulting thread's stack when stack lies within them (the report's walks
// stay inside them). False otherwise.
bool FaultingThreadStack(uintptr_t stack, ULONG_PTR* low, ULONG_PTR* high);

}  // namespace platform::win32
