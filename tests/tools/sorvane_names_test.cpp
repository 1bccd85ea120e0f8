// Names every operation can handle: sorvane stores no other, and both
// programs show names with control characters quoted, never raw. And the
// digests "(attributes)" records for audio-coded files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/attributes.h"
#include "archive/sorvane.h"
#include "tests/support/archive_builder.h"
#include "tests/support/run_program.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

RunResult Sorvane(const TempDir& dir, const std::vector<std::string>& args) {
  return RunProgram(BuiltProgram("tools/sorvane/sorvane"), args, dir.path(), "");
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(SorvaneNamesTest, AddAndRenameRefuseNamesAnotherOperationWouldRefuseOrMishandle) {
  TempDir dir("sorvane-names");
  WriteBytes(dir / "notes.txt", PatternBytes(100, 1));
  RunResult r = Sorvane(dir, {"add", "t.mpq", "notes.txt", "--name", "../../evil.txt"});
  EXPECT_EQ(ExitCode(r), 1);
  EXPECT_TRUE(Contains(r.errors, "cannot add \"notes.txt\" as \"..\\..\\evil.txt\": a stored name has no \"..\" "
                                 "component, leading separator or drive: extraction refuses them"))
      << r.errors;
  r = Sorvane(dir, {"add", "t.mpq", "notes.txt", "--name", std::string(300, 'n')});
  EXPECT_EQ(ExitCode(r), 1);
  EXPECT_TRUE(Contains(r.errors, "a stored name has at most 259 characters, the most every operation accepts"))
      << r.errors;
  EXPECT_FALSE(fs::exists(dir / "t.mpq"));

  // A name with a line end found in a folder is skipped; the rest go in,
  // with their name list. (Windows file names cannot hold one.)
  fs::create_directories(dir / "tree");
  WriteBytes(dir / "tree/ok.txt", PatternBytes(100, 2));
#ifndef _WIN32
  WriteBytes(dir / "tree/bad\nname.txt", PatternBytes(100, 3));
#endif
  r = Sorvane(dir, {"add", "t.mpq", "tree"});
#ifndef _WIN32
  EXPECT_EQ(ExitCode(r), 3) << r.errors;
  EXPECT_TRUE(Contains(r.errors, "skipped $'tree/bad\\nname.txt': its name $'tree\\\\bad\\nname.txt' cannot be "
                                 "stored: a stored name holds no line end (CR or LF)"))
      << r.errors;
#endif
  const RunResult list = Sorvane(dir, {"list", "t.mpq"});
  EXPECT_TRUE(Contains(list.output, " tree\\ok.txt\n")) << list.output;
  EXPECT_TRUE(Contains(list.output, " (listfile)\n")) << list.output;
  EXPECT_FALSE(Contains(list.output, "#")) << list.output;

  r = Sorvane(dir, {"rename", "t.mpq", "tree/ok.txt", "a//b.txt"});
  EXPECT_EQ(ExitCode(r), 1);
  EXPECT_TRUE(Contains(r.errors, "a stored name has no empty or \".\" component")) << r.errors;
  EXPECT_EQ(ExitCode(Sorvane(dir, {"resize", "t.mpq", "64"})), 0);
}

TEST(SorvaneNamesTest, NamesWithControlCharactersAreShownQuotedByBothPrograms) {
  TempDir dir("sorvane-names");
#ifndef _WIN32  // Windows file names cannot hold control characters
  fs::create_directories(dir / "odd");
  WriteBytes(dir / "odd/a\033[31mb.txt", PatternBytes(100, 4));
  ASSERT_EQ(ExitCode(Sorvane(dir, {"add", "t.mpq", "odd"})), 0);
  const std::string shown = "$'odd\\\\a\\033[31mb.txt'";
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"list", "t.mpq"}, {"verify", "-v", "t.mpq"}, {"extract", "-v", "t.mpq", "-C", "out"}}) {
    const RunResult r = Sorvane(dir, args);
    EXPECT_EQ(ExitCode(r), 0) << args[0] << r.errors;
    EXPECT_TRUE(Contains(r.output, shown)) << args[0] << r.output;
    EXPECT_FALSE(Contains(r.output + r.errors, "\033")) << args[0];
  }
  // What is stored is the name itself.
  EXPECT_EQ(ReadBytes(dir / "out/odd/a\033[31mb.txt"), PatternBytes(100, 4));
#endif

  ArchiveBuilder b;
  b.Add("\\\033]0;owned\007x", "text");
  b.Listfile({"\\\033]0;owned\007x"});
  b.WriteTo(dir / "e.mpq");
  const RunResult t = RunProgram(BuiltProgram("extractor/tavrix"), {dir / "e.mpq"}, dir.path(), "\n");
  EXPECT_TRUE(Contains(t.output, "Error extracting file $'\\\\\\033]0;owned\\ax'.\n")) << t.output;
  EXPECT_FALSE(Contains(t.output, "\033"));
}

// A 16-bit PCM WAV file of a tone with noise, which the audio coder cannot
// give back exactly.
Bytes Wave(uint32_t samples, uint16_t channels) {
  Bytes out(44 + static_cast<size_t>(samples) * 2 * channels);
  const auto put = [&out](size_t at, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out[at + i] = static_cast<uint8_t>(value >> (8 * i));
  };
  const char* tags = "RIFF    WAVEfmt ";
  std::copy(tags, tags + 16, out.begin());
  put(4, static_cast<uint32_t>(out.size() - 8), 4);
  put(16, 16, 4);
  put(20, 1, 2);
  put(22, channels, 2);
  put(24, 22050, 4);
  put(28, 22050u * 2 * channels, 4);
  put(32, 2u * channels, 2);
  put(34, 16, 2);
  std::copy_n("data", 4, out.begin() + 36);
  put(40, static_cast<uint32_t>(out.size() - 44), 4);
  uint32_t noise = 7;
  for (size_t i = 44; i + 1 < out.size(); i += 2) {
    noise = noise * 1103515245u + 12345u;
    const double tone = 9000.0 * std::sin(static_cast<double>(i) * 0.013);
    put(i, static_cast<uint16_t>(static_cast<int16_t>(tone) + static_cast<int16_t>((noise >> 16) % 2001) - 1000), 2);
  }
  return out;
}

void Replace(Bytes* bytes, const uint8_t* from, const uint8_t* to, size_t length) {
  auto at = std::search(bytes->begin(), bytes->end(), from, from + length);
  ASSERT_NE(at, bytes->end());
  std::copy(to, to + length, at);
}

TEST(SorvaneNamesTest, AudioCodedFilesVerifyCleanAndCompactionRepairsDigestsOfTheSource) {
  if ((SupportedDigests() & (ATTRIBUTE_CRC32 | ATTRIBUTE_MD5)) != (ATTRIBUTE_CRC32 | ATTRIBUTE_MD5)) {
    GTEST_SKIP() << "this build lacks a digest";
  }
  TempDir dir("sorvane-names");
  fs::create_directories(dir / "Sounds");
  const Bytes stereo = Wave(40000, 2);
  WriteBytes(dir / "Sounds/stereo.wav", stereo);
  WriteBytes(dir / "Sounds/mono.wav", Wave(30001, 1));
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"create", "a.mpq", "--attributes"}, {"add", "a.mpq", "Sounds", "--compress", "wave", "--level", "2"},
           {"verify", "a.mpq"}}) {
    const RunResult r = Sorvane(dir, args);
    ASSERT_EQ(ExitCode(r), 0) << args[0] << ": " << r.errors << r.output;
  }

  // An archive an older add left: the item of one file holds the digests of
  // the source rather than of what reads back.
  const std::string path = dir / "a.mpq";
  ArchiveHandle archive = OpenArchiveWritable(path.c_str(), UPDATE_OPEN_EXISTING, 0);
  ASSERT_TRUE(IsUsableArchive(archive));
  const auto read = [archive](const char* name) {
    FileHandle file = nullptr;
    EXPECT_TRUE(OpenArchiveFile(archive, name, 0, &file)) << name;
    Bytes content(GetArchiveFileSize(file, nullptr));
    uint32_t got = 0;
    EXPECT_TRUE(ReadArchiveFile(file, content.data(), static_cast<uint32_t>(content.size()), &got, nullptr));
    CloseArchiveFile(file);
    return content;
  };
  const Bytes decoded = read("Sounds\\stereo.wav");
  ASSERT_NE(decoded, stereo);
  Bytes attributes = read("(attributes)");
  ContentDigest readBack(ATTRIBUTE_CRC32 | ATTRIBUTE_MD5), source(ATTRIBUTE_CRC32 | ATTRIBUTE_MD5);
  readBack.Update(decoded.data(), decoded.size());
  source.Update(stereo.data(), stereo.size());
  const uint32_t crcs[2] = {readBack.crc(), source.crc()};
  uint8_t md5s[2][16];
  readBack.Md5(md5s[0]);
  source.Md5(md5s[1]);
  Replace(&attributes, reinterpret_cast<const uint8_t*>(&crcs[0]), reinterpret_cast<const uint8_t*>(&crcs[1]), 4);
  Replace(&attributes, md5s[0], md5s[1], 16);
  ASSERT_TRUE(AddBuffer(archive, attributes.data(), static_cast<uint32_t>(attributes.size()), "(attributes)",
                        ADD_REPLACE));
  CloseWritableArchive(archive, 0);

  RunResult r = Sorvane(dir, {"verify", "a.mpq"});
  EXPECT_EQ(ExitCode(r), 1);
  EXPECT_TRUE(Contains(r.errors, "mismatch: Sounds\\stereo.wav (locale 0)")) << r.errors;
  EXPECT_TRUE(Contains(r.output, ", 1 differ from \"(attributes)\"")) << r.output;
  ASSERT_EQ(ExitCode(Sorvane(dir, {"compact", "a.mpq"})), 0);
  r = Sorvane(dir, {"verify", "a.mpq"});
  EXPECT_EQ(ExitCode(r), 0) << r.errors << r.output;
}

}  // namespace
