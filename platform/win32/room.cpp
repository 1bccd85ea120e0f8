// Room on disk: free space and the durability of new folder entries.
#include <cstring>
#include <string>

#include "platform/win32/win32_internal.h"
#include "platform/write_steps.h"

namespace platform {

bool GetFreeDiskSpace(const char* path, uint64_t* bytes) {
  if (path == nullptr || bytes == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  // Built in one step: mingw's g++ 12 misreads an assignment over the
  // copy of path as an overlapping copy (-Wrestrict).
  const char* slash = std::strrchr(path, '\\');
  const char* other = std::strrchr(path, '/');
  if (other != nullptr && (slash == nullptr || other > slash)) slash = other;
  // A bare name lies in the current folder, "X:name" in drive X's.
  const bool onDrive = path[0] != '\0' && path[1] == ':';
  const std::string folder =
      slash != nullptr ? std::string(path, slash + 1) : onDrive ? std::string(path, 2) + "." : std::string(".");
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
