// The audio coder against zlib on the same data, one 4096-byte sector per
// call, directly and through the sector dispatch with the masks the library
// writes for wave files (audio coding then Huffman). Rates are MB/s of
// uncompressed bytes; the "ratio" counter is compressed size over original
// size. The coder is lossy and meant for sound: its figures on the non-audio
// corpora show speed only (it runs at the same pace whatever the samples).
//
// The corpus is the one the DCL and Huffman benchmarks use, byte for byte, so
// the three programs' rows line up in one table.
#include <cstdint>
#include <vector>

#include "bench/bench_corpus.h"
#include "compression/adpcm.h"
#include "compression/scomp.h"

using namespace bench;

namespace {

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
