// Which stored entries a command's NAME arguments select: exact names,
// patterns and folders, less what --exclude takes out.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "names.h"

namespace sorvane {

// Whether a stored name matches a pattern: '*' any run of characters within
// one component, '**' any run across components ("a/**/b" also matches
// "a/b"), '?' one character, "[...]" one of a set or range ("[!...]" or
// "[^...]" for none of them). Letters match whatever their case, as stored
// names do, and '/' and '\' are the same separator. None of the wildcards
// matches a separator except '**'. A '[' without its ']' is itself.
bool MatchPattern(std::string_view pattern, std::string_view name);

// Whether text holds a character that MatchPattern treats as a wildcard.
bool HasWildcards(std::string_view text);

// "(listfile)", "(attributes)" and "(signature)", whatever their case.
bool IsInternalName(std::string_view name);

// Whether an --exclude pattern takes a name out: it matches the whole name,
// or a run of its components (".git" takes out "x\.git\config"; "*.tmp"
// every component ending in ".tmp", folders included).
bool Excluded(const std::vector<std::string>& excludes, std::string_view name);

// What the NAME arguments select from entries, in the order of entries;
// each argument that selects nothing is reported (cannot VERB "NAME": not
// in the archive) and makes *allFound false. A NAME stored exactly (in any
// locale; '/' read as '\' too) selects the entries of that name, "#INDEX"
// the unnamed entry of that index; otherwise, unless literal, a NAME with
// wildcards is a pattern, selecting the names it matches and everything in
// the folders it matches; otherwise it is a folder, selecting everything
// under it. Patterns and folders never select the internal files. With no
// NAMEs every entry but the internal files is selected. Entries excluded
// are left out either way.
std::vector<StoredEntry> SelectEntries(const std::vector<StoredEntry>& entries, const std::vector<std::string>& args,
                                       const std::vector<std::string>& excludes, bool literal,
                                       const std::string& verb, uint32_t locale, bool* allFound);

// Of the versions of one name (its entries in several locales), the one a
// name stands for: the --locale one, else the neutral one, else the first.
size_t PreferredVersion(const std::vector<const StoredEntry*>& versions, bool localeGiven, uint32_t locale);

}  // namespace sorvane
