// Stored names that would climb out of the output folder.
#include <gtest/gtest.h>

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
