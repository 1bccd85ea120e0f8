// Adding files: choosing the hash entry and the block, compressing and
// encrypting the data sector by sector as it streams from the source into
// free space of the archive, and entering the result in the pending tables.
#include <cstring>

#include "archive/update/update_internal.h"
#include "archive/update/parallel.h"
#include "archive/read/provider.h"
#include "archive/read/read_internal.h"
#include "sorvane/sorvane.h"
#include "compression/scomp.h"
#include "platform/bytes.h"

namespace {

constexpr uint32_t kAudioMask = COMP_HUFFMAN | COMP_ADPCM_MONO | COMP_ADPCM_STEREO;
constexpr uint32_t kOwnMask = COMP_HUFFMAN | COMP_IMPLODE | COMP_ADPCM_MONO | COMP_ADPCM_STEREO;
// Sectors are read, compressed and written in groups of about this many
// bytes (at least one sector): a bounded working set whatever the file's
// size.
constexpr uint32_t kGroupBytes = 64 * 1024;
// Output is gathered up to this many bytes before it is written.
constexpr uint32_t kWriteChunk = 256 * 1024;

bool IsPcmWave(const uint8_t* data, uint32_t size) {
  return size >= 35 && std::memcmp(data, "RIFF", 4) == 0 && std::memcmp(data + 8, "WAVEfmt ", 8) == 0 &&
         data[34] == 16 && data[20] == 1;
}

bool IsBn3(const Archive* archive) { return std::memcmp(archive->header.signature, kSignatureBn3, 4) == 0; }

// The bytes to store, from a file on disk or from memory, read in order.
class SourceReader {
 public:
  SourceReader() = default;
  SourceReader(const SourceReader&) = delete;
  SourceReader& operator=(const SourceReader&) = delete;
  ~SourceReader() {
    if (platform::IsValidHandle(file_)) platform::CloseHandle(file_);
  }

  bool Open(const AddSource& source, uint32_t* size) {
    if (source.path == nullptr) {
      memory_ = source.memory;
      *size = source.memorySize;
      return true;
    }
    file_ = platform::CreateFile(source.path, platform::kGenericRead, platform::kFileShareRead,
                                 platform::kOpenExisting, 0);
    if (!platform::IsValidHandle(file_)) return false;
    uint64_t size64 = 0;
    if (!platform::GetFileSize64(file_, &size64)) return false;
    if (size64 > 0xFFFFFFFFu) {
      SetLastError(kErrorFileTooLarge);
      return false;
    }
    *size = static_cast<uint32_t>(size64);
    return true;
  }

  // What the content's attributes need: its digests as it is read, and its
  // time (the source file's, else now).
  void Track(ContentDigest* digest) {
    digest_ = digest;
    if (!platform::IsValidHandle(file_) || !platform::GetFileWriteTime(file_, &time_)) {
      time_ = platform::GetSystemTimeAsFileTime();
    }
  }
  uint64_t time() const { return time_; }
  // Hands the digest to the caller, who feeds it from here on.
  ContentDigest* TakeDigest() {
    ContentDigest* digest = digest_;
    digest_ = nullptr;
    return digest;
  }

  // The next count bytes; a source that ends early fails (ERROR_HANDLE_EOF).
  bool Read(uint8_t* out, uint32_t count) {
    if (memory_ != nullptr) {
      std::memcpy(out, memory_ + position_, count);
    } else if (!ReadExactAt(file_, position_, out, count)) {
      return false;
    }
    position_ += count;
    if (digest_ != nullptr) digest_->Update(out, count);
    return true;
  }

 private:
  ContentDigest* digest_ = nullptr;
  uint64_t time_ = 0;
  platform::OsHandle file_ = platform::InvalidHandle();
  const uint8_t* memory_ = nullptr;
  uint64_t position_ = 0;
};

// Sequential output at a file position, gathered into larger writes.
class BlockWriter {
 public:
  BlockWriter(platform::OsHandle file, uint64_t position, uint8_t* buffer)
      : file_(file), position_(position), buffer_(buffer) {}
  bool Append(const uint8_t* data, uint32_t count) {
    while (count != 0) {
      const uint32_t room = kWriteChunk - used_;
      const uint32_t n = count < room ? count : room;
      std::memcpy(buffer_ + used_, data, n);
      used_ += n;
      data += n;
      count -= n;
      if (used_ == kWriteChunk && !Flush()) return false;
    }
    return true;
  }
  bool Flush() {
    if (used_ == 0) return true;
    if (!WriteExactAt(file_, position_, buffer_, used_)) return false;
    position_ += used_;
    used_ = 0;
    return true;
  }

 private:
  platform::OsHandle file_;
  uint64_t position_;
  uint8_t* buffer_;
  uint32_t used_ = 0;
};

// Compresses one sector of length bytes into out (room for length bytes).
// The stored form is the compressed bytes only when they are shorter.
StoredSector CompressOneSector(uint8_t* in, uint32_t length, uint8_t* out, uint32_t sectorIndex, uint32_t flags,
                               uint32_t mask, uint32_t level) {
  uint32_t outLength = length;
  if (flags & BLOCK_COMPRESSED) {
    bool ok;
    if (sectorIndex == 0 && (mask & kAudioMask) != 0) {
      // The WAV header is no sound: it is imploded, not audio-coded.
      ok = CompressSector(out, &outLength, in, length, COMP_IMPLODE, 0, 0);
    } else if ((mask & kOwnMask) != 0) {
      ok = CompressSector(out, &outLength, in, length, mask, 0, level);
    } else {
      const StormCompressFn compress = CurrentProviderCompress();
      ok = compress != nullptr && CallOutsideProvider(compress, [&] {
             return compress(out, &outLength, in, length, mask, 0, level) != 0;
           });
    }
    if (ok && outLength > 0 && outLength < length) return {out, outLength};
    return {in, length};
  }
  const bool ok = CompressSector(out, &outLength, in, length, COMP_IMPLODE, 0, 0);
  // Only the implode stream is stored; the mask byte in front is dropped.
  if (ok && outLength >= 2 && outLength < length && out[0] == COMP_IMPLODE) return {out + 1, outLength - 1};
  return {in, length};
}

// One group of sectors to compress, one sector per task.
struct SectorGroup {
  uint8_t* input;
  uint8_t* output;
  StoredSector* results;
  uint32_t sectorSize;
  uint32_t bytes;
  uint32_t count;
  uint32_t first;
  uint32_t flags;
  uint32_t mask;
  uint32_t level;
};

void CompressGroupSector(void* context, uint32_t j) {
  const auto* g = static_cast<const SectorGroup*>(context);
  uint8_t* in = g->input + static_cast<size_t>(j) * g->sectorSize;
  const uint32_t length = (j + 1 == g->count) ? g->bytes - j * g->sectorSize : g->sectorSize;
  g->results[j] = CompressOneSector(in, length, g->output + static_cast<size_t>(j) * g->sectorSize, g->first + j,
                                    g->flags, g->mask, g->level);
}

// The working memory of one stored-data write: a group's input and output,
// its results and the gathered writes, kept by the session for its next
// add; and the sector offsets.
struct StoredScratch {
  uint8_t* input;
  uint8_t* output;
  uint8_t* gather;
  StoredSector* results;
  PageBuffer offsetBuffer;
  uint32_t* offsets() { return reinterpret_cast<uint32_t*>(offsetBuffer.bytes()); }
};

bool PrepareStoredScratch(Archive* archive, uint64_t groupBytes, uint32_t groupSectors, uint32_t sectors,
                          StoredScratch* out) {
  const uint64_t scratchBytes = 2 * groupBytes + kWriteChunk + static_cast<uint64_t>(groupSectors) * sizeof(StoredSector);
  PageBuffer& scratch = SessionOf(archive)->scratch;
  if (scratch.size() < scratchBytes) scratch = PageBuffer(static_cast<size_t>(scratchBytes));
  out->offsetBuffer = PageBuffer(static_cast<size_t>(4) * (sectors + 1));
  if (!scratch || !out->offsetBuffer) return false;
  out->input = scratch.bytes();
  out->output = out->input + groupBytes;
  out->gather = out->output + groupBytes;
  out->results = reinterpret_cast<StoredSector*>(out->gather + kWriteChunk);
  return true;
}

// The per-file header of the archives that have one: its size and the name.
bool WritePerFileHeader(Archive* archive, const char* storedName, uint64_t at) {
  uint8_t header[kBn3FileHeaderSize] = {};
  platform::StoreLE32(header, kBn3FileHeaderSize);
  const size_t nameLength = std::strlen(storedName);
  std::memcpy(header + 64, storedName, nameLength < 260 ? nameLength : 260);
  return WriteExactAt(archive->fileHandle, at, header, kBn3FileHeaderSize);
}

// Compresses a group's sectors into results. Each sector is compressed on
// its own; the results are put together in order afterwards, so the stored
// bytes never depend on the threads. A provider from outside may not take
// calls from several threads.
void CompressGroup(SectorGroup* group) {
  const bool ownCode = (group->flags & BLOCK_COMPRESSED) == 0 || (group->mask & kOwnMask) != 0 ||
                       CurrentProviderCompress() == BuiltinProviderCompress;
  if (ownCode) {
    RunInParallel(group->count, CompressGroupSector, group);
  } else {
    for (uint32_t j = 0; j < group->count; ++j) CompressGroupSector(group, j);
  }
}

// What the digest of a stored sector is taken of: what a reader gets back,
// the source's bytes, except for audio-coded sectors, whose lossy coding
// gives other bytes back. A sector that does not decode is left for reading
// to report; its source bytes stand in.
void DigestSector(ContentDigest* digest, const SectorGroup& group, uint32_t j, const StoredSector& sector,
                  bool lossy, uint8_t* decoded) {
  const uint8_t* plain = group.input + static_cast<size_t>(j) * group.sectorSize;
  const uint32_t length = (j + 1 == group.count) ? group.bytes - j * group.sectorSize : group.sectorSize;
  if (lossy && sector.length < length &&
      DecodeStoredSector(group.flags, decoded, length, sector.data, sector.length)) {
    plain = decoded;
  }
  digest->Update(plain, length);
}

// Streams the source's size bytes into the archive at file position `at`
// in their stored form: per-file header, offset table, sectors. Returns the
// stored size. *sourceFailed tells a source that could not be read from a
// write that failed.
bool WriteStoredData(Archive* archive, SourceReader* source, uint32_t size, const char* storedName,
                     uint32_t flags, uint32_t mask, uint32_t level, uint64_t at, uint32_t key,
                     uint32_t* storedSize, bool* sourceFailed) {
  *sourceFailed = false;
  const uint32_t sectorSize = archive->sectorSize;
  const uint32_t k = static_cast<uint32_t>((static_cast<uint64_t>(size) + sectorSize - 1) / sectorSize);
  const bool hasTable = (flags & (BLOCK_COMPRESSED | BLOCK_IMPLODED)) != 0;
  const bool encrypted = (flags & BLOCK_ENCRYPTED) != 0;
  const uint32_t tableBytes = hasTable ? 4 * (k + 1) : 0;
  const uint32_t prefix = IsBn3(archive) ? kBn3FileHeaderSize : 0;
  // Every compression thread gets a share of each group.
  const uint32_t threads = hasTable ? CompressionThreads() : 1;
  const uint32_t groupSectors = (sectorSize < kGroupBytes ? kGroupBytes / sectorSize : 1) * threads;
  const uint64_t groupBytes = static_cast<uint64_t>(sectorSize) * groupSectors;
  StoredScratch scratch;
  if (!PrepareStoredScratch(archive, groupBytes, groupSectors, k, &scratch)) return false;
  uint32_t* offsets = scratch.offsets();
  ContentDigest* const digest = source->TakeDigest();
  PageBuffer decoded;

  if (prefix != 0 && !WritePerFileHeader(archive, storedName, at)) return false;
  BlockWriter writer(archive->fileHandle, at + prefix + tableBytes, scratch.gather);
  uint32_t write = tableBytes;
  for (uint32_t first = 0; first < k; first += groupSectors) {
    const uint32_t count = (k - first < groupSectors) ? k - first : groupSectors;
    const uint64_t start = static_cast<uint64_t>(first) * sectorSize;
    const uint32_t bytes = static_cast<uint32_t>(
        (size - start < static_cast<uint64_t>(count) * sectorSize) ? size - start
                                                                    : static_cast<uint64_t>(count) * sectorSize);
    if (!source->Read(scratch.input, bytes)) {
      *sourceFailed = true;
      return false;
    }
    if (first == 0 && (flags & BLOCK_COMPRESSED) != 0) {
      if ((mask & kAudioMask) != 0 && !IsPcmWave(scratch.input, size)) {
        mask = COMP_IMPLODE;
        level = 0;
      }
      if ((mask & kOwnMask) == 0) LoadStormLibrary();
    }
    SectorGroup group{scratch.input, scratch.output, scratch.results, sectorSize, bytes, count, first, flags, mask,
                      level};
    if (hasTable) CompressGroup(&group);
    const bool lossy = (flags & BLOCK_COMPRESSED) != 0 && (mask & (COMP_ADPCM_MONO | COMP_ADPCM_STEREO)) != 0;
    if (digest != nullptr && lossy && !decoded) {
      decoded = PageBuffer(sectorSize);
      if (!decoded) return false;
    }
    for (uint32_t j = 0; j < count; ++j) {
      StoredSector sector{scratch.input + static_cast<size_t>(j) * sectorSize,
                          (j + 1 == count) ? bytes - j * sectorSize : sectorSize};
      if (hasTable) sector = scratch.results[j];
      if (digest != nullptr) DigestSector(digest, group, j, sector, lossy, decoded.bytes());
      if (encrypted) EncryptBlock(sector.data, sector.length, key + first + j);
      offsets[first + j] = write;
      write += sector.length;
      if (!writer.Append(sector.data, sector.length)) return false;
    }
    ReportUpdateProgress(bytes);
  }
  offsets[k] = write;
  if (!writer.Flush()) return false;
  if (hasTable) {
    for (uint32_t i = 0; i <= k; ++i) platform::StoreLE32(scratch.offsetBuffer.bytes() + 4 * i, offsets[i]);
    if (encrypted) EncryptBlock(scratch.offsetBuffer.bytes(), tableBytes, key - 1);
    if (!WriteExactAt(archive->fileHandle, at + prefix, scratch.offsetBuffer.bytes(), tableBytes)) return false;
  }
  *storedSize = prefix + (hasTable ? write : size);
  return true;
}

// Stores the source as a single unit at file position `at`: the whole file
// compressed (or imploded) in one piece when that is shorter, encrypted with
// the key of sector 0. The file is held whole while it is packed, so it may
// be no larger than a reader would decode (kMaxSingleUnitBytes).
bool WriteSingleUnit(Archive* archive, SourceReader* source, uint32_t size, uint32_t flags, uint32_t mask,
                     uint32_t level, uint64_t at, uint32_t key, uint32_t* storedSize, bool* sourceFailed) {
  *sourceFailed = false;
  if (size > kMaxSingleUnitBytes) {
    *sourceFailed = true;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  const bool packs = (flags & (BLOCK_COMPRESSED | BLOCK_IMPLODED)) != 0;
  PageBuffer input(size != 0 ? size : 1);
  PageBuffer output(packs && size != 0 ? size : 1);
  if (!input || !output) return false;
  if (!source->Read(input.bytes(), size)) {
    *sourceFailed = true;
    return false;
  }
  StoredSector piece{input.bytes(), size};
  if (packs && size != 0) {
    if ((flags & BLOCK_COMPRESSED) != 0) {
      if ((mask & kAudioMask) != 0 && !IsPcmWave(input.bytes(), size)) {
        mask = COMP_IMPLODE;
        level = 0;
      }
      if ((mask & kOwnMask) == 0) LoadStormLibrary();
    }
    piece = CompressOneSector(input.bytes(), size, output.bytes(), 0, flags, mask, level);
  }
  if ((flags & BLOCK_ENCRYPTED) != 0) EncryptBlock(piece.data, piece.length, key);
  if (!WriteExactAt(archive->fileHandle, at, piece.data, piece.length)) return false;
  *storedSize = piece.length;
  return true;
}

bool AddCommon(Archive* archive, const AddSource& source, const char* storedName, uint32_t flags,
               uint32_t mask, uint32_t level) {
  if (archive == nullptr || storedName == nullptr || (source.path == nullptr && source.memory == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (!CheckAddArguments(flags, mask)) return false;
  const uint32_t locale = GetLocale();
  if (!CheckEntryLocale(locale)) return false;
  if (!CheckUpdatableArchive(archive)) return false;
  if (BeginOperation(archive) == nullptr) return false;
  const Outcome outcome = AddToSession(archive, source, storedName, flags, mask, level, locale);
  if (outcome == Outcome::kDone) {
    if (IsListfileName(storedName)) ForgetSessionList(archive);
    else ListfileAddName(archive, storedName);
    if (IsAttributesName(storedName)) ForgetSessionAttributes(archive);
  }
  return EndOperation(archive, outcome);
}

}  // namespace

BlockChoice ChooseBlock(Archive* archive, const HashEntry& slot) {
  const bool inUse = IsHashEntryInUse(slot);
  BlockChoice choice{inUse ? slot.blockIndex : kNoBlock, archive->header.blockTableEntries, false};
  if (inUse && BlockReferences(archive, choice.oldIndex) == 1) choice.blockIndex = choice.oldIndex;
  else choice.blockIndex = FreeBlockEntry(archive);
  choice.grows = choice.blockIndex == archive->header.blockTableEntries;
  return choice;
}

namespace {

// Writes the source into room bytes of new space and fills in the block
// entry; the space the stored form does not take goes back.
Outcome WriteNewBlock(Archive* archive, SourceReader* reader, uint32_t size, const char* storedName,
                      uint32_t flags, uint32_t mask, uint32_t level, uint64_t room, BlockEntry* block) {
  uint64_t position = 0;
  if (!AllocateSpace(archive, room, &position)) return Outcome::kArchiveFailed;
  *block = BlockEntry{};
  SetBlockOffset(*block, position);
  block->fileSize = size;
  block->flags = flags | BLOCK_EXISTS;
  const uint32_t key = (flags & BLOCK_ENCRYPTED) ? FileKey(storedName, *block) : 0;
  uint32_t storedSize = 0;
  bool sourceFailed = false;
  const uint64_t at = static_cast<uint64_t>(archive->headerOffset) + position;
  const bool written =
      IsSingleUnit(flags)
          ? WriteSingleUnit(archive, reader, size, flags, mask, level, at, key, &storedSize, &sourceFailed)
          : WriteStoredData(archive, reader, size, storedName, flags, mask, level, at, key, &storedSize,
                            &sourceFailed);
  if (!written) {
    const uint32_t error = GetLastError();
    ReleaseSpace(archive, position, position + room);
    SetLastError(error);
    return sourceFailed ? Outcome::kRefused : Outcome::kArchiveFailed;
  }
  ReleaseSpace(archive, position + storedSize, position + room);
  block->storedSize = storedSize;
  return Outcome::kDone;
}

}  // namespace

// Puts the new block and the name's entry into the pending tables. The old
// data stays until the commit; data written earlier in this session goes
// back to the free space at once.
void InstallBlock(Archive* archive, HashEntry* slot, const char* storedName, const BlockChoice& choice,
                  const BlockEntry& block, uint32_t newLocale) {
  const uint32_t locale = IsHashEntryInUse(*slot) ? slot->locale : newLocale;
  if (choice.grows) {
    archive->blockTable[choice.blockIndex] = BlockEntry{};
    ++archive->header.blockTableEntries;
  }
  if (choice.blockIndex == choice.oldIndex) {
    ReleaseBlockSpace(archive, choice.oldIndex);
  } else {
    ChangeBlockReference(archive, choice.oldIndex, choice.blockIndex);
    // A taken entry's item described the file it held before.
    if (!choice.grows) ForgetAttributesItem(archive, choice.blockIndex);
  }
  archive->blockTable[choice.blockIndex] = block;
  NoteBlockExtent(archive, choice.blockIndex, block, block.storedSize);
  slot->nameHashA = HashString(storedName, HASH_NAME_A);
  slot->nameHashB = HashString(storedName, HASH_NAME_B);
  slot->locale = locale;
  slot->blockIndex = choice.blockIndex;
  SessionOf(archive)->hashChanged = true;
  SessionOf(archive)->blocksChanged = true;
}

Outcome AddToSession(Archive* archive, const AddSource& source, const char* storedName, uint32_t flags,
                     uint32_t mask, uint32_t level, uint32_t locale) {
  const bool replace = (flags & ADD_REPLACE) != 0;
  // Checksum blocks are read, never written.
  flags &= ~(ADD_REPLACE | BLOCK_SECTOR_CRC);
  if (IsSingleUnit(flags) && IsBn3(archive)) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return Outcome::kRefused;
  }
  // Read before the hash entry changes; the attributes file has no item.
  const AttributesTable* attributes = IsAttributesName(storedName) ? nullptr : KeptAttributes(archive);
  ContentDigest digest(attributes != nullptr ? attributes->flags : 0);

  HashEntry* slot = FindFreeHashSlot(archive, storedName, locale, replace);
  if (slot == nullptr) return GetLastError() == ERR_HASH_TABLE_FULL ? Outcome::kArchiveFailed : Outcome::kRefused;
  if (!NoteHashChange(archive, slot)) return Outcome::kArchiveFailed;

  SourceReader reader;
  uint32_t size = 0;
  if (!reader.Open(source, &size)) return Outcome::kRefused;
  if (attributes != nullptr) reader.Track(&digest);
  if (size == 0) flags &= ~(BLOCK_COMPRESSED | BLOCK_IMPLODED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED);

  const uint32_t sectorSize = archive->sectorSize;
  const uint64_t k = (static_cast<uint64_t>(size) + sectorSize - 1) / sectorSize;
  const uint64_t prefix = IsBn3(archive) ? kBn3FileHeaderSize : 0;
  // Stored sectors never grow, so this much room always holds the result.
  const uint64_t room = prefix + (HasSectorTable(flags) ? 4 * (k + 1) : 0) + size;
  if (room > 0xFFFFFFFFu) {
    SetLastError(kErrorFileTooLarge);
    return Outcome::kRefused;
  }
  const BlockChoice choice = ChooseBlock(archive, *slot);
  if (choice.grows && !ReserveBlockEntry(archive)) return Outcome::kArchiveFailed;
  BlockEntry block;
  const Outcome written = WriteNewBlock(archive, &reader, size, storedName, flags, mask, level, room, &block);
  if (written != Outcome::kDone) return written;
  InstallBlock(archive, slot, storedName, choice, block, locale);
  if (attributes != nullptr) NoteStoredContent(archive, choice.blockIndex, StoredContent{&digest, reader.time()});
  return Outcome::kDone;
}

HashEntry* FindFreeHashSlot(Archive* archive, const char* name, uint32_t locale, bool replace) {
  const uint32_t n = archive->header.hashTableEntries;
  if (n == 0 || archive->hashTable == nullptr) {
    SetLastError(ERR_HASH_TABLE_FULL);
    return nullptr;
  }
  const uint32_t home = HashString(name, HASH_TABLE_INDEX) % n;
  const uint32_t a = HashString(name, HASH_NAME_A);
  const uint32_t b = HashString(name, HASH_NAME_B);
  HashEntry* firstDeleted = nullptr;
  for (uint32_t step = 0, i = home; step < n; ++step, i = (i + 1 == n) ? 0 : i + 1) {
    HashEntry& e = archive->hashTable[i];
    if (IsHashEntryDeleted(e)) {
      if (firstDeleted == nullptr) firstDeleted = &e;
      continue;
    }
    // Past this entry no lookup goes, so the name cannot be stored further on.
    if (IsHashEntryFree(e)) return firstDeleted != nullptr ? firstDeleted : &e;
    if (e.nameHashA == a && e.nameHashB == b && e.locale == locale) {
      if (replace) return &e;
      SetLastError(ERR_ALREADY_STORED);
      return nullptr;
    }
  }
  if (firstDeleted != nullptr) return firstDeleted;
  SetLastError(ERR_HASH_TABLE_FULL);
  return nullptr;
}

HashEntry* FindExactHashEntry(Archive* archive, const char* name, uint32_t locale) {
  const uint32_t n = archive->header.hashTableEntries;
  if (n == 0 || archive->hashTable == nullptr) return nullptr;
  const uint32_t a = HashString(name, HASH_NAME_A);
  const uint32_t b = HashString(name, HASH_NAME_B);
  for (uint32_t step = 0, i = HashString(name, HASH_TABLE_INDEX) % n; step < n;
       ++step, i = (i + 1 == n) ? 0 : i + 1) {
    HashEntry& e = archive->hashTable[i];
    if (IsHashEntryDeleted(e)) continue;
    if (IsHashEntryFree(e)) return nullptr;
    if (e.nameHashA == a && e.nameHashB == b && e.locale == locale) return &e;
  }
  return nullptr;
}

bool AddFileFromDisk(ArchiveHandle archive, const char* sourcePath, const char* storedName,
                     uint32_t flags, uint32_t methodMask, uint32_t level) {
  AddSource source;
  source.path = sourcePath;
  return AddCommon(archive, source, storedName, flags, methodMask, level);
}

bool AddFileFromMemory(ArchiveHandle archive, const void* data, uint32_t size,
                       const char* storedName, uint32_t flags, uint32_t methodMask, uint32_t level) {
  AddSource source;
  source.memory = static_cast<const uint8_t*>(data);
  source.memorySize = size;
  return AddCommon(archive, source, storedName, flags, methodMask, level);
}

bool AddFile(ArchiveHandle archive, const char* sourcePath, const char* storedName, uint32_t flags) {
  return AddFileFromDisk(archive, sourcePath, storedName, flags, COMP_IMPLODE, 0);
}

bool AddWaveFile(ArchiveHandle archive, const char* sourcePath, const char* storedName,
                 uint32_t flags, uint32_t quality) {
  return AddFileFromDisk(archive, sourcePath, storedName, flags, COMP_ADPCM_STEREO | COMP_HUFFMAN, quality);
}

bool AddBuffer(ArchiveHandle archive, const void* data, uint32_t size, const char* storedName,
               uint32_t flags) {
  return AddFileFromMemory(archive, data, size, storedName, flags, COMP_IMPLODE, 0);
}

bool AddWaveBuffer(ArchiveHandle archive, const void* data, uint32_t size,
                   const char* storedName, uint32_t flags, uint32_t quality) {
  return AddFileFromMemory(archive, data, size, storedName, flags, COMP_ADPCM_STEREO | COMP_HUFFMAN,
                           quality);
}

StoredSector CompressAddSector(uint8_t* in, uint32_t length, uint8_t* out, uint32_t sectorIndex, uint32_t flags,
                               uint32_t mask, uint32_t level) {
  return CompressOneSector(in, length, out, sectorIndex, flags, mask, level);
}

uint32_t AddMaskFor(const uint8_t* firstBytes, uint32_t size, uint32_t flags, uint32_t mask, uint32_t* level) {
  if ((flags & BLOCK_COMPRESSED) == 0) return mask;
  if ((mask & kAudioMask) != 0 && !IsPcmWave(firstBytes, size)) {
    mask = COMP_IMPLODE;
    *level = 0;
  }
  if ((mask & kOwnMask) == 0) LoadStormLibrary();
  return mask;
}

bool CompressesOnThreads(uint32_t flags, uint32_t mask) {
  return (flags & BLOCK_COMPRESSED) == 0 || (mask & kOwnMask) != 0 ||
         CurrentProviderCompress() == BuiltinProviderCompress;
}

bool IsLossyAdd(uint32_t flags, uint32_t mask) {
  return (flags & BLOCK_COMPRESSED) != 0 && (mask & (COMP_ADPCM_MONO | COMP_ADPCM_STEREO)) != 0;
}

bool CheckEntryLocale(uint32_t locale) {
  if (locale != kFreeWord) return true;
  SetLastError(ERROR_INVALID_PARAMETER);
  return false;
}

bool CheckAddArguments(uint32_t flags, uint32_t mask) {
  // Both audio coders in one mask code the first coder's output as sound,
  // which cannot be decoded back: such a file would be stored unreadable.
  const uint32_t bothAudio = COMP_ADPCM_MONO | COMP_ADPCM_STEREO;
  if ((flags & BLOCK_COMPRESSED) != 0 && (mask & bothAudio) == bothAudio) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  return true;
}
