// The report's own printf against the C library's, over random formats: the
// crash path formats without the C library, and must still write what it
// would have.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "diagnostics/report_internal.h"

namespace {

std::string Ours(size_t size, const char* format, ...) {
  std::string out(size + 8, '#');
  va_list args;
  va_start(args, format);
  const size_t length = report::FormatTextV(size == 0 ? nullptr : out.data(), size, format, args);
  va_end(args);
  return std::to_string(length) + ":" + (size == 0 ? std::string() : std::string(out.c_str()));
}

std::string Theirs(size_t size, const char* format, ...) {
  std::string out(size + 8, '#');
  va_list args;
  va_start(args, format);
  const int length = vsnprintf(size == 0 ? nullptr : out.data(), size, format, args);
  va_end(args);
  return std::to_string(length) + ":" + (size == 0 ? std::string() : std::string(out.c_str()));
}

}  // namespace

TEST(ReportTextFormat, MatchesTheCLibraryOverRandomFormats) {
  std::mt19937_64 random(20040303);
  const char* const flagSets[] = {"", "-", "0", "+", " ", "#", "-+", "0#", "- ", "0+", "-0"};
  const char* const texts[] = {"", "x", "crash_child", "a longer piece of text, with spaces"};
  for (int round = 0; round < 20000; ++round) {
    const int kind = static_cast<int>(random() % 10);
    // Flags only where the C standard gives them a meaning (C libraries
    // differ on the rest): signs for signed conversions, # for octal and hex.
    std::string flags = flagSets[random() % (sizeof flagSets / sizeof *flagSets)];
    const bool isSigned = kind <= 1 || kind == 6;
    const bool isHexOrOctal = kind >= 3 && kind <= 5;
    std::erase_if(flags, [&](char f) { return ((f == '+' || f == ' ') && !isSigned) || (f == '#' && !isHexOrOctal); });
    std::string directive = "<%" + flags;
    const bool starWidth = random() % 8 == 0;
    const int width = static_cast<int>(random() % 24) - (starWidth ? 12 : 0);
    if (starWidth) directive += "*";
    else if (random() % 2 == 0) directive += std::to_string(width);
    const bool starPrecision = random() % 8 == 0;
    const int precision = static_cast<int>(random() % 20) - (starPrecision ? 5 : 0);
    if (starPrecision) directive += ".*";
    else if (random() % 3 == 0) directive += "." + std::to_string(precision);
    const uint64_t bits = random() >> (random() % 64);
    const size_t size = random() % 4 == 0 ? random() % 12 : 256;
    std::string format;
    std::string ours;
    std::string theirs;
    // Each conversion with a length that matches its argument.
    auto check = [&](const char* conversion, auto value) {
      format = directive + conversion + ">";
      const char* f = format.c_str();
      if (starWidth && starPrecision) {
        ours = Ours(size, f, width, precision, value);
        theirs = Theirs(size, f, width, precision, value);
      } else if (starWidth) {
        ours = Ours(size, f, width, value);
        theirs = Theirs(size, f, width, value);
      } else if (starPrecision) {
        ours = Ours(size, f, precision, value);
        theirs = Theirs(size, f, precision, value);
      } else {
        ours = Ours(size, f, value);
        theirs = Theirs(size, f, value);
      }
    };
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
    switch (kind) {
      case 0: check("d", static_cast<int>(bits)); break;
      case 1: check("lld", static_cast<long long>(bits)); break;
      case 2: check("u", static_cast<unsigned>(bits)); break;
      case 3: check("X", static_cast<unsigned>(bits)); break;
      case 4: check("llx", static_cast<unsigned long long>(bits)); break;
      case 5: check("o", static_cast<unsigned>(bits)); break;
      case 6: check("hhd", static_cast<int>(bits)); break;
      case 7: check("zu", static_cast<size_t>(bits)); break;
      case 8: check("s", texts[bits % 4]); break;
      default: check("c", static_cast<int>('A' + bits % 26)); break;
    }
#pragma GCC diagnostic pop
    ASSERT_EQ(ours, theirs) << "format " << format << " size " << size;
  }
}

TEST(ReportTextFormat, EdgesOfTheFormat) {
  EXPECT_EQ(Ours(64, "100%% %s", "done"), "9:100% done");
  EXPECT_EQ(Ours(64, "%s", static_cast<const char*>(nullptr)), "6:(null)");
  EXPECT_EQ(Ours(64, "%lld|%d", static_cast<long long>(INT64_MIN), INT32_MIN),
            Theirs(64, "%lld|%d", static_cast<long long>(INT64_MIN), INT32_MIN));
  EXPECT_EQ(Ours(64, "%p", static_cast<void*>(nullptr)), "5:(nil)");
  EXPECT_EQ(Ours(64, "%p", reinterpret_cast<void*>(0x1234)), "6:0x1234");
  EXPECT_EQ(Ours(64, "a%"), "1:a");  // a lone % at the end is dropped
  // A huge width is cut, not followed.
  EXPECT_EQ(Ours(8, "%999999999d", 1).substr(0, 5), "4096:");
}
