// The audio coder against zlib on the same data, one 4096-byte sector per
// call, directly and through the sector dispatch with the masks the library
// writes for wave files (audio coding then Huffman). Rates are MB/s of
// uncompressed bytes; the "ratio" counter is compressed size over original
// size. The coder is lossy and meant for sound: its figures on the non-audio
// corpora show speed only (it runs at the same pace whatever the samples).
//
// The corpus is the one the DCL and Huffman benchmarks use, byte for byte, so
// the three programs' rows line up in one table.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "compression/adpcm.h"
#include "compression/scomp.h"

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

// Already compressed: deflate output of noisy text.
Bytes MakeCompressed() {
  const Bytes text = MakeText();
  Bytes src;
  for (int k = 0; k < 4; ++k) {
    Bytes part = text;
    std::mt19937 rng(10 + k);
    for (auto& b : part) b = static_cast<uint8_t>(b ^ (rng() % 16 == 0 ? rng() : 0));
    src.insert(src.end(), part.begin(), part.end());
  }
  Bytes big(compressBound(static_cast<uLong>(src.size())));
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

// The room the dispatch gives the coder: one byte less than the sector.
Packed PackAdpcm(const Bytes& data, uint32_t channels, uint32_t shift) {
  Packed p;
  Bytes out(kSector);
  for (size_t at = 0; at < data.size(); at += kSector) {
    uint32_t n = AdpcmEncode(out.data(), kSector - 1, &data[at], kSector, channels, shift);
    if (n > kSector - 1) n = 0;
    p.sectors.emplace_back(out.begin(), out.begin() + n);
    p.total += n;
  }
  return p;
}

Packed PackSector(const Bytes& data, uint32_t mask, uint32_t level) {
  Packed p;
  Bytes out(kSector);
  for (size_t at = 0; at < data.size(); at += kSector) {
    uint32_t n = kSector;
    CompressSector(out.data(), &n, &data[at], kSector, mask, 0, level);
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

// Arguments: corpus, channels, shift (4 to 6; 5 is what level 0 gives).
void BM_AdpcmEncode(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const auto channels = static_cast<uint32_t>(state.range(1));
  const auto shift = static_cast<uint32_t>(state.range(2));
  const Bytes& data = Corpus(kind);
  Bytes out(kSector);
  size_t total = 0;
  for (auto _ : state) {
    total = 0;
    for (size_t at = 0; at < data.size(); at += kSector) {
      total += AdpcmEncode(out.data(), kSector - 1, &data[at], kSector, channels, shift);
    }
    benchmark::DoNotOptimize(out.data());
  }
  Finish(state, kind, total);
}

void BM_AdpcmDecode(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const auto channels = static_cast<uint32_t>(state.range(1));
  const Packed packed =
      PackAdpcm(Corpus(kind), channels, static_cast<uint32_t>(state.range(2)));
  Bytes out(kSector);
  for (auto _ : state) {
    for (const Bytes& s : packed.sectors) {
      if (s.empty()) continue;
      const uint32_t n =
          AdpcmDecode(out.data(), kSector, s.data(), static_cast<uint32_t>(s.size()), channels);
      if (n != kSector) state.SkipWithError("short sector");
    }
    benchmark::DoNotOptimize(out.data());
  }
  Finish(state, kind, packed.total);
}

// Through the dispatch, as a wave file's sectors are written and read:
// mask 0x41 (mono) or 0x81 (stereo), level 0 (shift 5, Huffman type 7).
void BM_SectorCompress(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const auto mask = static_cast<uint32_t>(state.range(1));
  const Bytes& data = Corpus(kind);
  Bytes out(kSector);
  size_t total = 0;
  for (auto _ : state) {
    total = 0;
    for (size_t at = 0; at < data.size(); at += kSector) {
      uint32_t n = kSector;
      CompressSector(out.data(), &n, &data[at], kSector, mask, 0, 0);
      total += n;
    }
    benchmark::DoNotOptimize(out.data());
  }
  Finish(state, kind, total);
}

void BM_SectorDecompress(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const Packed packed = PackSector(Corpus(kind), static_cast<uint32_t>(state.range(1)), 0);
  Bytes out(kSector);
  for (auto _ : state) {
    for (const Bytes& s : packed.sectors) {
      uint32_t n = kSector;
      DecompressSector(out.data(), &n, s.data(), static_cast<uint32_t>(s.size()));
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

#define ADPCM_CASES ArgsProduct({{0, 1, 2, 3}, {1, 2}, {5}})
#define SECTOR_CASES ArgsProduct({{0, 1, 2, 3}, {0x41, 0x81}})
BENCHMARK(BM_AdpcmEncode)->ADPCM_CASES->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AdpcmEncode)->ArgsProduct({{2}, {2}, {4, 6}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SectorCompress)->SECTOR_CASES->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibDeflate6)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AdpcmDecode)->ADPCM_CASES->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AdpcmDecode)->ArgsProduct({{2}, {2}, {4, 6}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SectorDecompress)->SECTOR_CASES->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibInflate)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
