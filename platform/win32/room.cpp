// Room on disk: free space and the durability of new folder entries.
#include <string>

#include "platform/win32/win32_internal.h"
#include "platform/write_steps.h"

namespace platform {

bool GetFreeDiskSpace(const char* path, uint64_t* bytes) {
  if (path == nullptr || bytes == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  std::string folder(path);
  const size_t slash = folder.find_last_of("\\/");
  if (slash == std::string::npos) {
    folder = ".";
  } else {
    folder.resize(slash + 1);
  }
  ULARGE_INTEGER available;
  if (!::GetDiskFreeSpaceExA(folder.c_str(), &available, nullptr, nullptr)) return false;
  *bytes = available.QuadPart;
  if (*bytes > internal::FreeSpaceLimit()) *bytes = internal::FreeSpaceLimit();
  return true;
}

// NTFS and FAT commit a new folder entry with the file; there is no call to
// flush a folder.
bool FlushFolderOf(const char* path) {
  if (path == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  return internal::TakeWriteStep();
}

}  // namespace platform
