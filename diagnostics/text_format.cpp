// printf-style formatting into a fixed buffer that allocates nothing, takes
// no lock and consults no locale, so crash reports can be written from a
// fault handler. It follows the C library's rules for what it supports:
// the flags "-0+ #", width and precision (also as *), the lengths hh h l ll
// z j t, and the conversions d i u o x X c s p %.
#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "diagnostics/report_internal.h"

namespace report {

namespace {

class Output {
 public:
  Output(char* out, size_t size) : out_(out), size_(size) {}
  void Put(char c) {
    if (out_ != nullptr && length_ + 1 < size_) out_[length_] = c;
    ++length_;
  }
  void Repeat(char c, int count) {
    for (int i = 0; i < count; ++i) Put(c);
  }
  size_t Finish() {
    if (out_ != nullptr && size_ > 0) out_[length_ < size_ ? length_ : size_ - 1] = '\0';
    return length_;
  }

 private:
  char* out_;
  size_t size_;
  size_t length_ = 0;
};

struct Conversion {
  bool left = false;
  bool zero = false;
  bool plus = false;
  bool space = false;
  bool alternate = false;
  int width = 0;
  int precision = -1;
};

// Widths beyond this are cut, so a stray format cannot run a long loop.
constexpr int kMaxWidth = 4096;

void Number(Output& out, const Conversion& conv, uintmax_t magnitude, bool negative, unsigned base, bool upper,
            bool isSigned) {
  char digits[64];
  int count = 0;
  const char* alphabet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  for (uintmax_t v = magnitude; v != 0; v /= base) digits[count++] = alphabet[v % base];
  // "%.0d" of 0 prints no digits at all.
  int zeros = 0;
  if (conv.precision >= 0) {
    if (conv.precision > count) zeros = conv.precision - count;
  } else if (count == 0) {
    zeros = 1;
  }
  char prefix[2];
  int prefixLength = 0;
  if (isSigned) {
    if (negative) prefix[prefixLength++] = '-';
    else if (conv.plus) prefix[prefixLength++] = '+';
    else if (conv.space) prefix[prefixLength++] = ' ';
  }
  if (conv.alternate) {
    if (base == 16 && magnitude != 0) {
      prefix[prefixLength++] = '0';
      prefix[prefixLength++] = upper ? 'X' : 'x';
    } else if (base == 8 && zeros == 0 && (count == 0 || digits[count - 1] != '0')) {
      zeros = 1;
    }
  }
  int padding = conv.width - prefixLength - zeros - count;
  if (padding < 0) padding = 0;
  const bool zeroPad = conv.zero && !conv.left && conv.precision < 0;
  if (!conv.left && !zeroPad) out.Repeat(' ', padding);
  for (int i = 0; i < prefixLength; ++i) out.Put(prefix[i]);
  if (zeroPad) out.Repeat('0', padding);
  out.Repeat('0', zeros);
  while (count > 0) out.Put(digits[--count]);
  if (conv.left) out.Repeat(' ', padding);
}

void Text(Output& out, const Conversion& conv, const char* text, int length) {
  const int padding = conv.width > length ? conv.width - length : 0;
  if (!conv.left) out.Repeat(' ', padding);
  for (int i = 0; i < length; ++i) out.Put(text[i]);
  if (conv.left) out.Repeat(' ', padding);
}

enum class Length { Int, Char, Short, Long, LongLong, Size, Max, Difference };

// The flags, the width and the precision; p is left on what follows them.
Conversion ParseConversion(const char*& p, va_list* args) {
  Conversion conv;
  for (;; ++p) {
    if (*p == '-') conv.left = true;
    else if (*p == '0') conv.zero = true;
    else if (*p == '+') conv.plus = true;
    else if (*p == ' ') conv.space = true;
    else if (*p == '#') conv.alternate = true;
    else break;
  }
  if (*p == '*') {
    int width = va_arg(*args, int);
    if (width < 0) {
      conv.left = true;
      width = width == INT32_MIN ? kMaxWidth : -width;
    }
    conv.width = width > kMaxWidth ? kMaxWidth : width;
    ++p;
  } else {
    for (; *p >= '0' && *p <= '9'; ++p) {
      conv.width = conv.width * 10 + (*p - '0');
      if (conv.width > kMaxWidth) conv.width = kMaxWidth;
    }
  }
  if (*p == '.') {
    ++p;
    if (*p == '*') {
      const int precision = va_arg(*args, int);
      conv.precision = precision < 0 ? -1 : (precision > kMaxWidth ? kMaxWidth : precision);
      ++p;
    } else {
      conv.precision = 0;
      for (; *p >= '0' && *p <= '9'; ++p) {
        conv.precision = conv.precision * 10 + (*p - '0');
        if (conv.precision > kMaxWidth) conv.precision = kMaxWidth;
      }
    }
  }
  return conv;
}

// The length modifier; p is left on the conversion character.
Length ParseLength(const char*& p) {
  if (p[0] == 'h' && p[1] == 'h') {
    p += 2;
    return Length::Char;
  }
  if (p[0] == 'l' && p[1] == 'l') {
    p += 2;
    return Length::LongLong;
  }
  Length length;
  switch (*p) {
    case 'h': length = Length::Short; break;
    case 'l': length = Length::Long; break;
    case 'z': length = Length::Size; break;
    case 'j': length = Length::Max; break;
    case 't': length = Length::Difference; break;
    default: return Length::Int;
  }
  ++p;
  return length;
}

intmax_t SignedArgument(Length length, va_list* args) {
  switch (length) {
    case Length::Char: return static_cast<signed char>(va_arg(*args, int));
    case Length::Short: return static_cast<short>(va_arg(*args, int));
    case Length::Long: return va_arg(*args, long);
    case Length::LongLong: return va_arg(*args, long long);
    case Length::Size: return va_arg(*args, ptrdiff_t);
    case Length::Max: return va_arg(*args, intmax_t);
    case Length::Difference: return va_arg(*args, ptrdiff_t);
    default: return va_arg(*args, int);
  }
}

uintmax_t UnsignedArgument(Length length, va_list* args) {
  switch (length) {
    case Length::Char: return static_cast<unsigned char>(va_arg(*args, unsigned));
    case Length::Short: return static_cast<unsigned short>(va_arg(*args, unsigned));
    case Length::Long: return va_arg(*args, unsigned long);
    case Length::LongLong: return va_arg(*args, unsigned long long);
    case Length::Size: return va_arg(*args, size_t);
    case Length::Max: return va_arg(*args, uintmax_t);
    case Length::Difference: return static_cast<uintmax_t>(va_arg(*args, ptrdiff_t));
    default: return va_arg(*args, unsigned);
  }
}

// One conversion, its argument taken from args.
void Convert(Output& out, Conversion conv, Length length, char kind, va_list* args) {
  switch (kind) {
    case 'd':
    case 'i': {
      const intmax_t value = SignedArgument(length, args);
      const bool negative = value < 0;
      const uintmax_t magnitude = negative ? 0 - static_cast<uintmax_t>(value) : static_cast<uintmax_t>(value);
      Number(out, conv, magnitude, negative, 10, false, true);
      break;
    }
    case 'u':
    case 'o':
    case 'x':
    case 'X': {
      const uintmax_t value = UnsignedArgument(length, args);
      const unsigned base = kind == 'u' ? 10 : (kind == 'o' ? 8 : 16);
      Number(out, conv, value, false, base, kind == 'X', false);
      break;
    }
    case 'c': {
      const char c = static_cast<char>(va_arg(*args, int));
      Text(out, conv, &c, 1);
      break;
    }
    case 's': {
      const char* text = va_arg(*args, const char*);
      if (text == nullptr) text = "(null)";
      int count = 0;
      while (text[count] != '\0' && (conv.precision < 0 || count < conv.precision)) ++count;
      Text(out, conv, text, count);
      break;
    }
    case 'p': {
      const void* pointer = va_arg(*args, const void*);
      if (pointer == nullptr) {
        Text(out, conv, "(nil)", 5);
      } else {
        conv.alternate = true;
        Number(out, conv, reinterpret_cast<uintptr_t>(pointer), false, 16, false, false);
      }
      break;
    }
    case '%': out.Put('%'); break;
    default:
      out.Put('%');
      out.Put(kind);
      break;
  }
}

}  // namespace

size_t FormatTextV(char* buffer, size_t size, const char* format, va_list args) {
  Output out(buffer, size);
  // The steps take the arguments through a pointer, which a va_list
  // parameter (an array on some ABIs) cannot give directly.
  va_list rest;
  va_copy(rest, args);
  for (const char* p = format; p != nullptr && *p != '\0'; ++p) {
    if (*p != '%') {
      out.Put(*p);
      continue;
    }
    ++p;
    const Conversion conv = ParseConversion(p, &rest);
    const Length length = ParseLength(p);
    if (*p == '\0') break;  // a lone % at the end
    Convert(out, conv, length, *p, &rest);
  }
  va_end(rest);
  return out.Finish();
}

size_t FormatText(char* buffer, size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const size_t length = FormatTextV(buffer, size, format, args);
  va_end(args);
  return length;
}

}  // namespace report
