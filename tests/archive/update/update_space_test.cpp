// Updates that run out of room: the archive must come out byte for byte as
// it was, and the room a failed update took must be free for the next one.
#include <algorithm>
#include <filesystem>

#include "tests/archive/update/update_test_util.h"

using namespace updatetest;
namespace fs = std::filesystem;

namespace {

class UpdateSpaceTest : public UpdateTest {
 protected:
  void TearDown() override {
    platform::ClearWriteFault();
    UpdateTest::TearDown();
  }
  // With dead space inside when asked; without, a failed update can only
  // write past the archive's end.
  void MakeStart(bool dead = false) {
    ArchiveHandle a = Create("t.mpq", 64);
    ASSERT_NE(a, nullptr);
    ASSERT_TRUE(Add(a, "a.txt", Compressible(20000, 1), BLOCK_COMPRESSED));
    ASSERT_TRUE(Add(a, "b.bin", PatternBytes(30000, 2), BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED));
    ASSERT_TRUE(Add(a, "c.dat", PatternBytes(5000, 3)));
    ASSERT_TRUE(!dead || DeleteArchiveFile(a, "b.bin"));
    CloseWritableArchive(a, 0);
    start_ = ReadBytes(Path("t.mpq"));
    const ArchiveHeader h = DiskHeader("t.mpq");
    used_ = {{0, 32}, {h.hashTableOffset, h.hashTableOffset + 16ull * h.hashTableEntries},
             {h.blockTableOffset, h.blockTableOffset + 16ull * h.blockTableEntries}};
    const std::vector<BlockEntry> blocks = DiskBlockTable("t.mpq");
    for (const HashEntry& e : DiskHashTable("t.mpq")) {
      if (!IsHashEntryInUse(e)) continue;
      const BlockEntry& b = blocks.at(e.blockIndex);
      used_.push_back({b.offset, static_cast<uint64_t>(b.offset) + b.storedSize});
    }
  }
  bool BigAdd() {
    ArchiveHandle a = OpenExisting("t.mpq");
    bool ok = a != nullptr && BeginArchiveUpdate(a) && Add(a, "big1", PatternBytes(200000, 4)) &&
              Add(a, "big2", Compressible(150000, 5), BLOCK_COMPRESSED);
    ok = a != nullptr && CommitArchiveUpdate(a) && ok;
    CloseWritableArchive(a, 0);
    return ok;
  }
  // The archive as it was: the file's length, and every byte its header,
  // tables and files take. Dead bytes inside the file may hold what the
  // failed update wrote there: the tables go into older copies' room first.
  bool Unchanged() const {
    const Bytes now = ReadBytes(Path("t.mpq"));
    if (now.size() != start_.size()) return false;
    for (const Extent& e : used_) {
      if (!std::equal(now.begin() + e.start, now.begin() + e.end, start_.begin() + e.start)) return false;
    }
    return true;
  }
  Bytes start_;
  std::vector<Extent> used_;
};

TEST_F(UpdateSpaceTest, AnUpdateThatRunsOutOfRoomLeavesTheFileAsItWas) {
  MakeStart();
  platform::SetDiskFull(~0ull);
  ASSERT_TRUE(BigAdd());
  const uint64_t writes = platform::WriteStepsTaken();
  for (uint64_t allowed = 0; allowed < writes; ++allowed) {
    testsupport::WriteBytes(Path("t.mpq"), start_);
    platform::SetDiskFull(allowed);
    EXPECT_FALSE(BigAdd());
    EXPECT_EQ(GetLastError(), platform::kErrorDiskFull);
    platform::ClearWriteFault();
    ASSERT_TRUE(Unchanged()) << allowed << " writes: " << fs::file_size(Path("t.mpq")) << " bytes";
  }
}

TEST_F(UpdateSpaceTest, BytesAFailedUpdateCouldNotCutGoBeforeTheNextWritesAnything) {
  MakeStart();
  platform::SetWriteFault(6, platform::kErrorDiskFull);  // stopped: not even the cut works
  EXPECT_FALSE(BigAdd());
  platform::ClearWriteFault();
  ASSERT_GT(fs::file_size(Path("t.mpq")), start_.size());
  ArchiveHandle a = OpenExisting("t.mpq");
  ASSERT_NE(a, nullptr);
  platform::SetWriteFault(1, platform::kErrorDiskFull);
  EXPECT_FALSE(DeleteArchiveFile(a, "c.dat"));
  platform::ClearWriteFault();
  EXPECT_TRUE(Unchanged()) << fs::file_size(Path("t.mpq")) << " bytes";
  EXPECT_TRUE(DeleteArchiveFile(a, "c.dat")) << GetLastError();
  ExpectReads(a, "a.txt", Compressible(20000, 1));
  CloseWritableArchive(a, 0);
}

TEST_F(UpdateSpaceTest, CompactionThatWouldNotFitIsRefusedBeforeItWrites) {
  MakeStart(true);
  ArchiveHandle a = OpenExisting("t.mpq");
  ASSERT_NE(a, nullptr);
  platform::SetFreeSpaceLimit(1000);
  EXPECT_FALSE(CompactArchive(a));
  EXPECT_EQ(GetLastError(), platform::kErrorDiskFull);
  EXPECT_TRUE(Unchanged());
  EXPECT_FALSE(fs::exists(Path("t.mpq.compact")));
  platform::SetFreeSpaceLimit(start_.size());
  EXPECT_TRUE(CompactArchive(a)) << GetLastError();
  EXPECT_LT(fs::file_size(Path("t.mpq")), start_.size());
  CloseWritableArchive(a, 0);
}

TEST_F(UpdateSpaceTest, AFailedCreationLeavesNoFileAndOneWhoseFolderIsNotFlushedFails) {
  platform::SetDiskFull(0);
  EXPECT_FALSE(IsUsableArchive(OpenArchiveWritable(Path("n.mpq").c_str(), 0, 64)));
  EXPECT_EQ(GetLastError(), platform::kErrorDiskFull);
  EXPECT_FALSE(fs::exists(Path("n.mpq")));
  testsupport::WriteBytes(Path("e.mpq"), {});  // an empty file that was there stays
  EXPECT_FALSE(IsUsableArchive(OpenArchiveWritable(Path("e.mpq").c_str(), UPDATE_OPEN_ALWAYS, 64)));
  EXPECT_EQ(fs::file_size(Path("e.mpq")), 0u);
  // Written and flushed, the new file may still be lost with its folder.
  platform::SetWriteFault(2, platform::kErrorIoDevice);
  EXPECT_FALSE(IsUsableArchive(OpenArchiveWritable(Path("f.mpq").c_str(), 0, 64)));
}

}  // namespace
