// What sorvane shows and checks of an archive's "(attributes)".
#pragma once

#include <cstdint>
#include <string>

#include "archive/read/attributes_read.h"
#include "names.h"

namespace sorvane {

// One line for `info`: which attributes are recorded, for how many files.
std::string DescribeAttributes(ArchiveHandle archive);

// The archive's "(attributes)" as `verify` checks files against it.
class AttributesCheck {
 public:
  explicit AttributesCheck(ArchiveHandle archive);
  ~AttributesCheck();
  AttributesCheck(const AttributesCheck&) = delete;
  AttributesCheck& operator=(const AttributesCheck&) = delete;
  // Empty when the archive has none or it is usable; else why it is not.
  const std::string& problem() const { return problem_; }
  // The digests a file's content needs for the check.
  uint32_t digests() const;
  // What the recorded item of the entry's block says against the digests
  // of its content; empty when they agree or nothing is recorded.
  std::string Compare(const StoredEntry& entry, ContentDigest* digest) const;
  // Attributes recorded but not checked by this build.
  uint32_t unchecked() const { return (table_.flags & (ATTRIBUTE_CRC32 | ATTRIBUTE_MD5)) & ~SupportedDigests(); }

 private:
  ArchiveHandle archive_;
  AttributesTable table_;
  std::string problem_;
  uint32_t ownBlock_ = 0xFFFFFFFFu;
};

}  // namespace sorvane
