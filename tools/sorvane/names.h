// Stored names: reading name lists, matching them to hash entries, and
// turning names into output paths and source paths into names.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sorvane/sorvane_ext.h"

namespace sorvane {

// The names of a list text: lines separated by runs of CR and LF.
std::vector<std::string> SplitNames(const std::string& text);

// Reads a whole stored file. False (last error set) when it cannot be opened
// or read through.
bool ReadStoredFile(ArchiveHandle archive, const char* name, std::string* contents);

// One stored file as a hash entry sees it.
struct StoredEntry {
  uint32_t hashIndex = 0;
  std::string name;  // empty when no list names it
  uint32_t locale = 0;
  bool blockValid = false;  // the entry names a block of the table
  uint32_t blockIndex = 0;
  struct {
    uint32_t fileSize = 0;
    uint32_t storedSize = 0;  // as the block table says
    uint32_t flags = 0;
  } block;
  uint32_t extent = 0;   // the data's bytes as its layout says, else storedSize
  uint32_t methods = 0;  // GetCompressionMethods' answer
};

// The tool's copy of an entry the library describes.
StoredEntry ToStoredEntry(const ArchiveEntry& e);

// What StoredEntries may leave out.
constexpr uint32_t kEntriesNoLayout = 1;  // extent is the block's stored size and
                                          // methods 0xFFFFFFFF: no sector table is read
// Entries that name no block hold no file: readers pass over them, and such an
// entry must not stand in for a file of its name. Only list shows them.
constexpr uint32_t kEntriesFilesOnly = 2;

// Every hash entry in use, in table order, named where a name fits. False,
// said on standard error, when the entries cannot be gathered (no memory):
// an empty list would pass for an empty archive.
bool StoredEntries(ArchiveHandle archive, const std::vector<std::string>& names, std::vector<StoredEntry>* out,
                   uint32_t options = 0);

// Opens a stored entry: by its name in its locale, or by its hash index when
// byIndex or when the name leads elsewhere. A name leads to the first of its
// entries in that locale (or to the neutral one), and one like "#5" to hash
// entry 5, so a second entry of one name is reached only by its index.
bool OpenStoredEntry(ArchiveHandle archive, const std::string& name, uint32_t locale, uint32_t hashIndex,
                     bool byIndex, FileHandle* file);

// The order list shows entries in: known names first, by name, then locale.
bool LessByName(const StoredEntry& a, const StoredEntry& b);

// The text a user sees for an entry: its name, or "#index".
std::string DisplayName(const StoredEntry& entry);

// False for a stored name that would write outside the output folder: a
// leading separator, a drive, or a component of two or more dots.
bool IsSafeStoredName(const std::string& name);

// The stored name for a path given on the command line: separators become
// backslashes, "." components and any root are dropped. Empty when the path
// climbs out of its folder with "..".
std::string StoredNameForPath(const std::string& path);

}  // namespace sorvane
