// Output trees: every level below the chosen folder is reached from its
// parent's descriptor with O_NOFOLLOW, so a link planted anywhere below it,
// before or during the run, is met as a link and never gone through.
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"
#include "platform/write_slots.h"
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

// The files being written, for the signal handlers (write_slots.h). A
// handler sweeps the slots itself, and once the process is ending the last
// thread to finish its step ends the process. This costs no system call per
// file, which blocking the signals would.
void EndBySignal(int number) {
  signal(number, SIG_DFL);
  raise(number);
}

struct PosixFiles {
  struct Place {
    int dir;
    char name[NAME_MAX + 1];
  };
  static bool Fits(int /*dir*/, const char* name) { return std::strlen(name) < sizeof Place::name; }
  static void Record(Place* place, int dir, const char* name) {
    place->dir = dir;
    std::memcpy(place->name, name, std::strlen(name) + 1);
  }
  static bool Holds(const Place& place, int dir, const char* name) {
    return place.dir == dir && std::strcmp(place.name, name) == 0;
  }
  static void Remove(const Place& place) { unlinkat(place.dir, place.name, 0); }

  // A slot only needs telling from a free one: a thread gives its slot back
  // when it ends.
  using ThreadId = bool;
  static ThreadId CurrentThread() { return true; }
  static constexpr bool kSlotsOutliveThreads = false;

  static void Nap() {
    struct timespec pause = {0, 1000000};
    nanosleep(&pause, nullptr);
  }
  [[noreturn]] static void WaitForTheEnd() {
    for (;;) pause();
  }
  // The last thread to finish its step ends the process (number: the
  // signal that ends it; -1 for a crash, whose handler ends it).
  static void StepDoneWhileEnding(int number);
};
using Slots = internal::WriteSlots<PosixFiles>;

void PosixFiles::StepDoneWhileEnding(int number) {
  if (Slots::Sweep(nullptr) == 0 && number > 0) EndBySignal(number);
}

const int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

void OnCleanupSignal(int number) {
  const int savedErrno = errno;
  Slots::BeginEnding(number);
  // Threads in a step end the process when they are done (Step).
  if (Slots::Sweep(nullptr) == 0) EndBySignal(number);
  errno = savedErrno;
}

// The process's file-creation mask, read without being set where the
// system allows (setting it, even for a moment, would give another
// thread's new file the wrong mode).
mode_t CurrentMask() {
#ifdef __linux__
  const int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    char text[4096];
    const ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);
    if (got > 0) {
      text[got] = '\0';
      const char* line = std::strstr(text, "\nUmask:");
      if (line != nullptr) return static_cast<mode_t>(std::strtol(line + 7, nullptr, 8));
    }
  }
#endif
  const mode_t m = umask(022);
  umask(m);
  return m;
}

mode_t NewFileMask() {
  static const mode_t mask = CurrentMask();
  return mask;
}

// Owner-only while written, so nobody reads a half-made replacement.
OsHandle CreateExclusive(int dir, const char* name, mode_t mode) {
  Slots::Step step;
  if (step.slot() == nullptr) {
    SetLastError(kErrorTooManyOpenFiles);
    return InvalidHandle();
  }
  const int fd = OpenAtRetrying(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
  if (fd < 0) {
    SetOpenError(dir, name, errno);
    return InvalidHandle();
  }
  Slots::Arm(step.slot(), dir, name);
  SetLastError(kErrorSuccess);
  return posix::HandleFromDescriptor(fd);
}

}  // namespace

void posix::DropPendingFile() {
  Slots::BeginEnding(-1);
  // A step of this thread that the crash cut short is not waited for.
  Slots::Slot* self = Slots::StepSlot();
  if (self != nullptr) Slots::RemoveFile(*self);
  // Other threads finish their steps (one system call each) and then
  // remove their files themselves; give them a moment.
  for (int waited = 0; Slots::Sweep(self) != 0 && waited < 500; ++waited) PosixFiles::Nap();
}

void DropPendingOutput() { posix::DropPendingFile(); }

FolderHandle DuplicateFolder(FolderHandle folder) {
  const int fd = FdFromFolder(folder);
  if (fd < 0) return nullptr;
  const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) {
    SetLastErrorFromErrno(errno);
    return nullptr;
  }
  return FolderFromFd(copy);
}

FolderHandle OpenFolder(const char* path) {
  if (path == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return nullptr;
  }
  // The mask is read once, here, before the caller starts other threads.
  NewFileMask();
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
  static std::atomic<unsigned> counter{0};
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
  if (fchmod(fd, 0666 & ~NewFileMask()) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  return true;
}

bool FinishFileIn(FolderHandle folder, const char* from, const char* to) {
  const int dir = FdFromFolder(folder);
  if (dir < 0) return false;
  if (std::strcmp(from, to) != 0 && !internal::TakeWriteStep()) return false;
  Slots::Step step;
  // renameat replaces a link in `to` itself, never what it points at.
  if (std::strcmp(from, to) != 0 && renameat(dir, from, dir, to) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  Slots::Disarm(step.slot());
  return true;
}

bool DeleteFileIn(FolderHandle folder, const char* name) {
  const int dir = FdFromFolder(folder);
  if (dir < 0) return false;
  if (!internal::TakeWriteStep()) return false;
  Slots::Step step;
  if (unlinkat(dir, name, 0) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  Slots::DisarmIf(step.slot(), dir, name);
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
