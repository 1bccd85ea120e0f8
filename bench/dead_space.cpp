// The dead space that single updates leave: adds N files of 1 to 4 KB to a
// new archive, each through its own library call (no batch) with the name
// list kept, then compacts it. Prints both sizes and their ratio. With
// "churn", alternates adding and deleting one file instead, each its own
// update, on an archive of a few files, and prints the file's size along
// the way and compacted.
//   dead_space FOLDER [files] [hash entries]
//   dead_space FOLDER churn [updates] [hash entries]
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

}  // namespace

static int Churn(const std::string& path, uint32_t updates, uint32_t hash) {
  platform::DeleteFile(path.c_str());
  ArchiveHandle archive = OpenArchiveWritable(path.c_str(), UPDATE_KEEP_LISTFILE, hash);
  if (!IsUsableArchive(archive)) {
    std::fprintf(stderr, "cannot create %s: %u\n", path.c_str(), static_cast<unsigned>(GetLastError()));
    return 1;
  }
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
  ok = ok && CompactArchive(archive);
  if (!ok) {
    std::fprintf(stderr, "update failed: %u\n", static_cast<unsigned>(GetLastError()));
    return 1;
  }
  std::printf("  compacted: %llu\n", static_cast<unsigned long long>(FileSize(path)));
  CloseWritableArchive(archive, 0);
  platform::DeleteFile(path.c_str());
  return 0;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: dead_space FOLDER [files] [hash entries]\n"
                         "       dead_space FOLDER churn [updates] [hash entries]\n");
    return 2;
  }
  if (argc > 2 && std::string(argv[2]) == "churn") {
    return Churn(std::string(argv[1]) + "/dead_space.mpq", argc > 3 ? static_cast<uint32_t>(std::atoi(argv[3])) : 20,
                 argc > 4 ? static_cast<uint32_t>(std::atoi(argv[4])) : 4194304);
  }
  const std::string path = std::string(argv[1]) + "/dead_space.mpq";
  const uint32_t files = argc > 2 ? static_cast<uint32_t>(std::atoi(argv[2])) : 1000;
  const uint32_t hash = argc > 3 ? static_cast<uint32_t>(std::atoi(argv[3])) : 4096;
  platform::DeleteFile(path.c_str());
  ArchiveHandle archive = OpenArchiveWritable(path.c_str(), UPDATE_KEEP_LISTFILE, hash);
  if (!IsUsableArchive(archive)) {
    std::fprintf(stderr, "cannot create %s: %u\n", path.c_str(), static_cast<unsigned>(GetLastError()));
    return 1;
  }
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
