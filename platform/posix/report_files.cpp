// Folders and files for crash reports, made with nothing a signal handler
// may not call: fixed buffers instead of the heap, no locks.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace platform {

namespace {

bool NativeInto(char* out, size_t size, const char* path) {
  if (path == nullptr) return false;
  size_t i = 0;
  for (; path[i] != '\0'; ++i) {
    if (i + 1 >= size) return false;
    out[i] = path[i] == '\\' ? '/' : path[i];
  }
  out[i] = '\0';
  return i > 0;
}

bool IsFolder(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

bool MakeFolder(const char* path, bool parents) {
  char native[4096];
  if (!NativeInto(native, sizeof native, path)) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  size_t length = strlen(native);
  while (length > 1 && native[length - 1] == '/') native[--length] = '\0';
  if (parents) {
    for (size_t i = 1; i < length; ++i) {
      if (native[i] != '/') continue;
      native[i] = '\0';
      if (mkdir(native, 0777) != 0 && errno != EEXIST) {
        // A folder that cannot be made here may still exist further on
        // (a parent without write access); the last step tells.
      }
      native[i] = '/';
    }
  }
  if (mkdir(native, 0777) == 0) return true;
  const int err = errno;
  if (IsFolder(native)) return true;
  posix::SetLastErrorFromErrno(err);
  return false;
}

OsHandle CreateNewFile(const char* path) {
  char native[4096];
  if (!NativeInto(native, sizeof native, path)) {
    SetLastError(kErrorFilenameExcedRange);
    return InvalidHandle();
  }
  int fd;
  do {
    fd = open(native, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    SetLastError(errno == EEXIST ? kErrorFileExists : posix::ErrnoToWin32(errno));
    return InvalidHandle();
  }
  return posix::HandleFromDescriptor(fd);
}

void WriteStandardError(const char* text, size_t length) {
  while (length > 0) {
    const ssize_t written = write(STDERR_FILENO, text, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    text += written;
    length -= static_cast<size_t>(written);
  }
}

bool FolderIsWritable(const char* folder) {
  char native[4096];
  if (!NativeInto(native, sizeof native, folder)) return false;
  size_t length = strlen(native);
  while (length > 1 && native[length - 1] == '/') native[--length] = '\0';
  struct stat st;
  if (stat(native, &st) == 0) return S_ISDIR(st.st_mode) && access(native, W_OK | X_OK) == 0;
  if (errno != ENOENT) return false;
  // Not there yet: it can be made where its parent takes new entries.
  char* slash = strrchr(native, '/');
  if (slash == nullptr) return access(".", W_OK | X_OK) == 0;
  if (slash == native) slash[1] = '\0';
  else *slash = '\0';
  return IsFolder(native) && access(native, W_OK | X_OK) == 0;
}

bool UserReportFolder(const char* name, std::string& folder) {
  if (name == nullptr || name[0] == '\0') return false;
  std::string base;
  const char* state = getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') {
    base = state;
  } else {
    const char* home = getenv("HOME");
    std::string homeFolder;
    if (home != nullptr && home[0] == '/') {
      homeFolder = home;
    } else {
      std::vector<char> scratch(16384);
      struct passwd entry;
      struct passwd* found = nullptr;
      if (getpwuid_r(geteuid(), &entry, scratch.data(), scratch.size(), &found) != 0 || found == nullptr ||
          found->pw_dir == nullptr || found->pw_dir[0] != '/') {
        return false;
      }
      homeFolder = found->pw_dir;
    }
    while (homeFolder.size() > 1 && homeFolder.back() == '/') homeFolder.pop_back();
    base = homeFolder + "/.local/state";
  }
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  folder = base + "/" + name + "/Errors/";
  return true;
}

}  // namespace platform
