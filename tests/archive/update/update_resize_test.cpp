// Rebuilding the hash table at another size: every file stays where a
// reader looks for it (by name in its locale), at every size, an open file
// keeps reading, and a stop at any write step leaves the old table or the
// new one, never a table that loses a file.
#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

#include "tests/archive/update/update_test_util.h"

using namespace updatetest;

namespace {

constexpr uint32_t kAdjusted = BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED;

// Stored versions by name and locale.
using Contents = std::map<std::pair<std::string, uint32_t>, Bytes>;

class UpdateResizeTest : public UpdateTest {
 protected:
  // 40 files in two locales, every fifth deleted (its mark stays), one name
  // no list gives: "hidden.bin", added while the list was not kept.
  void MakeStart() {
    ArchiveHandle a = Create("start.mpq", 128, UPDATE_KEEP_LISTFILE);
    ASSERT_NE(a, nullptr);
    const uint32_t flags[] = {0, BLOCK_COMPRESSED, BLOCK_COMPRESSED | kAdjusted, BLOCK_ENCRYPTED, kAdjusted};
    for (uint32_t i = 0; i < 40; ++i) {
      const std::string name = "dir\\f" + std::to_string(i) + ".dat";
      const uint32_t locale = i % 3 == 0 ? 0x407 : 0;
      SetLocale(locale);
      const Bytes data = Compressible(300 + 97 * i, i);
      ASSERT_TRUE(Add(a, name, data, flags[i % 5]));
      if (i % 5 == 4) {
        ASSERT_TRUE(DeleteArchiveFile(a, name.c_str()));
      } else {
        expected_[{name, locale}] = data;
      }
    }
    SetLocale(0);
    CloseWritableArchive(a, 0);
    a = OpenExisting("start.mpq");
    ASSERT_NE(a, nullptr);
    expected_[{"hidden.bin", 0}] = PatternBytes(5000, 9);
    ASSERT_TRUE(Add(a, "hidden.bin", expected_[{"hidden.bin", 0}], kAdjusted));
    CloseWritableArchive(a, 0);
    start_ = ReadBytes(Path("start.mpq"));
  }

  // What the archive file holds, read through the read side.
  Contents ReadAll(const std::string& name, uint32_t* hashEntries) {
    Contents out;
    ArchiveHandle a = Reopen(name);
    if (a == nullptr) return out;
    *hashEntries = a->header.hashTableEntries;
    for (const auto& [key, data] : expected_) {
      SetLocale(key.second);
      FileHandle file = nullptr;
      if (!OpenArchiveFile(a, key.first.c_str(), 0, &file)) continue;
      if (GetArchiveFileInfo(file, INFO_LOCALE) == key.second) {
        Bytes got(GetArchiveFileSize(file, nullptr));
        uint32_t n = 0;
        if (ReadArchiveFile(file, got.data(), static_cast<uint32_t>(got.size()), &n, nullptr) && n == got.size()) {
          out[key] = got;
        }
      }
      CloseArchiveFile(file);
    }
    SetLocale(0);
    CloseArchive(a);
    return out;
  }

  static bool Resize(ArchiveHandle a, uint32_t size) {
    const char* hidden[] = {"hidden.bin"};
    return SetArchiveNameList(a, hidden, 1) && ResizeHashTable(a, size);
  }

  Contents expected_;
  Bytes start_;
};

TEST_F(UpdateResizeTest, EveryFileStaysFoundAtEverySize) {
  MakeStart();
  testsupport::WriteBytes(Path("r.mpq"), start_);
  ArchiveHandle refused = OpenExisting("r.mpq");
  ASSERT_NE(refused, nullptr);
  // Without the hidden name its entry has no home; 34 files need 34 entries.
  EXPECT_FALSE(ResizeHashTable(refused, 256));
  EXPECT_EQ(GetLastError(), ERROR_FILE_INVALID);
  EXPECT_FALSE(Resize(refused, 33));
  EXPECT_EQ(GetLastError(), ERR_HASH_TABLE_FULL);
  CloseWritableArchive(refused, 0);
  EXPECT_EQ(ReadBytes(Path("r.mpq")), start_);
  for (uint32_t size : {34u, 35u, 50u, 64u, 97u, 1000u, 4096u}) {
    testsupport::WriteBytes(Path("r.mpq"), start_);
    ArchiveHandle a = OpenExisting("r.mpq");
    ASSERT_NE(a, nullptr);
    // An open file follows its entry into the new table.
    SetLocale(0x407);
    FileHandle open = nullptr;
    ASSERT_TRUE(OpenArchiveFile(a, "dir\\f3.dat", 0, &open));
    SetLocale(0);
    ASSERT_TRUE(Resize(a, size)) << size << ": " << GetLastError();
    Bytes got(GetArchiveFileSize(open, nullptr));
    uint32_t n = 0;
    EXPECT_TRUE(ReadArchiveFile(open, got.data(), static_cast<uint32_t>(got.size()), &n, nullptr));
    EXPECT_EQ(got, (expected_[{"dir\\f3.dat", 0x407}])) << size;
    EXPECT_EQ(GetArchiveFileInfo(open, INFO_LOCALE), 0x407u);
    CloseArchiveFile(open);
    CloseWritableArchive(a, 0);
    uint32_t entries = 0;
    EXPECT_EQ(ReadAll("r.mpq", &entries), expected_) << size;
    EXPECT_EQ(entries, size);
  }
}

TEST_F(UpdateResizeTest, AStopAtAnyStepLeavesTheOldTableOrTheNew) {
  MakeStart();
  testsupport::WriteBytes(Path("r.mpq"), start_);
  ArchiveHandle a = OpenExisting("r.mpq");
  ASSERT_NE(a, nullptr);
  platform::ClearWriteFault();
  const uint64_t before = platform::WriteStepsTaken();
  ASSERT_TRUE(Resize(a, 200));
  const uint64_t steps = platform::WriteStepsTaken() - before;
  CloseWritableArchive(a, 0);
  ASSERT_GT(steps, 1u);
  uint32_t oldSeen = 0, newSeen = 0;
  for (uint64_t allowed = 0; allowed <= steps; ++allowed) {
    testsupport::WriteBytes(Path("r.mpq"), start_);
    a = OpenExisting("r.mpq");
    ASSERT_NE(a, nullptr);
    platform::SetWriteFault(allowed, platform::kErrorDiskFull);
    Resize(a, 200);
    platform::ClearWriteFault();
    CloseWritableArchive(a, 0);
    uint32_t entries = 0;
    EXPECT_EQ(ReadAll("r.mpq", &entries), expected_) << "stopped after " << allowed << " steps";
    EXPECT_TRUE(entries == 128 || entries == 200) << entries;
    ++(entries == 128 ? oldSeen : newSeen);
  }
  EXPECT_NE(oldSeen, 0u);
  EXPECT_NE(newSeen, 0u);
}

// Lists of thousands of names no file has beside the stored ones (a German
// list alone names some, one is listed twice in two cases, one is named by
// the caller only): each new table is the one the stored names build.
TEST_F(UpdateResizeTest, TableIsTheOneTheStoredNamesBuild) {
  ArchiveHandle a = Create("n.mpq", 128);
  ASSERT_NE(a, nullptr);
  std::vector<std::string> names = {"hidden.bin", "(listfile)"};
  std::string lists[2] = {"STORED\\F80.DAT\n" + std::string(kMaxPath + 5, 'q') + "\n", ""};  // neutral, German
  for (uint32_t i = 0; i < 3000; ++i) {
    lists[i % 7 == 0] += "Unstored\\" + std::to_string(i) + (i % 4 == 0 ? std::string(1, '\0') : i % 2 ? "\r\n" : "\n");
    if (i % 80 != 0) continue;
    names.push_back("Stored\\f" + std::to_string(i) + ".dat");
    SetLocale(i % 3 == 0 ? 0x409 : 0);
    ASSERT_TRUE(Add(a, names.back(), Compressible(200 + i, i), i % 2 ? 0 : kAdjusted));
    lists[i % 160 == 0] += names.back() + "\r";
  }
  SetLocale(0);
  ASSERT_TRUE(Add(a, "hidden.bin", PatternBytes(5000, 9)) && Add(a, "(listfile)", TextBytes(lists[0])));
  SetLocale(0x407);
  ASSERT_TRUE(Add(a, "(listfile)", TextBytes(lists[1])));
  SetLocale(0);
  EXPECT_FALSE(ResizeHashTable(a, 512));  // the caller's name not given yet
  EXPECT_EQ(GetLastError(), ERROR_FILE_INVALID);
  const char* given[] = {"HIDDEN.BIN"};
  ASSERT_TRUE(SetArchiveNameList(a, given, 1));
  for (uint32_t size : {41u, 42u, 64u, 1000u, 4096u}) {
    std::vector<HashEntry> model(size);
    std::memset(model.data(), 0xFF, size * sizeof(HashEntry));
    for (uint32_t i = 0; i < a->header.hashTableEntries; ++i) {
      const HashEntry& e = a->hashTable[i];
      if (IsHashEntryFree(e)) continue;
      const auto name = std::find_if(names.begin(), names.end(), [&](const std::string& n) {
        return HashString(n.c_str(), HASH_NAME_A) == e.nameHashA && HashString(n.c_str(), HASH_NAME_B) == e.nameHashB;
      });
      ASSERT_NE(name, names.end());
      uint32_t j = HashString(name->c_str(), HASH_TABLE_INDEX) % size;
      while (!IsHashEntryFree(model[j])) j = (j + 1) % size;
      model[j] = e;
    }
    ASSERT_TRUE(ResizeHashTable(a, size)) << size << ": " << GetLastError();
    ASSERT_EQ(a->header.hashTableEntries, size);
    EXPECT_EQ(std::memcmp(a->hashTable, model.data(), size * sizeof(HashEntry)), 0) << size;
  }
  CloseWritableArchive(a, 0);
}

}  // namespace
