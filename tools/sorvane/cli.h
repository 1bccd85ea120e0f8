// The sorvane command line: parsed arguments, messages, progress and the
// verbs' entry points.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "archive/sorvane.h"

namespace sorvane {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // an operation failed
constexpr int kExitUsage = 2;    // the command line was wrong

struct Args {
  std::string verb;
  std::vector<std::string> positional;
  std::map<std::string, std::string> values;  // options that take a value
  std::map<std::string, bool> switches;       // options without one
  bool verbose = false;
  bool help = false;

  bool Has(const std::string& name) const { return switches.count(name) != 0 || values.count(name) != 0; }
  std::string Value(const std::string& name, const std::string& fallback = "") const {
    auto it = values.find(name);
    return it == values.end() ? fallback : it->second;
  }
};

// What a verb accepts.
struct Verb {
  const char* name;
  const char* usage;    // one line: "sorvane list ARCHIVE [--listfile FILE]"
  const char* summary;  // one line
  const char* details;  // the options, several lines
  std::vector<std::string> valueOptions;
  std::vector<std::string> switchOptions;
  size_t minPositional;
  size_t maxPositional;  // SIZE_MAX for any number
  int (*run)(const Args&);
};

const std::vector<Verb>& Verbs();

// Messages: errors go to standard error as "sorvane: what: text (code)".
void Fail(const std::string& what);                       // with the last error
void FailWith(const std::string& what, uint32_t code);    // with this code
void FailPlain(const std::string& what);                  // no code
void Note(const std::string& text);                       // standard output
std::string ErrorText(uint32_t code);

// The archive path as the library should get it: absolute, so that a
// relative name never falls back to the program's own folder.
std::string AbsoluteArchivePath(const std::string& path);

// The text in double quotes.
std::string Quote(const std::string& text);

// Numbers as users type them: decimal or 0x-hexadecimal.
bool ParseNumber(const std::string& text, uint32_t* value);

// A progress bar on standard error, drawn only when it is a terminal and the
// work lasts long enough to be worth watching.
class Progress {
 public:
  Progress(const char* label, uint64_t total);
  ~Progress();
  void Advance(uint64_t by = 1);

 private:
  void Draw(bool final);
  const char* label_;
  uint64_t total_;
  uint64_t done_ = 0;
  uint32_t start_;
  uint32_t lastDraw_ = 0;
  bool enabled_;
  bool drawn_ = false;
};

// ---- verbs ------------------------------------------------------------------------
int RunList(const Args& args);
int RunInfo(const Args& args);
int RunExtract(const Args& args);
int RunVerify(const Args& args);
int RunCreate(const Args& args);
int RunAdd(const Args& args);
int RunDelete(const Args& args);
int RunRename(const Args& args);
int RunSetLocale(const Args& args);
int RunCompact(const Args& args);

}  // namespace sorvane
