// Updates against a model: random starting archives of the odd but readable
// kinds (deletion marks inside probe runs, a name in several locales,
// entries sharing a block, a block table larger than the hash table, names
// no list gives, encrypted and position-keyed files, the extended header and
// data past 4 GiB) take random sequences of adds, replaces, deletes, renames,
// re-locales, compactions and batches. The model is a map of (name, locale)
// to bytes. After every step the writer's handle, and the archive reopened by
// the reader alone, must show exactly the model: every file byte for byte,
// every lookup's locale fallback, no entry more, and a refused step leaves
// everything as it was, with the error the header gives for it. Single
// steps and whole batches are also stopped at random writes. Longer runs:
// TAVRIX_MODEL_SEED and TAVRIX_MODEL_ROUNDS choose other sequences and more
// of them.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <set>

#include "tests/archive/read/read_test_util.h"
#include "tests/archive/update/update_test_util.h"

using namespace updatetest;
using testsupport::FileSpec;

namespace {

constexpr uint32_t kLocales[] = {0, 0x407, 0x409};
// The last error a step starts with: the refusals that keep it show it.
constexpr uint32_t kUntouched = 0x7E57;
constexpr uint32_t kIoError = 1117;  // ERROR_IO_DEVICE
constexpr uint32_t kFromStart = 0;   // FILE_BEGIN: these tests see no <windows.h>

uint32_t EnvNumber(const char* name, uint32_t otherwise) {
  const char* value = std::getenv(name);
  return value != nullptr ? static_cast<uint32_t>(std::strtoul(value, nullptr, 10)) : otherwise;
}

using Key = std::pair<std::string, uint32_t>;
// The files, and what "(listfile)" must hold when it is kept current:
// every stored name added or renamed to (mustList), and beside the stored
// names only those whose entry was deleted by index (mayList).
struct Model : std::map<Key, Bytes> {
  std::set<std::string> mustList, mayList;
  bool Holds(const std::string& name) const {
    for (const auto& [key, data] : *this) {
      if (key.first == name) return true;
    }
    return false;
  }
};

class UpdateModelTest : public UpdateTest {
 protected:
  std::mt19937 random{EnvNumber("TAVRIX_MODEL_SEED", 20261211u)};
  std::vector<std::string> pool;
  uint32_t hashSize = 0;
  std::string trace;  // the steps of the current round, for failure messages
  Key focus;
  bool bn3 = false;
  // A write fault armed for the step: its error, whether it stopped the
  // step, and the model of the whole step.
  uint32_t injected = 0;
  bool noCommitInside = false;  // no step that commits a batch so far
  bool stopped = false;
  Model whole;
  std::string shape;  // the starting archive's layout, for failure messages

  uint32_t Pick(uint32_t n) { return static_cast<uint32_t>(random() % n); }

  Bytes Content() {
    static const uint32_t sizes[] = {0, 1, 17, 511, 4095, 4096, 4097, 9000, 20000};
    const uint32_t size = sizes[Pick(9)] + (Pick(2) ? Pick(300) : 0);
    return Pick(2) ? Compressible(size, random()) : PatternBytes(size, random());
  }

  // Flags a builder-made file may carry: every one the readers know.
  uint32_t BuiltFlags() {
    static const uint32_t choices[] = {0,
                                       BLOCK_COMPRESSED,
                                       BLOCK_ENCRYPTED,
                                       BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED,
                                       BLOCK_COMPRESSED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED,
                                       BLOCK_SINGLE_UNIT,
                                       BLOCK_SINGLE_UNIT | BLOCK_ENCRYPTED,
                                       BLOCK_SINGLE_UNIT | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED};
    return choices[Pick(8)];
  }
  // What the library's own adds are asked for.
  uint32_t AddFlags() {
    static const uint32_t choices[] = {0,
                                       BLOCK_COMPRESSED,
                                       BLOCK_IMPLODED,
                                       BLOCK_COMPRESSED | BLOCK_ENCRYPTED,
                                       BLOCK_COMPRESSED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED,
                                       BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED,
                                       BLOCK_SINGLE_UNIT | BLOCK_COMPRESSED,
                                       BLOCK_SINGLE_UNIT | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED,
                                       BLOCK_COMPRESSED | BLOCK_SECTOR_CRC};
    return choices[Pick(9)];
  }

  // A starting archive; *big when its data lies past 4 GiB.
  bool BuildStart(const std::string& file, Model* model, bool* big) {
    ArchiveBuilder b;
    hashSize = 16u << Pick(3);
    b.HashTableSize(hashSize);
    const bool extended = Pick(3) == 0;
    *big = extended && Pick(4) == 0;
    if (extended) b.Extended(1);
    // Layouts every reader takes: another sector size, a stub or user data
    // before the header, tables first or the hash table last, per-file
    // headers.
    shape = "";
    if (Pick(3) == 0) {
      const uint16_t shift = static_cast<uint16_t>(Pick(6));
      b.SectorShift(shift);
      shape += " shift " + std::to_string(shift);
    }
    switch (Pick(5)) {
      case 0: b.Stub(512); shape += " stub"; break;
      case 1: b.UserData(100 + Pick(300), Pick(2) ? 0 : 200); shape += " user-data"; break;
      default: break;
    }
    switch (Pick(4)) {
      case 0: b.TablesFirst(); shape += " tables-first"; break;
      case 1: b.HashTableLast(); shape += " hash-last"; break;
      default: break;
    }
    bn3 = !extended && Pick(6) == 0;
    if (bn3) {
      b.Bn3();
      shape += " bn3";
    }
    std::vector<bool> used(hashSize, false);
    uint32_t taken = 0;
    // Half the table at most: the model's adds need room.
    const auto place = [&](const std::string& name) {
      uint32_t j = HashString(name.c_str(), HASH_TABLE_INDEX) % hashSize;
      for (;;) {
        while (used[j]) j = (j + 1) % hashSize;
        // A mark where the run goes on: names behind it are found only
        // through it.
        if (taken + 2 >= hashSize / 2 || Pick(3) != 0) break;
        // The mark written now, or the one of earlier writers.
        b.SetHashEntry(j, Pick(3) ? kDeletedMark : HashEntry{kFreeWord, kFreeWord, kFreeWord, kDeletedBlockIndex});
        used[j] = true;
        ++taken;
      }
      used[j] = true;
      ++taken;
      return j;
    };
    std::vector<const FileSpec*> shareable;
    std::vector<std::string> listed;
    const uint32_t files = 3 + Pick(hashSize / 4);
    for (uint32_t i = 0; i < files; ++i) {
      const std::string name = pool[Pick(static_cast<uint32_t>(pool.size()))];
      const uint32_t locale = kLocales[Pick(3)];
      if (model->count({name, locale})) continue;
      if (Pick(4) != 0) listed.push_back(name);
      // Encrypted data shared by names of one key: the same last component.
      const auto last = [](const std::string& n) { return n.substr(n.find_last_of('\\') + 1); };
      std::vector<const FileSpec*> fits;
      for (const FileSpec* t : shareable) {
        if ((t->flags & BLOCK_ENCRYPTED) == 0 || last(t->name) == last(name)) fits.push_back(t);
      }
      if (!fits.empty() && Pick(4) == 0) {
        const FileSpec& target = *fits[Pick(static_cast<uint32_t>(fits.size()))];
        FileSpec& s = b.Add(name, PatternBytes(50, i));
        s.locale = locale;
        s.blockIndexInHash = target.blockIndex;
        s.hashIndex = place(name);
        (*model)[{name, locale}] = target.content;
        continue;
      }
      Bytes data = Content();
      uint32_t flags = BuiltFlags();
      // A unit of nothing is nothing to encrypt.
      if (data.empty()) flags &= ~(BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED);
      FileSpec& s = b.Add(name, data, flags);
      s.locale = locale;
      // Sectors packed for real where the flags ask for it.
      if ((flags & BLOCK_COMPRESSED) && Pick(2)) {
        s.encodeSector = readtest::PackedSectors(Pick(2) ? COMP_ZLIB : COMP_HUFFMAN);
      }
      if (HasSectorTable(flags) && Pick(4) == 0) s.gapBefore = 1 + Pick(64);
      s.hashIndex = place(name);
      if (*big && i == 0) s.holeBefore = (uint64_t{1} << 32) + 4096;
      shareable.push_back(&s);
      (*model)[{name, locale}] = data;
    }
    // Blocks no entry names, more of them than the hash table has entries.
    if (Pick(2) == 0) {
      for (uint32_t i = 0; i < hashSize + 3; ++i) b.AddRawBlock(BlockEntry{32, 0, 0, Pick(2) ? 0 : BLOCK_EXISTS});
    }
    // Other writers' lists may name a file twice, in another case too.
    if (!listed.empty() && Pick(2)) {
      std::string again = listed[Pick(static_cast<uint32_t>(listed.size()))];
      if (Pick(2)) std::transform(again.begin(), again.end(), again.begin(), ::toupper);
      listed.push_back(again);
    }
    if (Pick(3) != 0) b.Listfile(listed).hashIndex = place("(listfile)");
    if (*big) return b.WriteSparse(Path(file));
    b.WriteTo(Path(file));
    return true;
  }

  static bool Internal(const std::string& name) { return !name.empty() && name[0] == '('; }

  // The archive shows exactly the model.
  // The first way the archive differs from the model: a file missing, other
  // bytes, another locale, or an entry the model does not have. Empty when
  // none.
  std::string Difference(ArchiveHandle a, const Model& model) {
    for (const std::string& name : pool) {
      for (uint32_t locale : kLocales) {
        auto it = model.find({name, locale});
        if (it == model.end()) it = model.find({name, 0});
        const std::string where = name + " in " + std::to_string(locale);
        FileHandle f = nullptr;
        const bool opened = OpenArchiveFileInLocale(a, name.c_str(), locale, &f);
        if (it == model.end()) {
          if (opened) CloseArchiveFile(f);
          if (opened) return where + " is still there";
          continue;
        }
        if (!opened) return where + " does not open: " + std::to_string(GetLastError());
        const uint32_t found = GetArchiveFileInfo(f, INFO_LOCALE);
        const uint32_t size = GetArchiveFileSize(f, nullptr);
        Bytes got(size + 1);
        uint32_t n = 0;
        const bool read = ReadArchiveFile(f, got.data(), size + 1, &n, nullptr);
        const uint32_t error = GetLastError();
        CloseArchiveFile(f);
        got.resize(n);
        if (found != it->first.second) return where + " opens the version of " + std::to_string(found);
        if (!read) return where + " does not read: " + std::to_string(error);
        if (got != it->second) {
          return where + ": " + std::to_string(n) + " bytes read, " + std::to_string(it->second.size()) +
                 " expected, or other bytes";
        }
      }
    }
    // No entry beyond the model's.
    std::vector<const char*> names;
    for (const std::string& name : pool) names.push_back(name.c_str());
    struct Context {
      std::set<Key> seen;
      uint32_t unnamed = 0;
      bool twice = false;
    } context;
    const bool walked = EnumerateArchiveEntriesWith(
        a, names.data(), static_cast<uint32_t>(names.size()), ENTRIES_NO_LAYOUT,
        [](void* c, const ArchiveEntry* e) {
          auto* context = static_cast<Context*>(c);
          if (!e->nameKnown) {
            ++context->unnamed;
          } else if (!Internal(e->name)) {
            // Named by the first list that has it, in whatever case it was added.
            std::string name = e->name;
            std::transform(name.begin(), name.end(), name.begin(), ::tolower);
            if (!context->seen.insert({name, e->locale}).second) context->twice = true;
          }
          return true;
        },
        &context);
    if (!walked) return "no enumeration: " + std::to_string(GetLastError());
    if (context.unnamed != 0) return std::to_string(context.unnamed) + " entries of no known name";
    if (context.twice) return "a name and locale stored twice";
    std::set<Key> expected;
    for (const auto& [key, data] : model) expected.insert(key);
    if (context.seen != expected) {
      return std::to_string(context.seen.size()) + " entries, " + std::to_string(expected.size()) + " in the model";
    }
    return "";
  }

  // The archive shows exactly the model.
  void ExpectModel(ArchiveHandle a, const Model& model, const std::string& where) {
    const std::string difference = Difference(a, model);
    EXPECT_TRUE(difference.empty()) << where << ": " << difference << "\n" << trace;
  }

  // After a step stopped by a write fault: the archive as it was, or as
  // the whole step makes it (a stop after the switch to the new tables).
  void ExpectEither(ArchiveHandle a, Model* model, const Model& whole, const std::string& where) {
    const std::string before = Difference(a, *model);
    if (before.empty()) return;
    const std::string after = Difference(a, whole);
    EXPECT_TRUE(after.empty()) << where << ": neither the old state (" << before << ") nor the new (" << after
                               << ")\n" << trace;
    if (after.empty()) *model = whole;
  }

  // "(listfile)" kept current: the names stored since, and no name that
  // is gone.
  void ExpectListed(ArchiveHandle a, const Model& model) {
    bool ok = false;
    FileHandle f = nullptr;
    std::set<std::string> listed;
    if (OpenArchiveFileInLocale(a, "(listfile)", 0, &f)) {
      Bytes text(GetArchiveFileSize(f, nullptr));
      uint32_t n = 0;
      ok = ReadArchiveFile(f, text.data(), static_cast<uint32_t>(text.size()), &n, nullptr) && n == text.size();
      CloseArchiveFile(f);
      std::string line;
      for (uint8_t c : text) {
        if (c == '\r' || c == '\n' || c == ';') {
          if (!line.empty()) listed.insert(line);
          line.clear();
        } else {
          line += static_cast<char>(std::tolower(c));
        }
      }
      if (!line.empty()) listed.insert(line);
    }
    // A list that is not there yet needs an entry; a table with no room
    // for it leaves the archive without one (the upkeep fails no update).
    if (!ok && model.size() + 3 >= hashSize) return;
    for (const std::string& name : model.mustList) {
      if (model.Holds(name)) {
        EXPECT_TRUE(listed.count(name)) << name << " not listed" << (ok ? "" : " (no list)") << "\n" << trace;
      }
    }
    for (const std::string& name : listed) {
      if (Internal(name)) continue;
      EXPECT_TRUE(model.Holds(name) || model.mayList.count(name)) << name << " listed, not stored\n" << trace;
    }
  }

  // Every entry decodes whole, and to what "(attributes)" records where
  // the archive keeps one.
  void ExpectVerified(ArchiveHandle a) {
    std::vector<const char*> names;
    for (const std::string& name : pool) names.push_back(name.c_str());
    std::vector<std::string> bad;
    ASSERT_TRUE(VerifyArchiveEntries(
        a, names.data(), static_cast<uint32_t>(names.size()),
        [](void* c, const ArchiveVerifyResult* v) {
          if (v->state != VERIFY_WHOLE) {
            static_cast<std::vector<std::string>*>(c)->push_back(std::string(v->entry->name) + " state " +
                                                                 std::to_string(v->state) + " reason " +
                                                                 std::to_string(v->reason));
          }
          return true;
        },
        &bad));
    for (const std::string& b : bad) ADD_FAILURE() << b << "\n" << trace;
  }

  // A step's outcome: done as the model says, or refused with one of the
  // codes given and nothing changed.
  void ExpectRefused(bool ok, std::initializer_list<uint32_t> codes, const std::string& what) {
    const uint32_t error = GetLastError();
    EXPECT_FALSE(ok) << what << " succeeded";
    if (ok) return;
    // A session's first write (cutting what lies past the archive) may meet
    // the fault before the refusal.
    bool known = injected != 0 && error == injected;
    for (uint32_t c : codes) known = known || c == error;
    EXPECT_TRUE(known) << what << " failed with " << error << "\n" << trace;
  }

  // A step that should be done: applied to the model, or, when a write
  // fault stopped it, to the state the whole step gives.
  template <typename Apply>
  void Done(bool ok, Model* model, const std::string& what, Apply apply) {
    if (ok) {
      apply(*model);
    } else if (injected != 0 && GetLastError() == injected) {
      // Inside a batch the failure abandons it: nothing to make whole.
      stopped = true;
      if (!noCommitInside) apply(whole);
    } else {
      ADD_FAILURE() << what << ": " << GetLastError() << "\n" << trace;
    }
  }

  // One update on the open archive, chosen at random; changes the model as
  // the library must change the archive.
  void RandomStep(ArchiveHandle a, Model* model, Model* committed) {
    // Often the file a handle is open on, which the step then changes
    // under it.
    const bool onFocus = !focus.first.empty() && Pick(3) == 0;
    const std::string name = onFocus ? focus.first : pool[Pick(static_cast<uint32_t>(pool.size()))];
    const uint32_t locale = onFocus ? focus.second : kLocales[Pick(3)];
    const Key key{name, locale};
    const bool stored = model->count(key) != 0;
    std::string spelled = name;
    // Names are looked up in either case.
    if (Pick(4) == 0) std::transform(spelled.begin(), spelled.end(), spelled.begin(), ::toupper);
    SetLocale(locale);
    SetLastError(kUntouched);
    uint32_t kind = Pick(9);
    if (noCommitInside && (kind == 6 || kind == 7)) kind = 2;
    trace += std::to_string(kind) + " " + spelled + "@" + std::to_string(locale);
    if (kind <= 1) {
      const size_t live = model->size();
      const bool replace = kind == 1;
      if (!stored && live + 3 >= hashSize) {
        trace += " (full)\n";
        SetLocale(0);
        return;
      }
      const Bytes data = Content();
      const uint32_t flags = AddFlags() | (replace ? ADD_REPLACE : 0);
      const uint32_t mask = (flags & BLOCK_COMPRESSED) ? (Pick(2) ? COMP_ZLIB : COMP_HUFFMAN | COMP_IMPLODE) : 0;
      trace += " add " + std::to_string(flags) + " " + std::to_string(data.size());
      // The one locale an entry cannot hold: its word all ones is what marks
      // an entry empty, which would end the probe runs through it.
      const bool unholdable = Pick(12) == 0;
      if (unholdable) {
        SetLocale(kFreeWord);
        trace += " in locale 0xFFFFFFFF";
      }
      const bool ok = Add(a, spelled, data, flags, mask);
      if (unholdable) {
        ExpectRefused(ok, {ERROR_INVALID_PARAMETER}, "add in locale 0xFFFFFFFF");
      } else if (bn3 && (flags & BLOCK_SINGLE_UNIT)) {
        // Units are not written behind per-file headers.
        ExpectRefused(ok, {ERROR_NOT_SUPPORTED}, "add of a unit");
      } else if (stored && !replace) {
        ExpectRefused(ok, {ERR_ALREADY_STORED}, "add over " + name);
      } else {
        Done(ok, model, "add " + name, [&](Model& m) {
          m[key] = data;
          m.mustList.insert(name);
        });
      }
    } else if (kind == 2) {
      trace += " delete";
      const bool ok = DeleteArchiveFile(a, spelled.c_str());
      if (stored) {
        Done(ok, model, "delete " + name, [&](Model& m) {
          m.erase(key);
          if (!m.Holds(name)) m.mayList.erase(name);
        });
      } else {
        // A name stored in the neutral locale alone is refused leaving the
        // last error as it was, as the original interface did.
        const bool neutral = model->count({name, 0}) != 0;
        ExpectRefused(ok, {neutral ? kUntouched : ERR_FILE_NOT_STORED}, "delete of " + name);
      }
    } else if (kind == 3) {
      const std::string to = pool[Pick(static_cast<uint32_t>(pool.size()))];
      trace += " rename " + to;
      const bool ok = RenameArchiveFile(a, spelled.c_str(), to.c_str());
      if (to == name) {
        ExpectRefused(ok, {ERROR_INVALID_PARAMETER}, "rename to itself");
      } else if (!stored) {
        ExpectRefused(ok, {ERR_FILE_NOT_STORED}, "rename of " + name);
      } else if (model->count({to, locale})) {
        ExpectRefused(ok, {ERR_ALREADY_STORED}, "rename onto " + to);
      } else {
        Done(ok, model, "rename " + name + " " + to, [&](Model& m) {
          m[{to, locale}] = m[key];
          m.erase(key);
          m.mustList.insert(to);
          if (!m.Holds(name)) m.mayList.erase(name);
        });
      }
    } else if (kind == 4) {
      const uint32_t other = Pick(10) == 0 ? kFreeWord : kLocales[Pick(3)];
      trace += " locale " + std::to_string(other);
      const bool ok = SetArchiveFileLocale(a, spelled.c_str(), locale, other);
      if (other == kFreeWord) {
        ExpectRefused(ok, {ERROR_INVALID_PARAMETER}, "re-locale to 0xFFFFFFFF");
      } else if (other == locale) {
        ExpectRefused(ok, {kUntouched}, "re-locale to the same locale");
      } else if (!stored) {
        ExpectRefused(ok, {kUntouched}, "re-locale of " + name);
      } else if (model->count({name, other})) {
        ExpectRefused(ok, {ERR_ALREADY_STORED}, "re-locale onto " + std::to_string(other));
      } else {
        Done(ok, model, "re-locale " + name, [&](Model& m) {
          m[{name, other}] = m[key];
          m.erase(key);
        });
      }
    } else if (kind == 5) {
      // By index: the way to entries whatever their names.
      trace += " delete-entry";
      if (!stored) {
        trace += " (none)\n";
        SetLocale(0);
        return;
      }
      const HashEntry* e = FindExactHashEntry(a, name.c_str(), locale);
      ASSERT_NE(e, nullptr);
      const auto index = static_cast<uint32_t>(e - a->hashTable);
      Done(DeleteArchiveEntry(a, index), model, "delete entry", [&](Model& m) {
        m.erase(key);
        if (!m.Holds(name)) m.mayList.insert(name);
      });
    } else if (kind == 6) {
      trace += " compact";
      const bool ok = CompactArchive(a);
      // Position-keyed files whose names no list gives cannot be moved.
      if (!ok && (injected == 0 || GetLastError() != injected)) {
        EXPECT_EQ(GetLastError(), ERROR_FILE_INVALID) << trace;
      }
      // What a batch held is committed first, whatever the compaction did.
      *committed = *model;
    } else if (kind == 7) {
      const uint32_t size = hashSize << Pick(2) >> Pick(2);
      trace += " resize " + std::to_string(size);
      std::vector<const char*> names;
      for (const std::string& n : pool) names.push_back(n.c_str());
      ASSERT_TRUE(SetArchiveNameList(a, names.data(), static_cast<uint32_t>(names.size())));
      const bool ok = ResizeHashTable(a, size);
      const uint32_t error = GetLastError();
      hashSize = GetArchiveFileInfo(a, INFO_HASH_TABLE_SIZE);
      SetLastError(error);
      if (!ok && !(injected != 0 && GetLastError() == injected)) {
        // The internal files take entries too.
        EXPECT_TRUE(model->size() + 2 > size) << "resize to " << size << ": " << GetLastError();
        EXPECT_EQ(GetLastError(), ERR_HASH_TABLE_FULL);
      }
      *committed = *model;
    } else {
      // A list, some of it refused: names already stored, a name twice.
      std::vector<Key> keys;
      std::vector<Bytes> data;
      std::vector<AddListItem> items;
      for (uint32_t i = 0, n = 1 + Pick(3); i < n; ++i) {
        keys.push_back({i == 0 ? name : pool[Pick(static_cast<uint32_t>(pool.size()))], locale});
        data.push_back(Content());
      }
      for (size_t i = 0; i < keys.size(); ++i) {
        AddListItem item{};
        item.data = data[i].empty() ? "" : static_cast<const void*>(data[i].data());
        item.size = data[i].size();
        item.storedName = keys[i].first.c_str();
        item.methodMask = COMP_ZLIB;
        items.push_back(item);
        trace += " list " + keys[i].first;
      }
      if (model->size() + keys.size() + 3 >= hashSize) {
        trace += " (full)\n";
        SetLocale(0);
        return;
      }
      std::vector<uint32_t> errors;
      const uint32_t listFlags = BLOCK_COMPRESSED | (Pick(2) ? BLOCK_ENCRYPTED : 0);
      if (Pick(12) == 0) {
        trace += " in locale 0xFFFFFFFF";
        ExpectRefused(AddFileList(a, items.data(), static_cast<uint32_t>(items.size()), listFlags, 0, kFreeWord,
                                  nullptr, nullptr),
                      {ERROR_INVALID_PARAMETER}, "list in locale 0xFFFFFFFF");
        trace += "\n";
        SetLocale(0);
        return;
      }
      const bool ok = AddFileList(
          a, items.data(), static_cast<uint32_t>(items.size()), listFlags, 0, locale,
          [](void* c, uint32_t, uint32_t error) { static_cast<std::vector<uint32_t>*>(c)->push_back(error); },
          &errors);
      // Stopped by a fault, the whole call is what its entered items make.
      if (ok) {
        ASSERT_EQ(errors.size(), keys.size());
      }
      Done(ok, model, "list", [&](Model& m) {
        for (size_t i = 0; i < errors.size(); ++i) {
          if (m.count(keys[i])) {
            EXPECT_EQ(errors[i], ERR_ALREADY_STORED) << keys[i].first;
          } else {
            EXPECT_EQ(errors[i], 0u) << keys[i].first;
            if (errors[i] == 0) {
              m[keys[i]] = data[i];
              m.mustList.insert(keys[i].first);
            }
          }
        }
      });
    }
    trace += "\n";
    SetLocale(0);
  }
};

TEST_F(UpdateModelTest, RandomUpdatesOfOddArchivesMatchTheModelAfterEveryStep) {
  for (const char* stem : {"d\\a", "d\\b", "e\\a", "x.txt", "units\\peon.blp", "sound\\b", "f\\a", "e\\b"}) {
    pool.push_back(stem);
  }
  for (int i = 0; i < 6; ++i) pool.push_back("n" + std::to_string(i));
  const auto rounds = static_cast<int>(EnvNumber("TAVRIX_MODEL_ROUNDS", 100));
  uint32_t bigRounds = 0, stoppedSteps = 0, stoppedBatches = 0;
  for (int round = 0; round < rounds; ++round) {
    const std::string file = "model" + std::to_string(round) + ".mpq";
    Model model;
    bool big = false;
    if (!BuildStart(file, &model, &big)) {
      big = false;
      continue;  // no sparse files here
    }
    bigRounds += big;
    trace = "round " + std::to_string(round) + " hash " + std::to_string(hashSize) + (big ? " big" : "") + shape + "\n";
    {
      ArchiveHandle r = Reopen(file);
      ASSERT_NE(r, nullptr);
      ASSERT_NO_FATAL_FAILURE(ExpectModel(r, model, "as built"));
      CloseArchive(r);
    }
    const uint32_t keepList = Pick(2) ? UPDATE_KEEP_LISTFILE : 0;
    for (int step = 0; step < 12; ++step) {
      ArchiveHandle a = OpenExisting(file, keepList);
      ASSERT_NE(a, nullptr) << trace;
      // A handle open on a file that the step may leave alone.
      FileHandle kept = nullptr;
      Key keptKey;
      if (!model.empty()) {
        auto it = model.begin();
        std::advance(it, Pick(static_cast<uint32_t>(model.size())));
        keptKey = it->first;
        // By index too, where its key is found: the handle then knows no
        // name to derive the key of new data from.
        const HashEntry* e = FindExactHashEntry(a, keptKey.first.c_str(), keptKey.second);
        if (e != nullptr && Pick(3) == 0 && !OpenArchiveFileByIndex(a, static_cast<uint32_t>(e - a->hashTable), &kept)) {
          kept = nullptr;
        }
        if (kept == nullptr) {
          ASSERT_TRUE(OpenArchiveFileInLocale(a, keptKey.first.c_str(), keptKey.second, &kept)) << trace;
        }
        // Somewhere in the file, or at its end, for the read after the step.
        const uint32_t size = GetArchiveFileSize(kept, nullptr);
        const uint32_t at = Pick(2) ? size : size / 2;
        ASSERT_EQ(SetArchiveFilePointer(kept, static_cast<int32_t>(at), nullptr, kFromStart), at);
      }
      focus = keptKey;
      const Model atStart = model;
      Model before = model;
      if (step == 0 && Pick(3) == 0) {
        trace += "attributes\n";
        ASSERT_TRUE(SetArchiveAttributes(a, ATTRIBUTE_CRC32 | ATTRIBUTE_FILETIME | ATTRIBUTE_MD5)) << GetLastError();
      }
      const uint32_t shape = Pick(4);
      if (shape == 0 && Pick(3) == 0) {
        // A batch stopped at some write: a failure inside abandons it all,
        // a failure of its commit leaves the old state or the whole batch.
        // (Without compactions and resizes, which commit what came before.)
        injected = Pick(2) ? platform::kErrorDiskFull : kIoError;
        noCommitInside = true;
        const uint32_t allowed = Pick(60);
        trace += "batch, fault after " + std::to_string(allowed) + " writes\n";
        platform::SetWriteFault(allowed, injected);
        bool ok = BeginArchiveUpdate(a);
        for (uint32_t i = 0, n = 1 + Pick(4); ok && i < n; ++i) RandomStep(a, &model, &before);
        if (ok) ok = CommitArchiveUpdate(a);
        const uint32_t error = GetLastError();
        platform::ClearWriteFault();
        noCommitInside = false;
        stopped = false;
        if (HasFatalFailure()) return;
        if (!ok) {
          EXPECT_EQ(error, injected) << trace;
          trace += "stopped\n";
          ++stoppedBatches;
          Model old = before;
          ASSERT_NO_FATAL_FAILURE(ExpectEither(a, &old, model, "writer after a stopped batch"));
          model = old;
        }
        injected = 0;
      } else if (shape == 0) {
        trace += "batch\n";
        ASSERT_TRUE(BeginArchiveUpdate(a));
        for (uint32_t i = 0, n = 1 + Pick(4); i < n; ++i) ASSERT_NO_FATAL_FAILURE(RandomStep(a, &model, &before));
        ASSERT_NO_FATAL_FAILURE(ExpectModel(a, model, "inside the batch"));
        if (Pick(3) == 0) {
          trace += "abandon\n";
          ASSERT_TRUE(AbandonArchiveUpdate(a));
          model = before;
        } else {
          ASSERT_TRUE(CommitArchiveUpdate(a)) << GetLastError() << "\n" << trace;
        }
      } else if (Pick(3) == 0) {
        // Stopped at some write: the step fails whole, or is whole.
        injected = Pick(2) ? platform::kErrorDiskFull : kIoError;
        stopped = false;
        whole = model;
        const uint32_t allowed = Pick(40);
        trace += "fault after " + std::to_string(allowed) + " writes\n";
        platform::SetWriteFault(allowed, injected);
        RandomStep(a, &model, &before);
        platform::ClearWriteFault();
        injected = 0;
        if (HasFatalFailure()) return;
      } else {
        ASSERT_NO_FATAL_FAILURE(RandomStep(a, &model, &before));
      }
      hashSize = GetArchiveFileInfo(a, INFO_HASH_TABLE_SIZE);
      if (stopped) {
        trace += "stopped\n";
        ++stoppedSteps;
        ASSERT_NO_FATAL_FAILURE(ExpectEither(a, &model, whole, "writer after a fault, step " + std::to_string(step)));
        stopped = false;
      }
      ASSERT_NO_FATAL_FAILURE(ExpectModel(a, model, "writer, step " + std::to_string(step)));
      if (kept != nullptr) {
        // Whatever became of its file, the handle answers without harm.
        SetLastError(0);
        if (GetArchiveFileInfo(kept, INFO_LOCALE) == 0xFFFFFFFFu) {
          EXPECT_NE(GetLastError(), 0u) << trace;
        }
        SetLastError(0);
        if (GetArchiveFileInfo(kept, INFO_HASH_INDEX) >= hashSize) {
          EXPECT_NE(GetLastError(), 0u) << trace;
        }
        // Read on where the handle was, whatever the file is now.
        Bytes rest(30000);
        uint32_t n = 0xDEADBEEFu;
        SetLastError(0);
        if (!ReadArchiveFile(kept, rest.data(), static_cast<uint32_t>(rest.size()), &n, nullptr)) {
          EXPECT_NE(GetLastError(), 0u) << "read through a handle open across the step\n" << trace;
        }
        EXPECT_LE(n, rest.size()) << "bytes read not said\n" << trace;
        SetArchiveFilePointer(kept, 0, nullptr, kFromStart);
      }
      if (kept != nullptr && model.count(keptKey) && atStart.count(keptKey) &&
          model.at(keptKey) == atStart.at(keptKey)) {
        const Bytes& want = model.at(keptKey);
        Bytes got(want.size() + 1);
        uint32_t n = 0;
        ASSERT_NE(SetArchiveFilePointer(kept, 0, nullptr, kFromStart), 0xFFFFFFFFu);
        EXPECT_TRUE(ReadArchiveFile(kept, got.data(), static_cast<uint32_t>(got.size()), &n, nullptr));
        got.resize(n);
        EXPECT_TRUE(got == want) << keptKey.first << " read through a handle open across the step\n" << trace;
      } else if (kept != nullptr && model.count(keptKey)) {
        // Its file replaced in its own entry: the handle reads the new file,
        // or fails; never other bytes.
        const HashEntry* e = FindExactHashEntry(a, keptKey.first.c_str(), keptKey.second);
        if (e != nullptr && GetArchiveFileInfo(kept, INFO_HASH_INDEX) == static_cast<uint32_t>(e - a->hashTable)) {
          const Bytes& want = model.at(keptKey);
          Bytes got(want.size() + 1);
          uint32_t n = 0;
          ASSERT_NE(SetArchiveFilePointer(kept, 0, nullptr, kFromStart), 0xFFFFFFFFu);
          if (ReadArchiveFile(kept, got.data(), static_cast<uint32_t>(got.size()), &n, nullptr)) {
            got.resize(n);
            EXPECT_TRUE(got == want) << keptKey.first << " replaced under a handle reads other bytes\n" << trace;
          }
        }
      }
      EXPECT_TRUE(CloseWritableArchive(a, 0));
      ArchiveHandle r = Reopen(file);
      ASSERT_NE(r, nullptr) << trace;
      ASSERT_NO_FATAL_FAILURE(ExpectModel(r, model, "reopened, step " + std::to_string(step)));
      ASSERT_NO_FATAL_FAILURE(ExpectVerified(r));
      if (keepList) {
        ASSERT_NO_FATAL_FAILURE(ExpectListed(r, model));
      }
      CloseArchive(r);
      if (HasFailure()) return;
    }
    std::filesystem::remove(Path(file));
  }
  std::printf("%u rounds with data past 4 GiB; %u steps and %u batches stopped by a write fault\n", bigRounds,
              stoppedSteps, stoppedBatches);
}

}  // namespace
