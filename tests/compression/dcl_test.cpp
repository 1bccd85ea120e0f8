// The DCL code tables and the decoder.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/compression/dcl_support.h"

namespace {

using namespace dcltest;

// Applies tokens naively to a zero history, as a decoder must.
Bytes Apply(const std::vector<Token>& tokens) {
  Bytes out;
  for (const Token& t : tokens) {
    if (t.length == 0) {
      out.push_back(t.literal);
      continue;
    }
    for (uint32_t k = 0; k < t.length; ++k) {
      out.push_back(out.size() >= t.distance ? out[out.size() - t.distance] : 0);
    }
  }
  return out;
}

Token Lit(uint8_t b) { return {0, 0, b}; }
Token Rep(uint32_t length, uint32_t distance) { return {length, distance, 0}; }

template <size_t N, typename V>
void ExpectCompletePrefixCode(const std::array<uint8_t, N>& lengths, const std::array<V, N>& values) {
  // Kraft sum exactly 1, counted in units of 2^-16.
  uint32_t kraft = 0;
  for (uint8_t len : lengths) kraft += 1u << (16 - len);
  EXPECT_EQ(kraft, 1u << 16);
  for (size_t a = 0; a < N; ++a) {
    EXPECT_LT(values[a], 1u << lengths[a]) << a;
    for (size_t b = 0; b < N; ++b) {
      if (a == b || lengths[a] > lengths[b]) continue;
      const uint32_t mask = (1u << lengths[a]) - 1;
      EXPECT_NE(values[a], values[b] & mask) << a << " is a prefix of " << b;
    }
  }
}

TEST(DclTables, ValuesFollowTheCodeRule) {
  const std::array<uint8_t, 16> lenValues = {0x05, 0x03, 0x01, 0x06, 0x0A, 0x02, 0x0C, 0x14,
                                             0x04, 0x18, 0x08, 0x30, 0x10, 0x20, 0x40, 0x00};
  EXPECT_EQ(LenCodeValues, lenValues);
  const std::array<uint16_t, 16> bases = {0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 14, 22, 38, 70, 134, 262};
  EXPECT_EQ(LenBaseValues, bases);
  for (uint32_t i = 0; i < 15; ++i) {
    EXPECT_EQ(LenBaseValues[i] + (1u << LenExtraBits[i]), LenBaseValues[i + 1]) << i;
  }

  for (uint32_t i = 0; i < 64; ++i) {
    const uint32_t expected = i == 0 ? 2 : i <= 2 ? 4 : i <= 6 ? 5 : i <= 21 ? 6 : i <= 47 ? 7 : 8;
    EXPECT_EQ(DistCodeLengths[i], expected) << i;
  }
  const uint8_t distFirst[] = {0x03, 0x0D, 0x05, 0x19, 0x09, 0x11, 0x01, 0x3E, 0x1E, 0x2E};
  for (uint32_t i = 0; i < 10; ++i) EXPECT_EQ(DistCodeValues[i], distFirst[i]) << i;
  const uint8_t distLast[] = {0xC0, 0x40, 0x80, 0x00};
  for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(DistCodeValues[60 + i], distLast[i]) << i;

  struct Check {
    uint8_t byte;
    uint8_t length;
    uint16_t value;
  };
  for (const Check& c : {Check{0x20, 4, 0x000F}, Check{0x45, 5, 0x0017}, Check{0x65, 5, 0x001B},
                         Check{0x00, 11, 0x0490}, Check{0xFF, 13, 0x0000},
                         Check{0x80, 13, 0x0240}}) {
    EXPECT_EQ(AsciiCodeLengths[c.byte], c.length) << int(c.byte);
    EXPECT_EQ(AsciiCodeValues[c.byte], c.value) << int(c.byte);
  }

  ExpectCompletePrefixCode(LenCodeLengths, LenCodeValues);
  ExpectCompletePrefixCode(DistCodeLengths, DistCodeValues);
  ExpectCompletePrefixCode(AsciiCodeLengths, AsciiCodeValues);
}

TEST(Explode, HeaderFaultsFailBeforeAnyOutput) {
  for (size_t n = 0; n <= 4; ++n) {
    const ExplodeRun r = RunExplode(Bytes(n, 0x04));
    EXPECT_EQ(r.result, DCL_ERR_SHORT_INPUT) << n;
    EXPECT_TRUE(r.writeSizes.empty());
  }
  // The dictionary byte is judged before the type byte.
  EXPECT_EQ(RunExplode({2, 7, 0, 0, 0}).result, DCL_ERR_DICT_SIZE);
  EXPECT_EQ(RunExplode({0, 3, 0, 0, 0}).result, DCL_ERR_DICT_SIZE);
  const ExplodeRun badType = RunExplode({2, 4, 0, 0, 0});
  EXPECT_EQ(badType.result, DCL_ERR_TYPE);
  EXPECT_TRUE(badType.writeSizes.empty());
}

TEST(Explode, DecodesHandBuiltStreams) {
  struct Case {
    uint32_t type, dictBits;
    std::vector<Token> tokens;
  };
  const std::vector<Case> cases = {
      // Distance 1 repeats the last byte.
      {DCL_BINARY, 4, {Lit('A'), Rep(10, 1)}},
      // Length-2 repetitions carry 2 low distance bits whatever the dictionary;
      // longer ones carry dictBits bits, up to the dictionary's reach.
      {DCL_BINARY, 6, {Lit('x'), Lit('y'), Lit('z'), Rep(2, 3), Rep(3, 5), Rep(2, 1), Rep(518, 7)}},
      {DCL_BINARY, 4, {Lit(1), Rep(300, 1), Lit(2), Rep(2, 256), Rep(40, 1024), Rep(2, 255)}},
      {DCL_BINARY, 5, {Lit(9), Rep(518, 1), Rep(518, 2), Rep(12, 2048), Rep(264, 17)}},
      {DCL_BINARY, 6, {Lit(7), Rep(518, 1), Rep(518, 1), Rep(518, 1), Rep(518, 1), Rep(518, 1),
                       Rep(518, 1), Rep(518, 1), Rep(518, 1), Lit(8), Rep(100, 4096)}},
      // Reaching back before the first byte copies zeros.
      {DCL_BINARY, 6, {Rep(5, 100), Lit(3), Rep(20, 4000)}},
  };
  for (const Case& c : cases) {
    const Bytes stream = EncodeTokens(c.tokens, c.type, c.dictBits);
    Work dirty(EXPLODE_WORK_SIZE, 0xEE);
    const ExplodeRun r = RunExplode(stream, dirty.get());
    EXPECT_EQ(r.result, DCL_OK);
    EXPECT_EQ(r.data, Apply(c.tokens));
  }

  // Every byte value in text mode, including the 11- to 13-bit codes.
  std::vector<Token> all;
  for (uint32_t b = 0; b < 256; ++b) all.push_back(Lit(static_cast<uint8_t>(b)));
  all.push_back(Rep(30, 200));
  const ExplodeRun text = RunExplode(EncodeTokens(all, DCL_ASCII, 5));
  EXPECT_EQ(text.result, DCL_OK);
  EXPECT_EQ(text.data, Apply(all));
}

TEST(Explode, EndMarkerInTheLastBitsAndCutStreams) {
  // Eight binary literals and the end marker fill exactly 11 bytes after the header.
  std::vector<Token> tokens;
  for (uint8_t b = 1; b <= 8; ++b) tokens.push_back(Lit(b));
  Bytes stream = EncodeTokens(tokens, DCL_BINARY, 6);
  ASSERT_EQ(stream.size(), 13u);
  ExplodeRun r = RunExplode(stream);
  EXPECT_EQ(r.result, DCL_OK);
  EXPECT_EQ(r.data, Apply(tokens));

  // Without the marker's last byte every literal still arrives, with result 4.
  stream.pop_back();
  r = RunExplode(stream);
  EXPECT_EQ(r.result, DCL_ERR_DATA);
  EXPECT_EQ(r.data, Apply(tokens));

  // A long stream cut anywhere stops with what was decoded so far.
  const Bytes data = MakeData(Kind::Text, 20000, 5);
  const ImplodeRun full = RunImplode(data, DCL_ASCII, 2048);
  for (size_t cut = 5; cut < full.stream.size(); cut += 97) {
    const Bytes part(full.stream.begin(), full.stream.begin() + cut);
    const ExplodeRun p = RunExplode(part, nullptr, 300);
    EXPECT_EQ(p.result, DCL_ERR_DATA) << cut;
    ASSERT_LE(p.data.size(), data.size());
    EXPECT_TRUE(std::equal(p.data.begin(), p.data.end(), data.begin())) << cut;
  }
}

TEST(Explode, WritesWholeBlocksThenTheRest) {
  const std::vector<Token> tokens = {Lit(0x55), Rep(518, 1), Rep(518, 1), Rep(518, 1),
                                     Rep(518, 1), Rep(518, 1), Rep(518, 1), Rep(518, 1),
                                     Rep(469, 1)};
  const Bytes stream = EncodeTokens(tokens, DCL_BINARY, 4);
  ExplodeRun r = RunExplode(stream);
  ASSERT_EQ(r.data.size(), 4096u);
  EXPECT_EQ(r.writeSizes, (std::vector<uint32_t>{4096, 0}));

  // Input fed in the smallest pieces that pass the first read's check.
  const Bytes data = MakeData(Kind::Binary, 9000, 2);
  const ImplodeRun im = RunImplode(data, DCL_BINARY, 1024);
  r = RunExplode(im.stream, nullptr, 5);
  EXPECT_EQ(r.result, DCL_OK);
  EXPECT_EQ(r.data, data);
  EXPECT_EQ(r.writeSizes, (std::vector<uint32_t>{4096, 4096, 808}));
}

TEST(Explode, CorruptStreamsStopCleanly) {
  Lcg rng{77};
  const Bytes data = MakeData(Kind::Text, 6000, 9);
  const Bytes good = RunImplode(data, DCL_ASCII, 4096).stream;
  Work dirty(EXPLODE_WORK_SIZE);
  for (int round = 0; round < 400; ++round) {
    Bytes s;
    if (round % 2 == 0) {
      // Random bodies behind valid headers.
      s.resize(5 + rng.Next() % 3000);
      for (uint8_t& b : s) b = static_cast<uint8_t>(rng.Next());
      s[0] = static_cast<uint8_t>(rng.Next() % 2);
      s[1] = static_cast<uint8_t>(4 + rng.Next() % 3);
    } else {
      // A valid stream with a few flipped bits.
      s = good;
      for (int k = 0; k < 3; ++k) {
        const uint32_t bit = 16 + rng.Next() % ((s.size() - 2) * 8);
        s[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
      }
    }
    const ExplodeRun r = RunExplode(s, nullptr, 5 + rng.Next() % 2044);
    EXPECT_TRUE(r.result == DCL_OK || r.result == DCL_ERR_DATA) << round;
    // Reusing a work area does not change what comes out.
    const ExplodeRun again = RunExplode(s, dirty.get());
    EXPECT_EQ(again.result, r.result);
    EXPECT_EQ(again.data, r.data);
  }
}

}  // namespace
