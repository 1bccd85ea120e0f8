#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/platform/platform_test_util.h"

namespace {

using namespace platform;
using platform_test::ScratchFolder;

class FilesTest : public ScratchFolder {};

OsHandle Open(const std::string& path, uint32_t access, uint32_t disposition) {
  return CreateFile(path.c_str(), access, kFileShareRead | kFileShareWrite, disposition, kFileAttributeNormal);
}

TEST_F(FilesTest, CreateNewRefusesAnExistingFile) {
  const std::string path = Path("a.bin");
  OsHandle h = Open(path, kGenericWrite, kCreateNew);
  ASSERT_TRUE(IsValidHandle(h));
  EXPECT_TRUE(CloseHandle(h));

  SetLastError(0);
  EXPECT_EQ(Open(path, kGenericWrite, kCreateNew), InvalidHandle());
  EXPECT_EQ(GetLastError(), kErrorFileExists);
}

TEST_F(FilesTest, OpenExistingTellsMissingFileFromMissingFolder) {
  EXPECT_EQ(Open(Path("none.bin"), kGenericRead, kOpenExisting), InvalidHandle());
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
  EXPECT_EQ(Open(Path("nofolder/none.bin"), kGenericRead, kOpenExisting), InvalidHandle());
  EXPECT_EQ(GetLastError(), kErrorPathNotFound);
  EXPECT_EQ(Open(Path("none.bin"), kGenericRead | kGenericWrite, kTruncateExisting), InvalidHandle());
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
}

TEST_F(FilesTest, CreateAlwaysTruncatesAndReportsAnExistingFile) {
  const std::string path = Path("b.txt");
  SetLastError(1234);
  OsHandle h = Open(path, kGenericWrite, kCreateAlways);
  ASSERT_TRUE(IsValidHandle(h));
  EXPECT_EQ(GetLastError(), kErrorSuccess);
  CloseHandle(h);

  WriteText(path, "long old contents");
  h = Open(path, kGenericWrite, kCreateAlways);
  ASSERT_TRUE(IsValidHandle(h));
  EXPECT_EQ(GetLastError(), kErrorAlreadyExists);
  EXPECT_EQ(GetFileSize(h, nullptr), 0u);
  CloseHandle(h);
}

TEST_F(FilesTest, OpenAlwaysKeepsContentsAndTruncateExistingEmpties) {
  const std::string path = Path("c.txt");
  SetLastError(1234);
  OsHandle h = Open(path, kGenericRead | kGenericWrite, kOpenAlways);
  ASSERT_TRUE(IsValidHandle(h));
  EXPECT_EQ(GetLastError(), kErrorSuccess);
  CloseHandle(h);

  WriteText(path, "kept");
  h = Open(path, kGenericRead | kGenericWrite, kOpenAlways);
  ASSERT_TRUE(IsValidHandle(h));
  EXPECT_EQ(GetLastError(), kErrorAlreadyExists);
  EXPECT_EQ(GetFileSize(h, nullptr), 4u);
  CloseHandle(h);

  h = Open(path, kGenericWrite, kTruncateExisting);
  ASSERT_TRUE(IsValidHandle(h));
  EXPECT_EQ(GetFileSize(h, nullptr), 0u);
  CloseHandle(h);
}

TEST_F(FilesTest, UnknownDispositionIsAParameterError) {
  EXPECT_EQ(Open(Path("d.txt"), kGenericWrite, 0), InvalidHandle());
  EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
  EXPECT_EQ(Open(Path("d.txt"), kGenericWrite, 6), InvalidHandle());
  EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
  EXPECT_FALSE(FileExists(Path("d.txt").c_str()));
}

TEST_F(FilesTest, OpeningAFolderIsDenied) {
  EXPECT_EQ(Open(root_.string(), kGenericRead, kOpenExisting), InvalidHandle());
  EXPECT_EQ(GetLastError(), kErrorAccessDenied);
}

TEST_F(FilesTest, ReadAtEndSucceedsWithNothing) {
  const std::string path = Path("e.txt");
  WriteText(path, "abc");
  OsHandle h = Open(path, kGenericRead, kOpenExisting);
  ASSERT_TRUE(IsValidHandle(h));
  char buffer[16] = {};
  uint32_t got = 99;
  ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &got));
  EXPECT_EQ(got, 3u);
  EXPECT_EQ(std::string(buffer, got), "abc");
  got = 99;
  EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &got));
  EXPECT_EQ(got, 0u);
  CloseHandle(h);
}

TEST_F(FilesTest, AccessIsEnforced) {
  const std::string path = Path("f.txt");
  WriteText(path, "abc");
  OsHandle h = Open(path, kGenericRead, kOpenExisting);
  ASSERT_TRUE(IsValidHandle(h));
  uint32_t written = 99;
  EXPECT_FALSE(WriteFile(h, "x", 1, &written));
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(GetLastError(), kErrorAccessDenied);
  CloseHandle(h);

  h = Open(path, kGenericWrite, kOpenExisting);
  ASSERT_TRUE(IsValidHandle(h));
  char c;
  uint32_t got = 99;
  EXPECT_FALSE(ReadFile(h, &c, 1, &got));
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(GetLastError(), kErrorAccessDenied);
  CloseHandle(h);
}

TEST_F(FilesTest, FilePointerMovesLikeWin32) {
  const std::string path = Path("g.bin");
  OsHandle h = Open(path, kGenericRead | kGenericWrite, kCreateAlways);
  ASSERT_TRUE(IsValidHandle(h));
  ASSERT_TRUE(WriteFile(h, "0123456789", 10, nullptr));

  EXPECT_EQ(SetFilePointer(h, 0, nullptr, kFileCurrent), 10u);
  EXPECT_EQ(SetFilePointer(h, 3, nullptr, kFileBegin), 3u);
  EXPECT_EQ(SetFilePointer(h, 2, nullptr, kFileCurrent), 5u);
  EXPECT_EQ(SetFilePointer(h, -4, nullptr, kFileEnd), 6u);
  char c = 0;
  ASSERT_TRUE(ReadFile(h, &c, 1, nullptr));
  EXPECT_EQ(c, '6');

  // Before the start: refused, and the position stays where it was.
  EXPECT_EQ(SetFilePointer(h, -100, nullptr, kFileCurrent), kInvalidSetFilePointer);
  EXPECT_EQ(GetLastError(), kErrorNegativeSeek);
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, kFileCurrent), 7u);

  // The high part carries the upper half both ways.
  int32_t high = 1;
  EXPECT_EQ(SetFilePointer(h, 0x10, &high, kFileBegin), 0x10u);
  EXPECT_EQ(high, 1);
  high = -1;
  EXPECT_EQ(SetFilePointer(h, -0x10, &high, kFileCurrent), 0u);
  EXPECT_EQ(high, 1);
  high = 0;
  EXPECT_EQ(SetFilePointer(h, 4, &high, kFileBegin), 4u);
  EXPECT_EQ(high, 0);
  high = -1;
  EXPECT_EQ(SetFilePointer(h, -1, &high, kFileBegin), kInvalidSetFilePointer);
  EXPECT_EQ(GetLastError(), kErrorNegativeSeek);

  EXPECT_EQ(SetFilePointer(h, 0, nullptr, 7), kInvalidSetFilePointer);
  EXPECT_EQ(GetLastError(), kErrorInvalidParameter);

  // Without a high part, a position past 4 GiB cannot be told: refused,
  // never cut to its low part, and the position stays.
  high = 1;
  ASSERT_EQ(SetFilePointer(h, 0x10, &high, kFileBegin), 0x10u);
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, kFileCurrent), kInvalidSetFilePointer);
  EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
  high = 0;
  EXPECT_EQ(SetFilePointer(h, 0, &high, kFileCurrent), 0x10u);
  EXPECT_EQ(high, 1);
  CloseHandle(h);
}

TEST_F(FilesTest, SizesAndEndOfFile) {
  const std::string path = Path("h.bin");
  OsHandle h = Open(path, kGenericRead | kGenericWrite, kCreateAlways);
  ASSERT_TRUE(IsValidHandle(h));
  ASSERT_TRUE(WriteFile(h, "0123456789", 10, nullptr));
  uint32_t high = 77;
  EXPECT_EQ(GetFileSize(h, &high), 10u);
  EXPECT_EQ(high, 0u);

  ASSERT_EQ(SetFilePointer(h, 4, nullptr, kFileBegin), 4u);
  ASSERT_TRUE(SetEndOfFile(h));
  uint64_t size = 0;
  ASSERT_TRUE(GetFileSize64(h, &size));
  EXPECT_EQ(size, 4u);

  // Growing through the end of file fills with zeros.
  ASSERT_EQ(SetFilePointer(h, 8, nullptr, kFileBegin), 8u);
  ASSERT_TRUE(SetEndOfFile(h));
  EXPECT_EQ(GetFileSize(h, nullptr), 8u);
  ASSERT_TRUE(FlushFileBuffers(h));
  CloseHandle(h);
  EXPECT_EQ(ReadText(path), std::string("0123\0\0\0\0", 8));
}

TEST_F(FilesTest, PositionedReadsAndWrites) {
  const std::string path = Path("i.bin");
  OsHandle h = Open(path, kGenericRead | kGenericWrite, kCreateAlways);
  ASSERT_TRUE(IsValidHandle(h));
  uint32_t done = 0;
  ASSERT_TRUE(WriteFileAt(h, 6, "world", 5, &done));
  EXPECT_EQ(done, 5u);
  ASSERT_TRUE(WriteFileAt(h, 0, "hello ", 6, &done));
  char buffer[32] = {};
  ASSERT_TRUE(ReadFileAt(h, 3, buffer, sizeof buffer, &done));
  EXPECT_EQ(std::string(buffer, done), "lo world");
  ASSERT_TRUE(ReadFileAt(h, 100, buffer, sizeof buffer, &done));
  EXPECT_EQ(done, 0u);
  CloseHandle(h);
}

// No file reaches past 2^63 bytes; a position there (the system reads the
// last two as "the end" and "the file pointer") is refused, never used.
TEST_F(FilesTest, PositionsPastTheLargestFileAreRefused) {
  OsHandle h = Open(Path("k.bin"), kGenericRead | kGenericWrite, kCreateAlways);
  ASSERT_TRUE(IsValidHandle(h));
  uint32_t done = 0;
  ASSERT_TRUE(WriteFileAt(h, 0, "abc", 3, &done));
  const uint64_t far[] = {~0ull, ~0ull - 1, 1ull << 63};
  char buffer[4] = {};
  for (uint64_t at : far) {
    EXPECT_FALSE(WriteFileAt(h, at, "x", 1, &done)) << at;
    EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
    const WritePiece piece = {"y", 1};
    EXPECT_FALSE(WritePiecesAt(h, at, &piece, 1)) << at;
    EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
    EXPECT_FALSE(ReadFileAt(h, at, buffer, 1, &done)) << at;
    EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
  }
  CloseHandle(h);
  EXPECT_EQ(ReadText(Path("k.bin")), "abc");
}

TEST_F(FilesTest, LargeTransfersArriveWhole) {
  const std::string path = Path("j.bin");
  std::vector<uint8_t> data(3 * 1024 * 1024 + 17);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + (i >> 11));
  OsHandle h = Open(path, kGenericRead | kGenericWrite, kCreateAlways);
  ASSERT_TRUE(IsValidHandle(h));
  uint32_t done = 0;
  ASSERT_TRUE(WriteFile(h, data.data(), static_cast<uint32_t>(data.size()), &done));
  EXPECT_EQ(done, data.size());
  ASSERT_EQ(SetFilePointer(h, 0, nullptr, kFileBegin), 0u);
  std::vector<uint8_t> back(data.size());
  ASSERT_TRUE(ReadFile(h, back.data(), static_cast<uint32_t>(back.size()), &done));
  EXPECT_EQ(done, data.size());
  EXPECT_TRUE(back == data);
  CloseHandle(h);
}

TEST_F(FilesTest, BadHandlesFailCleanly) {
  char c;
  uint32_t n = 5;
  for (OsHandle bad : {InvalidHandle(), static_cast<OsHandle>(nullptr)}) {
    SetLastError(0);
    EXPECT_FALSE(ReadFile(bad, &c, 1, &n));
    EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
    EXPECT_FALSE(WriteFile(bad, &c, 1, &n));
    EXPECT_EQ(SetFilePointer(bad, 0, nullptr, kFileBegin), kInvalidSetFilePointer);
    EXPECT_EQ(GetFileSize(bad, nullptr), kInvalidFileSize);
    EXPECT_FALSE(CloseHandle(bad));
    EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
  }
}

TEST_F(FilesTest, BackslashPathsWork) {
  ASSERT_TRUE(CreateDirectory(BackslashPath("sub").c_str()));
  const std::string path = BackslashPath("sub\\file.txt");
  WriteText(path, "through backslashes");
  EXPECT_EQ(ReadText(Path("sub/file.txt")), "through backslashes");
  EXPECT_TRUE(FileExists(path.c_str()));
  EXPECT_NE(GetFileAttributes(path.c_str()) & kFileAttributeArchive, 0u);
  EXPECT_TRUE(MoveFileReplace(path.c_str(), BackslashPath("sub\\moved.txt").c_str()));
  EXPECT_TRUE(DeleteFile(BackslashPath("sub\\moved.txt").c_str()));
  EXPECT_TRUE(RemoveDirectory(BackslashPath("sub").c_str()));
  EXPECT_FALSE(FileExists(Path("sub").c_str()));
}

TEST_F(FilesTest, MoveReplacesAnExistingTarget) {
  WriteText(Path("from.txt"), "new");
  WriteText(Path("to.txt"), "old contents");
  ASSERT_TRUE(MoveFileReplace(Path("from.txt").c_str(), Path("to.txt").c_str()));
  EXPECT_EQ(ReadText(Path("to.txt")), "new");
  EXPECT_FALSE(FileExists(Path("from.txt").c_str()));

  EXPECT_FALSE(MoveFileReplace(Path("from.txt").c_str(), Path("to.txt").c_str()));
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
}

TEST_F(FilesTest, DeleteMissingFile) {
  EXPECT_FALSE(DeleteFile(Path("missing.txt").c_str()));
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
  EXPECT_FALSE(DeleteFile(Path("nofolder/missing.txt").c_str()));
  EXPECT_EQ(GetLastError(), kErrorPathNotFound);
}

}  // namespace

// A folder listing tells a walk everything it needs of each entry without
// another question: kinds (links not followed, and where they lead), sizes
// and times of files, and identities that match the file's own.
TEST_F(FilesTest, FolderListingCarriesKindsSizesAndTimes) {
  namespace fs = std::filesystem;
  WriteText(Path("one.txt"), "12345");
  WriteText(Path("empty"), "");
  ASSERT_TRUE(platform::CreateDirectory(Path("sub").c_str()));
  bool links = true;
  std::error_code ec;
  fs::create_symlink(Path("one.txt"), Path("to-file"), ec);
  if (ec) links = false;  // Windows without the right to make links
  if (links) {
    fs::create_directory_symlink(Path("sub"), Path("to-folder"), ec);
    fs::create_symlink(Path("nowhere"), Path("dangling"), ec);
  }
  std::vector<platform::FolderEntry> entries;
  ASSERT_TRUE(platform::ListFolder(Path("").c_str(), &entries));
  std::map<std::string, platform::FolderEntry> byName;
  for (const platform::FolderEntry& e : entries) byName[e.name] = e;
  EXPECT_EQ(byName.size(), entries.size());
  EXPECT_EQ(byName.size(), links ? 6u : 3u);
  using platform::EntryKind;
  const platform::FolderEntry& one = byName["one.txt"];
  EXPECT_EQ(one.kind, EntryKind::File);
  EXPECT_EQ(one.size, 5u);
  platform::OsHandle h = platform::OpenFileForReading(Path("one.txt").c_str());
  ASSERT_TRUE(platform::IsValidHandle(h));
  uint64_t time = 0;
  EXPECT_TRUE(platform::GetFileWriteTime(h, &time));
  EXPECT_EQ(one.writeTime, time);
  char buffer[16] = {};
  uint32_t got = 0;
  EXPECT_TRUE(platform::ReadOnce(h, buffer, sizeof buffer, &got));
  EXPECT_EQ(std::string(buffer, got), "12345");
  EXPECT_TRUE(platform::ReadOnce(h, buffer, sizeof buffer, &got));
  EXPECT_EQ(got, 0u);
  platform::CloseHandle(h);
  uint64_t device = 0, id = 0;
  ASSERT_TRUE(platform::GetFileIdentity(Path("one.txt").c_str(), &device, &id));
  if (one.fileId != 0) {
    EXPECT_EQ(one.fileId, id);
    EXPECT_EQ(one.device, device);
  }
  EXPECT_EQ(byName["empty"].kind, EntryKind::File);
  EXPECT_EQ(byName["empty"].size, 0u);
  EXPECT_EQ(byName["sub"].kind, EntryKind::Folder);
  if (links) {
    EXPECT_EQ(byName["to-file"].kind, EntryKind::Link);
    EXPECT_EQ(byName["to-file"].target, EntryKind::File);
    EXPECT_EQ(byName["to-file"].size, 5u);
    EXPECT_EQ(byName["to-folder"].target, EntryKind::Folder);
    EXPECT_EQ(byName["dangling"].kind, EntryKind::Link);
    EXPECT_EQ(byName["dangling"].target, EntryKind::Missing);
  }

  // A folder opens for reading this way, and its first read refuses it.
  h = platform::OpenFileForReading(Path("sub").c_str());
  if (platform::IsValidHandle(h)) {
    EXPECT_FALSE(platform::ReadOnce(h, buffer, sizeof buffer, &got));
    EXPECT_EQ(platform::GetLastError(), platform::kErrorAccessDenied);
    platform::CloseHandle(h);
  }
  EXPECT_FALSE(platform::IsValidHandle(platform::OpenFileForReading(Path("missing").c_str())));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorFileNotFound);
  EXPECT_FALSE(platform::ListFolder(Path("missing").c_str(), &entries));
}

#ifdef _WIN32
// A file read whole for an archive keeps writers out, as larger sources
// opened with read sharing do: no program changes it while it is read.
TEST_F(FilesTest, AFileOpenForReadingKeepsWritersOut) {
  using namespace platform;
  WriteText(Path("a.txt"), "abc");
  OsHandle reader = OpenFileForReading(Path("a.txt").c_str());
  ASSERT_TRUE(IsValidHandle(reader));
  OsHandle writer = CreateFile(Path("a.txt").c_str(), kGenericWrite, kFileShareRead | kFileShareWrite, kOpenExisting, 0);
  EXPECT_FALSE(IsValidHandle(writer));
  EXPECT_EQ(GetLastError(), kErrorSharingViolation);
  CloseHandle(writer);
  CloseHandle(reader);
}
#endif
