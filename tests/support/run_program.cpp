#include "tests/support/run_program.h"

#include <atomic>
#include <cstdint>
#include <random>
#include <mutex>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

namespace fs = std::filesystem;

namespace testsupport {

namespace {

std::string Quote(const std::string& s) { return "\"" + s + "\""; }

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

#ifdef _WIN32
// The C runtime writes "\n" to a text-mode stream as CR LF; undoing that
// lets a test expect the same output on every system.
std::string WithLineFeeds(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out.push_back(text[i]);
  }
  return out;
}
#endif

}  // namespace

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& workDir, const std::string& stdinText) {
  static std::atomic<unsigned> counter{0};
  const fs::path scratch = NewScratchFolder("tavrix_run_" + std::to_string(counter++) + "_");
  const fs::path in = scratch / "stdin";
  const fs::path out = scratch / "stdout";
  const fs::path err = scratch / "stderr";
  {
    std::ofstream f(in, std::ios::binary);
    f << stdinText;
  }
  std::string command;
#ifdef _WIN32
  command = "cd /d " + Quote(workDir) + " && " + Quote(program);
#else
  command = "cd " + Quote(workDir) + " && exec " + Quote(program);
#endif
  // Appended piece by piece: g++ 12 at -O3 misreports operator+ chains as
  // overlapping copies (-Wrestrict).
  for (const std::string& a : args) command.append(" ").append(Quote(a));
  command.append(" <").append(Quote(in.string()));
  command.append(" >").append(Quote(out.string()));
  command.append(" 2>").append(Quote(err.string()));
#ifdef _WIN32
  command = "\"" + command + "\"";  // cmd /c strips one pair of outer quotes
#endif
  RunResult result;
  result.status = std::system(command.c_str());
#ifdef _WIN32
  // -1: the command processor did not start; 9009: it did not find the
  // program. Under wine both happen now and then under load, and in both the
  // program under test never ran (none of ours ends with either), so running
  // it again is sound.
  for (int attempt = 1; (result.status == -1 || result.status == 9009) && attempt < 4; ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200 * attempt));
    result.status = std::system(command.c_str());
  }
#endif
  result.output = Slurp(out);
  result.errors = Slurp(err);
#ifdef _WIN32
  result.output = WithLineFeeds(result.output);
  result.errors = WithLineFeeds(result.errors);
#endif
  std::error_code ec;
  fs::remove_all(scratch, ec);
  return result;
}

std::string BuiltProgram(const std::string& relative) {
  const char* dir = std::getenv("TAVRIX_BIN_DIR");
  return (fs::path(dir != nullptr ? dir : fs::current_path().string()) / relative).string();
}

fs::path NewScratchFolder(const std::string& prefix, fs::path base) {
  static std::mutex lock;
  static std::mt19937_64 random{std::random_device{}()};
  if (base.empty()) base = fs::temp_directory_path();
  for (;;) {
    uint64_t number;
    {
      std::lock_guard<std::mutex> hold(lock);
      number = random() % 1000000000000ull;
    }
    fs::path path = base / (prefix + std::to_string(number));
    if (fs::create_directory(path)) return path;
  }
}

std::string ShortName(const std::string& path) {
#ifdef _WIN32
  char found[MAX_PATH] = {};
  const DWORD length = GetShortPathNameA(path.c_str(), found, MAX_PATH);
  const std::string name = length == 0 || length >= MAX_PATH ? "" : fs::path(found).filename().string();
  return _stricmp(name.c_str(), fs::path(path).filename().string().c_str()) == 0 ? "" : name;
#else
  (void)path;
  return "";
#endif
}

TempDir::TempDir(const std::string& tag) {
  fs::path base = fs::temp_directory_path();
  if (base.string().find('.') != std::string::npos) base = fs::current_path();
  std::string name = "tavrix_" + tag + "_";
  for (char& c : name)
    if (c == '.') c = '_';
  path_ = NewScratchFolder(name, base).string();
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::string TempDir::operator/(const std::string& name) const {
  return (fs::path(path_) / name).string();
}

}  // namespace testsupport
