// The archive header's bytes, and the library's last error (the lowest
// layer of the library sets it).
#include <cstring>

#include "archive/format/records.h"
#include "platform/bytes.h"
#include "platform/platform.h"

// On Windows the header hands these to the system's own.
#if !defined(_WIN32)
uint32_t GetLastError() { return platform::GetLastError(); }
void SetLastError(uint32_t code) { platform::SetLastError(code); }
#endif

ArchiveHeader ParseArchiveHeader(const uint8_t bytes[kHeaderBytes]) {
  ArchiveHeader h{};
  std::memcpy(h.signature, bytes, 4);
  h.headerSize = platform::LoadLE32(bytes + 4);
  h.archiveSize = platform::LoadLE32(bytes + 8);
  h.formatVersion = platform::LoadLE16(bytes + 12);
  h.sectorSizeShift = platform::LoadLE16(bytes + 14);
  h.hashTableOffset = platform::LoadLE32(bytes + 16);
  h.blockTableOffset = platform::LoadLE32(bytes + 20);
  h.hashTableEntries = platform::LoadLE32(bytes + 24);
  h.blockTableEntries = platform::LoadLE32(bytes + 28);
  return h;
}

void SerializeArchiveHeader(const ArchiveHeader& h, uint8_t bytes[kHeaderBytes]) {
  std::memcpy(bytes, h.signature, 4);
  platform::StoreLE32(bytes + 4, h.headerSize);
  platform::StoreLE32(bytes + 8, h.archiveSize);
  platform::StoreLE16(bytes + 12, h.formatVersion);
  platform::StoreLE16(bytes + 14, h.sectorSizeShift);
  platform::StoreLE32(bytes + 16, h.hashTableOffset);
  platform::StoreLE32(bytes + 20, h.blockTableOffset);
  platform::StoreLE32(bytes + 24, h.hashTableEntries);
  platform::StoreLE32(bytes + 28, h.blockTableEntries);
}

void ParseExtendedHeader(const uint8_t bytes[kExtendedHeaderBytes], ArchiveHeader* h) {
  h->highOffsetTablePos = platform::LoadLE64(bytes + 32);
  h->hashTablePosHigh = platform::LoadLE16(bytes + 40);
  h->blockTablePosHigh = platform::LoadLE16(bytes + 42);
}

void SerializeExtendedHeader(const ArchiveHeader& h, uint8_t bytes[kExtendedHeaderBytes]) {
  SerializeArchiveHeader(h, bytes);
  platform::StoreLE64(bytes + 32, h.highOffsetTablePos);
  platform::StoreLE16(bytes + 40, h.hashTablePosHigh);
  platform::StoreLE16(bytes + 42, h.blockTablePosHigh);
}
