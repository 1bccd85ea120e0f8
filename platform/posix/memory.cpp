#include <cstdlib>

#include "platform/platform.h"

namespace platform {

void* VirtualAlloc(size_t size) {
  if (size == 0) {
    // VirtualAlloc refuses an empty region.
    SetLastError(kErrorInvalidParameter);
    return nullptr;
  }
  void* block = calloc(1, size);
  if (block == nullptr) SetLastError(kErrorNotEnoughMemory);
  return block;
}

void VirtualFree(void* block) { free(block); }

}  // namespace platform
