// Dead space under long runs of updates: random adds (one by one and as
// lists), replacements, deletions, renames, re-locales and batches on
// archives whose hash table dwarfs their data, checked against a model
// after every update. The file may exceed its compacted copy by one copy of
// the tables, the block table's room beyond its entries, and what the
// updates dropped, never by a table copy per update; the block table holds
// no more entries than the most files the archive ever had at once; and
// every file verifies against "(attributes)".
#include <filesystem>
#include <map>
#include <set>

#include "sorvane/sorvane_ext.h"
#include "tests/archive/update/update_test_util.h"

using namespace updatetest;
namespace fs = std::filesystem;

namespace {

constexpr uint32_t kLocales[] = {0, 0x407, 0x409};
constexpr uint32_t kFlags[] = {0, BLOCK_COMPRESSED, BLOCK_ENCRYPTED,
                               BLOCK_COMPRESSED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED};
using Key = std::pair<std::string, uint32_t>;  // name, locale
using Model = std::map<Key, Bytes>;

class TableSpaceTest : public UpdateTest {
 protected:
  // Where the data of every block some in-use entry names lie.
  static std::set<std::pair<uint64_t, uint32_t>> LiveBlocks(ArchiveHandle a) {
    std::set<std::pair<uint64_t, uint32_t>> out;
    for (uint32_t i = 0; i < a->header.hashTableEntries; ++i) {
      const HashEntry& e = a->hashTable[i];
      if (!IsHashEntryInUse(e) || e.blockIndex >= a->header.blockTableEntries) continue;
      out.insert({BlockOffset(a->blockTable[e.blockIndex]), a->blockTable[e.blockIndex].storedSize});
    }
    return out;
  }
  // Runs a step and counts what it dropped: the data of blocks no entry
  // names any more, and their entries, which stay in the live block table
  // and in the dead copy before it (inside a batch too: what a batch wrote
  // and dropped again is dead all the same).
  template <typename Step>
  bool Tracked(ArchiveHandle a, Step step) {
    const auto before = LiveBlocks(a);
    const bool ok = step();
    const auto after = LiveBlocks(a);
    for (const auto& [offset, size] : before) {
      if (after.count({offset, size}) == 0) dropped_ += size + 2 * kEntryBytes;
    }
    return ok;
  }

  // One change to the archive and, when it is made, to the model.
  bool Change(ArchiveHandle a, Model* model) {
    auto pick = [this](uint32_t n) { return static_cast<uint32_t>(random_() % n); };
    auto name = [&] { return "dir\\f" + std::to_string(pick(60)) + (pick(2) ? ".txt" : ".bin"); };
    const uint32_t what = model->empty() ? 0 : pick(10);
    auto it = model->begin();
    std::advance(it, model->empty() ? 0 : pick(static_cast<uint32_t>(model->size())));
    const Key from = what < 4 ? Key{name(), kLocales[pick(3)]} : it->first;
    const Key to = what < 6 ? from : what < 8 ? Key{name(), from.second} : Key{from.first, kLocales[pick(3)]};
    // Empty files too: they write nothing, so nothing but the choice of
    // their position keeps them inside the file.
    const Bytes data = pick(8) == 0 ? Bytes{}
                       : pick(2)    ? Compressible(pick(9000), random_())
                                    : PatternBytes(pick(6000), random_());
    const uint32_t flags = kFlags[pick(4)] | ADD_REPLACE;
    SetLocale(from.second);
    const char* n = from.first.c_str();
    const bool ok = Tracked(a, [&] {
      if (what < 2 && data.size() % 2 == 0) {
        // The list path, which must choose blocks as the single adds do.
        const AddListItem item{nullptr, data.data(), data.size(), 0, from.first.c_str(), COMP_IMPLODE};
        uint32_t error = 1;
        auto note = [](void* context, uint32_t, uint32_t e) { *static_cast<uint32_t*>(context) = e; };
        return AddFileList(a, &item, 1, flags, 0, from.second, note, &error) && error == 0;
      }
      if (what < 4) return Add(a, from.first, data, flags);
      if (what < 6) return DeleteArchiveFile(a, n);
      if (model->count(to) != 0) return false;
      return what < 8 ? RenameArchiveFile(a, n, to.first.c_str()) : SetArchiveFileLocale(a, n, from.second, to.second);
    });
    SetLocale(0);
    if (!ok) return false;
    const Bytes kept = what < 4 ? data : (*model)[from];
    model->erase(from);
    if (what < 4 || what >= 6) (*model)[to] = kept;
    if (model->size() > mostFiles_) mostFiles_ = model->size();
    return true;
  }

  // Every stored file reads back as the model has it, from a reader of the
  // bytes on disk, and nothing else is stored but the name list.
  void ExpectModel(const Model& model) {
    ArchiveHandle r = ReopenCopy("t.mpq");
    ASSERT_NE(r, nullptr);
    for (const auto& [key, data] : model) {
      SetLocale(key.second);
      FileHandle file = nullptr;
      ASSERT_TRUE(OpenArchiveFile(r, key.first.c_str(), 0, &file)) << key.first << "@" << key.second;
      EXPECT_EQ(GetArchiveFileInfo(file, INFO_LOCALE), key.second) << key.first;
      CloseArchiveFile(file);
      ExpectReads(r, key.first, data);
    }
    SetLocale(0);
    uint32_t problems = 1;
    ASSERT_TRUE(CheckArchiveTables(r, nullptr, nullptr, &problems));
    EXPECT_EQ(problems, 0u) << "a table or block lies past the file's end";
    const size_t kept = (Stored(r, "(listfile)") ? 1 : 0) + (Stored(r, "(attributes)") ? 1 : 0);
    size_t inUse = 0;
    for (uint32_t i = 0; i < r->header.hashTableEntries; ++i) inUse += IsHashEntryInUse(r->hashTable[i]);
    EXPECT_EQ(inUse, model.size() + kept);
    // Entries no name refers to are taken again before the table grows.
    EXPECT_LE(r->header.blockTableEntries, mostFiles_ + kept);
    // A taken entry's attributes describe its new file.
    std::vector<const char*> names;
    for (const auto& entry : model) names.push_back(entry.first.first.c_str());
    uint32_t tally[2] = {0, 0};  // whole, checked
    auto count = [](void* context, const ArchiveVerifyResult* v) {
      auto* t = static_cast<uint32_t*>(context);
      t[0] += v->state == VERIFY_WHOLE;
      return ++t[1] != 0;
    };
    ASSERT_TRUE(VerifyArchiveEntries(r, names.data(), static_cast<uint32_t>(names.size()), count, tally));
    EXPECT_EQ(tally[0], inUse);
    EXPECT_EQ(tally[1], inUse);
    CloseArchive(r);
  }

  // Updates one after another, each a single change or a batch of a few;
  // after each, the contents against the model and the dead space against
  // a compacted copy.
  void Run(uint32_t hashSize, uint32_t createFlags, uint32_t openFlags, int updates) {
    ArchiveHandle a = Create("t.mpq", hashSize, createFlags);
    ASSERT_NE(a, nullptr);
    ASSERT_TRUE(SetArchiveAttributes(a, ATTRIBUTE_CRC32 | ATTRIBUTE_FILETIME | (GetSupportedDigests() & ATTRIBUTE_MD5)));
    CloseWritableArchive(a, 0);
    a = OpenExisting("t.mpq", openFlags);
    ASSERT_NE(a, nullptr);
    Model model;
    for (int u = 0; u < updates && !HasFatalFailure(); ++u) {
      SCOPED_TRACE("update " + std::to_string(u));
      if (random_() % 5 == 0) {
        ASSERT_TRUE(BeginArchiveUpdate(a));
        // A refused change leaves the batch and the model as they were.
        for (uint32_t n = 2 + random_() % 4; n > 0; --n) Change(a, &model);
        // The commit also replaces the name list.
        ASSERT_TRUE(Tracked(a, [&] { return CommitArchiveUpdate(a); })) << GetLastError();
      } else if (!Change(a, &model)) {
        continue;
      }
      ExpectModel(model);
      // Removed first: some runtimes' copy_file refuses to overwrite.
      fs::remove(Path("c.mpq"));
      fs::copy_file(Path("t.mpq"), Path("c.mpq"));
      ArchiveHandle c = OpenExisting("c.mpq");
      ASSERT_NE(c, nullptr);
      ASSERT_TRUE(CompactArchive(c)) << GetLastError();
      const uint64_t tables = (static_cast<uint64_t>(c->header.hashTableEntries) + c->header.blockTableEntries) *
                              kEntryBytes;
      CloseWritableArchive(c, 0);
      const uint64_t size = fs::file_size(Path("t.mpq")), compacted = fs::file_size(Path("c.mpq"));
      ASSERT_GE(size, compacted);
      const uint64_t spare = Spare(a);
      ASSERT_LE(size - compacted, tables + dropped_ + spare) << "file " << size << ", compacted " << compacted
                                                             << ", tables " << tables << ", dropped " << dropped_
                                                             << ", spare " << spare;
    }
    CloseWritableArchive(a, 0);
  }

  // The block table's room beyond its entries, in the live copy and in the
  // dead one whose room the next copy takes (see BlockTableRoom).
  static uint64_t Spare(ArchiveHandle a) {
    const uint32_t n = a->header.blockTableEntries;
    const bool high = a->extended && a->header.highOffsetTablePos != 0;
    return 2 * (BlockTableRoom(n, high) - static_cast<uint64_t>(n) * kEntryBytes);
  }

  std::mt19937 random_{1};
  uint64_t dropped_ = 0;
  size_t mostFiles_ = 0;
};

TEST_F(TableSpaceTest, ManyUpdatesLeaveAtMostOneTableCopyDead) { Run(16384, 0, 0, 120); }

TEST_F(TableSpaceTest, ManyUpdatesOfAnExtendedArchiveKeepingItsNameList) {
  random_.seed(2);
  Run(8192, UPDATE_FORMAT_1, UPDATE_KEEP_LISTFILE, 120);
}

// Stored files larger than the block table, each added on its own: no hole
// a table copy leaves can take one, so only the tables' rooms keep the dead
// space from growing by a block table per add.
TEST_F(TableSpaceTest, AGrowingBlockTableGoesBackIntoItsOlderRooms) {
  ArchiveHandle a = Create("t.mpq", 1024);
  ASSERT_NE(a, nullptr);
  const Bytes data = PatternBytes(20000, 7);
  for (uint32_t i = 0; i < 700 && !HasFatalFailure(); ++i) {
    ASSERT_TRUE(Add(a, "f" + std::to_string(i), data));
    const ArchiveHeader& h = a->header;
    const uint64_t tables = (static_cast<uint64_t>(h.hashTableEntries) + h.blockTableEntries) * kEntryBytes;
    const uint64_t live = kHeaderBytes + tables + static_cast<uint64_t>(h.blockTableEntries) * data.size();
    const uint64_t size = fs::file_size(Path("t.mpq"));
    ASSERT_GE(size, live);
    // One dead copy of the tables, the rooms' spare, and the block rooms
    // given up at the doublings so far: less than two of the present one
    // (reached just after a doubling).
    const uint64_t room = BlockTableRoom(h.blockTableEntries, false);
    ASSERT_LE(size - live, tables + Spare(a) + 2 * room) << i;
  }
  ExpectReads(a, "f0", data);
  ExpectReads(a, "f699", data);
  CloseWritableArchive(a, 0);
}

// An empty file writes nothing, so nothing keeps the file reaching to the
// place it was given: space handed back later in the batch (the larger
// file it replaces, or one deleted after it) moves the end of the data
// back before it, in a batch that keeps the file as well as in one that
// does not. It must still lie inside the file after the commit.
TEST_F(TableSpaceTest, AnEmptyFileStaysInsideTheFileWhenTheSpaceBeforeItIsGivenBack) {
  for (int variant = 0; variant < 4 && !HasFatalFailure(); ++variant) {
    ArchiveHandle a = Create("t.mpq", 64);
    ASSERT_NE(a, nullptr);
    ASSERT_TRUE(Add(a, "kept", PatternBytes(3000, 1)));
    if (variant >= 2) {
      ASSERT_TRUE(SetBatchesKeepFile(a, true));
    }
    ASSERT_TRUE(BeginArchiveUpdate(a));
    ASSERT_TRUE(Add(a, "big", PatternBytes(50000, 2)));
    if (variant % 2 == 0) {
      ASSERT_TRUE(Add(a, "big", Bytes{}, ADD_REPLACE));
    } else {
      ASSERT_TRUE(Add(a, "empty", Bytes{}));
      ASSERT_TRUE(DeleteArchiveFile(a, "big"));
    }
    ASSERT_TRUE(CommitArchiveUpdate(a));
    uint32_t problems = 1;
    ASSERT_TRUE(CheckArchiveTables(a, nullptr, nullptr, &problems));
    EXPECT_EQ(problems, 0u) << "variant " << variant;
    ExpectReads(a, variant % 2 == 0 ? "big" : "empty", Bytes{});
    ExpectReads(a, "kept", PatternBytes(3000, 1));
    CloseWritableArchive(a, 0);
    fs::remove(Path("t.mpq"));
  }
}

}  // namespace
