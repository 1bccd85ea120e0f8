// The adaptive Huffman coder of compressed sectors.
//
// The tree lives in a list of nodes ordered by weight, heaviest (the root)
// at the head. Encoder and decoder start from the same table of weights and
// change the tree in exactly the same way after every symbol, so the code of
// a symbol is always what both sides expect. Everything lives in the call's
// own storage; nothing is allocated and nothing survives the call.
#include "compression/huffman.h"

#include <array>
#include <cstddef>
#include <cstring>

namespace {

constexpr uint32_t HUFF_END = 256;
constexpr uint32_t HUFF_ESCAPE = 257;
constexpr uint32_t HUFF_SYMBOLS = 258;
constexpr uint32_t HUFF_MAX_TYPE = 8;

// 258 leaves and the 257 internal nodes that join them.
constexpr uint16_t kPoolSize = 515;
// The list's anchor sits after the pool: its next is the head, its prev the
// tail, and its weight is the largest there is, so every walk toward the
// head stops on it without a separate end test.
constexpr uint16_t kAnchor = kPoolSize;
constexpr uint16_t kNone = 0xFFFF;

// ---- starting weights ------------------------------------------------------

struct WeightRow {
  uint8_t type;
  uint8_t index;
  const char* hex;  // consecutive weights from index, two hex digits each
};

constexpr WeightRow kWeightRows[] = {
    {0, 0, "0A"},
    {0, 255, "02"},
    {1, 0,
     "5416160D0C08060506050603040403050E0B141313090B060504030203020202"
     "0D07090606040302040303030303020209060404040403020302020202030204"},
    {1, 64,
     "0803040709050303030302020203020203020202020202020201010102010202"
     "060A080806070403040402020402030304030707090604030302010202020202"},
    {1, 128,
     "0A02020302020101020202060305020302010101010101010101010203010101"
     "02010101010101020404040709080C0201010101010101010101010102010103"},
    {1, 192,
     "0401020405010101010101010201010104010101010102010101010101010101"
     "020101010101010103010101010101010201010101010102020101020202064B"},
    {2, 9, "0327000023"},
    {2, 32,
     "FF0101010101010102020101060E100406080504040303020203030101020101"
     "0104020402020201010401010203030203010306040101010101010201020101"},
    {2, 96, "0129071612400A0A112501031710262A100123232F10060702090101010101"},
    {3, 0,
     "FF0B07050B020202060202010402010309010101030401010201010102010101"
     "050101010D010101010101010101010102010103010101010101010201010101"},
    {3, 64,
     "0A04020106030201010101010301010105020304030303020101010201020303"
     "01030101020501010403050103010303020104030A0601010101010101010101"},
    {3, 128,
     "0202010A0205010102070217010501010E010101010101010101010101010101"
     "0101010101010101010101010101010101010101010101010101010101010101"},
    {3, 192,
     "0602010405010102010101010201010101010101010101010101010101010101"
     "0101010101010101070101020101010102010101010101010201010101010111"},
    {4, 0, "FFFB989A848563643E3E222213131817"},
    {5, 0,
     "FFF19D9E9A9B9A9793938C8E868880827C7C7273696B5F6055564A4B40413737"
     "2F2F272721211B1C1717131310100D0D0B0B0909080807070605050404041918"},
    {6, 0, "C3CBF541FF7BF721"},
    {6, 64, "BFCCF240FD7CF722"},
    {6, 128, "7A46"},
    {7, 0, "C3D9EF3DF97CE91EFDABF12CFC5BFE17"},
    {7, 64, "BDD9EC3DF57DE81DFBAEF02CFB5CFF18"},
    {7, 128, "706C"},
    {8, 0, "BAC5DA33E36DD818E594DA23DF4AD110EEAFE42CEA5ADE15F487E921F643FC12"},
    {8, 64, "B0C7D833E36BD618E795D823DB49D011E9B2E22BE85CDD15F187E720F744FF13"},
    {8, 128, "5F9E"},
};

constexpr uint8_t HexValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
  throw "bad hex digit in a weight row";  // stops the constant evaluation
}

// Built at compile time; a row that runs past its table does not compile.
constexpr std::array<std::array<uint8_t, 256>, HUFF_MAX_TYPE + 1> MakeWeightTables() {
  std::array<std::array<uint8_t, 256>, HUFF_MAX_TYPE + 1> tables{};
  for (const WeightRow& row : kWeightRows) {
    size_t k = 0;
    for (; row.hex[2 * k] != '\0'; ++k) {
      if (row.hex[2 * k + 1] == '\0') throw "odd weight row";
      if (row.index + k > 255) throw "weight row runs past its table";
      tables[row.type][row.index + k] =
          static_cast<uint8_t>(HexValue(row.hex[2 * k]) << 4 | HexValue(row.hex[2 * k + 1]));
    }
  }
  return tables;
}

constexpr std::array<std::array<uint8_t, 256>, HUFF_MAX_TYPE + 1> HuffWeightTables =
    MakeWeightTables();

static_assert(HuffWeightTables[0][0] == 0x0A && HuffWeightTables[0][255] == 0x02);
static_assert(HuffWeightTables[1][255] == 0x4B && HuffWeightTables[3][255] == 0x11);
static_assert(HuffWeightTables[2][13] == 0x23 && HuffWeightTables[5][63] == 0x18);
static_assert(HuffWeightTables[8][129] == 0x9E && HuffWeightTables[4][16] == 0);

// ---- the tree ----------------------------------------------------------------

struct HuffNode {
  uint16_t next = kAnchor;  // toward the tail (kAnchor after the tail)
  uint16_t prev = kAnchor;  // toward the head (kAnchor before the head)
  uint16_t parent = kNone;  // kNone for the root
  uint16_t child = kNone;   // kNone for a leaf; else the child on the tail side
  uint16_t other = kNone;   // the other child, child's neighbour toward the head
  uint16_t value = 0;
  uint32_t weight = 0;
};

constexpr void Unlink(HuffNode* nodes, uint16_t n) {
  HuffNode& x = nodes[n];
  nodes[x.prev].next = x.next;
  nodes[x.next].prev = x.prev;
}

// after == kAnchor puts n at the head.
constexpr void LinkAfter(HuffNode* nodes, uint16_t n, uint16_t after) {
  HuffNode& x = nodes[n];
  x.prev = after;
  x.next = nodes[after].next;
  nodes[x.next].prev = n;
  nodes[after].next = n;
}

// Lighter nodes go after every node of at least their weight.
constexpr void LinkByWeight(HuffNode* nodes, uint16_t n, uint16_t from) {
  const uint32_t w = nodes[n].weight;
  while (nodes[from].weight < w) from = nodes[from].prev;
  LinkAfter(nodes, n, from);
}

// The tree a stream type starts from.
struct StartTree {
  uint32_t used = 0;  // nodes taken from the pool
  HuffNode nodes[kPoolSize + 1] = {};
  uint16_t leaves[HUFF_SYMBOLS] = {};
};

constexpr uint16_t TakeNode(StartTree& t, uint32_t value, uint32_t weight, uint16_t child,
                            uint16_t other) {
  const auto n = static_cast<uint16_t>(t.used++);
  t.nodes[n].value = static_cast<uint16_t>(value);
  t.nodes[n].weight = weight;
  t.nodes[n].child = child;
  t.nodes[n].other = other;
  return n;
}

constexpr StartTree BuildTree(uint32_t type) {
  const std::array<uint8_t, 256>& w = HuffWeightTables[type];
  StartTree t;
  HuffNode* nodes = t.nodes;
  // Set out in full: g++ 12 loses the member defaults of a large array in
  // constant evaluation.
  for (HuffNode& x : t.nodes) x = HuffNode{kAnchor, kAnchor, kNone, kNone, kNone, 0, 0};
  for (uint16_t& leaf : t.leaves) leaf = kNone;
  nodes[kAnchor].weight = 0xFFFFFFFFu;

  uint32_t max = 0;
  for (uint32_t i = 0; i < 256; ++i) {
    if (w[i] == 0) continue;
    const uint16_t n = TakeNode(t, i, w[i], kNone, kNone);
    t.leaves[i] = n;
    if (w[i] >= max) {
      // Among equal weights a later value goes in front of earlier ones.
      LinkAfter(nodes, n, kAnchor);
      max = w[i];
    } else {
      LinkByWeight(nodes, n, nodes[kAnchor].prev);
    }
  }
  for (uint32_t s : {HUFF_END, HUFF_ESCAPE}) {
    const uint16_t n = TakeNode(t, s, 1, kNone, kNone);
    t.leaves[s] = n;
    LinkAfter(nodes, n, nodes[kAnchor].prev);
  }

  uint16_t c1 = nodes[kAnchor].prev;
  while (c1 != kAnchor && nodes[c1].prev != kAnchor) {
    const uint16_t c2 = nodes[c1].prev;
    const uint16_t n = TakeNode(t, 0, nodes[c1].weight + nodes[c2].weight, c1, c2);
    nodes[c1].parent = n;
    nodes[c2].parent = n;
    if (nodes[n].weight >= max) {
      LinkAfter(nodes, n, kAnchor);
      max = nodes[n].weight;
    } else {
      LinkByWeight(nodes, n, nodes[c2].prev);
    }
    c1 = nodes[c2].prev;
  }
  return t;
}

// The starting trees depend on the type alone, so they are built once, by
// the compiler; a call copies the one it needs.
constexpr StartTree kStartTree0 = BuildTree(0);
constexpr StartTree kStartTree1 = BuildTree(1);
constexpr StartTree kStartTree2 = BuildTree(2);
constexpr StartTree kStartTree3 = BuildTree(3);
constexpr StartTree kStartTree4 = BuildTree(4);
constexpr StartTree kStartTree5 = BuildTree(5);
constexpr StartTree kStartTree6 = BuildTree(6);
constexpr StartTree kStartTree7 = BuildTree(7);
constexpr StartTree kStartTree8 = BuildTree(8);
constexpr const StartTree* kStartTrees[HUFF_MAX_TYPE + 1] = {
    &kStartTree0, &kStartTree1, &kStartTree2, &kStartTree3, &kStartTree4,
    &kStartTree5, &kStartTree6, &kStartTree7, &kStartTree8};

static_assert(kStartTree0.used == 7 &&
              kStartTree0.nodes[kStartTree0.nodes[kAnchor].next].weight == 14);

// Nodes of equal weight stand together in the list. For weights below this
// bound the tree keeps the head-most node of each weight, so an increment
// finds the node to exchange with at once instead of walking the run of
// equals; heavier runs are short and are walked.
constexpr uint32_t kLeaderWeights = 1024;

struct DecodeCacheEntry {
  uint32_t stamp;   // version the entry was made under; 0 never matches
  uint32_t bits;    // code length, or more than 7 when only a prefix is known
  uint32_t target;  // symbol when bits <= 7, else the node after 7 steps
};

struct HuffTree {
  uint32_t adaptive;
  uint32_t version;
  uint32_t used;  // nodes taken from the pool
  HuffNode nodes[kPoolSize + 1];
  uint16_t leaves[HUFF_SYMBOLS];
  uint16_t leaders[kLeaderWeights];  // head-most node of each weight, or kNone
  DecodeCacheEntry cache[128];       // decoder only
};

inline uint16_t Head(const HuffTree& t) { return t.nodes[kAnchor].next; }
inline uint16_t Tail(const HuffTree& t) { return t.nodes[kAnchor].prev; }

void InitTree(HuffTree& t, uint32_t type) {
  const StartTree& s = *kStartTrees[type];
  t.adaptive = type == 0 ? 1 : 0;
  t.version = 1;
  t.used = s.used;
  std::memcpy(t.nodes, s.nodes, sizeof(HuffNode) * s.used);
  t.nodes[kAnchor] = s.nodes[kAnchor];
  std::memcpy(t.leaves, s.leaves, sizeof(t.leaves));
  std::memset(t.leaders, 0xFF, sizeof(t.leaders));
  for (uint16_t n = Head(t); n != kAnchor; n = t.nodes[n].next) {
    const uint32_t w = t.nodes[n].weight;
    if (w < kLeaderWeights && t.leaders[w] == kNone) t.leaders[w] = n;
  }
}

inline void BumpVersion(HuffTree& t) {
  // A wrapped version would make entries stamped long ago look fresh.
  if (++t.version == 0) {
    for (DecodeCacheEntry& e : t.cache) e.stamp = 0;
    t.version = 1;
  }
}

void IncrementWeight(HuffTree& t, uint16_t n) {
  HuffNode* nodes = t.nodes;
  while (n != kNone) {
    const uint32_t old = nodes[n].weight;
    const uint32_t w = old + 1;
    nodes[n].weight = w;
    // The head-most node of the run of lighter nodes that ends at n takes
    // n's place, so the list stays ordered by weight. The list was ordered
    // before, so that run is exactly the nodes of n's old weight.
    uint16_t m = n;
    if (old < kLeaderWeights) {
      m = t.leaders[old];
    } else {
      while (nodes[nodes[m].prev].weight < w) m = nodes[m].prev;
    }
    if (m != n) {
      const uint16_t p = nodes[m].prev;
      Unlink(nodes, m);
      LinkAfter(nodes, m, n);
      Unlink(nodes, n);
      LinkAfter(nodes, n, p);
      const uint16_t np = nodes[n].parent;
      const uint16_t mp = nodes[m].parent;
      // Each parent's link to the node that left takes the one that came;
      // slots are chosen before either changes, for when both share a parent.
      uint16_t* nSlot =
          np == kNone ? nullptr : (nodes[np].child == n ? &nodes[np].child : &nodes[np].other);
      uint16_t* mSlot =
          mp == kNone ? nullptr : (nodes[mp].child == m ? &nodes[mp].child : &nodes[mp].other);
      if (nSlot) *nSlot = m;
      if (mSlot) *mSlot = n;
      nodes[n].parent = mp;
      nodes[m].parent = np;
      BumpVersion(t);
    }
    // n now follows the last node of at least weight w.
    if (old < kLeaderWeights) {
      const uint16_t next = nodes[n].next;
      t.leaders[old] = nodes[next].weight == old ? next : kNone;
    }
    if (w < kLeaderWeights && nodes[nodes[n].prev].weight != w) t.leaders[w] = n;
    n = nodes[n].parent;
  }
}

// Only at the tail, where a node is never heavier than those before it.
inline uint16_t AppendNode(HuffTree& t, uint32_t value, uint32_t weight, uint16_t parent) {
  const auto n = static_cast<uint16_t>(t.used++);
  HuffNode& x = t.nodes[n];
  x.value = static_cast<uint16_t>(value);
  x.weight = weight;
  x.parent = parent;
  x.child = kNone;
  x.other = kNone;
  LinkAfter(t.nodes, n, Tail(t));
  if (weight < kLeaderWeights && t.leaders[weight] == kNone) t.leaders[weight] = n;
  return n;
}

// The tail leaf t becomes internal with its old symbol (bit 1) and the new
// byte (bit 0) as children. The caller guarantees b has no leaf, which keeps
// the pool big enough.
void InsertSymbol(HuffTree& t, uint32_t b) {
  const uint16_t tail = Tail(t);
  const uint32_t oldValue = t.nodes[tail].value;
  const uint16_t a = AppendNode(t, oldValue, t.nodes[tail].weight, tail);
  t.leaves[oldValue] = a;
  const uint16_t c = AppendNode(t, b, 0, tail);
  t.leaves[b] = c;
  t.nodes[tail].child = c;
  t.nodes[tail].other = a;
  // The structure changed; the exchange that always follows would
  // invalidate the cache as well, but this does not depend on it.
  BumpVersion(t);
  IncrementWeight(t, c);
}

// ---- bit output ------------------------------------------------------------

struct HuffBitWriter {
  uint8_t* cur;
  uint32_t room;
  uint64_t acc;
  uint32_t count;  // bits held in acc, 0 to 7 between calls
  bool full;       // a byte has been dropped for want of room
};

// k <= 56.
inline void PutBits(HuffBitWriter& w, uint64_t v, uint32_t k) {
  w.acc |= v << w.count;
  w.count += k;
  while (w.count >= 8) {
    if (w.room > 0) {
      *w.cur++ = static_cast<uint8_t>(w.acc);
      --w.room;
    } else {
      w.full = true;
    }
    w.acc >>= 8;
    w.count -= 8;
  }
}

void Flush(HuffBitWriter& w) {
  if (w.count > 0) PutBits(w, 0, 8 - w.count);
}

// Codes deeper than 64 levels cannot occur with 32-bit weights, but the
// tree's shape is not trusted to prove it: take the long way then.
void PutLongCode(HuffBitWriter& w, const HuffTree& t, uint16_t leaf) {
  uint8_t bits[kPoolSize];
  uint32_t len = 0;
  for (uint16_t n = leaf; t.nodes[n].parent != kNone && len < kPoolSize; n = t.nodes[n].parent) {
    bits[len++] = t.nodes[t.nodes[n].parent].child == n ? 0 : 1;
  }
  while (len > 0) PutBits(w, bits[--len], 1);
}

// The code is found leaf end first and sent root end first.
inline void PutCode(HuffBitWriter& w, const HuffTree& t, uint16_t leaf) {
  uint64_t code = 0;
  uint32_t len = 0;
  for (uint16_t n = leaf; t.nodes[n].parent != kNone; n = t.nodes[n].parent) {
    if (len == 64) {
      PutLongCode(w, t, leaf);
      return;
    }
    code = code << 1 | (t.nodes[t.nodes[n].parent].child == n ? 0u : 1u);
    ++len;
  }
  if (len > 32) {
    PutBits(w, code & 0xFFFFFFFFu, 32);
    PutBits(w, code >> 32, len - 32);
  } else {
    PutBits(w, code, len);
  }
}

// ---- bit input ---------------------------------------------------------------

// Never reads past end. Bits above count are always zero, so a look-up near
// the end sees zeros; whoever consumes bits checks that they were real.
struct HuffBitReader {
  const uint8_t* cur;
  const uint8_t* end;
  uint64_t acc;
  uint32_t count;
};

inline void Refill(HuffBitReader& r) {
  while (r.count <= 56 && r.cur < r.end) {
    r.acc |= static_cast<uint64_t>(*r.cur++) << r.count;
    r.count += 8;
  }
}

inline void Drop(HuffBitReader& r, uint32_t k) {
  r.acc >>= k;
  r.count -= k;
}

constexpr uint32_t kTruncated = 0xFFFFFFFFu;

// Walks down from node one bit at a time; returns the leaf or kNone when the
// input ends first. *steps counts the steps, *after7 is the node reached
// after the seventh.
inline uint16_t WalkDown(const HuffTree& t, HuffBitReader& r, uint16_t node, uint32_t* steps,
                         uint16_t* after7) {
  uint32_t d = 0;
  while (t.nodes[node].child != kNone) {
    if (r.count == 0) {
      Refill(r);
      if (r.count == 0) return kNone;
    }
    node = (r.acc & 1) ? t.nodes[node].other : t.nodes[node].child;
    Drop(r, 1);
    if (++d == 7) *after7 = node;
  }
  *steps = d;
  return node;
}

uint32_t DecodeSymbol(HuffTree& t, HuffBitReader& r) {
  if (r.count < 32) Refill(r);
  const uint32_t x = static_cast<uint32_t>(r.acc & 0x7F);
  const DecodeCacheEntry e = t.cache[x];
  uint32_t steps = 0;
  uint16_t after7 = kNone;
  if (e.stamp == t.version) {
    if (e.bits <= 7) {
      if (e.bits > r.count) return kTruncated;
      Drop(r, e.bits);
      return e.target;
    }
    if (r.count < 7) return kTruncated;
    Drop(r, 7);
    const uint16_t leaf = WalkDown(t, r, static_cast<uint16_t>(e.target), &steps, &after7);
    return leaf == kNone ? kTruncated : t.nodes[leaf].value;
  }

  const uint16_t leaf = WalkDown(t, r, Head(t), &steps, &after7);
  if (leaf == kNone) return kTruncated;
  const uint32_t value = t.nodes[leaf].value;
  if (steps <= 7) {
    for (uint32_t i = x & ((1u << steps) - 1); i < 128; i += 1u << steps) {
      t.cache[i] = DecodeCacheEntry{t.version, steps, value};
    }
  } else {
    t.cache[x] = DecodeCacheEntry{t.version, steps, after7};
  }
  return value;
}

}  // namespace

void HuffmanCompress(uint8_t* out, uint32_t* outSize, const uint8_t* in, uint32_t inSize,
                     uint32_t type) {
  if (outSize == nullptr) return;
  type &= 0xFF;
  // No weight table beyond type 8: nothing is written.
  if (type > HUFF_MAX_TYPE || out == nullptr || (in == nullptr && inSize > 0)) {
    *outSize = 0;
    return;
  }
  HuffBitWriter w{out, *outSize, 0, 0, false};
  HuffTree t;
  InitTree(t, type);

  PutBits(w, type, 8);
  for (uint32_t i = 0; i < inSize && !w.full; ++i) {
    const uint8_t b = in[i];
    const uint16_t leaf = t.leaves[b];
    if (leaf != kNone) {
      PutCode(w, t, leaf);
      if (t.adaptive) IncrementWeight(t, leaf);
    } else {
      PutCode(w, t, t.leaves[HUFF_ESCAPE]);
      PutBits(w, b, 8);
      InsertSymbol(t, b);
      IncrementWeight(t, t.leaves[b]);
    }
  }
  // Once a byte has been dropped the result is unusable whatever follows;
  // the reported size is the capacity either way.
  if (!w.full) {
    PutCode(w, t, t.leaves[HUFF_END]);
    Flush(w);
  }
  *outSize -= w.room;
}

void HuffmanDecompress(uint8_t* out, uint32_t* outSize, const uint8_t* in, uint32_t inSize) {
  if (outSize == nullptr) return;
  const uint32_t capacity = *outSize;
  *outSize = 0;
  if (capacity == 0 || out == nullptr || in == nullptr || inSize == 0) return;
  const uint32_t type = in[0];
  if (type > HUFF_MAX_TYPE) return;

  HuffTree t;
  InitTree(t, type);
  for (DecodeCacheEntry& e : t.cache) e.stamp = 0;
  HuffBitReader r{in + 1, in + inSize, 0, 0};

  // A stream that ends before HUFF_END yields the bytes decoded so far.
  uint32_t produced = 0;
  while (produced < capacity) {
    uint32_t s = DecodeSymbol(t, r);
    if (s == kTruncated || s == HUFF_END) break;
    if (s == HUFF_ESCAPE) {
      if (r.count < 8) Refill(r);
      if (r.count < 8) break;
      s = static_cast<uint32_t>(r.acc & 0xFF);
      Drop(r, 8);
      // A valid stream never escapes a byte it already codes; a second leaf
      // would also overrun the node pool.
      if (t.leaves[s] != kNone) return;
      InsertSymbol(t, s);
      IncrementWeight(t, t.leaves[s]);
      out[produced++] = static_cast<uint8_t>(s);
      continue;
    }
    out[produced++] = static_cast<uint8_t>(s);
    if (t.adaptive && produced < capacity) IncrementWeight(t, t.leaves[s]);
  }
  *outSize = produced;
}
