// Folders and files for crash reports, made with nothing the crash
// capture's report thread may not call.
#include <cstring>
#include <string>

#include "platform/win32/win32_internal.h"

namespace platform {

bool MakeFolder(const char* path, bool parents) {
  if (path == nullptr || path[0] == '\0') {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  char folder[MAX_PATH];
  size_t length = strlen(path);
  if (length >= sizeof folder) {
    ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  memcpy(folder, path, length + 1);
  while (length > 3 && (folder[length - 1] == '\\' || folder[length - 1] == '/')) folder[--length] = '\0';
  if (parents) {
    // Skip the drive or the server and share of a network path.
    size_t from = 1;
    if (length > 2 && folder[1] == ':') from = 3;
    for (size_t i = from; i < length; ++i) {
      if (folder[i] != '\\' && folder[i] != '/') continue;
      const char separator = folder[i];
      folder[i] = '\0';
      ::CreateDirectoryA(folder, nullptr);
      folder[i] = separator;
    }
  }
  if (::CreateDirectoryA(folder, nullptr)) return true;
  const DWORD error = ::GetLastError();
  const DWORD attributes = ::GetFileAttributesA(folder);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return true;
  ::SetLastError(error);
  return false;
}

OsHandle CreateNewFile(const char* path) {
  HANDLE file = ::CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    // CREATE_NEW names an existing file "file exists" already.
    return InvalidHandle();
  }
  return file;
}

void WriteStandardError(const char* text, size_t length) {
  HANDLE output = ::GetStdHandle(STD_ERROR_HANDLE);
  if (output == nullptr || output == INVALID_HANDLE_VALUE) return;
  while (length > 0) {
    DWORD written = 0;
    const DWORD chunk = length > 0x10000 ? 0x10000 : static_cast<DWORD>(length);
    if (!::WriteFile(output, text, chunk, &written, nullptr) || written == 0) return;
    text += written;
    length -= written;
  }
}

bool FolderIsWritable(const char* folder) {
  if (folder == nullptr || folder[0] == '\0') return false;
  std::string path = folder;
  while (path.size() > 3 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    // Not there yet: it can be made where its parent takes new entries.
    const size_t slash = path.find_last_of("\\/");
    if (slash == std::string::npos) return false;
    path.erase(slash);
    if (path.size() == 2 && path[1] == ':') path += '\\';
  } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return false;
  }
  // Access rights are only known by trying: a file that goes when closed.
  const std::string probe = path + "\\tavrix-probe-" + std::to_string(::GetCurrentProcessId()) + ".tmp";
  HANDLE file = ::CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  ::CloseHandle(file);
  return true;
}

bool UserReportFolder(const char* name, std::string& folder) {
  if (name == nullptr || name[0] == '\0') return false;
  char base[MAX_PATH];
  const DWORD length = ::GetEnvironmentVariableA("LOCALAPPDATA", base, sizeof base);
  if (length == 0 || length >= sizeof base) return false;
  folder.assign(base, length);
  while (!folder.empty() && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
  folder += "\\";
  folder += name;
  folder += "\\Errors\\";
  return true;
}

}  // namespace platform
