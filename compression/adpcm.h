// IMA ADPCM coding of 16-bit little-endian mono and stereo sound.
#pragma once

#include <cstdint>

// Returns the number of bytes written; never writes past outputRoom. A result
// above outputRoom means the stream did not fit (nothing usable was written),
// 0 that the input holds less than one sample per channel.
uint32_t AdpcmEncode(uint8_t* output, uint32_t outputRoom, const uint8_t* input,
                     uint32_t inputLength, uint32_t channels, uint32_t shift);
// Returns the number of bytes written (always even), never more than outputRoom.
uint32_t AdpcmDecode(uint8_t* output, uint32_t outputRoom, const uint8_t* input,
                     uint32_t inputLength, uint32_t channels);
