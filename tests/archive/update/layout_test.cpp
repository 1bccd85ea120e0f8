// Archives of the later layouts made by the test-side builder: the extended
// header, user-data blocks (also behind a stub), single-unit files and files
// with a checksum block, in random mixes. Every file must read back exactly,
// in whole and in random ranges, before and after compaction and renames
// (which re-key position-keyed files), with everything before the archive
// header kept byte for byte. Damaged layouts fail with a clear error and
// leave the file as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "archive/update/update_internal.h"
#include "archive/read/read_internal.h"
#include "archive/format/records.h"
#include "sorvane/sorvane.h"
#include "compression/scomp.h"
#include "tests/archive/update/update_test_util.h"
#include "tests/support/archive_builder.h"

namespace {

using testsupport::FileSpec;
using updatetest::ArchiveBuilder;
using updatetest::Bytes;
using updatetest::Compressible;
using updatetest::Layout;
using updatetest::PatternBytes;
using updatetest::ReadBytes;

class LayoutTest : public updatetest::UpdateTest {
 public:
  static void ExpectContent(ArchiveHandle a, const std::string& name, const Bytes& content) {
    ExpectReads(a, name, content);
  }
};

// The stored form of one piece: the codec's output when it is shorter.
Bytes Packed(const uint8_t* data, uint32_t length, bool implode, uint32_t mask) {
  Bytes out(length + 16);
  uint32_t outLength = static_cast<uint32_t>(out.size());
  if (!CompressSector(out.data(), &outLength, data, length, implode ? COMP_IMPLODE : mask, 0, 0) ||
      outLength >= length) {
    return Bytes(data, data + length);
  }
  out.resize(outLength);
  // An imploded (not compressed) piece is the stream alone, without the mask.
  if (implode) out.erase(out.begin());
  return out;
}

struct Planned {
  std::string name;
  Bytes content;
  uint32_t flags;
};

// A random archive of the later layouts; the files it holds go to *files.
ArchiveBuilder RandomLayout(std::mt19937& random, std::vector<Planned>* files) {
  ArchiveBuilder b;
  const uint32_t stub = (random() % 3) * 512;
  if (stub != 0) b.Stub(stub);
  switch (random() % 4) {
    case 0: break;
    case 1: b.Extended(1, kExtendedHeaderBytes, random() % 2 == 0); break;
    case 2: b.Extended(2, 68); break;
    default: b.Extended(3, 208); break;
  }
  if (random() % 2) b.UserData(random() % 700, random() % 40);
  b.SectorShift(static_cast<uint16_t>(random() % 2));
  const uint32_t count = 1 + random() % 7;
  std::vector<std::string> names;
  for (uint32_t i = 0; i < count; ++i) {
    Planned p;
    p.name = "dir\\file" + std::to_string(i) + ".bin";
    const uint32_t size = random() % 3 == 0 ? random() % 40 : random() % 9000;
    p.content = random() % 2 ? Compressible(size, random()) : PatternBytes(size, random());
    static const uint32_t kKinds[] = {0, BLOCK_COMPRESSED, BLOCK_IMPLODED};
    p.flags = kKinds[random() % 3];
    if (random() % 2) p.flags |= BLOCK_ENCRYPTED;
    if ((p.flags & BLOCK_ENCRYPTED) && random() % 2) p.flags |= BLOCK_KEY_ADJUSTED;
    const uint32_t shape = random() % 3;
    if (shape == 1) p.flags |= BLOCK_SINGLE_UNIT;
    if (shape == 2 && (p.flags & (BLOCK_COMPRESSED | BLOCK_IMPLODED)) && size != 0) p.flags |= BLOCK_SECTOR_CRC;
    FileSpec& f = b.Add(p.name, p.content, p.flags);
    const uint32_t mask = random() % 2 ? COMP_HUFFMAN : COMP_IMPLODE;
    const bool implode = (p.flags & BLOCK_COMPRESSED) == 0;
    f.encodeSector = [implode, mask](const uint8_t* data, uint32_t length, uint32_t) {
      return Packed(data, length, implode, mask);
    };
    if (p.flags & BLOCK_SECTOR_CRC) f.checksumBlock = PatternBytes(4 + random() % 60, random());
    f.gapBefore = random() % 3 == 0 ? random() % 100 : 0;
    names.push_back(p.name);
    files->push_back(std::move(p));
  }
  b.Listfile(names);
  return b;
}

// Every file reads back whole and in random ranges, and its layout's extent
// is what the builder stored (the checksum block and the unit included).
void ExpectFilesRead(ArchiveHandle a, const std::vector<Planned>& files, std::mt19937& random,
                     const std::string& what) {
  for (const Planned& p : files) {
    LayoutTest::ExpectContent(a, p.name, p.content);
    FileHandle file = nullptr;
    ASSERT_TRUE(OpenArchiveFile(a, p.name.c_str(), 0, &file)) << what << " " << p.name;
    for (int r = 0; r < 4 && !p.content.empty(); ++r) {
      const uint32_t from = random() % p.content.size();
      const uint32_t length = 1 + random() % (p.content.size() - from);
      ASSERT_EQ(SetArchiveFilePointer(file, static_cast<int32_t>(from), nullptr, 0), from);
      Bytes got(length);
      uint32_t n = 0;
      ASSERT_TRUE(ReadArchiveFile(file, got.data(), length, &n, nullptr)) << what << " " << p.name;
      ASSERT_EQ(n, length);
      EXPECT_TRUE(std::equal(got.begin(), got.end(), p.content.begin() + from)) << what << " " << p.name;
    }
    const HashEntry* entry = file->hashEntry;
    const BlockEntry& block = a->blockTable[entry->blockIndex];
    EXPECT_EQ(GetStoredExtent(a, static_cast<uint32_t>(entry - a->hashTable)), block.storedSize)
        << what << " " << p.name << " flags " << std::hex << p.flags;
    CloseArchiveFile(file);
  }
}

TEST_F(LayoutTest, RandomLayoutsReadCompactAndRenameExactly) {
  for (uint32_t seed = 1; seed <= 60; ++seed) {
    std::mt19937 random(seed);
    std::vector<Planned> files;
    ArchiveBuilder b = RandomLayout(random, &files);
    Layout layout;
    const Bytes built = b.Build(&layout);
    const std::string name = "r" + std::to_string(seed) + ".mpq";
    testsupport::WriteBytes(Path(name), built);
    const std::string what = "seed " + std::to_string(seed);

    ArchiveHandle a = Reopen(name);
    ASSERT_NE(a, nullptr) << what;
    ExpectFilesRead(a, files, random, what);
    CloseArchive(a);
    if (HasFailure()) return;

    // Later header versions are read, never updated.
    const uint16_t version = platform::LoadLE16(built.data() + layout.headerOffset + 12);
    if (version >= 2) {
      EXPECT_FALSE(IsUsableArchive(OpenArchiveWritable(Path(name).c_str(), UPDATE_OPEN_EXISTING, 0))) << what;
      EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED) << what;
      continue;
    }
    a = OpenExisting(name);
    ASSERT_NE(a, nullptr) << what;
    ASSERT_TRUE(CompactArchive(a)) << what << ": " << GetLastError();
    ExpectFilesRead(a, files, random, what + " compacted");
    // Renames move position-keyed files and re-key them.
    for (Planned& p : files) {
      if (random() % 2) continue;
      const std::string renamed = "moved\\" + std::to_string(random() % 1000) + "_" + p.name;
      ASSERT_TRUE(RenameArchiveFile(a, p.name.c_str(), renamed.c_str())) << what << " " << p.name << ": "
                                                                         << GetLastError();
      p.name = renamed;
    }
    ExpectFilesRead(a, files, random, what + " renamed");
    ASSERT_TRUE(CompactArchive(a)) << what << ": " << GetLastError();
    CloseWritableArchive(a, 0);

    const Bytes after = ReadBytes(Path(name));
    ASSERT_GE(after.size(), layout.headerOffset);
    EXPECT_TRUE(std::equal(built.begin(), built.begin() + layout.headerOffset, after.begin()))
        << what << ": the bytes before the header changed";
    a = Reopen(name);
    ASSERT_NE(a, nullptr) << what;
    ExpectFilesRead(a, files, random, what + " reopened");
    CloseArchive(a);
    if (HasFailure()) return;
  }
}

// Damaged layouts: the open or the read fails with the error named, and an
// update open fails alike without changing a byte.
TEST_F(LayoutTest, DamagedLayoutsFailClearly) {
  struct Case {
    const char* what;
    std::function<void(ArchiveBuilder&)> make;
    std::function<void(Bytes&, const Layout&)> damage;
    uint32_t openError;  // 0: opens; the read of "x" fails with readError
    uint32_t readError;
  };
  const Bytes data = Compressible(5000, 7);
  const std::vector<Case> cases = {
      {"user-data block pointing past the file",
       [&](ArchiveBuilder& b) { b.UserData(100).Add("x", data); },
       [](Bytes& bytes, const Layout& l) { platform::StoreLE32(bytes.data() + l.userDataPos + 8, 0x7FFFFFF0); },
       ERROR_FILE_CORRUPT, 0},
      {"no classic hash table in a version-2 header",
       [&](ArchiveBuilder& b) { b.Extended(2, 68).Add("x", data); },
       [](Bytes& bytes, const Layout& l) { platform::StoreLE32(bytes.data() + l.headerOffset + 16, 0); },
       ERROR_NOT_SUPPORTED, 0},
      {"single unit claiming a huge size",
       [&](ArchiveBuilder& b) { b.Add("x", data, BLOCK_SINGLE_UNIT | BLOCK_ENCRYPTED).fileSize = 0xF0000000u; },
       nullptr, 0, ERROR_NOT_ENOUGH_MEMORY},
      {"plain single unit claiming more than the file holds",
       [&](ArchiveBuilder& b) { b.Add("x", data, BLOCK_SINGLE_UNIT).fileSize = 0xF0000000u; },
       nullptr, 0, ERROR_FILE_CORRUPT},
      {"packed single unit longer than the file",
       [&](ArchiveBuilder& b) {
         FileSpec& f = b.Add("x", data, BLOCK_SINGLE_UNIT | BLOCK_COMPRESSED);
         f.encodeSector = [](const uint8_t* d, uint32_t n, uint32_t) { return Packed(d, n, false, COMP_HUFFMAN); };
         f.storedSize = 4999;
         f.fileSize = 1u << 20;
       },
       nullptr, 0, ERROR_FILE_CORRUPT},
      {"checksum block ending before the last sector",
       [&](ArchiveBuilder& b) {
         FileSpec& f = b.Add("x", data, BLOCK_COMPRESSED | BLOCK_SECTOR_CRC);
         f.checksumBlock = Bytes(8, 1);
         f.offsetTable = std::vector<uint32_t>{16, 16 + 4096, 16 + 5000, 12};
       },
       nullptr, 0, ERROR_FILE_CORRUPT},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    ArchiveBuilder b;
    c.make(b);
    Layout layout;
    Bytes bytes = b.Build(&layout);
    if (c.damage) c.damage(bytes, layout);
    const std::string name = "bad" + std::to_string(i) + ".mpq";
    testsupport::WriteBytes(Path(name), bytes);
    ArchiveHandle a = nullptr;
    const bool opened = OpenArchive(Path(name).c_str(), 0, 0, &a);
    if (c.openError != 0) {
      EXPECT_FALSE(opened) << c.what;
      EXPECT_EQ(GetLastError(), c.openError) << c.what;
      EXPECT_FALSE(IsUsableArchive(OpenArchiveWritable(Path(name).c_str(), UPDATE_OPEN_EXISTING, 0))) << c.what;
      EXPECT_EQ(GetLastError(), c.openError) << c.what;
    } else {
      ASSERT_TRUE(opened) << c.what << ": " << GetLastError();
      FileHandle file = nullptr;
      ASSERT_TRUE(OpenArchiveFile(a, "x", 0, &file)) << c.what;
      Bytes out(4096);
      uint32_t got = 0;
      EXPECT_FALSE(ReadArchiveFile(file, out.data(), 4096, &got, nullptr)) << c.what;
      EXPECT_EQ(GetLastError(), c.readError) << c.what;
      CloseArchive(a);
    }
    EXPECT_EQ(ReadBytes(Path(name)), bytes) << c.what;
  }
}

// Extended fields that point outside the file (a high-offset table it cannot
// hold, a table past its end) are junk over a classic archive, as archives
// made to resist editors carry: it opens and reads through the classic
// header. An update leaves the version classic, so that the junk cannot
// come to point inside the file as it grows.
TEST_F(LayoutTest, ExtendedFieldsPointingOutsideTheFileAreJunk) {
  const Bytes data = Compressible(5000, 7);
  const Bytes more = PatternBytes(300000, 5);
  const std::vector<std::pair<const char*, std::function<void(Bytes&, const Layout&)>>> cases = {
      {"high-offset table beyond the file",
       [](Bytes& bytes, const Layout& l) { platform::StoreLE64(bytes.data() + l.headerOffset + 32, 100000); }},
      {"high-offset table cut by the file's end", [](Bytes& bytes, const Layout& l) { bytes.resize(l.highTablePos + 1); }},
      {"hash table past the end", [](Bytes& bytes, const Layout& l) { bytes[l.headerOffset + 40] = 0x5A; }},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].first);
    ArchiveBuilder b;
    b.Extended(1, kExtendedHeaderBytes, true).Add("x", data, BLOCK_COMPRESSED);
    Layout layout;
    Bytes bytes = b.Build(&layout);
    cases[i].second(bytes, layout);
    const std::string name = "junk" + std::to_string(i) + ".mpq";
    testsupport::WriteBytes(Path(name), bytes);
    ArchiveHandle r = Reopen(name);
    ASSERT_NE(r, nullptr);
    ExpectReads(r, "x", data);
    CloseArchive(r);
    // Compacted first (its data then starts where the junk was), or added to.
    for (const bool compact : {true, false}) {
      const std::string updated = (compact ? "c-" : "a-") + name;
      testsupport::WriteBytes(Path(updated), bytes);
      ArchiveHandle a = OpenExisting(updated);
      ASSERT_NE(a, nullptr);
      ASSERT_TRUE(compact ? CompactArchive(a) : Add(a, "more", more, 0)) << GetLastError();
      CloseWritableArchive(a, 0);
      EXPECT_EQ(DiskHeader(updated).formatVersion, 0);
      r = Reopen(updated);
      ASSERT_NE(r, nullptr);
      ExpectReads(r, "x", data);
      if (!compact) ExpectReads(r, "more", more);
      CloseArchive(r);
    }
  }
}

// Archives of the classic header stay below 4 GiB: an update that would pass
// the limit (lowered here so that it can be reached) fails with error 223
// before anything is written. The extended header has no such limit.
TEST_F(LayoutTest, ClassicArchivesRefuseToPassTheLimitBeforeWriting) {
  for (const bool extended : {false, true}) {
    const std::string name = extended ? "v1.mpq" : "v0.mpq";
    ArchiveHandle a = Create(name, 64, extended ? UPDATE_FORMAT_1 : 0);
    ASSERT_NE(a, nullptr);
    ASSERT_TRUE(Add(a, "small", Compressible(3000, 1), BLOCK_COMPRESSED));
    const Bytes before = ReadBytes(Path(name));
    const uint64_t saved = ClassicFileLimit;
    ClassicFileLimit = before.size() + 2000;
    const Bytes big = PatternBytes(20000, 3);
    const bool added = Add(a, "big", big, 0);
    const uint32_t error = GetLastError();
    ClassicFileLimit = saved;
    if (extended) {
      EXPECT_TRUE(added) << error;
      ExpectReads(a, "big", big);
    } else {
      EXPECT_FALSE(added);
      EXPECT_EQ(error, kErrorFileTooLarge);
      EXPECT_EQ(ReadBytes(Path(name)), before);
      EXPECT_FALSE(Stored(a, "big"));
    }
    CloseWritableArchive(a, 0);
  }
}

}  // namespace

namespace {

// The sparse tests make files whose positions pass 4 GiB in holes; they run
// natively only (not under the sanitizers, whose shadow memory makes no
// difference here but whose runs are slow, nor under wine).
#if defined(_WIN32) || defined(__SANITIZE_ADDRESS__)
constexpr bool kSparseTests = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(undefined_behavior_sanitizer)
constexpr bool kSparseTests = false;
#else
constexpr bool kSparseTests = true;
#endif
#else
constexpr bool kSparseTests = true;
#endif

// What a file takes on disk (its allocated blocks), so that the sparse test
// measures only what the updates wrote: the file system's free space moves
// with every other program on the machine.
uint64_t AllocatedBytes(const std::string& path) {
#ifdef _WIN32
  return std::filesystem::file_size(path);
#else
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_blocks) * 512u : 0;
#endif
}

constexpr uint64_t kGiB = 1ull << 30;

// An archive of format 1 whose data ends above 4 GiB: "huge.bin" (4 GiB less
// 4 KiB of zeros, all of it a hole) fills the space below, "far.bin" (encrypted,
// position-keyed) lies above 4 GiB, and so do the tables. Free space is only
// to be had above 4 GiB, so every update writes there.
struct FarArchive {
  Bytes far = Compressible(70000, 11);
  Bytes near = PatternBytes(3000, 12);
  Layout layout;
};

bool WriteFarArchive(const std::string& path, FarArchive* a) {
  ArchiveBuilder b;
  b.Extended(1).UserData(64).Stub(512);
  b.Add("near.txt", a->near, BLOCK_COMPRESSED).encodeSector = [](const uint8_t* d, uint32_t n, uint32_t) {
    return Packed(d, n, false, COMP_HUFFMAN);
  };
  FileSpec& huge = b.Add("huge.bin", Bytes{});
  huge.rawData = Bytes{};
  huge.fileSize = huge.storedSize = 0xFFFFF000u;
  FileSpec& far = b.Add("far.bin", a->far, BLOCK_COMPRESSED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED);
  far.encodeSector = [](const uint8_t* d, uint32_t n, uint32_t) { return Packed(d, n, false, COMP_IMPLODE); };
  far.holeBefore = static_cast<uint64_t>(*huge.fileSize) + 8192;
  b.Listfile({"near.txt", "huge.bin", "far.bin"});
  return b.WriteSparse(path, &a->layout);
}

TEST_F(LayoutTest, UpdatesPastFourGiBWriteOnlyWhatTheyChange) {
  if (!kSparseTests) GTEST_SKIP() << "sparse-file tests run natively only";
  FarArchive made;
  const std::string path = Path("far.mpq");
  if (!WriteFarArchive(path, &made)) GTEST_SKIP() << "the file system cannot hold a 5 GB file here";
  const uint64_t allocatedBefore = AllocatedBytes(path);
  // Where holes are not kept the file takes its whole size; skip then.
  if (allocatedBefore > kGiB) {
    GTEST_SKIP() << "the file system here writes holes out; the sparse tests need one that keeps them";
  }
  const Bytes prefix = [&] {
    Bytes all(made.layout.headerOffset);
    std::ifstream in(path, std::ios::binary);
    in.read(reinterpret_cast<char*>(all.data()), static_cast<std::streamsize>(all.size()));
    return all;
  }();
  ASSERT_GT(made.layout.blockTablePos, 4 * kGiB);
  ASSERT_NE(made.layout.highTablePos, 0u);

  ArchiveHandle a = Reopen("far.mpq");
  ASSERT_NE(a, nullptr);
  ExpectReads(a, "far.bin", made.far);
  ExpectReads(a, "near.txt", made.near);
  EXPECT_EQ(ArchiveContentEnd(a), std::filesystem::file_size(path) - made.layout.headerOffset);
  CloseArchive(a);

  std::map<std::string, Bytes> model = {{"far.bin", made.far}, {"near.txt", made.near}};
  a = OpenExisting("far.mpq", UPDATE_KEEP_LISTFILE);
  ASSERT_NE(a, nullptr);
  // A reader may open the archive only once the writer has closed it; the
  // writer opens it again for the next step.
  const auto check = [&](const std::string& step) {
    EXPECT_LT(AllocatedBytes(path), allocatedBefore + kGiB / 4) << step << ": too much written";
    CloseWritableArchive(a, 0);
    ArchiveHandle r = Reopen("far.mpq");
    ASSERT_NE(r, nullptr) << step;
    for (const auto& [name, data] : model) ExpectReads(r, name, data);
    FileHandle huge = nullptr;
    ASSERT_TRUE(OpenArchiveFile(r, "huge.bin", 0, &huge)) << step;
    uint8_t tail[16] = {1};
    uint32_t got = 0;
    int32_t high = 0;
    SetArchiveFilePointer(huge, -16, &high, 2);
    EXPECT_TRUE(ReadArchiveFile(huge, tail, 16, &got, nullptr) && got == 16 && tail[0] == 0) << step;
    CloseArchive(r);
    a = OpenExisting("far.mpq", UPDATE_KEEP_LISTFILE);
    ASSERT_NE(a, nullptr) << step;
  };
  const Bytes added = Compressible(50000, 13);
  ASSERT_TRUE(Add(a, "new.txt", added, BLOCK_COMPRESSED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED)) << GetLastError();
  model["new.txt"] = added;
  EXPECT_EQ(BlockOf(a, "new.txt").offsetHigh, 1u);
  check("add");
  const Bytes replaced = PatternBytes(20000, 14);
  ASSERT_TRUE(Add(a, "near.txt", replaced, BLOCK_SINGLE_UNIT | BLOCK_ENCRYPTED | ADD_REPLACE)) << GetLastError();
  model["near.txt"] = replaced;
  check("replace");
  ASSERT_TRUE(RenameArchiveFile(a, "far.bin", "dir\\far2.bin")) << GetLastError();
  model["dir\\far2.bin"] = model["far.bin"];
  model.erase("far.bin");
  check("rename");
  ASSERT_TRUE(DeleteArchiveFile(a, "new.txt")) << GetLastError();
  model.erase("new.txt");
  check("delete");
  CloseWritableArchive(a, 0);
  Bytes now(prefix.size());
  std::ifstream in(path, std::ios::binary);
  in.read(reinterpret_cast<char*>(now.data()), static_cast<std::streamsize>(now.size()));
  EXPECT_EQ(now, prefix) << "the stub and the user-data block must stay as they were";
}

}  // namespace
