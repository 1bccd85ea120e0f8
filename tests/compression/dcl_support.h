// Test-side helpers for the DCL codecs: memory callbacks, a token-level
// encoder and parser written independently of the library's bit handling,
// and sample data.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "compression/dcl.h"
#include "compression/dcl_tables.h"

namespace dcltest {

using Bytes = std::vector<uint8_t>;

// Either a literal (length 0) or a repetition of `length` bytes `distance` back.
struct Token {
  uint32_t length = 0;
  uint32_t distance = 0;
  uint8_t literal = 0;
  bool operator==(const Token&) const = default;
};

inline std::string Describe(const Token& t) {
  if (t.length == 0) return "lit " + std::to_string(t.literal);
  return "rep " + std::to_string(t.length) + "@" + std::to_string(t.distance);
}

// Input handed out in pieces of at most `piece` bytes per call.
struct Source {
  const Bytes* data;
  size_t pos = 0;
  uint32_t piece = 0xFFFFFFFF;
  uint32_t calls = 0;
};

// Output kept up to `capacity` bytes; anything beyond is a fault of the codec.
struct Sink {
  Bytes data;
  std::vector<uint32_t> sizes;
  size_t capacity = 1u << 26;
  bool overflow = false;
};

struct Param {
  Source in;
  Sink out;
};

inline uint32_t ReadCb(uint8_t* buffer, uint32_t* size, void* param) {
  auto& src = static_cast<Param*>(param)->in;
  src.calls += 1;
  size_t n = src.data->size() - src.pos;
  if (n > *size) n = *size;
  if (n > src.piece) n = src.piece;
  if (n != 0) std::memcpy(buffer, src.data->data() + src.pos, n);
  src.pos += n;
  return static_cast<uint32_t>(n);
}

inline void WriteCb(uint8_t* buffer, uint32_t* size, void* param) {
  auto& sink = static_cast<Param*>(param)->out;
  sink.sizes.push_back(*size);
  if (sink.data.size() + *size > sink.capacity) {
    sink.overflow = true;
    return;
  }
  sink.data.insert(sink.data.end(), buffer, buffer + *size);
}

// Work areas as the dispatch hands them out: zero-filled and suitably aligned.
struct Work {
  std::vector<uint64_t> words;
  explicit Work(uint32_t bytes, uint8_t fill = 0) : words((bytes + 7) / 8) {
    std::memset(words.data(), fill, words.size() * 8);
  }
  void* get() { return words.data(); }
};

struct ImplodeRun {
  uint32_t result;
  Bytes stream;
  std::vector<uint32_t> writeSizes;
  uint32_t readCalls;
};

inline ImplodeRun RunImplode(const Bytes& data, uint32_t type, uint32_t dictSize,
                             void* work = nullptr, uint32_t piece = 0xFFFFFFFF) {
  Work own(IMPLODE_WORK_SIZE);
  Param param{{&data, 0, piece, 0}, {}};
  uint32_t t = type;
  uint32_t d = dictSize;
  const uint32_t result = Implode(ReadCb, WriteCb, work ? work : own.get(), &param, &t, &d);
  return {result, param.out.data, param.out.sizes, param.in.calls};
}

struct ExplodeRun {
  uint32_t result;
  Bytes data;
  std::vector<uint32_t> writeSizes;
  bool overflow;
};

inline ExplodeRun RunExplode(const Bytes& stream, void* work = nullptr,
                             uint32_t piece = 0xFFFFFFFF, size_t capacity = 1u << 26) {
  Work own(EXPLODE_WORK_SIZE);
  Param param{{&stream, 0, piece, 0}, {}};
  param.out.capacity = capacity;
  const uint32_t result = Explode(ReadCb, WriteCb, work ? work : own.get(), &param);
  return {result, param.out.data, param.out.sizes, param.out.overflow};
}

// Bit writer and reader, least significant bit first, one bit at a time.
struct Bits {
  Bytes bytes;
  uint32_t used = 0;
  void Put(uint32_t n, uint32_t v) {
    for (uint32_t k = 0; k < n; ++k, ++used) {
      if (used % 8 == 0) bytes.push_back(0);
      if ((v >> k) & 1) bytes.back() |= static_cast<uint8_t>(1u << (used % 8));
    }
  }
};

inline uint32_t LengthIndex(uint32_t value) {
  uint32_t i = 15;
  while (LenBaseValues[i] > value) --i;
  return i;
}

// Encodes a token list into a complete stream, end marker included.
inline Bytes EncodeTokens(const std::vector<Token>& tokens, uint32_t type, uint32_t dictBits) {
  Bits b;
  b.Put(8, type);
  b.Put(8, dictBits);
  auto putLength = [&](uint32_t value) {
    const uint32_t i = LengthIndex(value);
    b.Put(1, 1);
    b.Put(LenCodeLengths[i], LenCodeValues[i]);
    b.Put(LenExtraBits[i], value - LenBaseValues[i]);
  };
  for (const Token& t : tokens) {
    if (t.length == 0) {
      b.Put(1, 0);
      if (type == DCL_BINARY) {
        b.Put(8, t.literal);
      } else {
        b.Put(AsciiCodeLengths[t.literal], AsciiCodeValues[t.literal]);
      }
      continue;
    }
    putLength(t.length - 2);
    const uint32_t d = t.distance - 1;
    const uint32_t lowBits = t.length == 2 ? 2 : dictBits;
    const uint32_t h = d >> lowBits;
    b.Put(DistCodeLengths[h], DistCodeValues[h]);
    b.Put(lowBits, d & ((1u << lowBits) - 1));
  }
  putLength(DCL_END_MARKER);
  return b.bytes;
}

// Parses a stream into tokens bit by bit, matching codes against the tables.
// Returns false on a malformed or truncated stream.
inline bool ParseTokens(const Bytes& s, std::vector<Token>* tokens, uint32_t* type = nullptr,
                        uint32_t* dictBits = nullptr) {
  if (s.size() < 2) return false;
  size_t pos = 16;
  auto bit = [&](uint32_t* out) {
    if (pos >= s.size() * 8) return false;
    *out = (s[pos / 8] >> (pos % 8)) & 1;
    ++pos;
    return true;
  };
  auto field = [&](uint32_t n, uint32_t* out) {
    *out = 0;
    for (uint32_t k = 0; k < n; ++k) {
      uint32_t b;
      if (!bit(&b)) return false;
      *out |= b << k;
    }
    return true;
  };
  auto code = [&](const uint8_t* lengths, auto values, uint32_t count, uint32_t* sym) {
    uint32_t acc = 0;
    for (uint32_t len = 1; len <= 13; ++len) {
      uint32_t b;
      if (!bit(&b)) return false;
      acc |= b << (len - 1);
      for (uint32_t i = 0; i < count; ++i) {
        if (lengths[i] == len && values[i] == acc) {
          *sym = i;
          return true;
        }
      }
    }
    return false;
  };
  const uint32_t t = s[0];
  const uint32_t bits = s[1];
  if (type) *type = t;
  if (dictBits) *dictBits = bits;
  for (;;) {
    uint32_t flag;
    if (!bit(&flag)) return false;
    Token tok;
    if (flag == 0) {
      uint32_t v;
      if (t == DCL_BINARY ? !field(8, &v)
                          : !code(AsciiCodeLengths.data(), AsciiCodeValues.data(), 256, &v)) {
        return false;
      }
      tok.literal = static_cast<uint8_t>(v);
      tokens->push_back(tok);
      continue;
    }
    uint32_t i, e, h, low;
    if (!code(LenCodeLengths.data(), LenCodeValues.data(), 16, &i)) return false;
    if (!field(LenExtraBits[i], &e)) return false;
    const uint32_t value = LenBaseValues[i] + e;
    if (value == DCL_END_MARKER) return true;
    tok.length = value + 2;
    const uint32_t lowBits = tok.length == 2 ? 2 : bits;
    if (!code(DistCodeLengths.data(), DistCodeValues.data(), 64, &h)) return false;
    if (!field(lowBits, &low)) return false;
    tok.distance = ((h << lowBits) | low) + 1;
    tokens->push_back(tok);
  }
}

// Deterministic sample data.
struct Lcg {
  uint32_t state;
  uint32_t Next() {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
  }
};

enum class Kind { Text, Binary, Random };

inline Bytes MakeData(Kind kind, size_t size, uint32_t seed) {
  static const char* const kWords[] = {
      "the ",    "archive ", "sector ", "of ",   "and ",    "table ",   "hash ", "block ",
      "file ",   "Stream ",  "to ",     "with ", "window ", "length\r\n", "a ",  "DICTIONARY ",
      "is ",     "read ",    "written ", "in ",  "(listfile)\n", "key ", "0x1F, ", "match "};
  Lcg rng{seed * 2654435761u + 1};
  Bytes out;
  out.reserve(size);
  while (out.size() < size) {
    switch (kind) {
      case Kind::Text: {
        const char* w = kWords[rng.Next() % (sizeof kWords / sizeof kWords[0])];
        while (*w && out.size() < size) out.push_back(static_cast<uint8_t>(*w++));
        break;
      }
      case Kind::Binary: {
        // Records of small little-endian integers, a counter and some noise,
        // with the occasional run of zeros.
        const uint32_t r = rng.Next();
        const uint32_t v = static_cast<uint32_t>(out.size() / 16);
        const uint8_t record[8] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), 0, 0,
                                   static_cast<uint8_t>(r % 7), 0x3F, static_cast<uint8_t>(r >> 12),
                                   0x80};
        for (uint8_t b : record) {
          if (out.size() < size) out.push_back(b);
        }
        if (r % 19 == 0) {
          for (uint32_t k = 0; k < r % 300 && out.size() < size; ++k) out.push_back(0);
        }
        break;
      }
      case Kind::Random:
        out.push_back(static_cast<uint8_t>(rng.Next()));
        break;
    }
  }
  return out;
}

}  // namespace dcltest
