// The dead space that single updates leave: adds N files of 1 to 4 KB to a
// new archive, each through its own library call (no batch) with the name
// list kept, then compacts it. Prints both sizes and their ratio. With
// "churn", alternates adding and deleting one file instead, each its own
// update, on an archive of a few files, and prints the file's size along
// the way and compacted. With "large", adds N stored files of K KiB each
// (larger than the block table, so that no hole a table copy leaves takes
// one), each its own update, with the name list kept unless "nolist". The
// last two also print the compacted archive's tables, the yardstick of the
// dead space.
//   dead_space FOLDER [files] [hash entries]
//   dead_space FOLDER churn [updates] [hash entries]
//   dead_space FOLDER large [adds] [hash entries] [KiB] [nolist]
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sorvane/sorvane.h"
#include "platform/platform.h"

namespace {

// Deterministic contents that compress about as well as game data: runs of
// a few symbols mixed with noise.
std::vector<uint8_t> Contents(uint32_t index) {
  uint32_t state = 2463534242u ^ (index * 2654435761u);
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  };
  std::vector<uint8_t> data(1024 + next() % 3073);
  for (size_t i = 0; i < data.size(); ++i) {
    data[i] = (next() % 4 == 0) ? static_cast<uint8_t>(next()) : static_cast<uint8_t>('a' + (i / 7) % 5);
  }
  return data;
}

uint64_t FileSize(const std::string& path) {
  platform::OsHandle f = platform::CreateFile(path.c_str(), platform::kGenericRead, platform::kFileShareRead,
                                              platform::kOpenExisting, 0);
  uint64_t size = 0;
  platform::GetFileSize64(f, &size);
  platform::CloseHandle(f);
  return size;
}

// Compacts the archive and prints its size and its tables' bytes beside the
// dead space of the size before.
bool CompactAndReport(ArchiveHandle archive, const std::string& path) {
  const uint64_t before = FileSize(path);
  ArchiveFacts facts{};
  facts.structSize = sizeof facts;
  if (!CompactArchive(archive) || !GetArchiveFacts(archive, FACTS_TABLES, &facts)) return false;
  const uint64_t after = FileSize(path);
  const uint64_t tables = (static_cast<uint64_t>(facts.hashTableEntries) + facts.blockTableEntries) * 16;
  std::printf("  compacted: %llu (tables %llu bytes: %u hash, %u block entries)\n",
              static_cast<unsigned long long>(after), static_cast<unsigned long long>(tables),
              static_cast<unsigned>(facts.hashTableEntries), static_cast<unsigned>(facts.blockTableEntries));
  std::printf("  dead before compacting: %llu bytes, %.3f x the compacted tables\n",
              static_cast<unsigned long long>(before - after),
              static_cast<double>(before - after) / static_cast<double>(tables));
  return true;
}

}  // namespace

// A new archive at path (any old file removed first); null, said, when it
// cannot be made.
static ArchiveHandle CreateFresh(const std::string& path, uint32_t flags, uint32_t hash) {
  platform::DeleteFile(path.c_str());
  ArchiveHandle archive = OpenArchiveWritable(path.c_str(), flags, hash);
  if (IsUsableArchive(archive)) return archive;
  std::fprintf(stderr, "cannot create %s: %u\n", path.c_str(), static_cast<unsigned>(GetLastError()));
  return nullptr;
}

// Compacts and reports when the updates went well, then closes and removes
// the archive; the program's exit status.
static int Finish(ArchiveHandle archive, const std::string& path, bool ok) {
  ok = ok && CompactAndReport(archive, path);
  if (!ok) {
    std::fprintf(stderr, "update failed: %u\n", static_cast<unsigned>(GetLastError()));
    return 1;
  }
  CloseWritableArchive(archive, 0);
  platform::DeleteFile(path.c_str());
  return 0;
}

static int Large(const std::string& path, uint32_t adds, uint32_t hash, uint32_t kib, bool list) {
  ArchiveHandle archive = CreateFresh(path, list ? UPDATE_KEEP_LISTFILE : 0, hash);
  if (archive == nullptr) return 1;
  std::printf("hash table %u entries (%llu bytes), %u single adds of %u KiB stored files, %s; size after N adds:\n",
              hash, static_cast<unsigned long long>(hash) * 16, adds, kib,
              list ? "name list kept" : "no name list");
  std::vector<uint8_t> data(static_cast<size_t>(kib) * 1024);
  bool ok = true;
  for (uint32_t i = 1; ok && i <= adds; ++i) {
    for (size_t j = 0; j < data.size(); ++j) data[j] = static_cast<uint8_t>(i * 31 + j * 7);
    const std::string name = "data\\large" + std::to_string(i) + ".bin";
    ok = AddBuffer(archive, data.data(), static_cast<uint32_t>(data.size()), name.c_str(), 0);
    if (ok && (i <= 2 || i % (adds / 10 > 0 ? adds / 10 : 1) == 0 || i == adds)) {
      std::printf("  %u: %llu\n", i, static_cast<unsigned long long>(FileSize(path)));
    }
  }
  return Finish(archive, path, ok);
}

static int Churn(const std::string& path, uint32_t updates, uint32_t hash) {
  ArchiveHandle archive = CreateFresh(path, UPDATE_KEEP_LISTFILE, hash);
  if (archive == nullptr) return 1;
  bool ok = BeginArchiveUpdate(archive);
  for (uint32_t i = 0; ok && i < 8; ++i) {
    const std::vector<uint8_t> data = Contents(i);
    const std::string name = "data\\file" + std::to_string(i) + ".bin";
    ok = AddBuffer(archive, data.data(), static_cast<uint32_t>(data.size()), name.c_str(), BLOCK_COMPRESSED);
  }
  ok = ok && CommitArchiveUpdate(archive);
  std::printf("hash table %u entries (%llu bytes), 8 files; size after N alternating add/delete updates:\n", hash,
              static_cast<unsigned long long>(hash) * 16);
  std::printf("  0: %llu\n", static_cast<unsigned long long>(FileSize(path)));
  for (uint32_t u = 1; ok && u <= updates; ++u) {
    if (u % 2 == 1) {
      const std::vector<uint8_t> data = Contents(100 + u);
      ok = AddBuffer(archive, data.data(), static_cast<uint32_t>(data.size()), "churn.bin", BLOCK_COMPRESSED);
    } else {
      ok = DeleteArchiveFile(archive, "churn.bin");
    }
    if (ok && (u <= 4 || u % 10 == 0 || u == updates)) {
      std::printf("  %u: %llu\n", u, static_cast<unsigned long long>(FileSize(path)));
    }
  }
  return Finish(archive, path, ok);
}

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: dead_space FOLDER [files] [hash entries]\n"
                         "       dead_space FOLDER churn [updates] [hash entries]\n"
                         "       dead_space FOLDER large [adds] [hash entries] [KiB] [nolist]\n");
    return 2;
  }
  if (argc > 2 && std::string(argv[2]) == "large") {
    return Large(std::string(argv[1]) + "/dead_space.mpq", argc > 3 ? static_cast<uint32_t>(std::atoi(argv[3])) : 1000,
                 argc > 4 ? static_cast<uint32_t>(std::atoi(argv[4])) : 4096,
                 argc > 5 ? static_cast<uint32_t>(std::atoi(argv[5])) : 64,
                 !(argc > 6 && std::string(argv[6]) == "nolist"));
  }
  if (argc > 2 && std::string(argv[2]) == "churn") {
    return Churn(std::string(argv[1]) + "/dead_space.mpq", argc > 3 ? static_cast<uint32_t>(std::atoi(argv[3])) : 20,
                 argc > 4 ? static_cast<uint32_t>(std::atoi(argv[4])) : 4194304);
  }
  const std::string path = std::string(argv[1]) + "/dead_space.mpq";
  const uint32_t files = argc > 2 ? static_cast<uint32_t>(std::atoi(argv[2])) : 1000;
  const uint32_t hash = argc > 3 ? static_cast<uint32_t>(std::atoi(argv[3])) : 4096;
  ArchiveHandle archive = CreateFresh(path, UPDATE_KEEP_LISTFILE, hash);
  if (archive == nullptr) return 1;
  uint64_t payload = 0;
  for (uint32_t i = 0; i < files; ++i) {
    const std::vector<uint8_t> data = Contents(i);
    const std::string name = "data\\folder" + std::to_string(i % 10) + "\\file" + std::to_string(i) + ".bin";
    if (!AddBuffer(archive, data.data(), static_cast<uint32_t>(data.size()), name.c_str(), BLOCK_COMPRESSED)) {
      std::fprintf(stderr, "add %u failed: %u\n", i, static_cast<unsigned>(GetLastError()));
      return 1;
    }
    payload += data.size();
  }
  const uint64_t before = FileSize(path);
  if (!CompactArchive(archive)) {
    std::fprintf(stderr, "compact failed: %u\n", static_cast<unsigned>(GetLastError()));
    return 1;
  }
  const uint64_t after = FileSize(path);
  CloseWritableArchive(archive, 0);
  std::printf("%u files, %llu bytes of contents, hash table %u entries\n", files,
              static_cast<unsigned long long>(payload), hash);
  std::printf("after the adds %llu bytes, compacted %llu bytes, ratio %.3f\n",
              static_cast<unsigned long long>(before), static_cast<unsigned long long>(after),
              static_cast<double>(before) / static_cast<double>(after));
  platform::DeleteFile(path.c_str());
  return 0;
}
