// Huffman coder against zlib on the same data, one 4096-byte sector per call
// as the archive reader and writer use them. Rates are MB/s of uncompressed
// bytes; the "ratio" counter is compressed size over original size.
#include <cstdint>
#include <vector>

#include "bench/bench_corpus.h"
#include "compression/huffman.h"

using namespace bench;

namespace {

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

}  // namespace

// Type 0 is the fully adaptive stream the library writes by itself; 2 is
// tuned to text and 7 to audio after the audio coder. Decoding runs every
// starting table: a reader meets whatever type a writer chose.
#define HUFFMAN_CASES ArgsProduct({{0, 1, 2, 3}, {0, 2, 7}})
BENCHMARK(BM_HuffmanCompress)->HUFFMAN_CASES->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibDeflate6)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HuffmanDecompress)
    ->ArgsProduct({{0, 1, 2, 3}, {0, 1, 2, 3, 4, 5, 6, 7, 8}})
    ->Unit(benchmark::kMillisecond);
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
