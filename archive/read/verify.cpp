// Verification: every stored entry decoded through, and its content checked
// against the digests "(attributes)" records.
#include <cstring>

#include "archive/format/records.h"
#include "archive/read/attributes_read.h"
#include "archive/read/read_internal.h"
#include "platform/page_buffer.h"
#include "sorvane/sorvane_ext.h"

namespace {

// The archive's "(attributes)" as entries are checked against it.
class RecordedDigests {
 public:
  explicit RecordedDigests(Archive* archive) {
    bool present = false;
    if (!ReadArchiveAttributes(archive, &table_, &present)) ReleaseAttributes(&table_);
    if (const HashEntry* own = FindHashEntry(archive, kAttributesName, 0)) ownBlock_ = own->blockIndex;
  }
  ~RecordedDigests() { ReleaseAttributes(&table_); }
  RecordedDigests(const RecordedDigests&) = delete;
  RecordedDigests& operator=(const RecordedDigests&) = delete;

  uint32_t wanted() const { return table_.flags & (ATTRIBUTE_CRC32 | ATTRIBUTE_MD5); }

  // Sets the result's digest fields; true when a recorded one differs. The
  // file "(attributes)" records nothing true of itself.
  bool Differs(uint32_t block, ContentDigest* digest, ArchiveVerifyResult* r) const {
    if (block >= table_.count || block == ownBlock_) return false;
    if (table_.crc != nullptr && table_.crc[block] != 0 && (digest->computed() & ATTRIBUTE_CRC32)) {
      r->recordedCrc = table_.crc[block];
      r->actualCrc = digest->crc();
      if (r->recordedCrc != r->actualCrc) r->digestsDiffering |= ATTRIBUTE_CRC32;
    }
    static const uint8_t kZero[16] = {};
    const uint8_t* md5 = table_.md5 != nullptr ? table_.md5 + static_cast<size_t>(block) * 16 : nullptr;
    if (md5 != nullptr && std::memcmp(md5, kZero, 16) != 0 && (digest->computed() & ATTRIBUTE_MD5)) {
      std::memcpy(r->recordedMd5, md5, 16);
      digest->Md5(r->actualMd5);
      if (std::memcmp(r->recordedMd5, r->actualMd5, 16) != 0) r->digestsDiffering |= ATTRIBUTE_MD5;
    }
    return r->digestsDiffering != 0;
  }

 private:
  AttributesTable table_;
  uint32_t ownBlock_ = 0xFFFFFFFFu;
};

struct Verification {
  Archive* archive;
  RecordedDigests recorded;
  platform::PageBuffer buffer;
  ArchiveEntryCallback select;
  ArchiveVerifyCallback callback;
  void* context;
};

// A name leads to the first of its entries in that locale (or to the
// neutral one), and one like "#5" to hash entry 5: an entry the name does
// not lead to is reached by its index.
bool OpenEntry(Archive* archive, const ArchiveEntry& entry, FileHandle* file) {
  if (!entry.nameKnown) return OpenArchiveFileByIndex(archive, entry.hashIndex, file);
  if (OpenArchiveFileInLocale(archive, entry.name, entry.locale, file)) {
    if ((*file)->hashEntry == &archive->hashTable[entry.hashIndex]) return true;
    CloseArchiveFile(*file);
  }
  *file = nullptr;
  return OpenArchiveFileByIndex(archive, entry.hashIndex, file);
}

// Where reading an open file through stops, if it does.
void ReadThrough(Verification& v, FileHandle file, ContentDigest* digest, ArchiveVerifyResult* r) {
  uint32_t done = 0;
  if (DigestOpenFile(file, v.buffer, digest, &done)) return;
  r->error = GetLastError();
  const uint32_t shift = GetArchiveFileInfo(file, INFO_SECTOR_SHIFT);
  r->sector = shift < 16 ? done / (512u << shift) : 0xFFFFFFFFu;
  r->reason = VERIFY_UNREADABLE;
}

void Check(Verification& v, const ArchiveEntry& e, ArchiveVerifyResult* r) {
  if (!e.hasBlock) {
    r->state = VERIFY_DAMAGED;
    r->reason = VERIFY_NO_BLOCK;
    return;
  }
  FileHandle file = nullptr;
  if (!OpenEntry(v.archive, e, &file)) {
    r->error = GetLastError();
    const bool keyless = (e.flags & BLOCK_ENCRYPTED) && r->error == ERROR_FILE_INVALID;
    // Without its name such a file's key cannot be had, so whether it is
    // whole cannot be told either.
    r->state = keyless && !e.nameKnown ? VERIFY_NOT_CHECKED : VERIFY_DAMAGED;
    r->reason = !keyless ? VERIFY_CANNOT_OPEN : e.nameKnown ? VERIFY_NO_KEY : VERIFY_KEY_NEEDS_NAME;
    return;
  }
  ContentDigest digest(v.recorded.wanted());
  ReadThrough(v, file, &digest, r);
  CloseArchiveFile(file);
  if (r->reason == VERIFY_UNREADABLE) {
    // A method this build lacks (bzip2 in the Windows builds) says nothing
    // about the data: such a file is not checked rather than damaged. A
    // mask bit that no method has is damage.
    constexpr uint32_t kKnownMethods = COMP_HUFFMAN | COMP_ZLIB | COMP_IMPLODE | COMP_BZIP2 | COMP_ADPCM_MONO |
                                       COMP_ADPCM_STEREO | METHOD_SECTOR_STORED;
    const bool lacking = r->error == ERROR_NOT_SUPPORTED && (e.methods & ~kKnownMethods) == 0;
    r->state = lacking ? VERIFY_NOT_CHECKED : VERIFY_DAMAGED;
    if (lacking) r->reason = VERIFY_METHOD_MISSING;
    return;
  }
  if (v.recorded.Differs(e.blockIndex, &digest, r)) {
    r->state = VERIFY_DIFFERS;
    r->reason = VERIFY_DIGEST;
  }
}

bool VerifyOne(void* context, const ArchiveEntry* entry) {
  Verification& v = *static_cast<Verification*>(context);
  if (v.select != nullptr && !v.select(v.context, entry)) return true;
  ArchiveVerifyResult r{};
  r.structSize = sizeof r;
  r.entry = entry;
  r.sector = 0xFFFFFFFFu;
  Check(v, *entry, &r);
  return v.callback(v.context, &r);
}

}  // namespace

extern "C" bool VerifySelectedEntries(ArchiveHandle archive, const char* const* names, uint32_t count,
                                      ArchiveEntryCallback select, ArchiveVerifyCallback callback, void* context) {
  if (!IsOpenArchive(archive) || callback == nullptr || (names == nullptr && count != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const uint32_t savedError = GetLastError();
  Verification v{archive, RecordedDigests(archive), platform::PageBuffer(1u << 20), select, callback, context};
  if (!v.buffer) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  SetLastError(savedError);
  return EnumerateArchiveEntries(archive, names, count, VerifyOne, &v);
}

extern "C" bool VerifyArchiveEntries(ArchiveHandle archive, const char* const* names, uint32_t count,
                                     ArchiveVerifyCallback callback, void* context) {
  return VerifySelectedEntries(archive, names, count, nullptr, callback, context);
}

extern "C" uint32_t GetSupportedDigests(void) { return SupportedDigests(); }
