// Parses arbitrary bytes as an "(attributes)" file for a block table of the
// size the first four bytes give, and checks that what was read writes out
// and reads back the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "archive/read/attributes_read.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4 || size > (1u << 24)) return 0;
  uint32_t entries = 0;
  std::memcpy(&entries, data, 4);
  entries &= 0x3FFFFF;  // the largest block table opening accepts
  AttributesTable table;
  if (!ParseAttributes(data + 4, static_cast<uint32_t>(size - 4), entries, &table)) return 0;
  if (table.count > entries || (table.count != 0 && static_cast<uint64_t>(table.count) > (size - 4) * 8)) abort();
  uint8_t* out = nullptr;
  uint32_t outSize = 0;
  AttributesTable again;
  if ((table.flags & ~kKnownAttributes) == 0 && SerializeAttributes(table, &out, &outSize)) {
    if (!ParseAttributes(out, outSize, table.count, &again) || again.count != table.count) abort();
    uint8_t* second = nullptr;
    uint32_t secondSize = 0;
    if (!SerializeAttributes(again, &second, &secondSize) || secondSize != outSize ||
        std::memcmp(out, second, outSize) != 0) {
      abort();
    }
    std::free(second);
  }
  std::free(out);
  ReleaseAttributes(&table);
  ReleaseAttributes(&again);
  return 0;
}
