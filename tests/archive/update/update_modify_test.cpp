// Deleting, renaming and re-localing stored files.
#include <functional>

#include "tests/archive/update/update_test_util.h"

using namespace updatetest;

namespace {

class UpdateModifyTest : public UpdateTest {};

TEST_F(UpdateModifyTest, DeleteLeavesAMarkThatProbesPassOver) {
  ArchiveHandle a = Create("probe.mpq", 8);
  const std::vector<std::string> names = CollidingNames(8, 3);
  for (const auto& n : names) ASSERT_TRUE(Add(a, n, TextBytes(n)));
  HashEntry* second = Entry(a, names[1], 0);
  HashEntry* third = Entry(a, names[2], 0);
  ASSERT_TRUE(DeleteArchiveFile(a, names[1].c_str()));
  EXPECT_TRUE(IsHashEntryDeleted(*second));
  EXPECT_EQ(second->blockIndex, kDeletedBlockIndex);
  EXPECT_FALSE(Stored(a, names[1]));
  // The name behind the deleted one is still found, and its entry did not move.
  EXPECT_EQ(Entry(a, names[2], 0), third);
  ExpectReads(a, names[2], TextBytes(names[2]));
  // Deleting again: nothing stored under the name.
  EXPECT_FALSE(DeleteArchiveFile(a, names[1].c_str()));
  EXPECT_EQ(GetLastError(), ERR_FILE_NOT_STORED);
  const size_t secondIndex = static_cast<size_t>(second - a->hashTable);
  CloseWritableArchive(a, 0);

  // On disk too, through the read side alone.
  EXPECT_TRUE(IsHashEntryDeleted(DiskHashTable("probe.mpq")[secondIndex]));
  ArchiveHandle r = Reopen("probe.mpq");
  ExpectReads(r, names[0], TextBytes(names[0]));
  ExpectReads(r, names[2], TextBytes(names[2]));
  EXPECT_FALSE(Stored(r, names[1]));
}

TEST_F(UpdateModifyTest, DeleteThenAddReusesTheEntryAndAppendsData) {
  ArchiveHandle a = Create("reuse.mpq", 8);
  const std::vector<std::string> names = CollidingNames(8, 3);
  for (const auto& n : names) ASSERT_TRUE(Add(a, n, TextBytes(n)));
  HashEntry* first = Entry(a, names[0], 0);
  const uint32_t oldBlock = first->blockIndex;
  ASSERT_TRUE(DeleteArchiveFile(a, names[0].c_str()));
  // A name further along the run is not added twice through the mark.
  EXPECT_FALSE(Add(a, names[2], TextBytes("dup")));
  EXPECT_EQ(GetLastError(), ERR_ALREADY_STORED);
  ASSERT_TRUE(Add(a, names[0], TextBytes("back again")));
  EXPECT_EQ(Entry(a, names[0], 0), first);
  // The entry the deleted file left, which no name refers to any more.
  EXPECT_EQ(first->blockIndex, oldBlock);
  EXPECT_EQ(a->header.blockTableEntries, 3u);
  ExpectReads(a, names[0], TextBytes("back again"));
  // Another new name can take a mark as well.
  ASSERT_TRUE(DeleteArchiveFile(a, names[1].c_str()));
  const std::vector<std::string> more = CollidingNames(8, 4, "g");
  ASSERT_TRUE(Add(a, more[0], TextBytes("g")));
  ExpectReads(a, names[2], TextBytes(names[2]));
  ExpectReads(a, more[0], TextBytes("g"));
}

TEST_F(UpdateModifyTest, DeleteWorksInTheCurrentLocaleOnly) {
  ArchiveHandle a = Create("locale.mpq", 16);
  ASSERT_TRUE(Add(a, "x", TextBytes("neutral")));
  SetLocale(0x407);
  SetLastError(12345);
  EXPECT_FALSE(DeleteArchiveFile(a, "x"));
  EXPECT_EQ(GetLastError(), 12345u);
  ASSERT_TRUE(Add(a, "x", TextBytes("german")));
  ASSERT_TRUE(DeleteArchiveFile(a, "x"));
  ExpectReads(a, "x", TextBytes("neutral"));
}

TEST_F(UpdateModifyTest, OpenHandlesSurviveDeletesAndRenamesOfOthers) {
  ArchiveHandle a = Create("handles.mpq", 8);
  const std::vector<std::string> names = CollidingNames(8, 3);
  for (const auto& n : names) ASSERT_TRUE(Add(a, n, PatternBytes(6000, n.size())));
  FileHandle file = nullptr;
  ASSERT_TRUE(OpenArchiveFile(a, names[2].c_str(), 0, &file));
  ASSERT_TRUE(DeleteArchiveFile(a, names[0].c_str()));
  ASSERT_TRUE(RenameArchiveFile(a, names[1].c_str(), "renamed"));
  Bytes got(6000);
  uint32_t n = 0;
  ASSERT_TRUE(ReadArchiveFile(file, got.data(), 6000, &n, nullptr));
  EXPECT_EQ(got, PatternBytes(6000, names[2].size()));
  CloseArchiveFile(file);
}

TEST_F(UpdateModifyTest, RenameReencryptsACopyAndRenamingBackRestoresTheBytes) {
  ArchiveHandle a = Create("rename.mpq", 16);
  const Bytes data = Compressible(9000, 3);
  ASSERT_TRUE(Add(a, "old.txt", data, BLOCK_COMPRESSED | BLOCK_ENCRYPTED));
  ASSERT_TRUE(Add(a, "plain.bin", PatternBytes(5000, 1), BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED));
  const Bytes before = ReadBytes(Path("rename.mpq"));
  const BlockEntry block = BlockOf(a, "old.txt");
  auto stored = [&](const Bytes& file, const BlockEntry& b) {
    return Bytes(file.begin() + b.offset, file.begin() + b.offset + b.storedSize);
  };

  ASSERT_TRUE(RenameArchiveFile(a, "old.txt", "new.txt"));
  EXPECT_FALSE(Stored(a, "old.txt"));
  ExpectReads(a, "new.txt", data);
  // The re-encrypted copy lies elsewhere; the old bytes are untouched.
  const Bytes middle = ReadBytes(Path("rename.mpq"));
  const BlockEntry moved = BlockOf(a, "new.txt");
  EXPECT_NE(moved.offset, block.offset);
  EXPECT_NE(stored(middle, moved), stored(before, block));

  ASSERT_TRUE(RenameArchiveFile(a, "new.txt", "old.txt"));
  const Bytes after = ReadBytes(Path("rename.mpq"));
  EXPECT_EQ(stored(after, BlockOf(a, "old.txt")), stored(before, block));

  ASSERT_TRUE(RenameArchiveFile(a, "plain.bin", "x\\other.bin"));
  ExpectReads(a, "x\\other.bin", PatternBytes(5000, 1));
  CloseWritableArchive(a, 0);
  ArchiveHandle r = Reopen("rename.mpq");
  ExpectReads(r, "old.txt", data);
  ExpectReads(r, "x\\other.bin", PatternBytes(5000, 1));
}

TEST_F(UpdateModifyTest, RenameAcrossFoldersWithTheSameFinalNameKeepsTheData) {
  ArchiveHandle a = Create("folders.mpq", 16);
  const Bytes data = Compressible(7000, 9);
  ASSERT_TRUE(Add(a, "units\\human\\footman.mdx", data,
                  BLOCK_COMPRESSED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED));
  const Bytes before = ReadBytes(Path("folders.mpq"));
  const BlockEntry block = BlockOf(a, "units\\human\\footman.mdx");
  ASSERT_TRUE(RenameArchiveFile(a, "units\\human\\footman.mdx", "units\\orc\\FOOTMAN.MDX"));
  const Bytes after = ReadBytes(Path("folders.mpq"));
  EXPECT_TRUE(std::equal(after.begin() + block.offset, after.begin() + block.offset + block.storedSize,
                         before.begin() + block.offset));
  ExpectReads(a, "units\\orc\\footman.mdx", data);
}

TEST_F(UpdateModifyTest, RenameFailuresChangeNothing) {
  ArchiveHandle a = Create("fail.mpq", 16);
  ASSERT_TRUE(Add(a, "a", TextBytes("A"), BLOCK_ENCRYPTED));
  ASSERT_TRUE(Add(a, "b", TextBytes("B")));
  const Bytes before = ReadBytes(Path("fail.mpq"));
  SetLastError(777);
  EXPECT_FALSE(RenameArchiveFile(a, "a", "b"));
  EXPECT_EQ(GetLastError(), ERR_ALREADY_STORED);
  EXPECT_FALSE(RenameArchiveFile(a, "a", "A"));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(RenameArchiveFile(a, "missing", "c"));
  EXPECT_EQ(GetLastError(), ERR_FILE_NOT_STORED);
  EXPECT_FALSE(RenameArchiveFile(a, "a", nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  SetLocale(0x407);
  EXPECT_FALSE(RenameArchiveFile(a, "a", "c"));
  EXPECT_EQ(GetLastError(), ERR_FILE_NOT_STORED);
  EXPECT_EQ(ReadBytes(Path("fail.mpq")), before);
}

TEST_F(UpdateModifyTest, RenameInAFullTableReusesTheEntryAndWritesItBack) {
  ArchiveHandle a = Create("full.mpq", 2);
  ASSERT_TRUE(Add(a, "one", TextBytes("1")));
  ASSERT_TRUE(Add(a, "two", TextBytes("2"), BLOCK_ENCRYPTED));
  HashEntry* entry = Entry(a, "two", 0);
  ASSERT_TRUE(RenameArchiveFile(a, "two", "zwei"));
  EXPECT_EQ(Entry(a, "zwei", 0), entry);
  CloseWritableArchive(a, 0);
  ArchiveHandle r = Reopen("full.mpq");
  ExpectReads(r, "zwei", TextBytes("2"));
  ExpectReads(r, "one", TextBytes("1"));
  EXPECT_FALSE(Stored(r, "two"));
}

TEST_F(UpdateModifyTest, RenameLeavesTheRunOfOtherNamesIntact) {
  ArchiveHandle a = Create("run.mpq", 16);
  const std::vector<std::string> names = CollidingNames(16, 3);
  for (const auto& n : names) ASSERT_TRUE(Add(a, n, TextBytes(n)));
  ASSERT_TRUE(RenameArchiveFile(a, names[0].c_str(), "elsewhere"));
  CloseWritableArchive(a, 0);
  ArchiveHandle r = Reopen("run.mpq");
  ExpectReads(r, names[1], TextBytes(names[1]));
  ExpectReads(r, names[2], TextBytes(names[2]));
  ExpectReads(r, "elsewhere", TextBytes(names[0]));
}

TEST_F(UpdateModifyTest, SetLocaleMovesTheFileBetweenLocales) {
  ArchiveHandle a = Create("setlocale.mpq", 16);
  ASSERT_TRUE(Add(a, "x", TextBytes("data")));
  SetLastError(55);
  EXPECT_FALSE(SetArchiveFileLocale(a, "x", 0, 0));
  EXPECT_FALSE(SetArchiveFileLocale(a, "x", 0x409, 0x407));  // only the neutral version exists
  EXPECT_FALSE(SetArchiveFileLocale(a, "y", 0, 0x407));
  EXPECT_EQ(GetLastError(), 55u);
  ASSERT_TRUE(SetArchiveFileLocale(a, "x", 0, 0x407));
  EXPECT_EQ(GetLocale(), 0u);
  EXPECT_FALSE(Stored(a, "x"));
  SetLocale(0x409);
  EXPECT_FALSE(Stored(a, "x"));
  SetLocale(0x407);
  ExpectReads(a, "x", TextBytes("data"));
  CloseWritableArchive(a, 0);
  EXPECT_EQ(DiskHashTable("setlocale.mpq")[HashString("x", HASH_TABLE_INDEX) % 16].locale, 0x407u);
}

TEST_F(UpdateModifyTest, SetLocaleRefusesToHideAnotherVersion) {
  ArchiveHandle a = Create("hide.mpq", 16);
  ASSERT_TRUE(Add(a, "x", TextBytes("neutral")));
  SetLocale(0x407);
  ASSERT_TRUE(Add(a, "x", TextBytes("german")));
  EXPECT_FALSE(SetArchiveFileLocale(a, "x", 0, 0x407));
  EXPECT_EQ(GetLastError(), ERR_ALREADY_STORED);
  ExpectReads(a, "x", TextBytes("german"));
  SetLocale(0);
  ExpectReads(a, "x", TextBytes("neutral"));
}

// A block table may begin inside the header itself, its first entries being
// the header's bytes deciphered (no name refers to them). The commit
// rewrites the header, so a table left in place would decipher otherwise
// from then on: every update that keeps it must still see every file.
TEST_F(UpdateModifyTest, ABlockTableThatBeginsInsideTheHeaderKeepsItsFiles) {
  ArchiveBuilder b;
  b.HashTableSize(16);
  b.Add("a", PatternBytes(300, 1)).gapBefore = 32;
  b.Add("b", PatternBytes(400, 2));
  Layout layout;
  Bytes bytes = b.Build(&layout);
  ArchiveHeader h = ParseArchiveHeader(bytes.data());
  h.blockTableOffset = 0;
  h.blockTableEntries = 4;
  SerializeArchiveHeader(h, bytes.data());
  // The files' entries follow the header's two under one cipher run.
  Bytes table(bytes.begin(), bytes.begin() + 32);
  DecryptBlock(table.data(), 32, BlockTableKey());
  for (const BlockEntry& e : layout.blockTable) {
    for (uint32_t word : {e.offset, e.storedSize, e.fileSize, e.flags}) {
      table.resize(table.size() + 4);
      platform::StoreLE32(&table[table.size() - 4], word);
    }
  }
  EncryptBlock(table.data(), static_cast<uint32_t>(table.size()), BlockTableKey());
  ASSERT_TRUE(std::equal(table.begin(), table.begin() + 32, bytes.begin()));
  std::copy(table.begin() + 32, table.end(), bytes.begin() + 32);
  std::vector<HashEntry> hash = layout.hashTable;
  for (HashEntry& e : hash) {
    if (IsHashEntryInUse(e)) e.blockIndex += 2;
  }
  EncryptBlock(hash.data(), static_cast<uint32_t>(hash.size() * 16), HashTableKey());
  std::memcpy(bytes.data() + layout.hashTablePos, hash.data(), hash.size() * 16);
  testsupport::WriteBytes(Path("inside.mpq"), bytes);

  ArchiveHandle r = Reopen("inside.mpq");
  ExpectReads(r, "b", PatternBytes(400, 2));
  CloseArchive(r);

  const std::function<bool(ArchiveHandle)> updates[] = {
      [](ArchiveHandle a) { return DeleteArchiveFile(a, "a"); },
      [](ArchiveHandle a) { return RenameArchiveFile(a, "a", "c"); },
      [](ArchiveHandle a) { return SetArchiveFileLocale(a, "a", 0, 0x407); }};
  for (const auto& update : updates) {
    testsupport::WriteBytes(Path("work.mpq"), bytes);
    ArchiveHandle a = OpenExisting("work.mpq");
    ASSERT_TRUE(update(a)) << GetLastError();
    CloseWritableArchive(a, 0);
    r = Reopen("work.mpq");
    ExpectReads(r, "b", PatternBytes(400, 2));
    CloseArchive(r);
  }
}


// A block may begin inside the header (or reach into it from before),
// its data being the header's own bytes; every commit rewrites the header,
// yet no update may change what another file reads. Position-keyed data
// keeps reading the same where it goes, also through a file left open.
TEST_F(UpdateModifyTest, DataThatBeginsInsideTheHeaderReadsTheSameAfterACommit) {
  ArchiveBuilder b;
  b.Stub(512).HashTableSize(16);
  b.Add("a", PatternBytes(3000, 1));
  b.Add("plain", Bytes(24)).offset = 8;
  b.Add("keyed", Bytes(100), BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED).offset = 4;
  b.Add("before", Bytes(40)).offset = 0xFFFFFFF0u;  // 16 bytes into the stub
  // Unreadable, and its stored size no measure of anything: left alone.
  testsupport::FileSpec& broken = b.Add("broken", Bytes(100), BLOCK_COMPRESSED);
  broken.offset = 12;
  broken.storedSize = 0xFFFFFF00u;
  b.Listfile({"a", "plain", "keyed", "before", "broken"});
  b.WriteTo(Path("head.mpq"));
  const std::vector<std::string> names = {"plain", "keyed", "before", "a"};
  std::vector<Bytes> before;
  ArchiveHandle a = OpenExisting("head.mpq");
  for (const auto& name : names) before.push_back(Read(a, name));
  FileHandle open = nullptr;
  ASSERT_TRUE(OpenArchiveFile(a, "keyed", 0, &open));
  for (const std::string added : {"x", "y"}) ASSERT_TRUE(Add(a, added, PatternBytes(500, 2)));
  Bytes got(100);
  uint32_t n = 0;
  ASSERT_TRUE(ReadArchiveFile(open, got.data(), 100, &n, nullptr));
  EXPECT_EQ(got, before[1]);
  CloseArchiveFile(open);
  CloseWritableArchive(a, 0);
  ArchiveHandle r = Reopen("head.mpq");
  for (size_t i = 0; i < names.size(); ++i) ExpectReads(r, names[i], before[i]);
  CloseArchive(r);
}

}  // namespace
