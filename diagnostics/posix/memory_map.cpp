// Memory permissions from the process's own map. The map is parsed as it
// streams in through a fixed buffer, so a query allocates nothing and may run
// in a fault handler; a report takes one snapshot of it and asks that.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "diagnostics/posix/fault_internal.h"
#include "diagnostics/system.h"

namespace platform {

namespace {

struct Mapping {
  uintptr_t start;
  uintptr_t end;
  bool readable;
  bool writable;
};

// Reads "start-end perms" from the head of a map line; false when the line
// does not have that shape.
bool ParseMapLine(const char* line, size_t length, Mapping* mapping) {
  size_t at = 0;
  auto hex = [&](uintptr_t* value) {
    uintptr_t result = 0;
    size_t digits = 0;
    for (; at < length; ++at, ++digits) {
      const char c = line[at];
      int v;
      if (c >= '0' && c <= '9') v = c - '0';
      else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
      else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
      else break;
      if (digits >= sizeof(uintptr_t) * 2) return false;
      result = result << 4 | static_cast<uintptr_t>(v);
    }
    *value = result;
    return digits > 0;
  };
  if (!hex(&mapping->start) || at >= length || line[at++] != '-') return false;
  if (!hex(&mapping->end) || at >= length || line[at++] != ' ') return false;
  if (length - at < 2) return false;
  mapping->readable = line[at] == 'r';
  mapping->writable = line[at + 1] == 'w';
  return mapping->end > mapping->start;
}

// Calls visit(mapping) for every line of the map, in address order, until it
// returns false. A line longer than the buffer (a very long path) is judged
// by its head, which holds every field needed. False when the map cannot be
// read.
template <typename Visit>
bool ForEachMapping(Visit visit) {
  int fd;
  do {
    fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  char buffer[4096];
  size_t held = 0;
  bool skipping = false;  // inside the tail of an over-long line
  bool ok = true;
  bool going = true;
  while (going) {
    const ssize_t got = read(fd, buffer + held, sizeof buffer - held);
    if (got < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    held += static_cast<size_t>(got);
    size_t start = 0;
    while (going) {
      const auto* newline = static_cast<const char*>(memchr(buffer + start, '\n', held - start));
      if (newline == nullptr) break;
      const size_t end = static_cast<size_t>(newline - buffer);
      Mapping mapping;
      if (!skipping && ParseMapLine(buffer + start, end - start, &mapping)) going = visit(mapping);
      skipping = false;
      start = end + 1;
    }
    if (!going) break;
    if (got == 0) {
      Mapping mapping;
      if (!skipping && start < held && ParseMapLine(buffer + start, held - start, &mapping)) visit(mapping);
      break;
    }
    memmove(buffer, buffer + start, held - start);
    held -= start;
    if (held == sizeof buffer) {
      Mapping mapping;
      if (!skipping && ParseMapLine(buffer, held, &mapping)) going = visit(mapping);
      skipping = true;
      held = 0;
    }
  }
  close(fd);
  return ok;
}

// One copy of the map. Neighbouring mappings with the same two permissions
// are merged, which keeps even large processes within the table; a map that
// still does not fit leaves the snapshot unused.
constexpr int kMaxRegions = 4096;
Mapping regions[kMaxRegions];
int regionCount = 0;
std::atomic<long> snapshotOwner{0};

long ThreadId() { return static_cast<long>(syscall(SYS_gettid)); }

bool SnapshotIsMine() {
  const long owner = snapshotOwner.load(std::memory_order_acquire);
  return owner != 0 && owner == ThreadId();
}

// Whether [begin, begin + size) lies in consecutive mappings that all allow
// the access.
bool Covered(uintptr_t begin, size_t size, bool write) {
  if (size == 0) return true;
  const uintptr_t end = begin + size;
  if (end < begin) return false;
  uintptr_t covered = begin;
  auto step = [&](const Mapping& m) {
    // The map is sorted: a mapping that starts past the uncovered point
    // leaves a hole.
    if (m.start > covered) return false;
    if (m.end > covered) {
      if (!(write ? m.writable : m.readable)) return false;
      covered = m.end;
      if (covered >= end) return false;
    }
    return true;
  };
  if (SnapshotIsMine()) {
    // The first region that ends past begin, then onwards.
    int low = 0;
    int high = regionCount;
    while (low < high) {
      const int mid = (low + high) / 2;
      if (regions[mid].end <= begin) low = mid + 1;
      else high = mid;
    }
    for (int i = low; i < regionCount && step(regions[i]); ++i) {
    }
  } else if (!ForEachMapping(step)) {
    return false;
  }
  return covered >= end;
}

}  // namespace

bool IsReadableMemory(const void* address, size_t size) {
  return Covered(reinterpret_cast<uintptr_t>(address), size, false);
}

bool IsWritableMemory(const void* address, size_t size) {
  return Covered(reinterpret_cast<uintptr_t>(address), size, true);
}

bool BeginMemorySnapshot() {
  long expected = 0;
  const long self = ThreadId();
  if (!snapshotOwner.compare_exchange_strong(expected, -1, std::memory_order_acq_rel)) return false;
  int count = 0;
  bool fits = true;
  const bool read = ForEachMapping([&](const Mapping& m) {
    if (count > 0) {
      Mapping& last = regions[count - 1];
      if (last.end == m.start && last.readable == m.readable && last.writable == m.writable) {
        last.end = m.end;
        return true;
      }
    }
    if (count == kMaxRegions) {
      fits = false;
      return false;
    }
    regions[count++] = m;
    return true;
  });
  if (!read || !fits) {
    snapshotOwner.store(0, std::memory_order_release);
    return false;
  }
  regionCount = count;
  snapshotOwner.store(self, std::memory_order_release);
  return true;
}

void EndMemorySnapshot() {
  if (SnapshotIsMine()) snapshotOwner.store(0, std::memory_order_release);
}

}  // namespace platform
