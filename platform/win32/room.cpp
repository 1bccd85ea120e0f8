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
  // Built in one step: g++ 12 for mingw misreads an assignment after the
  // search as an overlapping copy.
  const std::string whole(path);
  const size_t slash = whole.find_last_of("\\/");
  const std::string folder = slash == std::string::npos ? std::string(".") : whole.substr(0, slash + 1);
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
