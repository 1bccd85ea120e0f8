#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/platform/platform_test_util.h"

namespace {

using namespace platform;
using platform_test::ScratchFolder;

class FoldersTest : public ScratchFolder {};

TEST_F(FoldersTest, CreateDirectoryReportsExistingAndMissingParent) {
  const std::string folder = Path("made");
  ASSERT_TRUE(CreateDirectory(folder.c_str()));
  EXPECT_FALSE(CreateDirectory(folder.c_str()));
  EXPECT_EQ(GetLastError(), kErrorAlreadyExists);

  WriteText(Path("plain.txt"), "x");
  EXPECT_FALSE(CreateDirectory(Path("plain.txt").c_str()));
  EXPECT_EQ(GetLastError(), kErrorAlreadyExists);

  EXPECT_FALSE(CreateDirectory(Path("no/such/parent").c_str()));
  EXPECT_EQ(GetLastError(), kErrorPathNotFound);
}

TEST_F(FoldersTest, RemoveDirectoryRefusesNonEmpty) {
  ASSERT_TRUE(CreateDirectory(Path("full").c_str()));
  WriteText(Path("full/inside.txt"), "x");
  EXPECT_FALSE(RemoveDirectory(Path("full").c_str()));
  EXPECT_EQ(GetLastError(), kErrorDirNotEmpty);
  ASSERT_TRUE(DeleteFile(Path("full/inside.txt").c_str()));
  EXPECT_TRUE(RemoveDirectory(Path("full").c_str()));
}

TEST_F(FoldersTest, Attributes) {
  WriteText(Path("file.txt"), "x");
  const uint32_t folder = GetFileAttributes(root_.string().c_str());
  ASSERT_NE(folder, kInvalidFileAttributes);
  EXPECT_NE(folder & kFileAttributeDirectory, 0u);
  const uint32_t file = GetFileAttributes(Path("file.txt").c_str());
  ASSERT_NE(file, kInvalidFileAttributes);
  EXPECT_EQ(file & kFileAttributeDirectory, 0u);
  EXPECT_EQ(file & kFileAttributeReadOnly, 0u);

  EXPECT_EQ(GetFileAttributes(Path("missing").c_str()), kInvalidFileAttributes);
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
  EXPECT_EQ(GetFileAttributes(Path("missing/deeper").c_str()), kInvalidFileAttributes);
  EXPECT_EQ(GetLastError(), kErrorPathNotFound);
}

TEST_F(FoldersTest, FileExistsForFilesAndFolders) {
  WriteText(Path("file.txt"), "x");
  EXPECT_TRUE(FileExists(Path("file.txt").c_str()));
  EXPECT_TRUE(FileExists(root_.string().c_str()));
  EXPECT_FALSE(FileExists(Path("nothing").c_str()));
  EXPECT_FALSE(FileExists(""));
}

TEST_F(FoldersTest, CurrentDirectoryRoundTrip) {
  const uint32_t needed = GetCurrentDirectory(0, nullptr);
  ASSERT_GT(needed, 1u);
  std::vector<char> saved(needed);
  ASSERT_EQ(GetCurrentDirectory(needed, saved.data()), needed - 1);
  // One byte short asks again for the full size with its terminator.
  std::vector<char> small(needed - 1, 'x');
  EXPECT_EQ(GetCurrentDirectory(needed - 1, small.data()), needed);

  ASSERT_TRUE(SetCurrentDirectory(BackslashPath("").c_str()));
  WriteText("relative.txt", "here");
  EXPECT_EQ(ReadText(Path("relative.txt")), "here");
  char here[4096];
  const uint32_t length = GetCurrentDirectory(sizeof here, here);
  ASSERT_GT(length, 0u);
  ASSERT_LT(length, sizeof here);
  EXPECT_NE(here[length - 1], PathSeparator());
  EXPECT_TRUE(FileExists((std::string(here) + "/relative.txt").c_str()));

  ASSERT_TRUE(SetCurrentDirectory(saved.data()));
  EXPECT_FALSE(SetCurrentDirectory(Path("missing").c_str()));
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
}

TEST(PathsTest, AbsolutePaths) {
  EXPECT_TRUE(IsAbsolutePath("C:\\games\\a.mpq"));
  EXPECT_TRUE(IsAbsolutePath("d:/games"));
  EXPECT_TRUE(IsAbsolutePath("\\\\host.example\\share\\a.mpq"));
  EXPECT_TRUE(IsAbsolutePath("\\\\?\\C:\\a.mpq"));
  EXPECT_FALSE(IsAbsolutePath("C:games"));
  EXPECT_FALSE(IsAbsolutePath("1:\\x"));
  EXPECT_FALSE(IsAbsolutePath("games\\a.mpq"));
  EXPECT_FALSE(IsAbsolutePath(""));
  EXPECT_FALSE(IsAbsolutePath(nullptr));
#ifdef _WIN32
  EXPECT_EQ(PathSeparator(), '\\');
#else
  EXPECT_TRUE(IsAbsolutePath("/usr"));
  EXPECT_TRUE(IsAbsolutePath("\\usr"));
  EXPECT_EQ(PathSeparator(), '/');
#endif
}

TEST_F(FoldersTest, DriveTypes) {
#ifdef _WIN32
  EXPECT_EQ(GetDriveType("C:\\"), kDriveFixed);
#else
  EXPECT_EQ(GetDriveType(root_.string().c_str()), kDriveFixed);
  EXPECT_EQ(GetDriveType(Path("missing").c_str()), kDriveNoRootDir);
  WriteText(Path("file.txt"), "x");
  EXPECT_EQ(GetDriveType(Path("file.txt").c_str()), kDriveNoRootDir);
#endif
}

TEST(ErrorsTest, LastErrorBelongsToTheThread) {
  // The threads hand over through atomics alone: starting and joining a
  // thread may itself touch the last error on Windows.
  std::atomic<int> step{0};
  uint32_t seenThere = 1;
  std::thread other([&] {
    while (step.load() != 1) {
    }
    seenThere = GetLastError();
    SetLastError(kErrorUnknownProperty);
    step.store(2);
    while (step.load() != 3) {
    }
  });
  SetLastError(kErrorFileCorrupt);
  step.store(1);
  while (step.load() != 2) {
  }
  const uint32_t seenHere = GetLastError();
  step.store(3);
  other.join();
  EXPECT_NE(seenThere, kErrorFileCorrupt);
  EXPECT_EQ(seenHere, kErrorFileCorrupt);
}

TEST(ErrorsTest, SystemMessages) {
  std::string text = "stale";
  for (uint32_t code : {kErrorFileNotFound, kErrorAccessDenied, kErrorInvalidParameter, kErrorNegativeSeek,
                        kErrorFileCorrupt, kErrorAlreadyExists}) {
    ASSERT_TRUE(FormatSystemMessage(code, text)) << code;
    ASSERT_GE(text.size(), 2u);
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n") << code;
  }
#ifndef _WIN32
  ASSERT_TRUE(FormatSystemMessage(kErrorFileNotFound, text));
  EXPECT_EQ(text, "The system cannot find the file specified.\r\n");
  ASSERT_TRUE(FormatSystemMessage(kErrorAccessDenied, text));
  EXPECT_EQ(text, "Access is denied.\r\n");
#endif
  EXPECT_FALSE(FormatSystemMessage(0x2345678u, text));
  EXPECT_TRUE(text.empty());
}

TEST(ProcessTest, TickCountDoesNotGoBackwards) {
  uint32_t previous = GetTickCount();
  for (int i = 0; i < 1000; ++i) {
    const uint32_t now = GetTickCount();
    // Unsigned difference so a wrap of the counter still counts as forward.
    EXPECT_LT(now - previous, 60000u);
    previous = now;
  }
}

TEST(ProcessTest, ModuleFileNameIsThisProgram) {
  char path[4096];
  const uint32_t length = GetModuleFileName(path, sizeof path);
  ASSERT_GT(length, 0u);
  ASSERT_LT(length, sizeof path);
  EXPECT_EQ(strlen(path), length);
  EXPECT_TRUE(IsAbsolutePath(path));
  EXPECT_TRUE(FileExists(path));
  EXPECT_NE(std::string(path).find("platform_tests"), std::string::npos) << path;

  char small[5];
  memset(small, 'x', sizeof small);
  EXPECT_EQ(GetModuleFileName(small, sizeof small), sizeof small);
  EXPECT_EQ(small[4], '\0');
  EXPECT_EQ(std::string(small), std::string(path, 4));
  EXPECT_EQ(GetLastError(), kErrorInsufficientBuffer);
}

TEST(ProcessTest, ProcessorCountIsTheProcessorsThisProcessMayUse) {
  const uint32_t count = ProcessorCount();
  EXPECT_GE(count, 1u);
  const unsigned all = std::thread::hardware_concurrency();
  if (all != 0) {
    EXPECT_LE(count, all);
  }
}

// A duplicate of a folder handle lives on its own, and files made through
// it on several threads at once each end as their thread leaves them. More
// threads come and go than there are marks for files being written: a
// thread that ends gives its mark back.
TEST_F(FoldersTest, DuplicatedFolderHandlesWriteFromSeveralThreads) {
  FolderHandle root = OpenFolder(Path("").c_str());
  ASSERT_NE(root, nullptr);
  std::vector<FolderHandle> copies;
  for (int i = 0; i < 4; ++i) {
    copies.push_back(DuplicateFolder(root));
    ASSERT_NE(copies.back(), nullptr);
  }
  CloseFolder(root);
  std::atomic<int> failed{0};
  constexpr int kRounds = 40, kFiles = 4;
  for (int round = 0; round < kRounds; ++round) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t, round] {
        for (int i = 0; i < kFiles; ++i) {
          const std::string name = "f" + std::to_string(round) + "_" + std::to_string(t) + "_" + std::to_string(i);
          FolderHandle folder = copies[static_cast<size_t>(t)];
          OsHandle file = CreateFileIn(folder, name.c_str());
          if (!IsValidHandle(file)) {
            ++failed;
            continue;
          }
          uint32_t written = 0;
          if (!WriteFile(file, name.data(), static_cast<uint32_t>(name.size()), &written)) ++failed;
          CloseHandle(file);
          // Every other file is kept, the rest removed again.
          const bool ok = i % 2 == 0 ? FinishFileIn(folder, name.c_str(), name.c_str())
                                     : DeleteFileIn(folder, name.c_str());
          if (!ok) ++failed;
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
  }
  for (FolderHandle copy : copies) CloseFolder(copy);
  EXPECT_EQ(failed.load(), 0);
  for (int round = 0; round < kRounds; ++round) {
    for (int t = 0; t < 4; ++t) {
      for (int i = 0; i < kFiles; ++i) {
        const std::string name = "f" + std::to_string(round) + "_" + std::to_string(t) + "_" + std::to_string(i);
        EXPECT_EQ(FileExists(Path(name).c_str()), i % 2 == 0) << name;
      }
    }
  }
}

// A file made in a folder is a file of that folder under its own name, or
// no file at all: names that the system would take for a device (on
// Windows "nul", "con.txt", "COM1"...) must not swallow what is written
// while the write looks done, nor names it would change or read as a
// stream of another file ("a.", "a ", "a:b").
TEST_F(FoldersTest, AFileMadeInAFolderIsThereOrRefused) {
  const std::vector<std::string> names = {"nul",  "NUL.txt", "con",     "Con.mdx", "aux",    "prn.x",  "com1",
                                          "LPT9.wav", "nul .txt", "conin$", "conout$", "nul.a.b", "ok.txt",
                                          "dot.", "blank ", "ok.txt:s"};
  FolderHandle folder = OpenFolder(Path("").c_str());
  ASSERT_NE(folder, nullptr);
  for (const std::string& name : names) {
    OsHandle file = CreateFileIn(folder, name.c_str());
    if (!IsValidHandle(file)) {
      EXPECT_NE(name, "ok.txt");
      continue;
    }
    uint32_t written = 0;
    const bool wrote = WriteFile(file, name.data(), static_cast<uint32_t>(name.size()), &written);
    CloseHandle(file);
    ASSERT_TRUE(wrote && FinishFileIn(folder, name.c_str(), name.c_str())) << name;
    bool listed = false;
    for (const auto& entry : std::filesystem::directory_iterator(Path(""))) {
      listed = listed || (entry.path().filename().string() == name && entry.is_regular_file());
    }
    EXPECT_TRUE(listed) << "\"" << name << "\" was written, but not into the folder";
  }
  CloseFolder(folder);
}

#ifdef _WIN32
// "X:" alone is the folder current on drive X, as "X:name" is a name in it;
// its root would be another folder.
TEST_F(FoldersTest, ABareDriveIsItsCurrentFolder) {
  WriteText(Path("here.txt"), "x");
  char saved[4096];
  ASSERT_GT(GetCurrentDirectory(sizeof saved, saved), 0u);
  ASSERT_TRUE(SetCurrentDirectory(BackslashPath("").c_str()));
  const std::string drive = root_.string().substr(0, 2);
  FolderHandle folder = OpenFolder(drive.c_str());
  const EntryKind kind = folder != nullptr ? GetEntryKind(folder, "here.txt") : EntryKind::Missing;
  CloseFolder(folder);
  std::vector<FolderEntry> entries;
  const bool listed = ListFolder(drive.c_str(), &entries);
  ASSERT_TRUE(SetCurrentDirectory(saved));
  EXPECT_EQ(kind, EntryKind::File);
  ASSERT_TRUE(listed);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "here.txt");
}
#endif

#ifdef _WIN32
// "X:name" lies on drive X whatever the current folder's drive is.
TEST_F(FoldersTest, FreeSpaceOfADriveRelativePathIsThatDrives) {
  uint64_t bytes = 0;
  EXPECT_TRUE(GetFreeDiskSpace((root_.string().substr(0, 2) + "new.mpq").c_str(), &bytes));
  std::string missing;
  for (char letter = 'Y'; letter > 'D' && missing.empty(); --letter) {
    if (GetDriveType((std::string(1, letter) + ":\\").c_str()) == kDriveNoRootDir) missing = std::string(1, letter);
  }
  ASSERT_FALSE(missing.empty());
  EXPECT_FALSE(GetFreeDiskSpace((missing + ":new.mpq").c_str(), &bytes));
}
#endif

#ifdef _WIN32
// A file being written below an output folder is changed by this program
// alone until it is finished.
TEST_F(FoldersTest, AFileBeingWrittenKeepsOtherWritersOut) {
  FolderHandle folder = OpenFolder(Path("").c_str());
  ASSERT_NE(folder, nullptr);
  OsHandle file = CreateFileIn(folder, "a.txt");
  ASSERT_TRUE(IsValidHandle(file));
  OsHandle other = CreateFile(Path("a.txt").c_str(), kGenericWrite, kFileShareRead | kFileShareWrite | kFileShareDelete,
                              kOpenExisting, 0);
  EXPECT_FALSE(IsValidHandle(other));
  EXPECT_EQ(GetLastError(), kErrorSharingViolation);
  CloseHandle(other);
  CloseHandle(file);
  EXPECT_TRUE(DeleteFileIn(folder, "a.txt"));
  CloseFolder(folder);
}
#endif

TEST(MemoryTest, PagesStartZeroed) {
  const size_t size = 1 << 20;
  auto* block = static_cast<uint8_t*>(VirtualAlloc(size));
  ASSERT_NE(block, nullptr);
  size_t nonzero = 0;
  for (size_t i = 0; i < size; ++i) nonzero += block[i] != 0;
  EXPECT_EQ(nonzero, 0u);
  block[size - 1] = 1;
  VirtualFree(block);
  VirtualFree(nullptr);

  EXPECT_EQ(VirtualAlloc(0), nullptr);
  EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
}

TEST(LibraryTest, MissingLibraryAndEntries) {
  EXPECT_EQ(LoadLibrary("no-such-library-for-tavrix.dll"), nullptr);
  EXPECT_EQ(GetLastError(), kErrorModNotFound);
#ifdef _WIN32
  ModuleHandle kernel = LoadLibrary("kernel32.dll");
  const char* known = "GetTickCount";
#else
  ModuleHandle kernel = LoadLibrary("libm.so.6");
  const char* known = "cos";
#endif
  ASSERT_NE(kernel, nullptr);
  EXPECT_NE(GetProcAddress(kernel, known), nullptr);
  EXPECT_EQ(GetProcAddress(kernel, "NoSuchEntryForTavrix"), nullptr);
  EXPECT_EQ(GetLastError(), kErrorProcNotFound);
#ifndef _WIN32
  EXPECT_EQ(GetProcAddressOrdinal(kernel, 1), nullptr);
#endif
  EXPECT_TRUE(FreeLibrary(kernel));
}

TEST(RegistryTest, MissingKeysFailToOpen) {
  RegistryKey key = reinterpret_cast<RegistryKey>(1);
  EXPECT_FALSE(RegOpenKey(RegistryRoot::LocalMachine, "SOFTWARE\\No Such Vendor For Tavrix\\Nothing", &key));
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
#ifndef _WIN32
  // No registry at all here, so even the best-known key is missing.
  EXPECT_FALSE(RegOpenKey(RegistryRoot::CurrentUser, "Software", &key));
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
#else
  ASSERT_TRUE(RegOpenKey(RegistryRoot::LocalMachine, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", &key));
  uint32_t size = 0;
  EXPECT_TRUE(RegQueryValue(key, "CurrentVersion", nullptr, &size));
  EXPECT_GT(size, 1u);
  std::string value(size, '\0');
  EXPECT_TRUE(RegQueryValue(key, "CurrentVersion", value.data(), &size));
  EXPECT_FALSE(RegQueryValue(key, "NoSuchValueForTavrix", nullptr, &size));
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
  RegCloseKey(key);
#endif
}

}  // namespace
