// Updates that run out of room: a full disk (data writes failing with
// ERROR_DISK_FULL while truncations still work), a stop that leaves even the
// cut undone, a compaction that would not fit, a creation that fails. The
// archive file must come out byte for byte as it was, and the room a failed
// update took must be there again for the next one.
#include <filesystem>

#include "tests/archive/update_test_util.h"

using namespace updatetest;

namespace {

namespace fs = std::filesystem;

class UpdateSpaceTest : public UpdateTest {
 protected:
  void TearDown() override {
    platform::ClearWriteFault();
    UpdateTest::TearDown();
  }

  // An archive, with dead space inside when asked. Without it a failed
  // update can only write past the archive's end.
  void MakeStart(bool dead = false) {
    ArchiveHandle a = Create("start.mpq", 64);
    ASSERT_NE(a, nullptr);
    ASSERT_TRUE(Add(a, "a.txt", Compressible(20000, 1), BLOCK_COMPRESSED));
    ASSERT_TRUE(Add(a, "b.bin", PatternBytes(30000, 2), BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED));
    ASSERT_TRUE(Add(a, "c.dat", PatternBytes(5000, 3)));
    if (dead) {
      ASSERT_TRUE(DeleteArchiveFile(a, "b.bin"));
    }
    CloseWritableArchive(a, 0);
    start_ = ReadBytes(Path("start.mpq"));
  }

  // A large add of two files in one batch; false when it failed.
  bool BigAdd(const std::string& name) {
    ArchiveHandle a = OpenExisting(name);
    if (a == nullptr) return false;
    bool ok = BeginArchiveUpdate(a) && Add(a, "big1", PatternBytes(200000, 4)) &&
              Add(a, "big2", Compressible(150000, 5), BLOCK_COMPRESSED);
    ok = CommitArchiveUpdate(a) && ok;
    CloseWritableArchive(a, 0);
    return ok;
  }

  Bytes start_;
};

TEST_F(UpdateSpaceTest, AnUpdateThatRunsOutOfRoomLeavesTheFileAsItWas) {
  MakeStart();
  testsupport::WriteBytes(Path("t.mpq"), start_);
  platform::SetDiskFull(~0ull);
  ASSERT_TRUE(BigAdd("t.mpq"));
  const uint64_t writes = platform::WriteStepsTaken();
  ASSERT_GT(writes, 3u);
  for (uint64_t allowed = 0; allowed < writes; ++allowed) {
    testsupport::WriteBytes(Path("t.mpq"), start_);
    platform::SetDiskFull(allowed);
    EXPECT_FALSE(BigAdd("t.mpq")) << allowed;
    EXPECT_EQ(GetLastError(), platform::kErrorDiskFull) << allowed;
    platform::ClearWriteFault();
    // Every byte it wrote is gone again: the disk has its room back.
    ASSERT_TRUE(ReadBytes(Path("t.mpq")) == start_) << "after " << allowed << " writes: "
                                                      << fs::file_size(Path("t.mpq")) << " bytes, "
                                                      << start_.size() << " before";
  }
}

TEST_F(UpdateSpaceTest, BytesAFailedUpdateCouldNotCutGoBeforeTheNextWritesAnything) {
  MakeStart();
  testsupport::WriteBytes(Path("t.mpq"), start_);
  // Stopped halfway, the failed update cannot even cut its bytes off.
  platform::SetWriteFault(6, platform::kErrorDiskFull);
  EXPECT_FALSE(BigAdd("t.mpq"));
  platform::ClearWriteFault();
  ASSERT_GT(fs::file_size(Path("t.mpq")), start_.size());
  // The next update's first step cuts them, whatever fails after it.
  ArchiveHandle a = OpenExisting("t.mpq");
  ASSERT_NE(a, nullptr);
  platform::SetWriteFault(1, platform::kErrorDiskFull);
  EXPECT_FALSE(DeleteArchiveFile(a, "c.dat"));
  platform::ClearWriteFault();
  EXPECT_TRUE(ReadBytes(Path("t.mpq")) == start_) << fs::file_size(Path("t.mpq")) << " bytes";
  // And then the update goes through.
  EXPECT_TRUE(DeleteArchiveFile(a, "c.dat")) << GetLastError();
  ExpectReads(a, "a.txt", Compressible(20000, 1));
  CloseWritableArchive(a, 0);
}

TEST_F(UpdateSpaceTest, CompactionThatWouldNotFitIsRefusedBeforeItWrites) {
  MakeStart(true);
  testsupport::WriteBytes(Path("t.mpq"), start_);
  ArchiveHandle a = OpenExisting("t.mpq");
  ASSERT_NE(a, nullptr);
  platform::SetFreeSpaceLimit(1000);
  EXPECT_FALSE(CompactArchive(a));
  EXPECT_EQ(GetLastError(), platform::kErrorDiskFull);
  EXPECT_TRUE(ReadBytes(Path("t.mpq")) == start_);
  EXPECT_FALSE(fs::exists(Path("t.mpq.compact")));
  // With room for the copy it goes through.
  platform::SetFreeSpaceLimit(start_.size());
  EXPECT_TRUE(CompactArchive(a)) << GetLastError();
  EXPECT_LT(fs::file_size(Path("t.mpq")), start_.size());
  ExpectReads(a, "c.dat", PatternBytes(5000, 3));
  CloseWritableArchive(a, 0);
}

TEST_F(UpdateSpaceTest, ACreationThatFailsLeavesNoFileAndOneThatSucceedsFlushesItsFolder) {
  // On a full disk the new file goes again.
  platform::SetDiskFull(0);
  EXPECT_FALSE(IsUsableArchive(OpenArchiveWritable(Path("n.mpq").c_str(), 0, 64)));
  EXPECT_EQ(GetLastError(), platform::kErrorDiskFull);
  EXPECT_FALSE(fs::exists(Path("n.mpq")));
  // An empty file that was there stays empty.
  testsupport::WriteBytes(Path("e.mpq"), {});
  EXPECT_FALSE(IsUsableArchive(OpenArchiveWritable(Path("e.mpq").c_str(), UPDATE_OPEN_ALWAYS, 64)));
  EXPECT_EQ(fs::file_size(Path("e.mpq")), 0u);
  // Written and flushed is not enough: until its folder is flushed, a power
  // loss may take the new file, so a creation stopped there has failed.
  platform::SetWriteFault(2, platform::kErrorIoDevice);
  EXPECT_FALSE(IsUsableArchive(OpenArchiveWritable(Path("f.mpq").c_str(), 0, 64)));
  platform::ClearWriteFault();
  ArchiveHandle a = Create("g.mpq", 64);
  ASSERT_NE(a, nullptr);
  CloseWritableArchive(a, 0);
}

}  // namespace
