// Opens arbitrary bytes as an archive, then opens every hash entry by index
// and by the name list's name, and reads each file through to its end (and
// works out the extent of its data).
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "sorvane/sorvane.h"

namespace {

const std::string& ScratchPath() {
  static const std::string path = [] {
    std::random_device random;
    return (std::filesystem::temp_directory_path() /
            ("open-fuzz-" + std::to_string(random()) + ".mpq"))
        .string();
  }();
  return path;
}

// Reads in chunks up to a budget, so a block that claims gigabytes costs
// time in proportion to what it really decodes.
void ReadThrough(FileHandle file) {
  static std::vector<uint8_t> buffer(1 << 16);
  constexpr uint64_t kBudget = 1 << 24;
  uint64_t total = 0;
  GetArchiveFileSize(file, nullptr);
  GetArchiveFileInfo(file, INFO_FLAGS);
  while (total < kBudget) {
    uint32_t got = 0;
    if (!ReadArchiveFile(file, buffer.data(), static_cast<uint32_t>(buffer.size()), &got,
                         nullptr) ||
        got == 0) {
      break;
    }
    total += got;
  }
  // A read in the middle through the other path.
  OVERLAPPED ov{};
  ov.Offset = 1;
  uint32_t got = 0;
  ReadArchiveFile(file, buffer.data(), 100, &got, &ov);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  {
    std::ofstream out(ScratchPath(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  ArchiveHandle archive = nullptr;
  if (!OpenArchive(ScratchPath().c_str(), 0, 0, &archive)) return 0;

  FileHandle file = nullptr;
  if (OpenArchiveFile(archive, "(listfile)", 0, &file)) {
    ReadThrough(file);
    CloseArchiveFile(file);
  }
  const uint32_t entries = GetArchiveFileInfo(archive, INFO_HASH_TABLE_SIZE);
  for (uint32_t i = 0; i < entries && i < 4096; ++i) {
    GetStoredExtent(archive, i);
    if (!OpenArchiveFileByIndex(archive, i, &file)) continue;
    ReadThrough(file);
    // Left open on purpose now and then: closing the archive must close it.
    if (i % 7 != 3) CloseArchiveFile(file);
  }
  CloseArchive(archive);
  return 0;
}
