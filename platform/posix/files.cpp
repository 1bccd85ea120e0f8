// Files: the Win32 file calls over POSIX descriptors. A handle is the
// descriptor plus one, so descriptor 0 never turns into a null handle.
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"
#include "platform/write_steps.h"

namespace platform {

using posix::NativePath;
using posix::SetLastErrorFromErrno;

namespace {

OsHandle HandleFromFd(int fd) { return reinterpret_cast<OsHandle>(static_cast<uintptr_t>(fd) + 1); }

// The descriptor behind a handle, or -1 (with the last error set) when the
// handle cannot be one.
int FdFromHandle(OsHandle file) {
  if (!IsValidHandle(file)) {
    SetLastError(kErrorInvalidHandle);
    return -1;
  }
  uintptr_t value = reinterpret_cast<uintptr_t>(file) - 1;
  if (value > static_cast<uintptr_t>(INT_MAX)) {
    SetLastError(kErrorInvalidHandle);
    return -1;
  }
  return static_cast<int>(value);
}

int OpenRetrying(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// A descriptor that is open but lacks the access asked for answers EBADF;
// Windows calls that access denied and keeps "invalid handle" for handles
// that are not open at all.
void SetIoError(int fd) {
  const int err = errno;
  if (err == EBADF && fcntl(fd, F_GETFD) != -1) SetLastError(kErrorAccessDenied);
  else SetLastErrorFromErrno(err);
}

// Reads until count bytes or the end of the file; offset < 0 reads at the
// descriptor's position.
bool ReadFully(int fd, int64_t offset, void* buffer, uint32_t count, uint32_t* done) {
  auto* out = static_cast<uint8_t*>(buffer);
  uint32_t total = 0;
  bool ok = true;
  while (total < count) {
    ssize_t n = offset < 0 ? read(fd, out + total, count - total)
                           : pread(fd, out + total, count - total, static_cast<off_t>(offset + total));
    if (n < 0) {
      if (errno == EINTR) continue;
      SetIoError(fd);
      ok = false;
      break;
    }
    if (n == 0) break;
    total += static_cast<uint32_t>(n);
  }
  if (done != nullptr) *done = total;
  return ok;
}

bool WriteFully(int fd, int64_t offset, const void* buffer, uint32_t count, uint32_t* done) {
  const auto* in = static_cast<const uint8_t*>(buffer);
  uint32_t total = 0;
  bool ok = true;
  while (total < count) {
    ssize_t n = offset < 0 ? write(fd, in + total, count - total)
                           : pwrite(fd, in + total, count - total, static_cast<off_t>(offset + total));
    if (n < 0) {
      if (errno == EINTR) continue;
      SetIoError(fd);
      ok = false;
      break;
    }
    if (n == 0) {
      SetLastError(kErrorDiskFull);
      ok = false;
      break;
    }
    total += static_cast<uint32_t>(n);
  }
  if (done != nullptr) *done = total;
  return ok;
}

}  // namespace

void* posix::HandleFromDescriptor(int fd) { return HandleFromFd(fd); }

namespace {

// Opens path as CreateFileA would, but leaves the cutting of an existing
// file to the caller when truncate is null (a shared open must hold its lock
// before it changes anything). Returns the descriptor or -1 with errno set.
int OpenForDisposition(const std::string& native, uint32_t access, uint32_t disposition, mode_t mode,
                       bool* truncate, bool* existed) {
  const bool wantRead = (access & kGenericRead) != 0;
  const bool wantWrite = (access & kGenericWrite) != 0;
  const int flags = wantWrite ? (wantRead ? O_RDWR : O_WRONLY) : O_RDONLY;
  const int cut = truncate == nullptr ? O_TRUNC : 0;
  int fd = -1;
  *existed = false;
  switch (disposition) {
    case kCreateNew:
      return OpenRetrying(native.c_str(), flags | O_CREAT | O_EXCL, mode);
    case kOpenExisting:
      return OpenRetrying(native.c_str(), flags, mode);
    case kTruncateExisting:
      if (!wantWrite) {
        errno = EINVAL;
        return -1;
      }
      if (truncate != nullptr) *truncate = true;
      return OpenRetrying(native.c_str(), flags | cut, mode);
    case kCreateAlways:
    case kOpenAlways: {
      // Win32 reports through the last error whether the file was already
      // there, so learn it by trying to create it first. A file that vanishes
      // between the two attempts is simply tried again.
      const int keep = disposition == kCreateAlways ? cut : 0;
      for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
        fd = OpenRetrying(native.c_str(), flags | O_CREAT | O_EXCL, mode);
        if (fd >= 0 || errno != EEXIST) break;
        fd = OpenRetrying(native.c_str(), flags | keep, mode);
        if (fd >= 0) *existed = true;
        else if (errno != ENOENT) break;
      }
      if (fd >= 0 && *existed && disposition == kCreateAlways && truncate != nullptr) *truncate = true;
      return fd;
    }
    default:
      errno = EINVAL;
      return -1;
  }
}

// CreateFileA refuses folders unless asked for backup semantics.
bool RefuseFolder(int fd) {
  struct stat st;
  if (fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode)) return false;
  close(fd);
  SetLastError(kErrorAccessDenied);
  return true;
}

enum class LockOutcome { Taken, Conflict, Unsupported, Failed };

// Errors of file systems that keep no locks (some network and FUSE ones).
bool LocksUnsupported(int err) { return err == ENOLCK || err == ENOSYS || err == EOPNOTSUPP || err == ENOTSUP; }

// A lock on the whole file that belongs to the open file description, so
// that two opens in one process keep each other out as two programs do.
// Kernels without such locks get flock, which behaves alike on local files.
LockOutcome LockWhole(int fd, bool exclusive) {
#ifdef F_OFD_SETLK
  struct flock region = {};
  region.l_type = static_cast<short>(exclusive ? F_WRLCK : F_RDLCK);
  region.l_whence = SEEK_SET;
  int rc;
  do {
    rc = fcntl(fd, F_OFD_SETLK, &region);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) return LockOutcome::Taken;
  if (errno == EAGAIN || errno == EACCES) return LockOutcome::Conflict;
  if (LocksUnsupported(errno)) return LockOutcome::Unsupported;
  if (errno != EINVAL) return LockOutcome::Failed;
#endif
  int held;
  do {
    held = flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB);
  } while (held != 0 && errno == EINTR);
  if (held == 0) return LockOutcome::Taken;
  if (errno == EWOULDBLOCK) return LockOutcome::Conflict;
  if (LocksUnsupported(errno) || errno == EINVAL) return LockOutcome::Unsupported;
  return LockOutcome::Failed;
}

std::atomic<bool> unprotectedOpen{false};

// Whether path still names the file open as fd.
bool PathNamesDescriptor(const std::string& native, int fd) {
  struct stat named, opened;
  return stat(native.c_str(), &named) == 0 && fstat(fd, &opened) == 0 && named.st_dev == opened.st_dev &&
         named.st_ino == opened.st_ino;
}

}  // namespace

// Share modes have no POSIX counterpart (no mandatory locking), so they are
// accepted and ignored here; CreateSharedFile enforces them between its own
// users.
OsHandle CreateFile(const char* path, uint32_t access, uint32_t /*shareMode*/,
                    uint32_t disposition, uint32_t attributes) {
  if (path == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return InvalidHandle();
  }
  const mode_t mode = (attributes & kFileAttributeReadOnly) != 0 ? 0444 : 0666;
  const std::string native = NativePath(path);
  bool existed = false;
  const int fd = OpenForDisposition(native, access, disposition, mode, nullptr, &existed);
  if (fd < 0) {
    if (errno == EINVAL) SetLastError(kErrorInvalidParameter);
    else SetLastErrorFromErrno(errno, native.c_str());
    return InvalidHandle();
  }
  if (RefuseFolder(fd)) return InvalidHandle();
  SetLastError(existed ? kErrorAlreadyExists : kErrorSuccess);
  return HandleFromFd(fd);
}

OsHandle CreateSharedFile(const char* path, uint32_t access, uint32_t shareMode, uint32_t disposition,
                          bool ownerOnly) {
  if (path == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return InvalidHandle();
  }
  const bool exclusive = (access & kGenericWrite) != 0 || (shareMode & kFileShareRead) == 0;
  const std::string native = NativePath(path);
  // Compaction replaces a file by renaming another over its name: a lock
  // taken on the file the name left is no lock on the archive, so the open
  // starts again. Each round means another program replaced the file in
  // between, which cannot go on for long.
  for (int round = 0; round < 64; ++round) {
    bool existed = false, truncate = false;
    const int fd = OpenForDisposition(native, access, disposition, ownerOnly ? 0600 : 0666, &truncate, &existed);
    if (fd < 0) {
      if (errno == EINVAL) SetLastError(kErrorInvalidParameter);
      else SetLastErrorFromErrno(errno, native.c_str());
      return InvalidHandle();
    }
    if (RefuseFolder(fd)) return InvalidHandle();
    const LockOutcome lock = LockWhole(fd, exclusive);
    if (lock == LockOutcome::Conflict || lock == LockOutcome::Failed) {
      const int err = errno;
      close(fd);
      if (lock == LockOutcome::Conflict) SetLastError(kErrorSharingViolation);
      else SetLastErrorFromErrno(err, native.c_str());
      return InvalidHandle();
    }
    if (lock == LockOutcome::Unsupported) unprotectedOpen.store(true);
    if (!PathNamesDescriptor(native, fd)) {
      close(fd);
      continue;
    }
    if (truncate) {
      int rc;
      do {
        rc = ftruncate(fd, 0);
      } while (rc != 0 && errno == EINTR);
      if (rc != 0) {
        const int err = errno;
        close(fd);
        SetLastErrorFromErrno(err, native.c_str());
        return InvalidHandle();
      }
    }
    SetLastError(existed ? kErrorAlreadyExists : kErrorSuccess);
    return HandleFromFd(fd);
  }
  SetLastError(kErrorSharingViolation);
  return InvalidHandle();
}

bool SharingUnprotected() { return unprotectedOpen.load(); }

bool NamesFile(const char* path, OsHandle file) {
  const int fd = FdFromHandle(file);
  if (fd < 0 || path == nullptr) return false;
  return PathNamesDescriptor(NativePath(path), fd);
}

bool CopyOwnership(OsHandle from, OsHandle to, bool* ownerKept) {
  *ownerKept = true;
  struct stat source, target;
  const int in = FdFromHandle(from), out = FdFromHandle(to);
  if (in < 0 || out < 0) return false;
  if (fstat(in, &source) != 0 || fstat(out, &target) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  // Owner first: giving a file away may clear its set-id bits, which the
  // mode puts back. Only a privileged process may give a file to another
  // user; the group is still kept where this user belongs to it.
  if (source.st_uid != target.st_uid || source.st_gid != target.st_gid) {
    if (fchown(out, source.st_uid, source.st_gid) != 0) {
      if (source.st_uid != target.st_uid) *ownerKept = false;
      if (source.st_gid != target.st_gid && fchown(out, static_cast<uid_t>(-1), source.st_gid) != 0) {
        *ownerKept = false;
      }
    }
  }
  if (fchmod(out, source.st_mode & 07777) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  return true;
}

bool ResolveLinks(const char* path, std::string* resolved) {
  if (path == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  char* real = realpath(NativePath(path).c_str(), nullptr);
  if (real == nullptr) {
    SetLastErrorFromErrno(errno, path);
    return false;
  }
  *resolved = real;
  std::free(real);
  return true;
}

bool ReadFile(OsHandle file, void* buffer, uint32_t count, uint32_t* bytesRead) {
  if (bytesRead != nullptr) *bytesRead = 0;
  int fd = FdFromHandle(file);
  if (fd < 0) return false;
  if (buffer == nullptr && count != 0) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  return ReadFully(fd, -1, buffer, count, bytesRead);
}

bool WriteFile(OsHandle file, const void* buffer, uint32_t count, uint32_t* bytesWritten) {
  if (bytesWritten != nullptr) *bytesWritten = 0;
  int fd = FdFromHandle(file);
  if (fd < 0) return false;
  if (buffer == nullptr && count != 0) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  if (!internal::TakeWriteStep(true)) return false;
  return WriteFully(fd, -1, buffer, count, bytesWritten);
}

uint32_t SetFilePointer(OsHandle file, int32_t distance, int32_t* distanceHigh, uint32_t method) {
  int fd = FdFromHandle(file);
  if (fd < 0) return kInvalidSetFilePointer;
  int64_t move = distanceHigh != nullptr
                     ? static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*distanceHigh)) << 32) |
                                            static_cast<uint32_t>(distance))
                     : static_cast<int64_t>(distance);
  int64_t base = 0;
  if (method == kFileBegin) {
    base = 0;
  } else if (method == kFileCurrent) {
    off_t cur = lseek(fd, 0, SEEK_CUR);
    if (cur < 0) {
      SetLastErrorFromErrno(errno);
      return kInvalidSetFilePointer;
    }
    base = cur;
  } else if (method == kFileEnd) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
      SetLastErrorFromErrno(errno);
      return kInvalidSetFilePointer;
    }
    base = st.st_size;
  } else {
    SetLastError(kErrorInvalidParameter);
    return kInvalidSetFilePointer;
  }
  // Both terms are far from the limits in practice, but a hostile distance
  // must not overflow the sum.
  if ((move > 0 && base > INT64_MAX - move) || (move < 0 && base < INT64_MIN - move)) {
    SetLastError(kErrorInvalidParameter);
    return kInvalidSetFilePointer;
  }
  int64_t target = base + move;
  if (target < 0) {
    SetLastError(kErrorNegativeSeek);
    return kInvalidSetFilePointer;
  }
  if (distanceHigh == nullptr && target > static_cast<int64_t>(UINT32_MAX) - 1) {
    // Without a high part the new position must fit the low part alone.
    SetLastError(kErrorInvalidParameter);
    return kInvalidSetFilePointer;
  }
  if (lseek(fd, static_cast<off_t>(target), SEEK_SET) < 0) {
    SetLastErrorFromErrno(errno);
    return kInvalidSetFilePointer;
  }
  const uint32_t low = static_cast<uint32_t>(static_cast<uint64_t>(target));
  if (distanceHigh != nullptr) *distanceHigh = static_cast<int32_t>(static_cast<uint64_t>(target) >> 32);
  // A low part equal to the failure value is told apart by the last error.
  if (low == kInvalidSetFilePointer) SetLastError(kErrorSuccess);
  return low;
}

uint32_t GetFileSize(OsHandle file, uint32_t* sizeHigh) {
  uint64_t size = 0;
  if (!GetFileSize64(file, &size)) return kInvalidFileSize;
  if (sizeHigh != nullptr) *sizeHigh = static_cast<uint32_t>(size >> 32);
  const uint32_t low = static_cast<uint32_t>(size);
  if (low == kInvalidFileSize) SetLastError(kErrorSuccess);
  return low;
}

// fstat of an open handle, its failure in the last error.
static bool StatOf(OsHandle file, struct stat* st) {
  int fd = FdFromHandle(file);
  if (fd < 0) return false;
  if (fstat(fd, st) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  return true;
}

bool GetFileSize64(OsHandle file, uint64_t* size) {
  struct stat st;
  if (!StatOf(file, &st)) return false;
  if (size != nullptr) *size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool GetFileWriteTime(OsHandle file, uint64_t* fileTime) {
  struct stat st;
  if (!StatOf(file, &st)) return false;
  *fileTime = posix::FileTimeFrom(st.st_mtim);
  return true;
}

bool SetEndOfFile(OsHandle file) {
  int fd = FdFromHandle(file);
  if (fd < 0) return false;
  if (!internal::TakeWriteStep()) return false;
  off_t cur = lseek(fd, 0, SEEK_CUR);
  int rc = -1;
  if (cur >= 0) {
    do {
      rc = ftruncate(fd, cur);
    } while (rc != 0 && errno == EINTR);
  }
  if (rc != 0) {
    // A descriptor opened read-only answers EINVAL; Windows calls that
    // access denied.
    if (errno == EINVAL || errno == EBADF) SetLastError(kErrorAccessDenied);
    else SetLastErrorFromErrno(errno);
    return false;
  }
  return true;
}

bool FlushFileBuffers(OsHandle file) {
  int fd = FdFromHandle(file);
  if (fd < 0) return false;
  if (!internal::TakeWriteStep()) return false;
  if (fsync(fd) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  return true;
}

bool CloseHandle(OsHandle file) {
  int fd = FdFromHandle(file);
  if (fd < 0) return false;
  // The descriptor is gone even when close reports EINTR, so never retry.
  if (close(fd) != 0 && errno != EINTR) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  return true;
}

bool WritePiecesAt(OsHandle file, uint64_t offset, const WritePiece* pieces, uint32_t count) {
  const int fd = FdFromHandle(file);
  if (fd < 0) return false;
  if (pieces == nullptr && count != 0) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  if (!internal::TakeWriteStep(true)) return false;
  constexpr uint32_t kMostPerCall = 1024;  // IOV_MAX on the systems we know
  struct iovec vectors[kMostPerCall];
  uint32_t next = 0;      // the first piece not wholly written
  uint32_t writtenOfNext = 0;
  while (next < count) {
    uint32_t n = 0;
    for (uint32_t i = next; i < count && n < kMostPerCall; ++i, ++n) {
      const uint32_t skip = i == next ? writtenOfNext : 0;
      vectors[n].iov_base = const_cast<uint8_t*>(static_cast<const uint8_t*>(pieces[i].data) + skip);
      vectors[n].iov_len = pieces[i].size - skip;
    }
    if (offset > static_cast<uint64_t>(INT64_MAX)) {
      SetLastError(kErrorInvalidParameter);
      return false;
    }
    ssize_t done;
    do {
      done = pwritev(fd, vectors, static_cast<int>(n), static_cast<off_t>(offset));
    } while (done < 0 && errno == EINTR);
    if (done < 0) {
      SetIoError(fd);
      return false;
    }
    if (done == 0) {
      bool empty = true;
      for (uint32_t i = 0; i < n; ++i) empty = empty && vectors[i].iov_len == 0;
      if (!empty) {
        SetLastError(kErrorDiskFull);
        return false;
      }
    }
    offset += static_cast<uint64_t>(done);
    uint64_t left = static_cast<uint64_t>(done);
    for (uint32_t i = 0; i < n; ++i) {
      const uint64_t rest = vectors[i].iov_len;
      if (left < rest) {
        writtenOfNext = (i == 0 ? writtenOfNext : 0) + static_cast<uint32_t>(left);
        break;
      }
      left -= rest;
      ++next;
      writtenOfNext = 0;
    }
  }
  return true;
}

OsHandle OpenFileForReading(const char* path) {
  if (path == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return InvalidHandle();
  }
  const std::string native = NativePath(path);
  const int fd = OpenRetrying(native.c_str(), O_RDONLY, 0);
  if (fd < 0) {
    SetLastErrorFromErrno(errno, native.c_str());
    return InvalidHandle();
  }
  return HandleFromFd(fd);
}

bool ReadOnce(OsHandle file, void* buffer, uint32_t count, uint32_t* bytesRead) {
  *bytesRead = 0;
  const int fd = FdFromHandle(file);
  if (fd < 0) return false;
  if (buffer == nullptr && count != 0) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  ssize_t n;
  do {
    n = read(fd, buffer, count);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    SetIoError(fd);
    return false;
  }
  *bytesRead = static_cast<uint32_t>(n);
  return true;
}

bool ReadFileAt(OsHandle file, uint64_t offset, void* buffer, uint32_t count, uint32_t* bytesRead) {
  if (bytesRead != nullptr) *bytesRead = 0;
  int fd = FdFromHandle(file);
  if (fd < 0) return false;
  if ((buffer == nullptr && count != 0) || offset > static_cast<uint64_t>(INT64_MAX) - count) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  return ReadFully(fd, static_cast<int64_t>(offset), buffer, count, bytesRead);
}

bool WriteFileAt(OsHandle file, uint64_t offset, const void* buffer, uint32_t count, uint32_t* bytesWritten) {
  if (bytesWritten != nullptr) *bytesWritten = 0;
  int fd = FdFromHandle(file);
  if (fd < 0) return false;
  if ((buffer == nullptr && count != 0) || offset > static_cast<uint64_t>(INT64_MAX) - count) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  if (!internal::TakeWriteStep(true)) return false;
  return WriteFully(fd, static_cast<int64_t>(offset), buffer, count, bytesWritten);
}

}  // namespace platform
