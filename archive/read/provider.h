// The outside compression provider: the game's own library when it can be
// loaded, otherwise the built-in stand-in for the methods archives of that
// era hand to it (zlib 0x02, bzip2 0x10). Both entries take the arguments of
// CompressSector / DecompressSector and return non-zero on success.
#pragma once

#include <cstdint>
#include <mutex>
#include <type_traits>

using StormCompressFn = uint32_t (*)(uint8_t* output, uint32_t* outputLength,
                                     const uint8_t* input, uint32_t inputLength, uint32_t mask,
                                     uint32_t methodType, uint32_t level);
using StormDecompressFn = uint32_t (*)(uint8_t* output, uint32_t* outputLength,
                                       const uint8_t* input, uint32_t inputLength);

// Set by LoadStormLibrary: the game library's entries when it loads, otherwise
// the built-in stand-in below. Code that may run beside a load on another
// thread takes them through the two calls after them.
extern StormCompressFn StormCompress;
extern StormDecompressFn StormDecompress;
StormCompressFn CurrentProviderCompress();
StormDecompressFn CurrentProviderDecompress();

// The built-in stand-in (builtin_provider.cpp). The decompressor takes the
// mask byte first, like a compressed sector; the compressor writes it.
uint32_t BuiltinProviderCompress(uint8_t* output, uint32_t* outputLength, const uint8_t* input,
                                 uint32_t inputLength, uint32_t mask, uint32_t methodType,
                                 uint32_t level);
uint32_t BuiltinProviderDecompress(uint8_t* output, uint32_t* outputLength, const uint8_t* input,
                                   uint32_t inputLength);
// The mask bits the stand-in can apply.
constexpr uint32_t BUILTIN_PROVIDER_MASK = 0x02u | 0x10u;
// Whether this build's stand-in applies every bit of mask (a build made
// without zlib or bzip2 lacks that method).
bool BuiltinProviderSupports(uint32_t mask);

// The game's library was written for one thread: calls into it take turns
// (the built-in stand-in needs no turns and gets none). fn is the entry
// about to be called, call the call itself.
std::mutex& OutsideProviderMutex();
template <typename Fn, typename Call>
bool CallOutsideProvider(Fn fn, Call call) {
  bool builtin = false;
  if constexpr (std::is_same_v<Fn, StormCompressFn>) {
    builtin = fn == &BuiltinProviderCompress;
  } else {
    builtin = fn == &BuiltinProviderDecompress;
  }
  if (builtin) return call();
  std::lock_guard<std::mutex> lock(OutsideProviderMutex());
  return call();
}
