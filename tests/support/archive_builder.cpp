#include "tests/support/archive_builder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "platform/bytes.h"

namespace testsupport {

namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;

bool UsesOffsetTable(uint32_t flags) { return (flags & (BLOCK_COMPRESSED | BLOCK_IMPLODED)) != 0; }

void AppendLE32(Bytes& out, uint32_t v) {
  uint8_t b[4];
  platform::StoreLE32(b, v);
  out.insert(out.end(), b, b + 4);
}

void Encrypt(uint8_t* data, size_t length, uint32_t key) {
  EncryptBlock(data, static_cast<uint32_t>(length), key);
}

// The stored form of one file before encryption, and where its parts lie.
struct Prepared {
  Bytes data;                        // BN3 header (if any) + stored data
  uint32_t dataOffset = 0;           // length of the BN3 header
  bool hasTable = false;
  uint32_t tableBytes = 0;           // table length within data (after dataOffset)
  std::vector<uint32_t> table;       // as written
  std::vector<std::pair<uint32_t, uint32_t>> sectors;  // (start within data, length)
};

Prepared Prepare(const FileSpec& f, bool bn3, uint32_t sectorSize) {
  Prepared p;
  if (bn3) {
    p.data.assign(kBn3FileHeaderSize, 0);
    platform::StoreLE32(p.data.data(), f.bn3Length.value_or(kBn3FileHeaderSize));
    const std::string& n = f.bn3Name ? *f.bn3Name : f.name;
    std::memcpy(p.data.data() + 64, n.data(), std::min<size_t>(n.size(), kMaxPath));
    p.dataOffset = kBn3FileHeaderSize;
  }
  const uint32_t base = p.dataOffset;
  if (f.rawData) {
    p.data.insert(p.data.end(), f.rawData->begin(), f.rawData->end());
    return p;
  }
  const uint32_t size = static_cast<uint32_t>(f.content.size());
  const uint32_t k = (size + sectorSize - 1) / sectorSize;
  if (f.flags & BLOCK_SINGLE_UNIT) {
    Bytes piece = f.content;
    if (UsesOffsetTable(f.flags) && f.encodeSector && size != 0) {
      Bytes packed = f.encodeSector(f.content.data(), size, 0);
      if (packed.size() < size) piece = std::move(packed);
    }
    p.data.insert(p.data.end(), piece.begin(), piece.end());
    if (!piece.empty()) p.sectors.emplace_back(base, static_cast<uint32_t>(piece.size()));
    return p;
  }
  if (!UsesOffsetTable(f.flags)) {
    p.data.insert(p.data.end(), f.content.begin(), f.content.end());
    for (uint32_t i = 0; i < k; ++i) {
      const uint32_t len = std::min(sectorSize, size - i * sectorSize);
      p.sectors.emplace_back(base + i * sectorSize, len);
    }
    return p;
  }

  std::vector<Bytes> stored = f.storedSectors;
  if (stored.empty()) {
    for (uint32_t i = 0; i < k; ++i) {
      const uint8_t* src = f.content.data() + static_cast<size_t>(i) * sectorSize;
      const uint32_t len = std::min(sectorSize, size - i * sectorSize);
      stored.push_back(f.encodeSector ? f.encodeSector(src, len, i) : Bytes(src, src + len));
    }
  }
  std::vector<uint32_t> table;
  uint32_t pos = 4 * static_cast<uint32_t>(stored.size() + 1 + f.extraTableWords + (f.checksumBlock ? 1 : 0));
  for (const Bytes& s : stored) {
    table.push_back(pos);
    pos += static_cast<uint32_t>(s.size());
  }
  table.push_back(pos);
  if (f.checksumBlock) {
    pos += static_cast<uint32_t>(f.checksumBlock->size());
    table.push_back(pos);
    stored.push_back(*f.checksumBlock);
  }
  table.insert(table.end(), f.extraTableWords, pos);
  if (f.offsetTable) table = *f.offsetTable;

  p.hasTable = true;
  p.table = table;
  p.tableBytes = 4 * static_cast<uint32_t>(table.size());
  for (uint32_t v : table) AppendLE32(p.data, v);
  for (const Bytes& s : stored) {
    p.sectors.emplace_back(static_cast<uint32_t>(p.data.size()), static_cast<uint32_t>(s.size()));
    p.data.insert(p.data.end(), s.begin(), s.end());
  }
  return p;
}

}  // namespace

const FileLayout* Layout::Find(std::string_view name) const {
  for (const FileLayout& f : files)
    if (f.name == name) return &f;
  return nullptr;
}

ArchiveBuilder::ArchiveBuilder() { BuildCryptTable(); }

ArchiveBuilder& ArchiveBuilder::Bn3(bool on) {
  bn3_ = on;
  static const uint8_t kBn3[4] = {'B', 'N', '3', 0x1A};
  static const uint8_t kMpq[4] = {'M', 'P', 'Q', 0x1A};
  std::memcpy(signature_, on ? kBn3 : kMpq, 4);
  return *this;
}

ArchiveBuilder& ArchiveBuilder::Signature(const uint8_t sig[4]) {
  std::memcpy(signature_, sig, 4);
  return *this;
}

ArchiveBuilder& ArchiveBuilder::Stub(uint32_t bytes, uint8_t fill) {
  stubBytes_ = bytes;
  stubFill_ = fill;
  return *this;
}

ArchiveBuilder& ArchiveBuilder::SectorShift(uint16_t shift) {
  sectorShift_ = shift;
  return *this;
}

ArchiveBuilder& ArchiveBuilder::HashTableSize(uint32_t entries) {
  hashEntries_ = entries;
  return *this;
}

ArchiveBuilder& ArchiveBuilder::TablesFirst(bool on) {
  tablesFirst_ = on;
  return *this;
}

ArchiveBuilder& ArchiveBuilder::HashTableLast(bool on) {
  hashTableLast_ = on;
  return *this;
}

ArchiveBuilder& ArchiveBuilder::HashTableInStub(uint32_t position) {
  hashTableInStub_ = position;
  return *this;
}

ArchiveBuilder& ArchiveBuilder::Extended(uint16_t version, uint32_t headerSize, bool alwaysHighTable) {
  version_ = version;
  headerSize_ = headerSize;
  alwaysHighTable_ = alwaysHighTable;
  return *this;
}

ArchiveBuilder& ArchiveBuilder::UserData(uint32_t size, uint32_t gap, uint8_t fill) {
  userDataSize_ = size;
  userDataGap_ = gap;
  userDataFill_ = fill;
  return *this;
}

ArchiveBuilder& ArchiveBuilder::HoleBeforeTables(uint64_t bytes) {
  tablesHole_ = bytes;
  return *this;
}

FileSpec& ArchiveBuilder::Add(std::string name, Bytes content, uint32_t extraFlags) {
  FileSpec& f = files_.emplace_back();
  f.name = std::move(name);
  f.content = std::move(content);
  f.flags = BLOCK_EXISTS | extraFlags;
  f.blockIndex = static_cast<uint32_t>(blocks_.size());
  BlockSlot slot;
  slot.fileIndex = files_.size() - 1;
  blocks_.push_back(slot);
  return f;
}

FileSpec& ArchiveBuilder::Add(std::string name, std::string_view text, uint32_t extraFlags) {
  return Add(std::move(name), ToBytes(text), extraFlags);
}

FileSpec& ArchiveBuilder::Listfile(const std::vector<std::string>& names,
                                   std::string_view lineEnd, uint32_t extraFlags) {
  std::string text;
  for (const std::string& n : names) {
    text += n;
    text += lineEnd;
  }
  return Add("(listfile)", text, extraFlags);
}

uint32_t ArchiveBuilder::AddRawBlock(const BlockEntry& entry) {
  BlockSlot slot;
  slot.raw = true;
  slot.entry = entry;
  blocks_.push_back(slot);
  return static_cast<uint32_t>(blocks_.size() - 1);
}

ArchiveBuilder& ArchiveBuilder::SetHashEntry(uint32_t index, const HashEntry& entry) {
  rawHash_[index] = entry;
  return *this;
}

ArchiveBuilder& ArchiveBuilder::PatchHeader(std::function<void(ArchiveHeader&)> patch) {
  headerPatches_.push_back(std::move(patch));
  return *this;
}

Bytes ArchiveBuilder::Build(Layout* layoutOut) const {
  std::vector<std::pair<uint64_t, uint64_t>> holes;
  Bytes out = BuildWithHoles(layoutOut, &holes);
  if (!holes.empty()) throw std::runtime_error("an archive with holes is written with WriteSparse");
  return out;
}

Bytes ArchiveBuilder::BuildWithHoles(Layout* layoutOut, std::vector<std::pair<uint64_t, uint64_t>>* holes) const {
  const uint32_t sectorSize = 512u << sectorShift_;
  const bool extended = version_ >= 1 && headerSize_ >= kExtendedHeaderBytes;

  uint32_t hashedCount = 0;
  for (const FileSpec& f : files_) hashedCount += f.hashed ? 1 : 0;
  uint32_t n = 16;
  while (n < 2 * hashedCount) n *= 2;
  if (hashEntries_) n = *hashEntries_;
  const uint32_t blockCount = static_cast<uint32_t>(blocks_.size());

  // Stored forms (lengths do not depend on the key).
  std::vector<Prepared> prepared;
  for (const FileSpec& f : files_) prepared.push_back(Prepare(f, bn3_, sectorSize));

  // Placement.
  const uint64_t userDataPos = stubBytes_;
  const uint64_t headerPos =
      stubBytes_ + (userDataSize_ ? kUserDataHeaderBytes + static_cast<uint64_t>(*userDataSize_) + userDataGap_ : 0);
  uint64_t pos = headerPos + std::max<uint32_t>(headerSize_, kHeaderBytes);
  uint64_t hashPos = 0, blockPos = 0, highPos = 0;
  auto hole = [&](uint64_t bytes) {
    if (bytes == 0) return;
    holes->emplace_back(pos, bytes);
    pos += bytes;
  };
  // Blocks at 4 GiB or beyond need the high-offset table.
  bool needsHigh = extended && alwaysHighTable_;
  if (extended && !needsHigh) {
    // Where the last block could start at the most.
    uint64_t at = pos + (tablesFirst_ ? tablesHole_ + static_cast<uint64_t>(blockCount + n) * kEntryBytes : 0);
    for (size_t i = 0; i < files_.size(); ++i) {
      at += files_[i].holeBefore + files_[i].gapBefore + prepared[i].data.size();
    }
    needsHigh = at - headerPos > 0xFFFFFFFFull;
  }
  auto inStub = [this](uint64_t at, uint64_t size, const std::string& what) {
    if (at + size > stubBytes_) throw std::runtime_error(what + " does not fit in the stub");
    return at;
  };
  auto placeTables = [&] {
    const uint64_t hashBytes = static_cast<uint64_t>(n) * kEntryBytes;
    if (hashTableInStub_) hashPos = inStub(*hashTableInStub_, hashBytes, "the hash table");
    if (!hashTableInStub_ && !hashTableLast_) {
      hashPos = pos;
      pos += hashBytes;
    }
    blockPos = pos;
    pos += static_cast<uint64_t>(blockCount) * kEntryBytes;
    if (needsHigh) {
      highPos = pos;
      pos += static_cast<uint64_t>(blockCount) * 2;
    }
    if (!hashTableInStub_ && hashTableLast_) {
      hashPos = pos;
      pos += hashBytes;
    }
  };
  if (tablesFirst_) {
    hole(tablesHole_);
    placeTables();
  }
  std::vector<uint64_t> fileStart(files_.size());
  for (const BlockSlot& slot : blocks_) {
    if (slot.raw) continue;
    const FileSpec& f = files_[slot.fileIndex];
    const uint64_t size = prepared[slot.fileIndex].data.size();
    if (f.stubPosition) {
      fileStart[slot.fileIndex] = inStub(*f.stubPosition, size, f.name);
      continue;
    }
    hole(f.holeBefore);
    pos += f.gapBefore;
    fileStart[slot.fileIndex] = pos;
    pos += size;
  }
  if (!tablesFirst_) {
    hole(tablesHole_);
    placeTables();
  }
  const uint64_t end = pos;

  // Positions in the file map to the bytes kept by leaving the holes out.
  auto mem = [holes](uint64_t at) {
    uint64_t skipped = 0;
    for (const auto& [start, length] : *holes) {
      if (at >= start + length) skipped += length;
      else if (at > start) throw std::runtime_error("a write into a hole");
    }
    return static_cast<std::ptrdiff_t>(at - skipped);
  };
  uint64_t holeBytes = 0;
  for (const auto& h : *holes) holeBytes += h.second;
  Bytes out(end - holeBytes, 0);
  std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(headerPos), stubFill_);
  if (userDataSize_) {
    uint8_t* u = out.data() + userDataPos;
    std::memcpy(u, kSignatureUserData, 4);
    platform::StoreLE32(u + 4, *userDataSize_);
    platform::StoreLE32(u + 8, static_cast<uint32_t>(headerPos - userDataPos));
    platform::StoreLE32(u + 12, kUserDataHeaderBytes);
    std::fill(u + kUserDataHeaderBytes, out.data() + headerPos, userDataFill_);
  }

  // Block entries and the (encrypted) data.
  Layout layout;
  layout.headerOffset = static_cast<uint32_t>(headerPos);
  layout.hashTablePos = hashPos;
  layout.blockTablePos = blockPos;
  layout.highTablePos = highPos;
  layout.userDataPos = userDataPos;
  layout.end = end;
  std::vector<BlockEntry> blockTable;
  for (const BlockSlot& slot : blocks_) {
    if (slot.raw) {
      blockTable.push_back(slot.entry);
      continue;
    }
    const FileSpec& f = files_[slot.fileIndex];
    Prepared& p = prepared[slot.fileIndex];
    BlockEntry e{};
    // Data in the stub is reached by an offset that wraps at 32 bits.
    const uint64_t relative = fileStart[slot.fileIndex] >= headerPos
                                  ? fileStart[slot.fileIndex] - headerPos
                                  : static_cast<uint32_t>(fileStart[slot.fileIndex] - headerPos);
    if (relative > 0xFFFFFFFFull && !highPos) throw std::runtime_error(f.name + " lies beyond 4 GiB without a high-offset table");
    e.offset = f.offset.value_or(static_cast<uint32_t>(relative));
    e.offsetHigh = static_cast<uint16_t>(relative >> 32);
    e.storedSize = f.storedSize.value_or(static_cast<uint32_t>(p.data.size()));
    e.fileSize = f.fileSize.value_or(static_cast<uint32_t>(f.content.size()));
    e.flags = f.flags;
    blockTable.push_back(e);

    uint32_t key = 0;
    if ((f.flags & BLOCK_ENCRYPTED) && !f.rawData) {
      key = f.key ? *f.key
                  : FileKeyFor(f.name, e.offset, e.fileSize, (f.flags & BLOCK_KEY_ADJUSTED) != 0);
      if (p.hasTable) Encrypt(p.data.data() + p.dataOffset, p.tableBytes, key - 1);
      for (size_t i = 0; i < p.sectors.size(); ++i)
        Encrypt(p.data.data() + p.sectors[i].first, p.sectors[i].second,
                key + static_cast<uint32_t>(i));
    }
    std::copy(p.data.begin(), p.data.end(), out.begin() + mem(fileStart[slot.fileIndex]));

    FileLayout fl;
    fl.name = f.name;
    fl.blockIndex = f.blockIndex;
    fl.blockStart = fileStart[slot.fileIndex];
    fl.dataStart = fl.blockStart + p.dataOffset;
    fl.key = key;
    fl.sectorOffsets = p.table;
    fl.block = e;
    layout.files.push_back(fl);
  }

  // Hash table: raw entries, then explicit slots, then the probe rule.
  std::vector<HashEntry> hashTable(n, HashEntry{kNone, kNone, kNone, kNone});
  std::vector<bool> taken(n, false);
  for (const auto& [index, entry] : rawHash_) {
    if (index < n) {
      hashTable[index] = entry;
      taken[index] = true;
    }
  }
  auto entryFor = [](const FileSpec& f) {
    return HashEntry{HashString(f.name.c_str(), HASH_NAME_A), HashString(f.name.c_str(), HASH_NAME_B),
                     f.locale, f.blockIndexInHash.value_or(f.blockIndex)};
  };
  auto recordSlot = [&](const FileSpec& f, uint32_t slot) {
    for (FileLayout& fl : layout.files)
      if (fl.blockIndex == f.blockIndex) fl.hashIndex = slot;
  };
  for (const FileSpec& f : files_) {
    if (!f.hashed || !f.hashIndex) continue;
    if (*f.hashIndex >= n) throw std::runtime_error("hash index beyond the table: " + f.name);
    if (!rawHash_.count(*f.hashIndex)) hashTable[*f.hashIndex] = entryFor(f);
    taken[*f.hashIndex] = true;
    recordSlot(f, *f.hashIndex);
  }
  for (const FileSpec& f : files_) {
    if (!f.hashed || f.hashIndex) continue;
    if (n == 0) throw std::runtime_error("no hash table for " + f.name);
    const uint32_t start = HashString(f.name.c_str(), HASH_TABLE_INDEX) % n;
    bool placed = false;
    for (uint32_t step = 0; step < n && !placed; ++step) {
      const uint32_t i = (start + step) % n;
      if (taken[i]) continue;
      hashTable[i] = entryFor(f);
      taken[i] = true;
      recordSlot(f, i);
      placed = true;
    }
    if (!placed) throw std::runtime_error("hash table full, cannot place " + f.name);
  }

  auto writeTable = [&](uint64_t at, Bytes raw, uint32_t key) {
    Encrypt(raw.data(), raw.size(), key);
    std::copy(raw.begin(), raw.end(), out.begin() + mem(at));
  };
  Bytes rawHashTable, rawBlockTable;
  for (const HashEntry& e : hashTable) {
    AppendLE32(rawHashTable, e.nameHashA);
    AppendLE32(rawHashTable, e.nameHashB);
    AppendLE32(rawHashTable, e.locale);
    AppendLE32(rawHashTable, e.blockIndex);
  }
  for (const BlockEntry& e : blockTable) {
    AppendLE32(rawBlockTable, e.offset);
    AppendLE32(rawBlockTable, e.storedSize);
    AppendLE32(rawBlockTable, e.fileSize);
    AppendLE32(rawBlockTable, e.flags);
  }
  writeTable(hashPos, std::move(rawHashTable), HashTableKey());
  writeTable(blockPos, std::move(rawBlockTable), BlockTableKey());
  if (highPos) {
    for (size_t i = 0; i < blockTable.size(); ++i) {
      platform::StoreLE16(out.data() + mem(highPos) + 2 * i, blockTable[i].offsetHigh);
    }
  }

  ArchiveHeader h{};
  std::memcpy(h.signature, signature_, 4);
  h.headerSize = headerSize_;
  h.archiveSize = static_cast<uint32_t>(std::min<uint64_t>(end - headerPos, 0xFFFFFFFFull));
  h.formatVersion = version_;
  h.sectorSizeShift = sectorShift_;
  h.hashTableOffset = static_cast<uint32_t>(hashPos - headerPos);
  h.blockTableOffset = static_cast<uint32_t>(blockPos - headerPos);
  if (extended) {
    h.hashTablePosHigh = static_cast<uint16_t>((hashPos - headerPos) >> 32);
    h.blockTablePosHigh = static_cast<uint16_t>((blockPos - headerPos) >> 32);
    h.highOffsetTablePos = highPos ? highPos - headerPos : 0;
  }
  h.hashTableEntries = n;
  h.blockTableEntries = blockCount;
  for (const auto& patch : headerPatches_) patch(h);
  uint8_t* hb = out.data() + headerPos;
  std::memcpy(hb, h.signature, 4);
  platform::StoreLE32(hb + 4, h.headerSize);
  platform::StoreLE32(hb + 8, h.archiveSize);
  platform::StoreLE16(hb + 12, h.formatVersion);
  platform::StoreLE16(hb + 14, h.sectorSizeShift);
  platform::StoreLE32(hb + 16, h.hashTableOffset);
  platform::StoreLE32(hb + 20, h.blockTableOffset);
  platform::StoreLE32(hb + 24, h.hashTableEntries);
  platform::StoreLE32(hb + 28, h.blockTableEntries);
  if (extended) {
    platform::StoreLE64(hb + 32, h.highOffsetTablePos);
    platform::StoreLE16(hb + 40, h.hashTablePosHigh);
    platform::StoreLE16(hb + 42, h.blockTablePosHigh);
  }

  if (layoutOut) {
    layout.hashTable = std::move(hashTable);
    layout.blockTable = std::move(blockTable);
    *layoutOut = std::move(layout);
  }
  return out;
}

void ArchiveBuilder::WriteTo(const std::string& path, Layout* layout) const {
  WriteBytes(path, Build(layout));
}

bool ArchiveBuilder::WriteSparse(const std::string& path, Layout* layoutOut) const {
  Layout layout;
  std::vector<std::pair<uint64_t, uint64_t>> holes;
  const Bytes kept = BuildWithHoles(&layout, &holes);
  std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  uint64_t from = 0, skipped = 0;
  auto put = [&](uint64_t to) {
    out.seekp(static_cast<std::streamoff>(from + skipped));
    out.write(reinterpret_cast<const char*>(kept.data() + from), static_cast<std::streamsize>(to - from));
    from = to;
  };
  for (const auto& [start, length] : holes) {
    put(start - skipped);
    skipped += length;
  }
  put(kept.size());
  // A hole at the very end still makes the file that long.
  out.seekp(static_cast<std::streamoff>(layout.end - 1));
  char last = 0;
  if (kept.size() + skipped == layout.end && !kept.empty()) last = static_cast<char>(kept.back());
  out.write(&last, 1);
  out.close();
  if (!out) {
    std::remove(path.c_str());
    return false;
  }
  if (layoutOut) *layoutOut = std::move(layout);
  return true;
}

PlainRuleTable::PlainRuleTable(const Bytes& archive) {
  for (uint64_t at = 0; at + kHeaderBytes <= archive.size(); at += 512) {
    if (std::memcmp(&archive[at], "MPQ\x1a", 4) != 0 && std::memcmp(&archive[at], "BN3\x1a", 4) != 0) continue;
    const uint64_t offset = at + LoadLE32At(archive, at + 16);
    const uint64_t count = LoadLE32At(archive, at + 24);
    if (count == 0 || offset + count * kEntryBytes > archive.size()) break;
    Bytes raw(archive.begin() + static_cast<std::ptrdiff_t>(offset),
              archive.begin() + static_cast<std::ptrdiff_t>(offset + count * kEntryBytes));
    DecryptBlock(raw.data(), static_cast<uint32_t>(raw.size()), HashTableKey());
    for (uint64_t i = 0; i < count; ++i) {
      const uint8_t* w = raw.data() + i * kEntryBytes;
      entries.push_back(HashEntry{platform::LoadLE32(w), platform::LoadLE32(w + 4), platform::LoadLE32(w + 8),
                                  platform::LoadLE32(w + 12)});
    }
    return;
  }
  throw std::runtime_error("no archive with a hash table");
}

std::optional<uint32_t> PlainRuleTable::Find(const std::string& name, uint32_t locale) const {
  const uint32_t n = static_cast<uint32_t>(entries.size());
  const uint32_t home = HashString(name.c_str(), HASH_TABLE_INDEX) % n;
  const uint32_t a = HashString(name.c_str(), HASH_NAME_A);
  const uint32_t b = HashString(name.c_str(), HASH_NAME_B);
  for (uint32_t wanted : {locale, 0u}) {
    for (uint32_t step = 0; step < n; ++step) {
      const uint32_t i = (home + step) % n;
      const HashEntry& e = entries[i];
      if (e.nameHashA == kNone || e.nameHashB == kNone || e.locale == kNone || e.blockIndex == kNone) break;
      if (e.nameHashA == a && e.nameHashB == b && e.locale == wanted) return i;
    }
    if (locale == 0) break;
  }
  return std::nullopt;
}

uint32_t PlainRuleTable::MarksPassed(const std::string& name, uint32_t index, bool* wraps) const {
  const uint32_t n = static_cast<uint32_t>(entries.size());
  const uint32_t home = HashString(name.c_str(), HASH_TABLE_INDEX) % n;
  uint32_t marks = 0;
  for (uint32_t i = home; i != index; i = (i + 1) % n) marks += IsHashEntryDeleted(entries[i]) ? 1 : 0;
  *wraps = index < home;
  return marks;
}

Bytes ToBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes PatternBytes(size_t size, uint32_t seed) {
  Bytes out(size);
  uint32_t x = seed * 2654435761u + 0x9E3779B9u;
  for (size_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    out[i] = static_cast<uint8_t>(x >> 11);
  }
  return out;
}

void StoreLE32At(Bytes& bytes, uint64_t pos, uint32_t value) {
  if (pos + 4 > bytes.size()) throw std::runtime_error("StoreLE32At beyond the end");
  platform::StoreLE32(bytes.data() + pos, value);
}

uint32_t LoadLE32At(const Bytes& bytes, uint64_t pos) {
  if (pos + 4 > bytes.size()) throw std::runtime_error("LoadLE32At beyond the end");
  return platform::LoadLE32(bytes.data() + pos);
}

void WriteBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

Bytes ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint32_t FileKeyFor(const std::string& name, uint32_t blockOffset, uint32_t fileSize,
                    bool adjusted) {
  uint32_t key = HashString(name.c_str(), HASH_FILE_KEY);
  if (adjusted) key = (key + blockOffset) ^ fileSize;
  return key;
}

}  // namespace testsupport
