// Encoder of the DCL implode stream. Its output must match other writers of
// the format bit for bit, so the match finder's choices (which candidate, how
// long, when to defer by one literal) follow one fixed procedure.
#include <bit>
#include <cstddef>
#include <cstring>

#include "compression/dcl.h"
#include "compression/dcl_tables.h"

namespace {

constexpr uint32_t kBlock = 4096;
constexpr uint32_t kMaxMatch = 516;  // the longest repetition the finder reports
constexpr uint32_t kLookAhead = 516;  // bytes read but held back at a block's end
constexpr uint32_t kWindowSize = kBlock + kBlock + kLookAhead;  // 0x2204 at most in use
constexpr uint32_t kOutPiece = 2048;
constexpr uint32_t kSymbols = 0x306;  // 256 literals, 517 length values, end marker
constexpr uint32_t kEndSymbol = 0x100 + DCL_END_MARKER;
constexpr uint32_t kPairBuckets = 2304;

struct ImplodeWork {
  uint32_t distance;  // back distance minus 1 of the match FindMatch last reported
  uint32_t outBytes;
  uint32_t outBits;  // bits waiting in bitAcc for the byte out[outBytes] (0 to 7)
  uint32_t bitAcc;
  uint32_t dictBits;
  uint32_t dictMask;
  uint32_t type;
  uint32_t dictSize;
  uint8_t codeLengths[kSymbols];
  uint16_t codeValues[kSymbols];
  void* param;
  DclReadFn read;
  DclWriteFn write;
  int16_t border[kMaxMatch];
  uint16_t pairIndex[kPairBuckets];
  uint8_t out[kOutPiece + 2];
  // The pair of the last indexed position reads one byte past the data, and
  // the word compares up to 7 bytes past a match's limit; the spare bytes keep
  // those reads inside the window when the window is full.
  uint8_t window[kWindowSize + 8];
  uint16_t pairPositions[kWindowSize];
};

static_assert(sizeof(ImplodeWork) <= IMPLODE_WORK_SIZE, "work area too small");
static_assert(alignof(ImplodeWork) <= alignof(std::max_align_t));

inline uint32_t PairHash(const uint8_t* at) { return 4u * at[0] + 5u * at[1]; }

// Appends the low n (at most 16) bits of v, least significant first; v has no
// bits above n. Full bytes go to `out`, which leaves in pieces of 2048 bytes.
inline void PutBits(ImplodeWork* w, uint32_t n, uint32_t v) {
  uint32_t acc = w->bitAcc | (v << w->outBits);
  uint32_t bits = w->outBits + n;
  uint32_t bytes = w->outBytes;
  while (bits >= 8) {
    w->out[bytes++] = static_cast<uint8_t>(acc);
    acc >>= 8;
    bits -= 8;
    if (bytes == kOutPiece) {
      uint32_t size = kOutPiece;
      w->write(w->out, &size, w->param);
      bytes = 0;
    }
  }
  w->bitAcc = acc;
  w->outBits = bits;
  w->outBytes = bytes;
}

void SendLiteral(ImplodeWork* w, uint8_t b) { PutBits(w, w->codeLengths[b], w->codeValues[b]); }

void SendRepetition(ImplodeWork* w, uint32_t length, uint32_t distance) {
  const uint32_t symbol = 254 + length;
  PutBits(w, w->codeLengths[symbol], w->codeValues[symbol]);
  uint32_t h;
  uint32_t lowBits;
  uint32_t low;
  if (length == 2) {
    h = distance >> 2;
    lowBits = 2;
    low = distance & 3;
  } else {
    h = distance >> w->dictBits;
    lowBits = w->dictBits;
    low = distance & w->dictMask;
  }
  PutBits(w, DistCodeLengths[h], DistCodeValues[h]);
  PutBits(w, lowBits, low);
}

// Sorts every position in [first, limit) by the hash of its byte pair, so that
// a search visits only earlier positions that start with the same two bytes.
void BuildPairIndex(ImplodeWork* w, uint32_t first, uint32_t limit) {
  std::memset(w->pairIndex, 0, sizeof w->pairIndex);
  const uint8_t* window = w->window;
  for (uint32_t q = first; q < limit; ++q) w->pairIndex[PairHash(window + q)] += 1;
  uint16_t sum = 0;
  for (uint16_t& entry : w->pairIndex) {
    sum = static_cast<uint16_t>(sum + entry);
    entry = sum;
  }
  for (uint32_t q = limit; q-- > first;) {
    w->pairPositions[--w->pairIndex[PairHash(window + q)]] = static_cast<uint16_t>(q);
  }
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

// Finds the longest earlier repetition of the bytes at window offset p, at
// most `limit` bytes long (limit < 516 stops the compares at the end of the
// data in the last block). Among equal lengths the nearest candidate wins,
// except that the first candidate to reach the limit is taken at once.
// Returns 0 or a length of at least 2, and sets w->distance.
uint32_t FindMatch(ImplodeWork* w, uint32_t p, uint32_t limit) {
  if (limit < 2) return 0;
  const uint8_t* const window = w->window;
  const uint8_t* const pat = window + p;
  const uint16_t* const positions = w->pairPositions;
  const uint32_t h = PairHash(pat);
  uint32_t i = w->pairIndex[h];
  // p itself is indexed under h, so neither loop below leaves h's group.
  const uint32_t lo = p + 1 - w->dictSize;
  if (positions[i] < lo) {
    do ++i;
    while (positions[i] < lo);
    w->pairIndex[h] = static_cast<uint16_t>(i);
  }
  const uint32_t before = p - 1;
  if (positions[i] >= before) return 0;

  // Candidates in ascending order, so the farthest comes first. The first 8
  // bytes are compared in one step, which settles most candidates; a hash
  // collision shows as fewer than 2 equal bytes.
  const uint64_t head = Load64(pat);
  uint32_t best = 2;
  uint32_t found = 0;
  uint32_t c = 0;
  for (;; ++i) {
    c = positions[i];
    if (c >= before) return found;
    const uint64_t x = Load64(window + c) ^ head;
    uint32_t n;
    if (x != 0) {
      n = static_cast<uint32_t>(std::countr_zero(x)) >> 3;
      if (n > limit) n = limit;
    } else {
      n = 8 + CommonLength(window + c + 8, pat + 8, limit < 8 ? 0 : limit - 8);
      if (n > limit) n = limit;
    }
    if (n >= best) {
      found = n;
      best = n;
      w->distance = p - c - 1;
      if (n > 10) {
        if (n == limit) return n;
        break;
      }
    }
  }

  // Long search: the border table of the matched prefix lets the scan skip
  // candidates that cannot reach the current best.
  if (positions[i + 1] >= before) return best;
  int16_t* border = w->border;
  border[0] = -1;
  border[1] = 0;
  ExtendBorder(w, pat, 1, best);
  uint32_t scan = c + best;
  uint32_t m = best;
  for (;;) {
    m = border[m] < 0 ? 0 : static_cast<uint32_t>(border[m]);
    do {
      c = positions[++i];
      if (c >= before) return best;
    } while (c + m < scan);
    if (window[c + best - 2] == pat[best - 2]) {
      if (c + m != scan) {
        m = 0;
        scan = c;
      }
    } else {
      do {
        c = positions[++i];
        if (c >= before) return best;
      } while (window[c + best - 2] != pat[best - 2] || window[c] != pat[0]);
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

void BuildCodes(ImplodeWork* w) {
  if (w->type == DCL_BINARY) {
    for (uint32_t b = 0; b < 256; ++b) {
      w->codeLengths[b] = 9;
      w->codeValues[b] = static_cast<uint16_t>(b << 1);
    }
  } else {
    for (uint32_t b = 0; b < 256; ++b) {
      w->codeLengths[b] = static_cast<uint8_t>(AsciiCodeLengths[b] + 1);
      w->codeValues[b] = static_cast<uint16_t>(AsciiCodeValues[b] << 1);
    }
  }
  uint32_t j = 256;
  for (uint32_t i = 0; i < DCL_LEN_CODES; ++i) {
    const uint32_t extra = LenExtraBits[i];
    for (uint32_t e = 0; e < (1u << extra); ++e, ++j) {
      w->codeLengths[j] = static_cast<uint8_t>(1 + LenCodeLengths[i] + extra);
      w->codeValues[j] =
          static_cast<uint16_t>(1 | (LenCodeValues[i] << 1) | (e << (LenCodeLengths[i] + 1)));
    }
  }
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
    BuildPairIndex(w, first, end + 1);

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
  w->dictMask = 0xFFFFu >> (16 - bits);
  w->distance = 0;
  BuildCodes(w);

  w->out[0] = static_cast<uint8_t>(w->type);
  w->out[1] = static_cast<uint8_t>(w->dictBits);
  w->outBytes = 2;
  w->outBits = 0;
  w->bitAcc = 0;

  CompressBlocks(w);

  PutBits(w, w->codeLengths[kEndSymbol], w->codeValues[kEndSymbol]);
  if (w->outBits != 0) w->out[w->outBytes++] = static_cast<uint8_t>(w->bitAcc);
  uint32_t size = w->outBytes;
  w->write(w->out, &size, w->param);
  return DCL_OK;
}
