#include "platform/win32/win32_internal.h"

namespace platform {

uint32_t GetLastError() { return ::GetLastError(); }

void SetLastError(uint32_t code) { ::SetLastError(code); }

bool FormatSystemMessage(uint32_t code, std::string& text) {
  text.clear();
  char* message = nullptr;
  const DWORD saved = ::GetLastError();
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0x400, reinterpret_cast<LPSTR>(&message), 0, nullptr);
  if (length != 0 && message != nullptr) text.assign(message, length);
  if (message != nullptr) LocalFree(message);
  // Asking for a text is not itself a failure the caller should see.
  ::SetLastError(saved);
  return !text.empty();
}

}  // namespace platform
