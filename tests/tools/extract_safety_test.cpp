// Both extractors against output trees that hold links, old files and
// folders where the archive's files go, and against entries that fail or
// are interrupted while they are written.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "sorvane/sorvane.h"
#include "platform/platform.h"
#include "tests/support/archive_builder.h"
#include "tests/support/file_tree.h"
#include "tests/support/run_program.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

std::string Sorvane() { return BuiltProgram("tools/sorvane/sorvane"); }
std::string Tavrix() { return BuiltProgram("extractor/tavrix"); }

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// A file of `size` bytes whose second sector does not decode: the first
// sector is written out before the read fails.
void AddDamaged(ArchiveBuilder& builder, const std::string& name, uint32_t size) {
  builder.Add(name, PatternBytes(size, 7), BLOCK_COMPRESSED).encodeSector =
      [](const uint8_t* data, uint32_t length, uint32_t index) {
        if (index != 1) return Bytes(data, data + length);
        Bytes junk(40, 0xEE);
        junk[0] = COMP_IMPLODE;
        return junk;
      };
}


class ExtractSafetyTest : public ::testing::Test {
 protected:
  ExtractSafetyTest() : dir_("extractsafe") {}
  std::string At(const std::string& name) const { return dir_ / name; }
  RunResult RunSorvane(const std::vector<std::string>& args) { return RunProgram(Sorvane(), args, dir_.path(), ""); }
  RunResult RunTavrix(const std::string& archive) { return RunProgram(Tavrix(), {At(archive)}, dir_.path(), "\n"); }
  void Put(const std::string& name, const std::string& text) {
    fs::create_directories(fs::path(At(name)).parent_path());
    WriteBytes(At(name), Text(text));
  }
  // An archive of text files, all listed.
  void Make(const std::string& archive, const std::vector<std::pair<std::string, std::string>>& files) {
    ArchiveBuilder builder;
    std::vector<std::string> names;
    for (const auto& [name, text] : files) {
      builder.Add(name, std::string_view(text));
      names.push_back(name);
    }
    builder.Listfile(names);
    builder.WriteTo(At(archive));
  }
  std::string Get(const std::string& name) const {
    const Bytes data = ReadBytes(At(name));
    return std::string(data.begin(), data.end());
  }

  TempDir dir_;
};

// Whether text holds part, and text itself when it does not.
::testing::AssertionResult Holds(const std::string& text, const std::string& part) {
  if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "no \"" << part << "\" in:\n" << text;
}

// The files of a run's output folder that no name of the archive explains:
// temporaries and partial files left behind.
std::set<std::string> Strays(const fs::path& root, const std::set<std::string>& expected) {
  std::set<std::string> strays;
  for (const auto& [name, what] : Snapshot(root)) {
    if (what != "/" && expected.count(name) == 0) strays.insert(name);
  }
  return strays;
}

TEST_F(ExtractSafetyTest, AFailedEntryKeepsTheFileItWouldReplaceAndLeavesNothingBehind) {
  ArchiveBuilder builder;
  AddDamaged(builder, "data.txt", 20000);
  AddDamaged(builder, "fresh.txt", 20000);
  builder.Add("good.txt", std::string_view("good"));
  builder.Listfile({"data.txt", "fresh.txt", "good.txt"});
  builder.WriteTo(At("c.mpq"));

  Put("out/data.txt", "precious");
  const RunResult s = RunSorvane({"extract", "c.mpq", "-C", "out"});
  EXPECT_EQ(ExitCode(s), 1) << s.errors;
  EXPECT_EQ(Get("out/data.txt"), "precious");
  EXPECT_EQ(Get("out/good.txt"), "good");
  EXPECT_EQ(Strays(At("out"), {"data.txt", "good.txt"}), std::set<std::string>{});

  Put("c_mpq/data.txt", "precious");
  const RunResult t = RunTavrix("c.mpq");
  EXPECT_TRUE(Holds(t.output, "Error extracting file \"data.txt\".\n"));
  EXPECT_TRUE(Holds(t.output, "Error extracting file \"fresh.txt\".\n"));
  EXPECT_TRUE(Holds(t.output, "\n3 files extracted in "));
  EXPECT_EQ(Get("c_mpq/data.txt"), "precious");
  EXPECT_EQ(Strays(At("c_mpq"), {"data.txt", "good.txt"}), std::set<std::string>{});
}

TEST_F(ExtractSafetyTest, SorvaneReplacesSkipsOrKeepsExistingFilesAsAsked) {
  Make("k.mpq", {{"a.txt", "archive a"}, {"b.txt", "archive b"}});

  Put("skip/a.txt", "edited a");
  const RunResult skip = RunSorvane({"extract", "k.mpq", "-C", "skip", "--skip-old-files", "-v"});
  EXPECT_EQ(ExitCode(skip), 0) << skip.errors;
  EXPECT_EQ(Get("skip/a.txt"), "edited a");
  EXPECT_EQ(Get("skip/b.txt"), "archive b");
  EXPECT_TRUE(Holds(skip.output, "kept " + (fs::path("skip") / "a.txt").string()));
  EXPECT_TRUE(Holds(skip.output, "1 files extracted, 1 existing files kept\n"));

  Put("keep/a.txt", "edited a");
  const RunResult keep = RunSorvane({"extract", "k.mpq", "-C", "keep", "-k"});
  EXPECT_EQ(ExitCode(keep), 1);
  EXPECT_EQ(keep.errors, "sorvane: not extracting \"a.txt\": \"" + (fs::path("keep") / "a.txt").string() +
                            "\" exists (--keep-old-files)\n");
  EXPECT_EQ(Get("keep/a.txt"), "edited a");
  EXPECT_EQ(Get("keep/b.txt"), "archive b");

  // By default an existing file is replaced, as tar replaces it (on POSIX
  // also one its owner may only read).
#ifndef _WIN32
  fs::permissions(At("keep/a.txt"), fs::perms::owner_read);
#endif
  const RunResult replace = RunSorvane({"extract", "k.mpq", "-C", "keep"});
  EXPECT_EQ(ExitCode(replace), 0) << replace.errors;
  EXPECT_EQ(Get("keep/a.txt"), "archive a");
  EXPECT_EQ(fs::status(At("keep/a.txt")).permissions(), fs::status(At("keep/b.txt")).permissions());
  EXPECT_EQ(Snapshot(At("keep")).size(), 2u);
}

TEST_F(ExtractSafetyTest, TavrixNamesTheEntryWhoseFileCannotBeCreated) {
  Make("d.mpq", {{".", "dot"}, {"e.txt", "e"}});
  const RunResult t = RunTavrix("d.mpq");
  std::string denied;
  ASSERT_TRUE(platform::FormatSystemMessage(platform::kErrorAccessDenied, denied));
  EXPECT_TRUE(Holds(t.output, denied + "\nError extracting file \".\".\n2 files extracted in "));
  EXPECT_EQ(Get("d_mpq/e.txt"), "e");
}

// Names Windows would write somewhere else than they say: a stream after a
// colon, trailing dots and blanks it drops, a short name standing for a file
// or folder already there. Each entry is written under exactly its own name
// with its own bytes, or named in a message (sorvane: status 1), and
// nothing the archive does not name changes.
TEST_F(ExtractSafetyTest, EachEntryIsWrittenUnderItsOwnNameOrRefused) {
  std::vector<std::string> names = {"a.txt", "a.txt:s", "b:c", "dot", "dot.", "sp ", "sp2 .", "dir.\\x",
                                    "dir\\x", "dir2 \\y", "q?x", "ok\\y.txt"};
  Put("probe/longfilename.txt", "");
  fs::create_directories(At("probe/longfoldername"));
  const std::string shortFile = ShortName(At("probe/longfilename.txt"));
  const std::string shortFolder = ShortName(At("probe/longfoldername"));
  if (!shortFile.empty()) names.push_back(shortFile);
  if (!shortFolder.empty()) names.push_back(shortFolder + "\\in.txt");
  std::vector<std::pair<std::string, std::string>> files;
  for (const std::string& name : names) files.emplace_back(name, "bytes of " + name);
  Make("n.mpq", files);

  for (const std::string out : {"out", "n_mpq"}) {
    SCOPED_TRACE(out);
    std::map<std::string, Bytes> expected = {{"longfilename.txt", Text("not from the archive")},
                                             {"longfoldername/keep.txt", Text("not from the archive")}};
    WriteTree(At(out), expected);
    const RunResult r = out == "out" ? RunSorvane({"extract", "n.mpq", "-C", "out"}) : RunTavrix("n.mpq");
    const std::string& said = out == "out" ? r.errors : r.output;
    const std::map<std::string, Bytes> written = ReadTree(At(out));
    bool refused = false;
    for (const std::string& name : names) {
      std::string path = name;
      std::replace(path.begin(), path.end(), '\\', '/');
      const bool named = said.find("\"" + name + "\"") != std::string::npos;
      EXPECT_NE(named, written.count(path) != 0) << name << " in:\n" << said;
      if (!named) expected[path] = Text("bytes of " + name);
      refused = refused || named;
    }
    EXPECT_EQ(written, expected);
    if (out == "out") {
      EXPECT_EQ(ExitCode(r), refused ? 1 : 0) << r.errors;
    }
  }
}

#ifdef _WIN32
// A path that names its own root is opened as it is given, not under the
// current drive, and that root keeps its dots: the output folder lies
// beside the archive as for any other path.
TEST_F(ExtractSafetyTest, TavrixTakesAPathWithARootOfItsOwn) {
  Make("u.mpq", {{"a.txt", "a"}});
  for (const std::string root : {"\\\\?\\", "\\\\.\\"}) {
    SCOPED_TRACE(root);
    const std::string path = root + fs::absolute(At("u.mpq")).make_preferred().string();
    const RunResult t = RunProgram(Tavrix(), {path}, dir_.path(), "\n");
    EXPECT_TRUE(Holds(t.output, "\n1 files extracted in "));
    EXPECT_EQ(Get("u_mpq/a.txt"), "a");
    fs::remove_all(At("u_mpq"));
  }
}
#endif

#ifndef _WIN32

TEST_F(ExtractSafetyTest, NothingIsWrittenThroughALinkBelowTheOutputFolder) {
  Make("a.mpq", {{"Maps\\x.txt", "map"}, {"readme.txt", "readme"}, {"other.txt", "other"}});
  Put("victim/target", "target");
  const auto victim = Snapshot(At("victim"));
  for (const std::string out : {"out", "a_mpq"}) {
    fs::create_directories(At(out));
    fs::create_directory_symlink(At("victim"), At(out + "/Maps"));
    fs::create_symlink(At("victim/target"), At(out + "/readme.txt"));
  }

  const RunResult s = RunSorvane({"extract", "a.mpq", "-C", "out"});
  EXPECT_EQ(ExitCode(s), 1);
  EXPECT_TRUE(Holds(s.errors, "sorvane: refusing \"Maps\\x.txt\": \"out/Maps\" is a symbolic link"));
  EXPECT_TRUE(Holds(s.errors, "sorvane: refusing \"readme.txt\": \"out/readme.txt\" is a symbolic link"));
  EXPECT_EQ(Get("out/other.txt"), "other");

  const RunResult t = RunTavrix("a.mpq");
  EXPECT_TRUE(Holds(t.output, "Not extracting \"Maps\\x.txt\": \"Maps\" is a symbolic link.\n"
                          "Error extracting file \"Maps\\x.txt\".\n"));
  EXPECT_TRUE(Holds(t.output, "Error extracting file \"readme.txt\".\n"));
  EXPECT_TRUE(Holds(t.output, "\n3 files extracted in "));
  EXPECT_EQ(Get("a_mpq/other.txt"), "other");
  EXPECT_EQ(Snapshot(At("victim")), victim);

  // The folder given with -C is followed; tavrix's own output folder, whose
  // name anyone can guess, is not.
  fs::create_directory_symlink(At("out"), At("chosen"));
  const RunResult chosen = RunSorvane({"extract", "a.mpq", "other.txt", "-C", "chosen"});
  EXPECT_EQ(ExitCode(chosen), 0) << chosen.errors;
  fs::remove_all(At("a_mpq"));
  fs::create_directory_symlink(At("victim"), At("a_mpq"));
  const RunResult planted = RunTavrix("a.mpq");
  EXPECT_TRUE(Holds(planted.output, "Error extracting file \"other.txt\".\n"));
  EXPECT_EQ(Snapshot(At("victim")), victim);
}

TEST_F(ExtractSafetyTest, AFileSizeLimitIsAFailedEntryNotATruncatedFile) {
  ArchiveBuilder builder;
  builder.Add("data.txt", PatternBytes(1288895, 3));
  builder.Add("small.txt", std::string_view("small"));
  builder.Listfile({"data.txt", "small.txt"});
  builder.WriteTo(At("f.mpq"));
  const std::string limited = "ulimit -f 200; exec ";
  const RunResult t = RunProgram("sh", {"-c", limited + Tavrix() + " " + At("f.mpq")}, dir_.path(), "\n");
  EXPECT_EQ(t.status, 0);
  EXPECT_TRUE(Holds(t.output, "Error extracting file \"data.txt\".\n"));
  EXPECT_EQ(Get("f_mpq/small.txt"), "small");
  EXPECT_FALSE(fs::exists(At("f_mpq/data.txt")));
  const RunResult s =
      RunProgram("sh", {"-c", limited + Sorvane() + " extract f.mpq -C out"}, dir_.path(), "");
  EXPECT_EQ(ExitCode(s), 1) << s.errors;
  EXPECT_EQ(Strays(At("out"), {"small.txt"}), std::set<std::string>{});
}

// Runs a program in the background and sends it a signal as soon as its
// new bytes are on their way to the disk: a non-empty temporary, or the old
// file changed in place. Exits with the program's status.
const char kInterruptScript[] = R"(signal=$1; out=$2; shift 2
"$@" </dev/null >/dev/null 2>&1 &
pid=$!
while kill -0 $pid 2>/dev/null; do
  set -- "$out"/.extract-*
  [ -s "$1" ] && break
  l=; read -r l < "$out/big.bin"
  [ "$l" = old ] || break
done
kill -s $signal $pid
wait $pid
)";

TEST_F(ExtractSafetyTest, AnInterruptedEntryLeavesTheOldFileAndNoPartOfTheNew) {
  const Bytes big = PatternBytes(24u << 20, 5);
  WriteBytes(At("big.bin"), big);
  ASSERT_EQ(RunSorvane({"add", "i.mpq", "big.bin", "--compress", "implode"}).status, 0);
  WriteBytes(At("interrupt.sh"), Text(kInterruptScript));
  int interrupted = 0;
  for (const auto& [signal, number] : std::map<std::string, int>{{"INT", 2}, {"TERM", 15}, {"HUP", 1}}) {
    const std::vector<std::string> runs[] = {{"out", Sorvane(), "extract", "i.mpq", "-C", "out"},
                                             {"i_mpq", Tavrix(), At("i.mpq")}};
    for (const auto& run : runs) {
      SCOPED_TRACE("SIG" + signal + " to " + run[1]);
      fs::remove_all(At(run[0]));
      Put(run[0] + "/big.bin", "old");
      std::vector<std::string> args = {At("interrupt.sh"), signal};
      args.insert(args.end(), run.begin(), run.end());
      const RunResult r = RunProgram("sh", args, dir_.path(), "");
      if (ExitCode(r) == 128 + number) ++interrupted;
      const std::string kept = Get(run[0] + "/big.bin");
      EXPECT_TRUE(kept == "old" || Bytes(kept.begin(), kept.end()) == big) << kept.size() << " bytes";
      EXPECT_EQ(Strays(At(run[0]), {"big.bin"}), std::set<std::string>{});
    }
  }
  EXPECT_GE(interrupted, 2);  // the others finished before the signal came
}

// Several threads each writing a large file when the signal comes: every
// one of those files goes, new or replacing, and the old ones stay.
TEST_F(ExtractSafetyTest, AnInterruptWhileThreadsWriteLeavesNoPartOfAnyFile) {
  std::vector<std::string> names;
  std::map<std::string, Bytes> contents;
  for (int i = 0; i < 6; ++i) {
    const std::string name = i == 0 ? "big.bin" : "big" + std::to_string(i) + ".bin";
    contents[name] = PatternBytes((12u << 20) + static_cast<uint32_t>(i), static_cast<uint32_t>(i));
    fs::create_directories(At("in"));
    WriteBytes(At("in/" + name), contents[name]);
    names.push_back(name);
  }
  ASSERT_EQ(RunProgram("sh", {"-c", "cd in && " + Sorvane() + " add ../m.mpq *.bin --compress implode"}, dir_.path(), "")
                .status,
            0);
  WriteBytes(At("interrupt.sh"), Text(kInterruptScript));
  int interrupted = 0;
  for (const auto& [signal, number] : std::map<std::string, int>{{"INT", 2}, {"TERM", 15}, {"HUP", 1}}) {
    SCOPED_TRACE("SIG" + signal);
    fs::remove_all(At("out"));
    // Half of them replace old files, half are new.
    for (int i = 0; i < 6; i += 2) Put("out/" + names[static_cast<size_t>(i)], "old");
    const RunResult r = RunProgram(
        "sh", {At("interrupt.sh"), signal, "out", Sorvane(), "extract", "m.mpq", "-C", "out", "-j", "4"},
        dir_.path(), "");
    if (ExitCode(r) == 128 + number) ++interrupted;
    std::set<std::string> expected;
    for (const auto& [name, bytes] : contents) {
      if (!fs::exists(At("out/" + name))) continue;
      expected.insert(name);
      const std::string kept = Get("out/" + name);
      EXPECT_TRUE(kept == "old" || Bytes(kept.begin(), kept.end()) == bytes) << name << ": " << kept.size();
    }
    for (int i = 0; i < 6; i += 2) EXPECT_TRUE(fs::exists(At("out/" + names[static_cast<size_t>(i)])));
    EXPECT_EQ(Strays(At("out"), expected), std::set<std::string>{});
  }
  EXPECT_GE(interrupted, 2);
}

// Random archives extracted into random trees that already hold files,
// folders and links (to the outside, and dangling) at the archive's names:
// nothing outside the output folder changes, links stay links, and every
// file holds its old bytes or exactly the archive's.
TEST_F(ExtractSafetyTest, HostileOutputTreesChangeNothingOutsideAndKeepEveryFileWhole) {
  std::mt19937 random(23);
  const std::vector<std::string> parts = {"a", "A", "b", "c"};
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    fs::remove_all(dir_.path());
    fs::create_directories(dir_.path());
    auto randomName = [&](const std::string& separator) {
      std::string name = parts[random() % parts.size()];
      for (unsigned depth = random() % 3; depth > 0; --depth) name += separator + parts[random() % parts.size()];
      return name;
    };
    std::map<std::string, Bytes> stored;  // by path with '/'
    std::set<std::string> taken;          // stored names match without regard to case
    ArchiveBuilder builder;
    std::vector<std::string> listed;
    for (int i = 0; i < 10; ++i) {
      const std::string name = randomName("\\");
      std::string path = name, folded = name;
      for (char& c : path) c = c == '\\' ? '/' : c;
      for (char& c : folded) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      if (!taken.insert(folded).second) continue;
      stored.emplace(path, PatternBytes(1 + random() % 9000, random()));
      builder.Add(name, stored[path]);
      listed.push_back(name);
    }
    builder.Listfile(listed);
    builder.WriteTo(At("h.mpq"));
    Put("outside/file", "outside");
    fs::create_directories(At("outside/folder"));
    for (const std::string out : {"out", "h_mpq"}) {
      fs::create_directories(At(out));
      for (int i = 0; i < 8; ++i) {
        const fs::path place = fs::path(At(out)) / randomName("/");
        std::error_code ec;
        fs::create_directories(place.parent_path(), ec);
        if (ec || fs::exists(fs::symlink_status(place))) continue;
        switch (random() % 5) {
          case 0: WriteBytes(place.string(), Text("old " + place.string())); break;
          case 1: fs::create_directory(place, ec); break;
          case 2: fs::create_directory_symlink(At("outside/folder"), place, ec); break;
          case 3: fs::create_symlink(At("outside/file"), place, ec); break;
          default: fs::create_symlink(At("outside/missing"), place, ec); break;
        }
      }
    }
    const auto outside = Snapshot(At("outside"));
    const auto before = std::map<std::string, std::map<std::string, std::string>>{
        {"out", Snapshot(At("out"))}, {"h_mpq", Snapshot(At("h_mpq"))}};

    RunSorvane({"extract", "h.mpq", "-C", "out"});
    RunTavrix("h.mpq");

    EXPECT_EQ(Snapshot(At("outside")), outside);
    for (const auto& [out, old] : before) {
      for (const auto& [name, now] : Snapshot(At(out))) {
        const auto was = old.find(name);
        if (was != old.end() && (was->second == "/" || was->second.rfind("-> ", 0) == 0)) {
          EXPECT_EQ(now, was->second) << out << "/" << name;  // folders and links stay
          continue;
        }
        const auto archived = stored.find(name);
        const bool fromArchive = archived != stored.end() && now == Digest(archived->second);
        const bool asBefore = was != old.end() && now == was->second;
        EXPECT_TRUE(fromArchive || asBefore || now == "/") << out << "/" << name;
      }
      for (const auto& [name, was] : old) EXPECT_TRUE(fs::exists(fs::symlink_status(At(out + "/" + name)))) << name;
    }
  }
}

#endif  // _WIN32

}  // namespace
