// Reading stored files: positions, sectors, keys, the BN3 per-file header,
// OVERLAPPED, positioning, and the refusal of corrupt or undecodable data.
#include <cstring>
#include <string>
#include <vector>

#include "archive/read/provider.h"
#include "compression/dcl.h"
#include "compression/scomp.h"
#include "platform/bytes.h"
#include "tests/archive/read/read_test_util.h"

namespace {

using readtest::ArchiveTest;
using testsupport::ArchiveBuilder;
using testsupport::Bytes;
using testsupport::FileSpec;
using testsupport::Layout;
using testsupport::PatternBytes;

constexpr uint32_t kSector = 4096;

// Every way a file's data can be laid out without a codec: with a table the
// sectors are stored at full length (plain).
const uint32_t kLayouts[] = {
    0,
    BLOCK_ENCRYPTED,
    BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED,
    BLOCK_COMPRESSED,
    BLOCK_COMPRESSED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED,
    BLOCK_IMPLODED | BLOCK_ENCRYPTED,
};

class ReadTest : public ArchiveTest {
 protected:
  FileHandle OpenOnly(ArchiveHandle a, const char* name) {
    FileHandle f = nullptr;
    EXPECT_TRUE(OpenArchiveFile(a, name, 0, &f)) << name << " " << GetLastError();
    return f;
  }
  // Reads count bytes; returns what was delivered, or "failed".
  static Bytes Read(FileHandle f, uint32_t count, bool* ok = nullptr) {
    Bytes out(count + 8, 0xEE);
    uint32_t got = 0xDEAD;
    const bool result = ReadArchiveFile(f, out.data(), count, &got, nullptr);
    if (ok != nullptr) *ok = result;
    out.resize(result ? got : 0);
    return out;
  }
  static Bytes Slice(const Bytes& b, size_t from, size_t n) {
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from),
                 b.begin() + static_cast<std::ptrdiff_t>(from + n));
  }
  // The read fails with this error.
  static void ExpectReadFails(FileHandle f, uint32_t error) {
    Bytes out(1 << 16);
    uint32_t got = 0;
    SetLastError(0);
    EXPECT_FALSE(ReadArchiveFile(f, out.data(), static_cast<uint32_t>(out.size()), &got, nullptr));
    EXPECT_EQ(GetLastError(), error);
  }
};

TEST_F(ReadTest, PositionsAcrossSectorsInEveryLayout) {
  const Bytes content = PatternBytes(10000, 1);  // k = 3, E = 4096, 4096, 1808
  for (uint32_t flags : kLayouts) {
    for (bool bn3 : {false, true}) {
      ArchiveBuilder b;
      b.Bn3(bn3);
      b.Add("dir\\data.bin", content, flags);
      Layout layout;
      ArchiveHandle a = Open(b, &layout);
      ASSERT_NE(a, nullptr);
      if (flags & BLOCK_COMPRESSED) {
        EXPECT_EQ(layout.files[0].sectorOffsets,
                  (std::vector<uint32_t>{16, 16 + 4096, 16 + 8192, 16 + 10000}));
      }
      SCOPED_TRACE(testing::Message() << "flags " << std::hex << flags << " bn3 " << bn3);
      FileHandle f = OpenOnly(a, "dir\\data.bin");
      EXPECT_EQ(Read(f, 100), Slice(content, 0, 100));
      EXPECT_EQ(GetArchiveFileInfo(f, INFO_POSITION), 100u);
      EXPECT_EQ(Read(f, 5000), Slice(content, 100, 5000));
      ASSERT_EQ(SetArchiveFilePointer(f, 9000, nullptr, 0), 9000u);
      bool ok = false;
      EXPECT_EQ(Read(f, 20000, &ok), Slice(content, 9000, 1000));
      EXPECT_TRUE(ok);
      EXPECT_EQ(Read(f, 20000, &ok), Bytes());
      EXPECT_TRUE(ok);
      // Sector 1 alone, from its middle: keyed by its index in the file.
      ASSERT_EQ(SetArchiveFilePointer(f, 5000, nullptr, 0), 5000u);
      EXPECT_EQ(Read(f, 10), Slice(content, 5000, 10));
      ASSERT_EQ(SetArchiveFilePointer(f, 0, nullptr, 0), 0u);
      EXPECT_EQ(ReadRest(f, 777), content);
      CloseArchive(a);
    }
  }
}

TEST_F(ReadTest, LongFilesReadInGroupsOfSectors) {
  // 40 sectors and a tail of 3 bytes, which stay unencrypted.
  const Bytes content = PatternBytes(40 * 512 + 3, 2);
  ArchiveBuilder b;
  b.SectorShift(0);
  b.Add("long", content, BLOCK_COMPRESSED | BLOCK_ENCRYPTED);
  b.Add("plain", content, BLOCK_ENCRYPTED);
  ArchiveHandle a = Open(b);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(ReadNamed(a, "long"), content);
  EXPECT_EQ(ReadNamed(a, "plain"), content);
  FileHandle f = OpenOnly(a, "long");
  ASSERT_EQ(SetArchiveFilePointer(f, 700, nullptr, 0), 700u);
  EXPECT_EQ(Read(f, 17 * 512), Slice(content, 700, 17 * 512));
}

// A checksum block is a later writers' addition; older ones left the flag
// bit alone and readers of their time never looked at it. A block with the
// bit and a table with no room for the checksum entry reads as a plain
// table, by name and (its key found from the table) by index.
TEST_F(ReadTest, AChecksumFlagWithoutItsBlockReadsAsThePlainTable) {
  const Bytes content = PatternBytes(10000, 3);
  for (uint32_t flags : {BLOCK_COMPRESSED, BLOCK_COMPRESSED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED,
                         BLOCK_IMPLODED | BLOCK_ENCRYPTED}) {
    SCOPED_TRACE(testing::Message() << "flags " << std::hex << flags);
    ArchiveBuilder b;
    b.Add("x.bin", content, flags | BLOCK_SECTOR_CRC);
    Layout layout;
    ArchiveHandle a = Open(b, &layout);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(ReadNamed(a, "x.bin"), content);
    const uint32_t index = *layout.files[0].hashIndex;
    FileHandle f = nullptr;
    ASSERT_TRUE(OpenArchiveFileByIndex(a, index, &f)) << GetLastError();
    EXPECT_EQ(ReadRest(f), content);
    CloseArchiveFile(f);
    EXPECT_EQ(GetStoredExtent(a, index), layout.files[0].sectorOffsets.back());
    CloseArchive(a);
  }
}

TEST_F(ReadTest, EmptyFilesAndZeroCounts) {
  ArchiveBuilder b;
  b.Add("empty", Bytes());
  b.Add("one", Bytes{42}, BLOCK_ENCRYPTED);
  ArchiveHandle a = Open(b);
  FileHandle e = OpenOnly(a, "empty");
  bool ok = false;
  EXPECT_EQ(Read(e, 10, &ok), Bytes());
  EXPECT_TRUE(ok);
  EXPECT_EQ(GetArchiveFileSize(e, nullptr), 0u);
  FileHandle one = OpenOnly(a, "one");
  EXPECT_EQ(Read(one, 0, &ok), Bytes());
  EXPECT_TRUE(ok);
  EXPECT_EQ(Read(one, 5), Bytes{42});

  uint32_t got = 7;
  char c;
  EXPECT_FALSE(ReadArchiveFile(nullptr, &c, 1, &got, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(ReadArchiveFile(one, nullptr, 1, &got, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// A single-unit flag on data stored as it is (not packed, not encrypted)
// changes nothing of how it reads: such a file reads in place at any size,
// past what a unit that must be decoded whole may take.
TEST_F(ReadTest, PlainSingleUnitsReadInPlaceAtAnySize) {
  const uint32_t big = kMaxSingleUnitBytes + kSector + 5;
  const Bytes head = PatternBytes(kSector, 1);
  for (const uint32_t flags : {BLOCK_SINGLE_UNIT, BLOCK_SINGLE_UNIT | BLOCK_COMPRESSED | BLOCK_SECTOR_CRC}) {
    SCOPED_TRACE(flags);
    ArchiveBuilder b;
    FileSpec& f = b.Add("big.bin", head, flags);
    f.fileSize = big;
    f.storedSize = big;
    // The rest of the file's bytes: a hole, which reads as zeros.
    b.Add("after.txt", "after").holeBefore = big - kSector;
    const std::string path = Path("big" + std::to_string(flags) + ".mpq");
    if (!b.WriteSparse(path)) GTEST_SKIP() << "no room for a sparse file of " << big << " bytes";
    ArchiveHandle a = nullptr;
    ASSERT_TRUE(OpenArchive(path.c_str(), 0, 0, &a)) << GetLastError();
    FileHandle file = OpenOnly(a, "big.bin");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(Read(file, kSector + 3), [&] {
      Bytes expected = head;
      expected.resize(kSector + 3, 0);
      return expected;
    }());
    EXPECT_EQ(SetArchiveFilePointer(file, -2, nullptr, 2), big - 2);
    bool ok = false;
    EXPECT_EQ(Read(file, 10, &ok), Bytes(2, 0));
    EXPECT_TRUE(ok) << GetLastError();
    EXPECT_EQ(GetStoredExtent(a, GetArchiveFileInfo(file, INFO_HASH_INDEX)), big);
    CloseArchiveFile(file);
    EXPECT_EQ(ReadNamed(a, "after.txt"), testsupport::ToBytes("after"));
    CloseArchive(a);
  }
}

TEST_F(ReadTest, OverlappedOffsets) {
  const Bytes content = PatternBytes(6000, 3);
  ArchiveBuilder b;
  b.Add("f", content, BLOCK_ENCRYPTED);
  ArchiveHandle a = Open(b);
  FileHandle f = OpenOnly(a, "f");
  ASSERT_EQ(SetArchiveFilePointer(f, 10, nullptr, 0), 10u);

  Bytes out(64);
  uint32_t got = 0;
  OVERLAPPED zero{};
  ASSERT_TRUE(ReadArchiveFile(f, out.data(), 4, &got, &zero));  // ignored: reads at 10
  EXPECT_EQ(Slice(out, 0, 4), Slice(content, 10, 4));
  EXPECT_EQ(zero.InternalHigh, 4u);
  EXPECT_EQ(zero.Offset, 0u);

  OVERLAPPED at50{};
  at50.Offset = 50;
  ASSERT_TRUE(ReadArchiveFile(f, out.data(), 8, nullptr, &at50));
  EXPECT_EQ(Slice(out, 0, 8), Slice(content, 50, 8));
  EXPECT_EQ(at50.InternalHigh, 8u);
  EXPECT_EQ(at50.OffsetHigh, 0u);
  EXPECT_EQ(GetArchiveFileInfo(f, INFO_POSITION), 58u);

  // A move outside the file is ignored: the read goes on at the position.
  OVERLAPPED beyond{};
  beyond.Offset = 7000;
  ASSERT_TRUE(ReadArchiveFile(f, out.data(), 2, &got, &beyond));
  EXPECT_EQ(Slice(out, 0, 2), Slice(content, 58, 2));
}

// Past 2 GiB of a larger file the pointer moves by the 64-bit distance the
// high word makes, and an overlapped read reads at its offset there rather
// than at the position.
TEST_F(ReadTest, PositionsPastTwoGiB) {
  constexpr uint32_t kSize = 0x90000000u, kSectors = kSize / kSector, kFar = 0x88000000u / kSector;
  const Bytes near = PatternBytes(kSector, 1), far = PatternBytes(kSector, 2);
  // Sector 0 and every sector from kFar on are whole stored sectors; those
  // between are empty and never read.
  Bytes data(4 * (static_cast<size_t>(kSectors) + 1));
  const auto table = static_cast<uint32_t>(data.size());
  for (uint32_t i = 0; i <= kSectors; ++i) {
    platform::StoreLE32(data.data() + 4ull * i, table + (i == 0 ? 0 : i <= kFar ? kSector : 2 * kSector));
  }
  data.insert(data.end(), near.begin(), near.end());
  data.insert(data.end(), far.begin(), far.end());
  ArchiveBuilder b;
  FileSpec& big = b.Add("big.bin", Bytes(), BLOCK_COMPRESSED);
  big.rawData = data;
  big.fileSize = kSize;
  ArchiveHandle a = Open(b);
  FileHandle f = OpenOnly(a, "big.bin");
  ASSERT_NE(f, nullptr);
  int32_t high = 0;
  EXPECT_EQ(SetArchiveFilePointer(f, static_cast<int32_t>(0x88000000u), &high, 0), 0x88000000u);
  EXPECT_EQ(Read(f, kSector), far);
  high = -1;
  EXPECT_EQ(SetArchiveFilePointer(f, static_cast<int32_t>(0x80000000u), &high, 2), 0x10000000u);
  EXPECT_EQ(SetArchiveFilePointer(f, static_cast<int32_t>(0x88000000u), nullptr, 0), 0xFFFFFFFFu);
  high = 1;
  EXPECT_EQ(SetArchiveFilePointer(f, -1, &high, 0), 0xFFFFFFFFu);
  EXPECT_EQ(GetArchiveFileInfo(f, INFO_POSITION), 0x10000000u);
  OVERLAPPED at{};
  at.Offset = 0x88000000u + 100;
  Bytes out(200);
  ASSERT_TRUE(ReadArchiveFile(f, out.data(), 200, nullptr, &at));
  EXPECT_EQ(out, Slice(far, 100, 200));
  CloseArchiveFile(f);
  CloseArchive(a);
}

TEST_F(ReadTest, MovingThePointer) {
  ArchiveBuilder b;
  b.Add("f", PatternBytes(300, 4), BLOCK_COMPRESSED);
  Layout layout;
  ArchiveHandle a = Open(b, &layout);
  FileHandle f = OpenOnly(a, "f");
  int32_t high = 7;
  EXPECT_EQ(SetArchiveFilePointer(f, 0, &high, 2), 300u);
  EXPECT_EQ(high, 0);
  EXPECT_EQ(SetArchiveFilePointer(f, -1, nullptr, 2), 299u);
  EXPECT_EQ(SetArchiveFilePointer(f, 1, nullptr, 2), 0xFFFFFFFFu);
  EXPECT_EQ(GetArchiveFileInfo(f, INFO_POSITION), 299u);
  EXPECT_EQ(SetArchiveFilePointer(f, -300, nullptr, 1), 0xFFFFFFFFu);
  EXPECT_EQ(SetArchiveFilePointer(f, -299, nullptr, 1), 0u);
  EXPECT_EQ(SetArchiveFilePointer(f, 120, nullptr, 9), 120u);  // unknown method: from the start
  EXPECT_EQ(SetArchiveFilePointer(nullptr, 0, nullptr, 0), 0xFFFFFFFFu);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  uint32_t high32 = 5;
  EXPECT_EQ(GetArchiveFileSize(f, &high32), 300u);  // the content size, not the stored size
  EXPECT_EQ(high32, 0u);
  EXPECT_GT(layout.files[0].block.storedSize, 300u);
  EXPECT_EQ(GetArchiveFileSize(nullptr, nullptr), 0xFFFFFFFFu);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(ReadTest, Bn3HeaderLengthIsTakenFromItsFirstWord) {
  const Bytes content = PatternBytes(5000, 5);
  ArchiveBuilder b;
  b.Bn3();
  b.Add("f", content, BLOCK_COMPRESSED | BLOCK_ENCRYPTED);
  b.Add("odd", content).bn3Length = 400;  // a longer per-file header
  Layout layout;
  const Bytes bytes = b.Build(&layout);
  ArchiveHandle a = OpenBytes(bytes);
  EXPECT_EQ(layout.files[0].dataStart - layout.files[0].blockStart, 324u);
  EXPECT_EQ(ReadNamed(a, "f"), content);
  // The reader skips 400 bytes: it sees the data from offset 76 on, then
  // what follows in the file. The stored size, which no longer covers that,
  // is not consulted.
  const auto from = static_cast<std::ptrdiff_t>(layout.files[1].blockStart + 400);
  EXPECT_EQ(ReadNamed(a, "odd"), Bytes(bytes.begin() + from, bytes.begin() + from + 5000));
}

// ---- corrupt layouts ---------------------------------------------------------------

class CorruptTableTest : public ReadTest {
 protected:
  // A compressed-flag file of 3 sectors of 512 bytes (table of 16 bytes).
  void ExpectCorrupt(std::function<void(FileSpec&)> spoil, uint32_t flags = BLOCK_COMPRESSED) {
    ArchiveBuilder b;
    b.SectorShift(0);
    spoil(b.Add("f", PatternBytes(1400, 6), flags));
    ArchiveHandle a = Open(b);
    ASSERT_NE(a, nullptr);
    FileHandle f = OpenOnly(a, "f");
    ExpectReadFails(f, ERROR_FILE_CORRUPT);
    CloseArchive(a);
  }
};

TEST_F(CorruptTableTest, OffsetTablesBreakingTheLimits) {
  using V = std::vector<uint32_t>;
  ExpectCorrupt([](FileSpec& f) { f.offsetTable = V{16, 528, 400, 1416}; });  // decreasing
  ExpectCorrupt([](FileSpec& f) { f.offsetTable = V{16, 600, 1040, 1416}; });  // 584 > S
  ExpectCorrupt([](FileSpec& f) { f.offsetTable = V{16, 528, 1040, 1500}; });  // last sector > E
  ExpectCorrupt([](FileSpec& f) { f.offsetTable = V{12, 528, 1040, 1416}; });  // entry 0 in the table
  ExpectCorrupt([](FileSpec& f) { f.offset = 0x7FFFFF00; });  // past the file
  ExpectCorrupt([](FileSpec& f) { f.fileSize = 1000000; });   // table past the file
  ExpectCorrupt([](FileSpec& f) { f.offsetTable = V{16, 528, 1040, 1416}; f.key = 99; },
                BLOCK_COMPRESSED | BLOCK_ENCRYPTED);  // wrong key: garbage table
}

TEST_F(CorruptTableTest, PlainDataOutsideTheFile) {
  ExpectCorrupt([](FileSpec& f) { f.fileSize = 3000; }, BLOCK_ENCRYPTED);
  ExpectCorrupt([](FileSpec& f) {
    f.fileSize = 0x100000;
    f.storedSize = 0x100000;
  }, 0);
}

TEST_F(CorruptTableTest, AFailedReadKeepsWhatWasDeliveredBefore) {
  // Sector 20 (in the second group of 16) has a table that is valid but
  // whose sector cannot be decoded: the first 20 sectors arrive.
  const Bytes content = PatternBytes(24 * 512, 7);
  ArchiveBuilder b;
  b.SectorShift(0);
  FileSpec& f = b.Add("f", content, BLOCK_COMPRESSED);
  f.encodeSector = [](const uint8_t* data, uint32_t length, uint32_t index) {
    if (index != 20) return Bytes(data, data + length);
    return Bytes{0x00, 1, 2, 3};  // mask 0: never fills a sector
  };
  ArchiveHandle a = Open(b);
  FileHandle file = OpenOnly(a, "f");
  Bytes out(content.size());
  uint32_t got = 0;
  EXPECT_FALSE(ReadArchiveFile(file, out.data(), static_cast<uint32_t>(out.size()), &got, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_FILE_CORRUPT);
  EXPECT_EQ(got, 20u * 512);
  EXPECT_EQ(GetArchiveFileInfo(file, INFO_POSITION), 20u * 512);
  EXPECT_EQ(Slice(out, 0, got), Slice(content, 0, got));
}

// ---- decoding ---------------------------------------------------------------------------

// Sector 0 stored with the given bytes, the rest plain.
class DecodeTest : public ReadTest {
 protected:
  FileHandle WithSector0(const Bytes& content, Bytes stored, uint32_t flags) {
    ArchiveBuilder b;
    FileSpec& f = b.Add("f", content, flags);
    f.encodeSector = [stored](const uint8_t* data, uint32_t length, uint32_t index) {
      return index == 0 ? stored : Bytes(data, data + length);
    };
    ArchiveHandle a = Open(b);
    EXPECT_NE(a, nullptr);
    return OpenOnly(a, "f");
  }
};

TEST_F(DecodeTest, MasksNobodyCanUndoAreNotSupported) {
  const Bytes content = PatternBytes(5000, 8);
  Bytes junk(200, 0x5A);
  for (uint8_t mask : {0x20, 0x04, 0x0A, 0x41 | 0x10}) {
    junk[0] = mask;
    ExpectReadFails(WithSector0(content, junk, BLOCK_COMPRESSED), ERROR_NOT_SUPPORTED);
  }
}

TEST_F(DecodeTest, SectorsThatDoNotDecodeAreCorrupt) {
  const Bytes content = PatternBytes(5000, 9);
  Bytes junk(200, 0x5A);
  junk[1] = 7;  // no DCL stream has type 7
  for (uint8_t mask : {0x00, 0x08, 0x01, 0x02, 0x10}) {
    junk[0] = mask;
    SCOPED_TRACE(static_cast<int>(mask));
    // A build without the method (bzip2 in the Windows builds) cannot tell.
    const bool lacking = (mask & BUILTIN_PROVIDER_MASK) != 0 && !BuiltinProviderSupports(mask);
    ExpectReadFails(WithSector0(content, junk, BLOCK_COMPRESSED), lacking ? ERROR_NOT_SUPPORTED : ERROR_FILE_CORRUPT);
  }
  ExpectReadFails(WithSector0(content, Bytes(300, 7), BLOCK_IMPLODED), ERROR_FILE_CORRUPT);
  // A stored length of 0 is no sector either.
  ExpectReadFails(WithSector0(content, Bytes(), BLOCK_COMPRESSED), ERROR_FILE_CORRUPT);
}

Bytes CompressWith(uint32_t mask, const uint8_t* data, uint32_t length, uint32_t level = 0) {
  Bytes out(length);
  uint32_t produced = length;
  if (!CompressSector(out.data(), &produced, data, length, mask, 0, level)) return {};
  out.resize(produced);
  return out;
}

// Sound-like samples: a slow wave, 16-bit little-endian.
Bytes Wave(size_t bytes) {
  Bytes out(bytes);
  for (size_t i = 0; i < bytes; ++i) {
    const int v = static_cast<int>((i / 2) % 200) * 40 - 4000;
    out[i] = static_cast<uint8_t>(i % 2 == 0 ? v & 0xFF : (v >> 8) & 0xFF);
  }
  return out;
}

TEST_F(DecodeTest, CompressedSectorsDecodeWholeAndInPart) {
  std::string text;
  while (text.size() < 10000) text += "The quick brown fox jumps over the lazy dog. ";
  const Bytes content(text.begin(), text.begin() + 10000);
  for (uint32_t mask : {COMP_IMPLODE, COMP_HUFFMAN, COMP_HUFFMAN | COMP_IMPLODE}) {
    ArchiveBuilder b;
    FileSpec& f = b.Add("f", content, BLOCK_COMPRESSED | BLOCK_ENCRYPTED);
    f.encodeSector = [mask](const uint8_t* data, uint32_t length, uint32_t) {
      return CompressWith(mask, data, length);
    };
    Layout layout;
    ArchiveHandle a = Open(b, &layout);
    const auto& t = layout.files[0].sectorOffsets;
    ASSERT_LT(t[1] - t[0], kSector) << "sector 0 did not compress with mask " << mask;
    FileHandle file = OpenOnly(a, "f");
    EXPECT_EQ(Read(file, 100), Slice(content, 0, 100));
    EXPECT_EQ(Read(file, 5000), Slice(content, 100, 5000));
    ASSERT_EQ(SetArchiveFilePointer(file, 9000, nullptr, 0), 9000u);
    EXPECT_EQ(Read(file, 20000), Slice(content, 9000, 1000));
    ASSERT_EQ(SetArchiveFilePointer(file, 0, nullptr, 0), 0u);
    EXPECT_EQ(Read(file, 10000), content);
    CloseArchive(a);
  }
}

// The implode coder keeps only savings of two bytes or more, but another
// writer may store a stream just one byte shorter than its sector.
TEST_F(DecodeTest, ImplodedSectorOneByteShortIsAStream) {
  const Bytes content = PatternBytes(4096, 10);
  // Find a tail that makes the stream exactly E - 1 bytes: random bytes do
  // not shrink, so lengthen a run of zeros in front until they do just so.
  for (uint32_t zeros = 1; zeros < 2000; ++zeros) {
    Bytes data = content;
    std::fill(data.begin(), data.begin() + zeros, 0);
    Bytes stream(4096 + 64);
    uint32_t produced = static_cast<uint32_t>(stream.size());
    DclBufferPair pair{stream.data(), 0, produced, data.data(), 0, 4096};
    std::vector<uint8_t> work(IMPLODE_WORK_SIZE);
    uint32_t type = DCL_BINARY, dict = 4096;
    Implode(DclReadFromBuffer, DclWriteToBuffer, work.data(), &pair, &type, &dict);
    if (pair.outUsed != 4095) continue;
    stream.resize(pair.outUsed);
    ExpectReadFails(WithSector0(data, Bytes(4095, 0x77), BLOCK_IMPLODED), ERROR_FILE_CORRUPT);
    FileHandle f = WithSector0(data, stream, BLOCK_IMPLODED);
    EXPECT_EQ(Read(f, 4096), data);
    return;
  }
  GTEST_SKIP() << "no run length gave a stream of 4095 bytes";
}

TEST_F(DecodeTest, AudioSectorsOfOddLengthMayLackTheirLastByte) {
  // Two sectors: the second, of odd length, is coded as mono sound, whose
  // coder drops the odd last byte.
  Bytes content = Wave(4096 + 2001);
  content.back() = 0;
  ArchiveBuilder b;
  FileSpec& f = b.Add("f.wav", content, BLOCK_COMPRESSED);
  f.encodeSector = [](const uint8_t* data, uint32_t length, uint32_t index) {
    if (index == 0) return Bytes(data, data + length);
    return CompressWith(COMP_ADPCM_MONO, data, length);
  };
  Layout layout;
  ArchiveHandle a = Open(b, &layout);
  const auto& t = layout.files[0].sectorOffsets;
  ASSERT_LT(t[2] - t[1], 2001u) << "the sound sector did not compress";
  FileHandle file = OpenOnly(a, "f.wav");
  ASSERT_EQ(SetArchiveFilePointer(file, 4096, nullptr, 0), 4096u);
  const Bytes sound = Read(file, 2001);
  ASSERT_EQ(sound.size(), 2001u);
  EXPECT_EQ(sound.back(), 0);
  // Lossy coding: close to the samples, not equal; the point is that the
  // read delivers the sector at all.
  CloseArchive(a);

  // A sector of another method that comes out one byte short is corrupt.
  Bytes odd = PatternBytes(4096 + 2001, 11);
  ArchiveBuilder h;
  FileSpec& hf = h.Add("g", odd, BLOCK_COMPRESSED);
  hf.encodeSector = [](const uint8_t* data, uint32_t length, uint32_t index) {
    if (index == 0) return Bytes(data, data + length);
    Bytes zeros(length, 'z');
    std::memcpy(zeros.data(), data, 1);
    return CompressWith(COMP_HUFFMAN, zeros.data(), length - 1);  // decodes to E - 1 bytes
  };
  ArchiveHandle ha = Open(h);
  FileHandle g = OpenOnly(ha, "g");
  ASSERT_EQ(SetArchiveFilePointer(g, 4096, nullptr, 0), 4096u);
  ExpectReadFails(g, ERROR_FILE_CORRUPT);
}

}  // namespace
