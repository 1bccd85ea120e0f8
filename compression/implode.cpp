// Encoder of the DCL implode stream. Its output must match other writers of
// the format bit for bit, so the match finder's choices (which candidate, how
// long, when to defer by one literal) follow one fixed procedure.
#include <bit>
#include <cstddef>
#include <cstring>

#include "compression/dcl.h"
#include "compression/dcl_tables.h"
#include "platform/bytes.h"

namespace {

constexpr uint32_t kBlock = 4096;
constexpr uint32_t kMaxMatch = 516;  // the longest repetition the finder reports
constexpr uint32_t kLookAhead = 516;  // bytes read but held back at a block's end
constexpr uint32_t kWindowSize = kBlock + kBlock + kLookAhead;  // 0x2204 at most in use
constexpr uint32_t kOutPiece = 2048;

// Positions are indexed by their first two bytes; a group that turns out
// large has its positions indexed once more by three bytes, and a large group
// of those once more by four, so that a search visits mostly positions that
// can give a longer repetition.
constexpr uint32_t kLevels = 3;
constexpr uint32_t kHeavyGroup = 256;  // positions that make a group large
static_assert(std::has_single_bit(kHeavyGroup));

struct IndexLevel {
  uint32_t heads;  // index of the level's first head in `index`
  uint32_t shift;  // 32 - log2 of its number of groups
  uint32_t keyMask;  // the leading bytes it groups by
  uint32_t runs;  // its runs take the slots from here
  uint32_t runsEnd;  // up to here
};

struct ImplodeHead {
  uint32_t distance;  // back distance minus 1 of the match FindMatch last reported
  uint32_t dictBits;
  uint32_t type;
  uint32_t dictSize;
  IndexLevel levels[kLevels];  // the index by 2, 3 and 4 leading bytes
  uint32_t depth;  // levels in use in the current block
  uint32_t indexed;  // window offsets below this one are in the index
  uint32_t indexLimit;  // the index has room for the offsets below this one
  uint32_t floor;  // no candidate lies before this offset
  void* param;
  DclReadFn read;
  DclWriteFn write;
};

constexpr uint32_t kOutSize = kOutPiece + 8;
// The word compares read up to 7 bytes past a match's limit; the spare bytes
// keep those reads inside the window when the window is full.
constexpr uint32_t kWindowBytes = kWindowSize + 8;
// Whatever the work area holds beyond the rest goes to the pair index.
constexpr uint32_t kIndexWords =
    (IMPLODE_WORK_SIZE - sizeof(ImplodeHead) - kOutSize - kWindowBytes) / 2 - 4;

struct ImplodeWork : ImplodeHead {
  // Index levels one after the other, each its heads and then one run of
  // slots per group, each run filled from its end towards its start as
  // positions are coded, so from its head on it lists the group's positions
  // nearest first. A 0 after each run ends it: position 0 always lies outside
  // the dictionary of any search. A head's top bit marks a large group.
  uint16_t index[kIndexWords];
  uint8_t out[kOutSize];
  uint8_t window[kWindowBytes];
};

static_assert(sizeof(ImplodeWork) <= IMPLODE_WORK_SIZE, "work area too small");
static_assert(alignof(ImplodeWork) <= alignof(std::max_align_t));
// Enough room for every position of a full window in 64 groups.
static_assert(kIndexWords >= kWindowSize + 2 * 64, "no room for a full window's index");

constexpr uint32_t kLarge = 0x8000;
constexpr uint32_t kSlotMask = 0x7FFF;
static_assert(kIndexWords <= kSlotMask, "slot numbers need the top bit free");

// Groups hold other keys too, which the compares tell apart. The pair level's
// heads come first in `index`.
inline uint32_t PairGroup(const uint8_t* at, uint32_t shift) {
  return (platform::LoadLE16(at) * 0x9E3779B1u) >> shift;
}

inline uint32_t GroupOf(const uint8_t* at, const IndexLevel& level) {
  return level.heads + (((platform::LoadLE32(at) & level.keyMask) * 0x9E3779B1u) >> level.shift);
}

inline void Store64(uint8_t* at, uint64_t v) {
  if constexpr (std::endian::native == std::endian::big) {
    for (int k = 0; k < 8; ++k) at[k] = static_cast<uint8_t>(v >> (8 * k));
  } else {
    std::memcpy(at, &v, 8);
  }
}

// The bit output: `bits` bits of the byte out[bytes] sent so far, the first
// lowest. Kept apart from the work area so that it can stay in registers.
struct BitWriter {
  uint64_t acc;
  uint32_t bits;  // 0 to 7
  uint32_t bytes;
};

// Sends the first piece of output and keeps the bytes stored past it.
uint32_t FlushPiece(ImplodeWork* w, uint32_t bytes) {
  uint32_t size = kOutPiece;
  w->write(w->out, &size, w->param);
  std::memcpy(w->out, w->out + kOutPiece, 8);
  return bytes - kOutPiece;
}

// Appends the low n (at most 30) bits of v, least significant first; v has no
// bits above n. Every call stores a whole word at the current byte, so the
// byte being filled is always in `out` too, and a piece of 2048 bytes leaves
// as soon as its last byte is complete.
inline void PutBits(ImplodeWork* w, BitWriter& out, uint32_t n, uint32_t v) {
  const uint64_t acc = out.acc | (uint64_t{v} << out.bits);
  const uint32_t count = out.bits + n;
  Store64(w->out + out.bytes, acc);
  const uint32_t bytes = count >> 3;
  out.bytes += bytes;
  out.acc = acc >> (8 * bytes);
  out.bits = count & 7;
  if (out.bytes >= kOutPiece) out.bytes = FlushPiece(w, out.bytes);
}

// Each code begins with its token's flag bit: 0 for a literal, 1 for a
// repetition.
inline void SendLiteral(ImplodeWork* w, BitWriter& out, uint8_t b) {
  if (w->type == DCL_BINARY) {
    PutBits(w, out, 9, uint32_t{b} << 1);
  } else {
    PutBits(w, out, AsciiCodeLengths[b] + 1u, uint32_t{AsciiCodeValues[b]} << 1);
  }
}

// Code of length value v (repetition length v + 2, or the end marker) and its
// size in bits.
inline uint32_t LengthCode(uint32_t v, uint32_t* bits) {
  uint32_t i = v < 8 ? v : 15;
  while (LenBaseValues[i] > v) --i;
  *bits = 1u + LenCodeLengths[i] + LenExtraBits[i];
  return 1u | (uint32_t{LenCodeValues[i]} << 1) | ((v - LenBaseValues[i]) << (LenCodeLengths[i] + 1));
}

// A repetition is at most 16 + 8 + 6 bits: one call.
inline void SendRepetition(ImplodeWork* w, BitWriter& out, uint32_t length, uint32_t distance) {
  uint32_t lowBits;
  uint32_t h;
  if (length == 2) {
    lowBits = 2;
    h = distance >> 2;
  } else {
    lowBits = w->dictBits;
    h = distance >> lowBits;
  }
  const uint32_t low = distance & ((1u << lowBits) - 1);
  uint32_t lengthBits;
  const uint32_t code = LengthCode(length - 2, &lengthBits);
  const uint32_t distBits = DistCodeLengths[h];
  PutBits(w, out, lengthBits + distBits + lowBits,
          code | (uint32_t{DistCodeValues[h]} << lengthBits) | (low << (lengthBits + distBits)));
}

// log2 of the groups for a level of n positions: about n / 2, 64 to 4096.
inline uint32_t GroupBits(uint32_t n) {
  const uint32_t bits = static_cast<uint32_t>(std::bit_width(n));
  return bits < 7 ? 6 : bits > 13 ? 12 : bits - 1;
}

// Positions in the large groups among the counts of a level.
uint32_t LargePositions(const uint16_t* counts, uint32_t groups) {
  uint32_t total = 0;
  for (uint32_t h = 0; h < groups; ++h) total += counts[h] >= kHeavyGroup ? counts[h] : 0;
  return total;
}

uint32_t FilledGroups(const uint16_t* counts, uint32_t groups) {
  uint32_t filled = 0;
  for (uint32_t h = 0; h < groups; ++h) filled += counts[h] != 0;
  return filled;
}

uint32_t MostInGroup(const uint16_t* counts, uint32_t groups) {
  uint32_t most = 0;
  for (uint32_t h = 0; h < groups; ++h) most = counts[h] > most ? counts[h] : most;
  return most;
}

void MarkLarge(uint16_t* counts, uint32_t groups) {
  for (uint32_t h = 0; h < groups; ++h) {
    if (counts[h] >= kHeavyGroup) counts[h] = static_cast<uint16_t>(counts[h] | kLarge);
  }
}

// Counts for level d the positions from first to limit - 1 that all levels
// above put in large groups. Whether a position qualifies is data, not a
// branch: the others add 0.
void CountLevel(ImplodeWork* w, uint32_t d, uint32_t first, uint32_t limit) {
  uint16_t* const index = w->index;
  const uint8_t* const window = w->window;
  const uint32_t pairShift = w->levels[0].shift;
  for (uint32_t q = first; q < limit; ++q) {
    uint32_t large = index[PairGroup(window + q, pairShift)];
    for (uint32_t k = 1; k < d; ++k) large &= index[GroupOf(window + q, w->levels[k])];
    index[GroupOf(window + q, w->levels[d])] += static_cast<uint16_t>(large >> 15);
  }
}

// Turns a level's counts into heads: each group's run follows the heads in
// turn, filled from its end, with a 0 after it; with shareEnds, groups without
// positions all point at one 0 instead. The marks of large groups stay only
// if the next level is in use.
void LayOutRuns(uint16_t* index, IndexLevel& level, uint32_t groups, bool shareEnds,
                bool keepLarge) {
  const uint32_t flags = keepLarge ? kLarge : 0;
  uint16_t* const heads = index + level.heads;
  level.runs = level.heads + groups;
  uint32_t start = level.runs;
  if (shareEnds) {
    const uint32_t shared = start++;
    for (uint32_t h = 0; h < groups; ++h) {
      const uint32_t n = heads[h] & kSlotMask;
      start += n;
      heads[h] = static_cast<uint16_t>(n != 0 ? start | (heads[h] & flags) : shared);
      start += n != 0;
    }
  } else {
    for (uint32_t h = 0; h < groups; ++h) {
      start += heads[h] & kSlotMask;
      heads[h] = static_cast<uint16_t>(start | (heads[h] & flags));
      start += 1;
    }
  }
  level.runsEnd = start;
  std::memset(index + level.runs, 0, (start - level.runs) * sizeof index[0]);
}

// Slots a level needs at most for `positions` in 2^bits groups, their ends
// shared.
inline uint32_t LevelSize(uint32_t bits, uint32_t positions) {
  const uint32_t groups = 1u << bits;
  return groups + 1 + positions + (positions < groups ? positions : groups);
}

// Lays out the index for the positions from first to limit - 1, all still
// unindexed, sized by counting passes: the pair level for all of them, and
// each deeper level for the positions in large groups of the level above, as
// far as the index area holds them: merging pair groups pairwise halves them
// without counting again to make room.
void StartIndex(ImplodeWork* w, uint32_t first, uint32_t limit) {
  uint16_t* const index = w->index;
  const uint8_t* const window = w->window;
  const uint32_t count = limit > first ? limit - first : 0;
  uint32_t bits = GroupBits(2 * count);
  while ((2u << bits) + count > kIndexWords) bits -= 1;
  std::memset(index, 0, (1u << bits) * sizeof index[0]);
  w->levels[0] = {0, 32 - bits, 0xFFFF, 0, 0};
  for (uint32_t q = first; q < limit; ++q) index[PairGroup(window + q, 32 - bits)] += 1;
  // Counts reach kHeavyGroup (a power of two) only if their union does.
  uint32_t any = 0;
  for (uint32_t h = 0; h < (1u << bits); ++h) any |= index[h];

  // Deeper levels get few groups: their keys share the pair of a large group.
  // They are tried only where they fit beside the smallest pair level.
  uint32_t large = any >= kHeavyGroup ? LargePositions(index, 1u << bits) : 0;
  if (large != 0 && (2u << 10) + count + LevelSize(GroupBits(large / 4), large) > kIndexWords) {
    large = 0;
  }
  uint32_t used;
  for (;;) {
    used = (2u << bits) + count;
    if (large == 0 || bits <= 10 || LevelSize(GroupBits(large / 4), large) <= kIndexWords - used) {
      break;
    }
    bits -= 1;
    large = 0;
    for (uint32_t h = 0; h < (1u << bits); ++h) {
      const uint32_t n = index[2 * h] + index[2 * h + 1];
      index[h] = static_cast<uint16_t>(n);
      large += n >= kHeavyGroup ? n : 0;
    }
    w->levels[0].shift += 1;
  }
  // A deeper level is kept only if it splits the largest group above: in a run
  // of one byte, or a short period, the nearest candidate ends most searches
  // anyway.
  uint32_t depth = 1;
  uint32_t groups[kLevels] = {1u << bits, 0, 0};
  if (large != 0 && LevelSize(GroupBits(large / 4), large) <= kIndexWords - used) {
    const uint32_t largest = MostInGroup(index, groups[0]);
    MarkLarge(index, groups[0]);
    const uint32_t bits1 = GroupBits(large / 4);
    groups[1] = 1u << bits1;
    uint16_t* const counts1 = index + used;
    w->levels[1] = {used, 32 - bits1, 0xFFFFFF, 0, 0};
    std::memset(counts1, 0, groups[1] * sizeof index[0]);
    CountLevel(w, 1, first, limit);
    const uint32_t largest1 = MostInGroup(counts1, groups[1]);
    if (4 * largest1 < 3 * largest) {
      depth = 2;
      used += groups[1] + 1 + large + FilledGroups(counts1, groups[1]);
      large = LargePositions(counts1, groups[1]);
      const uint32_t bits2 = GroupBits(large / 4);
      if (large != 0 && LevelSize(bits2, large) <= kIndexWords - used) {
        MarkLarge(counts1, groups[1]);
        groups[2] = 1u << bits2;
        w->levels[2] = {used, 32 - bits2, 0xFFFFFFFF, 0, 0};
        std::memset(index + used, 0, groups[2] * sizeof index[0]);
        CountLevel(w, 2, first, limit);
        if (4 * MostInGroup(index + used, groups[2]) < 3 * largest1) depth = 3;
      }
    }
  }
  w->depth = depth;
  LayOutRuns(index, w->levels[0], groups[0], false, depth > 1);
  for (uint32_t d = 1; d < depth; ++d) {
    LayOutRuns(index, w->levels[d], groups[d], true, depth > d + 1);
  }
  w->indexed = first;
  w->indexLimit = limit;
  w->floor = first;
}

// Keeps the index across the window's move by a block, for a last block that
// brings no new positions: every entry moves down with the window, and those
// that fall out of it become 0, which ends a run like the entries after them.
void MoveIndex(ImplodeWork* w, uint32_t first) {
  uint16_t* const index = w->index;
  for (uint32_t d = 0; d < w->depth; ++d) {
    uint16_t* const end = index + w->levels[d].runsEnd;
    for (uint16_t* s = index + w->levels[d].runs; s < end; ++s) {
      const uint32_t v = *s < kBlock ? kBlock : *s;
      *s = static_cast<uint16_t>(v - kBlock);
    }
  }
  w->indexed -= kBlock;
  w->indexLimit -= kBlock;
  w->floor = first;
}

// Enters the positions below `to` into an index of several levels.
void IndexDeeperUpTo(ImplodeWork* w, uint32_t to) {
  const uint8_t* const window = w->window;
  uint16_t* const index = w->index;
  const uint32_t pairShift = w->levels[0].shift;
  for (uint32_t q = w->indexed; q < to; ++q) {
    uint32_t head = --index[PairGroup(window + q, pairShift)];
    for (uint32_t d = 1;; ++d) {
      index[head & kSlotMask] = static_cast<uint16_t>(q);
      if ((head & kLarge) == 0 || d == kLevels) break;
      head = --index[GroupOf(window + q, w->levels[d])];
    }
  }
  w->indexed = to;
}

// Enters the positions below `to` into the index, in ascending order.
inline void IndexUpTo(ImplodeWork* w, uint32_t to) {
  uint32_t q = w->indexed;
  if (q >= to) return;
  if (w->depth != 1) {
    IndexDeeperUpTo(w, to);
    return;
  }
  const uint8_t* const window = w->window;
  uint16_t* const index = w->index;
  const uint32_t pairShift = w->levels[0].shift;
  do index[--index[PairGroup(window + q, pairShift)]] = static_cast<uint16_t>(q);
  while (++q < to);
  w->indexed = to;
}

inline uint64_t Load64(const uint8_t* at) {
  uint64_t v;
  std::memcpy(&v, at, 8);
  if constexpr (std::endian::native == std::endian::big) {
    v = ((v & 0x00000000FFFFFFFFull) << 32) | (v >> 32);
    v = ((v & 0x0000FFFF0000FFFFull) << 16) | ((v >> 16) & 0x0000FFFF0000FFFFull);
    v = ((v & 0x00FF00FF00FF00FFull) << 8) | ((v >> 8) & 0x00FF00FF00FF00FFull);
  }
  return v;
}

// Number of equal leading bytes of a and b, at most limit. Reads up to 7
// bytes past the limit, but those never count.
inline uint32_t CommonLength(const uint8_t* a, const uint8_t* b, uint32_t limit) {
  uint32_t n = 0;
  while (n < limit) {
    const uint64_t x = Load64(a + n) ^ Load64(b + n);
    if (x != 0) {
      n += static_cast<uint32_t>(std::countr_zero(x)) >> 3;
      return n < limit ? n : limit;
    }
    n += 8;
  }
  return limit;
}

// Low `bytes` bytes of a word set (bytes 1 to 8).
inline uint64_t ByteMask(uint32_t bytes) { return ~0ull >> (64 - 8 * bytes); }

// The farthest position from lo on, before `nearest` (which qualifies), that
// shares all of `limit` bytes with p. Every position in that range is a
// candidate, so the window is scanned directly; in a run of one byte or a
// short period the first or second position qualifies.
uint32_t FarthestReaching(const uint8_t* window, uint32_t p, uint32_t limit, uint32_t lo,
                          uint32_t nearest) {
  const uint8_t* const pat = window + p;
  const uint64_t head = Load64(pat);
  const uint8_t last = pat[limit - 1];
  for (uint32_t x = lo; x < nearest; ++x) {
    if (Load64(window + x) == head && window[x + limit - 1] == last &&
        CommonLength(window + x + 8, pat + 8, limit - 8) == limit - 8) {
      return x;
    }
  }
  return nearest;
}

// Finds the longest repetition of the bytes at window offset p among the
// positions of a run from `near` on (nearest first) down to lo, at most
// `limit` bytes long, where all positions of the run are known to share
// `known` bytes with p and no longer repetition lies outside it. Among equal
// lengths the nearest wins, except that a full 516-byte repetition ends the
// search outright, so the farthest of those is taken. One cut short by the
// end of the data is no such win: its nearest stands. Returns 0 or a length
// above `known`, and sets w->distance.
//
// Walking from the nearest outwards, only a strictly longer repetition
// matters, so one masked word compare settles nearly every position.
uint32_t SearchRun(ImplodeWork* w, uint32_t p, uint32_t limit, uint32_t lo,
                   const uint16_t* k, uint32_t known) {
  const uint8_t* const window = w->window;
  const uint8_t* const pat = window + p;
  const uint64_t head = Load64(pat);
  uint32_t best = known;
  uint32_t found = 0;
  uint64_t mask = ByteMask(known + 1);  // other keys of the same group differ here
  for (uint32_t c = *k; c >= lo; c = *++k) {
    const uint64_t x = Load64(window + c) ^ head;
    if ((x & mask) != 0) continue;
    // The first best + 1 bytes are equal: a strictly longer repetition.
    if (x != 0) {
      best = static_cast<uint32_t>(std::countr_zero(x)) >> 3;
    } else {
      best = 8 + CommonLength(window + c + 8, pat + 8, limit < 8 ? 0 : limit - 8);
    }
    if (best > limit) best = limit;
    found = c;
    if (best == limit || best >= 8) break;
    mask = ByteMask(best + 1);
  }
  if (best == known) return 0;

  // From 8 bytes on: the first word and the word ending at byte `best` must
  // agree before the bytes between are compared.
  if (best >= 8) {
    while (best < limit) {
      const uint64_t tail = Load64(pat + best - 7);
      uint32_t c;
      uint32_t n = 0;
      for (c = *++k; c >= lo; c = *++k) {
        if ((Load64(window + c) ^ head) == 0 && Load64(window + c + best - 7) == tail) {
          n = 8 + CommonLength(window + c + 8, pat + 8, limit - 8);
          if (n > best) break;
        }
      }
      if (c < lo) break;
      best = n > limit ? limit : n;
      found = c;
    }
    // limit is 516 here. Passing the constant instead lets the compiler fold
    // this rare scan into the loops above, which then spill registers.
    if (best == kMaxMatch) found = FarthestReaching(window, p, limit, lo, found);
  }
  w->distance = p - found - 1;
  return best;
}

// The nearest position of a run, down to `bound`, that shares `bytes` (2 or
// 3) leading bytes with p: then it shares no more, as the deeper level showed.
uint32_t NearestSharing(ImplodeWork* w, uint32_t p, uint32_t bound, const uint16_t* k,
                        uint32_t bytes) {
  const uint8_t* const window = w->window;
  const uint32_t mask = 0xFFFFFFu >> (8 * (3 - bytes));
  const uint32_t key = platform::LoadLE32(window + p) & mask;
  for (uint32_t c = *k; c >= bound; c = *++k) {
    if ((platform::LoadLE32(window + c) & mask) == key) {
      w->distance = p - c - 1;
      return bytes;
    }
  }
  return 0;
}

// Search from a large pair group: candidates sharing more bytes are indexed
// apart, so the deepest level the position reaches holds every longer
// repetition, and the nearest sharing fewer bytes is found one level up.
uint32_t SearchLargeGroup(ImplodeWork* w, uint32_t p, uint32_t limit, uint32_t lo,
                          const uint16_t* pairs) {
  const uint8_t* const pat = w->window + p;
  uint16_t* const index = w->index;
  const IndexLevel& level1 = w->levels[1];
  const uint32_t group1 = GroupOf(pat, level1);
  const uint32_t tripleHead = index[group1];
  const uint16_t* const triples = index + (tripleHead & kSlotMask);
  uint32_t len = 0;
  if ((tripleHead & kLarge) == 0 || limit < 4) {
    if (*triples >= lo) {
      len = SearchRun(w, p, limit, lo, triples, 2);
    }
  } else {
    const IndexLevel& level2 = w->levels[2];
    const uint32_t group2 = GroupOf(pat, level2);
    const uint16_t* const quads = index + (index[group2] & kSlotMask);
    if (*quads >= lo) {
      len = SearchRun(w, p, limit, lo, quads, 3);
    }
    if (len == 0) len = NearestSharing(w, p, lo, triples, 3);
  }
  if (len == 0) len = NearestSharing(w, p, lo > p - 256 ? lo : p - 256, pairs, 2);
  return len;
}

// Finds the longest earlier repetition of the bytes at window offset p, at
// most `limit` bytes long (limit < 516 stops the compares at the end of the
// data in the last block), as SearchRun describes; a 2-byte repetition more
// than 256 bytes back, which is never sent, may come back as 0. Sets
// w->distance.
[[gnu::always_inline]] inline uint32_t FindMatch(ImplodeWork* w, uint32_t p, uint32_t limit) {
  if (limit < 2) return 0;
  IndexUpTo(w, p - 1);
  const uint8_t* const pat = w->window + p;
  uint16_t* const index = w->index;
  uint32_t lo = p + 1 - w->dictSize;
  if (lo < w->floor) lo = w->floor;
  const uint32_t pairHead = index[PairGroup(pat, w->levels[0].shift)];
  const uint16_t* const pairs = index + (pairHead & kSlotMask);
  if ((pairHead & kLarge) == 0 || limit < 3) {
    // Most positions of incompressible data have no candidate at all.
    if (*pairs < lo) return 0;
    return SearchRun(w, p, limit, lo, pairs, 1);
  }
  return SearchLargeGroup(w, p, limit, lo, pairs);
}

// Fills the block area from the read callback until 4096 bytes are in or the
// input ends. Returns the byte count; *ended tells whether the input ended.
uint32_t ReadBlock(ImplodeWork* w, uint8_t* dst, bool* ended) {
  uint32_t n = 0;
  *ended = false;
  while (n < kBlock) {
    uint32_t wanted = kBlock - n;
    uint32_t got = w->read(dst + n, &wanted, w->param);
    if (got == 0) {
      *ended = true;
      break;
    }
    if (got > kBlock - n) got = kBlock - n;
    n += got;
  }
  return n;
}

// Codes the positions from p up to end, each a literal or a repetition,
// with one step of look-ahead. Returns where coding stopped (at or past end).
[[gnu::always_inline]] inline uint32_t CodeBlock(ImplodeWork* w, BitWriter& out, uint32_t p, uint32_t end,
                                                 bool last) {
  const uint8_t* const window = w->window;
  while (p < end) {
    // In the last block nothing past the data may take part in a match, so
    // no repetition ever runs past its end either.
    const uint32_t room = end - p;
    const uint32_t limit = last && room < kMaxMatch ? room : kMaxMatch;
    uint32_t len = FindMatch(w, p, limit);
    for (;;) {
      if (len == 0 || (len == 2 && w->distance >= 256)) {
        SendLiteral(w, out, window[p]);
        p += 1;
        break;
      }
      if (len >= 8 || p + 1 >= end) {
        SendRepetition(w, out, len, w->distance);
        p += len;
        break;
      }
      // One step of look-ahead: a literal now may buy a longer repetition.
      const uint32_t keptDistance = w->distance;
      const uint32_t nextRoom = end - (p + 1);
      const uint32_t nextLimit = last && nextRoom < kMaxMatch ? nextRoom : kMaxMatch;
      const uint32_t next = FindMatch(w, p + 1, nextLimit);
      if (len >= next || (next == len + 1 && keptDistance <= 128)) {
        w->distance = keptDistance;
        SendRepetition(w, out, len, keptDistance);
        p += len;
        break;
      }
      // next > len >= 2 here, so the new position always has its repetition.
      SendLiteral(w, out, window[p]);
      p += 1;
      len = next;
    }
  }
  return p;
}

// Codes the whole input, then the end marker, and sends the last piece.
void CompressBlocks(ImplodeWork* w) {
  BitWriter out{0, 0, 2};  // after the two header bytes
  const uint32_t dict = w->dictSize;
  uint8_t* const window = w->window;
  uint32_t p = kLookAhead + dict;
  uint32_t phase = 0;
  bool last = false;
  bool indexed = false;
  for (;;) {
    const uint32_t n = ReadBlock(w, window + dict + kLookAhead, &last);
    if (last && n == 0 && phase == 0) break;
    uint32_t end = dict + n;
    if (last) end += kLookAhead;

    uint32_t first;
    if (phase == 0) {
      first = p;
      phase = dict == kBlock ? 1 : 2;
    } else if (phase == 1) {
      first = p - dict + kLookAhead;
      phase = 2;
    } else {
      first = p - dict;
    }
    // The pair at a position reads the next byte, a deeper key up to 3 more:
    // the positions whose keys lie inside the data are indexed. The last
    // search position with 2 bytes left never sees the final three.
    const uint32_t dataEnd = dict + kLookAhead + n;
    if (indexed && n == 0 && w->indexLimit == dataEnd + kBlock - 3 && w->indexed >= kBlock) {
      MoveIndex(w, first);
    } else {
      StartIndex(w, first, dataEnd - 3);
    }
    indexed = true;

    p = CodeBlock(w, out, p, end, last);
    if (last) break;
    std::memmove(window, window + kBlock, dict + kLookAhead);
    p -= kBlock;
  }
  uint32_t endBits;
  const uint32_t endCode = LengthCode(DCL_END_MARKER, &endBits);
  PutBits(w, out, endBits, endCode);
  uint32_t size = out.bytes + (out.bits != 0 ? 1 : 0);
  w->write(w->out, &size, w->param);
}

}  // namespace

uint32_t Implode(DclReadFn read, DclWriteFn write, void* work, void* param, uint32_t* type,
                 uint32_t* dictSize) {
  if (dictSize == nullptr) return DCL_ERR_DICT_SIZE;
  uint32_t bits;
  switch (*dictSize) {
    case 1024: bits = 4; break;
    case 2048: bits = 5; break;
    case 4096: bits = 6; break;
    default: return DCL_ERR_DICT_SIZE;
  }
  if (type == nullptr || (*type != DCL_BINARY && *type != DCL_ASCII)) return DCL_ERR_TYPE;
  if (read == nullptr || write == nullptr || work == nullptr) return DCL_ERR_DATA;

  auto* w = static_cast<ImplodeWork*>(work);
  w->read = read;
  w->write = write;
  w->param = param;
  w->dictSize = *dictSize;
  w->type = *type;
  w->dictBits = bits;
  w->distance = 0;

  w->out[0] = static_cast<uint8_t>(w->type);
  w->out[1] = static_cast<uint8_t>(w->dictBits);
  CompressBlocks(w);
  return DCL_OK;
}
