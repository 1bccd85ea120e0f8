// The reporter's system services on Windows: the user-interface and
// process calls, VirtualQuery for memory, the PE section table for logical
// addresses, and the debug-help library, loaded at run time, for stack walks
// and symbols.
#include <cstddef>
#include <cstring>
#include <string>

#include "diagnostics/win32/win32_internal.h"

#include <dbghelp.h>
#if defined(_MSC_VER)
#include <intrin.h>
#endif

#include "diagnostics/caller_frame.h"
#include "diagnostics/system.h"

namespace platform {

namespace {

// ---- the debug-help library -----------------------------------------------------

#if defined(_WIN64)
using SymAddress = DWORD64;
constexpr DWORD kMachineType = IMAGE_FILE_MACHINE_AMD64;
constexpr const char* kStackWalkName = "StackWalk64";
constexpr const char* kFunctionTableAccessName = "SymFunctionTableAccess64";
constexpr const char* kGetLineName = "SymGetLineFromAddr64";
constexpr const char* kGetModuleBaseName = "SymGetModuleBase64";
constexpr const char* kGetModuleInfoName = "SymGetModuleInfo64";
constexpr const char* kGetSymbolName = "SymGetSymFromAddr64";
using WalkFrame = STACKFRAME64;
using LineRecord = IMAGEHLP_LINE64;
using ModuleRecord = IMAGEHLP_MODULE64;
using SymbolRecord = IMAGEHLP_SYMBOL64;
using FunctionTableAccessFn = PFUNCTION_TABLE_ACCESS_ROUTINE64;
using GetModuleBaseFn = PGET_MODULE_BASE_ROUTINE64;
using ReadMemoryFn = PREAD_PROCESS_MEMORY_ROUTINE64;
using TranslateAddressFn = PTRANSLATE_ADDRESS_ROUTINE64;
#else
using SymAddress = DWORD;
constexpr DWORD kMachineType = IMAGE_FILE_MACHINE_I386;  // 0x14C
constexpr const char* kStackWalkName = "StackWalk";
constexpr const char* kFunctionTableAccessName = "SymFunctionTableAccess";
constexpr const char* kGetLineName = "SymGetLineFromAddr";
constexpr const char* kGetModuleBaseName = "SymGetModuleBase";
constexpr const char* kGetModuleInfoName = "SymGetModuleInfo";
constexpr const char* kGetSymbolName = "SymGetSymFromAddr";
using WalkFrame = STACKFRAME;
using LineRecord = IMAGEHLP_LINE;
using ModuleRecord = IMAGEHLP_MODULE;
using SymbolRecord = IMAGEHLP_SYMBOL;
using FunctionTableAccessFn = PFUNCTION_TABLE_ACCESS_ROUTINE;
using GetModuleBaseFn = PGET_MODULE_BASE_ROUTINE;
using ReadMemoryFn = PREAD_PROCESS_MEMORY_ROUTINE;
using TranslateAddressFn = PTRANSLATE_ADDRESS_ROUTINE;
#endif

using StackWalkFn = BOOL(WINAPI*)(DWORD, HANDLE, HANDLE, WalkFrame*, PVOID, ReadMemoryFn, FunctionTableAccessFn,
                                  GetModuleBaseFn, TranslateAddressFn);
using GetLineFn = BOOL(WINAPI*)(HANDLE, SymAddress, PDWORD, LineRecord*);
using GetModuleInfoFn = BOOL(WINAPI*)(HANDLE, SymAddress, ModuleRecord*);
using GetOptionsFn = DWORD(WINAPI*)();
#if defined(_WIN64)
using GetSymbolFn = BOOL(WINAPI*)(HANDLE, SymAddress, PDWORD64, SymbolRecord*);
#else
using GetSymbolFn = BOOL(WINAPI*)(HANDLE, SymAddress, PDWORD, SymbolRecord*);
#endif
using InitializeFn = BOOL(WINAPI*)(HANDLE, PCSTR, BOOL);
using CleanupFn = BOOL(WINAPI*)(HANDLE);
using SetOptionsFn = DWORD(WINAPI*)(DWORD);

constexpr DWORD kSymDeferredLoadsAndLines = 0x14;  // SYMOPT_DEFERRED_LOADS | SYMOPT_LOAD_LINES

// The loaded library and its entry points; all null while it is not loaded.
struct DebugHelp {
  HMODULE module;
  StackWalkFn stackWalk;
  FunctionTableAccessFn functionTableAccess;
  GetLineFn getLine;
  GetModuleBaseFn getModuleBase;
  GetModuleInfoFn getModuleInfo;
  GetOptionsFn getOptions;
  GetSymbolFn getSymbol;
  InitializeFn initialize;
  SetOptionsFn setOptions;
  CleanupFn cleanup;  // optional: not every version has it
  bool initialized;
};
DebugHelp debugHelp = {};

template <typename Fn>
bool TakeEntry(HMODULE module, const char* name, Fn* entry) {
  const FARPROC address = ::GetProcAddress(module, name);
  if (address == nullptr) return false;
  static_assert(sizeof address == sizeof *entry);
  memcpy(entry, &address, sizeof *entry);
  return true;
}

bool SymbolsReady() {
  if (debugHelp.module != nullptr && debugHelp.initialized) return true;
  ::SetLastError(ERROR_MOD_NOT_FOUND);
  return false;
}

// ---- memory -------------------------------------------------------------------------

bool RegionsAllow(const void* address, size_t size, bool write) {
  if (size == 0) return true;
  const auto begin = reinterpret_cast<uintptr_t>(address);
  const uintptr_t end = begin + size;
  if (end < begin) return false;
  constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                              PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  constexpr DWORD kWritable = PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  uintptr_t at = begin;
  while (at < end) {
    MEMORY_BASIC_INFORMATION info;
    if (::VirtualQuery(reinterpret_cast<LPCVOID>(at), &info, sizeof info) == 0) return false;
    if (info.State != MEM_COMMIT) return false;
    if ((info.Protect & (PAGE_GUARD | PAGE_NOACCESS)) != 0) return false;
    if ((info.Protect & (write ? kWritable : kReadable)) == 0) return false;
    const uintptr_t regionEnd = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
    if (regionEnd <= at) return false;
    at = regionEnd;
  }
  return true;
}

LONG CALLBACK SwallowBreakpoint(EXCEPTION_POINTERS* info) {
  return info->ExceptionRecord->ExceptionCode == EXCEPTION_BREAKPOINT ? EXCEPTION_CONTINUE_EXECUTION
                                                                      : EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

// ---- message box -------------------------------------------------------------

int MessageBox(const char* text, const char* caption, uint32_t type) {
  // The program has no main window to own the box.
  return ::MessageBoxA(nullptr, text, caption, type);
}

int LoadString(uint32_t id, char* buffer, int size) {
  if (buffer == nullptr || size <= 0) return 0;
  buffer[0] = '\0';
  return ::LoadStringA(::GetModuleHandleA(nullptr), id, buffer, size);
}

// ---- debugger ------------------------------------------------------------------

bool IsDebuggerPresent() {
  using IsDebuggerPresentFn = BOOL(WINAPI*)();
  HMODULE kernel = ::GetModuleHandleA("KERNEL32.DLL");
  IsDebuggerPresentFn present = nullptr;
  if (kernel == nullptr || !TakeEntry(kernel, "IsDebuggerPresent", &present)) return false;
  return present() != FALSE;
}

void OutputDebugString(const char* text) {
  if (text != nullptr) ::OutputDebugStringA(text);
}

void RaiseBreakpoint() {
  // A debugger sees the exception first; without one the handler lets the
  // program go on after the raise.
  PVOID handler = ::AddVectoredExceptionHandler(1, SwallowBreakpoint);
  ::RaiseException(EXCEPTION_BREAKPOINT, 0, 0, nullptr);
  if (handler != nullptr) ::RemoveVectoredExceptionHandler(handler);
}

// ---- identity and clock --------------------------------------------------------

bool GetUserName(char* buffer, uint32_t* size) {
  if (buffer == nullptr || size == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  DWORD length = *size;
  const BOOL ok = ::GetUserNameA(buffer, &length);
  *size = length;
  return ok != FALSE;
}

bool GetComputerName(char* buffer, uint32_t* size) {
  if (buffer == nullptr || size == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  DWORD length = *size;
  const BOOL ok = ::GetComputerNameA(buffer, &length);
  *size = length;
  return ok != FALSE;
}

void GetLocalTime(LocalTime* time) {
  if (time == nullptr) return;
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  time->year = now.wYear;
  time->month = now.wMonth;
  time->dayOfWeek = now.wDayOfWeek;
  time->day = now.wDay;
  time->hour = now.wHour;
  time->minute = now.wMinute;
  time->second = now.wSecond;
  time->milliseconds = now.wMilliseconds;
}

// ---- memory --------------------------------------------------------------------

bool IsReadableMemory(const void* address, size_t size) { return RegionsAllow(address, size, false); }

bool IsWritableMemory(const void* address, size_t size) { return RegionsAllow(address, size, true); }

bool ReadMemory(const void* address, void* out, size_t size) {
  if (out == nullptr || !IsReadableMemory(address, size)) return false;
  const volatile unsigned char* source = static_cast<const volatile unsigned char*>(address);
  auto* target = static_cast<unsigned char*>(out);
  for (size_t i = 0; i < size; ++i) target[i] = source[i];
  return true;
}

// VirtualQuery asks the system about one region at a time and reads no map,
// so there is nothing to keep a copy of.
bool BeginMemorySnapshot() { return true; }
void EndMemorySnapshot() {}

// ---- modules -------------------------------------------------------------------

bool GetModuleOfAddress(uintptr_t address, char* path, size_t pathSize, uint32_t* section, uintptr_t* offset) {
  MEMORY_BASIC_INFORMATION info;
  if (::VirtualQuery(reinterpret_cast<LPCVOID>(address), &info, sizeof info) == 0) return false;
  auto module = static_cast<HMODULE>(info.AllocationBase);
  if (module == nullptr) return false;
  char name[MAX_PATH];
  const DWORD length = ::GetModuleFileNameA(module, name, sizeof name);
  if (length == 0 || length >= sizeof name) return false;

  // A module's image starts with its headers; find the section that holds
  // the address's offset from the image base.
  const auto base = reinterpret_cast<uintptr_t>(module);
  IMAGE_DOS_HEADER dos;
  if (!ReadMemory(module, &dos, sizeof dos) || dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew <= 0) return false;
  const uintptr_t ntAt = base + static_cast<uintptr_t>(dos.e_lfanew);
  IMAGE_NT_HEADERS nt;
  if (!ReadMemory(reinterpret_cast<const void*>(ntAt), &nt, sizeof nt) || nt.Signature != IMAGE_NT_SIGNATURE) {
    return false;
  }
  const uintptr_t sectionsAt =
      ntAt + offsetof(IMAGE_NT_HEADERS, OptionalHeader) + nt.FileHeader.SizeOfOptionalHeader;
  const uintptr_t rva = address - base;
  for (WORD i = 0; i < nt.FileHeader.NumberOfSections; ++i) {
    IMAGE_SECTION_HEADER header;
    if (!ReadMemory(reinterpret_cast<const void*>(sectionsAt + i * sizeof header), &header, sizeof header)) {
      return false;
    }
    const uintptr_t start = header.VirtualAddress;
    const uintptr_t extent = header.SizeOfRawData > header.Misc.VirtualSize ? header.SizeOfRawData
                                                                             : header.Misc.VirtualSize;
    if (rva >= start && rva - start < extent) {
      if (path != nullptr && pathSize > 0) {
        const size_t copied = length < pathSize ? length : pathSize - 1;
        memcpy(path, name, copied);
        path[copied] = '\0';
      }
      if (section != nullptr) *section = static_cast<uint32_t>(i) + 1;
      if (offset != nullptr) *offset = rva - start;
      return true;
    }
  }
  return false;
}

bool GetLongFileName(const char* path, std::string& name) {
  if (path == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  WIN32_FIND_DATAA found;
  HANDLE search = ::FindFirstFileA(path, &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  ::FindClose(search);
  name = found.cFileName;
  return true;
}

MessageModule GetProgramModule() { return ::GetModuleHandleA(nullptr); }

bool FormatModuleMessage(MessageModule module, uint32_t code, std::string& text) {
  text.clear();
  char* message = nullptr;
  const DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
      static_cast<LPCVOID>(module), code, 0x400, reinterpret_cast<LPSTR>(&message), 0, nullptr);
  if (length != 0 && message != nullptr) text.assign(message, length);
  if (message != nullptr) ::LocalFree(message);
  return !text.empty();
}

// ---- thread context and stack walking ------------------------------------------

bool ContextFromNative(const void* native, CpuContext* context) {
  if (native == nullptr || context == nullptr) return false;
  const auto* c = static_cast<const CONTEXT*>(native);
  *context = CpuContext{};
#if defined(_WIN64)
  context->ax = c->Rax;
  context->bx = c->Rbx;
  context->cx = c->Rcx;
  context->dx = c->Rdx;
  context->si = c->Rsi;
  context->di = c->Rdi;
  context->bp = c->Rbp;
  context->sp = c->Rsp;
  context->ip = c->Rip;
#else
  context->ax = c->Eax;
  context->bx = c->Ebx;
  context->cx = c->Ecx;
  context->dx = c->Edx;
  context->si = c->Esi;
  context->di = c->Edi;
  context->bp = c->Ebp;
  context->sp = c->Esp;
  context->ip = c->Eip;
#endif
  context->flags = c->EFlags;
  context->cs = static_cast<uint16_t>(c->SegCs);
  context->ds = static_cast<uint16_t>(c->SegDs);
  context->es = static_cast<uint16_t>(c->SegEs);
  context->ss = static_cast<uint16_t>(c->SegSs);
  context->fs = static_cast<uint16_t>(c->SegFs);
  context->gs = static_cast<uint16_t>(c->SegGs);
  return true;
}

#if defined(_MSC_VER)
__declspec(noinline)
#else
__attribute__((noinline))
#endif
void CaptureCallerContext(CpuContext* context) {
  if (context == nullptr) return;
  CONTEXT native;
  memset(&native, 0, sizeof native);
  native.ContextFlags = CONTEXT_FULL;
  ::RtlCaptureContext(&native);
  ContextFromNative(&native, context);
#if defined(__GNUC__)
  SetCallerFrame(context, reinterpret_cast<uintptr_t>(__builtin_frame_address(0)),
                 reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
#else
  context->ip = reinterpret_cast<uintptr_t>(_ReturnAddress());
  context->sp = reinterpret_cast<uintptr_t>(_AddressOfReturnAddress()) + sizeof(void*);
#endif
}

bool DebugHelpIsLoaded() { return debugHelp.module != nullptr; }

bool DebugHelpLoad() {
  if (debugHelp.module != nullptr) return true;
  const UINT previousMode = ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  HMODULE module = ::LoadLibraryA("dbghelp.dll");
  ::SetErrorMode(previousMode);
  if (module == nullptr) return false;
  DebugHelp loaded = {};
  loaded.module = module;
  const bool complete = TakeEntry(module, kStackWalkName, &loaded.stackWalk) &&
                        TakeEntry(module, kFunctionTableAccessName, &loaded.functionTableAccess) &&
                        TakeEntry(module, kGetLineName, &loaded.getLine) &&
                        TakeEntry(module, kGetModuleBaseName, &loaded.getModuleBase) &&
                        TakeEntry(module, kGetModuleInfoName, &loaded.getModuleInfo) &&
                        TakeEntry(module, "SymGetOptions", &loaded.getOptions) &&
                        TakeEntry(module, kGetSymbolName, &loaded.getSymbol) &&
                        TakeEntry(module, "SymInitialize", &loaded.initialize) &&
                        TakeEntry(module, "SymSetOptions", &loaded.setOptions);
  if (!complete) {
    const DWORD error = ::GetLastError();
    ::FreeLibrary(module);
    ::SetLastError(error);
    return false;
  }
  if (!TakeEntry(module, "SymCleanup", &loaded.cleanup)) loaded.cleanup = nullptr;
  debugHelp = loaded;
  return true;
}

void DebugHelpUnload() {
  // Releasing the library does not release what the symbol handler holds for
  // the process (mapped module images among it); a process that writes many
  // reports would run out of room without this.
  if (debugHelp.initialized && debugHelp.cleanup != nullptr) debugHelp.cleanup(::GetCurrentProcess());
  if (debugHelp.module != nullptr) ::FreeLibrary(debugHelp.module);
  debugHelp = DebugHelp{};
}

bool DebugHelpInitialize() {
  if (debugHelp.module == nullptr) {
    ::SetLastError(ERROR_MOD_NOT_FOUND);
    return false;
  }
  debugHelp.setOptions(debugHelp.getOptions() | kSymDeferredLoadsAndLines);
  // The symbol handler stays set up for as long as the library is loaded.
  if (debugHelp.initialized) return true;
  if (!debugHelp.initialize(::GetCurrentProcess(), nullptr, TRUE)) return false;
  debugHelp.initialized = true;
  return true;
}

int WalkStack(uintptr_t pc, uintptr_t frame, uintptr_t stack, StackFrame* frames, int maxFrames, uint32_t* endError) {
  if (endError != nullptr) *endError = 0;
  if (!SymbolsReady() || frames == nullptr || maxFrames <= 0) {
    if (endError != nullptr) *endError = ::GetLastError();
    return 0;
  }
  CONTEXT context;
  memset(&context, 0, sizeof context);
  context.ContextFlags = CONTEXT_FULL;
#if defined(_WIN64)
  context.Rip = pc;
  context.Rbp = frame;
  context.Rsp = stack;
#else
  context.Eip = static_cast<DWORD>(pc);
  context.Ebp = static_cast<DWORD>(frame);
  context.Esp = static_cast<DWORD>(stack);
#endif
  WalkFrame walk;
  memset(&walk, 0, sizeof walk);
  walk.AddrPC.Offset = pc;
  walk.AddrPC.Mode = AddrModeFlat;
  walk.AddrFrame.Offset = frame;
  walk.AddrFrame.Mode = AddrModeFlat;
  walk.AddrStack.Offset = stack;
  walk.AddrStack.Mode = AddrModeFlat;
  int count = 0;
  while (count < maxFrames) {
    if (!debugHelp.stackWalk(kMachineType, ::GetCurrentProcess(), ::GetCurrentThread(), &walk, &context, nullptr,
                             debugHelp.functionTableAccess, debugHelp.getModuleBase, nullptr)) {
      if (endError != nullptr) *endError = ::GetLastError();
      break;
    }
    StackFrame& out = frames[count++];
    out.pc = static_cast<uintptr_t>(walk.AddrPC.Offset);
    out.frame = static_cast<uintptr_t>(walk.AddrFrame.Offset);
    for (int i = 0; i < 4; ++i) out.params[i] = static_cast<uintptr_t>(walk.Params[i]);
  }
  return count;
}

#if defined(_WIN64)
bool WalkByUnwindTables(uintptr_t pc, uintptr_t frame, uintptr_t stack, int maxFrames, UnwindVisitor visit,
                        void* arg) {
  if (visit == nullptr) return true;
  // The walk stays inside this thread's stack: every step reads saved
  // registers and the return address from there.
  ULONG_PTR low = 0;
  ULONG_PTR high = 0;
  ::GetCurrentThreadStackLimits(&low, &high);
  // A crash report is written on a thread of its own; the stack to walk is
  // then the faulting thread's.
  if (stack < low || stack >= high) win32::FaultingThreadStack(stack, &low, &high);
  CONTEXT context;
  memset(&context, 0, sizeof context);
  context.ContextFlags = CONTEXT_FULL;
  context.Rip = pc;
  context.Rbp = frame;
  context.Rsp = stack;
  for (int count = 0; count < maxFrames; ++count) {
    if (!visit(arg, static_cast<uintptr_t>(context.Rip), static_cast<uintptr_t>(context.Rbp))) break;
    const DWORD64 before = context.Rsp;
    if (before < low || before + sizeof(DWORD64) > high) break;
    DWORD64 imageBase = 0;
    PRUNTIME_FUNCTION function = ::RtlLookupFunctionEntry(context.Rip, &imageBase, nullptr);
    if (function == nullptr) {
      // A leaf function keeps no table: its return address is on top.
      DWORD64 returnAddress = 0;
      if (!ReadMemory(reinterpret_cast<const void*>(before), &returnAddress, sizeof returnAddress)) break;
      context.Rip = returnAddress;
      context.Rsp = before + sizeof returnAddress;
    } else {
      // The tables locate the saved registers from Rsp or from a frame
      // register; one that points outside the stack would send the step
      // astray, so it is checked before the system follows it.
      const auto* info = reinterpret_cast<const BYTE*>(imageBase + function->UnwindData);
      const unsigned frameRegister = info[3] & 0x0Fu;
      if (frameRegister != 0) {
        const DWORD64 value = (&context.Rax)[frameRegister];
        if (value < low || value >= high) break;
      }
      PVOID handlerData = nullptr;
      DWORD64 establisher = 0;
      ::RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, context.Rip, function, &context, &handlerData,
                         &establisher, nullptr);
    }
    // Callers' frames lie above their callees'; anything else is a broken stack.
    if (context.Rip == 0 || context.Rsp <= before || context.Rsp > high) break;
  }
  return true;
}
#else
bool WalkByUnwindTables(uintptr_t, uintptr_t, uintptr_t, int, UnwindVisitor, void*) { return false; }
#endif

namespace {

void CopyCut(char* buffer, size_t size, const char* text) {
  if (buffer == nullptr || size == 0) return;
  size_t i = 0;
  for (; text != nullptr && text[i] != '\0' && i + 1 < size; ++i) buffer[i] = text[i];
  buffer[i] = '\0';
}

// The base an image asks for in its file (its debug information counts
// from there), which the loader may not have given it.
bool PreferredImageBase(const char* image, uintptr_t* base) {
  HANDLE file = ::CreateFileA(image, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  IMAGE_DOS_HEADER dos;
  IMAGE_NT_HEADERS nt;
  DWORD got = 0;
  bool ok = ::ReadFile(file, &dos, sizeof dos, &got, nullptr) && got == sizeof dos &&
            dos.e_magic == IMAGE_DOS_SIGNATURE && dos.e_lfanew > 0 &&
            ::SetFilePointer(file, dos.e_lfanew, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
            ::ReadFile(file, &nt, sizeof nt, &got, nullptr) && got == sizeof nt && nt.Signature == IMAGE_NT_SIGNATURE &&
            nt.OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR_MAGIC;
  ::CloseHandle(file);
  if (ok) *base = static_cast<uintptr_t>(nt.OptionalHeader.ImageBase);
  return ok;
}

}  // namespace

bool SymbolModule(uintptr_t address, char* image, size_t size, uintptr_t* moduleAddress) {
  if (!SymbolsReady()) return false;
  ModuleRecord module;
  memset(&module, 0, sizeof module);
  module.SizeOfStruct = sizeof module;
  if (!debugHelp.getModuleInfo(::GetCurrentProcess(), static_cast<SymAddress>(address), &module)) return false;
  CopyCut(image, size, module.ImageName);
  if (moduleAddress != nullptr) {
    uintptr_t preferred = 0;
    if (!PreferredImageBase(module.ImageName, &preferred)) preferred = static_cast<uintptr_t>(module.BaseOfImage);
    *moduleAddress = address - static_cast<uintptr_t>(module.BaseOfImage) + preferred;
  }
  return true;
}

bool SymbolName(uintptr_t address, char* name, size_t size, uintptr_t* displacement) {
  if (win32::FindProgramSymbol(address, name, size, displacement)) return true;
  if (!SymbolsReady()) return false;
  constexpr DWORD kMaxName = 512;
  alignas(SymbolRecord) unsigned char storage[sizeof(SymbolRecord) + kMaxName];
  memset(storage, 0, sizeof storage);
  auto* symbol = reinterpret_cast<SymbolRecord*>(storage);
  symbol->SizeOfStruct = sizeof(SymbolRecord);
  symbol->MaxNameLength = kMaxName;
#if defined(_WIN64)
  DWORD64 offset = 0;
#else
  DWORD offset = 0;
#endif
  if (!debugHelp.getSymbol(::GetCurrentProcess(), static_cast<SymAddress>(address), &offset, symbol)) return false;
  CopyCut(name, size, symbol->Name);
  if (displacement != nullptr) *displacement = static_cast<uintptr_t>(offset);
  return true;
}

bool SymbolLine(uintptr_t address, char* file, size_t size, uint32_t* line) {
  if (!SymbolsReady()) return false;
  LineRecord record;
  memset(&record, 0, sizeof record);
  record.SizeOfStruct = sizeof record;
  DWORD offset = 0;
  if (!debugHelp.getLine(::GetCurrentProcess(), static_cast<SymAddress>(address), &offset, &record)) return false;
  CopyCut(file, size, record.FileName != nullptr ? record.FileName : "");
  if (line != nullptr) *line = record.LineNumber;
  return true;
}

// ---- process -------------------------------------------------------------------

bool ProcessExitPending() {
  if ((::GetVersion() & 0x80000000u) == 0) return false;
  DWORD code = 0;
  return ::GetExitCodeProcess(::GetCurrentProcess(), &code) && code != STILL_ACTIVE;
}

void TerminateProcess(uint32_t exitCode) {
  ::TerminateProcess(::GetCurrentProcess(), exitCode);
  ::ExitProcess(exitCode);
}

// ---- critical section ----------------------------------------------------------

CriticalSection CreateCriticalSection() {
  auto* section = new CRITICAL_SECTION;
  ::InitializeCriticalSection(section);
  return section;
}

void EnterCriticalSection(CriticalSection section) {
  if (section != nullptr) ::EnterCriticalSection(static_cast<CRITICAL_SECTION*>(section));
}

void LeaveCriticalSection(CriticalSection section) {
  if (section != nullptr) ::LeaveCriticalSection(static_cast<CRITICAL_SECTION*>(section));
}

}  // namespace platform
