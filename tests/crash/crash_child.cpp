// A program that crashes on purpose, for the crash-capture tests.
//   crash_child MODE FOLDER
// Points reports at FOLDER ("-": leaves the folder to the installed choice),
// installs crash capture and then faults as MODE says. Once the report is
// written it tells on standard error how deep the handler reached into its
// alternate stack. The crashing functions have internal linkage, so only the
// program's full symbol table can name them.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <link.h>
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>
#endif

#include "diagnostics/diagnostics.h"
#include "diagnostics/system.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CRASH_CHILD_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define CRASH_CHILD_SANITIZED 1
#endif

// The faults themselves must reach the processor, not a sanitizer's check.
#define CRASH_FUNCTION __attribute__((noinline, no_sanitize("address", "undefined")))

#if !defined(_WIN32) && !defined(CRASH_CHILD_SANITIZED)
// The heap behind one lock of this program's own, so that a thread can hold
// the heap while another crashes: a report that allocated would wait for it
// forever. (The C library has no hooks for this any more.)
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void __libc_free(void* block);

static pthread_mutex_t heapLock = PTHREAD_MUTEX_INITIALIZER;

void* malloc(size_t size) {
  pthread_mutex_lock(&heapLock);
  void* block = __libc_malloc(size);
  pthread_mutex_unlock(&heapLock);
  return block;
}
void* calloc(size_t count, size_t size) {
  pthread_mutex_lock(&heapLock);
  void* block = __libc_calloc(count, size);
  pthread_mutex_unlock(&heapLock);
  return block;
}
void* realloc(void* block, size_t size) {
  pthread_mutex_lock(&heapLock);
  void* moved = __libc_realloc(block, size);
  pthread_mutex_unlock(&heapLock);
  return moved;
}
void free(void* block) {
  pthread_mutex_lock(&heapLock);
  __libc_free(block);
  pthread_mutex_unlock(&heapLock);
}
}
#define CRASH_CHILD_HEAP_LOCK 1
#endif

namespace {

volatile int* volatile nothing = nullptr;
volatile int zero = 0;
volatile int never = -1;

void WriteError(const char* text) {
#if defined(_WIN32)
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(strlen(text)), &written, nullptr);
#else
  const ssize_t written = write(2, text, strlen(text));
  (void)written;
#endif
}

// Runs inside the handler: no heap, no stdio.
void SayStackUse(void*) {
  size_t peak = 0;
  size_t size = 0;
  if (!platform::FaultStackUse(&peak, &size)) return;
  char line[80] = "alternate stack: peak ";
  char* at = line + strlen(line);
  auto number = [&](size_t value) {
    char digits[24];
    int count = 0;
    do {
      digits[count++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    while (count > 0) *at++ = digits[--count];
  };
  number(peak);
  memcpy(at, " of ", 4);
  at += 4;
  number(size);
  memcpy(at, " bytes\n", 8);
  WriteError(line);
}

CRASH_FUNCTION void NullWrite() { *nothing = 1; }

CRASH_FUNCTION int NullRead() { return *nothing; }

CRASH_FUNCTION void CallAbort() { abort(); }

// A dividend the compiler cannot see either: 1 / x would become a compare.
CRASH_FUNCTION int Divide(int value) {
  volatile int dividend = value;
  return dividend / zero;
}

CRASH_FUNCTION void Illegal() { __builtin_trap(); }

// Each level keeps a buffer live across the call, so the recursion can be
// neither folded into a loop nor kept off the stack.
CRASH_FUNCTION int Recurse(int depth) {
  volatile char pad[512];
  if (depth == never) return 0;
  pad[depth % sizeof pad] = static_cast<char>(depth);
  return Recurse(depth + 1) + pad[(depth * 7) % sizeof pad];
}

#if !defined(_WIN32)
std::atomic<bool> locksHeld{false};

CRASH_FUNCTION void FaultInThread() {
  while (!locksHeld.load()) usleep(1000);
  *nothing = 2;
}

// Called by the dynamic linker with its module lock held; keeps it, with
// the heap and both standard streams, while the other thread crashes.
int HoldLocks(struct dl_phdr_info*, size_t, void*) {
  locksHeld.store(true);
  for (;;) pause();
  return 0;
}

// The second thread is made first: making it needs the heap.
void CrashWhileLocksHeld() {
  pthread_t thread;
  pthread_create(
      &thread, nullptr,
      [](void*) -> void* {
        FaultInThread();
        return nullptr;
      },
      nullptr);
  flockfile(stdout);
  flockfile(stderr);
#if defined(CRASH_CHILD_HEAP_LOCK)
  pthread_mutex_lock(&heapLock);
#endif
  dl_iterate_phdr(HoldLocks, nullptr);
}
#endif

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    WriteError("usage: crash_child MODE FOLDER\n");
    return 2;
  }
  const std::string mode = argv[1];
  static ReportHooks hooks;
  if (std::string(argv[2]) != "-") hooks.reportFolder = argv[2];
  hooks.crashReported = SayStackUse;
  SetReportHooks(&hooks);
  if (!InstallCrashCapture()) {
    WriteError("crash capture not installed\n");
    return 3;
  }
  // Installing twice changes nothing.
  InstallCrashCapture();
  if (mode == "null-write") NullWrite();
  else if (mode == "null-read") return NullRead();
  else if (mode == "abort") CallAbort();
  else if (mode == "divide") return Divide(static_cast<int>(mode.size()) * 1000);
  else if (mode == "illegal") Illegal();
  else if (mode == "stack-overflow") return Recurse(0);
#if !defined(_WIN32)
  else if (mode == "thread-while-locked") CrashWhileLocksHeld();
#endif
  else if (mode == "none") return 0;
  WriteError("unknown mode\n");
  return 2;
}
