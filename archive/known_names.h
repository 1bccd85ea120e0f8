// Names a caller hands the library for an archive, and the progress of long
// updates. Internal to the archive units.
#pragma once

#include <cstdint>

#include "archive/records.h"

// A set of names looked up by their two check values (open addressing).
struct KnownNames;

// The name the caller gave for these check values (SetArchiveNameList), or
// null. Owned by the archive's record.
const char* FindKnownName(const Archive* archive, uint32_t nameA, uint32_t nameB);
// Frees the names kept for an archive being released.
void DropKnownNames(Archive* archive);

// Tells the caller's progress callback that this many more bytes of an
// add's source or a compaction's data were handled.
void ReportUpdateProgress(uint64_t bytes);
