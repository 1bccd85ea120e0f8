// The lines of a name list: what ends a line, and the walks over a list's
// lines, whole in memory or fed in pieces. Every unit that reads or keeps a
// name list splits it here.
#pragma once

#include <cstdint>

// CR and LF end a line; runs of them separate lines (no empty line between).
inline bool IsLineBreak(uint8_t c) { return c == '\r' || c == '\n'; }
// Where a name is gathered from a list, a zero byte ends the line too.
inline bool IsNameBreak(uint8_t c) { return c == 0 || IsLineBreak(c); }

// The length of the line at pos of text[0..size): up to its break or the end.
inline uint32_t LineLengthAt(const uint8_t* text, uint32_t size, uint32_t pos) {
  uint32_t end = pos;
  while (end < size && !IsLineBreak(text[end])) ++end;
  return end - pos;
}

// Calls onLine(pos, length) for each line of text[0..size), in order, a
// line ending at the first byte for which isBreak holds. Empty lines are
// passed over. Stops with false as soon as onLine returns false.
template <typename IsBreak, typename OnLine>
bool ForEachLine(const uint8_t* text, uint32_t size, IsBreak isBreak, OnLine onLine) {
  for (uint32_t pos = 0; pos < size;) {
    uint32_t end = pos;
    while (end < size && !isBreak(text[end])) ++end;
    if (end != pos && !onLine(pos, end - pos)) return false;
    pos = end + 1;
  }
  return true;
}

// The length of the first line of a zero-terminated text (0 for null).
inline uint32_t LineLength(const char* text) {
  if (text == nullptr) return 0;
  uint32_t n = 0;
  while (text[n] != 0 && !IsLineBreak(static_cast<uint8_t>(text[n]))) ++n;
  return n;
}

// The start of the next line of a zero-terminated text, or null when none
// follows (or text is null).
inline const char* NextLine(const char* text) {
  if (text == nullptr) return nullptr;
  const char* p = text;
  while (*p != 0 && !IsLineBreak(static_cast<uint8_t>(*p))) ++p;
  if (*p == 0) return nullptr;
  while (IsLineBreak(static_cast<uint8_t>(*p))) ++p;
  return *p == 0 ? nullptr : p;
}

// The lines of a text fed in pieces, so a list costs a bounded buffer
// however large its block claims to be. A zero byte ends the text; its last
// line counts even without a line end, and an empty text is one empty line.
// Lines longer than kMaxLine are no stored name and are passed over.
// onLine(line, length) gets each line zero-terminated and returns false to
// stop.
class LineFeed {
 public:
  static constexpr uint32_t kMaxLine = 4096;

  // False once the text has ended or onLine asked to stop.
  template <typename OnLine>
  bool Feed(const char* data, uint32_t size, OnLine onLine) {
    for (uint32_t i = 0; i < size; ++i) {
      const char c = data[i];
      if (c == 0) {
        Finish(onLine);
        return false;
      }
      if (IsLineBreak(static_cast<uint8_t>(c))) {
        if (!inLineEnds_ && !EndLine(onLine)) return false;
        inLineEnds_ = true;
        continue;
      }
      inLineEnds_ = false;
      if (length_ < kMaxLine) line_[length_] = c;
      ++length_;
    }
    return true;
  }

  // The text's end.
  template <typename OnLine>
  void Finish(OnLine onLine) {
    if (!ended_ && !stopped_ && (length_ > 0 || atStart_)) EndLine(onLine);
    ended_ = true;
  }

 private:
  template <typename OnLine>
  bool EndLine(OnLine& onLine) {
    atStart_ = false;
    if (length_ <= kMaxLine) {
      line_[length_] = 0;
      if (!onLine(static_cast<const char*>(line_), length_)) stopped_ = true;
    }
    length_ = 0;
    return !stopped_;
  }

  char line_[kMaxLine + 1] = {};
  uint32_t length_ = 0;
  bool inLineEnds_ = false;
  bool atStart_ = true;
  bool ended_ = false;
  bool stopped_ = false;
};
