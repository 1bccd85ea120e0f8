// What sorvane shows and checks of an archive's "(attributes)".
#pragma once

#include <cstdint>
#include <string>

#include "names.h"

namespace sorvane {

// One line for `info`: which attributes are recorded, for how many files.
std::string DescribeAttributes(const ArchiveFacts& facts);

// Empty when the archive has no "(attributes)" or it is usable; else why it
// is not.
std::string AttributesProblem(const ArchiveFacts& facts);

// What the recorded digests of a file that differs say against its content.
std::string DigestMismatch(const ArchiveVerifyResult& result);

}  // namespace sorvane
