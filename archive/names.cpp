// Stored names as paths on disk.
#include <cstring>

#include "archive/sorvane.h"

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace

bool IsSafeStoredName(const char* name) {
  if (name == nullptr || name[0] == '\0') return true;
  if (IsSeparator(name[0])) return false;
  if (name[1] == ':') return false;
  // Windows drops trailing dots and spaces from a component, so "..." and
  // ".. " lead upwards there just as ".." does.
  size_t dots = 0;
  bool onlyDotsAndSpaces = true;
  for (const char* p = name;; ++p) {
    if (*p == '\0' || IsSeparator(*p)) {
      if (onlyDotsAndSpaces && dots >= 2) return false;
      if (*p == '\0') return true;
      dots = 0;
      onlyDotsAndSpaces = true;
    } else if (*p == '.') {
      ++dots;
    } else if (*p != ' ') {
      onlyDotsAndSpaces = false;
    }
  }
}
