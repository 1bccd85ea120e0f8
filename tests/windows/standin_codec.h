// The stand-in library's own sector format, shared with the tests that make
// and check its sectors: the mask byte, then (run length, byte) pairs.
#pragma once

#include <cstdint>

namespace standin {

// The mask the stand-in answers to: none of the library's own methods, and
// none of the built-in provider's.
constexpr uint8_t kMask = 0x20;

// Returns the encoded length, or 0 when it does not fit in room.
inline uint32_t Encode(uint8_t* out, uint32_t room, const uint8_t* in, uint32_t length) {
  if (room < 1) return 0;
  out[0] = kMask;
  uint32_t at = 1;
  for (uint32_t i = 0; i < length;) {
    uint32_t run = 1;
    while (i + run < length && run < 255 && in[i + run] == in[i]) ++run;
    if (room - at < 2) return 0;
    out[at++] = static_cast<uint8_t>(run);
    out[at++] = in[i];
    i += run;
  }
  return at;
}

// Returns the decoded length, or 0 (with nothing promised about out) when
// the input is not the stand-in's or would overflow room.
inline uint32_t Decode(uint8_t* out, uint32_t room, const uint8_t* in, uint32_t length) {
  if (length < 1 || in[0] != kMask || (length - 1) % 2 != 0) return 0;
  uint32_t at = 0;
  for (uint32_t i = 1; i + 1 < length; i += 2) {
    const uint32_t run = in[i];
    if (run == 0 || room - at < run) return 0;
    for (uint32_t k = 0; k < run; ++k) out[at++] = in[i + 1];
  }
  return at;
}

}  // namespace standin
