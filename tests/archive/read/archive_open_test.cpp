// Finding the header, opening and closing archives, the archive list, the
// base directory and the library information.
#include <cstring>
#include <filesystem>
#include <string>

#include "tests/archive/read/read_test_util.h"

namespace {

using readtest::ArchiveTest;
using testsupport::ArchiveBuilder;
using testsupport::Bytes;

ArchiveBuilder OneFile() {
  ArchiveBuilder b;
  b.Add("a.txt", "alpha");
  return b;
}

class OpenTest : public ArchiveTest {};

TEST_F(OpenTest, HeaderIsFoundAtMultiplesOf512Only) {
  ArchiveBuilder at1024 = OneFile();
  at1024.Stub(1024);
  ArchiveHandle a = Open(at1024);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->headerOffset, 1024u);
  EXPECT_EQ(ReadNamed(a, "a.txt"), testsupport::ToBytes("alpha"));

  ArchiveBuilder at1000 = OneFile();
  at1000.Stub(1000);
  EXPECT_EQ(Open(at1000), nullptr);
  EXPECT_EQ(GetLastError(), ERR_NOT_ARCHIVE);
}

TEST_F(OpenTest, ShortOrMissingFilesDoNotOpen) {
  Bytes tiny = {'M', 'P', 'Q', 0x1A, 32, 0, 0, 0};
  EXPECT_EQ(OpenBytes(tiny), nullptr);
  ArchiveHandle a = nullptr;
  EXPECT_FALSE(OpenArchive(Path("missing.mpq").c_str(), 0, 0, &a));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(OpenArchive(nullptr, 0, 0, &a));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(OpenArchive(Path("x").c_str(), 0, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(ArchiveListCount, 0u);
}

TEST_F(OpenTest, SecondSignatureOpensAlike) {
  ArchiveBuilder b = OneFile();
  b.Bn3();
  ArchiveHandle a = Open(b);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(ReadNamed(a, "a.txt"), testsupport::ToBytes("alpha"));
}

TEST_F(OpenTest, ZeroBlockEntriesOpenZeroHashEntriesDoNot) {
  ArchiveBuilder empty;
  ArchiveHandle a = Open(empty);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->blockTable, nullptr);
  FileHandle f = nullptr;
  EXPECT_FALSE(OpenArchiveFile(a, "a.txt", 0, &f));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  ArchiveBuilder noHash = OneFile();
  noHash.PatchHeader([](ArchiveHeader& h) { h.hashTableEntries = 0; });
  EXPECT_EQ(Open(noHash), nullptr);
}

TEST_F(OpenTest, TablesRunningPastTheFileEndReadAsZeros) {
  ArchiveBuilder b = OneFile();
  Bytes bytes = b.Build();
  // Cut the last block-table entry's final word: the archive still opens.
  bytes.resize(bytes.size() - 4);
  ArchiveHandle a = OpenBytes(bytes);
  ASSERT_NE(a, nullptr);
}

// Header values no archive can have are refused before anything is sized by
// them.
TEST_F(OpenTest, ImpossibleHeaderValuesAreRefusedAsCorrupt) {
  const auto refused = [&](std::function<void(ArchiveHeader&)> patch) {
    ArchiveBuilder b = OneFile();
    b.PatchHeader(patch);
    SetLastError(0);
    ArchiveHandle a = Open(b);
    if (a != nullptr) CloseArchive(a);
    return a == nullptr && GetLastError() == ERROR_FILE_CORRUPT;
  };
  constexpr uint32_t kCeiling = kMaxTableBytes / kEntryBytes;
  EXPECT_TRUE(refused([](ArchiveHeader& h) { h.hashTableEntries = 0x10000000; }));  // 32-bit overflow
  EXPECT_TRUE(refused([](ArchiveHeader& h) { h.hashTableEntries = 0xFFFFFFFF; }));
  EXPECT_TRUE(refused([](ArchiveHeader& h) { h.hashTableEntries = kCeiling + 1; }));
  EXPECT_TRUE(refused([](ArchiveHeader& h) { h.blockTableEntries = 0x40000000; }));
  EXPECT_TRUE(refused([](ArchiveHeader& h) { h.blockTableEntries = kCeiling + 1; }));
  // More entries than the file holds is no reason to refuse.
  EXPECT_FALSE(refused([](ArchiveHeader& h) { h.hashTableEntries = kCeiling; }));
  EXPECT_FALSE(refused([](ArchiveHeader& h) { h.blockTableEntries = kCeiling; }));
  EXPECT_TRUE(refused([](ArchiveHeader& h) { h.sectorSizeShift = kMaxSectorSizeShift + 1; }));
  EXPECT_TRUE(refused([](ArchiveHeader& h) { h.sectorSizeShift = 0xFFFF; }));
  EXPECT_FALSE(refused([](ArchiveHeader& h) { h.sectorSizeShift = kMaxSectorSizeShift; }));
  EXPECT_FALSE(refused([](ArchiveHeader& h) { h.sectorSizeShift = 0; }));
}

TEST_F(OpenTest, ArchiveListKeepsPriorityOrderStably) {
  ArchiveHandle first5 = Open(OneFile(), nullptr, 5);
  ArchiveHandle seven = Open(OneFile(), nullptr, 7);
  ArchiveHandle second5 = Open(OneFile(), nullptr, 5);
  ASSERT_EQ(ArchiveListCount, 3u);
  EXPECT_EQ(ArchiveList[0], seven);
  EXPECT_EQ(ArchiveList[1], first5);
  EXPECT_EQ(ArchiveList[2], second5);

  ASSERT_TRUE(SetArchivePriority(first5, 9));
  EXPECT_EQ(ArchiveList[0], first5);
  EXPECT_EQ(ArchiveList[1], seven);
  EXPECT_EQ(ArchiveList[2], second5);
  EXPECT_EQ(GetArchiveFileInfo(first5, INFO_PRIORITY), 9u);

  ASSERT_TRUE(CloseArchive(seven));
  ASSERT_EQ(ArchiveListCount, 2u);
  EXPECT_EQ(ArchiveList[0], first5);
  EXPECT_EQ(ArchiveList[1], second5);
}

TEST_F(OpenTest, UnknownHandlesAreRefused) {
  ArchiveHandle a = Open(OneFile());
  ASSERT_NE(a, nullptr);
  int notAnArchive = 0;
  auto* bogus = reinterpret_cast<ArchiveHandle>(&notAnArchive);
  EXPECT_FALSE(CloseArchive(bogus));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(SetArchivePriority(bogus, 3));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(CloseArchive(nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  // A file handle is no archive handle.
  FileHandle f = nullptr;
  ASSERT_TRUE(OpenArchiveFile(a, "a.txt", 0, &f));
  EXPECT_FALSE(CloseArchive(reinterpret_cast<ArchiveHandle>(f)));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  ASSERT_TRUE(CloseArchive(a));
  EXPECT_FALSE(CloseArchive(a));  // closed twice
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(OpenTest, ClosingAnArchiveClosesItsFilesFirst) {
  ArchiveBuilder b;
  b.Add("a.txt", "alpha");
  b.Add("b.txt", "beta");
  ArchiveHandle a = Open(b);
  ArchiveHandle other = Open(b);
  FileHandle fa = nullptr, fb = nullptr, fo = nullptr;
  ASSERT_TRUE(OpenArchiveFile(a, "a.txt", 0, &fa));
  ASSERT_TRUE(OpenArchiveFile(other, "a.txt", 0, &fo));
  ASSERT_TRUE(OpenArchiveFile(a, "b.txt", 0, &fb));
  EXPECT_EQ(a->refCount, 3u);
  ASSERT_TRUE(CloseArchive(a));
  ASSERT_EQ(OpenFileListCount, 1u);
  EXPECT_EQ(OpenFileList[0], fo);
  uint32_t got = 0;
  char buffer[8];
  EXPECT_FALSE(ReadArchiveFile(fa, buffer, 5, &got, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(GetArchiveFileSize(fb, nullptr), 0xFFFFFFFFu);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(ReadArchiveFile(fo, buffer, 5, &got, nullptr));
  EXPECT_EQ(std::string(buffer, got), "alpha");
}

TEST_F(OpenTest, RelativePathFallsBackToTheBaseDirectory) {
  char saved[kMaxPath + 1];
  ASSERT_TRUE(GetBaseDirectory(saved, sizeof saved));
  ArchiveBuilder b = OneFile();
  b.WriteTo(Path("base-only.mpq"));
  ASSERT_FALSE(std::filesystem::exists("base-only.mpq"));
  ASSERT_TRUE(SetBaseDirectory(Root().string().c_str()));

  ArchiveHandle a = nullptr;
  ASSERT_TRUE(OpenArchive("base-only.mpq", 0, 0, &a));
  std::string expected = std::string(BaseDirectory) + "base-only.mpq";
  EXPECT_EQ(NameOf(a), expected);
  std::memcpy(BaseDirectory, saved, sizeof saved);
}

TEST_F(OpenTest, MakeLibraryPathRules) {
  char saved[kMaxPath + 1];
  std::memcpy(saved, BaseDirectory, sizeof saved);
  std::strcpy(BaseDirectory, "D:\\Tools\\");
  char out[64];

  EXPECT_EQ(MakeLibraryPath("x.mpq", nullptr, 0), 15u);
  EXPECT_EQ(MakeLibraryPath("x.mpq", out, 14), 15u);
  ASSERT_EQ(MakeLibraryPath("x.mpq", out, sizeof out), 0u);
  EXPECT_STREQ(out, "D:\\Tools\\x.mpq");

  ASSERT_EQ(MakeLibraryPath("E:\\x.mpq", out, sizeof out), 0u);
  EXPECT_STREQ(out, "E:\\x.mpq");

  ASSERT_EQ(MakeLibraryPath("\\data\\x.mpq", out, sizeof out), 0u);
  if (platform::IsAbsolutePath("\\data\\x.mpq")) {
    EXPECT_STREQ(out, "\\data\\x.mpq");  // POSIX: a leading separator is the root
  } else {
    EXPECT_STREQ(out, "D:\\data\\x.mpq");  // Windows: only the drive is missing
  }
  EXPECT_EQ(MakeLibraryPath(nullptr, out, sizeof out), 0xFFFFFFFFu);
  std::memcpy(BaseDirectory, saved, sizeof saved);
}

TEST_F(OpenTest, SetBaseDirectoryLimits) {
  char saved[kMaxPath + 1];
  std::memcpy(saved, BaseDirectory, sizeof saved);
  EXPECT_FALSE(SetBaseDirectory(""));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(SetBaseDirectory(Path("no-such-folder").c_str()));

  // A 259-character folder path gains its separator and fills all 260.
  const std::string root = Root().string() + "/";
  ASSERT_LT(root.size(), 200u);
  const std::string folder = root + std::string(259 - root.size(), 'd');
  ASSERT_EQ(folder.size(), 259u);
  std::error_code error;
  if (!std::filesystem::create_directory(folder, error)) {
    std::memcpy(BaseDirectory, saved, sizeof saved);
    GTEST_SKIP() << "the system refuses a folder path of 259 characters";
  }
  ASSERT_TRUE(SetBaseDirectory(folder.c_str()));
  EXPECT_EQ(std::strlen(BaseDirectory), 260u);
  EXPECT_EQ(BaseDirectory[259], '\\');
  char small[4] = {'x', 'x', 'x', 'x'};
  ASSERT_TRUE(GetBaseDirectory(small, 3));
  EXPECT_EQ(std::string(small, 3), std::string(BaseDirectory, 3));
  EXPECT_EQ(small[3], 'x');
  EXPECT_FALSE(SetBaseDirectory((folder + "e").c_str()));    // 260 without a separator
  EXPECT_TRUE(SetBaseDirectory((folder + "/").c_str()));     // 260 with one
  EXPECT_FALSE(SetBaseDirectory((folder + "//").c_str()));   // 261
  std::memcpy(BaseDirectory, saved, sizeof saved);
}

TEST(LibraryInfo, BannerAndVersions) {
  EXPECT_STREQ(GetLibraryBanner(), "Quillon Sorvane Library v1.06");
  char small[8] = {};
  EXPECT_EQ(CopyLibraryBanner(small, 7), 30u);
  EXPECT_EQ(std::string(small, 7), "Quillon");
  EXPECT_EQ(CopyLibraryBanner(nullptr, 0), 30u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(GetLibraryVersionNumber(), 2.0f);
  EXPECT_EQ(GetLibraryVersion64(), 0x0002000600000001ull);
}

TEST(LibraryStartup, BaseDirectoryIsTheExecutablesFolder) {
  char module[kMaxPath + 1] = {};
  ASSERT_GT(platform::GetModuleFileName(module, kMaxPath), 0u);
  std::string folder = module;
  for (char& c : folder) {
    if (c == '/') c = '\\';
  }
  folder.erase(folder.find_last_of('\\') + 1);
  EXPECT_EQ(std::string(BaseDirectory), folder);
}

}  // namespace
