// The "(attributes)" file: per block-table entry a CRC-32, a file time, an
// MD5 and a patch bit, each array present when its flag is set. Its bytes
// and the table they hold. Not part of the public interface.
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/format/records.h"

constexpr uint32_t kAttributesVersion = 100;
constexpr uint32_t kKnownAttributes = ATTRIBUTE_CRC32 | ATTRIBUTE_FILETIME | ATTRIBUTE_MD5 | ATTRIBUTE_PATCH_BIT;
extern const char kAttributesName[];  // "(attributes)"
constexpr uint32_t kMd5Size = 16;

// The arrays of an "(attributes)" file, one item per block-table entry
// (index i: block i). An item that is all zeros is not recorded; so is any
// item at or past count. malloc'd; ReleaseAttributes frees them.
struct AttributesTable {
  uint32_t version = 0;
  uint32_t flags = 0;     // as stored, unknown bits included
  uint32_t count = 0;     // items each array below holds
  uint32_t* crc = nullptr;
  uint64_t* time = nullptr;
  uint8_t* md5 = nullptr;    // 16 bytes per item
  uint8_t* patch = nullptr;  // one byte (0 or 1) per item
};
void ReleaseAttributes(AttributesTable* table);
// Grows or shrinks every present array to count items; new items are zero.
bool ResizeAttributes(AttributesTable* table, uint32_t count);

// Parses the bytes of an "(attributes)" file for a block table of `entries`
// entries. The arrays follow each other, each of the same length m: the
// length whose layout the size fits exactly (m = entries first), else
// `entries`, where a file cut short (as older writers left them) is used for
// what it covers. Fails with ERROR_NOT_SUPPORTED for a version other than
// 100, ERROR_FILE_CORRUPT for a size no layout explains (shorter than its
// 8-byte header, or longer than a full table needs without fitting another).
bool ParseAttributes(const uint8_t* data, uint32_t size, uint32_t entries, AttributesTable* out);
// The file's bytes for table.count items: malloc'd into *data.
bool SerializeAttributes(const AttributesTable& table, uint8_t** data, uint32_t* size);

