#include "attributes.h"

#include <cstdio>
#include <cstring>

#include "archive/read/read_internal.h"
#include "cli.h"

namespace sorvane {

namespace {

std::string Hex(const uint8_t* bytes, size_t n) {
  std::string text;
  char two[3];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(two, sizeof two, "%02x", bytes[i]);
    text += two;
  }
  return text;
}

std::string Hex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

// Why a present "(attributes)" cannot be used.
std::string Unusable(const AttributesTable& table, uint32_t code, uint32_t size, uint32_t entries) {
  if (code == ERROR_NOT_SUPPORTED) {
    return "\"(attributes)\" has version " + std::to_string(table.version) + ", and only version 100 is known";
  }
  if (code == ERROR_FILE_CORRUPT && size != 0) {
    return "\"(attributes)\" has " + std::to_string(size) + " bytes, which fit no layout of its arrays for " +
           std::to_string(entries) + " block-table entries";
  }
  return "\"(attributes)\" cannot be read: " + ErrorText(code);
}

}  // namespace

std::string DescribeAttributes(ArchiveHandle archive) {
  AttributesTable table;
  bool present = false;
  uint32_t size = 0;
  const bool ok = ReadArchiveAttributes(archive, &table, &present, &size);
  std::string text;
  if (!ok) {
    text = "unusable: " + Unusable(table, GetLastError(), size, archive->header.blockTableEntries);
  } else if (!present) {
    text = "none";
  } else {
    static const struct {
      uint32_t flag;
      const char* word;
    } kWords[] = {{ATTRIBUTE_CRC32, "CRC-32"}, {ATTRIBUTE_FILETIME, "file time"}, {ATTRIBUTE_MD5, "MD5"},
                  {ATTRIBUTE_PATCH_BIT, "patch bit"}};
    for (const auto& w : kWords) {
      if ((table.flags & w.flag) == 0) continue;
      if (!text.empty()) text += ", ";
      text += w.word;
    }
    if (text.empty()) text = "no arrays";
    char tail[96];
    std::snprintf(tail, sizeof tail, " (flags 0x%X; items for %u of %u block entries)", table.flags, table.count,
                  archive->header.blockTableEntries);
    text += tail;
  }
  ReleaseAttributes(&table);
  return text;
}

AttributesCheck::AttributesCheck(ArchiveHandle archive) : archive_(archive) {
  bool present = false;
  uint32_t size = 0;
  if (!ReadArchiveAttributes(archive, &table_, &present, &size)) {
    problem_ = Unusable(table_, GetLastError(), size, archive->header.blockTableEntries);
    ReleaseAttributes(&table_);
  }
  const uint32_t saved = GetLocale();
  SetLocale(0);
  const HashEntry* own = FindHashEntry(archive, kAttributesName, 0);
  if (own != nullptr) ownBlock_ = own->blockIndex;
  SetLocale(saved);
}

AttributesCheck::~AttributesCheck() { ReleaseAttributes(&table_); }

uint32_t AttributesCheck::digests() const { return table_.flags & (ATTRIBUTE_CRC32 | ATTRIBUTE_MD5); }

std::string AttributesCheck::Compare(const StoredEntry& entry, ContentDigest* digest) const {
  const uint32_t block = archive_->hashTable[entry.hashIndex].blockIndex;
  if (block >= table_.count || block == ownBlock_) return "";
  std::string found;
  if (table_.crc != nullptr && table_.crc[block] != 0 && (digest->computed() & ATTRIBUTE_CRC32) &&
      table_.crc[block] != digest->crc()) {
    found = "CRC-32 recorded " + Hex32(table_.crc[block]) + ", content has " + Hex32(digest->crc());
  }
  static const uint8_t kZero[16] = {};
  const uint8_t* md5 = table_.md5 != nullptr ? table_.md5 + static_cast<size_t>(block) * 16 : nullptr;
  if (md5 != nullptr && std::memcmp(md5, kZero, 16) != 0 && (digest->computed() & ATTRIBUTE_MD5)) {
    uint8_t actual[16];
    digest->Md5(actual);
    if (std::memcmp(md5, actual, 16) != 0) {
      if (!found.empty()) found += "; ";
      found += "MD5 recorded " + Hex(md5, 16) + ", content has " + Hex(actual, 16);
    }
  }
  return found;
}

}  // namespace sorvane
