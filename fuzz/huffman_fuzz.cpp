// Feeds arbitrary streams to the Huffman decoder. The first two bytes choose
// the output room; the rest is the stream. The same bytes are also coded and
// decoded again, which must give them back unchanged.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "compression/huffman.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint32_t room = (static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8);
  const uint8_t* stream = data + 2;
  const uint32_t streamSize = static_cast<uint32_t>(size - 2);

  // Exact-size copies so that any read or write past them is caught.
  std::vector<uint8_t> in(stream, stream + streamSize);
  std::vector<uint8_t> out(room);
  uint32_t produced = room;
  HuffmanDecompress(out.data(), &produced, in.data(), streamSize);
  if (produced > room) abort();

  const uint32_t type = room % 9;
  std::vector<uint8_t> packed(streamSize * 4 + 64);
  uint32_t packedSize = static_cast<uint32_t>(packed.size());
  HuffmanCompress(packed.data(), &packedSize, in.data(), streamSize, type);
  if (packedSize == 0 || packedSize >= packed.size() || packed[0] != type) abort();
  std::vector<uint8_t> back(streamSize);
  uint32_t backSize = streamSize;
  packed.resize(packedSize);
  HuffmanDecompress(back.data(), &backSize, packed.data(), packedSize);
  if (backSize != streamSize || (streamSize > 0 && memcmp(back.data(), in.data(), streamSize) != 0))
    abort();
  return 0;
}
