// The encoder: result codes, the token choices it must make, round trips, and
// a comparison with a plain exhaustive-search model of the same procedure.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/compression/dcl_support.h"

namespace {

using namespace dcltest;

constexpr uint32_t kDicts[] = {1024, 2048, 4096};

std::vector<Token> Tokens(const Bytes& stream) {
  std::vector<Token> tokens;
  EXPECT_TRUE(ParseTokens(stream, &tokens));
  return tokens;
}

// Bytes whose consecutive pairs never repeat, so they offer no repetitions;
// letters are left out so that tests can place their own, or, with `letters`,
// they are letters only.
Bytes UniquePairs(size_t size, uint32_t seed, bool letters = false) {
  auto avoid = [letters](uint32_t b) { return (b >= 'A' && b <= 'z') != letters; };
  std::vector<bool> seen(65536);
  Lcg rng{seed};
  Bytes out;
  uint32_t prev = 0x100;
  while (out.size() < size) {
    uint32_t b = rng.Next() & 0xFF;
    while (prev == 0x100 && avoid(b)) b = (b + 1) & 0xFF;
    for (int tries = 0; prev != 0x100 && (seen[prev * 256 + b] || avoid(b)) && tries < 256; ++tries) {
      b = (b + 1) & 0xFF;
    }
    if (prev != 0x100) seen[prev * 256 + b] = true;
    out.push_back(static_cast<uint8_t>(b));
    prev = b;
  }
  return out;
}

// Data built the way an LZ stream is: copies of earlier stretches, some of
// them long or self-overlapping, with edits and fresh bytes in between.
Bytes Copies(size_t size, uint32_t seed) {
  Lcg rng{seed};
  Bytes out;
  while (out.size() < size) {
    const uint32_t r = rng.Next();
    if (out.size() < 16 || r % 4 == 0) {
      for (uint32_t k = 0; k < 1 + r % 6; ++k) out.push_back(static_cast<uint8_t>(rng.Next() % 40));
      continue;
    }
    const size_t back = 1 + rng.Next() % std::min<size_t>(out.size(), r % 3 ? 300 : 5000);
    const size_t len = r % 5 == 0 ? 200 + rng.Next() % 700 : 2 + rng.Next() % 30;
    const size_t from = out.size() - back;
    for (size_t k = 0; k < len; ++k) out.push_back(out[from + k]);
    if (r % 3 == 0) out.back() ^= 1;
  }
  out.resize(size);
  return out;
}

// The encoder's choices restated as plainly as possible: exhaustive candidate
// search instead of the pair index and the border table.
class Model {
 public:
  Model(const Bytes& data, uint32_t dict) : d_(data), dict_(dict) {}

  std::vector<Token> Run() {
    const size_t size = d_.size();
    size_t p = 0;
    for (size_t block = 1; size != 0; ++block) {
      const bool last = size < 4096 * block;
      const size_t end = last ? size : 4096 * block - 516;
      // The second block of a 4096-byte dictionary indexes no further back
      // than 3580 bytes before its first position.
      minCandidate_ = block == 2 && dict_ == 4096 ? p - 3580 : 0;
      while (p < end) Step(p, end);
      if (last) break;
    }
    return tokens_;
  }

 private:
  uint32_t Find(size_t p) {
    const size_t limit = std::min<size_t>(516, d_.size() - p);
    if (limit < 2) return 0;
    size_t best = 1;
    const size_t lo = std::max(minCandidate_, p + 1 > dict_ ? p + 1 - dict_ : 0);
    for (size_t c = lo; c + 1 < p; ++c) {
      if (d_[c] != d_[p] || d_[c + 1] != d_[p + 1]) continue;
      size_t n = 2;
      while (n < limit && d_[c + n] == d_[p + n]) ++n;
      if (n >= best) {
        best = n;
        distance_ = static_cast<uint32_t>(p - c);
        // Only a full 516 bytes wins outright, so the farthest of those is
        // kept; one cut short by the end of the data gives way to a nearer.
        if (n == 516) break;
      }
    }
    return best >= 2 ? static_cast<uint32_t>(best) : 0;
  }

  void Step(size_t& p, size_t end) {
    uint32_t len = Find(p);
    for (;;) {
      if (len == 0 || (len == 2 && distance_ > 256)) {
        tokens_.push_back({0, 0, d_[p++]});
        return;
      }
      if (len >= 8 || p + 1 >= end) break;
      const uint32_t kept = distance_;
      const uint32_t next = Find(p + 1);
      if (len >= next || (next == len + 1 && kept <= 129)) {
        distance_ = kept;
        break;
      }
      tokens_.push_back({0, 0, d_[p++]});
      len = next;
    }
    tokens_.push_back({len, distance_, 0});
    p += len;
  }

  const Bytes& d_;
  const size_t dict_;
  size_t minCandidate_ = 0;
  uint32_t distance_ = 0;
  std::vector<Token> tokens_;
};

TEST(Implode, EmptyInputAndResultCodes) {
  for (uint32_t type : {DCL_BINARY, DCL_ASCII}) {
    for (uint32_t dict : kDicts) {
      const ImplodeRun r = RunImplode({}, type, dict);
      EXPECT_EQ(r.result, DCL_OK);
      const uint8_t bits = dict == 1024 ? 4 : dict == 2048 ? 5 : 6;
      EXPECT_EQ(r.stream, (Bytes{static_cast<uint8_t>(type), bits, 0x01, 0xFF}));
      EXPECT_EQ(RunExplode(r.stream).result, DCL_ERR_SHORT_INPUT);
    }
  }
  // The dictionary size is judged first; neither failure touches the callbacks.
  const Bytes data(100, 1);
  for (const auto& [type, dict, expected] :
       {std::tuple{2u, 3000u, DCL_ERR_DICT_SIZE}, std::tuple{0u, 0u, DCL_ERR_DICT_SIZE},
        std::tuple{2u, 1024u, DCL_ERR_TYPE}}) {
    const ImplodeRun r = RunImplode(data, type, dict);
    EXPECT_EQ(r.result, expected);
    EXPECT_EQ(r.readCalls, 0u);
    EXPECT_TRUE(r.writeSizes.empty());
  }
}

TEST(Implode, ChoosesTheDescribedTokens) {
  // A run of one byte: two literals, then repetitions 2 bytes back.
  EXPECT_EQ(Tokens(RunImplode(Bytes(100, 'A'), DCL_BINARY, 4096).stream),
            (std::vector<Token>{{0, 0, 'A'}, {0, 0, 'A'}, {98, 2, 0}}));

  // A 2-byte repetition is sent only from at most 256 bytes back.
  for (uint32_t gap : {254u, 255u}) {
    Bytes data = {'Q', 'Z'};
    const Bytes filler = UniquePairs(gap, 3);
    data.insert(data.end(), filler.begin(), filler.end());
    data.push_back('Q');
    data.push_back('Z');
    const std::vector<Token> t = Tokens(RunImplode(data, DCL_BINARY, 1024).stream);
    if (gap == 254) {
      EXPECT_EQ(t.back(), (Token{2, 256, 0}));
    } else {
      EXPECT_EQ(t.back(), (Token{0, 0, 'Z'}));
    }
  }

  // "abc" here, "bcde" later: at the next "abcde" a 3-byte repetition is
  // deferred for the 4-byte one only when it lies more than 129 bytes back.
  for (uint32_t back : {129u, 130u}) {
    const Bytes filler = UniquePairs(back + 10, 11);
    Bytes data = {'a', 'b', 'c'};
    data.insert(data.end(), filler.begin(), filler.begin() + 5);
    data.insert(data.end(), {'b', 'c', 'd', 'e'});
    data.insert(data.end(), filler.begin() + 5, filler.begin() + (back - 7));
    ASSERT_EQ(data.size(), back);
    data.insert(data.end(), {'a', 'b', 'c', 'd', 'e', 'Y'});
    const std::vector<Token> t = Tokens(RunImplode(data, DCL_BINARY, 4096).stream);
    ASSERT_GE(t.size(), 3u);
    if (back == 129) {
      EXPECT_EQ(t[t.size() - 3], (Token{3, 129, 0}));
    } else {
      EXPECT_EQ(t[t.size() - 3], (Token{0, 0, 'a'}));
      EXPECT_EQ(t[t.size() - 2].length, 4u);
    }
  }

  // Each dictionary reaches exactly dictSize - 1 bytes back.
  for (uint32_t dict : kDicts) {
    for (uint32_t gap : {dict - 1, dict}) {
      Bytes data = UniquePairs(gap + 12, dict + gap);
      std::copy(data.begin(), data.begin() + 12, data.begin() + gap);
      const std::vector<Token> t = Tokens(RunImplode(data, DCL_BINARY, dict).stream);
      const bool found = std::any_of(t.begin(), t.end(), [&](const Token& k) {
        return k.length == 12 && k.distance == gap;
      });
      EXPECT_EQ(found, gap < dict) << dict << " " << gap;
    }
  }
}

TEST(Implode, RoundTripsInEveryMode) {
  const size_t sizes[] = {0, 1, 2, 515, 516, 517, 518, 4095, 4096, 4097, 8192 + 600, 70000};
  for (Kind kind : {Kind::Text, Kind::Binary, Kind::Random}) {
    for (size_t size : sizes) {
      const Bytes data = MakeData(kind, size, static_cast<uint32_t>(size));
      for (uint32_t type : {DCL_BINARY, DCL_ASCII}) {
        for (uint32_t dict : kDicts) {
          const ImplodeRun im = RunImplode(data, type, dict);
          ASSERT_EQ(im.result, DCL_OK);
          for (size_t k = 0; k + 1 < im.writeSizes.size(); ++k) ASSERT_EQ(im.writeSizes[k], 2048u);
          if (kind == Kind::Text && size >= 4096) {
            EXPECT_LT(im.stream.size(), size / 2);
          }
          const ExplodeRun ex = RunExplode(im.stream);
          ASSERT_EQ(ex.result, size == 0 ? DCL_ERR_SHORT_INPUT : DCL_OK)
              << size << " " << type << " " << dict;
          ASSERT_EQ(ex.data, data) << size << " " << type << " " << dict;
        }
      }
    }
  }
}

TEST(Implode, MatchesTheExhaustiveModel) {
  for (uint32_t dict : kDicts) {
    for (size_t size : {2u, 600u, 3581u, 4097u, 9000u, 16000u}) {
      for (int kind = 0; kind < 3; ++kind) {
        const uint32_t seed = static_cast<uint32_t>(size * 3 + kind + dict);
        const Bytes data = kind == 0   ? Copies(size, seed)
                           : kind == 1 ? MakeData(Kind::Text, size, seed)
                                       : MakeData(Kind::Binary, size, seed);
        const std::vector<Token> expected = Model(data, dict).Run();
        const Bytes stream = RunImplode(data, DCL_BINARY, dict).stream;
        const std::vector<Token> got = Tokens(stream);
        const auto diff = std::mismatch(got.begin(), got.end(), expected.begin(), expected.end());
        ASSERT_TRUE(diff.first == got.end() && diff.second == expected.end())
            << "dict " << dict << " size " << size << " kind " << kind << ": token "
            << (diff.first - got.begin()) << " is "
            << (diff.first == got.end() ? "missing" : Describe(*diff.first)) << ", expected "
            << (diff.second == expected.end() ? "none" : Describe(*diff.second));
        const uint32_t bits = dict == 1024 ? 4 : dict == 2048 ? 5 : 6;
        EXPECT_EQ(stream, EncodeTokens(expected, DCL_BINARY, bits));
      }
    }
  }
}

// Copies() ending inside a repetition of 2 to 515 bytes (mostly 11 or more)
// that occurs at two earlier places, nearer or farther than the dictionary
// reaches, so that the candidates cut short by the end of the data compete.
Bytes EndsInRepetition(size_t size, uint32_t seed, uint32_t dict) {
  Bytes out = Copies(size, seed);
  Lcg rng{seed ^ 0x9E3779B9u};
  const size_t most = std::min<size_t>(515, size / 4);
  if (most < 11) return out;
  const size_t len = rng.Next() % 5 == 0 ? 2 + rng.Next() % 9 : 11 + rng.Next() % (most - 10);
  const size_t tail = size - len;
  const size_t second = tail - len - rng.Next() % std::min<size_t>(dict, tail - 2 * len + 1);
  const size_t first = second - len - rng.Next() % std::min<size_t>(dict, second - len + 1);
  // The second copy runs on past `len` as often as not, so that it can be the
  // longer candidate in the data before the tail.
  const size_t more = std::min({rng.Next() % 2 ? rng.Next() % 40 : size_t{0}, tail - second - len,
                                second - first - len});
  std::copy(out.begin() + first, out.begin() + first + len + more, out.begin() + second);
  std::copy(out.begin() + first, out.begin() + first + len, out.begin() + tail);
  return out;
}

// Inputs where many positions share their first bytes: runs of one byte,
// short periods, zeros broken by rare bytes, records padded with zeros, and
// long copies, so that repetitions reach the 516-byte limit, cross block ends
// and end exactly at the end of the data.
Bytes Repetitive(int kind, size_t size, uint32_t seed) {
  Lcg rng{seed};
  Bytes out;
  out.reserve(size);
  switch (kind) {
    case 0:
      out.assign(size, 0);
      break;
    case 1:
      for (size_t i = 0; i < size; ++i) out.push_back(static_cast<uint8_t>("abc"[i % (2 + seed % 2)]));
      break;
    case 2:
      while (out.size() < size) {
        out.insert(out.end(), rng.Next() % 900, 0);
        out.push_back(static_cast<uint8_t>(1 + rng.Next() % 3));
      }
      break;
    case 3:
      // 16-byte records: a counter, small values, flags and zero padding.
      for (uint32_t i = 0; out.size() < size; ++i) {
        const uint32_t r = rng.Next();
        const uint8_t record[16] = {static_cast<uint8_t>(i), 0, 0, 0,
                                    static_cast<uint8_t>(r % 40), static_cast<uint8_t>(r % 3), 0, 0,
                                    static_cast<uint8_t>(r & 64 ? 0xFF : 0), 0, 0, 0,
                                    static_cast<uint8_t>(r >> 16), 0, 0, 0};
        out.insert(out.end(), record, record + 16);
      }
      break;
    default:
      // Long copies from anywhere in the dictionary, some overlapping.
      while (out.size() < size) {
        if (out.size() < 8 || rng.Next() % 5 == 0) {
          out.push_back(static_cast<uint8_t>(rng.Next() % 4));
          continue;
        }
        const size_t back = 1 + rng.Next() % std::min<size_t>(out.size(), 4200);
        const size_t len = 400 + rng.Next() % 800;
        const size_t from = out.size() - back;
        for (size_t k = 0; k < len; ++k) out.push_back(out[from + k]);
      }
      break;
  }
  out.resize(size);
  return out;
}

TEST(Implode, MatchesTheExhaustiveModelOnRepetitiveData) {
  // 4096 and 8192 end a block exactly, so the last block reads nothing.
  for (size_t size : {517u, 3597u, 4096u, 4612u, 8192u, 9500u}) {
    for (int kind = 0; kind < 5; ++kind) {
      for (uint32_t dict : kDicts) {
        const uint32_t seed = static_cast<uint32_t>(size + 7 * kind + dict);
        const Bytes data = Repetitive(kind, size, seed);
        const std::vector<Token> expected = Model(data, dict).Run();
        const uint32_t bits = dict == 1024 ? 4 : dict == 2048 ? 5 : 6;
        const Bytes stream = RunImplode(data, DCL_BINARY, dict).stream;
        ASSERT_EQ(stream, EncodeTokens(expected, DCL_BINARY, bits))
            << "kind " << kind << " size " << size << " dict " << dict;
      }
    }
  }
}

TEST(Implode, MatchesTheExhaustiveModelAtTheEndOfTheData) {
  // Block ends (4096, 8192) leave a last block without new bytes.
  const size_t sizes[] = {700, 1535, 2900, 4000, 4096, 4612, 6000, 8192};
  for (uint32_t dict : kDicts) {
    const uint32_t bits = dict == 1024 ? 4 : dict == 2048 ? 5 : 6;
    uint32_t longTails = 0;
    uint32_t cases = 0;
    for (uint32_t seed = 1; seed <= 48; ++seed) {
      const size_t size = sizes[seed % std::size(sizes)];
      const Bytes data = EndsInRepetition(size, seed * 7919 + dict, dict);
      const std::vector<Token> expected = Model(data, dict).Run();
      ASSERT_EQ(RunImplode(data, DCL_BINARY, dict).stream,
                EncodeTokens(expected, DCL_BINARY, bits))
          << "dict " << dict << " size " << size << " seed " << seed;
      cases += 1;
      longTails += expected.back().length > 10;
    }
    // Most cases really do end in a repetition long enough to matter.
    EXPECT_GT(2 * longTails, cases) << dict;
  }
}

TEST(Implode, NearestOfEquallyLongRepetitionsWinsAtTheEndOfTheData) {
  // The data ends in `len` bytes (11 to 515: long enough for the long search,
  // short of a full repetition) found twice before: the nearer at the last
  // distance of a 6-bit distance code, the farther past it, so the two choices
  // differ in the stream.
  struct Case {
    uint32_t dict, len, gap;
  };
  for (const Case& k : {Case{1024, 11, 5}, Case{2048, 200, 9}, Case{4096, 515, 40}}) {
    const uint32_t bits = k.dict == 1024 ? 4 : k.dict == 2048 ? 5 : 6;
    const uint32_t nearer = 22u << bits;
    const uint32_t farther = nearer + k.len + k.gap;
    ASSERT_LT(DistCodeLengths[(nearer - 1) >> bits], DistCodeLengths[(farther - 1) >> bits]);
    ASSERT_LT(farther, k.dict);

    // head, tail, gap, tail, rest, tail: the rest puts the last copy `nearer` back.
    const Bytes tail = UniquePairs(k.len, k.dict, true);
    const Bytes filler = UniquePairs(20 + k.gap + nearer - k.len, k.dict + 1);
    const auto gapAt = filler.begin() + 20;
    const auto restAt = gapAt + k.gap;
    // No pair at a seam repeats, so nothing longer than the tail forms.
    ASSERT_NE(gapAt[0], restAt[0]);
    ASSERT_TRUE(gapAt[-1] != restAt[-1] && gapAt[-1] != filler.back() &&
                restAt[-1] != filler.back());

    Bytes data;
    std::vector<Token> expected;
    auto literals = [&](auto from, auto to) {
      for (auto b = from; b != to; ++b) {
        data.push_back(*b);
        expected.push_back({0, 0, *b});
      }
    };
    auto repeat = [&](uint32_t distance) {
      data.insert(data.end(), tail.begin(), tail.end());
      expected.push_back({k.len, distance, 0});
    };
    literals(filler.begin(), gapAt);
    literals(tail.begin(), tail.end());
    literals(gapAt, restAt);
    repeat(k.len + k.gap);
    literals(restAt, filler.end());
    repeat(nearer);
    ASSERT_EQ(data.size() - k.len - 20, farther);

    EXPECT_EQ(RunImplode(data, DCL_BINARY, k.dict).stream, EncodeTokens(expected, DCL_BINARY, bits))
        << "dict " << k.dict;
  }
}

TEST(Implode, OutputDependsOnTheInputAlone) {
  // A used work area holds a longer copy of the same pattern, so stale window
  // bytes past the end of the new data would extend matches if they counted.
  const Bytes longer = Copies(12000, 21);
  Work used(IMPLODE_WORK_SIZE);
  for (size_t size : {4200u, 517u, 8700u, 4096u}) {
    const Bytes data(longer.begin(), longer.begin() + size);
    for (uint32_t dict : kDicts) {
      const ImplodeRun fresh = RunImplode(data, DCL_ASCII, dict);
      RunImplode(longer, DCL_ASCII, dict, used.get());
      const ImplodeRun reused = RunImplode(data, DCL_ASCII, dict, used.get());
      Work garbage(IMPLODE_WORK_SIZE, 0xA5);
      const ImplodeRun dirty = RunImplode(data, DCL_ASCII, dict, garbage.get(), 333);
      EXPECT_EQ(reused.stream, fresh.stream) << size << " " << dict;
      EXPECT_EQ(dirty.stream, fresh.stream) << size << " " << dict;
      const ExplodeRun ex = RunExplode(fresh.stream);
      EXPECT_EQ(ex.data, data);
    }
  }
}

}  // namespace
