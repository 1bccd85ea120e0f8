// Recovering the key of an encrypted stored file: from its name, from a name
// in the archive's name lists, or from its encrypted sector offset table.
#include <cstring>
#include <new>

#include "archive/read/known_names.h"
#include "archive/read/read_internal.h"
#include "archive/format/records.h"
#include "sorvane/sorvane.h"
#include "platform/platform.h"

namespace {

// Name lists are scanned in chunks, so a list costs a bounded buffer however
// large its block claims to be. A line longer than this is no stored name.
constexpr uint32_t kListChunk = 64 * 1024;
constexpr uint32_t kMaxListedLine = 4096;

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

// Feeds the lines of one name list to `match` and stops at the first hit.
class LineScanner {
 public:
  LineScanner(uint32_t nameA, uint32_t nameB) : nameA_(nameA), nameB_(nameB) {}

  // Returns false once the text has ended (a zero byte) or a name matched.
  bool Feed(const char* data, uint32_t size) {
    for (uint32_t i = 0; i < size; ++i) {
      const char c = data[i];
      if (c == 0) {
        Finish();
        ended_ = true;
        return false;
      }
      if (IsLineEnd(c)) {
        if (!inLineEnds_) EndLine();
        if (match_ != nullptr) return false;
        inLineEnds_ = true;
        continue;
      }
      inLineEnds_ = false;
      if (length_ < kMaxListedLine) {
        line_[length_] = c;
      }
      ++length_;
    }
    return true;
  }

  // The text's end: its last line counts even without a line end.
  void Finish() {
    if (!ended_ && match_ == nullptr && (length_ > 0 || atStart_)) EndLine();
    ended_ = true;
  }

  char* TakeMatch() {
    char* m = match_;
    match_ = nullptr;
    return m;
  }

 private:
  void EndLine() {
    atStart_ = false;
    if (length_ <= kMaxListedLine) {
      line_[length_] = 0;
      if (HashString(line_, HASH_NAME_A) == nameA_ && HashString(line_, HASH_NAME_B) == nameB_) {
        match_ = CopyName(line_);
      }
    }
    length_ = 0;
  }

  uint32_t nameA_;
  uint32_t nameB_;
  char line_[kMaxListedLine + 1] = {};
  uint32_t length_ = 0;
  bool inLineEnds_ = false;
  bool atStart_ = true;
  bool ended_ = false;
  char* match_ = nullptr;
};

// Searches one open name list; the file stays open.
char* SearchList(FileHandle list, uint32_t nameA, uint32_t nameB) {
  auto* chunk = static_cast<char*>(platform::VirtualAlloc(kListChunk));
  auto* scanner = new (std::nothrow) LineScanner(nameA, nameB);
  char* match = nullptr;
  if (chunk != nullptr && scanner != nullptr) {
    for (;;) {
      uint32_t got = 0;
      if (!ReadArchiveFile(list, chunk, kListChunk, &got, nullptr)) break;
      if (got == 0) {
        scanner->Finish();
        break;
      }
      if (!scanner->Feed(chunk, got)) break;
    }
    match = scanner->TakeMatch();
  }
  delete scanner;
  platform::VirtualFree(chunk);
  return match;
}

}  // namespace

char* CopyName(const char* name) {
  if (name == nullptr) return nullptr;
  const size_t length = std::strlen(name) + 1;
  char* copy = new (std::nothrow) char[length];
  if (copy != nullptr) std::memcpy(copy, name, length);
  return copy;
}

void ReleaseName(char* name) { delete[] name; }

uint32_t FileKey(const char* name, const BlockEntry& block) {
  uint32_t key = HashString(name, HASH_FILE_KEY);
  if (block.flags & BLOCK_KEY_ADJUSTED) key = (key + block.offset) ^ block.fileSize;
  return key;
}

uint32_t FindFileKey(Archive* archive, const HashEntry* entry, char** name) {
  if (archive == nullptr || entry == nullptr || archive->blockTable == nullptr ||
      entry->blockIndex >= archive->header.blockTableEntries) {
    return 0;
  }
  const BlockEntry& block = archive->blockTable[entry->blockIndex];
  if (name != nullptr && *name != nullptr) return FileKey(*name, block);

  char* found = nullptr;
  if (entry->nameHashA == HashString("(listfile)", HASH_NAME_A) &&
      entry->nameHashB == HashString("(listfile)", HASH_NAME_B)) {
    found = CopyName("(listfile)");
  } else {
    found = FindListedName(archive, entry->nameHashA, entry->nameHashB);
  }
  if (found != nullptr) {
    const uint32_t key = FileKey(found, block);
    if (name != nullptr) {
      *name = found;
    } else {
      ReleaseName(found);
    }
    if (key != 0) return key;
  }

  // Without a name the offset table's first word is still known.
  if (!HasSectorTable(block.flags)) return 0;
  return DetectTableKey(archive, block);
}

uint32_t DetectTableKey(const Archive* archive, const BlockEntry& block) {
  const uint32_t sectorSize = archive->sectorSize;
  if (sectorSize == 0 || !HasSectorTable(block.flags)) return 0;
  BlockData where;
  if (!LocateBlockData(archive, block, &where)) return 0;
  uint8_t words[8] = {};
  uint32_t got = 0;
  if (!platform::ReadFileAt(archive->fileHandle, where.start, words, sizeof words, &got) ||
      got < sizeof words) {
    return 0;
  }
  const uint32_t sectors = block.fileSize / sectorSize + (block.fileSize % sectorSize != 0);
  // Trying candidates is no failure of the caller's: its last error stays.
  const uint32_t savedError = GetLastError();
  uint32_t first = 0;
  for (uint32_t extraWords = 0; extraWords < 2; ++extraWords) {
    const uint32_t key = DetectFileKey(words, 4u * (sectors + 1 + extraWords));
    if (key == 0) continue;
    if (first == 0) first = key;
    // A chance hit rarely decodes the whole table soundly.
    uint32_t* table = LoadSectorTable(archive, block, where, key);
    if (table != nullptr) {
      platform::VirtualFree(table);
      first = key;
      break;
    }
  }
  SetLastError(savedError);
  return first;
}

char* FindListedName(Archive* archive, uint32_t nameA, uint32_t nameB) {
  if (archive == nullptr) return nullptr;
  if (const char* known = FindKnownName(archive, nameA, nameB)) return CopyName(known);
  const uint32_t savedLocale = CurrentLocale;
  const uint32_t savedError = GetLastError();
  char* match = nullptr;
  for (uint32_t locale : KnownLocales) {
    CurrentLocale = locale;
    FileHandle list = nullptr;
    if (!OpenArchiveFile(archive, "(listfile)", 0, &list)) continue;
    // Asking for a locale that has no list of its own falls back to the
    // neutral list, which the first round has already searched.
    if (list->hashEntry->locale == 0 && locale != 0) {
      CloseArchiveFile(list);
      continue;
    }
    match = SearchList(list, nameA, nameB);
    CloseArchiveFile(list);
    if (match != nullptr) break;
  }
  CurrentLocale = savedLocale;
  SetLastError(savedError);
  return match;
}

uint32_t LineLength(const char* text) {
  if (text == nullptr) return 0;
  uint32_t n = 0;
  while (text[n] != 0 && !IsLineEnd(text[n])) ++n;
  return n;
}

const char* NextLine(const char* text) {
  if (text == nullptr) return nullptr;
  const char* p = text;
  while (*p != 0 && !IsLineEnd(*p)) ++p;
  if (*p == 0) return nullptr;
  while (IsLineEnd(*p)) ++p;
  return *p == 0 ? nullptr : p;
}
