// sorvane mount against the program's own extraction and the library's
// reads: the tree, random reads from several threads, a damaged sector, and
// an unmount that leaves nothing behind.
#include <gtest/gtest.h>

#ifndef _WIN32  // FUSE mounts exist on Linux only

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <thread>

#include "tests/support/archive_builder.h"
#include "tests/support/file_tree.h"
#include "tests/support/run_program.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

RunResult Sorvane(const TempDir& dir, const std::vector<std::string>& args) {
  return RunProgram(BuiltProgram("tools/sorvane/sorvane"), args, dir.path(), "");
}

class MountTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists("/dev/fuse")) GTEST_SKIP() << "no /dev/fuse on this machine";
  }
  // Mounts in the background; skips the test where mounting is not allowed.
  void Mount(const TempDir& dir, const std::string& archive, const std::vector<std::string>& options = {}) {
    fs::create_directories(dir / "mnt");
    std::vector<std::string> args = {"mount", archive, dir / "mnt"};
    args.insert(args.end(), options.begin(), options.end());
    const RunResult r = Sorvane(dir, args);
    if (ExitCode(r) != 0 && r.errors.find("ermission") != std::string::npos) GTEST_SKIP() << r.errors;
    ASSERT_EQ(ExitCode(r), 0) << r.errors;
    mounted_ = dir / "mnt";
  }
  void TearDown() override {
    if (!mounted_.empty()) RunProgram("fusermount3", {"-u", mounted_}, "/", "");
  }
  void Unmount() {
    ASSERT_EQ(ExitCode(RunProgram("fusermount3", {"-u", mounted_}, "/", "")), 0);
    // The background process ends with its mount; nothing of it stays.
    for (int i = 0; i < 100 && ExitCode(RunProgram("pgrep", {"-f", "sorvane mount .*" + mounted_}, "/", "")) == 0;
         ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_NE(ExitCode(RunProgram("pgrep", {"-f", "sorvane mount .*" + mounted_}, "/", "")), 0);
    EXPECT_TRUE(fs::is_empty(mounted_));
    mounted_.clear();
  }
  std::string mounted_;
};

TEST_F(MountTest, TheTreeIsWhatExtractWritesAndReadsAgreeFromEightThreads) {
  TempDir dir("sorvane-mount");
  std::mt19937 rng(5);
  std::map<std::string, Bytes> files;
  const char* methods[] = {"none", "implode", "zlib", "bzip2", "huffman"};
  for (int i = 0; i < 40; ++i) {
    Bytes data(rng() % 20000);
    for (uint8_t& c : data) c = static_cast<uint8_t>(rng() % (i % 2 ? 256 : 4));
    const std::string name = "Data/" + std::string(i % 3 ? "Units/" : "") + "f" + std::to_string(i) + ".bin";
    WriteBytes(dir / "src.bin", data);
    std::vector<std::string> args = {"add", "a.mpq", "src.bin", "--name", name, "--compress", methods[i % 5]};
    if (i % 7 == 0) args.push_back("--encrypt");
    if (i % 11 == 0) args.push_back("--key-adjusted");
    ASSERT_EQ(ExitCode(Sorvane(dir, args)), 0);
  }
  WriteBytes(dir / "src.bin", PatternBytes(700, 'g'));
  ASSERT_EQ(ExitCode(Sorvane(dir, {"add", "a.mpq", "src.bin", "--name", "Data/f1.bin", "--locale", "0x407"})), 0);
  ASSERT_EQ(ExitCode(Sorvane(dir, {"extract", "a.mpq", "-C", "out", "--all-locales"})), 0);
  Mount(dir, "a.mpq", {"--all-locales"});
  std::map<std::string, Bytes> shown = ReadTree(dir / "mnt");
  shown.erase("(listfile)");
  EXPECT_EQ(shown, ReadTree(dir / "out"));

  const std::map<std::string, Bytes> expected = ReadTree(dir / "out");
  std::vector<std::thread> threads;
  std::atomic<int> mismatches{0};
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 r(t);
      for (int k = 0; k < 200; ++k) {
        auto it = std::next(expected.begin(), static_cast<long>(r() % expected.size()));
        if (it->second.empty()) continue;
        const size_t at = r() % it->second.size(), n = std::min<size_t>(1 + r() % 9000, it->second.size() - at);
        std::ifstream in(fs::path(dir / "mnt") / it->first, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(at));
        Bytes got(n);
        in.read(reinterpret_cast<char*>(got.data()), static_cast<std::streamsize>(n));
        if (!in || !std::equal(got.begin(), got.end(), it->second.begin() + static_cast<long>(at))) ++mismatches;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(mismatches, 0);
  // The file system's size is the archive's, none of it free.
  const fs::space_info space = fs::space(dir / "mnt");
  EXPECT_EQ(space.free, 0u);
  EXPECT_GE(space.capacity, fs::file_size(dir / "a.mpq"));
  EXPECT_LT(space.capacity, fs::file_size(dir / "a.mpq") + 4096);
  // While mounted the archive is being read: an update is refused.
  EXPECT_EQ(ExitCode(Sorvane(dir, {"delete", "a.mpq", "Data/f1.bin"})), 1);
  Unmount();
}

TEST_F(MountTest, OddNamesShowUnderTheirIndexAndADamagedSectorFailsItsReadOnly) {
  TempDir dir("sorvane-mount");
  ArchiveBuilder b;
  b.Add("Maps\\good.txt", "still read");
  b.Add("Maps", "a file where a folder is");
  b.Add("..\\escape.txt", "no tree for this");
  b.Add("nameless.bin", "no list names this");
  b.Add("bad.bin", PatternBytes(5000, 12), BLOCK_COMPRESSED).storedSectors = {Bytes(100, 0x20),
                                                                              PatternBytes(904, 13)};
  b.Listfile({"Maps\\good.txt", "Maps", "..\\escape.txt", "bad.bin"});
  b.WriteTo(dir / "odd.mpq");
  Mount(dir, "odd.mpq");
  std::set<std::string> shown;
  for (const auto& e : fs::recursive_directory_iterator(dir / "mnt")) {
    shown.insert(fs::relative(e.path(), dir / "mnt").generic_string());
  }
  // The folder wins over the file of its name, which shows by its index.
  EXPECT_TRUE(shown.count("Maps/good.txt")) << testing::PrintToString(shown);
  EXPECT_EQ(ReadBytes(dir / "mnt/Maps/good.txt"), Bytes({'s', 't', 'i', 'l', 'l', ' ', 'r', 'e', 'a', 'd'}));
  int indexed = 0;
  for (const std::string& name : shown) indexed += name[0] == '#';
  EXPECT_EQ(indexed, 3);  // the file beside its folder, the escaping name, the nameless file
  {
    std::ifstream bad(dir / "mnt/bad.bin", std::ios::binary);
    char c;
    EXPECT_FALSE(bad.read(&c, 1));
  }
  EXPECT_TRUE(fs::exists(dir / "mnt/maps/GOOD.txt"));  // looked up in any case
  Unmount();
}

}  // namespace

#endif
