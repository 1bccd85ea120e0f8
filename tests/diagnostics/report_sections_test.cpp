// The layout of the report's sections: header block, memory dumps, the
// box's question table and the line writer.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/run_program.h"
#include "diagnostics/diagnostics.h"
#include "platform/platform.h"
#include "report_test_util.h"

using namespace reporttest;

namespace {

Lines Header(uint32_t flags, const char* title, platform::LocalTime time) {
  Lines lines;
  WriteReportHeader(CollectLine, &lines, flags, title, &time);
  return lines;
}

std::string TimeLine(uint16_t hour, uint16_t minute) {
  platform::LocalTime time = SampleTime();
  time.hour = hour;
  time.minute = minute;
  const Lines lines = Header(REPORT_TIME, nullptr, time);
  EXPECT_EQ(lines.size(), 3u);
  return lines.size() == 3 ? lines[1] : std::string();
}

}  // namespace

TEST(ReportHeader, DefaultBlockWithTitle) {
  ReportHooks hooks;
  hooks.programPath = "C:\\Games\\tavrix.exe";
  SetReportHooks(&hooks);
  const Lines lines = Header(0, "Fatal", SampleTime());
  SetReportHooks(nullptr);
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[0], std::string(78, '='));
  EXPECT_EQ(lines[1], "Fatal");
  EXPECT_EQ(lines[2], "");
  EXPECT_EQ(lines[3], "Exe:      C:\\Games\\tavrix.exe");
  EXPECT_EQ(lines[4], "Time:     Mar  3, 2004  2:05:09.007 PM");
  // User before computer, each padded to ten columns.
  EXPECT_EQ(lines[5].substr(0, 10), "User:     ");
  EXPECT_GT(lines[5].size(), 10u);
  EXPECT_EQ(lines[6].substr(0, 10), "Computer: ");
  EXPECT_GT(lines[6].size(), 10u);
  EXPECT_EQ(lines[7], std::string(78, '-'));
}

TEST(ReportHeader, ChosenSectionsOnly) {
  const Lines noTitle = Header(REPORT_DEFAULT, nullptr, SampleTime());
  EXPECT_EQ(noTitle.size(), 6u);  // no title line without a title
  const Lines timeOnly = Header(REPORT_TIME, "ignored", SampleTime());
  ASSERT_EQ(timeOnly.size(), 3u);
  EXPECT_EQ(timeOnly[1], "Time:     Mar  3, 2004  2:05:09.007 PM");
}

TEST(ReportHeader, TwelveHourClock) {
  EXPECT_EQ(TimeLine(0, 0), "Time:     Mar  3, 2004 12:00:09.007 AM");
  EXPECT_EQ(TimeLine(12, 0), "Time:     Mar  3, 2004 12:00:09.007 PM");
  EXPECT_EQ(TimeLine(11, 59), "Time:     Mar  3, 2004 11:59:09.007 AM");
  EXPECT_EQ(TimeLine(23, 59), "Time:     Mar  3, 2004 11:59:09.007 PM");
  platform::LocalTime december = SampleTime();
  december.month = 12;
  december.day = 31;
  december.milliseconds = 999;
  EXPECT_EQ(Header(REPORT_TIME, nullptr, december)[1], "Time:     Dec 31, 2004  2:05:09.999 PM");
}

TEST(MemoryDump, MarkedDumpFourAboveBoundary) {
  constexpr int W = REPORT_ADDRESS_DIGITS;
  auto storage = std::make_unique<unsigned char[]>(2048);
  const uintptr_t base = (reinterpret_cast<uintptr_t>(storage.get()) + 15) & ~static_cast<uintptr_t>(15);
  auto* bytes = reinterpret_cast<unsigned char*>(base);
  for (int i = 0; i < 1100; ++i) bytes[i] = static_cast<unsigned char>(i);
  bytes[4] = 'A';
  bytes[5] = 0x7F;  // not printable

  Lines lines;
  WriteMemoryDump(CollectLine, &lines, base + 4, 1024, true);
  ASSERT_EQ(lines.size(), 66u);  // marker line and 65 rows

  const std::string& marker = lines[0];
  ASSERT_EQ(marker.size(), static_cast<size_t>(W + 70));
  EXPECT_EQ(marker.substr(0, 8), "* = addr");
  const size_t hex = static_cast<size_t>(W + 2) + 3 * 4 + 1;  // 23 with 8-digit addresses
  const size_t chr = static_cast<size_t>(W + 54) + 4;          // 66 with 8-digit addresses
  if (W == 8) {
    EXPECT_EQ(hex, 23u);
    EXPECT_EQ(chr, 66u);
  }
  for (size_t i = 8; i < marker.size(); ++i) {
    const bool marked = i == hex || i == hex + 1 || i == chr;
    EXPECT_EQ(marker[i], marked ? '*' : ' ') << "column " << i;
  }

  // The marks stand over the first byte's digits and its character.
  const std::string& first = lines[1];
  char address[32];
  snprintf(address, sizeof address, "%0*llX: ", W, static_cast<unsigned long long>(base));
  EXPECT_EQ(first.substr(0, static_cast<size_t>(W + 2)), address);
  EXPECT_EQ(first.substr(hex, 2), "41");
  EXPECT_EQ(first[chr], 'A');
  EXPECT_EQ(first[chr + 1], '.');
  EXPECT_EQ(first.substr(static_cast<size_t>(W + 2), 13), "00 01 02 03  ");
  EXPECT_EQ(first.size(), static_cast<size_t>(W + 70));

  snprintf(address, sizeof address, "%0*llX: ", W, static_cast<unsigned long long>(base + 64 * 16));
  EXPECT_EQ(lines[65].substr(0, static_cast<size_t>(W + 2)), address);
}

TEST(MemoryDump, AlignedMarkedDumpAndPlainDump) {
  auto storage = std::make_unique<unsigned char[]>(2048);
  const uintptr_t base = (reinterpret_cast<uintptr_t>(storage.get()) + 15) & ~static_cast<uintptr_t>(15);
  memset(reinterpret_cast<void*>(base), 'x', 1100);
  Lines marked;
  WriteMemoryDump(CollectLine, &marked, base, 1024, true);
  EXPECT_EQ(marked.size(), 65u);  // marker line and 64 rows
  EXPECT_EQ(marked[0].substr(REPORT_ADDRESS_DIGITS + 2, 2), "**");

  Lines plain;
  WriteMemoryDump(CollectLine, &plain, base + 3, 16, false);
  ASSERT_EQ(plain.size(), 1u);  // no marker, starts at the address itself
  char address[32];
  snprintf(address, sizeof address, "%0*llX: 78 78", REPORT_ADDRESS_DIGITS,
           static_cast<unsigned long long>(base + 3));
  EXPECT_EQ(plain[0].substr(0, strlen(address)), address);
  EXPECT_EQ(plain[0].substr(plain[0].size() - 16), std::string(16, 'x'));
}

TEST(MemoryDump, UnreadableMemory) {
  Lines lines;
  WriteMemoryDump(CollectLine, &lines, 0x20, 32, false);
  ASSERT_EQ(lines.size(), 2u);
  char expected[64];
  snprintf(expected, sizeof expected, "%0*X: <can't read from this address>", REPORT_ADDRESS_DIGITS, 0x20);
  EXPECT_EQ(lines[0], expected);
  snprintf(expected, sizeof expected, "%0*X: <can't read from this address>", REPORT_ADDRESS_DIGITS, 0x30);
  EXPECT_EQ(lines[1], expected);
}

TEST(ReportQuestionTable, AllFourCombinations) {
  constexpr uint32_t kAlways = 0x2000 | 0x10000 | 0x40000;
  const ReportQuestion both = ChooseReportQuestion(true, true);
  EXPECT_EQ(both.text, 13);
  EXPECT_EQ(both.boxType, 0x3u | 0x30u | 0x100u | kAlways);
  EXPECT_EQ(both.keepRunningAnswer, 2);  // Cancel
  EXPECT_EQ(both.breakAnswer, 6);        // Yes

  const ReportQuestion debuggerOnly = ChooseReportQuestion(true, false);
  EXPECT_EQ(debuggerOnly.text, 12);
  EXPECT_EQ(debuggerOnly.boxType, 0x4u | 0x10u | 0x100u | kAlways);
  EXPECT_EQ(debuggerOnly.keepRunningAnswer, -1);
  EXPECT_EQ(debuggerOnly.breakAnswer, 6);

  const ReportQuestion continueOnly = ChooseReportQuestion(false, true);
  EXPECT_EQ(continueOnly.text, 10);
  EXPECT_EQ(continueOnly.boxType, 0x1u | 0x30u | 0x100u | kAlways);
  EXPECT_EQ(continueOnly.keepRunningAnswer, 1);  // OK
  EXPECT_EQ(continueOnly.breakAnswer, -1);

  const ReportQuestion neither = ChooseReportQuestion(false, false);
  EXPECT_EQ(neither.text, 9);
  EXPECT_EQ(neither.boxType, 0x0u | 0x10u | kAlways);
  EXPECT_EQ(neither.keepRunningAnswer, -1);
  EXPECT_EQ(neither.breakAnswer, -1);
}

TEST(ReportTextTable, BuiltInTextsWithoutResources) {
  char text[REPORT_TEXT_SIZE];
  LoadReportText(0, text);
  EXPECT_STREQ(text, "ERROR #%u (0x%08x)");
  LoadReportText(13, text);
  EXPECT_STREQ(text, ReportTexts[13]);
  LoadReportText(REPORT_TEXT_COUNT, text);
  EXPECT_STREQ(text, "");
}

TEST(ReportErrorText, SystemTextAndBadArguments) {
  char text[256];
  ASSERT_GT(FormatErrorText(2, text, sizeof text), 0u);
  std::string system;
  ASSERT_TRUE(platform::FormatSystemMessage(platform::kErrorFileNotFound, system));
  EXPECT_EQ(text, system);
  char tiny[4];
  EXPECT_EQ(FormatErrorText(2, tiny, sizeof tiny), 0u);

  platform::SetLastError(0);
  EXPECT_EQ(FormatErrorText(2, nullptr, 10), 0u);
  EXPECT_EQ(platform::GetLastError(), 87u);
  platform::SetLastError(0);
  EXPECT_EQ(FormatErrorText(2, text, 0), 0u);
  EXPECT_EQ(platform::GetLastError(), 87u);
  // A facility with a registered module and no message table gives nothing.
  EXPECT_EQ(FormatErrorText(0x85100001u, text, sizeof text), 0u);
}

TEST(ReportLineWriter, CutsLongLinesAndEndsWithCrLf) {
  const testsupport::TempDir scratch("diag_line");
  const auto path = std::filesystem::path(scratch / "line.txt");
  platform::OsHandle file = platform::CreateFile(path.string().c_str(), platform::kGenericWrite, 0,
                                                 platform::kCreateAlways, platform::kFileAttributeNormal);
  ASSERT_TRUE(platform::IsValidHandle(file));
  const std::string longText(1500, 'z');
  WriteReportLine(file, "%s", longText.c_str());
  WriteReportLine(file, "%d-%s", 7, "x");
  platform::CloseHandle(file);
  const std::string written = ReadFile(path);
  EXPECT_EQ(written, std::string(1021, 'z') + "\r\n7-x\r\n");
}
