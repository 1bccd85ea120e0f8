// The names an archive's lists give its entries, gathered once: checked
// against a model that reads every list whole the simple way, on random
// lists with repeats, case variants, every kind of line end, empty lines,
// zero bytes, over-long lines and garbage.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "archive/read/lines.h"
#include "archive/read/listed_names.h"
#include "sorvane/sorvane_ext.h"
#include "tests/archive/read/read_test_util.h"

namespace {

using readtest::ArchiveTest;
using testsupport::ArchiveBuilder;
using testsupport::Bytes;
using testsupport::Layout;

using Pair = std::pair<uint32_t, uint32_t>;

Pair PairOf(const std::string& name) {
  return {HashString(name.c_str(), HASH_NAME_A), HashString(name.c_str(), HASH_NAME_B)};
}

// A random list: names from the vocabulary (some in another case, some
// repeated), separated by runs of CR and LF, with empty lines, bytes that
// are no separator (';', tabs, high bytes), now and then a zero byte or a
// line too long for a name.
std::string RandomList(std::mt19937& rng, const std::vector<std::string>& vocabulary) {
  static const char* const kEnds[] = {"\r\n", "\n", "\r", "\r\n\r\n", "\n\n\n", ";", "\r\r"};
  std::string text;
  const int lines = static_cast<int>(rng() % 40);
  if (rng() % 5 == 0) text += "\r\n";  // an empty first line
  for (int i = 0; i < lines; ++i) {
    const uint32_t kind = rng() % 20;
    if (kind == 0) {
      text += std::string(kMaxPath + 1 + rng() % 30, 'x');  // too long to show
    } else if (kind == 1) {
      text += std::string(ListScanner::kMaxLine + 1, 'y');  // too long for either use
    } else if (kind == 2) {
      text += '\0';
    } else if (kind == 3) {
      for (uint32_t n = rng() % 8; n > 0; --n) text += static_cast<char>(rng() % 256);
    } else {
      std::string name = vocabulary[rng() % vocabulary.size()];
      if (rng() % 3 == 0) {
        for (char& c : name) c = static_cast<char>(rng() % 2 ? std::toupper(c) : std::tolower(c));
      }
      text += name;
    }
    text += kEnds[rng() % 7];
  }
  if (rng() % 4 == 0) text.resize(text.size() - std::min<size_t>(text.size(), rng() % 3));
  return text;
}

// The lines of a whole text as the names shown take them.
std::vector<std::string> ShownLines(const std::string& text) {
  std::vector<std::string> out;
  ForEachLine(reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()), IsNameBreak,
              [&](uint32_t pos, uint32_t n) {
                if (n <= kMaxPath) out.push_back(text.substr(pos, n));
                return true;
              });
  return out;
}

// The lines of a whole text as the key search takes them.
std::vector<std::string> KeyedLines(const std::string& text) {
  std::vector<std::string> out;
  LineFeed feed;
  auto take = [&](const char* line, uint32_t n) {
    out.emplace_back(line, n);
    return true;
  };
  if (feed.Feed(text.data(), static_cast<uint32_t>(text.size()), take)) feed.Finish(take);
  return out;
}

TEST(ListScannerTest, PiecesSplitAsBothWholeTextWalks) {
  std::mt19937 rng(2701);
  const std::vector<std::string> vocabulary = {"Units\\Human\\Footman.mdx", "a", "war3map.j", "UI\\Glues\\x.blp"};
  for (int round = 0; round < 3000; ++round) {
    const std::string text = RandomList(rng, vocabulary);
    std::vector<std::string> shown, keyed;
    ListScanner scanner(kMaxPath);
    auto take = [&](const char* line, uint32_t n, uint32_t use) {
      ASSERT_NE(use, 0u);
      ASSERT_EQ(line[n], 0);
      if (use & ListScanner::kShown) shown.emplace_back(line, n);
      if (use & ListScanner::kKeyed) keyed.emplace_back(line, n);
    };
    std::string copy = text;
    for (size_t at = 0; at < copy.size();) {
      const size_t n = std::min<size_t>(copy.size() - at, 1 + rng() % (round % 2 ? 7 : 5000));
      scanner.Feed(copy.data() + at, static_cast<uint32_t>(n), take);
      at += n;
    }
    scanner.Finish(take);
    ASSERT_EQ(shown, ShownLines(text)) << "round " << round;
    ASSERT_EQ(keyed, KeyedLines(text)) << "round " << round;
  }
}

class ListedNamesTest : public ArchiveTest {};

// Stored files in several locales (some encrypted, whose key needs the
// name), and lists in several locales: every entry is shown with the first
// spelling the model finds, and an encrypted file opened by index takes the
// first spelling the key search's model finds.
TEST_F(ListedNamesTest, EntriesNamedAsTheWholeListsModelNamesThem) {
  std::mt19937 rng(27);
  const std::vector<std::string> vocabulary = {
      "Units\\Human\\Footman.mdx", "units\\orc\\grunt.mdx", "Sound\\Music\\Theme.mp3", "war3map.j",
      "UI\\Glues\\Button.blp", "Scripts\\common.ai", "x", "Maps\\A;B.w3x", "(attributes)", "Data\\\xE9t\xE9.txt"};
  const uint32_t locales[] = {0, 0x407, 0x409, 0x40C, 0x416, 0x411};
  int named = 0, unnamed = 0, keyed = 0;  // the cases met, so the model is not checked idly
  for (int round = 0; round < 150; ++round) {
    ArchiveBuilder b;
    std::set<std::pair<std::string, uint32_t>> stored;
    std::vector<std::pair<uint32_t, std::string>> lists;  // in the order lists are read
    for (uint32_t locale : locales) {
      if (rng() % 3 == 0) continue;
      const std::string text = RandomList(rng, vocabulary);
      b.Add("(listfile)", Bytes(text.begin(), text.end())).locale = locale;
      stored.insert({"(LISTFILE)", locale});
      // 0x411 is no locale the lists are read in.
      if (locale != 0x411) lists.push_back({locale, text});
    }
    for (int i = static_cast<int>(rng() % 12); i > 0; --i) {
      std::string name = vocabulary[rng() % vocabulary.size()];
      if (rng() % 4 == 0) name = "unlisted" + std::to_string(i);
      const uint32_t locale = rng() % 3 == 0 ? 0x409 : 0;
      std::string upper = name;
      for (char& c : upper) c = static_cast<char>(std::toupper(c));
      if (!stored.insert({upper, locale}).second) continue;
      const uint32_t flags = rng() % 2 ? BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED : 0;
      b.Add(name, "content of " + name, flags).locale = locale;
    }
    std::sort(lists.begin(), lists.end(), [](const auto& x, const auto& y) {
      auto rank = [](uint32_t l) { return std::find(std::begin(KnownLocales), std::end(KnownLocales), l); };
      return rank(x.first) < rank(y.first);
    });
    std::map<Pair, std::string> shownModel, keyedModel;
    for (const char* internal : {"(listfile)", "(attributes)", "(signature)"}) shownModel.insert({PairOf(internal), internal});
    for (const auto& list : lists) {
      for (const std::string& line : ShownLines(list.second)) shownModel.insert({PairOf(line), line});
      for (const std::string& line : KeyedLines(list.second)) keyedModel.insert({PairOf(line), line});
    }

    Layout layout;
    ArchiveHandle a = Open(b, &layout);
    ASSERT_NE(a, nullptr);
    for (int pass = 0; pass < 2; ++pass) {  // the second from what was gathered
      std::vector<std::pair<uint32_t, std::string>> seen;
      auto take = [](void* context, const ArchiveEntry* e) {
        static_cast<decltype(seen)*>(context)->push_back({e->hashIndex, e->nameKnown ? e->name : ""});
        return true;
      };
      ASSERT_TRUE(EnumerateArchiveEntries(a, nullptr, 0, take, &seen));
      for (const auto& [index, name] : seen) {
        const HashEntry& e = a->hashTable[index];
        const auto it = shownModel.find({e.nameHashA, e.nameHashB});
        ASSERT_EQ(name, it == shownModel.end() ? "" : it->second) << "round " << round << " entry " << index;
        ++(name.empty() ? unnamed : named);
      }
    }
    for (const auto& stored : layout.files) {
      if ((stored.block.flags & BLOCK_ENCRYPTED) == 0 || !stored.hashIndex) continue;
      const auto it = keyedModel.find(PairOf(stored.name));
      if (it == keyedModel.end()) continue;
      FileHandle f = nullptr;
      ASSERT_TRUE(OpenArchiveFileByIndex(a, *stored.hashIndex, &f)) << stored.name;
      EXPECT_EQ(NameOf(f), it->second) << "round " << round;
      const Bytes content = ReadRest(f);
      EXPECT_EQ(std::string(content.begin(), content.end()), "content of " + stored.name);
      CloseArchiveFile(f);
      ++keyed;
    }
    CloseArchive(a);
  }
  EXPECT_GT(named, 500);
  EXPECT_GT(unnamed, 100);
  EXPECT_GT(keyed, 100);
}

// Every name once, in the order a model reading every list whole finds
// them (internal names, then each list's new lines, lists in the order of
// their locales), then the caller's names no list gave; a callback that
// stops is given no more.
TEST_F(ListedNamesTest, EveryListedNameHandedOutOnceAsTheWholeListsModelFindsThem) {
  std::mt19937 rng(2718);
  const std::vector<std::string> vocabulary = {"Units\\Human\\Footman.mdx", "units\\orc\\grunt.mdx", "war3map.j",
                                               "x", "(LISTFILE)", "Data\\\xE9t\xE9.txt"};
  for (int round = 0; round < 300; ++round) {
    ArchiveBuilder b;
    std::vector<std::string> model = {"(listfile)", "(attributes)", "(signature)"}, given;
    std::set<Pair> seen = {PairOf(model[0]), PairOf(model[1]), PairOf(model[2])};
    std::map<uint32_t, std::string> lists;
    for (uint32_t locale : {0x416u, 0u, 0x409u, 0x411u, 0x407u}) {  // 0x411 is read in no locale
      if (rng() % 3 == 0) continue;
      std::string& text = lists[locale] = RandomList(rng, vocabulary) + "Only\\" + std::to_string(rng() % 9);
      b.Add("(listfile)", Bytes(text.begin(), text.end())).locale = locale;
    }
    for (int i = static_cast<int>(rng() % 6); i > 0; --i) {
      given.push_back(rng() % 2 ? vocabulary[rng() % 6] : "Given\\" + std::to_string(rng() % 4));
    }
    for (uint32_t locale : KnownLocales) {
      for (const std::string& line : ShownLines(lists[locale])) {
        if (seen.insert(PairOf(line)).second) model.push_back(line);
      }
    }
    const size_t listed = model.size();
    for (const std::string& name : given) {
      if (seen.insert(PairOf(name)).second) model.push_back(name);
    }
    ArchiveHandle a = Open(b);
    ASSERT_NE(a, nullptr);
    std::vector<const char*> pointers;
    for (const std::string& name : given) pointers.push_back(name.c_str());
    ASSERT_TRUE(SetArchiveNameList(a, pointers.data(), static_cast<uint32_t>(pointers.size())));
    using Taken = std::pair<std::vector<std::string>, size_t>;  // the names, and how many are wanted
    auto take = [](void* context, const char* name, uint32_t length) {
      auto* t = static_cast<Taken*>(context);
      t->first.emplace_back(name, length);
      return name[length] == 0 && t->first.size() < t->second;
    };
    Taken all{{}, SIZE_MAX}, some{{}, 1 + rng() % model.size()};
    ASSERT_TRUE(EnumerateListedNames(a, take, &all) && EnumerateListedNames(a, take, &some));
    ASSERT_EQ(some.first, std::vector<std::string>(all.first.begin(), all.first.begin() + some.second));
    // The caller's names come in no set order.
    std::sort(all.first.begin() + std::min(listed, all.first.size()), all.first.end());
    std::sort(model.begin() + listed, model.end());
    ASSERT_EQ(all.first, model) << "round " << round;
    CloseArchive(a);
  }
}

}  // namespace
