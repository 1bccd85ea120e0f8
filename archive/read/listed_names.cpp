// The names the archive's lists give its stored entries, gathered once.
#include "archive/read/listed_names.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "archive/read/known_names.h"
#include "archive/read/lines.h"
#include "archive/read/read_internal.h"
#include "platform/platform.h"
#include "sorvane/sorvane.h"

namespace {

// Guards every archive's listedNames pointer and the holders count of what
// it points to; the names themselves are not changed once made.
std::mutex ListedNamesMutex;

// Lists are decoded through a buffer of this size.
constexpr uint32_t kPiece = 1u << 20;

const char kListfileName[] = "(listfile)";

// The list a locale reads: the neutral one, and each other locale's own.
const HashEntry* ListEntry(Archive* archive, uint32_t locale) {
  const HashEntry* e = FindHashEntry(archive, kListfileName, locale);
  if (e == nullptr || (locale != 0 && e->locale == 0)) return nullptr;
  return e;
}

ListIdentity IdentityOf(Archive* archive, uint32_t locale) {
  ListIdentity id;
  const HashEntry* e = ListEntry(archive, locale);
  if (e == nullptr) return id;
  id.present = true;
  id.hashIndex = static_cast<uint32_t>(e - archive->hashTable);
  id.blockIndex = e->blockIndex;
  if (archive->blockTable != nullptr && e->blockIndex < archive->header.blockTableEntries) {
    id.block = archive->blockTable[e->blockIndex];
  }
  return id;
}

bool SameIdentity(const ListIdentity& x, const ListIdentity& y) {
  return x.present == y.present && x.hashIndex == y.hashIndex && x.blockIndex == y.blockIndex &&
         x.block.offset == y.block.offset && x.block.storedSize == y.block.storedSize &&
         x.block.fileSize == y.block.fileSize && x.block.flags == y.block.flags;
}

bool ListsUnchanged(Archive* archive, const ListedNames& names) {
  for (uint32_t i = 0; i < 7; ++i) {
    if (!SameIdentity(names.lists[i], IdentityOf(archive, KnownLocales[i]))) return false;
  }
  return true;
}

bool Fail(uint32_t error) {
  SetLastError(error);
  return false;
}

bool HasPair(const ListedNames& names, uint32_t a, uint32_t b) { return names.Find(a, b) != nullptr; }

// Every pair in use is one the names were made for.
bool CoversEntries(Archive* archive, const ListedNames& names) {
  const uint32_t n = archive->hashTable != nullptr ? archive->header.hashTableEntries : 0;
  for (uint32_t i = 0; i < n; ++i) {
    const HashEntry& e = archive->hashTable[i];
    if (!IsHashEntryFree(e) && !HasPair(names, e.nameHashA, e.nameHashB)) return false;
  }
  return true;
}

// Appends a zero-terminated copy of line; its 1-based offset, 0 when memory
// runs out.
uint32_t Keep(ListedNames* names, const char* line, uint32_t length) {
  if (!GrowText(&names->text, &names->capacity, static_cast<uint64_t>(names->size) + length + 1)) return 0;
  std::memcpy(names->text + names->size, line, length);
  names->text[names->size + length] = 0;
  const uint32_t at = names->size + 1;
  names->size += length + 1;
  return at;
}

// The slot for a line that hashes to a pair in use, found by its first check
// value before the second is worked out (most lines of a large list name no
// stored file).
ListedNames::Slot* SlotForLine(ListedNames* names, const char* line) {
  const uint32_t a = HashString(line, HASH_NAME_A);
  bool haveB = false;
  uint32_t b = 0;
  ListedNames::Slot* s = names->slots.Probe(a, [&](const ListedNames::Slot& t) {
    if (t.a != a) return false;
    if (!haveB) {
      b = HashString(line, HASH_NAME_B);
      haveB = true;
    }
    return t.b == b;
  });
  return s->free() ? nullptr : s;
}

// Feeds an open list through scanner a piece at a time while going() holds:
// however large its block claims the list is, it costs one piece. Whether
// it was read to its end at the size it claims. A read that fails leaves
// its unfinished last line out.
template <typename OnLine, typename Going>
bool FeedList(FileHandle file, char* piece, ListScanner* scanner, OnLine& onLine, Going going) {
  const uint32_t fileSize = GetArchiveFileSize(file, nullptr);
  uint32_t got = 0;
  bool whole = fileSize != 0xFFFFFFFFu;
  while (going()) {
    uint32_t n = 0;
    if (!ReadArchiveFile(file, piece, kPiece, &n, nullptr)) {
      whole = false;
      break;
    }
    if (n == 0) {
      scanner->Finish(onLine);
      break;
    }
    got += n;
    scanner->Feed(piece, n, onLine);
  }
  return whole && got == fileSize;
}

// Reads one list and takes its lines. Names shown come only from a list read
// whole, as a list that cannot be read gives no names to show; the key search
// takes what it could read. False when memory runs out.
bool TakeList(Archive* archive, uint32_t locale, ListedNames* names, char* piece) {
  FileHandle file = nullptr;
  if (!OpenArchiveFileInLocale(archive, kListfileName, locale, &file)) return true;
  const bool showable = StoredSizeFits(file);
  // Slots that got their shown name from this list: a list that fails to
  // read takes them back.
  uint32_t* given = nullptr;
  uint32_t givenCount = 0, givenCapacity = 0;
  bool memoryOk = true;
  ListScanner scanner(kMaxPath);
  auto onLine = [&](const char* line, uint32_t length, uint32_t use) {
    if (!memoryOk) return;
    ListedNames::Slot* s = SlotForLine(names, line);
    if (s == nullptr) return;
    const bool shown = (use & ListScanner::kShown) != 0 && showable && s->shown == 0;
    const bool keyed = (use & ListScanner::kKeyed) != 0 && s->keyed == 0;
    if (!shown && !keyed) return;
    const uint32_t at = Keep(names, line, length);
    if (at == 0) {
      memoryOk = false;
      return;
    }
    if (keyed) s->keyed = at;
    if (shown) {
      if (givenCount == givenCapacity) {
        const uint32_t grown = givenCapacity == 0 ? 64 : givenCapacity * 2;
        auto* bigger = static_cast<uint32_t*>(std::realloc(given, grown * sizeof(uint32_t)));
        if (bigger == nullptr) {
          memoryOk = Fail(ERROR_NOT_ENOUGH_MEMORY);
          return;
        }
        given = bigger;
        givenCapacity = grown;
      }
      given[givenCount++] = static_cast<uint32_t>(s - &names->slots.at(0));
      s->shown = at;
    }
  };
  const bool whole = FeedList(file, piece, &scanner, onLine, [&] { return memoryOk; });
  if (memoryOk && !whole) {
    for (uint32_t i = 0; i < givenCount; ++i) {
      names->slots.at(given[i]).shown = 0;
    }
  }
  std::free(given);
  CloseArchiveFile(file);
  return memoryOk;
}

// Makes the names for the archive's entries as they are now; null when
// memory runs out.
ListedNames* MakeListedNames(Archive* archive) {
  auto* names = new (std::nothrow) ListedNames;
  if (names == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  const uint32_t n = archive->hashTable != nullptr ? archive->header.hashTableEntries : 0;
  bool ok = true;
  for (uint32_t i = 0; ok && i < n; ++i) {
    const HashEntry& e = archive->hashTable[i];
    if (IsHashEntryFree(e)) continue;
    const uint32_t a = e.nameHashA, b = e.nameHashB;
    ok = names->slots.Reserve([](const ListedNames::Slot& t) { return t.a; });
    if (!ok) break;
    ListedNames::Slot* s =
        names->slots.Probe(a, [a, b](const ListedNames::Slot& t) { return t.a == a && t.b == b; });
    if (s->free()) names->slots.Take(s, ListedNames::Slot{a, b, 0, 0, 1});
  }
  for (uint32_t i = 0; ok && i < 7; ++i) names->lists[i] = IdentityOf(archive, KnownLocales[i]);
  // The internal names are shown whether a list gives them or not.
  for (const char* internal : {"(listfile)", "(attributes)", "(signature)"}) {
    if (!ok || names->slots.empty()) break;
    ListedNames::Slot* s = SlotForLine(names, internal);
    if (s != nullptr && s->shown == 0) {
      s->shown = Keep(names, internal, static_cast<uint32_t>(std::strlen(internal)));
      ok = s->shown != 0;
    }
  }
  if (ok && !names->slots.empty()) {
    char* piece = static_cast<char*>(platform::VirtualAlloc(kPiece));
    ok = piece != nullptr || Fail(ERROR_NOT_ENOUGH_MEMORY);
    // A list is looked for in its locale only: asking for one without a
    // list of its own would give the neutral one again.
    for (uint32_t i = 0; ok && i < 7; ++i) {
      if (names->lists[i].present) ok = TakeList(archive, KnownLocales[i], names, piece);
    }
    platform::VirtualFree(piece);
  }
  if (!ok) {
    delete names;
    return nullptr;
  }
  return names;
}

void Release(ListedNames* names) {
  if (names != nullptr && names->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) delete names;
}

// The archive's names if they are still good (held for the caller), else
// null.
ListedNames* HoldCurrent(Archive* archive, bool wholeTable) {
  std::lock_guard<std::mutex> lock(ListedNamesMutex);
  ListedNames* names = archive->listedNames;
  if (names == nullptr || !ListsUnchanged(archive, *names) || (wholeTable && !CoversEntries(archive, *names))) {
    return nullptr;
  }
  names->holders.fetch_add(1, std::memory_order_relaxed);
  return names;
}

// Makes the names anew and keeps them with the archive; held for the caller.
ListedNames* Remake(Archive* archive) {
  ListedNames* made = MakeListedNames(archive);
  if (made == nullptr) return nullptr;
  made->holders.store(2, std::memory_order_relaxed);  // the archive's and the caller's
  ListedNames* old = nullptr;
  {
    std::lock_guard<std::mutex> lock(ListedNamesMutex);
    old = archive->listedNames;
    archive->listedNames = made;
  }
  Release(old);
  return made;
}

// The check values of the names handed out so far, so that a name comes
// once however many lists hold it and in whatever case: 8 bytes a slot,
// never the name itself. (0, 0) marks a free slot, so that pair is kept
// aside.
class SeenNames {
 public:
  struct Slot {
    uint32_t a;
    uint32_t b;
    bool free() const { return a == 0 && b == 0; }
  };

  // True for a name not seen before (now seen). False when seen, or when
  // memory runs out (*memoryOk cleared, last error set).
  bool First(const char* name, bool* memoryOk) {
    const uint32_t a = HashString(name, HASH_NAME_A);
    const uint32_t b = HashString(name, HASH_NAME_B);
    if (a == 0 && b == 0) {
      const bool first = !zeroSeen_;
      zeroSeen_ = true;
      return first;
    }
    auto same = [a, b](const Slot& t) { return t.a == a && t.b == b; };
    if (!slots_.empty() && !slots_.Probe(a, same)->free()) return false;
    if (!slots_.Reserve([](const Slot& t) { return t.a; })) {
      *memoryOk = false;
      return false;
    }
    slots_.Take(slots_.Probe(a, same), Slot{a, b});
    return true;
  }

 private:
  // As many slots as the names the old whole-text gathering could hold.
  ProbeTable<Slot> slots_{1u << 28};
  bool zeroSeen_ = false;
};

}  // namespace

ListedNames::~ListedNames() { std::free(text); }

const ListedNames::Slot* ListedNames::Find(uint32_t a, uint32_t b) const {
  if (slots.empty()) return nullptr;
  const Slot* s = slots.Probe(a, [a, b](const Slot& t) { return t.a == a && t.b == b; });
  return s->free() ? nullptr : s;
}

ListedNames* AcquireListedNames(Archive* archive) {
  if (ListedNames* names = HoldCurrent(archive, true)) return names;
  return Remake(archive);
}

void ReleaseListedNames(Archive*, ListedNames* names) { Release(names); }

char* CopyListedKeyName(Archive* archive, uint32_t nameA, uint32_t nameB) {
  ListedNames* names = HoldCurrent(archive, false);
  // A pair the names were not made for is an entry added since: the names
  // are made again, once.
  if (names != nullptr && names->Find(nameA, nameB) == nullptr) {
    Release(names);
    names = nullptr;
  }
  if (names == nullptr) names = Remake(archive);
  if (names == nullptr) return nullptr;
  const ListedNames::Slot* s = names->Find(nameA, nameB);
  char* copy = s != nullptr && s->keyed != 0 ? CopyName(names->text + s->keyed - 1) : nullptr;
  Release(names);
  return copy;
}

void DropListedNames(Archive* archive) {
  ListedNames* old = nullptr;
  {
    std::lock_guard<std::mutex> lock(ListedNamesMutex);
    old = archive->listedNames;
    archive->listedNames = nullptr;
  }
  Release(old);
}

bool ForEachListedName(Archive* archive, ListedNameCallback callback, void* context) {
  const uint32_t savedError = GetLastError();
  SeenNames seen;
  bool memoryOk = true;
  bool going = true;
  auto hand = [&](const char* name, uint32_t length) {
    if (!going || !memoryOk || length == 0 || length > kMaxPath || !seen.First(name, &memoryOk)) return;
    SetLastError(savedError);
    going = callback(context, name, length);
  };
  for (const char* internal : {"(listfile)", "(attributes)", "(signature)"}) {
    hand(internal, static_cast<uint32_t>(std::strlen(internal)));
  }
  char* piece = nullptr;
  for (uint32_t locale : KnownLocales) {
    if (!going || !memoryOk) break;
    if (ListEntry(archive, locale) == nullptr) continue;
    FileHandle file = nullptr;
    if (!OpenArchiveFileInLocale(archive, kListfileName, locale, &file)) continue;
    // A list whose size the archive cannot hold gives no names; one that
    // fails part way has given those before the failure, as the key search
    // takes them.
    if (StoredSizeFits(file)) {
      if (piece == nullptr) piece = static_cast<char*>(platform::VirtualAlloc(kPiece));
      if (piece == nullptr) {
        memoryOk = Fail(ERROR_NOT_ENOUGH_MEMORY);
      } else {
        ListScanner scanner(kMaxPath);
        auto onLine = [&](const char* line, uint32_t length, uint32_t use) {
          if ((use & ListScanner::kShown) != 0) hand(line, length);
        };
        FeedList(file, piece, &scanner, onLine, [&] { return going && memoryOk; });
      }
    }
    CloseArchiveFile(file);
  }
  platform::VirtualFree(piece);
  // The caller's names are copied out first: the callback may itself look
  // names up or give the archive others.
  if (going && memoryOk) {
    KnownNames registered;
    memoryOk = CopyKnownNames(archive, &registered);
    for (uint32_t pos = 0; memoryOk && going && pos < registered.size;) {
      const char* name = registered.text + pos;
      const auto length = static_cast<uint32_t>(std::strlen(name));
      hand(name, length);
      pos += length + 1;
    }
  }
  if (!memoryOk) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  SetLastError(savedError);
  return true;
}
