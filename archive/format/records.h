// The archive's records as they are on disk: header, hash and block
// entries, and what their words mean. Not part of the public interface.
#pragma once

#include <cstdint>

#include "sorvane/sorvane.h"

constexpr uint32_t kMaxPath = 260;
constexpr uint32_t kHeaderBytes = 32;
// The extended header: the classic 32 bytes, then the high-offset table's
// position and the high words of both table positions.
constexpr uint32_t kExtendedHeaderBytes = 44;
constexpr uint32_t kUserDataHeaderBytes = 16;
constexpr uint32_t kEntryBytes = 16;
constexpr uint32_t kBn3FileHeaderSize = 324;
constexpr uint32_t READ_GROUP_SECTORS = 16;

// Win32's "file size exceeds the limit": the archive's 32-bit offsets and
// sizes cannot describe the result.
constexpr uint32_t kErrorFileTooLarge = 223;

// An empty hash entry has 0xFFFFFFFF in some word and ends every probe run.
// A deleted entry is a mark with block index kDeletedBlockIndex, which probes
// pass over so that the names behind it stay reachable.
constexpr uint32_t kFreeWord = 0xFFFFFFFFu;
constexpr uint32_t kDeletedBlockIndex = 0xFFFFFFFEu;

constexpr uint8_t kSignatureMpq[4] = {'M', 'P', 'Q', 0x1A};
constexpr uint8_t kSignatureBn3[4] = {'B', 'N', '3', 0x1A};
constexpr uint8_t kSignatureUserData[4] = {'M', 'P', 'Q', 0x1B};

struct ArchiveHeader {
  uint8_t signature[4];
  uint32_t headerSize;
  uint32_t archiveSize;
  uint16_t formatVersion;
  uint16_t sectorSizeShift;
  uint32_t hashTableOffset;
  uint32_t blockTableOffset;
  uint32_t hashTableEntries;
  uint32_t blockTableEntries;
  // Extended header (formatVersion 1 to 3, headerSize >= 44); zero otherwise.
  uint64_t highOffsetTablePos;
  uint16_t hashTablePosHigh;
  uint16_t blockTablePosHigh;
};

// Explicit little-endian (de)serialisation of the 32 header bytes.
ArchiveHeader ParseArchiveHeader(const uint8_t bytes[kHeaderBytes]);
void SerializeArchiveHeader(const ArchiveHeader& header, uint8_t bytes[kHeaderBytes]);
// The 12 bytes that follow them in an extended header.
void ParseExtendedHeader(const uint8_t bytes[kExtendedHeaderBytes], ArchiveHeader* header);
void SerializeExtendedHeader(const ArchiveHeader& header, uint8_t bytes[kExtendedHeaderBytes]);
// Versions past 3 name no layout: archives made to resist editors carry junk
// in both words, and the readers they are made for take the classic header.
constexpr uint16_t kLastFormatVersion = 3;
inline bool HasExtendedHeader(const ArchiveHeader& h) {
  return h.formatVersion >= 1 && h.formatVersion <= kLastFormatVersion && h.headerSize >= kExtendedHeaderBytes;
}
// A header read as classic although it names an extended one (its
// extended fields were junk) is written with the classic version, so that
// they are never read again: as the file grows they could come to point
// inside it.
inline void SettleFormatVersion(ArchiveHeader& h, bool readAsExtended) {
  if (!readAsExtended && HasExtendedHeader(h)) h.formatVersion = 0;
}
inline uint64_t HashTablePos(const ArchiveHeader& h) {
  return (static_cast<uint64_t>(h.hashTablePosHigh) << 32) | h.hashTableOffset;
}
inline uint64_t BlockTablePos(const ArchiveHeader& h) {
  return (static_cast<uint64_t>(h.blockTablePosHigh) << 32) | h.blockTableOffset;
}

struct HashEntry {
  uint32_t nameHashA;
  uint32_t nameHashB;
  uint32_t locale;
  uint32_t blockIndex;
};

// In memory a block entry also carries its high-offset table word; on disk
// it is the 16 bytes of the first four fields.
struct BlockEntry {
  uint32_t offset;
  uint32_t storedSize;
  uint32_t fileSize;
  uint32_t flags;
  uint16_t offsetHigh = 0;
  uint16_t unused = 0;
};

static_assert(sizeof(HashEntry) == kEntryBytes && sizeof(BlockEntry) == kEntryBytes + 4);

inline uint64_t BlockOffset(const BlockEntry& b) { return (static_cast<uint64_t>(b.offsetHigh) << 32) | b.offset; }
inline void SetBlockOffset(BlockEntry& b, uint64_t offset) {
  b.offset = static_cast<uint32_t>(offset);
  b.offsetHigh = static_cast<uint16_t>(offset >> 32);
}
// Data in one piece, without a sector offset table.
inline bool IsSingleUnit(uint32_t flags) { return (flags & BLOCK_SINGLE_UNIT) != 0; }
inline bool HasSectorTable(uint32_t flags) {
  return (flags & (BLOCK_COMPRESSED | BLOCK_IMPLODED)) != 0 && !IsSingleUnit(flags);
}
// Sectors plus a checksum block: the offset table has one entry more.
inline bool HasChecksumBlock(uint32_t flags) { return HasSectorTable(flags) && (flags & BLOCK_SECTOR_CRC) != 0; }

// The mark written for a deleted entry. It holds no 0xFFFFFFFF word, so
// readers that know no deletion mark take it for another name's entry and
// probe on instead of stopping there; readers that know block index
// 0xFFFFFFFE as deleted pass over it too. No name can match it: lookups test
// the block index before the name.
constexpr HashEntry kDeletedMark{kDeletedBlockIndex, kDeletedBlockIndex, kDeletedBlockIndex, kDeletedBlockIndex};

// A deleted entry: block index kDeletedBlockIndex, and either no 0xFFFFFFFF
// word (the mark written now, or any other writer's) or 0xFFFFFFFF in all
// three other words (the mark this library wrote before, which readers that
// know no mark take for empty). Anything else with a 0xFFFFFFFF word is empty.
inline bool IsHashEntryDeleted(const HashEntry& e) {
  if (e.blockIndex != kDeletedBlockIndex) return false;
  const int ones = (e.nameHashA == kFreeWord) + (e.nameHashB == kFreeWord) + (e.locale == kFreeWord);
  return ones == 0 || ones == 3;
}
// Holds no file: empty or deleted. A new name may take such an entry.
inline bool IsHashEntryFree(const HashEntry& e) {
  return e.nameHashA == kFreeWord || e.nameHashB == kFreeWord || e.locale == kFreeWord ||
         e.blockIndex == kFreeWord || IsHashEntryDeleted(e);
}

