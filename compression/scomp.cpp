// Placeholder until the dispatch lands: nothing can be decoded yet.
#include "compression/scomp.h"

bool CompressSector(uint8_t*, uint32_t*, const uint8_t*, uint32_t, uint32_t, uint32_t, uint32_t) {
  return false;
}
bool DecompressSector(uint8_t*, uint32_t*, const uint8_t*, uint32_t) { return false; }
void DecompressImplode(uint8_t*, uint32_t* outLength, const uint8_t*, uint32_t) { *outLength = 0; }
