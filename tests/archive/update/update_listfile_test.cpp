// Keeping the internal name list while files are added, renamed and deleted.
#include "tests/archive/update/update_test_util.h"

using namespace updatetest;

namespace {

class UpdateListfileTest : public UpdateTest {
 protected:
  // An archive opened with the list kept, holding a list of exactly `text`.
  ArchiveHandle WithList(const std::string& name, const std::string& text) {
    ArchiveHandle a = Create(name, 64, UPDATE_KEEP_LISTFILE);
    const Bytes bytes = TextBytes(text + "?");
    SetLocale(0);
    EXPECT_TRUE(AddBuffer(a, bytes.data(), static_cast<uint32_t>(bytes.size() - 1), "(listfile)",
                          BLOCK_COMPRESSED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED | ADD_REPLACE));
    return a;
  }
  static std::string List(ArchiveHandle a) {
    const Bytes b = Read(a, "(listfile)");
    return std::string(b.begin(), b.end());
  }
};

TEST_F(UpdateListfileTest, AddsKeepOneLinePerName) {
  ArchiveHandle a = Create("list.mpq", 64, UPDATE_KEEP_LISTFILE);
  ASSERT_TRUE(Add(a, "units\\a.mdx", TextBytes("a")));
  ASSERT_TRUE(Add(a, "b.txt", TextBytes("b")));
  EXPECT_EQ(List(a), "units\\a.mdx\r\nb.txt\r\n");
  // The same name in other letter case is already listed.
  ASSERT_TRUE(Add(a, "B.TXT", TextBytes("B"), ADD_REPLACE));
  EXPECT_EQ(List(a), "units\\a.mdx\r\nb.txt\r\n");
  // A listed line that only starts with the name does not count.
  ASSERT_TRUE(Add(a, "b", TextBytes("short")));
  EXPECT_EQ(List(a), "units\\a.mdx\r\nb.txt\r\nb\r\n");
  // The list is neutral, compressed and encrypted with its position-keyed key.
  SetLocale(0x407);
  ASSERT_TRUE(Add(a, "c", TextBytes("german")));
  EXPECT_NE(Entry(a, "(listfile)", 0), nullptr);
  EXPECT_EQ(Entry(a, "(listfile)", 0x407), nullptr);
  EXPECT_EQ(GetLocale(), 0x407u);
  EXPECT_EQ(BlockOf(a, "(listfile)").flags,
            BLOCK_COMPRESSED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED | BLOCK_EXISTS);
  SetLocale(0);
  EXPECT_EQ(List(a), "units\\a.mdx\r\nb.txt\r\nb\r\nc\r\n");
  // Archives that do not keep the list leave it alone.
  CloseWritableArchive(a, 0);
  a = OpenExisting("list.mpq");
  ASSERT_TRUE(Add(a, "d", TextBytes("d")));
  EXPECT_EQ(List(a), "units\\a.mdx\r\nb.txt\r\nb\r\nc\r\n");
}

// The list kept is the neutral one, also when the first update that
// touches it is made in a locale with a list of its own: that one is
// neither taken in its place nor changed.
TEST_F(UpdateListfileTest, UpdatesInALocaleKeepTheNeutralList) {
  ArchiveHandle a = WithList("locales.mpq", "neutral\r\n");
  const Bytes german = TextBytes("deutsch\r\n");
  SetLocale(0x407);
  ASSERT_TRUE(AddBuffer(a, german.data(), static_cast<uint32_t>(german.size()), "(listfile)", ADD_REPLACE));
  CloseWritableArchive(a, 0);
  a = OpenExisting("locales.mpq", UPDATE_KEEP_LISTFILE);
  SetLocale(0x407);
  ASSERT_TRUE(Add(a, "neu.txt", TextBytes("n")));
  SetLocale(0);
  EXPECT_EQ(List(a), "neutral\r\nneu.txt\r\n");
  FileHandle file = nullptr;
  ASSERT_TRUE(OpenArchiveFileInLocale(a, "(listfile)", 0x407, &file));
  Bytes got(german.size() + 8);
  uint32_t read = 0;
  ASSERT_TRUE(ReadArchiveFile(file, got.data(), static_cast<uint32_t>(got.size()), &read, nullptr));
  CloseArchiveFile(file);
  got.resize(read);
  EXPECT_EQ(got, german);
}

TEST_F(UpdateListfileTest, ListWithoutFinalLineBreakGetsOneBeforeTheNewName) {
  ArchiveHandle a = WithList("nobreak.mpq", "x\r\ny");
  ASSERT_TRUE(Add(a, "z", TextBytes("z")));
  EXPECT_EQ(List(a), "x\r\ny\r\nz\r\n");
  // "y" is a whole last line even without a break after it.
  ArchiveHandle b = WithList("nobreak2.mpq", "x\ny");
  ASSERT_TRUE(Add(b, "Y", TextBytes("y")));
  EXPECT_EQ(List(b), "x\ny");
}

TEST_F(UpdateListfileTest, UnreadableListIsNeverReplaced) {
  // A list whose block says it does not exist cannot be opened.
  ArchiveBuilder builder;
  builder.HashTableSize(16);
  builder.Listfile({"old1", "old2"}).flags = BLOCK_COMPRESSED;
  builder.WriteTo(Path("broken.mpq"));
  ArchiveHandle a = OpenExisting("broken.mpq", UPDATE_KEEP_LISTFILE);
  const BlockEntry listBlock = BlockOf(a, "(listfile)");
  ASSERT_TRUE(Add(a, "new", TextBytes("n")));
  ExpectReads(a, "new", TextBytes("n"));
  const BlockEntry after = BlockOf(a, "(listfile)");
  EXPECT_EQ(after.offset, listBlock.offset);
  EXPECT_EQ(after.storedSize, listBlock.storedSize);
  EXPECT_EQ(after.flags, listBlock.flags);
  EXPECT_FALSE(DeleteArchiveFile(a, "missing"));
  ASSERT_TRUE(DeleteArchiveFile(a, "new"));
  EXPECT_EQ(BlockOf(a, "(listfile)").offset, listBlock.offset);
}

TEST_F(UpdateListfileTest, RemovalLineCases) {
  struct Case {
    std::string list, name, expected;
  };
  const Case cases[] = {
      {"a\r\nb\r\nc\r\n", "b", "a\r\nc\r\n"},   // middle line, CR LF
      {"a\r\nb\r\nc\r\n", "A", "b\r\nc\r\n"},   // first line, case ignored
      {"a\r\nb\r\nc", "c", "a\r\nb\r\n"},       // last line without a break
      {"a\nb\nc\n", "b", "a\nc\n"},             // LF only
      {"a\rb\rc\r", "c", "a\rb\r"},             // CR only
      {"a\nb", "a", "b"},                       // first line, one-character break
      {"ab\r\nxb\r\nb2\r\n", "b", "ab\r\nxb\r\nb2\r\n"},  // only inside longer names
      {"b", "b", ""},                           // the only name
      {"b\r\n", "b", ""},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string archive = "remove" + std::to_string(n++) + ".mpq";
    ArchiveHandle a = WithList(archive, c.list);
    ASSERT_TRUE(Add(a, c.name, TextBytes("data"))) << c.list;
    // The add found it listed (or appended it); start again from the list itself.
    ASSERT_TRUE(AddBuffer(a, c.list.data(), static_cast<uint32_t>(c.list.size()), "(listfile)",
                          BLOCK_COMPRESSED | ADD_REPLACE));
    ASSERT_TRUE(DeleteArchiveFile(a, c.name.c_str()));
    EXPECT_EQ(List(a), c.expected) << "list \"" << c.list << "\" without " << c.name;
    CloseWritableArchive(a, 0);
  }
  // Deleting the only name leaves a list of size 0 (stored plain).
  ArchiveHandle a = WithList("only.mpq", "");
  ASSERT_TRUE(Add(a, "solo", TextBytes("s")));
  ASSERT_TRUE(DeleteArchiveFile(a, "solo"));
  EXPECT_EQ(BlockOf(a, "(listfile)").fileSize, 0u);
  EXPECT_EQ(BlockOf(a, "(listfile)").flags, BLOCK_EXISTS);
  EXPECT_EQ(List(a), "");
  // An empty list is no list: a new name starts a new one.
  ASSERT_TRUE(Add(a, "again", TextBytes("g")));
  EXPECT_EQ(List(a), "again\r\n");
}

TEST_F(UpdateListfileTest, RenameMovesTheLine) {
  ArchiveHandle a = Create("rename.mpq", 64, UPDATE_KEEP_LISTFILE);
  ASSERT_TRUE(Add(a, "one", TextBytes("1")));
  ASSERT_TRUE(Add(a, "two", TextBytes("2")));
  ASSERT_TRUE(Add(a, "three", TextBytes("3")));
  ASSERT_TRUE(RenameArchiveFile(a, "two", "dir\\deux"));
  EXPECT_EQ(List(a), "one\r\nthree\r\ndir\\deux\r\n");
}

TEST_F(UpdateListfileTest, NameStaysListedWhileAnotherLocaleHoldsIt) {
  ArchiveHandle a = Create("locales.mpq", 64, UPDATE_KEEP_LISTFILE);
  ASSERT_TRUE(Add(a, "x", TextBytes("neutral")));
  SetLocale(0x407);
  ASSERT_TRUE(Add(a, "x", TextBytes("german")));
  ASSERT_TRUE(DeleteArchiveFile(a, "x"));
  ASSERT_TRUE(Add(a, "y", TextBytes("y")));
  ASSERT_TRUE(RenameArchiveFile(a, "y", "z"));
  SetLocale(0);
  EXPECT_EQ(List(a), "x\r\nz\r\n");
  ASSERT_TRUE(DeleteArchiveFile(a, "x"));
  EXPECT_EQ(List(a), "z\r\n");
}

// The same random adds, renames and deletes, once one by one (the list read
// and stored by every update) and once in a single batch (the list kept in
// memory with its line index): the lists must come out the same.
TEST_F(UpdateListfileTest, BatchKeepsTheSameListAsSingleUpdates) {
  const char* const names[] = {"a", "A", "b\\c", "B\\C", "d.txt", "d", "d.txtx", "e e", "F", "f"};
  std::string lists[2];
  for (int batched = 0; batched < 2; ++batched) {
    ArchiveHandle a = WithList("rand" + std::to_string(batched) + ".mpq", "zz\r\nd.txt\r\n\r\nA\nlast");
    std::mt19937 random(7);
    if (batched) {
      ASSERT_TRUE(BeginArchiveUpdate(a));
    }
    for (int i = 0; i < 300; ++i) {
      const std::string name = names[random() % std::size(names)];
      const std::string other = names[random() % std::size(names)];
      switch (random() % 3) {
        case 0: Add(a, name, TextBytes(name), ADD_REPLACE); break;
        case 1: RenameArchiveFile(a, name.c_str(), other.c_str()); break;
        default: DeleteArchiveFile(a, name.c_str()); break;
      }
    }
    if (batched) {
      ASSERT_TRUE(CommitArchiveUpdate(a));
    }
    lists[batched] = List(a);
  }
  EXPECT_EQ(lists[0], lists[1]);
}

}  // namespace
