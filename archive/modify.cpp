// Deleting, renaming and re-localing stored files: changes to hash entries,
// plus re-encryption in place when a rename changes the file's key.
#include <cstring>

#include "archive/internal_update.h"
#include "archive/read_internal.h"
#include "archive/sorvane.h"
#include "platform/bytes.h"

namespace {

const char kListfileName[] = "(listfile)";

bool IsLineBreak(uint8_t c) { return c == '\r' || c == '\n'; }

// The file's sector layout, read and checked, ready for re-keying in place.
struct SectorLayout {
  uint64_t dataStart = 0;  // absolute position of the offset table / data
  uint32_t sectorCount = 0;
  bool hasTable = false;
  PageBuffer offsets;      // sectorCount + 1 entries, from the data start
};

bool LoadSectorLayout(Archive* archive, const BlockEntry& block, uint32_t key, SectorLayout* layout) {
  BlockData where;
  if (!LocateBlockData(archive, block, &where)) return false;
  const uint32_t sectorSize = archive->sectorSize;
  const uint32_t available = where.room;
  const uint64_t k = (static_cast<uint64_t>(block.fileSize) + sectorSize - 1) / sectorSize;
  layout->hasTable = (block.flags & (BLOCK_COMPRESSED | BLOCK_IMPLODED)) != 0;
  layout->dataStart = where.start;
  const uint64_t needed = layout->hasTable ? 4 * (k + 1) : block.fileSize;
  // The file must hold the table before anything is allocated for it.
  if (needed > available) {
    SetLastError(ERROR_FILE_CORRUPT);
    return false;
  }
  layout->sectorCount = static_cast<uint32_t>(k);
  layout->offsets = PageBuffer(static_cast<size_t>(4 * (k + 1)));
  if (!layout->offsets) return false;
  auto* offsets = reinterpret_cast<uint32_t*>(layout->offsets.bytes());
  if (layout->hasTable) {
    const uint32_t tableBytes = static_cast<uint32_t>(4 * (k + 1));
    if (!ReadExactAt(archive->fileHandle, layout->dataStart, offsets, tableBytes)) return false;
    DecryptBlock(offsets, tableBytes, key - 1);
    for (uint64_t i = 0; i <= k; ++i) offsets[i] = platform::LoadLE32(&offsets[i]);
    if (!SectorOffsetsValid(offsets, layout->sectorCount, block.fileSize, sectorSize, available)) {
      SetLastError(ERROR_FILE_CORRUPT);
      return false;
    }
  } else {
    for (uint64_t i = 0; i < k; ++i) offsets[i] = static_cast<uint32_t>(i * sectorSize);
    offsets[k] = block.fileSize;
  }
  return true;
}

bool WriteTableUnderKey(Archive* archive, const SectorLayout& layout, uint32_t key) {
  if (!layout.hasTable) return true;
  const uint32_t tableBytes = 4 * (layout.sectorCount + 1);
  PageBuffer copy(tableBytes);
  if (!copy) return false;
  const auto* offsets = reinterpret_cast<const uint32_t*>(layout.offsets.bytes());
  for (uint32_t i = 0; i <= layout.sectorCount; ++i) platform::StoreLE32(copy.bytes() + 4 * i, offsets[i]);
  EncryptBlock(copy.bytes(), tableBytes, key - 1);
  return WriteExactAt(archive->fileHandle, layout.dataStart, copy.bytes(), tableBytes);
}

// Re-keys sectors [first, last) from one key to the other; *done counts the
// sectors finished.
bool RekeySectors(Archive* archive, const SectorLayout& layout, uint8_t* buffer, uint32_t first,
                  uint32_t last, uint32_t fromKey, uint32_t toKey, uint32_t* done) {
  const auto* offsets = reinterpret_cast<const uint32_t*>(layout.offsets.bytes());
  for (uint32_t i = first; i < last; ++i) {
    const uint32_t length = offsets[i + 1] - offsets[i];
    const uint64_t at = layout.dataStart + offsets[i];
    if (!ReadExactAt(archive->fileHandle, at, buffer, length)) return false;
    DecryptBlock(buffer, length, fromKey + i);
    EncryptBlock(buffer, length, toKey + i);
    if (!WriteExactAt(archive->fileHandle, at, buffer, length)) return false;
    if (done != nullptr) *done = i + 1;
  }
  return true;
}

// Re-encrypts a file's stored data from oldKey to newKey where it lies. A
// failure puts back what was already changed (as far as the file lets it),
// so the file stays readable under its old name.
bool ReencryptInPlace(Archive* archive, const BlockEntry& block, uint32_t oldKey, uint32_t newKey) {
  SectorLayout layout;
  if (!LoadSectorLayout(archive, block, oldKey, &layout)) return false;
  PageBuffer buffer(archive->sectorSize);
  if (!buffer) return false;
  uint32_t done = 0;
  if (WriteTableUnderKey(archive, layout, newKey) &&
      RekeySectors(archive, layout, buffer.bytes(), 0, layout.sectorCount, oldKey, newKey, &done)) {
    return true;
  }
  const uint32_t error = GetLastError();
  RekeySectors(archive, layout, buffer.bytes(), 0, done, newKey, oldKey, nullptr);
  WriteTableUnderKey(archive, layout, oldKey);
  SetLastError(error);
  return false;
}

bool CheckArguments(Archive* archive, const char* a, const char* b) {
  if (archive == nullptr || a == nullptr || b == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  return CheckUpdatableArchive(archive);
}

}  // namespace

bool DeleteArchiveFile(ArchiveHandle archive, const char* name) {
  if (!CheckArguments(archive, name, name)) return false;
  HashEntry* entry = FindHashEntry(archive, name, CurrentLocale);
  if (entry == nullptr) {
    SetLastError(ERR_FILE_NOT_STORED);
    return false;
  }
  if (entry->locale != CurrentLocale) return false;
  // A deleted mark rather than a free entry: other names' probe runs go on
  // through it, and no other entry has to move.
  const HashEntry saved = *entry;
  MarkHashEntryDeleted(*entry);
  if (!WriteBackHashTable(archive)) {
    const uint32_t error = GetLastError();
    *entry = saved;
    SetLastError(error);
    return false;
  }
  ListfileRemoveName(archive, name);
  return true;
}

bool RenameArchiveFile(ArchiveHandle archive, const char* oldName, const char* newName) {
  if (!CheckArguments(archive, oldName, newName)) return false;
  if (EqualNoCase(oldName, newName)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  HashEntry* old = FindHashEntry(archive, oldName, CurrentLocale);
  if (old == nullptr || old->locale != CurrentLocale) {
    SetLastError(ERR_FILE_NOT_STORED);
    return false;
  }
  const uint32_t savedError = GetLastError();
  HashEntry* target = FindFreeHashSlot(archive, newName, CurrentLocale, true);
  if (target != nullptr && IsHashEntryInUse(*target)) {
    SetLastError(savedError);
    return false;
  }
  // A full table leaves the old entry itself to carry the new name.
  if (target == nullptr) target = old;
  SetLastError(savedError);

  // Keys change with the final path component; the data follows first, so a
  // failure leaves the file readable under its old name.
  const uint32_t blockIndex = old->blockIndex;
  const BlockEntry* block =
      (blockIndex < archive->header.blockTableEntries && archive->blockTable != nullptr)
          ? &archive->blockTable[blockIndex]
          : nullptr;
  uint32_t oldKey = 0, newKey = 0;
  if (block != nullptr && (block->flags & BLOCK_ENCRYPTED) != 0) {
    oldKey = FileKey(oldName, *block);
    newKey = FileKey(newName, *block);
  }
  const bool rekey = oldKey != newKey;
  if (rekey && !ReencryptInPlace(archive, *block, oldKey, newKey)) return false;

  const HashEntry savedOld = *old;
  const HashEntry savedTarget = *target;
  target->nameHashA = HashString(newName, HASH_NAME_A);
  target->nameHashB = HashString(newName, HASH_NAME_B);
  target->locale = savedOld.locale;
  target->blockIndex = savedOld.blockIndex;
  if (target != old) MarkHashEntryDeleted(*old);
  if (!WriteBackHashTable(archive)) {
    const uint32_t error = GetLastError();
    *target = savedTarget;
    *old = savedOld;
    if (rekey) ReencryptInPlace(archive, *block, newKey, oldKey);
    SetLastError(error);
    return false;
  }
  ListfileRemoveName(archive, oldName);
  ListfileAddName(archive, newName);
  return true;
}

bool SetArchiveFileLocale(ArchiveHandle archive, const char* name, uint32_t oldLocale,
                          uint32_t newLocale) {
  if (!CheckArguments(archive, name, name)) return false;
  if (oldLocale == newLocale) return false;
  HashEntry* entry = FindHashEntry(archive, name, oldLocale);
  if (entry == nullptr || entry->locale != oldLocale) return false;
  // Two entries of one name and locale would hide one of the files.
  if (FindExactHashEntry(archive, name, newLocale) != nullptr) {
    SetLastError(ERR_ALREADY_STORED);
    return false;
  }
  entry->locale = newLocale;
  if (!WriteBackHashTable(archive)) {
    const uint32_t error = GetLastError();
    entry->locale = oldLocale;
    SetLastError(error);
    return false;
  }
  return true;
}

// True when some locale still holds the name: its line must stay listed, or
// the extractor and the key search would lose that version.
static bool NameStillStored(Archive* archive, const char* name) {
  const uint32_t n = archive->header.hashTableEntries;
  const uint32_t a = HashString(name, HASH_NAME_A);
  const uint32_t b = HashString(name, HASH_NAME_B);
  for (uint32_t step = 0, i = HashString(name, HASH_TABLE_INDEX) % n; step < n; ++step, i = (i + 1 == n) ? 0 : i + 1) {
    const HashEntry& e = archive->hashTable[i];
    if (IsHashEntryDeleted(e)) continue;
    if (IsHashEntryFree(e)) return false;
    if (e.nameHashA == a && e.nameHashB == b) return true;
  }
  return false;
}

bool ListfileRemoveName(Archive* archive, const char* name) {
  if ((archive->openFlags & UPDATE_KEEP_LISTFILE) == 0 || EqualNoCase(name, kListfileName)) return true;
  if (NameStillStored(archive, name)) return true;
  PageBuffer text;
  uint32_t size = 0;
  bool present = false;
  if (!ReadListfile(archive, 0, &text, &size, &present) || !present || size == 0) return false;
  const int64_t found = FindListedLine(text.bytes(), size, name);
  if (found < 0) return true;
  uint8_t* t = text.bytes();
  const uint32_t pos = static_cast<uint32_t>(found);
  const uint32_t length = static_cast<uint32_t>(std::strlen(name));
  uint32_t from = pos, to = pos + length;
  if (pos == 0) {
    // The first line goes with its line end (a CR LF pair, or one character).
    if (to < size) ++to;
    if (to < size && IsLineBreak(t[to])) ++to;
  } else if (to < size) {
    // A later line goes with the line end before it; its own one stays.
    --from;
    if (from >= 1 && IsLineBreak(t[from - 1])) --from;
  }
  std::memmove(t + from, t + to, size - to);
  return StoreListfile(archive, t, size - (to - from));
}
