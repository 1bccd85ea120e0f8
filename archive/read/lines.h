// The lines of a name list: what ends a line, and the walks over a list's
// lines, whole in memory or fed in pieces. Every unit that reads or keeps a
// name list splits it here.
#pragma once

#include <cstdint>
#include <cstring>

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

// The lines of a name list fed in pieces, split once for both of its uses:
// the names shown for stored entries (lines end at CR, LF or a zero byte;
// empty ones and ones longer than maxShown are passed over) and the key
// search (the text ends at its first zero byte and only its first line may
// be empty, as LineFeed has it). Lines longer than kMaxLine serve neither.
// Each line reaches onLine(line, length, use) once, zero-terminated, with
// use saying who takes it (kShown, kKeyed or both, never neither).
class ListScanner {
 public:
  static constexpr uint32_t kMaxLine = LineFeed::kMaxLine;
  static constexpr uint32_t kShown = 1;
  static constexpr uint32_t kKeyed = 2;

  explicit ListScanner(uint32_t maxShown) : maxShown_(maxShown) {}

  // The next piece of the text. Lines that end inside it are zero-terminated
  // in place, so its bytes change.
  template <typename OnLine>
  void Feed(char* data, uint32_t size, OnLine onLine) {
    uint32_t start = 0;
    for (uint32_t i = 0; i < size; ++i) {
      const auto c = static_cast<uint8_t>(data[i]);
      if (c > '\r' || !IsNameBreak(c)) continue;
      if (pending_) {
        Carry(data + start, i - start);
        EndCarried(onLine);
      } else {
        data[i] = 0;
        Emit(data + start, i - start, onLine);
      }
      if (c == 0) keyedEnded_ = true;
      start = i + 1;
    }
    if (start < size) {
      Carry(data + start, size - start);
      pending_ = true;
    }
  }

  // The text's end: its last line counts without a line end, and an empty
  // text is one empty line.
  template <typename OnLine>
  void Finish(OnLine onLine) {
    if (pending_) {
      EndCarried(onLine);
    } else if (atStart_) {
      carry_[0] = 0;
      Emit(carry_, 0, onLine);
    }
  }

 private:
  void Carry(const char* bytes, uint32_t n) {
    if (carried_ + n <= kMaxLine) {
      std::memcpy(carry_ + carried_, bytes, n);
      carried_ += n;
    } else {
      carried_ = kMaxLine + 1;  // too long for any use
    }
  }

  template <typename OnLine>
  void EndCarried(OnLine& onLine) {
    if (carried_ <= kMaxLine) {
      carry_[carried_] = 0;
      Emit(carry_, carried_, onLine);
    }
    atStart_ = false;
    carried_ = 0;
    pending_ = false;
  }

  template <typename OnLine>
  void Emit(char* line, uint32_t length, OnLine& onLine) {
    const bool first = atStart_;
    atStart_ = false;
    if (length == 0) {
      if (first && !keyedEnded_) onLine(line, 0u, kKeyed);
      return;
    }
    if (length > kMaxLine) return;
    const uint32_t use = (length <= maxShown_ ? kShown : 0) | (keyedEnded_ ? 0 : kKeyed);
    if (use != 0) onLine(line, length, use);
  }

  uint32_t maxShown_;
  char carry_[kMaxLine + 1] = {};
  uint32_t carried_ = 0;
  bool pending_ = false;
  bool keyedEnded_ = false;
  bool atStart_ = true;
};
