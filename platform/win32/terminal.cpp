#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <windows.h>

#include "platform/platform.h"

namespace platform {

// A console answers GetConsoleMode; pipes and files do not.
bool IsStandardErrorTerminal() {
  HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

void UseBinaryStandardStreams() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
}

}  // namespace platform
