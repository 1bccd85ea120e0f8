// Adding files: choosing the hash entry and the block, compressing and
// encrypting the data sector by sector, placing it in the archive, and keeping
// the name list.
#include <cstring>

#include "archive/internal_update.h"
#include "archive/provider.h"
#include "archive/read_internal.h"
#include "archive/sorvane.h"
#include "compression/scomp.h"
#include "platform/bytes.h"

namespace {

// Win32's "file size exceeds the limit": the archive's 32-bit offsets and
// sizes cannot describe the result.
constexpr uint32_t kErrorFileTooLarge = 223;

constexpr uint32_t kAudioMask = COMP_HUFFMAN | COMP_ADPCM_MONO | COMP_ADPCM_STEREO;
constexpr uint32_t kOwnMask = COMP_HUFFMAN | COMP_IMPLODE | COMP_ADPCM_MONO | COMP_ADPCM_STEREO;
constexpr uint32_t kListfileFlags =
    BLOCK_KEY_ADJUSTED | BLOCK_ENCRYPTED | BLOCK_COMPRESSED | ADD_REPLACE;
const char kListfileName[] = "(listfile)";

bool IsPcmWave(const uint8_t* data, uint32_t size) {
  return size >= 35 && std::memcmp(data, "RIFF", 4) == 0 && std::memcmp(data + 8, "WAVEfmt ", 8) == 0 &&
         data[34] == 16 && data[20] == 1;
}

bool IsBn3(const Archive* archive) { return std::memcmp(archive->header.signature, kSignatureBn3, 4) == 0; }

// True when another hash entry than `self` names the block: writing over it
// would change that file too.
bool BlockShared(const Archive* archive, const HashEntry* self, uint32_t blockIndex) {
  const HashEntry* table = archive->hashTable;
  for (uint32_t i = 0; i < archive->header.hashTableEntries; ++i) {
    if (&table[i] != self && IsHashEntryInUse(table[i]) && table[i].blockIndex == blockIndex) return true;
  }
  return false;
}

// The end of everything the archive uses, archive-relative. The header's
// archiveSize is not consulted when reading, so archives written elsewhere
// may carry a stale one; new data must never be put over live bytes.
uint64_t UsedEnd(const Archive* archive) {
  const ArchiveHeader& h = archive->header;
  uint64_t end = h.archiveSize;
  auto grow = [&end](uint64_t v) {
    if (v > end) end = v;
  };
  grow(static_cast<uint64_t>(h.hashTableOffset) + static_cast<uint64_t>(h.hashTableEntries) * kEntryBytes);
  if (h.blockTableEntries != 0) {
    grow(static_cast<uint64_t>(h.blockTableOffset) + static_cast<uint64_t>(h.blockTableEntries) * kEntryBytes);
  }
  // Nothing live lies past the file's end, whatever a (falsified or
  // zero-decrypted) block entry claims.
  uint64_t fileEnd = 0;
  platform::GetFileSize64(archive->fileHandle, &fileEnd);
  fileEnd = fileEnd > archive->headerOffset ? fileEnd - archive->headerOffset : 0;
  for (uint32_t i = 0; i < h.blockTableEntries && archive->blockTable != nullptr; ++i) {
    const BlockEntry& b = archive->blockTable[i];
    const uint64_t claimed = static_cast<uint64_t>(b.offset) + b.storedSize;
    grow(claimed < fileEnd ? claimed : fileEnd);
  }
  return end;
}

// Fixes the block's position and moves the tables behind new data. Works in
// 64 bits and fails (kErrorFileTooLarge) when a result leaves 32 bits.
bool PlaceBlock(const Archive* archive, uint32_t oldPosition, uint32_t oldStored, uint32_t newStored,
                bool blockTableGrew, uint32_t* position, ArchiveHeader* header) {
  *header = archive->header;
  const uint64_t P = oldPosition, Z = oldStored, N = newStored;
  if (P != 0 && Z >= N) {
    *position = oldPosition;
    return true;
  }
  uint64_t H = header->hashTableOffset;
  uint64_t B = header->blockTableOffset;
  uint64_t E = UsedEnd(archive);
  const uint64_t n = header->hashTableEntries;
  const uint64_t K = static_cast<uint64_t>(header->blockTableEntries) * kEntryBytes;
  uint64_t pos;
  if (H + kEntryBytes * n + K == E) {
    if (P != 0 && P + Z == H) {
      pos = P;
      H += N - Z;
      B += N - Z;
      E += N - Z;
    } else {
      pos = H;
      H += N;
      B += N;
      E += N;
    }
  } else if (B + K == E) {
    if (P != 0 && P + Z == B) {
      pos = P;
      B += N - Z;
      E += N - Z;
    } else {
      pos = B;
      B += N;
      E += N;
    }
  } else {
    pos = (P != 0 && P + Z == E) ? P : E;
    B = pos + N;
    E = B + K;
  }
  if (blockTableGrew) E += kEntryBytes;
  if (E > 0xFFFFFFFFu || static_cast<uint64_t>(archive->headerOffset) + E > 0xFFFFFFFFu) {
    SetLastError(kErrorFileTooLarge);
    return false;
  }
  *position = static_cast<uint32_t>(pos);
  header->hashTableOffset = static_cast<uint32_t>(H);
  header->blockTableOffset = static_cast<uint32_t>(B);
  header->archiveSize = static_cast<uint32_t>(E);
  return true;
}

// Compresses size bytes of data sector by sector into out (room for T +
// size bytes; the offset table goes first). Returns the stored length.
bool CompressSectors(const uint8_t* data, uint32_t size, uint32_t sectorSize, uint32_t flags,
                     uint32_t mask, uint32_t level, uint8_t* out, uint32_t* offsets,
                     uint32_t* storedLength) {
  const uint32_t k = static_cast<uint32_t>((static_cast<uint64_t>(size) + sectorSize - 1) / sectorSize);
  const uint32_t tableBytes = 4 * (k + 1);
  const bool compressed = (flags & BLOCK_COMPRESSED) != 0;
  if (compressed && (mask & kAudioMask) != 0 && !IsPcmWave(data, size)) {
    mask = COMP_IMPLODE;
    level = 0;
  }
  PageBuffer work(sectorSize);
  if (!work) return false;
  if (compressed && (mask & kOwnMask) == 0) LoadStormLibrary();
  uint32_t write = tableBytes;
  for (uint32_t i = 0; i < k; ++i) {
    offsets[i] = write;
    const uint32_t start = i * sectorSize;
    const uint32_t length = (size - start < sectorSize) ? size - start : sectorSize;
    const uint8_t* in = data + start;
    uint32_t outLength = length;
    const uint8_t* result = in;
    uint32_t resultLength = length;
    if (compressed) {
      bool ok;
      if (i == 0 && (mask & kAudioMask) != 0) {
        // The WAV header is no sound: it is imploded, not audio-coded.
        ok = CompressSector(work.bytes(), &outLength, in, length, COMP_IMPLODE, 0, 0);
      } else if ((mask & kOwnMask) != 0) {
        ok = CompressSector(work.bytes(), &outLength, in, length, mask, 0, level);
      } else {
        ok = StormCompress != nullptr &&
             StormCompress(work.bytes(), &outLength, in, length, mask, 0, level) != 0;
      }
      if (ok && outLength > 0 && outLength < length) {
        result = work.bytes();
        resultLength = outLength;
      }
    } else {
      const bool ok = CompressSector(work.bytes(), &outLength, in, length, COMP_IMPLODE, 0, 0);
      // Only the implode stream is stored; the mask byte in front is dropped.
      if (ok && outLength >= 2 && outLength < length && work.bytes()[0] == COMP_IMPLODE) {
        result = work.bytes() + 1;
        resultLength = outLength - 1;
      }
    }
    std::memcpy(out + write, result, resultLength);
    write += resultLength;
  }
  offsets[k] = write;
  for (uint32_t i = 0; i <= k; ++i) platform::StoreLE32(out + 4 * i, offsets[i]);
  *storedLength = write;
  return true;
}

void EncryptData(uint8_t* data, const uint32_t* offsets, uint32_t sectorCount, bool hasTable,
                 uint32_t key) {
  if (hasTable) EncryptBlock(data, 4 * (sectorCount + 1), key - 1);
  for (uint32_t i = 0; i < sectorCount; ++i) {
    EncryptBlock(data + offsets[i], offsets[i + 1] - offsets[i], key + i);
  }
}

struct AddSource {
  const char* path = nullptr;        // from disk
  const uint8_t* memory = nullptr;   // from memory
  uint32_t memorySize = 0;
};

bool AddCommon(Archive* archive, const AddSource& source, const char* storedName, uint32_t flags,
               uint32_t mask, uint32_t level) {
  if (archive == nullptr || storedName == nullptr || (source.path == nullptr && source.memory == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  // Both audio coders in one mask code the first coder's output as sound,
  // which cannot be decoded back: such a file would be stored unreadable.
  const uint32_t bothAudio = COMP_ADPCM_MONO | COMP_ADPCM_STEREO;
  if ((flags & BLOCK_COMPRESSED) != 0 && (mask & bothAudio) == bothAudio) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (!CheckUpdatableArchive(archive)) return false;
  const bool replace = (flags & ADD_REPLACE) != 0;
  flags &= ~ADD_REPLACE;

  HashEntry* slot = FindFreeHashSlot(archive, storedName, CurrentLocale, replace);
  if (slot == nullptr) return false;

  // The source, whole, in memory.
  PageBuffer sourceBuffer;
  const uint8_t* data = source.memory;
  uint32_t size = source.memorySize;
  if (source.path != nullptr) {
    platform::OsHandle file = platform::CreateFile(source.path, platform::kGenericRead,
                                                   platform::kFileShareRead, platform::kOpenExisting, 0);
    if (!platform::IsValidHandle(file)) return false;
    uint64_t size64 = 0;
    bool ok = platform::GetFileSize64(file, &size64);
    if (ok && size64 > 0xFFFFFFFFu) {
      SetLastError(kErrorFileTooLarge);
      ok = false;
    }
    if (ok && size64 != 0) {
      sourceBuffer = PageBuffer(static_cast<size_t>(size64));
      ok = sourceBuffer && ReadExactAt(file, 0, sourceBuffer.bytes(), static_cast<uint32_t>(size64));
    }
    const uint32_t error = GetLastError();
    platform::CloseHandle(file);
    if (!ok) {
      SetLastError(error);
      return false;
    }
    size = static_cast<uint32_t>(size64);
    data = sourceBuffer.bytes();
  }
  if (size == 0) flags &= ~(BLOCK_COMPRESSED | BLOCK_IMPLODED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED);

  const uint32_t sectorSize = archive->sectorSize;
  const uint64_t k = (static_cast<uint64_t>(size) + sectorSize - 1) / sectorSize;
  const bool hasTable = (flags & (BLOCK_COMPRESSED | BLOCK_IMPLODED)) != 0;
  const uint64_t tableBytes = hasTable ? 4 * (k + 1) : 0;
  const uint32_t prefix = IsBn3(archive) ? kBn3FileHeaderSize : 0;
  const uint64_t room = prefix + tableBytes + size;
  if (room > 0xFFFFFFFFu) {
    SetLastError(kErrorFileTooLarge);
    return false;
  }

  // The stored form: optional per-file header, then the data.
  PageBuffer stored(room != 0 ? static_cast<size_t>(room) : 1);
  PageBuffer offsetBuffer(static_cast<size_t>(4 * (k + 1)));
  if (!stored || !offsetBuffer) return false;
  auto* offsets = reinterpret_cast<uint32_t*>(offsetBuffer.bytes());
  uint8_t* body = stored.bytes() + prefix;
  uint32_t storedSize = 0;
  if (hasTable) {
    if (!CompressSectors(data, size, sectorSize, flags, mask, level, body, offsets, &storedSize)) {
      return false;
    }
  } else {
    if (size != 0) std::memcpy(body, data, size);
    for (uint64_t i = 0; i < k; ++i) offsets[i] = static_cast<uint32_t>(i * sectorSize);
    offsets[k] = size;
    storedSize = size;
  }
  if (prefix != 0) {
    platform::StoreLE32(stored.bytes(), kBn3FileHeaderSize);
    const size_t nameLength = std::strlen(storedName);
    std::memcpy(stored.bytes() + 64, storedName, nameLength < 260 ? nameLength : 260);
    storedSize += prefix;
  }

  // The block entry: the replaced file's own, unless it is shared with
  // another entry or names no block of the table.
  const HashEntry savedEntry = *slot;
  const ArchiveHeader savedHeader = archive->header;
  BlockEntry* const savedTable = archive->blockTable;
  const uint32_t blockCount = archive->header.blockTableEntries;
  bool grew = true;
  uint32_t blockIndex = blockCount;
  if (IsHashEntryInUse(*slot) && slot->blockIndex < blockCount && savedTable != nullptr &&
      !BlockShared(archive, slot, slot->blockIndex)) {
    grew = false;
    blockIndex = slot->blockIndex;
  }
  BlockEntry oldBlock{};
  uint32_t oldExtent = 0;
  if (!grew) {
    oldBlock = savedTable[blockIndex];
    // The room of the old place is what its data take by their own layout: a
    // falsified stored size would have new data written over other files.
    oldExtent = oldBlock.storedSize;
    StoredExtent(archive, *slot, &oldExtent);
  }
  if (grew && blockCount == 0xFFFFFFFFu / kEntryBytes) {
    SetLastError(kErrorFileTooLarge);
    return false;
  }

  uint32_t position = 0;
  ArchiveHeader newHeader{};
  if (!PlaceBlock(archive, oldBlock.offset, oldExtent, storedSize, grew, &position, &newHeader)) {
    return false;
  }
  BlockEntry* table = savedTable;
  if (grew) {
    PageBuffer bigger(static_cast<size_t>(blockCount + 1) * kEntryBytes);
    if (!bigger) return false;
    if (blockCount != 0) std::memcpy(bigger.bytes(), savedTable, static_cast<size_t>(blockCount) * kEntryBytes);
    table = reinterpret_cast<BlockEntry*>(bigger.release());
    newHeader.blockTableEntries = blockCount + 1;
  }

  // From here on the records change; a failed write puts them back.
  const uint32_t locale = IsHashEntryInUse(*slot) ? slot->locale : CurrentLocale;
  slot->nameHashA = HashString(storedName, HASH_NAME_A);
  slot->nameHashB = HashString(storedName, HASH_NAME_B);
  slot->locale = locale;
  slot->blockIndex = blockIndex;
  BlockEntry& block = table[blockIndex];
  block.offset = position;
  block.storedSize = storedSize;
  block.fileSize = size;
  block.flags = flags | BLOCK_EXISTS;
  archive->blockTable = table;
  archive->header = newHeader;

  if (flags & BLOCK_ENCRYPTED) {
    const uint32_t key = FileKey(storedName, block);
    EncryptData(body, offsets, static_cast<uint32_t>(k), hasTable, key);
  }

  bool ok = WriteBackHeader(archive) &&
            WriteExactAt(archive->fileHandle, static_cast<uint64_t>(archive->headerOffset) + position,
                         stored.bytes(), storedSize) &&
            WriteBackHashTable(archive) && WriteBackBlockTable(archive);
  if (!ok) {
    const uint32_t error = GetLastError();
    *slot = savedEntry;
    archive->header = savedHeader;
    archive->blockTable = savedTable;
    if (grew) platform::VirtualFree(table);
    else savedTable[blockIndex] = oldBlock;
    // Best effort: the old header and tables at their old places, so the
    // file describes what the records do again.
    WriteBackHeader(archive);
    WriteBackHashTable(archive);
    WriteBackBlockTable(archive);
    SetLastError(error);
    return false;
  }
  if (grew) platform::VirtualFree(savedTable);

  ListfileAddName(archive, storedName);
  return true;
}

// Whole lines only: the name must start the text or follow a CR or LF, and
// end it or stand before a CR or LF.
bool MatchNoCase(const uint8_t* text, const char* name, uint32_t length) {
  for (uint32_t i = 0; i < length; ++i) {
    uint8_t a = text[i];
    uint8_t b = static_cast<uint8_t>(name[i]);
    if (a >= 'a' && a <= 'z') a = static_cast<uint8_t>(a - 32);
    if (b >= 'a' && b <= 'z') b = static_cast<uint8_t>(b - 32);
    if (a != b) return false;
  }
  return true;
}

bool IsLineBreak(uint8_t c) { return c == '\r' || c == '\n'; }

}  // namespace

int64_t FindListedLine(const uint8_t* text, uint32_t size, const char* name) {
  const uint32_t length = static_cast<uint32_t>(std::strlen(name));
  for (uint32_t pos = 0; pos < size; ++pos) {
    if (pos != 0 && !IsLineBreak(text[pos - 1])) continue;
    if (size - pos < length) break;
    if (!MatchNoCase(text + pos, name, length)) continue;
    if (pos + length == size || IsLineBreak(text[pos + length])) return pos;
  }
  return -1;
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

bool ReadListfile(Archive* archive, uint32_t extra, PageBuffer* text, uint32_t* size, bool* present) {
  *size = 0;
  *present = FindHashEntry(archive, kListfileName, CurrentLocale) != nullptr;
  if (!*present) return true;
  FileHandle file = nullptr;
  if (!OpenArchiveFile(archive, kListfileName, 0, &file)) return false;
  const uint32_t fileSize = GetArchiveFileSize(file, nullptr);
  const BlockEntry* block = BlockOfFile(file);
  bool ok = block != nullptr && fileSize != 0xFFFFFFFFu;
  if (ok && fileSize != 0) {
    // The size must be one the archive file can stand for: from the data
    // start on it holds the plain data, or an offset table of one word per
    // sector.
    const uint64_t sectors = (static_cast<uint64_t>(fileSize) + archive->sectorSize - 1) / archive->sectorSize;
    const bool hasTable = (block->flags & (BLOCK_COMPRESSED | BLOCK_IMPLODED)) != 0;
    const uint64_t minimum = hasTable ? 4 * (sectors + 1) : fileSize;
    const uint64_t total = static_cast<uint64_t>(fileSize) + extra + 1;
    BlockData where;
    if (!LocateBlockData(archive, *block, &where) || minimum > where.room || total > 0xFFFFFFFFu) {
      SetLastError(ERROR_FILE_CORRUPT);
      ok = false;
    }
    if (ok) {
      *text = PageBuffer(static_cast<size_t>(total));
      uint32_t got = 0;
      ok = static_cast<bool>(*text) && ReadArchiveFile(file, text->bytes(), fileSize, &got, nullptr);
      if (ok && got != fileSize) {
        SetLastError(ERROR_FILE_CORRUPT);
        ok = false;
      }
    }
  }
  const uint32_t error = GetLastError();
  CloseArchiveFile(file);
  SetLastError(error);
  if (ok) *size = fileSize;
  return ok;
}

bool StoreListfile(Archive* archive, const uint8_t* text, uint32_t size) {
  static const uint8_t kEmpty = 0;
  const uint32_t saved = CurrentLocale;
  CurrentLocale = 0;
  const bool ok = AddBuffer(archive, text != nullptr ? text : &kEmpty, size, kListfileName, kListfileFlags);
  const uint32_t error = GetLastError();
  CurrentLocale = saved;
  SetLastError(error);
  return ok;
}

bool ListfileAddName(Archive* archive, const char* name) {
  if ((archive->openFlags & UPDATE_KEEP_LISTFILE) == 0 || EqualNoCase(name, kListfileName)) return true;
  // A name that holds a line break (or none at all) cannot be one line.
  if (name[0] == 0 || std::strpbrk(name, "\r\n") != nullptr) return true;
  const uint32_t length = static_cast<uint32_t>(std::strlen(name));
  PageBuffer text;
  uint32_t size = 0;
  bool present = false;
  // A list that is there but cannot be read is never replaced by a new one.
  if (!ReadListfile(archive, length + 4, &text, &size, &present)) return false;
  if (size != 0 && FindListedLine(text.bytes(), size, name) >= 0) return true;
  if (!text) {
    text = PageBuffer(length + 3);
    if (!text) return false;
  }
  uint8_t* out = text.bytes();
  uint32_t used = size;
  if (used != 0 && !IsLineBreak(out[used - 1])) {
    out[used++] = '\r';
    out[used++] = '\n';
  }
  std::memcpy(out + used, name, length);
  used += length;
  out[used++] = '\r';
  out[used++] = '\n';
  return StoreListfile(archive, out, used);
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
