// Deletion marks as every reader must see them: names behind a deleted or
// renamed entry stay reachable both for our lookup and for a reader that
// knows no mark (the test-side plain rule), and archives holding the mark
// written by earlier versions keep reading, updating and compacting.
#include <map>
#include <random>

#include "tests/archive/update/update_test_util.h"

using namespace updatetest;
using testsupport::PlainRuleTable;

namespace {

constexpr HashEntry kOldMark{0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFE};

class DeletionMarkTest : public UpdateTest {
 protected:
  // Names whose home entry in a table of n entries is `home`.
  static std::vector<std::string> NamesAt(uint32_t n, uint32_t home, size_t count, const std::string& stem) {
    std::vector<std::string> names;
    for (uint32_t i = 0; names.size() < count; ++i) {
      std::string name = stem + std::to_string(i);
      if (HashString(name.c_str(), HASH_TABLE_INDEX) % n == home) names.push_back(name);
    }
    return names;
  }

  // Every name of `pool` is found by the plain rule on the file exactly where
  // our lookup finds it when kept, and by neither when not. Counts the kept
  // names whose run passes a mark, and those whose run also wraps.
  void ExpectSameFinds(ArchiveHandle a, const std::string& file, const std::vector<std::string>& pool,
                       const std::map<std::string, Bytes>& kept, uint32_t* throughMark = nullptr,
                       uint32_t* wrapped = nullptr) {
    const PlainRuleTable plain(ReadBytes(Path(file)));
    for (const std::string& name : pool) {
      const HashEntry* ours = FindHashEntry(a, name.c_str(), 0);
      const std::optional<uint32_t> theirs = plain.Find(name);
      if (!kept.count(name)) {
        EXPECT_EQ(ours, nullptr) << name;
        EXPECT_FALSE(theirs.has_value()) << name;
        continue;
      }
      ASSERT_NE(ours, nullptr) << name;
      ASSERT_TRUE(theirs.has_value()) << name << " is lost to readers that know no mark";
      EXPECT_EQ(*theirs, static_cast<uint32_t>(ours - a->hashTable)) << name;
      bool wraps = false;
      const bool mark = plain.MarksPassed(name, *theirs, &wraps) != 0;
      if (mark && throughMark) ++*throughMark;
      if (mark && wraps && wrapped) ++*wrapped;
    }
    // Marks on disk are the current one only.
    for (const HashEntry& e : plain.entries) {
      if (IsHashEntryDeleted(e)) {
        EXPECT_EQ(std::memcmp(&e, &kDeletedMark, sizeof e), 0);
      }
    }
  }
};

// Random adds, deletes and renames over names crowding the table's end, so
// that their runs wrap to its start, checked after every step.
TEST_F(DeletionMarkTest, KeptNamesStayFoundByThePlainRuleThroughDeletesRenamesAndCompaction) {
  constexpr uint32_t n = 64;
  std::vector<std::string> pool = NamesAt(n, n - 2, 24, "w");
  for (int i = 0; i < 24; ++i) pool.push_back("s" + std::to_string(i));
  ArchiveHandle a = Create("runs.mpq", n);
  ASSERT_NE(a, nullptr);
  std::map<std::string, Bytes> kept;
  std::mt19937 random(16);
  uint32_t throughMark = 0, wrapped = 0;
  for (int step = 0; step < 400; ++step) {
    const std::string name = pool[random() % pool.size()];
    const std::string other = pool[random() % pool.size()];
    if (!kept.count(name)) {
      kept[name] = PatternBytes(1 + random() % 200, step);
      ASSERT_TRUE(Add(a, name, kept[name])) << step;
    } else if (random() % 2 == 0 || kept.count(other)) {
      ASSERT_TRUE(DeleteArchiveFile(a, name.c_str())) << step;
      kept.erase(name);
    } else {
      ASSERT_TRUE(RenameArchiveFile(a, name.c_str(), other.c_str())) << step;
      kept[other] = kept[name];
      kept.erase(name);
    }
    ASSERT_NO_FATAL_FAILURE(ExpectSameFinds(a, "runs.mpq", pool, kept, &throughMark, &wrapped)) << step;
  }
  EXPECT_GT(throughMark, 100u);
  EXPECT_GT(wrapped, 20u);

  ASSERT_TRUE(CompactArchive(a));
  ExpectSameFinds(a, "runs.mpq", pool, kept);
  EXPECT_EQ(a->header.blockTableEntries, kept.size());
  CloseWritableArchive(a, 0);
  ArchiveHandle r = Reopen("runs.mpq");
  for (const auto& [name, data] : kept) ExpectReads(r, name, data);
  ExpectSameFinds(r, "runs.mpq", pool, kept);
}

// An archive as earlier versions left it: a run wrapping from the table's
// end, cut by the old mark twice, and the block of a deleted file.
TEST_F(DeletionMarkTest, ArchivesWithTheOldMarkReadUpdateAndCompact) {
  constexpr uint32_t n = 16;
  const std::vector<std::string> c = NamesAt(n, 14, 5, "c");
  ArchiveBuilder b;
  b.HashTableSize(n);
  b.Add(c[0], "zero").hashIndex = 14;
  b.SetHashEntry(15, kOldMark);
  b.Add(c[1], Compressible(9000, 1), BLOCK_COMPRESSED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED).hashIndex = 0;
  b.SetHashEntry(1, kOldMark);
  b.Add("gone", PatternBytes(3000, 9)).hashed = false;
  b.Add(c[2], "two").hashIndex = 2;
  b.Add(c[3], PatternBytes(5000, 3)).hashIndex = 3;
  b.WriteTo(Path("old.mpq"));
  std::map<std::string, Bytes> kept = {{c[0], TextBytes("zero")}, {c[1], Compressible(9000, 1)},
                                       {c[2], TextBytes("two")}, {c[3], PatternBytes(5000, 3)}};

  ArchiveHandle r = Reopen("old.mpq");
  for (const auto& [name, data] : kept) ExpectReads(r, name, data);
  EXPECT_FALSE(PlainRuleTable(ReadBytes(Path("old.mpq"))).Find(c[1]).has_value());  // what the old mark did
  CloseArchive(r);

  ArchiveHandle a = OpenExisting("old.mpq");
  ASSERT_NE(a, nullptr);
  ASSERT_TRUE(Add(a, c[4], TextBytes("four")));  // takes the first mark of its run
  EXPECT_EQ(Entry(a, c[4], 0), &a->hashTable[15]);
  kept[c[4]] = TextBytes("four");
  ASSERT_TRUE(DeleteArchiveFile(a, c[2].c_str()));
  kept.erase(c[2]);
  ASSERT_TRUE(RenameArchiveFile(a, c[0].c_str(), "renamed"));
  kept["renamed"] = kept[c[0]];
  kept.erase(c[0]);
  for (const auto& [name, data] : kept) ExpectReads(a, name, data);

  ASSERT_TRUE(CompactArchive(a));
  EXPECT_EQ(a->header.blockTableEntries, kept.size());
  // The old mark left inside the run became the current one.
  EXPECT_EQ(std::memcmp(&a->hashTable[1], &kDeletedMark, sizeof(HashEntry)), 0);
  std::vector<std::string> pool = c;
  pool.push_back("renamed");
  ExpectSameFinds(a, "old.mpq", pool, kept);
  CloseWritableArchive(a, 0);
  r = Reopen("old.mpq");
  for (const auto& [name, data] : kept) ExpectReads(r, name, data);
}

}  // namespace
