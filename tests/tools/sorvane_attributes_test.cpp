// sorvane and "(attributes)" end to end: made by create --attributes, kept by
// the update verbs, checked by verify, which names every file whose content
// no longer matches its recorded CRC-32 and MD5.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sorvane/sorvane.h"
#include "tests/support/archive_builder.h"
#include "tests/support/run_program.h"

using namespace testsupport;

namespace {

RunResult Sorvane(const TempDir& dir, const std::vector<std::string>& args) {
  return RunProgram(BuiltProgram("tools/sorvane/sorvane"), args, dir.path(), "");
}

TEST(SorvaneAttributesTest, VerifyNamesTheFileWhoseContentChangedUnderItsAttributes) {
  TempDir dir("sorvane-attributes");
  const Bytes marker = {'M', 'A', 'R', 'K', 'E', 'R', '-', '7', '1'};
  Bytes changed = PatternBytes(6000, 2);
  changed.insert(changed.begin() + 3000, marker.begin(), marker.end());
  WriteBytes(dir / "changed.bin", changed);
  WriteBytes(dir / "kept.bin", PatternBytes(30000, 5));
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"create", "k.mpq", "--attributes"},
           {"add", "k.mpq", "kept.bin", "--encrypt", "--key-adjusted"},
           {"add", "k.mpq", "changed.bin", "--compress", "none"},
           {"rename", "k.mpq", "kept.bin", "moved.bin"},
           {"compact", "k.mpq"}}) {
    const RunResult r = Sorvane(dir, args);
    ASSERT_EQ(ExitCode(r), 0) << args[0] << ": " << r.errors;
  }
  const RunResult info = Sorvane(dir, {"info", "k.mpq"});
  EXPECT_NE(info.output.find("attributes:     CRC-32, file time, MD5 (flags 0x7; items for 4 of 4"),
            std::string::npos) << info.output;
  const RunResult clean = Sorvane(dir, {"verify", "-v", "k.mpq"});
  EXPECT_EQ(ExitCode(clean), 0) << clean.errors;

  // One byte of the stored (plain) file changes behind the library's back.
  Bytes archive = ReadBytes(dir / "k.mpq");
  auto at = std::search(archive.begin(), archive.end(), marker.begin(), marker.end());
  ASSERT_NE(at, archive.end());
  at[8] = '2';
  WriteBytes(dir / "k.mpq", archive);
  const RunResult r = Sorvane(dir, {"verify", "k.mpq"});
  EXPECT_EQ(ExitCode(r), 1);
  EXPECT_NE(r.errors.find("mismatch: changed.bin (locale 0): CRC-32 recorded 0x"), std::string::npos) << r.errors;
  EXPECT_NE(r.errors.find("; MD5 recorded "), std::string::npos) << r.errors;
  EXPECT_EQ(r.errors.find("moved.bin"), std::string::npos) << r.errors;
  EXPECT_NE(r.output.find("4 files checked, 0 damaged, 0 not checked, 1 differ from \"(attributes)\""), std::string::npos)
      << r.output;
}

TEST(SorvaneAttributesTest, AnAttributesFileOfAnotherVersionIsReportedNotTrusted) {
  TempDir dir("sorvane-attributes");
  ArchiveBuilder b;
  b.Add("one.txt", "one");
  Bytes attributes(8 + 4 * 2, 0);
  StoreLE32At(attributes, 0, 101);
  StoreLE32At(attributes, 4, ATTRIBUTE_CRC32);
  b.Add("(attributes)", attributes);
  b.WriteTo(dir / "w.mpq");
  const RunResult r = Sorvane(dir, {"verify", "w.mpq"});
  EXPECT_EQ(ExitCode(r), 1);
  EXPECT_NE(r.errors.find("\"(attributes)\" has version 101, and only version 100 is known"), std::string::npos)
      << r.errors;
  EXPECT_NE(Sorvane(dir, {"info", "w.mpq"}).output.find("attributes:     unusable:"), std::string::npos);
}

}  // namespace
