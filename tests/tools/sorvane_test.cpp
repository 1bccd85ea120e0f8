// Drives the built sorvane end to end, and tavrix on what it writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "archive/read/provider.h"
#include "sorvane/sorvane.h"
#include "compression/scomp.h"
#include "tests/support/archive_builder.h"
#include "tests/support/file_tree.h"
#include "tests/support/run_program.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

std::string Sorvane() { return BuiltProgram("tools/sorvane/sorvane"); }
std::string Tavrix() { return BuiltProgram("extractor/tavrix"); }

RunResult RunSorvane(const TempDir& dir, const std::vector<std::string>& args) {
  return RunProgram(Sorvane(), args, dir.path(), "");
}

// Text that compresses, of a given size.
Bytes Words(size_t size, uint32_t seed) {
  Bytes out;
  static const std::string words[] = {"archive ", "sector ", "hash ", "block\r\n", "table ", "key "};
  for (uint32_t i = 0; out.size() < size; ++i) {
    const std::string& w = words[(i * 7 + seed) % 6];
    out.insert(out.end(), w.begin(), w.end());
  }
  out.resize(size);
  return out;
}

std::map<std::string, Bytes> SampleFiles() {
  return {{"data/readme.txt", Words(3000, 1)},
          {"data/units/human/footman.mdx", PatternBytes(10000, 2)},
          {"data/units/orc/grunt.mdx", Words(20000, 3)},
          {"data/empty.bin", {}},
          {"data/sounds/x.wav", PatternBytes(5000, 4)}};
}

// The last word of every row of `sorvane list` (names here hold no blanks).
std::multiset<std::string> ListedNames(const std::string& output) {
  std::multiset<std::string> names;
  std::istringstream lines(output);
  std::string line;
  std::getline(lines, line);  // heading
  while (std::getline(lines, line)) names.insert(line.substr(line.find_last_of(' ') + 1));
  return names;
}

class SorvaneTest : public ::testing::Test {
 protected:
  SorvaneTest() : dir_("sorvane") {}
  const TempDir& dir() const { return dir_; }
  std::string At(const std::string& name) const { return dir_ / name; }

  RunResult Ok(const std::vector<std::string>& args) {
    RunResult r = RunSorvane(dir_, args);
    EXPECT_EQ(r.status, 0) << args[0] << ": " << r.errors;
    return r;
  }

 private:
  TempDir dir_;
};

TEST_F(SorvaneTest, FoldersGoInRecursivelyAndComeOutByteForByte) {
  WriteTree(dir().path(), SampleFiles());
  const RunResult add = Ok({"add", "a.mpq", "data"});
  EXPECT_EQ(add.output, "");  // quiet by default
  EXPECT_EQ(add.errors, "");
  const RunResult list = Ok({"list", "a.mpq"});
  EXPECT_NE(list.output.find("data\\units\\human\\footman.mdx"), std::string::npos) << list.output;
  EXPECT_NE(list.output.find("(listfile)"), std::string::npos);
  Ok({"extract", "a.mpq", "-C", "out"});
  std::map<std::string, Bytes> expected;
  for (const auto& [name, data] : SampleFiles()) expected[name] = data;
  EXPECT_EQ(ReadTree(At("out")), expected);
  Ok({"verify", "a.mpq"});

  // Named extraction of a single file.
  Ok({"extract", "a.mpq", "data\\readme.txt", "-C", "one"});
  EXPECT_EQ(ReadTree(At("one")), (std::map<std::string, Bytes>{{"data/readme.txt", Words(3000, 1)}}));
}

TEST_F(SorvaneTest, TavrixExtractsWhatSorvaneWrote) {
  WriteTree(dir().path(), SampleFiles());
  Ok({"create", "t.mpq", "--hash-size", "64"});
  Ok({"add", "t.mpq", "data/readme.txt", "--compress", "none"});
  Ok({"add", "t.mpq", "data/units", "--key-adjusted"});
  Ok({"add", "t.mpq", "data/empty.bin", "--encrypt", "--compress", "huffman"});
  Ok({"add", "t.mpq", "data/sounds/x.wav", "--compress", "zlib", "--encrypt"});
  Ok({"add", "t.mpq", "data/readme.txt", "--name", "renamed\\copy.txt", "--compress", "0x08"});
  const RunResult run = RunProgram(Tavrix(), {At("t.mpq")}, dir().path(), "\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.output.find("6 files extracted"), std::string::npos) << run.output;
  std::map<std::string, Bytes> expected;
  for (const auto& [name, data] : SampleFiles()) expected[name] = data;
  expected["renamed/copy.txt"] = Words(3000, 1);
  EXPECT_EQ(ReadTree(At("t_mpq")), expected);
}

TEST_F(SorvaneTest, UpdateVerbsKeepTheListAndCompactGivesSpaceBack) {
  WriteTree(dir().path(), SampleFiles());
  Ok({"add", "u.mpq", "data"});
  Ok({"rename", "u.mpq", "data\\readme.txt", "docs\\readme.txt"});
  Ok({"delete", "u.mpq", "data\\units\\orc\\grunt.mdx"});
  Ok({"add", "u.mpq", "data/readme.txt", "--name", "docs\\readme.txt", "--replace", "--locale", "0x407"});
  Ok({"set-locale", "u.mpq", "docs\\readme.txt", "0x407", "0x409"});
  const std::string info = Ok({"info", "u.mpq"}).output;
  EXPECT_EQ(info.find("dead space:     0 bytes"), std::string::npos) << info;
  const RunResult compact = Ok({"compact", "u.mpq", "-v"});
  EXPECT_NE(compact.output.find("compacted"), std::string::npos);
  EXPECT_NE(Ok({"info", "u.mpq"}).output.find("dead space:     0 bytes"), std::string::npos);

  const std::string list = Ok({"list", "u.mpq"}).output;
  EXPECT_EQ(list.find("grunt"), std::string::npos);
  EXPECT_NE(list.find("docs\\readme.txt"), std::string::npos);
  EXPECT_NE(list.find("0x409"), std::string::npos);
  EXPECT_EQ(list.find("data\\readme.txt"), std::string::npos);
  Ok({"verify", "u.mpq"});

  // tavrix sees the list as the verbs left it.
  const RunResult run = RunProgram(Tavrix(), {At("u.mpq")}, dir().path(), "\n");
  EXPECT_EQ(run.status, 0);
  const auto tree = ReadTree(At("u_mpq"));
  EXPECT_EQ(tree.count("data/units/orc/grunt.mdx"), 0u);
  ASSERT_EQ(tree.count("docs/readme.txt"), 1u);
  EXPECT_EQ(tree.at("docs/readme.txt"), Words(3000, 1));
}

TEST_F(SorvaneTest, ErrorsNameTheirTextAndCode) {
  WriteTree(dir().path(), SampleFiles());
  RunResult r = RunSorvane(dir(), {"list", "missing.mpq"});
  EXPECT_EQ(ExitCode(r), 1);
  EXPECT_NE(r.errors.find("missing.mpq"), std::string::npos);
  EXPECT_NE(r.errors.find("(error 2)"), std::string::npos) << r.errors;

  Ok({"add", "e.mpq", "data/readme.txt"});
  r = RunSorvane(dir(), {"add", "e.mpq", "data/readme.txt"});
  EXPECT_EQ(ExitCode(r), 1);
  EXPECT_NE(r.errors.find("already stored"), std::string::npos) << r.errors;
  EXPECT_NE(r.errors.find("--replace"), std::string::npos) << r.errors;
  EXPECT_EQ(r.errors.find("0x8520"), std::string::npos) << r.errors;  // words, never the library's raw code

  r = RunSorvane(dir(), {"delete", "e.mpq", "nothing"});
  EXPECT_EQ(ExitCode(r), 1);
  EXPECT_EQ(r.errors, "sorvane: cannot delete \"nothing\": not in the archive\n");

  r = RunSorvane(dir(), {"create", "e.mpq"});  // exists already
  EXPECT_EQ(ExitCode(r), 1);
  EXPECT_NE(r.errors.find("e.mpq"), std::string::npos);

  r = RunSorvane(dir(), {"add", "e.mpq", "data/readme.txt", "--bogus"});
  EXPECT_EQ(ExitCode(r), 2);
  EXPECT_NE(r.errors.find("unknown option --bogus"), std::string::npos);
  EXPECT_EQ(ExitCode(RunSorvane(dir(), {"frobnicate"})), 2);
  EXPECT_EQ(ExitCode(RunSorvane(dir(), {"rename", "e.mpq", "one"})), 2);
  EXPECT_EQ(ExitCode(RunSorvane(dir(), {"add", "e.mpq", "x", "--compress", "lzma"})), 2);

  // Names that would not fit the hash table stop the add before it writes.
  r = RunSorvane(dir(), {"add", "small.mpq", "data", "--hash-size", "3", "--no-listfile"});
  EXPECT_EQ(ExitCode(r), 1);
  EXPECT_NE(r.errors.find("is too small: 3 entries, 5 needed"), std::string::npos) << r.errors;
  EXPECT_FALSE(fs::exists(At("small.mpq")));
}

TEST_F(SorvaneTest, EveryVerbHasHelp) {
  for (const char* verb : {"list", "info", "extract", "verify", "create", "add", "delete", "rename", "set-locale",
                           "compact", "resize"}) {
    const RunResult r = RunSorvane(dir(), {verb, "--help"});
    EXPECT_EQ(r.status, 0) << verb;
    EXPECT_EQ(r.output.find(std::string("usage: sorvane ") + verb), 0u) << r.output;
  }
  EXPECT_NE(RunSorvane(dir(), {"--help"}).output.find("set-locale"), std::string::npos);
}

TEST_F(SorvaneTest, ExtractRefusesNamesThatLeaveTheFolder) {
  ArchiveBuilder b;
  b.HashTableSize(16);
  b.Add("..\\evil.txt", "up");
  b.Add("\\rooted.txt", "root");
  b.Add("C:drive.txt", "drive");
  b.Add("dir\\...\\x.txt", "dots");
  b.Add("good\\ok.txt", "fine");
  b.Listfile({"..\\evil.txt", "\\rooted.txt", "C:drive.txt", "dir\\...\\x.txt", "good\\ok.txt"});
  b.WriteTo(At("bad.mpq"));
  fs::create_directories(At("out"));
  const RunResult r = RunSorvane(dir(), {"extract", "bad.mpq", "-C", "out"});
  EXPECT_EQ(ExitCode(r), 1);
  EXPECT_NE(r.errors.find("..\\evil.txt"), std::string::npos) << r.errors;
  EXPECT_EQ(ReadTree(At("out")), (std::map<std::string, Bytes>{{"good/ok.txt", ToBytes("fine")}}));
  EXPECT_FALSE(fs::exists(At("evil.txt")));
}

TEST_F(SorvaneTest, VerifyReportsUndecodableFiles) {
  ArchiveBuilder b;
  b.HashTableSize(16);
  b.Add("fine.txt", Words(9000, 1));
  FileSpec& broken = b.Add("broken.bin", Words(9000, 2), BLOCK_COMPRESSED);
  // Sector 1 claims the implode method but holds no implode stream.
  broken.encodeSector = [](const uint8_t* data, uint32_t length, uint32_t index) {
    if (index != 1) return Bytes(data, data + length);
    Bytes junk(100, 0xEE);
    junk[0] = 0x08;
    return junk;
  };
  b.Listfile({"fine.txt", "broken.bin"});
  b.WriteTo(At("v.mpq"));
  const RunResult r = RunSorvane(dir(), {"verify", "v.mpq"});
  EXPECT_EQ(ExitCode(r), 1);
  EXPECT_NE(r.errors.find("broken.bin"), std::string::npos) << r.errors;
  EXPECT_NE(r.errors.find("sector 1 "), std::string::npos) << r.errors;
  EXPECT_EQ(r.errors.find("fine.txt"), std::string::npos) << r.errors;
}

TEST_F(SorvaneTest, UnlistedFilesShowTheirIndexUntilAListNamesThem) {
  WriteTree(dir().path(), SampleFiles());
  Ok({"add", "n.mpq", "data/readme.txt", "--no-listfile", "--hash-size", "16"});
  std::string list = Ok({"list", "n.mpq"}).output;
  EXPECT_NE(list.find(" #"), std::string::npos) << list;
  EXPECT_EQ(list.find("readme"), std::string::npos);
  WriteBytes(At("names.txt"), ToBytes("data\\readme.txt\n"));
  list = Ok({"list", "n.mpq", "--listfile", "names.txt"}).output;
  EXPECT_NE(list.find("data\\readme.txt"), std::string::npos) << list;
}

TEST_F(SorvaneTest, DeleteKeepsNamesOtherLocalesStillHold) {
  WriteTree(dir().path(), SampleFiles());
  Ok({"add", "l.mpq", "data/readme.txt", "data/empty.bin"});
  Ok({"add", "l.mpq", "data/readme.txt", "--locale", "0x407"});
  Ok({"delete", "l.mpq", "data\\readme.txt", "data\\empty.bin"});
  const std::string list = Ok({"list", "l.mpq"}).output;
  EXPECT_NE(list.find("data\\readme.txt"), std::string::npos) << list;
  EXPECT_NE(list.find("0x407"), std::string::npos) << list;
  EXPECT_EQ(list.find("empty"), std::string::npos) << list;
  EXPECT_EQ(list.find(" #"), std::string::npos) << list;
}

TEST_F(SorvaneTest, CompactRefusesToLoseAFileWhoseKeyIsUnknown) {
  WriteTree(dir().path(), SampleFiles());
  // A small hash table, so the plain file does not fit where the first
  // table was and has to move when the first file goes.
  Ok({"add", "k.mpq", "data/readme.txt", "--no-listfile", "--hash-size", "64"});
  Ok({"add", "k.mpq", "data/units/human/footman.mdx", "--no-listfile", "--key-adjusted", "--compress", "none"});
  Ok({"delete", "k.mpq", "data\\readme.txt", "--no-listfile"});
  const Bytes before = ReadBytes(At("k.mpq"));
  const RunResult r = RunSorvane(dir(), {"compact", "k.mpq"});
  EXPECT_EQ(ExitCode(r), 1);
  EXPECT_NE(r.errors.find("key cannot be found"), std::string::npos) << r.errors;
  EXPECT_EQ(ReadBytes(At("k.mpq")), before);
}

TEST_F(SorvaneTest, ThreadsNeverChangeTheArchive) {
  std::map<std::string, Bytes> files = SampleFiles();
  for (uint32_t i = 0; i < 12; ++i) files["more/t" + std::to_string(i) + ".txt"] = Words(30000 + i * 5000, i);
  // Many files go through one window of the list add; one streams on its own
  // between them.
  for (uint32_t i = 0; i < 300; ++i) files["many/s" + std::to_string(i)] = Words(1 + i * 37 % 5000, i);
  files["many/s150big"] = Words(1200000, 9);
  WriteTree(dir().path(), files);
  for (const char* method : {"implode", "huffman", "zlib", "0x09"}) {
    std::vector<Bytes> archives;
    for (const char* threads : {"1", "2", "5"}) {
      const std::string name = std::string("j") + threads + ".mpq";
      Ok({"add", name, "data", "more", "many", "--compress", method, "--encrypt", "--key-adjusted", "-j", threads});
      archives.push_back(ReadBytes(At(name)));
      fs::remove(At(name));
    }
    EXPECT_EQ(archives[0], archives[1]) << method;
    EXPECT_EQ(archives[0], archives[2]) << method;
  }
}

// 200 files, every second deleted, 15 renamed, in a table 256 entries long
// where 20 names crowd the last entry, so that their run wraps to the start:
// the runs that pass the marks must not end there for readers that know no
// mark.
TEST_F(SorvaneTest, DeletedAndRenamedEntriesLoseNoNameForAnyReader) {
  std::vector<std::string> names;  // stored names
  std::map<std::string, Bytes> files;
  for (uint32_t i = 0, crowd = 0; names.size() < 200; ++i) {
    const std::string name = "f\\" + std::to_string(i) + ".dat";
    const bool last = HashString(name.c_str(), HASH_TABLE_INDEX) % 256 == 255;
    if (last ? crowd++ >= 20 : names.size() - crowd >= 180) continue;
    names.push_back(name);
    files["f/" + std::to_string(i) + ".dat"] = Words(20 + i % 300, i);
  }
  WriteTree(dir().path(), files);
  Ok({"create", "m.mpq", "--hash-size", "256"});
  Ok({"add", "m.mpq", "f"});
  std::set<std::string> kept;
  std::vector<std::string> deletes = {"delete", "m.mpq"};
  for (size_t i = 0; i < names.size(); ++i) {
    if (i % 2) deletes.push_back(names[i]);
    else kept.insert(names[i]);
  }
  Ok(deletes);
  for (size_t i = 0; i < 15; ++i) {
    const std::string to = "moved\\" + std::to_string(i);
    Ok({"rename", "m.mpq", names[i * 12], to});
    kept.erase(names[i * 12]);
    kept.insert(to);
  }
  kept.insert("(listfile)");

  uint32_t throughMark = 0, wrapped = 0;
  for (const char* stage : {"updated", "compacted"}) {
    const PlainRuleTable plain(ReadBytes(At("m.mpq")));
    for (const std::string& name : kept) {
      const std::optional<uint32_t> index = plain.Find(name);
      ASSERT_TRUE(index.has_value()) << stage << ": " << name << " is lost to readers that know no mark";
      bool wraps = false;
      if (plain.MarksPassed(name, *index, &wraps) != 0) ++(wraps ? wrapped : throughMark);
    }
    EXPECT_EQ(ListedNames(Ok({"list", "m.mpq"}).output), std::multiset<std::string>(kept.begin(), kept.end()));
    Ok({"verify", "m.mpq"});
    const auto marks = std::count_if(plain.entries.begin(), plain.entries.end(),
                                     [](const HashEntry& e) { return IsHashEntryDeleted(e); });
    const std::string info = Ok({"info", "m.mpq"}).output;
    EXPECT_NE(info.find(std::to_string(kept.size()) + " in use, " + std::to_string(marks) + " deleted"),
              std::string::npos)
        << stage << info;
    if (throughMark == 0 || wrapped == 0) ADD_FAILURE() << throughMark << " runs pass a mark, " << wrapped << " wrapping";
    Ok({"compact", "m.mpq"});
  }
  // And the data behind the names is intact.
  Ok({"extract", "m.mpq", "-C", "out"});
  const auto tree = ReadTree(At("out"));
  EXPECT_EQ(tree.size(), kept.size() - 1);  // all but the list
  std::string source = names[36];
  source.replace(source.find('\\'), 1, "/");
  EXPECT_EQ(tree.at("moved/3"), files.at(source));
}

// Block entries whose stored sizes lie: the listing, the figures and the
// verdict are those of the same archive with true sizes, verify names the
// difference without calling the file damaged, and updates still work.
TEST_F(SorvaneTest, FalseStoredSizesChangeNoFigureAndNoUpdate) {
  const auto build = [](const std::string& path, bool lie) {
    ArchiveBuilder b;
    b.HashTableSize(16);
    FileSpec& packed = b.Add("packed.txt", Words(9000, 1), BLOCK_COMPRESSED | BLOCK_ENCRYPTED);
    packed.encodeSector = [](const uint8_t* data, uint32_t length, uint32_t) {
      Bytes out(length);
      uint32_t outLength = length;
      EXPECT_TRUE(CompressSector(out.data(), &outLength, data, length, COMP_IMPLODE, 0, 0));
      out.resize(outLength);
      return out;
    };
    FileSpec& plain = b.Add("plain.bin", PatternBytes(5000, 2), BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED);
    b.Listfile({"packed.txt", "plain.bin"});
    if (lie) {
      packed.storedSize = 0;
      plain.storedSize = 0xFFFFFF00u;
    }
    b.WriteTo(path);
  };
  fs::create_directories(At("true"));
  fs::create_directories(At("false"));
  build(At("true/x.mpq"), false);
  build(At("false/x.mpq"), true);
  for (const char* verb : {"list", "info"}) {
    auto run = [&](const std::string& folder) {
      const std::string out = Ok({verb, folder + "/x.mpq"}).output;
      return out.substr(out.find('\n'));  // info starts with the path
    };
    EXPECT_EQ(run("false"), run("true")) << verb;
  }
  EXPECT_EQ(Ok({"verify", "true/x.mpq"}).output, "3 files checked, 0 damaged, 0 not checked\n");
  const std::string noted = Ok({"verify", "false/x.mpq"}).output;
  EXPECT_NE(noted.find("packed.txt (locale 0): its block gives a stored size of 0 bytes"), std::string::npos)
      << noted;
  EXPECT_NE(noted.find("plain.bin (locale 0): its block gives a stored size of 4294967040 bytes, its data take 5000"),
            std::string::npos)
      << noted;

  Ok({"rename", "false/x.mpq", "packed.txt", "moved\\packed.txt"});
  WriteBytes(At("new.txt"), Words(7000, 3));
  Ok({"add", "false/x.mpq", "new.txt"});
  Ok({"extract", "false/x.mpq", "-C", "out"});
  EXPECT_EQ(ReadTree(At("out")), (std::map<std::string, Bytes>{{"moved/packed.txt", Words(9000, 1)},
                                                              {"plain.bin", PatternBytes(5000, 2)},
                                                              {"new.txt", Words(7000, 3)}}));
}

// Each row names the methods its file's sectors went through, whichever way
// sorvane add was told to store them. The audio methods are for sound only:
// any other file asked for them is imploded instead.
TEST_F(SorvaneTest, ListNamesEachFilesCompressionMethods) {
  std::mt19937 random(15);
  Bytes noise(9000);
  for (uint8_t& byte : noise) byte = static_cast<uint8_t>(random());
  WriteBytes(At("text.txt"), Words(20000, 5));
  WriteBytes(At("noise.bin"), noise);
  struct Case {
    const char* method;
    const char* source;
    const char* listed;
  };
  const Case cases[] = {{"none", "text.txt", "-"},         {"implode", "text.txt", "implode"},
                        {"implode-only", "text.txt", "implode"}, {"huffman", "text.txt", "implode"},
                        {"zlib", "text.txt", "zlib"},      {"bzip2", "text.txt", "bzip2"},
                        {"zlib", "noise.bin", "stored"}};
  std::map<std::string, std::string> expected;
  for (const Case& c : cases) {
    const std::string name = std::string(c.method) + "_" + c.source;
    const RunResult add = RunSorvane(dir(), {"add", "m.mpq", c.source, "--name", name, "--compress", c.method});
    // Builds without bzip2 (the Windows ones) refuse it before writing.
    if (std::string(c.method) == "bzip2" && !BuiltinProviderSupports(COMP_BZIP2)) {
      EXPECT_EQ(ExitCode(add), 2);
      EXPECT_EQ(add.errors,
                "sorvane: --compress: \"bzip2\" is not available in this build (it was made without that library); "
                "nothing was written\n");
      continue;
    }
    ASSERT_EQ(add.status, 0) << add.errors;
    expected[name] = c.listed;
  }
  std::istringstream rows(Ok({"list", "m.mpq"}).output);
  std::string row;
  std::getline(rows, row);
  EXPECT_NE(row.find("Methods"), std::string::npos);
  std::map<std::string, std::string> listed;
  while (std::getline(rows, row)) {
    std::istringstream words(row);
    std::vector<std::string> columns;
    for (std::string w; words >> w;) columns.push_back(w);
    if (columns.size() >= 2 && expected.count(columns.back())) listed[columns.back()] = columns[columns.size() - 2];
  }
  EXPECT_EQ(listed, expected);
}

// A method the build lacks (bzip2 in the Windows builds) is reported as such
// and counted as not checked; a sector that does not decode, or names a
// method no build has, is damage.
TEST_F(SorvaneTest, VerifyTellsAMethodThisBuildLacksFromDamage) {
  ArchiveBuilder b;
  b.Add("bzip2.bin", PatternBytes(100, 1), BLOCK_COMPRESSED).storedSectors = {Bytes{COMP_BZIP2, 1, 2, 3}};
  b.Add("unknown.bin", PatternBytes(100, 1), BLOCK_COMPRESSED).storedSectors = {Bytes{0x20, 1, 2, 3}};
  b.Add("bad.bin", Words(100, 1), BLOCK_COMPRESSED).storedSectors = {Bytes{COMP_IMPLODE, 0xFF, 0xFF}};
  b.Listfile({"bzip2.bin", "unknown.bin", "bad.bin"});
  b.WriteTo(At("v.mpq"));
  const RunResult r = RunSorvane(dir(), {"verify", "v.mpq"});
  EXPECT_EQ(ExitCode(r), 1);
  const bool lacking = !BuiltinProviderSupports(COMP_BZIP2);
  EXPECT_NE(r.errors.find(std::string(lacking ? "not supported" : "damaged") + ": bzip2.bin (locale 0)"),
            std::string::npos)
      << r.errors;
  EXPECT_NE(r.errors.find("damaged: unknown.bin (locale 0)"), std::string::npos) << r.errors;
  EXPECT_NE(r.errors.find("damaged: bad.bin (locale 0)"), std::string::npos) << r.errors;
  const std::string summary = lacking ? "3 files checked, 2 damaged, 1 not checked" : "4 files checked, 3 damaged, 0 not checked";
  EXPECT_NE(r.output.find(summary), std::string::npos) << r.output;
}

}  // namespace

namespace {

// The later layouts through the tool: a format-1 archive of single-unit
// files, what info and list say of it and of a builder-made archive with a
// user-data block, and why a header without a classic hash table is refused.
TEST_F(SorvaneTest, LaterLayoutsAreMadeShownAndRefusedWithAReason) {
  WriteTree(dir().path(), SampleFiles());
  Ok({"create", "v1.mpq", "--format", "1"});
  Ok({"add", "v1.mpq", "data", "--single-unit", "--key-adjusted"});
  Ok({"compact", "v1.mpq"});
  Ok({"extract", "v1.mpq", "-C", "out"});
  std::map<std::string, Bytes> expected;
  for (const auto& [name, data] : SampleFiles()) expected[name] = data;
  EXPECT_EQ(ReadTree(At("out")), expected);
  const RunResult info = Ok({"info", "v1.mpq"});
  EXPECT_NE(info.output.find("format version: 1 (extended header"), std::string::npos) << info.output;
  EXPECT_NE(info.output.find("high offsets:   none"), std::string::npos) << info.output;
  const RunResult list = Ok({"list", "v1.mpq"});
  EXPECT_NE(list.output.find("single-unit"), std::string::npos) << list.output;
  EXPECT_NE(RunSorvane(dir(), {"create", "bad.mpq", "--format", "2"}).status, 0);

  ArchiveBuilder b;
  b.Stub(512).UserData(33).Extended(1, 44, true);
  FileSpec& f = b.Add("c.bin", Words(9000, 5), BLOCK_COMPRESSED | BLOCK_SECTOR_CRC);
  f.checksumBlock = PatternBytes(16, 1);
  b.Listfile({"c.bin"});
  b.WriteTo(At("later.mpq"));
  const RunResult later = Ok({"info", "later.mpq"});
  EXPECT_NE(later.output.find("user data:      at 512, 33 bytes"), std::string::npos) << later.output;
  EXPECT_NE(later.output.find("high offsets:   offset"), std::string::npos) << later.output;
  EXPECT_NE(Ok({"list", "later.mpq"}).output.find("checksums"), std::string::npos);
  Ok({"verify", "later.mpq"});

  ArchiveBuilder v2;
  v2.Extended(2, 68).Add("x", "x");
  Layout layout;
  Bytes bytes = v2.Build(&layout);
  StoreLE32At(bytes, layout.headerOffset + 24, 0);  // no hash entries
  WriteBytes(At("v2.mpq"), bytes);
  const RunResult refused = RunSorvane(dir(), {"list", "v2.mpq"});
  EXPECT_NE(refused.status, 0);
  EXPECT_NE(refused.errors.find("no classic hash table"), std::string::npos) << refused.errors;
}

}  // namespace

namespace {

// Archives made to resist editors carry junk in the header's version, header
// size and archive size words; the readers they are made for take the
// classic header. Every read verb must show and deliver what it does for the
// same archive with true words, bar the header lines that print them.
TEST_F(SorvaneTest, JunkVersionAndHeaderSizeReadAsTheClassicHeader) {
  const auto build = [](const std::string& path, uint16_t version, uint32_t headerSize,
                        std::optional<uint32_t> archiveSize = std::nullopt) {
    ArchiveBuilder b;
    b.Stub(512).HashTableSize(16);
    b.Add("packed.txt", Words(9000, 1), BLOCK_COMPRESSED | BLOCK_ENCRYPTED).encodeSector =
        [](const uint8_t* data, uint32_t length, uint32_t) {
          Bytes out(length);
          uint32_t outLength = length;
          EXPECT_TRUE(CompressSector(out.data(), &outLength, data, length, COMP_IMPLODE, 0, 0));
          out.resize(outLength);
          return out;
        };
    // Filler no entry owns: dead space that info must count.
    b.Add("plain.bin", PatternBytes(5000, 2), BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED).gapBefore = 1000;
    b.Listfile({"packed.txt", "plain.bin"});
    b.PatchHeader([=](ArchiveHeader& h) {
      h.formatVersion = version;
      h.headerSize = headerSize;
      if (archiveSize) h.archiveSize = *archiveSize;
    });
    b.WriteTo(path);
  };
  const auto from = [](const std::string& text, const std::string& mark) {
    return text.substr(std::min(text.find(mark), text.size()));
  };
  fs::create_directories(At("true"));
  build(At("true/x.mpq"), 0, 32);
  const std::string infoTrue = Ok({"info", "true/x.mpq"}).output;
  EXPECT_NE(infoTrue.find("dead space:     1000 bytes"), std::string::npos) << infoTrue;
  const std::string listTrue = Ok({"list", "true/x.mpq"}).output;
  const std::string verifyTrue = Ok({"verify", "true/x.mpq"}).output;
  const struct {
    uint16_t version;
    uint32_t headerSize;
    std::optional<uint32_t> archiveSize;
  } kJunk[] = {{0, 0x5A5A5A5Au, 0},          {4, 44, std::nullopt}, {0x5A5A, 0x5A5A5A5Au, 0x5A5A5A5Au},
               {0xFFFF, 0xFFFFFFFFu, 0xFFFFFFFFu}, {0x1B1B, 208, 100}, {1, 44, std::nullopt}};
  for (const auto& junk : kJunk) {
    SCOPED_TRACE(testing::Message() << "version " << junk.version << ", header size " << junk.headerSize);
    const std::string folder = "junk" + std::to_string(junk.version) + "-" + std::to_string(junk.headerSize);
    fs::create_directories(At(folder));
    const std::string archive = folder + "/x.mpq";
    build(At(archive), junk.version, junk.headerSize, junk.archiveSize);
    const std::string info = Ok({"info", archive}).output;
    EXPECT_NE(info.find("(classic header: 32-bit positions)"), std::string::npos) << info;
    EXPECT_EQ(from(info, "sector size:"), from(infoTrue, "sector size:"));
    const std::string json = Ok({"info", archive, "--json"}).output;
    EXPECT_NE(json.find("\"extended\":false"), std::string::npos) << json;
    EXPECT_NE(json.find("\"dead_bytes\":1000"), std::string::npos) << json;
    EXPECT_EQ(Ok({"list", archive}).output, listTrue);
    EXPECT_EQ(Ok({"verify", archive}).output, verifyTrue);
    Ok({"extract", archive, "-C", folder + "/out"});
    EXPECT_EQ(ReadTree(At(folder + "/out")),
              (std::map<std::string, Bytes>{{"packed.txt", Words(9000, 1)}, {"plain.bin", PatternBytes(5000, 2)}}));
  }
}

}  // namespace

namespace {

// A file of 0xFFFFFFFF bytes (the size query's failure value) is extracted
// like any other: read until its damage in sector 1 (the sectors behind it
// are empty), which the message names, rather than refused before reading.
TEST_F(SorvaneTest, TheLargestFileSizeIsReadNotRefused) {
  constexpr uint32_t kSectors = 1u << 20;  // 0xFFFFFFFF bytes in 4096-byte sectors
  Bytes packed(4096);
  uint32_t packedLength = 4096;
  ASSERT_TRUE(CompressSector(packed.data(), &packedLength, Words(4096, 1).data(), 4096, COMP_IMPLODE, 0, 0));
  packed.resize(packedLength);
  Bytes broken(40, 0xEE);
  broken[0] = COMP_IMPLODE;
  Bytes data(4 * (kSectors + 1));
  uint32_t at = static_cast<uint32_t>(data.size());
  for (uint32_t i = 0; i <= kSectors; ++i) {
    StoreLE32At(data, 4 * i, at);
    if (i == 0) at += packedLength;
    if (i == 1) at += static_cast<uint32_t>(broken.size());
  }
  data.insert(data.end(), packed.begin(), packed.end());
  data.insert(data.end(), broken.begin(), broken.end());
  ArchiveBuilder b;
  FileSpec& huge = b.Add("huge.bin", Bytes(), BLOCK_COMPRESSED);
  huge.rawData = data;
  huge.fileSize = 0xFFFFFFFFu;
  b.Listfile({"huge.bin"});
  b.WriteTo(At("huge.mpq"));
  const RunResult extract = RunSorvane(dir(), {"extract", "huge.mpq", "-C", "out"});
  EXPECT_EQ(ExitCode(extract), 1);
  EXPECT_NE(extract.errors.find("cannot extract \"huge.bin\""), std::string::npos) << extract.errors;
  EXPECT_NE(extract.errors.find("(error 1392)"), std::string::npos) << extract.errors;
  EXPECT_FALSE(fs::exists(At("out/huge.bin")));
  const RunResult verify = RunSorvane(dir(), {"verify", "huge.mpq"});
  EXPECT_EQ(ExitCode(verify), 1);
  EXPECT_NE(verify.errors.find("sector 1 "), std::string::npos) << verify.errors;
}

}  // namespace
