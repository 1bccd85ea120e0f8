// The built-in stand-in for the outside compression provider: the two
// methods archives of that era hand to it, a zlib stream (0x02) and a bzip2
// stream (0x10), through the system's own libraries. As with the library's
// own methods the mask byte leads the sector, each method is kept only when
// it saves at least two bytes, and zlib is the inner method: compression runs
// zlib then bzip2, decompression undoes bzip2 then zlib.
//
// A build without either library (TAVRIX_NO_ZLIB, TAVRIX_NO_BZIP2) treats
// that method as unknown, so sectors using it fail like any other unknown
// mask.
#include <cstdlib>
#include <cstring>

#include "archive/read/provider.h"
#include "platform/platform.h"

#if !defined(TAVRIX_NO_ZLIB)
#include <zlib.h>
#endif
#if !defined(TAVRIX_NO_BZIP2)
#include <bzlib.h>
#endif

namespace {

constexpr uint32_t kMethodZlib = 0x02u;
constexpr uint32_t kMethodBzip2 = 0x10u;

constexpr uint32_t SupportedMethods() {
  uint32_t mask = 0;
#if !defined(TAVRIX_NO_ZLIB)
  mask |= kMethodZlib;
#endif
#if !defined(TAVRIX_NO_BZIP2)
  mask |= kMethodBzip2;
#endif
  return mask;
}

// One method in one direction: fills at most *outLength bytes and reports the
// bytes produced there; false when the data does not fit or does not decode.
using CodecFn = bool (*)(uint8_t* out, uint32_t* outLength, const uint8_t* in, uint32_t inLength,
                         bool compress);

#if !defined(TAVRIX_NO_ZLIB)
bool ZlibCodec(uint8_t* out, uint32_t* outLength, const uint8_t* in, uint32_t inLength,
               bool compress) {
  uLongf produced = *outLength;
  const int rc = compress ? compress2(out, &produced, in, inLength, Z_DEFAULT_COMPRESSION)
                          : uncompress(out, &produced, in, inLength);
  if (rc != Z_OK || produced > *outLength) return false;
  *outLength = static_cast<uint32_t>(produced);
  return true;
}
#endif

#if !defined(TAVRIX_NO_BZIP2)
bool Bzip2Codec(uint8_t* out, uint32_t* outLength, const uint8_t* in, uint32_t inLength,
                bool compress) {
  unsigned int produced = *outLength;
  // The library's interface takes non-const buffers but only reads the input.
  auto* source = reinterpret_cast<char*>(const_cast<uint8_t*>(in));
  auto* dest = reinterpret_cast<char*>(out);
  const int rc = compress ? BZ2_bzBuffToBuffCompress(dest, &produced, source, inLength, 9, 0, 0)
                          : BZ2_bzBuffToBuffDecompress(dest, &produced, source, inLength, 0, 0);
  if (rc != BZ_OK || produced > *outLength) return false;
  *outLength = produced;
  return true;
}
#endif

struct Method {
  uint32_t bit;
  CodecFn codec;
};

// Compression order; decompression walks it backwards.
constexpr Method kMethods[] = {
#if !defined(TAVRIX_NO_ZLIB)
    {kMethodZlib, ZlibCodec},
#endif
#if !defined(TAVRIX_NO_BZIP2)
    {kMethodBzip2, Bzip2Codec},
#endif
    {0, nullptr},
};
constexpr size_t kMethodCount = sizeof(kMethods) / sizeof(kMethods[0]) - 1;

// Two scratch buffers for the stages; the final result is copied out so that
// the caller's buffers may overlap freely.
struct Scratch {
  uint8_t* a = nullptr;
  uint8_t* b = nullptr;
  bool Allocate(uint32_t size) {
    a = static_cast<uint8_t*>(std::malloc(size == 0 ? 1 : size));
    b = static_cast<uint8_t*>(std::malloc(size == 0 ? 1 : size));
    return a && b;
  }
  ~Scratch() {
    std::free(a);
    std::free(b);
  }
  uint8_t* Other(const uint8_t* cur) const { return cur == a ? b : a; }
};

}  // namespace

bool BuiltinProviderSupports(uint32_t mask) { return (mask & ~SupportedMethods()) == 0; }

uint32_t BuiltinProviderCompress(uint8_t* output, uint32_t* outputLength, const uint8_t* input,
                                 uint32_t inputLength, uint32_t mask, uint32_t /*methodType*/,
                                 uint32_t /*level*/) {
  if (!output || !outputLength || !input) {
    platform::SetLastError(platform::kErrorInvalidParameter);
    return 0;
  }
  if (mask == 0 || (mask & ~SupportedMethods()) != 0) {
    platform::SetLastError(platform::kErrorNotSupported);
    return 0;
  }
  // Under three bytes no method can save two.
  if (inputLength < 3) return 0;

  Scratch scratch;
  if (!scratch.Allocate(inputLength)) {
    platform::SetLastError(platform::kErrorNotEnoughMemory);
    return 0;
  }
  const uint8_t* cur = input;
  uint32_t len = inputLength;
  uint32_t kept = 0;
  for (size_t i = 0; i < kMethodCount; ++i) {
    if (!(mask & kMethods[i].bit) || len < 3) continue;
    uint8_t* target = scratch.Other(cur);
    // Room for exactly the results worth keeping.
    uint32_t produced = len - 2;
    if (kMethods[i].codec(target, &produced, cur, len, true)) {
      cur = target;
      len = produced;
      kept |= kMethods[i].bit;
    }
  }
  if (kept == 0 || *outputLength < len + 1) return 0;
  std::memcpy(output + 1, cur, len);
  output[0] = static_cast<uint8_t>(kept);
  *outputLength = len + 1;
  return 1;
}

uint32_t BuiltinProviderDecompress(uint8_t* output, uint32_t* outputLength, const uint8_t* input,
                                   uint32_t inputLength) {
  if (!output || !outputLength || !input || inputLength == 0 || *outputLength < inputLength) {
    platform::SetLastError(platform::kErrorInvalidParameter);
    return 0;
  }
  const uint32_t room = *outputLength;
  if (inputLength == room) {
    if (output != input) std::memmove(output, input, inputLength);
    return 1;
  }
  const uint32_t mask = input[0];
  if ((mask & ~SupportedMethods()) != 0) {
    platform::SetLastError(platform::kErrorNotSupported);
    return 0;
  }

  const uint8_t* cur = input + 1;
  uint32_t len = inputLength - 1;
  // An inner stream may be a little larger than the data it holds (zlib's
  // stored blocks), so the stages before the last get some slack; the last
  // one must fit the room.
  const uint64_t slack = static_cast<uint64_t>(room) + room / 256 + 64;
  const uint32_t stageRoom = slack > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(slack);
  Scratch scratch;
  if (mask != 0 && !scratch.Allocate(stageRoom)) {
    platform::SetLastError(platform::kErrorNotEnoughMemory);
    return 0;
  }
  uint32_t left = 0;
  for (size_t i = 0; i < kMethodCount; ++i) left += (mask & kMethods[i].bit) ? 1 : 0;
  for (size_t i = kMethodCount; i-- > 0;) {
    if (!(mask & kMethods[i].bit)) continue;
    uint8_t* target = scratch.Other(cur);
    uint32_t produced = --left == 0 ? room : stageRoom;
    if (!kMethods[i].codec(target, &produced, cur, len, false)) {
      platform::SetLastError(platform::kErrorFileCorrupt);
      return 0;
    }
    cur = target;
    len = produced;
  }
  std::memmove(output, cur, len);
  *outputLength = len;
  return 1;
}
