// Writes the seed corpus of the archive-opening fuzz target. Disabled in
// normal runs; regenerate with (one command line)
//   TAVRIX_WRITE_OPEN_SEEDS=fuzz/corpus/open archive_tests
//     --gtest_also_run_disabled_tests --gtest_filter='*WriteOpenSeeds*'
#include <cstdlib>
#include <string>

#include "archive/provider.h"
#include "compression/scomp.h"
#include "tests/archive/read_test_util.h"

namespace {

using testsupport::ArchiveBuilder;
using testsupport::Bytes;
using testsupport::PatternBytes;

Bytes Text(size_t size) {
  std::string t;
  while (t.size() < size) t += "seed text for the fuzzer, ";
  return Bytes(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(size));
}

testsupport::SectorEncoder With(uint32_t mask) {
  return [mask](const uint8_t* data, uint32_t length, uint32_t) {
    Bytes out(length);
    uint32_t produced = length;
    const bool ok = (mask & BUILTIN_PROVIDER_MASK)
                        ? BuiltinProviderCompress(out.data(), &produced, data, length, mask, 0, 0) != 0
                        : CompressSector(out.data(), &produced, data, length, mask, 0, 0);
    if (!ok || produced >= length) {
      return Bytes(data, data + length);
    }
    out.resize(produced);
    return out;
  };
}

TEST(FuzzSeeds, DISABLED_WriteOpenSeeds) {
  const char* dir = std::getenv("TAVRIX_WRITE_OPEN_SEEDS");
  ASSERT_NE(dir, nullptr);
  const std::string folder = dir;

  {  // plain, encrypted and listed
    ArchiveBuilder b;
    b.SectorShift(0).HashTableSize(8);
    b.Listfile({"a.txt", "dir\\b.bin"}, "\r\n", BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED);
    b.Add("a.txt", "hello");
    b.Add("dir\\b.bin", PatternBytes(700, 1), BLOCK_ENCRYPTED);
    b.WriteTo(folder + "/plain.mpq");
  }
  {  // BN3, imploded and compressed sectors, keys from offset tables
    ArchiveBuilder b;
    b.Bn3().SectorShift(0).HashTableSize(5);
    b.Add("t.txt", Text(1300), BLOCK_IMPLODED | BLOCK_ENCRYPTED).encodeSector = With(COMP_IMPLODE);
    b.Add("h.txt", Text(900), BLOCK_COMPRESSED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED).encodeSector =
        With(COMP_HUFFMAN | COMP_IMPLODE);
    b.WriteTo(folder + "/bn3.mpq");
  }
  {  // stub, locales, a deleted mark, an outside method
    ArchiveBuilder b;
    b.Stub(512).SectorShift(0).HashTableSize(6);
    b.Listfile({"z.bin"});
    b.Listfile({"z.bin", "w.wav"}).locale = 0x409;
    b.Add("z.bin", Text(800), BLOCK_COMPRESSED).encodeSector = With(COMP_ZLIB);
    b.Add("w.wav", PatternBytes(600, 2), BLOCK_COMPRESSED).encodeSector = With(COMP_ADPCM_MONO);
    b.SetHashEntry(5, HashEntry{0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFE});
    b.WriteTo(folder + "/stub.mpq");
  }
}

}  // namespace
