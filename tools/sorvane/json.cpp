#include "json.h"

namespace sorvane {

namespace {

// The length of the UTF-8 sequence at text[i], or 0 when it is not valid.
size_t SequenceLength(std::string_view text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
  const uint8_t c = byte(i);
  if (c < 0x80) return 1;
  size_t n;
  uint32_t code;
  if ((c & 0xE0) == 0xC0) n = 2, code = c & 0x1F;
  else if ((c & 0xF0) == 0xE0) n = 3, code = c & 0x0F;
  else if ((c & 0xF8) == 0xF0) n = 4, code = c & 0x07;
  else return 0;
  if (i + n > text.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  static const uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kLeast[n] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return n;
}

}  // namespace

bool IsValidUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const size_t n = SequenceLength(text, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

void JsonWriter::Key(const char* key) {
  if (!first_.empty()) {
    if (!first_.back()) std::fputc(',', out_);
    first_.back() = false;
  }
  if (key != nullptr) std::fprintf(out_, "\"%s\":", key);
}

void JsonWriter::Open(const char* key, char bracket) {
  Key(key);
  std::fputc(bracket, out_);
  first_.push_back(true);
}

void JsonWriter::Close(char bracket) {
  first_.pop_back();
  std::fputc(bracket, out_);
}

void JsonWriter::Number(const char* key, uint64_t value) {
  Key(key);
  std::fprintf(out_, "%llu", static_cast<unsigned long long>(value));
}

void JsonWriter::Bool(const char* key, bool value) {
  Key(key);
  std::fputs(value ? "true" : "false", out_);
}

void JsonWriter::Null(const char* key) {
  Key(key);
  std::fputs("null", out_);
}

void JsonWriter::String(const char* key, std::string_view text) {
  Key(key);
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    const size_t n = SequenceLength(text, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";  // U+FFFD
      ++i;
      continue;
    }
    const char c = text[i];
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<uint8_t>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
      out += escaped;
    } else {
      out.append(text.substr(i, n));
    }
    i += n;
  }
  out += '"';
  std::fwrite(out.data(), 1, out.size(), out_);
}

void JsonWriter::Name(std::string_view name) {
  String("name", name);
  if (IsValidUtf8(name)) return;
  std::string hex;
  char two[3];
  for (char c : name) {
    std::snprintf(two, sizeof two, "%02x", static_cast<uint8_t>(c));
    hex += two;
  }
  String("name_hex", hex);
}

}  // namespace sorvane
