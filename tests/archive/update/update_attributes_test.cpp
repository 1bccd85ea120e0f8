// "(attributes)": its reading against a model of the format, and its upkeep
// through random updates, checked against digests recomputed from every
// file's content.
#include <map>

#include "archive/read/attributes_read.h"
#include "tests/archive/update/update_test_util.h"

namespace updatetest {
namespace {

using testsupport::StoreLE32At;
using testsupport::WriteBytes;

// The format as a test writes it, independently of the library: version,
// flags, then each flagged array over n items in the fixed order.
struct ModelItem {
  uint32_t crc = 0;
  uint64_t time = 0;
  Bytes md5 = Bytes(16, 0);
  bool patch = false;
};
Bytes ModelFile(uint32_t flags, const std::vector<ModelItem>& items, uint32_t version = 100) {
  Bytes out(8);
  StoreLE32At(out, 0, version);
  StoreLE32At(out, 4, flags);
  auto put = [&out](uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  if (flags & ATTRIBUTE_CRC32) for (const auto& i : items) put(i.crc, 4);
  if (flags & ATTRIBUTE_FILETIME) for (const auto& i : items) put(i.time, 8);
  if (flags & ATTRIBUTE_MD5) for (const auto& i : items) out.insert(out.end(), i.md5.begin(), i.md5.end());
  if (flags & ATTRIBUTE_PATCH_BIT) {
    Bytes bits((items.size() + 7) / 8, 0);
    for (size_t i = 0; i < items.size(); ++i) bits[i / 8] |= static_cast<uint8_t>(items[i].patch << (i % 8));
    out.insert(out.end(), bits.begin(), bits.end());
  }
  return out;
}

ModelItem DigestOf(const Bytes& content, uint64_t time = 0) {
  ContentDigest digest(ATTRIBUTE_CRC32 | ATTRIBUTE_MD5);
  digest.Update(content.data(), content.size());
  ModelItem item;
  item.crc = digest.crc();
  digest.Md5(item.md5.data());
  item.time = time;
  return item;
}

std::string Hex(const Bytes& b) {
  std::string s;
  for (uint8_t c : b) s += "0123456789abcdef"[c >> 4], s += "0123456789abcdef"[c & 15];
  return s;
}

TEST(AttributesDigest, KnownAnswers) {
  ASSERT_EQ(SupportedDigests(), ATTRIBUTE_CRC32 | ATTRIBUTE_MD5);
  const ModelItem a = DigestOf(TextBytes("123456789"));
  EXPECT_EQ(a.crc, 0xCBF43926u);
  EXPECT_EQ(Hex(a.md5), "25f9e794323b453885f5181f1b624d0b");
  EXPECT_EQ(Hex(DigestOf({}).md5), "d41d8cd98f00b204e9800998ecf8427e");
}

// Every cut of a file and every flag set reads as the model says: items the
// bytes hold are kept, the rest are unrecorded, and nothing past them is read.
TEST(AttributesParse, EveryFlagSetAndEveryCutAgreesWithTheModel) {
  std::mt19937 random(7);
  for (uint32_t flags = 0; flags <= kKnownAttributes; ++flags) {
    for (uint32_t n : {0u, 1u, 5u, 9u}) {
      std::vector<ModelItem> items(n);
      for (auto& it : items) {
        it.crc = random();
        it.time = (static_cast<uint64_t>(random()) << 32) | random();
        for (auto& b : it.md5) b = static_cast<uint8_t>(random());
        it.patch = random() & 1;
      }
      const Bytes full = ModelFile(flags, items);
      for (size_t cut = 8; cut <= full.size(); ++cut) {
        // An exact copy on the heap, so ASan sees any read past the cut.
        std::vector<uint8_t> bytes(full.begin(), full.begin() + static_cast<long>(cut));
        AttributesTable t;
        ASSERT_TRUE(ParseAttributes(bytes.data(), static_cast<uint32_t>(cut), n, &t)) << flags << " " << cut;
        // A cut that is itself the layout of fewer items is read as that
        // table; any other keeps the items wholly within it.
        uint32_t m = cut == full.size() ? n : 0;
        while (m < n && ModelFile(flags, std::vector<ModelItem>(m)).size() != cut) ++m;
        std::vector<ModelItem> kept(items.begin(), items.begin() + m);
        Bytes expected = bytes;
        if (m == n) {
          size_t offset = 8;
          for (uint32_t flag : {ATTRIBUTE_CRC32, ATTRIBUTE_FILETIME, ATTRIBUTE_MD5, ATTRIBUTE_PATCH_BIT}) {
            if ((flags & flag) == 0) continue;
            const size_t width = flag == ATTRIBUTE_CRC32 ? 4 : flag == ATTRIBUTE_FILETIME ? 8 : 16;
            for (uint32_t k = 0; k < n; ++k) {
              const size_t end = flag == ATTRIBUTE_PATCH_BIT ? offset + k / 8 + 1 : offset + width * (k + 1);
              if (end <= cut) continue;
              if (flag == ATTRIBUTE_CRC32) kept[k].crc = 0;
              if (flag == ATTRIBUTE_FILETIME) kept[k].time = 0;
              if (flag == ATTRIBUTE_MD5) kept[k].md5.assign(16, 0);
              if (flag == ATTRIBUTE_PATCH_BIT) kept[k].patch = false;
            }
            offset += flag == ATTRIBUTE_PATCH_BIT ? (n + 7) / 8 : width * n;
          }
          expected = ModelFile(flags, kept);
        } else if ((flags & ATTRIBUTE_PATCH_BIT) && m % 8 != 0) {
          expected.back() &= static_cast<uint8_t>((1u << (m % 8)) - 1);  // padding bits
        }
        uint8_t* out = nullptr;
        uint32_t outSize = 0;
        ASSERT_TRUE(ResizeAttributes(&t, m));
        ASSERT_TRUE(SerializeAttributes(t, &out, &outSize));
        ASSERT_EQ(Hex(Bytes(out, out + outSize)), Hex(expected)) << "flags " << flags << " cut " << cut;
        std::free(out);
        ReleaseAttributes(&t);
      }
    }
  }
}

class AttributesUpkeepTest : public UpdateTest, public ::testing::WithParamInterface<uint32_t> {
 protected:
  // Every file the archive holds against its attributes: the item of its
  // block has the CRC-32 and MD5 of the content read back, the times the
  // model expects; the attributes file's own item is zero and it covers the
  // whole block table exactly.
  void CheckItems(ArchiveHandle a, const std::map<std::string, std::pair<uint64_t, uint64_t>>& times,
                  const std::string& step) {
    const uint32_t n = a->header.blockTableEntries;
    AttributesTable t;
    bool present = false;
    uint32_t size = 0;
    ASSERT_TRUE(ReadArchiveAttributes(a, &t, &present, &size) && present) << step;
    ASSERT_EQ(size, 8 + 28u * n) << step;
    ASSERT_EQ(t.flags, ATTRIBUTE_CRC32 | ATTRIBUTE_FILETIME | ATTRIBUTE_MD5);
    ASSERT_EQ(t.count, n);
    for (uint32_t h = 0; h < a->header.hashTableEntries; ++h) {
      const HashEntry& e = a->hashTable[h];
      if (!IsHashEntryInUse(e)) continue;
      ASSERT_LT(e.blockIndex, n);
      const uint32_t b = e.blockIndex;
      const Bytes md5(t.md5 + 16 * b, t.md5 + 16 * b + 16);
      if (e.nameHashA == HashString("(attributes)", HASH_NAME_A)) {
        EXPECT_EQ(t.crc[b], 0u) << step;
        EXPECT_EQ(t.time[b], 0u) << step;
        EXPECT_EQ(md5, Bytes(16, 0)) << step;
        continue;
      }
      FileHandle file = nullptr;
      ASSERT_TRUE(OpenArchiveFileByIndex(a, h, &file)) << step;
      Bytes content(GetArchiveFileSize(file, nullptr));
      uint32_t got = 0;
      EXPECT_TRUE(ReadArchiveFile(file, content.data(), static_cast<uint32_t>(content.size()), &got, nullptr));
      CloseArchiveFile(file);
      const ModelItem want = DigestOf(content);
      EXPECT_EQ(t.crc[b], want.crc) << step << ": block " << b;
      EXPECT_EQ(Hex(md5), Hex(want.md5)) << step << ": block " << b;
    }
    for (const auto& [name, range] : times) {
      const HashEntry* e = Entry(a, name, 0);
      ASSERT_NE(e, nullptr) << step << ": " << name;
      EXPECT_GE(t.time[e->blockIndex], range.first) << step << ": " << name;
      EXPECT_LE(t.time[e->blockIndex], range.second) << step << ": " << name;
    }
    ReleaseAttributes(&t);
  }
};

// A random run of adds (from memory and from disk, every storage), replaces,
// deletes, renames (re-keying encrypted files), batches, reopenings and
// compactions: after every step each file's item matches its content.
TEST_P(AttributesUpkeepTest, RandomUpdatesKeepEveryItemTrue) {
  std::mt19937 random(GetParam());
  ArchiveHandle a = Create("a.mpq", 64, UPDATE_KEEP_LISTFILE);
  ASSERT_NE(a, nullptr);
  ASSERT_TRUE(SetArchiveAttributes(a, ATTRIBUTE_CRC32 | ATTRIBUTE_FILETIME | ATTRIBUTE_MD5));
  std::map<std::string, Bytes> model;
  std::map<std::string, std::pair<uint64_t, uint64_t>> times;  // the item's time: within [first, second]
  const uint32_t storages[] = {0, BLOCK_COMPRESSED, BLOCK_IMPLODED, BLOCK_COMPRESSED | BLOCK_ENCRYPTED,
                               BLOCK_COMPRESSED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED,
                               BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED};
  auto pickName = [&random]() { return "dir\\f" + std::to_string(random() % 14) + ".bin"; };
  auto existing = [&]() {
    auto it = model.begin();
    std::advance(it, static_cast<long>(random() % model.size()));
    return it->first;
  };
  bool inBatch = false;
  for (int step = 0; step < 70; ++step) {
    const uint32_t op = random() % 10;
    std::string what;
    if (op <= 3) {  // add or replace
      const std::string name = (op == 3 && !model.empty()) ? existing() : pickName();
      const Bytes data = (random() % 2) ? Compressible(random() % 20000, random()) : PatternBytes(random() % 9000, random());
      const uint32_t flags = storages[random() % 6] | (model.count(name) ? ADD_REPLACE : 0);
      bool ok;
      const uint64_t before = platform::GetSystemTimeAsFileTime();
      uint64_t low = before, high = 0;
      if (random() % 2) {
        const std::string source = Path("source.bin");
        WriteBytes(source, data);
        platform::OsHandle h = platform::CreateFile(source.c_str(), platform::kGenericRead, 1, 3, 0);
        ASSERT_TRUE(platform::GetFileWriteTime(h, &low));
        platform::CloseHandle(h);
        EXPECT_LT(low > before ? low - before : before - low, 50000000ull);  // written just now, by the clock
        high = low;
        ok = AddFileFromDisk(a, source.c_str(), name.c_str(), flags, COMP_IMPLODE, 0);
        what = "add from disk " + name;
      } else {
        ok = Add(a, name, data, flags);
        high = platform::GetSystemTimeAsFileTime();
        what = "add " + name;
      }
      ASSERT_TRUE(ok) << what << ": " << GetLastError();
      model[name] = data;
      times[name] = {low, high};
    } else if (op == 4 && !model.empty()) {
      const std::string name = existing();
      ASSERT_TRUE(DeleteArchiveFile(a, name.c_str())) << name;
      model.erase(name);
      times.erase(name);
      what = "delete " + name;
    } else if (op == 5 && !model.empty()) {
      const std::string from = existing();
      const std::string to = "other\\r" + std::to_string(step) + ".dat";
      ASSERT_TRUE(RenameArchiveFile(a, from.c_str(), to.c_str())) << from;
      model[to] = model[from];
      times[to] = times[from];
      model.erase(from);
      times.erase(from);
      what = "rename " + from;
    } else if (op == 6) {
      ASSERT_TRUE(CompactArchive(a)) << GetLastError();
      what = "compact";
    } else if (op == 7) {
      if (inBatch) {
        ASSERT_TRUE(CommitArchiveUpdate(a));
      } else {
        ASSERT_TRUE(BeginArchiveUpdate(a));
      }
      inBatch = !inBatch;
      what = inBatch ? "begin" : "commit";
    } else if (op == 8 && !inBatch) {
      CloseArchive(a);
      a = OpenExisting("a.mpq", UPDATE_KEEP_LISTFILE);
      ASSERT_NE(a, nullptr);
      what = "reopen";
    } else {
      continue;
    }
    // The handle sees a batch's changes at once, but the attributes come
    // with its commit.
    if (!inBatch) CheckItems(a, times, "step " + std::to_string(step) + " (" + what + ")");
    if (HasFatalFailure()) return;
  }
  if (inBatch) {
    ASSERT_TRUE(CommitArchiveUpdate(a));
  }
  ASSERT_TRUE(CompactArchive(a));
  CheckItems(a, times, "final compaction");
  for (const auto& [name, data] : model) ExpectReads(a, name, data);
}

INSTANTIATE_TEST_SUITE_P(Seeds, AttributesUpkeepTest, ::testing::Values(1u, 2u, 3u, 4u));

class AttributesFileTest : public UpdateTest {};

// A file an older writer left short is read for what it covers and, on the
// next update, written whole with the items it had kept.
TEST_F(AttributesFileTest, AShortFileIsUsedAndCompletedByTheNextUpdate) {
  ArchiveBuilder b;
  const Bytes one = TextBytes("first file"), two = TextBytes("second file");
  b.Add("one.txt", one);
  b.Add("two.txt", two, BLOCK_COMPRESSED);
  // Items for two blocks of three, the second one wrong on purpose: kept
  // as it is, as no update touches that file.
  ModelItem wrong = DigestOf(two, 5);
  wrong.crc ^= 1;
  b.Add("(attributes)", ModelFile(ATTRIBUTE_CRC32 | ATTRIBUTE_FILETIME | ATTRIBUTE_MD5, {DigestOf(one, 7), wrong}));
  b.WriteTo(Path("s.mpq"));
  ArchiveHandle a = OpenExisting("s.mpq");
  ASSERT_NE(a, nullptr);
  ASSERT_TRUE(Add(a, "three.txt", TextBytes("third")));
  AttributesTable t;
  bool present = false;
  ASSERT_TRUE(ReadArchiveAttributes(a, &t, &present));
  ASSERT_EQ(t.count, 4u);
  EXPECT_EQ(t.crc[0], DigestOf(one).crc);
  EXPECT_EQ(t.time[0], 7u);
  EXPECT_EQ(t.crc[1], wrong.crc);
  EXPECT_EQ(t.crc[3], DigestOf(TextBytes("third")).crc);
  ReleaseAttributes(&t);
}

// One of a version this library does not know (or of a size no table
// explains) is never rewritten: updates and compaction leave it as it was.
TEST_F(AttributesFileTest, AnUnknownVersionIsLeftAloneThroughUpdatesAndCompaction) {
  ArchiveBuilder b;
  b.Add("one.txt", TextBytes("first file"));
  const Bytes odd = ModelFile(ATTRIBUTE_CRC32, {ModelItem{}, ModelItem{}}, 200);
  b.Add("(attributes)", odd);
  b.WriteTo(Path("v.mpq"));
  ArchiveHandle a = OpenExisting("v.mpq");
  ASSERT_NE(a, nullptr);
  AttributesTable t;
  bool present = false;
  EXPECT_FALSE(ReadArchiveAttributes(a, &t, &present));
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  // Longer than the table needs without being the layout of a larger one.
  Bytes longer = ModelFile(ATTRIBUTE_CRC32 | ATTRIBUTE_MD5, {ModelItem{}, ModelItem{}});
  longer.push_back(0);
  EXPECT_FALSE(ParseAttributes(longer.data(), static_cast<uint32_t>(longer.size()), 2, &t));
  EXPECT_EQ(GetLastError(), ERROR_FILE_CORRUPT);
  EXPECT_TRUE(Add(a, "two.txt", TextBytes("second")));
  EXPECT_TRUE(DeleteArchiveFile(a, "one.txt"));
  EXPECT_TRUE(CompactArchive(a));
  ExpectReads(a, "(attributes)", odd);
  ExpectReads(a, "two.txt", TextBytes("second"));
}

// Archives of the second signature start every block with a per-file
// header: the attributes compaction rewrites must have one too, or readers
// take the attributes' first bytes for it and the file no longer reads.
TEST_F(AttributesFileTest, CompactionOfASecondSignatureArchiveKeepsThemReadable) {
  ArchiveBuilder b;
  b.Bn3();
  const Bytes one = Compressible(9000, 1), two = PatternBytes(5000, 2);
  b.Add("one.txt", one, BLOCK_COMPRESSED);
  b.Add("gone.bin", PatternBytes(3000, 3));
  b.Add("two.bin", two, BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED);
  b.Listfile({"one.txt", "gone.bin", "two.bin"});
  b.WriteTo(Path("bn3.mpq"));
  ArchiveHandle a = OpenExisting("bn3.mpq");
  ASSERT_NE(a, nullptr);
  ASSERT_TRUE(SetArchiveAttributes(a, ATTRIBUTE_CRC32 | ATTRIBUTE_MD5));
  ASSERT_TRUE(DeleteArchiveFile(a, "gone.bin"));
  ASSERT_TRUE(CompactArchive(a)) << GetLastError();
  AttributesTable t;
  bool present = false;
  ASSERT_TRUE(ReadArchiveAttributes(a, &t, &present)) << GetLastError();
  ASSERT_TRUE(present);
  ASSERT_EQ(t.count, a->header.blockTableEntries);
  for (const auto& [name, data] : std::map<std::string, Bytes>{{"one.txt", one}, {"two.bin", two}}) {
    ExpectReads(a, name, data);
    EXPECT_EQ(t.crc[Entry(a, name, 0)->blockIndex], DigestOf(data).crc) << name;
  }
  ReleaseAttributes(&t);
  CloseWritableArchive(a, 0);
}

// Another entry may name the attributes' block (a copy under another name
// or locale): it keeps the bytes it had while compaction rewrites the
// attributes, which get a block of their own with items that still match.
TEST_F(AttributesFileTest, AnotherEntryOfTheirBlockKeepsItsBytes) {
  ArchiveBuilder b;
  const Bytes one = TextBytes("first file"), gone = PatternBytes(3000, 3);
  const Bytes old = ModelFile(ATTRIBUTE_CRC32 | ATTRIBUTE_MD5, {DigestOf(one), DigestOf(gone), ModelItem{}});
  b.Add("one.txt", one);
  b.Add("gone.bin", gone);
  b.Add("(attributes)", old);
  b.Add("copy.bin", TextBytes("never named")).blockIndexInHash = 2;
  b.Listfile({"one.txt", "gone.bin", "copy.bin"});
  b.WriteTo(Path("shared.mpq"));
  ArchiveHandle a = OpenExisting("shared.mpq");
  ASSERT_NE(a, nullptr);
  ASSERT_TRUE(DeleteArchiveFile(a, "gone.bin"));
  ASSERT_TRUE(CompactArchive(a)) << GetLastError();
  ExpectReads(a, "copy.bin", old);
  ExpectReads(a, "one.txt", one);
  ExpectEveryFileWhole(a, 0);
  AttributesTable t;
  bool present = false;
  ASSERT_TRUE(ReadArchiveAttributes(a, &t, &present) && present) << GetLastError();
  EXPECT_EQ(t.count, a->header.blockTableEntries);
  EXPECT_EQ(t.crc[Entry(a, "one.txt", 0)->blockIndex], DigestOf(one).crc);
  ReleaseAttributes(&t);
  CloseWritableArchive(a, 0);
}

}  // namespace
}  // namespace updatetest

