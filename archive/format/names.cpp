// Stored names as paths on disk.
#include <cstring>

#include "sorvane/sorvane.h"

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

namespace {

// Components that are empty (a doubled or trailing separator) or ".": such
// a name extracts to the same path as another name, and adding the
// extracted tree back gives a different name.
bool HasHollowComponent(const char* name) {
  const char* start = name;
  for (const char* p = name;; ++p) {
    if (*p == '\0' || IsSeparator(*p)) {
      const size_t length = static_cast<size_t>(p - start);
      if (length == 0 || (length == 1 && *start == '.')) return true;
      if (*p == '\0') return false;
      start = p + 1;
    }
  }
}

// The length of the valid UTF-8 sequence at p that is no control character
// (C1 controls, U+0080 to U+009F, are escape sequences to some terminals);
// 0 when there is none.
size_t PrintableSequence(const unsigned char* p) {
  const unsigned char c = p[0];
  if (c >= 0x20 && c < 0x7F) return 1;
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
    if (c == 0xC2) low = 0xA0;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (p[1] < low || p[1] > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if (p[i] < 0x80 || p[i] > 0xBF) return 0;
  return length;
}

bool NeedsQuoting(const char* name) {
  if (name[0] == '$' && name[1] == '\'') return true;  // would read as a quoted form
  const auto* p = reinterpret_cast<const unsigned char*>(name);
  while (*p != 0) {
    const size_t n = PrintableSequence(p);
    if (n == 0) return true;
    p += n;
  }
  return false;
}

}  // namespace

uint32_t CheckStoredName(const char* name) {
  if (name == nullptr || name[0] == '\0') return NAME_EMPTY;
  const size_t length = std::strlen(name);
  if (length > STORED_NAME_MAX) return NAME_TOO_LONG;
  if (std::strpbrk(name, "\r\n") != nullptr) return NAME_LINE_END;
  if (!IsSafeStoredName(name)) return NAME_LEAVES_FOLDER;
  if (HasHollowComponent(name)) return NAME_HOLLOW_COMPONENT;
  return NAME_FOLLOWS_RULE;
}

uint32_t QuoteStoredName(const char* name, char* buffer, uint32_t size) {
  if (name == nullptr || (buffer == nullptr && size != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0xFFFFFFFFu;
  }
  // Each byte takes at most four characters ("\ooo"); the bound keeps the
  // length within the return value.
  const size_t length = std::strlen(name);
  if (length > (0xFFFFFFFEu - 3) / 4) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0xFFFFFFFFu;
  }
  uint32_t used = 0;
  auto put = [&](char c) {
    if (used + 1 < size) buffer[used] = c;
    ++used;
  };
  if (!NeedsQuoting(name)) {
    for (size_t i = 0; i < length; ++i) put(name[i]);
  } else {
    put('$');
    put('\'');
    const auto* p = reinterpret_cast<const unsigned char*>(name);
    while (*p != 0) {
      const size_t n = PrintableSequence(p);
      if (n != 0 && *p != '\\' && *p != '\'') {
        for (size_t i = 0; i < n; ++i) put(static_cast<char>(p[i]));
        p += n;
        continue;
      }
      static const char kLetters[] = "abtnvfr";  // \a (7) to \r (13)
      put('\\');
      if (*p == '\\' || *p == '\'') {
        put(static_cast<char>(*p));
      } else if (*p >= 7 && *p <= 13) {
        put(kLetters[*p - 7]);
      } else {
        put(static_cast<char>('0' + (*p >> 6)));
        put(static_cast<char>('0' + ((*p >> 3) & 7)));
        put(static_cast<char>('0' + (*p & 7)));
      }
      ++p;
    }
    put('\'');
  }
  // Written only whole: a buffer too small gets nothing but its terminator.
  if (size != 0) buffer[used < size ? used : 0] = '\0';
  return used;
}
