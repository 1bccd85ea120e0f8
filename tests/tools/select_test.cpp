// Name patterns against an independent model: each pattern translated into
// a regular expression, over random names and patterns from a small
// alphabet that makes separators, case and sets collide often.
#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <regex>
#include <string>

#include "select.h"

namespace {

// The pattern rule written as a regular expression over names whose
// separators are '\', matched without regard to case.
std::string ToRegex(const std::string& p) {
  std::string re;
  for (size_t i = 0; i < p.size(); ++i) {
    const char c = p[i];
    if (c == '*' && i + 1 < p.size() && p[i + 1] == '*') {
      while (i + 1 < p.size() && p[i + 1] == '*') ++i;
      if (i + 1 < p.size() && (p[i + 1] == '/' || p[i + 1] == '\\')) {
        re += "(.*\\\\)?";
        ++i;
      } else {
        re += ".*";
      }
    } else if (c == '*') {
      re += "[^\\\\]*";
    } else if (c == '?') {
      re += "[^\\\\]";
    } else if (c == '[' && p.find(']', i + 2) != std::string::npos) {
      size_t j = i + 1;
      std::string set = "[";
      if (p[j] == '!' || p[j] == '^') {
        set += '^';
        ++j;
      }
      const size_t end = p.find(']', j + (p[j] == ']' ? 1 : 0));
      if (end == std::string::npos) {
        re += "\\[";
        continue;
      }
      for (; j < end; ++j) {
        const bool range = p[j] == '-' && j > i + 1 && j + 1 < end;
        set += std::isalnum(static_cast<unsigned char>(p[j])) || range ? std::string(1, p[j])
                                                                          : std::string("\\") + p[j];
      }
      // A set never matches a separator.
      re += "(?!\\\\)" + set + "]";
      i = end;
    } else if (c == '/' || c == '\\') {
      re += "\\\\";
    } else if (std::string(".()+|^$[]{}").find(c) != std::string::npos) {
      re += std::string("\\") + c;
    } else {
      re += c;
    }
  }
  return re;
}

TEST(SelectTest, PatternsAgreeWithTheModel) {
  std::mt19937 rng(7);
  const std::string nameChars = "abAB.\\x";
  const std::vector<std::string> pieces = {"a", "b", "A", ".", "*", "**", "?", "[ab]", "[!a]", "[A-b]",
                                           "/", "\\", "x", "[", "**/", "*.x"};
  int matched = 0;
  for (int round = 0; round < 40000; ++round) {
    std::string name;
    for (int n = rng() % 9; n > 0; --n) name += nameChars[rng() % nameChars.size()];
    std::string pattern;
    for (int n = 1 + rng() % 5; n > 0; --n) pattern += pieces[rng() % pieces.size()];
    std::regex model;
    try {
      model = std::regex(ToRegex(pattern), std::regex::icase | std::regex::ECMAScript);
    } catch (const std::regex_error&) {
      FAIL() << "the model cannot take " << pattern << " as " << ToRegex(pattern);
    }
    const bool expected = std::regex_match(name, model);
    ASSERT_EQ(sorvane::MatchPattern(pattern, name), expected) << "pattern " << pattern << " name " << name
                                                               << " regex " << ToRegex(pattern);
    matched += expected;
  }
  EXPECT_GT(matched, 2000);  // the alphabet makes matches common enough to test both ways
}

}  // namespace
