// The "(attributes)" file: per block-table entry a CRC-32, a file time, an
// MD5 and a patch bit, each array present when its flag is set. Reading it,
// the digests that fill it, and its upkeep by the update side. Not part of
// the public interface.
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/records.h"

constexpr uint32_t kAttributesVersion = 100;
constexpr uint32_t kKnownAttributes = ATTRIBUTE_CRC32 | ATTRIBUTE_FILETIME | ATTRIBUTE_MD5 | ATTRIBUTE_PATCH_BIT;
extern const char kAttributesName[];  // "(attributes)"

// The arrays of an "(attributes)" file, one item per block-table entry
// (index i: block i). An item that is all zeros is not recorded; so is any
// item at or past count. malloc'd; ReleaseAttributes frees them.
struct AttributesTable {
  uint32_t version = 0;
  uint32_t flags = 0;     // as stored, unknown bits included
  uint32_t count = 0;     // items each array below holds
  uint32_t* crc = nullptr;
  uint64_t* time = nullptr;
  uint8_t* md5 = nullptr;    // 16 bytes per item
  uint8_t* patch = nullptr;  // one byte (0 or 1) per item
};
void ReleaseAttributes(AttributesTable* table);
// Grows or shrinks every present array to count items; new items are zero.
bool ResizeAttributes(AttributesTable* table, uint32_t count);

// Parses the bytes of an "(attributes)" file for a block table of `entries`
// entries. The arrays follow each other, each of the same length m: the
// length whose layout the size fits exactly (m = entries first), else
// `entries`, where a file cut short (as older writers left them) is used for
// what it covers. Fails with ERROR_NOT_SUPPORTED for a version other than
// 100, ERROR_FILE_CORRUPT for a size no layout explains (shorter than its
// 8-byte header, or longer than a full table needs without fitting another).
bool ParseAttributes(const uint8_t* data, uint32_t size, uint32_t entries, AttributesTable* out);
// The file's bytes for table.count items: malloc'd into *data.
bool SerializeAttributes(const AttributesTable& table, uint8_t** data, uint32_t* size);

// Reads and parses the archive's neutral "(attributes)". *present tells
// whether the archive holds one; false when one is there but cannot be read
// or parsed (last error set, *rawSize its length when it was read).
bool ReadArchiveAttributes(Archive* archive, AttributesTable* table, bool* present, uint32_t* rawSize = nullptr);

// ---- digests -------------------------------------------------------------------

// The ATTRIBUTE_CRC32 and ATTRIBUTE_MD5 bits this build can compute (CRC-32
// comes from zlib, MD5 from libgcrypt; a build without one leaves it out).
uint32_t SupportedDigests();

// CRC-32 and MD5 of a byte stream, fed in order.
class ContentDigest {
 public:
  // wanted: ATTRIBUTE_CRC32 and/or ATTRIBUTE_MD5 (other bits ignored); only
  // supported ones are computed.
  explicit ContentDigest(uint32_t wanted);
  ~ContentDigest();
  ContentDigest(const ContentDigest&) = delete;
  ContentDigest& operator=(const ContentDigest&) = delete;
  void Update(const void* data, size_t size);
  // What was computed (the bits of wanted that are supported).
  uint32_t computed() const { return computed_; }
  uint32_t crc() const { return crc_; }
  // The MD5 of everything fed so far; zeros when not computed.
  void Md5(uint8_t out[16]);

 private:
  uint32_t computed_ = 0;
  uint32_t crc_ = 0;
  void* md5_ = nullptr;
};

// ---- upkeep in update sessions -------------------------------------------------------

struct UpdateSession;

// What an add learnt of the content it stored.
struct StoredContent {
  ContentDigest* digest;
  uint64_t fileTime;
};

// The attributes an update of this archive keeps: read on first use, null
// when the archive has none or has one that cannot be read (left alone).
AttributesTable* KeptAttributes(Archive* archive);
// Records the content of a file just stored in block index.
void NoteStoredContent(Archive* archive, uint32_t blockIndex, const StoredContent& content);
// A block copied to a new index keeps its content.
void CopyAttributesItem(Archive* archive, uint32_t from, uint32_t to);
// A direct change of "(attributes)" by the caller: the session's copy is void.
void ForgetSessionAttributes(Archive* archive);
// Stores the session's attributes when they changed (the commit's step,
// after the name list). kRefused: no room for them.
enum class Outcome;
Outcome StoreSessionAttributes(Archive* archive);
void ReleaseSessionAttributes(UpdateSession* session);

// Compaction: the re-indexed "(attributes)" for the blocks kept. block is
// the index of the attributes file's block (kNoAttributes when there is none
// to rewrite: absent, unusable, or its block not kept); entry and bytes are
// its new block (offset to be set) and stored bytes.
constexpr uint32_t kNoAttributes = 0xFFFFFFFFu;
struct CompactedAttributes {
  uint32_t block = kNoAttributes;
  BlockEntry entry{};
  uint8_t* bytes = nullptr;  // malloc'd
  ~CompactedAttributes();
};
// firstUser[i]: the first hash entry naming block i, unusedMark for a
// block that is dropped. False only for want of memory.
bool PrepareCompactedAttributes(Archive* archive, const uint32_t* firstUser, uint32_t blockCount,
                                uint32_t unusedMark, CompactedAttributes* out);
