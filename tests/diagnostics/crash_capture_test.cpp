// Crash capture end to end: a child program crashes in each way a program
// can, and must leave exactly one crash report that names the fault, its
// address and the crashing function, then end by the same signal (or with
// the exception code) within seconds; a report that deadlocked would fail
// by the timeout.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#undef GetModuleFileName
#else
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "tests/support/run_program.h"
#include "diagnostics/diagnostics.h"
#include "platform/platform.h"
#include "report_test_util.h"

namespace fs = std::filesystem;
using namespace reporttest;

namespace {

constexpr int kTimeoutSeconds = 30;

struct ChildRun {
  bool timedOut = false;
  bool signaled = false;
  int signal = 0;
  uint32_t exitCode = 0;
  double seconds = 0;
  std::string errors;
};

fs::path ChildProgram() {
  char self[4096];
  const uint32_t length = platform::GetModuleFileName(self, sizeof self);
  fs::path program = fs::path(std::string(self, length)).parent_path() / "crash_child";
#if defined(_WIN32)
  program += ".exe";
#endif
  return program;
}

// Runs the child with its standard error in a file; environment entries
// "NAME=value" are added to the child's.
ChildRun RunChild(const fs::path& program, const std::vector<std::string>& args, const fs::path& scratch,
                  const std::vector<std::string>& environment = {}) {
  ChildRun run;
  const fs::path errorsFile = scratch / "stderr.txt";
  const auto started = std::chrono::steady_clock::now();
#if defined(_WIN32)
  // The child inherits this program's environment, changed for the while.
  std::vector<std::pair<std::string, std::string>> restore;
  for (const std::string& entry : environment) {
    const std::string name = entry.substr(0, entry.find('='));
    char old[4096];
    const DWORD had = GetEnvironmentVariableA(name.c_str(), old, sizeof old);
    restore.emplace_back(name, had > 0 && had < sizeof old ? std::string(old) : std::string("\x01"));
    SetEnvironmentVariableA(name.c_str(), entry.substr(name.size() + 1).c_str());
  }
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE errors = CreateFileA(errorsFile.string().c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  std::string command = "\"" + program.string() + "\"";
  for (const std::string& a : args) command += " \"" + a + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = errors;
  startup.hStdError = errors;
  PROCESS_INFORMATION process{};
  std::vector<char> line(command.begin(), command.end());
  line.push_back('\0');
  const BOOL made = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
  CloseHandle(errors);
  for (const auto& [name, value] : restore) SetEnvironmentVariableA(name.c_str(), value == "\x01" ? nullptr : value.c_str());
  EXPECT_TRUE(made) << GetLastError();
  if (!made) return run;
  if (WaitForSingleObject(process.hProcess, kTimeoutSeconds * 1000) != WAIT_OBJECT_0) {
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, INFINITE);
    run.timedOut = true;
  }
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  run.exitCode = code;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
#else
  std::vector<std::string> argStore{program.string()};
  argStore.insert(argStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStore;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const std::string& change : environment) {
      if (entry.compare(0, change.find('=') + 1, change, 0, change.find('=') + 1) == 0) replaced = true;
    }
    if (!replaced) envStore.push_back(entry);
  }
  envStore.insert(envStore.end(), environment.begin(), environment.end());
  std::vector<char*> envp;
  for (std::string& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);
  const std::string errorsPath = errorsFile.string();
  const pid_t child = fork();
  if (child == 0) {
    // No core files: they are slow to write and not what is tested.
    struct rlimit none = {0, 0};
    setrlimit(RLIMIT_CORE, &none);
    const int fd = open(errorsPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
    }
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  EXPECT_GT(child, 0);
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) break;
    if (std::chrono::steady_clock::now() - started > std::chrono::seconds(kTimeoutSeconds)) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      run.timedOut = true;
      break;
    }
    usleep(5000);
  }
  run.signaled = WIFSIGNALED(status);
  run.signal = run.signaled ? WTERMSIG(status) : 0;
  run.exitCode = WIFEXITED(status) ? static_cast<uint32_t>(WEXITSTATUS(status)) : 0;
#endif
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  run.errors = ReadFile(errorsFile);
  return run;
}

std::vector<fs::path> FilesIn(const fs::path& folder) {
  std::vector<fs::path> files;
  if (!fs::exists(folder)) return files;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  return files;
}

Lines SectionOf(const Lines& lines, const std::string& title) {
  const size_t at = IndexOf(lines, "    " + title);
  Lines section;
  for (size_t i = at + 3; i < lines.size() && lines[i] != std::string(40, '-') && lines[i] != std::string(78, '-');
       ++i) {
    if (!lines[i].empty()) section.push_back(lines[i]);
  }
  return section;
}

struct Expected {
  const char* mode;
  const char* name;       // the signal or exception
  int signal;             // POSIX
  uint32_t exitCode;      // Windows
  const char* function;   // the first frame of the trace
  const char* memoryLine; // a message line about the address, or null
};

void PrintTo(const Expected& expected, std::ostream* out) { *out << expected.mode; }

class CrashCapture : public ::testing::TestWithParam<Expected> {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string("tavrix_crash_") + info->name();
    for (char& c : name) {
      if (c == '/') c = '_';
    }
    scratch_ = testsupport::NewScratchFolder(name + "_");
    fs::create_directories(scratch_ / "reports");
  }
  void TearDown() override { fs::remove_all(scratch_); }

  fs::path scratch_;
};

// The one report in folder, split into lines (a bare line feed fails).
Lines OnlyReport(const fs::path& folder, std::string* name = nullptr) {
  const std::vector<fs::path> files = FilesIn(folder);
  EXPECT_EQ(files.size(), 1u);
  if (files.size() != 1) return Lines();
  const std::string file = files[0].filename().string();
  EXPECT_TRUE(std::regex_match(file, std::regex(R"(\d{4}-\d\d-\d\d \d\d\.\d\d\.\d\d Crash\.txt)"))) << file;
  if (name != nullptr) *name = files[0].string();
  return SplitCrLf(ReadFile(files[0]));
}

TEST_P(CrashCapture, LeavesOneReportAndEndsTheSameWay) {
  const Expected& expected = GetParam();
  const ChildRun run = RunChild(ChildProgram(), {expected.mode, (scratch_ / "reports").string()}, scratch_);
  ASSERT_FALSE(run.timedOut) << "the report did not finish: " << run.errors;
#if defined(_WIN32)
  EXPECT_EQ(run.exitCode, expected.exitCode) << std::hex << run.exitCode << " " << run.errors;
#else
  EXPECT_TRUE(run.signaled) << "exit " << run.exitCode << " " << run.errors;
  EXPECT_EQ(run.signal, expected.signal) << run.errors;
#endif
  EXPECT_LT(run.seconds, 10.0);

  std::string path;
  const Lines lines = OnlyReport(scratch_ / "reports", &path);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], std::string(78, '='));
  EXPECT_LT(IndexOf(lines, std::string("Exception:\t") + expected.name), lines.size()) << path;
  if (expected.memoryLine != nullptr) {
    EXPECT_LT(IndexOf(lines, expected.memoryLine), lines.size()) << path;
  }
  EXPECT_LT(IndexOf(lines, "    x86 Registers"), lines.size());

  const Lines trace = SectionOf(lines, "Stack Trace (Using DBGHELP.DLL)");
  ASSERT_FALSE(trace.empty()) << path;
  // The trace starts where the program faulted (for an abort: where it
  // called abort), named from the full symbol table.
  const std::string function = expected.function;
  EXPECT_NE(trace[0].find(function), std::string::npos) << trace[0];

#if !defined(_WIN32)
  // Each frame also names its module and the address within it, which
  // addr2line resolves to the same function.
  const std::smatch where = [&] {
    std::smatch m;
    std::regex_search(trace[0], m, std::regex(R"(\[(.+) @ 0x([0-9A-F]+)\]$)"));
    return m;
  }();
  ASSERT_EQ(where.size(), 3u) << trace[0];
  EXPECT_EQ(fs::path(where[1].str()).filename(), ChildProgram().filename());
  const std::string command =
      "addr2line -f -C -e '" + where[1].str() + "' 0x" + where[2].str() + " > '" + (scratch_ / "a2l").string() + "' 2>&1";
  if (std::system(command.c_str()) == 0) {
    EXPECT_NE(ReadFile(scratch_ / "a2l").find(function), std::string::npos) << ReadFile(scratch_ / "a2l");
  }
#endif

  // The handler's deepest use of its alternate stack, reported by the child.
  std::smatch use;
  if (std::regex_search(run.errors, use, std::regex(R"(alternate stack: peak (\d+) of (\d+) bytes)"))) {
    const size_t peak = std::stoul(use[1].str());
    const size_t size = std::stoul(use[2].str());
    RecordProperty("alternate_stack_peak", static_cast<int>(peak));
    std::printf("%s: alternate stack peak %zu of %zu bytes\n", expected.mode, peak, size);
    // Only the installing thread runs the handler there.
    if (std::string(expected.mode) != "thread-while-locked") {
      EXPECT_GT(peak, 0u);
      EXPECT_LT(peak * 4, size) << "the margin has shrunk";
    }
  }
}

#if defined(_WIN32)
const Expected kCrashes[] = {
    {"null-write", "EXCEPTION_ACCESS_VIOLATION", 0, 0xC0000005u, "NullWrite",
     "The memory could not be \"written\"."},
    {"stack-overflow", "EXCEPTION_STACK_OVERFLOW", 0, 0xC00000FDu, "Recurse", nullptr},
};
#else
const Expected kCrashes[] = {
    {"null-write", "SIGSEGV", SIGSEGV, 0, "NullWrite", "The memory could not be \"written\"."},
    {"null-read", "SIGSEGV", SIGSEGV, 0, "NullRead", "The memory could not be \"read\"."},
    {"abort", "SIGABRT", SIGABRT, 0, "CallAbort", nullptr},
    {"divide", "SIGFPE", SIGFPE, 0, "Divide", nullptr},
    {"illegal", "SIGILL", SIGILL, 0, "Illegal", nullptr},
    {"stack-overflow", "SIGSEGV", SIGSEGV, 0, "Recurse", nullptr},
    // The first thread holds the heap (behind the child's own lock), both
    // standard streams and the dynamic linker's lock.
    {"thread-while-locked", "SIGSEGV", SIGSEGV, 0, "FaultInThread", "The memory could not be \"written\"."},
};
#endif

INSTANTIATE_TEST_SUITE_P(Faults, CrashCapture, ::testing::ValuesIn(kCrashes),
                         [](const ::testing::TestParamInfo<Expected>& info) {
                           std::string name = info.param.mode;
                           for (char& c : name) {
                             if (c == '-') c = '_';
                           }
                           return name;
                         });

// Where the reports go when no test hook points elsewhere: the folder
// chosen at install, from copies of the child in folders of their own.
class CrashFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    scratch_ = testsupport::NewScratchFolder(std::string("tavrix_crash_folder_") + info->name() + "_");
    fs::create_directories(scratch_ / "bin");
    program_ = scratch_ / "bin" / ChildProgram().filename();
    fs::copy_file(ChildProgram(), program_);
  }
  void TearDown() override { fs::remove_all(scratch_); }

  ChildRun Crash(const std::vector<std::string>& environment) {
    return RunChild(program_, {"null-write", "-"}, scratch_, environment);
  }

  fs::path scratch_;
  fs::path program_;
};

TEST_F(CrashFolder, BesideTheProgramWhereItCanBeWritten) {
  const ChildRun run = Crash({});
  ASSERT_FALSE(run.timedOut);
  EXPECT_GT(OnlyReport(scratch_ / "bin" / "Errors").size(), 10u) << run.errors;
}

TEST_F(CrashFolder, PerUserFolderWhenTheProgramsCannotBeWritten) {
  // A file holding the name "Errors" keeps the folder from being made, as a
  // folder without write access would for a user who is not root.
  std::ofstream(scratch_ / "bin" / "Errors") << "in the way";
#if defined(_WIN32)
  const ChildRun run = Crash({"LOCALAPPDATA=" + (scratch_ / "local").string()});
  const fs::path expected = scratch_ / "local" / "crash_child" / "Errors";
#else
  const ChildRun run = Crash({"XDG_STATE_HOME=" + (scratch_ / "state").string()});
  const fs::path expected = scratch_ / "state" / "crash_child" / "Errors";
#endif
  ASSERT_FALSE(run.timedOut);
  EXPECT_GT(OnlyReport(expected).size(), 10u) << run.errors;
  EXPECT_EQ(FilesIn(scratch_ / "bin").size(), 2u);  // the program and the file in the way
}

#if !defined(_WIN32)
TEST_F(CrashFolder, PerUserFolderUnderHomeWithoutStateHome) {
  std::ofstream(scratch_ / "bin" / "Errors") << "in the way";
  const ChildRun run = Crash({"XDG_STATE_HOME=", "HOME=" + (scratch_ / "home").string()});
  ASSERT_FALSE(run.timedOut);
  EXPECT_GT(OnlyReport(scratch_ / "home" / ".local" / "state" / "crash_child" / "Errors").size(), 10u) << run.errors;
}
#endif

}  // namespace
