#include "platform/win32/win32_internal.h"

namespace platform {

namespace {

HKEY RootKey(RegistryRoot root) {
  switch (root) {
    case RegistryRoot::CurrentUser: return HKEY_CURRENT_USER;
    case RegistryRoot::Users: return HKEY_USERS;
    case RegistryRoot::LocalMachine: return HKEY_LOCAL_MACHINE;
  }
  return nullptr;
}

}  // namespace

// The registry calls return their error instead of setting it; the layer's
// callers read the reason from the last error like everywhere else.
bool RegOpenKey(RegistryRoot root, const char* subKey, RegistryKey* key) {
  if (key == nullptr || RootKey(root) == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  *key = nullptr;
  HKEY opened = nullptr;
  const LONG result = ::RegOpenKeyExA(RootKey(root), subKey, 0, KEY_QUERY_VALUE, &opened);
  if (result != ERROR_SUCCESS) {
    ::SetLastError(static_cast<DWORD>(result));
    return false;
  }
  *key = opened;
  return true;
}

bool RegQueryValue(RegistryKey key, const char* valueName, void* data, uint32_t* size) {
  if (key == nullptr || size == nullptr) {
    ::SetLastError(key == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return false;
  }
  DWORD length = *size;
  const LONG result = ::RegQueryValueExA(static_cast<HKEY>(key), valueName, nullptr, nullptr,
                                         static_cast<LPBYTE>(data), &length);
  *size = length;
  if (result != ERROR_SUCCESS) {
    ::SetLastError(static_cast<DWORD>(result));
    return false;
  }
  return true;
}

void RegCloseKey(RegistryKey key) {
  if (key != nullptr) ::RegCloseKey(static_cast<HKEY>(key));
}

}  // namespace platform
