// Encoder of the DCL implode stream. Its output must match other writers of
// the format bit for bit, so the match finder's choices (which candidate, how
// long, when to defer by one literal) follow one fixed procedure.
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
  uint32_t outBits;
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
  // The pair of the last indexed position reads one byte past the data; the
  // spare bytes keep that read inside the window when the window is full.
  uint8_t window[kWindowSize + 4];
  uint16_t pairPositions[kWindowSize];
};

static_assert(sizeof(ImplodeWork) <= IMPLODE_WORK_SIZE, "work area too small");
static_assert(alignof(ImplodeWork) <= alignof(std::max_align_t));

inline uint32_t PairHash(const uint8_t* at) { return 4u * at[0] + 5u * at[1]; }

void FlushOutput(ImplodeWork* w) {
  uint32_t size = kOutPiece;
  w->write(w->out, &size, w->param);
  const uint8_t partial = w->out[kOutPiece];
  std::memset(w->out, 0, sizeof w->out);
  if (w->outBits != 0) w->out[0] = partial;
  w->outBytes = 0;
}

// Appends the low n (at most 16) bits of v, least significant first.
void PutBits(ImplodeWork* w, uint32_t n, uint32_t v) {
  if (n > 8) {
    PutBits(w, 8, v & 0xFF);
    v >>= 8;
    n -= 8;
  }
  v &= (1u << n) - 1;
  const uint32_t old = w->outBits;
  w->out[w->outBytes] |= static_cast<uint8_t>(v << old);
  const uint32_t t = old + n;
  if (t <= 8) {
    w->outBits = t & 7;
    if (w->outBits == 0) w->outBytes += 1;
  } else {
    w->outBytes += 1;
    w->out[w->outBytes] = static_cast<uint8_t>(v >> (8 - old));
    w->outBits = t & 7;
  }
  if (w->outBytes >= kOutPiece) FlushOutput(w);
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

// Finds the longest earlier repetition of the bytes at window offset p, at
// most `limit` bytes long (limit <= 516 stops the compares at the end of the
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

  uint32_t best = 1;
  uint32_t c = 0;
  for (;; ++i) {
    c = positions[i];
    if (c >= before) return best >= 2 ? best : 0;
    const uint8_t* cand = window + c;
    if (cand[best - 1] != pat[best - 1] || cand[0] != pat[0]) continue;
    uint32_t n = 2;
    while (n < limit && cand[n] == pat[n]) ++n;
    if (n >= best) {
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
    while (m < limit && pat[m] == window[scan]) {
      ++m;
      ++scan;
    }
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

  std::memset(w->out, 0, sizeof w->out);
  w->out[0] = static_cast<uint8_t>(w->type);
  w->out[1] = static_cast<uint8_t>(w->dictBits);
  w->outBytes = 2;
  w->outBits = 0;

  CompressBlocks(w);

  PutBits(w, w->codeLengths[kEndSymbol], w->codeValues[kEndSymbol]);
  if (w->outBits != 0) w->outBytes += 1;
  uint32_t size = w->outBytes;
  w->write(w->out, &size, w->param);
  return DCL_OK;
}
