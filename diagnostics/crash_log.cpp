// The crash log: stack traces, registers and memory dumps.
#include <atomic>
#include <cstring>

#include "diagnostics/diagnostics.h"
#include "diagnostics/report_internal.h"
#include "diagnostics/system.h"
#include "platform/platform.h"

namespace {

constexpr int W = REPORT_ADDRESS_DIGITS;
constexpr int kMaxFrames = 256;
constexpr int kMaxManualFrames = 4096;
constexpr size_t kCodeDumpSize = 16;
constexpr size_t kStackDumpSize = 1024;
constexpr size_t kRowBytes = 16;
// Columns of a dump row: the address field and ": ", four groups of
// "XX XX XX XX  ", then the characters.
constexpr int kRowHexColumn = W + 2;
constexpr int kRowCharColumn = kRowHexColumn + 4 * 13;
constexpr int kRowWidth = kRowCharColumn + 16;

constexpr size_t kPathSize = 1024;
constexpr size_t kNameSize = 512;
constexpr size_t kLineSize = 2048;

std::atomic<int> crashLogWriters{0};
// The frames of one walk; only one crash log is written at a time.
platform::StackFrame walkFrames[kMaxFrames];

using Wide = unsigned long long;

Wide Hex(uintptr_t value) { return static_cast<Wide>(value); }

const char kDashes40[] = "----------------------------------------";
const char kDashes78[] = "------------------------------------------------------------------------------";
static_assert(sizeof kDashes40 == 41 && sizeof kDashes78 == 79);

const char* AfterLastSeparator(const char* path) {
  const char* name = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '\\' || *p == '/') name = p + 1;
  }
  return name;
}

void WriteSectionTitle(ReportWriter writer, void* target, const char* title) {
  writer(target, "");
  writer(target, "%s", kDashes40);
  writer(target, "    %s", title);
  writer(target, "%s", kDashes40);
  writer(target, "");
}

// One frame of the debug-help trace: the address, module, symbol and line,
// and the parameters when asked for. at is the address looked up.
void WriteDebugHelpFrame(ReportWriter writer, void* target, uint32_t flags, const platform::StackFrame& f,
                         uintptr_t at) {
  const bool diagnostics = (flags & REPORT_DEBUG_HELP_DIAGNOSTICS) != 0;
  char modulePath[kPathSize];
  const char* module = "<unknown module>";
  uintptr_t moduleAddress = 0;
  const bool haveModule = platform::SymbolModule(at, modulePath, sizeof modulePath, &moduleAddress);
  if (haveModule) {
    module = AfterLastSeparator(modulePath);
  } else if (diagnostics) {
    writer(target, "**** SymGetModuleInfo() failed, error: %d", static_cast<int>(platform::GetLastError()));
  }
  char symbol[kNameSize];
  uintptr_t displacement = 0;
  if (platform::SymbolName(at, symbol, sizeof symbol, &displacement)) {
    displacement += f.pc - at;
  } else {
    report::FormatText(symbol, sizeof symbol, "%s", "<unknown symbol>");
    displacement = 0;
    if (diagnostics) {
      writer(target, "**** SymGetSymFromAddr() failed, error: %d", static_cast<int>(platform::GetLastError()));
    }
  }
  char file[kPathSize];
  uint32_t line = 0;
  char text[kLineSize];
  size_t length = 0;
  if (platform::SymbolLine(at, file, sizeof file, &line)) {
    length = report::FormatText(text, sizeof text, "%0*llX %-12s %s+%lld (%s,%d)", W, Hex(f.pc), module, symbol,
                                static_cast<long long>(displacement), AfterLastSeparator(file),
                                static_cast<int>(line));
  } else {
    if (diagnostics) {
      writer(target, "**** SymGetLineFromAddr() failed, error: %d", static_cast<int>(platform::GetLastError()));
    }
    length = report::FormatText(text, sizeof text, "%0*llX %-12s %s+%lld", W, Hex(f.pc), module, symbol,
                                static_cast<long long>(displacement));
  }
  // After the columns, the module's full path and the address its
  // debug information knows (of the call, for a return address), for
  // addr2line and the like.
  if (haveModule && length < sizeof text) {
    report::FormatText(text + length, sizeof text - length, " [%s @ 0x%llX]", modulePath, Hex(moduleAddress));
  }
  writer(target, "%s", text);
  if ((flags & REPORT_PARAMETERS) != 0) {
    writer(target, "parameters: (0x%0*llX, 0x%0*llX, 0x%0*llX, 0x%0*llX)", W, Hex(f.params[0]), W,
           Hex(f.params[1]), W, Hex(f.params[2]), W, Hex(f.params[3]));
    writer(target, "");
  }
}

void WriteDebugHelpTrace(ReportWriter writer, void* target, uint32_t flags, const report::TraceStart& start,
                         int skip) {
  const bool diagnostics = (flags & REPORT_DEBUG_HELP_DIAGNOSTICS) != 0;
  WriteSectionTitle(writer, target, "Stack Trace (Using DBGHELP.DLL)");
  const bool wasLoaded = platform::DebugHelpIsLoaded();
  if (!wasLoaded && !platform::DebugHelpLoad()) {
    writer(target, "****  Couldn't load DBGHELP.DLL, error: %d", static_cast<int>(platform::GetLastError()));
    return;
  }
  if (!platform::DebugHelpInitialize()) {
    writer(target, "****  Couldn't initialize Debug Help library, error: %d",
           static_cast<int>(platform::GetLastError()));
  } else {
    uint32_t endError = 0;
    const int count = platform::WalkStack(start.pc, start.frame, start.stack, walkFrames, kMaxFrames, &endError);
    for (int i = 0; i < count; ++i) {
      const platform::StackFrame& f = walkFrames[i];
      if (f.pc == 0) {
        if (diagnostics) writer(target, "**** StackWalk() returned zero address - skipping stack frame");
        continue;
      }
      if (skip > 0) {
        --skip;
        continue;
      }
      // A return address names the instruction after the call, which may
      // already belong to the next function (a call that does not return
      // often ends its function); the call itself is looked up instead.
      WriteDebugHelpFrame(writer, target, flags, f, i == 0 && start.exact ? f.pc : f.pc - 1);
    }
    if (diagnostics) writer(target, "**** StackWalk() returned FALSE, error: %d", static_cast<int>(endError));
    writer(target, "");
  }
  if (!wasLoaded) platform::DebugHelpUnload();
}

struct ManualTrace {
  ReportWriter writer;
  void* target;
  int skip;
  int index;
};

bool WriteManualFrame(void* arg, uintptr_t pc, uintptr_t frame) {
  auto& trace = *static_cast<ManualTrace*>(arg);
  if (trace.index++ < trace.skip) return true;
  char module[kPathSize];
  uint32_t section = 0;
  uintptr_t offset = 0;
  if (!platform::GetModuleOfAddress(pc, module, sizeof module, &section, &offset)) {
    report::FormatText(module, sizeof module, "%s", "<unknown>");
    section = 0;
    offset = 0;
  }
  trace.writer(trace.target, "%0*llX %0*llX %04X:%08llX %s", W, Hex(pc), W, Hex(frame), section, Hex(offset),
               module);
  return true;
}

void WriteManualTrace(ReportWriter writer, void* target, uintptr_t pc, uintptr_t frame, uintptr_t stack,
                      int skip) {
  WriteSectionTitle(writer, target, "Stack Trace (Manual)");
  writer(target, "%-*s%-*s%s", W + 1, "Address", W + 1, "Frame", "Logical addr  Module");
  writer(target, "");
  ManualTrace trace{writer, target, skip, 0};
  if (platform::WalkByUnwindTables(pc, frame, stack, kMaxManualFrames, WriteManualFrame, &trace)) return;
  constexpr size_t kLinkSize = 2 * sizeof(uintptr_t);
  for (int index = 0; index < kMaxManualFrames; ++index) {
    WriteManualFrame(&trace, pc, frame);
    uintptr_t link[2];
    if (!platform::IsWritableMemory(reinterpret_cast<const void*>(frame), kLinkSize) ||
        !platform::ReadMemory(reinterpret_cast<const void*>(frame), link, sizeof link)) {
      return;
    }
    const uintptr_t nextFrame = link[0];
    if (nextFrame % sizeof(uintptr_t) != 0 || nextFrame <= frame ||
        !platform::IsWritableMemory(reinterpret_cast<const void*>(nextFrame), kLinkSize)) {
      return;
    }
    pc = link[1];
    frame = nextFrame;
  }
}

void WriteRegisters(ReportWriter writer, void* target, const platform::CpuContext& c) {
  WriteSectionTitle(writer, target, "x86 Registers");
  writer(target, "EAX=%0*llX  EBX=%0*llX  ECX=%0*llX  EDX=%0*llX  ESI=%0*llX", W, Hex(c.ax), W, Hex(c.bx), W,
         Hex(c.cx), W, Hex(c.dx), W, Hex(c.si));
  writer(target, "EDI=%0*llX  EBP=%0*llX  ESP=%0*llX  EIP=%0*llX  FLG=%08X", W, Hex(c.di), W, Hex(c.bp), W,
         Hex(c.sp), W, Hex(c.ip), static_cast<unsigned>(c.flags));
  // The selectors stay 4 digits wide; the gap keeps them under the columns
  // of the registers above.
  char gap[W + 2 - 4 + 1];
  for (int i = 0; i < W + 2 - 4; ++i) gap[i] = ' ';
  gap[W + 2 - 4] = '\0';
  const char* g = gap;
  writer(target, "CS =%04X%sDS =%04X%sES =%04X%sSS =%04X%sFS =%04X%sGS =%04X", c.cs, g, c.ds, g, c.es, g, c.ss, g,
         c.fs, g, c.gs);
  writer(target, "");
}

}  // namespace

void WriteMemoryDump(ReportWriter writer, void* target, uintptr_t address, size_t size, bool marked) {
  uintptr_t row = address;
  size_t rows = (size + kRowBytes - 1) / kRowBytes;
  if (marked) {
    const size_t column = address % kRowBytes;
    row = address - column;
    rows = size / kRowBytes + (column != 0 ? 1 : 0);
    char marker[kRowWidth + 1];
    memset(marker, ' ', kRowWidth);
    marker[kRowWidth] = '\0';
    memcpy(marker, "* = addr", 8);
    const size_t hexColumn = static_cast<size_t>(kRowHexColumn) + 3 * column + column / 4;
    marker[hexColumn] = '*';
    marker[hexColumn + 1] = '*';
    marker[static_cast<size_t>(kRowCharColumn) + column] = '*';
    writer(target, "%s", marker);
  }
  for (size_t r = 0; r < rows; ++r, row += kRowBytes) {
    unsigned char b[kRowBytes];
    if (!platform::ReadMemory(reinterpret_cast<const void*>(row), b, sizeof b)) {
      writer(target, "%0*llX: <can't read from this address>", W, Hex(row));
      continue;
    }
    char chars[kRowBytes + 1];
    for (size_t i = 0; i < kRowBytes; ++i) chars[i] = (b[i] >= 0x20 && b[i] <= 0x7E) ? static_cast<char>(b[i]) : '.';
    chars[kRowBytes] = '\0';
    writer(target,
           "%0*llX: %02X %02X %02X %02X  %02X %02X %02X %02X  %02X %02X %02X %02X  %02X %02X %02X %02X  %s", W,
           Hex(row), b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14],
           b[15], chars);
    if (row + kRowBytes < row) break;
  }
}

namespace {

REPORT_NOINLINE uintptr_t CallerInstruction() { return reinterpret_cast<uintptr_t>(REPORT_RETURN_ADDRESS()); }

// The sections in their order. context may be null (registers and code dump
// are then dropped); the traces start at start, leaving out skip frames.
void WriteCrashLogBody(ReportWriter writer, void* target, uint32_t flags, const platform::CpuContext* context,
                       const report::TraceStart& start, int skip) {
  if (context == nullptr) flags &= ~(REPORT_REGISTERS | REPORT_CODE_DUMP);
  // Every trace step and dump row asks whether memory may be read; one copy
  // of the memory map answers them all.
  const bool snapshot = platform::BeginMemorySnapshot();
  writer(target, "%s", kDashes78);
  if ((flags & REPORT_STACK_DEBUG_HELP) != 0) {
    WriteDebugHelpTrace(writer, target, flags, start, skip);
  }
  if ((flags & REPORT_STACK_MANUAL) != 0) WriteManualTrace(writer, target, start.pc, start.frame, start.stack, skip);
  if ((flags & REPORT_REGISTERS) != 0) WriteRegisters(writer, target, *context);
  if ((flags & (REPORT_CODE_DUMP | REPORT_STACK_DUMP)) != 0) {
    WriteSectionTitle(writer, target, "Memory Dump");
    if ((flags & REPORT_CODE_DUMP) != 0) {
      writer(target, "Code: %d bytes starting at (EIP = %0*llX)", static_cast<int>(kCodeDumpSize), W,
             Hex(context->ip));
      writer(target, "");
      WriteMemoryDump(writer, target, context->ip, kCodeDumpSize, false);
      writer(target, "");
      writer(target, "");
    }
    if ((flags & REPORT_STACK_DUMP) != 0) {
      const uintptr_t stack = context != nullptr ? context->sp : start.stack;
      writer(target, "Stack: %d bytes starting at (ESP = %0*llX)", static_cast<int>(kStackDumpSize), W, Hex(stack));
      writer(target, "");
      WriteMemoryDump(writer, target, stack, kStackDumpSize, true);
      writer(target, "");
      writer(target, "");
    }
  }
  writer(target, "%s", kDashes78);
  if (snapshot) platform::EndMemorySnapshot();
}

uint32_t WithDefaults(uint32_t flags, bool haveContext) {
  if (flags == 0 || (flags & REPORT_DEFAULT) != 0) {
    flags |= REPORT_CRASH_DEFAULTS;
    if (haveContext) flags |= REPORT_CRASH_CONTEXT_DEFAULTS;
  }
  return flags;
}

}  // namespace

REPORT_NOINLINE void WriteCrashLog(ReportWriter writer, void* target, uint32_t flags,
                                   const platform::CpuContext* context, int skipFrames) {
  flags = WithDefaults(flags, context != nullptr);
  if (crashLogWriters.fetch_add(1) != 0) {
    crashLogWriters.fetch_sub(1);
    return;
  }
  report::TraceStart start;
  int skip = 0;
  if (context != nullptr) {
    start = report::TraceStart{context->ip, context->bp, context->sp, false};
  } else {
    // The frame address stands for the stack pointer too: it lies inside this
    // writer's frame, above everything the writer calls.
    const auto frame = reinterpret_cast<uintptr_t>(REPORT_FRAME_ADDRESS());
    start = report::TraceStart{CallerInstruction(), frame, frame, false};
    skip = (skipFrames < 0 ? 0 : skipFrames) + 1;
  }
  WriteCrashLogBody(writer, target, flags, context, start, skip);
  crashLogWriters.fetch_sub(1);
}

void report::WriteFaultCrashLog(ReportWriter writer, void* target, uint32_t flags,
                                const platform::CpuContext& context, const TraceStart& start) {
  flags = WithDefaults(flags, true);
  if (crashLogWriters.fetch_add(1) != 0) {
    crashLogWriters.fetch_sub(1);
    return;
  }
  WriteCrashLogBody(writer, target, flags, &context, start, 0);
  crashLogWriters.fetch_sub(1);
}
