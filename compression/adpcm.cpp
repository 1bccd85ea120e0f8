// IMA ADPCM variant for 16-bit sound sectors: variable magnitude bits chosen
// by a shift, plus two escape codes (repeat the previous sample, jump the step
// index up by 8). The decoder mirrors the encoder's state updates exactly, so
// both sides always agree on every prediction and step index.
#include "compression/adpcm.h"

#include "platform/bytes.h"

namespace {

constexpr int kStepTable[89] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,    73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,   253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,   876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749,  3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493,  10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

constexpr int kIndexAdjust[32] = {
    -1, 0, -1, 4, -1, 2, -1, 6,  //
    -1, 1, -1, 5, -1, 3, -1, 7,  //
    -1, 1, -1, 5, -1, 3, -1, 7,  //
    -1, 2, -1, 4, -1, 6, -1, 8};

constexpr int kMaxStepIndex = 88;
constexpr int kInitialStepIndex = 44;

constexpr uint8_t kCodeRepeat = 0x80;
constexpr uint8_t kCodeStepUp = 0x81;
constexpr uint8_t kCodeStepDown = 0x82;
constexpr uint8_t kSignBit = 0x40;

// Shift counts come from the stream (or from a caller's odd shift), so any
// value up to 255 must be harmless; steps fit in 16 bits.
inline int StepShift(int step, uint32_t shift) { return shift >= 16 ? 0 : step >> shift; }

inline int Clamp(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

inline int16_t LoadSample(const uint8_t* p) {
  return static_cast<int16_t>(platform::LoadLE16(p));
}

// The magnitude bits for a difference d at the given step; *sum receives
// the part of d they stand for.
inline uint8_t MagnitudeCode(int d, int step, int magnitudeBits, int* sum) {
  uint8_t code = 0;
  for (int k = 0; k < magnitudeBits; ++k) {
    const int weight = step >> k;
    if (*sum + weight <= d) {
      code |= static_cast<uint8_t>(1u << k);
      *sum += weight;
    }
  }
  return code;
}

}  // namespace

uint32_t AdpcmEncode(uint8_t* output, uint32_t outputRoom, const uint8_t* input,
                     uint32_t inputLength, uint32_t channels, uint32_t shift) {
  if (channels != 1 && channels != 2) return 0;
  const uint32_t n = inputLength / 2;
  // Without one sample per channel there is nothing to seed the predictions.
  if (n < channels) return 0;

  // A result above outputRoom tells the caller the stream did not fit.
  if (outputRoom < 2) return 2;
  const uint32_t p = shift & 0xFF;
  output[0] = 0;
  output[1] = static_cast<uint8_t>(p - 1);
  const uint32_t headerLength = 2 + 2 * channels;
  if (headerLength > outputRoom) return headerLength;

  int prediction[2] = {0, 0};
  int stepIndex[2] = {kInitialStepIndex, kInitialStepIndex};
  uint32_t written = 2;
  for (uint32_t c = 0; c < channels; ++c) {
    prediction[c] = LoadSample(input + 2 * c);
    platform::StoreLE16(output + written, static_cast<uint16_t>(prediction[c]));
    written += 2;
  }
  if (n <= channels) return written;

  uint32_t budget = n > headerLength ? n - headerLength : 0;
  // Magnitude bits 1 .. 1 << (p - 2), at most six of them (up to 0x20).
  const int magnitudeBits = Clamp(static_cast<int>(p) - 1, 0, 6);
  const uint32_t halfShift = (p - 1) & 0xFF;

  uint32_t c = channels - 1;
  for (uint32_t i = channels; i < n; ++i) {
    // Two bytes in hand: a sample may need an escape and its code.
    if (outputRoom - written < 2) return written + 2;
    if (channels == 2) c = 1 - c;

    const int s = LoadSample(input + 2 * i);
    int d = s - prediction[c];
    const uint8_t sign = d < 0 ? kSignBit : 0;
    if (d < 0) d = -d;

    int step = kStepTable[stepIndex[c]];
    if (d < StepShift(step, p)) {
      output[written++] = kCodeRepeat;
      if (stepIndex[c] > 0) --stepIndex[c];
      continue;
    }

    while (d > 2 * step && stepIndex[c] < kMaxStepIndex && budget != 0) {
      // Each escape is followed by a code byte; a caller that gave less room
      // than the dispatch does must not see a write past it.
      if (outputRoom - written < 2) return written + 2;
      stepIndex[c] = stepIndex[c] + 8 > kMaxStepIndex ? kMaxStepIndex : stepIndex[c] + 8;
      output[written++] = kCodeStepUp;
      --budget;
      step = kStepTable[stepIndex[c]];
    }

    int sum = 0;
    const uint8_t code = MagnitudeCode(d, step, magnitudeBits, &sum);
    const int delta = sum + StepShift(step, halfShift);
    prediction[c] = Clamp(sign ? prediction[c] - delta : prediction[c] + delta, -32768, 32767);

    output[written++] = static_cast<uint8_t>(code | sign);
    stepIndex[c] = Clamp(stepIndex[c] + kIndexAdjust[code & 0x1F], 0, kMaxStepIndex);
  }
  return written;
}

uint32_t AdpcmDecode(uint8_t* output, uint32_t outputRoom, const uint8_t* input,
                     uint32_t inputLength, uint32_t channels) {
  if (channels != 1 && channels != 2) return 0;
  const uint32_t headerLength = 2 + 2 * channels;
  if (inputLength < headerLength) return 0;

  const uint32_t q = input[1];
  int prediction[2] = {0, 0};
  int stepIndex[2] = {kInitialStepIndex, kInitialStepIndex};
  uint32_t written = 0;
  for (uint32_t c = 0; c < channels; ++c) {
    prediction[c] = LoadSample(input + 2 + 2 * c);
    if (outputRoom - written < 2) return written;
    platform::StoreLE16(output + written, static_cast<uint16_t>(prediction[c]));
    written += 2;
  }

  uint32_t c = channels - 1;
  for (uint32_t pos = headerLength; pos < inputLength; ++pos) {
    if (channels == 2) c = 1 - c;
    const uint8_t b = input[pos];
    if (b == kCodeRepeat) {
      if (stepIndex[c] > 0) --stepIndex[c];
      if (outputRoom - written < 2) return written;
      platform::StoreLE16(output + written, static_cast<uint16_t>(prediction[c]));
      written += 2;
    } else if (b == kCodeStepUp) {
      stepIndex[c] = stepIndex[c] + 8 > kMaxStepIndex ? kMaxStepIndex : stepIndex[c] + 8;
      if (channels == 2) c = 1 - c;
    } else if (b == kCodeStepDown) {
      stepIndex[c] = stepIndex[c] < 8 ? 0 : stepIndex[c] - 8;
      if (channels == 2) c = 1 - c;
    } else if (b < 0x80) {
      const int step = kStepTable[stepIndex[c]];
      int delta = StepShift(step, q);
      for (int k = 0; k < 6; ++k) {
        if (b & (1u << k)) delta += step >> k;
      }
      prediction[c] =
          Clamp((b & kSignBit) ? prediction[c] - delta : prediction[c] + delta, -32768, 32767);
      if (outputRoom - written < 2) return written;
      platform::StoreLE16(output + written, static_cast<uint16_t>(prediction[c]));
      written += 2;
      stepIndex[c] = Clamp(stepIndex[c] + kIndexAdjust[b & 0x1F], 0, kMaxStepIndex);
    }
    // 0x83..0xFF carry nothing; the channel simply alternates past them.
  }
  return written;
}
