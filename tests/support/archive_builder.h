// A test-side writer of MPQ archives that lays every byte out itself, without
// the library's update operations, so tests can make normal, odd and corrupt
// archives. It shares only the hashing and cipher primitives with the library.
//
// Layout of a built archive: optional stub bytes, the 32-byte header, the
// stored data of every file in the order they were added, then the hash table
// and the block table (or both tables right after the header with
// TablesFirst()). Block indices follow the order of Add()/AddRawBlock().
//
// Typical use:
//   ArchiveBuilder b;
//   b.Stub(1024).HashTableSize(7);
//   b.Add("dir\\a.txt", "hello").flags |= BLOCK_ENCRYPTED;
//   b.Listfile({"dir\\a.txt"});
//   std::vector<uint8_t> bytes = b.Build(&layout);   // mutate freely to corrupt
//   WriteBytes(path, bytes);
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/read/archive_record.h"
#include "sorvane/sorvane.h"

namespace testsupport {

using Bytes = std::vector<uint8_t>;

// Stored bytes for sector `index` whose plain content is data[0..length).
// Return exactly `length` bytes to store the sector plain; anything shorter is
// taken as its compressed form (mask byte first with BLOCK_COMPRESSED).
using SectorEncoder = std::function<Bytes(const uint8_t* data, uint32_t length, uint32_t index)>;

struct FileSpec {
  std::string name;
  Bytes content;                  // the file as a reader should deliver it
  uint32_t flags = BLOCK_EXISTS;  // block flags, stored exactly as given
  uint32_t locale = 0;

  // Hash entry. With hashed false the file gets a block but no hash entry.
  bool hashed = true;
  std::optional<uint32_t> hashIndex;   // explicit slot instead of the probe rule
  std::optional<uint32_t> blockIndexInHash;  // what the hash entry points at

  // Sectors, used with BLOCK_COMPRESSED or BLOCK_IMPLODED. storedSectors wins
  // over encodeSector; with neither, every sector is stored plain (L = E).
  std::vector<Bytes> storedSectors;
  SectorEncoder encodeSector;
  std::optional<std::vector<uint32_t>> offsetTable;  // written instead of the computed one
  // Words written after the computed table's end entry (each a copy of it),
  // encrypted with the table, as writers that append a per-sector checksum
  // block leave them; the sectors follow them and every entry counts them.
  uint32_t extraTableWords = 0;
  // A checksum block behind the last sector (with BLOCK_SECTOR_CRC): the
  // table gets one more entry, k + 1, at its end, and it is encrypted as
  // piece k.
  std::optional<Bytes> checksumBlock;

  // Encryption (BLOCK_ENCRYPTED): the key comes from the name, adjusted by the
  // block entry's offset and fileSize with BLOCK_KEY_ADJUSTED, unless given.
  std::optional<uint32_t> key;

  // Block entry values written instead of the computed ones. The data stays
  // where the layout puts it; an offset override only makes the entry lie
  // (and feeds the key adjustment, as a reader would see it).
  std::optional<uint32_t> offset;
  std::optional<uint32_t> storedSize;
  std::optional<uint32_t> fileSize;

  // Bytes of filler put before this file's data (gaps between blocks).
  uint32_t gapBefore = 0;
  // Bytes left unwritten before this file's data: a hole of a sparse file
  // (WriteSparse), which lets positions pass 4 GiB without writing them.
  uint64_t holeBefore = 0;
  // Absolute position inside the stub where the data go instead; the block
  // offset then wraps at 32 bits to reach back there.
  std::optional<uint32_t> stubPosition;

  // Per-file header of BN3 archives: its first word and the name it carries.
  std::optional<uint32_t> bn3Length;
  std::optional<std::string> bn3Name;

  // Stored data (after the BN3 header) written as is: no table, no sectors,
  // no encryption. storedSize follows its length unless overridden.
  std::optional<Bytes> rawData;

  uint32_t blockIndex = 0;  // assigned by Add()
};

// With BLOCK_SINGLE_UNIT the content is one piece without a table: plain, or
// (with BLOCK_COMPRESSED / BLOCK_IMPLODED) encodeSector's result for the whole
// content as sector 0 when that is shorter; encrypted with the key itself.

struct FileLayout {
  std::string name;
  uint32_t blockIndex = 0;
  std::optional<uint32_t> hashIndex;
  uint64_t blockStart = 0;  // absolute position of the block in the built bytes
  uint64_t dataStart = 0;   // absolute position after the BN3 per-file header
  uint32_t key = 0;         // key the data was encrypted with (0 when plain)
  std::vector<uint32_t> sectorOffsets;  // the table as written (before encryption)
  BlockEntry block{};
};

struct Layout {
  uint32_t headerOffset = 0;
  uint64_t hashTablePos = 0;   // absolute positions
  uint64_t blockTablePos = 0;
  uint64_t highTablePos = 0;   // 0: none
  uint64_t userDataPos = 0;    // meaningful with a user-data block
  uint64_t end = 0;            // the file's size (holes included)
  std::vector<HashEntry> hashTable;    // decrypted, as written
  std::vector<BlockEntry> blockTable;  // decrypted, as written
  std::vector<FileLayout> files;       // in block order (raw blocks excluded)
  const FileLayout* Find(std::string_view name) const;
};

class ArchiveBuilder {
 public:
  ArchiveBuilder();

  ArchiveBuilder& Bn3(bool on = true);                  // signature "BN3\x1a"
  ArchiveBuilder& Signature(const uint8_t sig[4]);      // any four bytes
  ArchiveBuilder& Stub(uint32_t bytes, uint8_t fill = 0xA5);  // header offset
  ArchiveBuilder& SectorShift(uint16_t shift);          // default 3 (4096)
  ArchiveBuilder& HashTableSize(uint32_t entries);      // default: power of two fitting the files
  ArchiveBuilder& TablesFirst(bool on = true);
  // The hash table after the block table, so that it ends the file.
  ArchiveBuilder& HashTableLast(bool on = true);
  // The hash table at this absolute position inside the stub; its offset
  // wraps at 32 bits to reach back there.
  ArchiveBuilder& HashTableInStub(uint32_t position);
  // The extended header: this format version (1 or more) and header size
  // (at least 44; versions 2 and 3 use 68 and 208, zeros after byte 44).
  // Block positions at 4 GiB or beyond put a high-offset table behind the
  // block table (always with alwaysHighTable).
  ArchiveBuilder& Extended(uint16_t version = 1, uint32_t headerSize = kExtendedHeaderBytes,
                           bool alwaysHighTable = false);
  // A user-data block right after the stub (which must then be a multiple
  // of 512): its 16-byte header, size bytes of user data, gap more bytes,
  // then the archive header.
  ArchiveBuilder& UserData(uint32_t size, uint32_t gap = 0, uint8_t fill = 0x5C);
  // Bytes left unwritten (a hole) right before the tables.
  ArchiveBuilder& HoleBeforeTables(uint64_t bytes);

  // Adds a stored file (BLOCK_EXISTS is always added to extraFlags).
  FileSpec& Add(std::string name, Bytes content, uint32_t extraFlags = 0);
  FileSpec& Add(std::string name, std::string_view text, uint32_t extraFlags = 0);
  // "(listfile)" holding the names, each followed by lineEnd.
  FileSpec& Listfile(const std::vector<std::string>& names, std::string_view lineEnd = "\r\n",
                     uint32_t extraFlags = 0);

  // A block entry with exactly these values and no data of its own.
  uint32_t AddRawBlock(const BlockEntry& entry);
  // A hash entry placed as is; wins over every file placed at that index.
  ArchiveBuilder& SetHashEntry(uint32_t index, const HashEntry& entry);
  // Runs on the finished header fields before they are written.
  ArchiveBuilder& PatchHeader(std::function<void(ArchiveHeader&)> patch);

  // Throws std::runtime_error when the files cannot be placed (full table).
  Bytes Build(Layout* layout = nullptr) const;
  void WriteTo(const std::string& path, Layout* layout = nullptr) const;
  // Writes the archive with its holes left unwritten (a sparse file where
  // the file system makes one). False, with nothing left behind, when the
  // file cannot be made that size.
  bool WriteSparse(const std::string& path, Layout* layout = nullptr) const;

 private:
  uint8_t signature_[4] = {'M', 'P', 'Q', 0x1A};
  uint32_t stubBytes_ = 0;
  uint8_t stubFill_ = 0xA5;
  uint16_t sectorShift_ = 3;
  std::optional<uint32_t> hashEntries_;
  bool tablesFirst_ = false;
  bool hashTableLast_ = false;
  std::optional<uint32_t> hashTableInStub_;
  bool bn3_ = false;
  uint16_t version_ = 0;
  uint32_t headerSize_ = kHeaderBytes;
  bool alwaysHighTable_ = false;
  std::optional<uint32_t> userDataSize_;
  uint32_t userDataGap_ = 0;
  uint8_t userDataFill_ = 0x5C;
  uint64_t tablesHole_ = 0;
  // The bytes with every hole left out, and the holes (file position, size).
  Bytes BuildWithHoles(Layout* layout, std::vector<std::pair<uint64_t, uint64_t>>* holes) const;
  struct BlockSlot {
    bool raw = false;
    size_t fileIndex = 0;
    BlockEntry entry{};
  };
  std::deque<FileSpec> files_;  // deque: references from Add() stay valid
  std::vector<BlockSlot> blocks_;
  std::map<uint32_t, HashEntry> rawHash_;
  std::vector<std::function<void(ArchiveHeader&)>> headerPatches_;
};

// ---- a reader that knows no deletion mark --------------------------------------

// The hash table of an archive file as the plain lookup rule sees it: the
// header found at a multiple of 512, the table decrypted. Find() probes from
// the name's home entry and stops at the first entry with 0xFFFFFFFF in any
// word, or after one circle; a locale other than 0 falls back to 0. It knows
// nothing of deletion marks, as the programs the archives are made for.
struct PlainRuleTable {
  explicit PlainRuleTable(const Bytes& archive);  // throws std::runtime_error without a sound header
  std::vector<HashEntry> entries;
  // Index of the entry holding name, or nullopt.
  std::optional<uint32_t> Find(const std::string& name, uint32_t locale = 0) const;
  // Entries that this library takes for deletion marks on the way from name's
  // home entry to entry `index`; *wraps: that way runs past the last entry.
  uint32_t MarksPassed(const std::string& name, uint32_t index, bool* wraps) const;
};

// ---- small helpers ------------------------------------------------------------

Bytes ToBytes(std::string_view text);
// Deterministic pseudo-random content, different for each seed.
Bytes PatternBytes(size_t size, uint32_t seed);
void StoreLE32At(Bytes& bytes, uint64_t pos, uint32_t value);
uint32_t LoadLE32At(const Bytes& bytes, uint64_t pos);
// Throw std::runtime_error when the file cannot be written or read.
void WriteBytes(const std::string& path, const Bytes& bytes);
Bytes ReadBytes(const std::string& path);
// The file key rule: hash of the last path component, adjusted when asked.
uint32_t FileKeyFor(const std::string& name, uint32_t blockOffset, uint32_t fileSize,
                    bool adjusted);

}  // namespace testsupport
