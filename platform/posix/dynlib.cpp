// Dynamic libraries through the dynamic loader.
#include <dlfcn.h>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace platform {

ModuleHandle LoadLibrary(const char* path) {
  if (path == nullptr || path[0] == '\0') {
    SetLastError(kErrorInvalidParameter);
    return nullptr;
  }
  const std::string native = posix::NativePath(path);
  void* module = dlopen(native.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) SetLastError(kErrorModNotFound);
  return module;
}

void* GetProcAddress(ModuleHandle module, const char* name) {
  if (module == nullptr) {
    SetLastError(kErrorInvalidHandle);
    return nullptr;
  }
  if (name == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return nullptr;
  }
  void* entry = dlsym(module, name);
  if (entry == nullptr) SetLastError(kErrorProcNotFound);
  return entry;
}

void* GetProcAddressOrdinal(ModuleHandle module, uint16_t /*ordinal*/) {
  // Shared objects export by name only.
  SetLastError(module == nullptr ? kErrorInvalidHandle : kErrorProcNotFound);
  return nullptr;
}

bool FreeLibrary(ModuleHandle module) {
  if (module == nullptr) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  if (dlclose(module) != 0) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  return true;
}

}  // namespace platform
