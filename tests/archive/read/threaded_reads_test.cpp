// The read side from several threads at once: threads open, read and close
// random stored files of two archives, by every way of opening, and must get
// the bytes one thread got; other threads open, reprioritise and close
// archives meanwhile. A program of its own, which the thread sanitizer
// build runs alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "archive/read/read_internal.h"
#include "platform/platform.h"
#include "sorvane/sorvane.h"
#include "tests/support/archive_builder.h"
#include "tests/support/scratch_test.h"

namespace {

using testsupport::Bytes;

constexpr uint32_t kGerman = 0x407;
constexpr uint32_t kEnglish = 0x409;
constexpr uint32_t kFrench = 0x40C;  // in no archive: opens fall back to the neutral file

// Words the codecs shrink, with runs of noise they cannot.
Bytes Content(size_t size, uint32_t seed) {
  static const char* const kWords[] = {"sorvane ", "sector ", "block\r\n", "hash "};
  std::mt19937 random(seed);
  Bytes out;
  while (out.size() < size) {
    for (int i = 0; i < 64 && random() % 8 == 0; ++i) out.push_back(static_cast<uint8_t>(random()));
    const char* word = kWords[random() % 4];
    out.insert(out.end(), word, word + std::strlen(word));
  }
  out.resize(size);
  return out;
}

// Every way of keeping data that reading undoes, and the encrypted ones
// whose key an open by index finds through the name list.
struct Method {
  const char* tag;
  uint32_t flags, mask;
} constexpr kMethods[] = {
    {"stored", 0, 0},
    {"zlib", BLOCK_COMPRESSED, COMP_ZLIB},
    {"bzip2", BLOCK_COMPRESSED, COMP_BZIP2},
    {"huffman", BLOCK_COMPRESSED, COMP_HUFFMAN},
    {"implode", BLOCK_IMPLODED, 0},
    {"zlib-encrypted", BLOCK_COMPRESSED | BLOCK_ENCRYPTED, COMP_ZLIB},
    {"implode-keyed", BLOCK_IMPLODED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED, 0},
    {"unit-zlib", BLOCK_SINGLE_UNIT | BLOCK_COMPRESSED, COMP_ZLIB},
    {"unit-encrypted", BLOCK_SINGLE_UNIT | BLOCK_COMPRESSED | BLOCK_ENCRYPTED, COMP_HUFFMAN},
    {"wave", BLOCK_COMPRESSED, COMP_ADPCM_MONO | COMP_HUFFMAN},
};
constexpr uint32_t kSizes[] = {0, 1, 4096, 4097, 20000, 70001};

enum class Way { InLocale, AnyArchiveInLocale, CurrentLocale, AnyArchive, ByIndex };

// One open as the threads repeat it, with what it gave on one thread.
struct Request {
  Request(Way w, int a, std::string n, uint32_t l = 0, uint32_t i = 0)
      : way(w), archive(a), name(std::move(n)), locale(l), index(i) {}
  Way way;
  int archive;  // into the open archives; -1 for none
  std::string name;
  uint32_t locale, index;
  bool opens = false, encrypted = false;
  Bytes bytes;
  std::string Text() const {
    return "way " + std::to_string(static_cast<int>(way)) + " archive " + std::to_string(archive) + " '" + name +
           "' locale " + std::to_string(locale) + " #" + std::to_string(index);
  }
};

using Added = std::map<std::pair<std::string, uint32_t>, Bytes>;  // by name and locale

bool Open(const Request& r, const std::vector<ArchiveHandle>& archives, FileHandle* file) {
  ArchiveHandle archive = r.archive >= 0 ? archives[r.archive] : nullptr;
  switch (r.way) {
    case Way::InLocale:
    case Way::AnyArchiveInLocale: return OpenArchiveFileInLocale(archive, r.name.c_str(), r.locale, file);
    case Way::CurrentLocale: return OpenArchiveFile(archive, r.name.c_str(), 0, file);
    case Way::AnyArchive: return OpenFileFromAnyArchive(r.name.c_str(), file);
    case Way::ByIndex: return OpenArchiveFileByIndex(archive, r.index, file);
  }
  return false;
}

// Opens and reads the request on this thread alone.
void Answer(Request& r, const std::vector<ArchiveHandle>& archives) {
  FileHandle file = nullptr;
  r.opens = Open(r, archives, &file);
  if (!r.opens) return;
  const uint32_t size = GetArchiveFileSize(file, nullptr);
  r.bytes.assign(static_cast<size_t>(size) + 1, 0);  // one byte more than any read may fill
  uint32_t got = 0;
  EXPECT_TRUE(ReadArchiveFile(file, r.bytes.data(), size + 1, &got, nullptr) && got == size) << r.Text();
  r.bytes.resize(got);
  r.encrypted = (GetArchiveFileInfo(file, INFO_FLAGS) & BLOCK_ENCRYPTED) != 0;
  CloseArchiveFile(file);
}

// What the threads saw that they should not have; the first few are kept.
struct Mismatches {
  std::mutex mutex;
  std::vector<std::string> seen;
  void Add(const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex);
    seen.push_back(what);
  }
  std::string Text() {
    std::string text;
    for (size_t i = 0; i < seen.size() && i < 5; ++i) text += seen[i] + "\n";
    return text;
  }
};

// Reads the open file to its end in random pieces, some after a random
// seek, comparing each with the bytes one thread read.
void ReadThrough(const Request& r, FileHandle file, std::mt19937& random, Mismatches& bad) {
  const uint32_t size = static_cast<uint32_t>(r.bytes.size());
  uint32_t position = 0;
  for (int step = 0; position < size && step < 64; ++step) {
    if (random() % 4 == 0) {
      position = random() % size;
      if (SetArchiveFilePointer(file, static_cast<int32_t>(position), nullptr, platform::kFileBegin) != position) {
        return bad.Add("seek failed: " + r.Text());
      }
    }
    Bytes piece(1 + random() % 9000);
    uint32_t got = 0;
    if (!ReadArchiveFile(file, piece.data(), static_cast<uint32_t>(piece.size()), &got, nullptr) ||
        got != std::min<uint32_t>(static_cast<uint32_t>(piece.size()), size - position) ||
        !std::equal(piece.begin(), piece.begin() + got, r.bytes.begin() + position)) {
      return bad.Add("read differs at " + std::to_string(position) + ": " + r.Text());
    }
    position += got;
  }
}

class ThreadedReads : public testsupport::ScratchArchiveTest {
 protected:
  ThreadedReads() : ScratchArchiveTest("tavrix-threads-") {}

  // An archive made through the update side: every method at several sizes
  // behind a long name list, and texts in three locales.
  std::vector<std::string> Build(const std::string& file, uint32_t seed, Added* added) {
    ArchiveHandle archive = OpenArchiveWritable(Path(file).c_str(), UPDATE_CREATE_ALWAYS | UPDATE_KEEP_LISTFILE, 2048);
    EXPECT_TRUE(IsUsableArchive(archive)) << GetLastError();
    // Names that lead the name list: a key search reads a while before it
    // finds a name.
    EXPECT_TRUE(BeginArchiveUpdate(archive));
    for (int i = 0; i < 600; ++i) {
      const std::string name = "pad\\" + std::to_string(i) + ".txt";
      EXPECT_TRUE(AddFileFromMemory(archive, name.data(), static_cast<uint32_t>(name.size()), name.c_str(), 0, 0, 0));
    }
    EXPECT_TRUE(CommitArchiveUpdate(archive));
    std::vector<std::string> names;
    auto add = [&](const std::string& name, const Bytes& data, uint32_t flags, uint32_t mask) {
      static const uint8_t empty = 0;
      if (!AddFileFromMemory(archive, data.empty() ? &empty : data.data(), static_cast<uint32_t>(data.size()),
                             name.c_str(), flags, mask, 0)) {
        EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED) << name;  // the Windows builds lack bzip2
        return;
      }
      if (GetLocale() == 0) names.push_back(name);
      (*added)[{name, GetLocale()}] = data;
    };
    for (const Method& m : kMethods) {
      for (uint32_t size : kSizes) {
        add(std::string("data\\") + m.tag + "-" + std::to_string(size), Content(size, ++seed), m.flags, m.mask);
      }
    }
    // Texts that an open in the wrong locale tells apart.
    for (uint32_t locale : {0u, kGerman, kEnglish}) {
      SetLocale(locale);
      for (int t = 0; t < 12; ++t) {
        add("text\\" + std::to_string(t), Content(1000 + 300 * t, ++seed), BLOCK_COMPRESSED | BLOCK_ENCRYPTED,
            t % 2 == 0 ? COMP_ZLIB : COMP_HUFFMAN);
      }
    }
    SetLocale(0);
    EXPECT_TRUE(CloseWritableArchive(archive, 0));
    return names;
  }
};

TEST_F(ThreadedReads, ThreadsReadWhatOneThreadReads) {
  Added addedA, addedB;
  std::vector<std::string> names = Build("a.mpq", 100, &addedA);
  Build("b.mpq", 200, &addedB);  // the same names, other bytes
  std::vector<ArchiveHandle> archives(2, nullptr);
  ASSERT_TRUE(OpenArchive(Path("a.mpq").c_str(), 10, 0, &archives[0]));
  ASSERT_TRUE(OpenArchive(Path("b.mpq").c_str(), 20, 0, &archives[1]));
  SetLocale(kGerman);  // and no thread changes it
  names.push_back("missing");
  std::vector<Request> requests;
  for (const std::string& name : names) {
    for (uint32_t locale : {0u, kGerman, kFrench}) {
      requests.emplace_back(Way::InLocale, 0, name, locale);
      requests.emplace_back(Way::InLocale, 1, name, locale);
      requests.emplace_back(Way::AnyArchiveInLocale, -1, name, locale);
    }
    requests.emplace_back(Way::CurrentLocale, 0, name);
    requests.emplace_back(Way::AnyArchive, -1, name);
  }
  for (int a = 0; a < 2; ++a) {
    for (uint32_t i = 0; i < 2048; ++i) requests.emplace_back(Way::ByIndex, a, "", 0, i);
  }
  for (Request& r : requests) Answer(r, archives);

  // One thread's answers are the archives' content: lossless files read
  // back as added, in the locale asked for or else the neutral one, the
  // process-wide locale where no other is given, and a search takes the
  // archive of higher priority.
  for (const Request& r : requests) {
    if (r.way == Way::ByIndex || r.name.find("wave") != std::string::npos) continue;
    const Added& added = r.archive == 0 ? addedA : addedB;
    const uint32_t locale = r.way == Way::CurrentLocale || r.way == Way::AnyArchive ? kGerman : r.locale;
    auto it = added.find({r.name, locale});
    if (it == added.end()) it = added.find({r.name, 0u});
    ASSERT_EQ(r.opens, it != added.end()) << r.Text();
    if (r.opens) {
      EXPECT_EQ(r.bytes, it->second) << r.Text();
    }
  }

  // Drawn from pools, each as often as the others: every way of opening, the
  // index opens of encrypted files (whose key search reads the name lists of
  // every locale), and the opens of texts in the process-wide locale, which
  // must never see another locale while those searches run.
  std::vector<std::vector<const Request*>> pools(7);
  for (const Request& r : requests) {
    if (r.way == Way::ByIndex && !r.opens) continue;
    pools[static_cast<size_t>(r.way)].push_back(&r);
    if (r.way == Way::ByIndex && r.encrypted) pools[5].push_back(&r);
    if ((r.way == Way::CurrentLocale || r.way == Way::AnyArchive) && r.name.rfind("text\\", 0) == 0) {
      pools[6].push_back(&r);
    }
  }
  // A caller's names for the archives, which key searches look up first,
  // given and taken away while the threads read.
  std::vector<const char*> given;
  for (const std::string& name : names) given.push_back(name.c_str());

  Mismatches bad;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(1000 + t);
      for (int round = 0; round < 100; ++round) {
        if (t == 0 && round % 10 == 0) {
          const uint32_t count = round % 40 == 0 ? static_cast<uint32_t>(given.size()) : 0;
          if (!SetArchiveNameList(archives[round / 10 % 2], given.data(), count)) bad.Add("name list refused");
        }
        // Up to three files open at once, read in turns.
        std::vector<std::pair<const Request*, FileHandle>> open;
        for (int f = 1 + static_cast<int>(random() % 3); f > 0; --f) {
          const std::vector<const Request*>& pool = pools[random() % pools.size()];
          const Request& r = *pool[random() % pool.size()];
          FileHandle file = nullptr;
          if (Open(r, archives, &file) != r.opens) bad.Add("opens otherwise: " + r.Text());
          if (file != nullptr) open.emplace_back(&r, file);
        }
        std::shuffle(open.begin(), open.end(), random);
        for (const auto& [r, file] : open) {
          ReadThrough(*r, file, random, bad);
          if (!CloseArchiveFile(file)) bad.Add("close failed: " + r->Text());
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_TRUE(bad.seen.empty()) << bad.seen.size() << " mismatches, first:\n" << bad.Text();
  EXPECT_EQ(OpenFileListCount, 0u);
  for (ArchiveHandle archive : archives) EXPECT_EQ(archive->refCount, 1u);
}

TEST_F(ThreadedReads, ArchivesOpenAndCloseWhileOthersRead) {
  Added added;
  const std::vector<std::string> names = Build("a.mpq", 300, &added);
  for (int c = 0; c < 3; ++c) std::filesystem::copy_file(Path("a.mpq"), Path("copy" + std::to_string(c) + ".mpq"));
  // A search for a name finds it in this archive, whichever copies are open
  // (at lower priorities) meanwhile.
  std::vector<ArchiveHandle> stable(1, nullptr);
  ASSERT_TRUE(OpenArchive(Path("a.mpq").c_str(), 100, 0, &stable[0]));
  std::vector<Request> requests;
  for (const std::string& name : names) {
    requests.emplace_back(Way::InLocale, 0, name, kEnglish);
    requests.emplace_back(Way::AnyArchiveInLocale, -1, name, kGerman);
  }
  for (Request& r : requests) {
    Answer(r, stable);
    ASSERT_TRUE(r.opens) << r.Text();
  }

  Mismatches bad;
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(2000 + t);
      for (int round = 0; round < 60; ++round) {
        const Request& r = requests[random() % requests.size()];
        std::vector<ArchiveHandle> copy(1, nullptr);
        FileHandle file = nullptr;
        if (t % 2 == 0) {
          // A copy opened, read through its own handle, given another
          // priority and closed, a file of it still open or not.
          const std::string path = Path("copy" + std::to_string(random() % 3) + ".mpq");
          if (!OpenArchive(path.c_str(), random() % 50, 0, &copy[0])) {
            bad.Add("copy did not open: " + std::to_string(GetLastError()));
            continue;
          }
          Request mine = r;
          mine.archive = 0;
          if (!Open(mine, copy, &file)) bad.Add("did not open: " + mine.Text());
          if (file != nullptr) ReadThrough(mine, file, random, bad);
          if (file != nullptr && random() % 2 == 0 && !CloseArchiveFile(file)) bad.Add("close failed");
          if (!SetArchivePriority(copy[0], random() % 50) || !CloseArchive(copy[0])) bad.Add("copy refused");
          continue;
        }
        // Searches over every archive while the list changes, for names
        // the stable archive holds and for a name none holds.
        ArchiveHandle from = nullptr;
        if (!Open(r, stable, &file) || !GetFileArchive(file, &from) || from != stable[0]) {
          bad.Add("not opened from the stable archive: " + r.Text());
        }
        if (file != nullptr) ReadThrough(r, file, random, bad);
        if (file != nullptr) CloseArchiveFile(file);
        if (OpenArchiveFileInLocale(nullptr, "missing", 0, &file) || GetLastError() != ERROR_FILE_NOT_FOUND) {
          bad.Add("a missing name opened, or failed otherwise");
        }
        if (GetArchiveFileInfo(stable[0], INFO_PRIORITY) != 100) bad.Add("stable priority changed");
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_TRUE(bad.seen.empty()) << bad.seen.size() << " mismatches, first:\n" << bad.Text();
  EXPECT_EQ(ArchiveListCount, 1u);
  EXPECT_EQ(OpenFileListCount, 0u);
  EXPECT_EQ(stable[0]->refCount, 1u);
}

}  // namespace
