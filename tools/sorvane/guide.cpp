#include "guide.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <unordered_set>

#include "platform/platform.h"
#include "cli.h"
#include "names.h"

namespace sorvane {

namespace {

namespace fs = std::filesystem;

// At most this many problems are listed one by one.
constexpr uint32_t kProblemsShown = 5;

std::string Upper(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return s;
}


}  // namespace

bool EqualsNoCase(const std::string& a, const std::string& b) { return a.size() == b.size() && Upper(a) == Upper(b); }

std::string Backslashed(const std::string& name) {
  std::string stored = name;
  for (char& c : stored) {
    if (c == '/') c = '\\';
  }
  return stored;
}

bool IsStored(ArchiveHandle archive, const std::string& name, uint32_t locale) {
  return ArchiveHasEntry(archive, name.c_str(), locale);
}

std::string StoredNameFor(ArchiveHandle archive, const std::string& typed, uint32_t locale, bool fallback) {
  auto stored = [&](const std::string& name) {
    return IsStored(archive, name, locale) || (fallback && locale != 0 && IsStored(archive, name, 0));
  };
  if (stored(typed)) return typed;
  const std::string other = Backslashed(typed);
  if (other != typed && stored(other)) return other;
  return typed;
}

std::string LocaleText(uint32_t locale) {
  char buffer[16];
  if (locale == 0) return "0";
  std::snprintf(buffer, sizeof buffer, "0x%X", locale);
  return buffer;
}

void NotInArchive(const std::string& verb, const std::string& name, uint32_t locale) {
  std::string text = "cannot " + verb + " " + Quote(name) + ": not in the archive";
  if (locale != 0) text += " in locale " + LocaleText(locale);
  FailPlain(text);
}

bool CheckTables(ArchiveHandle archive, const std::string& shownPath, bool reading) {
  struct Seen {
    bool reading;
    std::vector<std::string> shown, passed;
    uint32_t damage = 0, decoys = 0;
  } seen{reading, {}, {}};
  auto describe = [](void* context, const ArchiveTableProblem* p) {
    auto* seen = static_cast<Seen*>(context);
    const std::string end = "past the end of the file (" + std::to_string(p->fileSize) + " bytes)";
    std::string text;
    switch (p->kind) {
      case TABLE_HASH_PAST_END:
        text = "its hash table starts at byte " + std::to_string(p->start) + ", " + end;
        break;
      case TABLE_BLOCKS_PAST_END:
        text = "its block table starts at byte " + std::to_string(p->start) + ", " + end;
        break;
      case TABLE_ENTRY_NAMES_NO_BLOCK:
        text = "hash entry " + std::to_string(p->hashIndex) + " names block " + std::to_string(p->blockIndex) +
               ", but the block table has " + std::to_string(p->blockTableEntries) + " entries";
        break;
      default:
        text = "block " + std::to_string(p->blockIndex) + " (hash entry " + std::to_string(p->hashIndex) +
               ") lies at bytes " + std::to_string(p->start) + " to " + std::to_string(p->end) + ", " + end;
    }
    // Archives made to resist editors carry such entries ahead of true
    // ones; readers pass over them, so for reading they are no damage.
    if (seen->reading && p->kind == TABLE_ENTRY_NAMES_NO_BLOCK) {
      if (seen->decoys++ < kProblemsShown) seen->passed.push_back(text);
    } else if (seen->damage++ < kProblemsShown) {
      seen->shown.push_back(text);
    }
    return true;
  };
  if (!CheckArchiveTables(archive, describe, &seen, nullptr)) {
    Fail("cannot read the size of " + Quote(shownPath));
    return false;
  }
  for (const std::string& text : seen.shown) FailPlain(Quote(shownPath) + " is damaged: " + text);
  if (seen.damage > kProblemsShown) {
    FailPlain(Quote(shownPath) + " is damaged: " + std::to_string(seen.damage) + " problems in all");
  }
  for (const std::string& text : seen.passed) FailPlain("note: " + Quote(shownPath) + ": " + text + ", passed over");
  if (seen.decoys > kProblemsShown) {
    FailPlain("note: " + Quote(shownPath) + ": " + std::to_string(seen.decoys) + " hash entries name no block");
  }
  return seen.damage == 0;
}

bool IsEmptyFile(const std::string& absolutePath) {
  std::error_code ec;
  return fs::is_regular_file(absolutePath, ec) && fs::file_size(absolutePath, ec) == 0 && !ec;
}

bool IsFolder(const std::string& absolutePath) {
  std::error_code ec;
  return fs::is_directory(absolutePath, ec);
}

void ReportUpdateOpenFailure(const std::string& shownPath, const std::string& absolutePath) {
  const uint32_t error = GetLastError();
  const std::string what = "cannot open archive " + Quote(shownPath) + " for update";
  if (error == platform::kErrorFileExists || error == platform::kErrorAlreadyExists) {
    FailPlain("cannot create " + Quote(shownPath) + ": the file exists; give --force to replace it");
    return;
  }
  // The library says "not found" for a file it may not write; whether that
  // is so is asked of the system.
  std::error_code ec;
  if (error != ERROR_ACCESS_DENIED && fs::is_regular_file(absolutePath, ec)) {
    platform::OsHandle file =
        platform::CreateFile(absolutePath.c_str(), platform::kGenericRead | platform::kGenericWrite,
                             platform::kFileShareRead | platform::kFileShareWrite, platform::kOpenExisting, 0);
    if (platform::IsValidHandle(file)) {
      platform::CloseHandle(file);
    } else if (GetLastError() == ERROR_ACCESS_DENIED) {
      FailWith(what, ERROR_ACCESS_DENIED);
      return;
    }
  }
  FailWith(what, error);
}

TableUse UseOfTable(ArchiveHandle archive) {
  ArchiveFacts facts{};
  GetArchiveFacts(archive, FACTS_TABLES, &facts);
  return {facts.hashTableEntries, facts.hashUsed};
}

uint32_t HashSizeFor(uint64_t entries) {
  uint64_t size = 1;
  while (size < entries && size < (1ull << 31)) size <<= 1;
  return static_cast<uint32_t>(size);
}

Needed EntriesNeeded(ArchiveHandle archive, const std::vector<std::string>& names, uint32_t locale, bool addList) {
  Needed needed;
  std::set<std::string> seen;
  for (const std::string& name : names) {
    if (!seen.insert(Upper(name)).second) continue;
    if (archive == nullptr || !IsStored(archive, name, locale)) ++needed.names;
  }
  if (addList && seen.count("(LISTFILE)") == 0 && (archive == nullptr || !IsStored(archive, "(listfile)", 0))) {
    needed.list = 1;
  }
  return needed;
}

uint32_t UnnamedEntries(ArchiveHandle archive, const std::vector<std::string>& names) {
  std::vector<const char*> given;
  for (const std::string& name : names) given.push_back(name.c_str());
  uint32_t unnamed = 0;
  EnumerateArchiveEntries(archive, given.data(), static_cast<uint32_t>(given.size()),
                          [](void* context, const ArchiveEntry* e) {
                            *static_cast<uint32_t*>(context) += e->nameKnown ? 0 : 1;
                            return true;
                          },
                          &unnamed);
  return unnamed;
}

void ReportTooSmall(const std::string& shownPath, bool exists, uint32_t entries, uint32_t inUse, const Needed& needed,
                    bool canGrow) {
  const uint64_t total = inUse + needed.total();
  const uint32_t fits = HashSizeFor(total);
  std::string text = "the hash table of " + Quote(shownPath) + " is too small: " + std::to_string(entries) +
                     " entries, " + std::to_string(total) + " needed (";
  if (exists) text += std::to_string(inUse) + " in use, ";
  text += std::to_string(needed.names) + " new";
  if (needed.list != 0) text += ", 1 for the name list";
  text += "); nothing was written. --hash-size " + std::to_string(fits) + " would fit";
  if (fits > kMaxHashSize) text += " (with --force)";
  if (!exists) {
    text += canGrow ? ": give it, or --grow" : "";
  } else if (canGrow) {
    text += ": give --grow, or run \"sorvane resize " + shownPath + " " + std::to_string(fits) + "\"";
  } else {
    text += ": run \"sorvane resize " + shownPath + " " + std::to_string(fits) + "\"";
  }
  FailPlain(text);
}

bool ReadUserList(const std::string& path, std::vector<std::string>* names) {
  if (path.empty()) return true;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    FailWith("cannot read the list file " + Quote(path), ERROR_FILE_NOT_FOUND);
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  for (const std::string& name : SplitNames(text.str())) names->push_back(name);
  return true;
}

}  // namespace sorvane
