// Name hashing, the table keys, the block cipher and key detection.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "sorvane/sorvane.h"
#include "platform/bytes.h"

namespace {

constexpr uint32_t kEmptyHash = 0x7FED7FED;

// An independent statement of the hash over unsigned bytes, to pin down the
// treatment of bytes of 0x80 and above.
uint32_t ReferenceHash(const std::string& name, uint32_t type) {
  static std::vector<uint32_t> table = [] {
    std::vector<uint32_t> t(0x500);
    uint32_t seed = 0x00100001;
    for (uint32_t i = 0; i < 256; ++i) {
      for (uint32_t j = i, r = 0; r < 5; ++r, j += 256) {
        seed = (seed * 125 + 3) % 0x2AAAAB;
        const uint32_t high = (seed & 0xFFFF) << 16;
        seed = (seed * 125 + 3) % 0x2AAAAB;
        t[j] = high | (seed & 0xFFFF);
      }
    }
    return t;
  }();
  uint32_t s1 = 0x7FED7FED, s2 = 0xEEEEEEEE;
  for (unsigned char c : name) {
    const uint32_t ch = (c >= 'a' && c <= 'z') ? c - 32u : c;
    s1 = table[type * 256 + ch] ^ (s1 + s2);
    s2 = ch + s1 + s2 + (s2 << 5) + 3;
  }
  return s1;
}

TEST(HashString, EmptyNameGivesTheSeedForEveryType) {
  for (uint32_t type = 0; type < 4; ++type) EXPECT_EQ(HashString("", type), kEmptyHash) << type;
}

TEST(HashString, TableKeysHaveTheirWellKnownValues) {
  EXPECT_EQ(HashTableKey(), 0xC3AF3770u);
  EXPECT_EQ(BlockTableKey(), 0xEC83B3A3u);
  EXPECT_EQ(HashTableKey(), HashString("(hash table)", HASH_FILE_KEY));
}

TEST(HashString, AsciiCaseIsIgnoredButSeparatorsDiffer) {
  for (uint32_t type = 0; type < 4; ++type) {
    EXPECT_EQ(HashString("Units\\Human\\Footman.mdx", type),
              HashString("UNITS\\HUMAN\\FOOTMAN.MDX", type));
    EXPECT_NE(HashString("dir/x", type), HashString("dir\\x", type)) << type;
  }
}

TEST(HashString, FileKeyHashesOnlyTheLastBackslashComponent) {
  EXPECT_EQ(HashString("units\\human\\footman.mdx", HASH_FILE_KEY),
            HashString("FOOTMAN.MDX", HASH_FILE_KEY));
  EXPECT_NE(HashString("units\\human\\footman.mdx", HASH_NAME_A),
            HashString("FOOTMAN.MDX", HASH_NAME_A));
  // A forward slash is no separator for the key either.
  EXPECT_NE(HashString("units/footman.mdx", HASH_FILE_KEY), HashString("footman.mdx", HASH_FILE_KEY));
}

TEST(HashString, HighBytesHashByTheirUnsignedValue) {
  const std::string name = "Sons\\\xC9t\xE9\xFF.wav";
  for (uint32_t type = 0; type < 3; ++type) {
    EXPECT_EQ(HashString(name.c_str(), type), ReferenceHash(name, type)) << type;
  }
  EXPECT_EQ(HashString(name.c_str(), HASH_FILE_KEY), ReferenceHash("\xC9t\xE9\xFF.wav", 3));
  // Only ASCII letters fold: these two differ.
  EXPECT_NE(HashString("\xE9", HASH_NAME_A), HashString("\xC9", HASH_NAME_A));
}

TEST(Cipher, WorksOnWholeWordsOnly) {
  uint8_t data[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  uint8_t copy[10];
  std::memcpy(copy, data, sizeof data);
  EncryptBlock(data, 3, 0x1234);
  EXPECT_EQ(0, std::memcmp(data, copy, sizeof data));
  EncryptBlock(data, 10, 0x1234);
  EXPECT_NE(0, std::memcmp(data, copy, 4));
  EXPECT_NE(0, std::memcmp(data + 4, copy + 4, 4));
  EXPECT_EQ(data[8], 9);
  EXPECT_EQ(data[9], 10);
  DecryptBlock(data, 10, 0x1234);
  EXPECT_EQ(0, std::memcmp(data, copy, sizeof data));
}

TEST(Cipher, DecryptUndoesEncryptForAnyKey) {
  std::vector<uint8_t> data(64);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 37);
  for (uint32_t key : {0u, 1u, 0xFFFFFFFFu, 0x80000000u, 0xC3AF3770u}) {
    std::vector<uint8_t> work = data;
    EncryptBlock(work.data(), 64, key);
    EXPECT_NE(work, data);
    DecryptBlock(work.data(), 64, key);
    EXPECT_EQ(work, data) << key;
  }
}

TEST(DetectFileKey, FindsAKeyThatDecryptsTheTableStart) {
  for (uint32_t key : {0x12345678u, 0xDEADBEEFu, 7u}) {
    uint8_t words[16];
    platform::StoreLE32(words, 16);
    platform::StoreLE32(words + 4, 0x300);
    platform::StoreLE32(words + 8, 0x900);
    platform::StoreLE32(words + 12, 0xA00);
    EncryptBlock(words, sizeof words, key);
    const uint32_t found = DetectFileKey(words, 16);
    ASSERT_NE(found, 0u);
    // The first candidate that passes both tests wins; it need not be key
    // itself, but it must decrypt the table start the same way.
    uint8_t check[16];
    std::memcpy(check, words, sizeof check);
    DecryptBlock(check, 8, found - 1);
    EXPECT_EQ(platform::LoadLE32(check), 16u);
    EXPECT_EQ(platform::LoadLE32(check + 4) >> 16, 0u);
  }
}

TEST(DetectFileKey, ReportsZeroWhenNoKeyFits) {
  uint8_t words[8];
  platform::StoreLE32(words, 16);
  platform::StoreLE32(words + 4, 0x300);
  EncryptBlock(words, 8, 0x55AA55AA);
  // Asking for a different first word finds nothing.
  EXPECT_EQ(DetectFileKey(words, 20), 0u);
}

}  // namespace
