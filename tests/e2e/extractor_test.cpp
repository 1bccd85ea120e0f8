// Runs the built tavrix on archives made by the test-side builder and checks
// its whole standard output and every byte it writes.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "archive/read/provider.h"
#include "compression/scomp.h"
#include "platform/platform.h"
#include "tests/support/archive_builder.h"
#include "tests/support/file_tree.h"
#include "tests/support/run_program.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

const std::string kBanner =
    "Tavrix v1.0\nWritten by Moraine\nNov. 2003\nUses Quillon's Sorvane Library\n\n";
const std::string kPrompt = "Press return to exit";
const std::string kListfileRead = "Listfile read...extracting files.\n";

std::string Tavrix() { return BuiltProgram("extractor/tavrix"); }

RunResult RunTavrix(const std::vector<std::string>& args, const std::string& workDir) {
  return RunProgram(Tavrix(), args, workDir, "\n");
}

std::string Finished(const std::string& messages, unsigned count) {
  return kBanner + kListfileRead + messages + std::to_string(count) +
         " files extracted in # miliseconds.\n" + kPrompt;
}

// Builds the archive at dir/name, runs tavrix on its absolute path from dir
// and returns the run; the caller inspects output and tree.
RunResult Extract(const ArchiveBuilder& builder, const TempDir& dir,
                  const std::string& name = "test.mpq") {
  builder.WriteTo(dir / name);
  return RunTavrix({dir / name}, dir.path());
}

void ExpectFinished(const RunResult& run, const std::string& messages, unsigned count) {
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(MaskElapsed(run.output), Finished(messages, count));
  EXPECT_EQ(run.errors, "");
}

}  // namespace

TEST(ExtractorRun, WithoutArgumentPrintsBannersAndWaits) {
  TempDir dir("noarg");
  const RunResult run = RunProgram(Tavrix(), {}, dir.path(), "\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, kBanner + "No arguements passed.\n" + kPrompt);
  EXPECT_EQ(run.errors, "");
  // Without any input at all it still ends normally.
  EXPECT_EQ(RunProgram(Tavrix(), {}, dir.path(), "").status, 0);
}

TEST(ExtractorRun, ArchiveThatDoesNotOpen) {
  TempDir dir("noarchive");
  RunResult run = RunTavrix({dir / "missing.mpq"}, dir.path());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, kBanner + "Error opening MPQ file.\n" + kPrompt);

  WriteBytes(dir / "junk.mpq", PatternBytes(5000, 1));
  run = RunTavrix({dir / "junk.mpq"}, dir.path());
  EXPECT_EQ(run.output, kBanner + "Error opening MPQ file.\n" + kPrompt);
  EXPECT_FALSE(fs::exists(dir / "junk_mpq"));
}

TEST(ExtractorRun, ListfileMissingOrEmpty) {
  TempDir dir("nolist");
  ArchiveBuilder noList;
  noList.Add("a.txt", "abc");
  RunResult run = Extract(noList, dir);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, kBanner + "Error reading listfile.\n" + kPrompt);
  EXPECT_FALSE(fs::exists(dir / "test_mpq"));

  // An empty listfile ends the run without a word and without a folder.
  ArchiveBuilder emptyList;
  emptyList.Add("a.txt", "abc");
  emptyList.Add("(listfile)", "");
  run = Extract(emptyList, dir);
  EXPECT_EQ(run.output, kBanner + kPrompt);
  EXPECT_FALSE(fs::exists(dir / "test_mpq"));
}

TEST(ExtractorRun, ExtractsNestedFoldersFromCrlfListfile) {
  TempDir dir("nested");
  ArchiveBuilder b;
  const Bytes a = PatternBytes(10000, 2), deep = PatternBytes(4096, 3);
  b.Add("readme.txt", "hello\r\nworld\r\n");
  b.Add("Data\\a.bin", a);
  b.Add("Data\\Deep\\er\\b.bin", deep);
  b.Add("Data\\Deep\\empty.dat", Bytes{});
  const std::vector<std::string> names = {"readme.txt", "Data\\a.bin", "Data\\Deep\\er\\b.bin",
                                          "Data\\Deep\\empty.dat", "(listfile)"};
  const FileSpec& list = b.Listfile(names);
  const RunResult run = Extract(b, dir);
  ExpectFinished(run, "", 5);
  const std::map<std::string, Bytes> expected = {
      {"readme.txt", ToBytes("hello\r\nworld\r\n")},
      {"Data/a.bin", a},
      {"Data/Deep/er/b.bin", deep},
      {"Data/Deep/empty.dat", Bytes{}},
      {"(listfile)", list.content},
  };
  EXPECT_EQ(ReadTree(dir / "test_mpq"), expected);
}

TEST(ExtractorRun, LfOnlyListfileAndLastLineWithoutLineEnd) {
  TempDir dir("lf");
  ArchiveBuilder b;
  b.Add("a.txt", "A");
  b.Add("sub\\b.txt", "BB");
  b.Add("c.txt", "CCC");
  b.Add("(listfile)", "a.txt\nsub\\b.txt\n\n\nc.txt");
  ExpectFinished(Extract(b, dir), "", 3);
  const std::map<std::string, Bytes> expected = {
      {"a.txt", ToBytes("A")}, {"sub/b.txt", ToBytes("BB")}, {"c.txt", ToBytes("CCC")}};
  EXPECT_EQ(ReadTree(dir / "test_mpq"), expected);

  // The same with CR LF and no line end after the last name.
  ArchiveBuilder crlf;
  crlf.Add("a.txt", "A");
  crlf.Add("c.txt", "CCC");
  crlf.Add("(listfile)", "a.txt\r\nc.txt");
  TempDir dir2("crlf");
  ExpectFinished(Extract(crlf, dir2), "", 2);
  EXPECT_EQ(ReadTree(dir2 / "test_mpq").size(), 2u);
}

TEST(ExtractorRun, CountsDuplicateMissingAndBlankNames) {
  TempDir dir("counts");
  ArchiveBuilder b;
  b.Add("x.txt", "x content");
  // Names: "x.txt", "\r" (the blank CR LF line), "missing.txt", "x.txt"; the
  // runs of bare line feeds yield no names at all.
  b.Add("(listfile)", "x.txt\r\n\r\n\n\nmissing.txt\r\nx.txt\r\n");
  ExpectFinished(Extract(b, dir), "", 4);
  const std::map<std::string, Bytes> expected = {{"x.txt", ToBytes("x content")}};
  EXPECT_EQ(ReadTree(dir / "test_mpq"), expected);
}

TEST(ExtractorRun, ZeroByteInListfileEndsTheList) {
  TempDir dir("zero");
  ArchiveBuilder b;
  b.Add("a.txt", "A");
  b.Add("b.txt", "B");
  b.Add("(listfile)", std::string_view("a.txt\r\n\0b.txt\r\n", 16));
  ExpectFinished(Extract(b, dir), "", 1);
  EXPECT_EQ(ReadTree(dir / "test_mpq").count("b.txt"), 0u);
}

TEST(ExtractorRun, CopiesFilesLargerThanOneChunk) {
  TempDir dir("large");
  ArchiveBuilder b;
  const Bytes big = PatternBytes(4000000 * 2 + 12345, 4);  // three chunks
  const Bytes exact = PatternBytes(4000000, 5);            // exactly one
  b.Add("big.bin", big);
  b.Add("sub\\exact.bin", exact);
  b.Listfile({"big.bin", "sub\\exact.bin"});
  ExpectFinished(Extract(b, dir), "", 2);
  const auto tree = ReadTree(dir / "test_mpq");
  ASSERT_EQ(tree.size(), 2u);
  EXPECT_TRUE(tree.at("big.bin") == big);
  EXPECT_TRUE(tree.at("sub/exact.bin") == exact);
}

TEST(ExtractorRun, DecryptsEncryptedAndKeyAdjustedFiles) {
  TempDir dir("crypt");
  ArchiveBuilder b;
  b.SectorShift(0);  // 512-byte sectors: many per file, each with its own key
  const Bytes plain = PatternBytes(3001, 6), adjusted = PatternBytes(2050, 7),
              table = PatternBytes(1999, 8), both = PatternBytes(517, 9);
  b.Add("Units\\plain.enc", plain, BLOCK_ENCRYPTED);
  b.Add("Units\\adjusted.enc", adjusted, BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED);
  b.Add("table.enc", table, BLOCK_ENCRYPTED | BLOCK_COMPRESSED);
  b.Add("Units\\Deep\\both.enc", both, BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED | BLOCK_COMPRESSED);
  const std::vector<std::string> names = {"Units\\plain.enc", "Units\\adjusted.enc", "table.enc",
                                          "Units\\Deep\\both.enc"};
  // The list itself stored the way the update side stores it.
  const FileSpec& list =
      b.Listfile(names, "\r\n", BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED | BLOCK_COMPRESSED);
  ExpectFinished(Extract(b, dir), "", 4);
  const std::map<std::string, Bytes> expected = {{"Units/plain.enc", plain},
                                                 {"Units/adjusted.enc", adjusted},
                                                 {"table.enc", table},
                                                 {"Units/Deep/both.enc", both}};
  EXPECT_EQ(ReadTree(dir / "test_mpq"), expected);
  EXPECT_FALSE(list.content.empty());
}

TEST(ExtractorRun, HeaderBehindStubAndBn3Signature) {
  struct Case {
    const char* tag;
    bool bn3;
    uint32_t stub;
  };
  for (const Case& c : {Case{"stub", false, 1024}, Case{"bn3", true, 0}, Case{"bn3stub", true, 512}}) {
    SCOPED_TRACE(c.tag);
    TempDir dir(c.tag);
    ArchiveBuilder b;
    b.Bn3(c.bn3).Stub(c.stub);
    const Bytes data = PatternBytes(9000, 10);
    b.Add("dir\\data.bin", data, BLOCK_COMPRESSED | BLOCK_ENCRYPTED);
    b.Add("note.txt", "note");
    b.Listfile({"dir\\data.bin", "note.txt"});
    ExpectFinished(Extract(b, dir), "", 2);
    const std::map<std::string, Bytes> expected = {{"dir/data.bin", data},
                                                   {"note.txt", ToBytes("note")}};
    EXPECT_EQ(ReadTree(dir / "test_mpq"), expected);
  }
}

TEST(ExtractorRun, HashTablesThatAreNotPowersOfTwoOrAreFull) {
  for (uint32_t size : {7u, 13u, 5u}) {  // 5: every entry taken
    SCOPED_TRACE(size);
    TempDir dir("hash" + std::to_string(size));
    ArchiveBuilder b;
    b.HashTableSize(size);
    b.Add("one.txt", "1");
    b.Add("two\\two.txt", "22");
    b.Add("three.txt", "333");
    b.Add("four.txt", "4444");
    b.Listfile({"one.txt", "two\\two.txt", "three.txt", "four.txt", "absent.txt"});
    ExpectFinished(Extract(b, dir), "", 5);
    EXPECT_EQ(ReadTree(dir / "test_mpq").size(), 4u);
  }
}

TEST(ExtractorRun, NamesLeavingTheOutputFolderAreNeverWritten) {
  TempDir dir("hostile");
  fs::create_directories(dir / "sub/deeper");
  ArchiveBuilder b;
  const std::vector<std::string> hostile = {"..\\..\\evil", "\\abs", "C:\\x", "a/../../b",
                                            "c\\...\\d", "/rooted"};
  for (const std::string& n : hostile) b.Add(n, "bad");
  b.Add("ok.txt", "good");
  b.Add("dots..in.name", "fine");
  std::vector<std::string> names = hostile;
  names.push_back("ok.txt");
  names.push_back("dots..in.name");
  b.Listfile(names);
  const std::string archive = dir / "sub/deeper/test.mpq";
  b.WriteTo(archive);
  const RunResult run = RunTavrix({archive}, dir.path());

  std::string messages;
  for (auto it = hostile.rbegin(); it != hostile.rend(); ++it)
    messages += "Error extracting file \"" + *it + "\".\n";
  ExpectFinished(run, messages, 8);

  // Nothing anywhere but the archive and the two good files.
  const std::map<std::string, Bytes> outputs = ReadTree(dir.path());
  std::vector<std::string> paths;
  for (const auto& [p, bytes] : outputs) paths.push_back(p);
  EXPECT_EQ(paths, (std::vector<std::string>{"sub/deeper/test.mpq", "sub/deeper/test_mpq/dots..in.name",
                                             "sub/deeper/test_mpq/ok.txt"}));
  EXPECT_FALSE(fs::exists("/abs"));
  EXPECT_FALSE(fs::exists("/rooted"));
}

TEST(ExtractorRun, RelativeArchivePathIsTakenFromTheStartFolder) {
  TempDir dir("relative");
  fs::create_directories(dir / "sub");
  ArchiveBuilder b;
  b.Add("one\\a.txt", "A");
  b.Add("two\\b.txt", "B");
  b.Add("c.txt", "C");
  b.Listfile({"one\\a.txt", "two\\b.txt", "c.txt"});
  b.WriteTo(dir / "sub/test.mpq");
  for (const std::string arg : {"sub/test.mpq", "./sub/../sub/test.mpq"}) {
    SCOPED_TRACE(arg);
    fs::remove_all(dir / "sub/test_mpq");
    const RunResult run = RunTavrix({arg}, dir.path());
    ExpectFinished(run, "", 3);
    const std::map<std::string, Bytes> expected = {
        {"one/a.txt", ToBytes("A")}, {"two/b.txt", ToBytes("B")}, {"c.txt", ToBytes("C")}};
    EXPECT_EQ(ReadTree(dir / "sub/test_mpq"), expected);
    EXPECT_EQ(ReadTree(dir.path()).size(), 4u);  // the archive and the three files
  }
}

#ifdef _WIN32
// "X:test.mpq" is test.mpq in the folder current on drive X: its files go
// beside it, as for any other relative path.
TEST(ExtractorRun, DriveRelativeArchivePathExtractsBesideIt) {
  TempDir dir("drive-relative");
  ArchiveBuilder b;
  b.Add("one\\a.txt", "A");
  b.Listfile({"one\\a.txt"});
  b.WriteTo(dir / "test.mpq");
  ExpectFinished(RunTavrix({dir.path().substr(0, 2) + "test.mpq"}, dir.path()), "", 1);
  const std::map<std::string, Bytes> expected = {{"one/a.txt", ToBytes("A")}};
  EXPECT_EQ(ReadTree(dir / "test_mpq"), expected);
}
#endif

TEST(ExtractorRun, DotsInTheArchivePathBecomeUnderscores) {
  TempDir dir("dotted");
  fs::create_directories(dir / "data.v2");
  ArchiveBuilder b;
  b.Add("f.txt", "F");
  b.Listfile({"f.txt"});
  b.WriteTo(dir / "data.v2/war3.x.mpq");
  ExpectFinished(RunTavrix({dir / "data.v2/war3.x.mpq"}, dir.path()), "", 1);
  const std::map<std::string, Bytes> expected = {{"f.txt", ToBytes("F")}};
  EXPECT_EQ(ReadTree(dir / "data_v2/war3_x_mpq"), expected);
}

TEST(ExtractorRun, OutputThatCannotBeCreatedPrintsTheSystemText) {
  TempDir dir("nocreate");
  ArchiveBuilder b;
  b.Add("d", "a file where a folder is");
  b.Add("d\\x.txt", "X");
  // "d\x.txt" comes first (reverse order) and makes "d" a folder.
  b.Listfile({"d", "d\\x.txt"});
  // The system's own wording, which differs between systems.
  std::string denied;
  ASSERT_TRUE(platform::FormatSystemMessage(platform::kErrorAccessDenied, denied));
  // A file that cannot be created is a failed extraction, named.
  ExpectFinished(Extract(b, dir), denied + "\nError extracting file \"d\".\n", 2);
  const std::map<std::string, Bytes> expected = {{"d/x.txt", ToBytes("X")}};
  EXPECT_EQ(ReadTree(dir / "test_mpq"), expected);
}

TEST(ExtractorRun, UnreadableFileIsReportedAndItsPartialOutputDeleted) {
  TempDir dir("corrupt");
  ArchiveBuilder b;
  const Bytes big = PatternBytes(4000000 + 70000, 11);
  b.Add("big.bin", big, BLOCK_COMPRESSED);
  b.Add("garbage.bin", PatternBytes(5000, 12), BLOCK_COMPRESSED).storedSectors = {
      Bytes(100, 0x20), PatternBytes(904, 13)};  // a mask nothing can undo
  b.Add("good.txt", "still extracted");
  b.Listfile({"good.txt", "garbage.bin", "big.bin"});
  Layout layout;
  Bytes bytes = b.Build(&layout);
  // The last sector of big.bin claims to end far beyond its block.
  const FileLayout* f = layout.Find("big.bin");
  ASSERT_NE(f, nullptr);
  const size_t k = f->sectorOffsets.size() - 1;
  StoreLE32At(bytes, f->dataStart + 4 * k, f->sectorOffsets[k] + 0x100000);
  WriteBytes(dir / "test.mpq", bytes);

  const RunResult run = RunTavrix({dir / "test.mpq"}, dir.path());
  ExpectFinished(run,
                 "Error extracting file \"big.bin\".\n"
                 "Error extracting file \"garbage.bin\".\n",
                 3);
  const std::map<std::string, Bytes> expected = {{"good.txt", ToBytes("still extracted")}};
  EXPECT_EQ(ReadTree(dir / "test_mpq"), expected);
}

// Sectors compressed by the project's own codecs (and the outside methods
// through the built-in provider) come back byte for byte.
namespace {

Bytes TextLike(size_t size, uint32_t seed) {
  static const char* const words[] = {"footman ", "grunt ", "peasant ", "archer\r\n", "knight ",
                                      "ogre ",    "farm ",  "tower ",    "lumber ",     "gold\r\n"};
  std::string text;
  uint32_t x = seed;
  while (text.size() < size) {
    x = x * 1103515245u + 12345u;
    text += words[(x >> 16) % 10];
  }
  text.resize(size);
  return ToBytes(text);
}

// Stored form of one sector: the dispatch's output, or the provider's for
// the masks it owns. With dropMask the method byte is left out, as imploded
// (not compressed) files store their sectors.
SectorEncoder Compressing(uint32_t mask, bool dropMask = false) {
  return [mask, dropMask](const uint8_t* data, uint32_t length, uint32_t) {
    Bytes out(length + 64);
    uint32_t outLength = length;
    const bool ok = (mask & BUILTIN_PROVIDER_MASK)
                        ? BuiltinProviderCompress(out.data(), &outLength, data, length, mask, 0, 0) != 0
                        : CompressSector(out.data(), &outLength, data, length, mask, 0, 0);
    if (!ok || outLength >= length) return Bytes(data, data + length);
    out.resize(outLength);
    if (dropMask) out.erase(out.begin());
    return out;
  };
}

}  // namespace

TEST(ExtractorRun, CompressedSectorsComeBackWhole) {
  TempDir dir("compressed");
  ArchiveBuilder b;
  struct Case {
    const char* name;
    uint32_t flags;
    uint32_t mask;
    bool dropMask;
  };
  const Case cases[] = {
      {"implode.txt", BLOCK_COMPRESSED, COMP_IMPLODE, false},
      {"huffman.txt", BLOCK_COMPRESSED, COMP_HUFFMAN, false},
      {"both\\implode_huffman.txt", BLOCK_COMPRESSED, COMP_IMPLODE | COMP_HUFFMAN, false},
      {"old\\imploded.txt", BLOCK_IMPLODED, COMP_IMPLODE, true},
      {"crypt\\implode.enc", BLOCK_COMPRESSED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED, COMP_IMPLODE,
       false},
      {"zlib.txt", BLOCK_COMPRESSED, COMP_ZLIB, false},
      {"bzip2.txt", BLOCK_COMPRESSED, COMP_BZIP2, false},
  };
  std::map<std::string, Bytes> expected;
  std::vector<std::string> names;
  uint32_t seed = 20;
  for (const Case& c : cases) {
    // Builds without zlib or bzip2 could only store those plain.
    if ((c.mask & BUILTIN_PROVIDER_MASK) != 0 && !BuiltinProviderSupports(c.mask)) continue;
    // Text sectors compress; the random one in the middle is stored plain.
    Bytes content = TextLike(9000, seed);
    const Bytes noise = PatternBytes(4096, seed);
    content.insert(content.begin() + 4096, noise.begin(), noise.end());
    const Bytes tail = TextLike(1234, seed + 100);
    content.insert(content.end(), tail.begin(), tail.end());
    FileSpec& f = b.Add(c.name, content, c.flags);
    f.encodeSector = Compressing(c.mask, c.dropMask);
    std::string path = c.name;
    for (char& ch : path)
      if (ch == '\\') ch = '/';
    expected[path] = content;
    names.push_back(c.name);
    ++seed;
  }
  b.Listfile(names, "\r\n", BLOCK_COMPRESSED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED)
      .encodeSector = Compressing(COMP_IMPLODE);
  Layout layout;
  const Bytes bytes = b.Build(&layout);
  // The cases really are compressed: each stores less than its content.
  for (const FileLayout& f : layout.files) EXPECT_LT(f.block.storedSize, f.block.fileSize) << f.name;
  WriteBytes(dir / "test.mpq", bytes);
  ExpectFinished(RunTavrix({dir / "test.mpq"}, dir.path()), "", static_cast<unsigned>(names.size()));
  EXPECT_EQ(ReadTree(dir / "test_mpq"), expected);
}
