// What sorvane checks before it acts, so that a failure says what happened:
// names as users type them, tables that do not fit their file, room in the
// hash table, why an archive cannot be opened for update.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sorvane/sorvane_ext.h"

namespace sorvane {

// ASCII letters compared without case, as name hashes fold them.
bool EqualsNoCase(const std::string& a, const std::string& b);

// The name with every '/' turned into the stored separator '\'.
std::string Backslashed(const std::string& name);

// True when the archive's hash table holds name in exactly this locale.
bool IsStored(ArchiveHandle archive, const std::string& name, uint32_t locale);

// The name a user means: as typed when it is stored (in locale, or in the
// neutral locale too when fallback is set), else with '/' read as '\' when
// that is stored, else as typed.
std::string StoredNameFor(ArchiveHandle archive, const std::string& typed, uint32_t locale, bool fallback);

// "0" or "0x407".
std::string LocaleText(uint32_t locale);

// Prints "sorvane: cannot VERB "NAME": not in the archive" (with the locale
// when it is not neutral).
void NotInArchive(const std::string& verb, const std::string& name, uint32_t locale);

// Checks the tables against the file: a table that starts at or past its
// end, a block in use that lies past it, a hash entry naming a block the
// table does not have. Prints what is wrong and returns false. For reading,
// a hash entry naming no block is a note, not damage: readers pass over it.
bool CheckTables(ArchiveHandle archive, const std::string& shownPath, bool reading);

// A regular file of no bytes: no archive, and one the library would make a
// new archive in when opened for update.
bool IsEmptyFile(const std::string& absolutePath);

// Whether the path is a folder (which no archive is).
bool IsFolder(const std::string& absolutePath);

// Reports why an archive cannot be opened for update, telling a file that
// may not be written from one that is missing.
void ReportUpdateOpenFailure(const std::string& shownPath, const std::string& absolutePath);

// The hash table's entries and those in use (neither empty nor deleted).
struct TableUse {
  uint32_t entries = 0;
  uint32_t inUse = 0;
};
TableUse UseOfTable(ArchiveHandle archive);

// The hash-table size suggested for this many entries: the next power of two.
uint32_t HashSizeFor(uint64_t entries);

// How many hash entries a set of names would take in locale: each distinct
// name (case ignored) that the table does not hold in that locale yet (a
// stored one is replaced in its entry, or refused); "(listfile)" is counted
// apart, when addList is set and the neutral list is missing.
struct Needed {
  uint64_t names = 0;  // new entries for the given names
  uint64_t list = 0;   // 1 when the name list needs an entry of its own
  uint64_t total() const { return names + list; }
};
Needed EntriesNeeded(ArchiveHandle archive, const std::vector<std::string>& names, uint32_t locale, bool addList);

// Stored entries whose name none of names gives.
uint32_t UnnamedEntries(ArchiveHandle archive, const std::vector<std::string>& names);

// Prints why the hash table is too small and which size would fit.
void ReportTooSmall(const std::string& shownPath, bool exists, uint32_t entries, uint32_t inUse, const Needed& needed,
                    bool canGrow);

// Reads a user's list of names (none for an empty path; false, with a
// message, when it cannot be read). The library names entries from the
// archive's own lists itself.
bool ReadUserList(const std::string& path, std::vector<std::string>* names);

}  // namespace sorvane
