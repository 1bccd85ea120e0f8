#include "guide.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <unordered_set>

#include "archive/read/read_internal.h"
#include "archive/format/records.h"
#include "platform/platform.h"
#include "cli.h"
#include "names.h"

namespace sorvane {

namespace {

namespace fs = std::filesystem;

// At most this many problems are listed one by one.
constexpr uint32_t kProblemsShown = 5;

uint64_t NameKey(uint32_t a, uint32_t b) { return (static_cast<uint64_t>(a) << 32) | b; }

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
  const uint32_t n = archive->header.hashTableEntries;
  if (n == 0 || archive->hashTable == nullptr) return false;
  const uint32_t a = HashString(name.c_str(), HASH_NAME_A);
  const uint32_t b = HashString(name.c_str(), HASH_NAME_B);
  uint32_t i = HashString(name.c_str(), HASH_TABLE_INDEX) % n;
  for (uint32_t step = 0; step < n; ++step, i = i + 1 == n ? 0 : i + 1) {
    const HashEntry& e = archive->hashTable[i];
    if (IsHashEntryDeleted(e)) continue;
    if (IsHashEntryFree(e)) return false;
    if (e.nameHashA == a && e.nameHashB == b && e.locale == locale) return true;
  }
  return false;
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

bool CheckTables(ArchiveHandle archive, const std::string& shownPath) {
  uint64_t fileSize = 0;
  if (!platform::GetFileSize64(archive->fileHandle, &fileSize)) {
    Fail("cannot read the size of " + Quote(shownPath));
    return false;
  }
  const ArchiveHeader& h = archive->header;
  std::vector<std::string> problems;
  uint32_t count = 0;
  auto problem = [&](const std::string& text) {
    if (++count <= kProblemsShown) problems.push_back(text);
  };
  const std::string end = "past the end of the file (" + std::to_string(fileSize) + " bytes)";
  // A table that starts inside the file and runs past its end reads as
  // zeros beyond it, which some writers rely on; one that starts past it is
  // nothing but zeros.
  const uint64_t hashStart = ArchivePosition(archive, HashTablePos(h));
  if (hashStart >= fileSize) problem("its hash table starts at byte " + std::to_string(hashStart) + ", " + end);
  const uint64_t blockStart = ArchivePosition(archive, BlockTablePos(h));
  if (h.blockTableEntries != 0 && blockStart >= fileSize) {
    problem("its block table starts at byte " + std::to_string(blockStart) + ", " + end);
  }
  if (count == 0) {
    std::vector<bool> checked(archive->blockTable != nullptr ? h.blockTableEntries : 0, false);
    const uint32_t inFile = HashEntriesInFile(archive);
    for (uint32_t i = 0; i < inFile; ++i) {
      const HashEntry& e = archive->hashTable[i];
      if (IsHashEntryFree(e)) continue;
      if (e.blockIndex >= checked.size()) {
        problem("hash entry " + std::to_string(i) + " names block " + std::to_string(e.blockIndex) +
                ", but the block table has " + std::to_string(checked.size()) + " entries");
        continue;
      }
      if (checked[e.blockIndex]) continue;
      checked[e.blockIndex] = true;
      const BlockEntry& block = archive->blockTable[e.blockIndex];
      const uint64_t start = BlockPosition(archive, block);
      if (start + block.storedSize <= fileSize) continue;
      // A stored size may be false; the data's own layout decides then.
      const uint32_t extent = block.storedSize == 0 ? 0 : GetStoredExtent(archive, i);
      if (start <= fileSize && extent != 0xFFFFFFFFu && start + extent <= fileSize) continue;
      problem("block " + std::to_string(e.blockIndex) + " (hash entry " + std::to_string(i) + ") lies at bytes " +
              std::to_string(start) + " to " + std::to_string(start + block.storedSize) + ", " + end);
    }
  }
  for (const std::string& text : problems) FailPlain(Quote(shownPath) + " is damaged: " + text);
  if (count > kProblemsShown) {
    FailPlain(Quote(shownPath) + " is damaged: " + std::to_string(count) + " problems in all");
  }
  return count == 0;
}

bool IsEmptyFile(const std::string& absolutePath) {
  std::error_code ec;
  return fs::is_regular_file(absolutePath, ec) && fs::file_size(absolutePath, ec) == 0 && !ec;
}

void ReportUpdateOpenFailure(const std::string& shownPath, const std::string& absolutePath) {
  const uint32_t error = GetLastError();
  const std::string what = "cannot open archive " + Quote(shownPath) + " for update";
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

uint32_t HashEntriesInFile(ArchiveHandle archive) {
  uint64_t fileSize = 0;
  if (!platform::GetFileSize64(archive->fileHandle, &fileSize)) return archive->header.hashTableEntries;
  const uint64_t start = ArchivePosition(archive, HashTablePos(archive->header));
  const uint64_t inFile = start < fileSize ? (fileSize - start) / kEntryBytes : 0;
  return inFile < archive->header.hashTableEntries ? static_cast<uint32_t>(inFile) : archive->header.hashTableEntries;
}

uint32_t EntriesInUse(ArchiveHandle archive) {
  uint32_t used = 0;
  for (uint32_t i = 0; i < archive->header.hashTableEntries; ++i) used += IsHashEntryFree(archive->hashTable[i]) ? 0 : 1;
  return used;
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
  std::unordered_set<uint64_t> known;
  for (const std::string& name : names) {
    known.insert(NameKey(HashString(name.c_str(), HASH_NAME_A), HashString(name.c_str(), HASH_NAME_B)));
  }
  uint32_t unnamed = 0;
  for (uint32_t i = 0; i < archive->header.hashTableEntries; ++i) {
    const HashEntry& e = archive->hashTable[i];
    if (!IsHashEntryFree(e) && known.count(NameKey(e.nameHashA, e.nameHashB)) == 0) ++unnamed;
  }
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
