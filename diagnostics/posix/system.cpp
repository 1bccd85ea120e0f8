// The reporter's system services on POSIX: the box goes to standard error,
// module queries read the program headers, and stacks are walked with the
// compiler runtime's unwinder (the same one the C library's backtrace uses,
// which finds unwind tables without locks) and named from the symbol tables
// gathered at install, or through the dynamic linker before that.
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <mutex>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>
#include <unwind.h>
#include <vector>

#include "diagnostics/caller_frame.h"
#include "diagnostics/posix/fault_internal.h"
#include "diagnostics/system.h"
#include "platform/platform.h"

namespace platform {

namespace {

constexpr uint32_t kErrorInvalidAddress = 487;
constexpr uint32_t kErrorResourceTypeNotFound = 1813;
constexpr uint32_t kErrorBufferOverflow = 111;

// Reads a whole /proc file; these report a size of 0, so read until the end.
bool ReadProcFile(const char* path, std::string& text) {
  text.clear();
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char chunk[4096];
  for (;;) {
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0) {
      close(fd);
      return false;
    }
    if (got == 0) break;
    text.append(chunk, static_cast<size_t>(got));
  }
  close(fd);
  return true;
}

// Copies bytes that ordinary instrumented code may not touch (other frames'
// guard zones); the volatile source keeps the loop from becoming memcpy,
// which the sanitizer would check.
__attribute__((no_sanitize("address", "undefined"), noinline)) void RawCopy(
    const volatile unsigned char* source, unsigned char* target, size_t size) {
  for (size_t i = 0; i < size; ++i) target[i] = source[i];
}

std::string ExecutablePath() {
  char path[4096];
  const uint32_t length = GetModuleFileName(path, sizeof path);
  if (length == 0 || length >= sizeof path) return std::string();
  return std::string(path, length);
}

struct ModuleSearch {
  uintptr_t address;
  bool found;
  std::string path;
  uintptr_t bias;
  uint32_t section;
  uintptr_t offset;
};

int FindModuleCallback(struct dl_phdr_info* info, size_t, void* data) {
  auto* search = static_cast<ModuleSearch*>(data);
  uint32_t loadIndex = 0;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& header = info->dlpi_phdr[i];
    if (header.p_type != PT_LOAD) continue;
    ++loadIndex;
    const uintptr_t start = static_cast<uintptr_t>(info->dlpi_addr + header.p_vaddr);
    if (search->address >= start && search->address - start < header.p_memsz) {
      search->found = true;
      search->section = loadIndex;
      search->offset = search->address - start;
      search->bias = static_cast<uintptr_t>(info->dlpi_addr);
      const char* name = info->dlpi_name;
      search->path = (name != nullptr && name[0] != '\0') ? std::string(name) : ExecutablePath();
      return 1;
    }
  }
  return 0;
}

// The module holding an address: from the tables gathered at install when
// they know it; otherwise from the dynamic linker, which a fault handler
// may only ask for the module itself (its lock-free look-up), not for
// segments.
struct ModuleHit {
  const char* path;  // points into the tables or into holder
  uintptr_t bias;
  uint32_t section;  // 0 when unknown
  uintptr_t offset;
};

bool FindModule(uintptr_t address, ModuleHit* hit, std::string& holder) {
  if (const posix::PreparedTables* tables = posix::Prepared()) {
    for (const posix::PreparedModule& module : tables->modules) {
      for (size_t i = 0; i < module.segments.size(); ++i) {
        const auto& segment = module.segments[i];
        if (address >= segment.start && address < segment.end) {
          *hit = ModuleHit{module.path.c_str(), module.bias, static_cast<uint32_t>(i + 1), address - segment.start};
          return true;
        }
      }
    }
  }
  if (posix::InFaultHandler()) {
#if defined(DLFO_STRUCT_HAS_EH_DBASE)
    struct dl_find_object found;
    if (_dl_find_object(reinterpret_cast<void*>(address), &found) == 0 && found.dlfo_link_map != nullptr) {
      const char* name = found.dlfo_link_map->l_name;
      if (name == nullptr || name[0] == '\0') return false;
      *hit = ModuleHit{name, static_cast<uintptr_t>(found.dlfo_link_map->l_addr), 0, 0};
      return true;
    }
#endif
    return false;
  }
  ModuleSearch search{address, false, std::string(), 0, 0, 0};
  dl_iterate_phdr(FindModuleCallback, &search);
  if (!search.found) return false;
  holder = search.path;
  *hit = ModuleHit{holder.c_str(), search.bias, search.section, search.offset};
  return true;
}

struct WalkState {
  uintptr_t pc;
  uintptr_t stack;
  StackFrame* frames;
  int maxFrames;
  int count;
  int exactStart;  // the step at which the starting frame shows, or -1
  int step;        // steps seen so far
  bool started;
  bool havePending;
  uintptr_t pendingIp;
  int pendingStep;
};

// Takes one frame once its own canonical frame address (the caller's stack
// pointer at the call, just above the return address) is known. Where the
// starting frame was found exactly, the walk starts there. Otherwise the
// stack pointer decides: the stack grows down, frames entered after the
// starting one (the walker itself) end at or below the starting stack
// pointer, and the starting frame is the first to end above it. False when
// the store is full.
bool TakeFrame(WalkState& state, uintptr_t ip, uintptr_t ownCfa, int step) {
  if (!state.started) {
    if (state.exactStart >= 0) {
      if (step < state.exactStart) return true;
    } else {
      if (ownCfa <= state.stack) return true;
      ip = state.pc;
    }
    state.started = true;
  }
  if (state.count >= state.maxFrames) return false;
  StackFrame& frame = state.frames[state.count++];
  frame.pc = ip;
  frame.frame = ownCfa;
  uintptr_t words[4] = {0, 0, 0, 0};
  if (ownCfa != UINTPTR_MAX) ReadMemory(reinterpret_cast<const void*>(ownCfa), words, sizeof words);
  for (int i = 0; i < 4; ++i) frame.params[i] = words[i];
  return true;
}

// The unwinder hands each frame's instruction address together with the
// stack pointer that frame had at its call, which is the canonical frame
// address of the frame before it; a frame's own one arrives with the next.
_Unwind_Reason_Code WalkCallback(struct _Unwind_Context* unwind, void* data) {
  auto* state = static_cast<WalkState*>(data);
  const uintptr_t cfa = static_cast<uintptr_t>(_Unwind_GetCFA(unwind));
  int beforeInstruction = 0;
  const uintptr_t ip = static_cast<uintptr_t>(_Unwind_GetIPInfo(unwind, &beforeInstruction));
  const int step = state->step++;
  if (state->havePending) {
    state->havePending = false;
    if (!TakeFrame(*state, state->pendingIp, cfa, state->pendingStep)) return _URC_END_OF_STACK;
  }
  // The outermost frame returns nowhere.
  if (ip == 0) return _URC_END_OF_STACK;
  state->pendingIp = ip;
  state->pendingStep = step;
  state->havePending = true;
  return _URC_NO_REASON;
}

// A frame that a signal interrupted shows its exact instruction and its
// stack pointer at the fault; the caller of a function shows the return
// address and the stack pointer it had at the call. Either is the starting
// frame when both values match. The walker's own frames and a handler's
// come first, so the search looks only that far.
struct StartSearch {
  uintptr_t pc;
  uintptr_t stack;
  int step;
  int found;
};
constexpr int kMaxStepsToStart = 512;

_Unwind_Reason_Code FindStartCallback(struct _Unwind_Context* unwind, void* data) {
  auto* search = static_cast<StartSearch*>(data);
  int beforeInstruction = 0;
  const uintptr_t ip = static_cast<uintptr_t>(_Unwind_GetIPInfo(unwind, &beforeInstruction));
  const uintptr_t cfa = static_cast<uintptr_t>(_Unwind_GetCFA(unwind));
  if (ip == search->pc && cfa == search->stack) {
    search->found = search->step;
    return _URC_END_OF_STACK;
  }
  if (ip == 0 || ++search->step >= kMaxStepsToStart) return _URC_END_OF_STACK;
  return _URC_NO_REASON;
}

// Looks for the frame that called the C library's abort: the first frame
// after one inside abort. Gives that frame's pointers as a walk's start.
struct AbortCallerSearch {
  uintptr_t abortStart;
  uintptr_t abortEnd;
  bool inAbort;
  bool found;
  int steps;
  uintptr_t pc;
  uintptr_t frame;
  uintptr_t stack;
};

_Unwind_Reason_Code FindAbortCallerCallback(struct _Unwind_Context* unwind, void* data) {
  auto* search = static_cast<AbortCallerSearch*>(data);
  int beforeInstruction = 0;
  const uintptr_t ip = static_cast<uintptr_t>(_Unwind_GetIPInfo(unwind, &beforeInstruction));
  if (ip == 0 || ++search->steps >= kMaxStepsToStart) return _URC_END_OF_STACK;
  // A return address may lie just past the end of a call at the end of its
  // function; the call itself is one byte earlier.
  const uintptr_t at = beforeInstruction != 0 ? ip : ip - 1;
  const bool inAbort = at >= search->abortStart && at < search->abortEnd;
  if (search->inAbort && !inAbort) {
    search->found = true;
    search->pc = ip;
    search->stack = static_cast<uintptr_t>(_Unwind_GetCFA(unwind));
#if defined(__x86_64__)
    search->frame = static_cast<uintptr_t>(_Unwind_GetGR(unwind, 6));  // rbp
#elif defined(__i386__)
    search->frame = static_cast<uintptr_t>(_Unwind_GetGR(unwind, 5));  // ebp
#elif defined(__aarch64__)
    search->frame = static_cast<uintptr_t>(_Unwind_GetGR(unwind, 29));  // x29
#endif
    return _URC_END_OF_STACK;
  }
  search->inAbort = inAbort;
  return _URC_NO_REASON;
}

int TracerPid() {
  std::string status;
  if (!ReadProcFile("/proc/self/status", status)) return 0;
  const size_t at = status.find("TracerPid:");
  if (at == std::string::npos) return 0;
  return atoi(status.c_str() + at + strlen("TracerPid:"));
}

}  // namespace

// ---- message box -------------------------------------------------------------

int MessageBox(const char* text, const char* caption, uint32_t type) {
  struct Button {
    const char* name;
    int id;
  };
  static const Button kOk[] = {{"OK", kIdOk}};
  static const Button kOkCancel[] = {{"OK", kIdOk}, {"Cancel", kIdCancel}};
  static const Button kYesNoCancel[] = {{"Yes", kIdYes}, {"No", kIdNo}, {"Cancel", kIdCancel}};
  static const Button kYesNo[] = {{"Yes", kIdYes}, {"No", kIdNo}};
  const Button* buttons = kOk;
  int count = 1;
  switch (type & kMbButtonsMask) {
    case kMbOkCancel: buttons = kOkCancel; count = 2; break;
    case kMbYesNoCancel: buttons = kYesNoCancel; count = 3; break;
    case kMbYesNo: buttons = kYesNo; count = 2; break;
    default: break;
  }
  int defaultIndex = static_cast<int>((type >> 8) & 0xF);
  if (defaultIndex >= count) defaultIndex = 0;

  fprintf(stderr, "\n==== %s ====\n%s\n", caption != nullptr ? caption : "", text != nullptr ? text : "");
  if (!isatty(STDIN_FILENO)) {
    fprintf(stderr, "[%s]\n", buttons[defaultIndex].name);
    fflush(stderr);
    return buttons[defaultIndex].id;
  }
  for (;;) {
    for (int i = 0; i < count; ++i) {
      fprintf(stderr, "%s[%c]%s", i == 0 ? "" : " / ", buttons[i].name[0], buttons[i].name + 1);
    }
    fprintf(stderr, " (default %s)? ", buttons[defaultIndex].name);
    fflush(stderr);
    char answer[64];
    if (fgets(answer, sizeof answer, stdin) == nullptr) return buttons[defaultIndex].id;
    const char first = static_cast<char>(toupper(static_cast<unsigned char>(answer[0])));
    if (first == '\n' || first == '\r' || first == '\0') return buttons[defaultIndex].id;
    for (int i = 0; i < count; ++i) {
      if (buttons[i].name[0] == first) return buttons[i].id;
    }
  }
}

int LoadString(uint32_t, char* buffer, int size) {
  if (buffer != nullptr && size > 0) buffer[0] = '\0';
  SetLastError(kErrorResourceTypeNotFound);
  return 0;
}

// ---- debugger ------------------------------------------------------------------

bool IsDebuggerPresent() { return TracerPid() != 0; }

void OutputDebugString(const char* text) {
  if (text == nullptr || !IsDebuggerPresent()) return;
  const size_t length = strlen(text);
  fputs(text, stderr);
  if (length == 0 || text[length - 1] != '\n') fputc('\n', stderr);
  fflush(stderr);
}

void RaiseBreakpoint() {
  // An ignored signal still stops a traced process, so a debugger takes it
  // and the process goes on when there is none.
  struct sigaction ignore;
  struct sigaction previous;
  memset(&ignore, 0, sizeof ignore);
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  if (sigaction(SIGTRAP, &ignore, &previous) != 0) return;
  raise(SIGTRAP);
  sigaction(SIGTRAP, &previous, nullptr);
}

// ---- identity and clock --------------------------------------------------------

bool GetUserName(char* buffer, uint32_t* size) {
  if (buffer == nullptr || size == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  // The user database may allocate and lock; the name gathered at install
  // serves while capture is installed.
  const posix::PreparedTables* tables = posix::Prepared();
  char scratchName[257];
  const char* name = nullptr;
  if (tables != nullptr) {
    if (tables->haveUser) name = tables->userName;
  } else {
    std::vector<char> scratch(16384);
    struct passwd entry;
    struct passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, scratch.data(), scratch.size(), &found) == 0 && found != nullptr &&
        found->pw_name != nullptr && strlen(found->pw_name) < sizeof scratchName) {
      posix::CopyText(scratchName, sizeof scratchName, found->pw_name);
      name = scratchName;
    }
  }
  if (name == nullptr) {
    SetLastError(kErrorFileNotFound);
    return false;
  }
  const size_t length = strlen(name);
  if (length + 1 > *size) {
    *size = static_cast<uint32_t>(length + 1);
    SetLastError(kErrorInsufficientBuffer);
    return false;
  }
  memcpy(buffer, name, length + 1);
  *size = static_cast<uint32_t>(length + 1);
  return true;
}

bool GetComputerName(char* buffer, uint32_t* size) {
  if (buffer == nullptr || size == nullptr || *size == 0) {
    SetLastError(kErrorBufferOverflow);
    return false;
  }
  char host[256];
  const posix::PreparedTables* tables = posix::Prepared();
  if (tables != nullptr) {
    if (!tables->haveComputer) {
      SetLastError(kErrorFileNotFound);
      return false;
    }
    posix::CopyText(host, sizeof host, tables->computerName);
  } else if (gethostname(host, sizeof host) != 0) {
    SetLastError(kErrorFileNotFound);
    return false;
  }
  host[sizeof host - 1] = '\0';
  // The Windows computer name is the host name cut to what the short-name
  // buffer holds; do the same rather than fail on longer host names.
  size_t length = strlen(host);
  if (length + 1 > *size) length = *size - 1;
  memcpy(buffer, host, length);
  buffer[length] = '\0';
  *size = static_cast<uint32_t>(length);
  return true;
}

void GetLocalTime(LocalTime* time) {
  if (time == nullptr) return;
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  const posix::PreparedTables* tables = posix::Prepared();
  if (tables != nullptr && posix::InFaultHandler()) {
    // The time-zone database locks and may allocate: the offset taken at
    // install turns the clock into local time.
    posix::CivilTime(static_cast<int64_t>(now.tv_sec) + tables->utcOffset, time);
    time->milliseconds = static_cast<uint16_t>(now.tv_nsec / 1000000);
    return;
  }
  struct tm local;
  const time_t seconds = now.tv_sec;
  localtime_r(&seconds, &local);
  time->year = static_cast<uint16_t>(local.tm_year + 1900);
  time->month = static_cast<uint16_t>(local.tm_mon + 1);
  time->dayOfWeek = static_cast<uint16_t>(local.tm_wday);
  time->day = static_cast<uint16_t>(local.tm_mday);
  time->hour = static_cast<uint16_t>(local.tm_hour);
  time->minute = static_cast<uint16_t>(local.tm_min);
  // A leap second shows as 59, the range the Windows record allows.
  time->second = static_cast<uint16_t>(local.tm_sec > 59 ? 59 : local.tm_sec);
  time->milliseconds = static_cast<uint16_t>(now.tv_nsec / 1000000);
}

// ---- memory --------------------------------------------------------------------

bool ReadMemory(const void* address, void* out, size_t size) {
  if (out == nullptr || !IsReadableMemory(address, size)) return false;
  RawCopy(static_cast<const volatile unsigned char*>(address), static_cast<unsigned char*>(out), size);
  return true;
}

// ---- modules -------------------------------------------------------------------

bool GetModuleOfAddress(uintptr_t address, char* path, size_t pathSize, uint32_t* section, uintptr_t* offset) {
  ModuleHit hit;
  std::string holder;
  if (!FindModule(address, &hit, holder) || hit.section == 0) {
    SetLastError(kErrorModNotFound);
    return false;
  }
  if (path != nullptr && pathSize > 0) posix::CopyText(path, pathSize, hit.path);
  if (section != nullptr) *section = hit.section;
  if (offset != nullptr) *offset = hit.offset;
  return true;
}

bool GetLongFileName(const char* path, std::string& name) {
  if (path == nullptr || !FileExists(path)) {
    SetLastError(kErrorFileNotFound);
    return false;
  }
  const char* last = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') last = p + 1;
  }
  name = last;
  return true;
}

MessageModule GetProgramModule() {
  static void* const program = dlopen(nullptr, RTLD_LAZY);
  return program;
}

bool FormatModuleMessage(MessageModule, uint32_t, std::string& text) {
  text.clear();
  SetLastError(kErrorResourceTypeNotFound);
  return false;
}

// ---- thread context and stack walking ------------------------------------------

bool ContextFromNative(const void* native, CpuContext* context) {
  if (native == nullptr || context == nullptr) return false;
  *context = CpuContext{};
  const auto* uc = static_cast<const ucontext_t*>(native);
#if defined(__x86_64__)
  const greg_t* r = uc->uc_mcontext.gregs;
  context->ax = static_cast<uintptr_t>(r[REG_RAX]);
  context->bx = static_cast<uintptr_t>(r[REG_RBX]);
  context->cx = static_cast<uintptr_t>(r[REG_RCX]);
  context->dx = static_cast<uintptr_t>(r[REG_RDX]);
  context->si = static_cast<uintptr_t>(r[REG_RSI]);
  context->di = static_cast<uintptr_t>(r[REG_RDI]);
  context->bp = static_cast<uintptr_t>(r[REG_RBP]);
  context->sp = static_cast<uintptr_t>(r[REG_RSP]);
  context->ip = static_cast<uintptr_t>(r[REG_RIP]);
  context->flags = static_cast<uint32_t>(r[REG_EFL]);
  // cs, gs, fs and (on newer kernels) ss share one slot; ds and es are not
  // saved on this machine.
  const auto segments = static_cast<uint64_t>(r[REG_CSGSFS]);
  context->cs = static_cast<uint16_t>(segments);
  context->gs = static_cast<uint16_t>(segments >> 16);
  context->fs = static_cast<uint16_t>(segments >> 32);
  context->ss = static_cast<uint16_t>(segments >> 48);
#elif defined(__i386__)
  const greg_t* r = uc->uc_mcontext.gregs;
  context->ax = static_cast<uintptr_t>(r[REG_EAX]);
  context->bx = static_cast<uintptr_t>(r[REG_EBX]);
  context->cx = static_cast<uintptr_t>(r[REG_ECX]);
  context->dx = static_cast<uintptr_t>(r[REG_EDX]);
  context->si = static_cast<uintptr_t>(r[REG_ESI]);
  context->di = static_cast<uintptr_t>(r[REG_EDI]);
  context->bp = static_cast<uintptr_t>(r[REG_EBP]);
  context->sp = static_cast<uintptr_t>(r[REG_ESP]);
  context->ip = static_cast<uintptr_t>(r[REG_EIP]);
  context->flags = static_cast<uint32_t>(r[REG_EFL]);
  context->cs = static_cast<uint16_t>(r[REG_CS]);
  context->ds = static_cast<uint16_t>(r[REG_DS]);
  context->es = static_cast<uint16_t>(r[REG_ES]);
  context->ss = static_cast<uint16_t>(r[REG_SS]);
  context->fs = static_cast<uint16_t>(r[REG_FS]);
  context->gs = static_cast<uint16_t>(r[REG_GS]);
#elif defined(__aarch64__)
  context->sp = static_cast<uintptr_t>(uc->uc_mcontext.sp);
  context->ip = static_cast<uintptr_t>(uc->uc_mcontext.pc);
  context->bp = static_cast<uintptr_t>(uc->uc_mcontext.regs[29]);
#else
  (void)uc;
  return false;
#endif
  return true;
}

__attribute__((noinline)) void CaptureCallerContext(CpuContext* context) {
  if (context == nullptr) return;
  ucontext_t native;
  memset(&native, 0, sizeof native);
  if (getcontext(&native) == 0) ContextFromNative(&native, context);
  else *context = CpuContext{};
#if defined(__x86_64__) || defined(__i386__)
  // getcontext keeps neither the flags nor the selectors.
#if defined(__x86_64__)
  context->flags = static_cast<uint32_t>(__builtin_ia32_readeflags_u64());
#else
  context->flags = static_cast<uint32_t>(__builtin_ia32_readeflags_u32());
#endif
  uint16_t selector = 0;
  __asm__ volatile("mov %%cs, %0" : "=r"(selector));
  context->cs = selector;
  __asm__ volatile("mov %%ds, %0" : "=r"(selector));
  context->ds = selector;
  __asm__ volatile("mov %%es, %0" : "=r"(selector));
  context->es = selector;
  __asm__ volatile("mov %%ss, %0" : "=r"(selector));
  context->ss = selector;
  __asm__ volatile("mov %%fs, %0" : "=r"(selector));
  context->fs = selector;
  __asm__ volatile("mov %%gs, %0" : "=r"(selector));
  context->gs = selector;
#endif
  SetCallerFrame(context, reinterpret_cast<uintptr_t>(__builtin_frame_address(0)),
                 reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
}

bool DebugHelpIsLoaded() { return true; }
bool DebugHelpLoad() { return true; }
void DebugHelpUnload() {}
bool DebugHelpInitialize() { return true; }

bool WalkByUnwindTables(uintptr_t, uintptr_t, uintptr_t, int, UnwindVisitor, void*) { return false; }

int WalkStack(uintptr_t pc, uintptr_t, uintptr_t stack, StackFrame* frames, int maxFrames, uint32_t* endError) {
  WalkState state{pc, stack, frames, maxFrames, 0, -1, 0, false, false, 0, 0};
  if (frames != nullptr && maxFrames > 0) {
    StartSearch search{pc, stack, 0, -1};
    _Unwind_Backtrace(FindStartCallback, &search);
    // This function's own step differs between the two walks by nothing:
    // both start from the same caller, through callbacks of the same depth.
    state.exactStart = search.found;
    _Unwind_Backtrace(WalkCallback, &state);
    if (state.havePending) TakeFrame(state, state.pendingIp, UINTPTR_MAX, state.pendingStep);
  }
  if (endError != nullptr) *endError = kErrorNoMoreItems;
  SetLastError(kErrorNoMoreItems);
  return state.count;
}

bool SymbolModule(uintptr_t address, char* image, size_t size, uintptr_t* moduleAddress) {
  ModuleHit hit;
  std::string holder;
  if (!FindModule(address, &hit, holder)) {
    SetLastError(kErrorModNotFound);
    return false;
  }
  if (image != nullptr && size > 0) posix::CopyText(image, size, hit.path);
  if (moduleAddress != nullptr) *moduleAddress = address - hit.bias;
  return true;
}

bool SymbolName(uintptr_t address, char* name, size_t size, uintptr_t* displacement) {
  if (const posix::PreparedTables* tables = posix::Prepared()) {
    const posix::PreparedSymbol* symbol = posix::FindPreparedSymbol(*tables, address);
    if (symbol != nullptr) {
      const char* found = tables->names.data() + symbol->name;
      char* demangled = nullptr;
      if (found[0] == '_' && found[1] == 'Z' && !posix::InFaultHandler()) {
        int status = -1;
        demangled = abi::__cxa_demangle(found, nullptr, nullptr, &status);
        if (status != 0) {
          free(demangled);
          demangled = nullptr;
        }
      }
      if (name != nullptr && size > 0) posix::CopyText(name, size, demangled != nullptr ? demangled : found);
      // Not even free(nullptr) inside a handler: an allocator may lock for it.
      if (demangled != nullptr) free(demangled);
      if (displacement != nullptr) *displacement = address - symbol->start;
      return true;
    }
    // Modules loaded after install are named by the dynamic linker, which a
    // fault handler must not ask.
    if (posix::InFaultHandler()) {
      SetLastError(kErrorInvalidAddress);
      return false;
    }
  }
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(address), &info) == 0) {
    SetLastError(kErrorModNotFound);
    return false;
  }
  if (info.dli_sname == nullptr || info.dli_saddr == nullptr) {
    SetLastError(kErrorInvalidAddress);
    return false;
  }
  int status = -1;
  char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
  if (name != nullptr && size > 0) {
    posix::CopyText(name, size, status == 0 && demangled != nullptr ? demangled : info.dli_sname);
  }
  free(demangled);
  if (displacement != nullptr) *displacement = address - reinterpret_cast<uintptr_t>(info.dli_saddr);
  return true;
}

bool SymbolLine(uintptr_t, char* file, size_t size, uint32_t* line) {
  // Neither the dynamic linker nor the symbol tables know line numbers.
  if (file != nullptr && size > 0) file[0] = '\0';
  if (line != nullptr) *line = 0;
  SetLastError(kErrorNotSupported);
  return false;
}

namespace posix {

bool FindAbortCaller(uintptr_t abortStart, uintptr_t abortEnd, uintptr_t* pc, uintptr_t* frame, uintptr_t* stack) {
  AbortCallerSearch search{abortStart, abortEnd, false, false, 0, 0, 0, 0};
  if (abortStart >= abortEnd) return false;
  _Unwind_Backtrace(FindAbortCallerCallback, &search);
  if (!search.found) return false;
  *pc = search.pc;
  *frame = search.frame;
  *stack = search.stack;
  return true;
}

}  // namespace posix

// ---- process -------------------------------------------------------------------

bool ProcessExitPending() { return false; }

void TerminateProcess(uint32_t exitCode) { _exit(static_cast<int>(exitCode)); }

// ---- critical section ----------------------------------------------------------

CriticalSection CreateCriticalSection() { return new std::recursive_mutex(); }

void EnterCriticalSection(CriticalSection section) {
  if (section != nullptr) static_cast<std::recursive_mutex*>(section)->lock();
}

void LeaveCriticalSection(CriticalSection section) {
  if (section != nullptr) static_cast<std::recursive_mutex*>(section)->unlock();
}

}  // namespace platform
