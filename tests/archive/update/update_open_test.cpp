// Opening archives for update and creating new ones.
#include "tests/archive/update/update_test_util.h"

using namespace updatetest;

namespace {

const ArchiveHandle kAllOnes = reinterpret_cast<ArchiveHandle>(~static_cast<uintptr_t>(0));

class UpdateOpenTest : public UpdateTest {};

TEST_F(UpdateOpenTest, NewArchiveLayoutFor1000Entries) {
  ArchiveHandle a = Create("new.mpq", 1000);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(std::filesystem::file_size(Path("new.mpq")), 16032u);
  const ArchiveHeader h = DiskHeader("new.mpq");
  EXPECT_EQ(std::memcmp(h.signature, "MPQ\x1a", 4), 0);
  EXPECT_EQ(h.headerSize, 32u);
  EXPECT_EQ(h.archiveSize, 16032u);
  EXPECT_EQ(h.formatVersion, 0u);
  EXPECT_EQ(h.sectorSizeShift, 3u);
  EXPECT_EQ(h.hashTableOffset, 32u);
  EXPECT_EQ(h.blockTableOffset, 16032u);
  EXPECT_EQ(h.hashTableEntries, 1000u);  // not rounded to a power of two
  EXPECT_EQ(h.blockTableEntries, 0u);
  for (const HashEntry& e : DiskHashTable("new.mpq")) {
    EXPECT_TRUE(IsHashEntryEmpty(e));
  }
  EXPECT_EQ(a->openFlags & OPEN_WRITE, OPEN_WRITE);
  EXPECT_EQ(a->sectorSize, 4096u);
  // In memory the table is decrypted, and the archive is an ordinary open one.
  EXPECT_TRUE(IsHashEntryEmpty(a->hashTable[999]));
  EXPECT_EQ(GetArchiveFileInfo(a, INFO_HASH_TABLE_SIZE), 1000u);
  EXPECT_TRUE(CloseWritableArchive(a, 0));

  ArchiveHandle r = Reopen("new.mpq");
  ASSERT_NE(r, nullptr);
  EXPECT_FALSE(Stored(r, "anything"));
  EXPECT_FALSE(Stored(r, "(listfile)"));
}

TEST_F(UpdateOpenTest, Dispositions) {
  // Open-always creates a missing archive...
  ArchiveHandle a = OpenArchiveWritable(Path("oa.mpq").c_str(), UPDATE_OPEN_ALWAYS, 16);
  ASSERT_TRUE(IsUsableArchive(a));
  ASSERT_TRUE(Add(a, "x", TextBytes("kept")));
  CloseWritableArchive(a, 0);
  // ...and opens an existing one with its files.
  a = OpenArchiveWritable(Path("oa.mpq").c_str(), UPDATE_OPEN_ALWAYS, 16);
  ASSERT_TRUE(IsUsableArchive(a));
  ExpectReads(a, "x", TextBytes("kept"));
  CloseWritableArchive(a, 0);

  // An existing empty file gets a new archive written into it.
  testsupport::WriteBytes(Path("empty.mpq"), {});
  a = OpenArchiveWritable(Path("empty.mpq").c_str(), UPDATE_OPEN_ALWAYS, 8);
  ASSERT_TRUE(IsUsableArchive(a));
  CloseWritableArchive(a, 0);
  EXPECT_EQ(std::filesystem::file_size(Path("empty.mpq")), 32u + 16 * 8);

  // A non-empty file without a header is no archive.
  testsupport::WriteBytes(Path("junk.bin"), Bytes(2000, 0x41));
  SetLastError(0);
  EXPECT_EQ(OpenArchiveWritable(Path("junk.bin").c_str(), UPDATE_OPEN_ALWAYS, 8), nullptr);
  EXPECT_EQ(GetLastError(), ERR_NOT_ARCHIVE);
  EXPECT_EQ(std::filesystem::file_size(Path("junk.bin")), 2000u);

  // Create-always empties an existing archive.
  a = OpenArchiveWritable(Path("oa.mpq").c_str(), UPDATE_CREATE_ALWAYS, 32);
  ASSERT_TRUE(IsUsableArchive(a));
  EXPECT_FALSE(Stored(a, "x"));
  EXPECT_EQ(a->header.hashTableEntries, 32u);
  CloseWritableArchive(a, 0);

  // Create-new refuses an existing file given by its full path.
  SetLastError(0);
  EXPECT_EQ(OpenArchiveWritable(Path("oa.mpq").c_str(), 0, 32), kAllOnes);
  EXPECT_NE(GetLastError(), 0u);

  // Open-existing on a missing file: all ones and file-not-found.
  EXPECT_EQ(OpenArchiveWritable(Path("missing.mpq").c_str(), UPDATE_OPEN_EXISTING, 0), kAllOnes);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(std::filesystem::exists(Path("missing.mpq")));

  EXPECT_EQ(OpenArchiveWritable(nullptr, 0, 8), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(UpdateOpenTest, HashSizeZeroFailsAfterWritingTheHeader) {
  SetLastError(0);
  EXPECT_EQ(OpenArchiveWritable(Path("zero.mpq").c_str(), 0, 0), nullptr);
  EXPECT_EQ(std::filesystem::file_size(Path("zero.mpq")), 32u);
  EXPECT_EQ(ArchiveListCount, 0u);
}

// A creation that succeeds makes an archive the library opens again: one
// entry past the largest table an open takes is refused as a zero is.
TEST_F(UpdateOpenTest, HashSizesPastWhatOpeningTakesAreRefused) {
  constexpr uint32_t kLargest = 4194304;
  SetLastError(0);
  ArchiveHandle a = OpenArchiveWritable(Path("past.mpq").c_str(), 0, kLargest + 1);
  EXPECT_EQ(a, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  if (IsUsableArchive(a)) CloseWritableArchive(a, 0);
  EXPECT_EQ(std::filesystem::file_size(Path("past.mpq")), 32u);
  EXPECT_EQ(ArchiveListCount, 0u);

  a = OpenArchiveWritable(Path("largest.mpq").c_str(), 0, kLargest);
  ASSERT_TRUE(IsUsableArchive(a)) << GetLastError();
  ASSERT_TRUE(AddFileFromMemory(a, "x", 1, "x", 0, 0, 0));
  CloseWritableArchive(a, 0);
  ArchiveHandle r = Reopen("largest.mpq");
  ASSERT_NE(r, nullptr);
  ExpectReads(r, "x", TextBytes("x"));
  CloseArchive(r);
  std::filesystem::remove(Path("largest.mpq"));
}

TEST_F(UpdateOpenTest, ReadOnlyArchivesRefuseEveryUpdate) {
  EXPECT_EQ(OpenArchiveWritable(Path("ro.mpq").c_str(), UPDATE_READ_ONLY, 8), nullptr);
  EXPECT_EQ(GetLastError(), ERR_READ_ONLY_NEEDS_EXISTING);

  testsupport::WriteBytes(Path("empty.mpq"), {});
  EXPECT_EQ(OpenArchiveWritable(Path("empty.mpq").c_str(), UPDATE_READ_ONLY | UPDATE_OPEN_EXISTING, 8),
            nullptr);
  EXPECT_EQ(GetLastError(), ERR_NOT_ARCHIVE);

  ArchiveHandle a = Create("ro.mpq", 8);
  ASSERT_TRUE(Add(a, "x", TextBytes("data")));
  CloseWritableArchive(a, 0);
  const Bytes before = ReadBytes(Path("ro.mpq"));

  a = OpenArchiveWritable(Path("ro.mpq").c_str(), UPDATE_READ_ONLY | UPDATE_OPEN_EXISTING, 0);
  ASSERT_TRUE(IsUsableArchive(a));
  EXPECT_EQ(a->openFlags & OPEN_WRITE, 0u);
  ExpectReads(a, "x", TextBytes("data"));
  const Bytes data = TextBytes("y");
  EXPECT_FALSE(Add(a, "y", data));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(DeleteArchiveFile(a, "x"));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(RenameArchiveFile(a, "x", "z"));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(SetArchiveFileLocale(a, "x", 0, 0x407));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(CompactArchive(a));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  CloseWritableArchive(a, 0);
  EXPECT_EQ(ReadBytes(Path("ro.mpq")), before);

  // An archive opened for reading with OPEN_WRITE is updatable as well.
  ASSERT_TRUE(OpenArchive(Path("ro.mpq").c_str(), 0, OPEN_WRITE, &a));
  EXPECT_TRUE(Add(a, "y", data));
  CloseArchive(a);
}

TEST_F(UpdateOpenTest, ExistingArchiveBehindAStubOpensForUpdate) {
  ArchiveBuilder b;
  b.Stub(1024).HashTableSize(16);
  b.Add("old", "old data");
  b.WriteTo(Path("stub.mpq"));
  ArchiveHandle a = OpenExisting("stub.mpq");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->headerOffset, 1024u);
  ASSERT_TRUE(Add(a, "new", TextBytes("new data")));
  CloseWritableArchive(a, 0);
  ArchiveHandle r = Reopen("stub.mpq");
  ExpectReads(r, "old", TextBytes("old data"));
  ExpectReads(r, "new", TextBytes("new data"));
  const Bytes file = ReadBytes(Path("stub.mpq"));
  EXPECT_EQ(file[0], 0xA5);
  EXPECT_EQ(file[1023], 0xA5);
}

TEST_F(UpdateOpenTest, StaleOrForeignHandlesAreRefused) {
  int notAnArchive = 0;
  EXPECT_FALSE(CompactArchive(reinterpret_cast<ArchiveHandle>(&notAnArchive)));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(DeleteArchiveFile(nullptr, "x"));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  ArchiveHandle a = Create("h.mpq", 8);
  EXPECT_FALSE(DeleteArchiveFile(a, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(AddFileFromMemory(a, nullptr, 0, "x", 0, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(AddFile(a, Path("does-not-exist").c_str(), "x", 0));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

}  // namespace
