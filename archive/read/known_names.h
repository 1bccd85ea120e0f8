// Names a caller hands the library for an archive (SetArchiveNameList),
// found by their check values when a key or a name must be recovered, and
// the set that rebuilding a hash table gathers. Internal to the archive
// units.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "archive/read/archive_record.h"
#include "sorvane/sorvane.h"

// Names by their two check values: open addressing over a power of two of
// slots, each holding the values and 1 + the name's offset in the text
// (0: free).
struct KnownNames {
  struct Slot {
    uint32_t a;
    uint32_t b;
    uint32_t offset;
  };
  char* text = nullptr;
  uint32_t size = 0;
  uint32_t capacity = 0;
  Slot* slots = nullptr;
  uint32_t slotCount = 0;
  uint32_t used = 0;

  ~KnownNames() {
    delete[] text;
    delete[] slots;
  }

  const char* Find(uint32_t a, uint32_t b) const {
    if (slotCount == 0) return nullptr;
    for (uint32_t i = a & (slotCount - 1);; i = (i + 1) & (slotCount - 1)) {
      const Slot& s = slots[i];
      if (s.offset == 0) return nullptr;
      if (s.a == a && s.b == b) return text + s.offset - 1;
    }
  }

  // False when memory runs out. A name already held (by its check values)
  // is not held twice.
  bool Add(const char* name, uint32_t length) {
    if (length == 0) return true;
    char copy[kMaxPath + 1];
    if (length > kMaxPath) return true;  // no stored name is that long
    std::memcpy(copy, name, length);
    copy[length] = 0;
    const uint32_t a = HashString(copy, HASH_NAME_A);
    const uint32_t b = HashString(copy, HASH_NAME_B);
    if (Find(a, b) != nullptr) return true;
    if ((used + 1) * 2 > slotCount && !Rehash(slotCount == 0 ? 64 : slotCount * 2)) return false;
    if (size + length + 1 > capacity) {
      const uint64_t grown = (static_cast<uint64_t>(capacity) + length + 1) * 2;
      if (grown > 0xFFFFFFFFu) return Fail(ERROR_NOT_ENOUGH_MEMORY);
      char* bigger = new (std::nothrow) char[grown];
      if (bigger == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
      if (size != 0) std::memcpy(bigger, text, size);
      delete[] text;
      text = bigger;
      capacity = static_cast<uint32_t>(grown);
    }
    std::memcpy(text + size, copy, length + 1);
    Place(a, b, size + 1);
    size += length + 1;
    ++used;
    return true;
  }

  // Every line of a list text.
  bool AddLines(const char* lines, uint32_t length) {
    for (uint32_t start = 0; start < length;) {
      uint32_t end = start;
      while (end < length && lines[end] != '\r' && lines[end] != '\n' && lines[end] != 0) ++end;
      if (!Add(lines + start, end - start)) return false;
      start = end + 1;
    }
    return true;
  }

  bool AddAll(const KnownNames& other) {
    for (uint32_t i = 0; i < other.slotCount; ++i) {
      const Slot& s = other.slots[i];
      if (s.offset != 0) {
        const char* name = other.text + s.offset - 1;
        if (!Add(name, static_cast<uint32_t>(std::strlen(name)))) return false;
      }
    }
    return true;
  }

 private:
  static bool Fail(uint32_t error) {
    SetLastError(error);
    return false;
  }
  void Place(uint32_t a, uint32_t b, uint32_t offset) {
    uint32_t i = a & (slotCount - 1);
    while (slots[i].offset != 0) i = (i + 1) & (slotCount - 1);
    slots[i] = Slot{a, b, offset};
  }
  bool Rehash(uint32_t count) {
    if (count > (1u << 28)) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    Slot* old = slots;
    const uint32_t oldCount = slotCount;
    slots = new (std::nothrow) Slot[count]();
    if (slots == nullptr) {
      slots = old;
      return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    slotCount = count;
    for (uint32_t i = 0; i < oldCount; ++i) {
      if (old[i].offset != 0) Place(old[i].a, old[i].b, old[i].offset);
    }
    delete[] old;
    return true;
  }
};

// The name the caller gave for these check values (SetArchiveNameList), or
// null. Owned by the archive's record.
const char* FindKnownName(const Archive* archive, uint32_t nameA, uint32_t nameB);
// Frees the names kept for an archive being released.
void DropKnownNames(Archive* archive);
