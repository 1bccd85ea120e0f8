#include "attributes.h"

#include <cstdio>
#include <cstring>

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

}  // namespace

std::string DescribeAttributes(const ArchiveFacts& facts) {
  if (facts.attributesError != 0) return "unusable: " + AttributesProblem(facts);
  if (!facts.attributesPresent) return "none";
  static const struct {
    uint32_t flag;
    const char* word;
  } kWords[] = {{ATTRIBUTE_CRC32, "CRC-32"}, {ATTRIBUTE_FILETIME, "file time"}, {ATTRIBUTE_MD5, "MD5"},
                {ATTRIBUTE_PATCH_BIT, "patch bit"}};
  std::string text;
  for (const auto& w : kWords) {
    if ((facts.attributesFlags & w.flag) == 0) continue;
    if (!text.empty()) text += ", ";
    text += w.word;
  }
  if (text.empty()) text = "no arrays";
  char tail[96];
  std::snprintf(tail, sizeof tail, " (flags 0x%X; items for %u of %u block entries)", facts.attributesFlags,
                facts.attributesCount, facts.blockTableEntries);
  return text + tail;
}

std::string AttributesProblem(const ArchiveFacts& facts) {
  const uint32_t code = facts.attributesError;
  if (code == 0) return "";
  if (code == ERROR_NOT_SUPPORTED) {
    return "\"(attributes)\" has version " + std::to_string(facts.attributesVersion) +
           ", and only version 100 is known";
  }
  if (code == ERROR_FILE_CORRUPT && facts.attributesSize != 0) {
    return "\"(attributes)\" has " + std::to_string(facts.attributesSize) +
           " bytes, which fit no layout of its arrays for " + std::to_string(facts.blockTableEntries) +
           " block-table entries";
  }
  return "\"(attributes)\" cannot be read: " + ErrorText(code);
}

std::string DigestMismatch(const ArchiveVerifyResult& r) {
  std::string found;
  if (r.digestsDiffering & ATTRIBUTE_CRC32) {
    found = "CRC-32 recorded " + Hex32(r.recordedCrc) + ", content has " + Hex32(r.actualCrc);
  }
  if (r.digestsDiffering & ATTRIBUTE_MD5) {
    if (!found.empty()) found += "; ";
    found += "MD5 recorded " + Hex(r.recordedMd5, 16) + ", content has " + Hex(r.actualMd5, 16);
  }
  return found;
}

}  // namespace sorvane
