// The read side from several threads at once: threads open, read and close
// random stored files of two archives, by every way of opening, and must get
// the bytes a single thread got; other threads open, reprioritise and close
// archives meanwhile. Built as a program of its own, which the thread
// sanitizer build runs alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
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
constexpr uint32_t kFrench = 0x40C;  // stored in no archive: opens fall back to neutral

// Bytes the codecs can shrink, mixed with runs of noise they cannot.
Bytes Content(size_t size, uint32_t seed) {
  static const char* const kWords[] = {"sorvane ", "sector ", "block\r\n", "hash ", "table ", "name "};
  std::mt19937 random(seed);
  Bytes out;
  while (out.size() < size) {
    if (random() % 8 == 0) {
      for (int i = 0; i < 64; ++i) out.push_back(static_cast<uint8_t>(random()));
    } else {
      const char* word = kWords[random() % 6];
      out.insert(out.end(), word, word + std::strlen(word));
    }
  }
  out.resize(size);
  return out;
}

struct Method {
  const char* tag;
  uint32_t flags;
  uint32_t mask;
};

// Every way a file's data is kept that reading must undo, the key searches
// of encrypted files included.
constexpr Method kMethods[] = {
    {"stored", 0, 0},
    {"zlib", BLOCK_COMPRESSED, COMP_ZLIB},
    {"bzip2", BLOCK_COMPRESSED, COMP_BZIP2},
    {"huffman", BLOCK_COMPRESSED, COMP_HUFFMAN},
    {"implode", BLOCK_IMPLODED, 0},
    {"pkimplode", BLOCK_COMPRESSED, COMP_IMPLODE},
    {"zlib-encrypted", BLOCK_COMPRESSED | BLOCK_ENCRYPTED, COMP_ZLIB},
    {"implode-keyed", BLOCK_IMPLODED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED, 0},
    {"stored-encrypted", BLOCK_ENCRYPTED, 0},
    {"unit-zlib", BLOCK_SINGLE_UNIT | BLOCK_COMPRESSED, COMP_ZLIB},
    {"unit-encrypted", BLOCK_SINGLE_UNIT | BLOCK_COMPRESSED | BLOCK_ENCRYPTED, COMP_HUFFMAN},
    {"wave", BLOCK_COMPRESSED, COMP_ADPCM_MONO | COMP_HUFFMAN},
};
constexpr uint32_t kSizes[] = {0, 1, 511, 4096, 4097, 20000, 70001};

// One way of opening a stored file, as a thread repeats it.
enum class Way { InLocale, AnyArchiveInLocale, CurrentLocale, AnyArchive, ByIndex };

struct Request {
  Way way = Way::InLocale;
  int archive = -1;  // index into the open archives; -1 for none
  std::string name;
  uint32_t locale = 0;
  uint32_t index = 0;
  bool opens = false;  // what the single-threaded open gave
  Bytes bytes;
};

Request Ask(Way way, int archive, const std::string& name, uint32_t locale = 0, uint32_t index = 0) {
  Request r;
  r.way = way;
  r.archive = archive;
  r.name = name;
  r.locale = locale;
  r.index = index;
  return r;
}

std::string Describe(const Request& r) {
  return "way " + std::to_string(static_cast<int>(r.way)) + " archive " + std::to_string(r.archive) + " '" +
         r.name + "' locale " + std::to_string(r.locale) + " #" + std::to_string(r.index);
}

// What was added under a name in a locale.
using Added = std::map<std::pair<std::string, uint32_t>, Bytes>;

class ThreadedReads : public testsupport::ScratchArchiveTest {
 protected:
  ThreadedReads() : ScratchArchiveTest("tavrix-threads-") {}

  // Writes an archive through the update side: every method at every size,
  // a text in three locales, and names the other archive holds too.
  std::vector<std::string> Build(const std::string& file, uint32_t seed, Added* added = nullptr) {
    ArchiveHandle archive = OpenArchiveWritable(Path(file).c_str(), UPDATE_CREATE_ALWAYS | UPDATE_KEEP_LISTFILE, 2048);
    EXPECT_TRUE(IsUsableArchive(archive)) << GetLastError();
    // Names that lead the name list, so that a key search by the list reads
    // a while before it finds a name.
    EXPECT_TRUE(BeginArchiveUpdate(archive));
    for (int i = 0; i < 600; ++i) {
      const std::string name = "pad\\" + std::to_string(i) + ".txt";
      EXPECT_TRUE(AddFileFromMemory(archive, name.data(), static_cast<uint32_t>(name.size()), name.c_str(), 0, 0, 0));
    }
    EXPECT_TRUE(CommitArchiveUpdate(archive));
    std::vector<std::string> names;
    auto add = [&](const std::string& name, const Bytes& data, uint32_t flags, uint32_t mask) {
      static const uint8_t empty = 0;
      if (AddFileFromMemory(archive, data.empty() ? &empty : data.data(), static_cast<uint32_t>(data.size()),
                            name.c_str(), flags, mask, 0)) {
        if (GetLocale() == 0) names.push_back(name);
        if (added != nullptr) (*added)[{name, GetLocale()}] = data;
      } else {
        // The Windows builds lack bzip2.
        EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED) << name;
      }
    };
    uint32_t n = seed;
    for (const Method& m : kMethods) {
      for (uint32_t size : kSizes) {
        add(std::string("data\\") + m.tag + "-" + std::to_string(size) + ".bin", Content(size, ++n), m.flags,
            m.mask);
      }
    }
    // Texts in three locales, which an open in the wrong locale tells apart.
    for (uint32_t locale : {0u, kGerman, kEnglish}) {
      SetLocale(locale);
      for (int t = 0; t < 12; ++t) {
        add("text\\note-" + std::to_string(t) + ".txt", Content(1000 + 300 * t, ++n),
            BLOCK_COMPRESSED | BLOCK_ENCRYPTED, t % 2 == 0 ? COMP_ZLIB : COMP_HUFFMAN);
      }
    }
    SetLocale(0);
    add("shared\\both.bin", Content(9000, ++n), BLOCK_COMPRESSED, COMP_ZLIB);
    EXPECT_TRUE(CloseWritableArchive(archive, 0));
    return names;
  }

  static bool ReadAll(FileHandle file, Bytes* out) {
    const uint32_t size = GetArchiveFileSize(file, nullptr);
    if (size == 0xFFFFFFFFu) return false;
    // One byte more than the file has, which no read may fill.
    out->assign(static_cast<size_t>(size) + 1, 0);
    uint32_t got = 0;
    const bool ok = ReadArchiveFile(file, out->data(), size + 1, &got, nullptr) && got == size;
    out->pop_back();
    return ok;
  }

  static bool Open(const Request& r, const std::vector<ArchiveHandle>& archives, FileHandle* file) {
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

  // Every request over the archives, answered on this thread alone.
  static std::vector<Request> Requests(const std::vector<ArchiveHandle>& archives,
                                       const std::vector<std::string>& names) {
    std::vector<Request> requests;
    for (const std::string& name : names) {
      for (uint32_t locale : {0u, kGerman, kFrench}) {
        for (int a = 0; a < static_cast<int>(archives.size()); ++a) requests.push_back(Ask(Way::InLocale, a, name, locale));
        requests.push_back(Ask(Way::AnyArchiveInLocale, -1, name, locale));
      }
      requests.push_back(Ask(Way::CurrentLocale, 1, name));
      requests.push_back(Ask(Way::AnyArchive, -1, name));
    }
    for (int a = 0; a < static_cast<int>(archives.size()); ++a) {
      const uint32_t entries = GetArchiveFileInfo(archives[a], INFO_HASH_TABLE_SIZE);
      for (uint32_t i = 0; i < entries; ++i) {
        if (ArchiveHasEntryAt(archives[a], i)) requests.push_back(Ask(Way::ByIndex, a, "", 0, i));
      }
    }
    for (Request& r : requests) {
      FileHandle file = nullptr;
      r.opens = Open(r, archives, &file);
      if (r.opens) {
        EXPECT_TRUE(ReadAll(file, &r.bytes)) << r.name << " #" << r.index << ": " << GetLastError();
        CloseArchiveFile(file);
      }
    }
    return requests;
  }

  static bool ArchiveHasEntryAt(ArchiveHandle archive, uint32_t index) {
    FileHandle file = nullptr;
    if (!OpenArchiveFileByIndex(archive, index, &file)) return false;
    CloseArchiveFile(file);
    return true;
  }
};

// What the threads saw that they should not have; the first few are kept.
class Mismatches {
 public:
  void Add(const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (++count_ <= 5) text_ += what + "\n";
  }
  int count() const { return count_; }
  const std::string& text() const { return text_; }

 private:
  std::mutex mutex_;
  int count_ = 0;
  std::string text_;
};


// A file a thread holds open: the request it answers and where it stands.
struct Reading {
  const Request* request;
  FileHandle file;
  uint32_t position;
};

// Reads a random piece of the file at a random place (or on from where it
// stands) and compares it with the single-threaded bytes.
bool ReadPiece(Reading& open, std::mt19937& random, Mismatches& bad) {
  const Bytes& expected = open.request->bytes;
  const uint32_t size = static_cast<uint32_t>(expected.size());
  if (size != 0 && random() % 4 == 0) {
    open.position = random() % size;
    if (SetArchiveFilePointer(open.file, static_cast<int32_t>(open.position), nullptr, platform::kFileBegin) != open.position) {
      bad.Add("seek failed: " + Describe(*open.request));
      return false;
    }
  }
  const uint32_t want = 1 + random() % 9000;
  Bytes piece(want);
  uint32_t got = 0;
  if (!ReadArchiveFile(open.file, piece.data(), want, &got, nullptr)) {
    bad.Add("read failed with " + std::to_string(GetLastError()) + ": " + Describe(*open.request));
    return false;
  }
  const uint32_t left = size - open.position;
  if (got != (want < left ? want : left) ||
      !std::equal(piece.begin(), piece.begin() + got, expected.begin() + open.position)) {
    bad.Add("bytes differ at " + std::to_string(open.position) + ": " + Describe(*open.request));
    return false;
  }
  open.position += got;
  return open.position < size;
}

TEST_F(ThreadedReads, ThreadsReadWhatOneThreadReads) {
  Added addedA, addedB;
  const std::vector<std::string> namesA = Build("a.mpq", 100, &addedA);
  const std::vector<std::string> namesB = Build("b.mpq", 200, &addedB);
  std::vector<ArchiveHandle> archives(2, nullptr);
  ASSERT_TRUE(OpenArchive(Path("a.mpq").c_str(), 10, 0, &archives[0]));
  ASSERT_TRUE(OpenArchive(Path("b.mpq").c_str(), 20, 0, &archives[1]));
  // The process-wide locale stays put while the threads run.
  SetLocale(kGerman);
  std::vector<std::string> names = namesA;
  names.push_back("missing\\nowhere.bin");
  const std::vector<Request> requests = Requests(archives, names);

  // The single-threaded answers are the archives' content: the lossless
  // files read back as added, a locale no archive holds falls back to the
  // neutral file, the process-wide locale is the one set, the archive of
  // higher priority wins a search.
  auto source = [](const Added& added, const std::string& name, uint32_t locale) {
    auto it = added.find({name, locale});
    if (it == added.end()) it = added.find({name, 0u});
    return it != added.end() ? it->second : Bytes{};
  };
  uint32_t checked = 0;
  for (const Request& r : requests) {
    if (r.name == "missing\\nowhere.bin" || r.name.find("wave") != std::string::npos || r.way == Way::ByIndex) {
      EXPECT_EQ(r.opens, r.name != "missing\\nowhere.bin") << Describe(r);
      continue;
    }
    ASSERT_TRUE(r.opens) << Describe(r);
    const uint32_t locale = r.way == Way::CurrentLocale || r.way == Way::AnyArchive ? kGerman : r.locale;
    const bool fromB = r.archive == 1 || (r.archive == -1 && addedB.count({r.name, 0u}) != 0);
    EXPECT_EQ(r.bytes, source(fromB ? addedB : addedA, r.name, locale)) << Describe(r);
    ++checked;
  }
  EXPECT_GT(checked, 500u);

  // Names a caller gives for the archives: key searches by index look them
  // up while a thread swaps them.
  std::vector<const char*> given;
  for (const std::string& name : namesA) given.push_back(name.c_str());

  // Requests are drawn from pools, each pool as often as the others, not
  // by how many requests each way has: every way of opening, and besides
  // those the index opens of encrypted files (whose key search reads the
  // name lists of every locale) and the opens in the process-wide locale
  // of texts stored in several locales, which must never see another locale
  // while those searches run beside them.
  std::vector<std::vector<const Request*>> pools(7);
  for (const Request& r : requests) {
    pools[static_cast<size_t>(r.way)].push_back(&r);
    FileHandle file = nullptr;
    if (r.way == Way::ByIndex && OpenArchiveFileByIndex(archives[r.archive], r.index, &file)) {
      if (GetArchiveFileInfo(file, INFO_FLAGS) & BLOCK_ENCRYPTED) pools[5].push_back(&r);
      CloseArchiveFile(file);
    }
    if ((r.way == Way::CurrentLocale || r.way == Way::AnyArchive) && r.name.rfind("text\\", 0) == 0) {
      pools[6].push_back(&r);
    }
  }
  for (const auto& pool : pools) ASSERT_FALSE(pool.empty());

  constexpr int kThreads = 8;
  constexpr int kRounds = 100;
  Mismatches bad;
  std::atomic<int> opened{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(1000 + t);
      for (int round = 0; round < kRounds; ++round) {
        if (t == 0 && round % 10 == 0) {
          const uint32_t count = round % 40 == 0 ? static_cast<uint32_t>(given.size()) : 0;
          if (!SetArchiveNameList(archives[round % 2], given.data(), count)) bad.Add("name list refused");
        }
        // Several files at once, read in turns.
        std::vector<Reading> open;
        const int files = 1 + static_cast<int>(random() % 3);
        for (int f = 0; f < files; ++f) {
          const std::vector<const Request*>& pool = pools[random() % pools.size()];
          const Request& r = *pool[random() % pool.size()];
          FileHandle file = nullptr;
          const bool ok = ThreadedReads::Open(r, archives, &file);
          if (ok != r.opens) {
            bad.Add(std::string(ok ? "opened" : "did not open") + ": " + Describe(r));
            if (ok) CloseArchiveFile(file);
            continue;
          }
          if (ok) open.push_back({&r, file, 0});
        }
        opened += static_cast<int>(open.size());
        while (!open.empty()) {
          const size_t i = random() % open.size();
          if (!ReadPiece(open[i], random, bad)) {
            if (!CloseArchiveFile(open[i].file)) bad.Add("close failed: " + Describe(*open[i].request));
            open.erase(open.begin() + static_cast<std::ptrdiff_t>(i));
          }
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(bad.count(), 0) << bad.text();
  EXPECT_GT(opened.load(), kThreads * kRounds);
  EXPECT_EQ(OpenFileListCount, 0u);
  for (ArchiveHandle archive : archives) EXPECT_EQ(archive->refCount, 1u);
}

TEST_F(ThreadedReads, ArchivesOpenAndCloseWhileOthersRead) {
  const std::vector<std::string> names = Build("a.mpq", 300);
  // Copies of one archive, so that whichever a search finds holds the same.
  constexpr int kCopies = 3;
  for (int c = 0; c < kCopies; ++c) {
    std::filesystem::copy_file(Path("a.mpq"), Path("copy" + std::to_string(c) + ".mpq"));
  }
  ArchiveHandle stable = nullptr;
  ASSERT_TRUE(OpenArchive(Path("a.mpq").c_str(), 100, 0, &stable));
  std::vector<ArchiveHandle> archives{stable};
  std::vector<Request> requests;
  for (const std::string& name : names) {
    requests.push_back(Ask(Way::InLocale, 0, name, kEnglish));
    requests.push_back(Ask(Way::AnyArchiveInLocale, -1, name, 0));
  }
  for (Request& r : requests) {
    FileHandle file = nullptr;
    r.opens = Open(r, archives, &file);
    ASSERT_TRUE(r.opens && ReadAll(file, &r.bytes)) << r.name;
    CloseArchiveFile(file);
  }

  constexpr int kRounds = 40;
  Mismatches bad;
  std::vector<std::thread> threads;
  // Threads that open copies at priorities below the stable archive's, read
  // them, change their priority and close them, files still open or not.
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(2000 + t);
      for (int round = 0; round < kRounds; ++round) {
        const std::string path = Path("copy" + std::to_string(random() % kCopies) + ".mpq");
        std::vector<ArchiveHandle> mine(1, nullptr);
        if (!OpenArchive(path.c_str(), random() % 50, 0, &mine[0])) {
          bad.Add("copy did not open: " + std::to_string(GetLastError()));
          continue;
        }
        for (int f = 0; f < 3; ++f) {
          Request r = requests[(random() % (requests.size() / 2)) * 2];
          r.archive = 0;
          FileHandle file = nullptr;
          if (!Open(r, mine, &file)) {
            bad.Add("copy's file did not open: " + Describe(r));
            continue;
          }
          Reading reading{&r, file, 0};
          while (ReadPiece(reading, random, bad)) {
          }
          if (f != 2 && !CloseArchiveFile(file)) bad.Add("close failed: " + Describe(r));
        }
        if (!SetArchivePriority(mine[0], random() % 50)) bad.Add("priority refused");
        if (!CloseArchive(mine[0])) bad.Add("copy did not close");
      }
    });
  }
  // Threads that search every archive while the list changes: for names the
  // stable archive holds, and for names none holds.
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(3000 + t);
      for (int round = 0; round < kRounds * 3; ++round) {
        const Request& r = requests[random() % requests.size()];
        FileHandle file = nullptr;
        if (!Open(r, archives, &file)) {
          bad.Add("did not open: " + Describe(r));
          continue;
        }
        ArchiveHandle from = nullptr;
        if (!GetFileArchive(file, &from) || from != stable) bad.Add("found outside the stable archive");
        Reading reading{&r, file, 0};
        while (ReadPiece(reading, random, bad)) {
        }
        CloseArchiveFile(file);
        FileHandle none = nullptr;
        if (OpenArchiveFileInLocale(nullptr, "missing\\nowhere.bin", 0, &none) ||
            GetLastError() != ERROR_FILE_NOT_FOUND) {
          bad.Add("a missing name opened, or failed otherwise");
        }
        if (GetArchiveFileInfo(stable, INFO_PRIORITY) != 100) bad.Add("stable priority changed");
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(bad.count(), 0) << bad.text();
  EXPECT_EQ(ArchiveListCount, 1u);
  EXPECT_EQ(OpenFileListCount, 0u);
  EXPECT_EQ(stable->refCount, 1u);
}

}  // namespace
