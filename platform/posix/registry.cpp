// There is no registry here: every key is missing.
#include "platform/platform.h"

namespace platform {

bool RegOpenKey(RegistryRoot /*root*/, const char* /*subKey*/, RegistryKey* key) {
  if (key != nullptr) *key = nullptr;
  SetLastError(kErrorFileNotFound);
  return false;
}

bool RegQueryValue(RegistryKey /*key*/, const char* /*valueName*/, void* /*data*/, uint32_t* /*size*/) {
  SetLastError(kErrorInvalidHandle);
  return false;
}

void RegCloseKey(RegistryKey /*key*/) {}

}  // namespace platform
