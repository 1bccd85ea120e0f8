// sorvane for a mod's everyday work: selecting by pattern and folder,
// exclusions, every locale accounted for, streams, and a new archive sized
// for what it gets. Each case runs the real program.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>

#include "tests/support/archive_builder.h"
#include "tests/support/run_program.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

RunResult Sorvane(const TempDir& dir, const std::vector<std::string>& args, const std::string& input = "") {
  return RunProgram(BuiltProgram("tools/sorvane/sorvane"), args, dir.path(), input);
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The names list shows, one per line (the last column).
std::set<std::string> Listed(const TempDir& dir, const std::string& archive) {
  std::istringstream lines(Sorvane(dir, {"list", archive}).output);
  std::set<std::string> names;
  std::string line;
  std::getline(lines, line);  // the header
  while (std::getline(lines, line)) names.insert(line.substr(line.rfind(' ') + 1));
  return names;
}

// A mod's source tree: units in folders, scripts, and a version-control folder.
void MakeMod(const TempDir& dir) {
  for (const char* f : {"modsrc/Units/Orc/grunt.txt", "modsrc/Units/Orc/peon.txt", "modsrc/Units/Human/footman.txt",
                        "modsrc/Units/readme.txt", "modsrc/Scripts/main.lua", "modsrc/.git/config",
                        "modsrc/Scripts/old.tmp"}) {
    fs::create_directories(fs::path(dir / f).parent_path());
    WriteBytes(dir / f, PatternBytes(300, static_cast<uint8_t>(std::string(f).size())));
  }
  ASSERT_EQ(ExitCode(Sorvane(dir, {"add", "mod.mpq", "modsrc", "--exclude", ".git", "--exclude", "*.tmp"})), 0);
}

TEST(SorvaneSelectTest, NamesSelectAsStoredNamesPatternsOrFolders) {
  TempDir dir("sorvane-select");
  MakeMod(dir);
  const std::set<std::string> all = Listed(dir, "mod.mpq");
  EXPECT_EQ(all.count("modsrc\\.git\\config") + all.count("modsrc\\Scripts\\old.tmp"), 0u);
  struct Case {
    std::vector<std::string> names;
    std::vector<std::string> options;
    std::set<std::string> selected;  // what extract writes
    int status;
  };
  const std::string orc = "modsrc\\Units\\Orc\\", units = "modsrc\\Units\\";
  const std::vector<Case> cases = {
      {{"modsrc/Units/*"}, {}, {orc + "grunt.txt", orc + "peon.txt", units + "Human\\footman.txt",
                                units + "readme.txt"}, 0},  // files, and folders with what they hold
      {{"modsrc/Units/*.txt"}, {}, {units + "readme.txt"}, 0},
      {{"MODSRC/units/**"}, {}, {orc + "grunt.txt", orc + "peon.txt", units + "Human\\footman.txt",
                                 units + "readme.txt"}, 0},
      {{"modsrc/Units/Orc"}, {}, {orc + "grunt.txt", orc + "peon.txt"}, 0},
      {{"modsrc\\units\\orc/"}, {}, {orc + "grunt.txt", orc + "peon.txt"}, 0},
      {{"**/p?on.txt", "**/[fg]*"}, {}, {orc + "peon.txt", orc + "grunt.txt", units + "Human\\footman.txt"}, 0},
      {{"modsrc/Units"}, {"--exclude", "Orc", "--exclude", "readme*"}, {units + "Human\\footman.txt"}, 0},
      {{"modsrc/Units/*"}, {"--no-wildcards"}, {}, 1},
      {{"nothing/*"}, {}, {}, 1},
      {{"modsrc/Units/Orc/grunt.txt", "nothing/**"}, {}, {orc + "grunt.txt"}, 1},
      {{"(listfile)"}, {}, {"(listfile)"}, 0},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string out = "out" + std::to_string(n++);
    std::vector<std::string> args = {"extract", "mod.mpq", "-C", out};
    args.insert(args.end(), c.names.begin(), c.names.end());
    args.insert(args.end(), c.options.begin(), c.options.end());
    const RunResult r = Sorvane(dir, args);
    EXPECT_EQ(ExitCode(r), c.status) << args[4] << r.errors;
    if (c.status != 0) {
      EXPECT_TRUE(Has(r.errors, "not in the archive")) << r.errors;
    }
    std::set<std::string> written;
    if (fs::exists(dir / out)) {
      for (const auto& e : fs::recursive_directory_iterator(dir / out)) {
        if (!e.is_regular_file()) continue;
        std::string name = fs::relative(e.path(), dir / out).generic_string();
        for (char& ch : name) ch = ch == '/' ? '\\' : ch;
        written.insert(name);
      }
    }
    EXPECT_EQ(written, c.selected) << args[4];
  }
  // delete: what a NAME selects goes, the rest stays, the list forgets the
  // deleted names; a NAME that selects nothing changes nothing.
  const Bytes before = ReadBytes(dir / "mod.mpq");
  RunResult r = Sorvane(dir, {"delete", "mod.mpq", "nothing/*"});
  EXPECT_EQ(ExitCode(r), 1);
  EXPECT_EQ(ReadBytes(dir / "mod.mpq"), before);
  r = Sorvane(dir, {"delete", "mod.mpq", "modsrc/Scripts", "**/peon.txt"});
  EXPECT_EQ(ExitCode(r), 0) << r.errors;
  std::set<std::string> left = all;
  left.erase("modsrc\\Scripts\\main.lua");
  left.erase(orc + "peon.txt");
  EXPECT_EQ(Listed(dir, "mod.mpq"), left);
  r = Sorvane(dir, {"verify", "mod.mpq", "modsrc/Units/Orc", "-v"});
  EXPECT_TRUE(ExitCode(r) == 0 && Has(r.output, "1 files checked")) << r.output << r.errors;
  // A pattern never takes the name list: "delete '*'" leaves it alone.
  EXPECT_EQ(ExitCode(Sorvane(dir, {"delete", "mod.mpq", "*"})), 0);
  EXPECT_EQ(Listed(dir, "mod.mpq"), std::set<std::string>{"(listfile)"});
}

TEST(SorvaneSelectTest, EveryLocaleIsWrittenOrAccountedFor) {
  TempDir dir("sorvane-select");
  WriteBytes(dir / "n.txt", PatternBytes(200, 1));
  WriteBytes(dir / "d.txt", PatternBytes(200, 2));
  ASSERT_EQ(ExitCode(Sorvane(dir, {"add", "m.mpq", "n.txt", "--name", "units/orc/LINES.txt"})), 0);
  ASSERT_EQ(ExitCode(Sorvane(dir, {"add", "m.mpq", "d.txt", "--name", "units/orc/LINES.txt", "--locale", "0x407"})), 0);
  ASSERT_EQ(ExitCode(Sorvane(dir, {"add", "m.mpq", "d.txt", "--name", "only/german.txt", "--locale", "0x407"})), 0);
  RunResult r = Sorvane(dir, {"extract", "m.mpq", "-C", "a"});
  EXPECT_EQ(ExitCode(r), 0) << r.errors;
  EXPECT_TRUE(Has(r.output, "1 version in other locales not written; give --all-locales")) << r.output;
  EXPECT_EQ(ReadBytes(dir / "a/units/orc/LINES.txt"), PatternBytes(200, 1));
  EXPECT_EQ(ReadBytes(dir / "a/only/german.txt"), PatternBytes(200, 2));
  EXPECT_FALSE(fs::exists(dir / "a/(listfile)"));
  r = Sorvane(dir, {"extract", "m.mpq", "-C", "b", "--locale", "0x407", "-v"});
  EXPECT_TRUE(Has(r.output, "not written: units\\orc\\LINES.txt (locale 0)")) << r.output;
  EXPECT_EQ(ReadBytes(dir / "b/units/orc/LINES.txt"), PatternBytes(200, 2));
  r = Sorvane(dir, {"extract", "m.mpq", "-C", "c", "--all-locales"});
  EXPECT_TRUE(ExitCode(r) == 0 && !Has(r.output, "not written")) << r.output;
  EXPECT_EQ(ReadBytes(dir / "c/units/orc/LINES.txt"), PatternBytes(200, 1));
  EXPECT_EQ(ReadBytes(dir / "c/locale-0407/units/orc/LINES.txt"), PatternBytes(200, 2));
  // list --locale shows that version alone, and its NAMEs select among it.
  r = Sorvane(dir, {"list", "m.mpq", "--locale", "0x407", "-1", "only/german.txt", "units"});
  EXPECT_TRUE(ExitCode(r) == 0 && r.output == "only\\german.txt\nunits\\orc\\LINES.txt\n") << r.output << r.errors;
  r = Sorvane(dir, {"list", "m.mpq", "--locale", "0", "-1", "only/german.txt"});
  EXPECT_TRUE(ExitCode(r) == 1 && r.output.empty() &&
              Has(r.errors, "cannot list \"only/german.txt\": not in the archive"))
      << r.output << r.errors;
}

// Two entries of one name and locale (as archives that hide files behind
// a decoy hold them): each entry extracted or checked is that entry, not the
// one a lookup by its name reaches first.
TEST(SorvaneSelectTest, EachOfTwoEntriesOfOneNameIsItself) {
  TempDir dir("sorvane-select");
  ArchiveBuilder b;
  b.HashTableSize(8);
  b.Add("dup.txt", std::string_view("the first entry"));
  // The second one's second sector does not decode.
  b.Add("dup.txt", PatternBytes(9000, 5), BLOCK_COMPRESSED).encodeSector =
      [](const uint8_t* data, uint32_t length, uint32_t index) {
        if (index != 1) return Bytes(data, data + length);
        Bytes junk(40, 0xEE);
        junk[0] = COMP_IMPLODE;
        return junk;
      };
  // A name in the index form ("#3") is a name like any other here.
  std::string indexLike;
  for (uint32_t k = 0; indexLike.empty(); ++k) {
    const std::string name = "#" + std::to_string(k);
    if (HashString(name.c_str(), HASH_TABLE_INDEX) % 8 > k + 2) indexLike = name;
  }
  b.Add(indexLike, std::string_view("named like an index"));
  b.Listfile({"dup.txt", indexLike});
  b.WriteTo(dir / "d.mpq");
  RunResult r = Sorvane(dir, {"extract", "d.mpq", "-C", "out", "--all-locales"});
  const std::string indexed = "named like an index";
  ASSERT_TRUE(fs::exists(dir / ("out/" + indexLike))) << r.errors;
  EXPECT_EQ(ReadBytes(dir / ("out/" + indexLike)), Bytes(indexed.begin(), indexed.end()));
  EXPECT_EQ(ExitCode(r), 1) << r.output << r.errors;
  EXPECT_TRUE(Has(r.errors, "dup.txt")) << r.errors;
  // One place holds the first entry; the damaged one leaves no file.
  const std::string first = "the first entry";
  int written = 0;
  for (const char* place : {"out/dup.txt", "out/locale-0000/dup.txt"}) {
    if (!fs::exists(dir / place)) continue;
    ++written;
    EXPECT_EQ(ReadBytes(dir / place), Bytes(first.begin(), first.end())) << place;
  }
  EXPECT_EQ(written, 1);
  r = Sorvane(dir, {"verify", "d.mpq"});
  EXPECT_EQ(ExitCode(r), 1) << r.output << r.errors;
  EXPECT_TRUE(Has(r.errors, "1 damaged") || Has(r.output, "1 damaged")) << r.output << r.errors;
}

// A hash entry that names no block, placed where a lookup of a real file's
// name comes first (archives made to resist editors carry them), is passed
// over by extract as by the library's lookup and verify: the real file is
// written under its name and the command succeeds.
TEST(SorvaneSelectTest, AnEntryNamingNoBlockIsPassedOverByExtract) {
  TempDir dir("sorvane-select");
  std::string name;
  for (int k = 0; name.empty(); ++k) {
    const std::string candidate = "units\\hidden" + std::to_string(k) + ".txt";
    if (HashString(candidate.c_str(), HASH_TABLE_INDEX) % 16 < 12) name = candidate;
  }
  ArchiveBuilder b;
  b.HashTableSize(16);
  b.SetHashEntry(HashString(name.c_str(), HASH_TABLE_INDEX) % 16,
                 HashEntry{HashString(name.c_str(), HASH_NAME_A), HashString(name.c_str(), HASH_NAME_B), 0, 77});
  // And one of a name no file has.
  const uint32_t ghostSlot = (HashString(name.c_str(), HASH_TABLE_INDEX) + 8) % 16;
  b.SetHashEntry(ghostSlot,
                 HashEntry{HashString("ghost.txt", HASH_NAME_A), HashString("ghost.txt", HASH_NAME_B), 0, 78});
  b.Add(name, std::string_view("the real one"));
  b.Add("plain.txt", std::string_view("plain"));
  b.Add("unlisted.bin", std::string_view("no list names it"));
  b.Listfile({name, "plain.txt", "ghost.txt"});
  b.WriteTo(dir / "d.mpq");
  const Bytes real = {'t', 'h', 'e', ' ', 'r', 'e', 'a', 'l', ' ', 'o', 'n', 'e'};
  int n = 0;
  for (const std::vector<std::string>& names : std::vector<std::vector<std::string>>{{}, {name}, {"units"}}) {
    const std::string out = "out" + std::to_string(n++);
    std::vector<std::string> args = {"extract", "d.mpq", "-C", out};
    args.insert(args.end(), names.begin(), names.end());
    const RunResult r = Sorvane(dir, args);
    EXPECT_EQ(ExitCode(r), 0) << out << r.output << r.errors;
    EXPECT_FALSE(Has(r.output, "not written")) << r.output;
    EXPECT_EQ(ReadBytes(dir / (out + "/units/hidden" + name.substr(12))), real) << out;
  }
  EXPECT_EQ(ExitCode(Sorvane(dir, {"verify", "d.mpq"})), 0);
  // A NAME that only such an entry has selects no file, in every verb that reads files.
  for (const std::string verb : {"extract", "verify"}) {
    const RunResult r = Sorvane(dir, {verb, "d.mpq", "ghost.txt", verb == "extract" ? "-O" : "-v"});
    EXPECT_TRUE(ExitCode(r) == 1 && Has(r.errors, "cannot " + verb + " \"ghost.txt\": not in the archive"))
        << verb << r.errors;
  }
  // A file no list names is selected as #INDEX, and deleted by its entry;
  // the rest stays as it was.
  const std::string listed = Sorvane(dir, {"list", "d.mpq", "-1"}).output;
  const size_t at = listed.find('#');
  ASSERT_NE(at, std::string::npos) << listed;
  const std::string index = listed.substr(at, listed.find('\n', at) - at);
  const RunResult r = Sorvane(dir, {"delete", "d.mpq", index, "-v"});
  EXPECT_EQ(ExitCode(r), 0) << r.errors;
  EXPECT_TRUE(Has(r.output, "deleted " + index)) << r.output;
  std::string rest = listed;
  rest.erase(at, index.size() + 1);
  EXPECT_EQ(Sorvane(dir, {"list", "d.mpq", "-1"}).output, rest);
  EXPECT_EQ(ExitCode(Sorvane(dir, {"delete", "d.mpq", index})), 1);
}

#ifndef _WIN32  // Windows file names hold no control characters and no bytes that are no UTF-8
// The files below a folder, as stored names ('\' between folders).
std::set<std::string> Written(const fs::path& folder) {
  std::set<std::string> names;
  if (!fs::exists(folder)) return names;
  for (const auto& e : fs::recursive_directory_iterator(folder)) {
    if (!e.is_regular_file()) continue;
    std::string name = fs::relative(e.path(), folder).generic_string();
    for (char& ch : name) ch = ch == '/' ? '\\' : ch;
    names.insert(name);
  }
  return names;
}

// Names shown quoted (control characters, bytes that are no UTF-8, as old
// archives' Latin-1 names are) are selected and left out as their stored
// names: --exclude takes out of list and extract what it keeps out of add,
// and delete takes what extract writes, also when two NAMEs select one file.
TEST(SorvaneSelectTest, EveryVerbSelectsTheSameEntriesForOddNames) {
  TempDir dir("sorvane-select");
  for (const char* f : {"src/Sounds/caf\xe9.txt", "src/Sounds/plain.txt", "src/Sounds/a\001b.txt",
                        "src/Sounds/keep.wav", "src/Data\xff/x.bin", "src/Data\xff/y.txt", "src/Data/z.txt"}) {
    fs::create_directories(fs::path(dir / f).parent_path());
    WriteBytes(dir / f, PatternBytes(50, static_cast<uint8_t>(std::string(f).size())));
  }
  ASSERT_EQ(ExitCode(Sorvane(dir, {"add", "m.mpq", "src"})), 0);
  ASSERT_EQ(ExitCode(Sorvane(dir, {"extract", "m.mpq", "-C", "all"})), 0);
  ASSERT_EQ(Written(dir / "all").size(), 7u);
  int n = 0;
  for (const char* pattern : {"*.txt", "src", "caf?.txt", "Data*", "*.bin", "Sounds/*", "src/Data?"}) {
    const std::string k = std::to_string(n++);
    // What add leaves out of the folder is the model.
    RunResult r = Sorvane(dir, {"add", "a" + k + ".mpq", "src", "--exclude", pattern});
    ASSERT_EQ(ExitCode(r), 0) << pattern << r.errors;
    // An add that leaves everything out makes no archive.
    const bool made = fs::exists(dir / ("a" + k + ".mpq"));
    if (made) {
      ASSERT_EQ(ExitCode(Sorvane(dir, {"extract", "a" + k + ".mpq", "-C", "model" + k})), 0);
    }
    r = Sorvane(dir, {"extract", "m.mpq", "-C", "out" + k, "--exclude", pattern});
    EXPECT_EQ(ExitCode(r), 0) << pattern << r.errors;
    EXPECT_EQ(Written(dir / ("out" + k)), Written(dir / ("model" + k))) << pattern;
    const std::string listed = Sorvane(dir, {"list", "m.mpq", "-1", "--exclude", pattern}).output;
    EXPECT_EQ(listed, made ? Sorvane(dir, {"list", "a" + k + ".mpq", "-1", "--exclude", "(listfile)"}).output : "")
        << pattern;
  }
  struct Case {
    std::vector<std::string> names;
    int status;
  };
  const std::vector<Case> cases = {{{"src/Sounds", "src/Sounds/plain.txt"}, 0},
                                   {{"**/*.txt", "src/Data\xff", "*/*/p*"}, 0},
                                   {{"src/Sounds/caf\xe9.txt", "src/Sounds/caf\xe9.txt"}, 0},
                                   {{"src/Data", "nothing"}, 1}};
  for (const Case& c : cases) {
    const std::string k = std::to_string(n++);
    fs::copy_file(dir / "m.mpq", dir / ("d" + k + ".mpq"));
    std::vector<std::string> args = {"extract", "m.mpq", "-C", "x" + k};
    args.insert(args.end(), c.names.begin(), c.names.end());
    RunResult r = Sorvane(dir, args);
    EXPECT_EQ(ExitCode(r), c.status) << args[4] << r.errors;
    args = {"delete", "d" + k + ".mpq"};
    args.insert(args.end(), c.names.begin(), c.names.end());
    r = Sorvane(dir, args);
    EXPECT_EQ(ExitCode(r), c.status) << args[2] << r.errors;
    ASSERT_EQ(ExitCode(Sorvane(dir, {"extract", "d" + k + ".mpq", "-C", "left" + k})), 0);
    // What is left is what extract did not write.
    std::set<std::string> left = Written(dir / ("left" + k));
    const std::set<std::string> taken = Written(dir / ("x" + k));
    for (const std::string& name : taken) EXPECT_EQ(left.count(name), 0u) << args[2] << ": " << name;
    left.insert(taken.begin(), taken.end());
    EXPECT_EQ(left, Written(dir / "all")) << args[2];
  }
}
#endif

TEST(SorvaneSelectTest, StreamsCarryBytesOnlyAndNewArchivesFitWhatTheyGet) {
  TempDir dir("sorvane-select");
  std::string input;
  // Output is read as text (CR LF becomes LF), so the bytes hold no CR.
  for (int i = 0; i < 70000; ++i) input += static_cast<char>(14 + i * 131 % 240);
  RunResult r = Sorvane(dir, {"add", "s.mpq", "-", "--name", "in/data.bin", "-v"}, input);
  ASSERT_EQ(ExitCode(r), 0) << r.errors;
  r = Sorvane(dir, {"extract", "s.mpq", "-O", "in/data.bin", "in/data.bin", "-v"});
  EXPECT_EQ(ExitCode(r), 0);
  // Only the bytes: the notes went to standard error.
  EXPECT_TRUE(r.output == input) << r.output.size() << " bytes";  // a name given twice is written once
  EXPECT_EQ(ExitCode(Sorvane(dir, {"add", "s.mpq", "-"})), 1);  // no --name
#ifndef _WIN32  // a sparse file of 5 GiB: more than a stored file can hold, so no new archive is left behind
  fs::create_directories(dir / "huge");
  WriteBytes(dir / "huge/small.txt", PatternBytes(10, 1));
  WriteBytes(dir / "huge/big.bin", {});
  fs::resize_file(dir / "huge/big.bin", 5ull << 30);
  for (const std::string from : {"huge", "huge/big.bin"}) {
    r = Sorvane(dir, {"add", "n.mpq", from});
    EXPECT_TRUE(ExitCode(r) == 1 && Has(r.errors, "more than a stored file can")) << r.errors;
    EXPECT_FALSE(fs::exists(dir / "n.mpq")) << from;
  }
  fs::remove_all(dir / "huge");
#endif

  fs::create_directories(dir / "many");
  for (int i = 0; i < 1187; ++i) WriteBytes(dir / ("many/f" + std::to_string(i)), PatternBytes(8, 1));
  r = Sorvane(dir, {"add", "big.mpq", "many", "--hash-size", "1024"});
  EXPECT_TRUE(ExitCode(r) == 1 && Has(r.errors, "--hash-size 2048 would fit")) << r.errors;
  r = Sorvane(dir, {"add", "big.mpq", "many"});
  EXPECT_EQ(ExitCode(r), 0) << r.errors;
  EXPECT_TRUE(Has(Sorvane(dir, {"info", "big.mpq"}).output, "2048 entries: 1188 in use"));

#ifndef _WIN32  // two files whose names differ only in case, one name in an archive
  fs::create_directories(dir / "case");
  WriteBytes(dir / "case/A.txt", Bytes{'U'});
  WriteBytes(dir / "case/a.txt", Bytes{'l'});
  for (const bool replace : {false, true}) {
    fs::remove(dir / "c.mpq");
    std::vector<std::string> add = {"add", "c.mpq", "case", "case/A.txt"};
    if (replace) add.push_back("--replace");
    r = Sorvane(dir, add);
    EXPECT_TRUE(ExitCode(r) == 3 && Has(r.errors, "skipped \"case/a.txt\": its name \"case\\a.txt\" is that of")) << r.errors;
    r = Sorvane(dir, {"extract", "c.mpq", "-O", "case/a.txt"});
    EXPECT_TRUE(ExitCode(r) == 0 && r.output == "U") << r.output << r.errors;
  }
#endif
}

}  // namespace

namespace {

// A 16-bit stereo PCM WAV, which the wave method codes with the longest
// method string there is.
Bytes StereoWave(uint32_t bytes) {
  Bytes out = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0, 2, 0,
               0x22, 0x56, 0, 0, 0, 0, 0, 0, 4, 0, 16, 0, 'd', 'a', 't', 'a'};
  for (uint32_t i = 0; i < bytes + 4; ++i) out.push_back(static_cast<uint8_t>(i < 4 ? bytes >> (8 * i) : i * 7919 >> 5));
  return out;
}

TEST(SorvaneSelectTest, ScriptsReadWhatListInfoAndVerifyPrint) {
  TempDir dir("sorvane-select");
  WriteBytes(dir / "s.wav", StereoWave(40000));
  WriteBytes(dir / "t.txt", PatternBytes(3000, 't'));
  ASSERT_EQ(ExitCode(Sorvane(dir, {"add", "m.mpq", "s.wav", "--compress", "wave"})), 0);
  ASSERT_EQ(ExitCode(Sorvane(dir, {"add", "m.mpq", "t.txt", "--name", "odd\xff.txt"})), 0);
  RunResult r = Sorvane(dir, {"list", "m.mpq"});
  // Every row's Name column starts where the header's does.
  std::istringstream rows(r.output);
  std::string header, row;
  std::getline(rows, header);
  const size_t column = header.find("Name");
  while (std::getline(rows, row)) EXPECT_EQ(row[column - 1], ' ') << row;
  EXPECT_NE(r.output.find("implode+huffman+adpcm-stereo"), std::string::npos) << r.output;
  EXPECT_EQ(Sorvane(dir, {"list", "m.mpq", "-1", "*.wav"}).output, "s.wav\n");

  // The documents parse, and a name that is no UTF-8 keeps its bytes.
  const std::string check =
      "import json, sys\n"
      "l, i, v = (json.load(open(f)) for f in sys.argv[1:])\n"
      "odd = [e for e in l['entries'] if 'name_hex' in e]\n"
      "assert len(l['entries']) == 3 and odd[0]['name_hex'] == '6f6464ff2e747874', odd\n"
      "assert i['files'] == 3 and i['tables_fit'] and v['damaged'] == 0 and len(v['results']) == 3\n";
  WriteBytes(dir / "check.py", Bytes(check.begin(), check.end()));
  const char* verbs[] = {"list", "info", "verify"};
  for (const char* verb : verbs) {
    const RunResult doc = Sorvane(dir, {verb, "m.mpq", "--json"});
    ASSERT_EQ(ExitCode(doc), 0) << verb;
    WriteBytes(dir / (std::string(verb) + ".json"), Bytes(doc.output.begin(), doc.output.end()));
  }
#ifndef _WIN32  // python3, a full device and a reader that stops early are the build machine's
  r = RunProgram("python3", {"check.py", "list.json", "info.json", "verify.json"}, dir.path(), "");
  if (ExitCode(r) != 127) {  // 127: no python3 on this machine
    EXPECT_EQ(ExitCode(r), 0) << r.errors;
  }

  // The listing must outgrow a pipe's buffer for the reader's going to show.
  const std::string script = BuiltProgram("tools/sorvane/sorvane") + " list m.mpq > /dev/full; echo \"full $?\"\n" +
                             "mkdir many; for i in $(seq 1500); do echo > many/f$i; done\n" +
                             BuiltProgram("tools/sorvane/sorvane") + " add big.mpq many -q\n" +
                             BuiltProgram("tools/sorvane/sorvane") + " list big.mpq | head -1 > /dev/null\n" +
                             "echo \"pipe ${PIPESTATUS[0]}\"\n";
  WriteBytes(dir / "out.sh", Bytes(script.begin(), script.end()));
  r = RunProgram("bash", {"out.sh"}, dir.path(), "");
  EXPECT_NE(r.output.find("full 1\n"), std::string::npos);
  EXPECT_NE(r.errors.find("cannot write to standard output: No space left on device"), std::string::npos);
  EXPECT_NE(r.output.find("pipe 0\n"), std::string::npos);
  EXPECT_EQ(r.errors.find("Broken pipe"), std::string::npos) << r.errors;
#endif
}

}  // namespace
