// The dead space that single updates leave: adds N files of 1 to 4 KB to a
// new archive, each through its own library call (no batch) with the name
// list kept, then compacts it. Prints both sizes and their ratio.
//   dead_space FOLDER [files] [hash entries]
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

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: dead_space FOLDER [files] [hash entries]\n");
    return 2;
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
