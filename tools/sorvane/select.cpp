#include "select.h"

#include <cstring>
#include <string>
#include <unordered_map>

#include "guide.h"

namespace sorvane {

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

char Fold(char c) {
  if (c == '/') return '\\';
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
}

// The end of the set that starts at pattern[at] ('['), or npos when it has
// no ']'. A ']' right after "[", "[!" or "[^" belongs to the set.
size_t SetEnd(std::string_view pattern, size_t at) {
  size_t i = at + 1;
  if (i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^')) ++i;
  if (i < pattern.size() && pattern[i] == ']') ++i;
  while (i < pattern.size() && pattern[i] != ']') ++i;
  return i < pattern.size() ? i : std::string_view::npos;
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }
char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

// Whether c is in the set pattern[at..end] ("[...]"), letters in either case.
bool InSet(std::string_view pattern, size_t at, size_t end, char c) {
  size_t i = at + 1;
  const bool negated = pattern[i] == '!' || pattern[i] == '^';
  if (negated) ++i;
  auto within = [c](char low, char high) {
    return (c >= low && c <= high) || (Lower(c) >= low && Lower(c) <= high) || (Upper(c) >= low && Upper(c) <= high);
  };
  bool found = false;
  while (i < end) {
    if (i + 2 < end && pattern[i + 1] == '-') {
      found = found || within(pattern[i], pattern[i + 2]);
      i += 3;
    } else {
      found = found || within(pattern[i], pattern[i]);
      ++i;
    }
  }
  return found != negated;
}

// Matching by positions, remembered so that no pattern costs more than
// pattern length times name length steps.
class Matcher {
 public:
  Matcher(std::string_view pattern, std::string_view name)
      : p_(pattern), n_(name), memo_((pattern.size() + 1) * (name.size() + 1), kUnknown) {}

  bool Match(size_t i, size_t j) {
    int8_t& known = memo_[i * (n_.size() + 1) + j];
    if (known == kUnknown) known = Step(i, j) ? 1 : 0;
    return known == 1;
  }

 private:
  static constexpr int8_t kUnknown = -1;

  bool Step(size_t i, size_t j) {
    if (i == p_.size()) return j == n_.size();
    const char c = p_[i];
    if (c == '*') {
      if (i + 1 < p_.size() && p_[i + 1] == '*') {
        size_t k = i;
        while (k < p_.size() && p_[k] == '*') ++k;
        // "**/" may stand for no folder at all.
        if (k < p_.size() && IsSeparator(p_[k]) && Match(k + 1, j)) return true;
        for (size_t m = j; m <= n_.size(); ++m) {
          if (Match(k, m)) return true;
        }
        return false;
      }
      for (size_t m = j;; ++m) {
        if (Match(i + 1, m)) return true;
        if (m == n_.size() || IsSeparator(n_[m])) return false;
      }
    }
    if (j == n_.size()) return false;
    if (c == '?') return !IsSeparator(n_[j]) && Match(i + 1, j + 1);
    if (c == '[') {
      const size_t end = SetEnd(p_, i);
      if (end != std::string_view::npos) {
        return !IsSeparator(n_[j]) && InSet(p_, i, end, n_[j]) && Match(end + 1, j + 1);
      }
    }
    return Fold(c) == Fold(n_[j]) && Match(i + 1, j + 1);
  }

  std::string_view p_;
  std::string_view n_;
  std::vector<int8_t> memo_;
};

// A name as SameName compares it.
std::string Folded(std::string_view name) {
  std::string folded(name.size(), '\0');
  for (size_t i = 0; i < name.size(); ++i) folded[i] = Fold(name[i]);
  return folded;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Fold(a[i]) != Fold(b[i])) return false;
  }
  return true;
}

// Whether name lies under the folder (its separators at the end ignored).
bool UnderFolder(std::string_view folder, std::string_view name) {
  while (!folder.empty() && IsSeparator(folder.back())) folder.remove_suffix(1);
  return !folder.empty() && name.size() > folder.size() + 1 && IsSeparator(name[folder.size()]) &&
         SameName(folder, name.substr(0, folder.size()));
}

// A pattern selects a name it matches, and everything in a folder it
// matches: "Units/*" takes "Units/Orc/grunt.txt" through the folder
// "Units/Orc", though '*' itself never crosses a separator.
bool MatchesNameOrFolder(std::string_view pattern, std::string_view name) {
  if (MatchPattern(pattern, name)) return true;
  for (size_t i = 0; i < name.size(); ++i) {
    if (IsSeparator(name[i]) && i > 0 && MatchPattern(pattern, name.substr(0, i))) return true;
  }
  return false;
}

}  // namespace

bool MatchPattern(std::string_view pattern, std::string_view name) {
  Matcher m(pattern, name);
  return m.Match(0, 0);
}

bool HasWildcards(std::string_view text) { return text.find_first_of("*?[") != std::string_view::npos; }

bool IsInternalName(std::string_view name) {
  for (const char* internal : {"(listfile)", "(attributes)", "(signature)"}) {
    if (SameName(name, internal)) return true;
  }
  return false;
}

bool Excluded(const std::vector<std::string>& excludes, std::string_view name) {
  if (excludes.empty()) return false;
  std::vector<size_t> starts{0};
  for (size_t i = 0; i < name.size(); ++i) {
    if (IsSeparator(name[i])) starts.push_back(i + 1);
  }
  for (const std::string& pattern : excludes) {
    for (size_t a = 0; a < starts.size(); ++a) {
      for (size_t b = a; b < starts.size(); ++b) {
        const size_t end = b + 1 < starts.size() ? starts[b + 1] - 1 : name.size();
        if (MatchPattern(pattern, name.substr(starts[a], end - starts[a]))) return true;
      }
    }
  }
  return false;
}

std::vector<StoredEntry> SelectEntries(const std::vector<StoredEntry>& entries, const std::vector<std::string>& args,
                                       const std::vector<std::string>& excludes, bool literal,
                                       const std::string& verb, uint32_t locale, bool* allFound) {
  *allFound = true;
  std::vector<bool> chosen(entries.size(), args.empty());
  if (args.empty()) {
    for (size_t i = 0; i < entries.size(); ++i) chosen[i] = !IsInternalName(entries[i].name);
  }
  // Exact names are looked up, not searched for: scripts hand over
  // thousands of names at once.
  std::unordered_map<std::string, std::vector<size_t>> byName;
  if (!args.empty()) {
    byName.reserve(entries.size() * 2);
    for (size_t i = 0; i < entries.size(); ++i) {
      const std::string shown = DisplayName(entries[i]);
      byName[Folded(shown)].push_back(i);
      if (!entries[i].name.empty() && shown != entries[i].name) byName[Folded(entries[i].name)].push_back(i);
    }
  }
  for (const std::string& arg : args) {
    bool exact = false;
    const auto found = byName.find(Folded(arg));
    if (found != byName.end()) {
      for (size_t i : found->second) chosen[i] = exact = true;
    }
    bool any = exact;
    if (!exact) {
      const bool pattern = !literal && HasWildcards(arg);
      for (size_t i = 0; i < entries.size(); ++i) {
        const std::string& name = entries[i].name;
        if (name.empty() || IsInternalName(name)) continue;
        if (pattern ? MatchesNameOrFolder(arg, name) : UnderFolder(arg, name)) chosen[i] = any = true;
      }
    }
    if (!any) {
      NotInArchive(verb, arg, locale);
      *allFound = false;
    }
  }
  // An exclusion sees the stored name, as the patterns above and add's
  // walk do: the quoted form a name with control characters or bytes that
  // are no UTF-8 is shown in has other characters and no separators where
  // the name has them. The shown form ("#INDEX" for an unnamed entry) is
  // taken too, as typed from a listing.
  auto excluded = [&excludes](const StoredEntry& e) {
    if (excludes.empty()) return false;
    const std::string shown = DisplayName(e);
    return Excluded(excludes, shown) || (!e.name.empty() && e.name != shown && Excluded(excludes, e.name));
  };
  std::vector<StoredEntry> selected;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (chosen[i] && !excluded(entries[i])) selected.push_back(entries[i]);
  }
  return selected;
}

// Of the versions of one name, the one written under the name: the --locale
// one, else the neutral one, else the first.
size_t PreferredVersion(const std::vector<const StoredEntry*>& versions, bool localeGiven, uint32_t locale) {
  for (size_t i = 0; localeGiven && i < versions.size(); ++i) {
    if (versions[i]->locale == locale) return i;
  }
  for (size_t i = 0; i < versions.size(); ++i) {
    if (versions[i]->locale == 0) return i;
  }
  return 0;
}

}  // namespace sorvane
