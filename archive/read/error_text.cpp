// Error codes in words, for programs that report a failure to a user.
#include <cstring>
#include <string>

#include "sorvane/sorvane.h"
#include "platform/platform.h"

namespace {

// A write beyond 4 GB of a classic archive or a file of that size; the
// system's own words for it speak of a file size limit.
constexpr uint32_t kErrorFileTooLarge = 223;

const char* LibraryWords(uint32_t code) {
  switch (code) {
    case ERR_NOT_ARCHIVE: return "not an archive: no archive header found";
    case ERR_FILE_NOT_STORED: return "no such file is stored in this locale";
    case ERR_HASH_TABLE_FULL: return "the archive's hash table is full";
    case ERR_ALREADY_STORED: return "a file of that name is already stored in this locale";
    case ERR_READ_ONLY_NEEDS_EXISTING: return "read-only access needs an existing archive";
    case kErrorFileTooLarge:
      return "the archive would grow beyond 4 GiB (only archives created with --format 1 may), "
             "or a file beyond 4 GiB";
    case ERROR_FILE_INVALID: return "a stored file is damaged or its key cannot be found";
    case ERROR_FILE_CORRUPT: return "the archive's data is damaged";
    default: return nullptr;
  }
}

std::string Words(uint32_t code) {
  if (const char* words = LibraryWords(code)) return words;
  std::string text;
  if (!platform::FormatSystemMessage(code, text)) return "unknown error";
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.')) {
    text.pop_back();
  }
  return text;
}

}  // namespace

extern "C" uint32_t GetErrorText(uint32_t code, char* buffer, uint32_t size) {
  const uint32_t saved = GetLastError();
  std::string text;
  try {
    text = Words(code);
  } catch (...) {
    text = "unknown error";
  }
  const uint32_t length = static_cast<uint32_t>(text.size());
  if (buffer != nullptr && size != 0) {
    if (size > length) std::memcpy(buffer, text.c_str(), length + 1);
    else buffer[0] = '\0';
  }
  SetLastError(saved);
  return length;
}
