// Reading stored files: sectors, the sector offset table, per-sector keys,
// decompression, positioning and sizes. Files opened from disk go straight to
// the operating system.
#include <cstring>

#include "archive/read/provider.h"
#include "archive/read/read_internal.h"
#include "archive/format/records.h"
#include "sorvane/sorvane.h"
#include "compression/scomp.h"
#include "platform/bytes.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t kAudioMask = COMP_ADPCM_MONO | COMP_ADPCM_STEREO;

bool Fail(uint32_t error) {
  SetLastError(error);
  return false;
}

// Page memory allocated on first use, for a buffer not every read needs.
uint8_t* AllocateOnce(PageBuffer* buffer, size_t size) {
  if (!*buffer) *buffer = PageBuffer(size);
  return buffer->bytes();
}

uint32_t SectorCount(uint32_t fileSize, uint32_t sectorSize) {
  return fileSize / sectorSize + (fileSize % sectorSize != 0 ? 1 : 0);
}

// What one read needs to know about the file's stored data.
struct StoredData {
  uint64_t start = 0;      // D: file position of the table or plain data
  uint32_t sectorSize = 0;
  uint32_t sectors = 0;    // k
  uint32_t fileSize = 0;
  const uint32_t* table = nullptr;  // null: the implicit table of plain data

  uint32_t Entry(uint32_t i) const {
    if (table != nullptr) return table[i];
    const uint64_t e = static_cast<uint64_t>(i) * sectorSize;
    return e < fileSize ? static_cast<uint32_t>(e) : fileSize;
  }
  uint32_t Expected(uint32_t i) const {
    const uint32_t rest = fileSize % sectorSize;
    return (i + 1 == sectors && rest != 0) ? rest : sectorSize;
  }
};

// Decodes one sector whose stored length L is below its expected length E
// into out (room for E bytes). The rule:
//  - BLOCK_COMPRESSED: the first stored byte is the method mask.
//    * A mask with any of the library's four methods goes to DecompressSector;
//      mixed with other bits nobody can undo it: ERROR_NOT_SUPPORTED.
//    * A mask without them goes to the outside provider: the loaded library
//      takes any mask, the built-in stand-in only its own bits, anything else
//      is ERROR_NOT_SUPPORTED. A mask of 0 (stored bytes after it) can never
//      fill E bytes from fewer: ERROR_FILE_CORRUPT.
//  - BLOCK_IMPLODED alone: the stored bytes are one implode stream, decoded
//    by DecompressImplode directly. Going through DecompressSector with a
//    mask byte put in front would take a stream of E - 1 bytes for plain data.
//  - A decoder that fails or delivers other than E bytes makes the sector
//    ERROR_FILE_CORRUPT, with one exception: the audio coders drop the last
//    byte of an odd-sized sector, so an audio-coded sector (mask 0x40 or 0x80)
//    of odd E may deliver E - 1 bytes; the missing last byte reads as 0.
bool DecodeSector(uint32_t flags, uint8_t* out, uint32_t expected, const uint8_t* stored,
                  uint32_t storedLength, bool* providerTried) {
  if (storedLength == 0) return Fail(ERROR_FILE_CORRUPT);
  uint32_t produced = expected;
  if ((flags & BLOCK_COMPRESSED) == 0) {
    DecompressImplode(out, &produced, stored, storedLength);
    return produced == expected || Fail(ERROR_FILE_CORRUPT);
  }

  const uint32_t mask = stored[0];
  if (mask & COMP_MASK_OWN) {
    if (mask & ~COMP_MASK_OWN) return Fail(ERROR_NOT_SUPPORTED);
    if (!DecompressSector(out, &produced, stored, storedLength)) return Fail(ERROR_FILE_CORRUPT);
    if (produced == expected) return true;
    if ((mask & kAudioMask) != 0 && (expected & 1) != 0 && produced == expected - 1) {
      out[expected - 1] = 0;
      return true;
    }
    return Fail(ERROR_FILE_CORRUPT);
  }
  if (mask == 0) return Fail(ERROR_FILE_CORRUPT);

  // One load attempt per read: a missing library is looked for again by the
  // next read, not by every sector (and not by more than one read a second).
  if (!*providerTried) {
    LoadStormLibraryForRead();
    *providerTried = true;
  }
  const StormDecompressFn decompress = CurrentProviderDecompress();
  if (decompress == nullptr ||
      (decompress == BuiltinProviderDecompress && !BuiltinProviderSupports(mask))) {
    return Fail(ERROR_NOT_SUPPORTED);
  }
  if (!CallOutsideProvider(decompress, [&] { return decompress(out, &produced, stored, storedLength) != 0; }) ||
      produced != expected) {
    return Fail(ERROR_FILE_CORRUPT);
  }
  return true;
}

// A single unit whose stored piece is packed: one that would not be
// smaller than what it reads as is stored as it is.
bool IsPackedUnit(const BlockEntry& block) {
  return (block.flags & (BLOCK_COMPRESSED | BLOCK_IMPLODED)) != 0 && block.storedSize < block.fileSize;
}

// Decodes a single-unit file whole into file->unit, once per open file.
// The decoded bytes are bounded by kMaxSingleUnitBytes and the stored piece
// by the file's own size (a packed piece is smaller than what it unpacks to)
// and by what the archive file holds from the data start.
bool LoadUnit(ArchiveFile* file, const BlockEntry& block, const BlockData& where) {
  const uint32_t fileSize = block.fileSize;
  if (fileSize > kMaxSingleUnitBytes) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  const bool packed = IsPackedUnit(block);
  const uint32_t stored = packed ? block.storedSize : fileSize;
  if (stored > where.room) return Fail(ERROR_FILE_CORRUPT);
  auto* unit = static_cast<uint8_t*>(platform::VirtualAlloc(fileSize != 0 ? fileSize : 1));
  if (unit == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  PageBuffer pieceBuffer;
  uint8_t* piece = packed ? AllocateOnce(&pieceBuffer, stored != 0 ? stored : 1) : unit;
  uint32_t got = 0;
  bool ok = piece != nullptr || Fail(ERROR_NOT_ENOUGH_MEMORY);
  if (ok) ok = platform::ReadFileAt(file->archive->fileHandle, where.start, piece, stored, &got);
  if (ok && got < stored) ok = Fail(ERROR_FILE_CORRUPT);
  if (ok && (block.flags & BLOCK_ENCRYPTED)) DecryptBlock(piece, stored, file->fileKey);
  bool providerTried = false;
  if (ok && packed) ok = DecodeSector(block.flags, unit, fileSize, piece, stored, &providerTried);
  if (!ok) {
    const uint32_t error = GetLastError();
    platform::VirtualFree(unit);
    return Fail(error);
  }
  file->unit = unit;
  return true;
}

bool ReadDiskFile(ArchiveFile* file, void* buffer, uint32_t count, uint32_t* bytesRead,
                  OVERLAPPED* overlapped) {
  // A synchronous handle reads at the OVERLAPPED's offset when given one.
  if (overlapped != nullptr) {
    int32_t high = static_cast<int32_t>(overlapped->OffsetHigh);
    platform::SetFilePointer(file->diskHandle, static_cast<int32_t>(overlapped->Offset), &high,
                             platform::kFileBegin);
  }
  uint32_t got = 0;
  const bool ok = platform::ReadFile(file->diskHandle, buffer, count, &got);
  if (bytesRead != nullptr) *bytesRead = got;
  if (overlapped != nullptr) overlapped->InternalHigh = got;
  return ok;
}

// An update may have put another block under the open file (a replace in
// place, a compaction): what was loaded for the old one is sized for it, and
// the key was the old one's (the new data may be encrypted where the old
// were not, or keyed by another place).
void DropStaleLoads(ArchiveFile* file, const BlockEntry& block) {
  const BlockEntry& seen = file->loadedFor;
  if (seen.offset == block.offset && seen.offsetHigh == block.offsetHigh && seen.storedSize == block.storedSize &&
      seen.fileSize == block.fileSize && seen.flags == block.flags) {
    return;
  }
  platform::VirtualFree(file->sectorOffsets);
  platform::VirtualFree(file->unit);
  file->sectorOffsets = nullptr;
  file->unit = nullptr;
  file->loadedFor = block;
  if ((block.flags & BLOCK_ENCRYPTED) == 0) return;
  // The new data's key: from the handle's name while its entry still bears
  // it, else (an index, or an entry renamed in place) what the lists or the
  // offset table give. None (0, as at open) fails the reads: the old key
  // would hand out garbage.
  const HashEntry& entry = *file->hashEntry;
  uint32_t index = 0;
  char* name = file->name;
  const bool named = !ParseIndexName(name, &index) && entry.nameHashA == HashString(name, HASH_NAME_A) &&
                     entry.nameHashB == HashString(name, HASH_NAME_B);
  file->fileKey = FindFileKey(file->archive, &entry, named ? &name : nullptr);
}

// One read across sectors: the byte range [p0, rangeEnd) of the file, the
// sectors [first, end) that hold it, and where the bytes go.
struct SectorRead {
  ArchiveFile* file;
  const BlockEntry& block;
  const StoredData& data;
  uint8_t* out;
  uint32_t* delivered;
  uint32_t p0;
  uint64_t rangeEnd;
  uint32_t first;
  PageBuffer sectorScratch;
  bool providerTried = false;
};

// Delivers the part of sector s in the range from its stored bytes (already
// in memory, still encrypted when the file is).
bool DeliverSector(SectorRead& read, uint32_t s, uint8_t* stored) {
  const StoredData& data = read.data;
  const uint32_t S = data.sectorSize;
  const uint32_t storedLength = data.Entry(s + 1) - data.Entry(s);
  const uint32_t expected = data.Expected(s);
  if (read.block.flags & BLOCK_ENCRYPTED) DecryptBlock(stored, storedLength, read.file->fileKey + s);

  const uint64_t sectorStart = static_cast<uint64_t>(s) * S;
  const uint32_t from = s == read.first ? read.p0 - static_cast<uint32_t>(sectorStart) : 0;
  const uint64_t toInRange = read.rangeEnd - sectorStart;
  const uint32_t to = toInRange < expected ? static_cast<uint32_t>(toInRange) : expected;
  const uint32_t n = to - from;
  uint8_t* target = read.out + *read.delivered;

  if (storedLength == expected) {
    std::memcpy(target, stored + from, n);
  } else {
    // A sector wanted whole is decoded straight into the caller's buffer.
    const bool whole = from == 0 && n == expected;
    uint8_t* decoded = whole ? target : AllocateOnce(&read.sectorScratch, S < data.fileSize ? S : data.fileSize);
    if (decoded == nullptr) return false;
    if (!DecodeSector(read.block.flags, decoded, expected, stored, storedLength, &read.providerTried)) {
      return false;
    }
    if (!whole) std::memcpy(target, decoded + from, n);
  }
  *read.delivered += n;
  read.file->position += n;
  return true;
}

// Reads the sectors that hold count bytes from file->position, a group of
// READ_GROUP_SECTORS at a time in one request each.
bool ReadSectors(ArchiveFile* file, const BlockEntry& block, const StoredData& data, uint8_t* out,
                 uint32_t count, uint32_t* delivered) {
  const uint32_t S = data.sectorSize;
  const uint32_t p0 = file->position;
  const uint64_t rangeEnd = static_cast<uint64_t>(p0) + count;
  const uint32_t first = p0 / S;
  const uint32_t end = static_cast<uint32_t>((rangeEnd + S - 1) / S);
  const uint64_t groupLimit = static_cast<uint64_t>(READ_GROUP_SECTORS) * S;
  const uint32_t span = data.Entry(end) - data.Entry(first);
  PageBuffer groupBuffer;
  uint8_t* group = AllocateOnce(&groupBuffer, span < groupLimit ? span : groupLimit);
  if (span != 0 && group == nullptr) return false;

  SectorRead read{file, block, data, out, delivered, p0, rangeEnd, first, PageBuffer(), false};
  for (uint32_t i = first; i < end;) {
    const uint32_t j = end - i > READ_GROUP_SECTORS ? i + READ_GROUP_SECTORS : end;
    const uint32_t groupStart = data.Entry(i);
    const uint32_t groupBytes = data.Entry(j) - groupStart;
    uint32_t got = 0;
    if (!platform::ReadFileAt(file->archive->fileHandle, data.start + groupStart, group, groupBytes, &got)) {
      return false;
    }
    if (got < groupBytes) return Fail(ERROR_FILE_CORRUPT);
    for (uint32_t s = i; s < j; ++s) {
      if (!DeliverSector(read, s, group + (data.Entry(s) - groupStart))) return false;
    }
    i = j;
  }
  return true;
}

// Reads count bytes (already cut to the file's end) from file->position,
// advancing it by what is delivered.
bool ReadStored(ArchiveFile* file, const BlockEntry& block, uint8_t* out, uint32_t count,
                uint32_t* delivered) {
  const Archive* archive = file->archive;
  StoredData data;
  data.sectorSize = archive->sectorSize;
  data.fileSize = block.fileSize;
  data.sectors = SectorCount(block.fileSize, data.sectorSize);

  BlockData where;
  if (!LocateBlockData(archive, block, &where)) return false;
  data.start = where.start;
  DropStaleLoads(file, block);
  if ((block.flags & BLOCK_ENCRYPTED) != 0 && file->fileKey == 0) return Fail(ERROR_FILE_INVALID);

  // A unit neither packed nor encrypted is its bytes as they are, like
  // plain sectors: read in place, at any size, rather than loaded whole.
  if (IsSingleUnit(block.flags) && (IsPackedUnit(block) || (block.flags & BLOCK_ENCRYPTED) != 0)) {
    if (file->unit == nullptr && !LoadUnit(file, block, where)) return false;
    std::memcpy(out, file->unit + file->position, count);
    file->position += count;
    *delivered = count;
    return true;
  }
  const bool hasTable = HasSectorTable(block.flags);
  if (hasTable) {
    if (file->sectorOffsets == nullptr) {
      file->sectorOffsets = LoadSectorTable(archive, block, where, file->fileKey);
      if (file->sectorOffsets == nullptr) return false;
    }
    data.table = file->sectorOffsets;
  } else if (block.fileSize > where.room) {
    return Fail(ERROR_FILE_CORRUPT);
  }
  if (hasTable || (block.flags & BLOCK_ENCRYPTED) != 0) return ReadSectors(file, block, data, out, count, delivered);

  // Plain bytes map one to one: one request straight into the caller's
  // buffer.
  uint32_t got = 0;
  if (!platform::ReadFileAt(archive->fileHandle, data.start + file->position, out, count, &got)) return false;
  if (got < count) return Fail(ERROR_FILE_CORRUPT);
  file->position += count;
  *delivered = count;
  return true;
}

}  // namespace

bool DecodeStoredSector(uint32_t flags, uint8_t* out, uint32_t expected, const uint8_t* stored,
                        uint32_t storedLength) {
  bool providerTried = false;
  return DecodeSector(flags, out, expected, stored, storedLength, &providerTried);
}

bool LocateBlockData(const Archive* archive, const BlockEntry& block, BlockData* where, const uint64_t* knownSize) {
  uint64_t fileSize = 0;
  if (knownSize != nullptr) fileSize = *knownSize;
  else if (!platform::GetFileSize64(archive->fileHandle, &fileSize)) return false;
  const uint64_t blockStart = BlockPosition(archive, block);
  uint32_t h = 0;
  if (std::memcmp(archive->header.signature, kSignatureBn3, 4) == 0) {
    uint8_t word[4];
    uint32_t got = 0;
    if (!platform::ReadFileAt(archive->fileHandle, blockStart, word, sizeof word, &got)) return false;
    if (got < sizeof word) return Fail(ERROR_FILE_CORRUPT);
    h = platform::LoadLE32(word);
  }
  where->dataOffset = h;
  where->start = blockStart + h;
  const uint64_t room = fileSize > where->start ? fileSize - where->start : 0;
  where->room = room < 0xFFFFFFFFull ? static_cast<uint32_t>(room) : 0xFFFFFFFFu;
  return true;
}

bool ReadDataOffset(const Archive* archive, const BlockEntry& block, uint32_t* dataOffset) {
  BlockData where;
  if (!LocateBlockData(archive, block, &where)) return false;
  *dataOffset = where.dataOffset;
  return true;
}

uint32_t* LoadSectorTable(const Archive* archive, const BlockEntry& block, const BlockData& where,
                          uint32_t key) {
  const uint32_t sectors = SectorCount(block.fileSize, archive->sectorSize);
  const bool checksums = HasChecksumBlock(block.flags);
  // The file must hold the table before anything is allocated for it.
  const uint64_t plainBytes = 4 * (static_cast<uint64_t>(sectors) + 1);
  const uint64_t tableBytes64 = plainBytes + (checksums ? 4 : 0);
  if (plainBytes > where.room) {
    SetLastError(ERROR_FILE_CORRUPT);
    return nullptr;
  }
  const auto tableBytes = static_cast<uint32_t>(tableBytes64);
  // A checksum entry the file has no room for leaves the plain table.
  const auto readBytes = static_cast<uint32_t>(tableBytes64 <= where.room ? tableBytes64 : plainBytes);
  auto* table = static_cast<uint32_t*>(platform::VirtualAlloc(tableBytes));
  if (table == nullptr) return nullptr;
  uint32_t got = 0;
  if (!platform::ReadFileAt(archive->fileHandle, where.start, table, readBytes, &got) ||
      got < readBytes) {
    const uint32_t error = got < readBytes ? ERROR_FILE_CORRUPT : GetLastError();
    platform::VirtualFree(table);
    SetLastError(error);
    return nullptr;
  }
  if (block.flags & BLOCK_ENCRYPTED) DecryptBlock(table, readBytes, key - 1);
  for (uint32_t i = 0; i < readBytes / 4; ++i) table[i] = platform::LoadLE32(&table[i]);
  bool withChecksums = false;
  const bool valid = SectorTableReads(table, readBytes / 4, sectors, block.fileSize, archive->sectorSize, where.room,
                                      checksums, &withChecksums);
  // A flag over a plain table: its checksum block is empty.
  if (valid && checksums && !withChecksums) table[sectors + 1] = table[sectors];
  if (!valid) {
    platform::VirtualFree(table);
    SetLastError(ERROR_FILE_CORRUPT);
    return nullptr;
  }
  return table;
}

bool DataExtent(const Archive* archive, const BlockEntry& block, uint32_t key, uint32_t* extent,
                const uint64_t* fileSize) {
  BlockData where;
  if (!LocateBlockData(archive, block, &where, fileSize)) return false;
  uint64_t end = block.fileSize;
  if (HasSectorTable(block.flags)) {
    uint32_t* table = LoadSectorTable(archive, block, where, key);
    if (table == nullptr) return false;
    end = table[SectorCount(block.fileSize, archive->sectorSize) + (HasChecksumBlock(block.flags) ? 1 : 0)];
    platform::VirtualFree(table);
  } else if (IsSingleUnit(block.flags) && (block.flags & (BLOCK_COMPRESSED | BLOCK_IMPLODED)) != 0 &&
             block.storedSize < block.fileSize) {
    // A packed unit has no layout of its own to measure: its stored size is
    // all there is, and the file must hold it.
    end = block.storedSize;
    if (end > where.room) return Fail(ERROR_FILE_CORRUPT);
  }
  end += where.dataOffset;
  if (end > 0xFFFFFFFFull) return Fail(ERROR_FILE_CORRUPT);
  *extent = static_cast<uint32_t>(end);
  return true;
}

namespace {

// The block of a hash entry and, when its sector table is encrypted, the
// file's key (0 otherwise).
bool EntryBlockAndKey(Archive* archive, const HashEntry& entry, const BlockEntry** block, uint32_t* key) {
  if (archive->blockTable == nullptr || entry.blockIndex >= archive->header.blockTableEntries) {
    return Fail(ERROR_FILE_INVALID);
  }
  *block = &archive->blockTable[entry.blockIndex];
  *key = 0;
  if (((*block)->flags & BLOCK_ENCRYPTED) && HasSectorTable((*block)->flags)) {
    // The table's own first words are the cheaper way to its key; names are
    // searched only when they fail.
    *key = DetectTableKey(archive, **block);
    if (*key == 0) *key = FindFileKey(archive, &entry, nullptr);
    if (*key == 0) return Fail(ERROR_FILE_INVALID);
  }
  return true;
}

// A single unit is one piece: stored whole, imploded whole, or one mask
// byte and the packed file.
uint32_t SingleUnitMethods(const Archive* archive, const BlockEntry& block, const BlockData& where,
                           uint32_t key) {
  if (block.storedSize >= block.fileSize) return METHOD_SECTOR_STORED;
  if (block.flags & BLOCK_IMPLODED) return COMP_IMPLODE;
  uint8_t head[4] = {};
  const uint32_t want = block.storedSize < 4 ? block.storedSize : 4;
  uint32_t got = 0;
  if (want == 0 || !platform::ReadFileAt(archive->fileHandle, where.start, head, want, &got) || got < want) {
    if (want == 0 || got < want) SetLastError(ERROR_FILE_CORRUPT);
    return 0xFFFFFFFFu;
  }
  if ((block.flags & BLOCK_ENCRYPTED) && want == 4) DecryptBlock(head, 4, key);
  return head[0];
}

bool CheckedHashEntry(ArchiveHandle archive, uint32_t hashIndex) {
  if (archive == nullptr || !IsOpenArchive(archive)) return Fail(ERROR_INVALID_PARAMETER);
  if (hashIndex >= archive->header.hashTableEntries) return Fail(ERROR_FILE_NOT_FOUND);
  return true;
}

}  // namespace

bool StoredExtent(Archive* archive, const HashEntry& entry, uint32_t* extent, const uint64_t* fileSize) {
  const BlockEntry* block = nullptr;
  uint32_t key = 0;
  return EntryBlockAndKey(archive, entry, &block, &key) && DataExtent(archive, *block, key, extent, fileSize);
}

uint32_t GetCompressionMethods(ArchiveHandle archive, uint32_t hashIndex) {
  return CompressionMethodsAt(archive, hashIndex, nullptr);
}

uint32_t CompressionMethodsAt(Archive* archive, uint32_t hashIndex, const uint64_t* fileSize) {
  if (!CheckedHashEntry(archive, hashIndex)) return 0xFFFFFFFFu;
  const BlockEntry* block = nullptr;
  uint32_t key = 0;
  if (!EntryBlockAndKey(archive, archive->hashTable[hashIndex], &block, &key)) return 0xFFFFFFFFu;
  if ((block->flags & (BLOCK_COMPRESSED | BLOCK_IMPLODED)) == 0) return 0;
  BlockData where;
  if (!LocateBlockData(archive, *block, &where, fileSize)) return 0xFFFFFFFFu;
  if (IsSingleUnit(block->flags)) {
    // A unit has no offset table to recover its key from: only its name gives it.
    if ((block->flags & BLOCK_ENCRYPTED) && key == 0) {
      key = FindFileKey(archive, &archive->hashTable[hashIndex], nullptr);
      if (key == 0) {
        SetLastError(ERROR_FILE_INVALID);
        return 0xFFFFFFFFu;
      }
    }
    return SingleUnitMethods(archive, *block, where, key);
  }
  uint32_t* table = LoadSectorTable(archive, *block, where, key);
  if (table == nullptr) return 0xFFFFFFFFu;
  const uint32_t S = archive->sectorSize;
  const uint32_t sectors = SectorCount(block->fileSize, S);
  uint32_t methods = 0;
  for (uint32_t s = 0; s < sectors; ++s) {
    const uint32_t stored = table[s + 1] - table[s];
    const uint32_t left = block->fileSize - s * S;
    if (stored == (left < S ? left : S)) {
      methods |= METHOD_SECTOR_STORED;
      continue;
    }
    if (block->flags & BLOCK_IMPLODED) {
      methods |= COMP_IMPLODE;
      continue;
    }
    // A compressed sector begins with its method mask; the cipher's first
    // word depends on nothing after it.
    uint8_t head[4] = {};
    const uint32_t want = stored < 4 ? stored : 4;
    uint32_t got = 0;
    const bool read = want != 0 && platform::ReadFileAt(archive->fileHandle,
                                                        static_cast<uint64_t>(where.start) + table[s], head,
                                                        want, &got);
    if (!read || got < want) {
      const uint32_t error = read || want == 0 ? ERROR_FILE_CORRUPT : GetLastError();
      platform::VirtualFree(table);
      SetLastError(error);
      return 0xFFFFFFFFu;
    }
    if ((block->flags & BLOCK_ENCRYPTED) && want == 4) DecryptBlock(head, 4, key + s);
    methods |= head[0];
  }
  platform::VirtualFree(table);
  return methods;
}

uint64_t ArchiveContentEnd(Archive* archive) {
  const ArchiveHeader& h = archive->header;
  uint64_t end = archive->extended ? kExtendedHeaderBytes : kHeaderBytes;
  auto reach = [&end](uint64_t e) {
    if (e > end) end = e;
  };
  reach(HashTablePos(h) + static_cast<uint64_t>(h.hashTableEntries) * kEntryBytes);
  if (h.blockTableEntries != 0) reach(BlockTablePos(h) + static_cast<uint64_t>(h.blockTableEntries) * kEntryBytes);
  if (archive->extended && h.highOffsetTablePos != 0 && h.blockTableEntries != 0) {
    reach(h.highOffsetTablePos + static_cast<uint64_t>(h.blockTableEntries) * 2);
  }
  uint64_t fileSize = 0;
  platform::GetFileSize64(archive->fileHandle, &fileSize);
  const uint64_t fileEnd = fileSize > archive->headerOffset ? fileSize - archive->headerOffset : 0;
  const uint32_t error = GetLastError();
  for (uint32_t i = 0; i < h.hashTableEntries && archive->blockTable != nullptr; ++i) {
    const HashEntry& e = archive->hashTable[i];
    if (IsHashEntryFree(e) || e.blockIndex >= h.blockTableEntries) continue;
    const BlockEntry& block = archive->blockTable[e.blockIndex];
    uint32_t extent = block.storedSize;
    StoredExtent(archive, e, &extent, &fileSize);
    const uint64_t blockEnd = BlockOffset(block) + extent;
    reach(blockEnd < fileEnd ? blockEnd : fileEnd);
  }
  SetLastError(error);
  return end;
}

uint32_t GetStoredExtent(ArchiveHandle archive, uint32_t hashIndex) {
  return StoredExtentAt(archive, hashIndex, nullptr);
}

uint32_t StoredExtentAt(Archive* archive, uint32_t hashIndex, const uint64_t* fileSize) {
  if (!CheckedHashEntry(archive, hashIndex)) return 0xFFFFFFFFu;
  uint32_t extent = 0;
  return StoredExtent(archive, archive->hashTable[hashIndex], &extent, fileSize) ? extent : 0xFFFFFFFFu;
}

bool ReadArchiveFile(FileHandle file, void* buffer, uint32_t count, uint32_t* bytesRead,
                     OVERLAPPED* overlapped) {
  if (file == nullptr || buffer == nullptr || !IsOpenFile(file)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (file->archive == nullptr) return ReadDiskFile(file, buffer, count, bytesRead, overlapped);

  if (overlapped != nullptr &&
      (overlapped->Internal != 0 || overlapped->InternalHigh != 0 || overlapped->Offset != 0 ||
       overlapped->OffsetHigh != 0 || overlapped->hEvent != nullptr)) {
    // A move that fails leaves the read at the current position.
    SetArchiveFilePointer(file, static_cast<int32_t>(overlapped->Offset),
                          reinterpret_cast<int32_t*>(&overlapped->OffsetHigh), 0);
  }
  auto report = [&](uint32_t n) {
    if (bytesRead != nullptr) *bytesRead = n;
    if (overlapped != nullptr) overlapped->InternalHigh = n;
  };
  if (count == 0) {
    report(0);
    return true;
  }
  const BlockEntry* block = BlockOfFile(file);
  if (block == nullptr) {
    report(0);
    return Fail(ERROR_FILE_INVALID);
  }
  if (file->position == block->fileSize) {
    report(0);
    return true;
  }
  // Only a shorter file put under the handle (a replace) leaves its
  // position past the end: nothing there to read, and said so.
  if (file->position > block->fileSize) {
    report(0);
    return Fail(ERROR_FILE_INVALID);
  }
  const uint32_t left = block->fileSize - file->position;
  uint32_t delivered = 0;
  const bool ok = ReadStored(file, *block, static_cast<uint8_t*>(buffer),
                             count < left ? count : left, &delivered);
  report(delivered);
  return ok;
}

uint32_t SetArchiveFilePointer(FileHandle file, int32_t distance, int32_t* distanceHigh,
                               uint32_t method) {
  if (file == nullptr || !IsOpenFile(file)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0xFFFFFFFFu;
  }
  if (file->archive == nullptr) {
    return platform::SetFilePointer(file->diskHandle, distance, distanceHigh, method);
  }
  const BlockEntry* block = BlockOfFile(file);
  if (block == nullptr) {
    SetLastError(ERROR_FILE_INVALID);
    return 0xFFFFFFFFu;
  }
  int64_t base = 0;
  if (method == 1) base = file->position;
  if (method == 2) base = block->fileSize;
  const auto inside = [&](int64_t target) { return target >= 0 && target <= static_cast<int64_t>(block->fileSize); };
  int64_t target = base + distance;
  // A signed 32-bit distance cannot reach past 2 GiB of a larger file; with
  // the high word given, the two words are one 64-bit distance, as for the
  // system's files. Where both readings land inside the file they agree (a
  // file is shorter than the 4 GiB between them), so callers that pass a
  // high word they never set move as before.
  // A high word other than 0 and -1 moves by 4 GiB or more, out of any file.
  if (!inside(target) && distanceHigh != nullptr && (*distanceHigh == 0 || *distanceHigh == -1)) {
    target = base + static_cast<int64_t>(static_cast<uint32_t>(distance)) - (*distanceHigh == 0 ? 0 : (int64_t{1} << 32));
  }
  if (!inside(target)) return 0xFFFFFFFFu;
  file->position = static_cast<uint32_t>(target);
  if (distanceHigh != nullptr) *distanceHigh = 0;
  return file->position;
}

uint32_t GetArchiveFileSize(FileHandle file, uint32_t* sizeHigh) {
  if (file == nullptr || !IsOpenFile(file)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0xFFFFFFFFu;
  }
  if (file->archive == nullptr) return platform::GetFileSize(file->diskHandle, sizeHigh);
  const BlockEntry* block = BlockOfFile(file);
  if (block == nullptr) {
    SetLastError(ERROR_FILE_INVALID);
    return 0xFFFFFFFFu;
  }
  if (sizeHigh != nullptr) *sizeHigh = 0;
  return block->fileSize;
}
