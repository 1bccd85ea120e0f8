// Reading whole stored files as text, and finding a line in such a text:
// the name list and "(attributes)" are read this way.
#include <cstdlib>
#include <cstring>

#include "archive/read/lines.h"
#include "archive/read/read_internal.h"
#include "sorvane/sorvane.h"

namespace {

const char kListfileName[] = "(listfile)";

// The list is read in pieces of this size, so memory follows what its
// sectors really decode to, never the size its block claims.
constexpr uint32_t kReadChunk = 64 * 1024;

}  // namespace

// Room for at least `needed` bytes in a malloc'd buffer.
bool GrowText(char** text, uint32_t* capacity, uint64_t needed) {
  if (needed <= *capacity) return true;
  if (needed > 0xFFFFFFFFu) {
    SetLastError(kErrorFileTooLarge);
    return false;
  }
  uint64_t grown = *capacity < 4096 ? 4096 : static_cast<uint64_t>(*capacity) * 2;
  if (grown < needed) grown = needed;
  if (grown > 0xFFFFFFFFu) grown = 0xFFFFFFFFu;
  void* bigger = std::realloc(*text, static_cast<size_t>(grown));
  if (bigger == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  *text = static_cast<char*>(bigger);
  *capacity = static_cast<uint32_t>(grown);
  return true;
}

int64_t FindListedLine(const uint8_t* text, uint32_t size, const char* name) {
  const uint32_t length = static_cast<uint32_t>(std::strlen(name));
  for (uint32_t pos = 0; pos < size; ++pos) {
    if (pos != 0 && !IsLineBreak(text[pos - 1])) continue;
    if (size - pos < length) break;
    if (!MatchNoCase(text + pos, name, length)) continue;
    if (pos + length == size || IsLineBreak(text[pos + length])) return pos;
  }
  return -1;
}

bool ReadListfile(Archive* archive, uint32_t locale, char** text, uint32_t* size, uint32_t* capacity,
                  bool* present) {
  return ReadWholeStoredFile(archive, kListfileName, locale, text, size, capacity, present);
}

bool ReadWholeStoredFile(Archive* archive, const char* name, uint32_t locale, char** text, uint32_t* size,
                         uint32_t* capacity, bool* present) {
  *size = 0;
  *present = FindHashEntry(archive, name, locale) != nullptr;
  if (!*present) return true;
  FileHandle file = nullptr;
  if (!OpenArchiveFileInLocale(archive, name, locale, &file)) return false;
  const uint32_t fileSize = GetArchiveFileSize(file, nullptr);
  const BlockEntry* block = BlockOfFile(file);
  bool ok = block != nullptr && fileSize != 0xFFFFFFFFu;
  if (ok && fileSize != 0) {
    // The size must be one the archive file can stand for: from the data
    // start on it holds the plain data, or an offset table of one word per
    // sector.
    const uint64_t sectors = (static_cast<uint64_t>(fileSize) + archive->sectorSize - 1) / archive->sectorSize;
    const bool hasTable = HasSectorTable(block->flags);
    const uint64_t minimum = hasTable ? 4 * (sectors + 1) : IsSingleUnit(block->flags) ? 0 : fileSize;
    BlockData where;
    if (!LocateBlockData(archive, *block, &where) || minimum > where.room) {
      SetLastError(ERROR_FILE_CORRUPT);
      ok = false;
    }
    uint32_t got = 0;
    while (ok && got < fileSize) {
      const uint32_t want = fileSize - got < kReadChunk ? fileSize - got : kReadChunk;
      ok = GrowText(text, capacity, static_cast<uint64_t>(got) + want);
      uint32_t n = 0;
      if (ok) ok = ReadArchiveFile(file, *text + got, want, &n, nullptr);
      if (ok && n != want) {
        SetLastError(ERROR_FILE_CORRUPT);
        ok = false;
      }
      got += n;
    }
  }
  const uint32_t error = GetLastError();
  CloseArchiveFile(file);
  SetLastError(error);
  if (ok) *size = fileSize;
  return ok;
}
