#include "compression/dcl_tables.h"

#include <array>
#include <cstddef>

namespace {

// All three code tables are complete prefix codes derived from their lengths:
// canonical codes in (length, symbol) order, every bit inverted within the
// code's length, then stored first-bit-lowest. Deriving them at compile time
// keeps the values and the lengths from drifting apart.
template <typename Value, size_t N>
constexpr std::array<Value, N> MakeCodes(const std::array<uint8_t, N>& lengths) {
  std::array<Value, N> codes{};
  uint32_t code = 0;
  uint32_t codeLength = 0;
  bool first = true;
  for (uint32_t len = 1; len <= 16; ++len) {
    for (size_t s = 0; s < N; ++s) {
      if (lengths[s] != len) continue;
      if (first) {
        code = 0;
        first = false;
      } else {
        code = (code + 1) << (len - codeLength);
      }
      codeLength = len;
      const uint32_t inverted = ~code & ((1u << len) - 1);
      uint32_t reversed = 0;
      for (uint32_t b = 0; b < len; ++b) {
        if (inverted & (1u << b)) reversed |= 1u << (len - 1 - b);
      }
      codes[s] = static_cast<Value>(reversed);
    }
  }
  return codes;
}

constexpr std::array<uint8_t, 16> kLenLengths = {3, 2, 3, 3, 4, 4, 4, 5, 5, 5, 5, 6, 6, 6, 7, 7};

constexpr std::array<uint8_t, 64> MakeDistLengths() {
  std::array<uint8_t, 64> lengths{};
  for (size_t i = 0; i < 64; ++i) {
    lengths[i] = i == 0 ? 2 : i <= 2 ? 4 : i <= 6 ? 5 : i <= 21 ? 6 : i <= 47 ? 7 : 8;
  }
  return lengths;
}
constexpr std::array<uint8_t, 64> kDistLengths = MakeDistLengths();

constexpr std::array<uint8_t, 256> kAsciiLengths = {
    // 0x00
    11, 12, 12, 12, 12, 12, 12, 12, 12, 8, 7, 12, 12, 7, 12, 12,
    // 0x10
    12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 13, 12, 12, 12, 12, 12,
    // 0x20
    4, 10, 8, 12, 10, 12, 10, 8, 7, 7, 8, 9, 7, 6, 7, 8,
    // 0x30
    7, 6, 7, 7, 7, 7, 8, 7, 7, 8, 8, 12, 11, 7, 9, 11,
    // 0x40
    12, 6, 7, 6, 6, 5, 7, 8, 8, 6, 11, 9, 6, 7, 6, 6,
    // 0x50
    7, 11, 6, 6, 6, 7, 9, 8, 9, 9, 11, 8, 11, 9, 12, 8,
    // 0x60
    12, 5, 6, 6, 6, 5, 6, 6, 6, 5, 11, 7, 5, 6, 5, 5,
    // 0x70
    6, 10, 5, 5, 5, 5, 8, 7, 8, 8, 10, 11, 11, 12, 12, 12,
    // 0x80 - 0xAF
    13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13,
    13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13,
    13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13,
    // 0xB0 - 0xDF
    12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12,
    12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12,
    12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12,
    // 0xE0
    13, 12, 13, 13, 13, 12, 13, 13, 13, 12, 13, 13, 13, 13, 12, 13,
    // 0xF0
    13, 13, 12, 12, 12, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13,
};

}  // namespace

constexpr std::array<uint8_t, 16> LenCodeLengths = kLenLengths;
constexpr std::array<uint8_t, 16> LenCodeValues = MakeCodes<uint8_t>(kLenLengths);
constexpr std::array<uint8_t, 16> LenExtraBits = {0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8};
constexpr std::array<uint16_t, 16> LenBaseValues = {0,  1,  2,  3,  4,  5,  6,   7,
                                                    8, 10, 14, 22, 38, 70, 134, 262};
constexpr std::array<uint8_t, 64> DistCodeLengths = kDistLengths;
constexpr std::array<uint8_t, 64> DistCodeValues = MakeCodes<uint8_t>(kDistLengths);
constexpr std::array<uint8_t, 256> AsciiCodeLengths = kAsciiLengths;
constexpr std::array<uint16_t, 256> AsciiCodeValues = MakeCodes<uint16_t>(kAsciiLengths);

// The end marker is the last value of the last length code, and the text-mode
// decoder's 0xFF escape never hides a real symbol because byte 0xFF has a long code.
static_assert(LenBaseValues[15] + (1u << LenExtraBits[15]) - 1 == DCL_END_MARKER);
static_assert(AsciiCodeValues[0xFF] == 0 && AsciiCodeLengths[0xFF] == 13);
