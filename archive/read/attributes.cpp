// Reading "(attributes)" from an archive and the digests that check and
// fill it.
#include <cstdlib>
#include <cstring>

#include "archive/read/attributes_read.h"
#include "archive/read/read_internal.h"
#include "sorvane/sorvane_ext.h"

#ifndef TAVRIX_NO_ZLIB
#include <zlib.h>
#endif
#ifndef TAVRIX_NO_GCRYPT
#include <gcrypt.h>
#endif

namespace {

#ifndef TAVRIX_NO_GCRYPT
// Initialises libgcrypt unless the program already did; MD5 needs no
// secure memory.
// Set up once, by whichever thread digests first.
bool GcryptReady() {
  static const bool ready = [] {
    if (!gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) {
      if (gcry_check_version(nullptr) == nullptr) return false;
      gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
      gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    }
    return true;
  }();
  return ready;
}
#endif

}  // namespace

bool DigestOpenFile(FileHandle file, PageBuffer& buffer, ContentDigest* digest, uint32_t* done) {
  *done = 0;
  // From the block itself: a size query's failure value is also the
  // largest size a file can have.
  const BlockEntry* block = BlockOfFile(file);
  if (block == nullptr) {
    SetLastError(ERROR_FILE_INVALID);
    return false;
  }
  const uint32_t size = block->fileSize;
  if (!buffer) return false;
  const uint32_t chunk = static_cast<uint32_t>(buffer.size());
  while (*done < size) {
    const uint32_t want = size - *done < chunk ? size - *done : chunk;
    uint32_t got = 0;
    const bool ok = ReadArchiveFile(file, buffer.bytes(), want, &got, nullptr);
    if (got > want) got = want;
    digest->Update(buffer.bytes(), got);
    *done += got;
    if (!ok || got == 0) return false;
  }
  return true;
}

bool DigestStoredFile(Archive* archive, uint32_t hashIndex, ContentDigest* digest) {
  FileHandle file = nullptr;
  if (!OpenArchiveFileByIndex(archive, hashIndex, &file)) return false;
  PageBuffer buffer(64 * 1024);
  uint32_t done = 0;
  const bool ok = DigestOpenFile(file, buffer, digest, &done);
  CloseArchiveFile(file);
  return ok;
}

bool ReadArchiveAttributes(Archive* archive, AttributesTable* table, bool* present, uint32_t* rawSize) {
  ReleaseAttributes(table);
  char* text = nullptr;
  uint32_t size = 0, capacity = 0;
  bool ok = ReadWholeStoredFile(archive, kAttributesName, 0, &text, &size, &capacity, present);
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

extern "C" uint32_t GetRecordedFileTimes(ArchiveHandle archive, uint64_t* times, uint32_t count) {
  if (!IsOpenArchive(archive) || (times == nullptr && count != 0)) return 0;
  const uint32_t savedError = GetLastError();
  AttributesTable table;
  bool present = false;
  uint32_t covered = 0;
  if (ReadArchiveAttributes(archive, &table, &present) && present && table.time != nullptr) {
    covered = table.count < count ? table.count : count;
    for (uint32_t i = 0; i < covered; ++i) times[i] = table.time[i];
  }
  for (uint32_t i = covered; i < count; ++i) times[i] = 0;
  ReleaseAttributes(&table);
  SetLastError(savedError);
  return covered;
}
