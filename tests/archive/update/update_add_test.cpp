// Adding files: entries, sectors, compression, encryption, placement.
#include "archive/read/provider.h"
#include "platform/bytes.h"
#include "tests/archive/update/update_test_util.h"

using namespace updatetest;

namespace {

class UpdateAddTest : public UpdateTest {
 protected:
  // The stored bytes of a block, as on disk.
  Bytes StoredBytes(const std::string& archiveName, const BlockEntry& block, uint32_t headerOffset = 0) {
    const Bytes file = ReadBytes(Path(archiveName));
    const size_t at = headerOffset + block.offset;
    return Bytes(file.begin() + at, file.begin() + at + block.storedSize);
  }
};

// A 16-bit stereo PCM WAV of `frames` frames.
Bytes Wave(uint32_t frames) {
  Bytes w(44 + frames * 4);
  std::memcpy(w.data(), "RIFF", 4);
  platform::StoreLE32(&w[4], static_cast<uint32_t>(w.size() - 8));
  std::memcpy(&w[8], "WAVEfmt ", 8);
  platform::StoreLE32(&w[16], 16);
  platform::StoreLE16(&w[20], 1);   // PCM
  platform::StoreLE16(&w[22], 2);   // stereo
  platform::StoreLE32(&w[24], 22050);
  platform::StoreLE32(&w[28], 22050 * 4);
  platform::StoreLE16(&w[32], 4);
  platform::StoreLE16(&w[34], 16);  // bits per sample
  std::memcpy(&w[36], "data", 4);
  platform::StoreLE32(&w[40], frames * 4);
  for (uint32_t i = 0; i < frames; ++i) {
    const auto s = static_cast<uint16_t>(static_cast<int16_t>((i * 37) % 2000) - 1000);
    platform::StoreLE16(&w[44 + 4 * i], s);
    platform::StoreLE16(&w[46 + 4 * i], s);
  }
  return w;
}

TEST_F(UpdateAddTest, EveryFlagCombinationReadsBack) {
  ArchiveHandle a = Create("combo.mpq", 256);
  ASSERT_NE(a, nullptr);
  const uint32_t flagSets[] = {0,
                               BLOCK_COMPRESSED,
                               BLOCK_IMPLODED,
                               BLOCK_COMPRESSED | BLOCK_IMPLODED,
                               BLOCK_ENCRYPTED,
                               BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED,
                               BLOCK_COMPRESSED | BLOCK_ENCRYPTED,
                               BLOCK_IMPLODED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED,
                               BLOCK_COMPRESSED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED};
  const uint32_t sizes[] = {1, 3, 4095, 4096, 4097, 10000, 40000};
  std::vector<std::pair<std::string, Bytes>> stored;
  int n = 0;
  for (uint32_t flags : flagSets) {
    for (uint32_t size : sizes) {
      const std::string name = "dir\\f" + std::to_string(n++) + ".txt";
      const Bytes data = (n % 2) ? Compressible(size, n) : PatternBytes(size, n);
      ASSERT_TRUE(Add(a, name, data, flags, COMP_IMPLODE | COMP_HUFFMAN)) << name << " " << GetLastError();
      EXPECT_EQ(BlockOf(a, name).flags, flags | BLOCK_EXISTS);
      stored.emplace_back(name, data);
    }
  }
  for (const auto& [name, data] : stored) ExpectReads(a, name, data);
  CloseWritableArchive(a, 0);
  ArchiveHandle r = Reopen("combo.mpq");
  for (const auto& [name, data] : stored) ExpectReads(r, name, data);
}

TEST_F(UpdateAddTest, TenThousandBytesMakeThreeSectors) {
  ArchiveHandle a = Create("sectors.mpq", 16);
  const Bytes data = Compressible(10000, 7);
  ASSERT_TRUE(Add(a, "ten", data, BLOCK_COMPRESSED | BLOCK_ENCRYPTED));
  const BlockEntry block = BlockOf(a, "ten");
  Bytes stored = StoredBytes("sectors.mpq", block);
  const uint32_t key = HashString("ten", HASH_FILE_KEY);
  DecryptBlock(stored.data(), 16, key - 1);
  const uint32_t o0 = platform::LoadLE32(&stored[0]), o1 = platform::LoadLE32(&stored[4]);
  const uint32_t o2 = platform::LoadLE32(&stored[8]), o3 = platform::LoadLE32(&stored[12]);
  EXPECT_EQ(o0, 16u);
  EXPECT_LT(o1, o2);
  EXPECT_EQ(o3, block.storedSize);
  EXPECT_LT(block.storedSize, 10000u);
  // Sector 2 holds the last 1,808 bytes; decrypted with key + 2 it is a
  // compressed sector whose mask names only the methods asked for.
  Bytes last(stored.begin() + o2, stored.begin() + o3);
  DecryptBlock(last.data(), static_cast<uint32_t>(last.size()), key + 2);
  EXPECT_LT(last.size(), 1808u);
  EXPECT_EQ(last[0] & ~COMP_IMPLODE, 0u);
  ExpectReads(a, "ten", data);
}

TEST_F(UpdateAddTest, IncompressibleSectorsAreStoredPlain) {
  ArchiveHandle a = Create("plain.mpq", 16);
  const Bytes data = PatternBytes(10000, 3);
  ASSERT_TRUE(Add(a, "random", data, BLOCK_COMPRESSED));
  const BlockEntry block = BlockOf(a, "random");
  EXPECT_EQ(block.storedSize, 16u + 10000u);
  const Bytes stored = StoredBytes("plain.mpq", block);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), stored.begin() + 16));
  ExpectReads(a, "random", data);
}

TEST_F(UpdateAddTest, ImplodedSectorsCarryNoMaskByte) {
  ArchiveHandle a = Create("implode.mpq", 16);
  const Bytes data = Bytes(5000, 'a');
  ASSERT_TRUE(Add(a, "aaa", data, BLOCK_IMPLODED));
  const BlockEntry block = BlockOf(a, "aaa");
  const Bytes stored = StoredBytes("implode.mpq", block);
  const uint32_t o0 = platform::LoadLE32(&stored[0]), o1 = platform::LoadLE32(&stored[4]);
  ASSERT_EQ(o0, 12u);
  // A DCL stream starts with its type byte (0 binary, 1 ASCII), not 0x08.
  EXPECT_LE(stored[o0], 1u);
  EXPECT_LE(o1 - o0, 4096u - 2);
  ExpectReads(a, "aaa", data);
}

TEST_F(UpdateAddTest, EmptySourceGetsABlockWithoutCompressionOrEncryption) {
  ArchiveHandle a = Create("empty.mpq", 16);
  ASSERT_TRUE(Add(a, "nothing", {}, BLOCK_COMPRESSED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED | 0x4));
  const BlockEntry block = BlockOf(a, "nothing");
  EXPECT_EQ(block.fileSize, 0u);
  EXPECT_EQ(block.storedSize, 0u);
  EXPECT_EQ(block.flags, BLOCK_EXISTS | 0x4u);  // other bits are kept
  EXPECT_EQ(a->header.blockTableEntries, 1u);
  ExpectReads(a, "nothing", {});
  // An empty file on disk as well.
  testsupport::WriteBytes(Path("zero.bin"), {});
  ASSERT_TRUE(AddFile(a, Path("zero.bin").c_str(), "zero", BLOCK_COMPRESSED));
  ExpectReads(a, "zero", {});
}

TEST_F(UpdateAddTest, ReplaceNeverWritesOverTheOldData) {
  ArchiveHandle a = Create("replace.mpq", 16);
  ASSERT_TRUE(Add(a, "first", PatternBytes(3000, 1)));
  ASSERT_TRUE(Add(a, "second", PatternBytes(3000, 2)));
  EXPECT_FALSE(Add(a, "first", PatternBytes(10, 9)));
  EXPECT_EQ(GetLastError(), ERR_ALREADY_STORED);

  const HashEntry* entry = Entry(a, "first", 0);
  const uint32_t index = entry->blockIndex;
  for (uint32_t size : {2000u, 9000u, 12000u}) {
    // Smaller or larger, the new data goes elsewhere and the old bytes stay
    // as they were until the switch; the entries stay.
    const BlockEntry old = a->blockTable[index];
    const Bytes oldBytes = StoredBytes("replace.mpq", old);
    ASSERT_TRUE(Add(a, "first", PatternBytes(size, size), ADD_REPLACE));
    EXPECT_EQ(Entry(a, "first", 0), entry);
    EXPECT_EQ(entry->blockIndex, index);
    EXPECT_EQ(a->header.blockTableEntries, 2u);
    const BlockEntry& now = a->blockTable[index];
    EXPECT_TRUE(now.offset >= old.offset + old.storedSize || now.offset + now.storedSize <= old.offset) << size;
    ExpectReads(a, "first", PatternBytes(size, size));
    ExpectReads(a, "second", PatternBytes(3000, 2));
  }
  CloseWritableArchive(a, 0);

  ArchiveHandle r = Reopen("replace.mpq");
  ExpectReads(r, "first", PatternBytes(12000, 12000));
  ExpectReads(r, "second", PatternBytes(3000, 2));
  const ArchiveHeader h = DiskHeader("replace.mpq");
  EXPECT_EQ(h.archiveSize, std::filesystem::file_size(Path("replace.mpq")));
}

TEST_F(UpdateAddTest, EachLocaleGetsItsOwnEntries) {
  ArchiveHandle a = Create("locales.mpq", 16);
  ASSERT_TRUE(Add(a, "text.txt", TextBytes("neutral")));
  SetLocale(0x407);
  ASSERT_TRUE(Add(a, "text.txt", TextBytes("german")));
  EXPECT_FALSE(Add(a, "text.txt", TextBytes("again")));
  EXPECT_EQ(GetLastError(), ERR_ALREADY_STORED);
  SetLocale(0x40C);
  ASSERT_TRUE(Add(a, "text.txt", TextBytes("french")));
  EXPECT_EQ(a->header.blockTableEntries, 3u);
  EXPECT_NE(Entry(a, "text.txt", 0x407), Entry(a, "text.txt", 0x40C));
  ExpectReads(a, "text.txt", TextBytes("french"));
  SetLocale(0x407);
  ExpectReads(a, "text.txt", TextBytes("german"));
  SetLocale(0x409);
  ExpectReads(a, "text.txt", TextBytes("neutral"));
}

TEST_F(UpdateAddTest, ForeignMaskWithAndWithoutProvider) {
  ArchiveHandle a = Create("zlib.mpq", 16);
  const Bytes data = Compressible(9000, 11);
  const StormCompressFn saved = StormCompress;
  StormCompress = nullptr;
  const bool added = Add(a, "none", data, BLOCK_COMPRESSED, COMP_ZLIB, 0);
  StormCompress = saved;
  ASSERT_TRUE(added);
  const BlockEntry plain = BlockOf(a, "none");
  EXPECT_EQ(plain.flags, BLOCK_COMPRESSED | BLOCK_EXISTS);
  EXPECT_EQ(plain.storedSize, 16u + 9000u);  // an offset table, every sector plain
  ExpectReads(a, "none", data);

  // Builds without the outside methods (cross-builds) store those sectors plain.
  if (!BuiltinProviderSupports(COMP_ZLIB | COMP_BZIP2)) {
    GTEST_SKIP() << "no built-in zlib or bzip2 here";
  }
  ASSERT_TRUE(Add(a, "zlib", data, BLOCK_COMPRESSED | BLOCK_ENCRYPTED, COMP_ZLIB, 0));
  EXPECT_LT(BlockOf(a, "zlib").storedSize, 9000u);
  ASSERT_TRUE(Add(a, "bzip2", data, BLOCK_COMPRESSED, COMP_BZIP2, 9));
  const BlockEntry bz = BlockOf(a, "bzip2");
  EXPECT_LT(bz.storedSize, 9000u);
  const Bytes stored = StoredBytes("zlib.mpq", bz);
  EXPECT_EQ(stored[platform::LoadLE32(&stored[0])], COMP_BZIP2);
  ExpectReads(a, "zlib", data);
  ExpectReads(a, "bzip2", data);
}

TEST_F(UpdateAddTest, AudioCheckFallsBackToImplode) {
  ArchiveHandle a = Create("wave.mpq", 16);
  const Bytes text = Compressible(9000, 5);
  ASSERT_TRUE(AddWaveBuffer(a, text.data(), static_cast<uint32_t>(text.size()), "notwave", BLOCK_COMPRESSED, 4));
  const BlockEntry nb = BlockOf(a, "notwave");
  const Bytes ns = StoredBytes("wave.mpq", nb);
  for (uint32_t i = 0; i < 3; ++i) {
    const uint32_t from = platform::LoadLE32(&ns[4 * i]), to = platform::LoadLE32(&ns[4 * i + 4]);
    if (to - from < 4096) {
      EXPECT_EQ(ns[from], COMP_IMPLODE) << i;
    }
  }
  ExpectReads(a, "notwave", text);

  // A real WAV: sector 0 (its header) imploded, the rest audio-coded.
  const Bytes wave = Wave(6000);
  ASSERT_TRUE(AddWaveBuffer(a, wave.data(), static_cast<uint32_t>(wave.size()), "sound.wav", BLOCK_COMPRESSED, 4));
  const BlockEntry wb = BlockOf(a, "sound.wav");
  const Bytes ws = StoredBytes("wave.mpq", wb);
  const uint32_t s0 = platform::LoadLE32(&ws[0]), s1 = platform::LoadLE32(&ws[4]);
  if (s1 - s0 < 4096) {
    EXPECT_EQ(ws[s0], COMP_IMPLODE);
  }
  EXPECT_NE(ws[s1] & COMP_ADPCM_STEREO, 0u);
  EXPECT_EQ(ws[s1] & ~(COMP_ADPCM_STEREO | COMP_HUFFMAN), 0u);
  bool ok = false;
  const Bytes back = Read(a, "sound.wav", &ok);
  ASSERT_TRUE(ok);
  ASSERT_EQ(back.size(), wave.size());
  // The first sector is lossless.
  EXPECT_TRUE(std::equal(wave.begin(), wave.begin() + 4096, back.begin()));
}

TEST_F(UpdateAddTest, BothAudioCodersInOneMaskAreRefused) {
  ArchiveHandle a = Create("twoaudio.mpq", 16);
  const Bytes wave = Wave(6000);
  SetLastError(0);
  EXPECT_FALSE(AddFileFromMemory(a, wave.data(), static_cast<uint32_t>(wave.size()), "both.wav",
                                 BLOCK_COMPRESSED, COMP_ADPCM_MONO | COMP_ADPCM_STEREO, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  FileHandle f = nullptr;
  EXPECT_FALSE(OpenArchiveFile(a, "both.wav", 0, &f));
  // Without compression the mask means nothing and the file is stored.
  EXPECT_TRUE(AddFileFromMemory(a, wave.data(), static_cast<uint32_t>(wave.size()), "plain.wav", 0,
                                COMP_ADPCM_MONO | COMP_ADPCM_STEREO, 0));
  ExpectReads(a, "plain.wav", wave);
}

TEST_F(UpdateAddTest, KeyAdjustedFilesUseTheirPosition) {
  ArchiveHandle a = Create("keys.mpq", 16);
  const Bytes data = PatternBytes(5000, 8);
  ASSERT_TRUE(Add(a, "sub\\k.bin", data, BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED));
  const BlockEntry block = BlockOf(a, "sub\\k.bin");
  Bytes stored = StoredBytes("keys.mpq", block);
  const uint32_t key = (HashString("k.bin", HASH_FILE_KEY) + block.offset) ^ 5000u;
  DecryptBlock(stored.data(), 4096, key);
  DecryptBlock(stored.data() + 4096, 904, key + 1);
  EXPECT_EQ(stored, data);
}

TEST_F(UpdateAddTest, SecondSignatureArchivesGetPerFileHeaders) {
  ArchiveBuilder b;
  b.Bn3().HashTableSize(16);
  b.WriteTo(Path("bn3.mpq"));
  ArchiveHandle a = OpenExisting("bn3.mpq");
  ASSERT_NE(a, nullptr);
  const std::string longName(300, 'n');
  const Bytes data = Compressible(7000, 2);
  ASSERT_TRUE(Add(a, "dir\\name.txt", data, BLOCK_COMPRESSED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED));
  ASSERT_TRUE(Add(a, longName, TextBytes("plain"), 0));
  const Bytes s1 = StoredBytes("bn3.mpq", BlockOf(a, "dir\\name.txt"));
  EXPECT_EQ(platform::LoadLE32(&s1[0]), 324u);
  EXPECT_TRUE(std::all_of(s1.begin() + 4, s1.begin() + 64, [](uint8_t c) { return c == 0; }));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&s1[64])), "dir\\name.txt");
  const Bytes s2 = StoredBytes("bn3.mpq", BlockOf(a, longName));
  EXPECT_EQ(s2.size(), 324u + 5);
  EXPECT_EQ(std::string(s2.begin() + 64, s2.begin() + 324), std::string(260, 'n'));
  EXPECT_EQ(std::string(s2.begin() + 324, s2.end()), "plain");
  ExpectReads(a, "dir\\name.txt", data);
  CloseWritableArchive(a, 0);
  ArchiveHandle r = Reopen("bn3.mpq");
  ExpectReads(r, "dir\\name.txt", data);
  ExpectReads(r, longName, TextBytes("plain"));
}

TEST_F(UpdateAddTest, SmallHashTablesFill) {
  ArchiveHandle a = Create("four.mpq", 4);
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(Add(a, "n" + std::to_string(i), TextBytes("x")));
  EXPECT_FALSE(Add(a, "n4", TextBytes("x")));
  EXPECT_EQ(GetLastError(), ERR_HASH_TABLE_FULL);
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(Stored(a, "n" + std::to_string(i)));

  ArchiveHandle l = Create("four-listed.mpq", 4, UPDATE_KEEP_LISTFILE);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(Add(l, "n" + std::to_string(i), TextBytes("x")));
  EXPECT_FALSE(Add(l, "n3", TextBytes("x")));
  EXPECT_EQ(GetLastError(), ERR_HASH_TABLE_FULL);
  ExpectReads(l, "(listfile)", TextBytes("n0\r\nn1\r\nn2\r\n"));
}

TEST_F(UpdateAddTest, DataGoesBehindTablesThatDoNotEndTheArchive) {
  ArchiveBuilder b;
  b.TablesFirst().HashTableSize(16);
  b.Add("old", "old contents");
  Layout layout;
  b.WriteTo(Path("first.mpq"), &layout);
  ArchiveHandle a = OpenExisting("first.mpq");
  const ArchiveHeader before = a->header;
  const Bytes original = ReadBytes(Path("first.mpq"));
  ASSERT_TRUE(Add(a, "new", PatternBytes(700, 1)));
  // Nothing the archive used is written over: the data and the new tables
  // follow the end, and the old tables' place is free afterwards.
  EXPECT_EQ(BlockOf(a, "new").offset, before.archiveSize);
  EXPECT_EQ(a->header.hashTableOffset, before.archiveSize + 700);
  EXPECT_EQ(a->header.blockTableOffset, before.archiveSize + 700 + 16 * 16);
  EXPECT_EQ(a->header.archiveSize, before.archiveSize + 700 + 16 * 16 + 2 * 16);
  const Bytes now = ReadBytes(Path("first.mpq"));
  EXPECT_TRUE(std::equal(original.begin() + 32, original.end(), now.begin() + 32));
  CloseWritableArchive(a, 0);
  ArchiveHandle r = Reopen("first.mpq");
  ExpectReads(r, "old", TextBytes("old contents"));
  ExpectReads(r, "new", PatternBytes(700, 1));
}

TEST_F(UpdateAddTest, StaleArchiveSizeNeverPutsDataOverLiveBytes) {
  ArchiveBuilder b;
  b.TablesFirst().HashTableSize(16);
  b.Add("a", PatternBytes(3000, 1));
  b.Add("b", PatternBytes(3000, 2));
  b.PatchHeader([](ArchiveHeader& h) { h.archiveSize = 100; });
  b.WriteTo(Path("stale.mpq"));
  ArchiveHandle a = OpenExisting("stale.mpq");
  ASSERT_TRUE(Add(a, "c", PatternBytes(3000, 3)));
  CloseWritableArchive(a, 0);
  ArchiveHandle r = Reopen("stale.mpq");
  ExpectReads(r, "a", PatternBytes(3000, 1));
  ExpectReads(r, "b", PatternBytes(3000, 2));
  ExpectReads(r, "c", PatternBytes(3000, 3));
}

// A block that lies (falsely) at 40 leaves 8 free bytes behind the first
// 32, but the commit writes all 44 bytes of an extended header there.
TEST_F(UpdateAddTest, NewDataNeverGoesWhereTheCommitWritesTheHeader) {
  ArchiveBuilder b;
  b.Extended(1).HashTableSize(16);
  b.Add("early", PatternBytes(100, 1)).offset = 40;
  b.WriteTo(Path("early.mpq"));
  ArchiveHandle a = OpenExisting("early.mpq");
  ASSERT_TRUE(Add(a, "n", PatternBytes(8, 2), 0, 0));
  EXPECT_GE(BlockOf(a, "n").offset, kExtendedHeaderBytes);
  ExpectReads(a, "n", PatternBytes(8, 2));
}

// What a handle loaded for the file it opened (its offset table, a single
// unit's bytes) is sized for that file: after a replace in place the handle
// reads the new one.
TEST_F(UpdateAddTest, OpenHandleReadsTheFileThatReplacedItsOwn) {
  ArchiveHandle a = Create("open-replace.mpq");
  for (const uint32_t flags : {BLOCK_COMPRESSED, BLOCK_SINGLE_UNIT | BLOCK_COMPRESSED, BLOCK_SINGLE_UNIT}) {
    const std::string name = "f" + std::to_string(flags);
    ASSERT_TRUE(Add(a, name, Compressible(100, 1), flags, COMP_ZLIB));
    FileHandle f = nullptr;
    ASSERT_TRUE(OpenArchiveFile(a, name.c_str(), 0, &f));
    uint8_t first = 0;
    uint32_t got = 0;
    ASSERT_TRUE(ReadArchiveFile(f, &first, 1, &got, nullptr));
    const Bytes bigger = Compressible(100000, 2);
    ASSERT_TRUE(Add(a, name, bigger, flags | ADD_REPLACE, COMP_ZLIB));
    Bytes out(bigger.size());
    ASSERT_EQ(SetArchiveFilePointer(f, 0, nullptr, 0), 0u);
    EXPECT_TRUE(ReadArchiveFile(f, out.data(), static_cast<uint32_t>(out.size()), &got, nullptr)) << flags;
    EXPECT_TRUE(got == bigger.size() && out == bigger) << flags;
    CloseArchiveFile(f);
  }
}

TEST_F(UpdateAddTest, ReplacingASharedBlockLeavesTheOtherEntryAlone) {
  ArchiveBuilder b;
  b.HashTableSize(16);
  b.Add("one", "shared contents");
  b.Add("two", "unused").blockIndexInHash = 0;
  b.WriteTo(Path("shared.mpq"));
  ArchiveHandle a = OpenExisting("shared.mpq");
  ASSERT_TRUE(Add(a, "one", TextBytes("new"), ADD_REPLACE));
  ExpectReads(a, "one", TextBytes("new"));
  ExpectReads(a, "two", TextBytes("shared contents"));
  EXPECT_NE(Entry(a, "one", 0)->blockIndex, Entry(a, "two", 0)->blockIndex);
}

TEST_F(UpdateAddTest, FromDiskEqualsFromMemory) {
  ArchiveHandle a = Create("disk.mpq", 16);
  const Bytes data = Compressible(12345, 4);
  testsupport::WriteBytes(Path("src.txt"), data);
  ASSERT_TRUE(AddFile(a, Path("src.txt").c_str(), "disk", BLOCK_COMPRESSED | BLOCK_ENCRYPTED));
  ASSERT_TRUE(AddBuffer(a, data.data(), static_cast<uint32_t>(data.size()), "memory", BLOCK_COMPRESSED));
  ASSERT_TRUE(AddFileFromDisk(a, Path("src.txt").c_str(), "huff", BLOCK_COMPRESSED, COMP_HUFFMAN, 0));
  ExpectReads(a, "disk", data);
  ExpectReads(a, "memory", data);
  ExpectReads(a, "huff", data);
  EXPECT_EQ(BlockOf(a, "disk").storedSize, BlockOf(a, "memory").storedSize);
  // The caller's buffer is never changed.
  EXPECT_EQ(data, Compressible(12345, 4));
}

}  // namespace
