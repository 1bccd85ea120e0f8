// Feeds arbitrary streams to the ADPCM decoder: the first byte picks the
// channels, the next two the output room, the rest is the stream. The same
// bytes, taken as samples, are also coded into that room and decoded again:
// neither side may pass its room, and a stream that fit must decode to one
// sample per input sample.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "compression/adpcm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const uint32_t channels = (data[0] & 1) + 1;
  const uint32_t shift = 4 + (data[0] >> 1) % 3;
  const uint32_t room = static_cast<uint32_t>(data[1]) | static_cast<uint32_t>(data[2]) << 8;
  // Exact-size copies so that any read or write past them is caught.
  const std::vector<uint8_t> in(data + 3, data + size);
  const auto inSize = static_cast<uint32_t>(in.size());

  std::vector<uint8_t> out(room);
  const uint32_t produced = AdpcmDecode(out.data(), room, in.data(), inSize, channels);
  if (produced > room || produced % 2 != 0) abort();

  std::vector<uint8_t> coded(room);
  const uint32_t codedSize = AdpcmEncode(coded.data(), room, in.data(), inSize, channels, shift);
  if (codedSize != 0 && codedSize <= room) {
    const uint32_t samples = inSize / 2;
    std::vector<uint8_t> back(samples * 2);
    coded.resize(codedSize);
    if (AdpcmDecode(back.data(), samples * 2, coded.data(), codedSize, channels) != samples * 2)
      abort();
  }
  return 0;
}
