// Output trees: every level below the chosen folder is reached from its
// parent's descriptor with O_NOFOLLOW, so a link planted anywhere below it,
// before or during the run, is met as a link and never gone through.
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"
#include "platform/write_steps.h"

namespace platform {

using posix::SetLastErrorFromErrno;

namespace {

// A folder handle is its descriptor plus one, as file handles are.
FolderHandle FolderFromFd(int fd) { return reinterpret_cast<FolderHandle>(static_cast<uintptr_t>(fd) + 1); }

int FdFromFolder(FolderHandle folder) {
  if (folder == nullptr) {
    SetLastError(kErrorInvalidHandle);
    return -1;
  }
  return static_cast<int>(reinterpret_cast<uintptr_t>(folder) - 1);
}

int FdFromFile(OsHandle file) {
  if (!IsValidHandle(file)) {
    SetLastError(kErrorInvalidHandle);
    return -1;
  }
  return static_cast<int>(reinterpret_cast<uintptr_t>(file) - 1);
}

int OpenAtRetrying(int dir, const char* name, int flags, mode_t mode) {
  int fd;
  do {
    fd = openat(dir, name, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// What a failed O_NOFOLLOW open met at name: a link is told apart from the
// other reasons, which the open's own errno gives.
void SetOpenError(int dir, const char* name, int err) {
  struct stat st;
  if ((err == ELOOP || err == ENOTDIR || err == EEXIST) && fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISLNK(st.st_mode)) {
      SetLastError(kErrorStoppedOnSymlink);
      return;
    }
  }
  SetLastErrorFromErrno(err);
}

// The file being written, for the signal handler: its folder's descriptor
// and its name, published by `armed` once complete. While the record or
// the file it names changes (`busy`), a cleanup signal is only noted and
// acted on when the change is complete, so the handler never removes a name
// it does not own and never misses one it does; this costs no system call
// per file, which blocking the signals would.
struct Pending {
  volatile sig_atomic_t armed;
  volatile sig_atomic_t busy;
  volatile sig_atomic_t deferred;  // a signal that came while busy
  int dir;
  char name[NAME_MAX + 1];
};
Pending pending = {0, 0, 0, -1, ""};

const int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

void EndBySignal(int number) {
  posix::DropPendingFile();
  signal(number, SIG_DFL);
  raise(number);
}

void OnCleanupSignal(int number) {
  const int savedErrno = errno;
  if (pending.busy != 0) pending.deferred = number;
  else EndBySignal(number);
  errno = savedErrno;
}

class Busy {
 public:
  Busy() {
    pending.busy = 1;
    std::atomic_signal_fence(std::memory_order_seq_cst);
  }
  ~Busy() {
    std::atomic_signal_fence(std::memory_order_seq_cst);
    pending.busy = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    const int number = pending.deferred;
    if (number != 0) {
      pending.deferred = 0;
      EndBySignal(number);
    }
  }
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;
};

void Arm(int dir, const char* name) {
  const size_t length = std::strlen(name);
  if (length >= sizeof pending.name) return;  // the create would have failed
  pending.dir = dir;
  std::memcpy(pending.name, name, length + 1);
  pending.armed = 1;
}

// Owner-only while written, so nobody reads a half-made replacement.
OsHandle CreateExclusive(int dir, const char* name, mode_t mode) {
  Busy busy;
  const int fd = OpenAtRetrying(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
  if (fd < 0) {
    SetOpenError(dir, name, errno);
    return InvalidHandle();
  }
  Arm(dir, name);
  SetLastError(kErrorSuccess);
  return posix::HandleFromDescriptor(fd);
}

}  // namespace

void posix::DropPendingFile() {
  if (pending.armed == 0) return;
  pending.armed = 0;
  unlinkat(pending.dir, pending.name, 0);
}

void DropPendingOutput() { posix::DropPendingFile(); }

FolderHandle OpenFolder(const char* path) {
  if (path == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return nullptr;
  }
  const std::string native = posix::NativePath(path);
  int fd;
  do {
    fd = open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    SetLastErrorFromErrno(errno, native.c_str());
    return nullptr;
  }
  return FolderFromFd(fd);
}

FolderHandle OpenSubfolder(FolderHandle parent, const char* name, bool create) {
  const int dir = FdFromFolder(parent);
  if (dir < 0) return nullptr;
  if (name == nullptr || name[0] == '\0' || std::strchr(name, '/') != nullptr || std::strcmp(name, "..") == 0) {
    SetLastError(kErrorInvalidName);
    return nullptr;
  }
  const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW;
  int fd = OpenAtRetrying(dir, name, flags, 0);
  if (fd < 0 && errno == ENOENT && create) {
    // Someone else may make it in between; their folder serves as well,
    // and their link is met by the open below.
    if (mkdirat(dir, name, 0777) != 0 && errno != EEXIST) {
      SetLastErrorFromErrno(errno);
      return nullptr;
    }
    fd = OpenAtRetrying(dir, name, flags, 0);
  }
  if (fd < 0) {
    SetOpenError(dir, name, errno);
    return nullptr;
  }
  return FolderFromFd(fd);
}

void CloseFolder(FolderHandle folder) {
  if (folder == nullptr) return;
  close(FdFromFolder(folder));
}

EntryKind GetEntryKind(FolderHandle folder, const char* name) {
  const int dir = FdFromFolder(folder);
  if (dir < 0) return EntryKind::Missing;
  struct stat st;
  if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    SetLastErrorFromErrno(errno);
    return EntryKind::Missing;
  }
  if (S_ISLNK(st.st_mode)) return EntryKind::Link;
  if (S_ISDIR(st.st_mode)) return EntryKind::Folder;
  if (S_ISREG(st.st_mode)) return EntryKind::File;
  return EntryKind::Other;
}

OsHandle CreateFileIn(FolderHandle folder, const char* name) {
  const int dir = FdFromFolder(folder);
  if (dir < 0) return InvalidHandle();
  return CreateExclusive(dir, name, 0666);
}

OsHandle CreateTempFileIn(FolderHandle folder, std::string* name) {
  const int dir = FdFromFolder(folder);
  if (dir < 0) return InvalidHandle();
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char candidate[64];
    std::snprintf(candidate, sizeof candidate, ".extract-%ld-%u.part", static_cast<long>(getpid()), counter++);
    OsHandle file = CreateExclusive(dir, candidate, 0600);
    if (IsValidHandle(file)) {
      *name = candidate;
      return file;
    }
    if (GetLastError() != kErrorFileExists) return file;
  }
  return InvalidHandle();
}

bool SetNewFileMode(OsHandle file) {
  const int fd = FdFromFile(file);
  if (fd < 0) return false;
  // The mask can only be read by setting it; this program sets it nowhere else.
  static const mode_t mask = [] {
    const mode_t m = umask(022);
    umask(m);
    return m;
  }();
  if (fchmod(fd, 0666 & ~mask) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  return true;
}

bool FinishFileIn(FolderHandle folder, const char* from, const char* to) {
  const int dir = FdFromFolder(folder);
  if (dir < 0) return false;
  if (std::strcmp(from, to) == 0) {
    pending.armed = 0;
    return true;
  }
  if (!internal::TakeWriteStep()) return false;
  Busy busy;
  // renameat replaces a link in `to` itself, never what it points at.
  if (renameat(dir, from, dir, to) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  pending.armed = 0;
  return true;
}

bool DeleteFileIn(FolderHandle folder, const char* name) {
  const int dir = FdFromFolder(folder);
  if (dir < 0) return false;
  if (!internal::TakeWriteStep()) return false;
  Busy busy;
  if (unlinkat(dir, name, 0) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  if (pending.armed != 0 && pending.dir == dir && std::strcmp(pending.name, name) == 0) pending.armed = 0;
  return true;
}

void InstallInterruptCleanup() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnCleanupSignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int s : kCleanupSignals) {
    struct sigaction previous;
    // A signal the caller's parent chose to ignore stays ignored, as a
    // shell's background job expects.
    if (sigaction(s, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    sigaction(s, &action, nullptr);
  }
  signal(SIGXFSZ, SIG_IGN);
}

}  // namespace platform
