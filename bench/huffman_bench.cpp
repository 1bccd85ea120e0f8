// Huffman coder against zlib on the same data, one 4096-byte sector per call
// as the archive reader and writer use them. Rates are MB/s of uncompressed
// bytes; the "ratio" counter is compressed size over original size.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "compression/huffman.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t kCorpusSize = 1 << 20;
constexpr uint32_t kSector = 4096;

Bytes MakeText() {
  static const char* const kWords[] = {"the",      "archive",  "of",     "sector", "a",
                                       "and",      "is",       "player", "unit",   "to",
                                       "attack",   "in",       "with",   "map",    "when",
                                       "building", "resource", "gold",   "wood",   "level"};
  std::mt19937 rng(1);
  std::string s;
  while (s.size() < kCorpusSize) {
    s += kWords[rng() % (sizeof(kWords) / sizeof(kWords[0]))];
    s += rng() % 9 == 0 ? ".\r\n" : " ";
  }
  return Bytes(s.begin(), s.begin() + kCorpusSize);
}

// Game-data-like records: small integers, flags, padding.
Bytes MakeBinary() {
  std::mt19937 rng(2);
  Bytes out(kCorpusSize);
  for (size_t i = 0; i + 16 <= out.size(); i += 16) {
    const uint32_t id = static_cast<uint32_t>(i / 16);
    std::memcpy(&out[i], &id, 4);
    out[i + 4] = static_cast<uint8_t>(rng() % 40);
    out[i + 5] = static_cast<uint8_t>(rng() % 3);
    out[i + 8] = static_cast<uint8_t>(rng() % 2 ? 0xFF : 0x00);
    out[i + 12] = static_cast<uint8_t>(rng());
  }
  return out;
}

Bytes MakeWav() {
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> noise(-60, 60);
  Bytes out(kCorpusSize);
  for (size_t i = 0; i + 1 < out.size(); i += 2) {
    const double t = static_cast<double>(i / 2);
    const auto s =
        static_cast<int16_t>(9000 * std::sin(t * 0.031) + 3000 * std::sin(t * 0.17) + noise(rng));
    out[i] = static_cast<uint8_t>(s & 0xFF);
    out[i + 1] = static_cast<uint8_t>((s >> 8) & 0xFF);
  }
  return out;
}

// Already compressed: deflate output of the text.
Bytes MakeCompressed() {
  const Bytes text = MakeText();
  Bytes big(compressBound(static_cast<uLong>(text.size()) * 4));
  Bytes src;
  for (int k = 0; k < 4; ++k) {
    Bytes part = text;
    std::mt19937 rng(10 + k);
    for (auto& b : part) b = static_cast<uint8_t>(b ^ (rng() % 16 == 0 ? rng() : 0));
    src.insert(src.end(), part.begin(), part.end());
  }
  uLongf n = static_cast<uLongf>(big.size());
  compress2(big.data(), &n, src.data(), static_cast<uLong>(src.size()), 6);
  big.resize(kCorpusSize);
  return big;
}

const Bytes& Corpus(int kind) {
  static const Bytes corpora[4] = {MakeText(), MakeBinary(), MakeWav(), MakeCompressed()};
  return corpora[kind];
}

const char* const kKindNames[4] = {"text", "binary", "wav", "compressed"};

struct Packed {
  std::vector<Bytes> sectors;
  size_t total = 0;
};

Packed PackHuffman(const Bytes& data, uint32_t type) {
  Packed p;
  Bytes out(kSector * 3);
  for (size_t at = 0; at < data.size(); at += kSector) {
    uint32_t n = static_cast<uint32_t>(out.size());
    HuffmanCompress(out.data(), &n, &data[at], kSector, type);
    p.sectors.emplace_back(out.begin(), out.begin() + n);
    p.total += n;
  }
  return p;
}

Packed PackZlib(const Bytes& data) {
  Packed p;
  Bytes out(compressBound(kSector));
  for (size_t at = 0; at < data.size(); at += kSector) {
    uLongf n = static_cast<uLongf>(out.size());
    compress2(out.data(), &n, &data[at], kSector, 6);
    p.sectors.emplace_back(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
    p.total += n;
  }
  return p;
}

void Finish(benchmark::State& state, int kind, size_t packed) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(Corpus(kind).size()));
  state.counters["ratio"] = static_cast<double>(packed) / static_cast<double>(Corpus(kind).size());
  state.SetLabel(kKindNames[kind]);
}

void BM_HuffmanCompress(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const auto type = static_cast<uint32_t>(state.range(1));
  const Bytes& data = Corpus(kind);
  Bytes out(kSector * 3);
  size_t total = 0;
  for (auto _ : state) {
    total = 0;
    for (size_t at = 0; at < data.size(); at += kSector) {
      uint32_t n = static_cast<uint32_t>(out.size());
      HuffmanCompress(out.data(), &n, &data[at], kSector, type);
      total += n;
    }
    benchmark::DoNotOptimize(out.data());
  }
  Finish(state, kind, total);
}

void BM_HuffmanDecompress(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const Packed packed = PackHuffman(Corpus(kind), static_cast<uint32_t>(state.range(1)));
  Bytes out(kSector);
  for (auto _ : state) {
    for (const Bytes& s : packed.sectors) {
      uint32_t n = kSector;
      HuffmanDecompress(out.data(), &n, s.data(), static_cast<uint32_t>(s.size()));
      if (n != kSector) state.SkipWithError("short sector");
    }
    benchmark::DoNotOptimize(out.data());
  }
  Finish(state, kind, packed.total);
}

void BM_ZlibDeflate6(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const Bytes& data = Corpus(kind);
  Bytes out(compressBound(kSector));
  size_t total = 0;
  for (auto _ : state) {
    total = 0;
    for (size_t at = 0; at < data.size(); at += kSector) {
      uLongf n = static_cast<uLongf>(out.size());
      compress2(out.data(), &n, &data[at], kSector, 6);
      total += n;
    }
    benchmark::DoNotOptimize(out.data());
  }
  Finish(state, kind, total);
}

void BM_ZlibInflate(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const Packed packed = PackZlib(Corpus(kind));
  Bytes out(kSector);
  for (auto _ : state) {
    for (const Bytes& s : packed.sectors) {
      uLongf n = kSector;
      if (uncompress(out.data(), &n, s.data(), static_cast<uLong>(s.size())) != Z_OK)
        state.SkipWithError("inflate failed");
    }
    benchmark::DoNotOptimize(out.data());
  }
  Finish(state, kind, packed.total);
}

}  // namespace

// Type 0 is the fully adaptive stream the library writes by itself; 2 is
// tuned to text and 7 to audio after the audio coder.
#define HUFFMAN_CASES ArgsProduct({{0, 1, 2, 3}, {0, 2, 7}})
BENCHMARK(BM_HuffmanCompress)->HUFFMAN_CASES->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibDeflate6)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HuffmanDecompress)->HUFFMAN_CASES->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibInflate)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

namespace {

// The fixed cost of a call: building the starting tree of the type.
void BM_HuffmanEmptyStream(benchmark::State& state) {
  const auto type = static_cast<uint32_t>(state.range(0));
  uint8_t stream[8];
  uint32_t n = sizeof(stream);
  HuffmanCompress(stream, &n, nullptr, 0, type);
  uint8_t out[16];
  for (auto _ : state) {
    uint32_t produced = sizeof(out);
    HuffmanDecompress(out, &produced, stream, n);
    benchmark::DoNotOptimize(produced);
  }
}

}  // namespace

BENCHMARK(BM_HuffmanEmptyStream)->DenseRange(0, 8);
