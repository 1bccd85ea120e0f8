#include "compression/huffman.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// A small generator of our own so that the expected streams below can be
// reproduced outside this program.
struct Lcg {
  uint32_t s;
  uint32_t operator()() {
    s = s * 1103515245u + 12345u;
    return s >> 16;
  }
};

Bytes Text(size_t n, uint32_t seed) {
  static const char* const kWords[16] = {"the",  "archive", "sector", "stream", "of", "a",
                                         "tree", "weight",  "and",    "file",   "is", "to",
                                         "in",   "block",   "table",  "name"};
  Lcg r{seed};
  std::string s;
  for (int k = 1; s.size() < n; ++k) {
    s += kWords[r() % 16];
    s += k % 11 == 0 ? "\r\n" : (k % 7 == 0 ? ". " : " ");
  }
  return Bytes(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
}

// Records: a counter, a small number, a few flag-like bytes.
Bytes Binary(size_t n, uint32_t seed) {
  static const uint8_t kFlags[4] = {0x10, 0x20, 0x00, 0xFF};
  Lcg r{seed};
  Bytes out;
  for (uint32_t i = 0; out.size() < n; ++i) {
    const uint32_t small = r() % 300;
    for (int k = 0; k < 4; ++k) out.push_back(static_cast<uint8_t>(i >> (8 * k)));
    for (int k = 0; k < 4; ++k) out.push_back(static_cast<uint8_t>(small >> (8 * k)));
    for (int k = 0; k < 8; ++k) out.push_back(kFlags[r() % 4]);
  }
  out.resize(n);
  return out;
}

// 16-bit samples of a triangle wave with a little noise.
Bytes Wav(size_t n, uint32_t seed) {
  Lcg r{seed};
  Bytes out;
  for (int i = 0; out.size() < n; ++i) {
    const int ph = i % 160;
    const int s = (ph < 80 ? ph * 200 : (160 - ph) * 200) - 8000 + static_cast<int>(r() % 64) - 32;
    out.push_back(static_cast<uint8_t>(s & 0xFF));
    out.push_back(static_cast<uint8_t>((s >> 8) & 0xFF));
  }
  out.resize(n);
  return out;
}

Bytes Random(size_t n, uint32_t seed) {
  Lcg r{seed};
  Bytes out(n);
  for (auto& b : out) b = static_cast<uint8_t>(r());
  return out;
}

uint32_t Fnv1a(const Bytes& b) {
  uint32_t h = 0x811C9DC5u;
  for (uint8_t x : b) h = (h ^ x) * 0x01000193u;
  return h;
}

constexpr uint8_t kGuard = 0xEE;
constexpr size_t kGuardBytes = 64;

// Room given as capacity; the bytes after it must stay untouched.
Bytes Compress(const Bytes& in, uint32_t type, uint32_t room) {
  Bytes out(room + kGuardBytes, kGuard);
  uint32_t size = room;
  HuffmanCompress(out.data(), &size, in.data(), static_cast<uint32_t>(in.size()), type);
  for (size_t i = room; i < out.size(); ++i)
    EXPECT_EQ(out[i], kGuard) << "write past room at " << i;
  EXPECT_LE(size, room);
  out.resize(size);
  return out;
}

Bytes Compress(const Bytes& in, uint32_t type) {
  return Compress(in, type, static_cast<uint32_t>(in.size() * 2 + 16));
}

// The stream sits in a buffer of exactly its size, so a read past it trips
// the address sanitizer.
Bytes Decompress(const Bytes& stream, uint32_t room) {
  const std::vector<uint8_t> exact(stream);
  Bytes out(room + kGuardBytes, kGuard);
  uint32_t size = room;
  HuffmanDecompress(out.data(), &size, exact.empty() ? nullptr : exact.data(),
                    static_cast<uint32_t>(exact.size()));
  for (size_t i = room; i < out.size(); ++i)
    EXPECT_EQ(out[i], kGuard) << "write past room at " << i;
  EXPECT_LE(size, room);
  out.resize(size);
  return out;
}

bool IsPrefix(const Bytes& part, const Bytes& whole) {
  return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

TEST(Huffman, EmptyInputIsTypeByteAndEndCode) {
  const Bytes expected[9] = {{0x00, 0x04},       {0x01, 0x31, 0x02}, {0x02, 0xE5, 0x02},
                             {0x03, 0x95, 0x03}, {0x04, 0xAE},       {0x05, 0xCF, 0x08},
                             {0x06, 0xA6},       {0x07, 0xA5, 0x02}, {0x08, 0x51, 0x05}};
  for (uint32_t type = 0; type <= 8; ++type) {
    const Bytes stream = Compress({}, type, 16);
    EXPECT_EQ(stream, expected[type]) << "type " << type;
    EXPECT_TRUE(Decompress(stream, 100).empty());
  }
}

TEST(Huffman, TypeZeroEscapesEveryNewByteOnce) {
  // Byte 0x41 has no leaf in type 0: the escape code 000, then the byte
  // as 8 plain bits, then the end code of the grown tree.
  EXPECT_EQ(Compress({0x41}, 0), (Bytes{0x00, 0x08, 0x32}));
  // Bytes 0 and 255 start with leaves and need no escape: "00 FF" codes in
  // fewer bits than one escape.
  EXPECT_EQ(Compress({0x00, 0xFF}, 0).size(), 2u);
  // The second occurrence of a byte uses its own, shorter code.
  EXPECT_EQ(Compress({0x41, 0x41}, 0), (Bytes{0x00, 0x08, 0x92, 0x01}));
  EXPECT_EQ(Decompress({0x00, 0x08, 0x92, 0x01}, 10), (Bytes{0x41, 0x41}));
}

TEST(Huffman, ByteExactStreams) {
  // Short stream in full: type 4 covers only bytes 0 to 15, so text is all
  // escapes and insertions.
  const Bytes text = Text(40, 5);
  ASSERT_EQ(std::string(text.begin(), text.end()), "name file and a archive in and. stream i");
  const Bytes expected = {0x04, 0x2E, 0x6E, 0xAE, 0xC3, 0x7C, 0x6B, 0xF3, 0xB9, 0xCC, 0x77, 0x20,
                          0xBE, 0x36, 0xF3, 0x59, 0x9A, 0xC5, 0x6C, 0xD6, 0xAC, 0x58, 0xB4, 0x6A,
                          0x3D, 0xB2, 0x24, 0x09, 0x93, 0x24, 0x4C, 0xB6, 0x5C, 0xD2, 0xC6, 0xD2,
                          0x8C, 0x96, 0x21, 0x73, 0x76, 0xD9, 0x67, 0x9D, 0x21, 0xDB, 0xAC, 0x33,
                          0x66, 0x9B, 0x4D, 0xA6, 0x5D, 0xAE, 0xBE, 0xD8, 0xDC, 0x85, 0xE9, 0xAE,
                          0xBA, 0xF0, 0xD2, 0x2B, 0xAF, 0xBE, 0xF8, 0xFA, 0x01};
  EXPECT_EQ(Compress(text, 4), expected);

  // Longer streams by length and hash, every type over every kind of data.
  struct Expect {
    uint32_t size;
    uint32_t hash;
  };
  const Expect table[4][9] = {
      {{553, 0x50C851A5},
       {910, 0xCE9CAF0B},
       {573, 0xDA825032},
       {956, 0xEDFC17D3},
       {1195, 0x6C9686F5},
       {1278, 0x31A0BA99},
       {1349, 0x446F4C59},
       {1433, 0x471AC452},
       {1505, 0x74A37536}},
      {{450, 0xD19EEFD1},
       {624, 0xDA7F079C},
       {1085, 0x407AAA32},
       {541, 0x2BAA39B5},
       {853, 0xC3B01E7F},
       {771, 0x22DFF870},
       {983, 0x0B201268},
       {1073, 0x1ADCF764},
       {1045, 0x82B2C192}},
      {{1173, 0x84D4EBFD},
       {1069, 0xD388936C},
       {1309, 0x17A03ECD},
       {1117, 0xA854953F},
       {1390, 0x4D005387},
       {1361, 0x058293B5},
       {1485, 0x73A78B05},
       {1516, 0xB8FA1507},
       {1465, 0x53519CC0}},
      {{1245, 0x016BD83F},
       {1088, 0xF2B89B9F},
       {1319, 0x867BA9DA},
       {1121, 0x8E400DB6},
       {1483, 0x913598C8},
       {1479, 0xBB627EAA},
       {1532, 0xDA11A602},
       {1564, 0x68B10626},
       {1550, 0x2E77BF19}},
  };
  const Bytes inputs[4] = {Text(1000, 5), Binary(1000, 5), Wav(1000, 5), Random(1000, 5)};
  for (int k = 0; k < 4; ++k) {
    for (uint32_t type = 0; type <= 8; ++type) {
      const Bytes stream = Compress(inputs[k], type);
      EXPECT_EQ(stream.size(), table[k][type].size) << "input " << k << " type " << type;
      EXPECT_EQ(Fnv1a(stream), table[k][type].hash) << "input " << k << " type " << type;
    }
  }
}

TEST(Huffman, OnlyTheLowEightBitsOfTheTypeCount) {
  const Bytes in = Text(300, 1);
  EXPECT_EQ(Compress(in, 0x107), Compress(in, 7));
  // Types without a weight table are refused: nothing is written.
  EXPECT_TRUE(Compress(in, 9).empty());
  EXPECT_TRUE(Compress(in, 0x1FF).empty());
}

TEST(Huffman, RoundTripsEveryTypeKindAndSize) {
  const uint32_t sizes[] = {0, 1, 2, 515, 516, 517, 518, 4095, 4096, 4097, 8192 + 600, 70000};
  for (uint32_t size : sizes) {
    const Bytes inputs[4] = {Text(size, size), Binary(size, size + 1), Wav(size, size + 2),
                             Random(size, size + 3)};
    for (const Bytes& in : inputs) {
      for (uint32_t type = 0; type <= 8; ++type) {
        const Bytes stream = Compress(in, type);
        ASSERT_EQ(Decompress(stream, size + 100), in) << "size " << size << " type " << type;
      }
    }
  }
}

TEST(Huffman, RoundTripsWhenEveryByteValueArrives) {
  // All 256 values in a shuffled order: type 0 and type 4 then insert almost
  // every byte, filling the node pool to the last node.
  Bytes in(256);
  for (int i = 0; i < 256; ++i) in[static_cast<size_t>(i)] = static_cast<uint8_t>(i * 167 + 13);
  Bytes twice = in;
  twice.insert(twice.end(), in.rbegin(), in.rend());
  for (uint32_t type = 0; type <= 8; ++type) {
    EXPECT_EQ(Decompress(Compress(twice, type), 1000), twice) << "type " << type;
  }
}

TEST(Huffman, CompressIntoTooSmallRoomReportsTheRoom) {
  const Bytes in = Random(3000, 9);
  const Bytes full = Compress(in, 0);
  for (uint32_t room : {0u, 1u, 2u, 100u, 2999u, static_cast<uint32_t>(full.size() - 1)}) {
    const Bytes part = Compress(in, 0, room);
    EXPECT_EQ(part.size(), room);
    EXPECT_TRUE(IsPrefix(part, full)) << "room " << room;
  }
  EXPECT_EQ(Compress(in, 0, static_cast<uint32_t>(full.size())), full);
}

TEST(Huffman, DecompressStopsWhenTheOutputIsFull) {
  const Bytes in = Text(2000, 3);
  for (uint32_t type : {0u, 2u, 4u}) {
    const Bytes stream = Compress(in, type);
    for (uint32_t room : {1u, 2u, 517u, 1999u}) {
      EXPECT_EQ(Decompress(stream, room), Bytes(in.begin(), in.begin() + room));
    }
  }
  // No room: nothing is read, not even the type byte.
  uint8_t out[4];
  uint32_t size = 0;
  HuffmanDecompress(out, &size, nullptr, 100);
  EXPECT_EQ(size, 0u);
}

TEST(Huffman, TruncatedStreamsYieldAPrefixAndNeverReadPastTheInput) {
  const Bytes inputs[2] = {Text(600, 4), Random(600, 4)};
  for (const Bytes& in : inputs) {
    for (uint32_t type : {0u, 1u, 5u, 8u}) {
      const Bytes stream = Compress(in, type);
      size_t last = 0;
      for (size_t cut = 0; cut < stream.size(); ++cut) {
        const Bytes got = Decompress(
            Bytes(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(cut)), 700);
        ASSERT_TRUE(IsPrefix(got, in)) << "cut " << cut;
        EXPECT_GE(got.size(), last);
        last = got.size();
      }
    }
  }
}

TEST(Huffman, CorruptStreamsAreRejected) {
  // No weight table for these types.
  for (uint8_t type : {9, 0x80, 0xFF}) {
    Bytes stream = Compress(Text(100, 1), 0);
    stream[0] = type;
    EXPECT_TRUE(Decompress(stream, 200).empty()) << "type " << int(type);
  }
  // Type 0: the escape code 000, then byte 0, which has a leaf from the start.
  EXPECT_TRUE(Decompress({0x00, 0x00, 0x00, 0x00}, 100).empty());
  // "41 42" in type 0 sends 0x42 through a second escape at bits 23 to 30;
  // turned into 0x41, which has a leaf by then, the whole stream is refused.
  EXPECT_EQ(Decompress({0x00, 0x08, 0x72, 0x21, 0x06}, 10), (Bytes{0x41, 0x42}));
  EXPECT_TRUE(Decompress({0x00, 0x08, 0xF2, 0x20, 0x06}, 10).empty());
}

TEST(Huffman, GarbageStreamsEndCleanly) {
  Lcg r{77};
  for (int round = 0; round < 3000; ++round) {
    Bytes stream(1 + r() % 200);
    for (auto& b : stream) b = static_cast<uint8_t>(r());
    stream[0] = static_cast<uint8_t>(r() % 9);
    const uint32_t room = r() % 3 == 0 ? 5000 : r() % 64;
    Decompress(stream, room);  // bounds are checked inside
  }
}

}  // namespace
