// The names the archive's own name lists give its stored entries, gathered
// by one read of each list and kept with the archive until the lists or the
// entries change: listing an archive and recovering keys then cost one pass
// over the lists whatever their size and however many files need a name.
// Internal to the archive units.
#pragma once

#include <atomic>
#include <cstdint>

#include "archive/read/archive_record.h"
#include "archive/read/probe_table.h"
#include "sorvane/sorvane_ext.h"

// What one list was when its names were gathered: a list replaced or moved
// makes the names stale.
struct ListIdentity {
  bool present = false;
  uint32_t hashIndex = 0;
  uint32_t blockIndex = 0;
  BlockEntry block{};
};

// For every (name A, name B) pair of the hash entries in use when it was
// made: the first line of the lists that hashes to it as shown in listings
// (lists read soundly, the internal names first) and as the key search
// takes it (up to a list's first zero byte, lists read in part too). Lines
// are hashed only when their first check value is one some entry has.
struct ListedNames {
  struct Slot {
    uint32_t a;
    uint32_t b;
    uint32_t shown;  // 1 + offset in text, 0 for none
    uint32_t keyed;
    uint32_t used;
    bool free() const { return used == 0; }
  };
  ProbeTable<Slot> slots{1u << 24};
  char* text = nullptr;
  uint32_t size = 0;
  uint32_t capacity = 0;
  ListIdentity lists[7];
  std::atomic<uint32_t> holders{1};

  ListedNames() = default;
  ListedNames(const ListedNames&) = delete;
  ListedNames& operator=(const ListedNames&) = delete;
  ~ListedNames();

  // The slot of the pair, or null when no entry had it.
  const Slot* Find(uint32_t a, uint32_t b) const;
  const char* Shown(uint32_t a, uint32_t b) const {
    const Slot* s = Find(a, b);
    return s == nullptr || s->shown == 0 ? nullptr : text + s->shown - 1;
  }
};

// The archive's names, made or made anew when missing or stale, held until
// ReleaseListedNames; null only when memory runs out (last error set). The
// pairs cover every hash entry in use at the call.
ListedNames* AcquireListedNames(Archive* archive);
void ReleaseListedNames(Archive* archive, ListedNames* names);
// A copy (ReleaseName) of the name the lists give the key search for a stored
// entry's pair, or null.
char* CopyListedKeyName(Archive* archive, uint32_t nameA, uint32_t nameB);
// Hands every name the library can know for the archive to callback once
// (by check values: spellings that differ in case are one name), as it
// reads them: the internal names, the lines of the list of every locale
// that has one of its own (lines end at CR, LF or a zero byte; none longer
// than a stored name can be), then the names the caller gave
// (SetArchiveNameList). Its memory is a piece of a list and 8 bytes a
// distinct name. The callback returning false stops it (true). False when
// memory runs out.
bool ForEachListedName(Archive* archive, ListedNameCallback callback, void* context);
// Forgets the names gathered (a list was stored or changed, or the archive
// is being released).
void DropListedNames(Archive* archive);
