// The Huffman decoder against a plain model of it: the same tree kept the
// simplest way (nodes in list order, a node's run of equal weights found by
// scanning), read one bit at a time. The decoder's tables, stored paths and
// run hints must never make a difference, on valid streams or spoilt ones:
// same bytes, same count, same place to stop, same refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "compression/huffman.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kEnd = 256;
constexpr int kEscape = 257;

class Model {
 public:
  explicit Model(uint32_t type) {
    const uint8_t* start = HuffmanStartWeights(type);
    // The list as it grows: node ids, head (heaviest) first; -1 stands for
    // the place before the head.
    std::vector<int> order;
    auto pos = [&](int id) {
      for (size_t p = 0; p < order.size(); ++p)
        if (order[p] == id) return static_cast<int>(p);
      return -1;
    };
    auto prev = [&](int id) { return pos(id) == 0 ? -1 : order[pos(id) - 1]; };
    auto linkAfter = [&](int id, int after) {
      order.insert(order.begin() + (after < 0 ? 0 : pos(after) + 1), id);
    };
    // After the first node, going toward the head from `from`, of at least
    // the new node's weight.
    auto linkByWeight = [&](int id, int from) {
      while (from >= 0 && ids_[from].w < ids_[id].w) from = prev(from);
      linkAfter(id, from);
    };
    uint32_t max = 0;
    for (int v = 0; v < 256; ++v) {
      if (start[v] == 0) continue;
      const int id = NewId(v, start[v], -1, -1);
      if (start[v] >= max) {
        linkAfter(id, -1);
        max = start[v];
      } else {
        linkByWeight(id, order.back());
      }
    }
    for (int v : {kEnd, kEscape}) order.push_back(NewId(v, 1, -1, -1));
    for (int c1 = order.back(); c1 >= 0 && prev(c1) >= 0;) {
      const int c2 = prev(c1);
      const int id = NewId(0, ids_[c1].w + ids_[c2].w, c1, c2);
      if (ids_[id].w >= max) {
        linkAfter(id, -1);
        max = ids_[id].w;
      } else {
        linkByWeight(id, prev(c2));
      }
      c1 = prev(c2);
    }
    // Positions instead of ids.
    std::vector<int> at(ids_.size());
    for (size_t p = 0; p < order.size(); ++p) at[order[p]] = static_cast<int>(p);
    for (int& leaf : leaves_) leaf = -1;
    for (int id : order) {
      const Node& n = ids_[id];
      nodes_.push_back({n.value, n.w, -1, n.bit0 < 0 ? -1 : at[n.bit0], n.bit1 < 0 ? -1 : at[n.bit1]});
      if (n.bit0 < 0) leaves_[n.value] = static_cast<int>(nodes_.size()) - 1;
    }
    for (size_t p = 0; p < nodes_.size(); ++p) {
      if (nodes_[p].bit0 >= 0) nodes_[nodes_[p].bit0].parent = nodes_[nodes_[p].bit1].parent = static_cast<int>(p);
    }
    adaptive_ = type == 0;
  }

  // Returns the size HuffmanDecompress reports; out gets what it writes.
  uint32_t Decode(const Bytes& in, Bytes& out) {
    bit_ = 8;
    in_ = &in;
    uint32_t produced = 0;
    while (produced < out.size()) {
      int n = 0;
      while (nodes_[n].bit0 >= 0) {
        const int b = Bit();
        if (b < 0) return produced;
        n = b ? nodes_[n].bit1 : nodes_[n].bit0;
      }
      int v = nodes_[n].value;
      if (v == kEnd) break;
      if (v == kEscape) {
        if (bit_ + 8 > 8 * in.size()) break;
        v = 0;
        for (int k = 0; k < 8; ++k) v |= Bit() << k;
        if (leaves_[v] >= 0) return 0;
        Insert(v);
        Increment(leaves_[v]);
        out[produced++] = static_cast<uint8_t>(v);
        continue;
      }
      out[produced++] = static_cast<uint8_t>(v);
      if (adaptive_ && produced < out.size()) Increment(leaves_[v]);
    }
    return produced;
  }

 private:
  struct Node {
    int value;
    uint32_t w;
    int parent, bit0, bit1;  // bit0: the child on the tail side
  };

  int NewId(int value, uint32_t w, int bit0, int bit1) {
    ids_.push_back({value, w, -1, bit0, bit1});
    return static_cast<int>(ids_.size()) - 1;
  }
  int Bit() {
    if (bit_ >= 8 * in_->size()) return -1;
    const int b = ((*in_)[bit_ / 8] >> (bit_ % 8)) & 1;
    ++bit_;
    return b;
  }

  void Relink(int p) {
    if (nodes_[p].bit0 < 0) {
      leaves_[nodes_[p].value] = p;
    } else {
      nodes_[nodes_[p].bit0].parent = nodes_[nodes_[p].bit1].parent = p;
    }
  }

  void Increment(int n) {
    while (n >= 0) {
      int head = n;
      while (head > 0 && nodes_[head - 1].w == nodes_[n].w) --head;
      if (head != n) {
        std::swap(nodes_[head].value, nodes_[n].value);
        std::swap(nodes_[head].bit0, nodes_[n].bit0);
        std::swap(nodes_[head].bit1, nodes_[n].bit1);
        Relink(head);
        Relink(n);
      }
      ++nodes_[head].w;
      n = nodes_[head].parent;
    }
  }

  void Insert(int v) {
    const int tail = static_cast<int>(nodes_.size()) - 1;
    const int old = nodes_[tail].value;
    nodes_.push_back({old, nodes_[tail].w, tail, -1, -1});
    nodes_.push_back({v, 0, tail, -1, -1});
    nodes_[tail].bit1 = tail + 1;
    nodes_[tail].bit0 = tail + 2;
    leaves_[old] = tail + 1;
    leaves_[v] = tail + 2;
    Increment(tail + 2);
  }

  std::vector<Node> ids_;
  std::vector<Node> nodes_;
  int leaves_[258];
  bool adaptive_ = false;
  size_t bit_ = 0;
  const Bytes* in_ = nullptr;
};

struct Lcg {
  uint32_t s;
  uint32_t operator()() {
    s = s * 1103515245u + 12345u;
    return s >> 8;
  }
};

Bytes Sample(Lcg& r, size_t n) {
  Bytes b(n);
  const uint32_t kind = r() % 4, alphabet = 1 + r() % 256;
  for (size_t i = 0; i < n; ++i) {
    switch (kind) {
      case 0: b[i] = static_cast<uint8_t>(r()); break;
      case 1: b[i] = static_cast<uint8_t>(r() % alphabet); break;
      case 2: b[i] = r() % 10 < 9 ? "etaoin shrdlu"[r() % 13] : static_cast<uint8_t>(r()); break;
      default: b[i] = static_cast<uint8_t>(i % 16 < 4 ? i / 16 : r() % 7); break;
    }
  }
  return b;
}

TEST(HuffmanModel, DecoderMatchesThePlainModelOnValidAndSpoiltStreams) {
  std::vector<Model> fresh;
  for (uint32_t type = 0; type <= 8; ++type) fresh.emplace_back(type);
  Lcg r{2026};
  for (int round = 0; round < 1500; ++round) {
    const uint32_t type = round % 9;
    const size_t size = round % 10 == 0 ? r() % 20000 : r() % 700;
    const Bytes data = Sample(r, size);
    Bytes stream(size * 2 + 16);
    uint32_t streamSize = static_cast<uint32_t>(stream.size());
    HuffmanCompress(stream.data(), &streamSize, data.data(), static_cast<uint32_t>(size), type);
    stream.resize(streamSize);
    switch (round % 4) {
      case 1:  // a few bits flipped
        for (int k = 0; k < 3 && stream.size() > 1; ++k)
          stream[1 + r() % (stream.size() - 1)] ^= static_cast<uint8_t>(1u << (r() % 8));
        break;
      case 2:  // cut short
        stream.resize(stream.size() == 0 ? 0 : 1 + r() % stream.size());
        break;
      case 3:  // noise after a valid type byte
        for (size_t k = 1; k < stream.size(); ++k) stream[k] = static_cast<uint8_t>(r());
        break;
    }
    const uint32_t room = r() % 3 == 0 ? r() % (size + 2) : static_cast<uint32_t>(size + 50);
    Bytes got(room, 0xEE), want(room, 0xEE);
    uint32_t gotSize = room;
    const Bytes exact(stream);
    HuffmanDecompress(got.data(), &gotSize, exact.data(), static_cast<uint32_t>(exact.size()));
    Model model = fresh[type];
    const uint32_t wantSize = room == 0 ? 0 : model.Decode(exact, want);
    ASSERT_EQ(gotSize, wantSize) << "round " << round << " type " << type;
    ASSERT_EQ(got, want) << "round " << round << " type " << type;
  }
}

// Type 0 data whose statistics turn over: a few symbols dominate, then
// others take over, so nodes near the root keep trading places (which lays
// the decoder's table out again under them); with runs of one byte, whose
// one-bit code the decoder takes many at a time, up to and past the 64
// bits it holds.
Bytes Shifting(Lcg& r, size_t n) {
  Bytes b;
  while (b.size() < n) {
    const uint32_t phase = r() % 4;
    const size_t len = 1 + r() % 400;
    const auto base = static_cast<uint8_t>(r());
    const uint32_t alphabet = 1 + r() % 12;
    for (size_t i = 0; i < len && b.size() < n; ++i) {
      switch (phase) {
        case 0: b.push_back(base); break;  // a run
        case 1: b.push_back(static_cast<uint8_t>(base + r() % alphabet)); break;
        case 2: b.push_back(r() % 4 != 0 ? base : static_cast<uint8_t>(r() % alphabet)); break;
        default: b.push_back(static_cast<uint8_t>(base + (r() % alphabet) * (r() % alphabet))); break;
      }
    }
  }
  return b;
}

TEST(HuffmanModel, TypeZeroMatchesTheModelWhileItsTreeTurnsOver) {
  const Model fresh(0);
  Lcg r{77};
  for (int round = 0; round < 600; ++round) {
    const size_t size = 1 + r() % (round % 8 == 0 ? 30000 : 5000);
    const Bytes data = Shifting(r, size);
    Bytes stream(size * 2 + 16);
    uint32_t streamSize = static_cast<uint32_t>(stream.size());
    HuffmanCompress(stream.data(), &streamSize, data.data(), static_cast<uint32_t>(size), 0);
    stream.resize(streamSize);
    if (round % 3 == 1) stream.resize(1 + r() % stream.size());  // ends inside a run, or a code
    // The room ends anywhere, inside runs too.
    const uint32_t room = round % 3 == 2 ? r() % static_cast<uint32_t>(size + 1)
                                         : static_cast<uint32_t>(size + 8);
    Bytes got(room, 0xEE), want(room, 0xEE);
    uint32_t gotSize = room;
    HuffmanDecompress(got.data(), &gotSize, stream.data(), static_cast<uint32_t>(stream.size()));
    Model model = fresh;
    const uint32_t wantSize = room == 0 ? 0 : model.Decode(stream, want);
    ASSERT_EQ(gotSize, wantSize) << "round " << round;
    ASSERT_EQ(got, want) << "round " << round;
    if (round % 3 == 0) {
      ASSERT_EQ(gotSize, size) << "round " << round;
      ASSERT_TRUE(std::equal(data.begin(), data.end(), got.begin())) << "round " << round;
    }
  }
}

}  // namespace
