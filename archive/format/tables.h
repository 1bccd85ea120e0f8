// The hash and block tables as bytes: decoding what was read into entries,
// encoding entries into the bytes to be written; and what makes a file's
// sector offset table sound. No file is touched here: the reader hands in
// the bytes, the writer a sink for them.
#pragma once

#include <cstdint>

#include "archive/format/records.h"

// Turns a hash table's stored bytes (entries * kEntryBytes, still
// encrypted with key) into entries. The bytes are decrypted in place;
// `out` may be the same memory as `bytes`.
void DecodeHashTable(uint8_t* bytes, uint32_t entries, uint32_t key, HashEntry* out);
// The same for the block table. `high` is the extended header's high-offset
// table (2 bytes an entry, not encrypted), or null when there is none.
void DecodeBlockTable(uint8_t* bytes, const uint8_t* high, uint32_t entries, uint32_t key, BlockEntry* out);

// Where encoded table bytes go, a chunk at a time: offset counts from the
// table's first byte. False stops the encoding (the sink's error stands).
class TableSink {
 public:
  virtual bool Write(uint64_t offset, const uint8_t* bytes, uint32_t size) = 0;

 protected:
  ~TableSink() = default;
};

// Encodes a table, encrypted with key, through a small buffer; the entries
// stay as they are. False when the buffer cannot be had or the sink fails.
bool EncodeHashTable(const HashEntry* table, uint32_t entries, uint32_t key, TableSink& sink);
bool EncodeBlockTable(const BlockEntry* table, uint32_t entries, uint32_t key, TableSink& sink);
// The high-offset table: each block's offsetHigh, not encrypted.
bool EncodeHighOffsetTable(const BlockEntry* table, uint32_t entries, TableSink& sink);

// Puts archive-relative table positions into a header (the high words and
// the high-offset table's position only into an extended one).
void SetTablePositions(ArchiveHeader* header, uint64_t hashPos, uint64_t blockPos, uint64_t highPos);

// A decrypted sector offset table of sectorCount + 1 entries (+ 2 with a
// checksum block behind the last sector) is sound when its first entry is at
// least its own size (a writer may leave a gap behind the table), its
// entries never decrease, no sector is stored longer than it reads (which
// also bounds it by the sector size), and its end lies within limit bytes of
// the data start.
bool SectorOffsetsValid(const uint32_t* offsets, uint32_t sectorCount, uint32_t fileSize,
                        uint32_t sectorSize, uint32_t limit, bool checksumBlock);

// How a file's sector offset table reads, of which `entries` words were read
// (the checksum entry is not read when the file has no room for it). With
// the checksum flag the table may still have no checksum entry: writers from
// before checksum blocks left that bit as it came, and readers of their time
// never looked at it. *withChecksums says which way the table reads; false
// when it reads neither way. Readers and the updates that copy data must
// agree on this, so both ask here.
bool SectorTableReads(const uint32_t* offsets, uint32_t entries, uint32_t sectorCount, uint32_t fileSize,
                      uint32_t sectorSize, uint32_t limit, bool checksumFlag, bool* withChecksums);
