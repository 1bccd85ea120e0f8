// Deleting, renaming and re-localing stored files: changes to hash entries,
// plus a re-encrypted copy of the data when a rename changes the file's key.
#include <cstring>

#include "archive/internal_update.h"
#include "archive/read_internal.h"
#include "archive/sorvane.h"
#include "platform/bytes.h"

namespace {

// The file's sector layout, read and checked, ready for re-keying.
struct SectorLayout {
  uint32_t dataOffset = 0; // from the block's start: a per-file header's length
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
  layout->dataOffset = where.dataOffset;
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

// The bytes the data take by their own layout: the per-file header, the
// table and every sector (or the plain bytes).
uint64_t LayoutExtent(const SectorLayout& layout) {
  const auto* offsets = reinterpret_cast<const uint32_t*>(layout.offsets.bytes());
  return static_cast<uint64_t>(layout.dataOffset) + offsets[layout.sectorCount];
}

// Copies length bytes within the archive file.
bool CopyBytes(platform::OsHandle file, uint64_t from, uint64_t to, uint32_t length, uint8_t* buffer,
               uint32_t bufferSize, bool* readFailed) {
  for (uint32_t done = 0; done < length;) {
    const uint32_t n = (length - done < bufferSize) ? length - done : bufferSize;
    if (!ReadExactAt(file, from + done, buffer, n)) {
      *readFailed = true;
      return false;
    }
    if (!WriteExactAt(file, to + done, buffer, n)) return false;
    done += n;
  }
  return true;
}

// Writes a copy of a file's data (LayoutExtent bytes) at `to`, its offset
// table and sectors re-encrypted from oldKey to newKey; a per-file header is
// copied as it is. The original is not touched. *readFailed tells the old
// data's fault from the new copy's.
bool WriteRekeyedCopy(Archive* archive, const BlockEntry& block, const SectorLayout& layout, uint32_t oldKey,
                      uint32_t newKey, uint64_t to, bool* readFailed) {
  *readFailed = false;
  const uint64_t from = ArchivePosition(archive, block.offset);
  const uint32_t dataOffset = layout.dataOffset;
  PageBuffer buffer(archive->sectorSize);
  if (!buffer) return false;
  if (!CopyBytes(archive->fileHandle, from, to, dataOffset, buffer.bytes(), archive->sectorSize, readFailed)) {
    return false;
  }
  const auto* offsets = reinterpret_cast<const uint32_t*>(layout.offsets.bytes());
  const uint32_t k = layout.sectorCount;
  if (layout.hasTable) {
    const uint32_t tableBytes = 4 * (k + 1);
    PageBuffer table(tableBytes);
    if (!table) return false;
    for (uint32_t i = 0; i <= k; ++i) platform::StoreLE32(table.bytes() + 4 * i, offsets[i]);
    EncryptBlock(table.bytes(), tableBytes, newKey - 1);
    if (!WriteExactAt(archive->fileHandle, to + dataOffset, table.bytes(), tableBytes)) return false;
  }
  for (uint32_t i = 0; i < k; ++i) {
    const uint32_t length = offsets[i + 1] - offsets[i];
    if (!ReadExactAt(archive->fileHandle, layout.dataStart + offsets[i], buffer.bytes(), length)) {
      *readFailed = true;
      return false;
    }
    DecryptBlock(buffer.bytes(), length, oldKey + i);
    EncryptBlock(buffer.bytes(), length, newKey + i);
    if (!WriteExactAt(archive->fileHandle, to + dataOffset + offsets[i], buffer.bytes(), length)) return false;
  }
  return true;
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
  if (BeginOperation(archive) == nullptr) return false;
  HashEntry* entry = FindHashEntry(archive, name, CurrentLocale);
  if (entry == nullptr) {
    SetLastError(ERR_FILE_NOT_STORED);
    return EndOperation(archive, Outcome::kRefused);
  }
  if (entry->locale != CurrentLocale) return EndOperation(archive, Outcome::kRefused);
  // A deleted mark rather than a free entry: other names' probe runs go on
  // through it, and no other entry has to move.
  if (!NoteHashChange(archive, entry)) return EndOperation(archive, Outcome::kArchiveFailed);
  const uint32_t blockIndex = entry->blockIndex;
  MarkHashEntryDeleted(*entry);
  ChangeBlockReference(archive, blockIndex, kNoBlock);
  archive->session->hashChanged = true;
  if (IsListfileName(name)) ForgetSessionList(archive);
  else ListfileRemoveName(archive, name);
  if (IsAttributesName(name)) ForgetSessionAttributes(archive);
  return EndOperation(archive, Outcome::kDone);
}

namespace {

Outcome RenameInSession(Archive* archive, const char* oldName, const char* newName) {
  HashEntry* old = FindHashEntry(archive, oldName, CurrentLocale);
  if (old == nullptr || old->locale != CurrentLocale) {
    SetLastError(ERR_FILE_NOT_STORED);
    return Outcome::kRefused;
  }
  const uint32_t savedError = GetLastError();
  HashEntry* target = FindFreeHashSlot(archive, newName, CurrentLocale, true);
  if (target != nullptr && IsHashEntryInUse(*target)) {
    SetLastError(savedError);
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
    if (extent > 0xFFFFFFFFu) {
      SetLastError(ERROR_FILE_CORRUPT);
      return Outcome::kRefused;
    }
    uint64_t position = 0;
    if (!AllocateSpace(archive, extent, &position)) return Outcome::kArchiveFailed;
    BlockEntry moved = block;
    moved.offset = static_cast<uint32_t>(position);
    moved.storedSize = static_cast<uint32_t>(extent);
    bool readFailed = false;
    if (!WriteRekeyedCopy(archive, block, layout, oldKey, FileKey(newName, moved),
                          static_cast<uint64_t>(archive->headerOffset) + position, &readFailed)) {
      const uint32_t error = GetLastError();
      ReleaseSpace(archive, position, position + extent);
      SetLastError(error);
      return readFailed ? Outcome::kRefused : Outcome::kArchiveFailed;
    }
    if (shared) {
      const uint32_t copy = archive->header.blockTableEntries++;
      archive->blockTable[copy] = moved;
      ChangeBlockReference(archive, blockIndex, copy);
      CopyAttributesItem(archive, blockIndex, copy);
      blockIndex = copy;
    } else {
      ReleaseSpace(archive, block.offset, static_cast<uint64_t>(block.offset) + block.storedSize);
      archive->blockTable[blockIndex] = moved;
    }
    NoteBlockExtent(archive, blockIndex, moved, moved.storedSize);
    archive->session->blocksChanged = true;
  }

  if (!NoteHashChange(archive, old) || !NoteHashChange(archive, target)) return Outcome::kArchiveFailed;
  const uint32_t locale = old->locale;
  target->nameHashA = HashString(newName, HASH_NAME_A);
  target->nameHashB = HashString(newName, HASH_NAME_B);
  target->locale = locale;
  target->blockIndex = blockIndex;
  if (target != old) MarkHashEntryDeleted(*old);
  archive->session->hashChanged = true;
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
  archive->session->hashChanged = true;
  if (IsListfileName(name)) ForgetSessionList(archive);
  return EndOperation(archive, Outcome::kDone);
}
