// Adding a list of files on several compression threads (under the thread
// sanitizer in CI): the sectors of many files are compressed at once and
// their digests taken at once, and the archive must be byte for byte the
// one a single thread makes.
#include <cstdio>

#include "tests/archive/update/update_test_util.h"

using namespace updatetest;

namespace {

class ThreadedAdds : public UpdateTest {
 protected:
  Bytes MakeWith(uint32_t threads, const std::vector<Bytes>& contents, uint32_t flags, bool attributes) {
    const std::string name = "t" + std::to_string(threads) + ".mpq";
    std::remove(Path(name).c_str());
    ArchiveHandle a = Create(name, 1024, UPDATE_KEEP_LISTFILE);
    if (a == nullptr) return {};
    if (attributes) {
      EXPECT_TRUE(SetArchiveAttributes(a, ATTRIBUTE_CRC32 | ATTRIBUTE_MD5));
    }
    std::vector<std::string> names;
    for (size_t i = 0; i < contents.size(); ++i) names.push_back("dir" + std::to_string(i % 7) + "\\f" + std::to_string(i));
    std::vector<AddListItem> items;
    for (size_t i = 0; i < contents.size(); ++i) {
      items.push_back({nullptr, contents[i].data(), contents[i].size(), 0, names[i].c_str(),
                       i % 3 == 0 ? COMP_IMPLODE | COMP_HUFFMAN : COMP_IMPLODE});
    }
    const uint32_t before = SetCompressionThreadCount(threads);
    EXPECT_TRUE(AddFileList(a, items.data(), static_cast<uint32_t>(items.size()), flags, 0, 0, nullptr, nullptr))
        << GetLastError();
    SetCompressionThreadCount(before);
    CloseWritableArchive(a, 0);
    return ReadBytes(Path(name));
  }
};

TEST_F(ThreadedAdds, ManyThreadsMakeTheArchiveOneThreadMakes) {
  std::mt19937 random(5);
  std::vector<Bytes> contents;
  for (int i = 0; i < 400; ++i) {
    const uint32_t size = random() % 5 == 0 ? 20000 + random() % 60000 : random() % 3000;
    contents.push_back(random() % 2 ? Compressible(size + 1, random()) : PatternBytes(size + 1, random()));
  }
  for (const uint32_t flags : {BLOCK_COMPRESSED, BLOCK_COMPRESSED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED}) {
    for (const bool attributes : {false, true}) {
      const Bytes one = MakeWith(1, contents, flags, attributes);
      const Bytes four = MakeWith(4, contents, flags, attributes);
      EXPECT_FALSE(one.empty());
      EXPECT_TRUE(one == four) << "flags " << flags << (attributes ? ", attributes" : "");
    }
  }
}

}  // namespace
