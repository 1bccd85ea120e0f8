// Verification and archive facts against a model: archives of random files,
// some of whose stored bytes are then spoilt. Whatever the spoilt byte hits,
// a file is whole exactly when it reads back as written, differs when it
// reads through to other bytes (its CRC-32 and MD5 are recorded), and is
// damaged when it does not read through.
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tests/archive/read/read_test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;

class VerifyFactsTest : public readtest::ArchiveTest {};

struct Outcome {
  uint32_t state;
  uint32_t reason;
};

std::map<std::string, Outcome> VerifyAll(ArchiveHandle a, const std::vector<const char*>& names) {
  std::map<std::string, Outcome> out;
  auto take = [](void* context, const ArchiveVerifyResult* r) {
    (*static_cast<std::map<std::string, Outcome>*>(context))[r->entry->name] = {r->state, r->reason};
    return true;
  };
  EXPECT_TRUE(VerifyArchiveEntries(a, names.data(), static_cast<uint32_t>(names.size()), take, &out));
  return out;
}

// What reading the file through gives: its bytes, or nothing when it fails.
bool ReadBack(ArchiveHandle a, const std::string& name, Bytes* content) {
  FileHandle f = nullptr;
  if (!OpenArchiveFile(a, name.c_str(), 0, &f)) return false;
  const uint32_t size = GetArchiveFileSize(f, nullptr);
  content->assign(size, 0);
  uint32_t got = 0;
  const bool ok = size == 0 || (ReadArchiveFile(f, content->data(), size, &got, nullptr) && got == size);
  CloseArchiveFile(f);
  return ok;
}

TEST_F(VerifyFactsTest, ResultsFollowWhatReadingGives) {
  const uint32_t digests = GetSupportedDigests();
  ASSERT_NE(digests & ATTRIBUTE_CRC32, 0u);
  std::map<uint32_t, int> seenStates;
  for (uint32_t seed = 1; seed <= 60; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    const std::string path = Path("v" + std::to_string(seed) + ".mpq");
    ArchiveHandle w = OpenArchiveWritable(path.c_str(), UPDATE_CREATE_ALWAYS, 32);
    ASSERT_TRUE(IsUsableArchive(w));
    ASSERT_TRUE(SetArchiveAttributes(w, digests));
    std::map<std::string, Bytes> files;
    const uint32_t count = 2 + rng() % 6;
    for (uint32_t i = 0; i < count; ++i) {
      const std::string name = "dir\\f" + std::to_string(i) + ".bin";
      Bytes data(1 + rng() % 9000);
      const bool text = rng() % 2 == 0;
      for (uint8_t& c : data) c = static_cast<uint8_t>(text ? 'a' + rng() % 4 : rng());
      static const uint32_t kFlags[] = {0, BLOCK_COMPRESSED, BLOCK_IMPLODED, BLOCK_COMPRESSED | BLOCK_SINGLE_UNIT,
                                        BLOCK_COMPRESSED | BLOCK_SECTOR_CRC};
      ASSERT_TRUE(AddFileFromMemory(w, data.data(), static_cast<uint32_t>(data.size()), name.c_str(),
                                    kFlags[rng() % 5], COMP_ZLIB, 0))
          << GetLastError() << " size " << data.size();
      files[name] = data;
    }
    ASSERT_TRUE(CloseWritableArchive(w, 0));
    Bytes recorded;
    ArchiveHandle before = nullptr;
    ASSERT_TRUE(OpenArchive(path.c_str(), 0, 0, &before));
    ASSERT_TRUE(ReadBack(before, "(attributes)", &recorded));
    CloseArchive(before);

    // Spoil a few bytes after the header, anywhere in data or tables.
    std::fstream io(path, std::ios::in | std::ios::out | std::ios::binary);
    io.seekg(0, std::ios::end);
    const uint64_t size = static_cast<uint64_t>(io.tellg());
    for (uint32_t k = rng() % 3; k > 0; --k) {
      io.seekp(static_cast<std::streamoff>(32 + rng() % (size - 32)));
      io.put(static_cast<char>(rng()));
    }
    io.close();

    ArchiveHandle a = nullptr;
    if (!OpenArchive(path.c_str(), 0, 0, &a)) continue;  // the header's tables were hit
    uint32_t problems = 0;
    ASSERT_TRUE(CheckArchiveTables(a, nullptr, nullptr, &problems));
    ArchiveFacts facts{};
    ASSERT_TRUE(GetArchiveFacts(a, FACTS_TABLES | FACTS_SPACE | FACTS_ATTRIBUTES, &facts));
    EXPECT_EQ(facts.fileSize, size);
    EXPECT_EQ(facts.hashUsed + facts.hashDeleted + facts.hashEmpty, facts.hashTableEntries);
    EXPECT_LE(facts.blocksUsed, facts.blockTableEntries);
    std::vector<const char*> names;
    for (const auto& [name, data] : files) names.push_back(name.c_str());
    const std::map<std::string, Outcome> results = VerifyAll(a, names);
    // A byte spoilt inside what "(attributes)" records (which still reads)
    // makes a whole file differ from it.
    Bytes records;
    const bool recordsSpoilt = facts.attributesError == 0 && ReadBack(a, "(attributes)", &records) &&
                               records != recorded;
    for (const auto& [name, data] : files) {
      auto it = results.find(name);
      if (it == results.end()) continue;  // its hash entry was spoilt
      Bytes back;
      const bool read = ReadBack(a, name, &back);
      const uint32_t expected = !read ? VERIFY_DAMAGED
                                : back == data || facts.attributesError != 0 ? VERIFY_WHOLE
                                                                             : VERIFY_DIFFERS;
      if (recordsSpoilt && read && back == data && it->second.state == VERIFY_DIFFERS) {
        EXPECT_EQ(it->second.reason, VERIFY_DIGEST) << name;
      } else {
        EXPECT_EQ(it->second.state, expected) << name << " reason " << it->second.reason;
      }
      ++seenStates[it->second.state];
    }
    if (problems == 0) {
      EXPECT_LE(facts.fileDataBytes + facts.deadBytes, facts.archiveSize);
    }
    CloseArchive(a);
  }
  // The seeds reach every state a spoilt byte can give.
  EXPECT_GT(seenStates[VERIFY_WHOLE], 0);
  EXPECT_GT(seenStates[VERIFY_DAMAGED], 0);
  EXPECT_GT(seenStates[VERIFY_DIFFERS], 0);
}

// A file cut short: the last block lies past its end, which the table check
// names, and a hash entry naming a block the table lacks.
TEST_F(VerifyFactsTest, TableProblemsNameWhatLiesOutside) {
  testsupport::ArchiveBuilder b;
  b.HashTableSize(8);
  b.Add("a.txt", std::string(3000, 'a'));
  b.Add("b.txt", "bravo").blockIndexInHash = 9;
  testsupport::Layout layout;
  Bytes bytes = b.Build(&layout);
  ArchiveHandle a = OpenBytes(bytes);
  ASSERT_NE(a, nullptr);
  std::vector<ArchiveTableProblem> seen;
  uint32_t problems = 0;
  auto take = [](void* c, const ArchiveTableProblem* p) {
    static_cast<std::vector<ArchiveTableProblem>*>(c)->push_back(*p);
    return true;
  };
  ASSERT_TRUE(CheckArchiveTables(a, take, &seen, &problems));
  ASSERT_EQ(problems, 1u);
  EXPECT_EQ(seen[0].kind, TABLE_ENTRY_NAMES_NO_BLOCK);
  EXPECT_EQ(seen[0].blockIndex, 9u);
  const auto verified = VerifyAll(a, {"a.txt", "b.txt"});
  EXPECT_EQ(verified.at("a.txt").state, VERIFY_WHOLE);
  EXPECT_EQ(verified.at("b.txt").reason, VERIFY_NO_BLOCK);
  CloseArchive(a);

  // Tables first, then data cut: the block runs past the end.
  testsupport::ArchiveBuilder c;
  c.TablesFirst();
  c.Add("big.bin", Bytes(20000, 7));
  bytes = c.Build(&layout);
  bytes.resize(bytes.size() - 100);
  a = OpenBytes(bytes);
  ASSERT_NE(a, nullptr);
  seen.clear();
  ASSERT_TRUE(CheckArchiveTables(a, take, &seen, &problems));
  ASSERT_EQ(problems, 1u);
  EXPECT_EQ(seen[0].kind, TABLE_BLOCK_PAST_END);
  EXPECT_EQ(seen[0].fileSize, bytes.size());
  ArchiveFacts facts{};
  EXPECT_FALSE(GetArchiveFacts(a, 0, &facts));
  EXPECT_EQ(GetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
  ASSERT_TRUE(GetArchiveFacts(a, FACTS_TABLES, &facts));
  EXPECT_EQ(facts.hashUsed, 1u);
  EXPECT_EQ(facts.contentBytes, 20000u);
  EXPECT_EQ(facts.fileDataBytes, 0u);  // not asked for
}

}  // namespace
