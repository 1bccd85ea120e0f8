// sorvane on files that are no archive, and on a disk that runs full: a
// refused or failed command leaves every byte as it was, and the room a
// failed command took is there again for the next one.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/archive_builder.h"
#include "tests/support/run_program.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

RunResult Sorvane(const TempDir& dir, const std::vector<std::string>& args) {
  return RunProgram(BuiltProgram("tools/sorvane/sorvane"), args, dir.path(), "");
}

TEST(SorvaneSpaceTest, VerbsThatNeedAnArchiveLeaveEmptyAndForeignFilesAlone) {
  TempDir dir("sorvane-space");
  const std::vector<std::vector<std::string>> verbs = {
      {"delete", "x"}, {"rename", "x", "y"}, {"set-locale", "x", "0", "1"}, {"resize", "64"}, {"compact"},
      {"info"},        {"list"},             {"verify"},                    {"extract", "-C", "out"}};
  const Bytes foreign = PatternBytes(3000, 7);
  for (const bool empty : {true, false}) {
    for (const auto& verb : verbs) {
      const Bytes before = empty ? Bytes{} : foreign;
      WriteBytes(dir / "z.mpq", before);
      std::vector<std::string> args = {verb[0], "z.mpq"};
      args.insert(args.end(), verb.begin() + 1, verb.end());
      const RunResult r = Sorvane(dir, args);
      EXPECT_EQ(ExitCode(r), 1) << verb[0] << ": " << r.errors;
      EXPECT_NE(r.errors.find(empty ? "\"z.mpq\"" : "not an archive"), std::string::npos) << r.errors;
      EXPECT_NE(r.errors.find(empty ? "the file is empty, not an archive" : "no archive header"), std::string::npos)
          << r.errors;
      EXPECT_TRUE(ReadBytes(dir / "z.mpq") == before) << verb[0] << (empty ? " on an empty file" : "");
    }
  }
  // An add to a file that is something else leaves it alone too.
  WriteBytes(dir / "z.mpq", foreign);
  WriteBytes(dir / "f.txt", PatternBytes(100, 1));
  EXPECT_EQ(ExitCode(Sorvane(dir, {"add", "z.mpq", "f.txt"})), 1);
  EXPECT_TRUE(ReadBytes(dir / "z.mpq") == foreign);
}

TEST(SorvaneSpaceTest, InfoShowsBytesPastTheEndAndTheNextUpdateCutsThem) {
  TempDir dir("sorvane-space");
  WriteBytes(dir / "f.txt", PatternBytes(5000, 1));
  ASSERT_EQ(Sorvane(dir, {"add", "t.mpq", "f.txt"}).status, 0);
  const Bytes archive = ReadBytes(dir / "t.mpq");
  EXPECT_NE(Sorvane(dir, {"info", "t.mpq"}).output.find("past the end:   0 bytes\n"), std::string::npos);
  // What a failed add leaves behind when even its cut failed.
  Bytes left = archive;
  left.resize(archive.size() + 70000, 0x5A);
  WriteBytes(dir / "t.mpq", left);
  const RunResult info = Sorvane(dir, {"info", "t.mpq"});
  EXPECT_EQ(info.status, 0) << info.errors;
  EXPECT_NE(info.output.find("past the end:   70000 bytes, which no state uses"), std::string::npos) << info.output;
  ASSERT_EQ(Sorvane(dir, {"rename", "t.mpq", "f.txt", "g.txt"}).status, 0);
  EXPECT_LT(fs::file_size(dir / "t.mpq"), archive.size() + 35000);
  EXPECT_NE(Sorvane(dir, {"info", "t.mpq"}).output.find("past the end:   0 bytes\n"), std::string::npos);
}

#ifdef _WIN32
TEST(SorvaneSpaceTest, AFullSmallFileSystemLeavesNoOneStuck) { GTEST_SKIP() << "mounts a POSIX tmpfs"; }
#else
// A real file system of 5 MiB: root may mount one, others skip.
class SmallFileSystem {
 public:
  SmallFileSystem() : dir_("sorvane-full") {
    const std::string command = "mount -t tmpfs -o size=5m tmpfs '" + dir_.path() + "' >/dev/null 2>&1";
    mounted_ = std::system(command.c_str()) == 0;
  }
  ~SmallFileSystem() {
    if (mounted_) std::system(("umount '" + dir_.path() + "' >/dev/null 2>&1").c_str());
  }
  bool mounted() const { return mounted_; }
  const TempDir& dir() const { return dir_; }

 private:
  TempDir dir_;
  bool mounted_ = false;
};

TEST(SorvaneSpaceTest, AFullSmallFileSystemLeavesNoOneStuck) {
  SmallFileSystem fs5;
  if (!fs5.mounted()) GTEST_SKIP() << "cannot mount a small file system here";
  const TempDir& dir = fs5.dir();
  TempDir sources("sorvane-sources");
  WriteBytes(sources / "a.bin", PatternBytes(1100000, 1));
  WriteBytes(sources / "big.bin", PatternBytes(8000000, 2));
  WriteBytes(sources / "s.txt", {'a', 'b', 'c'});
  WriteBytes(sources / "c.bin", PatternBytes(2900000, 3));
  ASSERT_EQ(Sorvane(dir, {"add", "t.mpq", sources / "a.bin", "--name", "a.bin"}).status, 0);
  const uintmax_t size = fs::file_size(dir / "t.mpq");
  const RunResult full = Sorvane(dir, {"add", "t.mpq", sources / "big.bin", "--name", "big.bin"});
  EXPECT_EQ(ExitCode(full), 1);
  EXPECT_NE(full.errors.find("(error 112)"), std::string::npos) << full.errors;
  EXPECT_EQ(fs::file_size(dir / "t.mpq"), size);
  EXPECT_EQ(Sorvane(dir, {"add", "t.mpq", sources / "s.txt", "--name", "s.txt"}).status, 0);
  EXPECT_EQ(Sorvane(dir, {"add", "t.mpq", sources / "c.bin", "--name", "c.bin", "--compress", "none"}).status, 0);
  EXPECT_EQ(Sorvane(dir, {"delete", "t.mpq", "a.bin"}).status, 0);
  // The copy would not fit beside the archive: said before anything is written.
  const Bytes before = ReadBytes(dir / "t.mpq");
  const RunResult compact = Sorvane(dir, {"compact", "t.mpq"});
  EXPECT_EQ(ExitCode(compact), 1);
  EXPECT_NE(compact.errors.find("bytes of free space beside it, and"), std::string::npos) << compact.errors;
  EXPECT_TRUE(ReadBytes(dir / "t.mpq") == before);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
  EXPECT_EQ(Sorvane(dir, {"verify", "t.mpq"}).status, 0);
}
#endif

}  // namespace
