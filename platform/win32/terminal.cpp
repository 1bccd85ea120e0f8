#include <windows.h>

#include "platform/platform.h"

namespace platform {

// A console answers GetConsoleMode; pipes and files do not.
bool IsStandardErrorTerminal() {
  HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

}  // namespace platform
