// The report file: its folder and name, the header block and the message.
// Everything from the folder on is written without the heap, locks or stdio,
// so the same code serves reports asked for by code and crash reports
// written from a fault handler.
#include <atomic>
#include <cstdarg>
#include <cstring>
#include <string>

#include "diagnostics/diagnostics.h"
#include "diagnostics/report_internal.h"
#include "diagnostics/system.h"
#include "platform/platform.h"

namespace {

constexpr size_t kLineSize = 1024;
constexpr size_t kMaxLineText = 1021;
constexpr size_t kUserNameSize = 257;
constexpr size_t kComputerNameSize = 16;
// Reports of one second are told apart by a counter before ".txt".
constexpr int kMaxReportsPerSecond = 9999;

std::atomic<int> headerWriters{0};

const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

const char kEquals78[] = "==============================================================================";
const char kDashes78[] = "------------------------------------------------------------------------------";

void WriteRaw(platform::OsHandle file, const char* data, size_t size) {
  while (size > 0) {
    const uint32_t chunk = size > 0x10000000u ? 0x10000000u : static_cast<uint32_t>(size);
    uint32_t written = 0;
    if (!platform::WriteFile(file, data, chunk, &written) || written == 0) return;
    data += written;
    size -= written;
  }
}

bool EndsInSeparator(const char* path) {
  const size_t length = strlen(path);
  return length > 0 && (path[length - 1] == '\\' || path[length - 1] == '/');
}

// folder + name into path; false when it does not fit.
bool JoinPath(char* path, const char* folder, const char* name) {
  return report::FormatText(path, report::kMaxPath, "%s%s", folder, name) < report::kMaxPath;
}

void SayNotWritten(const char* why, const char* path) {
  char line[report::kMaxPath + 128];
  const size_t length = report::FormatText(line, sizeof line, "Error report not written: %s: %s\n", why, path);
  platform::WriteStandardError(line, length < sizeof line ? length : sizeof line - 1);
}

// A new file for the report in folder: "<time> <kind>.txt", or
// "<time> <kind> (N).txt" when reports of the same second are there
// already. Never opens an existing file and never cuts a name short.
platform::OsHandle CreateReportIn(const char* folder, const platform::LocalTime& time, const char* kind,
                                  bool* tooLong) {
  char stem[64];
  report::FormatText(stem, sizeof stem, "%04d-%02d-%02d %02d.%02d.%02d %s", time.year, time.month, time.day,
                     time.hour, time.minute, time.second, kind);
  for (int counter = 1; counter <= kMaxReportsPerSecond; ++counter) {
    char name[96];
    if (counter == 1) report::FormatText(name, sizeof name, "%s.txt", stem);
    else report::FormatText(name, sizeof name, "%s (%d).txt", stem, counter);
    char path[report::kMaxPath];
    if (!JoinPath(path, folder, name)) {
      *tooLong = true;
      return platform::InvalidHandle();
    }
    const platform::OsHandle file = platform::CreateNewFile(path);
    if (platform::IsValidHandle(file)) return file;
    if (platform::GetLastError() != platform::kErrorFileExists) return platform::InvalidHandle();
  }
  return platform::InvalidHandle();
}

// The message with every bare line feed written as CR LF.
void WriteMessage(platform::OsHandle file, const char* message) {
  char chunk[512];
  size_t used = 0;
  auto put = [&](char c) {
    if (used == sizeof chunk) {
      WriteRaw(file, chunk, used);
      used = 0;
    }
    chunk[used++] = c;
  };
  put('\r');
  put('\n');
  char previous = '\0';
  for (const char* p = message != nullptr ? message : ""; *p != '\0'; ++p) {
    if (*p == '\n' && previous != '\r') put('\r');
    put(*p);
    previous = *p;
  }
  WriteRaw(file, chunk, used);
}

}  // namespace

void WriteReportLine(void* target, const char* format, ...) {
  char line[kLineSize];
  va_list args;
  va_start(args, format);
  size_t length = report::FormatTextV(line, kMaxLineText + 1, format, args);
  va_end(args);
  if (length > kMaxLineText) length = kMaxLineText;
  line[length++] = '\r';
  line[length++] = '\n';
  WriteRaw(static_cast<platform::OsHandle>(target), line, length);
}

void WriteReportHeader(ReportWriter writer, void* target, uint32_t flags, const char* title,
                       const platform::LocalTime* time) {
  if (flags == 0 || (flags & REPORT_DEFAULT) != 0) {
    flags |= REPORT_HEADER_DEFAULTS;
    if (title != nullptr) flags |= REPORT_TITLE;
  }
  if (headerWriters.fetch_add(1) != 0) {
    headerWriters.fetch_sub(1);
    return;
  }
  writer(target, "%s", kEquals78);
  if ((flags & REPORT_TITLE) != 0 && title != nullptr) {
    writer(target, "%s", title);
    writer(target, "");
  }
  if ((flags & REPORT_PROGRAM) != 0) {
    char program[report::kMaxPath];
    report::ProgramPathInto(program, sizeof program);
    writer(target, "%-10s%s", "Exe:", program);
  }
  if ((flags & REPORT_TIME) != 0) {
    platform::LocalTime now;
    if (time == nullptr) {
      report::CurrentLocalTime(&now);
      time = &now;
    }
    const char* month = time->month >= 1 && time->month <= 12 ? kMonths[time->month - 1] : "???";
    const int hour12 = time->hour % 12 == 0 ? 12 : time->hour % 12;
    writer(target, "%-10s%3s %2d, %4d %2d:%02d:%02d.%03d %cM", "Time:", month, time->day, time->year, hour12,
           time->minute, time->second, time->milliseconds, time->hour < 12 ? 'A' : 'P');
  }
  if ((flags & REPORT_USER) != 0) {
    char user[kUserNameSize] = "";
    uint32_t size = sizeof user;
    writer(target, "%-10s%s", "User:", platform::GetUserName(user, &size) ? user : "<unknown>");
  }
  if ((flags & REPORT_COMPUTER) != 0) {
    char computer[kComputerNameSize] = "";
    uint32_t size = sizeof computer;
    writer(target, "%-10s%s", "Computer:", platform::GetComputerName(computer, &size) ? computer : "<unknown>");
  }
  writer(target, "%s", kDashes78);
  headerWriters.fetch_sub(1);
}

REPORT_NOINLINE bool report::WriteReportFile(const ReportFolders& folders, const platform::LocalTime& time,
                                             const char* message, const platform::CpuContext* context,
                                             const TraceStart* start) {
  const char* kind = context != nullptr ? "Crash" : "Error";
  bool tooLong = false;
  platform::OsHandle file = platform::InvalidHandle();
  const char* tried = folders.folder;
  if (platform::MakeFolder(folders.folder, folders.parents)) {
    file = CreateReportIn(folders.folder, time, kind, &tooLong);
  }
  if (!platform::IsValidHandle(file) && folders.fallback[0] != '\0') {
    tried = folders.fallback;
    file = CreateReportIn(folders.fallback, time, kind, &tooLong);
  }
  if (!platform::IsValidHandle(file)) {
    SayNotWritten(tooLong ? "the path would be too long" : "no file could be created in", tried);
    return false;
  }

  WriteReportHeader(WriteReportLine, file, 0, nullptr, &time);
  WriteMessage(file, message);
  if (start != nullptr && context != nullptr) {
    WriteFaultCrashLog(WriteReportLine, file, 0, *context, *start);
  } else {
    // Without a context the trace leaves out this writer, the caller that
    // asked for the report and the one above it.
    WriteCrashLog(WriteReportLine, file, 0, context, context != nullptr ? 0 : 3);
  }
  platform::CloseHandle(file);
  return true;
}

REPORT_NOINLINE void WriteErrorReport(const char* message, const platform::CpuContext* context) {
  platform::LocalTime time;
  report::CurrentLocalTime(&time);

  // The folder: the hooks' one, else the one chosen when capture was
  // installed, else "Errors\" beside the executable; failing that the
  // executable's own folder.
  report::ReportFolders folders{};
  const std::string programFolder = report::FolderOf(report::ProgramPath());
  const char* hookFolder = report::Hooks().reportFolder;
  if (hookFolder != nullptr || !report::InstalledFolders(&folders)) {
    std::string folder = hookFolder != nullptr ? std::string(hookFolder) : programFolder + "Errors\\";
    if (!folder.empty() && !EndsInSeparator(folder.c_str())) folder += '\\';
    report::FormatText(folders.folder, sizeof folders.folder, "%s", folder.c_str());
    report::FormatText(folders.fallback, sizeof folders.fallback, "%s", programFolder.c_str());
    folders.parents = false;
    if (folder.size() >= sizeof folders.folder || programFolder.size() >= sizeof folders.fallback) {
      SayNotWritten("the path would be too long", folder.c_str());
      return;
    }
  }
  report::WriteReportFile(folders, time, message, context, nullptr);
}
