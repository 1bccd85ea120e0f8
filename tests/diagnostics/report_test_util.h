// Shared pieces of the report tests: a writer that collects lines, a
// scratch program folder, and hooks that answer the box.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/run_program.h"
#include "diagnostics/diagnostics.h"

namespace reporttest {

using Lines = std::vector<std::string>;

inline void CollectLine(void* target, const char* format, ...) {
  char line[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  static_cast<Lines*>(target)->push_back(line);
}

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Splits on CR LF; a bare LF anywhere fails the test.
inline Lines SplitCrLf(const std::string& text) {
  Lines lines;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') {
      EXPECT_TRUE(i > 0 && text[i - 1] == '\r') << "bare line feed at " << i;
      lines.push_back(text.substr(start, i - start - 1));
      start = i + 1;
    }
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

inline size_t IndexOf(const Lines& lines, const std::string& line, size_t from = 0) {
  for (size_t i = from; i < lines.size(); ++i) {
    if (lines[i] == line) return i;
  }
  return lines.size();
}

// 14:05:09.007 on Wednesday 3 March 2004.
inline platform::LocalTime SampleTime() { return platform::LocalTime{2004, 3, 3, 3, 14, 5, 9, 7}; }

// What the box was asked and what it answers.
struct BoxRecord {
  int calls = 0;
  std::string text;
  std::string caption;
  uint32_t type = 0;
  int answer = 0;
  int terminations = 0;
  uint32_t exitCode = 0;
  int breakpoints = 0;
  std::string debugLine;
  int nestedResult = -1;
  bool nest = false;
};

inline int RecordBox(void* user, const char* text, const char* caption, uint32_t type) {
  auto* box = static_cast<BoxRecord*>(user);
  ++box->calls;
  box->text = text;
  box->caption = caption;
  box->type = type;
  if (box->nest) box->nestedResult = ReportFatalError(2, "nested", -1, nullptr, 1, 9);
  return box->answer;
}

inline void RecordTerminate(void* user, uint32_t code) {
  auto* box = static_cast<BoxRecord*>(user);
  ++box->terminations;
  box->exitCode = code;
}

inline void RecordBreakpoint(void* user) { ++static_cast<BoxRecord*>(user)->breakpoints; }

inline void RecordDebugLine(void* user, const char* text) { static_cast<BoxRecord*>(user)->debugLine = text; }

// A scratch folder holding a pretend executable; reports are steered there
// and hooks restored afterwards.
class ReportFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ = testsupport::NewScratchFolder(std::string("tavrix_diag_") + info->test_suite_name() + "_" +
                                          info->name() + "_");
    std::filesystem::create_directories(root_ / "bin");
    programPath_ = (root_ / "bin" / "tavrix.exe").string();
    time_ = SampleTime();
    hooks_.localTime = &time_;
    hooks_.programPath = programPath_.c_str();
    hooks_.debuggerPresent = 0;
    hooks_.messageBox = RecordBox;
    hooks_.terminate = RecordTerminate;
    hooks_.breakpoint = RecordBreakpoint;
    hooks_.debugOutput = RecordDebugLine;
    hooks_.user = &box_;
    SetReportHooks(&hooks_);
  }
  void TearDown() override {
    SetReportHooks(nullptr);
    SetErrorReportDisabled(0);
    std::filesystem::remove_all(root_);
  }
  void Apply() { SetReportHooks(&hooks_); }

  std::filesystem::path ErrorsFolder() const { return root_ / "bin" / "Errors"; }

  std::filesystem::path root_;
  std::string programPath_;
  platform::LocalTime time_{};
  ReportHooks hooks_;
  BoxRecord box_;
};

}  // namespace reporttest
