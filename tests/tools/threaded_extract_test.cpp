// Extraction on several threads: the order machinery on its own, and
// `sorvane extract -j N` against `-j 1` on random archives (damaged files,
// unnamed entries, names that meet on disk, locale versions, old files and
// links in the output tree): the same files, bytes, messages and status.
// ThreadSanitizer runs these too (scripts/test-threads.sh): a race in the
// program ends it with a report, which shows as a difference here.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ordered_work.h"
#include "sorvane/sorvane.h"
#include "tests/support/archive_builder.h"
#include "tests/support/file_tree.h"
#include "tests/support/run_program.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

// The units as lists of items, for comparing.
std::vector<std::vector<size_t>> Listed(const sorvane::WorkUnits& units) {
  std::vector<std::vector<size_t>> lists;
  for (size_t u = 0; u < units.Count(); ++u) {
    lists.emplace_back(units.items.begin() + static_cast<std::ptrdiff_t>(units.starts[u]),
                       units.items.begin() + static_cast<std::ptrdiff_t>(units.starts[u + 1]));
  }
  return lists;
}

TEST(ThreadedExtract, PlacesThatCouldMeetShareAUnitInTheirOrder) {
  using Lists = std::vector<std::vector<size_t>>;
  // The same place in other letter cases and separators, or with "." and
  // empty components; a file on the way to another file.
  EXPECT_EQ(Listed(sorvane::UnitsByOutputPath({"a\\b", "c", "A/B", "a\\.\\b", "a\\\\b", "d"})),
            (Lists{{0, 2, 3, 4}, {1}, {5}}));
  EXPECT_EQ(Listed(sorvane::UnitsByOutputPath({"x\\y\\z", "x\\q", "x\\y", "x"})), (Lists{{0, 1, 2, 3}}));
  // Folders shared by files are no meeting: files beside each other go apart.
  EXPECT_EQ(Listed(sorvane::UnitsByOutputPath({"d\\a", "d\\b", "d\\e\\c"})), (Lists{{0}, {1}, {2}}));
  // What Windows and folding file systems make of names: trailing dots and
  // blanks, letters beyond ASCII, short names.
  EXPECT_EQ(Listed(sorvane::UnitsByOutputPath({"x.", "y", "x ", "caf\xc3\xa9", "CAF\xc3\x89", "LONGNA~1"})),
            (Lists{{0, 2}, {1}, {3, 4, 5}}));
  // A short name may stand for any long name beside it, of a file or a folder.
  EXPECT_EQ(Listed(sorvane::UnitsByOutputPath(
                {"longfilename.txt", "d\\LONGFI~1.TXT", "LONGFI~1.TXT", "a.txt", "longfoldername\\x", "LONGFO~1\\y"})),
            (Lists{{0, 2, 4, 5}, {1}, {3}}));
  // Locale folders meet a stored name of the same spelling.
  EXPECT_EQ(Listed(sorvane::UnitsByOutputPath({"n.txt", "locale-0407\\n.txt", "LOCALE-0407\\N.TXT"})),
            (Lists{{0}, {1, 2}}));
  EXPECT_EQ(sorvane::UnitsByOutputPath({}).Count(), 0u);
}

// Random units and random work times: every item is done once, a unit's
// items one after the other on one thread, and the results come out in the
// order of the items, never further ahead than the window allows.
TEST(ThreadedExtract, ResultsComeOutInTheOrderOfTheItems) {
  std::mt19937 random(5);
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const size_t count = random() % 300;
    std::vector<std::string> paths;
    for (size_t i = 0; i < count; ++i) paths.push_back("f" + std::to_string(random() % (count / 2 + 1)));
    const sorvane::WorkUnits units = sorvane::UnitsByOutputPath(paths);
    const size_t window = 1 + random() % 16;
    const uint32_t threads = 1 + random() % 6;
    std::vector<std::atomic<int>> doneBy(count);
    for (auto& d : doneBy) d = -1;
    std::vector<size_t> order;
    std::atomic<size_t> emitted{0};
    std::atomic<bool> tooFarAhead{false};
    std::set<size_t> firsts;
    for (size_t u = 0; u < units.Count(); ++u) firsts.insert(units.First(u));
    sorvane::InOrder<size_t> run(units, window);
    run.Run(
        threads,
        [&](size_t item, uint32_t thread) {
          doneBy[item] = static_cast<int>(thread);
          if (firsts.count(item) != 0 && item >= emitted.load() + window) tooFarAhead = true;
          std::this_thread::sleep_for(std::chrono::microseconds((item * 2654435761u) % 3 == 0 ? 50 : 0));
          return item * 7;
        },
        [&](size_t item, size_t& result) {
          EXPECT_EQ(result, item * 7);
          order.push_back(item);
          emitted = order.size();
        });
    std::vector<size_t> expected(count);
    for (size_t i = 0; i < count; ++i) expected[i] = i;
    EXPECT_EQ(order, expected);
    for (size_t u = 0; u < units.Count(); ++u) {
      for (size_t k = units.starts[u] + 1; k < units.starts[u + 1]; ++k) {
        EXPECT_EQ(doneBy[units.items[k]].load(), doneBy[units.items[units.starts[u]]].load());
      }
    }
    EXPECT_FALSE(tooFarAhead.load());
  }
}

#ifndef _WIN32

std::string Sorvane() { return BuiltProgram("tools/sorvane/sorvane"); }

// A file of `size` bytes one of whose sectors does not decode.
void AddDamaged(ArchiveBuilder& builder, const std::string& name, uint32_t size, uint32_t badSector, uint32_t seed) {
  builder.Add(name, PatternBytes(size, seed), BLOCK_COMPRESSED).encodeSector =
      [badSector](const uint8_t* data, uint32_t length, uint32_t index) {
        if (index != badSector) return Bytes(data, data + length);
        Bytes junk(40, 0xEE);
        junk[0] = COMP_IMPLODE;
        return junk;
      };
}


// A random archive whose names meet on disk in every way the output tree
// allows, with damaged, encrypted, unnamed and unsafe entries and versions
// in other locales.
void MakeArchive(std::mt19937& random, const std::string& path) {
  static const std::vector<std::string> parts = {"a", "A", "b", "x", "x.", "locale-0407", "c\xc3\xa9", ".", "d"};
  auto name = [&] {
    std::string n = parts[random() % parts.size()];
    for (unsigned depth = random() % 3; depth > 0; --depth) n += "\\" + parts[random() % parts.size()];
    return n;
  };
  ArchiveBuilder builder;
  builder.HashTableSize(256);
  std::vector<std::string> listed;
  const int files = 20 + static_cast<int>(random() % 40);
  for (int i = 0; i < files; ++i) {
    std::string n = name();
    if (n == "." || n.back() == '.') n += "f";
    const uint32_t size = random() % 4 == 0 ? 0 : 1 + random() % 30000;
    const uint32_t seed = random();
    switch (random() % 8) {
      case 0:
        AddDamaged(builder, n, std::max<uint32_t>(size, 9000), random() % 2, seed);
        break;
      case 1:
        builder.Add(n, PatternBytes(size, seed), BLOCK_ENCRYPTED);
        break;
      case 2:
        builder.Add(n, PatternBytes(size, seed), BLOCK_COMPRESSED);
        break;
      case 3:
        builder.Add(n, PatternBytes(size, seed)).locale = 0x407;
        break;
      default:
        builder.Add(n, PatternBytes(size, seed));
        break;
    }
    // Some names no list gives (written as #INDEX), one that would leave
    // the folder.
    if (random() % 6 != 0) listed.push_back(n);
  }
  // Two names of one place whose first (in the list's order: '/' sorts
  // before '\\') takes much longer to write: one thread after the other,
  // the second wins; on two threads at once, without order, the first would.
  for (int pair = 0; pair < 2; ++pair) {
    std::string n = name();
    if (n.find('\\') == std::string::npos) n += "\\p";
    if (n.back() == '.') n += "f";
    std::string slashed = n;
    for (char& c : slashed) c = c == '\\' ? '/' : c;
    builder.Add(slashed, PatternBytes(1u << 20, random()));
    builder.Add(n, PatternBytes(100, random()));
    listed.push_back(slashed);
    listed.push_back(n);
  }
  builder.Add("..\\evil", std::string_view("outside"));
  listed.push_back("..\\evil");
  builder.Listfile(listed);
  builder.WriteTo(path);
}

// What is in the output folder before the run: old files, folders and links
// where the archive's names go.
void Prepare(uint32_t seed, const fs::path& out) {
  std::mt19937 random(seed);
  static const std::vector<std::string> places = {"a", "b", "x", "A/b", "a/x", "d", "b/a", "x./f", "locale-0407"};
  fs::create_directories(out);
  for (int i = 0; i < 4; ++i) {
    const fs::path place = out / places[random() % places.size()];
    std::error_code ec;
    fs::create_directories(place.parent_path(), ec);
    if (ec || fs::exists(fs::symlink_status(place))) continue;
    switch (random() % 4) {
      case 0: WriteBytes(place.string(), Bytes{'o', 'l', 'd'}); break;
      case 1: fs::create_directory(place, ec); break;
      case 2: fs::create_symlink("nowhere", place, ec); break;
      default: fs::create_directory_symlink("..", place, ec); break;
    }
  }
}

TEST(ThreadedExtract, AnyNumberOfThreadsWritesTheSameFilesAndSaysTheSame) {
  TempDir dir("threadextract");
  std::mt19937 random(77);
  const std::vector<std::vector<std::string>> options = {
      {}, {"-v"}, {"--all-locales", "-v"}, {"--skip-old-files", "-v"}, {"-k"}, {"--all-locales", "--skip-old-files"}};
  int failures = 0;
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::string archive = dir / ("r" + std::to_string(round) + ".mpq");
    MakeArchive(random, archive);
    const std::vector<std::string>& extra = options[round % options.size()];
    const uint32_t treeSeed = random();
    const std::string threads = std::to_string(2 + random() % 7);
    std::map<std::string, RunResult> results;
    std::map<std::string, std::map<std::string, std::string>> trees;
    for (const std::string& j : {std::string("1"), threads}) {
      // The same relative output folder, so that messages name it alike.
      const std::string work = dir / ("r" + std::to_string(round) + "j" + j);
      fs::create_directories(work);
      Prepare(treeSeed, fs::path(work) / "out");
      std::vector<std::string> args = {"extract", archive, "-C", "out", "-j", j};
      args.insert(args.end(), extra.begin(), extra.end());
      results[j] = RunProgram(Sorvane(), args, work, "");
      trees[j] = Snapshot(fs::path(work) / "out");
    }
    const RunResult& one = results["1"];
    const RunResult& many = results[threads];
    EXPECT_EQ(ExitCode(many), ExitCode(one)) << "-j " << threads;
    EXPECT_EQ(many.output, one.output) << "-j " << threads;
    EXPECT_EQ(many.errors, one.errors) << "-j " << threads;
    EXPECT_TRUE(trees[threads] == trees["1"]) << "-j " << threads;
    if (ExitCode(one) != 0) ++failures;
  }
  EXPECT_GE(failures, 6);  // the damaged and unsafe entries did fail
}

TEST(ThreadedExtract, JobsAreANumber) {
  TempDir dir("threadjobs");
  ArchiveBuilder builder;
  builder.Add("a.txt", std::string_view("a"));
  builder.Listfile({"a.txt"});
  builder.WriteTo(dir / "j.mpq");
  const RunResult bad = RunProgram(Sorvane(), {"extract", "j.mpq", "-j", "many"}, dir.path(), "");
  EXPECT_EQ(ExitCode(bad), 2);
  EXPECT_EQ(bad.errors, "sorvane: -j: \"many\" is no number of threads\n");
  for (const std::string jobs : {"--jobs=3", "-j0", "-j100"}) {
    const RunResult ok = RunProgram(Sorvane(), {"extract", "j.mpq", "-C", "out" + jobs, jobs, "-v"}, dir.path(), "");
    EXPECT_EQ(ExitCode(ok), 0) << jobs << ": " << ok.errors;
    EXPECT_EQ(ok.output, "extracted a.txt (1 bytes)\n1 files extracted\n") << jobs;
  }
}

#endif  // _WIN32

}  // namespace
