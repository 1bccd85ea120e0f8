// The DCL implode stream format: Explode decodes, Implode encodes. Both keep
// all their state in a caller-supplied, zero-filled work area and reach their
// input and output only through the two callbacks.
#pragma once

#include <cstdint>

constexpr uint32_t DCL_OK = 0;
constexpr uint32_t DCL_ERR_DICT_SIZE = 1;
constexpr uint32_t DCL_ERR_TYPE = 2;
constexpr uint32_t DCL_ERR_SHORT_INPUT = 3;
constexpr uint32_t DCL_ERR_DATA = 4;

constexpr uint32_t DCL_BINARY = 0;
constexpr uint32_t DCL_ASCII = 1;

constexpr uint32_t EXPLODE_WORK_SIZE = 12596;
constexpr uint32_t IMPLODE_WORK_SIZE = 36312;

// *size holds the bytes wanted; returns the bytes copied into buffer, 0 at the
// end of the input.
using DclReadFn = uint32_t (*)(uint8_t* buffer, uint32_t* size, void* param);
// *size holds the bytes in buffer to take.
using DclWriteFn = void (*)(uint8_t* buffer, uint32_t* size, void* param);

uint32_t Explode(DclReadFn read, DclWriteFn write, void* work, void* param);
uint32_t Implode(DclReadFn read, DclWriteFn write, void* work, void* param, uint32_t* type,
                 uint32_t* dictSize);
