// Crash capture on POSIX: the signal handlers and their alternate stack, and
// what they need gathered beforehand (the modules and their full symbol
// tables, the user and host names, the time-zone offset), so that the code
// running inside a handler allocates nothing, takes no lock and never asks
// the dynamic linker or the user and time-zone databases.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>
#include <unwind.h>
#include <vector>

#include "diagnostics/posix/fault_internal.h"
#include "diagnostics/system.h"
#include "platform/platform.h"

namespace platform {

namespace posix {

void CopyText(char* buffer, size_t size, const char* text) {
  if (buffer == nullptr || size == 0) return;
  size_t i = 0;
  for (; text != nullptr && text[i] != '\0' && i + 1 < size; ++i) buffer[i] = text[i];
  buffer[i] = '\0';
}

void CivilTime(int64_t seconds, LocalTime* time) {
  // Days since 1970-01-01 and the seconds into the day, then the proleptic
  // Gregorian date of the day counted from 0000-03-01 (years start in March
  // so that the leap day comes last).
  int64_t days = seconds / 86400;
  int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t dayOfEra = z - era * 146097;
  const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
  const int64_t day = dayOfYear - (153 * monthFromMarch + 2) / 5 + 1;
  const int64_t month = monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9;
  const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  int64_t weekday = (days + 4) % 7;  // 1970-01-01 was a Thursday
  if (weekday < 0) weekday += 7;
  time->year = static_cast<uint16_t>(year);
  time->month = static_cast<uint16_t>(month);
  time->day = static_cast<uint16_t>(day);
  time->dayOfWeek = static_cast<uint16_t>(weekday);
  time->hour = static_cast<uint16_t>(rest / 3600);
  time->minute = static_cast<uint16_t>(rest / 60 % 60);
  time->second = static_cast<uint16_t>(rest % 60);
}

const PreparedSymbol* FindPreparedSymbol(const PreparedTables& tables, uintptr_t address) {
  const auto& symbols = tables.symbols;
  auto after = std::upper_bound(symbols.begin(), symbols.end(), address,
                                [](uintptr_t a, const PreparedSymbol& s) { return a < s.start; });
  if (after == symbols.begin()) return nullptr;
  const PreparedSymbol& candidate = *(after - 1);
  return address < candidate.end ? &candidate : nullptr;
}

}  // namespace posix

namespace {

using posix::PreparedModule;
using posix::PreparedSymbol;
using posix::PreparedTables;

std::atomic<const PreparedTables*> prepared{nullptr};
std::atomic<long> handlingThread{0};
std::atomic<FaultHandler> faultHandler{nullptr};

long ThreadId() { return static_cast<long>(syscall(SYS_gettid)); }

// ---- gathering ------------------------------------------------------------------

// A module's file mapped for reading while its symbols are gathered.
struct MappedFile {
  const unsigned char* data = nullptr;
  size_t size = 0;
};

// A symbol before its name is settled: the name still points into the
// mapped file.
struct RawSymbol {
  uintptr_t start;
  uintptr_t end;
  const char* name;
};

MappedFile MapFile(const char* path) {
  MappedFile file;
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return file;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    void* data = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (data != MAP_FAILED) {
      file.data = static_cast<const unsigned char*>(data);
      file.size = static_cast<size_t>(st.st_size);
    }
  }
  close(fd);
  return file;
}

// Adds the function symbols of one module's file: its full symbol table
// where the file keeps one (functions with internal linkage are only
// there), the dynamic one otherwise. Every offset and size in the file is
// checked against the file before it is followed.
void ReadModuleSymbols(const MappedFile& file, const PreparedModule& module, std::vector<RawSymbol>& symbols) {
  ElfW(Ehdr) header;
  if (file.size < sizeof header) return;
  memcpy(&header, file.data, sizeof header);
  const bool usable = memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 &&
                      header.e_ident[EI_CLASS] == (sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32) &&
                      header.e_shentsize == sizeof(ElfW(Shdr)) && header.e_shnum > 0 && header.e_shoff < file.size &&
                      static_cast<uint64_t>(header.e_shnum) * sizeof(ElfW(Shdr)) <= file.size - header.e_shoff;
  if (!usable) return;
  auto section = [&](size_t index) {
    ElfW(Shdr) entry;
    memcpy(&entry, file.data + header.e_shoff + index * sizeof(ElfW(Shdr)), sizeof entry);
    return entry;
  };
  auto within = [&](const ElfW(Shdr)& s) { return s.sh_offset <= file.size && s.sh_size <= file.size - s.sh_offset; };
  ElfW(Shdr) table{};
  bool found = false;
  for (const Elf32_Word wanted : {static_cast<Elf32_Word>(SHT_SYMTAB), static_cast<Elf32_Word>(SHT_DYNSYM)}) {
    for (size_t i = 0; i < header.e_shnum && !found; ++i) {
      const ElfW(Shdr) candidate = section(i);
      if (candidate.sh_type == wanted) {
        table = candidate;
        found = true;
      }
    }
    if (found) break;
  }
  if (!found || table.sh_entsize != sizeof(ElfW(Sym)) || table.sh_link >= header.e_shnum || !within(table)) return;
  const ElfW(Shdr) strings = section(table.sh_link);
  if (!within(strings) || strings.sh_size == 0 || file.data[strings.sh_offset + strings.sh_size - 1] != '\0') return;
  const auto* names = reinterpret_cast<const char*>(file.data + strings.sh_offset);

  const size_t count = table.sh_size / sizeof(ElfW(Sym));
  const size_t first = symbols.size();
  for (size_t i = 0; i < count; ++i) {
    ElfW(Sym) entry;
    memcpy(&entry, file.data + table.sh_offset + i * sizeof entry, sizeof entry);
    if ((entry.st_info & 0xF) != STT_FUNC || entry.st_shndx == SHN_UNDEF || entry.st_value == 0 ||
        entry.st_name >= strings.sh_size || names[entry.st_name] == '\0') {
      continue;
    }
    const uintptr_t start = module.bias + static_cast<uintptr_t>(entry.st_value);
    symbols.push_back(RawSymbol{start, entry.st_size != 0 ? start + entry.st_size : 0, names + entry.st_name});
  }
  // Symbols without a size reach to the next symbol or the segment's end.
  std::sort(symbols.begin() + static_cast<std::ptrdiff_t>(first), symbols.end(),
            [](const RawSymbol& a, const RawSymbol& b) { return a.start < b.start; });
  for (size_t i = first; i < symbols.size(); ++i) {
    if (symbols[i].end != 0) continue;
    uintptr_t end = symbols[i].start + 1;
    for (const auto& segment : module.segments) {
      if (symbols[i].start >= segment.start && symbols[i].start < segment.end) end = segment.end;
    }
    for (size_t j = i + 1; j < symbols.size(); ++j) {
      if (symbols[j].start > symbols[i].start) {
        end = std::min(end, symbols[j].start);
        break;
      }
    }
    symbols[i].end = end;
  }
}

struct ModuleGathering {
  PreparedTables* tables;
  std::string programPath;
};

int GatherModule(struct dl_phdr_info* info, size_t, void* data) {
  auto* gathering = static_cast<ModuleGathering*>(data);
  PreparedModule module;
  const bool isProgram = info->dlpi_name == nullptr || info->dlpi_name[0] == '\0';
  module.path = isProgram ? gathering->programPath : std::string(info->dlpi_name);
  module.bias = static_cast<uintptr_t>(info->dlpi_addr);
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& header = info->dlpi_phdr[i];
    if (header.p_type != PT_LOAD) continue;
    const uintptr_t start = static_cast<uintptr_t>(info->dlpi_addr + header.p_vaddr);
    module.segments.push_back(PreparedModule::Segment{start, start + static_cast<uintptr_t>(header.p_memsz)});
  }
  if (module.segments.empty()) return 0;
  gathering->tables->modules.push_back(std::move(module));
  return 0;
}

PreparedTables* Gather() {
  auto* tables = new PreparedTables();
  ModuleGathering gathering{tables, std::string()};
  char program[4096];
  const uint32_t length = GetModuleFileName(program, sizeof program);
  if (length > 0 && length < sizeof program) gathering.programPath.assign(program, length);
  dl_iterate_phdr(GatherModule, &gathering);
  std::vector<MappedFile> files;
  std::vector<RawSymbol> raw;
  for (const PreparedModule& module : tables->modules) {
    // The program's own file is read through the link the kernel keeps,
    // which holds even when the path has been replaced since.
    const bool isProgram = &module == &tables->modules.front() && module.path == gathering.programPath;
    files.push_back(MapFile(isProgram ? "/proc/self/exe" : module.path.c_str()));
    ReadModuleSymbols(files.back(), module, raw);
  }
  // Aliases share an address; keep the one with the largest extent.
  std::stable_sort(raw.begin(), raw.end(), [](const RawSymbol& a, const RawSymbol& b) {
    return a.start != b.start ? a.start < b.start : a.end > b.end;
  });
  raw.erase(std::unique(raw.begin(), raw.end(), [](const RawSymbol& a, const RawSymbol& b) { return a.start == b.start; }),
            raw.end());
  // The program's own names are demangled now, since the demangler
  // allocates. Those of the libraries, many more and far less often in a
  // trace, keep their link names (demangled when named outside a handler).
  const PreparedModule* programModule = tables->modules.empty() ? nullptr : &tables->modules.front();
  auto inProgram = [&](uintptr_t address) {
    if (programModule == nullptr || programModule->path != gathering.programPath) return false;
    for (const auto& segment : programModule->segments) {
      if (address >= segment.start && address < segment.end) return true;
    }
    return false;
  };
  size_t total = 0;
  for (const RawSymbol& symbol : raw) total += strlen(symbol.name) + 1;
  tables->names.reserve(total + total / 2);
  tables->symbols.reserve(raw.size());
  for (const RawSymbol& symbol : raw) {
    const size_t offset = tables->names.size();
    if (offset > UINT32_MAX - 65536) break;
    int status = -1;
    const char* name = symbol.name;
    char* demangled = name[0] == '_' && name[1] == 'Z' && inProgram(symbol.start)
                          ? abi::__cxa_demangle(name, nullptr, nullptr, &status)
                          : nullptr;
    const char* shown = status == 0 && demangled != nullptr ? demangled : name;
    tables->names.insert(tables->names.end(), shown, shown + strlen(shown) + 1);
    free(demangled);
    tables->symbols.push_back(PreparedSymbol{symbol.start, symbol.end, static_cast<uint32_t>(offset)});
  }
  for (const MappedFile& file : files) {
    if (file.data != nullptr) munmap(const_cast<unsigned char*>(file.data), file.size);
  }

  uint32_t size = sizeof tables->userName;
  // Asked before the tables are published, so these still go to the system.
  tables->haveUser = GetUserName(tables->userName, &size);
  size = sizeof tables->computerName;
  tables->haveComputer = GetComputerName(tables->computerName, &size);

  const time_t now = time(nullptr);
  struct tm local;
  if (localtime_r(&now, &local) != nullptr) tables->utcOffset = local.tm_gmtoff;

  if (void* abortEntry = dlsym(RTLD_DEFAULT, "abort")) {
    const PreparedSymbol* symbol = posix::FindPreparedSymbol(*tables, reinterpret_cast<uintptr_t>(abortEntry));
    if (symbol != nullptr) {
      tables->abortStart = symbol->start;
      tables->abortEnd = symbol->end;
    }
  }
  return tables;
}

// ---- the handler ------------------------------------------------------------------

struct CapturedSignal {
  int number;
  const char* name;
};
constexpr CapturedSignal kSignals[] = {
    {SIGSEGV, "SIGSEGV"}, {SIGBUS, "SIGBUS"}, {SIGILL, "SIGILL"}, {SIGFPE, "SIGFPE"}, {SIGABRT, "SIGABRT"},
};
constexpr int kSignalCount = sizeof kSignals / sizeof kSignals[0];
struct sigaction previousActions[kSignalCount];

// The alternate stack, with an inaccessible page below it so that a handler
// running past its end faults instead of writing over other memory.
char* stackMapping = nullptr;
size_t stackMappingSize = 0;
size_t stackSize = 0;
stack_t previousStack;
bool installed = false;

const char* SignalName(int number) {
  for (const CapturedSignal& s : kSignals) {
    if (s.number == number) return s.name;
  }
  return "signal";
}

const char* Description(int number, const siginfo_t* info) {
  if (info == nullptr) return "";
  if (info->si_code == SI_USER || info->si_code == SI_TKILL || info->si_code == SI_QUEUE) {
    if (info->si_pid != getpid()) return "sent by another process";
    return number == SIGABRT ? "aborted" : "raised by the program";
  }
  switch (number) {
    case SIGSEGV:
      switch (info->si_code) {
        case SEGV_MAPERR: return "address not mapped to object";
        case SEGV_ACCERR: return "invalid permissions for mapped object";
        default: return "general protection fault";
      }
    case SIGBUS:
      switch (info->si_code) {
        case BUS_ADRALN: return "invalid address alignment";
        case BUS_ADRERR: return "nonexistent physical address";
        case BUS_OBJERR: return "object-specific hardware error";
        default: return "bus error";
      }
    case SIGILL:
      switch (info->si_code) {
        case ILL_ILLOPC: return "illegal opcode";
        case ILL_ILLOPN: return "illegal operand";
        case ILL_ILLADR: return "illegal addressing mode";
        case ILL_ILLTRP: return "illegal trap";
        case ILL_PRVOPC: return "privileged opcode";
        case ILL_PRVREG: return "privileged register";
        case ILL_COPROC: return "coprocessor error";
        case ILL_BADSTK: return "internal stack error";
        default: return "illegal instruction";
      }
    case SIGFPE:
      switch (info->si_code) {
        case FPE_INTDIV: return "integer divide by zero";
        case FPE_INTOVF: return "integer overflow";
        case FPE_FLTDIV: return "floating-point divide by zero";
        case FPE_FLTOVF: return "floating-point overflow";
        case FPE_FLTUND: return "floating-point underflow";
        case FPE_FLTRES: return "floating-point inexact result";
        case FPE_FLTINV: return "floating-point invalid operation";
        case FPE_FLTSUB: return "subscript out of range";
        default: return "arithmetic exception";
      }
    default: return "";
  }
}

FaultAccess MemoryAccess(const ucontext_t* uc) {
#if defined(__x86_64__) || defined(__i386__)
  // A page fault (trap 14) says in its error code whether the access wrote
  // (bit 1) or fetched an instruction (bit 4).
  const greg_t* r = uc->uc_mcontext.gregs;
  if (r[REG_TRAPNO] == 14) {
    const auto error = static_cast<uint64_t>(r[REG_ERR]);
    if ((error & 0x10) != 0) return FaultAccess::Execute;
    return (error & 0x2) != 0 ? FaultAccess::Write : FaultAccess::Read;
  }
#else
  (void)uc;
#endif
  return FaultAccess::Unknown;
}

void FillRecord(int number, const siginfo_t* info, const void* native, FaultRecord* record) {
  *record = FaultRecord{};
  record->code = static_cast<uint32_t>(number);
  record->name = SignalName(number);
  record->description = Description(number, info);
  record->access = FaultAccess::None;
  if (native != nullptr) ContextFromNative(native, &record->context);
  const bool fromInstruction = info != nullptr && info->si_code > 0 && info->si_code != SI_KERNEL;
  if (fromInstruction) {
    record->hasAddress = true;
    record->address = reinterpret_cast<uintptr_t>(info->si_addr);
    if ((number == SIGSEGV || number == SIGBUS) && native != nullptr) {
      record->access = MemoryAccess(static_cast<const ucontext_t*>(native));
      // A fault just below the stack pointer is the stack running out.
      const uintptr_t sp = record->context.sp;
      if (number == SIGSEGV && record->address < sp + 256 && sp - record->address < 65536) {
        record->description = "stack overflow";
      }
    }
  }
  record->tracePc = record->context.ip;
  record->traceFrame = record->context.bp;
  record->traceStack = record->context.sp;
  record->traceExact = true;
  const PreparedTables* tables = prepared.load(std::memory_order_acquire);
  if (number == SIGABRT && tables != nullptr && info != nullptr && info->si_code <= 0 && info->si_pid == getpid()) {
    if (posix::FindAbortCaller(tables->abortStart, tables->abortEnd, &record->tracePc, &record->traceFrame,
                               &record->traceStack)) {
      record->traceExact = false;
    }
  }
}

// Ends the process as it would have ended without the handler: the default
// action again, and the signal again. A fault raised by an instruction
// repeats by itself once the handler returns; a signal that was sent (abort,
// raise, kill) is sent once more and arrives when the handler returns.
void EndAsWithoutCapture(int number, const siginfo_t* info) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(number, &action, nullptr);
  if (info == nullptr || info->si_code <= 0 || number == SIGABRT) {
    syscall(SYS_tgkill, static_cast<long>(getpid()), ThreadId(), static_cast<long>(number));
  }
}

void OnSignal(int number, siginfo_t* info, void* native) {
  const int savedErrno = errno;
  const long self = ThreadId();
  long expected = 0;
  if (handlingThread.compare_exchange_strong(expected, self)) {
    FaultRecord record;
    FillRecord(number, info, native, &record);
    const FaultHandler handler = faultHandler.load();
    if (handler != nullptr) handler(record);
    // The report first; then the half-written output file goes, as it
    // would on an interrupt.
    DropPendingOutput();
  } else if (expected != self) {
    // Another thread is writing its report and ends the process after it.
    for (;;) pause();
  }
  // A fault inside the report itself ends here too, by its own signal.
  EndAsWithoutCapture(number, info);
  errno = savedErrno;
}

_Unwind_Reason_Code WalkNothing(_Unwind_Context*, void*) { return _URC_NO_REASON; }

}  // namespace

const posix::PreparedTables* posix::Prepared() { return prepared.load(std::memory_order_acquire); }

bool posix::InFaultHandler() {
  const long thread = handlingThread.load(std::memory_order_acquire);
  return thread != 0 && thread == ThreadId();
}

bool InstallFaultHandler(FaultHandler handler, size_t size) {
  if (installed) return true;
  if (handler == nullptr || size == 0) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  const long pageSize = sysconf(_SC_PAGESIZE);
  const size_t page = pageSize > 0 ? static_cast<size_t>(pageSize) : 4096;
  const size_t rounded = (size + page - 1) / page * page;
  void* mapping = mmap(nullptr, rounded + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) {
    SetLastError(kErrorNotEnoughMemory);
    return false;
  }
  mprotect(mapping, page, PROT_NONE);

  PreparedTables* tables = Gather();
  // The unwinder sets itself up on first use; do that here rather than in
  // a handler.
  _Unwind_Backtrace(WalkNothing, nullptr);

  stack_t stack;
  memset(&stack, 0, sizeof stack);
  stack.ss_sp = static_cast<char*>(mapping) + page;
  stack.ss_size = rounded;
  if (sigaltstack(&stack, &previousStack) != 0) {
    const int err = errno;
    munmap(mapping, rounded + page);
    delete tables;
    // sigaltstack fails only for these three.
    SetLastError(err == ENOMEM ? kErrorNotEnoughMemory : err == EPERM ? kErrorAccessDenied : kErrorInvalidParameter);
    return false;
  }
  stackMapping = static_cast<char*>(mapping);
  stackMappingSize = rounded + page;
  stackSize = rounded;
  prepared.store(tables, std::memory_order_release);
  faultHandler.store(handler);

  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_sigaction = OnSignal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (int i = 0; i < kSignalCount; ++i) sigaction(kSignals[i].number, &action, &previousActions[i]);
  installed = true;
  return true;
}

void UninstallFaultHandler() {
  if (!installed) return;
  for (int i = 0; i < kSignalCount; ++i) sigaction(kSignals[i].number, &previousActions[i], nullptr);
  faultHandler.store(nullptr);
  // The alternate stack goes only while it is still the one in force.
  stack_t current;
  if (sigaltstack(nullptr, &current) == 0 && current.ss_sp == stackMapping + (stackMappingSize - stackSize)) {
    if ((previousStack.ss_flags & SS_DISABLE) != 0) {
      stack_t off;
      memset(&off, 0, sizeof off);
      off.ss_flags = SS_DISABLE;
      sigaltstack(&off, nullptr);
    } else {
      sigaltstack(&previousStack, nullptr);
    }
    munmap(stackMapping, stackMappingSize);
  }
  stackMapping = nullptr;
  stackMappingSize = 0;
  stackSize = 0;
  delete prepared.exchange(nullptr);
  installed = false;
}

bool FaultStackUse(size_t* peak, size_t* size) {
  if (!installed || stackMapping == nullptr) return false;
  // The stack starts zeroed and grows down from its top: the lowest byte
  // that is no longer zero marks the deepest use.
  const char* bottom = stackMapping + (stackMappingSize - stackSize);
  size_t untouched = 0;
  while (untouched < stackSize && bottom[untouched] == 0) ++untouched;
  if (peak != nullptr) *peak = stackSize - untouched;
  if (size != nullptr) *size = stackSize;
  return true;
}

}  // namespace platform
