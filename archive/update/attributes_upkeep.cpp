// Keeping "(attributes)" in step with an update session's changes and with
// compaction.
#include <cstdlib>
#include <cstring>

#include "archive/update/update_internal.h"
#include "platform/bytes.h"
#include "sorvane/sorvane.h"

namespace {

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

}  // namespace

// ---- upkeep -----------------------------------------------------------------------

AttributesTable* KeptAttributes(Archive* archive) {
  UpdateSession* s = SessionOf(archive);
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
  AttributesTable* t = SessionOf(archive)->attributes;
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
  SessionOf(archive)->attributesDirty = true;
}

void ForgetAttributesItem(Archive* archive, uint32_t index) {
  AttributesTable* t = SessionOf(archive)->attributes;
  if (t == nullptr || index >= t->count) return;
  ClearItem(t, index);
  SessionOf(archive)->attributesDirty = true;
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
  SessionOf(archive)->attributesDirty = true;
}

void ForgetSessionAttributes(Archive* archive) { ReleaseSessionAttributes(SessionOf(archive)); }

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
  UpdateSession* s = SessionOf(archive);
  AttributesTable* t = s->attributes;
  if (t == nullptr || !s->attributesDirty) return Outcome::kDone;
  // The block the file will take, as the add below chooses it. Its item
  // stays zero.
  const uint32_t entries = archive->header.blockTableEntries;
  const HashEntry* own = FindExactHashEntry(archive, kAttributesName, 0);
  HashEntry none;
  MarkHashEntryEmpty(none);
  const uint32_t ownIndex = ChooseBlock(archive, own != nullptr ? *own : none).blockIndex;
  const uint32_t count = ownIndex >= entries ? entries + 1 : entries;
  if (!ResizeAttributes(t, count)) return Outcome::kArchiveFailed;
  ClearItem(t, ownIndex);
  uint8_t* data = nullptr;
  uint32_t size = 0;
  if (!SerializeAttributes(*t, &data, &size)) return Outcome::kArchiveFailed;
  AddSource source;
  source.memory = data;
  source.memorySize = size;
  // Stored plain: compaction rewrites it in place of the old one without
  // a codec.
  Outcome outcome = AddToSession(archive, source, kAttributesName, ADD_REPLACE, 0, 0, 0);
  const uint32_t error = GetLastError();
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
  // Another name or locale of the same block keeps its bytes.
  bool apart = false;
  for (uint32_t e = 0; e < archive->header.hashTableEntries && !apart; ++e) {
    const HashEntry& other = archive->hashTable[e];
    apart = &other != own && IsHashEntryInUse(other) && other.blockIndex == own->blockIndex;
  }
  fresh.version = kAttributesVersion;
  fresh.flags = old.flags;
  bool ok = ResizeAttributes(&fresh, kept + (apart ? 1 : 0));
  for (uint32_t i = 0, m = 0; ok && i < blockCount; ++i) {
    if (firstUser[i] == unusedMark) continue;
    if (i != own->blockIndex || apart) {
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
  // Archives of the second signature begin every block with a per-file
  // header, which readers skip by its first word: without one the
  // attributes' own first bytes would be taken for it.
  uint32_t prefix = 0;
  if (std::memcmp(archive->header.signature, kSignatureBn3, 4) == 0) {
    prefix = kBn3FileHeaderSize;
    auto* whole = static_cast<uint8_t*>(size <= 0xFFFFFFFFu - prefix ? std::malloc(prefix + size) : nullptr);
    if (whole == nullptr) {
      std::free(data);
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return false;
    }
    std::memset(whole, 0, prefix);
    platform::StoreLE32(whole, prefix);
    std::memcpy(whole + 64, kAttributesName, std::strlen(kAttributesName));
    std::memcpy(whole + prefix, data, size);
    std::free(data);
    data = whole;
  }
  out->block = own->blockIndex;
  out->apart = apart;
  out->hashIndex = static_cast<uint32_t>(own - archive->hashTable);
  out->bytes = data;
  out->entry = BlockEntry{0, prefix + size, size, BLOCK_EXISTS};
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
