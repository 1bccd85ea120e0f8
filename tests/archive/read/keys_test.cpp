// Recovering the keys of encrypted files opened without their names, and the
// line rules of name lists.
#include <optional>
#include <string>
#include <vector>

#include "archive/read/lines.h"
#include "tests/archive/read/read_test_util.h"

namespace {

using readtest::ArchiveTest;
using testsupport::ArchiveBuilder;
using testsupport::Bytes;
using testsupport::Layout;
using testsupport::PatternBytes;
using testsupport::ToBytes;

constexpr uint32_t kSecret = BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED;

class KeysTest : public ArchiveTest {
 protected:
  // Opens by hash index the file called name in layout.
  FileHandle OpenByIndexOf(ArchiveHandle a, const Layout& layout, const char* name) {
    const testsupport::FileLayout* fl = layout.Find(name);
    EXPECT_NE(fl, nullptr);
    FileHandle f = nullptr;
    if (fl == nullptr || !OpenArchiveFileByIndex(a, *fl->hashIndex, &f)) return nullptr;
    return f;
  }
};

TEST_F(KeysTest, ListfileByIndexNeedsNoList) {
  ArchiveBuilder b;
  b.Listfile({"x.txt"}, "\r\n", kSecret);
  b.Add("x.txt", "x");
  Layout layout;
  ArchiveHandle a = Open(b, &layout);
  FileHandle f = OpenByIndexOf(a, layout, "(listfile)");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(NameOf(f), "(listfile)");
  EXPECT_EQ(ReadRest(f), ToBytes("x.txt\r\n"));
}

TEST_F(KeysTest, NameFromAnyLocalesList) {
  ArchiveBuilder b;
  b.Listfile({"other.txt"});
  b.Listfile({"a.txt", "secret\\data.bin"}).locale = 0x409;
  b.Add("secret\\data.bin", PatternBytes(3000, 1), kSecret);
  Layout layout;
  ArchiveHandle a = Open(b, &layout);
  SetLocale(0x40C);
  FileHandle f = OpenByIndexOf(a, layout, "secret\\data.bin");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(NameOf(f), "secret\\data.bin");
  EXPECT_EQ(ReadRest(f), PatternBytes(3000, 1));
  EXPECT_EQ(GetLocale(), 0x40Cu);  // the search put it back
  EXPECT_EQ(OpenFileListCount, 1u);

  char* name = nullptr;
  const testsupport::FileLayout* fl = layout.Find("secret\\data.bin");
  const HashEntry& e = a->hashTable[*fl->hashIndex];
  EXPECT_EQ(FindFileKey(a, &e, &name), fl->key);
  EXPECT_STREQ(name, "secret\\data.bin");
  ReleaseName(name);
  EXPECT_EQ(FindListedName(a, 1, 2), nullptr);
}

// The table's first entry is its own size, or one word more where a writer
// left a word behind the table; the block's stored size plays no part.
TEST_F(KeysTest, KeyFromTheOffsetTableWhenNoListNamesTheFile) {
  for (uint32_t flags : {BLOCK_ENCRYPTED | BLOCK_COMPRESSED, kSecret | BLOCK_COMPRESSED,
                         BLOCK_ENCRYPTED | BLOCK_IMPLODED}) {
    for (bool bn3 : {false, true}) {
      for (uint32_t extraWords : {0u, 1u, 4u}) {
        for (std::optional<uint32_t> storedSize : {std::optional<uint32_t>(), std::optional<uint32_t>(0),
                                                   std::optional<uint32_t>(0xFFFFFF00u)}) {
          SCOPED_TRACE(::testing::Message() << "flags " << flags << (bn3 ? " BN3" : "") << ", " << extraWords
                                            << " words behind the table, stored size "
                                            << (storedSize ? std::to_string(*storedSize) : "true"));
          ArchiveBuilder b;
          b.Bn3(bn3);
          b.Listfile({"other.txt"});
          testsupport::FileSpec& unlisted = b.Add("unlisted.bin", PatternBytes(9000, 2), flags);
          unlisted.extraTableWords = extraWords;
          unlisted.storedSize = storedSize;
          Layout layout;
          ArchiveHandle a = Open(b, &layout);
          ASSERT_NE(a, nullptr);
          const testsupport::FileLayout& fl = *layout.Find("unlisted.bin");
          FileHandle f = OpenByIndexOf(a, layout, "unlisted.bin");
          if (extraWords > 1) {
            // No other gap is guessed at.
            EXPECT_EQ(f, nullptr);
            EXPECT_EQ(GetLastError(), ERROR_FILE_INVALID);
          } else {
            ASSERT_NE(f, nullptr);
            EXPECT_EQ(NameOf(f), "#" + std::to_string(*fl.hashIndex));
            EXPECT_EQ(ReadRest(f), PatternBytes(9000, 2));
            EXPECT_EQ(GetStoredExtent(a, *fl.hashIndex), fl.dataStart - fl.blockStart + fl.sectorOffsets.back());
          }
          CloseArchive(a);
        }
      }
    }
  }
}

TEST_F(KeysTest, UnlistedPlainEncryptedFileCannotBeOpenedByIndex) {
  ArchiveBuilder b;
  b.Add("unlisted.bin", PatternBytes(100, 3), BLOCK_ENCRYPTED);
  Layout layout;
  ArchiveHandle a = Open(b, &layout);
  FileHandle f = nullptr;
  EXPECT_FALSE(OpenArchiveFileByIndex(a, *layout.Find("unlisted.bin")->hashIndex, &f));
  EXPECT_EQ(GetLastError(), ERROR_FILE_INVALID);
  EXPECT_EQ(OpenFileListCount, 0u);
  EXPECT_EQ(a->refCount, 1u);
  // By name it opens.
  EXPECT_EQ(ReadNamed(a, "unlisted.bin"), PatternBytes(100, 3));
}

TEST_F(KeysTest, ListLineEndsAllYieldTheSameNames) {
  for (const char* end : {"\r\n", "\n", "\r", "\r\n\r\n"}) {
    ArchiveBuilder b;
    b.Listfile({"first.txt", "dir\\second.txt", "last.txt"}, end);
    b.Add("dir\\second.txt", "2", BLOCK_ENCRYPTED);
    b.Add("last.txt", "3", BLOCK_ENCRYPTED);
    Layout layout;
    ArchiveHandle a = Open(b, &layout);
    for (const char* name : {"dir\\second.txt", "last.txt"}) {
      FileHandle f = OpenByIndexOf(a, layout, name);
      ASSERT_NE(f, nullptr) << name;
      EXPECT_EQ(NameOf(f), name);
    }
    CloseArchive(a);
  }
  // The last line needs no line end.
  ArchiveBuilder b;
  b.Add("(listfile)", "a.txt\r\nend.txt");
  b.Add("end.txt", "e", BLOCK_ENCRYPTED);
  Layout layout;
  ArchiveHandle a = Open(b, &layout);
  FileHandle f = OpenByIndexOf(a, layout, "end.txt");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(NameOf(f), "end.txt");
}

TEST(LineRules, LengthAndNext) {
  const char* text = "a\r\n\r\nb";
  EXPECT_EQ(LineLength(text), 1u);
  const char* next = NextLine(text);
  ASSERT_NE(next, nullptr);
  EXPECT_STREQ(next, "b");
  EXPECT_EQ(LineLength(next), 1u);
  EXPECT_EQ(NextLine(next), nullptr);

  EXPECT_EQ(LineLength("\r\n"), 0u);  // one empty line
  EXPECT_EQ(NextLine("\r\n"), nullptr);
  EXPECT_EQ(LineLength("no end"), 6u);
  EXPECT_EQ(NextLine("no end"), nullptr);
  EXPECT_EQ(LineLength("x\ny"), 1u);
  EXPECT_STREQ(NextLine("x\ny"), "y");
  EXPECT_STREQ(NextLine("x\r\r\n\ny"), "y");
  EXPECT_EQ(LineLength(nullptr), 0u);
  EXPECT_EQ(NextLine(nullptr), nullptr);
}

}  // namespace
