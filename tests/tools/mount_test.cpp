// sorvane mount against the program's own extraction and the library's
// reads: the tree, random reads from several threads, a damaged sector, the
// foreground mount and Ctrl-C, and an unmount that leaves nothing behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "platform/mount/mount.h"
#include "tests/support/archive_builder.h"
#include "tests/support/file_tree.h"
#include "tests/support/run_program.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

RunResult Sorvane(const std::string& dir, const std::vector<std::string>& args) {
  return RunProgram(BuiltProgram("tools/sorvane/sorvane"), args, dir, "");
}

// Builds that cannot serve a mount say so; the others check the mount point.
TEST(MountVerb, SaysWhenTheBuildCannotMountAndRefusesAMountPointThatIsNoFolder) {
  TempDir dir("sorvane-mount");
  ArchiveBuilder b;
  b.Add("a.txt", "a");
  b.WriteTo(dir / "a.mpq");
  WriteBytes(dir / "file", Bytes{'x'});
  const RunResult r = Sorvane(dir.path(), {"mount", "a.mpq", "file"});
  if (platform::MountAvailable()) {
    EXPECT_EQ(ExitCode(r), 1);
    EXPECT_NE(r.errors.find("no folder"), std::string::npos) << r.errors;
  } else {
    EXPECT_EQ(ExitCode(r), 2);
    EXPECT_NE(r.errors.find("not available"), std::string::npos) << r.errors;
  }
}

}  // namespace

#ifndef _WIN32  // FUSE mounts exist on Linux only

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <fstream>
#include <random>
#include <set>
#include <thread>

namespace {

// A 16-bit PCM WAV file of n samples, for the audio methods.
Bytes Wave(size_t n, uint32_t seed) {
  Bytes w;
  auto word = [&](uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) w.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  const uint32_t data = static_cast<uint32_t>(n * 2);
  w.insert(w.end(), {'R', 'I', 'F', 'F'});
  word(36 + data, 4);
  w.insert(w.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
  word(16, 4), word(1, 2), word(1, 2), word(22050, 4), word(44100, 4), word(2, 2), word(16, 2);
  w.insert(w.end(), {'d', 'a', 't', 'a'});
  word(data, 4);
  std::mt19937 rng(seed);
  int v = 0;
  for (size_t i = 0; i < n; ++i) {
    v = std::clamp(v + static_cast<int>(rng() % 801) - 400, -30000, 30000);
    word(static_cast<uint16_t>(static_cast<int16_t>(v)), 2);
  }
  return w;
}

// The names that differ between two trees (missing on one side, or other
// bytes), for a message that a person can read. Names compare in any case:
// extract writes each stored spelling, the mount shows folders that differ
// in case only as one.
std::map<std::string, Bytes> Folded(const std::map<std::string, Bytes>& tree) {
  std::map<std::string, Bytes> out;
  for (const auto& [name, bytes] : tree) {
    std::string upper = name;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    out[upper] = bytes;
  }
  return out;
}

std::string Differences(const std::map<std::string, Bytes>& shownTree,
                        const std::map<std::string, Bytes>& extractedTree) {
  const std::map<std::string, Bytes> shown = Folded(shownTree), extracted = Folded(extractedTree);
  std::string out;
  for (const auto& [name, bytes] : shown) {
    const auto other = extracted.find(name);
    if (other == extracted.end()) out += "only mounted: " + name + "\n";
    else if (other->second != bytes) out += "differs: " + name + "\n";
  }
  for (const auto& [name, bytes] : extracted) {
    if (shown.count(name) == 0) out += "only extracted: " + name + "\n";
  }
  return out;
}

int64_t Seconds(fs::file_time_type t) {
  return std::chrono::floor<std::chrono::seconds>(t.time_since_epoch()).count();
}

bool ProcessGone(const std::string& mountpoint) {
  for (int i = 0; i < 200; ++i) {
    if (ExitCode(RunProgram("pgrep", {"-f", "sorvane mount .*" + mountpoint}, "/", "")) != 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

class MountTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!platform::MountAvailable()) GTEST_SKIP() << "this build has no mount (made without libfuse3)";
    if (!fs::exists("/dev/fuse")) GTEST_SKIP() << "no /dev/fuse on this machine: mounts cannot be tested here";
  }
  // Mounts in the background; skips the test where mounting is not allowed.
  void Mount(const TempDir& dir, const std::string& archive, const std::vector<std::string>& options = {}) {
    fs::create_directories(dir / "mnt");
    std::vector<std::string> args = {"mount", archive, dir / "mnt"};
    args.insert(args.end(), options.begin(), options.end());
    const RunResult r = Sorvane(dir.path(), args);
    if (ExitCode(r) != 0 && r.errors.find("ermission") != std::string::npos) {
      GTEST_SKIP() << "mounting is not permitted here: " << r.errors;
    }
    ASSERT_EQ(ExitCode(r), 0) << r.errors;
    mounted_ = dir / "mnt";
  }
  void TearDown() override {
    if (!mounted_.empty()) RunProgram("fusermount3", {"-u", mounted_}, "/", "");
  }
  // The background process ends with its mount; nothing of it stays.
  void Unmount() {
    ASSERT_EQ(ExitCode(RunProgram("fusermount3", {"-u", mounted_}, "/", "")), 0);
    EXPECT_TRUE(ProcessGone(mounted_));
    EXPECT_TRUE(fs::is_empty(mounted_));
    mounted_.clear();
  }
  // The mounted tree without the archive's own files, which extract skips,
  // and without those named in skip.
  std::map<std::string, Bytes> Shown(const std::set<std::string>& skip = {}) const {
    std::map<std::string, Bytes> shown;
    for (const auto& e : fs::recursive_directory_iterator(mounted_)) {
      const std::string name = fs::relative(e.path(), mounted_).generic_string();
      if (!e.is_regular_file() || skip.count(name) != 0) continue;
      if (name == "(listfile)" || name == "(attributes)" || name == "(signature)") continue;
      shown[name] = ReadBytes(e.path());
    }
    return shown;
  }
  std::string mounted_;
};

TEST_F(MountTest, TheSampleArchiveIsWhatExtractWrites) {
  TempDir dir("sorvane-mount");
  fs::copy_file(SORVANE_SAMPLE_ARCHIVE, dir / "sample.mpq");
  ASSERT_EQ(ExitCode(Sorvane(dir.path(), {"extract", "sample.mpq", "-C", "out", "--all-locales"})), 0);
  Mount(dir, "sample.mpq", {"--all-locales"});
  EXPECT_EQ(Differences(Shown(), ReadTree(dir / "out")), "");
  Unmount();
}

TEST_F(MountTest, ARandomArchiveIsWhatExtractWritesAndReadsAgreeFromEightThreads) {
  TempDir dir("sorvane-mount");
  std::mt19937 rng(5);
  const char* methods[] = {"none", "implode", "zlib", "bzip2", "huffman", "wave", "0x41", "0x81", "0x09"};
  const char* folders[] = {"Data/", "Data/Units/", "DATA/units/Deep/", "data/Sounds/", ""};
  ASSERT_EQ(ExitCode(Sorvane(dir.path(), {"create", "a.mpq", "--attributes"})), 0);
  for (int i = 0; i < 45; ++i) {
    const std::string method = methods[i % 9];
    const bool audio = method == "huffman" || method == "wave" || method[2] == '4' || method[2] == '8';
    Bytes data;
    if (audio) {
      data = Wave(rng() % 30000, static_cast<uint32_t>(i));
    } else {
      data.resize(rng() % (i % 4 == 0 ? 70000 : 20000));
      for (uint8_t& c : data) c = static_cast<uint8_t>(rng() % (i % 2 ? 256 : 4));
    }
    const std::string name = std::string(folders[i % 5]) + "f" + std::to_string(i) + ".bin";
    WriteBytes(dir / "src.bin", data);
    std::vector<std::string> args = {"add", "a.mpq", "src.bin", "--name", name, "--compress", method};
    if (i % 7 == 0) args.push_back("--encrypt");
    if (i % 11 == 0) args.push_back("--key-adjusted");
    ASSERT_EQ(ExitCode(Sorvane(dir.path(), args)), 0) << name;
  }
  // Versions of one name in several locales.
  uint32_t seed = 40;
  for (const char* locale : {"0", "0x407", "0x409"}) {
    WriteBytes(dir / "src.bin", PatternBytes(700, ++seed));
    ASSERT_EQ(ExitCode(Sorvane(dir.path(), {"add", "a.mpq", "src.bin", "--name", "Data/f1.bin", "--locale", locale})),
              0);
  }
  // A file's time is the one recorded for it, not the archive's.
  WriteBytes(dir / "dated.txt", PatternBytes(100, 3));
  ASSERT_EQ(ExitCode(Sorvane(dir.path(), {"add", "a.mpq", "dated.txt"})), 0);
  const auto added = fs::file_time_type::clock::now();
  fs::last_write_time(dir / "a.mpq", added - std::chrono::hours(24 * 400));

  ASSERT_EQ(ExitCode(Sorvane(dir.path(), {"extract", "a.mpq", "-C", "out", "--all-locales"})), 0);
  Mount(dir, "a.mpq", {"--all-locales"});
  const std::map<std::string, Bytes> expected = ReadTree(dir / "out");
  EXPECT_EQ(Differences(Shown(), expected), "");
  EXPECT_TRUE(fs::is_regular_file(dir / "mnt/locale-0407/Data/f1.bin"));
  EXPECT_TRUE(fs::is_regular_file(dir / "mnt/locale-0409/Data/f1.bin"));
  // Folders that differ in case only are one, shown in the first spelling.
  std::set<std::string> top;
  for (const auto& e : fs::directory_iterator(dir / "mnt")) top.insert(e.path().filename().string());
  EXPECT_EQ(top.count("DATA") + top.count("data") + top.count("Data"), 1u) << testing::PrintToString(top);
  EXPECT_TRUE(fs::exists(dir / "mnt/dAtA/UNITS/deep"));
  EXPECT_LT(std::abs(Seconds(fs::last_write_time(dir / "mnt/dated.txt")) - Seconds(added)), 3600);

  // Random pieces of random files from eight threads at once, several on
  // one file: each read against the file's bytes.
  std::vector<std::thread> threads;
  std::atomic<int> mismatches{0}, reads{0};
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 r(static_cast<uint32_t>(t));
      for (int k = 0; k < 150; ++k) {
        auto it = std::next(expected.begin(), static_cast<long>(t < 2 ? 0 : r() % expected.size()));
        if (it->second.empty()) continue;
        std::ifstream in(fs::path(dir / "mnt") / it->first, std::ios::binary);
        for (int piece = 0; piece < 3; ++piece) {
          const size_t at = r() % it->second.size();
          const size_t n = std::min<size_t>(1 + r() % 9000, it->second.size() - at);
          in.seekg(static_cast<std::streamoff>(at));
          Bytes got(n);
          in.read(reinterpret_cast<char*>(got.data()), static_cast<std::streamsize>(n));
          ++reads;
          if (!in || !std::equal(got.begin(), got.end(), it->second.begin() + static_cast<long>(at))) ++mismatches;
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(mismatches, 0) << "of " << reads;

  // The file system's size is the archive's, none of it free.
  const fs::space_info space = fs::space(dir / "mnt");
  EXPECT_EQ(space.free, 0u);
  EXPECT_GE(space.capacity, fs::file_size(dir / "a.mpq"));
  EXPECT_LT(space.capacity, fs::file_size(dir / "a.mpq") + 4096);
  // Nothing can be written through the mount.
  EXPECT_FALSE(std::ofstream(dir / "mnt/new.txt"));
  EXPECT_FALSE(std::ofstream(dir / "mnt/dated.txt", std::ios::app));
  // While mounted the archive is being read: an update is refused.
  const RunResult update = Sorvane(dir.path(), {"delete", "a.mpq", "Data/f1.bin"});
  EXPECT_EQ(ExitCode(update), 1);
  EXPECT_NE(update.errors.find("in use"), std::string::npos) << update.errors;
  Unmount();
  EXPECT_EQ(ExitCode(Sorvane(dir.path(), {"delete", "a.mpq", "Data/f1.bin"})), 0);
}

TEST_F(MountTest, OddNamesShowUnderTheirIndexAndADamagedSectorFailsItsReadOnly) {
  TempDir dir("sorvane-mount");
  ArchiveBuilder b;
  // Sectors of 16 KiB: the kernel's page-sized reads cut them.
  b.SectorShift(5);
  b.Add("Maps\\good.txt", "still read");
  b.Add("Maps", "a file where a folder is");
  b.Add("..\\escape.txt", "no tree for this");
  b.Add("\\lead.txt", "a leading separator");
  b.Add("a\\\\b.txt", "an empty component");
  b.Add("nameless.bin", "no list names this");
  b.Add("secret.bin", PatternBytes(3000, 9)).flags |= BLOCK_ENCRYPTED;
  b.Add("Maps\\big.bin", PatternBytes(300000, 7), BLOCK_COMPRESSED);
  b.Add("bad.bin", PatternBytes(20000, 12), BLOCK_COMPRESSED).storedSectors = {Bytes(100, 0x20),
                                                                               PatternBytes(3616, 13)};
  b.Listfile({"Maps\\good.txt", "Maps", "..\\escape.txt", "\\lead.txt", "a\\\\b.txt", "Maps\\big.bin", "bad.bin"});
  b.WriteTo(dir / "odd.mpq");
  const auto old = fs::file_time_type::clock::now() - std::chrono::hours(24 * 100);
  fs::last_write_time(dir / "odd.mpq", old);
  Mount(dir, "odd.mpq");
  // Nothing recorded a time: the archive's own is every file's.
  EXPECT_EQ(Seconds(fs::last_write_time(dir / "mnt/Maps/good.txt")), Seconds(old));
  std::set<std::string> shown;
  for (const auto& e : fs::recursive_directory_iterator(dir / "mnt")) {
    shown.insert(fs::relative(e.path(), dir / "mnt").generic_string());
  }
  // The folder wins over the file of its name, which shows by its index.
  EXPECT_TRUE(shown.count("Maps/good.txt")) << testing::PrintToString(shown);
  EXPECT_EQ(ReadBytes(dir / "mnt/Maps/good.txt"), Bytes({'s', 't', 'i', 'l', 'l', ' ', 'r', 'e', 'a', 'd'}));
  int indexed = 0;
  for (const std::string& name : shown) indexed += name[0] == '#';
  // The file beside its folder, the escaping name, the leading separator,
  // the empty component, the two nameless files.
  EXPECT_EQ(indexed, 6) << testing::PrintToString(shown);
  // Each shows its bytes, but for the file whose key nothing gives: listed,
  // and its reads fail.
  std::set<std::string> byIndex;
  int unreadable = 0;
  for (const std::string& name : shown) {
    if (name[0] != '#') continue;
    const RunResult cat = RunProgram("cat", {dir / ("mnt/" + name)}, dir.path(), "");
    if (ExitCode(cat) == 0) {
      byIndex.insert(cat.output);
    } else {
      ++unreadable;
      EXPECT_NE(cat.errors.find("Input/output error"), std::string::npos) << cat.errors;
    }
  }
  EXPECT_EQ(unreadable, 1);
  EXPECT_EQ(byIndex, std::set<std::string>({"a file where a folder is", "no tree for this", "a leading separator",
                                            "an empty component", "no list names this"}));
  EXPECT_TRUE(fs::exists(dir / "mnt/maps/GOOD.txt"));  // looked up in any case
  EXPECT_EQ(fs::file_size(dir / "mnt/bad.bin"), 20000u);

  // The damaged file fails with an I/O error, again and again, while other
  // threads read pieces of another file.
  std::atomic<bool> done{false};
  std::atomic<int> wrong{0}, pieces{0};
  std::vector<std::thread> readers;
  const Bytes big = PatternBytes(300000, 7);
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&, t] {
      std::mt19937 r(static_cast<uint32_t>(t));
      while (!done || pieces < 40) {
        std::ifstream in(dir / "mnt/Maps/big.bin", std::ios::binary);
        const size_t at = r() % big.size(), n = std::min<size_t>(1 + r() % 40000, big.size() - at);
        in.seekg(static_cast<std::streamoff>(at));
        Bytes got(n);
        in.read(reinterpret_cast<char*>(got.data()), static_cast<std::streamsize>(n));
        if (!in || !std::equal(got.begin(), got.end(), big.begin() + static_cast<long>(at))) ++wrong;
        ++pieces;
      }
    });
  }
  for (int i = 0; i < 5; ++i) {
    const RunResult cat = RunProgram("cat", {dir / "mnt/bad.bin"}, dir.path(), "");
    EXPECT_NE(ExitCode(cat), 0);
    EXPECT_NE(cat.errors.find("Input/output error"), std::string::npos) << cat.errors;
  }
  done = true;
  for (std::thread& t : readers) t.join();
  EXPECT_EQ(wrong, 0);
  // Its first sector is damaged, its second is not: that one still reads.
  {
    std::ifstream in(dir / "mnt/bad.bin", std::ios::binary);
    char c;
    EXPECT_FALSE(in.read(&c, 1));
  }
  {
    std::ifstream in(dir / "mnt/bad.bin", std::ios::binary);
    in.seekg(16384);
    Bytes tail(3616);
    EXPECT_TRUE(in.read(reinterpret_cast<char*>(tail.data()), 3616));
    EXPECT_EQ(tail, PatternBytes(3616, 13));
  }
  Unmount();
}

// Two entries of one name and locale: each file shown is its own entry's,
// as extract writes them.
TEST_F(MountTest, EachOfTwoEntriesOfOneNameShowsItsOwnBytes) {
  TempDir dir("sorvane-mount");
  ArchiveBuilder b;
  b.HashTableSize(8);
  b.Add("dup.txt", PatternBytes(300, 1));
  b.Add("dup.txt", PatternBytes(500, 2));
  b.Listfile({"dup.txt"});
  b.WriteTo(dir / "d.mpq");
  ASSERT_EQ(ExitCode(Sorvane(dir.path(), {"extract", "d.mpq", "-C", "out", "--all-locales"})), 0);
  const std::map<std::string, Bytes> expected = ReadTree(dir / "out");
  ASSERT_EQ(expected.size(), 2u);
  EXPECT_NE(expected.begin()->second, std::next(expected.begin())->second);
  Mount(dir, "d.mpq", {"--all-locales"});
  EXPECT_EQ(Differences(Shown(), expected), "");
  Unmount();
}

// A hash entry that names no block, where a lookup of a real file's name
// comes first: the mount passes over it as readers do, and shows the real
// file under its name with its bytes, not an empty one.
TEST_F(MountTest, AnEntryNamingNoBlockDoesNotHideTheFileOfItsName) {
  TempDir dir("sorvane-mount");
  std::string name;
  for (int k = 0; name.empty(); ++k) {
    const std::string candidate = "hidden" + std::to_string(k) + ".txt";
    if (HashString(candidate.c_str(), HASH_TABLE_INDEX) % 16 < 12) name = candidate;
  }
  ArchiveBuilder b;
  b.HashTableSize(16);
  b.SetHashEntry(HashString(name.c_str(), HASH_TABLE_INDEX) % 16,
                 HashEntry{HashString(name.c_str(), HASH_NAME_A), HashString(name.c_str(), HASH_NAME_B), 0, 77});
  b.Add(name, PatternBytes(700, 3));
  b.Listfile({name});
  b.WriteTo(dir / "d.mpq");
  Mount(dir, "d.mpq", {"--all-locales"});
  EXPECT_EQ(Shown(), (std::map<std::string, Bytes>{{name, PatternBytes(700, 3)}}));
  Unmount();
}

// A file past 2 GiB is read at its offsets there: a file of 2.25 GiB whose
// first sector and the one at 2.125 GiB hold bytes (the others are empty and
// damaged; only the sectors a read touches are decoded).
TEST_F(MountTest, ReadsPastTwoGiBReadTheBytesThere) {
  TempDir dir("sorvane-mount");
  constexpr uint32_t kSize = 0x90000000u, kSectors = kSize / 4096, kFar = 0x88000000u / 4096;
  const Bytes near = PatternBytes(4096, 1), far = PatternBytes(4096, 2);
  Bytes data(4 * (static_cast<size_t>(kSectors) + 1));
  const uint32_t table = static_cast<uint32_t>(data.size());
  for (uint32_t i = 0; i <= kSectors; ++i) StoreLE32At(data, 4ull * i, table + (i == 0 ? 0 : i <= kFar ? 4096 : 8192));
  data.insert(data.end(), near.begin(), near.end());  // sectors of the sector size are stored as they are
  data.insert(data.end(), far.begin(), far.end());
  ArchiveBuilder b;
  FileSpec& big = b.Add("big.bin", Bytes(), BLOCK_COMPRESSED);
  big.rawData = data;
  big.fileSize = kSize;
  b.Listfile({"big.bin"});
  b.WriteTo(dir / "big.mpq");
  Mount(dir, "big.mpq");
  std::ifstream in(dir / "mnt/big.bin", std::ios::binary);
  for (const auto& [at, expected] : std::vector<std::pair<uint64_t, Bytes>>{
           {0x88000000ull + 100, Bytes(far.begin() + 100, far.begin() + 300)},
           {50, Bytes(near.begin() + 50, near.begin() + 150)},
           {0x88000000ull, far}}) {
    in.seekg(static_cast<std::streamoff>(at));
    Bytes got(expected.size());
    in.read(reinterpret_cast<char*>(got.data()), static_cast<std::streamsize>(got.size()));
    EXPECT_TRUE(in && got == expected) << "at " << at;
    in.clear();
  }
  in.close();
  Unmount();
}

// Options pass on to the mount, but none makes it writable: writes fail as
// on a read-only file system.
TEST_F(MountTest, NoOptionMakesTheMountWritable) {
  TempDir dir("sorvane-mount");
  ArchiveBuilder b;
  b.Add("a.txt", "a");
  b.WriteTo(dir / "a.mpq");
  Mount(dir, "a.mpq", {"-o", "rw"});
  errno = 0;
  EXPECT_EQ(::open((dir / "mnt/new.txt").c_str(), O_CREAT | O_WRONLY, 0644), -1);
  EXPECT_EQ(errno, EROFS);
  errno = 0;
  EXPECT_EQ(::mkdir((dir / "mnt/d").c_str(), 0755), -1);
  EXPECT_EQ(errno, EROFS);
  errno = 0;
  EXPECT_EQ(::unlink((dir / "mnt/a.txt").c_str()), -1);
  EXPECT_EQ(errno, EROFS);
  Unmount();
}

// In the foreground the mount lasts until Ctrl-C, which unmounts it.
TEST_F(MountTest, InTheForegroundCtrlCUnmounts) {
  TempDir dir("sorvane-mount");
  ArchiveBuilder b;
  b.Add("Text\\a.txt", "in the foreground");
  b.Listfile({"Text\\a.txt"});
  b.WriteTo(dir / "f.mpq");
  fs::create_directories(dir / "mnt");
  RunResult served;
  std::thread serving([&] { served = Sorvane(dir.path(), {"mount", "f.mpq", dir / "mnt", "-f"}); });
  bool up = false;
  for (int i = 0; i < 600 && !up; ++i) {
    std::error_code ec;
    up = fs::exists(dir / "mnt/Text/a.txt", ec);
    if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (!up) {
    serving.join();
    if (served.errors.find("ermission") != std::string::npos) GTEST_SKIP() << "mounting is not permitted here";
    FAIL() << "never mounted: " << served.errors;
  }
  mounted_ = dir / "mnt";
  EXPECT_EQ(ReadBytes(dir / "mnt/Text/a.txt").size(), 17u);
  const RunResult pid = RunProgram("pgrep", {"-f", "sorvane mount f.mpq .*" + mounted_}, "/", "");
  ASSERT_EQ(ExitCode(pid), 0);
  ASSERT_EQ(ExitCode(RunProgram("kill", {"-INT", pid.output.substr(0, pid.output.find('\n'))}, "/", "")), 0);
  serving.join();
  EXPECT_EQ(ExitCode(served), 0) << served.errors;
  EXPECT_TRUE(ProcessGone(mounted_));
  EXPECT_TRUE(fs::is_empty(mounted_));
  mounted_.clear();
}

}  // namespace

#endif
