// State and helpers shared by the report units.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

#include "diagnostics/diagnostics.h"

// The report traces the stack from its own frames, which must therefore stay
// real frames.
#if defined(_MSC_VER)
#include <intrin.h>
#define REPORT_NOINLINE __declspec(noinline)
#define REPORT_RETURN_ADDRESS() _ReturnAddress()
#define REPORT_FRAME_ADDRESS() _AddressOfReturnAddress()
#define REPORT_PRINTF(f, a)
#else
#define REPORT_NOINLINE __attribute__((noinline))
#define REPORT_RETURN_ADDRESS() __builtin_return_address(0)
#define REPORT_FRAME_ADDRESS() __builtin_frame_address(0)
#define REPORT_PRINTF(f, a) __attribute__((format(printf, f, a)))
#endif

namespace report {

// Paths the reports build stay within this many characters: the limit of
// the system's plain path calls on Windows, and on POSIX a bound that keeps
// the handler's buffers small (a longer path fails with a message).
#if defined(_WIN32)
constexpr size_t kMaxPath = 260;
#else
constexpr size_t kMaxPath = 1024;
#endif

// The hooks in force (all defaults unless a test set them).
const ReportHooks& Hooks();

// The executable's full path.
std::string ProgramPath();
// The same into a buffer, without the heap once capture is installed.
void ProgramPathInto(char* buffer, size_t size);

// The local time now, or the fixed time of the hooks.
void CurrentLocalTime(platform::LocalTime* time);

// The folder part of a path, up to and including its last separator; empty
// when it has none.
std::string FolderOf(const std::string& path);

// printf into a buffer of size bytes, cut and terminated; returns the length
// the whole text would have. Allocates nothing and takes no lock.
size_t FormatTextV(char* buffer, size_t size, const char* format, va_list args);
size_t FormatText(char* buffer, size_t size, const char* format, ...) REPORT_PRINTF(3, 4);

// Where stack traces start. pc is exact when it is the faulting instruction
// itself, not a return address (which names the instruction after a call).
struct TraceStart {
  uintptr_t pc;
  uintptr_t frame;
  uintptr_t stack;
  bool exact;
};

// The crash log of a fault: the registers and dumps of context, the traces
// from start.
void WriteFaultCrashLog(ReportWriter writer, void* target, uint32_t flags, const platform::CpuContext& context,
                        const TraceStart& start);

// Where report files go: the folder (made with its parents when parents is
// set), else the fallback folder (may be empty: none). Both end in a
// separator.
struct ReportFolders {
  char folder[kMaxPath];
  bool parents;
  char fallback[kMaxPath];
};

// The folders chosen when capture was installed, or false when it is not.
bool InstalledFolders(ReportFolders* folders);
// The program path kept when capture was installed, or null.
const char* InstalledProgramPath();

// Writes one report file: header block, message, crash log (of the fault
// when start is given, of the caller otherwise). Allocates nothing and takes
// no lock, so a fault handler may call it. Returns false (and says why on
// standard error) when no file could be made.
bool WriteReportFile(const ReportFolders& folders, const platform::LocalTime& time, const char* message,
                     const platform::CpuContext* context, const TraceStart* start);

}  // namespace report
