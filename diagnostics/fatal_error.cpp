// The fatal-error box: composing the message, asking the user, and acting
// on the answer.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "diagnostics/diagnostics.h"
#include "diagnostics/report_internal.h"
#include "diagnostics/system.h"
#include "platform/platform.h"

const char* const ReportTexts[REPORT_TEXT_COUNT] = {
    "ERROR #%u (0x%08x)",
    "This application has encountered a critical error:\n\n%s\n",
    "Program:\t%s\n",
    "File:\t%s\nLine:\t%d\n",
    "Function:\t%s\n",
    "Object:\t%s\n",
    "Handle:\t%s\n",
    "Expr:\t%s\n\n",
    "\n%s\n\n",
    "Press OK to terminate the application.",
    "Do you wish to keep running anyway?\n\tOK:\tKeep running\n\tCancel:\tTerminate application",
    "File:\t%s\n",
    "Do you wish to break to the debugger?\n\tYes:\tBreak to debugger\n\tNo:\tTerminate application",
    "Do you wish to break to the debugger?\n\tYes:\tBreak to debugger\n\tNo:\tTerminate application\n\tCancel:\tKeep "
    "running",
    "Exception:\t%s\n",
    // 15 to 19 serve the access-violation text and the missing-library
    // warning, which no operation here shows; they stay so the resource ids
    // keep their meaning.
    "The instruction at \"0x%08X\" referenced memory at \"0x%08X\".\nThe memory could not be \"%s\".",
    "read",
    "written",
    "Couldn't locate the \"DbgHelp.dll\" debugging DLL.\n\nSome debugging information will be missing from error log "
    "files. Press OK to continue, or press Cancel to terminate the program.",
    "Missing Debugging DLL",
};

namespace {

enum TextIndex {
  kTextErrorNumber = 0,
  kTextCritical = 1,
  kTextProgram = 2,
  kTextFileLine = 3,
  kTextFunction = 4,
  kTextObject = 5,
  kTextHandle = 6,
  kTextExpression = 7,
  kTextExtra = 8,
  kTextFile = 11,
  kTextException = 14,
};

constexpr size_t kMessageSize = 1024;
constexpr size_t kErrorTextSize = 256;

ReportHooks hooks;
std::atomic<bool> disabled{false};
std::atomic<bool> reportInProgress{false};

// The module's lock is made by whichever caller comes first; the others wait
// until it is there.
std::atomic<int> sectionInitCount{0};
std::atomic<platform::CriticalSection> section{nullptr};

platform::CriticalSection ModuleSection() {
  platform::CriticalSection existing = section.load(std::memory_order_acquire);
  if (existing != nullptr) return existing;
  if (sectionInitCount.fetch_add(1) == 0) {
    existing = platform::CreateCriticalSection();
    section.store(existing, std::memory_order_release);
    return existing;
  }
  while ((existing = section.load(std::memory_order_acquire)) == nullptr) std::this_thread::yield();
  return existing;
}

// Facilities whose texts come from a module's message table.
struct MessageFacility {
  uint32_t facility;
  platform::MessageModule module;
};
constexpr int kMaxFacilities = 16;
struct FacilityList {
  MessageFacility entries[kMaxFacilities];
  int count;
};

const FacilityList& Facilities() {
  static const FacilityList list = [] {
    FacilityList initial{};
    const platform::MessageModule program = platform::GetProgramModule();
    for (uint32_t facility : {0x510u, 0x876u, 0x878u}) initial.entries[initial.count++] = {facility, program};
    return initial;
  }();
  return list;
}

// printf onto the end of a fixed buffer, cutting what does not fit.
void AppendFormat(char* buffer, size_t size, const char* format, ...) {
  const size_t used = strlen(buffer);
  if (used + 1 >= size) return;
  va_list args;
  va_start(args, format);
  vsnprintf(buffer + used, size - used, format, args);
  va_end(args);
}

bool DebuggerPresent() {
  if (hooks.debuggerPresent >= 0) return hooks.debuggerPresent != 0;
  return platform::IsDebuggerPresent();
}

// A compiler type descriptor such as ".?AUWidget@@" becomes
// "Widget (.?AUWidget@@)".
std::string ReadableTypeName(const char* location) {
  const size_t length = strlen(location);
  if (length < 6 || location[0] != '.' || location[3] != 'U') return location;
  std::string name;
  for (const char* p = location + 4; *p != '\0' && *p != '?' && *p != '@'; ++p) name += *p;
  while (!name.empty() && name.back() == '_') name.pop_back();
  return name + " (" + location + ")";
}

std::string Caption(const std::string& programPath) {
  std::string name;
  if (!platform::GetLongFileName(programPath.c_str(), name)) {
    const size_t slash = programPath.find_last_of("\\/");
    name = slash == std::string::npos ? programPath : programPath.substr(slash + 1);
  }
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.erase(dot);
  return name;
}

}  // namespace

namespace report {

const ReportHooks& Hooks() { return hooks; }

std::string ProgramPath() {
  if (hooks.programPath != nullptr) return hooks.programPath;
  char path[1024];
  const uint32_t length = platform::GetModuleFileName(path, sizeof path);
  if (length == 0 || length >= sizeof path) return std::string();
  return std::string(path, length);
}

void ProgramPathInto(char* buffer, size_t size) {
  if (size == 0) return;
  const char* known = hooks.programPath != nullptr ? hooks.programPath : InstalledProgramPath();
  if (known != nullptr) {
    FormatText(buffer, size, "%s", known);
    return;
  }
  const uint32_t length = platform::GetModuleFileName(buffer, static_cast<uint32_t>(size));
  if (length == 0 || length >= size) buffer[0] = '\0';
}

void CurrentLocalTime(platform::LocalTime* time) {
  if (hooks.localTime != nullptr) *time = *hooks.localTime;
  else platform::GetLocalTime(time);
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace report

void SetReportHooks(const ReportHooks* replacement) { hooks = replacement != nullptr ? *replacement : ReportHooks{}; }

void SetErrorReportDisabled(int value) { disabled.store(value != 0); }

void LoadReportText(int index, char* buffer) {
  buffer[0] = '\0';
  if (index < 0 || index >= REPORT_TEXT_COUNT) return;
  if (platform::LoadString(REPORT_TEXT_RESOURCE + static_cast<uint32_t>(index), buffer,
                           static_cast<int>(REPORT_TEXT_SIZE)) > 0) {
    return;
  }
  report::FormatText(buffer, REPORT_TEXT_SIZE, "%s", ReportTexts[index]);
}

uint32_t FormatErrorText(uint32_t code, char* buffer, uint32_t size) {
  if (buffer == nullptr || size == 0) {
    platform::SetLastError(platform::kErrorInvalidParameter);
    return 0;
  }
  const uint32_t facility = (code >> 16) & 0xFFF;
  const FacilityList& list = Facilities();
  const MessageFacility* registered = nullptr;
  for (int i = 0; i < list.count; ++i) {
    if (list.entries[i].facility == facility) registered = &list.entries[i];
  }
  std::string text;
  const bool found = registered != nullptr ? platform::FormatModuleMessage(registered->module, code, text)
                                           : platform::FormatSystemMessage(code, text);
  if (!found || text.empty()) return 0;
  if (text.size() >= size) {
    platform::SetLastError(platform::kErrorInsufficientBuffer);
    return 0;
  }
  memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  return static_cast<uint32_t>(text.size());
}

ReportQuestion ChooseReportQuestion(bool debuggerPresent, bool allowContinue) {
  constexpr uint32_t kAlways = platform::kMbTaskModal | platform::kMbSetForeground | platform::kMbTopmost;
  if (debuggerPresent && allowContinue) {
    return {13, platform::kMbYesNoCancel | platform::kMbIconWarning | platform::kMbDefButton2 | kAlways,
            platform::kIdCancel, platform::kIdYes};
  }
  if (debuggerPresent) {
    return {12, platform::kMbYesNo | platform::kMbIconError | platform::kMbDefButton2 | kAlways, -1,
            platform::kIdYes};
  }
  if (allowContinue) {
    return {10, platform::kMbOkCancel | platform::kMbIconWarning | platform::kMbDefButton2 | kAlways,
            platform::kIdOk, -1};
  }
  return {9, platform::kMbOk | platform::kMbIconError | kAlways, -1, -1};
}

namespace {

// The system's or a registered module's words for the code, else its number.
void ErrorWords(uint32_t code, char* errorText, size_t size) {
  if (FormatErrorText(code, errorText, static_cast<uint32_t>(size)) != 0) return;
  char text[REPORT_TEXT_SIZE];
  LoadReportText(kTextErrorNumber, text);
  snprintf(errorText, size, text, code & 0xFFFF, code);
}

// The one-line form a debugger sees.
void SendDebugLine(const std::string* where, int32_t locationKind, uint32_t code, const char* errorText) {
  char debugLine[kMessageSize] = "";
  if (where != nullptr) AppendFormat(debugLine, sizeof debugLine, "%s", where->c_str());
  if (locationKind > 0) AppendFormat(debugLine, sizeof debugLine, "(%u)", static_cast<unsigned>(locationKind));
  AppendFormat(debugLine, sizeof debugLine, " : error %u: %s", code & 0xFFFF, errorText);
  if (hooks.debugOutput != nullptr) hooks.debugOutput(hooks.user, debugLine);
  else platform::OutputDebugString(debugLine);
}

// The box's text up to the question: the error, the program, where it
// happened and the caller's extra words.
void ComposeMessage(char* message, size_t size, const char* errorText, const std::string& programPath,
                    const std::string* where, int32_t locationKind, uint32_t code, const char* extra) {
  char text[REPORT_TEXT_SIZE];
  LoadReportText(kTextCritical, text);
  AppendFormat(message, size, text, errorText);
  LoadReportText(kTextProgram, text);
  AppendFormat(message, size, text, programPath.c_str());
  if (where != nullptr) {
    switch (locationKind) {
      case LOCATION_FUNCTION: LoadReportText(kTextFunction, text); break;
      case LOCATION_OBJECT: LoadReportText(kTextObject, text); break;
      case LOCATION_HANDLE: LoadReportText(kTextHandle, text); break;
      case LOCATION_FILE: LoadReportText(kTextFile, text); break;
      case LOCATION_EXCEPTION: LoadReportText(kTextException, text); break;
      default: LoadReportText(kTextFileLine, text); break;
    }
    AppendFormat(message, size, text, where->c_str(), static_cast<int>(locationKind));
  }
  LoadReportText(code == ERR_ASSERTION_FAILED ? kTextExpression : kTextExtra, text);
  AppendFormat(message, size, text, extra != nullptr ? extra : "");
}

}  // namespace

REPORT_NOINLINE int ReportFatalError(uint32_t code, const char* location, int32_t locationKind, const char* extra,
                                     int allowContinue, uint32_t exitCode) {
  if (disabled.load() || reportInProgress.exchange(true)) return 0;
  platform::CriticalSection lock = ModuleSection();
  platform::EnterCriticalSection(lock);
  // This program keeps no buffered log files, so there is nothing to flush
  // before the box appears.

  const std::string programPath = report::ProgramPath();
  const std::string caption = Caption(programPath);

  char errorText[kErrorTextSize];
  ErrorWords(code, errorText, sizeof errorText);

  std::string where;
  if (location != nullptr) {
    where = (locationKind == LOCATION_OBJECT || locationKind == LOCATION_HANDLE) ? ReadableTypeName(location)
                                                                                   : std::string(location);
  }
  const std::string* whereKnown = location != nullptr ? &where : nullptr;
  SendDebugLine(whereKnown, locationKind, code, errorText);

  char message[kMessageSize] = "";
  ComposeMessage(message, sizeof message, errorText, programPath, whereKnown, locationKind, code, extra);
  // The report gets the message without the question.
  const std::string reportMessage = message;

  const ReportQuestion question = ChooseReportQuestion(DebuggerPresent(), allowContinue != 0);
  char text[REPORT_TEXT_SIZE];
  LoadReportText(question.text, text);
  AppendFormat(message, sizeof message, "%s", text);

  // The box would be owned by the program's main window; this program has
  // none, so the box stands alone.
  const int answer = hooks.messageBox != nullptr
                         ? hooks.messageBox(hooks.user, message, caption.c_str(), question.boxType)
                         : platform::MessageBox(message, caption.c_str(), question.boxType);

  platform::LeaveCriticalSection(lock);
  WriteErrorReport(reportMessage.c_str(), nullptr);

  if (answer == question.breakAnswer) {
    if (hooks.breakpoint != nullptr) hooks.breakpoint(hooks.user);
    else platform::RaiseBreakpoint();
    reportInProgress.store(false);
    return 1;
  }
  if (answer == question.keepRunningAnswer) {
    reportInProgress.store(false);
    return 1;
  }
  if (!platform::ProcessExitPending()) {
    if (hooks.terminate != nullptr) hooks.terminate(hooks.user, exitCode);
    else platform::TerminateProcess(exitCode);
  }
  reportInProgress.store(false);
  return 0;
}
