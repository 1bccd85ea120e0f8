// sorvane and "(attributes)" end to end: verify names every file whose
// content differs from its recorded CRC-32 or MD5, info tells what is
// recorded, and the update verbs keep it true.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/attributes.h"
#include "archive/sorvane.h"
#include "tests/support/archive_builder.h"
#include "tests/support/run_program.h"

using namespace testsupport;

namespace {

RunResult Sorvane(const TempDir& dir, const std::vector<std::string>& args) {
  return RunProgram(BuiltProgram("tools/sorvane/sorvane"), args, dir.path(), "");
}

int ExitCode(const RunResult& r) {
#ifdef _WIN32
  return r.status;
#else
  return r.status >> 8;
#endif
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// An "(attributes)" of CRC-32, file time and MD5 for the given contents in
// block order; a null entry leaves its item zero.
Bytes AttributesFor(const std::vector<const Bytes*>& blocks, uint32_t version = 100) {
  const uint32_t n = static_cast<uint32_t>(blocks.size());
  Bytes out(8 + 28 * static_cast<size_t>(n), 0);
  StoreLE32At(out, 0, version);
  StoreLE32At(out, 4, ATTRIBUTE_CRC32 | ATTRIBUTE_FILETIME | ATTRIBUTE_MD5);
  for (uint32_t i = 0; i < n; ++i) {
    if (blocks[i] == nullptr) continue;
    ContentDigest d(ATTRIBUTE_CRC32 | ATTRIBUTE_MD5);
    d.Update(blocks[i]->data(), blocks[i]->size());
    StoreLE32At(out, 8 + 4 * i, d.crc());
    StoreLE32At(out, 8 + 4 * n + 8 * i, 0x01DC0000u + i);
    d.Md5(out.data() + 8 + 12 * n + 16 * i);
  }
  return out;
}

TEST(SorvaneAttributesTest, VerifyNamesEachMismatchAndInfoTellsWhatIsRecorded) {
  TempDir dir("sorvane-attributes");
  const Bytes fine = Text("fine content"), crcBad = Text("crc content"), md5Bad = PatternBytes(9000, 3),
              bare = Text("nothing recorded"), listed = Text("fine.txt\r\ncrc.txt\r\nmd5.bin\r\nbare.txt\r\n");
  ArchiveBuilder b;
  b.Add("fine.txt", fine);
  b.Add("crc.txt", crcBad, BLOCK_COMPRESSED);
  b.Add("md5.bin", md5Bad, BLOCK_COMPRESSED | BLOCK_ENCRYPTED);
  b.Add("bare.txt", bare);
  b.Add("(listfile)", listed);
  Bytes attributes = AttributesFor({&fine, &crcBad, &md5Bad, nullptr, &listed, nullptr});
  attributes[8 + 4 * 1] ^= 0x01;                // crc.txt's CRC-32
  attributes[8 + 12 * 6 + 16 * 2 + 5] ^= 0x80;  // md5.bin's MD5
  b.Add("(attributes)", attributes);
  b.WriteTo(dir / "m.mpq");

  const RunResult info = Sorvane(dir, {"info", "m.mpq"});
  EXPECT_EQ(ExitCode(info), 0) << info.errors;
  EXPECT_NE(info.output.find("attributes:     CRC-32, file time, MD5"), std::string::npos) << info.output;

  const RunResult r = Sorvane(dir, {"verify", "m.mpq"});
  EXPECT_EQ(ExitCode(r), 1);
  EXPECT_NE(r.errors.find("mismatch: crc.txt (locale 0): CRC-32 recorded"), std::string::npos) << r.errors;
  EXPECT_NE(r.errors.find("mismatch: md5.bin (locale 0): MD5 recorded"), std::string::npos) << r.errors;
  EXPECT_EQ(r.errors.find("fine.txt"), std::string::npos) << r.errors;
  EXPECT_EQ(r.errors.find("bare.txt"), std::string::npos) << r.errors;
  EXPECT_NE(r.output.find("2 differ from \"(attributes)\""), std::string::npos) << r.output;

  // Replacing the two files through sorvane brings their items up to date.
  WriteBytes(dir / "crc.txt", crcBad);
  WriteBytes(dir / "md5.bin", md5Bad);
  const RunResult add = Sorvane(dir, {"add", "m.mpq", "crc.txt", "md5.bin", "--replace"});
  EXPECT_EQ(ExitCode(add), 0) << add.errors;
  const RunResult again = Sorvane(dir, {"verify", "m.mpq"});
  EXPECT_EQ(ExitCode(again), 0) << again.errors;
}

TEST(SorvaneAttributesTest, CreatedWithAttributesTheUpdateVerbsKeepThemTrue) {
  TempDir dir("sorvane-attributes");
  WriteBytes(dir / "a.txt", Text("alpha"));
  WriteBytes(dir / "b.bin", PatternBytes(30000, 5));
  auto ok = [&dir](const std::vector<std::string>& args) {
    const RunResult r = Sorvane(dir, args);
    EXPECT_EQ(ExitCode(r), 0) << args[0] << ": " << r.errors;
    return r;
  };
  ok({"create", "k.mpq", "--attributes"});
  ok({"add", "k.mpq", "a.txt", "b.bin", "--encrypt", "--key-adjusted"});
  ok({"rename", "k.mpq", "a.txt", "c.txt"});
  ok({"delete", "k.mpq", "b.bin"});
  ok({"add", "k.mpq", "b.bin", "--compress", "zlib"});
  ok({"compact", "k.mpq"});
  const RunResult info = ok({"info", "k.mpq"});
  // "(attributes)", "(listfile)", c.txt and b.bin: four blocks, four items.
  EXPECT_NE(info.output.find("items for 4 of 4 block entries"), std::string::npos) << info.output;
  const RunResult verify = ok({"verify", "-v", "k.mpq"});
  EXPECT_NE(verify.output.find("4 files checked, 0 damaged\n"), std::string::npos) << verify.output;
}

TEST(SorvaneAttributesTest, AnUnusableAttributesFileIsReportedNotTrusted) {
  TempDir dir("sorvane-attributes");
  const Bytes one = Text("one");
  ArchiveBuilder b;
  b.Add("one.txt", one);
  b.Add("(attributes)", AttributesFor({&one, nullptr}, 101));
  b.WriteTo(dir / "w.mpq");
  const RunResult r = Sorvane(dir, {"verify", "w.mpq"});
  EXPECT_EQ(ExitCode(r), 1);
  EXPECT_NE(r.errors.find("\"(attributes)\" has version 101, and only version 100 is known"), std::string::npos)
      << r.errors;
  const RunResult info = Sorvane(dir, {"info", "w.mpq"});
  EXPECT_NE(info.output.find("attributes:     unusable:"), std::string::npos) << info.output;

  // Cut short mid-array it still serves for what it covers.
  Bytes cut = AttributesFor({&one, nullptr});
  cut.resize(8 + 4);
  cut[8] ^= 0xFF;
  ArchiveBuilder c;
  c.Add("one.txt", one);
  c.Add("(attributes)", cut);
  c.WriteTo(dir / "c.mpq");
  const RunResult shortOne = Sorvane(dir, {"verify", "c.mpq"});
  EXPECT_EQ(ExitCode(shortOne), 1);
  EXPECT_NE(shortOne.errors.find("CRC-32 recorded"), std::string::npos) << shortOne.errors;
}

}  // namespace
