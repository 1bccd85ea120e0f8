// Archives laid out the way tools that guard archives against editors leave
// them: tables claiming more entries than the file holds, block entries with
// false stored sizes, gaps behind sector offset tables, data and tables
// reached through offsets that wrap at 32 bits. The built tavrix must write
// every listed file byte for byte, and again after `sorvane compact`.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <ostream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "archive/read/archive_record.h"
#include "sorvane/sorvane.h"
#include "compression/scomp.h"
#include "tests/support/archive_builder.h"
#include "tests/support/file_tree.h"
#include "tests/support/run_program.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

const std::string kBanner =
    "Tavrix v1.0\nWritten by Moraine\nNov. 2003\nUses Quillon's Sorvane Library\n\n";
const std::string kPrompt = "Press return to exit";
constexpr uint32_t kSectorSize = 4096;
constexpr uint32_t kTableFlags = BLOCK_COMPRESSED | BLOCK_IMPLODED;

Bytes Text(size_t size, uint32_t seed) {
  static const char* const kWords[] = {"footman ", "grunt ", "peasant ", "farm ", "tower\r\n",
                                       "lumber ",  "gold ",  "mine ",    "keep ", "altar "};
  std::string text;
  for (uint32_t x = seed * 2654435761u + 1; text.size() < size;) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    text += kWords[x % 10];
  }
  text.resize(size);
  return ToBytes(text);
}

// Sectors as the library's own dispatch stores them; imploded files keep the
// bare implode stream, without the mask byte.
SectorEncoder Encoder(uint32_t mask, bool maskByte) {
  return [mask, maskByte](const uint8_t* data, uint32_t length, uint32_t) {
    Bytes out(length);
    uint32_t outLength = length;
    EXPECT_TRUE(CompressSector(out.data(), &outLength, data, length, mask, 0, 0));
    out.resize(outLength);
    if (!maskByte && outLength < length) out.erase(out.begin());
    return out;
  };
}

// Every kind of stored file; the twists below spoil them all alike.
struct Kind {
  const char* stem;
  uint32_t flags;
  size_t size;
};
const Kind kKinds[] = {
    {"compressed", BLOCK_COMPRESSED, 3 * kSectorSize + 700},
    {"imploded", BLOCK_IMPLODED, 2 * kSectorSize + 5},
    {"encrypted", BLOCK_COMPRESSED | BLOCK_ENCRYPTED, 2 * kSectorSize + 1001},
    {"adjusted", BLOCK_COMPRESSED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED, 4 * kSectorSize},
    {"plain", 0, kSectorSize + 333},
    {"plain_adjusted", BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED, 2 * kSectorSize + 17},
};

// One archive: the builder, the names listed and what tavrix must write.
struct OddArchive {
  ArchiveBuilder builder;
  std::vector<FileSpec*> files;  // the listfile last
  std::vector<std::string> names;
  std::map<std::string, Bytes> expected;
  // Names are "Data\<stem><n>.bin" with the first n that this accepts.
  std::function<bool(const std::string&)> acceptName = [](const std::string&) { return true; };
  // Runs on the built bytes before they are written.
  std::function<void(Bytes&, const Layout&)> finish = [](Bytes&, const Layout&) {};

  void AddFiles() {
    uint32_t seed = 1;
    for (const Kind& kind : kKinds) {
      std::string name;
      for (uint32_t n = 0; name.empty() || !acceptName(name); ++n) {
        name = std::string("Data\\") + kind.stem + std::to_string(n) + ".bin";
      }
      const Bytes content = Text(kind.size, seed++);
      FileSpec& f = builder.Add(name, content, kind.flags);
      if (kind.flags & kTableFlags) f.encodeSector = Encoder(COMP_IMPLODE, (kind.flags & BLOCK_COMPRESSED) != 0);
      files.push_back(&f);
      names.push_back(name);
      std::replace(name.begin(), name.end(), '\\', '/');
      expected[name] = content;
    }
    FileSpec& list = builder.Listfile(names, "\r\n", BLOCK_COMPRESSED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED);
    list.encodeSector = Encoder(COMP_IMPLODE, true);
    files.push_back(&list);
  }
};

struct Twist {
  const char* name;
  std::function<void(OddArchive&)> apply;  // before the files are added
  std::function<void(OddArchive&)> spoil;  // after
  // sorvane takes entries that name no block for damage, and compacts no
  // damaged archive.
  bool compacts = true;
};

void EachFile(OddArchive& a, const std::function<void(FileSpec&)>& change) {
  for (FileSpec* f : a.files) change(*f);
}

// The hash table claims 2,048 or more entries but only its first 128 are in
// the file; every name must have its home among them. The claimed count is
// chosen so that "(listfile)" has one too.
void HashTablePartlyInFile(OddArchive& a) {
  uint32_t claimed = 2048;
  while (HashString("(listfile)", HASH_TABLE_INDEX) % claimed >= 120) ++claimed;
  auto homes = std::make_shared<std::set<uint32_t>>();
  homes->insert(HashString("(listfile)", HASH_TABLE_INDEX) % claimed);
  a.acceptName = [claimed, homes](const std::string& name) {
    const uint32_t home = HashString(name.c_str(), HASH_TABLE_INDEX) % claimed;
    return home < 120 && homes->insert(home).second;
  };
  a.builder.HashTableSize(claimed).HashTableLast();
  a.finish = [](Bytes& bytes, const Layout& layout) { bytes.resize(layout.hashTablePos + 128 * kEntryBytes); };
}

// Ahead of every name's entry, in its home slot, an entry with the same
// name and locale that names no block of the table. Homes are kept apart
// so that each decoy and true entry has its slot.
void DecoyEntriesAheadOfEveryName(OddArchive& a) {
  constexpr uint32_t kSlots = 64;
  auto taken = std::make_shared<std::set<uint32_t>>();
  const auto claim = [taken](const std::string& name) {
    const uint32_t home = HashString(name.c_str(), HASH_TABLE_INDEX) % kSlots;
    if (home + 1 == kSlots || taken->count(home) || taken->count(home + 1)) return false;
    taken->insert({home, home + 1});
    return true;
  };
  claim("(listfile)");
  a.acceptName = claim;
  a.builder.HashTableSize(kSlots);
}
void PlaceDecoys(OddArchive& a) {
  uint32_t past = static_cast<uint32_t>(a.files.size());
  EachFile(a, [&a, &past](FileSpec& f) {
    const uint32_t home = HashString(f.name.c_str(), HASH_TABLE_INDEX) % 64;
    f.hashIndex = home + 1;
    a.builder.SetHashEntry(home, HashEntry{HashString(f.name.c_str(), HASH_NAME_A),
                                           HashString(f.name.c_str(), HASH_NAME_B), f.locale, past});
    past = past * 3 + 0x1000;
  });
}

const Twist kTwists[] = {
    {"DecoyEntriesNamingNoBlockAheadOfEveryName", DecoyEntriesAheadOfEveryName, PlaceDecoys, false},
    {"BlockTableClaimsFourTimesWhatTheFileHolds",
     [](OddArchive& a) {
       a.builder.PatchHeader([](ArchiveHeader& h) { h.blockTableEntries = 4 * (h.archiveSize / kEntryBytes); });
     },
     nullptr},
    {"BlockTableClaims1048576Entries",
     [](OddArchive& a) { a.builder.PatchHeader([](ArchiveHeader& h) { h.blockTableEntries = 1u << 20; }); },
     nullptr},
    {"HashTablePartlyInTheFile", HashTablePartlyInFile, nullptr},
    {"StoredSizesOfZero", nullptr, [](OddArchive& a) { EachFile(a, [](FileSpec& f) { f.storedSize = 0; }); }},
    {"StoredSizesTooSmall", nullptr, [](OddArchive& a) { EachFile(a, [](FileSpec& f) { f.storedSize = 100; }); }},
    {"StoredSizesFarTooLarge", nullptr,
     [](OddArchive& a) { EachFile(a, [](FileSpec& f) { f.storedSize = 0xFFFFFF00u; }); }},
    {"OffsetTablesFollowedByAWord", nullptr,
     [](OddArchive& a) { EachFile(a, [](FileSpec& f) { f.extraTableWords = 1; }); }},
    {"OffsetTablesFollowedBy16Bytes", nullptr,
     [](OddArchive& a) { EachFile(a, [](FileSpec& f) { f.extraTableWords = 4; }); }},
    {"FilesInTheStubThroughWrappingOffsets", [](OddArchive& a) { a.builder.Stub(128 * 1024); },
     [](OddArchive& a) {
       uint32_t at = 0;
       EachFile(a, [&at](FileSpec& f) {
         f.stubPosition = at;
         at += 16 * 1024;
       });
     }},
    {"HashTableInTheStubThroughAWrappingOffset", [](OddArchive& a) { a.builder.Stub(1024).HashTableInStub(0); },
     nullptr},
};

struct OddCase {
  const Twist* twist;
  bool bn3;
};

void PrintTo(const OddCase& c, std::ostream* os) { *os << c.twist->name << (c.bn3 ? " (BN3)" : ""); }

void ExpectTavrixWritesAll(const TempDir& dir, const OddArchive& a) {
  fs::remove_all(dir / "test_mpq");
  const RunResult run = RunProgram(BuiltProgram("extractor/tavrix"), {dir / "test.mpq"}, dir.path(), "\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(MaskElapsed(run.output), kBanner + "Listfile read...extracting files.\n" +
                                         std::to_string(a.names.size()) + " files extracted in # miliseconds.\n" +
                                         kPrompt);
  EXPECT_EQ(run.errors, "");
  const std::map<std::string, Bytes> got = ReadTree(dir / "test_mpq");
  for (const auto& [name, content] : a.expected) {
    const auto it = got.find(name);
    if (it == got.end()) {
      ADD_FAILURE() << name << ": not written";
    } else {
      EXPECT_TRUE(it->second == content) << name << ": " << it->second.size() << " bytes written, "
                                         << content.size() << " expected";
    }
  }
  EXPECT_EQ(got.size(), a.expected.size());
}

class OddLayout : public testing::TestWithParam<OddCase> {};

TEST_P(OddLayout, EveryListedFileExtractsBeforeAndAfterCompaction) {
  const OddCase c = GetParam();
  OddArchive a;
  a.builder.Bn3(c.bn3);
  if (c.twist->apply) c.twist->apply(a);
  a.AddFiles();
  if (c.twist->spoil) c.twist->spoil(a);
  Layout layout;
  Bytes bytes = a.builder.Build(&layout);
  a.finish(bytes, layout);

  TempDir dir(std::string("odd-") + c.twist->name);
  WriteBytes(dir / "test.mpq", bytes);
  {
    SCOPED_TRACE("as built");
    ExpectTavrixWritesAll(dir, a);
  }
  if (!c.twist->compacts) return;
  const RunResult compact =
      RunProgram(BuiltProgram("tools/sorvane/sorvane"), {"compact", dir / "test.mpq"}, dir.path(), "");
  EXPECT_EQ(compact.status, 0) << compact.errors;
  {
    SCOPED_TRACE("compacted");
    ExpectTavrixWritesAll(dir, a);
  }
}

std::vector<OddCase> AllCases() {
  std::vector<OddCase> cases;
  for (const Twist& t : kTwists) {
    cases.push_back({&t, false});
    cases.push_back({&t, true});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(OddLayoutExtract, OddLayout, testing::ValuesIn(AllCases()),
                         [](const testing::TestParamInfo<OddCase>& info) {
                           return std::string(info.param.twist->name) + (info.param.bn3 ? "Bn3" : "");
                         });

}  // namespace
