// Fatal-error reports: a message box that offers to keep running, to break
// into the debugger or to terminate, and a text report in the "Errors\"
// folder beside the executable with a header block, the message and a crash
// log (stack traces, registers, memory dumps).
//
// The module guards itself: one critical section serializes reports, a
// re-entrancy flag makes a report raised during a report return at once, and
// interlocked counters keep two threads from writing the header block or the
// crash log at the same time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "diagnostics/system.h"

// ---- codes and location kinds ---------------------------------------------------

// A failed assertion; the extra text of its report is the expression.
constexpr uint32_t ERR_ASSERTION_FAILED = 0x85100000u;

// A location kind of 0 or more is the line that goes with a source file name;
// the negative kinds say what the location text names.
constexpr int32_t LOCATION_FUNCTION = -1;
constexpr int32_t LOCATION_OBJECT = -2;
constexpr int32_t LOCATION_HANDLE = -3;
constexpr int32_t LOCATION_FILE = -4;
constexpr int32_t LOCATION_EXCEPTION = -5;

// ---- section flags ----------------------------------------------------------------

// Flags 0, or any flags with REPORT_DEFAULT, add the default sections.
constexpr uint32_t REPORT_DEFAULT = 0x1;
// Header block.
constexpr uint32_t REPORT_TITLE = 0x2;
constexpr uint32_t REPORT_PROGRAM = 0x4;
constexpr uint32_t REPORT_TIME = 0x8;
constexpr uint32_t REPORT_COMPUTER = 0x10;
constexpr uint32_t REPORT_USER = 0x20;
constexpr uint32_t REPORT_HEADER_DEFAULTS = 0x3C;
// Crash log.
constexpr uint32_t REPORT_REGISTERS = 0x10000;
constexpr uint32_t REPORT_STACK_DEBUG_HELP = 0x20000;
constexpr uint32_t REPORT_PARAMETERS = 0x40000;
constexpr uint32_t REPORT_STACK_MANUAL = 0x80000;
constexpr uint32_t REPORT_CODE_DUMP = 0x100000;
constexpr uint32_t REPORT_STACK_DUMP = 0x200000;
constexpr uint32_t REPORT_DEBUG_HELP_DIAGNOSTICS = 0x80000000u;
constexpr uint32_t REPORT_CRASH_DEFAULTS = 0x2A0000;
constexpr uint32_t REPORT_CRASH_CONTEXT_DEFAULTS = 0x110000;

// ---- texts --------------------------------------------------------------------------

constexpr int REPORT_TEXT_COUNT = 20;
// The string resource that may replace built-in text i is REPORT_TEXT_RESOURCE + i.
constexpr uint32_t REPORT_TEXT_RESOURCE = 0x5100;
constexpr size_t REPORT_TEXT_SIZE = 256;
// The built-in texts.
extern const char* const ReportTexts[REPORT_TEXT_COUNT];
// Text `index` into a REPORT_TEXT_SIZE buffer: the program's string resource
// when it has one, the built-in text otherwise.
void LoadReportText(int index, char* buffer);

// ---- operations ------------------------------------------------------------------

// Shows the error and writes its report; see the file comment. Returns 1 when
// the program is to go on (the user kept running, or broke into the debugger
// and came back), 0 otherwise, and 0 at once while a report is in progress or
// while reports are disabled. Without the keep-running or break answer the
// process is terminated with exitCode.
int ReportFatalError(uint32_t code, const char* location, int32_t locationKind, const char* extra,
                     int allowContinue, uint32_t exitCode);

void SetErrorReportDisabled(int value);

// The system's or a registered module's text for the code. Returns its length
// (nonzero) when a text was produced; a missing buffer or a size of 0 sets
// ERROR_INVALID_PARAMETER and returns 0.
uint32_t FormatErrorText(uint32_t code, char* buffer, uint32_t size);

// Writes one report file: header block, the message, the crash log. The crash
// context is optional; without it the writer's own stack is traced. A report
// never replaces another: one of the same second gets a counter before
// ".txt", and a path that would be too long writes nothing (and says so on
// standard error).
void WriteErrorReport(const char* message, const platform::CpuContext* context);

// ---- crash capture -----------------------------------------------------------

// Installs crash capture for the process: a crash (SIGSEGV, SIGBUS, SIGILL,
// SIGFPE or SIGABRT on POSIX; an unhandled exception or a stack overflow on
// Windows) writes a crash report (header block, a message naming the fault,
// the crash log from the faulting context) and the process then ends as it
// would have without capture. Everything the report needs is gathered now,
// and the report folder chosen: "Errors" beside the executable where that
// can be written, else the per-user folder for programName (null: the
// executable's name without extension). Call once at start, from the main
// thread (its handler gets the alternate stack); later calls change nothing.
// False when the system refused.
bool InstallCrashCapture(const char* programName = nullptr);
void UninstallCrashCapture();

// ---- section writers ---------------------------------------------------------------

// Every section goes through a writer: printf rules, one line per call, the
// writer adds the line end.
using ReportWriter = void (*)(void* target, const char* format, ...);

// The report file's writer: target is the file's platform::OsHandle; the line
// is cut at 1021 characters and ends in CR LF.
void WriteReportLine(void* target, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// The header block. title may be null; time null takes the local time now.
// Skipped while another header block is being written.
void WriteReportHeader(ReportWriter writer, void* target, uint32_t flags, const char* title,
                       const platform::LocalTime* time);

// The crash log. Without a context the registers and code dump are dropped,
// the caller's stack is traced and skipFrames + 1 frames are left out (this
// writer's own frame among them); with one, its pointers are used and no frame
// is skipped. Skipped while another crash log is being written.
void WriteCrashLog(ReportWriter writer, void* target, uint32_t flags, const platform::CpuContext* context,
                   int skipFrames);

// Dump rows of 16 bytes. A marked dump starts at the 16-byte boundary below
// the address and is preceded by a line marking the first byte.
void WriteMemoryDump(ReportWriter writer, void* target, uintptr_t address, size_t size, bool marked);

// The number of hex digits in an address field: 8, or 16 where addresses are
// 64 bits wide.
constexpr int REPORT_ADDRESS_DIGITS = static_cast<int>(sizeof(uintptr_t) * 2);

// The question the box asks and what its answers mean.
struct ReportQuestion {
  int text;             // index into the texts
  uint32_t boxType;     // buttons, icon, default button and modality
  int keepRunningAnswer;  // button that keeps running, or -1
  int breakAnswer;        // button that breaks into the debugger, or -1
};
ReportQuestion ChooseReportQuestion(bool debuggerPresent, bool allowContinue);

// ---- test seams --------------------------------------------------------------------

// Replacements for what reports take from the system, so they can be checked
// exactly. Fields left at their defaults use the system.
struct ReportHooks {
  const platform::LocalTime* localTime = nullptr;  // fixed clock
  const char* programPath = nullptr;               // the executable's full path
  const char* reportFolder = nullptr;              // instead of "<exe folder>Errors\"
  int debuggerPresent = -1;                        // 0 or 1; -1 asks the system
  // The box: returns the button chosen.
  int (*messageBox)(void* user, const char* text, const char* caption, uint32_t type) = nullptr;
  void (*debugOutput)(void* user, const char* text) = nullptr;
  void (*breakpoint)(void* user) = nullptr;
  // Called instead of terminating the process.
  void (*terminate)(void* user, uint32_t exitCode) = nullptr;
  // Called inside the fault handler once a crash report is written, before
  // the process ends; it must keep to what is safe there.
  void (*crashReported)(void* user) = nullptr;
  void* user = nullptr;
};
// Copies the hooks; null restores the system's services.
void SetReportHooks(const ReportHooks* hooks);
