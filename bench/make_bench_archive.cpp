// Writes the extraction benchmark's input: an archive of many plain stored
// files and the same files as a folder tree (to be packed by tar).
//   make_bench_archive <output folder> [file count = 10000] [total MB = 200]
// Produces <output folder>/bench.mpq and <output folder>/tree/...
// The archive is streamed to disk, so memory stays small whatever the size.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "archive/sorvane.h"
#include "platform/bytes.h"

namespace fs = std::filesystem;

namespace {

struct Block {
  uint32_t offset, storedSize, fileSize, flags;
};

void Fill(std::vector<uint8_t>& data, uint32_t seed) {
  uint64_t x = 0x9E3779B97F4A7C15ull ^ (static_cast<uint64_t>(seed) * 0xBF58476D1CE4E5B9ull);
  size_t i = 0;
  for (; i + 8 <= data.size(); i += 8) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    for (int b = 0; b < 8; ++b) data[i + b] = static_cast<uint8_t>(x >> (8 * b));
  }
  for (; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31 + seed);
}

void AppendLE32(std::vector<uint8_t>& out, uint32_t v) {
  uint8_t b[4];
  platform::StoreLE32(b, v);
  out.insert(out.end(), b, b + 4);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: make_bench_archive <output folder> [files] [total MB]\n");
    return 2;
  }
  const fs::path outDir = argv[1];
  const uint32_t count = argc > 2 ? static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)) : 10000;
  const uint64_t totalBytes =
      (argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 200) * 1000ull * 1000ull;
  BuildCryptTable();

  // Sizes: mostly around the mean, a few files of several copy chunks.
  std::vector<uint32_t> sizes(count);
  const uint64_t mean = count ? totalBytes / count : 0;
  uint64_t used = 0;
  for (uint32_t i = 0; i < count; ++i) {
    uint64_t s = mean / 2 + (static_cast<uint64_t>(i) * 2654435761u) % (mean + 1);
    if (i % 2500 == 7) s = 9'000'000;
    sizes[i] = static_cast<uint32_t>(s);
    used += s;
  }
  // Trim the largest ordinary files' share so the total lands near the target.
  for (uint32_t i = 0; used > totalBytes && i < count; ++i) {
    const uint64_t cut = std::min<uint64_t>(sizes[i] / 2, used - totalBytes);
    sizes[i] -= static_cast<uint32_t>(cut);
    used -= cut;
  }

  std::vector<std::string> names;
  for (uint32_t i = 0; i < count; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "Folder%u\\Sub%u\\file%05u.bin", i % 4, (i / 4) % 5, i);
    names.emplace_back(name);
  }
  std::string listfile;
  for (const std::string& n : names) listfile += n + "\r\n";

  fs::create_directories(outDir / "tree");
  std::ofstream archive(outDir / "bench.mpq", std::ios::binary | std::ios::trunc);
  std::vector<uint8_t> header(32, 0);
  archive.write(reinterpret_cast<const char*>(header.data()), 32);
  uint64_t pos = 32;

  std::vector<Block> blocks;
  std::vector<uint8_t> data;
  auto store = [&](const std::string& name, const uint8_t* bytes, uint32_t size, bool inTree) {
    blocks.push_back(Block{static_cast<uint32_t>(pos), size, size, BLOCK_EXISTS});
    archive.write(reinterpret_cast<const char*>(bytes), size);
    pos += size;
    if (!inTree) return;
    std::string rel = name;
    for (char& c : rel)
      if (c == '\\') c = '/';
    const fs::path p = outDir / "tree" / rel;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes), size);
  };
  for (uint32_t i = 0; i < count; ++i) {
    data.resize(sizes[i]);
    Fill(data, i);
    store(names[i], data.data(), sizes[i], true);
  }
  store("(listfile)", reinterpret_cast<const uint8_t*>(listfile.data()),
        static_cast<uint32_t>(listfile.size()), false);
  names.push_back("(listfile)");

  uint32_t hashEntries = 16;
  while (hashEntries < 2 * names.size()) hashEntries *= 2;
  std::vector<uint32_t> hash(4ull * hashEntries, 0xFFFFFFFFu);
  for (uint32_t b = 0; b < names.size(); ++b) {
    uint32_t i = HashString(names[b].c_str(), HASH_TABLE_INDEX) % hashEntries;
    while (hash[4ull * i + 3] != 0xFFFFFFFFu) i = (i + 1) % hashEntries;
    hash[4ull * i] = HashString(names[b].c_str(), HASH_NAME_A);
    hash[4ull * i + 1] = HashString(names[b].c_str(), HASH_NAME_B);
    hash[4ull * i + 2] = 0;
    hash[4ull * i + 3] = b;
  }
  std::vector<uint8_t> hashBytes, blockBytes;
  for (uint32_t w : hash) AppendLE32(hashBytes, w);
  for (const Block& b : blocks) {
    AppendLE32(blockBytes, b.offset);
    AppendLE32(blockBytes, b.storedSize);
    AppendLE32(blockBytes, b.fileSize);
    AppendLE32(blockBytes, b.flags);
  }
  EncryptBlock(hashBytes.data(), static_cast<uint32_t>(hashBytes.size()), HashTableKey());
  EncryptBlock(blockBytes.data(), static_cast<uint32_t>(blockBytes.size()), BlockTableKey());
  const uint32_t hashOffset = static_cast<uint32_t>(pos);
  archive.write(reinterpret_cast<const char*>(hashBytes.data()),
                static_cast<std::streamsize>(hashBytes.size()));
  pos += hashBytes.size();
  const uint32_t blockOffset = static_cast<uint32_t>(pos);
  archive.write(reinterpret_cast<const char*>(blockBytes.data()),
                static_cast<std::streamsize>(blockBytes.size()));
  pos += blockBytes.size();

  const uint8_t sig[4] = {'M', 'P', 'Q', 0x1A};
  std::copy(sig, sig + 4, header.begin());
  platform::StoreLE32(&header[4], 32);
  platform::StoreLE32(&header[8], static_cast<uint32_t>(pos));
  platform::StoreLE16(&header[12], 0);
  platform::StoreLE16(&header[14], 3);
  platform::StoreLE32(&header[16], hashOffset);
  platform::StoreLE32(&header[20], blockOffset);
  platform::StoreLE32(&header[24], hashEntries);
  platform::StoreLE32(&header[28], static_cast<uint32_t>(blocks.size()));
  archive.seekp(0);
  archive.write(reinterpret_cast<const char*>(header.data()), 32);
  archive.close();
  if (!archive) {
    std::fprintf(stderr, "make_bench_archive: cannot write %s\n", (outDir / "bench.mpq").c_str());
    return 1;
  }
  std::printf("%u files, %llu bytes of data\n", count, static_cast<unsigned long long>(used));
  return 0;
}
