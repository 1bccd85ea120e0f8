// The system header, minus the A/W macros whose names the platform
// interface gives its own functions: every Windows unit that also includes
// platform/platform.h includes <windows.h> through here.
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
