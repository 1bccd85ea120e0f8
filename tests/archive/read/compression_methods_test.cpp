// GetCompressionMethods against what the builder stored: for files whose
// sectors each went through the sector compressor with a random method
// mask (or stayed plain), encrypted or not, the result is the union of the
// mask bytes written plus the stored-sector mark; cut archives give that or
// a failure, never anything else.
#include <algorithm>
#include <random>

#include "compression/scomp.h"
#include "tests/archive/read/read_test_util.h"

namespace readtest {
namespace {

class CompressionMethodsTest : public ArchiveTest {};

constexpr uint32_t kMasks[] = {0,
                               COMP_HUFFMAN,
                               COMP_IMPLODE,
                               COMP_IMPLODE | COMP_HUFFMAN,
                               COMP_ADPCM_MONO | COMP_HUFFMAN,
                               COMP_ADPCM_STEREO};
constexpr uint32_t kFlags[] = {BLOCK_COMPRESSED, BLOCK_COMPRESSED | BLOCK_ENCRYPTED,
                               BLOCK_COMPRESSED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED};

// Runs of text that compress and of noise that does not.
Bytes MixedContent(std::mt19937& random, size_t size) {
  Bytes out;
  while (out.size() < size) {
    const size_t run = random() % 900 + 1;
    const bool noise = random() % 3 == 0;
    for (size_t i = 0; i < run && out.size() < size; ++i) {
      out.push_back(noise ? static_cast<uint8_t>(random()) : static_cast<uint8_t>("sector table "[i % 13]));
    }
  }
  return out;
}

uint32_t HashIndexOf(ArchiveHandle archive, const char* name) {
  FileHandle file = nullptr;
  if (!OpenArchiveFile(archive, name, 0, &file)) return 0xFFFFFFFFu;
  const uint32_t index = GetArchiveFileInfo(file, INFO_HASH_INDEX);
  CloseArchiveFile(file);
  return index;
}

TEST_F(CompressionMethodsTest, UnionOfTheSectorsMasksAndCutArchivesFailCleanly) {
  std::mt19937 random(15);
  for (int round = 0; round < 30; ++round) {
    uint32_t expected = 0;
    ArchiveBuilder b;
    b.SectorShift(0).TablesFirst();
    testsupport::FileSpec& f =
        b.Add("dir\\file.bin", MixedContent(random, random() % 8000 + 1), kFlags[random() % std::size(kFlags)]);
    f.encodeSector = [&random, &expected](const uint8_t* data, uint32_t length, uint32_t) {
      const uint32_t mask = kMasks[random() % std::size(kMasks)];
      Bytes out(2 * length + 64);
      uint32_t outLength = static_cast<uint32_t>(out.size());
      if (mask != 0 && CompressSector(out.data(), &outLength, data, length, mask, 0, 0) && outLength < length) {
        expected |= out[0];
        out.resize(outLength);
        return out;
      }
      expected |= METHOD_SECTOR_STORED;
      return Bytes(data, data + length);
    };
    Layout layout;
    const Bytes bytes = b.Build(&layout);
    const size_t tablesEnd = std::max(layout.hashTablePos + 16 * layout.hashTable.size(),
                                      layout.blockTablePos + 16 * layout.blockTable.size());
    ArchiveHandle archive = OpenBytes(bytes);
    ASSERT_NE(archive, nullptr);
    const uint32_t index = HashIndexOf(archive, "dir\\file.bin");
    ASSERT_NE(index, 0xFFFFFFFFu);
    EXPECT_EQ(GetCompressionMethods(archive, index), expected) << "round " << round;
    EXPECT_EQ(GetCompressionMethods(archive, index + 1000000), 0xFFFFFFFFu);
    CloseArchive(archive);

    // Tables first, so every cut behind them leaves the archive open and its
    // data short.
    for (size_t cut = bytes.size() - 1, step = 1; cut > tablesEnd + step; step = 1 + random() % 200) {
      cut -= step;
      ArchiveHandle cutArchive = OpenBytes(Bytes(bytes.begin(), bytes.begin() + cut));
      if (cutArchive == nullptr) continue;
      const uint32_t methods = GetCompressionMethods(cutArchive, index);
      EXPECT_TRUE(methods == expected || methods == 0xFFFFFFFFu) << "cut at " << cut << ": " << methods;
      CloseArchive(cutArchive);
    }
  }
  EXPECT_EQ(GetCompressionMethods(nullptr, 0), 0xFFFFFFFFu);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(CompressionMethodsTest, FilesWithoutSectorTableNameNoMethod) {
  ArchiveBuilder b;
  b.Add("plain.txt", "plain bytes");
  b.Add("secret.txt", "encrypted bytes", BLOCK_ENCRYPTED);
  ArchiveHandle archive = Open(b);
  ASSERT_NE(archive, nullptr);
  EXPECT_EQ(GetCompressionMethods(archive, HashIndexOf(archive, "plain.txt")), 0u);
  EXPECT_EQ(GetCompressionMethods(archive, HashIndexOf(archive, "secret.txt")), 0u);
  CloseArchive(archive);
}

}  // namespace
}  // namespace readtest
