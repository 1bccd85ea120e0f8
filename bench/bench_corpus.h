// The fixed corpus every codec benchmark runs on, and the zlib reference rows
// measured beside each codec. Shared so the programs' rows line up byte for
// byte in one table: text, game-data-like records, 16-bit sound and data
// that is already compressed, 1 MiB each, cut into 4096-byte sectors.
#pragma once

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace bench {

using Bytes = std::vector<uint8_t>;
constexpr size_t kCorpusSize = 1 << 20;
constexpr uint32_t kSector = 4096;

inline Bytes MakeText() {
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
inline Bytes MakeBinary() {
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

inline Bytes MakeWav() {
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
inline Bytes MakeCompressed() {
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

// Kind 0 text, 1 binary, 2 wav, 3 compressed; built once per program.
inline const Bytes& Corpus(int kind) {
  static const Bytes corpora[4] = {MakeText(), MakeBinary(), MakeWav(), MakeCompressed()};
  return corpora[kind];
}

inline constexpr const char* kKindNames[4] = {"text", "binary", "wav", "compressed"};

// A corpus cut into coded sectors, ready for the decoding rows.
struct Packed {
  std::vector<Bytes> sectors;
  size_t total = 0;
};

inline Packed PackZlib(const Bytes& data) {
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

// Rates in uncompressed bytes, the size ratio as a counter, the corpus as label.
inline void Finish(benchmark::State& state, int kind, size_t packed) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(Corpus(kind).size()));
  state.counters["ratio"] = static_cast<double>(packed) / static_cast<double>(Corpus(kind).size());
  state.SetLabel(kKindNames[kind]);
}

// The zlib reference rows; argument: corpus kind. Each program registers them
// itself so they sit where it wants them in its output.
inline void BM_ZlibDeflate6(benchmark::State& state) {
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

inline void BM_ZlibInflate(benchmark::State& state) {
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

}  // namespace bench
