// Loading the game's own compression library on demand. Its two entry points
// are resolved by their exported names "StormCompress" and "StormDecompress"
// (the argument lists of provider.h). Until it loads, and for an entry it
// does not export, the built-in provider stands in.
#include <cstring>

#include "archive/read/provider.h"
#include "sorvane/sorvane_ext.h"
#include "platform/platform.h"

StormCompressFn StormCompress = BuiltinProviderCompress;
StormDecompressFn StormDecompress = BuiltinProviderDecompress;

namespace {

constexpr char kStormName[] = "Storm.dll";

platform::ModuleHandle StormModule = nullptr;

struct InstallKey {
  platform::RegistryRoot root;
  const char* path;
};
constexpr InstallKey kInstallKeys[] = {
    {platform::RegistryRoot::CurrentUser, "Software\\Blizzard Entertainment\\Warcraft III"},
    {platform::RegistryRoot::Users, ".Default\\Software\\Blizzard Entertainment\\Warcraft III"},
    {platform::RegistryRoot::LocalMachine, "Software\\Blizzard Entertainment\\Warcraft III"},
};

// The library in the folder of the game's "InstallPath" registry value.
platform::ModuleHandle LoadFromInstallPath() {
  platform::RegistryKey key = nullptr;
  bool opened = false;
  for (const InstallKey& k : kInstallKeys) {
    if (platform::RegOpenKey(k.root, k.path, &key)) {
      opened = true;
      break;
    }
  }
  if (!opened) return nullptr;

  platform::ModuleHandle module = nullptr;
  uint32_t size = 0;
  // Room for a backslash, the file name and the terminator after the value.
  constexpr uint32_t kExtra = 11;
  if (platform::RegQueryValue(key, "InstallPath", nullptr, &size) && size < 0x10000) {
    auto* path = static_cast<char*>(platform::VirtualAlloc(size + kExtra));
    uint32_t got = size;
    if (path != nullptr && platform::RegQueryValue(key, "InstallPath", path, &got)) {
      path[size] = 0;
      char* slash = std::strrchr(path, '\\');
      if (slash != nullptr) {
        char* end = path + std::strlen(path);
        if (slash + 1 != end) *end++ = '\\';
        std::memcpy(end, kStormName, sizeof kStormName);
        module = platform::LoadLibrary(path);
      }
    }
    platform::VirtualFree(path);
  }
  platform::RegCloseKey(key);
  return module;
}

}  // namespace

bool LoadStormLibrary() {
  if (StormModule != nullptr) return true;
  platform::ModuleHandle module = platform::LoadLibrary(kStormName);
  if (module == nullptr) module = LoadFromInstallPath();
  if (module == nullptr) return false;
  StormModule = module;
  if (auto* entry = platform::GetProcAddress(module, "StormCompress")) {
    StormCompress = reinterpret_cast<StormCompressFn>(entry);
  }
  if (auto* entry = platform::GetProcAddress(module, "StormDecompress")) {
    StormDecompress = reinterpret_cast<StormDecompressFn>(entry);
  }
  return true;
}

void UnloadStormLibrary() {
  if (StormModule == nullptr) return;
  platform::FreeLibrary(StormModule);
  StormModule = nullptr;
  StormCompress = BuiltinProviderCompress;
  StormDecompress = BuiltinProviderDecompress;
}

extern "C" bool CanCompressWith(uint32_t mask) {
  const uint32_t outside = mask & BUILTIN_PROVIDER_MASK;
  if (outside == 0) return true;
  LoadStormLibrary();
  if (StormCompress == nullptr) return false;
  return StormCompress != BuiltinProviderCompress || BuiltinProviderSupports(outside);
}
