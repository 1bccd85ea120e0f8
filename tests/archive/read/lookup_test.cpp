// Finding stored files: probing, locales, index opens, all-archive and disk
// searches, and the queries on open handles.
#include <cstring>
#include <string>

#include "tests/archive/read/read_test_util.h"

namespace {

using readtest::ArchiveTest;
using testsupport::ArchiveBuilder;
using testsupport::Bytes;
using testsupport::ToBytes;

constexpr HashEntry kDeleted{0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFE};

// An occupied entry of some other name.
HashEntry Other(uint32_t n) { return HashEntry{0x1000 + n, 0x2000 + n, 0, 0}; }

uint32_t Home(const char* name, uint32_t n) { return HashString(name, HASH_TABLE_INDEX) % n; }

class LookupTest : public ArchiveTest {
 protected:
  bool Finds(ArchiveHandle a, const char* name) {
    FileHandle f = nullptr;
    if (!OpenArchiveFile(a, name, 0, &f)) return false;
    CloseArchiveFile(f);
    return true;
  }
};

TEST_F(LookupTest, ProbeStopsAtAFreeEntryButPassesDeletedOnes) {
  constexpr uint32_t n = 16;
  const uint32_t home = Home("x.txt", n);
  // A mark carrying the very name it hides: only its block index tells.
  const HashEntry namedMark{HashString("x.txt", HASH_NAME_A), HashString("x.txt", HASH_NAME_B), 0, 0xFFFFFFFE};
  for (int variant = 0; variant < 5; ++variant) {
    ArchiveBuilder b;
    b.HashTableSize(n);
    b.Add("x.txt", "x").hashIndex = (home + 2) % n;
    b.SetHashEntry(home, variant == 4 ? namedMark : Other(1));
    // Entry home + 1: free, the old or the current deletion mark, or another name.
    if (variant == 1) b.SetHashEntry((home + 1) % n, kDeleted);
    if (variant == 2) b.SetHashEntry((home + 1) % n, Other(2));
    if (variant >= 3) b.SetHashEntry((home + 1) % n, kDeletedMark);
    ArchiveHandle a = Open(b);
    ASSERT_NE(a, nullptr);
    SetLastError(0);
    EXPECT_EQ(Finds(a, "x.txt"), variant != 0) << variant;
    if (variant == 4) {
      EXPECT_EQ(ReadNamed(a, "x.txt"), ToBytes("x"));
    }
    if (variant == 0) {
      EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    }
  }
}

TEST_F(LookupTest, ProbeWrapsAndEndsAfterOneCircle) {
  constexpr uint32_t n = 5;  // not a power of two
  const uint32_t home = Home("w.txt", n);
  ArchiveBuilder b;
  b.HashTableSize(n);
  b.Add("w.txt", "wrapped").hashIndex = (home + n - 1) % n;
  for (uint32_t i = 0; i + 1 < n; ++i) b.SetHashEntry((home + i) % n, Other(i));
  ArchiveHandle a = Open(b);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(ReadNamed(a, "w.txt"), ToBytes("wrapped"));
  // The table has no free entry: a missing name costs one full circle.
  EXPECT_FALSE(Finds(a, "missing.txt"));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(LookupTest, LocaleFallsBackToNeutral) {
  ArchiveBuilder b;
  b.Add("neutral.txt", "n");
  b.Add("german.txt", "g").locale = 0x409;
  b.Add("both.txt", "neutral");
  b.Add("both.txt", "deutsch").locale = 0x407;
  ArchiveHandle a = Open(b);
  ASSERT_NE(a, nullptr);

  SetLocale(0x407);
  EXPECT_TRUE(Finds(a, "neutral.txt"));
  EXPECT_EQ(ReadNamed(a, "both.txt"), ToBytes("deutsch"));
  FileHandle f = nullptr;
  ASSERT_TRUE(OpenArchiveFile(a, "both.txt", 0, &f));
  EXPECT_EQ(GetArchiveFileInfo(f, INFO_LOCALE), 0x407u);
  CloseArchiveFile(f);

  EXPECT_EQ(SetLocale(0), 0u);
  EXPECT_EQ(GetLocale(), 0u);
  EXPECT_FALSE(Finds(a, "german.txt"));
  EXPECT_EQ(ReadNamed(a, "both.txt"), ToBytes("neutral"));
}

TEST_F(LookupTest, IndexOpens) {
  ArchiveBuilder b;
  b.HashTableSize(4096);
  b.Add("seventeen.txt", "17").hashIndex = 17;
  b.Add("five.txt", "5").hashIndex = 5;
  b.Add("gone.txt", "").hashIndex = 6;
  b.SetHashEntry(6, kDeleted);
  b.SetHashEntry(7, kDeletedMark);
  ArchiveHandle a = Open(b);
  ASSERT_NE(a, nullptr);

  FileHandle f = nullptr;
  ASSERT_TRUE(OpenArchiveFileByIndex(a, 17, &f));
  EXPECT_EQ(NameOf(f), "#17");
  EXPECT_EQ(ReadRest(f), ToBytes("17"));
  EXPECT_EQ(GetArchiveFileInfo(f, INFO_HASH_INDEX), 17u);
  CloseArchiveFile(f);

  // The "#N" text in a given archive is the same open.
  ASSERT_TRUE(OpenArchiveFile(a, "#5", 0, &f));
  EXPECT_EQ(NameOf(f), "#5");
  EXPECT_EQ(ReadRest(f), ToBytes("5"));
  CloseArchiveFile(f);

  EXPECT_FALSE(OpenArchiveFile(nullptr, "#5", 0, &f));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(OpenArchiveFileByIndex(nullptr, 5, &f));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(OpenArchiveFileByIndex(a, 18, &f));  // free
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  for (uint32_t mark : {6u, 7u}) {
    EXPECT_FALSE(OpenArchiveFileByIndex(a, mark, &f));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  }
  EXPECT_FALSE(OpenArchiveFileByIndex(a, 4096, &f));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(OpenArchiveFile(a, "#99999999999", 0, &f));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(OpenFileListCount, 0u);
  EXPECT_EQ(a->refCount, 1u);
}

TEST_F(LookupTest, EntriesThatNameNoUsableBlock) {
  ArchiveBuilder b;
  b.Add("absent.txt", "x").flags = 0;  // no BLOCK_EXISTS
  b.Add("broken.txt", "y").blockIndexInHash = 77;
  ArchiveHandle a = Open(b);
  ASSERT_NE(a, nullptr);
  FileHandle f = nullptr;
  EXPECT_FALSE(OpenArchiveFile(a, "absent.txt", 0, &f));
  EXPECT_EQ(GetLastError(), ERROR_FILE_INVALID);
  EXPECT_FALSE(OpenArchiveFile(a, "broken.txt", 0, &f));
  EXPECT_EQ(GetLastError(), ERROR_FILE_CORRUPT);
  EXPECT_EQ(a->refCount, 1u);
}

TEST_F(LookupTest, AllArchivesSearchFollowsPriority) {
  ArchiveBuilder low, high;
  low.Add("shared.txt", "low");
  high.Add("shared.txt", "high");
  low.Add("only-low.txt", "L");
  ArchiveHandle la = Open(low, nullptr, 1);
  ArchiveHandle ha = Open(high, nullptr, 2);
  ASSERT_NE(la, nullptr);
  ASSERT_NE(ha, nullptr);

  FileHandle f = nullptr;
  ASSERT_TRUE(OpenFileFromAnyArchive("shared.txt", &f));
  EXPECT_EQ(ReadRest(f), ToBytes("high"));
  ArchiveHandle owner = nullptr;
  ASSERT_TRUE(GetFileArchive(f, &owner));
  EXPECT_EQ(owner, ha);
  CloseArchiveFile(f);

  ASSERT_TRUE(SetArchivePriority(la, 3));
  ASSERT_TRUE(OpenArchiveFile(nullptr, "shared.txt", 0, &f));
  EXPECT_EQ(ReadRest(f), ToBytes("low"));
  CloseArchiveFile(f);

  // Scope 0 with a given archive looks there only.
  EXPECT_FALSE(OpenArchiveFile(ha, "only-low.txt", 0, &f));
  EXPECT_TRUE(OpenArchiveFile(ha, "only-low.txt", 1, &f));
  CloseArchiveFile(f);
}

TEST_F(LookupTest, DiskSearchModeOpensFilesNoArchiveHolds) {
  ArchiveHandle a = Open([] {
    ArchiveBuilder b;
    b.Add("in.txt", "stored");
    return b;
  }());
  ASSERT_NE(a, nullptr);
  const std::string disk = Write("loose.txt", ToBytes("on disk!"));

  FileHandle f = nullptr;
  EXPECT_FALSE(OpenArchiveFile(a, disk.c_str(), 0, &f));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  ASSERT_TRUE(OpenArchiveFile(a, disk.c_str(), 1, &f));
  EXPECT_EQ(NameOf(f), disk);
  EXPECT_EQ(GetArchiveFileSize(f, nullptr), 8u);
  EXPECT_EQ(GetArchiveFileInfo(f, INFO_HANDLE_KIND), 2u);
  EXPECT_EQ(GetArchiveFileInfo(f, INFO_COMPRESSED_SIZE), 8u);
  EXPECT_EQ(GetArchiveFileInfo(f, INFO_LOCALE), 0xFFFFFFFFu);
  EXPECT_EQ(GetLastError(), ERROR_UNKNOWN_PROPERTY);
  ArchiveHandle owner = a;
  ASSERT_TRUE(GetFileArchive(f, &owner));
  EXPECT_EQ(owner, nullptr);
  EXPECT_EQ(SetArchiveFilePointer(f, 3, nullptr, 0), 3u);
  EXPECT_EQ(GetArchiveFileInfo(f, INFO_POSITION), 3u);
  EXPECT_EQ(ReadRest(f), ToBytes("disk!"));
  OVERLAPPED ov{};
  ov.Offset = 1;
  char buffer[4];
  uint32_t got = 0;
  ASSERT_TRUE(ReadArchiveFile(f, buffer, 2, &got, &ov));
  EXPECT_EQ(std::string(buffer, 2), "n ");
  EXPECT_EQ(ov.InternalHigh, 2u);
  EXPECT_TRUE(CloseArchiveFile(f));

  // An archive still wins over the disk.
  ASSERT_TRUE(OpenArchiveFile(a, "in.txt", 1, &f));
  EXPECT_EQ(ReadRest(f), ToBytes("stored"));
  EXPECT_FALSE(OpenArchiveFile(a, Path("nowhere.txt").c_str(), 1, &f));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(LookupTest, HandleNamesAndInformation) {
  ArchiveBuilder b;
  b.SectorShift(2);
  b.Add("folder\\ten.chars", Bytes(3000, 1), BLOCK_COMPRESSED).locale = 0;
  testsupport::Layout layout;
  ArchiveHandle a = Open(b, &layout, 4);
  ASSERT_NE(a, nullptr);
  FileHandle f = nullptr;
  ASSERT_TRUE(OpenArchiveFile(a, "folder\\ten.chars", 0, &f));

  char buffer[8];
  std::memset(buffer, '!', sizeof buffer);
  ASSERT_TRUE(GetHandleName(f, buffer, 4));
  EXPECT_EQ(std::string(buffer, 5), "fold!");
  ASSERT_TRUE(GetHandleNameAlias(f, buffer, 4));
  EXPECT_EQ(NameOf(a), a->path);
  int stray = 0;
  SetLastError(1234);
  EXPECT_FALSE(GetHandleName(&stray, buffer, sizeof buffer));
  EXPECT_EQ(GetLastError(), 1234u);
  EXPECT_FALSE(GetHandleName(f, nullptr, 4));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  const testsupport::FileLayout* fl = layout.Find("folder\\ten.chars");
  ASSERT_NE(fl, nullptr);
  EXPECT_EQ(GetArchiveFileInfo(a, INFO_SECTOR_SHIFT), 2u);
  EXPECT_EQ(GetArchiveFileInfo(f, INFO_SECTOR_SHIFT), 2u);
  EXPECT_EQ(GetArchiveFileInfo(a, INFO_HASH_TABLE_SIZE), a->header.hashTableEntries);
  EXPECT_EQ(GetArchiveFileInfo(f, INFO_BLOCK_TABLE_SIZE), 1u);
  EXPECT_EQ(GetArchiveFileInfo(a, INFO_HANDLE_KIND), 1u);
  EXPECT_EQ(GetArchiveFileInfo(f, INFO_HANDLE_KIND), 2u);
  EXPECT_EQ(GetArchiveFileInfo(a, INFO_SIZE), a->header.archiveSize);
  EXPECT_EQ(GetArchiveFileInfo(f, INFO_SIZE), 3000u);
  EXPECT_EQ(GetArchiveFileInfo(f, INFO_COMPRESSED_SIZE), fl->block.storedSize);
  EXPECT_EQ(GetArchiveFileInfo(f, INFO_FLAGS), BLOCK_EXISTS | BLOCK_COMPRESSED);
  EXPECT_EQ(GetArchiveFileInfo(f, INFO_ARCHIVE),
            static_cast<uint32_t>(reinterpret_cast<uintptr_t>(a)));
  EXPECT_EQ(GetArchiveFileInfo(a, INFO_PRIORITY), 4u);
  EXPECT_EQ(GetArchiveFileInfo(f, INFO_HASH_INDEX), *fl->hashIndex);
  SetArchiveFilePointer(f, 1234, nullptr, 0);
  EXPECT_EQ(GetArchiveFileInfo(f, INFO_POSITION), 1234u);

  for (uint32_t code : {0u, 13u, 0xFFFFFFFFu}) {
    EXPECT_EQ(GetArchiveFileInfo(f, code), 0xFFFFFFFFu);
    EXPECT_EQ(GetLastError(), ERROR_UNKNOWN_PROPERTY);
  }
  EXPECT_EQ(GetArchiveFileInfo(f, INFO_PRIORITY), 0xFFFFFFFFu);
  EXPECT_EQ(GetLastError(), ERROR_UNKNOWN_PROPERTY);
  EXPECT_EQ(GetArchiveFileInfo(a, INFO_LOCALE), 0xFFFFFFFFu);
  EXPECT_EQ(GetLastError(), ERROR_UNKNOWN_PROPERTY);
  EXPECT_EQ(GetArchiveFileInfo(nullptr, INFO_SIZE), 0xFFFFFFFFu);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(GetArchiveFileInfo(&stray, INFO_SIZE), 0xFFFFFFFFu);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(LookupTest, ClosingChecksItsHandle) {
  SetLastError(4321);
  int stray = 0;
  EXPECT_FALSE(CloseArchiveFile(reinterpret_cast<FileHandle>(&stray)));  // nothing open
  EXPECT_EQ(GetLastError(), 4321u);
  EXPECT_FALSE(CloseArchiveFile(nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  ArchiveBuilder b;
  b.Add("a", "1");
  b.Add("b", "2");
  ArchiveHandle a = Open(b);
  FileHandle fa = nullptr, fb = nullptr, fa2 = nullptr;
  ASSERT_TRUE(OpenArchiveFile(a, "a", 0, &fa));
  ASSERT_TRUE(OpenArchiveFile(a, "b", 0, &fb));
  ASSERT_TRUE(OpenArchiveFile(a, "a", 0, &fa2));
  EXPECT_FALSE(CloseArchiveFile(reinterpret_cast<FileHandle>(&stray)));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(CloseArchiveFile(reinterpret_cast<FileHandle>(a)));
  ASSERT_TRUE(CloseArchiveFile(fb));
  ASSERT_EQ(OpenFileListCount, 2u);
  EXPECT_EQ(OpenFileList[0], fa);
  EXPECT_EQ(OpenFileList[1], fa2);
  EXPECT_EQ(a->refCount, 3u);
  EXPECT_FALSE(GetFileArchive(fb, &a));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
