// The sorvane command line: parsed arguments, messages, progress and the
// verbs' entry points.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "sorvane/sorvane_ext.h"

namespace sorvane {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;    // an operation failed, or damage was found
constexpr int kExitUsage = 2;      // the command line was wrong
constexpr int kExitSkipped = 3;    // done, except for inputs that were skipped
constexpr int kExitUnchecked = 4;  // verify: no damage, but some files could not be checked

// The status of two outcomes together: the lowest non-zero of 1, 3 and 4.
inline int CombineStatus(int a, int b) {
  if (a == kExitOk) return b;
  if (b == kExitOk) return a;
  return a < b ? a : b;
}

// Hash tables larger than this many entries (16 MiB of table) are made only
// with --force; the largest the library opens again is kMaxForcedHashSize.
constexpr uint32_t kMaxHashSize = 1u << 20;
constexpr uint32_t kMaxForcedHashSize = 1u << 22;

struct Args {
  std::string verb;
  std::vector<std::string> positional;
  std::map<std::string, std::string> values;  // options that take a value: the last one given
  std::map<std::string, std::vector<std::string>> repeated;  // every value, in order
  std::map<std::string, bool> switches;       // options without one
  bool verbose = false;
  bool help = false;

  bool Has(const std::string& name) const { return switches.count(name) != 0 || values.count(name) != 0; }
  std::string Value(const std::string& name, const std::string& fallback = "") const {
    auto it = values.find(name);
    return it == values.end() ? fallback : it->second;
  }
  // Every value of an option that may be given several times.
  std::vector<std::string> All(const std::string& name) const {
    auto it = repeated.find(name);
    return it == repeated.end() ? std::vector<std::string>() : it->second;
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

// What the exit statuses mean, as --help and the manual page say it.
extern const char* const kExitStatusText;

// sorvane(1) in troff, and a bash completion script, from the verb table.
void PrintManPage(FILE* out);
void PrintBashCompletion(FILE* out);

// Messages: errors go to standard error as "sorvane: what: text (code)".
void Fail(const std::string& what);                       // with the last error
void FailWith(const std::string& what, uint32_t code);    // with this code
void FailPlain(const std::string& what);                  // no code
void Note(const std::string& text);                       // standard output
// From now on notes go to standard error: standard output carries data.
void SetNotesToStandardError();
// A thread's messages kept instead of shown, to be shown later in an order
// of the caller's choosing: while a MessageCapture lives, Fail, FailWith,
// FailPlain and Note on its thread add to its list (errors as the line
// they would print, notes as their text).
struct Message {
  bool note;
  std::string text;
};
class MessageCapture {
 public:
  explicit MessageCapture(std::vector<Message>* into);
  ~MessageCapture();
  MessageCapture(const MessageCapture&) = delete;
  MessageCapture& operator=(const MessageCapture&) = delete;

 private:
  std::vector<Message>* previous_;
};
// Shows kept messages as they would have been shown when they were made.
void ShowMessages(const std::vector<Message>& messages);
// -q: errors only; notes, summaries and progress are not shown.
void SetQuiet();
bool Quiet();
std::string ErrorText(uint32_t code);

// The archive path as the library should get it: absolute, so that a
// relative name never falls back to the program's own folder.
std::string AbsoluteArchivePath(const std::string& path);

// Opening an archive that other programs may hold. open is the library's
// open, false with the last error on failure. While the archive is in use
// (ERROR_SHARING_VIOLATION) it is tried again until the seconds of --wait
// are up, saying once that it waits; a conflict that remains is reported
// (Busy). Failed leaves the message to the caller. After an open on a file
// system that takes no locks, says once that sharing is not protected there.
enum class OpenOutcome { Opened, Failed, Busy };
OpenOutcome OpenSharing(const std::string& shownPath, const std::function<bool()>& open);
// --wait SECONDS, given to every verb.
void SetWaitSeconds(uint32_t seconds);

// A name or path as messages show it: in double quotes, or in the shell's
// $'...' form when it holds control characters (QuoteStoredName), so that
// no name can send escape sequences to the terminal or pass for another.
std::string Quote(const std::string& text);
// The same without the double quotes, for lists and columns.
std::string Shown(const std::string& text);

// Why CheckStoredName refuses a name, as a message gives it.
std::string NameRuleText(uint32_t problem);

// Numbers as users type them: decimal or 0x-hexadecimal.
bool ParseNumber(const std::string& text, uint32_t* value);

// A progress bar on standard error, drawn only when it is a terminal and the
// work lasts long enough to be worth watching. It counts files and bytes;
// the bar follows the bytes when their total is known. While it lives, the
// library's update progress (bytes stored or copied) goes to it.
class Progress {
 public:
  Progress(const char* label, uint64_t files, uint64_t bytes);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  void FileDone() { ++filesDone_; Tick(); }
  void AddBytes(uint64_t bytes) { bytesDone_ += bytes; Tick(); }

 private:
  void Tick();
  void Draw(bool final);
  const char* label_;
  uint64_t files_;
  uint64_t bytes_;
  uint64_t filesDone_ = 0;
  uint64_t bytesDone_ = 0;
  uint32_t start_;
  uint32_t lastDraw_ = 0;
  bool always_;
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
int RunResize(const Args& args);
int RunMount(const Args& args);

}  // namespace sorvane
