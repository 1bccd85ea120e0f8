// The adaptive Huffman coder of compressed sectors.
//
// The tree's nodes stand in a list ordered by weight, heaviest (the root) at
// the head. Encoder and decoder start from the same table of weights and
// change the tree in exactly the same way after every symbol, so the code of
// a symbol is always what both sides expect. Everything lives in the call's
// own storage; nothing is allocated and nothing survives the call.
#include "compression/huffman.h"

#include <algorithm>
#include <array>
#include <bit>
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

// ---- the starting trees ----------------------------------------------------

// Built at compile time as a linked list, the way the list grows, then laid
// out in list order (below).
struct ListNode {
  uint16_t next = kAnchor;  // toward the tail (kAnchor after the tail)
  uint16_t prev = kAnchor;  // toward the head (kAnchor before the head)
  uint16_t parent = kNone;  // kNone for the root
  uint16_t child = kNone;   // kNone for a leaf; else the child on the tail side
  uint16_t other = kNone;   // the other child, child's neighbour toward the head
  uint16_t value = 0;
  uint32_t weight = 0;
};

constexpr void LinkAfter(ListNode* nodes, uint16_t n, uint16_t after) {
  ListNode& x = nodes[n];
  x.prev = after;
  x.next = nodes[after].next;
  nodes[x.next].prev = n;
  nodes[after].next = n;
}

// Lighter nodes go after every node of at least their weight.
constexpr void LinkByWeight(ListNode* nodes, uint16_t n, uint16_t from) {
  const uint32_t w = nodes[n].weight;
  while (nodes[from].weight < w) from = nodes[from].prev;
  LinkAfter(nodes, n, from);
}

struct ListTree {
  uint32_t used = 0;  // nodes taken from the pool
  ListNode nodes[kPoolSize + 1] = {};
  uint16_t leaves[HUFF_SYMBOLS] = {};
};

constexpr uint16_t TakeNode(ListTree& t, uint32_t value, uint32_t weight, uint16_t child,
                            uint16_t other) {
  const auto n = static_cast<uint16_t>(t.used++);
  t.nodes[n].value = static_cast<uint16_t>(value);
  t.nodes[n].weight = weight;
  t.nodes[n].child = child;
  t.nodes[n].other = other;
  return n;
}

constexpr ListTree BuildList(uint32_t type) {
  const std::array<uint8_t, 256>& w = HuffWeightTables[type];
  ListTree t;
  ListNode* nodes = t.nodes;
  // Set out in full: g++ 12 loses the member defaults of a large array in
  // constant evaluation.
  for (ListNode& x : t.nodes) x = ListNode{kAnchor, kAnchor, kNone, kNone, kNone, 0, 0};
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

// ---- the tree ----------------------------------------------------------------

// A node's slot is its place in the list: slot 1 is the root, each later slot
// at most as heavy as the one before, the tail in slot `used`. Slot 0 is an
// anchor heavier than any node, so a search toward the head ends on it.
// Moving a node in the list therefore means moving its content (children and
// symbol) to another slot; a slot keeps its parent and its weight.
constexpr uint16_t kRoot = 1;
constexpr uint32_t kNodeSlots = kPoolSize + 1;

// The adaptive decoder keeps the path of every leaf whose code it has in its
// table (at most this many levels below the root). The first kFastDepth
// levels are handled without a loop; shorter codes pad their path there with
// slots of their own past the nodes (below).
constexpr uint32_t kPathLength = 8;
constexpr uint32_t kFastDepth = 5;
// Pad of level k: kPadBase + 2k + 1. The slot before each pad stays at the
// largest weight, which a pad never reaches, so a pad never looks like a node
// that has to move.
constexpr uint16_t kPadBase = kNodeSlots;
// The root's parent is a slot past the pads that ties with the one before
// it: a climb stops there on the test it makes for a tie anyway, so a level
// costs no separate test for the root.
constexpr uint16_t kAboveRoot = kNodeSlots + 2 * kFastDepth + 1;
// Two more than needed: with the arrays after the weights moved by 8 bytes
// the fixed types decoded 3% to 6% slower (measured), so they stay where
// they were before the slot above the root was added.
constexpr uint32_t kWeightSlots = kAboveRoot + 3;

constexpr uint16_t PadSlot(uint32_t level) { return static_cast<uint16_t>(kPadBase + 2 * level + 1); }
// The slot above the root and the one before it are no pad and no pad's
// guard: nothing increments them, so they tie (both zero) for good.
static_assert(kAboveRoot - 1 > PadSlot(kFastDepth - 1) && kAboveRoot < kWeightSlots);

// Where the run of each weight (modulo the size) began when an exchange last
// looked: a guess, checked before use, so it can be stale but never wrong.
constexpr uint32_t kRunHints = 1024;

struct HuffTree {
  uint32_t used;
  uint32_t adaptive;
  uint32_t weight[kWeightSlots];
  uint16_t parent[kNodeSlots];   // kAboveRoot for the root
  uint16_t kids[kNodeSlots][2];  // by code bit; kids[s][0] == kNone for a leaf
  uint16_t value[kNodeSlots];
  uint16_t leaves[HUFF_SYMBOLS];  // slot of each symbol, or kNone
  uint16_t runHints[kRunHints];
};

constexpr HuffTree ToSlots(const ListTree& list) {
  HuffTree t{};
  uint16_t slotOf[kPoolSize + 1] = {};
  uint16_t order[kPoolSize + 1] = {};
  uint32_t used = 0;
  for (uint16_t n = list.nodes[kAnchor].next; n != kAnchor; n = list.nodes[n].next) {
    slotOf[n] = static_cast<uint16_t>(++used);
    order[used] = n;
  }
  for (uint32_t& w : t.weight) w = 0;
  for (uint32_t k = 0; k < kFastDepth; ++k) t.weight[kPadBase + 2 * k] = 0xFFFFFFFFu;
  t.weight[0] = 0xFFFFFFFFu;
  for (uint32_t s = 0; s < kNodeSlots; ++s) {
    t.parent[s] = kNone;
    t.kids[s][0] = t.kids[s][1] = kNone;
    t.value[s] = 0;
  }
  for (uint32_t s = 1; s <= used; ++s) {
    const ListNode& x = list.nodes[order[s]];
    t.weight[s] = x.weight;
    t.value[s] = x.value;
    t.parent[s] = x.parent != kNone ? slotOf[x.parent] : kAboveRoot;
    if (x.child != kNone) {
      t.kids[s][0] = slotOf[x.child];
      t.kids[s][1] = slotOf[x.other];
    }
  }
  for (uint32_t v = 0; v < HUFF_SYMBOLS; ++v)
    t.leaves[v] = list.leaves[v] == kNone ? kNone : slotOf[list.leaves[v]];
  for (uint16_t& h : t.runHints) h = 0;
  t.used = used;
  return t;
}

// The starting trees depend on the type alone, so they are built once, by
// the compiler; a call copies the one it needs.
constexpr HuffTree kStartTree0 = ToSlots(BuildList(0));
constexpr HuffTree kStartTree1 = ToSlots(BuildList(1));
constexpr HuffTree kStartTree2 = ToSlots(BuildList(2));
constexpr HuffTree kStartTree3 = ToSlots(BuildList(3));
constexpr HuffTree kStartTree4 = ToSlots(BuildList(4));
constexpr HuffTree kStartTree5 = ToSlots(BuildList(5));
constexpr HuffTree kStartTree6 = ToSlots(BuildList(6));
constexpr HuffTree kStartTree7 = ToSlots(BuildList(7));
constexpr HuffTree kStartTree8 = ToSlots(BuildList(8));
constexpr const HuffTree* kStartTrees[HUFF_MAX_TYPE + 1] = {
    &kStartTree0, &kStartTree1, &kStartTree2, &kStartTree3, &kStartTree4,
    &kStartTree5, &kStartTree6, &kStartTree7, &kStartTree8};

static_assert(kStartTree0.used == 7 && kStartTree0.weight[kRoot] == 14);

void InitTree(HuffTree& t, uint32_t type) {
  const HuffTree& s = *kStartTrees[type];
  const uint32_t n = s.used + 1;
  t.used = s.used;
  t.adaptive = type == 0 ? 1 : 0;
  std::memcpy(t.weight, s.weight, sizeof(t.weight));
  std::memcpy(t.parent, s.parent, sizeof(t.parent[0]) * n);
  std::memcpy(t.kids, s.kids, sizeof(t.kids[0]) * n);
  std::memcpy(t.value, s.value, sizeof(t.value[0]) * n);
  std::memcpy(t.leaves, s.leaves, sizeof(t.leaves));
  std::memset(t.runHints, 0, sizeof(t.runHints));
}

// A weight is never allowed to wrap: past it the list would lose its order.
// The root is the heaviest node and gains exactly one per increment, so it
// alone is watched; nothing short of four billion symbols in one call gets
// near the bound.
inline bool RoomToGrow(const HuffTree& t, uint32_t increments) {
  return t.weight[kRoot] <= 0xFFFFFFFFu - increments;
}

// The first slot of the run of weight w that ends at j. The list is ordered,
// so every slot before the run is heavier: gallop from a known bound toward
// the other end, then halve. Runs can be long (many symbols seen once), and
// an exchange moves the run's start by one, so the hint is usually right or
// just short of it.
inline uint16_t RunStart(const HuffTree& t, uint32_t j, uint32_t w, uint32_t hint) {
  // weight[j - 1] == w, and the anchor in slot 0 is heavier than any node.
  if (t.weight[j - 2] != w) return static_cast<uint16_t>(j - 1);
  uint32_t hi = j - 1;  // weight[hi] == w
  uint32_t lo = 0;      // weight[lo] > w (the anchor at worst)
  if (hint > 0 && hint < hi && t.weight[hint] >= w) {
    if (t.weight[hint] == w) {
      if (t.weight[hint - 1] != w) return static_cast<uint16_t>(hint);
      hi = hint;
    } else {
      lo = hint;
      for (uint32_t step = 1; lo + step < hi; step *= 2) {
        if (t.weight[lo + step] == w) {
          hi = lo + step;
          break;
        }
        lo += step;
      }
    }
  }
  if (lo == 0) {
    for (uint32_t step = 1; step < hi; step *= 2) {
      if (t.weight[hi - step] != w) {
        lo = hi - step;
        break;
      }
      hi -= step;
    }
  }
  while (hi - lo > 1) {
    const uint32_t mid = lo + (hi - lo) / 2;
    if (t.weight[mid] == w) {
      hi = mid;
    } else {
      lo = mid;
    }
  }
  return static_cast<uint16_t>(hi);
}

inline void Adopt(HuffTree& t, uint16_t s) {
  if (t.kids[s][0] == kNone) {
    t.leaves[t.value[s]] = s;
  } else {
    t.parent[t.kids[s][0]] = s;
    t.parent[t.kids[s][1]] = s;
  }
}

// Exchanges the nodes in slots i and j with their subtrees. Neither is an
// ancestor of the other: they weigh the same and no node weighs nothing.
inline void SwapSlots(HuffTree& t, uint16_t i, uint16_t j) {
  const uint16_t k0 = t.kids[i][0], k1 = t.kids[i][1], v = t.value[i];
  t.kids[i][0] = t.kids[j][0];
  t.kids[i][1] = t.kids[j][1];
  t.value[i] = t.value[j];
  t.kids[j][0] = k0;
  t.kids[j][1] = k1;
  t.value[j] = v;
  Adopt(t, i);
  Adopt(t, j);
}

// Moves the node in slot j, which ties with the node before it, to the head
// of its run ahead of its weight going up; returns its new slot.
template <class Table>
inline uint16_t MoveToRunStart(HuffTree& t, uint16_t j, uint32_t w, Table& tab) {
  uint16_t& hint = t.runHints[w % kRunHints];
  const uint16_t i = RunStart(t, j, w, hint);
  SwapSlots(t, i, j);
  tab.Exchange(t, i, j);
  hint = static_cast<uint16_t>(i + 1);  // i leaves the run
  return i;
}

// The encoder keeps no decoding table. A table hears of every change of the
// tree's shape once it is made: an exchange of two slots' contents, or a
// slot whose content became a subtree.
struct NoTable {
  void Reshaped(const HuffTree&, uint16_t) {}
  void Exchange(const HuffTree&, uint16_t, uint16_t) {}
};

// Adds one to the node in slot j and to each of its ancestors. A node about
// to outweigh others of its weight first trades places with the head-most of
// them, so the list stays ordered; tab forgets the codes that run through
// either slot.
template <class Table>
void IncrementWeight(HuffTree& t, uint16_t from, Table& tab) {
  size_t j = from;
  for (;;) {
    const uint32_t w = t.weight[j];
    if (t.weight[j - 1] == w) [[unlikely]] {
      if (j == kAboveRoot) return;
      j = MoveToRunStart(t, static_cast<uint16_t>(j), w, tab);
    }
    t.weight[j] = w + 1;
    j = t.parent[j];
  }
}

// Only at the tail, where a node is never heavier than those before it.
inline uint16_t AppendNode(HuffTree& t, uint32_t value, uint32_t weight, uint16_t parent) {
  const auto n = static_cast<uint16_t>(++t.used);
  t.weight[n] = weight;
  t.value[n] = static_cast<uint16_t>(value);
  t.parent[n] = parent;
  t.kids[n][0] = t.kids[n][1] = kNone;
  return n;
}

// The tail leaf becomes internal with its old symbol (bit 1) and the new
// byte (bit 0) as children. The caller guarantees b has no leaf, which keeps
// the pool big enough.
template <class Table>
void InsertSymbol(HuffTree& t, uint32_t b, Table& tab) {
  const auto tail = static_cast<uint16_t>(t.used);
  const uint32_t oldValue = t.value[tail];
  const uint16_t a = AppendNode(t, oldValue, t.weight[tail], tail);
  t.leaves[oldValue] = a;
  const uint16_t c = AppendNode(t, b, 0, tail);
  t.leaves[b] = c;
  t.kids[tail][0] = c;
  t.kids[tail][1] = a;
  tab.Reshaped(t, tail);
  IncrementWeight(t, c, tab);
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

inline uint32_t CodeBit(const HuffTree& t, uint16_t n) {
  return t.kids[t.parent[n]][0] == n ? 0u : 1u;
}

// Codes deeper than 64 levels cannot occur with 32-bit weights, but the
// tree's shape is not trusted to prove it: take the long way then.
void PutLongCode(HuffBitWriter& w, const HuffTree& t, uint16_t leaf) {
  uint8_t bits[kPoolSize];
  uint32_t len = 0;
  for (uint16_t n = leaf; n != kRoot && len < kPoolSize; n = t.parent[n]) {
    bits[len++] = static_cast<uint8_t>(CodeBit(t, n));
  }
  while (len > 0) PutBits(w, bits[--len], 1);
}

// The code is found leaf end first and sent root end first.
inline void PutCode(HuffBitWriter& w, const HuffTree& t, uint16_t leaf) {
  uint64_t code = 0;
  uint32_t len = 0;
  for (uint16_t n = leaf; n != kRoot; n = t.parent[n]) {
    if (len == 64) {
      PutLongCode(w, t, leaf);
      return;
    }
    code = code << 1 | CodeBit(t, n);
    ++len;
  }
  if (len > 32) {
    PutBits(w, code & 0xFFFFFFFFu, 32);
    PutBits(w, code >> 32, len - 32);
  } else {
    PutBits(w, code, len);
  }
}

// Once a byte could not be sent the result is unusable whatever follows; the
// reported size is the whole room.
inline void GiveUp(HuffBitWriter& w) {
  w.full = true;
  w.room = 0;
}

// ---- bit input ---------------------------------------------------------------

// The stream's bits come first-bit-first from the low end of each byte, and
// the reader holds them the same way, next bit at the bottom of acc: the next
// K bits read as a number whose low bits are the code's first, and the
// entries of all codes that start with a given prefix are every entry that
// ends in it. Never reads past end; the bits above the held ones are zero or
// the input's own next bits, and whoever consumes bits checks that they were
// real.
struct HuffBitReader {
  const uint8_t* cur;
  const uint8_t* end;
  uint64_t acc;
  uint32_t count;
};

// Eight bytes, the first at the bottom: one load once optimised.
inline uint64_t LoadLittleEndian64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

// Tops acc up to at least 56 bits while the input lasts. With eight bytes to
// spare it takes them in one load; bits already held are loaded again in the
// same place, which changes nothing.
inline void Refill(HuffBitReader& r) {
  if (r.end - r.cur >= 8) {
    r.acc |= LoadLittleEndian64(r.cur) << r.count;
    const uint32_t bytes = (63 - r.count) >> 3;
    r.cur += bytes;
    r.count += bytes * 8;
    return;
  }
  while (r.count <= 56 && r.cur < r.end) {
    r.acc |= uint64_t{*r.cur++} << r.count;
    r.count += 8;
  }
}

// k < 64.
inline void Drop(HuffBitReader& r, uint32_t k) {
  r.acc >>= k;
  r.count -= k;
}

template <uint32_t k>
inline uint32_t Peek(const HuffBitReader& r) {
  return static_cast<uint32_t>(r.acc & ((uint64_t{1} << k) - 1));
}

// ---- decoding table ----------------------------------------------------------

// Decoding looks the next K bits up in a table over the current tree, filled
// on first use. An entry names the code length and the slot the code reaches;
// the symbol is read from the slot. Weights alone never change a code; only a
// slot whose content is exchanged or split does, and then only for codes that
// pass through it. So an entry is forgotten exactly when a slot on its path
// (at most K deep) changes, and the tree can keep adapting without the table
// starting over. Two leaves that trade places keep their slots and lengths:
// their entries stay as they are.
constexpr uint32_t kNoLength = 0xFF;  // an entry not filled (any slot bits)
// Length of an entry whose K bits end on an internal node, named by slot.
constexpr uint32_t kLongCode = 0xFE;
constexpr uint32_t kLengthCap = 0xFD;  // codes longer than the cap count as it
constexpr uint32_t kNoEntry = 0xFFFFFFFFu;  // the input ends inside a code

inline uint32_t MakeEntry(uint32_t len, uint32_t slot) { return len << 24 | slot; }
inline uint32_t EntryLength(uint32_t e) { return e >> 24; }
inline uint16_t EntrySlot(uint32_t e) { return static_cast<uint16_t>(e & 0xFFFF); }

// The fixed types' table, filled on first use (their trees change only when
// a byte is escaped).
template <uint32_t K>
struct DecodeTable {
  static constexpr uint32_t kSize = 1u << K;
  static_assert(K <= 12);
  uint32_t entry[kSize];
  // Where each slot stood when a fill last passed it: prefix, and depth in
  // the top four bits (all ones: never passed). Every fill through a slot
  // records it, and whatever moves a slot forgets all entries through it,
  // so for a slot that any entry passes through the record is current. A
  // stale record only costs forgetting entries that were still good.
  uint16_t place[kNodeSlots];

  void Reset() {
    std::memset(entry, 0xFF, sizeof(entry));
    std::memset(place, 0xFF, sizeof(place));
  }

  // Every entry whose code starts with the depth bits of prefix (its first
  // bit lowest, as the reader holds it): those that end in them. Four
  // stores a round, as the codes near the root cover long strides of a
  // table this wide.
  void Set(uint32_t prefix, uint32_t depth, uint32_t e) {
    const uint32_t step = 1u << depth;
    uint32_t x = prefix;
    for (; x + 3 * step < kSize; x += 4 * step) {
      entry[x] = e;
      entry[x + step] = e;
      entry[x + 2 * step] = e;
      entry[x + 3 * step] = e;
    }
    for (; x < kSize; x += step) entry[x] = e;
  }

  // The codes through slot s have changed.
  void Reshaped(const HuffTree&, uint16_t s) {
    const uint32_t depth = place[s] >> 12;
    if (depth <= K) Set(place[s] & 0xFFF, depth, MakeEntry(kNoLength, s));
  }

  void Exchange(const HuffTree& t, uint16_t i, uint16_t j) {
    if (t.kids[i][0] == kNone && t.kids[j][0] == kNone) return;
    Reshaped(t, i);
    Reshaped(t, j);
  }

  // Walks the bits of x from the root; a code shorter than K fills every
  // entry that starts with it.
  uint32_t Fill(const HuffTree& t, uint32_t x) {
    uint16_t node = kRoot;
    uint32_t depth = 0;
    while (depth < K && t.kids[node][0] != kNone) {
      node = t.kids[node][(x >> depth) & 1];
      ++depth;
      place[node] = static_cast<uint16_t>(depth << 12 | (x & ((1u << depth) - 1)));
    }
    if (t.kids[node][0] != kNone) return entry[x] = MakeEntry(kLongCode, node);
    const uint32_t e = MakeEntry(depth, node);
    Set(x & ((1u << depth) - 1), depth, e);
    return e;
  }
};

// The adaptive decoder's table is kept whole: every entry is right at every
// moment, so a lookup never has to ask whether it may trust what it finds.
// When a slot changes content, the part of the table under it is laid out
// again from that slot down. The slot itself stays where it was (a slot
// keeps its parent), so its place and path still hold: the new layout needs
// no walk from the root. Each node within K levels of the root has its
// place and its path; only codes longer than K are walked bit by bit.
template <uint32_t K>
struct WholeTable {
  static constexpr uint32_t kSize = 1u << K;
  static_assert(K <= kPathLength && K >= kFastDepth);
  uint32_t entry[kSize];
  // Where each slot stood when it was last laid out: prefix, and depth in
  // the top four bits. A slot that has since moved below K levels keeps a
  // stale record; Placed() tells the two apart.
  uint16_t place[kNodeSlots];
  uint16_t path[kNodeSlots][kPathLength];

  void Build(const HuffTree& t) {
    std::memset(place, 0xFF, sizeof(place));
    uint16_t top[kPathLength];
    for (uint32_t k = 0; k < kPathLength; ++k) top[k] = PadSlot(k < kFastDepth ? k : 0);
    for (uint32_t b = 0; b < 2; ++b) LayChild(t, t.kids[kRoot][b], top, 1, b);
  }

  // Whether slot s is where its record says: the entry at its prefix must
  // pass through it. Entries and paths are current, so this is exact.
  bool Placed(uint16_t s) const {
    const uint32_t depth = place[s] >> 12;
    if (depth == 0 || depth > K) return false;
    const uint32_t e = entry[place[s] & 0xFFFu];
    const uint32_t len = std::min<uint32_t>(EntryLength(e), K);
    return len >= depth && path[EntrySlot(e)][len - depth] == s;
  }

  // Node s, child of the node whose path is `above`, at the given depth
  // with the given prefix.
  void LayChild(const HuffTree& t, uint16_t s, const uint16_t* above, uint32_t depth,
                uint32_t prefix) {
    place[s] = static_cast<uint16_t>(depth << 12 | prefix);
    path[s][0] = s;
    // A pad moves one level down the path; any pad will do (see PadSlot).
    std::memcpy(path[s] + 1, above, (kPathLength - 1) * sizeof(uint16_t));
    Lay(t, s, depth, prefix);
  }

  void Lay(const HuffTree& t, uint16_t s, uint32_t depth, uint32_t prefix) {
    if (t.kids[s][0] == kNone) {
      // The codes that start with this one's bits: every entry that ends in
      // them. One store a round, not DecodeTable::Set's four: in a table of
      // 5 bits the strides are short and the test for the unrolled part
      // mispredicts (measured).
      const uint32_t e = MakeEntry(depth, s);
      for (uint32_t x = prefix; x < kSize; x += 1u << depth) entry[x] = e;
      return;
    }
    if (depth == K) {
      entry[prefix] = MakeEntry(kLongCode, s);
      return;
    }
    LayChild(t, t.kids[s][0], path[s], depth + 1, prefix);
    LayChild(t, t.kids[s][1], path[s], depth + 1, prefix | 1u << depth);
  }

  void Reshaped(const HuffTree& t, uint16_t s) {
    if (Placed(s)) Lay(t, s, place[s] >> 12, place[s] & 0xFFFu);
  }

  // Both are judged before either is laid out: laying one out rewrites the
  // paths of the nodes that the other's entries still name.
  void Exchange(const HuffTree& t, uint16_t i, uint16_t j) {
    if (t.kids[i][0] == kNone && t.kids[j][0] == kNone) return;
    const bool pi = Placed(i), pj = Placed(j);
    if (pi) Lay(t, i, place[i] >> 12, place[i] & 0xFFFu);
    if (pj) Lay(t, j, place[j] >> 12, place[j] & 0xFFFu);
  }
};

// The increment of a leaf whose path the table holds (len levels, the leaf
// first). A node moves only when it ties with the node before it; below the
// lowest such node every weight on the path simply goes up by one. Whether a
// node ties does not depend on the increments below it: a node right before
// its own ancestor would weigh at least as much, so the rest of that
// ancestor's subtree would weigh nothing.
template <class Table>
inline void IncrementPath(HuffTree& t, const uint16_t* path, uint32_t len, Table& tab) {
  // The list is ordered, so a node's weight less its predecessor's is zero
  // when they tie and below zero otherwise: the top bit of all of them
  // together is set exactly when none ties.
  uint64_t below = ~uint64_t{0};
  for (uint32_t k = 0; k < kFastDepth; ++k) {
    const size_t j = path[k];
    below &= uint64_t{t.weight[j]} - t.weight[j - 1];
  }
  for (uint32_t k = kFastDepth; k < len; ++k) {
    const size_t j = path[k];
    below &= uint64_t{t.weight[j]} - t.weight[j - 1];
  }
  if (below >> 63 != 0) {
    for (uint32_t k = 0; k < kFastDepth; ++k) ++t.weight[path[k]];
    for (uint32_t k = kFastDepth; k < len; ++k) ++t.weight[path[k]];
    ++t.weight[kRoot];
    return;
  }
  // A pad never ties, so this stops on a node of the path. From the node
  // that ties on, the general climb by parent links: after an exchange the
  // path is no longer the node's, and following where it rejoins costs
  // more in mispredicted branches than the parent links cost in loads.
  uint32_t k = 0;
  while (k < len && t.weight[path[k] - 1] != t.weight[path[k]]) ++t.weight[path[k++]];
  if (k < len) {
    IncrementWeight(t, path[k], tab);
  } else {
    ++t.weight[kRoot];
  }
}

// What the table cannot answer at once: an entry not filled yet, a code
// longer than K (walked on bit by bit) or an input that ends inside a code.
// Returns the entry of the code read, or kNoEntry.
template <uint32_t K>
uint32_t DecodeSlow(const HuffTree& t, DecodeTable<K>& tab, HuffBitReader& r) {
  const uint32_t x = Peek<K>(r);
  uint32_t e = tab.entry[x];
  if (EntryLength(e) == kNoLength) e = tab.Fill(t, x);
  if (EntryLength(e) != kLongCode) {
    if (EntryLength(e) > r.count) return kNoEntry;
    Drop(r, EntryLength(e));
    return e;
  }
  if (r.count < K) return kNoEntry;
  Drop(r, K);
  uint16_t node = EntrySlot(e);
  uint32_t len = K;
  while (t.kids[node][0] != kNone) {
    if (r.count == 0) {
      Refill(r);
      if (r.count == 0) return kNoEntry;
    }
    node = t.kids[node][Peek<1>(r)];
    Drop(r, 1);
    if (len < kLengthCap) ++len;
  }
  return MakeEntry(len, node);
}

// What an escape code leads to: the next 8 bits are a byte the tree does
// not code yet, added as a new leaf and counted once.
enum class Escaped { kTaken, kStop, kRefused };

template <class Table>
Escaped TakeEscapedByte(HuffTree& t, Table& tab, HuffBitReader& r, uint8_t* byte) {
  if (r.count < 8) Refill(r);
  if (r.count < 8) return Escaped::kStop;
  const uint32_t b = Peek<8>(r);
  Drop(r, 8);
  // A valid stream never escapes a byte it already codes; a second leaf
  // would also overrun the node pool.
  if (t.leaves[b] != kNone) return Escaped::kRefused;
  if (!RoomToGrow(t, 2)) return Escaped::kStop;
  InsertSymbol(t, b, tab);
  IncrementWeight(t, t.leaves[b], tab);
  *byte = static_cast<uint8_t>(b);
  return Escaped::kTaken;
}

// Type 0's escape, with the start of its two climbs worked out in advance.
// In type 0 the only leaves of weight 1 are the end and escape symbols:
// they are never counted, every other leaf weighs at least 2 once its own
// escape is done and an inner node weighs at least 2. So they are the tail
// pair, siblings in slots T-1 and T, with heavier nodes before them. The
// general way splits T, climbs from the new leaf (0 -> 1, no tie) to T,
// which trades places with T-1 (the head of the run of weight 1), then
// climbs again from the new leaf, which ties with the old tail symbol and
// trades places with T. Where that leaves the tail is known: T-1 is an
// inner node of weight 2 over the two symbols of weight 1 (in T+2 and T+1,
// the order the two exchanges leave them in) and T holds the new byte at
// weight 2. What remains are the two climbs from above: the first from
// T-1's parent, the second from T's parent once the first is done (it may
// have moved it). Neither looks at slots past the one it starts from, so
// setting the tail first changes nothing. Only T-1 changes shape; T stays
// a leaf in its place, so its table entries stand. This skips a layout of
// T, two run searches and two exchanges: binary data, with ten times the
// escapes of text, decoded 3% to 6% faster (measured; text unchanged).
static_assert(kStartTree0.weight[kStartTree0.used] == 1 &&
              kStartTree0.weight[kStartTree0.used - 1] == 1 &&
              kStartTree0.weight[kStartTree0.used - 2] > 1);

template <class Table>
Escaped TakeEscapedByteAdaptive(HuffTree& t, Table& tab, HuffBitReader& r, uint8_t* byte) {
  if (r.count < 8) Refill(r);
  if (r.count < 8) return Escaped::kStop;
  const uint32_t b = Peek<8>(r);
  Drop(r, 8);
  if (t.leaves[b] != kNone) return Escaped::kRefused;
  if (!RoomToGrow(t, 2)) return Escaped::kStop;
  const auto tail = static_cast<uint16_t>(t.used);
  const auto split = static_cast<uint16_t>(tail - 1);
  const uint32_t first = t.value[split], second = t.value[tail];
  const uint16_t a = AppendNode(t, second, 1, split);
  const uint16_t c = AppendNode(t, first, 1, split);
  t.leaves[second] = a;
  t.leaves[first] = c;
  t.kids[split][0] = c;
  t.kids[split][1] = a;
  t.weight[split] = 2;
  t.value[tail] = static_cast<uint16_t>(b);
  t.leaves[b] = tail;
  t.weight[tail] = 2;
  tab.Reshaped(t, split);
  IncrementWeight(t, t.parent[split], tab);
  IncrementWeight(t, t.parent[tail], tab);
  *byte = static_cast<uint8_t>(b);
  return Escaped::kTaken;
}

// Types 1 to 8: weights change only for escaped bytes. Returns false when
// the stream is refused as a whole.
template <uint32_t K>
bool DecodeFixed(HuffTree& t, DecodeTable<K>& tab, HuffBitReader& r, uint8_t* out,
                 uint32_t capacity, uint32_t* produced) {
  // As in DecodeAdaptive: a lookup needs K bits and the rest refill on
  // their own; topping up below 16 held bits rather than 32 decoded most
  // fixed types 4% to 17% faster on text, none slower.
  static_assert(K <= 16);
  uint32_t n = 0;
  while (n < capacity) {
    if (r.count < 16) Refill(r);
    uint32_t e = tab.entry[Peek<K>(r)];
    if (EntryLength(e) <= r.count) {
      Drop(r, EntryLength(e));
    } else {
      e = DecodeSlow(t, tab, r);
      if (e == kNoEntry) break;  // the stream ends early: keep what it gave
    }
    const uint32_t s = t.value[EntrySlot(e)];
    if (s >= HUFF_END) {
      if (s == HUFF_END) break;
      const Escaped got = TakeEscapedByte(t, tab, r, &out[n]);
      if (got == Escaped::kRefused) return false;
      if (got == Escaped::kStop) break;
      ++n;
      continue;
    }
    out[n++] = static_cast<uint8_t>(s);
  }
  *produced = n;
  return true;
}

// Type 0: the table is whole (see WholeTable), so a short code is one
// lookup and its increment follows the path the table keeps; a longer code
// continues bit by bit from where the table stops and climbs by parent
// links (a kept path pays off only on short codes: the long ones are rare
// symbols, whose climb mostly leaves the path at once).
template <uint32_t K>
bool DecodeAdaptive(HuffTree& t, WholeTable<K>& tab, HuffBitReader& r, uint8_t* out,
                    uint32_t capacity, uint32_t* produced) {
  // Through a pointer, not an index: one value fewer live in the loop (1%
  // to 2% faster on text, measured by decoding alone).
  // Fewer held bits after a refill can only mean the input has ended.
  static_assert(K <= 16);
  uint8_t* o = out;
  uint8_t* const end = out + capacity;
  while (o < end) {
    // A lookup needs K bits, a long code refills on its own as it walks and
    // an escape before its byte: 16 held bits are plenty, and topping up
    // half as often decoded text 2% faster than at 32 (8 and 12: no better).
    if (r.count < 16) Refill(r);
    const uint32_t e = tab.entry[Peek<K>(r)];
    const uint32_t len = EntryLength(e);
    uint16_t leaf = EntrySlot(e);
    if (len <= r.count) {
      Drop(r, len);
    } else {
      // A short code cut by the end of the input, or the first K bits of a
      // longer one.
      if (len != kLongCode || r.count < K) break;
      Drop(r, K);
      bool cut = false;
      while (t.kids[leaf][0] != kNone) {
        if (r.count == 0) {
          Refill(r);
          if (r.count == 0) {
            cut = true;
            break;
          }
        }
        leaf = t.kids[leaf][Peek<1>(r)];
        Drop(r, 1);
      }
      if (cut) break;
    }
    const uint32_t s = t.value[leaf];
    if (s >= HUFF_END) {
      if (s == HUFF_END) break;
      const Escaped got = TakeEscapedByteAdaptive(t, tab, r, o);
      if (got == Escaped::kRefused) return false;
      if (got == Escaped::kStop) break;
      ++o;
      continue;
    }
    *o++ = static_cast<uint8_t>(s);
    if (leaf == kRoot + 1) {
      // A one-bit code. Slot 2 always holds a child of the root, and the
      // only node before it is the root, which outweighs it by the sibling:
      // its increments never tie and never reshape the tree. So the copies
      // of the same bit that follow are more of the same symbol (the
      // padding of game data, mostly), taken at once.
      const uint64_t same = t.kids[kRoot][0] == leaf ? r.acc : ~r.acc;
      uint32_t more = same == 0 ? 63 : static_cast<uint32_t>(std::countr_zero(same));
      more = std::min({more, r.count, static_cast<uint32_t>(end - o)});
      if (!RoomToGrow(t, more + 1)) more = 0;
      std::memset(o, static_cast<int>(s), more);
      o += more;
      Drop(r, more);
      if (o < end) {
        if (!RoomToGrow(t, more + 1)) break;
        t.weight[leaf] += more + 1;
        t.weight[kRoot] += more + 1;
      }
      continue;
    }
    if (o < end) {
      if (!RoomToGrow(t, 1)) break;
      if (len <= K) {
        IncrementPath(t, tab.path[leaf], len, tab);
      } else {
        IncrementWeight(t, leaf, tab);
      }
    }
  }
  *produced = static_cast<uint32_t>(o - out);
  return true;
}

// Widths measured on the benchmark corpus. Type 0 reshapes its tree every
// few symbols, and every change near the root lays out again a part of the
// table in proportion to the width, so a narrow table that holds the most
// frequent codes does best (longer ones take the general walk). The fixed
// tables change only when a byte is escaped, so a wider table pays off there.
using AdaptiveTable = WholeTable<5>;
using FixedTable = DecodeTable<10>;

}  // namespace

const uint8_t* HuffmanStartWeights(uint32_t type) {
  return type <= HUFF_MAX_TYPE ? HuffWeightTables[type].data() : nullptr;
}

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
  NoTable none;

  PutBits(w, type, 8);
  for (uint32_t i = 0; i < inSize && !w.full; ++i) {
    const uint8_t b = in[i];
    const uint16_t leaf = t.leaves[b];
    if (leaf != kNone) {
      if (t.adaptive && !RoomToGrow(t, 1)) {
        GiveUp(w);
        break;
      }
      PutCode(w, t, leaf);
      if (t.adaptive) IncrementWeight(t, leaf, none);
    } else {
      if (!RoomToGrow(t, 2)) {
        GiveUp(w);
        break;
      }
      PutCode(w, t, t.leaves[HUFF_ESCAPE]);
      PutBits(w, b, 8);
      InsertSymbol(t, b, none);
      IncrementWeight(t, t.leaves[b], none);
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
  HuffBitReader r{in + 1, in + inSize, 0, 0};
  // A stream that ends before HUFF_END yields the bytes decoded so far.
  uint32_t produced = 0;
  bool accepted;
  if (t.adaptive) {
    AdaptiveTable tab;
    tab.Build(t);
    accepted = DecodeAdaptive(t, tab, r, out, capacity, &produced);
  } else {
    FixedTable tab;
    tab.Reset();
    accepted = DecodeFixed(t, tab, r, out, capacity, &produced);
  }
  if (accepted) *outSize = produced;
}
