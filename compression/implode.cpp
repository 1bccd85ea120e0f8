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
};

struct ImplodeHead {
  uint64_t bitAcc;  // bits of the byte out[outBytes] sent so far, the first lowest
  uint32_t bitCount;  // how many: 0 to 7
  uint32_t distance;  // back distance minus 1 of the match FindMatch last reported
  uint32_t outBytes;
  uint32_t dictBits;
  uint32_t type;
  uint32_t dictSize;
  IndexLevel levels[kLevels];  // the index by 2, 3 and 4 leading bytes
  uint32_t depth;  // levels in use in the current block
  uint32_t indexed;  // window offsets below this one are in the index
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
    (IMPLODE_WORK_SIZE - sizeof(ImplodeHead) - 2 * kMaxMatch - kOutSize - kWindowBytes) / 2 - 4;

struct ImplodeWork : ImplodeHead {
  int16_t border[kMaxMatch];  // border table of a long match's prefix
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
// Enough room for every position of a full window and a few groups.
static_assert(kIndexWords >= kWindowSize + 2 * 256, "no room for a full window's index");

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

// Sends a whole piece of output and keeps the bytes stored past it.
void FlushPiece(ImplodeWork* w) {
  uint32_t size = kOutPiece;
  w->write(w->out, &size, w->param);
  w->outBytes -= kOutPiece;
  std::memcpy(w->out, w->out + kOutPiece, 8);
}

// Appends the low n (at most 30) bits of v, least significant first; v has no
// bits above n. Every call stores a whole word at the current byte, so the
// byte being filled is always in `out` too, and a piece of 2048 bytes leaves
// as soon as its last byte is complete.
inline void PutBits(ImplodeWork* w, uint32_t n, uint32_t v) {
  const uint64_t acc = w->bitAcc | (uint64_t{v} << w->bitCount);
  const uint32_t count = w->bitCount + n;
  Store64(w->out + w->outBytes, acc);
  const uint32_t bytes = count >> 3;
  w->outBytes += bytes;
  w->bitAcc = acc >> (8 * bytes);
  w->bitCount = count & 7;
  if (w->outBytes >= kOutPiece) FlushPiece(w);
}

// Each code begins with its token's flag bit: 0 for a literal, 1 for a
// repetition.
inline void SendLiteral(ImplodeWork* w, uint8_t b) {
  if (w->type == DCL_BINARY) {
    PutBits(w, 9, uint32_t{b} << 1);
  } else {
    PutBits(w, AsciiCodeLengths[b] + 1u, uint32_t{AsciiCodeValues[b]} << 1);
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
void SendRepetition(ImplodeWork* w, uint32_t length, uint32_t distance) {
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
  PutBits(w, lengthBits + distBits + lowBits,
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

// Lays out the index for the positions from first to limit - 1, all still
// unindexed, sized by counting passes: the pair level for all of them, and
// each deeper level for the positions in large groups of the level above, as
// far as the index area holds them (fewer pair groups make room if needed).
void StartIndex(ImplodeWork* w, uint32_t first, uint32_t limit) {
  uint16_t* const index = w->index;
  const uint8_t* const window = w->window;
  const uint32_t count = limit - first;
  uint32_t bits = GroupBits(2 * count);
  while ((2u << bits) + count > kIndexWords) bits -= 1;
  uint32_t groups[kLevels] = {1u << bits, 0, 0};
  std::memset(index, 0, groups[0] * sizeof index[0]);
  w->levels[0] = {0, 32 - bits, 0xFFFF};
  // Counts reach kHeavyGroup (a power of two) only if their union does.
  uint32_t any = 0;
  for (uint32_t q = first; q < limit; ++q) any |= ++index[PairGroup(window + q, 32 - bits)];

  uint32_t used = 2 * groups[0] + count;
  uint32_t large = any >= kHeavyGroup ? LargePositions(index, groups[0]) : 0;
  uint32_t depth = 1;
  while (large != 0) {
    groups[1] = 1u << GroupBits(large);
    if (used + 2 * groups[1] + large <= kIndexWords) {
      depth = 2;
      break;
    }
    if (bits <= 10) break;
    // Merging pair groups pairwise halves them without counting again.
    bits -= 1;
    groups[0] /= 2;
    for (uint32_t h = 0; h < groups[0]; ++h) {
      index[h] = static_cast<uint16_t>(index[2 * h] + index[2 * h + 1]);
    }
    w->levels[0].shift += 1;
    used = 2 * groups[0] + count;
    large = LargePositions(index, groups[0]);
  }
  if (depth == 2) {
    MarkLarge(index, groups[0]);
    w->levels[1] = {used, 32 - GroupBits(large), 0xFFFFFF};
    std::memset(index + used, 0, groups[1] * sizeof index[0]);
    CountLevel(w, 1, first, limit);
    used += 2 * groups[1] + large;
    large = LargePositions(index + w->levels[1].heads, groups[1]);
    groups[2] = 1u << GroupBits(large);
    if (large != 0 && used + 2 * groups[2] + large <= kIndexWords) {
      depth = 3;
      MarkLarge(index + w->levels[1].heads, groups[1]);
      w->levels[2] = {used, 32 - GroupBits(large), 0xFFFFFFFF};
      std::memset(index + used, 0, groups[2] * sizeof index[0]);
      CountLevel(w, 2, first, limit);
      used += 2 * groups[2] + large;
    }
  }
  w->depth = depth;

  // Heads: the counts become the ends of the runs that follow each level's
  // heads; the slot after each run stays 0.
  for (uint32_t d = 0; d < depth; ++d) {
    uint16_t* const heads = index + w->levels[d].heads;
    uint32_t start = w->levels[d].heads + groups[d];
    const uint32_t runsStart = start;
    if (d + 1 == depth) {
      for (uint32_t h = 0; h < groups[d]; ++h) {
        start += heads[h];
        heads[h] = static_cast<uint16_t>(start);
        start += 1;
      }
    } else {
      for (uint32_t h = 0; h < groups[d]; ++h) {
        start += heads[h] & kSlotMask;
        heads[h] = static_cast<uint16_t>(start | (heads[h] & kLarge));
        start += 1;
      }
    }
    std::memset(index + runsStart, 0, (start - runsStart) * sizeof index[0]);
  }
  w->indexed = first;
}

// Enters the positions below `to` into a index of several levels.
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

void ExtendBorder(ImplodeWork* w, const uint8_t* pattern, uint32_t from, uint32_t to) {
  int16_t* border = w->border;
  for (uint32_t k = from; k < to; ++k) {
    int32_t m = border[k];
    while (m != -1 && pattern[k] != pattern[m]) m = border[m];
    border[k + 1] = static_cast<int16_t>(m + 1);
  }
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

// The procedure that fixes which repetition is reported once some candidate
// is known to share more than 10 bytes: candidates in ascending order, the
// first sharing more than 10 bytes sets the length, and a border table of the
// matched prefix lets the scan skip candidates that cannot reach it. The
// group's candidates are `near`[0] (the nearest) onwards, up to the first
// entry below lo; `from` points at or before that entry.
uint32_t LongSearch(ImplodeWork* w, uint32_t p, uint32_t limit, uint32_t lo,
                    const uint16_t* near, const uint16_t* from) {
  const uint8_t* const window = w->window;
  const uint8_t* const pat = window + p;
  const uint16_t* k = from;
  while (*k >= lo) ++k;
  const uint64_t head = Load64(pat);
  const uint64_t next = Load64(pat + 8);
  uint32_t c;
  do c = *--k;
  while (((Load64(window + c) ^ head) | ((Load64(window + c + 8) ^ next) & ByteMask(3))) != 0);
  uint32_t best = 11 + CommonLength(window + c + 11, pat + 11, limit - 11);
  w->distance = p - c - 1;
  if (best == limit || k == near) return best;

  int16_t* border = w->border;
  border[0] = -1;
  border[1] = 0;
  ExtendBorder(w, pat, 1, best);
  uint32_t scan = c + best;
  uint32_t m = best;
  for (;;) {
    m = border[m] < 0 ? 0 : static_cast<uint32_t>(border[m]);
    do {
      if (k == near) return best;
      c = *--k;
    } while (c + m < scan);
    if (window[c + best - 2] == pat[best - 2]) {
      if (c + m != scan) {
        m = 0;
        scan = c;
      }
    } else {
      do {
        if (k == near) return best;
        c = *--k;
      } while (window[c + best - 2] != pat[best - 2] || window[c] != pat[0] ||
               window[c + 1] != pat[1]);
      m = 2;
      scan = c + 2;
    }
    const uint32_t more = CommonLength(pat + m, window + scan, limit - m);
    m += more;
    scan += more;
    if (m >= best) {
      w->distance = p - c - 1;
      if (m > best) {
        const uint32_t old = best;
        best = m;
        if (best == limit) return best;
        ExtendBorder(w, pat, old, best);
      }
    }
  }
}

// Finds the longest earlier repetition of the bytes at window offset p, at
// most `limit` bytes long (limit < 516 stops the compares at the end of the
// data in the last block). Among equal lengths the nearest candidate wins,
// except that the farthest candidate to reach a limit above 10 is taken.
// Returns 0 or a length of at least 2, and sets w->distance.
//
// Most searches end with 10 bytes or fewer, so the candidates are first
// walked from the nearest outwards: then only a strictly longer repetition
// matters, and one masked word compare settles nearly every candidate. Only
// when some candidate shares more than 10 bytes does the ascending procedure
// run to pick among the long ones.
uint32_t SearchRun(ImplodeWork* w, uint32_t p, uint32_t limit, uint32_t lo,
                   const uint16_t* const near, uint32_t known) {
  const uint8_t* const window = w->window;
  const uint8_t* const pat = window + p;
  const uint16_t* k = near;
  const uint64_t head = Load64(pat);
  uint32_t best = known;
  uint64_t mask = ByteMask(known + 1);  // other keys of the same group differ here
  for (uint32_t c = *k; c >= lo; c = *++k) {
    const uint64_t x = Load64(window + c) ^ head;
    if ((x & mask) != 0) continue;
    // The first best + 1 bytes are equal: a strictly longer repetition.
    uint32_t n;
    if (x != 0) {
      n = static_cast<uint32_t>(std::countr_zero(x)) >> 3;
    } else {
      n = 8 + CommonLength(window + c + 8, pat + 8, limit < 8 ? 0 : limit - 8);
    }
    if (n > limit) n = limit;
    best = n;
    w->distance = p - c - 1;
    if (n > 10) return LongSearch(w, p, limit, lo, near, k);
    if (n == limit) return n;
    if (n >= 8) break;
    mask = ByteMask(best + 1);
  }
  if (best < 8) return best > known ? best : 0;

  // Lengths 8 to 10: the next word's low bytes must agree too.
  const uint64_t next = Load64(pat + 8);
  for (uint32_t c = *++k; c >= lo; c = *++k) {
    if (((Load64(window + c) ^ head) | ((Load64(window + c + 8) ^ next) & ByteMask(best - 7))) !=
        0) {
      continue;
    }
    uint32_t n = 8 + CommonLength(window + c + 8, pat + 8, limit - 8);
    if (n > limit) n = limit;
    best = n;
    w->distance = p - c - 1;
    if (n > 10) return LongSearch(w, p, limit, lo, near, k);
    if (n == limit) return n;
  }
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
  const uint16_t* const index = w->index;
  const uint32_t tripleHead = index[GroupOf(pat, w->levels[1])];
  const uint16_t* const triples = index + (tripleHead & kSlotMask);
  uint32_t len = 0;
  if ((tripleHead & kLarge) == 0 || limit < 4) {
    if (*triples >= lo) len = SearchRun(w, p, limit, lo, triples, 2);
  } else {
    const uint16_t* const quads = index + (index[GroupOf(pat, w->levels[2])] & kSlotMask);
    if (*quads >= lo) len = SearchRun(w, p, limit, lo, quads, 3);
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
inline uint32_t FindMatch(ImplodeWork* w, uint32_t p, uint32_t limit) {
  if (limit < 2) return 0;
  IndexUpTo(w, p - 1);
  const uint8_t* const pat = w->window + p;
  uint16_t* const index = w->index;
  const uint32_t lo = p + 1 - w->dictSize;
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

void CompressBlocks(ImplodeWork* w) {
  const uint32_t dict = w->dictSize;
  uint8_t* const window = w->window;
  uint32_t p = kLookAhead + dict;
  uint32_t phase = 0;
  bool last = false;
  for (;;) {
    const uint32_t n = ReadBlock(w, window + dict + kLookAhead, &last);
    if (last && n == 0 && phase == 0) return;
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
    StartIndex(w, first, end);

    while (p < end) {
      // In the last block nothing past the data may take part in a match, so
      // no repetition ever runs past its end either.
      const uint32_t room = end - p;
      const uint32_t limit = last && room < kMaxMatch ? room : kMaxMatch;
      uint32_t len = FindMatch(w, p, limit);
      for (;;) {
        if (len == 0 || (len == 2 && w->distance >= 256)) {
          SendLiteral(w, window[p]);
          p += 1;
          break;
        }
        if (len >= 8 || p + 1 >= end) {
          SendRepetition(w, len, w->distance);
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
          SendRepetition(w, len, keptDistance);
          p += len;
          break;
        }
        // next > len >= 2 here, so the new position always has its repetition.
        SendLiteral(w, window[p]);
        p += 1;
        len = next;
      }
    }
    if (last) return;
    std::memmove(window, window + kBlock, dict + kLookAhead);
    p -= kBlock;
  }
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
  w->outBytes = 2;
  w->bitCount = 0;
  w->bitAcc = 0;

  CompressBlocks(w);

  uint32_t endBits;
  const uint32_t endCode = LengthCode(DCL_END_MARKER, &endBits);
  PutBits(w, endBits, endCode);
  if (w->bitCount != 0) w->outBytes += 1;
  uint32_t size = w->outBytes;
  w->write(w->out, &size, w->param);
  return DCL_OK;
}
