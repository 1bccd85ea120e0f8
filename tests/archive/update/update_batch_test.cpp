// Batches: changes appear on disk together at the commit; a source that
// cannot be read is skipped; a failure on the archive's side gives the whole
// batch up; space a batch stops using is used again.
#include <filesystem>

#include "sorvane/sorvane_ext.h"
#include "tests/archive/update/update_test_util.h"

using namespace updatetest;
using testsupport::WriteBytes;

namespace {

class UpdateBatchTest : public UpdateTest {
 protected:
  // Everything a fresh reader finds under these names (neutral locale) in
  // the file's bytes as they are now, also beside the writer.
  std::map<std::string, Bytes> OnDisk(const std::string& archive, const std::vector<std::string>& names) {
    std::map<std::string, Bytes> found;
    ArchiveHandle r = ReopenCopy(archive);
    if (r == nullptr) return found;
    for (const auto& name : names) {
      bool ok = false;
      const Bytes data = Read(r, name, &ok);
      if (ok) found[name] = data;
    }
    CloseArchive(r);
    return found;
  }
};

TEST_F(UpdateBatchTest, ChangesReachTheDiskTogetherAtTheCommit) {
  ArchiveHandle a = Create("batch.mpq", 64, UPDATE_KEEP_LISTFILE);
  ASSERT_TRUE(Add(a, "keep", PatternBytes(5000, 1)));
  ASSERT_TRUE(Add(a, "gone", PatternBytes(3000, 2)));
  const Bytes start = ReadBytes(Path("batch.mpq"));
  const Bytes header(start.begin(), start.begin() + 32);
  const std::vector<std::string> names = {"keep", "gone", "one", "two", "three", "(listfile)"};
  const auto before = OnDisk("batch.mpq", names);

  ASSERT_TRUE(BeginArchiveUpdate(a));
  ASSERT_TRUE(Add(a, "one", Compressible(20000, 3), BLOCK_COMPRESSED));
  ASSERT_TRUE(Add(a, "two", PatternBytes(100, 4), BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED));
  ASSERT_TRUE(Add(a, "three", PatternBytes(9000, 5)));
  ASSERT_TRUE(DeleteArchiveFile(a, "gone"));
  ASSERT_TRUE(RenameArchiveFile(a, "three", "3"));
  // The handle sees the batch; the file on disk does not, not even its header.
  ExpectReads(a, "one", Compressible(20000, 3));
  EXPECT_FALSE(Stored(a, "gone"));
  const Bytes during = ReadBytes(Path("batch.mpq"));
  EXPECT_EQ(Bytes(during.begin(), during.begin() + 32), header);

  ASSERT_TRUE(CommitArchiveUpdate(a));
  CloseWritableArchive(a, 0);
  const auto after = OnDisk("batch.mpq", {"keep", "gone", "one", "two", "3", "(listfile)"});
  EXPECT_EQ(after.count("gone"), 0u);
  EXPECT_EQ(after.at("keep"), before.at("keep"));
  EXPECT_EQ(after.at("one"), Compressible(20000, 3));
  EXPECT_EQ(after.at("two"), PatternBytes(100, 4));
  EXPECT_EQ(after.at("3"), PatternBytes(9000, 5));
  const Bytes list = after.at("(listfile)");
  EXPECT_EQ(std::string(list.begin(), list.end()), "keep\r\none\r\ntwo\r\n3\r\n");
}

TEST_F(UpdateBatchTest, UnreadableSourceIsSkippedAndTheRestCommits) {
  ArchiveHandle a = Create("skip.mpq", 64);
  WriteBytes(Path("src.bin"), PatternBytes(7000, 1));
  ASSERT_TRUE(BeginArchiveUpdate(a));
  ASSERT_TRUE(AddFile(a, Path("src.bin").c_str(), "first", 0));
  EXPECT_FALSE(AddFile(a, Path("missing.bin").c_str(), "missing", 0));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(Add(a, "first", TextBytes("again")));
  EXPECT_EQ(GetLastError(), ERR_ALREADY_STORED);
  EXPECT_EQ(GetArchiveUpdateFailure(a), 0u);
  ASSERT_TRUE(Add(a, "second", TextBytes("second")));
  ASSERT_TRUE(CommitArchiveUpdate(a));
  CloseWritableArchive(a, 0);
  const auto found = OnDisk("skip.mpq", {"first", "missing", "second"});
  EXPECT_EQ(found.size(), 2u);
  EXPECT_EQ(found.at("first"), PatternBytes(7000, 1));
}

TEST_F(UpdateBatchTest, FullTableGivesTheWholeBatchUp) {
  ArchiveHandle a = Create("full.mpq", 4);
  ASSERT_TRUE(Add(a, "n0", TextBytes("0")));
  const Bytes before = ReadBytes(Path("full.mpq"));
  ASSERT_TRUE(BeginArchiveUpdate(a));
  ASSERT_TRUE(Add(a, "n1", TextBytes("1")));
  ASSERT_TRUE(DeleteArchiveFile(a, "n0"));
  ASSERT_TRUE(Add(a, "n2", TextBytes("2")));
  ASSERT_TRUE(Add(a, "n3", TextBytes("3")));
  ASSERT_TRUE(Add(a, "n4", TextBytes("4")));  // takes the deleted entry
  EXPECT_FALSE(Add(a, "n5", TextBytes("5")));
  EXPECT_EQ(GetLastError(), ERR_HASH_TABLE_FULL);
  // Memory is as before the batch, and the batch refuses everything.
  EXPECT_TRUE(Stored(a, "n0"));
  EXPECT_FALSE(Stored(a, "n1"));
  EXPECT_EQ(a->header.blockTableEntries, 1u);
  EXPECT_EQ(GetArchiveUpdateFailure(a), ERR_HASH_TABLE_FULL);
  EXPECT_FALSE(DeleteArchiveFile(a, "n0"));
  EXPECT_EQ(GetLastError(), ERR_HASH_TABLE_FULL);
  EXPECT_FALSE(CommitArchiveUpdate(a));
  EXPECT_EQ(GetLastError(), ERR_HASH_TABLE_FULL);
  EXPECT_EQ(ReadBytes(Path("full.mpq")).size() >= before.size(), true);
  EXPECT_EQ(OnDisk("full.mpq", {"n0", "n1"}).size(), 1u);
  // The batch is over; updates commit one by one again.
  ASSERT_TRUE(Add(a, "n1", TextBytes("1")));
  CloseWritableArchive(a, 0);
  EXPECT_EQ(OnDisk("full.mpq", {"n0", "n1"}).size(), 2u);
}

TEST_F(UpdateBatchTest, WriteFailureGivesTheWholeBatchUp) {
  ArchiveHandle a = Create("fault.mpq", 16);
  ASSERT_TRUE(Add(a, "old", PatternBytes(2000, 1)));
  ASSERT_TRUE(BeginArchiveUpdate(a));
  ASSERT_TRUE(Add(a, "new", PatternBytes(2000, 2)));
  platform::SetWriteFault(0, platform::kErrorDiskFull);
  EXPECT_FALSE(Add(a, "newer", PatternBytes(2000, 3)));
  platform::ClearWriteFault();
  EXPECT_EQ(GetLastError(), platform::kErrorDiskFull);
  EXPECT_EQ(GetArchiveUpdateFailure(a), platform::kErrorDiskFull);
  EXPECT_FALSE(Stored(a, "new"));
  EXPECT_FALSE(Add(a, "other", PatternBytes(10, 4)));
  EXPECT_FALSE(CommitArchiveUpdate(a));
  ExpectReads(a, "old", PatternBytes(2000, 1));
  CloseWritableArchive(a, 0);
  EXPECT_EQ(OnDisk("fault.mpq", {"old", "new", "newer", "other"}).size(), 1u);
}

// A resize or compaction commits the batch so far; when that fails, the
// batch stays failed rather than letting later changes commit one by one.
TEST_F(UpdateBatchTest, FailedCommitOfABatchSoFarFailsTheRestOfIt) {
  for (const bool compact : {false, true}) {
    const std::string name = compact ? "fault-compact.mpq" : "fault-resize.mpq";
    ArchiveHandle a = Create(name, 16);
    ASSERT_TRUE(BeginArchiveUpdate(a));
    ASSERT_TRUE(Add(a, "a", PatternBytes(2000, 1)));
    platform::SetWriteFault(0, platform::kErrorDiskFull);
    EXPECT_FALSE(compact ? CompactArchive(a) : ResizeHashTable(a, 32));
    platform::ClearWriteFault();
    EXPECT_EQ(GetArchiveUpdateFailure(a), platform::kErrorDiskFull);
    EXPECT_FALSE(Add(a, "b", PatternBytes(10, 2)));
    EXPECT_FALSE(CommitArchiveUpdate(a));
    CloseWritableArchive(a, 0);
    EXPECT_EQ(OnDisk(name, {"a", "b"}).size(), 0u);
  }
}

TEST_F(UpdateBatchTest, AbandonAndCloseLeaveTheArchiveAsItWas) {
  ArchiveHandle a = Create("abandon.mpq", 16, UPDATE_KEEP_LISTFILE);
  ASSERT_TRUE(Add(a, "x", PatternBytes(3000, 1), BLOCK_ENCRYPTED));
  const ArchiveHeader header = a->header;
  const Bytes before = ReadBytes(Path("abandon.mpq"));
  ASSERT_TRUE(BeginArchiveUpdate(a));
  ASSERT_TRUE(Add(a, "y", PatternBytes(3000, 2)));
  ASSERT_TRUE(RenameArchiveFile(a, "x", "z"));
  ASSERT_TRUE(SetArchiveFileLocale(a, "y", 0, 0x407));
  ASSERT_TRUE(AbandonArchiveUpdate(a));
  EXPECT_EQ(std::memcmp(&a->header, &header, sizeof header), 0);
  ExpectReads(a, "x", PatternBytes(3000, 1));
  EXPECT_FALSE(Stored(a, "z"));
  EXPECT_EQ(Read(a, "(listfile)"), TextBytes("x\r\n"));
  ASSERT_TRUE(BeginArchiveUpdate(a));
  ASSERT_TRUE(DeleteArchiveFile(a, "x"));
  CloseWritableArchive(a, 0);
  const Bytes after = ReadBytes(Path("abandon.mpq"));
  EXPECT_EQ(Bytes(after.begin(), after.begin() + 32), Bytes(before.begin(), before.begin() + 32));
  EXPECT_EQ(OnDisk("abandon.mpq", {"x", "y", "z"}).size(), 1u);
}

TEST_F(UpdateBatchTest, BatchCallsOutOfOrderAreRefused) {
  ArchiveHandle a = Create("order.mpq", 16);
  EXPECT_FALSE(CommitArchiveUpdate(a));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(AbandonArchiveUpdate(a));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  ASSERT_TRUE(BeginArchiveUpdate(a));
  EXPECT_FALSE(BeginArchiveUpdate(a));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(CommitArchiveUpdate(a));  // nothing to write
  CloseWritableArchive(a, 0);
  ArchiveHandle r = OpenArchiveWritable(Path("order.mpq").c_str(), UPDATE_OPEN_EXISTING | UPDATE_READ_ONLY, 0);
  ASSERT_TRUE(IsUsableArchive(r));
  EXPECT_FALSE(BeginArchiveUpdate(r));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(BeginArchiveUpdate(nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(UpdateBatchTest, CompactionInABatchCommitsWhatCameBefore) {
  ArchiveHandle a = Create("compact.mpq", 16);
  ASSERT_TRUE(Add(a, "a", PatternBytes(3000, 1)));
  ASSERT_TRUE(BeginArchiveUpdate(a));
  ASSERT_TRUE(DeleteArchiveFile(a, "a"));
  ASSERT_TRUE(Add(a, "b", PatternBytes(3000, 2)));
  ASSERT_TRUE(CompactArchive(a));
  EXPECT_EQ(OnDisk("compact.mpq", {"a", "b"}).size(), 1u);
  EXPECT_EQ(a->header.blockTableEntries, 1u);
  ASSERT_TRUE(Add(a, "c", PatternBytes(3000, 3)));
  ASSERT_TRUE(AbandonArchiveUpdate(a));
  ExpectReads(a, "b", PatternBytes(3000, 2));
  EXPECT_FALSE(Stored(a, "c"));
}

TEST_F(UpdateBatchTest, SpaceTheBatchStopsUsingIsUsedAgain) {
  ArchiveHandle a = Create("reuse.mpq", 64, UPDATE_KEEP_LISTFILE);
  ASSERT_TRUE(BeginArchiveUpdate(a));
  for (uint32_t i = 0; i < 60; ++i) {
    ASSERT_TRUE(Add(a, "same", PatternBytes(4000 + i, i), ADD_REPLACE | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED));
    ASSERT_TRUE(Add(a, "tmp" + std::to_string(i), PatternBytes(1000, i)));
    ASSERT_TRUE(DeleteArchiveFile(a, ("tmp" + std::to_string(i)).c_str()));
  }
  ASSERT_TRUE(CommitArchiveUpdate(a));
  // Without reuse it would be over 50 times the compacted size; first fit
  // leaves room for a few copies of the file beside the one in use.
  const uint64_t size = std::filesystem::file_size(Path("reuse.mpq"));
  ASSERT_TRUE(CompactArchive(a));
  EXPECT_LE(size, 3 * std::filesystem::file_size(Path("reuse.mpq")));
  ExpectReads(a, "same", PatternBytes(4059, 59));
}

TEST_F(UpdateBatchTest, DeadSpaceOfSingleUpdatesStaysBounded) {
  ArchiveHandle a = Create("single.mpq", 1024, UPDATE_KEEP_LISTFILE);
  for (uint32_t i = 0; i < 150; ++i) {
    ASSERT_TRUE(Add(a, "dir\\file" + std::to_string(i), PatternBytes(1000 + (i * 37) % 3000, i)));
  }
  const uint64_t size = std::filesystem::file_size(Path("single.mpq"));
  ASSERT_TRUE(CompactArchive(a));
  EXPECT_LE(size, 2 * std::filesystem::file_size(Path("single.mpq")));
}

// "x" claims 500 bytes from the archive's end on, where it has none: the
// batch's new data goes there, and neither deleting nor replacing "x" may
// hand those bytes out again.
TEST_F(UpdateBatchTest, BlockClaimingBytesItDoesNotUseGivesNoneBack) {
  for (const bool replace : {false, true}) {
    ArchiveBuilder b;
    b.HashTableSize(16);
    testsupport::FileSpec& x = b.Add("x", Bytes{});
    x.storedSize = 500;
    Layout layout;
    b.Build(&layout);
    x.offset = static_cast<uint32_t>(layout.end);
    b.WriteTo(Path("claims-end.mpq"));
    ArchiveHandle a = OpenExisting("claims-end.mpq");
    ASSERT_TRUE(BeginArchiveUpdate(a));
    ASSERT_TRUE(Add(a, "a", PatternBytes(1000, 1), 0, 0));
    ASSERT_TRUE(replace ? Add(a, "x", PatternBytes(10, 3), ADD_REPLACE, 0) : DeleteArchiveFile(a, "x"));
    ASSERT_TRUE(Add(a, "b", PatternBytes(400, 2), 0, 0));
    ASSERT_TRUE(CommitArchiveUpdate(a));
    ExpectReads(a, "a", PatternBytes(1000, 1));
    ExpectReads(a, "b", PatternBytes(400, 2));
    ASSERT_TRUE(CloseWritableArchive(a, 0));
  }
}

TEST_F(UpdateBatchTest, NameListClaimingMoreThanItHoldsIsLeftAlone) {
  ArchiveBuilder b;
  b.HashTableSize(16);
  b.Add("a", "a");
  b.Listfile({"a"}, "\r\n", BLOCK_COMPRESSED).fileSize = 632u * 1024 * 1024;
  b.WriteTo(Path("claims.mpq"));
  const Bytes before = ReadBytes(Path("claims.mpq"));
  ArchiveHandle a = OpenExisting("claims.mpq", UPDATE_KEEP_LISTFILE);
  ASSERT_TRUE(Add(a, "b", TextBytes("b")));
  ExpectReads(a, "b", TextBytes("b"));
  // The list could not be read, so it was not replaced by one of "b" alone.
  EXPECT_EQ(BlockOf(a, "(listfile)").fileSize, 632u * 1024 * 1024);
}

}  // namespace

namespace {

// Archives whose block entries lie (stored sizes too small or too large,
// offsets into other files' data, entries naming other blocks) take random
// single updates; every file that read before and was not touched reads
// the same after each one, and every file an update stored reads back.
TEST_F(UpdateBatchTest, LyingTablesNeverCostAFileItsBytes) {
  const uint32_t kinds[] = {0, BLOCK_COMPRESSED, BLOCK_ENCRYPTED, BLOCK_COMPRESSED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED,
                            BLOCK_SINGLE_UNIT};
  for (uint32_t seed = 0; seed < 200; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    auto pick = [&random](uint32_t n) { return static_cast<uint32_t>(random() % n); };
    ArchiveBuilder b;
    if (pick(2)) b.Stub(512);
    if (pick(3) == 0) b.Extended();
    b.HashTableSize(16).TablesFirst(pick(3) == 0).HashTableLast(pick(3) == 0);
    std::vector<std::string> names;
    std::vector<testsupport::FileSpec*> specs;
    for (uint32_t i = 0; i < 6; ++i) {
      names.push_back("f" + std::to_string(i));
      specs.push_back(&b.Add(names.back(), PatternBytes(pick(9000), seed * 8 + i), kinds[pick(5)]));
      specs.back()->gapBefore = pick(2) ? pick(3000) : 0;
    }
    b.Listfile(names);
    Layout layout;
    b.Build(&layout);
    for (uint32_t lie = pick(4); lie != 0; --lie) {
      testsupport::FileSpec& f = *specs[pick(6)];
      const testsupport::FileLayout* other = layout.Find(names[pick(6)]);
      switch (pick(6)) {
        case 0: f.storedSize = pick(2) ? pick(200) : 20000 + pick(100000); break;
        case 1: f.offset = static_cast<uint32_t>(other->blockStart - layout.headerOffset + pick(64)); break;
        case 2: f.blockIndexInHash = other->blockIndex; break;
        case 3: f.offset = static_cast<uint32_t>(layout.end - layout.headerOffset - pick(100)); break;
        case 4: f.blockIndexInHash = 7 + pick(40); break;
        default: {
          // Tables that run past the file's end.
          const uint32_t more = 1 + pick(30);
          b.PatchHeader([more](ArchiveHeader& h) { h.blockTableEntries += more; });
          break;
        }
      }
    }
    b.WriteTo(Path("lies.mpq"));
    ArchiveHandle a = OpenExisting("lies.mpq", pick(2) ? UPDATE_KEEP_LISTFILE : 0);
    ASSERT_NE(a, nullptr);
    std::map<std::string, Bytes> model;
    for (const auto& name : names) {
      bool ok = false;
      const Bytes data = Read(a, name, &ok);
      if (ok) model[name] = data;
    }
    const bool batch = pick(2);
    if (batch) { ASSERT_TRUE(BeginArchiveUpdate(a)); }
    for (uint32_t step = 0; step < 6; ++step) {
      const std::string x = names[pick(6)], y = "n" + std::to_string(step);
      const Bytes data = PatternBytes(pick(6000), seed * 100 + step);
      const uint32_t op = pick(8);
      SCOPED_TRACE("op " + std::to_string(op) + " on " + x);
      bool ok = true;
      switch (op) {
        case 0: ok = Add(a, y, data, kinds[pick(5)]); if (ok) { model[y] = data; names.push_back(y); } break;
        case 1: ok = Add(a, x, data, kinds[pick(5)] | ADD_REPLACE); if (ok) model[x] = data; break;
        case 2: ok = DeleteArchiveFile(a, x.c_str()); if (ok) model.erase(x); break;
        case 3:
          ok = RenameArchiveFile(a, x.c_str(), y.c_str());
          names.push_back(y);
          if (ok && model.count(x)) model[y] = model[x];
          if (ok) model.erase(x);
          break;
        case 4: ok = ResizeHashTable(a, 16 + pick(40)); break;
        case 6: ok = SetArchiveAttributes(a, ATTRIBUTE_CRC32 | ATTRIBUTE_FILETIME); break;
        case 7: ok = SetArchiveFileLocale(a, x.c_str(), 0, 0x407); if (ok) model.erase(x); break;
        default: ok = CompactArchive(a); break;
      }
      (void)ok;
      for (const auto& [name, expected] : model) ExpectReads(a, name, expected);
      if (HasFailure()) return;
    }
    if (batch) { ASSERT_TRUE(CommitArchiveUpdate(a)) << GetLastError(); }
    ASSERT_TRUE(CloseWritableArchive(a, 0));
    ArchiveHandle r = Reopen("lies.mpq");
    ASSERT_NE(r, nullptr);
    for (const auto& [name, expected] : model) ExpectReads(r, name, expected);
    CloseArchive(r);
    if (HasFailure()) return;
  }
}

}  // namespace

namespace {

class BatchKeepsFileTest : public UpdateTest {};

// Batches told to keep the file write past its end only: abandoned, they
// leave every byte as it was, also where dead space would have taken their
// data; committed, they make the same archive.
TEST_F(BatchKeepsFileTest, AbandonedBatchLeavesEveryByte) {
  ArchiveHandle a = Create("keep.mpq", 64, 0);
  ASSERT_NE(a, nullptr);
  ASSERT_TRUE(Add(a, "first", PatternBytes(20000, 1), 0, 0));
  ASSERT_TRUE(Add(a, "second", PatternBytes(300, 2), 0, 0));
  ASSERT_TRUE(DeleteArchiveFile(a, "first"));  // 20,000 bytes of dead space
  const Bytes before = ReadBytes(Path("keep.mpq"));
  // A new archive starts at the file's start: block offsets are file positions.
  ASSERT_EQ(a->headerOffset, 0u);
  const uint64_t end = before.size();

  EXPECT_FALSE(SetBatchesKeepFile(nullptr, true));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  ASSERT_TRUE(SetBatchesKeepFile(a, true));
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(BeginArchiveUpdate(a));
    ASSERT_TRUE(Add(a, "third", PatternBytes(5000, 3), 0, 0));
    ASSERT_TRUE(Add(a, "second", PatternBytes(400, 4), ADD_REPLACE, 0));
    ASSERT_TRUE(RenameArchiveFile(a, "second", "renamed"));
    EXPECT_GE(BlockOf(a, "third").offset, end);
    ASSERT_TRUE(AbandonArchiveUpdate(a));
    EXPECT_TRUE(ReadBytes(Path("keep.mpq")) == before) << "round " << round;
    ExpectReads(a, "second", PatternBytes(300, 2));
    EXPECT_FALSE(Stored(a, "third"));
  }
  // Committed, the batch's files are there, past the old end.
  ASSERT_TRUE(BeginArchiveUpdate(a));
  ASSERT_TRUE(Add(a, "third", PatternBytes(5000, 3), 0, 0));
  ASSERT_TRUE(CommitArchiveUpdate(a));
  ExpectReads(a, "third", PatternBytes(5000, 3));
  EXPECT_GE(BlockOf(a, "third").offset, end);
  // Without it, batches fill the dead space again.
  ASSERT_TRUE(SetBatchesKeepFile(a, false));
  ASSERT_TRUE(BeginArchiveUpdate(a));
  ASSERT_TRUE(Add(a, "fourth", PatternBytes(1000, 5), 0, 0));
  ASSERT_TRUE(CommitArchiveUpdate(a));
  EXPECT_LT(BlockOf(a, "fourth").offset, end);
  CloseWritableArchive(a, 0);
}

}  // namespace
