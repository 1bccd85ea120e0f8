// The constant prefix-code tables of the DCL implode stream, shared by the
// decoder and the encoder. Codes are stored bit-reversed: the code's first bit
// is the stored value's least significant bit, as the bit stream sends it.
#pragma once

#include <array>
#include <cstdint>

// Length codes: index i covers repetition lengths LenBaseValues[i] + 2 and up,
// refined by LenExtraBits[i] extra bits; i = 15 with all extra bits set is the
// end marker.
extern const std::array<uint8_t, 16> LenCodeLengths;
extern const std::array<uint8_t, 16> LenCodeValues;
extern const std::array<uint8_t, 16> LenExtraBits;
extern const std::array<uint16_t, 16> LenBaseValues;

// Distance codes: the high part of a back distance.
extern const std::array<uint8_t, 64> DistCodeLengths;
extern const std::array<uint8_t, 64> DistCodeValues;

// Text-mode literal codes, 4 to 13 bits, tuned to English text.
extern const std::array<uint8_t, 256> AsciiCodeLengths;
extern const std::array<uint16_t, 256> AsciiCodeValues;

constexpr uint32_t DCL_LEN_CODES = 16;
constexpr uint32_t DCL_DIST_CODES = 64;
// Length value of the end marker: length code 15 with its 8 extra bits all set.
constexpr uint32_t DCL_END_MARKER = 517;
constexpr uint32_t DCL_MAX_REPEAT = 518;
