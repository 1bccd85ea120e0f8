// Compaction: dropping blocks, renumbering, re-keying, temporary files.
#include "tests/archive/update/update_test_util.h"

using namespace updatetest;

namespace {

class UpdateCompactTest : public UpdateTest {
 protected:
  // Every file in the scratch folder.
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(Root())) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  Bytes BlockBytes(const std::string& archive, const BlockEntry& b, uint32_t headerOffset = 0) const {
    const Bytes file = ReadBytes(Path(archive));
    return Bytes(file.begin() + headerOffset + b.offset, file.begin() + headerOffset + b.offset + b.storedSize);
  }
};

TEST_F(UpdateCompactTest, PackedArchiveStaysByteForByte) {
  ArchiveBuilder b;
  b.HashTableSize(16);
  b.Add("a", Compressible(5000, 1), BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED);
  b.Add("b", PatternBytes(3000, 2));
  b.Add("c", PatternBytes(100, 3), BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED);
  b.WriteTo(Path("packed.mpq"));
  ArchiveHandle a = OpenExisting("packed.mpq");
  const Bytes before = ReadBytes(Path("packed.mpq"));
  ASSERT_TRUE(CompactArchive(a)) << GetLastError();
  EXPECT_EQ(ReadBytes(Path("packed.mpq")), before);
  EXPECT_EQ(Files(), std::vector<std::string>{"packed.mpq"});
}

TEST_F(UpdateCompactTest, DroppedBlocksLowerLaterIndices) {
  ArchiveHandle a = Create("drop.mpq", 16);
  ASSERT_TRUE(Add(a, "a", PatternBytes(4000, 1)));
  ASSERT_TRUE(Add(a, "b", PatternBytes(5000, 2), BLOCK_COMPRESSED));
  ASSERT_TRUE(Add(a, "c", Compressible(6000, 3), BLOCK_COMPRESSED | BLOCK_ENCRYPTED));
  ASSERT_TRUE(Add(a, "a", PatternBytes(4500, 4), ADD_REPLACE));  // moves, leaving dead space
  ASSERT_TRUE(DeleteArchiveFile(a, "b"));
  EXPECT_EQ(Entry(a, "c", 0)->blockIndex, 2u);
  ASSERT_TRUE(CompactArchive(a));
  EXPECT_EQ(a->header.blockTableEntries, 2u);
  EXPECT_EQ(Entry(a, "a", 0)->blockIndex, 0u);
  EXPECT_EQ(Entry(a, "c", 0)->blockIndex, 1u);
  const BlockEntry& ba = BlockOf(a, "a");
  const BlockEntry& bc = BlockOf(a, "c");
  EXPECT_EQ(ba.offset, 32u);
  EXPECT_EQ(bc.offset, 32u + ba.storedSize);
  const uint32_t end = 32 + ba.storedSize + bc.storedSize + 16 * 16 + 2 * 16;
  EXPECT_EQ(a->header.hashTableOffset, 32u + ba.storedSize + bc.storedSize);
  EXPECT_EQ(a->header.archiveSize, end);
  EXPECT_EQ(std::filesystem::file_size(Path("drop.mpq")), end);
  ExpectReads(a, "a", PatternBytes(4500, 4));
  ExpectReads(a, "c", Compressible(6000, 3));
  CloseWritableArchive(a, 0);
  ArchiveHandle r = Reopen("drop.mpq");
  ExpectReads(r, "a", PatternBytes(4500, 4));
  ExpectReads(r, "c", Compressible(6000, 3));
  EXPECT_FALSE(Stored(r, "b"));
}

TEST_F(UpdateCompactTest, SharedBlockIsCopiedOnce) {
  ArchiveBuilder b;
  b.HashTableSize(16);
  b.Add("orphan", "no entry names this").hashed = false;
  b.Add("one", "shared contents");
  b.Add("two", "never named").blockIndexInHash = 1;
  b.WriteTo(Path("shared.mpq"));
  ArchiveHandle a = OpenExisting("shared.mpq");
  ASSERT_TRUE(CompactArchive(a));
  EXPECT_EQ(a->header.blockTableEntries, 1u);
  EXPECT_EQ(Entry(a, "one", 0)->blockIndex, 0u);
  EXPECT_EQ(Entry(a, "two", 0)->blockIndex, 0u);
  ExpectReads(a, "one", TextBytes("shared contents"));
  ExpectReads(a, "two", TextBytes("shared contents"));
  EXPECT_EQ(std::filesystem::file_size(Path("shared.mpq")), 32u + 15 + 16 * 16 + 16);
}

TEST_F(UpdateCompactTest, PositionKeyedFilesAreReKeyed) {
  ArchiveHandle a = Create("rekey.mpq", 32, UPDATE_KEEP_LISTFILE);
  const uint32_t adjusted = BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED;
  ASSERT_TRUE(Add(a, "stays", PatternBytes(2000, 1), adjusted));
  // Packed first, so that "stays" lies where compaction puts it.
  ASSERT_TRUE(CompactArchive(a));
  ASSERT_TRUE(Add(a, "gone", PatternBytes(7000, 2)));
  ASSERT_TRUE(Add(a, "dir\\compressed", Compressible(9000, 3), adjusted | BLOCK_COMPRESSED));
  ASSERT_TRUE(Add(a, "dir\\plain", PatternBytes(9000, 4), adjusted));
  ASSERT_TRUE(Add(a, "imploded", Compressible(5000, 5), adjusted | BLOCK_IMPLODED));
  const BlockEntry staysBlock = BlockOf(a, "stays");
  const BlockEntry plainBlock = BlockOf(a, "dir\\plain");
  const Bytes staysBefore = BlockBytes("rekey.mpq", staysBlock);
  const Bytes plainBefore = BlockBytes("rekey.mpq", plainBlock);
  ASSERT_TRUE(DeleteArchiveFile(a, "gone"));
  FileHandle open = nullptr;
  ASSERT_TRUE(OpenArchiveFile(a, "dir\\plain", 0, &open));

  ASSERT_TRUE(CompactArchive(a));
  EXPECT_EQ(BlockOf(a, "stays").offset, staysBlock.offset);
  EXPECT_EQ(BlockBytes("rekey.mpq", BlockOf(a, "stays")), staysBefore);
  EXPECT_NE(BlockOf(a, "dir\\plain").offset, plainBlock.offset);
  EXPECT_NE(BlockBytes("rekey.mpq", BlockOf(a, "dir\\plain")), plainBefore);
  ExpectReads(a, "stays", PatternBytes(2000, 1));
  ExpectReads(a, "dir\\compressed", Compressible(9000, 3));
  ExpectReads(a, "dir\\plain", PatternBytes(9000, 4));
  ExpectReads(a, "imploded", Compressible(5000, 5));
  // A file left open across the compaction still reads its own bytes.
  Bytes got(9000);
  uint32_t n = 0;
  ASSERT_TRUE(ReadArchiveFile(open, got.data(), 9000, &n, nullptr));
  EXPECT_EQ(got, PatternBytes(9000, 4));
  CloseArchiveFile(open);
  const Bytes list = Read(a, "(listfile)");
  EXPECT_EQ(std::string(list.begin(), list.end()), "stays\r\ndir\\compressed\r\ndir\\plain\r\nimploded\r\n");
  CloseWritableArchive(a, 0);
  ArchiveHandle r = Reopen("rekey.mpq");
  ExpectReads(r, "dir\\compressed", Compressible(9000, 3));
  ExpectReads(r, "dir\\plain", PatternBytes(9000, 4));
}

TEST_F(UpdateCompactTest, UnlistedCompressedFileIsReKeyedFromItsOffsetTable) {
  ArchiveHandle a = Create("detect.mpq", 16);
  ASSERT_TRUE(Add(a, "gone", PatternBytes(3000, 1)));
  ASSERT_TRUE(Add(a, "secret", Compressible(20000, 2), BLOCK_COMPRESSED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED));
  ASSERT_TRUE(DeleteArchiveFile(a, "gone"));
  ASSERT_TRUE(CompactArchive(a));
  EXPECT_EQ(BlockOf(a, "secret").offset, 32u);
  ExpectReads(a, "secret", Compressible(20000, 2));
}

TEST_F(UpdateCompactTest, FileWhoseKeyCannotBeFoundStopsTheCompaction) {
  ArchiveHandle a = Create("nokey.mpq", 16);
  ASSERT_TRUE(Add(a, "gone", PatternBytes(3000, 1)));
  ASSERT_TRUE(Add(a, "unlisted", PatternBytes(6000, 2), BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED));
  ASSERT_TRUE(DeleteArchiveFile(a, "gone"));
  const Bytes before = ReadBytes(Path("nokey.mpq"));
  const ArchiveHeader header = a->header;
  EXPECT_FALSE(CompactArchive(a));
  EXPECT_EQ(GetLastError(), ERROR_FILE_INVALID);
  EXPECT_EQ(ReadBytes(Path("nokey.mpq")), before);
  EXPECT_EQ(Files(), std::vector<std::string>{"nokey.mpq"});
  EXPECT_EQ(a->header.hashTableOffset, header.hashTableOffset);
  EXPECT_EQ(a->header.blockTableEntries, 2u);
  ExpectReads(a, "unlisted", PatternBytes(6000, 2));
  // Once the name is listed, the same file can move.
  const std::string list = "unlisted\r\n";
  ASSERT_TRUE(AddBuffer(a, list.data(), static_cast<uint32_t>(list.size()), "(listfile)", 0));
  ASSERT_TRUE(CompactArchive(a));
  ExpectReads(a, "unlisted", PatternBytes(6000, 2));
}

TEST_F(UpdateCompactTest, TakenTemporaryNamesAreSkipped) {
  ArchiveHandle a = Create("t.mpq", 16);
  ASSERT_TRUE(Add(a, "gone", PatternBytes(3000, 1)));
  ASSERT_TRUE(Add(a, "kept", PatternBytes(3000, 2)));
  ASSERT_TRUE(DeleteArchiveFile(a, "gone"));
  testsupport::WriteBytes(Path("t.mpq.compact"), TextBytes("mine"));
  testsupport::WriteBytes(Path("t.mpq.compact.0000"), TextBytes("mine too"));
  ASSERT_TRUE(CompactArchive(a));
  EXPECT_EQ(Files(), (std::vector<std::string>{"t.mpq", "t.mpq.compact", "t.mpq.compact.0000"}));
  EXPECT_EQ(ReadBytes(Path("t.mpq.compact")), TextBytes("mine"));
  EXPECT_EQ(ReadBytes(Path("t.mpq.compact.0000")), TextBytes("mine too"));
  ExpectReads(a, "kept", PatternBytes(3000, 2));
}

TEST_F(UpdateCompactTest, StubBeforeTheHeaderIsKept) {
  ArchiveBuilder b;
  b.Stub(1024, 0x5A).HashTableSize(16);
  b.Add("first", PatternBytes(5000, 1));
  b.Add("second", PatternBytes(5000, 2), BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED);
  b.Listfile({"first", "second"});
  b.WriteTo(Path("stub.mpq"));
  ArchiveHandle a = OpenExisting("stub.mpq");
  ASSERT_TRUE(DeleteArchiveFile(a, "first"));
  ASSERT_TRUE(CompactArchive(a));
  const Bytes file = ReadBytes(Path("stub.mpq"));
  EXPECT_EQ(file.size(), 1024u + a->header.archiveSize);
  EXPECT_TRUE(std::all_of(file.begin(), file.begin() + 1024, [](uint8_t c) { return c == 0x5A; }));
  EXPECT_EQ(std::memcmp(&file[1024], "MPQ\x1a", 4), 0);
  ExpectReads(a, "second", PatternBytes(5000, 2));
  CloseWritableArchive(a, 0);
  ArchiveHandle r = Reopen("stub.mpq");
  ExpectReads(r, "second", PatternBytes(5000, 2));
}

TEST_F(UpdateCompactTest, DeletedMarksAtTheEndOfARunBecomeEmpty) {
  ArchiveHandle a = Create("marks.mpq", 8);
  const std::vector<std::string> names = CollidingNames(8, 3);
  for (const auto& n : names) ASSERT_TRUE(Add(a, n, TextBytes(n)));
  HashEntry* e0 = Entry(a, names[0], 0);
  HashEntry* e2 = Entry(a, names[2], 0);
  ASSERT_TRUE(DeleteArchiveFile(a, names[0].c_str()));
  ASSERT_TRUE(DeleteArchiveFile(a, names[2].c_str()));
  ASSERT_TRUE(CompactArchive(a));
  EXPECT_TRUE(IsHashEntryDeleted(*e0));  // names[1] lies behind it
  EXPECT_TRUE(IsHashEntryEmpty(*e2));
  ExpectReads(a, names[1], TextBytes(names[1]));
  EXPECT_EQ(Entry(a, names[1], 0)->blockIndex, 0u);
}

// Writers from before checksum blocks left the checksum flag bit as it came,
// over a plain offset table; the read side reads such files, so moving them
// must keep them readable, re-keyed or not, listed or not, and a rename that
// re-keys one must too.
TEST_F(UpdateCompactTest, ChecksumFlagOverAPlainTableMovesAndReadsTheSame) {
  const uint32_t adjusted = BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED;
  const std::vector<std::pair<std::string, uint32_t>> files = {
      {"dir\\listed", BLOCK_COMPRESSED | adjusted}, {"unlisted", BLOCK_IMPLODED | adjusted},
      {"keyed", BLOCK_COMPRESSED | BLOCK_ENCRYPTED}, {"open", BLOCK_COMPRESSED}};
  auto content = [](size_t i) { return Compressible(9000 + 700 * i, static_cast<uint32_t>(i)); };
  ArchiveBuilder b;
  b.Add("orphan", PatternBytes(3000, 9)).hashed = false;
  for (size_t i = 0; i < files.size(); ++i) b.Add(files[i].first, content(i), files[i].second | BLOCK_SECTOR_CRC);
  b.Listfile({"dir\\listed", "keyed", "open"});
  b.WriteTo(Path("flag.mpq"));
  ArchiveHandle a = OpenExisting("flag.mpq");
  ASSERT_TRUE(CompactArchive(a)) << GetLastError();
  EXPECT_EQ(BlockOf(a, "dir\\listed").offset, 32u);
  ASSERT_TRUE(RenameArchiveFile(a, "dir\\listed", "renamed")) << GetLastError();
  CloseWritableArchive(a, 0);
  ArchiveHandle r = Reopen("flag.mpq");
  for (size_t i = 0; i < files.size(); ++i) ExpectReads(r, i == 0 ? "renamed" : files[i].first, content(i));
  ExpectEveryFileWhole(r, 0);
  CloseArchive(r);
}

}  // namespace
