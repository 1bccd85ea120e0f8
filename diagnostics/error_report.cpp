// The report file: its folder and name, the header block and the message.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "diagnostics/diagnostics.h"
#include "diagnostics/report_internal.h"
#include "platform/diag.h"
#include "platform/platform.h"

namespace {

constexpr size_t kLineSize = 1024;
constexpr size_t kMaxLineText = 1021;
constexpr size_t kMaxPath = 260;
constexpr size_t kUserNameSize = 257;
constexpr size_t kComputerNameSize = 16;

std::atomic<int> headerWriters{0};

const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

void WriteRaw(platform::OsHandle file, const char* data, size_t size) {
  while (size > 0) {
    const uint32_t chunk = size > 0x10000000u ? 0x10000000u : static_cast<uint32_t>(size);
    uint32_t written = 0;
    if (!platform::WriteFile(file, data, chunk, &written) || written == 0) return;
    data += written;
    size -= written;
  }
}

// A folder that exists already counts as made, whatever the reason the
// creation gave.
bool MakeFolder(const std::string& folder) {
  if (platform::CreateDirectory(folder.c_str())) return true;
  const uint32_t attributes = platform::GetFileAttributes(folder.c_str());
  return attributes != platform::kInvalidFileAttributes && (attributes & platform::kFileAttributeDirectory) != 0;
}

std::string ReportFolder(const std::string& programPath) {
  const std::string programFolder = report::FolderOf(programPath);
  std::string folder;
  if (report::Hooks().reportFolder != nullptr) {
    folder = report::Hooks().reportFolder;
    if (!folder.empty() && folder.back() != '\\' && folder.back() != '/') folder += '\\';
  } else {
    folder = programFolder + "Errors\\";
  }
  return MakeFolder(folder) ? folder : programFolder;
}

}  // namespace

void WriteReportLine(void* target, const char* format, ...) {
  char line[kLineSize];
  va_list args;
  va_start(args, format);
  const int formatted = vsnprintf(line, kMaxLineText + 1, format, args);
  va_end(args);
  size_t length = formatted < 0 ? 0 : static_cast<size_t>(formatted);
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
  const std::string rule(78, '=');
  writer(target, "%s", rule.c_str());
  if ((flags & REPORT_TITLE) != 0 && title != nullptr) {
    writer(target, "%s", title);
    writer(target, "");
  }
  if ((flags & REPORT_PROGRAM) != 0) writer(target, "%-10s%s", "Exe:", report::ProgramPath().c_str());
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
  const std::string dashes(78, '-');
  writer(target, "%s", dashes.c_str());
  headerWriters.fetch_sub(1);
}

REPORT_NOINLINE void WriteErrorReport(const char* message, const platform::CpuContext* context) {
  platform::LocalTime time;
  report::CurrentLocalTime(&time);

  const std::string folder = ReportFolder(report::ProgramPath());
  char path[kMaxPath];
  snprintf(path, sizeof path, "%s%04d-%02d-%02d %02d.%02d.%02d %s.txt", folder.c_str(), time.year, time.month,
           time.day, time.hour, time.minute, time.second, context != nullptr ? "Crash" : "Error");

  platform::OsHandle file =
      platform::CreateFile(path, platform::kGenericWrite, platform::kFileShareRead | platform::kFileShareWrite,
                           platform::kCreateAlways, platform::kFileAttributeNormal);
  if (!platform::IsValidHandle(file)) return;

  WriteReportHeader(WriteReportLine, file, 0, nullptr, &time);

  std::string text = "\r\n";
  char previous = '\0';
  for (const char* p = message != nullptr ? message : ""; *p != '\0'; ++p) {
    if (*p == '\n' && previous != '\r') text += '\r';
    text += *p;
    previous = *p;
  }
  WriteRaw(file, text.data(), text.size());

  WriteCrashLog(WriteReportLine, file, 0, context, context != nullptr ? 0 : 2);
  platform::CloseHandle(file);
}
