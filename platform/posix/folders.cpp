// Folders, names and attributes.
#include <cerrno>
#include <cstring>
#include <stdio.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"
#include "platform/write_steps.h"

namespace platform {

using posix::NativePath;
using posix::SetLastErrorFromErrno;

namespace {

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool CheckPath(const char* path) {
  if (path == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  return true;
}

}  // namespace

bool DeleteFile(const char* path) {
  if (!CheckPath(path)) return false;
  if (!internal::TakeWriteStep()) return false;
  const std::string native = NativePath(path);
  if (unlink(native.c_str()) != 0) {
    SetLastErrorFromErrno(errno, native.c_str());
    return false;
  }
  return true;
}

bool MoveFileReplace(const char* from, const char* to) {
  if (!CheckPath(from) || !CheckPath(to)) return false;
  if (!internal::TakeWriteStep()) return false;
  const std::string source = NativePath(from);
  const std::string target = NativePath(to);
  if (rename(source.c_str(), target.c_str()) != 0) {
    SetLastErrorFromErrno(errno, source.c_str());
    return false;
  }
  return true;
}

bool ReplaceFile(const char* target, const char* replacement) {
  if (!CheckPath(target) || !CheckPath(replacement)) return false;
  if (!internal::TakeWriteStep()) return false;
  const std::string to = NativePath(target);
  const std::string from = NativePath(replacement);
  struct stat st;
  if (stat(to.c_str(), &st) != 0) {
    SetLastErrorFromErrno(errno, to.c_str());
    return false;
  }
  // The replacement was made with the default mode; the file it stands in
  // for keeps its own. Owner and group are kept where this process may.
  if (chmod(from.c_str(), st.st_mode & 07777) != 0) {
    SetLastErrorFromErrno(errno, from.c_str());
    return false;
  }
  if (chown(from.c_str(), st.st_uid, st.st_gid) != 0) {
    // Only a privileged process may give a file away; the mode still holds.
  }
  if (rename(from.c_str(), to.c_str()) != 0) {
    SetLastErrorFromErrno(errno, from.c_str());
    return false;
  }
  // The new name reaches the disk with its folder. The rename has happened
  // either way, so a folder that cannot be flushed is no failure.
  const size_t slash = to.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : to.substr(0, slash));
  const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return true;
}

bool CanReplaceOpenFile() { return true; }

bool CreateDirectory(const char* path) {
  if (!CheckPath(path)) return false;
  const std::string native = NativePath(path);
  if (mkdir(native.c_str(), 0777) != 0) {
    // CreateDirectoryA names an existing entry "already exists" (183), not
    // "file exists" (80) as the file calls do; a missing parent is a
    // missing path.
    if (errno == EEXIST) SetLastError(kErrorAlreadyExists);
    else if (errno == ENOENT) SetLastError(kErrorPathNotFound);
    else SetLastErrorFromErrno(errno, native.c_str());
    return false;
  }
  return true;
}

bool RemoveDirectory(const char* path) {
  if (!CheckPath(path)) return false;
  const std::string native = NativePath(path);
  if (rmdir(native.c_str()) != 0) {
    if (errno == ENOTEMPTY || errno == EEXIST) SetLastError(kErrorDirNotEmpty);
    else if (errno == ENOTDIR) SetLastError(posix::kErrorDirectory);
    else SetLastErrorFromErrno(errno, native.c_str());
    return false;
  }
  return true;
}

bool SetCurrentDirectory(const char* path) {
  if (!CheckPath(path)) return false;
  const std::string native = NativePath(path);
  if (chdir(native.c_str()) != 0) {
    if (errno == ENOTDIR) SetLastError(posix::kErrorDirectory);
    else SetLastErrorFromErrno(errno, native.c_str());
    return false;
  }
  return true;
}

uint32_t GetCurrentDirectory(uint32_t size, char* buffer) {
  std::vector<char> folder(256);
  while (getcwd(folder.data(), folder.size()) == nullptr) {
    if (errno != ERANGE || folder.size() >= (1u << 20)) {
      SetLastErrorFromErrno(errno);
      return 0;
    }
    folder.resize(folder.size() * 2);
  }
  const size_t length = strlen(folder.data());
  if (length >= UINT32_MAX) {
    SetLastError(kErrorFilenameExcedRange);
    return 0;
  }
  if (buffer == nullptr || size <= length) return static_cast<uint32_t>(length + 1);
  memcpy(buffer, folder.data(), length + 1);
  return static_cast<uint32_t>(length);
}

uint32_t GetFileAttributes(const char* path) {
  if (!CheckPath(path)) return kInvalidFileAttributes;
  const std::string native = NativePath(path);
  struct stat st;
  if (stat(native.c_str(), &st) != 0) {
    SetLastErrorFromErrno(errno, native.c_str());
    return kInvalidFileAttributes;
  }
  if (S_ISDIR(st.st_mode)) return kFileAttributeDirectory;
  // Files carry the archive bit as freshly written Windows files do; one
  // its owner may not write is read-only.
  uint32_t attributes = kFileAttributeArchive;
  if ((st.st_mode & S_IWUSR) == 0) attributes |= kFileAttributeReadOnly;
  return attributes;
}

uint32_t GetDriveType(const char* root) {
  // No drives here: any existing folder stands for a fixed disk, and the
  // current folder stands in for a missing root as on Windows.
  const std::string native = root != nullptr ? NativePath(root) : std::string(".");
  struct stat st;
  if (stat(native.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return kDriveFixed;
  return kDriveNoRootDir;
}

bool FileExists(const char* path) {
  if (!CheckPath(path)) return false;
  const std::string native = NativePath(path);
  struct stat st;
  if (native.empty()) {
    SetLastError(kErrorFileNotFound);
    return false;
  }
  if (stat(native.c_str(), &st) != 0) {
    SetLastErrorFromErrno(errno, native.c_str());
    return false;
  }
  return true;
}

bool IsAbsolutePath(const char* path) {
  if (path == nullptr || path[0] == '\0') return false;
  if (path[0] == '/' || path[0] == '\\') return true;
  return IsLetter(path[0]) && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
}

char PathSeparator() { return '/'; }

}  // namespace platform
