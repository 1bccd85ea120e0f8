#include "platform/win32/win32_internal.h"
#include "platform/write_steps.h"

namespace platform {

namespace {

bool CheckPath(const char* path) {
  if (path != nullptr) return true;
  ::SetLastError(ERROR_INVALID_PARAMETER);
  return false;
}

}  // namespace

bool DeleteFile(const char* path) {
  return CheckPath(path) && internal::TakeWriteStep() && ::DeleteFileA(path) != FALSE;
}

bool MoveFileReplace(const char* from, const char* to) {
  return CheckPath(from) && CheckPath(to) && internal::TakeWriteStep() &&
         ::MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != FALSE;
}

// ReplaceFileA gives the replacement the replaced file's attributes and
// security, and fails while either file is open without delete sharing.
bool ReplaceFile(const char* target, const char* replacement) {
  if (!CheckPath(target) || !CheckPath(replacement) || !internal::TakeWriteStep()) return false;
  if (::ReplaceFileA(target, replacement, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != FALSE) {
    return true;
  }
  // Without a backup name this error means the target is already gone and
  // the replacement still has its own name: a caller that took the failure
  // at its word would delete the only copy left. The move finishes the step.
  if (::GetLastError() != ERROR_UNABLE_TO_MOVE_REPLACEMENT) return false;
  return ::MoveFileExA(replacement, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

bool CanReplaceOpenFile() { return false; }

bool CreateDirectory(const char* path) { return CheckPath(path) && ::CreateDirectoryA(path, nullptr) != FALSE; }

bool RemoveDirectory(const char* path) { return CheckPath(path) && ::RemoveDirectoryA(path) != FALSE; }

bool SetCurrentDirectory(const char* path) { return CheckPath(path) && ::SetCurrentDirectoryA(path) != FALSE; }

uint32_t GetCurrentDirectory(uint32_t size, char* buffer) {
  return ::GetCurrentDirectoryA(buffer != nullptr ? size : 0, buffer);
}

uint32_t GetFileAttributes(const char* path) {
  if (!CheckPath(path)) return kInvalidFileAttributes;
  return ::GetFileAttributesA(path);
}

uint32_t GetDriveType(const char* root) { return ::GetDriveTypeA(root); }

bool FileExists(const char* path) {
  if (!CheckPath(path)) return false;
  WIN32_FIND_DATAA found;
  HANDLE search = ::FindFirstFileA(path, &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  ::FindClose(search);
  return true;
}

bool IsAbsolutePath(const char* path) {
  if (path == nullptr) return false;
  const char c = path[0];
  const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
  const auto separator = [](char x) { return x == '\\' || x == '/'; };
  // \\server\share\..., \\?\... and \\.\... name their own root: a drive
  // put in front of them would name another place.
  if (separator(c) && separator(path[1]) && path[2] != '\0') return true;
  return letter && path[1] == ':' && separator(path[2]);
}

char PathSeparator() { return '\\'; }

}  // namespace platform
