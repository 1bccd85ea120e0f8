// Output trees on Windows. A folder handle holds the folder's path; each
// level and each file's place is looked at before use, and one that is a
// reparse point (a symbolic link, a junction, a mount point) is refused.
// This is a best effort: between the look and the use another process could
// put a junction there, which the POSIX build's descriptor walk rules out.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "platform/win32/win32_internal.h"
#include "platform/write_slots.h"
#include "platform/write_steps.h"

namespace platform {

namespace {

struct Folder {
  std::string path;  // ready for a name: ends in a separator, or is a bare drive
};

Folder* FromHandle(FolderHandle folder) { return static_cast<Folder*>(folder); }

bool CheckFolder(FolderHandle folder) {
  if (folder != nullptr) return true;
  ::SetLastError(ERROR_INVALID_HANDLE);
  return false;
}

// The files being written, for the console handler (write_slots.h), which
// runs on a thread of its own while the program goes on: it waits for steps
// in progress to finish, and the default handler ends the process after it.
struct Win32Files {
  struct Place {
    char path[MAX_PATH * 4];
  };
  static bool Fits(const std::string& path) { return path.size() < sizeof Place::path; }
  static void Record(Place* place, const std::string& path) {
    std::memcpy(place->path, path.c_str(), path.size() + 1);
  }
  static bool Holds(const Place& place, const std::string& path) { return path == place.path; }
  // The file is open with delete sharing: it goes when the process ends.
  static void Remove(const Place& place) { ::DeleteFileA(place.path); }

  using ThreadId = DWORD;
  static ThreadId CurrentThread() { return ::GetCurrentThreadId(); }
  static constexpr bool kSlotsOutliveThreads = true;
  // Whether the thread of this id has ended (or is no longer known).
  static bool ThreadEnded(DWORD id) {
    HANDLE thread = ::OpenThread(SYNCHRONIZE, FALSE, id);
    if (thread == nullptr) return true;
    const bool ended = ::WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
    ::CloseHandle(thread);
    return ended;
  }

  static void Nap() { ::Sleep(1); }
  [[noreturn]] static void WaitForTheEnd() {
    for (;;) ::Sleep(INFINITE);
  }
  // The console handler ends the process once its sweep is through.
  static void StepDoneWhileEnding(int /*number*/) {}
};
using Slots = internal::WriteSlots<Win32Files>;

void DropAll() {
  Slots::BeginEnding(1);
  // A second at most for each step in progress.
  Slots::Sweep(nullptr, 1000);
}

BOOL WINAPI OnConsoleEvent(DWORD /*event*/) {
  DropAll();
  return FALSE;  // the default handler ends the process
}

OsHandle CreateNew(const std::string& path, DWORD attributes) {
  Slots::Step step;
  if (step.slot() == nullptr) {
    ::SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    return InvalidHandle();
  }
  // No write sharing: no other program changes the file while it is made.
  // Delete sharing lets the interrupt sweep remove it while it is open.
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                           attributes | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE || h == nullptr) {
    // A folder in the way answers access denied; callers tell what is
    // there from "exists".
    const DWORD error = ::GetLastError();
    const DWORD found = ::GetFileAttributesA(path.c_str());
    if (found == INVALID_FILE_ATTRIBUTES) ::SetLastError(error);
    else if ((found & FILE_ATTRIBUTE_REPARSE_POINT) != 0) ::SetLastError(kErrorStoppedOnSymlink);
    else ::SetLastError(ERROR_FILE_EXISTS);
    return InvalidHandle();
  }
  Slots::Arm(step.slot(), path);
  ::SetLastError(ERROR_SUCCESS);
  return h;
}

// Whether the system takes this name, in any folder, for a device: what is
// written to "nul.txt" or "con" goes to the device, and the write succeeds
// with no file made. The part before the first dot or colon counts, without
// its trailing blanks; case does not.
bool IsDeviceName(const char* name) {
  std::string stem;
  for (const char* p = name; *p != '\0' && *p != '.' && *p != ':'; ++p) {
    const char c = *p;
    stem += c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  }
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL" || stem == "CONIN$" ||
      stem == "CONOUT$") {
    return true;
  }
  if (stem.size() != 4 || (stem.compare(0, 3, "COM") != 0 && stem.compare(0, 3, "LPT") != 0)) return false;
  // The digits, and the superscript ones of the ANSI code page.
  const auto digit = static_cast<unsigned char>(stem[3]);
  return (digit >= '0' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
}

// Whether a file or folder made under this name in a folder is an entry of
// exactly this name there. Not so for a device name, nor where the system
// reads the name as something else: it drops trailing dots and blanks ("a."
// is "a", "dir.\x" is "dir\x"), and a colon names a stream of another file
// ("a.txt:s" is written inside "a.txt"). The characters it keeps for
// wildcards and controls it refuses anyway; refused here, they cannot turn
// the look-up below into a pattern. "." is the folder itself, as on POSIX.
bool KeepsItsName(const char* name) {
  if (name[0] == '\0') return false;
  if (std::strcmp(name, ".") == 0) return true;
  for (const char* p = name; *p != '\0'; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c < 0x20 || std::strchr("<>:\"|?*", c) != nullptr) return false;
  }
  const char last = name[std::strlen(name) - 1];
  return last != '.' && last != ' ' && !IsDeviceName(name);
}

// Whether the entry found at path, which exists, bears this name (in any
// letter case, compared as the system compares names) rather than being
// found by a short name ("LONGFI~1.TXT" finds "longfilename.txt"): a file
// of one name must not take the place of another's.
bool FoundUnderItsOwnName(const std::string& path, const char* name) {
  if (std::strcmp(name, ".") == 0) return true;
  WIN32_FIND_DATAA found;
  HANDLE search = ::FindFirstFileA(path.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return true;  // cannot be told: as before
  ::FindClose(search);
  const UINT codePage = ::AreFileApisANSI() ? CP_ACP : CP_OEMCP;
  wchar_t wanted[MAX_PATH + 1], actual[MAX_PATH + 1];
  const int a = ::MultiByteToWideChar(codePage, 0, name, -1, wanted, MAX_PATH + 1);
  const int b = ::MultiByteToWideChar(codePage, 0, found.cFileName, -1, actual, MAX_PATH + 1);
  if (a == 0 || b == 0) return std::strcmp(name, found.cFileName) == 0;
  return ::CompareStringOrdinal(wanted, -1, actual, -1, TRUE) == CSTR_EQUAL;
}

}  // namespace

FolderHandle OpenFolder(const char* path) {
  if (path == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const DWORD attributes = ::GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return nullptr;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    ::SetLastError(ERROR_DIRECTORY);
    return nullptr;
  }
  Folder* folder = new (std::nothrow) Folder{path};
  if (folder == nullptr) {
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  win32::EndWithSeparator(folder->path);
  return folder;
}

FolderHandle OpenSubfolder(FolderHandle parent, const char* name, bool create) {
  if (!CheckFolder(parent)) return nullptr;
  if (name == nullptr || name[0] == '\0' || std::strpbrk(name, "\\/") != nullptr || std::strcmp(name, "..") == 0) {
    ::SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  if (!KeepsItsName(name)) {
    ::SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  const std::string path = FromHandle(parent)->path + name;
  DWORD attributes = ::GetFileAttributesA(path.c_str());
  bool made = false;
  if (attributes == INVALID_FILE_ATTRIBUTES && create) {
    made = ::CreateDirectoryA(path.c_str(), nullptr) != FALSE;
    if (!made && ::GetLastError() != ERROR_ALREADY_EXISTS) return nullptr;
    attributes = ::GetFileAttributesA(path.c_str());
  }
  if (attributes == INVALID_FILE_ATTRIBUTES) return nullptr;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    ::SetLastError(kErrorStoppedOnSymlink);
    return nullptr;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    ::SetLastError(ERROR_PATH_NOT_FOUND);
    return nullptr;
  }
  if (!made && !FoundUnderItsOwnName(path, name)) {
    ::SetLastError(ERROR_ALREADY_EXISTS);
    return nullptr;
  }
  Folder* folder = new (std::nothrow) Folder{path + "\\"};
  if (folder == nullptr) ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return folder;
}

void CloseFolder(FolderHandle folder) { delete FromHandle(folder); }

FolderHandle DuplicateFolder(FolderHandle folder) {
  if (!CheckFolder(folder)) return nullptr;
  Folder* copy = new (std::nothrow) Folder{FromHandle(folder)->path};
  if (copy == nullptr) ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return copy;
}

EntryKind GetEntryKind(FolderHandle folder, const char* name) {
  if (!CheckFolder(folder)) return EntryKind::Missing;
  const DWORD attributes = ::GetFileAttributesA((FromHandle(folder)->path + name).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    if (::GetLastError() == ERROR_PATH_NOT_FOUND) ::SetLastError(ERROR_FILE_NOT_FOUND);
    return EntryKind::Missing;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return EntryKind::Link;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return EntryKind::Folder;
  return EntryKind::File;
}

OsHandle CreateFileIn(FolderHandle folder, const char* name) {
  if (!CheckFolder(folder)) return InvalidHandle();
  if (!KeepsItsName(name)) {
    ::SetLastError(ERROR_INVALID_NAME);
    return InvalidHandle();
  }
  const std::string path = FromHandle(folder)->path + name;
  OsHandle file = CreateNew(path, FILE_ATTRIBUTE_NORMAL);
  // What is there under another name is no old file of this one to replace.
  if (!IsValidHandle(file) && ::GetLastError() == ERROR_FILE_EXISTS && !FoundUnderItsOwnName(path, name)) {
    ::SetLastError(ERROR_ALREADY_EXISTS);
  }
  return file;
}

OsHandle CreateTempFileIn(FolderHandle folder, std::string* name) {
  if (!CheckFolder(folder)) return InvalidHandle();
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    char candidate[64];
    std::snprintf(candidate, sizeof candidate, ".extract-%lu-%u.part",
                  static_cast<unsigned long>(::GetCurrentProcessId()), counter++);
    OsHandle file = CreateNew(FromHandle(folder)->path + candidate, FILE_ATTRIBUTE_HIDDEN);
    if (IsValidHandle(file)) {
      *name = candidate;
      return file;
    }
    if (::GetLastError() != ERROR_FILE_EXISTS) return file;
  }
  return InvalidHandle();
}

// The rename below gives the file its attributes; its security comes from
// the folder as a new file's would.
bool SetNewFileMode(OsHandle file) { return win32::CheckHandle(file); }

bool FinishFileIn(FolderHandle folder, const char* from, const char* to) {
  if (!CheckFolder(folder)) return false;
  if (std::strcmp(from, to) != 0 && !internal::TakeWriteStep()) return false;
  Slots::Step step;
  if (std::strcmp(from, to) != 0) {
    const std::string source = FromHandle(folder)->path + from;
    const std::string target = FromHandle(folder)->path + to;
    if (!::MoveFileExA(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return false;
    ::SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);
  }
  Slots::Disarm(step.slot());
  return true;
}

bool DeleteFileIn(FolderHandle folder, const char* name) {
  if (!CheckFolder(folder)) return false;
  if (!internal::TakeWriteStep()) return false;
  Slots::Step step;
  const std::string path = FromHandle(folder)->path + name;
  if (!::DeleteFileA(path.c_str())) return false;
  Slots::DisarmIf(step.slot(), path);
  return true;
}

void InstallInterruptCleanup() { ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

void DropPendingOutput() { DropAll(); }

}  // namespace platform
