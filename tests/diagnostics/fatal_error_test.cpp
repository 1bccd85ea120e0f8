// The fatal-error flow: message, box, answers, report file and its folder.
#include <filesystem>
#include <fstream>
#include <algorithm>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "diagnostics/diagnostics.h"
#include "diagnostics/report_internal.h"
#include "platform/platform.h"
#include "report_test_util.h"

using namespace reporttest;

namespace {

constexpr const char* kReportName = "2004-03-03 14.05.09 Error.txt";
// The system's text for ERROR_FILE_NOT_FOUND; its wording differs between
// systems.
std::string NotFound() {
  std::string text;
  EXPECT_TRUE(platform::FormatSystemMessage(platform::kErrorFileNotFound, text));
  return text;
}

class FatalError : public ReportFixture {};

}  // namespace

TEST_F(FatalError, MessageBoxDebugLineAndReportFile) {
  box_.answer = 1;  // OK: keep running
  EXPECT_EQ(ReportFatalError(2, "archive.cpp", 42, "while opening", 1, 3), 1);
  EXPECT_EQ(box_.terminations, 0);
  EXPECT_EQ(box_.calls, 1);
  EXPECT_EQ(box_.caption, "tavrix");
  EXPECT_EQ(box_.debugLine, std::string("archive.cpp(42) : error 2: ") + NotFound());

  const std::string body = std::string("This application has encountered a critical error:\n\n") + NotFound() +
                           "\nProgram:\t" + programPath_ + "\nFile:\tarchive.cpp\nLine:\t42\n\nwhile opening\n\n";
  EXPECT_EQ(box_.text, body + ReportTexts[10]);

  const auto report = ErrorsFolder() / kReportName;
  ASSERT_TRUE(std::filesystem::exists(report));
  const std::string raw = ReadFile(report);
  // Bare line feeds gain a carriage return; the system text's own pair is
  // kept as it is.
  std::string expected = "\r\n";
  for (char c : body) {
    if (c == '\n' && !expected.empty() && expected.back() != '\r') expected += '\r';
    expected += c;
  }
  EXPECT_NE(raw.find(expected), std::string::npos);
  EXPECT_EQ(raw.find("\r\r"), std::string::npos);
  EXPECT_EQ(raw.find(ReportTexts[10]), std::string::npos);  // no question in the report

  const Lines lines = SplitCrLf(raw);
  ASSERT_GT(lines.size(), 8u);
  EXPECT_EQ(lines[0], std::string(78, '='));
  EXPECT_EQ(lines[1], "Exe:      " + programPath_);
  EXPECT_EQ(lines[2], "Time:     Mar  3, 2004  2:05:09.007 PM");
  EXPECT_EQ(lines[5], std::string(78, '-'));
  EXPECT_EQ(lines[6], "");
  EXPECT_EQ(lines[7], "This application has encountered a critical error:");

  // A report without a crash context: stack traces and the stack dump only.
  EXPECT_LT(IndexOf(lines, "    Stack Trace (Using DBGHELP.DLL)"), lines.size());
  EXPECT_LT(IndexOf(lines, "    Stack Trace (Manual)"), lines.size());
  EXPECT_LT(IndexOf(lines, "    Memory Dump"), lines.size());
  EXPECT_EQ(IndexOf(lines, "    x86 Registers"), lines.size());
  EXPECT_EQ(raw.find("Code: "), std::string::npos);
  EXPECT_NE(raw.find("Stack: 1024 bytes starting at (ESP = "), std::string::npos);
  EXPECT_EQ(lines.back(), std::string(78, '-'));
}

TEST_F(FatalError, ErrorNumberAndLocationKinds) {
  box_.answer = 1;
  EXPECT_EQ(ReportFatalError(0x12345678u, nullptr, 0, nullptr, 1, 0), 1);
  EXPECT_EQ(box_.text.rfind("This application has encountered a critical error:\n\nERROR #22136 (0x12345678)\n", 0),
            0u);
  EXPECT_EQ(box_.debugLine, " : error 22136: ERROR #22136 (0x12345678)");

  struct Kind {
    int32_t kind;
    const char* line;
  };
  const Kind kinds[] = {{-1, "Function:\tOpen\n"}, {-2, "Object:\tOpen\n"},  {-3, "Handle:\tOpen\n"},
                        {-4, "File:\tOpen\n"},     {-5, "Exception:\tOpen\n"}, {0, "File:\tOpen\nLine:\t0\n"},
                        {-9, "File:\tOpen\nLine:\t-9\n"}};
  for (const Kind& k : kinds) {
    ReportFatalError(2, "Open", k.kind, "x", 1, 0);
    EXPECT_NE(box_.text.find(std::string("\n") + k.line + "\nx\n\n"), std::string::npos) << k.kind;
    EXPECT_EQ(box_.debugLine, std::string("Open : error 2: ") + NotFound()) << k.kind;
  }
}

TEST_F(FatalError, AssertionAndTypeDescriptor) {
  box_.answer = 1;
  ReportFatalError(ERR_ASSERTION_FAILED, ".?AUWidget__@@", LOCATION_OBJECT, "count > 0", 1, 0);
  EXPECT_NE(box_.text.find("ERROR #0 (0x85100000)\n"), std::string::npos);
  EXPECT_NE(box_.text.find("Object:\tWidget (.?AUWidget__@@)\nExpr:\tcount > 0\n\n"), std::string::npos);
  EXPECT_EQ(box_.debugLine, "Widget (.?AUWidget__@@) : error 0: ERROR #0 (0x85100000)");

  ReportFatalError(2, ".?AVGadget?x", LOCATION_HANDLE, nullptr, 1, 0);  // 'V', not a 'U' descriptor
  EXPECT_NE(box_.text.find("Handle:\t.?AVGadget?x\n\n\n"), std::string::npos);
  ReportFatalError(2, ".?AUG", LOCATION_HANDLE, nullptr, 1, 0);  // too short
  EXPECT_NE(box_.text.find("Handle:\t.?AUG\n"), std::string::npos);
  ReportFatalError(2, ".?AUGizmo@@", LOCATION_FUNCTION, nullptr, 1, 0);  // only objects and handles
  EXPECT_NE(box_.text.find("Function:\t.?AUGizmo@@\n"), std::string::npos);
}

TEST_F(FatalError, AnswersForEachQuestion) {
  struct Case {
    int debugger;
    int allow;
    int answer;
    int result;
    int breaks;
    int terminations;
  };
  const Case cases[] = {
      {1, 1, 6, 1, 1, 0},  // Yes: break, then go on
      {1, 1, 2, 1, 0, 0},  // Cancel: keep running
      {1, 1, 7, 0, 0, 1},  // No: terminate
      {1, 0, 6, 1, 1, 0},  {1, 0, 7, 0, 0, 1},  //
      {0, 1, 1, 1, 0, 0},  {0, 1, 2, 0, 0, 1},  //
      {0, 0, 1, 0, 0, 1},  // the only button terminates
      {0, 1, 0, 0, 0, 1},  // a box that could not be shown terminates
  };
  for (const Case& c : cases) {
    box_ = BoxRecord{};
    box_.answer = c.answer;
    hooks_.debuggerPresent = c.debugger;
    Apply();
    EXPECT_EQ(ReportFatalError(5, nullptr, 0, nullptr, c.allow, 77), c.result) << c.debugger << c.allow << c.answer;
    EXPECT_EQ(box_.type, ChooseReportQuestion(c.debugger != 0, c.allow != 0).boxType);
    EXPECT_EQ(box_.breakpoints, c.breaks);
    EXPECT_EQ(box_.terminations, c.terminations);
    if (c.terminations != 0) {
      EXPECT_EQ(box_.exitCode, 77u);
    }
    const int question = ChooseReportQuestion(c.debugger != 0, c.allow != 0).text;
    EXPECT_EQ(box_.text.substr(box_.text.size() - strlen(ReportTexts[question])), ReportTexts[question]);
  }
}

TEST_F(FatalError, ReportDuringReportReturnsAtOnce) {
  box_.answer = 1;
  box_.nest = true;
  EXPECT_EQ(ReportFatalError(2, nullptr, 0, nullptr, 1, 0), 1);
  EXPECT_EQ(box_.nestedResult, 0);
  EXPECT_EQ(box_.calls, 1);
  // The flag is cleared again afterwards.
  box_.nest = false;
  EXPECT_EQ(ReportFatalError(2, nullptr, 0, nullptr, 1, 0), 1);
  EXPECT_EQ(box_.calls, 2);
}

TEST_F(FatalError, DisabledReportsDoNothing) {
  box_.answer = 1;
  SetErrorReportDisabled(1);
  EXPECT_EQ(ReportFatalError(2, nullptr, 0, nullptr, 1, 0), 0);
  EXPECT_EQ(box_.calls, 0);
  EXPECT_EQ(box_.terminations, 0);
  EXPECT_FALSE(std::filesystem::exists(ErrorsFolder()));
  SetErrorReportDisabled(0);
  EXPECT_EQ(ReportFatalError(2, nullptr, 0, nullptr, 1, 0), 1);
  EXPECT_EQ(box_.calls, 1);
}

TEST_F(FatalError, ReportFolderFallsBackToProgramFolder) {
  // The default folder cannot be made when a file holds its name.
  std::ofstream(ErrorsFolder()) << "in the way";
  WriteErrorReport("blocked\n", nullptr);
  EXPECT_TRUE(std::filesystem::exists(root_ / "bin" / kReportName));

  // A folder whose parent is missing can be neither made nor found.
  std::filesystem::remove(root_ / "bin" / kReportName);
  const std::string missing = (root_ / "missing" / "deeper").string();
  hooks_.reportFolder = missing.c_str();
  Apply();
  WriteErrorReport("missing\n", nullptr);
  EXPECT_TRUE(std::filesystem::exists(root_ / "bin" / kReportName));
  EXPECT_FALSE(std::filesystem::exists(root_ / "missing"));

  // An existing folder is used as it is.
  const std::string existing = (root_ / "reports").string();
  std::filesystem::create_directories(existing);
  hooks_.reportFolder = existing.c_str();
  Apply();
  WriteErrorReport("existing\n", nullptr);
  EXPECT_TRUE(std::filesystem::exists(root_ / "reports" / kReportName));
  // A second report of the same second keeps the first and takes a name of
  // its own.
  WriteErrorReport("again\n", nullptr);
  EXPECT_NE(ReadFile(root_ / "reports" / kReportName).find("\r\nexisting\r\n"), std::string::npos);
  EXPECT_NE(ReadFile(root_ / "reports" / "2004-03-03 14.05.09 Error (2).txt").find("\r\nagain\r\n"),
            std::string::npos);
}

TEST_F(FatalError, CrashContextNamesTheFileCrash) {
  platform::CpuContext context;
  platform::CaptureCallerContext(&context);
  WriteErrorReport("crashed", &context);
  EXPECT_TRUE(std::filesystem::exists(ErrorsFolder() / "2004-03-03 14.05.09 Crash.txt"));
  EXPECT_FALSE(std::filesystem::exists(ErrorsFolder() / kReportName));
}

TEST_F(FatalError, LongFolderNeverCutsAName) {
  // A folder whose path leaves room for the plain name and not one
  // character more: the second report of the second needs " (2)" and must
  // go elsewhere whole, never as a cut name over the first.
  const std::string name = kReportName;
  std::filesystem::path folder = root_ / "long";
  const size_t target = report::kMaxPath - 1 - name.size() - 1;  // less the separator the report adds
  while (folder.string().size() < target) {
    const size_t left = target - folder.string().size() - 1;
    folder /= std::string(std::min<size_t>(left == 0 ? 1 : left, 100), 'd');
  }
  ASSERT_EQ(folder.string().size(), target);
  std::filesystem::create_directories(folder);
  const std::string folderText = folder.string();
  hooks_.reportFolder = folderText.c_str();
  Apply();

  WriteErrorReport("first\n", nullptr);
  WriteErrorReport("second\n", nullptr);
  WriteErrorReport("third\n", nullptr);
  EXPECT_NE(ReadFile(folder / kReportName).find("\r\nfirst\r\n"), std::string::npos);
  EXPECT_NE(ReadFile(root_ / "bin" / kReportName).find("\r\nsecond\r\n"), std::string::npos);
  EXPECT_NE(ReadFile(root_ / "bin" / "2004-03-03 14.05.09 Error (2).txt").find("\r\nthird\r\n"), std::string::npos);
  int files = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root_)) {
    if (!entry.is_regular_file()) continue;
    ++files;
    EXPECT_EQ(entry.path().extension(), ".txt") << entry.path();
  }
  EXPECT_EQ(files, 3);

  // Where even the program's folder is too deep, nothing is written and
  // the failure is told.
  const std::string deepProgram = (folder / "tavrix.exe").string();
  hooks_.programPath = deepProgram.c_str();
  Apply();
  std::filesystem::remove(folder / kReportName);
  WriteErrorReport("again\n", nullptr);
  testing::internal::CaptureStderr();
  WriteErrorReport("once more\n", nullptr);
  const std::string told = testing::internal::GetCapturedStderr();
  EXPECT_NE(told.find("Error report not written: the path would be too long"), std::string::npos) << told;
  int inFolder = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) inFolder += entry.is_regular_file() ? 1 : 0;
  EXPECT_EQ(inFolder, 1);
}
