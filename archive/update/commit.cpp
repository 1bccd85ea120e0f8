// The commit: switches an archive from its committed state to the pending
// one without ever writing over a byte the committed state uses.
//
// Commit order: new data is already in free space; the name list (when it
// changed) goes there too, then the changed tables; the file is flushed; the
// header is written in one piece and flushed. A stop before the header write
// leaves the old state whole, a stop after it the new one. Only then does
// the space of the old state become free, and the dead tail is cut off.
#include "archive/format/tables.h"
#include "archive/update/update_internal.h"
#include "archive/read/read_internal.h"
#include "sorvane/sorvane.h"

namespace {

// Encoded table bytes go to a file from a position on.
class FileTableSink final : public TableSink {
 public:
  FileTableSink(platform::OsHandle file, uint64_t position) : file_(file), position_(position) {}
  bool Write(uint64_t offset, const uint8_t* bytes, uint32_t size) override {
    return WriteExactAt(file_, position_ + offset, bytes, size);
  }

 private:
  platform::OsHandle file_;
  uint64_t position_;
};

// The extended header's high-offset table is written when some block lies
// at 4 GiB or beyond.
bool NeedsHighOffsets(const Archive* archive) {
  if (!archive->extended) return false;
  for (uint32_t i = 0; i < archive->header.blockTableEntries; ++i) {
    if (archive->blockTable[i].offsetHigh != 0) return true;
  }
  return false;
}

// Where the commit puts the tables, and which of them it writes.
struct TablePlan {
  uint64_t hashPos = 0;
  uint64_t blockPos = 0;
  uint64_t highPos = 0;
  bool writeHash = false;
  bool writeBlocks = false;
  bool writeHigh = false;
};

// Whether bytes of the committed state lie where the commit writes the
// header. A table may begin inside the header, its first entries being the
// header's own bytes: the header write changes them, and with them how the
// rest of the enciphered table reads, so such a table cannot stay in place.
bool OverlapsHeader(const Archive* archive, uint64_t offset, uint64_t bytes) {
  const uint64_t start = ArchivePosition(archive, offset);
  const uint64_t header = archive->headerOffset;
  return bytes != 0 && start < header + (archive->extended ? kExtendedHeaderBytes : kHeaderBytes) &&
         start + bytes > header;
}

// Room for table bytes: a gap that holds room bytes, else where new data
// would go; near the size limit, the table's own bytes alone.
bool PlaceRun(Archive* archive, uint64_t room, uint64_t size, uint64_t* position) {
  return AllocateGapSpace(archive, room, position) || AllocateSpace(archive, room, position) ||
         (size < room && AllocateSpace(archive, size, position));
}

// Finds room for the changed tables; the unchanged ones stay where the
// committed header has them. Both tables go together where a gap holds
// them, the block table with its room (BlockTableRoom). One that outgrew
// its room no longer fits the hole its older copy left: the hash table,
// which does not grow, still takes that hole, and the block table goes
// apart, so that each hole is filled again rather than the whole run going
// to the end of the file.
bool PlaceTables(Archive* archive, const UpdateSession* s, TablePlan* plan) {
  const ArchiveHeader& h = archive->header;
  const ArchiveHeader& c = s->committedHeader;
  const uint64_t hashBytes = static_cast<uint64_t>(h.hashTableEntries) * kEntryBytes;
  const uint64_t blockBytes = static_cast<uint64_t>(h.blockTableEntries) * kEntryBytes;
  plan->hashPos = HashTablePos(c);
  plan->blockPos = BlockTablePos(c);
  plan->highPos = archive->extended ? c.highOffsetTablePos : 0;
  plan->writeHash = s->hashChanged || OverlapsHeader(archive, HashTablePos(c), hashBytes);
  const bool highInHeader = archive->extended && c.highOffsetTablePos != 0 &&
                            OverlapsHeader(archive, c.highOffsetTablePos, static_cast<uint64_t>(c.blockTableEntries) * 2);
  plan->writeBlocks =
      (s->blocksChanged || highInHeader ||
       OverlapsHeader(archive, BlockTablePos(c), static_cast<uint64_t>(c.blockTableEntries) * kEntryBytes)) &&
      blockBytes != 0;
  // The high-offset table follows the block table; it is there while some
  // block needs it, and dropped (position 0) once none does.
  plan->writeHigh = plan->writeBlocks && NeedsHighOffsets(archive);
  const uint64_t highBytes = plan->writeHigh ? static_cast<uint64_t>(h.blockTableEntries) * 2 : 0;
  const uint64_t blockRoom = BlockTableRoom(h.blockTableEntries, plan->writeHigh);
  if ((s->blocksChanged || plan->writeBlocks) && !plan->writeHigh) plan->highPos = 0;
  ReleaseTableRoom(archive);
  bool ok = true;
  if (plan->writeHash && plan->writeBlocks) {
    if (AllocateGapSpace(archive, hashBytes + blockRoom, &plan->hashPos)) {
      plan->blockPos = plan->hashPos + hashBytes;
    } else if (AllocateGapSpace(archive, hashBytes, &plan->hashPos)) {
      ok = PlaceRun(archive, blockRoom, blockBytes + highBytes, &plan->blockPos);
    } else {
      ok = PlaceRun(archive, hashBytes + blockRoom, hashBytes + blockBytes + highBytes, &plan->hashPos);
      plan->blockPos = plan->hashPos + hashBytes;
    }
  } else if (plan->writeHash) {
    ok = PlaceRun(archive, hashBytes, hashBytes, &plan->hashPos);
  } else if (plan->writeBlocks) {
    ok = PlaceRun(archive, blockRoom, blockBytes + highBytes, &plan->blockPos);
  }
  if (plan->writeHigh) plan->highPos = plan->blockPos + blockBytes;
  if (h.blockTableEntries == 0) plan->blockPos = plan->hashPos + hashBytes;
  return ok;
}

// Writes the changed tables where the plan puts them and flushes them.
bool WritePlannedTables(Archive* archive, const TablePlan& plan) {
  const ArchiveHeader& h = archive->header;
  const uint64_t base = archive->headerOffset;
  // Space handed out never wraps, so these are plain file positions.
  bool ok = true;
  if (plan.writeHash) {
    ok = WriteEncryptedTable(archive->fileHandle, base + plan.hashPos, archive->hashTable, h.hashTableEntries,
                             HashTableKey());
  }
  if (ok && plan.writeBlocks) {
    ok = WriteEncryptedTable(archive->fileHandle, base + plan.blockPos, archive->blockTable, h.blockTableEntries,
                             BlockTableKey());
  }
  if (ok && plan.writeHigh) {
    ok = WriteHighOffsetTable(archive->fileHandle, base + plan.highPos, archive->blockTable, h.blockTableEntries);
  }
  return ok && platform::FlushFileBuffers(archive->fileHandle);
}

// The session ends with the committed state back in place; the failure's
// error stays the last error.
bool FailCommit(Archive* archive, UpdateSession* s) {
  const uint32_t error = GetLastError();
  RestoreCommitted(archive, s);
  EndSession(archive);
  SetLastError(error);
  return false;
}

// Data that begins inside the header, or reaches into it from before, is
// the header's own bytes, which the header write changes: each such block
// is copied first, as it reads now, to where no header write reaches. One
// that cannot be read or whose key cannot be found stays as it was.
bool MoveDataOutOfHeader(Archive* archive) {
  const uint32_t count = archive->header.blockTableEntries;
  // The block table is mostly far shorter than the hash table, whose pass
  // is then needed only when some block overlaps at all.
  bool any = false;
  for (uint32_t b = 0; b < count && !any; ++b) {
    any = OverlapsHeader(archive, BlockOffset(archive->blockTable[b]), KnownExtent(archive, b));
  }
  if (!any) return true;
  const uint32_t error = GetLastError();
  for (uint32_t e = 0; e < archive->header.hashTableEntries; ++e) {
    const HashEntry& entry = archive->hashTable[e];
    if (!IsHashEntryInUse(entry) || entry.blockIndex >= count) continue;
    const BlockEntry& block = archive->blockTable[entry.blockIndex];
    if (OverlapsHeader(archive, BlockOffset(block), KnownExtent(archive, entry.blockIndex)) &&
        MoveBlockData(archive, entry.blockIndex, entry) == Outcome::kArchiveFailed) {
      return false;
    }
  }
  SetLastError(error);
  return true;
}

// Open files of position-keyed data moved out of the header take the key
// of its new place once the move is the archive's.
void FollowMovedKeys(Archive* archive, const UpdateSession* s) {
  if (s->committedBlocks == nullptr) return;
  const uint32_t count = s->committedHeader.blockTableEntries < archive->header.blockTableEntries
                             ? s->committedHeader.blockTableEntries
                             : archive->header.blockTableEntries;
  std::lock_guard<std::mutex> lock(HandleListsMutex);
  for (uint32_t f = 0; f < OpenFileListCount; ++f) {
    ArchiveFile* file = OpenFileList[f];
    if (file == nullptr || file->archive != archive || file->hashEntry == nullptr || file->fileKey == 0) continue;
    const uint32_t index = file->hashEntry->blockIndex;
    if (index >= count) continue;
    const BlockEntry& before = s->committedBlocks[index];
    const BlockEntry& after = archive->blockTable[index];
    if ((before.flags & BLOCK_KEY_ADJUSTED) != 0 && before.flags == after.flags &&
        before.fileSize == after.fileSize && BlockOffset(before) != BlockOffset(after) &&
        OverlapsHeader(archive, BlockOffset(before), after.storedSize)) {
      file->fileKey = MovedKey(file->fileKey, before, after);
    }
  }
}

// Cuts the file after the committed archive when something dead follows it.
void CutDeadTail(Archive* archive) { CutFileAt(archive, archive->headerOffset + archive->committedEnd); }

}  // namespace

bool WriteEncryptedTable(platform::OsHandle file, uint64_t position, const HashEntry* table, uint32_t entries,
                         uint32_t key) {
  FileTableSink sink(file, position);
  return EncodeHashTable(table, entries, key, sink);
}

bool WriteEncryptedTable(platform::OsHandle file, uint64_t position, const BlockEntry* table, uint32_t entries,
                         uint32_t key) {
  FileTableSink sink(file, position);
  return EncodeBlockTable(table, entries, key, sink);
}

bool WriteHighOffsetTable(platform::OsHandle file, uint64_t position, const BlockEntry* table, uint32_t entries) {
  FileTableSink sink(file, position);
  return EncodeHighOffsetTable(table, entries, sink);
}

bool CommitSession(Archive* archive) {
  UpdateSession* s = SessionOf(archive);
  if (StoreSessionList(archive) == Outcome::kArchiveFailed ||
      StoreSessionAttributes(archive) == Outcome::kArchiveFailed) {
    return FailCommit(archive, s);
  }
  if (!s->hashChanged && !s->blocksChanged) {
    AcceptPending(s);
    EndSession(archive);
    return true;
  }
  if (!MoveDataOutOfHeader(archive)) return FailCommit(archive, s);
  TablePlan plan;
  bool ok = PlaceTables(archive, s, &plan);
  if (ok) ok = WritePlannedTables(archive, plan);
  ArchiveHeader next = archive->header;
  SettleFormatVersion(next, archive->extended);
  SetTablePositions(&next, plan.hashPos, plan.blockPos, plan.highPos);
  const uint64_t end = PendingEnd(archive, plan.hashPos, plan.blockPos, plan.highPos);
  if (ok && end > SpaceLimit(archive)) {
    SetLastError(kErrorFileTooLarge);
    ok = false;
  }
  // Past 4 GiB the size field cannot hold the end; readers of the extended
  // header do not trust it anyway.
  next.archiveSize = end > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(end);
  uint8_t raw[kExtendedHeaderBytes];
  SerializeExtendedHeader(next, raw);
  if (ok) {
    ok = WriteExactAt(archive->fileHandle, archive->headerOffset, raw,
                      archive->extended ? kExtendedHeaderBytes : kHeaderBytes);
  }
  if (!ok) return FailCommit(archive, s);
  // Switched: the new state is the archive now.
  archive->header = next;
  archive->committedEnd = end;
  FollowMovedKeys(archive, s);
  AcceptPending(s);
  EndSession(archive);
  if (!platform::FlushFileBuffers(archive->fileHandle)) return false;
  CutDeadTail(archive);
  return true;
}
