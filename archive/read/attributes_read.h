// Reading an archive's "(attributes)" and the digests of stored content.
// Not part of the public interface.
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/format/attributes.h"
#include "archive/read/archive_record.h"
#include "platform/page_buffer.h"

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

// Reads an open file through to its end, which decodes every sector (the
// reader refuses corrupt tables and undecodable sectors itself), its content
// going through digest in pieces of the buffer's size. False when it stops
// early (last error set); *done: the bytes read.
bool DigestOpenFile(FileHandle file, platform::PageBuffer& buffer, ContentDigest* digest, uint32_t* done);

// The digests of a stored file's whole content as read; false when it
// cannot be read through.
bool DigestStoredFile(Archive* archive, uint32_t hashIndex, ContentDigest* digest);
