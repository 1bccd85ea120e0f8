// Placeholder until the built-in provider lands: no outside methods yet.
#include "archive/provider.h"

uint32_t BuiltinProviderCompress(uint8_t*, uint32_t*, const uint8_t*, uint32_t, uint32_t, uint32_t,
                                 uint32_t) {
  return 0;
}
uint32_t BuiltinProviderDecompress(uint8_t*, uint32_t*, const uint8_t*, uint32_t) { return 0; }
