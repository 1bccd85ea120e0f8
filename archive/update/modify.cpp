// Deleting, renaming and re-localing stored files: changes to hash entries,
// plus a re-encrypted copy of the data when a rename changes the file's key.
#include <cstring>

#include "archive/update/update_internal.h"
#include "archive/read/read_internal.h"
#include "sorvane/sorvane.h"
#include "platform/bytes.h"

bool LoadSectorLayout(Archive* archive, const BlockEntry& block, uint32_t key, SectorLayout* layout) {
  BlockData where;
  if (!LocateBlockData(archive, block, &where)) return false;
  const uint32_t sectorSize = archive->sectorSize;
  const uint32_t available = where.room;
  const uint64_t k = (static_cast<uint64_t>(block.fileSize) + sectorSize - 1) / sectorSize;
  const bool checksums = HasChecksumBlock(block.flags);
  layout->hasTable = HasSectorTable(block.flags);
  layout->dataOffset = where.dataOffset;
  layout->dataStart = where.start;
  const uint64_t pieces = IsSingleUnit(block.flags) ? 1 : k + (checksums ? 1 : 0);
  uint32_t unitBytes = block.fileSize;
  if (IsSingleUnit(block.flags) && (block.flags & (BLOCK_COMPRESSED | BLOCK_IMPLODED)) != 0 &&
      block.storedSize < block.fileSize) {
    unitBytes = block.storedSize;
  }
  const uint64_t plainBytes = 4 * (k + 1);
  const uint64_t needed = layout->hasTable ? plainBytes : unitBytes;
  // The file must hold the table before anything is allocated for it.
  if (needed > available) {
    SetLastError(ERROR_FILE_CORRUPT);
    return false;
  }
  layout->sectorCount = static_cast<uint32_t>(pieces);
  layout->offsets = PageBuffer(static_cast<size_t>(4 * (pieces + 1)));
  if (!layout->offsets) return false;
  auto* offsets = reinterpret_cast<uint32_t*>(layout->offsets.bytes());
  if (layout->hasTable) {
    const uint64_t tableBytes = 4 * (pieces + 1);
    // As readers take it: a checksum entry the file has no room for leaves
    // the plain table.
    const auto readBytes = static_cast<uint32_t>(tableBytes <= available ? tableBytes : plainBytes);
    if (!ReadExactAt(archive->fileHandle, layout->dataStart, offsets, readBytes)) return false;
    DecryptBlock(offsets, readBytes, key - 1);
    for (uint32_t i = 0; i < readBytes / 4; ++i) offsets[i] = platform::LoadLE32(&offsets[i]);
    bool withChecksums = false;
    const bool valid = SectorTableReads(offsets, readBytes / 4, static_cast<uint32_t>(k), block.fileSize, sectorSize,
                                        available, checksums, &withChecksums);
    // A flag over a plain table: the file has no checksum piece to copy.
    if (checksums && !withChecksums) layout->sectorCount = static_cast<uint32_t>(k);
    if (!valid) {
      SetLastError(ERROR_FILE_CORRUPT);
      return false;
    }
  } else if (IsSingleUnit(block.flags)) {
    offsets[0] = 0;
    offsets[1] = unitBytes;
  } else {
    for (uint64_t i = 0; i < k; ++i) offsets[i] = static_cast<uint32_t>(i * sectorSize);
    offsets[k] = block.fileSize;
  }
  return true;
}

// The bytes the data take by their own layout: the per-file header, the
// table and every piece (or the plain bytes).
uint64_t LayoutExtent(const SectorLayout& layout) {
  const auto* offsets = reinterpret_cast<const uint32_t*>(layout.offsets.bytes());
  return static_cast<uint64_t>(layout.dataOffset) + offsets[layout.sectorCount];
}

namespace {

// Copies length bytes from the archive file to target.
bool CopyBytes(platform::OsHandle file, platform::OsHandle target, uint64_t from, uint64_t to, uint32_t length,
               uint8_t* buffer, uint32_t bufferSize, bool* readFailed) {
  for (uint32_t done = 0; done < length;) {
    const uint32_t n = (length - done < bufferSize) ? length - done : bufferSize;
    if (!ReadExactAt(file, from + done, buffer, n)) {
      *readFailed = true;
      return false;
    }
    if (!WriteExactAt(target, to + done, buffer, n)) return false;
    done += n;
  }
  return true;
}

}  // namespace

// Writes a copy of a file's data (LayoutExtent bytes) at `to`, its offset
// table and sectors re-encrypted from oldKey to newKey; a per-file header is
// copied as it is. The original is not touched. *readFailed tells the old
// data's fault from the new copy's.
bool WriteRekeyedCopy(Archive* archive, const BlockEntry& block, const SectorLayout& layout, uint32_t oldKey,
                      uint32_t newKey, platform::OsHandle target, uint64_t to, bool* readFailed) {
  *readFailed = false;
  const uint64_t from = BlockPosition(archive, block);
  const uint32_t dataOffset = layout.dataOffset;
  const auto* offsets = reinterpret_cast<const uint32_t*>(layout.offsets.bytes());
  const uint32_t k = layout.sectorCount;
  // Pieces are re-keyed whole: a sector, a checksum block or a single unit.
  uint32_t largest = archive->sectorSize;
  for (uint32_t i = 0; i < k; ++i) {
    if (offsets[i + 1] - offsets[i] > largest) largest = offsets[i + 1] - offsets[i];
  }
  if (largest > kMaxSingleUnitBytes) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  PageBuffer buffer(largest);
  if (!buffer) return false;
  if (!CopyBytes(archive->fileHandle, target, from, to, dataOffset, buffer.bytes(), largest, readFailed)) {
    return false;
  }
  if (layout.hasTable) {
    const uint32_t tableBytes = 4 * (k + 1);
    PageBuffer table(tableBytes);
    if (!table) return false;
    for (uint32_t i = 0; i <= k; ++i) platform::StoreLE32(table.bytes() + 4 * i, offsets[i]);
    EncryptBlock(table.bytes(), tableBytes, newKey - 1);
    if (!WriteExactAt(target, to + dataOffset, table.bytes(), tableBytes)) return false;
  }
  for (uint32_t i = 0; i < k; ++i) {
    const uint32_t length = offsets[i + 1] - offsets[i];
    if (!ReadExactAt(archive->fileHandle, layout.dataStart + offsets[i], buffer.bytes(), length)) {
      *readFailed = true;
      return false;
    }
    DecryptBlock(buffer.bytes(), length, oldKey + i);
    EncryptBlock(buffer.bytes(), length, newKey + i);
    if (!WriteExactAt(target, to + dataOffset + offsets[i], buffer.bytes(), length)) return false;
  }
  return true;
}

namespace {

// Room for a copy of a block's data that takes `extent` bytes, and the entry
// that names the copy there. Refused when no stored size can say it.
Outcome ClaimRoomForCopy(Archive* archive, const BlockEntry& block, uint64_t extent, uint64_t* position,
                         BlockEntry* moved) {
  if (extent > 0xFFFFFFFFu) {
    SetLastError(ERROR_FILE_CORRUPT);
    return Outcome::kRefused;
  }
  if (!AllocateSpace(archive, extent, position)) return Outcome::kArchiveFailed;
  *moved = block;
  SetBlockOffset(*moved, *position);
  moved->storedSize = static_cast<uint32_t>(extent);
  return Outcome::kDone;
}

// A copy that failed gives its room back. A failed read is the file's fault,
// so only that file is refused; a failed write is the archive's.
Outcome DropFailedCopy(Archive* archive, uint64_t position, uint64_t extent, bool readFailed) {
  const uint32_t error = GetLastError();
  ReleaseSpace(archive, position, position + extent);
  SetLastError(error);
  return readFailed ? Outcome::kRefused : Outcome::kArchiveFailed;
}

}  // namespace

Outcome MoveBlockData(Archive* archive, uint32_t index, const HashEntry& entry) {
  const BlockEntry block = archive->blockTable[index];
  const uint32_t adjusted = BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED;
  const bool rekeyed = (block.flags & adjusted) == adjusted;
  SectorLayout layout;
  uint32_t key = 0;
  uint64_t extent = KnownExtent(archive, index);
  if (rekeyed) {
    key = FindFileKey(archive, &entry, nullptr);
    if (key == 0) SetLastError(ERROR_FILE_INVALID);
    if (key == 0 || !LoadSectorLayout(archive, block, key, &layout)) return Outcome::kRefused;
    extent = LayoutExtent(layout);
  }
  // A stored size that is all there is to go by may lie: the copy takes
  // no more than the file holds.
  uint64_t fileSize = 0;
  if (!platform::GetFileSize64(archive->fileHandle, &fileSize)) return Outcome::kArchiveFailed;
  if (BlockPosition(archive, block) + extent > fileSize) {
    SetLastError(ERROR_FILE_CORRUPT);
    return Outcome::kRefused;
  }
  uint64_t position = 0;
  BlockEntry moved;
  const Outcome claimed = ClaimRoomForCopy(archive, block, extent, &position, &moved);
  if (claimed != Outcome::kDone) return claimed;
  const uint64_t to = static_cast<uint64_t>(archive->headerOffset) + position;
  bool readFailed = false;
  bool copied = false;
  if (rekeyed) {
    copied = WriteRekeyedCopy(archive, block, layout, key, MovedKey(key, block, moved), archive->fileHandle, to,
                              &readFailed);
  } else {
    const uint32_t chunk = 65536;
    PageBuffer buffer(chunk);
    copied = buffer && CopyBytes(archive->fileHandle, archive->fileHandle, BlockPosition(archive, block), to,
                                 moved.storedSize, buffer.bytes(), chunk, &readFailed);
  }
  if (!copied) return DropFailedCopy(archive, position, extent, readFailed);
  ReleaseBlockSpace(archive, index);
  archive->blockTable[index] = moved;
  NoteBlockExtent(archive, index, moved, moved.storedSize);
  SessionOf(archive)->blocksChanged = true;
  return Outcome::kDone;
}

namespace {

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
  if (BeginOperation(archive) == nullptr) return false;
  const uint32_t locale = GetLocale();
  HashEntry* entry = FindHashEntry(archive, name, locale);
  if (entry == nullptr) {
    SetLastError(ERR_FILE_NOT_STORED);
    return EndOperation(archive, Outcome::kRefused);
  }
  if (entry->locale != locale) return EndOperation(archive, Outcome::kRefused);
  // A deleted mark rather than a free entry: other names' probe runs go on
  // through it, and no other entry has to move.
  if (!NoteHashChange(archive, entry)) return EndOperation(archive, Outcome::kArchiveFailed);
  const uint32_t blockIndex = entry->blockIndex;
  MarkHashEntryDeleted(*entry);
  ChangeBlockReference(archive, blockIndex, kNoBlock);
  SessionOf(archive)->hashChanged = true;
  if (IsListfileName(name)) ForgetSessionList(archive);
  else ListfileRemoveName(archive, name);
  if (IsAttributesName(name)) ForgetSessionAttributes(archive);
  return EndOperation(archive, Outcome::kDone);
}

bool DeleteArchiveEntry(ArchiveHandle archive, uint32_t hashIndex) {
  if (!CheckArguments(archive, "", "")) return false;
  if (BeginOperation(archive) == nullptr) return false;
  if (hashIndex >= archive->header.hashTableEntries || !IsHashEntryInUse(archive->hashTable[hashIndex])) {
    SetLastError(ERR_FILE_NOT_STORED);
    return EndOperation(archive, Outcome::kRefused);
  }
  HashEntry* entry = &archive->hashTable[hashIndex];
  if (!NoteHashChange(archive, entry)) return EndOperation(archive, Outcome::kArchiveFailed);
  const auto named = [&](const char* name) {
    return entry->nameHashA == HashString(name, HASH_NAME_A) && entry->nameHashB == HashString(name, HASH_NAME_B);
  };
  // The caller need not know the name; the session's copies of the two
  // internal files must not outlive them all the same.
  if (named("(listfile)")) ForgetSessionList(archive);
  if (named(kAttributesName)) ForgetSessionAttributes(archive);
  const uint32_t blockIndex = entry->blockIndex;
  MarkHashEntryDeleted(*entry);
  ChangeBlockReference(archive, blockIndex, kNoBlock);
  SessionOf(archive)->hashChanged = true;
  return EndOperation(archive, Outcome::kDone);
}

namespace {

Outcome RenameInSession(Archive* archive, const char* oldName, const char* newName) {
  const uint32_t current = GetLocale();
  HashEntry* old = FindHashEntry(archive, oldName, current);
  if (old == nullptr || old->locale != current) {
    SetLastError(ERR_FILE_NOT_STORED);
    return Outcome::kRefused;
  }
  const uint32_t savedError = GetLastError();
  HashEntry* target = FindFreeHashSlot(archive, newName, current, true);
  if (target != nullptr && IsHashEntryInUse(*target)) {
    // Said, rather than leaving whatever error came before: a caller could
    // not otherwise tell a name already taken from any other failure.
    SetLastError(ERR_ALREADY_STORED);
    return Outcome::kRefused;
  }
  // A full table leaves the old entry itself to carry the new name.
  if (target == nullptr) target = old;
  SetLastError(savedError);

  // Keys change with the final path component. The data then gets a copy
  // under the new key in free space; the old copy stays until the commit.
  uint32_t blockIndex = old->blockIndex;
  const uint32_t count = archive->header.blockTableEntries;
  if (blockIndex < count && (archive->blockTable[blockIndex].flags & BLOCK_ENCRYPTED) != 0 &&
      FileKey(oldName, archive->blockTable[blockIndex]) != FileKey(newName, archive->blockTable[blockIndex])) {
    const BlockEntry block = archive->blockTable[blockIndex];
    const uint32_t oldKey = FileKey(oldName, block);
    SectorLayout layout;
    if (!LoadSectorLayout(archive, block, oldKey, &layout)) return Outcome::kRefused;
    // Another entry naming the same block keeps the old bytes.
    const bool shared = BlockReferences(archive, blockIndex) > 1;
    if (shared && !ReserveBlockEntry(archive)) return Outcome::kArchiveFailed;
    // The copy takes what the data take, whatever the stored size says.
    const uint64_t extent = LayoutExtent(layout);
    uint64_t position = 0;
    BlockEntry moved;
    const Outcome claimed = ClaimRoomForCopy(archive, block, extent, &position, &moved);
    if (claimed != Outcome::kDone) return claimed;
    bool readFailed = false;
    if (!WriteRekeyedCopy(archive, block, layout, oldKey, FileKey(newName, moved), archive->fileHandle,
                          static_cast<uint64_t>(archive->headerOffset) + position, &readFailed)) {
      return DropFailedCopy(archive, position, extent, readFailed);
    }
    if (shared) {
      const uint32_t copy = archive->header.blockTableEntries++;
      archive->blockTable[copy] = moved;
      ChangeBlockReference(archive, blockIndex, copy);
      CopyAttributesItem(archive, blockIndex, copy);
      blockIndex = copy;
    } else {
      ReleaseBlockSpace(archive, blockIndex);
      archive->blockTable[blockIndex] = moved;
    }
    NoteBlockExtent(archive, blockIndex, moved, moved.storedSize);
    SessionOf(archive)->blocksChanged = true;
  }

  if (!NoteHashChange(archive, old) || !NoteHashChange(archive, target)) return Outcome::kArchiveFailed;
  const uint32_t locale = old->locale;
  target->nameHashA = HashString(newName, HASH_NAME_A);
  target->nameHashB = HashString(newName, HASH_NAME_B);
  target->locale = locale;
  target->blockIndex = blockIndex;
  if (target != old) MarkHashEntryDeleted(*old);
  SessionOf(archive)->hashChanged = true;
  if (IsListfileName(oldName) || IsListfileName(newName)) {
    ForgetSessionList(archive);
  } else {
    ListfileRemoveName(archive, oldName);
    ListfileAddName(archive, newName);
  }
  if (IsAttributesName(oldName) || IsAttributesName(newName)) ForgetSessionAttributes(archive);
  return Outcome::kDone;
}

}  // namespace

bool RenameArchiveFile(ArchiveHandle archive, const char* oldName, const char* newName) {
  if (!CheckArguments(archive, oldName, newName)) return false;
  if (EqualNoCase(oldName, newName)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (BeginOperation(archive) == nullptr) return false;
  return EndOperation(archive, RenameInSession(archive, oldName, newName));
}

bool SetArchiveFileLocale(ArchiveHandle archive, const char* name, uint32_t oldLocale,
                          uint32_t newLocale) {
  if (!CheckArguments(archive, name, name)) return false;
  if (oldLocale == newLocale) return false;
  if (!CheckEntryLocale(newLocale)) return false;
  if (BeginOperation(archive) == nullptr) return false;
  HashEntry* entry = FindHashEntry(archive, name, oldLocale);
  if (entry == nullptr || entry->locale != oldLocale) return EndOperation(archive, Outcome::kRefused);
  // Two entries of one name and locale would hide one of the files.
  if (FindExactHashEntry(archive, name, newLocale) != nullptr) {
    SetLastError(ERR_ALREADY_STORED);
    return EndOperation(archive, Outcome::kRefused);
  }
  if (!NoteHashChange(archive, entry)) return EndOperation(archive, Outcome::kArchiveFailed);
  entry->locale = newLocale;
  SessionOf(archive)->hashChanged = true;
  if (IsListfileName(name)) ForgetSessionList(archive);
  return EndOperation(archive, Outcome::kDone);
}
