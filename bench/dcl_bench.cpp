// Implode and Explode against zlib on the same data, one 4096-byte sector per
// call with a fresh zero-filled work area, as the archive reader and writer
// use them. Rates are MB/s of uncompressed bytes; the "ratio" counter is
// compressed size over original size.
#include <cstdint>
#include <cstring>
#include <vector>

#include "bench/bench_corpus.h"
#include "compression/dcl.h"

using namespace bench;

namespace {

// The same buffer pair the compression dispatch hands to the codecs.
struct Pair {
  uint8_t* out;
  uint32_t outUsed;
  uint32_t outCapacity;
  const uint8_t* in;
  uint32_t inUsed;
  uint32_t inLength;
};

uint32_t ReadPair(uint8_t* buffer, uint32_t* size, void* param) {
  auto* p = static_cast<Pair*>(param);
  uint32_t n = p->inLength - p->inUsed;
  if (n > *size) n = *size;
  std::memcpy(buffer, p->in + p->inUsed, n);
  p->inUsed += n;
  return n;
}

void WritePair(uint8_t* buffer, uint32_t* size, void* param) {
  auto* p = static_cast<Pair*>(param);
  uint32_t n = p->outCapacity - p->outUsed;
  if (n > *size) n = *size;
  std::memcpy(p->out + p->outUsed, buffer, n);
  p->outUsed += n;
}

uint32_t ImplodeSector(uint8_t* out, uint32_t room, const uint8_t* in, uint32_t length,
                       uint32_t type) {
  Bytes work(IMPLODE_WORK_SIZE);
  Pair pair{out, 0, room, in, 0, length};
  uint32_t dict = 4096;
  Implode(ReadPair, WritePair, work.data(), &pair, &type, &dict);
  return pair.outUsed;
}

uint32_t ExplodeSector(uint8_t* out, uint32_t room, const uint8_t* in, uint32_t length) {
  Bytes work(EXPLODE_WORK_SIZE);
  Pair pair{out, 0, room, in, 0, length};
  Explode(ReadPair, WritePair, work.data(), &pair);
  return pair.outUsed;
}

void BM_Implode(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const auto type = static_cast<uint32_t>(state.range(1));
  const Bytes& data = Corpus(kind);
  Bytes out(kSector * 2);
  size_t total = 0;
  for (auto _ : state) {
    total = 0;
    for (size_t at = 0; at < data.size(); at += kSector) {
      total += ImplodeSector(out.data(), static_cast<uint32_t>(out.size()), &data[at], kSector,
                             type);
    }
    benchmark::DoNotOptimize(out.data());
  }
  Finish(state, kind, total);
}

void BM_Explode(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const auto type = static_cast<uint32_t>(state.range(1));
  const Bytes& data = Corpus(kind);
  std::vector<Bytes> sectors;
  size_t total = 0;
  Bytes buf(kSector * 2);
  for (size_t at = 0; at < data.size(); at += kSector) {
    const uint32_t n =
        ImplodeSector(buf.data(), static_cast<uint32_t>(buf.size()), &data[at], kSector, type);
    sectors.emplace_back(buf.begin(), buf.begin() + n);
    total += n;
  }
  Bytes out(kSector);
  for (auto _ : state) {
    for (const Bytes& s : sectors) {
      const uint32_t n =
          ExplodeSector(out.data(), kSector, s.data(), static_cast<uint32_t>(s.size()));
      if (n != kSector) state.SkipWithError("short sector");
    }
    benchmark::DoNotOptimize(out.data());
  }
  Finish(state, kind, total);
}

}  // namespace

// Stream type 0 is binary, 1 text; the dispatch picks 1 only for text it is told about.
#define DCL_CASES ArgsProduct({{0, 1, 2, 3}, {0, 1}})
BENCHMARK(BM_Implode)->DCL_CASES->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibDeflate6)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Explode)->DCL_CASES->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibInflate)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
