// Recovering the key of an encrypted stored file: from its name, from a name
// in the archive's name lists, or from its encrypted sector offset table.
#include <cstring>
#include <new>

#include "archive/read/known_names.h"
#include "archive/read/lines.h"
#include "archive/read/read_internal.h"
#include "archive/format/records.h"
#include "sorvane/sorvane.h"
#include "platform/platform.h"

namespace {

// Name lists are read in chunks of this size.
constexpr uint32_t kListChunk = 64 * 1024;

// Searches one open name list; the file stays open.
char* SearchList(FileHandle list, uint32_t nameA, uint32_t nameB) {
  auto* chunk = static_cast<char*>(platform::VirtualAlloc(kListChunk));
  auto* lines = new (std::nothrow) LineFeed;
  char* match = nullptr;
  // The first line with both check values is the name.
  auto onLine = [&match, nameA, nameB](const char* line, uint32_t) {
    if (HashString(line, HASH_NAME_A) == nameA && HashString(line, HASH_NAME_B) == nameB) match = CopyName(line);
    return match == nullptr;
  };
  if (chunk != nullptr && lines != nullptr) {
    for (;;) {
      uint32_t got = 0;
      if (!ReadArchiveFile(list, chunk, kListChunk, &got, nullptr)) break;
      if (got == 0) {
        lines->Finish(onLine);
        break;
      }
      if (!lines->Feed(chunk, got, onLine)) break;
    }
  }
  delete lines;
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
  if (char* known = CopyKnownName(archive, nameA, nameB)) return known;
  const uint32_t savedError = GetLastError();
  char* match = nullptr;
  for (uint32_t locale : KnownLocales) {
    FileHandle list = nullptr;
    if (!OpenArchiveFileInLocale(archive, "(listfile)", locale, &list)) continue;
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
  SetLastError(savedError);
  return match;
}
