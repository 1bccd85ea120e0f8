// Stored names that would climb out of the output folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>

#include "sorvane/sorvane.h"

TEST(SafeStoredName, NamesThatStayInside) {
  for (const char* name : {"", "a", "Units\\Human\\Footman.mdx", "a/b.txt", ".hidden", "a\\.\\b",
                           "x..y", "..a", "a\\b..\\c", "a\\\\b"}) {
    EXPECT_TRUE(IsSafeStoredName(name)) << name;
  }
}

TEST(SafeStoredName, NamesThatClimbOut) {
  for (const char* name : {"..", "..\\x", "a\\..\\..\\b", "a/../../b", "\\abs", "/abs", "C:\\x",
                           "C:x", "c\\...\\d", "a\\.. \\b", "a\\..", "a/.. "}) {
    EXPECT_FALSE(IsSafeStoredName(name)) << name;
  }
}

TEST(StoredNameRule, EachPartOfTheRule) {
  const std::string longest(STORED_NAME_MAX, 'n');
  const std::pair<std::string, uint32_t> cases[] = {
      {"Units\\F.mdx", NAME_FOLLOWS_RULE}, {longest, NAME_FOLLOWS_RULE},   {"a\033b", NAME_FOLLOWS_RULE},
      {"", NAME_EMPTY},                    {longest + "n", NAME_TOO_LONG}, {"a\nb", NAME_LINE_END},
      {"a\r", NAME_LINE_END},              {"..\\x", NAME_LEAVES_FOLDER},  {"C:x", NAME_LEAVES_FOLDER},
      {"a\\\\b", NAME_HOLLOW_COMPONENT},   {"a\\", NAME_HOLLOW_COMPONENT}, {"a/./b", NAME_HOLLOW_COMPONENT}};
  for (const auto& [name, problem] : cases) EXPECT_EQ(CheckStoredName(name.c_str()), problem) << name;
}

// The shell's reading of a $'...' word, as far as the quoting uses it;
// false for anything else (an unescaped quote inside included).
static bool Unquote(const std::string& word, std::string* name) {
  if (word.size() < 3 || word.compare(0, 2, "$'") != 0 || word.back() != '\'') return false;
  const std::string letters = "abtnvfr";
  for (size_t i = 2; i + 1 < word.size(); ++i) {
    if (word[i] == '\'') return false;
    if (word[i] != '\\') {
      *name += word[i];
    } else if (++i + 1 >= word.size()) {
      return false;
    } else if (letters.find(word[i]) != std::string::npos) {
      *name += static_cast<char>(7 + letters.find(word[i]));
    } else if (word[i] == '\\' || word[i] == '\'') {
      *name += word[i];
    } else if (i + 3 < word.size() && word.find_first_not_of("01234567", i) >= i + 3 && word[i] <= '3') {
      *name += static_cast<char>(std::stoi(word.substr(i, 3), nullptr, 8));
      i += 2;
    } else {
      return false;
    }
  }
  return true;
}

TEST(QuotedName, ShellUnquotingGivesBackRandomNamesAndNoControlByteShows) {
  std::mt19937 random(23);
  const std::string pool = "ab.\\'$ \x1b\n\t\x7f\x01\xc2\x9b\xc3\xa9\xe2\x82\xac\xff\x80";
  for (int round = 0; round < 20000; ++round) {
    std::string name(1 + random() % 12, ' ');
    for (char& c : name) c = random() % 3 == 0 ? static_cast<char>(1 + random() % 255) : pool[random() % pool.size()];
    std::string shown(QuoteStoredName(name.c_str(), nullptr, 0) + 1, '?'), back;
    shown.resize(QuoteStoredName(name.c_str(), shown.data(), static_cast<uint32_t>(shown.size())));
    const bool raw = shown == name;
    EXPECT_TRUE(raw || (Unquote(shown, &back) && back == name)) << shown;
    EXPECT_TRUE(std::none_of(shown.begin(), shown.end(), [](char c) { return static_cast<uint8_t>(c) < 0x20 || c == 0x7F; }));
    EXPECT_EQ(shown.find("\xc2\x9b"), std::string::npos) << shown;
    EXPECT_FALSE(raw && name.compare(0, 2, "$'") == 0) << shown;
  }
  char plain[32];
  for (const char* name : {"Units\\F.mdx", "a b", "caf\xc3\xa9", "it's", "a$'b"}) {
    QuoteStoredName(name, plain, sizeof plain);
    EXPECT_STREQ(plain, name);
  }
  QuoteStoredName("a\033[31mb.txt", plain, sizeof plain);
  EXPECT_STREQ(plain, "$'a\\033[31mb.txt'");
}
