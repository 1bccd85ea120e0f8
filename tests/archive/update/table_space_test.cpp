// Dead space under long runs of updates: random adds, replacements,
// deletions, renames, re-locales and batches on archives whose hash table
// dwarfs their data, checked against a model after every update. The file
// may exceed its compacted copy by one copy of the tables plus what the
// updates dropped, never by a table copy per update.
#include <filesystem>
#include <map>
#include <set>

#include "tests/archive/update/update_test_util.h"

using namespace updatetest;
namespace fs = std::filesystem;

namespace {

constexpr uint32_t kLocales[] = {0, 0x407, 0x409};
constexpr uint32_t kAdjusted = BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED;

struct Key {
  std::string name;
  uint32_t locale;
  bool operator<(const Key& o) const { return name != o.name ? name < o.name : locale < o.locale; }
};
using Model = std::map<Key, Bytes>;

// A block as the committed state has it: where its data lie.
struct Placed {
  uint64_t offset;
  uint32_t size;
  bool operator<(const Placed& o) const { return offset != o.offset ? offset < o.offset : size < o.size; }
};

class TableSpaceTest : public UpdateTest {
 protected:
  // The blocks some in-use entry names.
  static std::set<Placed> LiveBlocks(ArchiveHandle a) {
    std::set<Placed> out;
    for (uint32_t i = 0; i < a->header.hashTableEntries; ++i) {
      const HashEntry& e = a->hashTable[i];
      if (!IsHashEntryInUse(e) || e.blockIndex >= a->header.blockTableEntries) continue;
      const BlockEntry& b = a->blockTable[e.blockIndex];
      out.insert({BlockOffset(b), b.storedSize});
    }
    return out;
  }

  uint64_t dropped_ = 0;  // what the updates dropped, data and block entries

  // The size of a compacted copy and the bytes of its tables.
  void Compacted(uint64_t* size, uint64_t* tables) {
    fs::copy_file(Path("t.mpq"), Path("c.mpq"), fs::copy_options::overwrite_existing);
    ArchiveHandle c = OpenExisting("c.mpq");
    ASSERT_NE(c, nullptr);
    ASSERT_TRUE(CompactArchive(c)) << GetLastError();
    const ArchiveHeader& h = c->header;
    *tables = (static_cast<uint64_t>(h.hashTableEntries) + h.blockTableEntries) * kEntryBytes;
    CloseWritableArchive(c, 0);
    *size = fs::file_size(Path("c.mpq"));
  }

  // Every stored file reads back as the model has it, from a reader of the
  // bytes on disk, and nothing else is stored.
  void ExpectModel(const Model& model) {
    ArchiveHandle r = ReopenCopy("t.mpq");
    ASSERT_NE(r, nullptr);
    for (const auto& [key, data] : model) {
      SetLocale(key.locale);
      FileHandle file = nullptr;
      ASSERT_TRUE(OpenArchiveFile(r, key.name.c_str(), 0, &file)) << key.name << "@" << key.locale;
      EXPECT_EQ(GetArchiveFileInfo(file, INFO_LOCALE), key.locale) << key.name;
      Bytes got(data.size() + 1);
      uint32_t read = 0;
      EXPECT_TRUE(ReadArchiveFile(file, got.data(), static_cast<uint32_t>(got.size()), &read, nullptr));
      got.resize(read);
      EXPECT_TRUE(got == data) << key.name << "@" << key.locale;
      CloseArchiveFile(file);
    }
    SetLocale(0);
    FileHandle list = nullptr;
    size_t stored = 0;
    if (OpenArchiveFile(r, "(listfile)", 0, &list)) {
      CloseArchiveFile(list);
      stored = 1;
    }
    size_t inUse = 0;
    for (uint32_t i = 0; i < r->header.hashTableEntries; ++i) inUse += IsHashEntryInUse(r->hashTable[i]);
    EXPECT_EQ(inUse, model.size() + stored);
    CloseArchive(r);
  }

  // One change, applied to the archive and, when it succeeds, to the model.
  // A block no entry names any more is dropped, with its entry, which stays
  // in the live block table and in the dead copy before it (in a batch too:
  // a block written and dropped by the same batch is dead all the same).
  bool Change(ArchiveHandle a, Model* model, std::mt19937* random) {
    const std::set<Placed> before = LiveBlocks(a);
    const bool ok = ChangeOnly(a, model, random);
    const std::set<Placed> after = LiveBlocks(a);
    for (const Placed& p : before) {
      if (after.count(p) == 0) dropped_ += p.size + 2 * kEntryBytes;
    }
    return ok;
  }
  bool ChangeOnly(ArchiveHandle a, Model* model, std::mt19937* random) {
    auto pick = [&](uint32_t n) { return static_cast<uint32_t>((*random)() % n); };
    auto anyKey = [&] {
      auto it = model->begin();
      std::advance(it, pick(static_cast<uint32_t>(model->size())));
      return it->first;
    };
    auto freshName = [&] { return "dir\\f" + std::to_string(pick(60)) + (pick(2) ? ".txt" : ".bin"); };
    const uint32_t what = model->empty() ? 0 : pick(10);
    if (what < 4) {  // add, or replace when the name is there
      const Key key{freshName(), kLocales[pick(3)]};
      const uint32_t flags = std::vector<uint32_t>{0, BLOCK_COMPRESSED, BLOCK_ENCRYPTED,
                                                   BLOCK_COMPRESSED | kAdjusted}[pick(4)];
      const Bytes data = pick(2) ? Compressible(pick(9000), (*random)()) : PatternBytes(pick(6000), (*random)());
      SetLocale(key.locale);
      const bool ok = Add(a, key.name, data, flags | ADD_REPLACE);
      SetLocale(0);
      if (ok) (*model)[key] = data;
      return ok;
    }
    const Key key = anyKey();
    SetLocale(key.locale);
    bool ok = false;
    if (what < 6) {
      ok = DeleteArchiveFile(a, key.name.c_str());
      if (ok) model->erase(key);
    } else if (what < 8) {
      const Key to{freshName(), key.locale};
      ok = model->count(to) == 0 && RenameArchiveFile(a, key.name.c_str(), to.name.c_str());
      if (ok) {
        (*model)[to] = (*model)[key];
        model->erase(key);
      }
    } else {
      const Key to{key.name, kLocales[pick(3)]};
      ok = model->count(to) == 0 && SetArchiveFileLocale(a, key.name.c_str(), key.locale, to.locale);
      if (ok) {
        (*model)[to] = (*model)[key];
        model->erase(key);
      }
    }
    SetLocale(0);
    return ok;
  }

  // Runs updates one after another: each a single change or a batch of a
  // few; after each, the model and the bound are checked.
  void Run(uint32_t hashSize, uint32_t createFlags, uint32_t openFlags, uint32_t seed, int updates) {
    ArchiveHandle a = Create("t.mpq", hashSize, createFlags);
    ASSERT_NE(a, nullptr);
    CloseWritableArchive(a, 0);
    a = OpenExisting("t.mpq", openFlags);
    ASSERT_NE(a, nullptr);
    std::mt19937 random(seed);
    Model model;
    uint64_t worst = 0;
    for (int u = 0; u < updates && !HasFatalFailure(); ++u) {
      SCOPED_TRACE("update " + std::to_string(u));
      if (random() % 5 == 0) {
        ASSERT_TRUE(BeginArchiveUpdate(a));
        // A refused change leaves the batch and the model as they were.
        for (uint32_t n = 2 + random() % 4; n > 0; --n) Change(a, &model, &random);
        // The commit replaces the name list's block.
        const std::set<Placed> pending = LiveBlocks(a);
        ASSERT_TRUE(CommitArchiveUpdate(a)) << GetLastError();
        const std::set<Placed> committed = LiveBlocks(a);
        for (const Placed& p : pending) {
          if (committed.count(p) == 0) dropped_ += p.size + 2 * kEntryBytes;
        }
      } else if (!Change(a, &model, &random)) {
        continue;
      }
      ExpectModel(model);
      uint64_t compacted = 0, tables = 0;
      Compacted(&compacted, &tables);
      const uint64_t size = fs::file_size(Path("t.mpq"));
      ASSERT_GE(size, compacted);
      const uint64_t dead = size - compacted;
      ASSERT_LE(dead, tables + dropped_) << "file " << size << ", compacted " << compacted << ", tables " << tables
                                        << ", dropped " << dropped_;
      if (dead > worst) worst = dead;
    }
    CloseWritableArchive(a, 0);
    std::printf("hash %u: %d updates, most dead space %llu bytes, dropped %llu\n", hashSize, updates,
                static_cast<unsigned long long>(worst), static_cast<unsigned long long>(dropped_));
  }
};

TEST_F(TableSpaceTest, ManyUpdatesLeaveAtMostOneTableCopyDead) {
  Run(16384, 0, 0, 1, 120);
}

TEST_F(TableSpaceTest, ManyUpdatesOfAnExtendedArchiveKeepingItsNameList) {
  Run(8192, UPDATE_FORMAT_1, UPDATE_KEEP_LISTFILE, 2, 120);
}

}  // namespace
