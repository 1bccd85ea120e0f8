// Runs a built program the way a user would from a console: in a given
// folder, with given standard input, capturing standard output.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

struct RunResult {
  int status = -1;     // what the shell reports; 0 for exit status 0
  // Standard output and error, byte for byte except that on Windows each
  // CR LF is turned back into the LF the program wrote.
  std::string output;
  std::string errors;
};

// The program's own exit status (the shell's wait status holds it in its
// second byte on POSIX).
inline int ExitCode(const RunResult& r) {
#ifdef _WIN32
  return r.status;
#else
  return r.status >> 8;
#endif
}

// Runs program with args in folder workDir, feeding stdinText. Arguments are
// quoted for the shell; they must not hold quote characters.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& workDir, const std::string& stdinText);

// $TAVRIX_BIN_DIR/relative, or relative under the current folder when unset.
std::string BuiltProgram(const std::string& relative);

// Makes a new, empty folder under `base` (the system's temporary folder when
// empty) named `prefix` plus a random number, created exclusively: two runs
// of the suite at once, or a folder a crashed run left, never share it.
std::filesystem::path NewScratchFolder(const std::string& prefix, std::filesystem::path base = {});

// The last component of the short (8.3) name the system gives the file or
// folder at path; empty where it gives none (POSIX, short names off, or a
// name that is short already).
std::string ShortName(const std::string& path);

// A fresh empty folder under the system's temporary folder, removed by the
// destructor. Its path holds no '.', so folder names derived from it stay put.
class TempDir {
 public:
  explicit TempDir(const std::string& tag);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const;

 private:
  std::string path_;
};

}  // namespace testsupport
