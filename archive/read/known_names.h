// Names a caller hands the library for an archive (SetArchiveNameList),
// found by their check values when a key or a name must be recovered, and
// the set a caller's own names are looked up in. Internal to the archive
// units.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "archive/read/archive_record.h"
#include "archive/read/probe_table.h"
#include "sorvane/sorvane.h"

// Names by their two check values, in a probe table of slots holding the
// values and 1 + the name's offset in the text (0: free). Keyed by the
// check values, not by the letters as the session's name-list index is: two
// spellings that differ only in case are one name here.
struct KnownNames {
  struct Slot {
    uint32_t a;
    uint32_t b;
    uint32_t offset;
    bool free() const { return offset == 0; }
  };
  char* text = nullptr;
  uint32_t size = 0;
  uint32_t capacity = 0;
  ProbeTable<Slot> slots{1u << 28};

  ~KnownNames() { delete[] text; }

  const char* Find(uint32_t a, uint32_t b) const {
    if (slots.empty()) return nullptr;
    const Slot* s = slots.Probe(a, [a, b](const Slot& t) { return t.a == a && t.b == b; });
    return s->free() ? nullptr : text + s->offset - 1;
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
    if (!slots.Reserve([](const Slot& t) { return t.a; })) return false;
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
    slots.Take(slots.Probe(a, [](const Slot&) { return false; }), Slot{a, b, size + 1});
    size += length + 1;
    return true;
  }

  bool AddAll(const KnownNames& other) {
    for (uint32_t i = 0; i < other.slots.slotCount(); ++i) {
      const Slot& s = other.slots.at(i);
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
};

// A copy of the name the caller gave for these check values
// (SetArchiveNameList; release with ReleaseName), or null. A copy, since
// another thread may give the archive other names meanwhile.
char* CopyKnownName(const Archive* archive, uint32_t nameA, uint32_t nameB);
// Adds the names the caller gave for the archive (SetArchiveNameList) to
// names. False when memory runs out.
bool CopyKnownNames(const Archive* archive, KnownNames* names);
// Frees the names kept for an archive being released.
void DropKnownNames(Archive* archive);
