// The adaptive Huffman coder of compressed sectors.
#pragma once

#include <cstdint>

// type: stream type 0..8 (low 8 bits count). *outSize: capacity in, bytes
// written out.
void HuffmanCompress(uint8_t* out, uint32_t* outSize, const uint8_t* in, uint32_t inSize,
                     uint32_t type);
// *outSize: capacity in, bytes produced out. Bounded by both the output room
// and the input length.
void HuffmanDecompress(uint8_t* out, uint32_t* outSize, const uint8_t* in, uint32_t inSize);
// The starting weight of each byte value for a stream type (0..8; nullptr
// beyond), for checking the coder against a model of it.
const uint8_t* HuffmanStartWeights(uint32_t type);
