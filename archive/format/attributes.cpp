// The "(attributes)" file's bytes: its arrays, parsed and written.
#include <cstdlib>
#include <cstring>

#include "archive/format/attributes.h"
#include "sorvane/sorvane.h"
#include "platform/bytes.h"

const char kAttributesName[] = "(attributes)";

namespace {

constexpr uint32_t kHeaderSize = 8;

// Bytes per item of the arrays that have one.
uint64_t ItemBytes(uint32_t flags) {
  return ((flags & ATTRIBUTE_CRC32) ? 4 : 0) + ((flags & ATTRIBUTE_FILETIME) ? 8 : 0) +
         ((flags & ATTRIBUTE_MD5) ? kMd5Size : 0);
}

// The size of a file whose arrays hold m items each.
uint64_t LayoutSize(uint32_t flags, uint64_t m) {
  return kHeaderSize + m * ItemBytes(flags) + ((flags & ATTRIBUTE_PATCH_BIT) ? (m + 7) / 8 : 0);
}

template <typename T>
bool ResizeArray(T** array, uint32_t oldCount, uint32_t count, size_t itemSize) {
  void* bigger = std::realloc(*array, count != 0 ? static_cast<size_t>(count) * itemSize : 1);
  if (bigger == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  *array = static_cast<T*>(bigger);
  if (count > oldCount) {
    std::memset(reinterpret_cast<uint8_t*>(*array) + static_cast<size_t>(oldCount) * itemSize, 0,
                static_cast<size_t>(count - oldCount) * itemSize);
  }
  return true;
}

}  // namespace

// ---- the file -------------------------------------------------------------------

void ReleaseAttributes(AttributesTable* table) {
  std::free(table->crc);
  std::free(table->time);
  std::free(table->md5);
  std::free(table->patch);
  *table = AttributesTable{};
}

bool ResizeAttributes(AttributesTable* t, uint32_t count) {
  if ((t->flags & ATTRIBUTE_CRC32) && !ResizeArray(&t->crc, t->count, count, 4)) return false;
  if ((t->flags & ATTRIBUTE_FILETIME) && !ResizeArray(&t->time, t->count, count, 8)) return false;
  if ((t->flags & ATTRIBUTE_MD5) && !ResizeArray(&t->md5, t->count, count, kMd5Size)) return false;
  if ((t->flags & ATTRIBUTE_PATCH_BIT) && !ResizeArray(&t->patch, t->count, count, 1)) return false;
  t->count = count;
  return true;
}

bool ParseAttributes(const uint8_t* data, uint32_t size, uint32_t entries, AttributesTable* out) {
  ReleaseAttributes(out);
  if (size < kHeaderSize) {
    SetLastError(ERROR_FILE_CORRUPT);
    return false;
  }
  const uint32_t version = platform::LoadLE32(data);
  const uint32_t flags = platform::LoadLE32(data + 4);
  out->version = version;
  if (version != kAttributesVersion) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return false;
  }
  const uint32_t known = flags & kKnownAttributes;
  // The arrays' length m: the one the size fits exactly, entries first;
  // else entries, with a file cut short used for what it covers. Arrays of
  // unknown flags would follow the known ones, so with such flags a longer
  // file is no fault.
  uint64_t m = entries;
  const uint64_t full = LayoutSize(known, entries);
  if (size != full && (size < full || (flags & ~kKnownAttributes) == 0)) {
    const bool longer = size > full;
    uint64_t lo = longer ? entries : 0, hi = longer ? static_cast<uint64_t>(size) * 8 : entries;
    while (lo < hi) {  // the least length whose layout reaches size
      const uint64_t mid = lo + (hi - lo) / 2;
      if (LayoutSize(known, mid) >= size) hi = mid;
      else lo = mid + 1;
    }
    if (LayoutSize(known, lo) == size) {
      m = lo;
    } else if (longer) {
      SetLastError(ERROR_FILE_CORRUPT);
      return false;
    }
  }
  // Where each array starts and how many of its items the bytes hold.
  struct Array {
    uint32_t flag;
    uint32_t bytes;  // per item; 0 for the patch bits
    uint64_t offset = 0;
    uint64_t covered = 0;
  } arrays[4] = {{ATTRIBUTE_CRC32, 4}, {ATTRIBUTE_FILETIME, 8}, {ATTRIBUTE_MD5, kMd5Size}, {ATTRIBUTE_PATCH_BIT, 0}};
  uint64_t offset = kHeaderSize, count = 0;
  for (Array& a : arrays) {
    if ((known & a.flag) == 0) continue;
    a.offset = offset;
    const uint64_t room = size > offset ? size - offset : 0;
    a.covered = a.bytes != 0 ? room / a.bytes : room * 8;
    if (a.covered > m) a.covered = m;
    if (a.covered > entries) a.covered = entries;
    if (a.covered > count) count = a.covered;
    offset += a.bytes != 0 ? m * a.bytes : (m + 7) / 8;
  }
  out->flags = flags;
  if (!ResizeAttributes(out, static_cast<uint32_t>(count))) {
    ReleaseAttributes(out);
    return false;
  }
  for (const Array& a : arrays) {
    if (a.covered == 0) continue;  // its offset may lie past the data
    const uint8_t* from = data + a.offset;
    for (uint64_t i = 0; i < a.covered; ++i) {
      switch (a.flag) {
        case ATTRIBUTE_CRC32: out->crc[i] = platform::LoadLE32(from + 4 * i); break;
        case ATTRIBUTE_FILETIME:
          out->time[i] = platform::LoadLE32(from + 8 * i) | static_cast<uint64_t>(platform::LoadLE32(from + 8 * i + 4)) << 32;
          break;
        case ATTRIBUTE_MD5: std::memcpy(out->md5 + i * kMd5Size, from + i * kMd5Size, kMd5Size); break;
        default: out->patch[i] = (from[i / 8] >> (i % 8)) & 1; break;
      }
    }
  }
  return true;
}

bool SerializeAttributes(const AttributesTable& t, uint8_t** data, uint32_t* size) {
  const uint32_t known = t.flags & kKnownAttributes;
  const uint64_t bytes = LayoutSize(known, t.count);
  if (bytes > 0xFFFFFFFFu) {
    SetLastError(kErrorFileTooLarge);
    return false;
  }
  auto* out = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(bytes), 1));
  if (out == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  // Unknown arrays cannot be kept, so their flags go too.
  platform::StoreLE32(out, kAttributesVersion);
  platform::StoreLE32(out + 4, known);
  uint8_t* p = out + kHeaderSize;
  const size_t n = t.count;
  if (known & ATTRIBUTE_CRC32) {
    for (size_t i = 0; i < n; ++i, p += 4) platform::StoreLE32(p, t.crc[i]);
  }
  if (known & ATTRIBUTE_FILETIME) {
    for (size_t i = 0; i < n; ++i, p += 8) {
      platform::StoreLE32(p, static_cast<uint32_t>(t.time[i]));
      platform::StoreLE32(p + 4, static_cast<uint32_t>(t.time[i] >> 32));
    }
  }
  if (known & ATTRIBUTE_MD5) {
    if (n != 0) std::memcpy(p, t.md5, n * kMd5Size);
    p += n * kMd5Size;
  }
  if (known & ATTRIBUTE_PATCH_BIT) {
    for (size_t i = 0; i < n; ++i) p[i / 8] = static_cast<uint8_t>(p[i / 8] | (t.patch[i] & 1) << (i % 8));
  }
  *data = out;
  *size = static_cast<uint32_t>(bytes);
  return true;
}
