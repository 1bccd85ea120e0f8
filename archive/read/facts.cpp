// What an archive holds, as `info` shows it and any caller may ask: the
// header and tables, their use, the space they leave, "(attributes)", and
// whether the tables fit the file.
#include <vector>

#include "archive/format/records.h"
#include "archive/read/attributes_read.h"
#include "archive/read/read_internal.h"
#include "platform/platform.h"
#include "sorvane/sorvane.h"

namespace {

void TableFacts(Archive* archive, ArchiveFacts* f) {
  const ArchiveHeader& h = archive->header;
  f->headerOffset = archive->headerOffset;
  for (int i = 0; i < 4; ++i) f->signature[i] = static_cast<uint8_t>(h.signature[i]);
  f->headerSize = h.headerSize;
  f->headerArchiveSize = h.archiveSize;
  f->archiveSize = archive->extended ? ArchiveContentEnd(archive) : h.archiveSize;
  f->formatVersion = h.formatVersion;
  f->extended = archive->extended;
  f->sectorSize = archive->sectorSize;
  f->sectorSizeShift = h.sectorSizeShift;
  f->hasUserData = archive->userDataPos != kNoUserData;
  if (f->hasUserData) {
    f->userDataPos = archive->userDataPos;
    f->userDataSize = archive->userDataSize;
    f->userDataHeaderSize = archive->userDataHeaderSize;
  }
  // Bytes behind the archive's end belong to no state: an update that failed
  // (a full disk) left them, and the next update cuts them first.
  const uint64_t end = archive->headerOffset + ArchiveContentEnd(archive);
  f->bytesPastEnd = f->fileSize > end ? f->fileSize - end : 0;
  f->hashTablePos = HashTablePos(h);
  f->hashTableEntries = h.hashTableEntries;
  f->hashEntriesInFile = archive->hashTable != nullptr ? HashEntriesInFile(archive) : 0;
  f->blockTablePos = BlockTablePos(h);
  f->blockTableEntries = h.blockTableEntries;
  std::vector<bool> named(archive->blockTable != nullptr ? h.blockTableEntries : 0, false);
  // Entries past the file's end count as what they read as (zeros: in use).
  const uint32_t entries = archive->hashTable != nullptr ? h.hashTableEntries : 0;
  for (uint32_t i = 0; i < entries; ++i) {
    const HashEntry& e = archive->hashTable[i];
    if (IsHashEntryDeleted(e)) {
      ++f->hashDeleted;
    } else if (IsHashEntryFree(e)) {
      ++f->hashEmpty;
    } else {
      ++f->hashUsed;
      if (e.blockIndex < named.size()) f->contentBytes += archive->blockTable[e.blockIndex].fileSize;
      if (e.blockIndex < named.size() && !named[e.blockIndex]) {
        named[e.blockIndex] = true;
        ++f->blocksUsed;
      }
    }
  }
  f->hasHighOffsets = archive->extended && h.highOffsetTablePos != 0 && h.blockTableEntries != 0;
  if (f->hasHighOffsets) {
    f->highOffsetTablePos = h.highOffsetTablePos;
    for (uint32_t i = 0; i < named.size(); ++i) f->highBlocks += archive->blockTable[i].offsetHigh != 0;
  }
}

// The live data: each block in use once, by the extent its layout gives.
void SpaceFacts(Archive* archive, ArchiveFacts* f) {
  const ArchiveHeader& h = archive->header;
  std::vector<bool> counted(archive->blockTable != nullptr ? h.blockTableEntries : 0, false);
  const uint32_t entries = archive->hashTable != nullptr ? h.hashTableEntries : 0;
  uint64_t archiveFileSize = 0;
  const uint64_t* fileSize =
      platform::GetFileSize64(archive->fileHandle, &archiveFileSize) ? &archiveFileSize : nullptr;
  uint64_t contentStart = HashTablePos(h);
  if (h.blockTableEntries != 0 && BlockTablePos(h) < contentStart) contentStart = BlockTablePos(h);
  for (uint32_t i = 0; i < entries; ++i) {
    const HashEntry& e = archive->hashTable[i];
    if (IsHashEntryFree(e) || e.blockIndex >= counted.size() || counted[e.blockIndex]) continue;
    counted[e.blockIndex] = true;
    const uint32_t extent = StoredExtentAt(archive, i, fileSize);
    f->fileDataBytes += extent != 0xFFFFFFFFu ? extent : archive->blockTable[e.blockIndex].storedSize;
    if (BlockOffset(archive->blockTable[e.blockIndex]) < contentStart) {
      contentStart = BlockOffset(archive->blockTable[e.blockIndex]);
    }
  }
  // The header's size word counts only as far as the first table or block:
  // archives made to resist editors put junk there. Compaction takes the
  // header's bytes by the same rule, so the dead space is what it frees.
  const uint32_t minimum = archive->extended ? kExtendedHeaderBytes : kHeaderBytes;
  const uint64_t headerBytes = h.headerSize >= minimum && h.headerSize <= contentStart ? h.headerSize : minimum;
  const bool highTable = archive->extended && h.highOffsetTablePos != 0 && h.blockTableEntries != 0;
  const uint64_t tableBytes = static_cast<uint64_t>(h.hashTableEntries) * kEntryBytes +
                              static_cast<uint64_t>(h.blockTableEntries) * (kEntryBytes + (highTable ? 2 : 0));
  const uint64_t accounted = headerBytes + tableBytes + f->fileDataBytes;
  // Measured, not taken from the header: archives made to resist editors
  // carry junk in its size word too.
  const uint64_t size = ArchiveContentEnd(archive);
  f->deadBytes = size > accounted ? size - accounted : 0;
}

void AttributeFacts(Archive* archive, ArchiveFacts* f) {
  AttributesTable table;
  bool present = false;
  uint32_t size = 0;
  if (!ReadArchiveAttributes(archive, &table, &present, &size)) {
    present = true;
    f->attributesError = GetLastError();
  }
  f->attributesPresent = present;
  f->attributesVersion = table.version;
  f->attributesFlags = table.flags;
  f->attributesCount = table.count;
  f->attributesSize = size;
  ReleaseAttributes(&table);
}

struct ProblemSink {
  ArchiveTableProblemCallback callback;
  void* context;
  uint32_t count = 0;
  bool stopped = false;
  void Add(ArchiveTableProblem p) {
    ++count;
    p.structSize = sizeof p;
    if (callback != nullptr && !stopped) stopped = !callback(context, &p);
  }
};

void CheckBlocks(Archive* archive, uint64_t fileSize, ProblemSink* sink) {
  const ArchiveHeader& h = archive->header;
  std::vector<bool> checked(archive->blockTable != nullptr ? h.blockTableEntries : 0, false);
  const uint32_t inFile = archive->hashTable != nullptr ? HashEntriesInFile(archive) : 0;
  for (uint32_t i = 0; i < inFile; ++i) {
    const HashEntry& e = archive->hashTable[i];
    if (IsHashEntryFree(e)) continue;
    if (e.blockIndex >= checked.size()) {
      sink->Add({0, TABLE_ENTRY_NAMES_NO_BLOCK, i, e.blockIndex, static_cast<uint32_t>(checked.size()), 0, 0,
                 fileSize});
      continue;
    }
    if (checked[e.blockIndex]) continue;
    checked[e.blockIndex] = true;
    const BlockEntry& block = archive->blockTable[e.blockIndex];
    const uint64_t start = BlockPosition(archive, block);
    if (start + block.storedSize <= fileSize) continue;
    // A stored size may be false; the data's own layout decides then.
    const uint32_t extent = block.storedSize == 0 ? 0 : StoredExtentAt(archive, i, &fileSize);
    if (start <= fileSize && extent != 0xFFFFFFFFu && start + extent <= fileSize) continue;
    sink->Add({0, TABLE_BLOCK_PAST_END, i, e.blockIndex, h.blockTableEntries, start, start + block.storedSize,
               fileSize});
  }
}

}  // namespace

extern "C" bool GetArchiveFacts(ArchiveHandle archive, uint32_t what,
                                ArchiveFacts* facts) {
  constexpr uint32_t kParts = FACTS_TABLES | FACTS_SPACE | FACTS_ATTRIBUTES;
  if (!IsOpenArchive(archive) || facts == nullptr || (what & kParts) == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  ArchiveFacts f{};
  f.structSize = sizeof f;
  if (!platform::GetFileSize64(archive->fileHandle, &f.fileSize)) return false;
  const uint32_t savedError = GetLastError();
  if (what & FACTS_TABLES) TableFacts(archive, &f);
  if (what & FACTS_SPACE) SpaceFacts(archive, &f);
  if (what & FACTS_ATTRIBUTES) AttributeFacts(archive, &f);
  if ((what & FACTS_TABLES) == 0) f.fileSize = 0;
  *facts = f;
  SetLastError(savedError);
  return true;
}

extern "C" bool CheckArchiveTables(ArchiveHandle archive, ArchiveTableProblemCallback callback, void* context,
                                   uint32_t* problems) {
  if (!IsOpenArchive(archive)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  uint64_t fileSize = 0;
  if (!platform::GetFileSize64(archive->fileHandle, &fileSize)) return false;
  const ArchiveHeader& h = archive->header;
  ProblemSink sink{callback, context};
  // A table that starts inside the file and runs past its end reads as
  // zeros beyond it, which some writers rely on; one that starts past it is
  // nothing but zeros.
  const uint64_t hashStart = ArchivePosition(archive, HashTablePos(h));
  if (hashStart >= fileSize) sink.Add({0, TABLE_HASH_PAST_END, 0, 0, h.blockTableEntries, hashStart, 0, fileSize});
  const uint64_t blockStart = ArchivePosition(archive, BlockTablePos(h));
  if (h.blockTableEntries != 0 && blockStart >= fileSize) {
    sink.Add({0, TABLE_BLOCKS_PAST_END, 0, 0, h.blockTableEntries, blockStart, 0, fileSize});
  }
  if (sink.count == 0) CheckBlocks(archive, fileSize, &sink);
  if (problems != nullptr) *problems = sink.count;
  return true;
}
