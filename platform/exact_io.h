// Positioned reads and writes that move every byte asked for or fail.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace platform {

// A short transfer fails too: ERROR_HANDLE_EOF for a read, ERROR_DISK_FULL
// for a write, when the system reported no error of its own.
bool ReadExactAt(OsHandle file, uint64_t position, void* buffer, uint32_t count);
bool WriteExactAt(OsHandle file, uint64_t position, const void* buffer, uint32_t count);

}  // namespace platform
