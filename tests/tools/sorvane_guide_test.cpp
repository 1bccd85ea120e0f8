// sorvane as a new user meets it: each command of a table is run on the
// built program, and its exit status and the whole of its standard error
// must be exactly the expected ones; a command that fails leaves the
// archive's bytes as they were.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "sorvane/sorvane.h"
#include "platform/bytes.h"
#include "platform/platform.h"
#include "tests/support/archive_builder.h"
#include "tests/support/run_program.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

struct Case {
  std::vector<std::string> args;
  int status;
  std::string errors;      // standard error, exactly
  bool unchanged = false;  // the archive (args[1]) keeps its bytes
};

std::string Joined(const std::vector<std::string>& args) {
  std::string text;
  for (const std::string& a : args) text += " " + a;
  return text;
}

// The system's own words for a code, as sorvane prints them (they differ
// between systems).
std::string SystemText(uint32_t code) {
  std::string text;
  platform::FormatSystemMessage(code, text);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.')) {
    text.pop_back();
  }
  return text;
}

const std::string kTooSmallTail = "; nothing was written. ";
const std::string kDenied = "Access is denied (error 5)\n";

class SorvaneGuideTest : public ::testing::Test {
 protected:
  SorvaneGuideTest() : dir_("sorvaneguide") {}
  std::string At(const std::string& name) const { return dir_ / name; }

  // Runs sorvane, through `wrapper` (a program and its first arguments) when given.
  RunResult Run(const std::vector<std::string>& args, const std::vector<std::string>& wrapper = {}) const {
    if (wrapper.empty()) return RunProgram(BuiltProgram("tools/sorvane/sorvane"), args, dir_.path(), "");
    std::vector<std::string> all(wrapper.begin() + 1, wrapper.end());
    all.push_back(BuiltProgram("tools/sorvane/sorvane"));
    all.insert(all.end(), args.begin(), args.end());
    return RunProgram(wrapper[0], all, dir_.path(), "");
  }

  void Check(const std::vector<Case>& cases, const std::vector<std::string>& wrapper = {}) const {
    for (const Case& c : cases) {
      const std::string archive = c.args.size() > 1 ? At(c.args[1]) : "";
      const Bytes before = c.unchanged ? ReadBytes(archive) : Bytes();
      const RunResult r = Run(c.args, wrapper);
      EXPECT_EQ(ExitCode(r), c.status) << Joined(c.args) << "\n" << r.errors;
      EXPECT_EQ(r.errors, c.errors) << Joined(c.args);
      if (c.unchanged) {
        EXPECT_TRUE(ReadBytes(archive) == before) << Joined(c.args) << " changed the archive";
      }
    }
  }

  void Write(const std::string& name, const std::string& text) const {
    fs::create_directories(fs::path(At(name)).parent_path());
    WriteBytes(At(name), ToBytes(text));
  }

  // Stored names as `list` shows them (the last word of each row).
  std::multiset<std::string> Listed(const std::string& archive) const {
    const RunResult r = Run({"list", archive});
    EXPECT_EQ(r.status, 0) << r.errors;
    std::multiset<std::string> names;
    std::istringstream lines(r.output);
    std::string line;
    std::getline(lines, line);
    while (std::getline(lines, line)) names.insert(line.substr(line.find_last_of(' ') + 1));
    return names;
  }

  TempDir dir_;
};

TEST_F(SorvaneGuideTest, NamesNeverGoBeyondTheHashTable) {
  std::string names = "hidden.txt\n";
  for (int i = 0; i < 40; ++i) Write("small/f" + std::to_string(i) + ".txt", "small " + std::to_string(i));
  for (int i = 0; i < 30; ++i) Write("more/m" + std::to_string(i) + ".txt", "more " + std::to_string(i));
  Write("hidden.txt", "no list names me");
  Write("names.txt", names);
  Check({
      {{"add", "n.mpq", "small", "--hash-size", "16"}, 1,
       "sorvane: the hash table of \"n.mpq\" is too small: 16 entries, 41 needed (40 new, 1 for the name list)" +
           kTooSmallTail + "--hash-size 64 would fit: give it, or --grow\n"},
      {{"create", "c.mpq", "--hash-size", "16"}, 0, ""},
      {{"add", "c.mpq", "small"}, 1,
       "sorvane: the hash table of \"c.mpq\" is too small: 16 entries, 41 needed (0 in use, 40 new, 1 for the "
       "name list)" + kTooSmallTail + "--hash-size 64 would fit: give --grow, or run \"sorvane resize c.mpq 64\"\n",
       true},
      {{"add", "c.mpq", "small", "--grow"}, 0, ""},
      {{"add", "c.mpq", "hidden.txt", "--no-listfile"}, 0, ""},
      {{"add", "c.mpq", "more", "--grow"}, 1,
       "sorvane: cannot grow the hash table of \"c.mpq\": 1 stored file has no known name (give the names with "
       "--listfile); nothing was written\n",
       true},
      {{"add", "c.mpq", "more", "--grow", "--listfile", "names.txt"}, 0, ""},
      {{"resize", "c.mpq", "16"}, 1,
       "sorvane: cannot resize the hash table of \"c.mpq\" to 16 entries: 72 are in use\n", true},
      {{"resize", "c.mpq", "300"}, 1,
       "sorvane: cannot resize the hash table of \"c.mpq\": 1 stored file has no known name (give the names with "
       "--listfile); nothing was written\n",
       true},
      {{"resize", "c.mpq", "300", "--listfile", "names.txt"}, 0, ""},
      {{"verify", "c.mpq", "--listfile", "names.txt"}, 0, ""},
      {{"create", "big.mpq", "--hash-size", "1048577"}, 2,
       "sorvane: --hash-size of 1048577 entries is more than 1048576 (16 MiB of table); give --force to allow it\n"},
      {{"create", "big.mpq", "--hash-size", "4194305", "--force"}, 2,
       "sorvane: --hash-size must be between 1 and 4194304 entries\n"},
      {{"create", "f.mpq", "--hash-size", "4"}, 0, ""},
      {{"add", "f.mpq", "small/f0.txt", "small/f1.txt", "small/f2.txt", "small/f3.txt", "--no-listfile"}, 0, ""},
      {{"rename", "f.mpq", "small/f0.txt", "x"}, 1,
       "sorvane: the hash table of \"f.mpq\" is too small: 4 entries, 5 needed (4 in use, 0 new, 1 for the name "
       "list)" + kTooSmallTail + "--hash-size 8 would fit: run \"sorvane resize f.mpq 8\"\n",
       true},
      {{"rename", "f.mpq", "small/f0.txt", "x", "--no-listfile"}, 0, ""},
  });
  EXPECT_FALSE(fs::exists(At("n.mpq")));
  EXPECT_FALSE(fs::exists(At("big.mpq")));
  const RunResult info = Run({"info", "c.mpq"});
  EXPECT_NE(info.output.find("300 entries: 72 in use"), std::string::npos) << info.output;
  EXPECT_EQ(Run({"extract", "c.mpq", "-C", "out", "--listfile", "names.txt"}).status, 0);
  for (int i = 0; i < 40; ++i) {
    const std::string name = "small/f" + std::to_string(i) + ".txt";
    EXPECT_EQ(ReadBytes(At("out/" + name)), ReadBytes(At(name))) << name;
  }
  EXPECT_EQ(ReadBytes(At("out/hidden.txt")), ReadBytes(At("hidden.txt")));
  EXPECT_EQ(Listed("c.mpq").size(), 72u);  // 70 files, the list, and "hidden.txt" as #INDEX
}

TEST_F(SorvaneGuideTest, NamesTakeSlashesAndCaseOnlyRenamesWork) {
  Write("docs/a.txt", "A");
  Write("docs/x.gz", "X");
  ArchiveBuilder b;
  b.HashTableSize(16);
  b.Add("raw/slash.txt", "stored with a slash by another writer");
  b.Listfile({"raw/slash.txt"});
  b.WriteTo(At("s.mpq"));
  Check({
      {{"add", "s.mpq", "docs/x.gz", "--name", "data/bin/ls"}, 0, ""},
      {{"add", "s.mpq", "docs"}, 0, ""},
      {{"extract", "s.mpq", "data/bin/ls", "-C", "out"}, 0, ""},
      {{"rename", "s.mpq", "docs/a.txt", "docs/b.txt"}, 0, ""},
      {{"set-locale", "s.mpq", "docs/b.txt", "0", "0x407"}, 0, ""},
      {{"rename", "s.mpq", "docs/x.gz", "DOCS/X.GZ"}, 0, ""},
      {{"rename", "s.mpq", "DOCS/X.GZ", "DOCS\\X.GZ"}, 1, "sorvane: cannot rename \"DOCS\\X.GZ\": the new name is the same\n",
       true},
  });
  EXPECT_EQ(ReadBytes(At("out/data/bin/ls")), ToBytes("X"));
  EXPECT_EQ(Listed("s.mpq"), (std::multiset<std::string>{"(listfile)", "DOCS\\X.GZ", "data\\bin\\ls",
                                                         "docs\\b.txt", "raw/slash.txt"}));
  Check({
      {{"delete", "s.mpq", "docs/b.txt", "--locale", "0x407"}, 0, ""},
      {{"delete", "s.mpq", "raw/slash.txt"}, 0, ""},
      {{"verify", "s.mpq"}, 0, ""},
  });
  EXPECT_EQ(Listed("s.mpq"), (std::multiset<std::string>{"(listfile)", "DOCS\\X.GZ", "data\\bin\\ls"}));
  // Other readers find the new spelling too.
  const RunResult tavrix = RunProgram(BuiltProgram("extractor/tavrix"), {At("s.mpq")}, dir_.path(), "\n");
  EXPECT_EQ(tavrix.status, 0);
  EXPECT_EQ(ReadBytes(At("s_mpq/DOCS/X.GZ")), ToBytes("X"));
}

TEST_F(SorvaneGuideTest, ErrorsSayWhatHappened) {
  Write("docs/a.txt", "A");
  ASSERT_EQ(Run({"add", "e.mpq", "docs"}).status, 0);
  const std::string badMask =
      "is none of none, implode, implode-only, huffman, wave, zlib, bzip2 or a usable mask (0x01, 0x08, 0x40, "
      "0x80 together with one ADPCM bit at most; 0x02 or 0x10 alone)\n";
  const std::string listfileDelete =
      "sorvane: \"(listfile)\" holds the names of the archive's files; deleting it loses them all. Give --force "
      "to delete it all the same\n";
  const std::string listfileRename =
      "sorvane: \"(listfile)\" holds the names of the archive's files; renaming it or to it loses them. Give "
      "--force to rename all the same\n";
  Check({
      {{"extract", "e.mpq", "nosuch.txt"}, 1, "sorvane: cannot extract \"nosuch.txt\": not in the archive\n"},
      {{"delete", "e.mpq", "nosuch"}, 1, "sorvane: cannot delete \"nosuch\": not in the archive\n", true},
      {{"delete", "e.mpq", "docs/a.txt", "--locale", "0x407"}, 1,
       "sorvane: cannot delete \"docs\\a.txt\": only its neutral version is stored (use --locale 0)\n", true},
      {{"delete", "e.mpq", "nosuch", "--locale", "0x407"}, 1,
       "sorvane: cannot delete \"nosuch\": not in the archive in locale 0x407\n", true},
      {{"rename", "e.mpq", "nosuch", "x"}, 1, "sorvane: cannot rename \"nosuch\": not in the archive\n", true},
      {{"set-locale", "e.mpq", "docs/a.txt", "0x407", "0"}, 1,
       "sorvane: cannot move \"docs/a.txt\": not in the archive in locale 0x407\n", true},
      {{"add", "e.mpq", "docs/a.txt", "--compress", "0xC9"}, 2, "sorvane: --compress: \"0xC9\" " + badMask, true},
      {{"add", "e.mpq", "docs/a.txt", "--compress", "0x12"}, 2, "sorvane: --compress: \"0x12\" " + badMask, true},
      {{"add", "e.mpq", "docs/a.txt", "--compress", "0x04"}, 2, "sorvane: --compress: \"0x04\" " + badMask, true},
      {{"delete", "e.mpq", "docs/a.txt", "(LISTFILE)"}, 2, listfileDelete, true},
      {{"rename", "e.mpq", "(listfile)", "names"}, 2, listfileRename, true},
      {{"rename", "e.mpq", "docs/a.txt", "(listfile)"}, 2, listfileRename, true},
      {{"add", "e.mpq", "docs/a.txt", "--compress", "0x41", "--replace"}, 0, ""},
      {{"add", "e.mpq", "missing.txt"}, 1,
       "sorvane: cannot add \"missing.txt\": " + SystemText(2) + " (error 2)\n", true},
      {{"delete", "e.mpq", "(listfile)", "--force"}, 0, ""},
  });
  EXPECT_EQ(Listed("e.mpq"), (std::multiset<std::string>{"#" + std::to_string(HashString("docs\\a.txt", 0) % 1024)}));
}

#ifndef _WIN32
// Links, pipes, unreadable files and the archive itself are never added,
// and each one skipped is named; a read-only archive is "access denied" for
// every verb that would change it.
TEST_F(SorvaneGuideTest, SkippedPathsAreNamedAndReadOnlyArchivesDenied) {
  Write("self/a.txt", "A");
  fs::create_symlink("nowhere", At("self/dang"));
  fs::create_directories(At("elsewhere"));
  fs::create_symlink(At("elsewhere"), At("self/sub"));
  ASSERT_EQ(std::system(("mkfifo '" + At("self/pipe") + "'").c_str()), 0);
  ASSERT_EQ(Run({"create", "self/self.mpq"}).status, 0);
  Check({
      {{"add", "self/self.mpq", "self"}, 3,
       "sorvane: skipped \"self/dang\": a symbolic link to nothing\n"
       "sorvane: skipped \"self/pipe\": not a regular file (a device, pipe or socket)\n"
       "sorvane: skipped \"self/sub\": a symbolic link to a folder, which is not followed\n"},
      {{"add", "self/self.mpq", "self/self.mpq", "self/dang"}, 3,
       "sorvane: skipped \"self/self.mpq\": it is the archive itself\n"
       "sorvane: skipped \"self/dang\": a symbolic link to nothing\n",
       true},
  });
  EXPECT_EQ(Listed("self/self.mpq"), (std::multiset<std::string>{"(listfile)", "self\\a.txt"}));

  // Root writes read-only files; the check runs as another user then.
  std::vector<std::string> wrapper;
  Write("probe.txt", "");
  fs::permissions(At("probe.txt"), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  if (std::ofstream(At("probe.txt"), std::ios::app)) {
    if (std::system("setpriv --help >/dev/null 2>&1") != 0) GTEST_SKIP() << "privileged, and no setpriv";
    wrapper = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  }
  Write("u/ok.txt", "fine");
  Write("u/secret.txt", "hidden");
  fs::permissions(At("u/secret.txt"), fs::perms::none);
  ASSERT_EQ(Run({"add", "w.mpq", "self/a.txt"}).status, 0);
  ASSERT_EQ(Run({"add", "ro.mpq", "self/a.txt"}).status, 0);
  fs::permissions(At("w.mpq"), fs::perms::all);
  fs::permissions(At("ro.mpq"), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  const std::string denied = "sorvane: cannot open archive \"ro.mpq\" for update: " + kDenied;
  Check({
            {{"add", "w.mpq", "u"}, 3, "sorvane: skipped \"u/secret.txt\": it cannot be read: Access is denied\n"},
            {{"add", "ro.mpq", "u/ok.txt"}, 1, denied, true},
            {{"delete", "ro.mpq", "self/a.txt"}, 1, denied, true},
            {{"rename", "ro.mpq", "self/a.txt", "b"}, 1, denied, true},
            {{"set-locale", "ro.mpq", "self/a.txt", "0", "0x407"}, 1, denied, true},
            {{"compact", "ro.mpq"}, 1, denied, true},
            {{"resize", "ro.mpq", "64"}, 1, denied, true},
        },
        wrapper);
  EXPECT_EQ(Listed("w.mpq"), (std::multiset<std::string>{"(listfile)", "self\\a.txt", "u\\ok.txt"}));
}

TEST_F(SorvaneGuideTest, ProgressCountsBytes) {
  Bytes big(3 << 20);
  uint32_t x = 1;
  for (uint8_t& byte : big) byte = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 24);
  WriteBytes(At("big.bin"), big);
  const std::vector<std::string> env = {"env", "SORVANE_PROGRESS=always"};
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"add", "p.mpq", "big.bin", "-j", "1"}, {"verify", "p.mpq"}, {"extract", "p.mpq", "-C", "out"},
           {"compact", "p.mpq"}}) {
    const RunResult r = Run(args, env);
    EXPECT_EQ(r.status, 0) << Joined(args) << r.errors;
    const std::string label = "\r" + args[0] + " [";
    EXPECT_EQ(r.errors.find(label), 0u) << r.errors.substr(0, 200);
    // A step inside the one big file, and the end.
    EXPECT_NE(r.errors.find(" MiB of 3.0 MiB"), std::string::npos) << Joined(args);
    EXPECT_NE(r.errors.find("100% "), std::string::npos) << Joined(args);
    if (args[0] == "add") {
      EXPECT_NE(r.errors.find(" 0/1 files, 1.0 MiB of 3.0 MiB"), std::string::npos) << r.errors.substr(0, 400);
      EXPECT_NE(r.errors.find(" 1/1 files, 3.0 MiB of 3.0 MiB   \n"), std::string::npos);
    }
  }
  EXPECT_EQ(ReadBytes(At("out/big.bin")), big);
}
#endif

TEST_F(SorvaneGuideTest, DamageIsReportedAsDamage) {
  Write("docs/a.txt", "A");
  Write("docs/b.txt", "B");
  ASSERT_EQ(Run({"add", "t.mpq", "docs"}).status, 0);
  Bytes bytes = ReadBytes(At("t.mpq"));
  const uint32_t hashPos = platform::LoadLE32(&bytes[16]);
  const uint32_t blockPos = platform::LoadLE32(&bytes[20]);
  bytes.resize(std::min(hashPos, blockPos));
  WriteBytes(At("t.mpq"), bytes);
  const std::string size = std::to_string(bytes.size());
  const std::string damaged = "sorvane: \"t.mpq\" is damaged: its hash table starts at byte " +
                              std::to_string(hashPos) + ", past the end of the file (" + size +
                              " bytes)\nsorvane: \"t.mpq\" is damaged: its block table starts at byte " +
                              std::to_string(blockPos) + ", past the end of the file (" + size + " bytes)\n";

  // A block past the end, and a hash entry naming a block that is not there.
  ArchiveBuilder out;
  out.HashTableSize(16);
  FileSpec& far = out.Add("far.txt", "data");
  far.offset = 1000000;
  const uint32_t ghost = (HashString("far.txt", HASH_TABLE_INDEX) + 8) % 16;
  out.SetHashEntry(ghost, HashEntry{HashString("ghost", HASH_NAME_A), HashString("ghost", HASH_NAME_B), 0, 99});
  Layout layout;
  out.WriteTo(At("o.mpq"), &layout);
  const uint32_t farIndex = *layout.Find("far.txt")->hashIndex;
  const std::string farLine = "sorvane: \"o.mpq\" is damaged: block 0 (hash entry " + std::to_string(farIndex) +
                              ") lies at bytes 1000000 to 1000004, past the end of the file (" +
                              std::to_string(ReadBytes(At("o.mpq")).size()) + " bytes)\n";
  const std::string ghostLine = "sorvane: \"o.mpq\" is damaged: hash entry " + std::to_string(ghost) +
                                " names block 99, but the block table has 1 entries\n";
  const std::string outside = farIndex < ghost ? farLine + ghostLine : ghostLine + farLine;
  // For reading, an entry that names no block is passed over, as readers
  // do: archives made to resist editors carry such entries.
  const std::string passed = "sorvane: note: \"o.mpq\": hash entry " + std::to_string(ghost) +
                             " names block 99, but the block table has 1 entries, passed over\n";

  ArchiveBuilder decoy;
  decoy.HashTableSize(16);
  decoy.Add("real.txt", "real");
  decoy.Listfile({"real.txt", "ghost"});
  decoy.SetHashEntry(ghost, HashEntry{HashString("ghost", HASH_NAME_A), HashString("ghost", HASH_NAME_B), 0, 99});
  decoy.WriteTo(At("d.mpq"));
  const std::string decoyNote = "sorvane: note: \"d.mpq\": hash entry " + std::to_string(ghost) +
                                " names block 99, but the block table has 2 entries, passed over\n";

  // A hash table that starts inside the file and runs past its end is no
  // damage: its missing entries read as zeros, and no name lives there.
  ArchiveBuilder edge;
  edge.HashTableSize(32).HashTableLast();
  std::vector<std::string> names;
  for (int i = 0; names.size() < 3; ++i) {
    std::string name = "e";  // appended: g++ 12 at -O3 misreads "e" + string as overlapping (-Wrestrict)
    name += std::to_string(i);
    if (HashString(name.c_str(), HASH_TABLE_INDEX) % 32 < 12) names.push_back(name);
  }
  for (const std::string& name : names) edge.Add(name, name + " data");
  Bytes edgeBytes = edge.Build();
  edgeBytes.resize(edgeBytes.size() - 16 * 16);
  WriteBytes(At("edge.mpq"), edgeBytes);
  Write("edge.txt", names[0] + "\n" + names[1] + "\n" + names[2] + "\n");

  Check({
      {{"list", "t.mpq"}, 1, damaged},
      {{"info", "t.mpq"}, 1, damaged},
      {{"verify", "t.mpq"}, 1, damaged},
      {{"add", "t.mpq", "docs/a.txt", "--name", "c"}, 1, damaged, true},
      {{"compact", "t.mpq"}, 1, damaged + "sorvane: a damaged archive is not compacted; it is unchanged\n", true},
      {{"resize", "t.mpq", "64"}, 1, damaged, true},
      {{"list", "o.mpq"}, 1, farLine + passed},
      {{"compact", "o.mpq"}, 1, outside + "sorvane: a damaged archive is not compacted; it is unchanged\n", true},
      {{"list", "d.mpq"}, 0, decoyNote},
      {{"info", "d.mpq"}, 0, decoyNote},
      {{"verify", "d.mpq"}, 0, decoyNote},
      {{"compact", "d.mpq"}, 1,
       "sorvane: \"d.mpq\" is damaged: hash entry " + std::to_string(ghost) +
           " names block 99, but the block table has 2 entries\nsorvane: a damaged archive is not compacted; it is unchanged\n",
       true},
      {{"list", "edge.mpq", "--listfile", "edge.txt"}, 0, ""},
      {{"verify", "edge.mpq", "--listfile", "edge.txt"}, 0, ""},
  });
  EXPECT_EQ(Listed("edge.mpq").size(), 3u);
}

TEST_F(SorvaneGuideTest, VerifyTellsUncheckedFromDamagedAndCompactTakesNames) {
  auto build = [&](const std::string& path, bool broken) {
    ArchiveBuilder b;
    b.HashTableSize(16);
    b.Add("fine.txt", "fine");
    FileSpec& hidden = b.Add("hidden.bin", Bytes(6000, 0x5A), BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED);
    hidden.gapBefore = 100;  // so that compaction moves it
    if (broken) {
      FileSpec& bad = b.Add("bad.bin", Bytes(9000, 1), BLOCK_COMPRESSED);
      bad.encodeSector = [](const uint8_t*, uint32_t, uint32_t) { return Bytes(100, 0xEE); };
    }
    b.Listfile({"fine.txt", "bad.bin"});
    Layout layout;
    b.WriteTo(At(path), &layout);
    return "sorvane: not checked: #" + std::to_string(*layout.Find("hidden.bin")->hashIndex) +
           " (locale 0): its key needs its name, which no list gives (--listfile)\n";
  };
  const std::string unchecked = build("k.mpq", false);
  const std::string both = build("k2.mpq", true);
  Write("names.txt", "hidden.bin\r\n");
  const RunResult damaged = Run({"verify", "k2.mpq"});
  EXPECT_EQ(ExitCode(damaged), 1);  // damage and unchecked: the lower status
  EXPECT_NE(damaged.errors.find("damaged: bad.bin"), std::string::npos) << damaged.errors;
  EXPECT_NE(damaged.errors.find(both.substr(9)), std::string::npos) << damaged.errors;
  Check({
      {{"verify", "k.mpq"}, 4, unchecked},
      {{"verify", "k.mpq", "--listfile", "names.txt"}, 0, ""},
      {{"compact", "k.mpq"}, 1,
       "sorvane: cannot compact: an encrypted file would have to move, but its key cannot be found (its name is in "
       "no list; give it with --listfile); the archive is unchanged: a stored file is damaged or its key cannot be "
       "found (error 1006)\n",
       true},
      {{"compact", "k.mpq", "--listfile", "names.txt"}, 0, ""},
      {{"verify", "k.mpq", "--listfile", "names.txt"}, 0, ""},
  });
  const RunResult help = Run({"verify", "--help"});
  EXPECT_NE(help.output.find("Exit status: 0 done; 1 failed, or damage found; 2 bad command line; 3 done except"),
            std::string::npos)
      << help.output;
}

}  // namespace
