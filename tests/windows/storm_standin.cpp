// A stand-in for the game's compression library: the two entry points with
// the argument lists of the library's dispatch, over a trivial run-length
// format, and counters that tell the tests the entries were really used.
#include <cstdint>

#include "tests/windows/standin_codec.h"

namespace {
uint32_t compressCalls = 0;
uint32_t decompressCalls = 0;
}  // namespace

extern "C" {

__declspec(dllexport) uint32_t StormCompress(uint8_t* output, uint32_t* outputLength, const uint8_t* input,
                                             uint32_t inputLength, uint32_t mask, uint32_t /*methodType*/,
                                             uint32_t /*level*/) {
  ++compressCalls;
  if (output == nullptr || outputLength == nullptr || input == nullptr || mask != standin::kMask) return 0;
  const uint32_t written = standin::Encode(output, *outputLength, input, inputLength);
  if (written == 0) return 0;
  *outputLength = written;
  return 1;
}

__declspec(dllexport) uint32_t StormDecompress(uint8_t* output, uint32_t* outputLength, const uint8_t* input,
                                               uint32_t inputLength) {
  ++decompressCalls;
  if (output == nullptr || outputLength == nullptr || input == nullptr) return 0;
  const uint32_t produced = standin::Decode(output, *outputLength, input, inputLength);
  if (produced == 0) return 0;
  *outputLength = produced;
  return 1;
}

__declspec(dllexport) uint32_t StandInCompressCalls() { return compressCalls; }
__declspec(dllexport) uint32_t StandInDecompressCalls() { return decompressCalls; }

}  // extern "C"
