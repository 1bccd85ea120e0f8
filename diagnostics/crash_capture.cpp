// Crash capture: the report written when the program faults. Whatever needs
// the heap, locks or system databases (the report folder, the program's
// path, and below in platform the symbols, names and time-zone offset) is
// settled at install; the handler then only formats into fixed buffers and
// writes the file.
#include <cstdarg>
#include <cstring>
#include <string>

#include "diagnostics/diagnostics.h"
#include "diagnostics/report_internal.h"
#include "diagnostics/system.h"
#include "platform/platform.h"

namespace {

// The alternate stack the handler runs on. The report path's deepest use,
// measured by the crash tests over every kind of fault, is about 16 KiB
// (21 KiB in sanitizer builds, whose frames are larger); the rest is margin
// for deeper walks and longer names. Only the pages used are ever backed.
constexpr size_t kAlternateStackSize = 256 * 1024;

constexpr size_t kMessageSize = 2048;

struct Capture {
  bool installed = false;
  char programPath[report::kMaxPath] = "";
  report::ReportFolders folders{};
};
Capture capture;

// The hooks' folder for a report from the handler; one fault is reported
// at a time.
report::ReportFolders hookFolders;

constexpr int W = REPORT_ADDRESS_DIGITS;

const char* AccessWord(platform::FaultAccess access) {
  switch (access) {
    case platform::FaultAccess::Read: return ReportTexts[16];
    case platform::FaultAccess::Write: return ReportTexts[17];
    case platform::FaultAccess::Execute: return "executed";
    default: return nullptr;
  }
}

// Appends printf output to message, cutting what does not fit.
void Append(char* message, size_t size, const char* format, ...) REPORT_PRINTF(3, 4);
void Append(char* message, size_t size, const char* format, ...) {
  const size_t used = strlen(message);
  if (used + 1 >= size) return;
  va_list args;
  va_start(args, format);
  report::FormatTextV(message + used, size - used, format, args);
  va_end(args);
}

// The message in the shape of the fatal-error box's: what happened, the
// program, the signal or exception, and the faulting instruction with the
// memory it touched.
void ComposeMessage(const platform::FaultRecord& fault, char* message, size_t size) {
  message[0] = '\0';
  char what[256];
  if (fault.description[0] != '\0') report::FormatText(what, sizeof what, "%s (%s)", fault.name, fault.description);
  else report::FormatText(what, sizeof what, "%s", fault.name);
  char program[report::kMaxPath];
  report::ProgramPathInto(program, sizeof program);
  // The texts may come from the program's resources, so they are formats
  // of their own.
  char text[REPORT_TEXT_SIZE];
  LoadReportText(1, text);
  Append(message, size, text, what);
  LoadReportText(2, text);
  Append(message, size, text, program);
  LoadReportText(14, text);
  Append(message, size, text, fault.name);
  const auto ip = static_cast<unsigned long long>(fault.context.ip);
  const auto address = static_cast<unsigned long long>(fault.address);
  if (!fault.hasAddress) return;
  if (fault.access == platform::FaultAccess::None) {
    Append(message, size, "The instruction at \"0x%0*llX\" caused the fault.\n", W, address);
    return;
  }
  Append(message, size, "The instruction at \"0x%0*llX\" referenced memory at \"0x%0*llX\".\n", W, ip, W, address);
  if (const char* word = AccessWord(fault.access)) Append(message, size, "The memory could not be \"%s\".\n", word);
}

// The folder part of a path, up to and including its last separator.
void FolderPart(const char* path, char* folder, size_t size) {
  size_t end = 0;
  for (size_t i = 0; path[i] != '\0'; ++i) {
    if (path[i] == '\\' || path[i] == '/') end = i + 1;
  }
  if (end >= size) end = 0;
  memcpy(folder, path, end);
  folder[end] = '\0';
}

void OnFault(const platform::FaultRecord& fault) {
  platform::LocalTime time;
  report::CurrentLocalTime(&time);
  char message[kMessageSize];
  ComposeMessage(fault, message, sizeof message);

  const ReportHooks& hooks = report::Hooks();
  const report::ReportFolders* folders = &capture.folders;
  if (hooks.reportFolder != nullptr) {
    // As for reports asked for by code: the hooks' folder instead of the
    // one beside the executable, the program's folder failing that.
    const size_t length = strlen(hooks.reportFolder);
    const bool separated = length > 0 && (hooks.reportFolder[length - 1] == '\\' || hooks.reportFolder[length - 1] == '/');
    report::FormatText(hookFolders.folder, sizeof hookFolders.folder, "%s%s", hooks.reportFolder,
                       separated ? "" : "/");
    char program[report::kMaxPath];
    report::ProgramPathInto(program, sizeof program);
    FolderPart(program, hookFolders.fallback, sizeof hookFolders.fallback);
    hookFolders.parents = false;
    folders = &hookFolders;
  }
  const report::TraceStart start{fault.tracePc, fault.traceFrame, fault.traceStack, fault.traceExact};
  report::WriteReportFile(*folders, time, message, &fault.context, &start);
  if (hooks.crashReported != nullptr) hooks.crashReported(hooks.user);
}

bool Fits(const std::string& text) { return text.size() < report::kMaxPath; }

}  // namespace

bool report::InstalledFolders(ReportFolders* folders) {
  if (!capture.installed) return false;
  *folders = capture.folders;
  return true;
}

const char* report::InstalledProgramPath() { return capture.installed ? capture.programPath : nullptr; }

bool InstallCrashCapture(const char* programName) {
  if (capture.installed) return true;
  const std::string program = report::ProgramPath();
  const std::string programFolder = report::FolderOf(program);
  std::string name = programName != nullptr ? std::string(programName) : program.substr(programFolder.size());
  if (programName == nullptr) {
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.erase(dot);
  }
  const char separator = platform::PathSeparator();

  // Beside the executable where new files can go there; an installed
  // program's folder usually takes none, and its reports go to the user's.
  Capture chosen;
  const std::string beside = programFolder + "Errors" + separator;
  std::string perUser;
  if (platform::FolderIsWritable(beside.c_str()) && Fits(beside) && Fits(programFolder)) {
    report::FormatText(chosen.folders.folder, sizeof chosen.folders.folder, "%s", beside.c_str());
    report::FormatText(chosen.folders.fallback, sizeof chosen.folders.fallback, "%s", programFolder.c_str());
    chosen.folders.parents = false;
  } else if (!name.empty() && platform::UserReportFolder(name.c_str(), perUser) && Fits(perUser)) {
    report::FormatText(chosen.folders.folder, sizeof chosen.folders.folder, "%s", perUser.c_str());
    chosen.folders.fallback[0] = '\0';
    chosen.folders.parents = true;
  } else if (Fits(beside) && Fits(programFolder)) {
    report::FormatText(chosen.folders.folder, sizeof chosen.folders.folder, "%s", beside.c_str());
    report::FormatText(chosen.folders.fallback, sizeof chosen.folders.fallback, "%s", programFolder.c_str());
    chosen.folders.parents = false;
  }
  if (Fits(program)) report::FormatText(chosen.programPath, sizeof chosen.programPath, "%s", program.c_str());

  // The state is in place before the first fault can read it.
  capture = chosen;
  capture.installed = true;
  if (!platform::InstallFaultHandler(OnFault, kAlternateStackSize)) {
    capture.installed = false;
    return false;
  }
  return true;
}

void UninstallCrashCapture() {
  if (!capture.installed) return;
  platform::UninstallFaultHandler();
  capture.installed = false;
}
