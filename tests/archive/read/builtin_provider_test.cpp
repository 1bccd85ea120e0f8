#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "archive/read/provider.h"
#include "compression/scomp.h"

// Cross-builds may lack the libraries; the provider then declines their
// methods, and only the checks against the libraries themselves need them.
#if __has_include(<zlib.h>) && __has_include(<bzlib.h>)
#include <bzlib.h>
#include <zlib.h>
#define TAVRIX_TEST_CODEC_HEADERS 1
#endif

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Text(size_t size) {
  static const char* const kWords[] = {"alpha ", "beta ", "gamma\n", "delta ", "sector "};
  std::mt19937 rng(static_cast<uint32_t>(size));
  std::string s;
  while (s.size() < size) s += kWords[rng() % 5];
  return Bytes(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(size));
}

Bytes Random(size_t size) {
  std::mt19937 rng(static_cast<uint32_t>(size) * 3 + 1);
  Bytes out(size);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

Bytes WithMask(uint8_t mask, const uint8_t* data, size_t size) {
  Bytes out(size + 1, mask);
  std::copy(data, data + size, out.begin() + 1);
  return out;
}

// Returns an empty vector when the provider declines (result 0).
Bytes Compress(const Bytes& in, uint32_t mask, uint32_t room) {
  Bytes out(room);
  uint32_t length = room;
  const uint8_t none = 0;
  if (!BuiltinProviderCompress(out.data(), &length, in.empty() ? &none : in.data(),
                               static_cast<uint32_t>(in.size()), mask, 0, 0))
    return {};
  EXPECT_LE(length, room);
  out.resize(length);
  return out;
}

bool Decompress(const Bytes& in, uint32_t room, Bytes* result) {
  Bytes out(room);
  uint32_t length = room;
  if (!BuiltinProviderDecompress(out.data(), &length, in.data(), static_cast<uint32_t>(in.size())))
    return false;
  out.resize(length);
  *result = out;
  return true;
}

bool Supports(uint32_t mask) { return !Compress(Bytes(4096, 'x'), mask, 4096).empty(); }

std::vector<uint32_t> SupportedMasks() {
  std::vector<uint32_t> masks;
  for (uint32_t mask : {0x02u, 0x10u, 0x12u})
    if (Supports(mask)) masks.push_back(mask);
  return masks;
}

TEST(BuiltinProvider, MissingLibrariesOnlyMakeMethodsUnsupported) {
#if defined(TAVRIX_TEST_CODEC_HEADERS)
  // Where the libraries exist the provider must offer both methods, or every
  // other test here would pass without checking anything.
  EXPECT_EQ(SupportedMasks().size(), 3u);
#endif
  for (uint32_t bit : {0x02u, 0x10u}) {
    if (Supports(bit)) continue;
    Bytes back;
    EXPECT_FALSE(Decompress(WithMask(static_cast<uint8_t>(bit), Bytes(40, 1).data(), 40), 400,
                            &back));
  }
}

#if defined(TAVRIX_TEST_CODEC_HEADERS)
TEST(BuiltinProvider, ZlibSectorsAreStandardStreams) {
  const Bytes in = Text(4096);
  const Bytes c = Compress(in, 0x02, 4096);
  ASSERT_FALSE(c.empty());
  EXPECT_EQ(c[0], 0x02);
  Bytes plain(4096);
  uLongf size = plain.size();
  ASSERT_EQ(uncompress(plain.data(), &size, c.data() + 1, c.size() - 1), Z_OK);
  EXPECT_EQ(Bytes(plain.begin(), plain.begin() + static_cast<std::ptrdiff_t>(size)), in);

  // A stream from another writer (best compression) reads too.
  Bytes other(8192);
  uLongf otherSize = other.size();
  ASSERT_EQ(compress2(other.data(), &otherSize, in.data(), in.size(), 9), Z_OK);
  other.resize(otherSize);
  Bytes back;
  ASSERT_TRUE(Decompress(WithMask(0x02, other.data(), other.size()), 4096, &back));
  EXPECT_EQ(back, in);
}

TEST(BuiltinProvider, Bzip2SectorsAreStandardStreams) {
  const Bytes in = Text(3000);
  const Bytes c = Compress(in, 0x10, 3000);
  ASSERT_FALSE(c.empty());
  EXPECT_EQ(c[0], 0x10);
  Bytes plain(3000);
  unsigned int size = 3000;
  ASSERT_EQ(BZ2_bzBuffToBuffDecompress(reinterpret_cast<char*>(plain.data()), &size,
                                       reinterpret_cast<char*>(const_cast<uint8_t*>(c.data() + 1)),
                                       static_cast<unsigned>(c.size() - 1), 0, 0),
            BZ_OK);
  plain.resize(size);
  EXPECT_EQ(plain, in);
}

TEST(BuiltinProvider, BothMethodsUndoBzip2ThenZlib) {
  // A long run shrinks once more under bzip2 after zlib.
  const Bytes in(60000, 'x');
  Bytes inner(70000);
  uLongf innerSize = inner.size();
  ASSERT_EQ(compress2(inner.data(), &innerSize, in.data(), in.size(), 0), Z_OK);  // stored
  Bytes outer(70000);
  unsigned int outerSize = 70000;
  ASSERT_EQ(BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(outer.data()), &outerSize,
                                     reinterpret_cast<char*>(inner.data()),
                                     static_cast<unsigned>(innerSize), 9, 0, 0),
            BZ_OK);
  const Bytes sector = WithMask(0x12, outer.data(), outerSize);
  Bytes back;
  ASSERT_TRUE(Decompress(sector, 60000, &back));
  EXPECT_EQ(back, in);

  const Bytes c = Compress(in, 0x12, 60000);
  ASSERT_FALSE(c.empty());
  ASSERT_TRUE(Decompress(c, 60000, &back));
  EXPECT_EQ(back, in);
}

#endif

TEST(BuiltinProvider, RoundTrips) {
  for (size_t size : {3u, 64u, 515u, 518u, 4095u, 4096u, 4097u, 70000u}) {
    const Bytes inputs[] = {Text(size), Bytes(size, 0x5A)};
    for (const Bytes& in : inputs) {
      for (uint32_t mask : SupportedMasks()) {
        SCOPED_TRACE(testing::Message() << "size " << size << " mask " << mask);
        const Bytes c = Compress(in, mask, static_cast<uint32_t>(size));
        if (c.empty()) continue;  // too small to pay
        EXPECT_LE(c.size() + 1, in.size());
        EXPECT_EQ(c[0] & ~mask, 0u);
        Bytes back;
        ASSERT_TRUE(Decompress(c, static_cast<uint32_t>(size), &back));
        EXPECT_EQ(back, in);
      }
    }
  }
  // bzip2 seldom shrinks a zlib stream, so it is dropped and zlib kept.
  if (Supports(0x12)) {
    EXPECT_EQ(Compress(Text(70000), 0x12, 70000)[0], 0x02);
  }
}

TEST(BuiltinProvider, DeclinesWhatDoesNotPay) {
  for (uint32_t mask : SupportedMasks()) {
    EXPECT_TRUE(Compress(Random(4096), mask, 4096).empty());
    EXPECT_TRUE(Compress(Bytes{1, 2}, mask, 16).empty());
    // A result that would not fit the caller's capacity is declined, never cut.
    const Bytes in = Text(4096);
    const size_t fits = Compress(in, mask, 4096).size();
    ASSERT_GT(fits, 0u);
    EXPECT_TRUE(Compress(in, mask, static_cast<uint32_t>(fits - 1)).empty());
    EXPECT_EQ(Compress(in, mask, static_cast<uint32_t>(fits)).size(), fits);
  }
}

TEST(BuiltinProvider, ForeignBitsAreNotItsBusiness) {
  const Bytes in = Text(2000);
  for (uint32_t mask : {0x00u, 0x01u, 0x08u, 0x0Au, 0x20u, 0x102u})
    EXPECT_TRUE(Compress(in, mask, 2000).empty()) << mask;

  Bytes c = WithMask(0x0A, in.data(), 1000);
  Bytes back;
  EXPECT_FALSE(Decompress(c, 2000, &back));
  // The dispatch refuses the mix as well: neither side undoes it.
  Bytes out(2000);
  uint32_t length = 2000;
  EXPECT_FALSE(DecompressSector(out.data(), &length, c.data(), static_cast<uint32_t>(c.size())));
}

TEST(BuiltinProvider, BrokenStreamsFail) {
  const Bytes in = Text(4096);
  for (uint32_t mask : SupportedMasks()) {
    const Bytes c = Compress(in, mask, 4096);
    ASSERT_FALSE(c.empty());
    Bytes back;
    Bytes flipped = c;
    flipped[c.size() / 2] ^= 0x55;
    EXPECT_FALSE(Decompress(flipped, 4096, &back)) << mask;
    const Bytes cut(c.begin(), c.end() - 5);
    EXPECT_FALSE(Decompress(cut, 4096, &back)) << mask;
    // Data larger than the room never spills over it.
    EXPECT_FALSE(Decompress(c, 4000, &back)) << mask;
  }
}

TEST(BuiltinProvider, PlainAndInPlaceSectors) {
  const Bytes in = Text(4096);
  Bytes back;
  ASSERT_TRUE(Decompress(in, 4096, &back));
  EXPECT_EQ(back, in);

  for (uint32_t mask : SupportedMasks()) {
    Bytes buf = in;
    uint32_t length = 4096;
    ASSERT_TRUE(BuiltinProviderCompress(buf.data(), &length, buf.data(), 4096, mask, 0, 0));
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + length), Compress(in, mask, 4096));
    const uint32_t stored = length;
    length = 4096;
    ASSERT_TRUE(BuiltinProviderDecompress(buf.data(), &length, buf.data(), stored));
    EXPECT_EQ(length, 4096u);
    EXPECT_EQ(buf, in);
  }
}

}  // namespace
