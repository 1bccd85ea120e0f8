// sorvane: creates, inspects, extracts and changes archives with the library.
// A verb comes first; every verb has --help.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "diagnostics/diagnostics.h"
#include "platform/platform.h"
#include "cli.h"

using namespace sorvane;

namespace {

void PrintGeneralHelp(FILE* out) {
  std::fprintf(out, "usage: sorvane VERB [options] ARGUMENTS\n\nVerbs:\n");
  for (const Verb& v : Verbs()) std::fprintf(out, "  %-11s %s\n", v.name, v.summary);
  std::fprintf(out,
               "\nCommon options: -v (--verbose) says what is done, -q (--quiet) shows errors only,\n"
               "-h (--help) explains a verb,\n"
               "--wait SECONDS waits up to SECONDS for an archive another program is using.\n"
               "Run \"sorvane VERB --help\" for the options of a verb.\n\n%s",
               kExitStatusText);
}

void PrintVerbHelp(const Verb& v) {
  std::printf("usage: %s\n\n%s.\n", v.usage, v.summary);
  // The options first (their lines are indented), then the notes.
  std::string options, notes;
  bool inOptions = true;
  for (const char* line = v.details; *line != 0;) {
    const char* end = std::strchr(line, '\n');
    const std::string text(line, end != nullptr ? end + 1 : line + std::strlen(line));
    if (text.size() < 2 || text[0] != ' ' || text[1] != ' ') inOptions = false;
    (inOptions ? options : notes) += text;
    line += text.size();
  }
  std::printf("\n%s  -v, --verbose    say what is done\n"
              "  -q, --quiet      show errors only\n"
              "  --wait SECONDS   while another program reads or updates the archive, try again\n"
              "                   until SECONDS have passed (default: fail at once)\n",
              options.c_str());
  if (!notes.empty()) std::printf("\n%s", notes.c_str());
  std::printf("\n%s", kExitStatusText);
}

bool Contains(const std::vector<std::string>& list, const std::string& s) {
  return std::find(list.begin(), list.end(), s) != list.end();
}

int UsageError(const Verb& v, const std::string& message) {
  std::fprintf(stderr, "sorvane %s: %s\nusage: %s\n", v.name, message.c_str(), v.usage);
  return kExitUsage;
}

}  // namespace

namespace {

constexpr int kParsed = -1;

// Splits one option into its name and the value written into it ("--x=v",
// "-xv"); hasValue tells whether it held one.
void SplitOption(const std::string& arg, std::string* name, std::string* value, bool* hasValue) {
  *hasValue = false;
  if (arg[1] == '-') {
    *name = arg.substr(2);
    const size_t eq = name->find('=');
    if (eq != std::string::npos) {
      *value = name->substr(eq + 1);
      *name = name->substr(0, eq);
      *hasValue = true;
    }
  } else {
    *name = arg.substr(1, 1);
    if (arg.size() > 2) {
      *value = arg.substr(2);
      *hasValue = true;
    }
  }
}

// The verb's options and arguments into args: kParsed, or the exit status
// of a usage error already reported.
int ParseArgs(const Verb& verb, int argc, char** argv, Args* args) {
  bool optionsEnded = false;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      args->positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    std::string name, value;
    bool hasValue = false;
    SplitOption(arg, &name, &value, &hasValue);
    // --jobs is -j spelled out, wherever -j is taken.
    if (name == "jobs" && arg[1] == '-' && Contains(verb.valueOptions, "j")) name.resize(1);  // "j"
    const bool takesValue = name == "wait" || Contains(verb.valueOptions, name);
    if (takesValue && !hasValue) {
      if (i + 1 >= argc) return UsageError(verb, "option " + arg + " needs a value");
      value = argv[++i];
    }
    if (name == "h" || name == "help") {
      args->help = true;
    } else if (name == "v" || name == "verbose") {
      args->verbose = true;
    } else if (name == "q" || name == "quiet") {
      SetQuiet();
    } else if (name == "wait") {
      uint32_t seconds = 0;
      if (!ParseNumber(value, &seconds)) return UsageError(verb, "--wait: \"" + value + "\" is no number of seconds");
      SetWaitSeconds(seconds);
    } else if (takesValue) {
      args->values[name] = value;
      args->repeated[name].push_back(value);
    } else if (Contains(verb.switchOptions, name) && !hasValue) {
      args->switches[name] = true;
    } else {
      return UsageError(verb, "unknown option " + arg);
    }
  }
  return kParsed;
}

// Help and version, which take no verb: kParsed when the first word is
// neither, else the exit status.
int RunWithoutVerb(const std::string& first, int argc, char** argv) {
  if (first == "-h" || first == "--help" || first == "help") {
    if (argc > 2) {
      for (const Verb& v : Verbs()) {
        if (argv[2] == std::string(v.name)) {
          PrintVerbHelp(v);
          return kExitOk;
        }
      }
    }
    PrintGeneralHelp(stdout);
    return kExitOk;
  }
  // For packagers: the manual page and the shell completion, made from the
  // verb table so they cannot drift from the program.
  if (first == "--man") {
    PrintManPage(stdout);
    return kExitOk;
  }
  if (first == "--bash-completion") {
    PrintBashCompletion(stdout);
    return kExitOk;
  }
  if (first == "--version") {
    // The package's version first; the banner is the original interface's.
    std::printf("sorvane %s\n%s\n", SORVANE_VERSION_STRING, GetLibraryBanner());
    return kExitOk;
  }
  return kParsed;
}

// What was printed must have arrived: a full disk or a closed file is an
// error. A reader that stopped reading (`sorvane list big.mpq | head`) is
// not: it has what it wanted, and the command ends quietly with the status
// it had, as a pipeline's first program that is stopped by its reader would
// not be reported either.
int FinishStandardOutput(int status) {
  errno = 0;
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return status;
  if (errno == 0) {
    // The error came with an earlier write and its cause is gone: one more
    // byte asks again (the output is lost either way).
    std::clearerr(stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }
  if (errno == EPIPE) return status;
  const int error = errno;
  std::fprintf(stderr, "sorvane: cannot write to standard output: %s\n",
               error != 0 ? std::strerror(error) : "write error");
  return kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
  // A crash leaves a report in "Errors" beside the program (or the user's
  // folder) instead of vanishing.
  InstallCrashCapture("sorvane");
  // An interrupted extract leaves no half-written file behind.
  platform::InstallInterruptCleanup();
#ifdef SIGPIPE
  // A closed pipe is a write error to handle, not a reason to die.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  if (argc < 2) {
    PrintGeneralHelp(stderr);
    return kExitUsage;
  }
  const std::string first = argv[1];
  if (const int status = RunWithoutVerb(first, argc, argv); status != kParsed) return status;
  const Verb* verb = nullptr;
  for (const Verb& v : Verbs()) {
    if (first == v.name) verb = &v;
  }
  if (verb == nullptr) {
    std::fprintf(stderr, "sorvane: unknown verb \"%s\"\n", first.c_str());
    PrintGeneralHelp(stderr);
    return kExitUsage;
  }
  Args args;
  args.verb = first;
  if (const int status = ParseArgs(*verb, argc, argv, &args); status != kParsed) return status;
  if (args.help) {
    PrintVerbHelp(*verb);
    return kExitOk;
  }
  // Standard output carries the document alone.
  if (args.Has("json")) SetNotesToStandardError();
  if (args.positional.size() < verb->minPositional) return UsageError(*verb, "missing arguments");
  if (args.positional.size() > verb->maxPositional) return UsageError(*verb, "too many arguments");
  const int status = verb->run(args);
  return FinishStandardOutput(status);
}
