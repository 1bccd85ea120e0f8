// Fixture of the update-side tests: a scratch folder, archives created and
// changed through the library, and helpers that look at the raw file and
// read stored files back through the read side.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "archive/update/update_internal.h"
#include "archive/read/read_internal.h"
#include "archive/format/records.h"
#include "sorvane/sorvane.h"
#include "platform/bytes.h"
#include "platform/platform.h"
#include "tests/support/archive_builder.h"
#include "tests/support/scratch_test.h"

namespace updatetest {

using testsupport::ArchiveBuilder;
using testsupport::Bytes;
using testsupport::Layout;
using testsupport::PatternBytes;
using testsupport::ReadBytes;
using testsupport::ToBytes;

inline Bytes TextBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

// Text that the codecs can shrink.
inline Bytes Compressible(size_t size, uint32_t seed) {
  static const char* words[] = {"alpha ", "beta ", "gamma ", "delta\r\n", "epsilon ", "zeta "};
  Bytes out;
  std::mt19937 random(seed);
  while (out.size() < size) {
    const char* w = words[random() % 6];
    out.insert(out.end(), w, w + std::strlen(w));
  }
  out.resize(size);
  return out;
}

class UpdateTest : public testsupport::ScratchArchiveTest {
 protected:
  UpdateTest() : ScratchArchiveTest("tavrix-update-") {}

  ArchiveHandle Create(const std::string& name, uint32_t hashSize = 64, uint32_t flags = 0) {
    ArchiveHandle a = OpenArchiveWritable(Path(name).c_str(), flags, hashSize);
    EXPECT_TRUE(IsUsableArchive(a)) << "create " << name << ": " << GetLastError();
    return IsUsableArchive(a) ? a : nullptr;
  }
  ArchiveHandle OpenExisting(const std::string& name, uint32_t flags = 0) {
    ArchiveHandle a = OpenArchiveWritable(Path(name).c_str(), flags | UPDATE_OPEN_EXISTING, 0);
    EXPECT_TRUE(IsUsableArchive(a)) << "open " << name << ": " << GetLastError();
    return IsUsableArchive(a) ? a : nullptr;
  }

  static bool Add(ArchiveHandle a, const std::string& name, const Bytes& data, uint32_t flags = 0,
                  uint32_t mask = COMP_IMPLODE, uint32_t level = 0) {
    static const uint8_t empty = 0;
    return AddFileFromMemory(a, data.empty() ? &empty : data.data(), static_cast<uint32_t>(data.size()),
                             name.c_str(), flags, mask, level);
  }

  // The whole stored file, or nullopt-like failure flagged through ok.
  static Bytes Read(ArchiveHandle a, const std::string& name, bool* ok = nullptr) {
    FileHandle file = nullptr;
    if (!OpenArchiveFile(a, name.c_str(), 0, &file)) {
      if (ok) *ok = false;
      return {};
    }
    // Taken a piece at a time: a lying table's size is no budget (a claimed
    // 600 MB does not fit a 32-bit process beside the tests).
    const uint32_t claimed = GetArchiveFileSize(file, nullptr);
    Bytes out;
    bool read = true;
    std::vector<uint8_t> piece(1 << 16);
    while (read && out.size() < claimed) {
      const auto want = static_cast<uint32_t>(std::min<size_t>(piece.size(), claimed - out.size()));
      uint32_t got = 0;
      read = ReadArchiveFile(file, piece.data(), want, &got, nullptr) && got == want;
      out.insert(out.end(), piece.begin(), piece.begin() + got);
    }
    CloseArchiveFile(file);
    if (ok) *ok = read;
    return out;
  }
  static bool Stored(ArchiveHandle a, const std::string& name) {
    FileHandle file = nullptr;
    if (!OpenArchiveFile(a, name.c_str(), 0, &file)) return false;
    CloseArchiveFile(file);
    return true;
  }
  // Every file of an open archive decodes whole, as verify judges it.
  static void ExpectEveryFileWhole(ArchiveHandle a, int round) {
    std::vector<uint32_t> states;
    auto take = [](void* context, const ArchiveVerifyResult* v) {
      static_cast<std::vector<uint32_t>*>(context)->push_back(v->state);
      return true;
    };
    ASSERT_TRUE(VerifyArchiveEntries(a, nullptr, 0, take, &states));
    for (uint32_t state : states) EXPECT_EQ(state, VERIFY_WHOLE) << "round " << round;
  }
  static void ExpectReads(ArchiveHandle a, const std::string& name, const Bytes& expected) {
    bool ok = false;
    const Bytes got = Read(a, name, &ok);
    EXPECT_TRUE(ok) << name << ": " << GetLastError();
    EXPECT_TRUE(got == expected) << name << ": " << got.size() << " bytes read, " << expected.size()
                                 << " expected";
  }

  // The entries as the library holds them.
  static HashEntry* Entry(ArchiveHandle a, const std::string& name, uint32_t locale) {
    return FindExactHashEntry(a, name.c_str(), locale);
  }
  static const BlockEntry& BlockOf(ArchiveHandle a, const std::string& name, uint32_t locale = 0) {
    HashEntry* e = Entry(a, name, locale);
    EXPECT_NE(e, nullptr) << name;
    static BlockEntry none{};
    if (e == nullptr || e->blockIndex >= a->header.blockTableEntries) return none;
    return a->blockTable[e->blockIndex];
  }

  // The decrypted tables as they are on disk.
  std::vector<HashEntry> DiskHashTable(const std::string& name, uint32_t headerOffset = 0) const {
    const Bytes file = ReadBytes(Path(name));
    ArchiveHeader h = ParseArchiveHeader(file.data() + headerOffset);
    std::vector<HashEntry> table(h.hashTableEntries);
    std::memcpy(table.data(), file.data() + headerOffset + h.hashTableOffset, table.size() * 16);
    DecryptBlock(table.data(), static_cast<uint32_t>(table.size() * 16), HashTableKey());
    return table;
  }
  std::vector<BlockEntry> DiskBlockTable(const std::string& name, uint32_t headerOffset = 0) const {
    const Bytes file = ReadBytes(Path(name));
    ArchiveHeader h = ParseArchiveHeader(file.data() + headerOffset);
    std::vector<BlockEntry> table(h.blockTableEntries);
    if (!table.empty()) {
      // In memory an entry also holds its high-offset word: the disk's 16
      // bytes are decrypted apart and converted.
      Bytes raw(file.begin() + headerOffset + h.blockTableOffset,
                file.begin() + headerOffset + h.blockTableOffset + table.size() * 16);
      DecryptBlock(raw.data(), static_cast<uint32_t>(raw.size()), BlockTableKey());
      for (size_t i = 0; i < table.size(); ++i) {
        const uint8_t* w = raw.data() + 16 * i;
        table[i] = BlockEntry{platform::LoadLE32(w), platform::LoadLE32(w + 4), platform::LoadLE32(w + 8),
                              platform::LoadLE32(w + 12)};
      }
    }
    return table;
  }
  ArchiveHeader DiskHeader(const std::string& name, uint32_t headerOffset = 0) const {
    const Bytes file = ReadBytes(Path(name));
    return ParseArchiveHeader(file.data() + headerOffset);
  }

  // Reopens the archive through the read side only.
  // A reader of the archive's bytes as they are on disk now, opened on a
  // copy: beside a writer the archive itself opens for nobody else.
  ArchiveHandle ReopenCopy(const std::string& name) {
    static int copies = 0;
    const std::string copy = "copy" + std::to_string(++copies) + "-" + name;
    testsupport::WriteBytes(Path(copy), ReadBytes(Path(name)));
    return Reopen(copy);
  }

  ArchiveHandle Reopen(const std::string& name) {
    ArchiveHandle a = nullptr;
    EXPECT_TRUE(OpenArchive(Path(name).c_str(), 0, 0, &a)) << GetLastError();
    return a;
  }

  // Names whose home entries in a table of n entries are all the same.
  static std::vector<std::string> CollidingNames(uint32_t n, size_t count, const std::string& stem = "f") {
    std::vector<std::string> names;
    uint32_t home = 0xFFFFFFFFu;
    for (uint32_t i = 0; names.size() < count; ++i) {
      const std::string name = stem + std::to_string(i);
      const uint32_t h = HashString(name.c_str(), HASH_TABLE_INDEX) % n;
      if (home == 0xFFFFFFFFu) home = h;
      if (h == home) names.push_back(name);
    }
    return names;
  }
};

}  // namespace updatetest
