// The compression dispatch: one sector, a one-byte method mask in front of
// the compressed data, any combination of the four methods.
#pragma once

#include <cstdint>

constexpr uint32_t COMP_MASK_HUFFMAN = 0x01u;
constexpr uint32_t COMP_MASK_IMPLODE = 0x08u;
constexpr uint32_t COMP_MASK_ADPCM_MONO = 0x40u;
constexpr uint32_t COMP_MASK_ADPCM_STEREO = 0x80u;
constexpr uint32_t COMP_MASK_OWN = COMP_MASK_HUFFMAN | COMP_MASK_IMPLODE |
                                   COMP_MASK_ADPCM_MONO | COMP_MASK_ADPCM_STEREO;

// Applies the methods of mask in their fixed order, keeping each only when it
// saves at least two bytes. On success *outputLength is either inputLength
// (plain copy, no mask byte) or 1 + the compressed length.
bool CompressSector(uint8_t* output, uint32_t* outputLength, const uint8_t* input,
                    uint32_t inputLength, uint32_t mask, uint32_t methodType, uint32_t level);
// Undoes the methods named by the mask byte at input[0]; an input as long as
// *outputLength is plain data and is copied.
bool DecompressSector(uint8_t* output, uint32_t* outputLength, const uint8_t* input,
                      uint32_t inputLength);

// The shape both entry points share; an outside provider offers the same.
using CompressSectorFn = bool (*)(uint8_t*, uint32_t*, const uint8_t*, uint32_t, uint32_t,
                                  uint32_t, uint32_t);
using DecompressSectorFn = bool (*)(uint8_t*, uint32_t*, const uint8_t*, uint32_t);

// Buffers the DCL codecs reach through their callbacks.
struct DclBufferPair {
  uint8_t* outBuffer;
  uint32_t outUsed;
  uint32_t outCapacity;
  const uint8_t* inBuffer;
  uint32_t inUsed;
  uint32_t inLength;
};
uint32_t DclReadFromBuffer(uint8_t* buffer, uint32_t* size, void* param);
void DclWriteToBuffer(uint8_t* buffer, uint32_t* size, void* param);

// The eight method steps.
void CompressAdpcmMono(uint8_t* out, uint32_t* outLength, const uint8_t* in, uint32_t inLength,
                       uint32_t* methodType, uint32_t level);
void CompressAdpcmStereo(uint8_t* out, uint32_t* outLength, const uint8_t* in, uint32_t inLength,
                         uint32_t* methodType, uint32_t level);
void CompressHuffman(uint8_t* out, uint32_t* outLength, const uint8_t* in, uint32_t inLength,
                     uint32_t* methodType, uint32_t level);
void CompressImplode(uint8_t* out, uint32_t* outLength, const uint8_t* in, uint32_t inLength,
                     uint32_t* methodType, uint32_t level);
void DecompressAdpcmMono(uint8_t* out, uint32_t* outLength, const uint8_t* in, uint32_t inLength);
void DecompressAdpcmStereo(uint8_t* out, uint32_t* outLength, const uint8_t* in, uint32_t inLength);
void DecompressHuffman(uint8_t* out, uint32_t* outLength, const uint8_t* in, uint32_t inLength);
void DecompressImplode(uint8_t* out, uint32_t* outLength, const uint8_t* in, uint32_t inLength);
