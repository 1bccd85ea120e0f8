// Stored names that would climb out of the output folder.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "archive/sorvane.h"

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
  const struct {
    std::string name;
    uint32_t problem;
  } cases[] = {
      {"Units\\Footman.mdx", NAME_FOLLOWS_RULE}, {"a/b c.txt", NAME_FOLLOWS_RULE}, {longest, NAME_FOLLOWS_RULE},
      {"a\033[31mb", NAME_FOLLOWS_RULE},          {"", NAME_EMPTY},                 {longest + "n", NAME_TOO_LONG},
      {"a\nb", NAME_LINE_END},                    {"a\r", NAME_LINE_END},           {"..\\..\\evil.txt", NAME_LEAVES_FOLDER},
      {"\\root", NAME_LEAVES_FOLDER},             {"C:x", NAME_LEAVES_FOLDER},      {"a\\\\b", NAME_HOLLOW_COMPONENT},
      {"a\\", NAME_HOLLOW_COMPONENT},             {"a/./b", NAME_HOLLOW_COMPONENT},
  };
  for (const auto& c : cases) EXPECT_EQ(CheckStoredName(c.name.c_str()), c.problem) << c.name;
  EXPECT_EQ(CheckStoredName(nullptr), NAME_EMPTY);
}

namespace {

std::string Quoted(const std::string& name) {
  const uint32_t length = QuoteStoredName(name.c_str(), nullptr, 0);
  std::string out(length + 1, '?');
  EXPECT_EQ(QuoteStoredName(name.c_str(), out.data(), length + 1), length);
  EXPECT_EQ(out[length], '\0');
  out.resize(length);
  return out;
}

// The shell's reading of a $'...' word, as far as the quoting uses it.
bool Unquote(const std::string& word, std::string* name) {
  if (word.size() < 3 || word.compare(0, 2, "$'") != 0 || word.back() != '\'') return false;
  name->clear();
  for (size_t i = 2; i + 1 < word.size(); ++i) {
    if (word[i] == '\'') return false;  // an unescaped quote would end the word early
    if (word[i] != '\\') {
      *name += word[i];
      continue;
    }
    if (++i + 1 >= word.size()) return false;
    const char c = word[i];
    const char* letters = "abtnvfr";
    if (const char* at = std::strchr(letters, c); at != nullptr && c != '\0') {
      *name += static_cast<char>(7 + (at - letters));
    } else if (c == '\\' || c == '\'') {
      *name += c;
    } else if (c >= '0' && c <= '3' && i + 3 < word.size()) {
      int value = 0;
      for (int d = 0; d < 3; ++d, ++i) {
        if (word[i] < '0' || word[i] > '7') return false;
        value = value * 8 + (word[i] - '0');
      }
      --i;
      *name += static_cast<char>(value);
    } else {
      return false;
    }
  }
  return true;
}

bool HasControlByte(const std::string& text) {
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7F) return true;
  return false;
}

}  // namespace

TEST(QuotedName, ShellUnquotingGivesTheNameBackForRandomBytes) {
  std::mt19937 random(23);
  for (int round = 0; round < 20000; ++round) {
    std::string name(1 + random() % 12, ' ');
    // Mostly printable, with controls, quotes, backslashes and high bytes.
    const std::string pool = "ab.\\'$ \x1b\n\t\x7f\x01\xc2\x9b\xc3\xa9\xe2\x82\xac\xff\x80";
    for (char& c : name) c = random() % 3 == 0 ? static_cast<char>(1 + random() % 255) : pool[random() % pool.size()];
    const std::string shown = Quoted(name);
    if (shown == name) {
      EXPECT_FALSE(HasControlByte(name)) << shown;
      EXPECT_NE(name.compare(0, 2, "$'"), 0) << shown;
      continue;
    }
    std::string back;
    ASSERT_TRUE(Unquote(shown, &back)) << shown;
    EXPECT_EQ(back, name) << shown;
    EXPECT_FALSE(HasControlByte(shown)) << shown;
    EXPECT_EQ(shown.find("\xc2\x9b"), std::string::npos) << shown;
  }
  for (const char* plain : {"Units\\Footman.mdx", "a b.txt", "caf\xc3\xa9", "it's", "$x", "a$'b"}) {
    EXPECT_EQ(Quoted(plain), plain);
  }
  EXPECT_EQ(Quoted("a\033[31mb.txt"), "$'a\\033[31mb.txt'");
}
