// sorvane stores only names every operation handles; both programs show
// names with control characters quoted; "(attributes)" of audio-coded files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "archive/read/attributes_read.h"
#include "tests/support/archive_builder.h"
#include "tests/support/run_program.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

RunResult Sorvane(const TempDir& dir, const std::vector<std::string>& args) {
  return RunProgram(BuiltProgram("tools/sorvane/sorvane"), args, dir.path(), "");
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(SorvaneNamesTest, AddAndRenameRefuseNamesAnotherOperationWouldRefuseOrMishandle) {
  TempDir dir("sorvane-names");
  WriteBytes(dir / "n.txt", PatternBytes(100, 1));
  RunResult r = Sorvane(dir, {"add", "t.mpq", "n.txt", "--name", "../../evil.txt"});
  EXPECT_EQ(ExitCode(r), 1);
  EXPECT_TRUE(Has(r.errors, "cannot add \"n.txt\" as \"..\\..\\evil.txt\": a stored name has no \"..\" component"));
  r = Sorvane(dir, {"add", "t.mpq", "n.txt", "--name", std::string(300, 'n')});
  EXPECT_TRUE(ExitCode(r) == 1 && Has(r.errors, "a stored name has at most 259 characters")) << r.errors;
  EXPECT_FALSE(fs::exists(dir / "t.mpq"));
  fs::create_directories(dir / "tree");
  WriteBytes(dir / "tree/ok.txt", PatternBytes(100, 2));
#ifndef _WIN32  // a name with a line end found in a folder is skipped; the rest go in, listed
  WriteBytes(dir / "tree/bad\nname.txt", PatternBytes(100, 3));
  r = Sorvane(dir, {"add", "t.mpq", "tree"});
  EXPECT_EQ(ExitCode(r), 3);
  EXPECT_TRUE(Has(r.errors, "skipped $'tree/bad\\nname.txt': its name $'tree\\\\bad\\nname.txt' cannot be stored: "
                            "a stored name holds no line end")) << r.errors;
#else  // Windows file names hold no line end: the folder goes in whole
  EXPECT_EQ(ExitCode(Sorvane(dir, {"add", "t.mpq", "tree"})), 0);
#endif
  const RunResult list = Sorvane(dir, {"list", "t.mpq"});
  EXPECT_TRUE(Has(list.output, " (listfile)\n") && !Has(list.output, "#")) << list.output;
  r = Sorvane(dir, {"rename", "t.mpq", "tree/ok.txt", "a//b.txt"});
  EXPECT_TRUE(ExitCode(r) == 1 && Has(r.errors, "a stored name has no empty or \".\" component")) << r.errors;
}

TEST(SorvaneNamesTest, NamesWithControlCharactersAreShownQuotedByBothPrograms) {
  TempDir dir("sorvane-names");
#ifndef _WIN32  // Windows file names cannot hold control characters
  fs::create_directories(dir / "odd");
  WriteBytes(dir / "odd/a\033[31mb.txt", PatternBytes(100, 4));
  ASSERT_EQ(ExitCode(Sorvane(dir, {"add", "t.mpq", "odd"})), 0);
  for (const std::string verb : {"list", "verify", "extract"}) {
    const RunResult r = Sorvane(dir, {verb, "-v", "t.mpq"});
    EXPECT_TRUE(Has(r.output, "$'odd\\\\a\\033[31mb.txt'") && !Has(r.output + r.errors, "\033")) << r.output;
  }
  EXPECT_EQ(ReadBytes(dir / "odd/a\033[31mb.txt"), PatternBytes(100, 4));  // extracted under its own name
  const RunResult left = Sorvane(dir, {"add", "-v", "x.mpq", "odd", "--exclude", "*.txt"});
  EXPECT_TRUE(Has(left.output, "left out $'odd/a\\033[31mb.txt': --exclude") && !Has(left.output, "\033"))
      << left.output;
#endif
  ArchiveBuilder b;
  b.Add("\\\033]0;owned\007x", "text");
  b.Listfile({"\\\033]0;owned\007x"});
  b.WriteTo(dir / "e.mpq");
  const RunResult t = RunProgram(BuiltProgram("extractor/tavrix"), {dir / "e.mpq"}, dir.path(), "\n");
  EXPECT_TRUE(Has(t.output, "Error extracting file $'\\\\\\033]0;owned\\ax'.\n") && !Has(t.output, "\033"));
}

// A 16-bit PCM WAV of noise, which the audio coder cannot give back exactly.
Bytes Wave(uint32_t bytes, uint8_t channels) {
  Bytes out = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0, channels, 0,
               0x22, 0x56, 0, 0, 0, 0, 0, 0, static_cast<uint8_t>(2 * channels), 0, 16, 0, 'd', 'a', 't', 'a'};
  for (uint32_t i = 0; i < bytes + 4; ++i) out.push_back(static_cast<uint8_t>(i < 4 ? bytes >> (8 * i) : i * i * 7919 >> 5));
  return out;
}

TEST(SorvaneNamesTest, AudioCodedFilesVerifyCleanAndCompactionRepairsDigestsOfTheSource) {
  if ((SupportedDigests() & ATTRIBUTE_MD5) == 0) GTEST_SKIP() << "this build lacks MD5";
  TempDir dir("sorvane-names");
  fs::create_directories(dir / "Sounds");
  const Bytes stereo = Wave(80000, 2);
  WriteBytes(dir / "Sounds/stereo.wav", stereo);
  WriteBytes(dir / "Sounds/mono.wav", Wave(60002, 1));
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"create", "a.mpq", "--attributes"}, {"add", "a.mpq", "Sounds", "--compress", "wave", "--level", "2"},
           {"verify", "a.mpq"}}) {
    const RunResult r = Sorvane(dir, args);
    ASSERT_EQ(ExitCode(r), 0) << args[0] << ": " << r.errors << r.output;
  }
  // What older adds left: the item of stereo.wav holds the digests of the
  // source. Items: CRC-32s, times, MD5s.
  const std::string path = dir / "a.mpq";
  ArchiveHandle archive = OpenArchiveWritable(path.c_str(), UPDATE_OPEN_EXISTING, 0);
  FileHandle file = nullptr;
  ASSERT_TRUE(OpenArchiveFile(archive, "Sounds\\stereo.wav", 0, &file));
  const size_t block = archive->hashTable[GetArchiveFileInfo(file, INFO_HASH_INDEX)].blockIndex;
  CloseArchiveFile(file);
  ASSERT_TRUE(OpenArchiveFile(archive, "(attributes)", 0, &file));
  Bytes attributes(GetArchiveFileSize(file, nullptr));
  uint32_t got = 0;
  ReadArchiveFile(file, attributes.data(), static_cast<uint32_t>(attributes.size()), &got, nullptr);
  CloseArchiveFile(file);
  ContentDigest source(ATTRIBUTE_CRC32 | ATTRIBUTE_MD5);
  source.Update(stereo.data(), stereo.size());
  const uint32_t crc = source.crc();
  std::memcpy(&attributes[8 + 4 * block], &crc, 4);
  source.Md5(&attributes[8 + 12 * ((attributes.size() - 8) / 28) + 16 * block]);
  ASSERT_TRUE(AddBuffer(archive, attributes.data(), static_cast<uint32_t>(attributes.size()), "(attributes)", ADD_REPLACE));
  CloseWritableArchive(archive, 0);
  RunResult r = Sorvane(dir, {"verify", "a.mpq"});
  EXPECT_TRUE(ExitCode(r) == 1 && Has(r.errors, "mismatch: Sounds\\stereo.wav (locale 0)")) << r.errors << r.output;
  ASSERT_EQ(ExitCode(Sorvane(dir, {"compact", "a.mpq"})), 0);
  r = Sorvane(dir, {"verify", "a.mpq"});
  EXPECT_EQ(ExitCode(r), 0) << r.errors << r.output;
}

}  // namespace
