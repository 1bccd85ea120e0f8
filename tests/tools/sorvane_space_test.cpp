// sorvane on files that are no archive, and on a disk that runs full.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

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
  WriteBytes(dir / "f.txt", PatternBytes(100, 1));
  const std::vector<std::vector<std::string>> verbs = {
      {"delete", "z.mpq", "x"}, {"rename", "z.mpq", "x", "y"}, {"set-locale", "z.mpq", "x", "0", "1"},
      {"resize", "z.mpq", "64"}, {"compact", "z.mpq"}, {"info", "z.mpq"}, {"list", "z.mpq"},
      {"verify", "z.mpq"}, {"extract", "z.mpq", "-C", "out"}, {"add", "z.mpq", "f.txt"}};
  for (const Bytes& before : {Bytes{}, PatternBytes(3000, 7)}) {
    for (const auto& args : verbs) {
      if (before.empty() && args[0] == "add") continue;  // makes a new archive there
      WriteBytes(dir / "z.mpq", before);
      const RunResult r = Sorvane(dir, args);
      EXPECT_EQ(ExitCode(r), 1) << args[0] << ": " << r.errors;
      EXPECT_NE(r.errors.find("\"z.mpq\""), std::string::npos) << r.errors;
      EXPECT_NE(r.errors.find(before.empty() ? "the file is empty, not an archive" : "no archive header"),
                std::string::npos) << r.errors;
      EXPECT_TRUE(ReadBytes(dir / "z.mpq") == before) << args[0] << " on " << before.size() << " bytes";
    }
  }
}

TEST(SorvaneSpaceTest, InfoShowsBytesPastTheEndAndTheNextUpdateCutsThem) {
  TempDir dir("sorvane-space");
  WriteBytes(dir / "f.txt", PatternBytes(5000, 1));
  ASSERT_EQ(Sorvane(dir, {"add", "t.mpq", "f.txt"}).status, 0);
  Bytes left = ReadBytes(dir / "t.mpq");  // as a failed add whose cut failed too leaves it
  left.resize(left.size() + 70000, 0x5A);
  WriteBytes(dir / "t.mpq", left);
  const RunResult info = Sorvane(dir, {"info", "t.mpq"});
  EXPECT_NE(info.output.find("past the end:   70000 bytes, which no state uses"), std::string::npos) << info.output;
  ASSERT_EQ(Sorvane(dir, {"rename", "t.mpq", "f.txt", "g.txt"}).status, 0);
  EXPECT_NE(Sorvane(dir, {"info", "t.mpq"}).output.find("past the end:   0 bytes\n"), std::string::npos);
}

#ifndef _WIN32
// On a real file system of 5 MiB (root may mount one; elsewhere skipped).
TEST(SorvaneSpaceTest, AFullSmallFileSystemLeavesNoOneStuck) {
  TempDir dir("sorvane-full"), src("sorvane-src");
  if (std::system(("mount -t tmpfs -o size=5m tmpfs '" + dir.path() + "' 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "cannot mount a small file system here";
  }
  WriteBytes(src / "a", PatternBytes(1100000, 1));
  WriteBytes(src / "big", PatternBytes(8000000, 2));
  WriteBytes(src / "c", PatternBytes(2900000, 3));
  EXPECT_EQ(Sorvane(dir, {"add", "t.mpq", src / "a", "--name", "a"}).status, 0);
  const uintmax_t size = fs::file_size(dir / "t.mpq");
  EXPECT_NE(Sorvane(dir, {"add", "t.mpq", src / "big", "--name", "big"}).errors.find("(error 112)"), std::string::npos);
  EXPECT_EQ(fs::file_size(dir / "t.mpq"), size);
  EXPECT_EQ(Sorvane(dir, {"add", "t.mpq", src / "c", "--name", "c", "--compress", "none"}).status, 0);
  EXPECT_EQ(Sorvane(dir, {"delete", "t.mpq", "a"}).status, 0);
  const Bytes before = ReadBytes(dir / "t.mpq");
  const RunResult compact = Sorvane(dir, {"compact", "t.mpq"});
  EXPECT_NE(compact.errors.find("bytes of free space beside it, and"), std::string::npos) << compact.errors;
  EXPECT_TRUE(ReadBytes(dir / "t.mpq") == before);
  EXPECT_EQ(Sorvane(dir, {"verify", "t.mpq"}).status, 0);
  std::system(("umount '" + dir.path() + "'").c_str());
}
#endif

}  // namespace
