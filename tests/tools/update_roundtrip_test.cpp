// Random sequences of adds, replacements, deletes, renames, re-locales and
// compactions, checked after every step against an in-memory model: every
// live file reads back byte for byte (through the open handle, through a fresh
// read-only open, and through tavrix), and nothing else is found. The same
// runs again with the steps grouped into batches, some of them abandoned, and
// on archives of format 1 that start as builder-made ones with a stub, a
// user-data block, a file with a checksum block and a single-unit file.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "archive/read/archive_record.h"
#include "sorvane/sorvane.h"
#include "compression/scomp.h"
#include "tests/support/archive_builder.h"
#include "tests/support/run_program.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

constexpr uint32_t kLocales[] = {0, 0x407};
const char* const kNames[] = {"a.txt",         "b.bin",        "units\\x.mdx", "sounds\\x.mdx", "deep\\er\\c.dat",
                              "d",             "e.txt",        "f.wav",        "g\\h\\i",       "j.j"};

struct Key {
  std::string name;
  uint32_t locale;
  bool operator<(const Key& o) const { return name != o.name ? name < o.name : locale < o.locale; }
};

class Roundtrip {
 public:
  Roundtrip(const std::string& path, uint32_t seed, bool batched)
      : path_(path), random_(seed), batched_(batched) {}

  ArchiveHandle archive = nullptr;
  std::map<Key, Bytes> model;
  std::map<Key, Bytes> committed;  // the model at the last commit

  // In a batch the name list is written at the commit only.
  bool ListIsCurrent() const { return !batched_; }

  std::string Step() {
    const uint32_t op = random_() % 10;
    if (op < 4) return AddStep(false);
    if (op == 4) return AddStep(true);
    if (op == 5) return DeleteStep();
    if (op == 6) return RenameStep();
    if (op == 7) return LocaleStep();
    if (op == 8) return CompactStep();
    if (batched_ && random_() % 3 == 0) return AbandonStep();
    return ReopenStep();
  }

  // Ends the open batch (when there is one) so that the disk holds the model.
  void Commit() {
    if (!batched_) return;
    EXPECT_TRUE(CommitArchiveUpdate(archive)) << GetLastError();
    committed = model;
  }
  void Begin() {
    if (batched_) {
      EXPECT_TRUE(BeginArchiveUpdate(archive)) << GetLastError();
    }
  }

  void Close() {
    CloseWritableArchive(archive, 0);
    archive = nullptr;
  }
  void Open(uint32_t extraFlags = 0) {
    archive = OpenArchiveWritable(path_.c_str(), UPDATE_OPEN_ALWAYS | UPDATE_KEEP_LISTFILE | extraFlags, 61);
    ASSERT_TRUE(IsUsableArchive(archive)) << GetLastError();
  }

 private:
  Bytes Data() {
    const uint32_t size = random_() % 3 == 0 ? random_() % 64 : random_() % 20000;
    if (random_() % 2) return PatternBytes(size, random_());
    Bytes b(size);
    for (uint32_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>("abcabcxyz \r\n"[(i * 7 + i / 13) % 12]);
    return b;
  }
  std::string Name() { return kNames[random_() % std::size(kNames)]; }
  uint32_t Locale() { return kLocales[random_() % 2]; }
  bool PickLive(Key* key) {
    if (model.empty()) return false;
    auto it = model.begin();
    std::advance(it, random_() % model.size());
    *key = it->first;
    return true;
  }

  std::string AddStep(bool replace) {
    static const uint32_t kFlags[] = {0,
                                      BLOCK_COMPRESSED,
                                      BLOCK_IMPLODED,
                                      BLOCK_ENCRYPTED,
                                      BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED,
                                      BLOCK_COMPRESSED | BLOCK_ENCRYPTED,
                                      BLOCK_COMPRESSED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED,
                                      BLOCK_IMPLODED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED,
                                      BLOCK_SINGLE_UNIT | BLOCK_COMPRESSED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED,
                                      BLOCK_SINGLE_UNIT | BLOCK_IMPLODED,
                                      BLOCK_SINGLE_UNIT};
    static const uint32_t kMasks[] = {COMP_IMPLODE, COMP_HUFFMAN, COMP_IMPLODE | COMP_HUFFMAN, COMP_ZLIB, COMP_BZIP2,
                                      COMP_ZLIB | COMP_BZIP2};
    Key key;
    if (replace) {
      if (!PickLive(&key)) return "replace: nothing";
    } else {
      key = {Name(), Locale()};
    }
    const uint32_t flags = kFlags[random_() % std::size(kFlags)];
    const uint32_t mask = kMasks[random_() % std::size(kMasks)];
    const Bytes data = Data();
    SetLocale(key.locale);
    static const uint8_t none = 0;
    const bool ok = AddFileFromMemory(archive, data.empty() ? &none : data.data(), static_cast<uint32_t>(data.size()),
                                      key.name.c_str(), flags | (replace ? ADD_REPLACE : 0), mask, 0);
    const bool existed = model.count(key) != 0;
    const std::string what = std::string(replace ? "replace " : "add ") + key.name + "@" +
                             std::to_string(key.locale) + " flags " + std::to_string(flags) + " mask " +
                             std::to_string(mask) + " size " + std::to_string(data.size());
    if (existed && !replace) {
      EXPECT_FALSE(ok) << what;
      EXPECT_EQ(GetLastError(), ERR_ALREADY_STORED) << what;
    } else {
      EXPECT_TRUE(ok) << what << ": " << GetLastError();
      if (ok) model[key] = data;
    }
    return what;
  }

  std::string DeleteStep() {
    Key key;
    if (!PickLive(&key)) return "delete: nothing";
    SetLocale(key.locale);
    EXPECT_TRUE(DeleteArchiveFile(archive, key.name.c_str())) << key.name << ": " << GetLastError();
    model.erase(key);
    return "delete " + key.name + "@" + std::to_string(key.locale);
  }

  std::string RenameStep() {
    Key key;
    if (!PickLive(&key)) return "rename: nothing";
    const Key target{Name(), key.locale};
    SetLocale(key.locale);
    const bool ok = RenameArchiveFile(archive, key.name.c_str(), target.name.c_str());
    const std::string what = "rename " + key.name + " to " + target.name + "@" + std::to_string(key.locale);
    if (target.name == key.name || model.count(target)) {
      EXPECT_FALSE(ok) << what;
    } else {
      EXPECT_TRUE(ok) << what << ": " << GetLastError();
      if (ok) {
        model[target] = model[key];
        model.erase(key);
      }
    }
    return what;
  }

  std::string LocaleStep() {
    Key key;
    if (!PickLive(&key)) return "locale: nothing";
    const Key target{key.name, key.locale == 0 ? 0x407u : 0u};
    const bool ok = SetArchiveFileLocale(archive, key.name.c_str(), key.locale, target.locale);
    const std::string what = "set-locale " + key.name + " " + std::to_string(key.locale);
    if (model.count(target)) {
      EXPECT_FALSE(ok) << what;
    } else {
      EXPECT_TRUE(ok) << what;
      if (ok) {
        model[target] = model[key];
        model.erase(key);
      }
    }
    return what;
  }

  std::string CompactStep() {
    EXPECT_TRUE(CompactArchive(archive)) << GetLastError();
    EXPECT_EQ(fs::file_size(path_), archive->headerOffset + archive->header.archiveSize);
    committed = model;
    return "compact";
  }

  std::string ReopenStep() {
    Commit();
    Close();
    Open();
    Begin();
    return "reopen";
  }

  std::string AbandonStep() {
    EXPECT_TRUE(AbandonArchiveUpdate(archive)) << GetLastError();
    model = committed;
    Begin();
    return "abandon";
  }

  std::string path_;
  std::mt19937 random_;
  bool batched_;
};

std::string Upper(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return s;
}

void CheckArchive(ArchiveHandle a, const std::map<Key, Bytes>& model, const std::string& step,
                  bool checkList = true) {
  // Every live version reads back; every other (name, locale) is not found,
  // apart from the neutral version that stands in for a missing one.
  for (const char* name : kNames) {
    for (uint32_t locale : kLocales) {
      SetLocale(locale);
      auto it = model.find({name, locale});
      if (it == model.end() && locale != 0) it = model.find({name, 0});
      FileHandle file = nullptr;
      const bool opened = OpenArchiveFile(a, name, 0, &file);
      ASSERT_EQ(opened, it != model.end()) << step << ": " << name << "@" << locale;
      if (!opened) continue;
      Bytes got(GetArchiveFileSize(file, nullptr) + 1);
      uint32_t n = 0;
      EXPECT_TRUE(ReadArchiveFile(file, got.data(), static_cast<uint32_t>(got.size() - 1), &n, nullptr));
      got.resize(n);
      EXPECT_TRUE(got == it->second) << step << ": " << name << "@" << locale;
      CloseArchiveFile(file);
    }
  }
  SetLocale(0);
  if (!checkList) return;
  // Entries in use: the files and the name list.
  uint32_t used = 0;
  for (uint32_t i = 0; i < a->header.hashTableEntries; ++i) used += IsHashEntryFree(a->hashTable[i]) ? 0 : 1;
  // The list names exactly the stored names (before the first add there is
  // none at all).
  FileHandle list = nullptr;
  if (!OpenArchiveFile(a, "(listfile)", 0, &list)) {
    EXPECT_TRUE(model.empty()) << step;
    EXPECT_EQ(used, 0u) << step;
    return;
  }
  EXPECT_EQ(used, model.size() + 1) << step;
  std::string text(GetArchiveFileSize(list, nullptr) + 1, '\0');
  uint32_t n = 0;
  ReadArchiveFile(list, text.data(), static_cast<uint32_t>(text.size() - 1), &n, nullptr);
  text.resize(n);
  CloseArchiveFile(list);
  std::multiset<std::string> listed, stored;
  std::string line;
  for (char c : text) {
    if (c == '\r' || c == '\n') {
      if (!line.empty()) listed.insert(Upper(line));
      line.clear();
    } else {
      line += c;
    }
  }
  for (const auto& [key, data] : model) stored.insert(Upper(key.name));
  std::set<std::string> unique(stored.begin(), stored.end());
  EXPECT_EQ(listed, std::multiset<std::string>(unique.begin(), unique.end())) << step << "\n" << text;
}

void CheckTavrix(const TempDir& dir, const std::string& archivePath, const std::map<Key, Bytes>& model,
                 const std::string& step) {
  const std::string out = dir / "rt_mpq";
  fs::remove_all(out);
  const RunResult run = RunProgram(BuiltProgram("extractor/tavrix"), {archivePath}, dir.path(), "\n");
  ASSERT_EQ(run.status, 0) << step;
  std::map<std::string, Bytes> expected, got;
  for (const auto& [key, data] : model) {
    if (key.locale != 0) continue;
    std::string path = key.name;
    std::replace(path.begin(), path.end(), '\\', '/');
    expected[path] = data;
  }
  if (fs::exists(out)) {
    for (const auto& entry : fs::recursive_directory_iterator(out)) {
      if (entry.is_regular_file()) got[fs::relative(entry.path(), out).generic_string()] = ReadBytes(entry.path().string());
    }
  }
  EXPECT_EQ(got.size(), expected.size()) << step << "\n" << run.output;
  for (const auto& [name, data] : expected) {
    EXPECT_TRUE(got.count(name) && got[name] == data) << step << ": tavrix " << name;
  }
}

// A format-1 archive with what only builders make: a stub, a user-data
// block, a position-keyed file with a checksum block and a single-unit one.
Bytes MakeLaterLayout(const std::string& path, std::map<Key, Bytes>* model) {
  ArchiveBuilder b;
  b.Stub(512).UserData(100, 7).Extended(1).HashTableSize(64);
  const Bytes crc = PatternBytes(9000, 5), unit = Bytes(12000, 'u');
  FileSpec& f = b.Add("pre\\crc.bin", crc, BLOCK_COMPRESSED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED | BLOCK_SECTOR_CRC);
  f.checksumBlock = PatternBytes(24, 6);
  FileSpec& u = b.Add("pre\\unit.bin", unit, BLOCK_SINGLE_UNIT | BLOCK_COMPRESSED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED);
  u.encodeSector = [](const uint8_t* data, uint32_t length, uint32_t) {
    Bytes out(length + 16);
    uint32_t n = static_cast<uint32_t>(out.size());
    if (!CompressSector(out.data(), &n, data, length, COMP_IMPLODE, 0, 0)) return Bytes(data, data + length);
    out.resize(n);
    return out;
  };
  b.Listfile({"pre\\crc.bin", "pre\\unit.bin"});
  Layout layout;
  const Bytes bytes = b.Build(&layout);
  WriteBytes(path, bytes);
  (*model)[{"pre\\crc.bin", 0}] = crc;
  (*model)[{"pre\\unit.bin", 0}] = unit;
  return Bytes(bytes.begin(), bytes.begin() + layout.headerOffset);
}

class UpdateRoundtripTest : public ::testing::TestWithParam<std::tuple<uint32_t, bool, bool>> {};

TEST_P(UpdateRoundtripTest, RandomOperationsMatchTheModel) {
  TempDir dir("roundtrip");
  const std::string path = dir / "rt.mpq";
  const auto [seed, batched, format1] = GetParam();
  Roundtrip rt(path, seed, batched);
  Bytes prefix;
  if (format1 && seed % 2 == 1) prefix = MakeLaterLayout(path, &rt.model);
  rt.committed = rt.model;
  rt.Open(format1 ? UPDATE_FORMAT_1 : 0);
  ASSERT_NE(rt.archive, nullptr);
  rt.Begin();
  std::string history;
  for (int i = 0; i < 70; ++i) {
    const std::string step = rt.Step();
    history += step + "\n";
    if (rt.archive == nullptr) FAIL() << history;
    CheckArchive(rt.archive, rt.model, history, rt.ListIsCurrent());
    if (i % 7 == 6 || step == "compact") {
      // Windows lets no second reader in beside the update handle.
      rt.Commit();
      CheckArchive(rt.archive, rt.model, history + "(committed)");
      rt.Close();
      ArchiveHandle fresh = nullptr;
      ASSERT_TRUE(OpenArchive(path.c_str(), 0, 0, &fresh));
      CheckArchive(fresh, rt.model, history + "(read-only open)");
      CloseArchive(fresh);
      CheckTavrix(dir, path, rt.model, history);
      rt.Open();
      rt.Begin();
    }
    if (HasFailure()) break;
  }
  rt.Commit();
  EXPECT_EQ(rt.archive->extended, format1);
  CloseWritableArchive(rt.archive, 0);
  const Bytes after = ReadBytes(path);
  EXPECT_TRUE(after.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), after.begin()))
      << "the bytes before the archive header changed";
  LibraryShutdown();
  SetLocale(0);
}

INSTANTIATE_TEST_SUITE_P(Seeds, UpdateRoundtripTest,
                         ::testing::Combine(::testing::Values(1u, 2u, 3u, 4u, 5u), ::testing::Bool(),
                                            ::testing::Bool()));

}  // namespace
