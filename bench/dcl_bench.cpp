// Implode and Explode against zlib on the same data, one 4096-byte sector per
// call with a fresh zero-filled work area, as the archive reader and writer
// use them. Rates are MB/s of uncompressed bytes; the "ratio" counter is
// compressed size over original size.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "compression/dcl.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t kCorpusSize = 1 << 20;
constexpr uint32_t kSector = 4096;

Bytes MakeText() {
  static const char* const kWords[] = {"the", "archive", "of", "sector", "a", "and", "is",
                                       "player", "unit", "to", "attack", "in", "with", "map",
                                       "when", "building", "resource", "gold", "wood", "level"};
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
    const auto s = static_cast<int16_t>(9000 * std::sin(t * 0.031) + 3000 * std::sin(t * 0.17) +
                                        noise(rng));
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

void Finish(benchmark::State& state, int kind, size_t packed) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(Corpus(kind).size()));
  state.counters["ratio"] = static_cast<double>(packed) / static_cast<double>(Corpus(kind).size());
  state.SetLabel(kKindNames[kind]);
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
  const Bytes& data = Corpus(kind);
  std::vector<Bytes> sectors;
  size_t total = 0;
  Bytes buf(compressBound(kSector));
  for (size_t at = 0; at < data.size(); at += kSector) {
    uLongf n = static_cast<uLongf>(buf.size());
    compress2(buf.data(), &n, &data[at], kSector, 6);
    sectors.emplace_back(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n));
    total += n;
  }
  Bytes out(kSector);
  for (auto _ : state) {
    for (const Bytes& s : sectors) {
      uLongf n = kSector;
      if (uncompress(out.data(), &n, s.data(), static_cast<uLong>(s.size())) != Z_OK)
        state.SkipWithError("inflate failed");
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
