// Helpers shared by the POSIX implementation of the platform layer.
#pragma once

#include <cstdint>
#include <string>
#include <time.h>

namespace platform::posix {

// Win32 codes the POSIX side produces beyond those named in platform.h.
constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kErrorNotSameDevice = 17;
constexpr uint32_t kErrorDirectory = 267;
constexpr uint32_t kErrorFileTooLarge = 223;
constexpr uint32_t kErrorCantResolveFilename = 1921;

// The Win32 code that stands for an errno value.
uint32_t ErrnoToWin32(int err);

// Sets the thread's last error from errno. For "no such file" the Win32
// answer depends on whether the folder part of the path exists (2 versus 3),
// so the path is consulted when one is given.
void SetLastErrorFromErrno(int err, const char* path = nullptr);

// The handle that stands for a descriptor.
void* HandleFromDescriptor(int fd);

// Removes the file an output tree is writing, if any, and forgets it.
// Async-signal-safe: signal and crash handlers call it.
void DropPendingFile();

// The path with every backslash turned into '/'.
std::string NativePath(const char* path);

// A time since 1970 as a FILETIME (100 ns steps since 1601); times before
// 1601 give 0.
inline uint64_t FileTimeFrom(const struct timespec& t) {
  constexpr int64_t kEpochGap = 11644473600;  // seconds from 1601 to 1970
  if (t.tv_sec < -kEpochGap) return 0;
  return static_cast<uint64_t>(t.tv_sec + kEpochGap) * 10000000u + static_cast<uint64_t>(t.tv_nsec) / 100u;
}

}  // namespace platform::posix
