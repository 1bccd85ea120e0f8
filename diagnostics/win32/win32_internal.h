// The system header for the crash capture's Windows units, minus the A/W
// macros whose names the reporter's calls take, and what those units share.
#pragma once

#include "platform/win32/windows_header.h"

#undef MessageBox
#undef LoadString
#undef OutputDebugString
#undef GetUserName
#undef GetComputerName

#include "platform/platform.h"

namespace platform::win32 {

// The program's own function symbol holding address, from the symbol table
// read when crash capture was installed.
bool FindProgramSymbol(uintptr_t address, char* name, size_t size, uintptr_t* displacement);

// While a crash report is written for another thread: the bounds of the
// faulting thread's stack when stack lies within them (the report's walks
// stay inside them). False otherwise.
bool FaultingThreadStack(uintptr_t stack, ULONG_PTR* low, ULONG_PTR* high);

}  // namespace platform::win32
