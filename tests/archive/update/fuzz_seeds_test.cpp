// Writes the seed corpora of the archive-opening and the update fuzz
// targets. Disabled in normal runs; regenerate the first with (one command line)
//   TAVRIX_WRITE_OPEN_SEEDS=fuzz/corpus/open archive_tests
//     --gtest_also_run_disabled_tests --gtest_filter='*WriteOpenSeeds*'
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "tests/archive/read/read_test_util.h"

namespace {

using testsupport::ArchiveBuilder;
using testsupport::Bytes;
using testsupport::FileSpec;
using readtest::PackedSectors;
using testsupport::PatternBytes;

Bytes Text(size_t size) {
  std::string t;
  while (t.size() < size) t += "seed text for the fuzzer, ";
  return Bytes(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(size));
}

TEST(FuzzSeeds, DISABLED_WriteOpenSeeds) {
  const char* dir = std::getenv("TAVRIX_WRITE_OPEN_SEEDS");
  ASSERT_NE(dir, nullptr);
  const std::string folder = dir;

  {  // plain, encrypted and listed
    ArchiveBuilder b;
    b.SectorShift(0).HashTableSize(8);
    b.Listfile({"a.txt", "dir\\b.bin"}, "\r\n", BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED);
    b.Add("a.txt", "hello");
    b.Add("dir\\b.bin", PatternBytes(700, 1), BLOCK_ENCRYPTED);
    b.WriteTo(folder + "/plain.mpq");
  }
  {  // BN3, imploded and compressed sectors, keys from offset tables
    ArchiveBuilder b;
    b.Bn3().SectorShift(0).HashTableSize(5);
    b.Add("t.txt", Text(1300), BLOCK_IMPLODED | BLOCK_ENCRYPTED).encodeSector = PackedSectors(COMP_IMPLODE);
    b.Add("h.txt", Text(900), BLOCK_COMPRESSED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED).encodeSector =
        PackedSectors(COMP_HUFFMAN | COMP_IMPLODE);
    b.WriteTo(folder + "/bn3.mpq");
  }
  {  // stub, locales, a deleted mark, an outside method
    ArchiveBuilder b;
    b.Stub(512).SectorShift(0).HashTableSize(6);
    b.Listfile({"z.bin"});
    b.Listfile({"z.bin", "w.wav"}).locale = 0x409;
    b.Add("z.bin", Text(800), BLOCK_COMPRESSED).encodeSector = PackedSectors(COMP_ZLIB);
    b.Add("w.wav", PatternBytes(600, 2), BLOCK_COMPRESSED).encodeSector = PackedSectors(COMP_ADPCM_MONO);
    b.SetHashEntry(5, HashEntry{0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFE});
    b.WriteTo(folder + "/stub.mpq");
  }
  {  // extended header with a high-offset table, a user-data block behind a stub
    ArchiveBuilder b;
    b.Stub(512).UserData(40, 3).Extended(1, kExtendedHeaderBytes, true).SectorShift(0).HashTableSize(8);
    b.Listfile({"u.txt", "c.bin"});
    b.Add("u.txt", Text(900), BLOCK_SINGLE_UNIT | BLOCK_COMPRESSED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED)
        .encodeSector = PackedSectors(COMP_HUFFMAN | COMP_IMPLODE);
    FileSpec& c = b.Add("c.bin", Text(1200), BLOCK_COMPRESSED | BLOCK_SECTOR_CRC | BLOCK_ENCRYPTED);
    c.encodeSector = PackedSectors(COMP_IMPLODE);
    c.checksumBlock = PatternBytes(12, 3);
    b.WriteTo(folder + "/extended.mpq");
  }
  {  // a version-3 header over classic tables: single units plain and imploded
    ArchiveBuilder b;
    b.Extended(3, 208).SectorShift(0).HashTableSize(4);
    b.Add("p.bin", PatternBytes(300, 4), BLOCK_SINGLE_UNIT | BLOCK_ENCRYPTED);
    b.Add("i.txt", Text(700), BLOCK_SINGLE_UNIT | BLOCK_IMPLODED).encodeSector = [](const uint8_t* d, uint32_t n,
                                                                                     uint32_t i) {
      Bytes out = PackedSectors(COMP_IMPLODE)(d, n, i);
      if (out.size() < n) out.erase(out.begin());
      return out;
    };
    b.WriteTo(folder + "/version3.mpq");
  }
}

}  // namespace

// Seeds of the update fuzz target: a 16-byte program of eight steps, then the
// archive. Regenerate with (one command line)
//   TAVRIX_WRITE_UPDATE_SEEDS=fuzz/corpus/update archive_tests
//     --gtest_also_run_disabled_tests --gtest_filter='*WriteUpdateSeeds*'
// Step bytes as the target reads them: b0 = operation | size << 3 | level << 6
// (bit 7 asks a disk add to replace); b1 = name | method or second name << 3 |
// encryption << 6, or name | from locale << 3 | to locale << 5.
namespace update_seed {

enum Name : uint8_t { kA, kB, kZ, kW, kList, kT, kN1, kN2 };
enum Method : uint8_t { kStored, kImplodeOnly, kImplode, kHuffman, kZlib, kBzip2, kMono, kStereo };
enum Crypt : uint8_t { kPlain, kEncrypted, kAdjusted, kAdjustedOnly };
enum Size : uint8_t { k0, k1, k17, k511, k512, k513, k1500, k4700 };

using Step = std::pair<uint8_t, uint8_t>;
Step Add(Name n, Size s, Method m, Crypt c = kPlain, bool level2 = false) {
  return {static_cast<uint8_t>(0 | s << 3 | (level2 ? 0x40 : 0)), static_cast<uint8_t>(n | m << 3 | c << 6)};
}
Step Replace(Name n, Size s, Method m, Crypt c = kPlain) {
  return {static_cast<uint8_t>(1 | s << 3), static_cast<uint8_t>(n | m << 3 | c << 6)};
}
Step AddFromDisk(Name n, Size s, Method m, Crypt c = kPlain, bool replace = false) {
  return {static_cast<uint8_t>(2 | s << 3 | (replace ? 0x80 : 0)), static_cast<uint8_t>(n | m << 3 | c << 6)};
}
Step Rename(Name from, Name to) { return {3, static_cast<uint8_t>(from | to << 3)}; }
Step Delete(Name n) { return {4, n}; }
// Locales by index: 0, 0x409, 0x407, 0x40C.
Step MoveLocale(Name n, uint8_t from, uint8_t to) { return {5, static_cast<uint8_t>(n | from << 3 | to << 5)}; }
Step Compact() { return {6, 0}; }
Step UseLocale(uint8_t locale) { return {7, locale}; }

void WriteSeed(const std::string& path, const std::vector<Step>& program, const Bytes& archive) {
  Bytes out;
  for (const Step& s : program) {
    out.push_back(s.first);
    out.push_back(s.second);
  }
  ASSERT_EQ(out.size(), 16u);
  out.insert(out.end(), archive.begin(), archive.end());
  testsupport::WriteBytes(path, out);
}

}  // namespace update_seed

TEST(FuzzSeeds, DISABLED_WriteUpdateSeeds) {
  using namespace update_seed;
  const char* dir = std::getenv("TAVRIX_WRITE_UPDATE_SEEDS");
  ASSERT_NE(dir, nullptr);
  const std::string folder = dir;

  {  // plain, encrypted and listed: every kind of step once
    ArchiveBuilder b;
    b.SectorShift(0).HashTableSize(8);
    b.Listfile({"a.txt", "dir\\b.bin"}, "\r\n", BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED);
    b.Add("a.txt", "hello");
    b.Add("dir\\b.bin", PatternBytes(700, 1), BLOCK_ENCRYPTED);
    WriteSeed(folder + "/plain.bin",
              {Add(kN1, k1500, kImplode, kAdjusted), Replace(kA, k513, kHuffman, kEncrypted), Rename(kB, kT),
               AddFromDisk(kN2, k4700, kStereo), MoveLocale(kA, 0, 1), Delete(kN1), Compact(),
               Add(kZ, k4700, kZlib)},
              b.Build());
  }
  {  // stub, locales, a deleted mark, an outside method
    ArchiveBuilder b;
    b.Stub(512).SectorShift(0).HashTableSize(6);
    b.Listfile({"z.bin"});
    b.Listfile({"z.bin", "w.wav"}).locale = 0x409;
    b.Add("z.bin", Text(800), BLOCK_COMPRESSED).encodeSector = PackedSectors(COMP_ZLIB);
    b.Add("w.wav", PatternBytes(600, 2), BLOCK_COMPRESSED).encodeSector = PackedSectors(COMP_ADPCM_MONO);
    b.SetHashEntry(5, HashEntry{0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFE});
    WriteSeed(folder + "/stub.bin",
              {UseLocale(1), Add(kN1, k511, kBzip2, kAdjustedOnly), Delete(kList), UseLocale(0), Rename(kW, kN2),
               AddFromDisk(kZ, k1500, kImplodeOnly, kEncrypted, true), Compact(), Add(kA, k1500, kMono, kPlain, true)},
              b.Build());
  }
  {  // BN3 with per-file headers; one encrypted file no list names
    ArchiveBuilder b;
    b.Bn3().SectorShift(0).HashTableSize(5);
    b.Listfile({"t.txt"});
    b.Add("t.txt", Text(1300), BLOCK_IMPLODED | BLOCK_ENCRYPTED).encodeSector = PackedSectors(COMP_IMPLODE);
    b.Add("h.txt", Text(900), BLOCK_COMPRESSED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED).encodeSector =
        PackedSectors(COMP_HUFFMAN | COMP_IMPLODE);
    WriteSeed(folder + "/bn3.bin",
              {Add(kA, k17, kStored), Rename(kT, kZ), Compact(), Replace(kZ, k512, kImplode, kAdjusted),
               Delete(kA), Compact(), AddFromDisk(kW, k1500, kMono), Rename(kW, kList)},
              b.Build());
  }
  {  // made by the library: a deleted file's mark and dead space, tables last
    const std::string made = folder + "/made.tmp";
    ArchiveHandle a = OpenArchiveWritable(made.c_str(), UPDATE_KEEP_LISTFILE, 16);
    ASSERT_TRUE(IsUsableArchive(a));
    const Bytes text = Text(700), noise = PatternBytes(300, 3);
    ASSERT_TRUE(AddFileFromMemory(a, text.data(), 700, "a.txt", BLOCK_COMPRESSED, COMP_IMPLODE, 0));
    ASSERT_TRUE(AddFileFromMemory(a, noise.data(), 300, "dir\\b.bin", BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED, 0, 0));
    ASSERT_TRUE(AddFileFromMemory(a, text.data(), 500, "z.bin", BLOCK_COMPRESSED | BLOCK_ENCRYPTED, COMP_HUFFMAN, 0));
    ASSERT_TRUE(DeleteArchiveFile(a, "z.bin"));
    ASSERT_TRUE(CloseWritableArchive(a, 0));
    const Bytes bytes = testsupport::ReadBytes(made);
    std::remove(made.c_str());
    WriteSeed(folder + "/made.bin",
              {Rename(kB, kZ), Add(kB, k513, kImplode, kEncrypted), Compact(), MoveLocale(kA, 0, 3),
               UseLocale(3), Replace(kA, k1500, kHuffman, kAdjusted), Delete(kZ), Compact()},
              bytes);
  }
  {  // the later layouts: extended header with a high-offset table behind a
     // user-data block; single units and a checksum file, position-keyed
    ArchiveBuilder b;
    b.Stub(512).UserData(40, 3).Extended(1, kExtendedHeaderBytes, true).SectorShift(0).HashTableSize(8);
    b.Listfile({"a.txt", "z.bin", "w.wav"});
    b.Add("a.txt", Text(900), BLOCK_SINGLE_UNIT | BLOCK_COMPRESSED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED)
        .encodeSector = PackedSectors(COMP_ZLIB);
    FileSpec& z = b.Add("z.bin", Text(1200), BLOCK_COMPRESSED | BLOCK_SECTOR_CRC | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED);
    z.encodeSector = PackedSectors(COMP_IMPLODE);
    z.checksumBlock = PatternBytes(12, 3);
    b.Add("w.wav", PatternBytes(300, 4), BLOCK_SINGLE_UNIT | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED);
    WriteSeed(folder + "/later.bin",
              {Rename(kA, kT), Compact(), Rename(kZ, kN1), Add(kB, k1500, kZlib, kAdjusted), Delete(kW), Compact(),
               Replace(kT, k513, kImplode, kEncrypted), Rename(kN1, kZ)},
              b.Build());
  }
  // No archive: the library makes a new one and fills it. The first byte's
  // top five bits also give the new hash table's size less one (here 32).
  Step first = Add(kA, k4700, kImplode, kPlain, true);
  first.first |= 0x80;
  WriteSeed(folder + "/new.bin",
            {first, Add(kN2, k4700, kMono, kEncrypted), AddFromDisk(kB, k511, kZlib, kAdjusted), Rename(kA, kT),
             Add(kZ, k512, kBzip2), Delete(kB), Compact(), MoveLocale(kT, 0, 2)},
            {});
}
