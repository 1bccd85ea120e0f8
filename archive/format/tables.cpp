// The table codec: entries are host-order words in memory and little-endian,
// encrypted words on disk.
#include "archive/format/tables.h"

#include "archive/format/crypto.h"
#include "platform/bytes.h"
#include "platform/page_buffer.h"
#include "sorvane/sorvane.h"

namespace {

// Tables are encrypted and written through a buffer of this size.
constexpr uint32_t kTableChunk = 64 * 1024;

// Encodes entries through a small buffer, each turned into its disk bytes by
// pack (entryBytes each) and, with a key, encrypted.
template <typename Entry, typename Pack>
bool EncodeTable(const Entry* table, uint32_t entries, uint32_t entryBytes, const uint32_t* key, TableSink& sink,
                 Pack pack) {
  if (entries == 0) return true;
  const uint32_t perChunk = kTableChunk / entryBytes;
  const uint32_t chunkEntries = entries < perChunk ? entries : perChunk;
  platform::PageBuffer copy(static_cast<size_t>(chunkEntries) * entryBytes);
  if (!copy) return false;
  CipherState state{key != nullptr ? *key : 0};
  for (uint32_t done = 0; done < entries;) {
    const uint32_t n = entries - done < chunkEntries ? entries - done : chunkEntries;
    for (uint32_t i = 0; i < n; ++i) pack(table[done + i], copy.bytes() + static_cast<size_t>(i) * entryBytes);
    if (key != nullptr) EncryptWords(copy.bytes(), n * entryBytes, &state);
    if (!sink.Write(static_cast<uint64_t>(done) * entryBytes, copy.bytes(), n * entryBytes)) return false;
    done += n;
  }
  return true;
}

// An entry's four words as stored: little-endian, in order.
void StoreEntryWords(uint8_t* out, uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3) {
  platform::StoreLE32(out, w0);
  platform::StoreLE32(out + 4, w1);
  platform::StoreLE32(out + 8, w2);
  platform::StoreLE32(out + 12, w3);
}

}  // namespace

void DecodeHashTable(uint8_t* bytes, uint32_t entries, uint32_t key, HashEntry* out) {
  DecryptBlock(bytes, entries * kEntryBytes, key);
  for (uint32_t i = 0; i < entries; ++i) {
    const uint8_t* words = bytes + static_cast<size_t>(i) * kEntryBytes;
    out[i] = HashEntry{platform::LoadLE32(words), platform::LoadLE32(words + 4), platform::LoadLE32(words + 8),
                       platform::LoadLE32(words + 12)};
  }
}

void DecodeBlockTable(uint8_t* bytes, const uint8_t* high, uint32_t entries, uint32_t key, BlockEntry* out) {
  DecryptBlock(bytes, entries * kEntryBytes, key);
  for (uint32_t i = 0; i < entries; ++i) {
    const uint8_t* words = bytes + static_cast<size_t>(i) * kEntryBytes;
    out[i] = BlockEntry{platform::LoadLE32(words), platform::LoadLE32(words + 4), platform::LoadLE32(words + 8),
                        platform::LoadLE32(words + 12)};
    if (high != nullptr) out[i].offsetHigh = platform::LoadLE16(high + 2 * i);
  }
}

bool EncodeHashTable(const HashEntry* table, uint32_t entries, uint32_t key, TableSink& sink) {
  return EncodeTable(table, entries, kEntryBytes, &key, sink, [](const HashEntry& e, uint8_t* out) {
    StoreEntryWords(out, e.nameHashA, e.nameHashB, e.locale, e.blockIndex);
  });
}

bool EncodeBlockTable(const BlockEntry* table, uint32_t entries, uint32_t key, TableSink& sink) {
  return EncodeTable(table, entries, kEntryBytes, &key, sink, [](const BlockEntry& e, uint8_t* out) {
    StoreEntryWords(out, e.offset, e.storedSize, e.fileSize, e.flags);
  });
}

bool EncodeHighOffsetTable(const BlockEntry* table, uint32_t entries, TableSink& sink) {
  return EncodeTable(table, entries, 2, nullptr, sink,
                     [](const BlockEntry& e, uint8_t* out) { platform::StoreLE16(out, e.offsetHigh); });
}

void SetTablePositions(ArchiveHeader* header, uint64_t hashPos, uint64_t blockPos, uint64_t highPos) {
  header->hashTableOffset = static_cast<uint32_t>(hashPos);
  header->blockTableOffset = static_cast<uint32_t>(blockPos);
  if (!HasExtendedHeader(*header)) return;
  header->hashTablePosHigh = static_cast<uint16_t>(hashPos >> 32);
  header->blockTablePosHigh = static_cast<uint16_t>(blockPos >> 32);
  header->highOffsetTablePos = highPos;
}

bool SectorOffsetsValid(const uint32_t* offsets, uint32_t sectorCount, uint32_t fileSize,
                        uint32_t sectorSize, uint32_t limit, bool checksumBlock) {
  const uint32_t last = sectorCount + (checksumBlock ? 1 : 0);
  if (offsets[0] < 4 * (last + 1) || offsets[last] > limit) return false;
  if (checksumBlock && offsets[last] < offsets[sectorCount]) return false;
  const uint32_t rest = fileSize % sectorSize;
  for (uint32_t i = 0; i < sectorCount; ++i) {
    const uint32_t expected = (i + 1 == sectorCount && rest != 0) ? rest : sectorSize;
    if (offsets[i + 1] < offsets[i] || offsets[i + 1] - offsets[i] > expected) return false;
  }
  return true;
}

bool SectorTableReads(const uint32_t* offsets, uint32_t entries, uint32_t sectorCount, uint32_t fileSize,
                      uint32_t sectorSize, uint32_t limit, bool checksumFlag, bool* withChecksums) {
  const uint32_t plain = sectorCount + 1;
  *withChecksums = checksumFlag && entries == plain + 1 &&
                   SectorOffsetsValid(offsets, sectorCount, fileSize, sectorSize, limit, true);
  if (*withChecksums) return true;
  if (!checksumFlag) return entries == plain && SectorOffsetsValid(offsets, sectorCount, fileSize, sectorSize, limit, false);
  // A first sector that starts before the checksum entry would end shows
  // the entry is not there.
  return offsets[0] < 4 * (static_cast<uint64_t>(plain) + 1) &&
         SectorOffsetsValid(offsets, sectorCount, fileSize, sectorSize, limit, false);
}
