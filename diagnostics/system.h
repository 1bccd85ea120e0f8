// What the fatal-error reporter needs from the operating system beyond the
// file and process calls of platform.h: the message box, string resources,
// the debugger, user and computer names, the local clock, memory and module
// queries, stack walking with symbols, crash capture and process
// termination. The shapes follow the Win32 calls they stand for, hence the
// platform namespace; posix/ and win32/ beside this header implement them,
// one of the two chosen at build time, so the library proper carries none
// of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace platform {

// ---- message box -------------------------------------------------------------

// Same numbers as the system's MB_* and ID* values.
constexpr uint32_t kMbOk = 0x0;
constexpr uint32_t kMbOkCancel = 0x1;
constexpr uint32_t kMbYesNoCancel = 0x3;
constexpr uint32_t kMbYesNo = 0x4;
constexpr uint32_t kMbButtonsMask = 0xF;
constexpr uint32_t kMbIconError = 0x10;
constexpr uint32_t kMbIconWarning = 0x30;
constexpr uint32_t kMbDefButton2 = 0x100;
constexpr uint32_t kMbTaskModal = 0x2000;
constexpr uint32_t kMbSetForeground = 0x10000;
constexpr uint32_t kMbTopmost = 0x40000;

constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;
constexpr int kIdYes = 6;
constexpr int kIdNo = 7;

// MessageBoxA without an owner window. Returns the button chosen, 0 when the
// box could not be shown. POSIX writes the caption, the text and the buttons
// to standard error; when standard input is a terminal the user picks one of
// the buttons there, otherwise the default button is the answer.
int MessageBox(const char* text, const char* caption, uint32_t type);

// LoadStringA from the program's own resources: copies at most size - 1
// characters, terminates, and returns the length; 0 when there is no such
// string (POSIX has no resources: always 0).
int LoadString(uint32_t id, char* buffer, int size);

// ---- debugger ------------------------------------------------------------------

// IsDebuggerPresent looked up at run time (false when the call is missing).
// POSIX: a tracer is attached (TracerPid in /proc/self/status).
bool IsDebuggerPresent();
// OutputDebugStringA. POSIX writes the text to standard error, but only
// while a tracer is attached, as a debugger would be the only one to see it.
void OutputDebugString(const char* text);
// Raises a breakpoint that a debugger may take; without one it is swallowed
// and the call returns.
void RaiseBreakpoint();

// ---- identity and clock --------------------------------------------------------

// GetUserNameA / GetComputerNameA: *size is the buffer size in, the length
// out (without the terminator on the computer name, with it on the user name,
// as the system counts). False when the name is unknown or does not fit.
bool GetUserName(char* buffer, uint32_t* size);
bool GetComputerName(char* buffer, uint32_t* size);

// SYSTEMTIME as GetLocalTime fills it: month 1 to 12, dayOfWeek 0 = Sunday.
struct LocalTime {
  uint16_t year;
  uint16_t month;
  uint16_t dayOfWeek;
  uint16_t day;
  uint16_t hour;
  uint16_t minute;
  uint16_t second;
  uint16_t milliseconds;
};
void GetLocalTime(LocalTime* time);

// ---- memory --------------------------------------------------------------------

// Whether every byte of [address, address + size) is committed and readable
// (writable) right now. POSIX consults /proc/self/maps (or the copy a
// snapshot took).
bool IsReadableMemory(const void* address, size_t size);
bool IsWritableMemory(const void* address, size_t size);
// Copies size bytes when they are all readable; false (out untouched)
// otherwise. The copy bypasses sanitizer checks, so any mapped memory,
// including other frames of the stack, may be read.
bool ReadMemory(const void* address, void* out, size_t size);

// A report asks about many addresses; between Begin and End the calling
// thread's permission queries answer from one copy of the memory map taken
// at Begin, so the map is read once per report (POSIX; Windows asks the
// system each time, which reads no map). One snapshot at a time: Begin
// returns false when another thread holds it or the copy could not be
// taken, and the queries then read the map as usual. End only after a
// Begin that returned true.
bool BeginMemorySnapshot();
void EndMemorySnapshot();

// ---- modules -------------------------------------------------------------------

// The module (executable or shared library) holding an address: its full
// path (cut to pathSize - 1 characters), the 1-based number of the section
// (POSIX: loadable segment) holding the address and the offset within it.
// False when no module holds it.
bool GetModuleOfAddress(uintptr_t address, char* path, size_t pathSize, uint32_t* section,
                        uintptr_t* offset);

// The file name of an existing file as the directory lists it (the long form
// FindFirstFileA reports), without any folder part.
bool GetLongFileName(const char* path, std::string& name);

// The program's own module, and the message-table text of a module for an
// error code (FormatMessageA from-hmodule, language 0x400). POSIX modules
// carry no message tables: always false.
using MessageModule = void*;
MessageModule GetProgramModule();
bool FormatModuleMessage(MessageModule module, uint32_t code, std::string& text);

// ---- thread context and stack walking ------------------------------------------

// The x86 registers of a thread. On x86-64 the wide registers are held
// (rax in ax and so on); on other machines only ip, sp and bp are filled.
struct CpuContext {
  uintptr_t ax, bx, cx, dx, si, di, bp, sp, ip;
  uint32_t flags;
  uint16_t cs, ds, es, ss, fs, gs;
};

// Fills the context from the system's own record: a CONTEXT* on Windows, a
// ucontext_t* (as a signal handler receives it) on POSIX.
bool ContextFromNative(const void* native, CpuContext* context);
// The context of the caller as it stands when this call returns: its
// instruction pointer is the return address, its stack and frame pointers
// those of the caller.
void CaptureCallerContext(CpuContext* context);

// The debug-help library: loaded on demand, with every entry point the walk
// needs. POSIX needs nothing loaded and always succeeds.
bool DebugHelpIsLoaded();
bool DebugHelpLoad();  // sets the last error on failure
void DebugHelpUnload();
// Adds deferred loads and line numbers to the symbol options and initializes
// symbols for the process with its modules. Last error on failure.
bool DebugHelpInitialize();

struct StackFrame {
  uintptr_t pc;         // instruction (return) address of the frame
  uintptr_t frame;      // the frame's base
  uintptr_t params[4];  // the four words where a 32-bit caller puts arguments
};

// Walks the current thread's stack, starting with the frame that the given
// instruction, frame and stack pointers describe (pc is the first frame's
// address). The stack pointer must lie in the current thread's stack, in a
// frame that is still live: a caller of the walk, or a frame that a signal
// interrupted (the walk then passes through the handler's signal frame, so
// a handler on an alternate stack can walk the stack that faulted). Returns
// the number of frames stored (at most maxFrames); *endError receives the
// last error when the walk ended.
int WalkStack(uintptr_t pc, uintptr_t frame, uintptr_t stack, StackFrame* frames,
              int maxFrames, uint32_t* endError);

// The manual walk's steps where the system describes every frame by unwind
// tables instead of a chain of saved frame pointers (64-bit Windows, where
// code sets its frame pointer part-way into large frames, so the chain says
// nothing). Calls visit for the frame that pc, frame and stack describe and
// then for each caller, until visit returns false, a step leaves the stack
// or maxFrames were visited. Returns false, visiting nothing, where such
// tables are not the way to walk: callers follow the frame pointers there.
using UnwindVisitor = bool (*)(void* arg, uintptr_t pc, uintptr_t frame);
bool WalkByUnwindTables(uintptr_t pc, uintptr_t frame, uintptr_t stack, int maxFrames,
                        UnwindVisitor visit, void* arg);

// Symbol queries on an address; each sets the last error when it fails.
// Text is cut to size - 1 characters. SymbolModule: the full path of the
// module's image and the address as the module's debug information counts
// it (POSIX: less the load bias, the value `addr2line -e MODULE` takes;
// Windows: within the image at its preferred base).
bool SymbolModule(uintptr_t address, char* image, size_t size, uintptr_t* moduleAddress);
// SymbolName: the (demangled) name and the displacement from its start.
bool SymbolName(uintptr_t address, char* name, size_t size, uintptr_t* displacement);
// SymbolLine: the source file and line.
bool SymbolLine(uintptr_t address, char* file, size_t size, uint32_t* line);

// ---- crash capture -------------------------------------------------------------

// What a fault tells about the memory it concerns. None: the fault is not
// about a memory access (the address, when there is one, is the faulting
// instruction's).
enum class FaultAccess { None, Unknown, Read, Write, Execute };

struct FaultRecord {
  uint32_t code;            // the signal number (POSIX) or exception code (Windows)
  const char* name;         // "SIGSEGV", "EXCEPTION_ACCESS_VIOLATION"; never null
  const char* description;  // what the system says happened; never null, may be empty
  bool hasAddress;
  uintptr_t address;
  FaultAccess access;
  CpuContext context;  // the registers at the fault
  // Where stack traces start: the faulting instruction's frame (traceExact),
  // or for an abort the frame that called abort (tracePc is then a return
  // address).
  uintptr_t tracePc, traceFrame, traceStack;
  bool traceExact;
};

// Runs inside the fault handler, on the thread that faulted (POSIX) or on a
// thread kept for the purpose while the faulting one waits (Windows). It may
// use only the calls below that are marked safe there. When it returns the
// process ends as it would have without capture: the default action and the
// signal raised again (POSIX), termination with the exception code as exit
// status (Windows).
using FaultHandler = void (*)(const FaultRecord& fault);

// Installs handler for SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT on an
// alternate stack of stackSize bytes for the calling thread (other threads
// run it on their own stacks), or for unhandled exceptions and stack
// overflows (Windows). First gathers everything the safe calls need (module
// list, symbol tables, user and computer names, the time-zone offset). A
// second call while installed changes nothing and returns true.
bool InstallFaultHandler(FaultHandler handler, size_t stackSize);
void UninstallFaultHandler();
// The alternate stack's size and the deepest any handler reached into it so
// far. False where there is no alternate stack (Windows, not installed).
bool FaultStackUse(size_t* peak, size_t* size);

// Safe inside a fault handler: the memory and permission queries, ReadMemory,
// ContextFromNative, WalkStack, WalkByUnwindTables, SymbolModule,
// SymbolName, GetModuleOfAddress, GetUserName, GetComputerName,
// GetLocalTime (from the clock and the offset gathered at install),
// and from platform.h WriteFile, CloseHandle, MakeFolder, CreateNewFile and
// WriteStandardError. None of them allocates or takes a lock there.

// ---- process -------------------------------------------------------------------

// True on systems whose GetVersion has the high bit set when the process is
// already on its way out (GetExitCodeProcess succeeds with a code other than
// STILL_ACTIVE); termination must not be forced then.
bool ProcessExitPending();
// TerminateProcess of the current process; does not return.
[[noreturn]] void TerminateProcess(uint32_t exitCode);

// ---- critical section ----------------------------------------------------------

// A recursive lock like a Win32 critical section. Created once and never
// deleted by its users.
using CriticalSection = void*;
CriticalSection CreateCriticalSection();
void EnterCriticalSection(CriticalSection section);
void LeaveCriticalSection(CriticalSection section);

}  // namespace platform
