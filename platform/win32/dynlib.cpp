#include <cstring>

#include "platform/win32/win32_internal.h"

namespace platform {

namespace {

void* EntryAddress(FARPROC entry) {
  // Entry points travel as plain addresses; the caller casts them back to
  // their real signature.
  void* address = nullptr;
  static_assert(sizeof address == sizeof entry);
  memcpy(&address, &entry, sizeof address);
  return address;
}

}  // namespace

ModuleHandle LoadLibrary(const char* path) {
  if (path == nullptr || path[0] == '\0') {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // A missing library must fail quietly, never with a system dialog.
  const UINT previous = ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  HMODULE module = ::LoadLibraryA(path);
  ::SetErrorMode(previous);
  return module;
}

void* GetProcAddress(ModuleHandle module, const char* name) {
  if (module == nullptr) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (name == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return EntryAddress(::GetProcAddress(static_cast<HMODULE>(module), name));
}

void* GetProcAddressOrdinal(ModuleHandle module, uint16_t ordinal) {
  if (module == nullptr) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return EntryAddress(::GetProcAddress(static_cast<HMODULE>(module), MAKEINTRESOURCEA(ordinal)));
}

bool FreeLibrary(ModuleHandle module) {
  if (module == nullptr) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  return ::FreeLibrary(static_cast<HMODULE>(module)) != FALSE;
}

}  // namespace platform
