// Writes the extraction benchmarks' input: the same files as a folder tree
// (for tar and zip) and as one archive per storage method.
//   make_bench_archive <output folder> [file count = 10000] [total MB = 200]
//                      [methods = plain]
// methods is a comma-separated list of:
//   plain    bench.mpq          every file stored as it is
//   implode  bench_implode.mpq  compressed sectors, method mask 0x08
//   zlib     bench_zlib.mpq     compressed sectors, method mask 0x02
//   none     no archive (only the tree)
// A compressed sector is kept only when it saves bytes, as the library's own
// adding code does, so incompressible sectors are stored plain.
//
// File contents are a deterministic mix meant to look like a game's data:
//   40% text (prose-like lines from a skewed vocabulary, key = value lines),
//   30% binary records (counters, small enums, float coordinates, names, padding),
//   15% 16-bit PCM sound (two drifting tones and noise),
//   15% incompressible bytes (already-compressed media).
// Archives are streamed to disk, so memory stays small whatever the size.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "archive/read/provider.h"
#include "sorvane/sorvane.h"
#include "compression/scomp.h"
#include "platform/bytes.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kSectorShift = 3;
constexpr uint32_t kSectorSize = 512u << kSectorShift;

struct Block {
  uint32_t offset, storedSize, fileSize, flags;
};

// splitmix64: a small, fast, well-mixed generator.
struct Rng {
  uint64_t s;
  explicit Rng(uint64_t seed) : s(seed) {}
  uint64_t Next() {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>((Next() >> 32) % n); }
};

class Vocabulary {
 public:
  Vocabulary() {
    static const char* const kSyllables[] = {
        "ar", "en", "th", "or", "an", "in", "er", "on", "re", "at", "ta", "el", "ko",
        "mi", "sa", "lo", "ri", "ve", "da", "nu", "gor", "bal", "tri", "shi", "dra",
        "mor", "fel", "qua", "zen", "pyr", "st", "ul", "im", "os", "ha", "wy"};
    constexpr uint32_t kCount = sizeof(kSyllables) / sizeof(kSyllables[0]);
    Rng rng(77);
    words_ = {"the", "of", "and", "a", "to", "in", "is", "with", "unit", "player", "map",
              "gold", "attack", "level", "spell", "hero", "building", "armor", "damage"};
    while (words_.size() < 1024) {
      std::string w;
      const uint32_t parts = 1 + rng.Below(3);
      for (uint32_t k = 0; k < parts; ++k) w += kSyllables[rng.Below(kCount)];
      words_.push_back(w);
    }
  }
  // Low indices come far more often, as in natural text.
  const std::string& Pick(Rng& rng) const {
    const uint32_t a = rng.Below(1024), b = rng.Below(1024), c = rng.Below(1024);
    return words_[(static_cast<uint64_t>(a) * b / 1024) * c / 1024];
  }

 private:
  std::vector<std::string> words_;
};

void FillText(std::vector<uint8_t>& out, Rng& rng, const Vocabulary& vocab) {
  std::string s;
  s.reserve(out.size() + 128);
  while (s.size() < out.size()) {
    if (rng.Below(5) == 0) {
      // A settings line.
      s += vocab.Pick(rng);
      s += '.';
      s += vocab.Pick(rng);
      s += " = ";
      s += std::to_string(rng.Below(rng.Below(2) ? 100 : 5000));
      s += "\r\n";
      continue;
    }
    const uint32_t words = 4 + rng.Below(14);
    for (uint32_t k = 0; k < words; ++k) {
      std::string w = vocab.Pick(rng);
      if (k == 0) w[0] = static_cast<char>(w[0] - 'a' + 'A');
      s += w;
      s += k + 1 == words ? (rng.Below(4) ? ".\r\n" : "!\r\n") : (rng.Below(9) ? " " : ", ");
    }
  }
  std::memcpy(out.data(), s.data(), out.size());
}

void FillRecords(std::vector<uint8_t>& out, Rng& rng, const Vocabulary& vocab) {
  constexpr size_t kRecord = 48;
  std::fill(out.begin(), out.end(), 0);
  const char magic[] = "REC1";
  std::memcpy(out.data(), magic, std::min<size_t>(4, out.size()));
  const uint32_t palette[8] = {0xFF202020, 0xFFC0C0C0, 0xFF0000FF, 0xFF00FF00,
                               0xFFFF0000, 0xFF808000, 0xFF008080, 0xFFFFFFFF};
  float x = 0, y = 0;
  uint8_t rec[kRecord];
  for (size_t at = 16, id = 1000; at < out.size(); at += kRecord, ++id) {
    std::memset(rec, 0, sizeof rec);
    platform::StoreLE32(rec, static_cast<uint32_t>(id));
    platform::StoreLE16(rec + 4, static_cast<uint16_t>(rng.Below(12)));
    platform::StoreLE16(rec + 6, static_cast<uint16_t>(rng.Below(4) == 0 ? 0x8001 : 1));
    x += static_cast<float>(rng.Below(64)) * 0.5f;
    y = static_cast<float>(rng.Below(2048));
    uint32_t bits;
    std::memcpy(&bits, &x, 4);
    platform::StoreLE32(rec + 8, bits);
    std::memcpy(&bits, &y, 4);
    platform::StoreLE32(rec + 12, bits);
    platform::StoreLE32(rec + 16, 100 * (1 + rng.Below(20)));
    platform::StoreLE32(rec + 20, palette[rng.Below(8)]);
    const std::string& name = vocab.Pick(rng);
    std::memcpy(rec + 32, name.data(), std::min<size_t>(name.size(), 15));
    std::memcpy(out.data() + at, rec, std::min(kRecord, out.size() - at));
  }
}

void FillSound(std::vector<uint8_t>& out, Rng& rng) {
  double phase1 = 0, phase2 = 0;
  double f1 = 0.01 + rng.Below(100) * 0.0005, f2 = 0.05 + rng.Below(100) * 0.001;
  for (size_t i = 0; i + 1 < out.size(); i += 2) {
    if ((i & 0x3FFF) == 0) f1 *= 0.98 + rng.Below(40) * 0.001;
    phase1 += f1;
    phase2 += f2;
    const int noise = static_cast<int>(rng.Below(161)) - 80;
    const int s = static_cast<int>(8000 * std::sin(phase1) + 2500 * std::sin(phase2)) + noise;
    platform::StoreLE16(&out[i], static_cast<uint16_t>(static_cast<int16_t>(s)));
  }
  if (out.size() % 2) out.back() = 0;
}

void FillRandom(std::vector<uint8_t>& out, Rng& rng) {
  size_t i = 0;
  for (; i + 8 <= out.size(); i += 8) {
    const uint64_t v = rng.Next();
    for (int b = 0; b < 8; ++b) out[i + b] = static_cast<uint8_t>(v >> (8 * b));
  }
  for (; i < out.size(); ++i) out[i] = static_cast<uint8_t>(rng.Next());
}

enum class Content { Text, Records, Sound, Random };

Content ContentOf(uint32_t index) {
  const uint32_t r = static_cast<uint32_t>(Rng(index * 2654435761ull + 17).Next() % 20);
  if (r < 8) return Content::Text;
  if (r < 14) return Content::Records;
  if (r < 17) return Content::Sound;
  return Content::Random;
}

void Fill(std::vector<uint8_t>& data, uint32_t index, const Vocabulary& vocab) {
  Rng rng(0xC0FFEEull + index);
  switch (ContentOf(index)) {
    case Content::Text: FillText(data, rng, vocab); break;
    case Content::Records: FillRecords(data, rng, vocab); break;
    case Content::Sound: FillSound(data, rng); break;
    case Content::Random: FillRandom(data, rng); break;
  }
}

enum class Method { Plain, Implode, Zlib };

// One archive being written: the data streams out, the tables wait until the end.
struct ArchiveOut {
  Method method;
  fs::path path;
  std::ofstream file;
  uint64_t pos = 32;
  std::vector<Block> blocks;
};

// Compresses one sector into work (room for length bytes); returns the
// stored length, or length when the sector is better stored plain.
uint32_t CompressOne(Method method, uint8_t* work, const uint8_t* in, uint32_t length) {
  uint32_t out = length;
  bool ok = false;
  if (method == Method::Implode) {
    ok = CompressSector(work, &out, in, length, COMP_IMPLODE, 0, 0);
  } else {
    ok = BuiltinProviderCompress(work, &out, in, length, COMP_ZLIB, 0, 0) != 0;
  }
  return ok && out > 0 && out < length ? out : length;
}

bool Store(ArchiveOut& a, const uint8_t* bytes, uint32_t size, std::vector<uint8_t>& scratch) {
  if (a.pos + size + 4 * (size / kSectorSize + 2) > 0xFFFFFFF0ull) {
    std::fprintf(stderr, "make_bench_archive: %s would pass 4 GB\n", a.path.string().c_str());
    return false;
  }
  if (a.method == Method::Plain || size == 0) {
    a.blocks.push_back(Block{static_cast<uint32_t>(a.pos), size, size, BLOCK_EXISTS});
    a.file.write(reinterpret_cast<const char*>(bytes), size);
    a.pos += size;
    return true;
  }
  const uint32_t k = (size + kSectorSize - 1) / kSectorSize;
  const uint32_t table = 4 * (k + 1);
  scratch.resize(table + static_cast<size_t>(size));
  uint8_t work[kSectorSize];
  uint32_t write = table;
  for (uint32_t i = 0; i < k; ++i) {
    platform::StoreLE32(&scratch[4 * i], write);
    const uint32_t length = std::min(kSectorSize, size - i * kSectorSize);
    const uint8_t* in = bytes + static_cast<size_t>(i) * kSectorSize;
    const uint32_t stored = CompressOne(a.method, work, in, length);
    std::memcpy(&scratch[write], stored < length ? work : in, stored);
    write += stored;
  }
  platform::StoreLE32(&scratch[4 * k], write);
  a.blocks.push_back(
      Block{static_cast<uint32_t>(a.pos), write, size, BLOCK_EXISTS | BLOCK_COMPRESSED});
  a.file.write(reinterpret_cast<const char*>(scratch.data()), write);
  a.pos += write;
  return true;
}

void AppendLE32(std::vector<uint8_t>& out, uint32_t v) {
  uint8_t b[4];
  platform::StoreLE32(b, v);
  out.insert(out.end(), b, b + 4);
}

bool Finish(ArchiveOut& a, const std::vector<std::string>& names) {
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
  for (const Block& b : a.blocks) {
    AppendLE32(blockBytes, b.offset);
    AppendLE32(blockBytes, b.storedSize);
    AppendLE32(blockBytes, b.fileSize);
    AppendLE32(blockBytes, b.flags);
  }
  EncryptBlock(hashBytes.data(), static_cast<uint32_t>(hashBytes.size()), HashTableKey());
  EncryptBlock(blockBytes.data(), static_cast<uint32_t>(blockBytes.size()), BlockTableKey());
  const uint32_t hashOffset = static_cast<uint32_t>(a.pos);
  a.file.write(reinterpret_cast<const char*>(hashBytes.data()),
               static_cast<std::streamsize>(hashBytes.size()));
  a.pos += hashBytes.size();
  const uint32_t blockOffset = static_cast<uint32_t>(a.pos);
  a.file.write(reinterpret_cast<const char*>(blockBytes.data()),
               static_cast<std::streamsize>(blockBytes.size()));
  a.pos += blockBytes.size();

  uint8_t header[32] = {'M', 'P', 'Q', 0x1A};
  platform::StoreLE32(&header[4], 32);
  platform::StoreLE32(&header[8], static_cast<uint32_t>(a.pos));
  platform::StoreLE16(&header[12], 0);
  platform::StoreLE16(&header[14], kSectorShift);
  platform::StoreLE32(&header[16], hashOffset);
  platform::StoreLE32(&header[20], blockOffset);
  platform::StoreLE32(&header[24], hashEntries);
  platform::StoreLE32(&header[28], static_cast<uint32_t>(a.blocks.size()));
  a.file.seekp(0);
  a.file.write(reinterpret_cast<const char*>(header), 32);
  a.file.close();
  if (!a.file) {
    std::fprintf(stderr, "make_bench_archive: cannot write %s\n", a.path.string().c_str());
    return false;
  }
  return true;
}

bool ParseMethods(const std::string& list, std::vector<Method>* methods) {
  size_t at = 0;
  while (at <= list.size()) {
    const size_t comma = std::min(list.find(',', at), list.size());
    const std::string m = list.substr(at, comma - at);
    if (m == "plain") methods->push_back(Method::Plain);
    else if (m == "implode") methods->push_back(Method::Implode);
    else if (m == "zlib") methods->push_back(Method::Zlib);
    else if (m != "none") return false;
    at = comma + 1;
  }
  return true;
}

const char* FileNameOf(Method m) {
  switch (m) {
    case Method::Plain: return "bench.mpq";
    case Method::Implode: return "bench_implode.mpq";
    case Method::Zlib: return "bench_zlib.mpq";
  }
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<Method> methods;
  if (argc < 2 || (argc > 4 && !ParseMethods(argv[4], &methods))) {
    std::fprintf(stderr,
                 "usage: make_bench_archive <output folder> [files] [total MB] "
                 "[plain,implode,zlib,none]\n");
    return 2;
  }
  if (argc <= 4) methods.push_back(Method::Plain);
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
  std::vector<std::unique_ptr<ArchiveOut>> archives;
  for (Method m : methods) {
    auto a = std::make_unique<ArchiveOut>();
    a->method = m;
    a->path = outDir / FileNameOf(m);
    a->file.open(a->path, std::ios::binary | std::ios::trunc);
    const char zeros[32] = {};
    a->file.write(zeros, 32);
    archives.push_back(std::move(a));
  }

  const Vocabulary vocab;
  std::vector<uint8_t> data, scratch;
  uint64_t byContent[4] = {};
  for (uint32_t i = 0; i < count; ++i) {
    data.resize(sizes[i]);
    Fill(data, i, vocab);
    byContent[static_cast<int>(ContentOf(i))] += sizes[i];
    for (auto& a : archives)
      if (!Store(*a, data.data(), sizes[i], scratch)) return 1;
    std::string rel = names[i];
    std::replace(rel.begin(), rel.end(), '\\', '/');
    const fs::path p = outDir / "tree" / rel;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), sizes[i]);
  }
  names.push_back("(listfile)");
  for (auto& a : archives) {
    // The name list is stored plain in every archive.
    a->blocks.push_back(Block{static_cast<uint32_t>(a->pos), static_cast<uint32_t>(listfile.size()),
                              static_cast<uint32_t>(listfile.size()), BLOCK_EXISTS});
    a->file.write(listfile.data(), static_cast<std::streamsize>(listfile.size()));
    a->pos += listfile.size();
    if (!Finish(*a, names)) return 1;
    std::printf("%s: %llu bytes\n", a->path.filename().string().c_str(),
                static_cast<unsigned long long>(a->pos));
  }
  std::printf("%u files, %llu bytes of data (text %llu, records %llu, sound %llu, random %llu)\n",
              count, static_cast<unsigned long long>(used),
              static_cast<unsigned long long>(byContent[0]),
              static_cast<unsigned long long>(byContent[1]),
              static_cast<unsigned long long>(byContent[2]),
              static_cast<unsigned long long>(byContent[3]));
  return 0;
}
