// Stops at every step: each update runs once to count its write steps (writes,
// flushes, truncations, renames, deletions), then once for every N with all
// steps after the N-th failing as if the process had died there. The archive
// is then reopened and must hold, byte for byte, either everything it held
// before or everything the finished update gives: never a mix, never less.
#include <filesystem>
#include <functional>
#include <map>

#include "archive/read/attributes_read.h"
#include "tests/archive/update/update_test_util.h"

using namespace updatetest;
using testsupport::WriteBytes;

namespace {

namespace fs = std::filesystem;

const char* const kNames[] = {"(listfile)", "a.txt", "dir\\b.bin", "c.dat", "d", "e\\new.txt",
                              "f.bin",      "g.txt", "h\\renamed.dat"};
constexpr uint32_t kLocales[] = {0, 0x407};
constexpr uint32_t kAdjusted = BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED;

// Every stored version, by "name@locale".
using Contents = std::map<std::string, Bytes>;

class UpdateCrashTest : public UpdateTest {
 protected:
  // The starting archive: a stub, files of every kind from the test-side
  // builder, then more added, replaced and deleted through the library, so
  // that it has dead space and tables away from its end.
  void MakeStart() {
    ArchiveBuilder b;
    b.Stub(512, 0x3C).HashTableSize(32);
    b.Add("a.txt", Compressible(9000, 1));
    b.Add("dir\\b.bin", PatternBytes(6000, 2), kAdjusted);
    b.Listfile({"a.txt", "dir\\b.bin"});
    b.WriteTo(Path("start.mpq"));
    ArchiveHandle a = OpenExisting("start.mpq", UPDATE_KEEP_LISTFILE);
    ASSERT_NE(a, nullptr);
    if (attributes_) {
      ASSERT_TRUE(SetArchiveAttributes(a, ATTRIBUTE_CRC32 | ATTRIBUTE_FILETIME | ATTRIBUTE_MD5));
    }
    ASSERT_TRUE(Add(a, "c.dat", Compressible(12000, 3), BLOCK_COMPRESSED | kAdjusted, COMP_IMPLODE | COMP_HUFFMAN));
    ASSERT_TRUE(Add(a, "d", PatternBytes(300, 4), BLOCK_ENCRYPTED));
    ASSERT_TRUE(Add(a, "g.txt", PatternBytes(5000, 5), BLOCK_COMPRESSED));
    ASSERT_TRUE(Add(a, "a.txt", Compressible(7000, 6), BLOCK_COMPRESSED | ADD_REPLACE));
    SetLocale(0x407);
    ASSERT_TRUE(Add(a, "d", PatternBytes(900, 7), kAdjusted));
    SetLocale(0);
    ASSERT_TRUE(DeleteArchiveFile(a, "g.txt"));
    CloseWritableArchive(a, 0);
    start_ = ReadBytes(Path("start.mpq"));
  }

  // What a reader finds: every known name in both locales (exact locale
  // only), and every entry of the hash table must read back whole.
  Contents ReadContents(const std::string& name, std::string* problem) {
    Contents out;
    ArchiveHandle a = nullptr;
    if (!OpenArchive(Path(name).c_str(), 0, 0, &a)) {
      *problem = "does not open: " + std::to_string(GetLastError());
      return out;
    }
    for (const char* stored : kNames) {
      for (uint32_t locale : kLocales) {
        SetLocale(locale);
        FileHandle file = nullptr;
        if (!OpenArchiveFile(a, stored, 0, &file)) continue;
        if (GetArchiveFileInfo(file, INFO_LOCALE) == locale) {
          Bytes data(GetArchiveFileSize(file, nullptr) + 1);
          uint32_t got = 0;
          if (!ReadArchiveFile(file, data.data(), static_cast<uint32_t>(data.size() - 1), &got, nullptr) ||
              got != data.size() - 1) {
            *problem += std::string(stored) + " does not read; ";
          }
          data.resize(got);
          out[std::string(stored) + "@" + std::to_string(locale)] = data;
        }
        CloseArchiveFile(file);
      }
    }
    SetLocale(0);
    for (uint32_t i = 0; i < a->header.hashTableEntries; ++i) {
      if (!IsHashEntryInUse(a->hashTable[i])) continue;
      FileHandle file = nullptr;
      bool ok = OpenArchiveFileByIndex(a, i, &file);
      if (ok) {
        Bytes data(GetArchiveFileSize(file, nullptr) + 1);
        uint32_t got = 0;
        ok = ReadArchiveFile(file, data.data(), static_cast<uint32_t>(data.size() - 1), &got, nullptr) &&
             got == data.size() - 1;
        CloseArchiveFile(file);
      }
      if (!ok) *problem += "entry " + std::to_string(i) + " does not read; ";
    }
    if (attributes_) CheckAttributes(a, problem);
    CloseArchive(a);
    return out;
  }

  static std::string Describe(const Contents& c) {
    std::string s;
    for (const auto& [key, data] : c) s += key + "(" + std::to_string(data.size()) + ") ";
    return s;
  }

  // Runs the update at every stopping point. The update gets the archive
  // opened for update and returns its result.
  void AtEveryStep(uint32_t openFlags, const std::function<bool(ArchiveHandle)>& update) {
    MakeStart();
    if (HasFatalFailure()) return;
    std::string problem;
    const Contents before = ReadContents("start.mpq", &problem);
    ASSERT_EQ(problem, "");

    WriteBytes(Path("work.mpq"), start_);
    ArchiveHandle a = OpenExisting("work.mpq", openFlags);
    ASSERT_NE(a, nullptr);
    platform::ClearWriteFault();
    ASSERT_TRUE(update(a)) << GetLastError();
    const uint64_t steps = platform::WriteStepsTaken();
    CloseWritableArchive(a, 0);
    const Contents after = ReadContents("work.mpq", &problem);
    ASSERT_EQ(problem, "");
    ASSERT_NE(ReadBytes(Path("work.mpq")), start_);
    ASSERT_GT(steps, 0u);

    for (uint64_t n = 0; n <= steps; ++n) {
      SCOPED_TRACE("stopped after step " + std::to_string(n) + " of " + std::to_string(steps));
      for (const auto& entry : fs::directory_iterator(Root())) {
        if (entry.path().filename().string().rfind("work.mpq", 0) == 0) fs::remove(entry.path());
      }
      WriteBytes(Path("work.mpq"), start_);
      a = OpenExisting("work.mpq", openFlags);
      ASSERT_NE(a, nullptr);
      platform::SetWriteFault(n, platform::kErrorDiskFull);
      const bool ok = update(a);
      platform::ClearWriteFault();
      // Given up without another write, as a stopped process would.
      CloseWritableArchive(a, 0);

      const Contents now = ReadContents("work.mpq", &problem);
      ASSERT_EQ(problem, "");
      ASSERT_TRUE(now == before || now == after) << "found: " << Describe(now) << "\nbefore: " << Describe(before)
                                                 << "\nafter: " << Describe(after);
      if (ok || n == steps) {
        EXPECT_EQ(now, after) << "the update " << (ok ? "succeeded" : "ran every step");
      }

      // The archive takes further updates, and a compaction clears what an
      // interrupted one left behind.
      a = OpenExisting("work.mpq", openFlags);
      ASSERT_NE(a, nullptr);
      ASSERT_TRUE(Add(a, "f.bin", PatternBytes(4000, 8), BLOCK_COMPRESSED | kAdjusted));
      ASSERT_TRUE(CompactArchive(a)) << GetLastError();
      CloseWritableArchive(a, 0);
      Contents expected = now;
      expected["f.bin@0"] = PatternBytes(4000, 8);
      Contents later = ReadContents("work.mpq", &problem);
      ASSERT_EQ(problem, "");
      if (openFlags & UPDATE_KEEP_LISTFILE) {
        later.erase("(listfile)@0");
        expected.erase("(listfile)@0");
      }
      EXPECT_EQ(later, expected);
      for (const auto& entry : fs::directory_iterator(Root())) {
        const std::string file = entry.path().filename().string();
        EXPECT_TRUE(file == "work.mpq" || file.rfind("work", 0) != 0) << file << " left behind";
      }
    }
  }

  // "(attributes)" is there, covers the block table and holds the digests
  // of every file as it reads now: never those of another state.
  static void CheckAttributes(ArchiveHandle a, std::string* problem) {
    AttributesTable t;
    bool present = false;
    if (!ReadArchiveAttributes(a, &t, &present) || !present || t.count != a->header.blockTableEntries) {
      *problem += "no whole attributes; ";
      ReleaseAttributes(&t);
      return;
    }
    for (uint32_t i = 0; i < a->header.hashTableEntries; ++i) {
      const HashEntry& e = a->hashTable[i];
      FileHandle file = nullptr;
      if (!IsHashEntryInUse(e) || e.nameHashA == HashString("(attributes)", HASH_NAME_A) ||
          !OpenArchiveFileByIndex(a, i, &file)) {
        continue;
      }
      Bytes data(GetArchiveFileSize(file, nullptr));
      uint32_t got = 0;
      ReadArchiveFile(file, data.data(), static_cast<uint32_t>(data.size()), &got, nullptr);
      CloseArchiveFile(file);
      ContentDigest digest(ATTRIBUTE_CRC32 | ATTRIBUTE_MD5);
      digest.Update(data.data(), data.size());
      uint8_t md5[16];
      digest.Md5(md5);
      if (t.crc[e.blockIndex] != digest.crc() || std::memcmp(t.md5 + 16 * e.blockIndex, md5, 16) != 0) {
        *problem += "entry " + std::to_string(i) + " differs from its attributes; ";
      }
    }
    ReleaseAttributes(&t);
  }

  Bytes start_;
  bool attributes_ = false;
};

// The same with "(attributes)" kept by every update: it switches with the
// rest of the archive.
class UpdateCrashAttributesTest : public UpdateCrashTest {
 protected:
  UpdateCrashAttributesTest() { attributes_ = true; }
};

TEST_F(UpdateCrashTest, Add) {
  AtEveryStep(UPDATE_KEEP_LISTFILE, [](ArchiveHandle a) {
    return Add(a, "e\\new.txt", Compressible(20000, 9), BLOCK_COMPRESSED | kAdjusted);
  });
}

TEST_F(UpdateCrashTest, Replace) {
  AtEveryStep(UPDATE_KEEP_LISTFILE, [](ArchiveHandle a) {
    return Add(a, "c.dat", PatternBytes(3000, 10), BLOCK_ENCRYPTED | ADD_REPLACE);
  });
}

TEST_F(UpdateCrashTest, Delete) {
  AtEveryStep(UPDATE_KEEP_LISTFILE, [](ArchiveHandle a) { return DeleteArchiveFile(a, "dir\\b.bin"); });
}

TEST_F(UpdateCrashTest, RenameReencrypts) {
  AtEveryStep(UPDATE_KEEP_LISTFILE,
              [](ArchiveHandle a) { return RenameArchiveFile(a, "c.dat", "h\\renamed.dat"); });
}

TEST_F(UpdateCrashTest, SetLocale) {
  AtEveryStep(0, [](ArchiveHandle a) { return SetArchiveFileLocale(a, "a.txt", 0, 0x407); });
}

TEST_F(UpdateCrashTest, Compact) {
  AtEveryStep(0, [](ArchiveHandle a) { return CompactArchive(a); });
}

TEST_F(UpdateCrashTest, Batch) {
  AtEveryStep(UPDATE_KEEP_LISTFILE, [](ArchiveHandle a) {
    return BeginArchiveUpdate(a) && Add(a, "e\\new.txt", Compressible(20000, 9), BLOCK_COMPRESSED) &&
           Add(a, "a.txt", PatternBytes(100, 11), ADD_REPLACE | BLOCK_ENCRYPTED) &&
           DeleteArchiveFile(a, "d") && RenameArchiveFile(a, "dir\\b.bin", "h\\renamed.dat") &&
           SetArchiveFileLocale(a, "c.dat", 0, 0x407) && CommitArchiveUpdate(a);
  });
}

// A list of files: small ones gathered into one write, a replaced one, and
// one large enough to take the one-by-one path between them.
bool AddList(ArchiveHandle a) {
  static const Bytes small = Compressible(20000, 9);
  static const Bytes replaced = PatternBytes(3000, 10);
  static const Bytes large = Compressible(1300000, 12);
  static const Bytes last = PatternBytes(700, 13);
  const AddListItem items[] = {{nullptr, small.data(), small.size(), 0, "e\\new.txt", COMP_IMPLODE},
                               {nullptr, replaced.data(), replaced.size(), 0, "c.dat", COMP_IMPLODE | COMP_HUFFMAN},
                               {nullptr, large.data(), large.size(), 0, "h\\renamed.dat", COMP_IMPLODE},
                               {nullptr, last.data(), last.size(), 0, "a.txt", COMP_IMPLODE}};
  return AddFileList(a, items, 4, BLOCK_COMPRESSED | kAdjusted | ADD_REPLACE, 0, 0, nullptr, nullptr);
}

TEST_F(UpdateCrashTest, AddList) {
  AtEveryStep(UPDATE_KEEP_LISTFILE, [](ArchiveHandle a) { return AddList(a); });
}

TEST_F(UpdateCrashTest, AddListInBatch) {
  AtEveryStep(UPDATE_KEEP_LISTFILE, [](ArchiveHandle a) {
    return BeginArchiveUpdate(a) && DeleteArchiveFile(a, "d") && AddList(a) && CommitArchiveUpdate(a);
  });
}

TEST_F(UpdateCrashAttributesTest, AddList) {
  AtEveryStep(UPDATE_KEEP_LISTFILE, [](ArchiveHandle a) { return AddList(a); });
}

// The start archive's own updates left older table copies inside it: these
// updates put their hash table there (the add and the batch, whose block
// tables grew, put their block table apart), and a stop at any step still
// leaves the old archive or the new one.
TEST_F(UpdateCrashTest, TablesIntoAnOlderCopysRoom) {
  const std::function<bool(ArchiveHandle)> updates[] = {
      [](ArchiveHandle a) { return DeleteArchiveFile(a, "dir\\b.bin"); },
      [](ArchiveHandle a) { return Add(a, "e\\new.txt", Compressible(20000, 9), BLOCK_COMPRESSED | kAdjusted); },
      [](ArchiveHandle a) {
        return BeginArchiveUpdate(a) && Add(a, "g.txt", PatternBytes(700, 12)) && DeleteArchiveFile(a, "d") &&
               SetArchiveFileLocale(a, "c.dat", 0, 0x407) && CommitArchiveUpdate(a);
      }};
  for (const auto& update : updates) {
    MakeStart();
    ASSERT_FALSE(HasFatalFailure());
    WriteBytes(Path("work.mpq"), start_);
    ArchiveHandle a = OpenExisting("work.mpq", UPDATE_KEEP_LISTFILE);
    ASSERT_NE(a, nullptr);
    const ArchiveHeader old = a->header;
    ASSERT_TRUE(update(a)) << GetLastError();
    const ArchiveHeader now = a->header;
    CloseWritableArchive(a, 0);
    EXPECT_NE(now.hashTableOffset, old.hashTableOffset);
    EXPECT_LE(now.hashTableOffset + 16ull * now.hashTableEntries, start_.size());
    AtEveryStep(UPDATE_KEEP_LISTFILE, update);
  }
}

TEST_F(UpdateCrashAttributesTest, Compact) {
  AtEveryStep(0, [](ArchiveHandle a) { return CompactArchive(a); });
}

TEST_F(UpdateCrashAttributesTest, Batch) {
  AtEveryStep(UPDATE_KEEP_LISTFILE, [](ArchiveHandle a) {
    return BeginArchiveUpdate(a) && Add(a, "e\\new.txt", Compressible(20000, 9), BLOCK_COMPRESSED) &&
           Add(a, "a.txt", PatternBytes(100, 11), ADD_REPLACE | BLOCK_ENCRYPTED) &&
           DeleteArchiveFile(a, "d") && RenameArchiveFile(a, "dir\\b.bin", "h\\renamed.dat") &&
           CommitArchiveUpdate(a);
  });
}

}  // namespace
