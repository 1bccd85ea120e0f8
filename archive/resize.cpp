// Names the caller knows for an archive, and rebuilding an archive's hash
// table at another size. A new table can only be built from names: an
// entry's home is the hash of its name, which the table itself does not
// keep. The new table goes to free space and one header write switches to
// it, as every commit does; the old table's bytes become dead space.
#include <cstdlib>
#include <cstring>
#include <new>

#include "archive/internal_update.h"
#include "archive/known_names.h"
#include "archive/read_internal.h"
#include "archive/sorvane.h"

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

namespace {

// The hash table's byte size must be one that opening accepts again.
constexpr uint32_t kMaxResizedEntries = kMaxTableBytes / kEntryBytes;

// Every name the library can know for the archive: the internal names, the
// lines of its name list in every known locale, and the caller's names.
bool GatherAllNames(Archive* archive, KnownNames* names) {
  for (const char* internal : {"(listfile)", "(attributes)", "(signature)"}) {
    if (!names->Add(internal, static_cast<uint32_t>(std::strlen(internal)))) return false;
  }
  const uint32_t savedLocale = CurrentLocale;
  bool ok = true;
  for (uint32_t locale : KnownLocales) {
    if (!ok) break;
    CurrentLocale = locale;
    char* text = nullptr;
    uint32_t size = 0, capacity = 0;
    bool present = false;
    // A list that cannot be read gives no names; the entries it would have
    // named are reported as unnamed below.
    if (ReadListfile(archive, &text, &size, &capacity, &present) && present) ok = names->AddLines(text, size);
    std::free(text);
  }
  CurrentLocale = savedLocale;
  if (ok && archive->knownNames != nullptr) ok = names->AddAll(*archive->knownNames);
  return ok;
}

bool ResizeCommitted(Archive* archive, uint32_t size) {
  KnownNames names;
  if (!GatherAllNames(archive, &names)) return false;
  const uint32_t n = archive->header.hashTableEntries;
  uint32_t inUse = 0;
  for (uint32_t i = 0; i < n; ++i) inUse += IsHashEntryInUse(archive->hashTable[i]) ? 1 : 0;
  if (inUse > size) {
    SetLastError(ERR_HASH_TABLE_FULL);
    return false;
  }
  PageBuffer tableBuffer(static_cast<size_t>(size) * kEntryBytes);
  PageBuffer movedBuffer(static_cast<size_t>(n) * sizeof(uint32_t));
  if (!tableBuffer || !movedBuffer) return false;
  auto* table = reinterpret_cast<HashEntry*>(tableBuffer.bytes());
  auto* moved = reinterpret_cast<uint32_t*>(movedBuffer.bytes());
  std::memset(table, 0xFF, tableBuffer.size());
  for (uint32_t i = 0; i < n; ++i) {
    const HashEntry& e = archive->hashTable[i];
    moved[i] = kNoBlock;
    if (!IsHashEntryInUse(e)) continue;
    const char* name = names.Find(e.nameHashA, e.nameHashB);
    if (name == nullptr) {
      SetLastError(ERROR_FILE_INVALID);
      return false;
    }
    uint32_t j = HashString(name, HASH_TABLE_INDEX) % size;
    while (!IsHashEntryEmpty(table[j])) j = j + 1 == size ? 0 : j + 1;
    table[j] = e;
    moved[i] = j;
  }

  const ArchiveHeader before = archive->header;
  UpdateSession* s = BeginOperation(archive);
  if (s == nullptr) return false;
  HashEntry* const old = archive->hashTable;
  archive->hashTable = table;
  archive->header.hashTableEntries = size;
  s->hashChanged = true;
  const bool ok = EndOperation(archive, Outcome::kDone);
  const uint32_t error = GetLastError();
  if (!ok && std::memcmp(&archive->header, &before, sizeof before) == 0) {
    // Given up before the switch: the old table is the archive's again.
    archive->hashTable = old;
    SetLastError(error);
    return false;
  }
  // Switched (a flush after the switch may still have failed): open files
  // follow their entries into the new table.
  tableBuffer.release();
  for (uint32_t f = 0; f < OpenFileListCount; ++f) {
    ArchiveFile* file = OpenFileList[f];
    if (file == nullptr || file->archive != archive || file->hashEntry == nullptr) continue;
    const uint32_t index = static_cast<uint32_t>(file->hashEntry - old);
    file->hashEntry = index < n && moved[index] != kNoBlock ? &table[moved[index]] : nullptr;
  }
  platform::VirtualFree(old);
  SetLastError(error);
  return ok;
}

}  // namespace

const char* FindKnownName(const Archive* archive, uint32_t nameA, uint32_t nameB) {
  return archive->knownNames != nullptr ? archive->knownNames->Find(nameA, nameB) : nullptr;
}

void DropKnownNames(Archive* archive) {
  delete archive->knownNames;
  archive->knownNames = nullptr;
}

bool SetArchiveNameList(ArchiveHandle archive, const char* const* names, uint32_t count) {
  if (archive == nullptr || !IsOpenArchive(archive) || (names == nullptr && count != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  auto* known = new (std::nothrow) KnownNames;
  if (known == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  for (uint32_t i = 0; i < count; ++i) {
    if (names[i] != nullptr && !known->Add(names[i], static_cast<uint32_t>(strnlen(names[i], kMaxPath + 1)))) {
      delete known;
      return false;
    }
  }
  DropKnownNames(archive);
  if (count != 0) archive->knownNames = known;
  else delete known;
  return true;
}

bool ResizeHashTable(ArchiveHandle archive, uint32_t hashTableSize) {
  if (!CheckUpdatableArchive(archive)) return false;
  if (hashTableSize == 0 || hashTableSize > kMaxResizedEntries) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  bool batchOpen = false;
  if (!CommitBatchSoFar(archive, &batchOpen)) return false;
  const bool ok = ResizeCommitted(archive, hashTableSize);
  const uint32_t error = GetLastError();
  if (batchOpen && !ResumeBatch(archive)) return false;
  SetLastError(error);
  return ok;
}
