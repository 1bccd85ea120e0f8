// Adding a list of files against its model, the same adds one by one: random
// lists of files on disk and in memory (small, empty, large enough to stream,
// missing, changed since their size was taken, named twice) must give the
// same answers per file and the same archive, byte for byte, with one
// compression thread or several.
#include <filesystem>
#include <map>

#include "platform/bytes.h"
#include "tests/archive/update/update_test_util.h"

using namespace updatetest;
using testsupport::WriteBytes;

namespace {

namespace fs = std::filesystem;

// A 16-bit PCM WAV: coded as sound when the audio methods are asked for.
Bytes Wave(uint32_t frames, uint32_t seed) {
  Bytes w(44 + frames * 4);
  std::memcpy(w.data(), "RIFF", 4);
  platform::StoreLE32(&w[4], static_cast<uint32_t>(w.size() - 8));
  std::memcpy(&w[8], "WAVEfmt ", 8);
  platform::StoreLE32(&w[16], 16);
  platform::StoreLE16(&w[20], 1);
  platform::StoreLE16(&w[22], 2);
  platform::StoreLE32(&w[24], 22050);
  platform::StoreLE32(&w[28], 22050 * 4);
  platform::StoreLE16(&w[32], 4);
  platform::StoreLE16(&w[34], 16);
  std::memcpy(&w[36], "data", 4);
  platform::StoreLE32(&w[40], frames * 4);
  for (uint32_t i = 0; i < frames; ++i) {
    const auto s = static_cast<uint16_t>(static_cast<int16_t>((i * (37 + seed)) % 2000) - 1000);
    platform::StoreLE16(&w[44 + 4 * i], s);
    platform::StoreLE16(&w[46 + 4 * i], static_cast<uint16_t>(s ^ seed));
  }
  return w;
}

// One item of a list and what the one-by-one add makes of it.
struct Planned {
  std::string path;  // empty: from memory
  Bytes data;        // the content (on disk: written there)
  uint64_t size = 0; // what the caller tells the call
  std::string name;
  uint32_t mask = COMP_IMPLODE;
};

class UpdateAddListTest : public UpdateTest {
 protected:
  // A random list: files of every size class, some named twice, a missing
  // one, and files whose size changed since the caller took it.
  std::vector<Planned> RandomList(std::mt19937& random, bool memoryToo, int round) {
    std::vector<Planned> list;
    const uint32_t count = 5 + random() % 40;
    for (uint32_t i = 0; i < count; ++i) {
      Planned p;
      p.name = "d" + std::to_string(random() % 3) + "\\f" + std::to_string(random() % (count + 4)) + ".bin";
      const uint32_t kind = random() % 20;
      if (kind == 0) {
        p.data = Compressible(1200000 + random() % 300000, random());  // streams
      } else if (kind == 1) {
        p.data.clear();
      } else if (kind == 2) {
        p.data = Wave(500 + random() % 6000, random());
        p.mask = (random() % 2) ? (COMP_ADPCM_STEREO | COMP_HUFFMAN) : (COMP_ADPCM_MONO | COMP_HUFFMAN);
      } else if (kind < 8) {
        p.data = PatternBytes(1 + random() % 30000, random());
        p.mask = (random() % 2) ? COMP_IMPLODE : (COMP_IMPLODE | COMP_HUFFMAN);
      } else {
        p.data = Compressible(1 + random() % 70000, random());
        if (random() % 4 == 0) p.mask = COMP_ZLIB;
      }
      p.size = p.data.size();
      const bool onDisk = !memoryToo || random() % 3 != 0;
      if (onDisk) {
        p.path = Path("src" + std::to_string(round) + "-" + std::to_string(i));
        WriteBytes(p.path, p.data);
        const uint32_t change = random() % 12;
        if (change == 0) p.size = p.data.size() + 1 + random() % 100;          // shrank since
        if (change == 1 && p.size > 0) p.size = random() % p.data.size();       // grew since
        if (change == 2) p.path += ".missing";
      }
      list.push_back(std::move(p));
    }
    return list;
  }

  // The archive made by adding one by one in a batch; errors[i]: each add's
  // error (0 when stored).
  Bytes OneByOne(const std::vector<Planned>& list, uint32_t flags, uint32_t locale, bool attributes,
                 std::vector<uint32_t>* errors) {
    fs::remove(Path("model.mpq"));
    ArchiveHandle a = Start("model.mpq", attributes);
    EXPECT_TRUE(BeginArchiveUpdate(a));
    const uint32_t saved = GetLocale();
    SetLocale(locale);
    for (const Planned& p : list) {
      static const uint8_t none = 0;
      const bool ok = p.path.empty()
                          ? AddFileFromMemory(a, p.data.empty() ? &none : p.data.data(),
                                              static_cast<uint32_t>(p.data.size()), p.name.c_str(), flags, p.mask, 1)
                          : AddFileFromDisk(a, p.path.c_str(), p.name.c_str(), flags, p.mask, 1);
      errors->push_back(ok ? 0 : GetLastError());
    }
    SetLocale(saved);
    EXPECT_TRUE(CommitArchiveUpdate(a)) << GetLastError();
    CloseWritableArchive(a, 0);
    return ReadBytes(Path("model.mpq"));
  }

  static void Hear(void* context, uint32_t index, uint32_t error) {
    auto* heard = static_cast<std::vector<std::pair<uint32_t, uint32_t>>*>(context);
    heard->emplace_back(index, error);
  }

  // The archive made by one AddFileList call on `threads` threads.
  Bytes AsList(const std::string& name, const std::vector<Planned>& list, uint32_t flags, uint32_t locale,
               bool attributes, uint32_t threads, std::vector<uint32_t>* errors) {
    fs::remove(Path(name));
    ArchiveHandle a = Start(name, attributes);
    std::vector<AddListItem> items;
    for (const Planned& p : list) {
      static const uint8_t none = 0;
      AddListItem item{};
      item.sourcePath = p.path.empty() ? nullptr : p.path.c_str();
      item.data = p.path.empty() ? (p.data.empty() ? &none : p.data.data()) : nullptr;
      item.size = p.size;
      item.storedName = p.name.c_str();
      item.methodMask = p.mask;
      items.push_back(item);
    }
    const uint32_t before = SetCompressionThreadCount(threads);
    std::vector<std::pair<uint32_t, uint32_t>> heard;
    EXPECT_TRUE(AddFileList(a, items.data(), static_cast<uint32_t>(items.size()), flags, 1, locale, Hear, &heard))
        << GetLastError();
    SetCompressionThreadCount(before);
    for (size_t i = 0; i < heard.size(); ++i) {
      EXPECT_EQ(heard[i].first, i) << "reported out of order";
      errors->push_back(heard[i].second);
    }
    CloseWritableArchive(a, 0);
    return ReadBytes(Path(name));
  }

  // A fresh archive with a file already in it (so that a list may meet a
  // name that is stored) and, when asked, "(attributes)".
  ArchiveHandle Start(const std::string& name, bool attributes) {
    ArchiveHandle a = Create(name, 256, UPDATE_KEEP_LISTFILE);
    if (a == nullptr) return nullptr;
    if (attributes) {
      // Without times: the name list the commit stores gets the current one.
      EXPECT_TRUE(SetArchiveAttributes(a, ATTRIBUTE_CRC32 | ATTRIBUTE_MD5));
    }
    EXPECT_TRUE(Add(a, "d1\\f1.bin", Compressible(5000, 99), BLOCK_COMPRESSED));
    return a;
  }
};

TEST_F(UpdateAddListTest, SameArchiveAsOneByOneWhateverTheThreads) {
  const uint32_t flagSets[] = {0,
                               BLOCK_COMPRESSED,
                               BLOCK_COMPRESSED | ADD_REPLACE,
                               BLOCK_IMPLODED | BLOCK_ENCRYPTED,
                               BLOCK_COMPRESSED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED | ADD_REPLACE,
                               BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED,
                               BLOCK_COMPRESSED | BLOCK_SINGLE_UNIT};
  std::mt19937 random(2718);
  int round = 0;
  for (uint32_t flags : flagSets) {
    for (int attributes = 0; attributes < 2; ++attributes) {
      SCOPED_TRACE("flags " + std::to_string(flags) + (attributes ? ", attributes" : ""));
      const std::vector<Planned> list = RandomList(random, attributes == 0, round++);
      const uint32_t locale = (round % 3 == 0) ? 0x407 : 0;
      std::vector<uint32_t> expected, one, many;
      const Bytes model = OneByOne(list, flags, locale, attributes != 0, &expected);
      const Bytes single = AsList("one.mpq", list, flags, locale, attributes != 0, 1, &one);
      const Bytes threaded = AsList("many.mpq", list, flags, locale, attributes != 0, 3, &many);
      EXPECT_EQ(one, expected);
      EXPECT_EQ(many, expected);
      EXPECT_TRUE(single == model) << "one thread: " << single.size() << " bytes, one by one: " << model.size();
      EXPECT_TRUE(threaded == single) << "threads differ";

      // What was added reads back as the source: the last version of each
      // name that was stored (or the first, without ADD_REPLACE).
      ArchiveHandle a = Reopen("many.mpq");
      ASSERT_NE(a, nullptr);
      SetLocale(locale);
      std::map<std::string, Bytes> latest;
      for (size_t i = 0; i < list.size(); ++i) {
        if (expected[i] == 0) latest[list[i].name] = list[i].data;
      }
      for (const auto& [name, data] : latest) {
        // Sound coding is lossy: those read back at their size only.
        const bool sound = (flags & BLOCK_COMPRESSED) != 0 && data.size() > 44 && std::memcmp(data.data(), "RIFF", 4) == 0;
        if (sound) EXPECT_EQ(Read(a, name).size(), data.size()) << name;
        else ExpectReads(a, name, data);
      }
      SetLocale(0);
      CloseArchive(a);
      if (HasFailure()) return;
    }
  }
}

// Refusals: wrong arguments change nothing; a list whose files are all
// refused leaves the archive as it was and says why for each.
TEST_F(UpdateAddListTest, RefusalsAndBadArguments) {
  ArchiveHandle a = Create("r.mpq", 64, UPDATE_KEEP_LISTFILE);
  ASSERT_NE(a, nullptr);
  ASSERT_TRUE(Add(a, "x", PatternBytes(10, 1)));
  CloseWritableArchive(a, 0);
  const Bytes before = ReadBytes(Path("r.mpq"));
  a = OpenExisting("r.mpq", UPDATE_KEEP_LISTFILE);
  ASSERT_NE(a, nullptr);
  const uint8_t byte = 7;
  const std::string missing = Path("none");
  AddListItem items[2] = {{missing.c_str(), nullptr, 3, 0, "y", COMP_IMPLODE},
                          {nullptr, &byte, 1, 0, "x", COMP_IMPLODE}};
  std::vector<std::pair<uint32_t, uint32_t>> heard;
  EXPECT_TRUE(AddFileList(a, items, 2, BLOCK_COMPRESSED, 0, 0,
                          [](void* c, uint32_t i, uint32_t e) {
                            static_cast<std::vector<std::pair<uint32_t, uint32_t>>*>(c)->emplace_back(i, e);
                          },
                          &heard));
  EXPECT_EQ(heard, (std::vector<std::pair<uint32_t, uint32_t>>{{0, ERROR_FILE_NOT_FOUND}, {1, ERR_ALREADY_STORED}}));

  AddListItem bad[2] = {{nullptr, &byte, 1, 0, "z", COMP_IMPLODE}, {nullptr, &byte, 1, 0, nullptr, COMP_IMPLODE}};
  EXPECT_FALSE(AddFileList(a, bad, 2, 0, 0, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
  bad[1] = {nullptr, &byte, 1, 0, "w", COMP_ADPCM_MONO | COMP_ADPCM_STEREO};
  EXPECT_FALSE(AddFileList(a, bad, 2, BLOCK_COMPRESSED, 0, 0, nullptr, nullptr));
  EXPECT_FALSE(AddFileList(nullptr, bad, 1, 0, 0, 0, nullptr, nullptr));
  EXPECT_TRUE(AddFileList(a, nullptr, 0, 0, 0, 0, nullptr, nullptr));
  CloseWritableArchive(a, 0);
  EXPECT_TRUE(ReadBytes(Path("r.mpq")) == before);

  ArchiveHandle readOnly = OpenArchiveWritable(Path("r.mpq").c_str(), UPDATE_OPEN_EXISTING | UPDATE_READ_ONLY, 0);
  ASSERT_TRUE(IsUsableArchive(readOnly));
  EXPECT_FALSE(AddFileList(readOnly, items, 1, 0, 0, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<uint32_t>(ERROR_ACCESS_DENIED));
  CloseWritableArchive(readOnly, 0);
}

// A full hash table fails the call on the archive's side: nothing of it
// stays, and no file after the one that found no room is reported.
TEST_F(UpdateAddListTest, FullTableDropsTheWholeList) {
  ArchiveHandle a = Create("full.mpq", 4);
  ASSERT_NE(a, nullptr);
  const Bytes before = ReadBytes(Path("full.mpq"));
  const uint8_t byte = 1;
  std::vector<std::string> names = {"a", "b", "c", "d", "e", "f"};
  std::vector<AddListItem> items;
  for (const std::string& n : names) items.push_back({nullptr, &byte, 1, 0, n.c_str(), COMP_IMPLODE});
  std::vector<std::pair<uint32_t, uint32_t>> heard;
  EXPECT_FALSE(AddFileList(a, items.data(), static_cast<uint32_t>(items.size()), 0, 0, 0,
                           [](void* c, uint32_t i, uint32_t e) {
                             static_cast<std::vector<std::pair<uint32_t, uint32_t>>*>(c)->emplace_back(i, e);
                           },
                           &heard));
  EXPECT_EQ(GetLastError(), static_cast<uint32_t>(ERR_HASH_TABLE_FULL));
  EXPECT_EQ(heard.size(), 4u);
  EXPECT_FALSE(Stored(a, "a"));
  CloseWritableArchive(a, 0);
  EXPECT_TRUE(ReadBytes(Path("full.mpq")) == before);
}

}  // namespace
