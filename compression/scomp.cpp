// The sector compression dispatch. Compression runs the methods named by a
// mask in a fixed order (audio, Huffman, implode) and keeps each one only when
// it pays; decompression undoes the kept ones in the opposite order. Data
// moves between the caller's buffer and at most one temporary buffer, chosen
// so that no step ever reads and writes overlapping memory.
#include "compression/scomp.h"

#include <cstdlib>
#include <cstring>
#include <iterator>

#include "compression/adpcm.h"
#include "compression/dcl.h"
#include "compression/huffman.h"
#include "platform/platform.h"

namespace {

// Internal steps report only whether they could get their memory; their
// output length carries everything else.
using CompressStepFn = bool (*)(uint8_t*, uint32_t*, const uint8_t*, uint32_t, uint32_t*,
                                uint32_t);
using DecompressStepFn = bool (*)(uint8_t*, uint32_t*, const uint8_t*, uint32_t);

struct CompressMethod {
  uint32_t bit;
  CompressStepFn step;
};
struct DecompressMethod {
  uint32_t bit;
  DecompressStepFn step;
};

// Work areas and temporary buffers come zero-filled from the heap and go back
// before the call that took them returns.
void* AllocateZeroed(size_t size) { return std::calloc(size == 0 ? 1 : size, 1); }
void ReleaseMemory(void* block) { std::free(block); }

bool Overlaps(const uint8_t* a, uint32_t aLength, const uint8_t* b, uint32_t bLength) {
  if (aLength == 0 || bLength == 0) return false;
  // Compare as integers: the buffers may belong to different allocations.
  const auto pa = reinterpret_cast<uintptr_t>(a);
  const auto pb = reinterpret_cast<uintptr_t>(b);
  return pa < pb + bLength && pb < pa + aLength;
}

// Audio quality levels map to the coder's shift and to the Huffman stream
// type tuned for its output.
void AudioParameters(uint32_t level, uint32_t* shift, uint32_t* huffmanType) {
  if (level == 1 || level == 2) {
    *shift = 4;
    *huffmanType = 6;
  } else if (level == 3) {
    *shift = 6;
    *huffmanType = 8;
  } else {
    *shift = 5;
    *huffmanType = 7;
  }
}

bool AdpcmCompressStep(uint8_t* out, uint32_t* outLength, const uint8_t* in, uint32_t inLength,
                       uint32_t* methodType, uint32_t level, uint32_t channels) {
  uint32_t shift = 0;
  AudioParameters(level, &shift, methodType);
  *outLength = AdpcmEncode(out, *outLength, in, inLength, channels, shift);
  return true;
}

bool AdpcmMonoStep(uint8_t* out, uint32_t* outLength, const uint8_t* in, uint32_t inLength,
                   uint32_t* methodType, uint32_t level) {
  return AdpcmCompressStep(out, outLength, in, inLength, methodType, level, 1);
}

bool AdpcmStereoStep(uint8_t* out, uint32_t* outLength, const uint8_t* in, uint32_t inLength,
                     uint32_t* methodType, uint32_t level) {
  return AdpcmCompressStep(out, outLength, in, inLength, methodType, level, 2);
}

bool HuffmanStep(uint8_t* out, uint32_t* outLength, const uint8_t* in, uint32_t inLength,
                 uint32_t* methodType, uint32_t /*level*/) {
  HuffmanCompress(out, outLength, in, inLength, *methodType & 0xFF);
  return true;
}

bool ImplodeStep(uint8_t* out, uint32_t* outLength, const uint8_t* in, uint32_t inLength,
                 uint32_t* methodType, uint32_t /*level*/) {
  void* work = AllocateZeroed(IMPLODE_WORK_SIZE);
  if (!work) {
    *outLength = 0;
    return false;
  }
  // Short inputs gain nothing from a large dictionary and pay for its longer
  // distance codes.
  uint32_t dictSize = inLength < 1536 ? 1024 : (inLength < 3072 ? 2048 : 4096);
  uint32_t type = *methodType == 2 ? DCL_ASCII : DCL_BINARY;
  DclBufferPair pair{out, 0, *outLength, in, 0, inLength};
  // An output that does not fit shows up as a produced length equal to the
  // room, which the dispatch does not keep; the result code adds nothing.
  Implode(DclReadFromBuffer, DclWriteToBuffer, work, &pair, &type, &dictSize);
  *outLength = pair.outUsed;
  *methodType = 0;
  ReleaseMemory(work);
  return true;
}

bool AdpcmMonoUndo(uint8_t* out, uint32_t* outLength, const uint8_t* in, uint32_t inLength) {
  *outLength = AdpcmDecode(out, *outLength, in, inLength, 1);
  return true;
}

bool AdpcmStereoUndo(uint8_t* out, uint32_t* outLength, const uint8_t* in, uint32_t inLength) {
  *outLength = AdpcmDecode(out, *outLength, in, inLength, 2);
  return true;
}

bool HuffmanUndo(uint8_t* out, uint32_t* outLength, const uint8_t* in, uint32_t inLength) {
  HuffmanDecompress(out, outLength, in, inLength);
  return true;
}

bool ImplodeUndo(uint8_t* out, uint32_t* outLength, const uint8_t* in, uint32_t inLength) {
  void* work = AllocateZeroed(EXPLODE_WORK_SIZE);
  if (!work) {
    *outLength = 0;
    return false;
  }
  DclBufferPair pair{out, 0, *outLength, in, 0, inLength};
  // A stream that breaks off or is malformed yields nothing at all, so that a
  // partly decoded sector can never pass for a whole one.
  const uint32_t result = Explode(DclReadFromBuffer, DclWriteToBuffer, work, &pair);
  *outLength = result == DCL_OK ? pair.outUsed : 0;
  ReleaseMemory(work);
  return true;
}

constexpr CompressMethod CompressMethodTable[] = {
    {COMP_MASK_ADPCM_MONO, AdpcmMonoStep},
    {COMP_MASK_ADPCM_STEREO, AdpcmStereoStep},
    {COMP_MASK_HUFFMAN, HuffmanStep},
    {COMP_MASK_IMPLODE, ImplodeStep},
};

// Walked from the last entry to the first.
constexpr DecompressMethod DecompressMethodTable[] = {
    {COMP_MASK_ADPCM_MONO, AdpcmMonoUndo},
    {COMP_MASK_ADPCM_STEREO, AdpcmStereoUndo},
    {COMP_MASK_HUFFMAN, HuffmanUndo},
    {COMP_MASK_IMPLODE, ImplodeUndo},
};

uint32_t CountMethods(uint32_t mask) {
  uint32_t m = 0;
  for (const auto& method : CompressMethodTable) m += (mask & method.bit) ? 1 : 0;
  return m;
}

void NoteOutOfMemory(uint32_t* outLength) {
  *outLength = 0;
  platform::SetLastError(platform::kErrorNotEnoughMemory);
}

}  // namespace

bool CompressSector(uint8_t* output, uint32_t* outputLength, const uint8_t* input,
                    uint32_t inputLength, uint32_t mask, uint32_t methodType, uint32_t level) {
  if (!output || !outputLength || !input || *outputLength < inputLength) {
    platform::SetLastError(platform::kErrorInvalidParameter);
    return false;
  }
  if (mask & ~COMP_MASK_OWN) return false;
  const uint32_t m = CountMethods(mask);

  uint8_t* const body = output + 1;
  uint8_t* temp = nullptr;
  if (m >= 2 || (m == 1 && Overlaps(body, inputLength, input, inputLength))) {
    temp = static_cast<uint8_t*>(AllocateZeroed(inputLength));
    if (!temp) {
      platform::SetLastError(platform::kErrorNotEnoughMemory);
      return false;
    }
  }

  const uint8_t* cur = input;
  uint32_t len = inputLength;
  uint32_t remaining = m;
  for (const auto& method : CompressMethodTable) {
    if (!(mask & method.bit)) continue;
    --remaining;
    // Under three bytes nothing can save two; skipping also keeps the room
    // below from wrapping.
    if (len < 3) {
      mask &= ~method.bit;
      continue;
    }
    uint8_t* target = (remaining & 1) ? temp : body;
    if (Overlaps(target, len, cur, len)) target = target == temp ? body : temp;

    uint32_t produced = len - 1;
    if (!method.step(target, &produced, cur, len, &methodType, level)) {
      ReleaseMemory(temp);
      platform::SetLastError(platform::kErrorNotEnoughMemory);
      return false;
    }
    // An empty result only comes from a step that refused its input.
    if (produced != 0 && produced + 1 < len) {
      cur = target;
      len = produced;
    } else {
      mask &= ~method.bit;
    }
  }

  if (cur == body) {
    output[0] = static_cast<uint8_t>(mask);
    len += 1;
  } else if (mask != 0) {
    std::memmove(body, cur, len);
    output[0] = static_cast<uint8_t>(mask);
    len += 1;
  } else {
    if (output != input) std::memmove(output, input, inputLength);
    len = inputLength;
  }
  *outputLength = len;
  ReleaseMemory(temp);
  return true;
}

bool DecompressSector(uint8_t* output, uint32_t* outputLength, const uint8_t* input,
                      uint32_t inputLength) {
  if (!output || !outputLength || !input || inputLength == 0 || *outputLength < inputLength) {
    platform::SetLastError(platform::kErrorInvalidParameter);
    return false;
  }
  const uint32_t room = *outputLength;
  if (inputLength == room) {
    if (output != input) std::memmove(output, input, inputLength);
    return true;
  }

  const uint32_t mask = input[0];
  if (mask & ~COMP_MASK_OWN) return false;
  const uint8_t* cur = input + 1;
  uint32_t len = inputLength - 1;
  const uint32_t m = CountMethods(mask);

  // A step may fill its whole room, so the room is what must stay clear of
  // the bytes it reads.
  uint8_t* temp = nullptr;
  if (m >= 2 || (m == 1 && Overlaps(output, room, cur, len))) {
    temp = static_cast<uint8_t*>(AllocateZeroed(room));
    if (!temp) {
      platform::SetLastError(platform::kErrorNotEnoughMemory);
      return false;
    }
  }

  uint32_t remaining = m;
  for (size_t i = std::size(DecompressMethodTable); i-- > 0;) {
    const auto& method = DecompressMethodTable[i];
    if (!(mask & method.bit)) continue;
    --remaining;
    uint8_t* target = (remaining & 1) ? temp : output;
    if (Overlaps(target, room, cur, len)) target = target == temp ? output : temp;

    uint32_t produced = room;
    if (!method.step(target, &produced, cur, len)) {
      ReleaseMemory(temp);
      platform::SetLastError(platform::kErrorNotEnoughMemory);
      return false;
    }
    // Every stage of a real sector holds at least one byte; nothing produced
    // means the step met data it could not decode.
    if (produced == 0 || produced > room) {
      ReleaseMemory(temp);
      platform::SetLastError(platform::kErrorFileCorrupt);
      return false;
    }
    cur = target;
    len = produced;
  }

  if (cur != output) std::memmove(output, cur, len);
  *outputLength = len;
  ReleaseMemory(temp);
  return true;
}

uint32_t DclReadFromBuffer(uint8_t* buffer, uint32_t* size, void* param) {
  auto* pair = static_cast<DclBufferPair*>(param);
  const uint32_t left = pair->inUsed < pair->inLength ? pair->inLength - pair->inUsed : 0;
  const uint32_t n = *size < left ? *size : left;
  if (n != 0) std::memcpy(buffer, pair->inBuffer + pair->inUsed, n);
  pair->inUsed += n;
  return n;
}

void DclWriteToBuffer(uint8_t* buffer, uint32_t* size, void* param) {
  auto* pair = static_cast<DclBufferPair*>(param);
  const uint32_t left = pair->outUsed < pair->outCapacity ? pair->outCapacity - pair->outUsed : 0;
  // Bytes beyond the room are dropped; the produced length then equals the
  // room, which tells the compressor the result did not fit.
  const uint32_t n = *size < left ? *size : left;
  if (n != 0) std::memcpy(pair->outBuffer + pair->outUsed, buffer, n);
  pair->outUsed += n;
}

// The public steps, for callers that need one method on its own. Each leaves
// 0 in *outLength and ERROR_NOT_ENOUGH_MEMORY when its work area is missing.

void CompressAdpcmMono(uint8_t* out, uint32_t* outLength, const uint8_t* in, uint32_t inLength,
                       uint32_t* methodType, uint32_t level) {
  AdpcmMonoStep(out, outLength, in, inLength, methodType, level);
}

void CompressAdpcmStereo(uint8_t* out, uint32_t* outLength, const uint8_t* in, uint32_t inLength,
                         uint32_t* methodType, uint32_t level) {
  AdpcmStereoStep(out, outLength, in, inLength, methodType, level);
}

void CompressHuffman(uint8_t* out, uint32_t* outLength, const uint8_t* in, uint32_t inLength,
                     uint32_t* methodType, uint32_t level) {
  HuffmanStep(out, outLength, in, inLength, methodType, level);
}

void CompressImplode(uint8_t* out, uint32_t* outLength, const uint8_t* in, uint32_t inLength,
                     uint32_t* methodType, uint32_t level) {
  if (!ImplodeStep(out, outLength, in, inLength, methodType, level)) NoteOutOfMemory(outLength);
}

void DecompressAdpcmMono(uint8_t* out, uint32_t* outLength, const uint8_t* in, uint32_t inLength) {
  AdpcmMonoUndo(out, outLength, in, inLength);
}

void DecompressAdpcmStereo(uint8_t* out, uint32_t* outLength, const uint8_t* in,
                           uint32_t inLength) {
  AdpcmStereoUndo(out, outLength, in, inLength);
}

void DecompressHuffman(uint8_t* out, uint32_t* outLength, const uint8_t* in, uint32_t inLength) {
  HuffmanUndo(out, outLength, in, inLength);
}

void DecompressImplode(uint8_t* out, uint32_t* outLength, const uint8_t* in, uint32_t inLength) {
  if (!ImplodeUndo(out, outLength, in, inLength)) NoteOutOfMemory(outLength);
}
