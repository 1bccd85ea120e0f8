// Loading the game's own compression library on demand. Its two entry points
// are resolved by their exported names "StormCompress" and "StormDecompress"
// (the argument lists of provider.h). Until it loads, and for an entry it
// does not export, the built-in provider stands in.
#include <atomic>
#include <cstring>
#include <mutex>

#include "archive/read/provider.h"
#include "sorvane/sorvane_ext.h"
#include "platform/platform.h"

StormCompressFn StormCompress = BuiltinProviderCompress;
StormDecompressFn StormDecompress = BuiltinProviderDecompress;

namespace {

constexpr char kStormName[] = "Storm.dll";

// Reads on several threads may each find a sector for the provider and load
// it at once: the module and the entries change under LoaderMutex, and
// readers take the entries atomically (CurrentProviderDecompress).
std::mutex LoaderMutex;
std::atomic<platform::ModuleHandle> StormModule{nullptr};

template <typename Fn>
void SetEntry(Fn& entry, Fn value) {
  std::atomic_ref<Fn>(entry).store(value, std::memory_order_release);
}

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

std::mutex& OutsideProviderMutex() {
  static std::mutex mutex;
  return mutex;
}

StormCompressFn CurrentProviderCompress() {
  return std::atomic_ref<StormCompressFn>(StormCompress).load(std::memory_order_acquire);
}

StormDecompressFn CurrentProviderDecompress() {
  return std::atomic_ref<StormDecompressFn>(StormDecompress).load(std::memory_order_acquire);
}

bool LoadStormLibrary() {
  if (StormModule.load(std::memory_order_acquire) != nullptr) return true;
  // Looked for outside the lock: a missing library (the usual case away
  // from the game) is looked for again by every read that needs it, and
  // those reads should not queue behind each other's searches.
  platform::ModuleHandle module = platform::LoadLibrary(kStormName);
  if (module == nullptr) module = LoadFromInstallPath();
  if (module == nullptr) return false;
  {
    std::lock_guard<std::mutex> lock(LoaderMutex);
    if (StormModule.load(std::memory_order_relaxed) == nullptr) {
      if (auto* entry = platform::GetProcAddress(module, "StormCompress")) {
        SetEntry(StormCompress, reinterpret_cast<StormCompressFn>(entry));
      }
      if (auto* entry = platform::GetProcAddress(module, "StormDecompress")) {
        SetEntry(StormDecompress, reinterpret_cast<StormDecompressFn>(entry));
      }
      StormModule.store(module, std::memory_order_release);
      return true;
    }
  }
  // Another thread loaded it first; the library counts loads, so this one
  // is given back.
  platform::FreeLibrary(module);
  return true;
}

void UnloadStormLibrary() {
  platform::ModuleHandle module = nullptr;
  {
    std::lock_guard<std::mutex> lock(LoaderMutex);
    module = StormModule.load(std::memory_order_relaxed);
    if (module == nullptr) return;
    SetEntry(StormCompress, &BuiltinProviderCompress);
    SetEntry(StormDecompress, &BuiltinProviderDecompress);
    StormModule.store(nullptr, std::memory_order_release);
  }
  platform::FreeLibrary(module);
}

extern "C" bool CanCompressWith(uint32_t mask) {
  const uint32_t outside = mask & BUILTIN_PROVIDER_MASK;
  if (outside == 0) return true;
  LoadStormLibrary();
  const StormCompressFn compress = CurrentProviderCompress();
  if (compress == nullptr) return false;
  return compress != BuiltinProviderCompress || BuiltinProviderSupports(outside);
}
