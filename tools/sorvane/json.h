// A JSON document written as it goes, for --json: one object or array at a
// time, commas and escapes handled here.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace sorvane {

// Whether text is valid UTF-8 (no overlong forms, no surrogates).
bool IsValidUtf8(std::string_view text);

class JsonWriter {
 public:
  explicit JsonWriter(FILE* out) : out_(out) {}
  void BeginObject(const char* key = nullptr) { Open(key, '{'); }
  void EndObject() { Close('}'); }
  void BeginArray(const char* key = nullptr) { Open(key, '['); }
  void EndArray() { Close(']'); }
  void Number(const char* key, uint64_t value);
  void Bool(const char* key, bool value);
  void Null(const char* key);
  // Text as it is when valid UTF-8; else each invalid byte as U+FFFD.
  void String(const char* key, std::string_view text);
  // A stored name: "name", and "name_hex" with its exact bytes when the
  // name is no valid UTF-8.
  void Name(std::string_view name);
  // Ends the document with a line end.
  void Finish() { std::fputc('\n', out_); }

 private:
  void Open(const char* key, char bracket);
  void Close(char bracket);
  void Key(const char* key);
  FILE* out_;
  std::vector<bool> first_;  // per open level: nothing written in it yet
};

}  // namespace sorvane
