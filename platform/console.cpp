// Console streams through the C library, the same on every system.
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace platform {

void ConsoleWrite(const char* text, size_t length) {
  if (text == nullptr || length == 0) return;
  fwrite(text, 1, length, stdout);
}

void ConsoleWrite(const char* text) {
  if (text != nullptr) ConsoleWrite(text, strlen(text));
}

void ConsoleFlush() { fflush(stdout); }

int ConsoleReadChar() {
  // The prompt must be visible before the program waits for the answer.
  fflush(stdout);
  int c = getchar();
  return c == EOF ? -1 : c;
}

}  // namespace platform
