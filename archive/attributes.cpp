// "(attributes)": parsing and writing the file, the digests that fill it,
// and keeping it current through an update session (read on first use,
// changed in memory, stored once when the session commits, like the name
// list) and through compaction.
#include <cstdlib>
#include <cstring>

#include "archive/attributes.h"
#include "archive/internal_update.h"
#include "archive/read_internal.h"
#include "archive/sorvane.h"
#include "platform/bytes.h"

#ifndef TAVRIX_NO_ZLIB
#include <zlib.h>
#endif
#ifndef TAVRIX_NO_GCRYPT
#include <gcrypt.h>
#endif

const char kAttributesName[] = "(attributes)";

namespace {

constexpr uint32_t kHeaderSize = 8;
constexpr uint32_t kMd5Size = 16;

// Bytes per item of the arrays that have one.
uint64_t ItemBytes(uint32_t flags) {
  return ((flags & ATTRIBUTE_CRC32) ? 4 : 0) + ((flags & ATTRIBUTE_FILETIME) ? 8 : 0) +
         ((flags & ATTRIBUTE_MD5) ? kMd5Size : 0);
}

// The size of a file whose arrays hold m items each.
uint64_t LayoutSize(uint32_t flags, uint64_t m) {
  return kHeaderSize + m * ItemBytes(flags) + ((flags & ATTRIBUTE_PATCH_BIT) ? (m + 7) / 8 : 0);
}

template <typename T>
bool ResizeArray(T** array, uint32_t oldCount, uint32_t count, size_t itemSize) {
  void* bigger = std::realloc(*array, count != 0 ? static_cast<size_t>(count) * itemSize : 1);
  if (bigger == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  *array = static_cast<T*>(bigger);
  if (count > oldCount) {
    std::memset(reinterpret_cast<uint8_t*>(*array) + static_cast<size_t>(oldCount) * itemSize, 0,
                static_cast<size_t>(count - oldCount) * itemSize);
  }
  return true;
}

#ifndef TAVRIX_NO_GCRYPT
// Initialises libgcrypt unless the program already did; MD5 needs no
// secure memory.
bool GcryptReady() {
  static bool ready = false;
  if (!ready) {
    if (!gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) {
      if (gcry_check_version(nullptr) == nullptr) return false;
      gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
      gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    }
    ready = true;
  }
  return true;
}
#endif

bool ItemRecorded(const AttributesTable& t, uint32_t i) {
  if (i >= t.count) return false;
  if (t.crc != nullptr && t.crc[i] != 0) return true;
  if (t.time != nullptr && t.time[i] != 0) return true;
  if (t.md5 != nullptr) {
    for (uint32_t b = 0; b < kMd5Size; ++b) {
      if (t.md5[static_cast<size_t>(i) * kMd5Size + b] != 0) return true;
    }
  }
  return t.patch != nullptr && t.patch[i] != 0;
}

void ClearItem(AttributesTable* t, uint32_t i) {
  if (i >= t->count) return;
  if (t->crc != nullptr) t->crc[i] = 0;
  if (t->time != nullptr) t->time[i] = 0;
  if (t->md5 != nullptr) std::memset(t->md5 + static_cast<size_t>(i) * kMd5Size, 0, kMd5Size);
  if (t->patch != nullptr) t->patch[i] = 0;
}

void CopyItem(const AttributesTable& from, uint32_t i, AttributesTable* to, uint32_t j) {
  if (i >= from.count || j >= to->count) return;
  if (from.crc != nullptr && to->crc != nullptr) to->crc[j] = from.crc[i];
  if (from.time != nullptr && to->time != nullptr) to->time[j] = from.time[i];
  if (from.md5 != nullptr && to->md5 != nullptr) {
    std::memcpy(to->md5 + static_cast<size_t>(j) * kMd5Size, from.md5 + static_cast<size_t>(i) * kMd5Size, kMd5Size);
  }
  if (from.patch != nullptr && to->patch != nullptr) to->patch[j] = from.patch[i];
}

// The digests of a stored file's whole content as read; false when it
// cannot be read through.
bool DigestStoredFile(Archive* archive, uint32_t hashIndex, ContentDigest* digest) {
  FileHandle file = nullptr;
  if (!OpenArchiveFileByIndex(archive, hashIndex, &file)) return false;
  constexpr uint32_t kChunk = 64 * 1024;
  PageBuffer buffer(kChunk);
  const uint32_t size = GetArchiveFileSize(file, nullptr);
  bool ok = size != 0xFFFFFFFFu && buffer;
  for (uint32_t done = 0; ok && done < size;) {
    const uint32_t want = size - done < kChunk ? size - done : kChunk;
    uint32_t got = 0;
    ok = ReadArchiveFile(file, buffer.bytes(), want, &got, nullptr) && got == want;
    if (ok) digest->Update(buffer.bytes(), got);
    done += got;
  }
  CloseArchiveFile(file);
  return ok;
}

}  // namespace

// ---- the file -------------------------------------------------------------------

void ReleaseAttributes(AttributesTable* table) {
  std::free(table->crc);
  std::free(table->time);
  std::free(table->md5);
  std::free(table->patch);
  *table = AttributesTable{};
}

bool ResizeAttributes(AttributesTable* t, uint32_t count) {
  if ((t->flags & ATTRIBUTE_CRC32) && !ResizeArray(&t->crc, t->count, count, 4)) return false;
  if ((t->flags & ATTRIBUTE_FILETIME) && !ResizeArray(&t->time, t->count, count, 8)) return false;
  if ((t->flags & ATTRIBUTE_MD5) && !ResizeArray(&t->md5, t->count, count, kMd5Size)) return false;
  if ((t->flags & ATTRIBUTE_PATCH_BIT) && !ResizeArray(&t->patch, t->count, count, 1)) return false;
  t->count = count;
  return true;
}

bool ParseAttributes(const uint8_t* data, uint32_t size, uint32_t entries, AttributesTable* out) {
  ReleaseAttributes(out);
  if (size < kHeaderSize) {
    SetLastError(ERROR_FILE_CORRUPT);
    return false;
  }
  const uint32_t version = platform::LoadLE32(data);
  const uint32_t flags = platform::LoadLE32(data + 4);
  out->version = version;
  if (version != kAttributesVersion) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return false;
  }
  const uint32_t known = flags & kKnownAttributes;
  // The arrays' length m: the one the size fits exactly, entries first;
  // else entries, with a file cut short used for what it covers. Arrays of
  // unknown flags would follow the known ones, so with such flags a longer
  // file is no fault.
  uint64_t m = entries;
  const uint64_t full = LayoutSize(known, entries);
  if (size != full && (size < full || (flags & ~kKnownAttributes) == 0)) {
    const bool longer = size > full;
    uint64_t lo = longer ? entries : 0, hi = longer ? static_cast<uint64_t>(size) * 8 : entries;
    while (lo < hi) {  // the least length whose layout reaches size
      const uint64_t mid = lo + (hi - lo) / 2;
      if (LayoutSize(known, mid) >= size) hi = mid;
      else lo = mid + 1;
    }
    if (LayoutSize(known, lo) == size) {
      m = lo;
    } else if (longer) {
      SetLastError(ERROR_FILE_CORRUPT);
      return false;
    }
  }
  // Where each array starts and how many of its items the bytes hold.
  struct Array {
    uint32_t flag;
    uint32_t bytes;  // per item; 0 for the patch bits
    uint64_t offset = 0;
    uint64_t covered = 0;
  } arrays[4] = {{ATTRIBUTE_CRC32, 4}, {ATTRIBUTE_FILETIME, 8}, {ATTRIBUTE_MD5, kMd5Size}, {ATTRIBUTE_PATCH_BIT, 0}};
  uint64_t offset = kHeaderSize, count = 0;
  for (Array& a : arrays) {
    if ((known & a.flag) == 0) continue;
    a.offset = offset;
    const uint64_t room = size > offset ? size - offset : 0;
    a.covered = a.bytes != 0 ? room / a.bytes : room * 8;
    if (a.covered > m) a.covered = m;
    if (a.covered > entries) a.covered = entries;
    if (a.covered > count) count = a.covered;
    offset += a.bytes != 0 ? m * a.bytes : (m + 7) / 8;
  }
  out->flags = flags;
  if (!ResizeAttributes(out, static_cast<uint32_t>(count))) {
    ReleaseAttributes(out);
    return false;
  }
  for (const Array& a : arrays) {
    if (a.covered == 0) continue;  // its offset may lie past the data
    const uint8_t* from = data + a.offset;
    for (uint64_t i = 0; i < a.covered; ++i) {
      switch (a.flag) {
        case ATTRIBUTE_CRC32: out->crc[i] = platform::LoadLE32(from + 4 * i); break;
        case ATTRIBUTE_FILETIME:
          out->time[i] = platform::LoadLE32(from + 8 * i) | static_cast<uint64_t>(platform::LoadLE32(from + 8 * i + 4)) << 32;
          break;
        case ATTRIBUTE_MD5: std::memcpy(out->md5 + i * kMd5Size, from + i * kMd5Size, kMd5Size); break;
        default: out->patch[i] = (from[i / 8] >> (i % 8)) & 1; break;
      }
    }
  }
  return true;
}

bool SerializeAttributes(const AttributesTable& t, uint8_t** data, uint32_t* size) {
  const uint32_t known = t.flags & kKnownAttributes;
  const uint64_t bytes = LayoutSize(known, t.count);
  if (bytes > 0xFFFFFFFFu) {
    SetLastError(kErrorFileTooLarge);
    return false;
  }
  auto* out = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(bytes), 1));
  if (out == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  // Unknown arrays cannot be kept, so their flags go too.
  platform::StoreLE32(out, kAttributesVersion);
  platform::StoreLE32(out + 4, known);
  uint8_t* p = out + kHeaderSize;
  const size_t n = t.count;
  if (known & ATTRIBUTE_CRC32) {
    for (size_t i = 0; i < n; ++i, p += 4) platform::StoreLE32(p, t.crc[i]);
  }
  if (known & ATTRIBUTE_FILETIME) {
    for (size_t i = 0; i < n; ++i, p += 8) {
      platform::StoreLE32(p, static_cast<uint32_t>(t.time[i]));
      platform::StoreLE32(p + 4, static_cast<uint32_t>(t.time[i] >> 32));
    }
  }
  if (known & ATTRIBUTE_MD5) {
    if (n != 0) std::memcpy(p, t.md5, n * kMd5Size);
    p += n * kMd5Size;
  }
  if (known & ATTRIBUTE_PATCH_BIT) {
    for (size_t i = 0; i < n; ++i) p[i / 8] = static_cast<uint8_t>(p[i / 8] | (t.patch[i] & 1) << (i % 8));
  }
  *data = out;
  *size = static_cast<uint32_t>(bytes);
  return true;
}

bool ReadArchiveAttributes(Archive* archive, AttributesTable* table, bool* present, uint32_t* rawSize) {
  ReleaseAttributes(table);
  char* text = nullptr;
  uint32_t size = 0, capacity = 0;
  const uint32_t savedLocale = CurrentLocale;
  CurrentLocale = 0;
  bool ok = ReadWholeStoredFile(archive, kAttributesName, &text, &size, &capacity, present);
  CurrentLocale = savedLocale;
  if (rawSize != nullptr) *rawSize = size;
  if (ok && *present) {
    ok = ParseAttributes(reinterpret_cast<const uint8_t*>(text), size, archive->header.blockTableEntries, table);
  }
  const uint32_t error = GetLastError();
  std::free(text);
  SetLastError(error);
  return ok;
}

// ---- digests ------------------------------------------------------------------------

uint32_t SupportedDigests() {
  uint32_t supported = 0;
#ifndef TAVRIX_NO_ZLIB
  supported |= ATTRIBUTE_CRC32;
#endif
#ifndef TAVRIX_NO_GCRYPT
  if (GcryptReady() && gcry_md_test_algo(GCRY_MD_MD5) == 0) supported |= ATTRIBUTE_MD5;
#endif
  return supported;
}

ContentDigest::ContentDigest(uint32_t wanted) {
  wanted &= ATTRIBUTE_CRC32 | ATTRIBUTE_MD5;
  if (wanted == 0) return;
  wanted &= SupportedDigests();
#ifndef TAVRIX_NO_GCRYPT
  if (wanted & ATTRIBUTE_MD5) {
    gcry_md_hd_t handle = nullptr;
    if (gcry_md_open(&handle, GCRY_MD_MD5, 0) == 0) md5_ = handle;
    else wanted &= ~ATTRIBUTE_MD5;
  }
#endif
  computed_ = wanted;
}

ContentDigest::~ContentDigest() {
#ifndef TAVRIX_NO_GCRYPT
  if (md5_ != nullptr) gcry_md_close(static_cast<gcry_md_hd_t>(md5_));
#endif
}

void ContentDigest::Update(const void* data, size_t size) {
#ifndef TAVRIX_NO_ZLIB
  if (computed_ & ATTRIBUTE_CRC32) {
    const auto* bytes = static_cast<const Bytef*>(data);
    for (size_t done = 0; done < size;) {
      const uInt n = size - done < 0x40000000u ? static_cast<uInt>(size - done) : 0x40000000u;
      crc_ = static_cast<uint32_t>(crc32(crc_, bytes + done, n));
      done += n;
    }
  }
#endif
#ifndef TAVRIX_NO_GCRYPT
  if (md5_ != nullptr) gcry_md_write(static_cast<gcry_md_hd_t>(md5_), data, size);
#endif
  (void)data;
  (void)size;
}

void ContentDigest::Md5(uint8_t out[16]) {
  std::memset(out, 0, kMd5Size);
#ifndef TAVRIX_NO_GCRYPT
  if (md5_ != nullptr) {
    // Read from a copy, so the stream can go on afterwards.
    gcry_md_hd_t copy = nullptr;
    if (gcry_md_copy(&copy, static_cast<gcry_md_hd_t>(md5_)) == 0) {
      const unsigned char* value = gcry_md_read(copy, GCRY_MD_MD5);
      if (value != nullptr) std::memcpy(out, value, kMd5Size);
      gcry_md_close(copy);
    }
  }
#endif
}

// ---- upkeep -----------------------------------------------------------------------

AttributesTable* KeptAttributes(Archive* archive) {
  UpdateSession* s = archive->session;
  if (!s->attributesLoaded) {
    s->attributesLoaded = true;
    auto* table = static_cast<AttributesTable*>(std::calloc(1, sizeof(AttributesTable)));
    bool present = false;
    const uint32_t error = GetLastError();
    // One that cannot be read, or holds arrays this library does not know,
    // is left as it is.
    if (table != nullptr && ReadArchiveAttributes(archive, table, &present) && present &&
        (table->flags & ~kKnownAttributes) == 0) {
      s->attributes = table;
    } else if (table != nullptr) {
      ReleaseAttributes(table);
      std::free(table);
    }
    SetLastError(error);
  }
  return s->attributes;
}

void NoteStoredContent(Archive* archive, uint32_t blockIndex, const StoredContent& content) {
  AttributesTable* t = archive->session->attributes;
  if (t == nullptr) return;
  if (blockIndex >= t->count) {
    const uint32_t error = GetLastError();
    const bool grown = ResizeAttributes(t, archive->header.blockTableEntries > blockIndex
                                               ? archive->header.blockTableEntries
                                               : blockIndex + 1);
    SetLastError(error);
    // Without memory for the item the file's item stays unrecorded.
    if (!grown) return;
  }
  ClearItem(t, blockIndex);
  const ContentDigest* digest = content.digest;
  if (t->crc != nullptr && (digest->computed() & ATTRIBUTE_CRC32)) t->crc[blockIndex] = digest->crc();
  if (t->time != nullptr) t->time[blockIndex] = content.fileTime;
  if (t->md5 != nullptr) content.digest->Md5(t->md5 + static_cast<size_t>(blockIndex) * kMd5Size);
  archive->session->attributesDirty = true;
}

void CopyAttributesItem(Archive* archive, uint32_t from, uint32_t to) {
  AttributesTable* t = KeptAttributes(archive);
  if (t == nullptr) return;
  const uint32_t error = GetLastError();
  if (to >= t->count && !ResizeAttributes(t, to + 1)) {
    SetLastError(error);
    return;
  }
  CopyItem(*t, from, t, to);
  archive->session->attributesDirty = true;
}

void ForgetSessionAttributes(Archive* archive) { ReleaseSessionAttributes(archive->session); }

void ReleaseSessionAttributes(UpdateSession* s) {
  if (s->attributes != nullptr) {
    ReleaseAttributes(s->attributes);
    std::free(s->attributes);
  }
  s->attributes = nullptr;
  s->attributesLoaded = false;
  s->attributesDirty = false;
}

Outcome StoreSessionAttributes(Archive* archive) {
  UpdateSession* s = archive->session;
  AttributesTable* t = s->attributes;
  if (t == nullptr || !s->attributesDirty) return Outcome::kDone;
  // The block the file will take: its own when it alone names it (replaced
  // in place), else a new one at the table's end. Its item stays zero.
  const uint32_t entries = archive->header.blockTableEntries;
  const HashEntry* own = FindExactHashEntry(archive, kAttributesName, 0);
  uint32_t ownIndex = entries;
  if (own != nullptr && own->blockIndex < entries && BlockReferences(archive, own->blockIndex) == 1) {
    ownIndex = own->blockIndex;
  }
  const uint32_t count = ownIndex == entries ? entries + 1 : entries;
  if (!ResizeAttributes(t, count)) return Outcome::kArchiveFailed;
  ClearItem(t, ownIndex);
  uint8_t* data = nullptr;
  uint32_t size = 0;
  if (!SerializeAttributes(*t, &data, &size)) return Outcome::kArchiveFailed;
  AddSource source;
  source.memory = data;
  source.memorySize = size;
  const uint32_t savedLocale = CurrentLocale;
  CurrentLocale = 0;
  // Stored plain: compaction rewrites it in place of the old one without
  // a codec.
  Outcome outcome = AddToSession(archive, source, kAttributesName, ADD_REPLACE, 0, 0);
  const uint32_t error = GetLastError();
  CurrentLocale = savedLocale;
  std::free(data);
  // As with the name list, no room in the hash table leaves the old file;
  // the other changes still commit.
  if (outcome == Outcome::kArchiveFailed && error == ERR_HASH_TABLE_FULL) outcome = Outcome::kRefused;
  if (outcome != Outcome::kArchiveFailed) s->attributesDirty = false;
  SetLastError(error);
  return outcome;
}

// ---- compaction ---------------------------------------------------------------------

CompactedAttributes::~CompactedAttributes() { std::free(bytes); }

namespace {

// Adds of audio-coded files used to record the digests of the source, which
// the lossy coder does not give back: such an item never verified. Its file
// is read anew here, so compaction repairs what those adds left. A file
// that does not read keeps its item.
void RedigestAudioItem(Archive* archive, uint32_t hashIndex, AttributesTable* table, uint32_t item) {
  const uint32_t wanted = table->flags & (ATTRIBUTE_CRC32 | ATTRIBUTE_MD5) & SupportedDigests();
  if (wanted == 0 || !ItemRecorded(*table, item)) return;
  const uint32_t methods = GetCompressionMethods(archive, hashIndex);
  if (methods == 0xFFFFFFFFu || (methods & (COMP_ADPCM_MONO | COMP_ADPCM_STEREO)) == 0) return;
  ContentDigest digest(wanted);
  if (!DigestStoredFile(archive, hashIndex, &digest)) return;
  if ((digest.computed() & ATTRIBUTE_CRC32) != 0 && table->crc != nullptr) table->crc[item] = digest.crc();
  if ((digest.computed() & ATTRIBUTE_MD5) != 0 && table->md5 != nullptr) {
    digest.Md5(table->md5 + static_cast<size_t>(item) * kMd5Size);
  }
}

}  // namespace

bool PrepareCompactedAttributes(Archive* archive, const uint32_t* firstUser, uint32_t blockCount,
                                uint32_t unusedMark, CompactedAttributes* out) {
  out->block = kNoAttributes;
  const HashEntry* own = FindExactHashEntry(archive, kAttributesName, 0);
  if (own == nullptr || own->blockIndex >= blockCount || firstUser[own->blockIndex] == unusedMark) return true;
  const uint32_t error = GetLastError();
  AttributesTable old, fresh;
  bool present = false;
  // One that cannot be read or has arrays unknown here is moved as it is.
  if (!ReadArchiveAttributes(archive, &old, &present) || !present || (old.flags & ~kKnownAttributes) != 0) {
    ReleaseAttributes(&old);
    SetLastError(error);
    return true;
  }
  uint32_t kept = 0;
  for (uint32_t i = 0; i < blockCount; ++i) kept += firstUser[i] != unusedMark;
  fresh.version = kAttributesVersion;
  fresh.flags = old.flags;
  bool ok = ResizeAttributes(&fresh, kept);
  for (uint32_t i = 0, m = 0; ok && i < blockCount; ++i) {
    if (firstUser[i] == unusedMark) continue;
    if (i != own->blockIndex) {
      CopyItem(old, i, &fresh, m);
      RedigestAudioItem(archive, firstUser[i], &fresh, m);
    }
    ++m;
  }
  uint8_t* data = nullptr;
  uint32_t size = 0;
  if (ok) ok = SerializeAttributes(fresh, &data, &size);
  ReleaseAttributes(&old);
  ReleaseAttributes(&fresh);
  if (!ok) return false;
  out->block = own->blockIndex;
  out->bytes = data;
  out->entry = BlockEntry{0, size, size, BLOCK_EXISTS};
  SetLastError(error);
  return true;
}

// ---- the public operation -----------------------------------------------------------

bool SetArchiveAttributes(ArchiveHandle archive, uint32_t flags) {
  if (!CheckUpdatableArchive(archive)) return false;
  if (flags == 0 || (flags & ~kKnownAttributes) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if ((flags & (ATTRIBUTE_CRC32 | ATTRIBUTE_MD5) & ~SupportedDigests()) != 0) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return false;
  }
  UpdateSession* s = BeginOperation(archive);
  if (s == nullptr) return false;
  ReleaseSessionAttributes(s);
  auto* t = static_cast<AttributesTable*>(std::calloc(1, sizeof(AttributesTable)));
  if (t == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return EndOperation(archive, Outcome::kArchiveFailed);
  }
  s->attributes = t;
  s->attributesLoaded = true;
  s->attributesDirty = true;
  t->version = kAttributesVersion;
  t->flags = flags;
  const uint32_t blocks = archive->header.blockTableEntries;
  if (!ResizeAttributes(t, blocks)) return EndOperation(archive, Outcome::kArchiveFailed);
  // Each block once, through the first entry naming it. A file that cannot
  // be read through stays unrecorded.
  for (uint32_t i = 0; i < archive->header.hashTableEntries; ++i) {
    const HashEntry& e = archive->hashTable[i];
    if (!IsHashEntryInUse(e) || e.blockIndex >= blocks || ItemRecorded(*t, e.blockIndex)) continue;
    ContentDigest digest(flags);
    if (!DigestStoredFile(archive, i, &digest)) continue;
    StoredContent content{&digest, 0};
    NoteStoredContent(archive, e.blockIndex, content);
  }
  SetLastError(ERROR_SUCCESS);
  return EndOperation(archive, Outcome::kDone);
}
