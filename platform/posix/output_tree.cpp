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

// The files being written, for the signal handlers: one record (a slot) per
// thread that writes, claimed at its first file and given back when the
// thread ends. A slot's lock says who may touch its record and its file:
// its thread while it creates, renames or removes the file (kOwner: the
// record and the file change together), or a handler that took the slot to
// remove the file (kTaken). Once the process is ending (`ending` set) every
// slot a handler met stays taken, so no thread starts another file: it
// waits for the end instead. A signal that finds a thread in the middle of
// its step leaves that file to the thread, which removes it when the step
// is done; the last thread to finish its step ends the process. This costs
// no system call per file, which blocking the signals would.
constexpr int kSlots = 128;
enum : int { kIdle = 0, kOwner = 1, kTaken = 2 };

struct Slot {
  std::atomic<int> lock;
  std::atomic<bool> claimed;
  volatile sig_atomic_t armed;  // read and written by whoever holds the lock
  int dir;
  char name[NAME_MAX + 1];
};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "signal handlers use these atomics");
Slot slots[kSlots];
std::atomic<int> ending{0};  // the signal that ends the process; -1 for a crash

#if defined(__GNUC__) || defined(__clang__)
#define SORVANE_SIGNAL_TLS __attribute__((tls_model("initial-exec")))
#else
#define SORVANE_SIGNAL_TLS
#endif
// The calling thread's slot, and the one it holds during a step (handlers
// read these: plain pointers, no constructor).
thread_local Slot* ownSlot SORVANE_SIGNAL_TLS = nullptr;
thread_local Slot* stepSlot SORVANE_SIGNAL_TLS = nullptr;

const int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

[[noreturn]] void WaitForTheEnd() {
  for (;;) pause();
}

// Takes every slot no thread is in a step with and removes its file;
// returns how many threads are in a step (the caller's own `self` not
// counted). Async-signal-safe.
int Sweep(const Slot* self) {
  int busy = 0;
  for (Slot& slot : slots) {
    int expected = kIdle;
    if (slot.lock.compare_exchange_strong(expected, kTaken)) {
      if (slot.armed != 0) {
        slot.armed = 0;
        unlinkat(slot.dir, slot.name, 0);
      }
    } else if (expected == kOwner && &slot != self) {
      ++busy;
    }
  }
  return busy;
}

void EndBySignal(int number) {
  signal(number, SIG_DFL);
  raise(number);
}

void OnCleanupSignal(int number) {
  const int savedErrno = errno;
  int expected = 0;
  ending.compare_exchange_strong(expected, number);
  // Threads in a step end the process when they are done (Leave).
  if (Sweep(nullptr) == 0) EndBySignal(number);
  errno = savedErrno;
}

// Gives the thread's slot back when it ends.
struct SlotKeeper {
  bool kept = false;
  ~SlotKeeper() {
    Slot* slot = ownSlot;
    if (slot == nullptr) return;
    ownSlot = nullptr;
    int expected = kIdle;
    if (slot->lock.compare_exchange_strong(expected, kOwner)) {
      slot->armed = 0;
      slot->lock.store(kIdle);
    }
    slot->claimed.store(false);
  }
};
thread_local SlotKeeper slotKeeper;

// The calling thread's slot, claimed on first use; null when every slot is
// another thread's.
Slot* OwnSlot() {
  if (ownSlot != nullptr) return ownSlot;
  for (Slot& slot : slots) {
    bool expected = false;
    if (slot.claimed.compare_exchange_strong(expected, true)) {
      slotKeeper.kept = true;  // the first use registers its destructor for this thread
      ownSlot = &slot;
      return &slot;
    }
  }
  return nullptr;
}

// One step that creates, renames or removes a file being written: the
// thread's slot is held for it, so no handler acts on it meanwhile.
class Step {
 public:
  Step() : slot_(OwnSlot()) {
    if (slot_ == nullptr) return;
    int expected = kIdle;
    // Only a handler takes a slot from its thread, and only once the
    // process is ending.
    if (!slot_->lock.compare_exchange_strong(expected, kOwner)) WaitForTheEnd();
    stepSlot = slot_;
  }
  ~Step() {
    if (slot_ == nullptr) return;
    slot_->lock.store(kIdle);
    stepSlot = nullptr;
    const int number = ending.load();
    if (number == 0) return;
    // A handler came during the step: this thread's file goes now, and the
    // last thread to finish its step ends the process.
    if (Sweep(nullptr) == 0 && number > 0) EndBySignal(number);
    WaitForTheEnd();
  }
  Step(const Step&) = delete;
  Step& operator=(const Step&) = delete;
  Slot* slot() const { return slot_; }

 private:
  Slot* slot_;
};

// Marks name in dir as the thread's file being written (inside a Step).
void Arm(Slot* slot, int dir, const char* name) {
  const size_t length = std::strlen(name);
  if (length >= sizeof slot->name) return;  // the create would have failed
  slot->armed = 0;
  slot->dir = dir;
  std::memcpy(slot->name, name, length + 1);
  slot->armed = 1;
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
  Step step;
  if (step.slot() == nullptr) {
    SetLastError(kErrorTooManyOpenFiles);
    return InvalidHandle();
  }
  const int fd = OpenAtRetrying(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
  if (fd < 0) {
    SetOpenError(dir, name, errno);
    return InvalidHandle();
  }
  Arm(step.slot(), dir, name);
  SetLastError(kErrorSuccess);
  return posix::HandleFromDescriptor(fd);
}

}  // namespace

void posix::DropPendingFile() {
  int expected = 0;
  ending.compare_exchange_strong(expected, -1);
  // A step of this thread that the crash cut short is not waited for.
  Slot* self = stepSlot;
  if (self != nullptr && self->armed != 0) {
    self->armed = 0;
    unlinkat(self->dir, self->name, 0);
  }
  // Other threads finish their steps (one system call each) and then
  // remove their files themselves; give them a moment.
  for (int waited = 0; Sweep(self) != 0 && waited < 500; ++waited) {
    struct timespec pause = {0, 1000000};
    nanosleep(&pause, nullptr);
  }
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
  Step step;
  // renameat replaces a link in `to` itself, never what it points at.
  if (std::strcmp(from, to) != 0 && renameat(dir, from, dir, to) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  if (step.slot() != nullptr) step.slot()->armed = 0;
  return true;
}

bool DeleteFileIn(FolderHandle folder, const char* name) {
  const int dir = FdFromFolder(folder);
  if (dir < 0) return false;
  if (!internal::TakeWriteStep()) return false;
  Step step;
  if (unlinkat(dir, name, 0) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  Slot* slot = step.slot();
  if (slot != nullptr && slot->armed != 0 && slot->dir == dir && std::strcmp(slot->name, name) == 0) slot->armed = 0;
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
