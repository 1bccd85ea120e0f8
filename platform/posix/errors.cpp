#include <cerrno>
#include <sys/stat.h>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace platform {

namespace {

thread_local uint32_t lastError = kErrorSuccess;

struct SystemText {
  uint32_t code;
  const char* text;
};

// The English texts the system gives for the codes this program meets.
constexpr SystemText kSystemTexts[] = {
    {0, "The operation completed successfully.\r\n"},
    {1, "Incorrect function.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {4, "The system cannot open the file.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {14, "Not enough memory resources are available to complete this operation.\r\n"},
    {17, "The system cannot move the file to a different disk drive.\r\n"},
    {19, "The media is write protected.\r\n"},
    {31, "A device attached to the system is not functioning.\r\n"},
    {32, "The process cannot access the file because it is being used by another process.\r\n"},
    {38, "Reached the end of the file.\r\n"},
    {50, "The request is not supported.\r\n"},
    {80, "The file exists.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {109, "The pipe has been ended.\r\n"},
    {112, "There is not enough space on the disk.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {123, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {126, "The specified module could not be found.\r\n"},
    {127, "The specified procedure could not be found.\r\n"},
    {131, "An attempt was made to move the file pointer before the beginning of the file.\r\n"},
    {145, "The directory is not empty.\r\n"},
    {183, "Cannot create a file when that file already exists.\r\n"},
    {206, "The filename or extension is too long.\r\n"},
    {223, "The file size exceeds the limit allowed and cannot be saved.\r\n"},
    {259, "No more data is available.\r\n"},
    {267, "The directory name is invalid.\r\n"},
    {681, "The create operation stopped after reaching a symbolic link.\r\n"},
    {1006, "The volume for a file has been externally altered so that the opened file is no longer valid.\r\n"},
    {1117, "The request could not be performed because of an I/O device error.\r\n"},
    {1392, "The file or directory is corrupted and unreadable.\r\n"},
    {1608, "Unknown property.\r\n"},
    {1921, "The name of the file cannot be resolved by the system.\r\n"},
};

}  // namespace

uint32_t GetLastError() { return lastError; }

void SetLastError(uint32_t code) { lastError = code; }

bool FormatSystemMessage(uint32_t code, std::string& text) {
  text.clear();
  for (const SystemText& entry : kSystemTexts) {
    if (entry.code == code) {
      text = entry.text;
      return true;
    }
  }
  return false;
}

namespace posix {

uint32_t ErrnoToWin32(int err) {
  switch (err) {
    case 0: return kErrorSuccess;
    case ENOENT: return kErrorFileNotFound;
    case ENOTDIR: return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EISDIR: return kErrorAccessDenied;
    case EBADF: return kErrorInvalidHandle;
    case ENOMEM: return kErrorNotEnoughMemory;
    case EEXIST: return kErrorFileExists;
    case EINVAL: return kErrorInvalidParameter;
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
      return kErrorDiskFull;
    case ENAMETOOLONG: return kErrorFilenameExcedRange;
    case EMFILE:
    case ENFILE: return kErrorTooManyOpenFiles;
    case EIO: return kErrorIoDevice;
    case EROFS: return kErrorWriteProtect;
    case EBUSY:
    case ETXTBSY: return kErrorSharingViolation;
    case EPIPE: return kErrorBrokenPipe;
    case EXDEV: return kErrorNotSameDevice;
    case ENOTEMPTY: return kErrorDirNotEmpty;
    case EFBIG:
    case EOVERFLOW: return kErrorFileTooLarge;
    case ELOOP: return kErrorCantResolveFilename;
    case ESPIPE:
    case ENOSYS:
#if defined(EOPNOTSUPP) && EOPNOTSUPP != ENOTSUP
    case EOPNOTSUPP:
#endif
    case ENOTSUP: return kErrorNotSupported;
    default: return kErrorGenFailure;
  }
}

void SetLastErrorFromErrno(int err, const char* path) {
  uint32_t code = ErrnoToWin32(err);
  if (err == ENOENT && path != nullptr) {
    // Windows says "path not found" when the folder part is missing and
    // "file not found" only when the folder exists but the name does not.
    std::string native = NativePath(path);
    size_t slash = native.find_last_of('/');
    if (slash != std::string::npos && slash != 0) {
      struct stat st;
      std::string folder = native.substr(0, slash);
      if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) code = kErrorPathNotFound;
    }
  }
  lastError = code;
}

std::string NativePath(const char* path) {
  std::string native = path != nullptr ? path : "";
  for (char& c : native) {
    if (c == '\\') c = '/';
  }
  return native;
}

}  // namespace posix

}  // namespace platform
