// Feeds arbitrary sectors to the dispatch: the first two bytes give the
// output room (at least the sector's length, like the reader's), the rest is
// the sector, mask byte first. The same bytes are then compressed with a
// lossless mask taken from the room and must come back unchanged.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "compression/scomp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3 || size > 65536 + 2) return 0;
  uint32_t room = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8;
  // Exact-size copies so that any read or write past them is caught.
  const std::vector<uint8_t> in(data + 2, data + size);
  const auto inSize = static_cast<uint32_t>(in.size());
  if (room < inSize) room = inSize;

  std::vector<uint8_t> out(room);
  uint32_t produced = room;
  if (DecompressSector(out.data(), &produced, in.data(), inSize) && produced > room) abort();

  static const uint32_t kMasks[] = {0x01, 0x08, 0x09};
  const uint32_t mask = kMasks[data[0] % 3];
  std::vector<uint8_t> packed(inSize);
  uint32_t packedSize = inSize;
  if (!CompressSector(packed.data(), &packedSize, in.data(), inSize, mask, data[1] & 2, 0))
    abort();
  if (packedSize > inSize) abort();
  packed.resize(packedSize);
  std::vector<uint8_t> back(inSize);
  uint32_t backSize = inSize;
  if (!DecompressSector(back.data(), &backSize, packed.data(), packedSize)) abort();
  if (backSize != inSize || memcmp(back.data(), in.data(), inSize) != 0) abort();
  return 0;
}
