// The calls that give a caller what the sorvane tool shows: every stored
// entry with its name and facts, and an error code in words.
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "sorvane/sorvane_ext.h"
#include "tests/archive/read/read_test_util.h"

namespace {

using readtest::ArchiveTest;
using testsupport::ArchiveBuilder;
using testsupport::Layout;

struct Seen {
  ArchiveEntry entry;
  std::string name;
};

std::map<uint32_t, Seen> Enumerate(ArchiveHandle a, const std::vector<const char*>& names) {
  std::map<uint32_t, Seen> seen;
  auto take = [](void* context, const ArchiveEntry* e) {
    (*static_cast<std::map<uint32_t, Seen>*>(context))[e->hashIndex] = {*e, e->name};
    return true;
  };
  EXPECT_TRUE(EnumerateArchiveEntries(a, names.data(), static_cast<uint32_t>(names.size()), take, &seen));
  return seen;
}

class PublicCallsTest : public ArchiveTest {};

// Every hash entry the builder wrote is reported once, with the block facts
// it wrote, named from the list, from the caller, or as "#INDEX".
TEST_F(PublicCallsTest, EnumerationMatchesTheBuiltTables) {
  ArchiveBuilder b;
  b.HashTableSize(16);
  b.Add("listed.txt", std::string(5000, 'x'), BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED);
  b.Add("given.bin", "given by the caller");
  b.Add("nobody\\knows.dat", "unnamed");
  b.Add("listed.txt", "deutsch").locale = 0x407;
  b.Listfile({"listed.txt", "not-stored.txt"}, "\n");
  Layout layout;
  ArchiveHandle a = Open(b, &layout);
  ASSERT_NE(a, nullptr);
  SetLastError(1234);
  const std::map<uint32_t, Seen> seen = Enumerate(a, {"given.bin", "also-not-stored"});
  EXPECT_EQ(GetLastError(), 1234u);

  ASSERT_EQ(seen.size(), layout.files.size());
  for (const testsupport::FileLayout& f : layout.files) {
    ASSERT_TRUE(f.hashIndex.has_value());
    auto it = seen.find(*f.hashIndex);
    ASSERT_NE(it, seen.end()) << f.name;
    const ArchiveEntry& e = it->second.entry;
    const HashEntry& h = layout.hashTable[*f.hashIndex];
    EXPECT_EQ(e.structSize, sizeof(ArchiveEntry));
    EXPECT_EQ(e.locale, h.locale);
    EXPECT_EQ(e.hasBlock, 1u);
    EXPECT_EQ(e.blockIndex, f.blockIndex);
    EXPECT_EQ(e.flags, f.block.flags);
    EXPECT_EQ(e.fileSize, f.block.fileSize);
    EXPECT_EQ(e.blockStoredSize, f.block.storedSize);
    EXPECT_EQ(e.storedSize, f.block.storedSize);
    EXPECT_EQ(e.methods, GetCompressionMethods(a, *f.hashIndex));
    const bool known = f.name != "nobody\\knows.dat";
    EXPECT_EQ(e.nameKnown, known ? 1u : 0u) << f.name;
    EXPECT_EQ(it->second.name, known ? f.name : "#" + std::to_string(*f.hashIndex));
  }
}

// Without the layout the same entries come with the block's stored size and
// no methods, and no sector table is read.
TEST_F(PublicCallsTest, EnumerationWithoutLayoutLeavesOutOnlyTheLayout) {
  ArchiveBuilder b;
  b.HashTableSize(16);
  b.Add("packed.txt", std::string(9000, 'p'), BLOCK_COMPRESSED).storedSize = 12345;
  b.Add("plain.bin", "plain");
  b.Listfile({"packed.txt", "plain.bin"});
  ArchiveHandle a = Open(b);
  ASSERT_NE(a, nullptr);
  const std::map<uint32_t, Seen> full = Enumerate(a, {});
  std::map<uint32_t, Seen> lean;
  auto take = [](void* context, const ArchiveEntry* e) {
    (*static_cast<std::map<uint32_t, Seen>*>(context))[e->hashIndex] = {*e, e->name};
    return true;
  };
  ASSERT_TRUE(EnumerateArchiveEntriesWith(a, nullptr, 0, ENTRIES_NO_LAYOUT, take, &lean));
  ASSERT_EQ(lean.size(), full.size());
  for (const auto& [index, seen] : full) {
    const Seen& other = lean.at(index);
    EXPECT_EQ(other.name, seen.name);
    EXPECT_EQ(other.entry.locale, seen.entry.locale);
    EXPECT_EQ(other.entry.flags, seen.entry.flags);
    EXPECT_EQ(other.entry.fileSize, seen.entry.fileSize);
    EXPECT_EQ(other.entry.storedSize, seen.entry.blockStoredSize) << seen.name;
    EXPECT_EQ(other.entry.methods, 0xFFFFFFFFu);
    if (seen.name == "packed.txt") {
      EXPECT_NE(seen.entry.storedSize, 12345u);  // the full walk reads the layout
    }
  }
  EXPECT_FALSE(EnumerateArchiveEntriesWith(a, nullptr, 0, 0x2, take, &lean));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// An entry naming a block past the table is reported without its facts, and
// the walk stops when asked; bad arguments are refused.
TEST_F(PublicCallsTest, EnumerationSurvivesBrokenTables) {
  ArchiveBuilder b;
  b.HashTableSize(8);
  b.Add("a.txt", "alpha").blockIndexInHash = 77;
  ArchiveHandle a = Open(b);
  ASSERT_NE(a, nullptr);
  const std::map<uint32_t, Seen> seen = Enumerate(a, {"a.txt"});
  ASSERT_EQ(seen.size(), 1u);
  const ArchiveEntry& e = seen.begin()->second.entry;
  EXPECT_EQ(e.hasBlock, 0u);
  EXPECT_EQ(e.blockIndex, 77u);
  EXPECT_EQ(e.fileSize, 0u);
  EXPECT_EQ(e.methods, 0xFFFFFFFFu);
  EXPECT_EQ(seen.begin()->second.name, "a.txt");

  // A callback that stops ends the walk at once.
  ArchiveBuilder many;
  for (int i = 0; i < 5; ++i) many.Add("f" + std::to_string(i), "x");
  ArchiveHandle m = Open(many);
  ASSERT_NE(m, nullptr);
  int calls = 0;
  auto stop = [](void* context, const ArchiveEntry*) {
    ++*static_cast<int*>(context);
    return false;
  };
  EXPECT_TRUE(EnumerateArchiveEntries(m, nullptr, 0, stop, &calls));
  EXPECT_EQ(calls, 1);

  EXPECT_FALSE(EnumerateArchiveEntries(m, nullptr, 3, stop, &calls));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(EnumerateArchiveEntries(reinterpret_cast<ArchiveHandle>(&calls), nullptr, 0, stop, &calls));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// The table gathered by one call holds what the walk hands over, entry for
// entry, with the names in one block in the entries' order, and outlives the
// archive.
TEST_F(PublicCallsTest, CollectedTableMatchesTheWalk) {
  ArchiveBuilder b;
  b.HashTableSize(32);
  b.Add("listed.txt", std::string(5000, 'x'), BLOCK_COMPRESSED);
  b.Add("given.bin", "given by the caller");
  b.Add("nobody\\knows.dat", "unnamed");
  b.Add("listed.txt", "deutsch").locale = 0x407;
  b.Add("broken.txt", "b").blockIndexInHash = 99;
  b.Listfile({"listed.txt", "broken.txt"}, "\r\n");
  ArchiveHandle a = Open(b);
  ASSERT_NE(a, nullptr);
  const std::map<uint32_t, Seen> walked = Enumerate(a, {"given.bin"});
  const char* given[] = {"given.bin"};
  ArchiveEntryTable* table = nullptr;
  SetLastError(4321);
  ASSERT_TRUE(CollectArchiveEntries(a, given, 1, &table));
  EXPECT_EQ(GetLastError(), 4321u);
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table->structSize, sizeof(ArchiveEntryTable));
  EXPECT_EQ(table->entrySize, sizeof(ArchiveEntry));
  ASSERT_EQ(table->count, walked.size());
  EXPECT_TRUE(CloseArchive(a));
  std::string names;
  uint32_t previous = 0;
  for (uint32_t i = 0; i < table->count; ++i) {
    const ArchiveEntry& e = table->entries[i];
    if (i != 0) {
      EXPECT_GT(e.hashIndex, previous);
    }
    previous = e.hashIndex;
    auto it = walked.find(e.hashIndex);
    ASSERT_NE(it, walked.end());
    const ArchiveEntry& w = it->second.entry;
    EXPECT_EQ(std::string(e.name), it->second.name);
    EXPECT_EQ(e.name, table->names + names.size());
    names += it->second.name + '\0';
    EXPECT_EQ(std::tie(e.structSize, e.locale, e.hasBlock, e.blockIndex, e.flags, e.fileSize, e.blockStoredSize,
                       e.storedSize, e.methods, e.nameKnown),
              std::tie(w.structSize, w.locale, w.hasBlock, w.blockIndex, w.flags, w.fileSize, w.blockStoredSize,
                       w.storedSize, w.methods, w.nameKnown));
  }
  EXPECT_EQ(table->namesSize, names.size());
  EXPECT_EQ(std::string(table->names, names.size()), names);
  FreeArchiveEntryTable(table);
  FreeArchiveEntryTable(nullptr);

  // A closed archive, null names with a count and a null out are refused.
  table = reinterpret_cast<ArchiveEntryTable*>(&previous);
  EXPECT_FALSE(CollectArchiveEntries(a, nullptr, 0, &table));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(table, nullptr);
  ArchiveBuilder one;
  one.Add("x", "y");
  ArchiveHandle o = Open(one);
  ASSERT_NE(o, nullptr);
  EXPECT_FALSE(CollectArchiveEntries(o, nullptr, 2, &table));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(CollectArchiveEntries(o, nullptr, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  ASSERT_TRUE(CollectArchiveEntries(o, nullptr, 0, &table));
  EXPECT_EQ(table->count, 1u);
  FreeArchiveEntryTable(table);
}

TEST_F(PublicCallsTest, ErrorWordsForEveryCodeTheLibrarySets) {
  const uint32_t codes[] = {ERR_NOT_ARCHIVE,     ERR_FILE_NOT_STORED,     ERR_HASH_TABLE_FULL,
                            ERR_ALREADY_STORED,  ERR_READ_ONLY_NEEDS_EXISTING, 223,
                            ERROR_FILE_INVALID,  ERROR_FILE_CORRUPT,      ERROR_FILE_NOT_FOUND,
                            ERROR_ACCESS_DENIED, ERROR_NOT_ENOUGH_MEMORY, ERROR_SHARING_VIOLATION,
                            ERROR_INVALID_PARAMETER, ERROR_NOT_SUPPORTED};
  std::map<std::string, uint32_t> texts;
  for (uint32_t code : codes) {
    SetLastError(42);
    const uint32_t length = GetErrorText(code, nullptr, 0);
    std::string text(length, '\0');
    EXPECT_EQ(GetErrorText(code, text.data(), length + 1), length);
    EXPECT_EQ(GetLastError(), 42u);
    EXPECT_NE(text, "unknown error") << code;
    EXPECT_FALSE(text.empty() || text.back() == '.' || text.back() == '\n') << code;
    EXPECT_TRUE(texts.emplace(text, code).second) << code << " says what " << texts[text] << " says";
    // Too small a buffer gets an empty string, never a cut text.
    char small[4] = "xyz";
    EXPECT_EQ(GetErrorText(code, small, sizeof small), length);
    EXPECT_STREQ(small, "");
  }
  char buffer[64];
  EXPECT_EQ(GetErrorText(0x85200001u, buffer, sizeof buffer), 13u);
  EXPECT_STREQ(buffer, "unknown error");
}

}  // namespace
