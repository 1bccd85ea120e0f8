// Room on disk: free space and the durability of new folder entries.
#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/statvfs.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"
#include "platform/write_steps.h"

namespace platform {

namespace {

// The folder part of a native path ("." for a bare name).
std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool GetFreeDiskSpace(const char* path, uint64_t* bytes) {
  if (path == nullptr || bytes == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  const std::string folder = FolderOf(posix::NativePath(path));
  struct statvfs fs;
  int rc;
  do {
    rc = statvfs(folder.c_str(), &fs);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    posix::SetLastErrorFromErrno(errno, folder.c_str());
    return false;
  }
  // The blocks kept for the superuser are the superuser's to use.
  const uint64_t blocks = geteuid() == 0 ? fs.f_bfree : fs.f_bavail;
  const uint64_t unit = fs.f_frsize != 0 ? fs.f_frsize : fs.f_bsize;
  *bytes = blocks > ~0ull / (unit != 0 ? unit : 1) ? ~0ull : blocks * unit;
  if (*bytes > internal::FreeSpaceLimit()) *bytes = internal::FreeSpaceLimit();
  return true;
}

bool FlushFolderOf(const char* path) {
  if (path == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  if (!internal::TakeWriteStep()) return false;
  const std::string folder = FolderOf(posix::NativePath(path));
  const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) {
    posix::SetLastErrorFromErrno(errno, folder.c_str());
    return false;
  }
  // Some file systems cannot flush a folder at all; theirs is no failure.
  const bool ok = fsync(dir) == 0 || errno == EINVAL || errno == ENOTSUP;
  const int error = errno;
  close(dir);
  if (!ok) posix::SetLastErrorFromErrno(error);
  return ok;
}

}  // namespace platform
