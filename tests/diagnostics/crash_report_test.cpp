// Crash logs over real stacks: the frames of the code that raised the
// report, the manual frame chain, registers and dumps of a captured context.
#include <cstdio>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "diagnostics/diagnostics.h"
#include "platform/platform.h"
#include "report_test_util.h"

using namespace reporttest;

// Symbols are only named where the executable exports them to the dynamic
// linker; Windows builds of the tests carry no symbols the debug-help
// library reads.
#if defined(_WIN32)
constexpr bool kNamedFrames = false;
#else
constexpr bool kNamedFrames = true;
#endif

namespace crashtest {

// Kept out of line so that each is a frame of its own.
__attribute__((noinline)) int RaiseFromInnerFrame(int depth) {
  const int result = ReportFatalError(5, "crash_report_test.cpp", 10 + depth, nullptr, 1, 0);
  return result + depth;
}

__attribute__((noinline)) int RaiseFromOuterFrame(int depth) { return RaiseFromInnerFrame(depth + 1) + 1; }

__attribute__((noinline)) Lines CrashLogWithContext(uint32_t flags, platform::CpuContext* context) {
  platform::CaptureCallerContext(context);
  Lines lines;
  WriteCrashLog(CollectLine, &lines, flags, context, 7);
  return lines;
}

}  // namespace crashtest

namespace {

class CrashReport : public ReportFixture {};

Lines Section(const Lines& lines, const std::string& title) {
  const size_t at = IndexOf(lines, "    " + title);
  Lines section;
  for (size_t i = at + 3; i < lines.size() && lines[i] != std::string(40, '-') && lines[i] != std::string(78, '-');
       ++i) {
    section.push_back(lines[i]);
  }
  while (!section.empty() && section.back().empty()) section.pop_back();
  return section;
}

std::string Hex(uintptr_t value) {
  char text[32];
  snprintf(text, sizeof text, "%0*llX", REPORT_ADDRESS_DIGITS, static_cast<unsigned long long>(value));
  return text;
}

}  // namespace

TEST_F(CrashReport, StackTraceNamesTheCallersFrames) {
  box_.answer = 1;
  EXPECT_EQ(crashtest::RaiseFromOuterFrame(0), 3);

  const Lines lines = SplitCrLf(ReadFile(ErrorsFolder() / "2004-03-03 14.05.09 Error.txt"));
  const Lines trace = Section(lines, "Stack Trace (Using DBGHELP.DLL)");
  ASSERT_GE(trace.size(), 3u);
  // The reporter's own frames are left out: the trace opens with the frame
  // that raised the report.
  if (kNamedFrames) {
    EXPECT_NE(trace[0].find("crashtest::RaiseFromInnerFrame(int)+"), std::string::npos) << trace[0];
    EXPECT_NE(trace[1].find("crashtest::RaiseFromOuterFrame(int)+"), std::string::npos) << trace[1];
    EXPECT_NE(trace[2].find("StackTraceNamesTheCallersFrames"), std::string::npos) << trace[2];
    char program[4096];
    ASSERT_GT(platform::GetModuleFileName(program, sizeof program), 0u);
    const std::string name = std::filesystem::path(program).filename().string();
    EXPECT_NE(trace[0].find(" " + name + " "), std::string::npos) << trace[0];
    for (const std::string& line : trace) EXPECT_EQ(line.find("ReportFatalError"), std::string::npos) << line;
  }
  for (size_t i = 0; i < trace.size(); ++i) {
    EXPECT_GE(trace[i].size(), static_cast<size_t>(REPORT_ADDRESS_DIGITS + 14)) << trace[i];
    EXPECT_EQ(trace[i][REPORT_ADDRESS_DIGITS], ' ') << trace[i];
  }

  // The frame chain shows the same frames with their logical addresses in
  // the test program.
  const Lines manual = Section(lines, "Stack Trace (Manual)");
  ASSERT_GE(manual.size(), 3u);
  const std::string pad(static_cast<size_t>(REPORT_ADDRESS_DIGITS - 8), ' ');
  const std::string heading = "Address  " + pad + "Frame    " + pad + "Logical addr  Module";
  EXPECT_EQ(manual[0], heading);
  EXPECT_EQ(manual[1], "");
  char program[4096];
  const uint32_t length = platform::GetModuleFileName(program, sizeof program);
  ASSERT_GT(length, 0u);
  int inProgram = 0;
  for (size_t i = 2; i < manual.size(); ++i) {
    const std::string& line = manual[i];
    ASSERT_GT(line.size(), static_cast<size_t>(2 * REPORT_ADDRESS_DIGITS + 16)) << line;
    EXPECT_EQ(line[static_cast<size_t>(2 * REPORT_ADDRESS_DIGITS + 6)], ':') << line;
    if (line.size() >= length && line.compare(line.size() - length, length, program) == 0) ++inProgram;
  }
  // Inner, outer and the test body at least, all compiled with frame pointers.
  EXPECT_GE(inProgram, 3);
}

TEST_F(CrashReport, CapturedContextGivesRegistersAndDumps) {
  platform::CpuContext context;
  const Lines lines = crashtest::CrashLogWithContext(0, &context);
  ASSERT_GT(lines.size(), 10u);
  EXPECT_EQ(lines.front(), std::string(78, '-'));
  EXPECT_EQ(lines.back(), std::string(78, '-'));

  const Lines trace = Section(lines, "Stack Trace (Using DBGHELP.DLL)");
  ASSERT_GE(trace.size(), 2u);
  // No frame is skipped with a context: the first is the one that captured.
  EXPECT_EQ(trace[0].substr(0, static_cast<size_t>(REPORT_ADDRESS_DIGITS)), Hex(context.ip));
  if (kNamedFrames) {
    EXPECT_NE(trace[0].find("crashtest::CrashLogWithContext"), std::string::npos) << trace[0];
  }

  const Lines registers = Section(lines, "x86 Registers");
  ASSERT_EQ(registers.size(), 3u);
  EXPECT_EQ(registers[1].substr(0, 4 + REPORT_ADDRESS_DIGITS), "EDI=" + Hex(context.di));
  EXPECT_NE(registers[1].find("  ESP=" + Hex(context.sp) + "  EIP=" + Hex(context.ip) + "  FLG="), std::string::npos);
  // The selectors line up under the registers above them.
  EXPECT_EQ(registers[2].find("DS ="), registers[0].find("EBX="));
  EXPECT_EQ(registers[2].find("GS ="), registers[0].find("ESI=") + REPORT_ADDRESS_DIGITS + 6);

  const Lines dump = Section(lines, "Memory Dump");
  ASSERT_GE(dump.size(), 3u);
  EXPECT_EQ(dump[0], "Code: 16 bytes starting at (EIP = " + Hex(context.ip) + ")");
  EXPECT_EQ(dump[1], "");
  EXPECT_EQ(dump[2].substr(0, static_cast<size_t>(REPORT_ADDRESS_DIGITS + 2)), Hex(context.ip) + ": ");
  EXPECT_EQ(dump[3], "");
  EXPECT_EQ(dump[4], "");
  EXPECT_EQ(dump[5], "Stack: 1024 bytes starting at (ESP = " + Hex(context.sp) + ")");
  EXPECT_EQ(dump[7].substr(0, 8), "* = addr");
  const size_t rows = context.sp % 16 == 0 ? 64 : 65;
  ASSERT_GE(dump.size(), 8 + rows);
  EXPECT_EQ(dump[8].substr(0, static_cast<size_t>(REPORT_ADDRESS_DIGITS)), Hex(context.sp & ~uintptr_t{15}));
}

TEST_F(CrashReport, ParametersAndDebugHelpDiagnostics) {
  platform::CpuContext context;
  const Lines lines = crashtest::CrashLogWithContext(
      REPORT_STACK_DEBUG_HELP | REPORT_PARAMETERS | REPORT_DEBUG_HELP_DIAGNOSTICS, &context);
  EXPECT_EQ(IndexOf(lines, "    x86 Registers"), lines.size());
  EXPECT_EQ(IndexOf(lines, "    Stack Trace (Manual)"), lines.size());
  EXPECT_EQ(IndexOf(lines, "    Memory Dump"), lines.size());
  const Lines trace = Section(lines, "Stack Trace (Using DBGHELP.DLL)");
  ASSERT_GE(trace.size(), 3u);
  int frames = 0;
  for (size_t i = 0; i < trace.size(); ++i) {
    if (trace[i].rfind("parameters: (0x", 0) == 0) {
      ++frames;
      ASSERT_LT(i + 1, trace.size());
      EXPECT_EQ(trace[i + 1], "");
      EXPECT_EQ(trace[i].size(), static_cast<size_t>(13 + 4 * (REPORT_ADDRESS_DIGITS + 2) + 3 * 2 + 1)) << trace[i];
    }
  }
  EXPECT_GE(frames, 2);
  EXPECT_EQ(trace.back().rfind("**** StackWalk() returned FALSE, error: ", 0), 0u) << trace.back();
}

TEST_F(CrashReport, DefaultSectionsAddToChosenOnes) {
  platform::CpuContext context;
  const Lines lines = crashtest::CrashLogWithContext(REPORT_DEFAULT | REPORT_DEBUG_HELP_DIAGNOSTICS, &context);
  EXPECT_LT(IndexOf(lines, "    x86 Registers"), lines.size());
  EXPECT_LT(IndexOf(lines, "    Stack Trace (Manual)"), lines.size());
  const Lines trace = Section(lines, "Stack Trace (Using DBGHELP.DLL)");
  ASSERT_FALSE(trace.empty());
  EXPECT_EQ(trace.back().rfind("**** StackWalk() returned FALSE, error: ", 0), 0u);
}
