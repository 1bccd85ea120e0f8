#include "platform/exact_io.h"

namespace platform {

bool ReadExactAt(OsHandle file, uint64_t position, void* buffer, uint32_t count) {
  uint32_t done = 0;
  if (!ReadFileAt(file, position, buffer, count, &done)) return false;
  if (done != count) {
    SetLastError(kErrorHandleEof);
    return false;
  }
  return true;
}

bool WriteExactAt(OsHandle file, uint64_t position, const void* buffer, uint32_t count) {
  uint32_t done = 0;
  if (!WriteFileAt(file, position, buffer, count, &done)) return false;
  if (done != count) {
    SetLastError(kErrorDiskFull);
    return false;
  }
  return true;
}

}  // namespace platform
