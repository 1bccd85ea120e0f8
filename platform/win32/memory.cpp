#include "platform/win32/win32_internal.h"

namespace platform {

void* VirtualAlloc(size_t size) {
  if (size == 0) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  void* block = ::VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (block == nullptr) ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return block;
}

void VirtualFree(void* block) {
  if (block != nullptr) ::VirtualFree(block, 0, MEM_RELEASE);
}

}  // namespace platform
