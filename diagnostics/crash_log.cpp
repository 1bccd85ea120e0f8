// The crash log: stack traces, registers and memory dumps.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "diagnostics/diagnostics.h"
#include "diagnostics/report_internal.h"
#include "platform/diag.h"
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

std::atomic<int> crashLogWriters{0};

using Wide = unsigned long long;

Wide Hex(uintptr_t value) { return static_cast<Wide>(value); }

std::string AfterLastSeparator(const std::string& path) {
  const size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

void WriteSectionTitle(ReportWriter writer, void* target, const char* title) {
  const std::string rule(40, '-');
  writer(target, "");
  writer(target, "%s", rule.c_str());
  writer(target, "    %s", title);
  writer(target, "%s", rule.c_str());
  writer(target, "");
}

void WriteDebugHelpTrace(ReportWriter writer, void* target, uint32_t flags, uintptr_t pc, uintptr_t frame,
                         uintptr_t stack, int skip) {
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
    platform::StackFrame frames[kMaxFrames];
    uint32_t endError = 0;
    const int count = platform::WalkStack(pc, frame, stack, frames, kMaxFrames, &endError);
    for (int i = 0; i < count; ++i) {
      const platform::StackFrame& f = frames[i];
      if (f.pc == 0) {
        if (diagnostics) writer(target, "**** StackWalk() returned zero address - skipping stack frame");
        continue;
      }
      if (skip > 0) {
        --skip;
        continue;
      }
      std::string module;
      if (platform::SymbolModuleImage(f.pc, module)) {
        module = AfterLastSeparator(module);
      } else {
        module = "<unknown module>";
        if (diagnostics) {
          writer(target, "**** SymGetModuleInfo() failed, error: %d", static_cast<int>(platform::GetLastError()));
        }
      }
      std::string symbol;
      uintptr_t displacement = 0;
      if (!platform::SymbolName(f.pc, symbol, &displacement)) {
        symbol = "<unknown symbol>";
        displacement = 0;
        if (diagnostics) {
          writer(target, "**** SymGetSymFromAddr() failed, error: %d", static_cast<int>(platform::GetLastError()));
        }
      }
      std::string file;
      uint32_t line = 0;
      if (platform::SymbolLine(f.pc, file, &line)) {
        writer(target, "%0*llX %-12s %s+%lld (%s,%d)", W, Hex(f.pc), module.c_str(), symbol.c_str(),
               static_cast<long long>(displacement), AfterLastSeparator(file).c_str(), static_cast<int>(line));
      } else {
        if (diagnostics) {
          writer(target, "**** SymGetLineFromAddr() failed, error: %d", static_cast<int>(platform::GetLastError()));
        }
        writer(target, "%0*llX %-12s %s+%lld", W, Hex(f.pc), module.c_str(), symbol.c_str(),
               static_cast<long long>(displacement));
      }
      if ((flags & REPORT_PARAMETERS) != 0) {
        writer(target, "parameters: (0x%0*llX, 0x%0*llX, 0x%0*llX, 0x%0*llX)", W, Hex(f.params[0]), W,
               Hex(f.params[1]), W, Hex(f.params[2]), W, Hex(f.params[3]));
        writer(target, "");
      }
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
  std::string module;
  uint32_t section = 0;
  uintptr_t offset = 0;
  if (!platform::GetModuleOfAddress(pc, module, &section, &offset)) {
    module = "<unknown>";
    section = 0;
    offset = 0;
  }
  trace.writer(trace.target, "%0*llX %0*llX %04X:%08llX %s", W, Hex(pc), W, Hex(frame), section, Hex(offset),
               module.c_str());
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
  const std::string gap(static_cast<size_t>(W + 2 - 4), ' ');
  const char* g = gap.c_str();
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
    std::string marker(kRowWidth, ' ');
    memcpy(&marker[0], "* = addr", 8);
    const size_t hexColumn = static_cast<size_t>(kRowHexColumn) + 3 * column + column / 4;
    marker[hexColumn] = '*';
    marker[hexColumn + 1] = '*';
    marker[static_cast<size_t>(kRowCharColumn) + column] = '*';
    writer(target, "%s", marker.c_str());
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

}  // namespace

REPORT_NOINLINE void WriteCrashLog(ReportWriter writer, void* target, uint32_t flags,
                                   const platform::CpuContext* context, int skipFrames) {
  if (flags == 0 || (flags & REPORT_DEFAULT) != 0) {
    flags |= REPORT_CRASH_DEFAULTS;
    if (context != nullptr) flags |= REPORT_CRASH_CONTEXT_DEFAULTS;
  }
  if (crashLogWriters.fetch_add(1) != 0) {
    crashLogWriters.fetch_sub(1);
    return;
  }
  uintptr_t pc = 0;
  uintptr_t frame = 0;
  uintptr_t stack = 0;
  int skip = 0;
  if (context != nullptr) {
    pc = context->ip;
    frame = context->bp;
    stack = context->sp;
  } else {
    flags &= ~(REPORT_REGISTERS | REPORT_CODE_DUMP);
    pc = CallerInstruction();
    // The frame address stands for the stack pointer too: it lies inside this
    // writer's frame, above everything the writer calls.
    frame = reinterpret_cast<uintptr_t>(REPORT_FRAME_ADDRESS());
    stack = frame;
    skip = (skipFrames < 0 ? 0 : skipFrames) + 1;
  }

  const std::string rule(78, '-');
  writer(target, "%s", rule.c_str());
  if ((flags & REPORT_STACK_DEBUG_HELP) != 0) WriteDebugHelpTrace(writer, target, flags, pc, frame, stack, skip);
  if ((flags & REPORT_STACK_MANUAL) != 0) WriteManualTrace(writer, target, pc, frame, stack, skip);
  if ((flags & REPORT_REGISTERS) != 0 && context != nullptr) WriteRegisters(writer, target, *context);
  if ((flags & (REPORT_CODE_DUMP | REPORT_STACK_DUMP)) != 0) {
    WriteSectionTitle(writer, target, "Memory Dump");
    if ((flags & REPORT_CODE_DUMP) != 0 && context != nullptr) {
      writer(target, "Code: %d bytes starting at (EIP = %0*llX)", static_cast<int>(kCodeDumpSize), W, Hex(pc));
      writer(target, "");
      WriteMemoryDump(writer, target, pc, kCodeDumpSize, false);
      writer(target, "");
      writer(target, "");
    }
    if ((flags & REPORT_STACK_DUMP) != 0) {
      writer(target, "Stack: %d bytes starting at (ESP = %0*llX)", static_cast<int>(kStackDumpSize), W, Hex(stack));
      writer(target, "");
      WriteMemoryDump(writer, target, stack, kStackDumpSize, true);
      writer(target, "");
      writer(target, "");
    }
  }
  writer(target, "%s", rule.c_str());
  crashLogWriters.fetch_sub(1);
}
