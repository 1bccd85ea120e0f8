// Decoder of the DCL implode stream. All state lives in the caller's work area;
// input arrives through the read callback in pieces of up to 2048 bytes and
// output leaves through the write callback in 4096-byte blocks.
#include <cstddef>
#include <cstring>

#include "compression/dcl.h"
#include "compression/dcl_tables.h"

namespace {

constexpr uint32_t kInputSize = 2048;
constexpr uint32_t kBlock = 0x1000;
// History, one block of new output, room for the tail of a repetition that
// starts on the block's last byte, and slack for copying in whole words.
constexpr uint32_t kWindowSize = 2 * kBlock + DCL_MAX_REPEAT - 1 + 8;

constexpr uint32_t kSymEndOfStream = 0x100 + DCL_END_MARKER;  // 0x305
constexpr uint32_t kSymDecodeError = kSymEndOfStream + 1;      // 0x306

struct ExplodeWork {
  uint32_t type;
  uint32_t outPos;
  uint32_t dictBits;
  uint32_t dictMask;
  uint32_t bitBuffer;
  uint32_t extraBits;
  uint32_t inPos;
  uint32_t inCount;
  void* param;
  DclReadFn read;
  DclWriteFn write;
  uint8_t window[kWindowSize];
  uint8_t input[kInputSize];
  uint8_t distDecode[256];
  uint8_t lenDecode[256];
  uint8_t asciiFirst[256];
  uint8_t asciiAfter4[256];
  uint8_t asciiAfter6[128];
  uint8_t asciiAfter8[256];
  uint8_t asciiLengths[256];
};

static_assert(sizeof(ExplodeWork) <= EXPLODE_WORK_SIZE, "work area too small");
static_assert(alignof(ExplodeWork) <= alignof(std::max_align_t));

// Calls the read callback and never trusts it to stay within the room it was given.
uint32_t ReadInput(ExplodeWork* w) {
  uint32_t wanted = kInputSize;
  const uint32_t got = w->read(w->input, &wanted, w->param);
  return got > kInputSize ? kInputSize : got;
}

void BuildDecodeTable(uint32_t count, const uint8_t* lengths, const uint8_t* values,
                      uint8_t* table) {
  for (uint32_t i = count; i-- > 0;) {
    const uint32_t step = 1u << lengths[i];
    for (uint32_t index = values[i]; index < 256; index += step) {
      table[index] = static_cast<uint8_t>(i);
    }
  }
}

void BuildAsciiTables(ExplodeWork* w) {
  // A corrupt stream can reach entries that no code fills; keep those defined.
  std::memset(w->asciiAfter4, 0, sizeof w->asciiAfter4);
  std::memset(w->asciiAfter6, 0, sizeof w->asciiAfter6);
  std::memset(w->asciiAfter8, 0, sizeof w->asciiAfter8);
  for (uint32_t s = 256; s-- > 0;) {
    const uint32_t len = w->asciiLengths[s];
    const uint32_t v = AsciiCodeValues[s];
    const auto sym = static_cast<uint8_t>(s);
    if (len <= 8) {
      for (uint32_t index = v; index < 256; index += 1u << len) w->asciiFirst[index] = sym;
    } else if ((v & 0xFF) != 0) {
      w->asciiFirst[v & 0xFF] = 0xFF;
      if ((v & 0x3F) != 0) {
        w->asciiLengths[s] = static_cast<uint8_t>(len - 4);
        for (uint32_t index = v >> 4; index < 256; index += 1u << (len - 4)) {
          w->asciiAfter4[index] = sym;
        }
      } else {
        w->asciiLengths[s] = static_cast<uint8_t>(len - 6);
        for (uint32_t index = v >> 6; index < 128; index += 1u << (len - 6)) {
          w->asciiAfter6[index] = sym;
        }
      }
    } else {
      w->asciiLengths[s] = static_cast<uint8_t>(len - 8);
      for (uint32_t index = v >> 8; index < 256; index += 1u << (len - 8)) {
        w->asciiAfter8[index] = sym;
      }
    }
  }
}

// The bit reader's state is copied into locals for the decode loop so that
// byte stores into the window cannot force it back to memory on every token.
struct BitReader {
  ExplodeWork* w;
  uint32_t bitBuffer;
  uint32_t extraBits;
  uint32_t inPos;
  uint32_t inCount;

  // Drops n (at most 8) bits. Fails when no further byte can be had to keep
  // 8 valid bits afterwards, even though the n bits themselves were present.
  bool Consume(uint32_t n) {
    if (n <= extraBits) {
      extraBits -= n;
      bitBuffer >>= n;
      return true;
    }
    bitBuffer >>= extraBits;
    if (inPos == inCount) {
      inCount = ReadInput(w);
      if (inCount == 0) return false;
      inPos = 0;
    }
    bitBuffer |= static_cast<uint32_t>(w->input[inPos++]) << 8;
    bitBuffer >>= n - extraBits;
    extraBits = extraBits + 8 - n;
    return true;
  }

  uint32_t DecodeSymbol() {
    if (bitBuffer & 1) {
      if (!Consume(1)) return kSymDecodeError;
      const uint32_t i = w->lenDecode[bitBuffer & 0xFF];
      if (!Consume(LenCodeLengths[i])) return kSymDecodeError;
      const uint32_t n = LenExtraBits[i];
      if (n == 0) return 0x100 + i;
      const uint32_t e = bitBuffer & ((1u << n) - 1);
      // The end marker's extra bits may be the very last bits of the input.
      if (!Consume(n) && i + e != 15 + 255) return kSymDecodeError;
      return 0x100 + LenBaseValues[i] + e;
    }
    if (!Consume(1)) return kSymDecodeError;
    if (w->type == DCL_BINARY) {
      const uint32_t v = bitBuffer & 0xFF;
      if (!Consume(8)) return kSymDecodeError;
      return v;
    }
    uint32_t s;
    if ((bitBuffer & 0xFF) != 0) {
      s = w->asciiFirst[bitBuffer & 0xFF];
      if (s == 0xFF) {
        if ((bitBuffer & 0x3F) != 0) {
          if (!Consume(4)) return kSymDecodeError;
          s = w->asciiAfter4[bitBuffer & 0xFF];
        } else {
          if (!Consume(6)) return kSymDecodeError;
          s = w->asciiAfter6[bitBuffer & 0x7F];
        }
      }
    } else {
      if (!Consume(8)) return kSymDecodeError;
      s = w->asciiAfter8[bitBuffer & 0xFF];
    }
    if (!Consume(w->asciiLengths[s])) return kSymDecodeError;
    return s;
  }

  // Returns the back distance (1 to 4096), or 0 when the input ran out.
  uint32_t DecodeDistance(uint32_t length) {
    const uint32_t h = w->distDecode[bitBuffer & 0xFF];
    if (!Consume(DistCodeLengths[h])) return 0;
    uint32_t d;
    if (length == 2) {
      d = (h << 2) | (bitBuffer & 3);
      if (!Consume(2)) return 0;
    } else {
      d = (h << w->dictBits) | (bitBuffer & w->dictMask);
      if (!Consume(w->dictBits)) return 0;
    }
    return d + 1;
  }
};

uint32_t ExpandStream(ExplodeWork* w) {
  BitReader r{w, w->bitBuffer, w->extraBits, w->inPos, w->inCount};
  uint8_t* const window = w->window;
  uint32_t outPos = kBlock;
  uint32_t s;
  for (;;) {
    s = r.DecodeSymbol();
    if (s >= kSymEndOfStream) break;
    if (s < 0x100) {
      window[outPos++] = static_cast<uint8_t>(s);
    } else {
      const uint32_t length = s - 0xFE;
      const uint32_t d = r.DecodeDistance(length);
      if (d == 0) {
        s = kSymDecodeError;
        break;
      }
      // outPos >= 0x1000 and d <= 0x1000, so the source never precedes the window.
      uint8_t* dst = window + outPos;
      const uint8_t* src = dst - d;
      if (d >= 8) {
        // Whole words, possibly a few bytes too many: those land past outPos,
        // where nothing reads them before they are written again.
        for (uint32_t k = 0; k < length; k += 8) std::memcpy(dst + k, src + k, 8);
      } else {
        for (uint32_t k = 0; k < length; ++k) dst[k] = src[k];
      }
      outPos += length;
    }
    if (outPos >= 2 * kBlock) {
      uint32_t size = kBlock;
      w->write(window + kBlock, &size, w->param);
      std::memmove(window, window + kBlock, outPos - kBlock);
      outPos -= kBlock;
    }
  }
  // Also after an error, so that the caller gets every byte decoded before it.
  uint32_t size = outPos - kBlock;
  w->write(window + kBlock, &size, w->param);
  w->outPos = outPos;
  w->bitBuffer = r.bitBuffer;
  w->extraBits = r.extraBits;
  w->inPos = r.inPos;
  w->inCount = r.inCount;
  return s;
}

}  // namespace

uint32_t Explode(DclReadFn read, DclWriteFn write, void* work, void* param) {
  if (read == nullptr || write == nullptr || work == nullptr) return DCL_ERR_SHORT_INPUT;
  auto* w = static_cast<ExplodeWork*>(work);
  w->read = read;
  w->write = write;
  w->param = param;

  w->inCount = ReadInput(w);
  if (w->inCount <= 4) return DCL_ERR_SHORT_INPUT;

  w->type = w->input[0];
  w->dictBits = w->input[1];
  w->bitBuffer = w->input[2];
  w->extraBits = 0;
  w->inPos = 3;
  if (w->dictBits < 4 || w->dictBits > 6) return DCL_ERR_DICT_SIZE;
  w->dictMask = 0xFFFFu >> (16 - w->dictBits);

  if (w->type == DCL_ASCII) {
    std::memcpy(w->asciiLengths, AsciiCodeLengths.data(), sizeof w->asciiLengths);
    BuildAsciiTables(w);
  } else if (w->type != DCL_BINARY) {
    return DCL_ERR_TYPE;
  }
  BuildDecodeTable(DCL_LEN_CODES, LenCodeLengths.data(), LenCodeValues.data(), w->lenDecode);
  BuildDecodeTable(DCL_DIST_CODES, DistCodeLengths.data(), DistCodeValues.data(), w->distDecode);

  // A repetition that reaches back before the first output byte must copy
  // zeros, also when the caller hands in a work area that has been used before.
  std::memset(w->window, 0, kBlock);

  return ExpandStream(w) == kSymDecodeError ? DCL_ERR_DATA : DCL_OK;
}
