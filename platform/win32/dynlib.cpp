#include <cstring>
#include <string>

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

bool IsBareName(const char* path) { return std::strpbrk(path, "\\/:") == nullptr; }

// A library named without a folder is taken from beside the program or from
// the system's folders, never from the current folder or along PATH: anyone
// can leave a library of a known name beside an archive, and dlopen on POSIX
// does not look in the current folder either.
HMODULE LoadInstalled(const char* name) {
  HMODULE module = ::LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
  if (module != nullptr || ::GetLastError() != ERROR_INVALID_PARAMETER) return module;
  // Systems without the flag: the same two places by their full paths.
  char folder[MAX_PATH];
  DWORD length = ::GetModuleFileNameA(nullptr, folder, MAX_PATH);
  const std::string program(folder, length > 0 && length < MAX_PATH ? length : 0);
  const size_t slash = program.find_last_of('\\');
  if (slash != std::string::npos) {
    module = ::LoadLibraryA((program.substr(0, slash + 1) + name).c_str());
    if (module != nullptr) return module;
  }
  length = ::GetSystemDirectoryA(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  return ::LoadLibraryA((std::string(folder, length) + "\\" + name).c_str());
}

}  // namespace

ModuleHandle LoadLibrary(const char* path) {
  if (path == nullptr || path[0] == '\0') {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // A missing library must fail quietly, never with a system dialog.
  const UINT previous = ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  HMODULE module = IsBareName(path) ? LoadInstalled(path) : ::LoadLibraryA(path);
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
