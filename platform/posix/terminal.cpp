#include <unistd.h>

#include "platform/platform.h"

namespace platform {

bool IsStandardErrorTerminal() { return isatty(STDERR_FILENO) == 1; }

void UseBinaryStandardStreams() {}

}  // namespace platform
