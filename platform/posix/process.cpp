// Time and the executable's own path.
#include <cerrno>
#include <cstring>
#include <time.h>
#include <unistd.h>
#include <vector>
#ifdef __linux__
#include <sched.h>
#endif

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace platform {

uint32_t GetTickCount() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  // Wraps after 49.7 days like the Windows counter.
  return static_cast<uint32_t>(ms);
}

uint64_t GetSystemTimeAsFileTime() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return posix::FileTimeFrom(now);
}

uint32_t GetModuleFileName(char* buffer, uint32_t size) {
  std::vector<char> path(256);
  ssize_t length = 0;
  for (;;) {
    length = readlink("/proc/self/exe", path.data(), path.size());
    if (length < 0) {
      posix::SetLastErrorFromErrno(errno);
      return 0;
    }
    if (static_cast<size_t>(length) < path.size()) break;
    if (path.size() >= (1u << 20)) {
      SetLastError(kErrorFilenameExcedRange);
      return 0;
    }
    path.resize(path.size() * 2);
  }
  if (buffer == nullptr || size == 0) {
    SetLastError(kErrorInsufficientBuffer);
    return 0;
  }
  if (static_cast<size_t>(length) >= size) {
    // Win32 truncates, terminates and returns the whole buffer size.
    memcpy(buffer, path.data(), size - 1);
    buffer[size - 1] = '\0';
    SetLastError(kErrorInsufficientBuffer);
    return size;
  }
  memcpy(buffer, path.data(), static_cast<size_t>(length));
  buffer[length] = '\0';
  return static_cast<uint32_t>(length);
}

uint32_t ProcessorCount() {
#ifdef __linux__
  // The processors this process may use (taskset, cpusets), not all there are.
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<uint32_t>(count);
  }
#endif
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<uint32_t>(online) : 1u;
}

}  // namespace platform
