// The builder is the ground truth of every archive test, so its layout is
// checked here against the format independently of the library's reader.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "tests/support/archive_builder.h"

using namespace testsupport;

namespace {

std::vector<uint32_t> DecryptWords(const Bytes& bytes, uint64_t pos, uint32_t count, uint32_t key) {
  Bytes raw(bytes.begin() + static_cast<std::ptrdiff_t>(pos),
            bytes.begin() + static_cast<std::ptrdiff_t>(pos + 4ull * count));
  DecryptBlock(raw.data(), static_cast<uint32_t>(raw.size()), key);
  std::vector<uint32_t> words;
  for (uint32_t i = 0; i < count; ++i) words.push_back(LoadLE32At(raw, 4ull * i));
  return words;
}

}  // namespace

TEST(ArchiveBuilder, HeaderAndTablesLieWhereTheHeaderSays) {
  ArchiveBuilder b;
  b.Stub(1024).SectorShift(2).HashTableSize(7);
  b.Add("a.txt", "hello");
  b.Add("b.txt", "world!", BLOCK_COMPRESSED).locale = 0x409;
  Layout layout;
  const Bytes bytes = b.Build(&layout);

  ASSERT_EQ(std::memcmp(bytes.data() + 1024, "MPQ\x1a", 4), 0);
  EXPECT_EQ(bytes[0], 0xA5);
  EXPECT_EQ(LoadLE32At(bytes, 1024 + 4), 32u);
  EXPECT_EQ(LoadLE32At(bytes, 1024 + 8), bytes.size() - 1024);
  EXPECT_EQ(LoadLE32At(bytes, 1024 + 12), 2u << 16);  // version 0, shift 2
  const uint32_t hashOffset = LoadLE32At(bytes, 1024 + 16);
  const uint32_t blockOffset = LoadLE32At(bytes, 1024 + 20);
  EXPECT_EQ(LoadLE32At(bytes, 1024 + 24), 7u);
  EXPECT_EQ(LoadLE32At(bytes, 1024 + 28), 2u);
  EXPECT_EQ(1024u + hashOffset, layout.hashTablePos);
  EXPECT_EQ(1024u + blockOffset, layout.blockTablePos);

  const auto hash = DecryptWords(bytes, layout.hashTablePos, 7 * 4, HashTableKey());
  const auto block = DecryptWords(bytes, layout.blockTablePos, 2 * 4, BlockTableKey());
  // Each name sits at its home slot or the first free slot after it.
  for (const char* name : {"a.txt", "b.txt"}) {
    const FileLayout* f = layout.Find(name);
    ASSERT_TRUE(f && f->hashIndex);
    const uint32_t home = HashString(name, HASH_TABLE_INDEX) % 7;
    for (uint32_t i = home; i != *f->hashIndex; i = (i + 1) % 7) EXPECT_NE(hash[i * 4], 0xFFFFFFFFu);
    const uint32_t* e = &hash[*f->hashIndex * 4];
    EXPECT_EQ(e[0], HashString(name, HASH_NAME_A));
    EXPECT_EQ(e[1], HashString(name, HASH_NAME_B));
    EXPECT_EQ(e[3], f->blockIndex);
    EXPECT_EQ(block[f->blockIndex * 4], f->blockStart - 1024);
  }
  EXPECT_EQ(hash[*layout.Find("b.txt")->hashIndex * 4 + 2], 0x409u);
  EXPECT_EQ(block[2], 5u);                                // fileSize of a.txt
  EXPECT_EQ(block[3], BLOCK_EXISTS);
  EXPECT_EQ(block[4 + 1], 8u + 6u);                       // b.txt: table of 2 words + 6 bytes
  EXPECT_EQ(block[4 + 3], BLOCK_EXISTS | BLOCK_COMPRESSED);
}

TEST(ArchiveBuilder, EncryptsSectorsAndTableWithTheFileKey) {
  ArchiveBuilder b;
  b.SectorShift(0);
  const Bytes content = PatternBytes(1030, 1);  // sectors of 512, 512, 6
  b.Add("dir\\x.bin", content, BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED | BLOCK_COMPRESSED);
  b.Add("plain.bin", content, BLOCK_ENCRYPTED);
  Layout layout;
  const Bytes bytes = b.Build(&layout);

  const FileLayout* x = layout.Find("dir\\x.bin");
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(x->key, (HashString("x.bin", HASH_FILE_KEY) + x->block.offset) ^ 1030u);
  const auto table = DecryptWords(bytes, x->dataStart, 4, x->key - 1);
  EXPECT_EQ(table, (std::vector<uint32_t>{16, 528, 1040, 1046}));
  Bytes sector(bytes.begin() + static_cast<std::ptrdiff_t>(x->dataStart + 1040),
               bytes.begin() + static_cast<std::ptrdiff_t>(x->dataStart + 1046));
  DecryptBlock(sector.data(), 6, x->key + 2);
  EXPECT_EQ(sector, Bytes(content.begin() + 1024, content.end()));
  EXPECT_EQ(bytes[x->dataStart + 1045], content[1029]);  // beyond the last whole word: plain

  const FileLayout* p = layout.Find("plain.bin");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->key, HashString("plain.bin", HASH_FILE_KEY));
  Bytes second(bytes.begin() + static_cast<std::ptrdiff_t>(p->dataStart + 512),
               bytes.begin() + static_cast<std::ptrdiff_t>(p->dataStart + 1024));
  DecryptBlock(second.data(), 512, p->key + 1);
  EXPECT_EQ(second, Bytes(content.begin() + 512, content.begin() + 1024));
}

TEST(ArchiveBuilder, Bn3FilesStartWithTheirPerFileHeader) {
  ArchiveBuilder b;
  b.Bn3();
  b.Add("Units\\a.txt", "abc");
  Layout layout;
  const Bytes bytes = b.Build(&layout);
  EXPECT_EQ(std::memcmp(bytes.data(), "BN3\x1a", 4), 0);
  const FileLayout* f = layout.Find("Units\\a.txt");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(LoadLE32At(bytes, f->blockStart), 324u);
  EXPECT_EQ(LoadLE32At(bytes, f->blockStart + 4), 0u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data() + f->blockStart + 64)),
            "Units\\a.txt");
  EXPECT_EQ(f->dataStart, f->blockStart + 324);
  EXPECT_EQ(f->block.storedSize, 327u);
  EXPECT_EQ(bytes[f->dataStart], 'a');
}

TEST(ArchiveBuilder, ExplicitSlotsRawEntriesAndFullTables) {
  ArchiveBuilder b;
  b.HashTableSize(3);
  b.Add("a", "1").hashIndex = 2;
  const uint32_t raw = b.AddRawBlock(BlockEntry{0, 0, 0, 0});
  b.SetHashEntry(0, HashEntry{1, 2, 3, raw});
  b.Add("b", "2");
  Layout layout;
  b.Build(&layout);
  EXPECT_EQ(layout.Find("a")->hashIndex, 2u);
  EXPECT_EQ(layout.Find("b")->hashIndex, 1u);  // the only slot left
  EXPECT_EQ(layout.hashTable[0].blockIndex, 1u);
  EXPECT_EQ(layout.Find("b")->blockIndex, 2u);

  b.Add("c", "3");
  EXPECT_THROW(b.Build(), std::runtime_error);

  ArchiveBuilder patched;
  patched.PatchHeader([](ArchiveHeader& h) { h.hashTableEntries = 0x10000000; });
  EXPECT_EQ(LoadLE32At(patched.Build(), 24), 0x10000000u);
}
