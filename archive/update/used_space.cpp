// What each state of an archive uses of its file, and the free space of a
// session between them: the committed state's extents at the start, the
// pending state's end at the commit, the limit neither may pass.
#include "archive/update/update_internal.h"
#include "archive/read/read_internal.h"
#include "sorvane/sorvane.h"

namespace {

// The archive-relative extent of length bytes at an archive-relative
// offset, found as readers find them: file positions wrap at 32 bits, so an
// offset may reach back into what precedes the header; that part is never
// written and is left out. Ends beyond `limit` are cut there. False when
// nothing is left.
bool RelativeExtent(const Archive* archive, uint64_t offset, uint64_t length, uint64_t limit, Extent* out) {
  const uint64_t start = ArchivePosition(archive, offset);
  const uint64_t end = start + length;
  const uint64_t base = archive->headerOffset;
  if (end <= base) return false;
  out->start = start > base ? start - base : 0;
  out->end = end - base < limit ? end - base : limit;
  return out->end > out->start;
}

// The archive-relative end of the archive file.
uint64_t FileEnd(const Archive* archive) {
  uint64_t size = 0;
  platform::GetFileSize64(archive->fileHandle, &size);
  return size > archive->headerOffset ? size - archive->headerOffset : 0;
}

}  // namespace

// Archives of the classic header end below 4 GiB counted from the file's
// start; the extended header's positions reach 2^48 (the high words are 16
// bits). Tests lower the classic limit to reach it without writing 4 GB.
uint64_t ClassicFileLimit = 0xFFFFFFFFull;

uint64_t SpaceLimit(const Archive* archive) {
  if (archive->extended) return (1ull << 48) - 1;
  return ClassicFileLimit > archive->headerOffset ? ClassicFileLimit - archive->headerOffset : 0;
}

uint64_t HeaderEnd(const Archive* archive, const ExtentList& used) {
  const ArchiveHeader& header = archive->header;
  const uint32_t written = archive->extended ? kExtendedHeaderBytes : kHeaderBytes;
  uint64_t contentStart = ~0ull;
  for (size_t i = 0; i < used.size(); ++i) {
    if (used[i].start < contentStart) contentStart = used[i].start;
  }
  return (header.headerSize >= written && header.headerSize <= contentStart) ? header.headerSize : written;
}

bool CollectUsed(Archive* archive, const uint32_t* firstUser, ExtentList* used) {
  const ArchiveHeader& h = archive->header;
  const uint64_t fileEnd = FileEnd(archive);
  uint64_t size = 0;
  const uint64_t* fileSize = platform::GetFileSize64(archive->fileHandle, &size) ? &size : nullptr;
  Extent e;
  if (RelativeExtent(archive, HashTablePos(h), static_cast<uint64_t>(h.hashTableEntries) * kEntryBytes, ~0ull, &e) &&
      !used->Append(e)) {
    return false;
  }
  if (h.blockTableEntries != 0 &&
      RelativeExtent(archive, BlockTablePos(h), static_cast<uint64_t>(h.blockTableEntries) * kEntryBytes, ~0ull,
                     &e) &&
      !used->Append(e)) {
    return false;
  }
  if (archive->extended && h.highOffsetTablePos != 0 && h.blockTableEntries != 0 &&
      RelativeExtent(archive, h.highOffsetTablePos, static_cast<uint64_t>(h.blockTableEntries) * 2, ~0ull, &e) &&
      !used->Append(e)) {
    return false;
  }
  for (uint32_t i = 0; i < h.blockTableEntries && archive->blockTable != nullptr; ++i) {
    if (firstUser[i] == kNoBlock) continue;
    const uint32_t extent = BlockExtent(archive, i, archive->hashTable[firstUser[i]], fileSize);
    if (RelativeExtent(archive, BlockOffset(archive->blockTable[i]), extent, fileEnd, &e) && !used->Append(e)) {
      return false;
    }
  }
  return true;
}

uint64_t UsedEnd(const Archive* archive, const ExtentList& used) {
  uint64_t end = HeaderEnd(archive, used);
  for (size_t i = 0; i < used.size(); ++i) {
    if (used[i].end > end) end = used[i].end;
  }
  return end;
}

bool KeepBlockTableRoom(const Archive* archive, ExtentList* used) {
  const ArchiveHeader& h = archive->header;
  const bool high = archive->extended && h.highOffsetTablePos != 0;
  Extent e;
  return !RelativeExtent(archive, BlockTablePos(h), BlockTableRoom(h.blockTableEntries, high), SpaceLimit(archive),
                         &e) ||
         used->Append(e);
}

uint64_t PendingEnd(Archive* archive, uint64_t hashPos, uint64_t blockPos, uint64_t highPos) {
  const UpdateSession* s = SessionOf(archive);
  const ArchiveHeader& h = archive->header;
  const uint64_t fileEnd = FileEnd(archive);
  uint64_t end = archive->extended ? kExtendedHeaderBytes : kHeaderBytes;
  Extent e;
  auto grow = [&end, &e] {
    if (e.end > end) end = e.end;
  };
  if (RelativeExtent(archive, hashPos, static_cast<uint64_t>(h.hashTableEntries) * kEntryBytes, ~0ull, &e)) grow();
  if (h.blockTableEntries != 0 &&
      RelativeExtent(archive, blockPos, static_cast<uint64_t>(h.blockTableEntries) * kEntryBytes, ~0ull, &e)) {
    grow();
  }
  if (highPos != 0 && RelativeExtent(archive, highPos, static_cast<uint64_t>(h.blockTableEntries) * 2, ~0ull, &e)) {
    grow();
  }
  for (uint32_t i = 0; i < h.blockTableEntries; ++i) {
    if (s->blockRefs[i] == 0) continue;
    if (RelativeExtent(archive, BlockOffset(archive->blockTable[i]), KnownExtent(archive, i), fileEnd, &e)) grow();
  }
  return end;
}

bool AllocateSpace(Archive* archive, uint64_t size, uint64_t* position) {
  if (size == 0) {
    // An empty block holds no bytes, so nothing keeps the file reaching to
    // where the free space's tail stood when it was added: space given back
    // later in the session, or the block table's room past the end, can
    // leave that point beyond the file's end, where readers take the
    // archive for damaged. The header's end is always inside the file.
    *position = archive->extended ? kExtendedHeaderBytes : kHeaderBytes;
    return true;
  }
  return SessionOf(archive)->space.Allocate(size, SpaceLimit(archive), position);
}

bool AllocateGapSpace(Archive* archive, uint64_t size, uint64_t* position) {
  const uint32_t error = GetLastError();
  const bool found = SessionOf(archive)->space.AllocateInGap(size, SpaceLimit(archive), position);
  SetLastError(error);
  return found;
}

// A block table that grows by an entry per add would never fit the hole
// its older copy left: each commit would leave one more copy behind, dead
// until small data happened to fill it. Its room is rounded up to a power
// of two entries instead, and the part the table does not fill is kept
// free while the copy is live, so that the copy after next, grown, still
// fits where this one is. Only a table that outgrows its room moves on,
// once per doubling.
uint64_t BlockTableRoom(uint32_t entries, bool high) {
  if (entries == 0) return 0;
  uint64_t capacity = 1;
  while (capacity < entries) capacity <<= 1;
  return capacity * (kEntryBytes + (high ? 2 : 0));
}

// Table copies are the largest things an update writes, and every commit
// frees the copy it replaces: the next commit but one finds that hole
// again, whole, where a first fit would have handed it to data and sent the
// tables to the end of the file. Without a hole that fits, the tables go
// where the commit finds room.
void ReserveTableRoom(const Archive* archive, UpdateSession* s) {
  const ArchiveHeader& h = archive->header;
  const uint64_t hashBytes = static_cast<uint64_t>(h.hashTableEntries) * kEntryBytes;
  const bool high = archive->extended && h.highOffsetTablePos != 0;
  const uint64_t blockBytes = BlockTableRoom(h.blockTableEntries, high);
  const uint64_t limit = SpaceLimit(archive);
  const uint32_t error = GetLastError();
  uint64_t at = 0;
  if (s->space.AllocateInGap(hashBytes + blockBytes, limit, &at)) {
    s->tableRoom = {at, at + hashBytes + blockBytes};
  } else if (s->space.AllocateInGap(hashBytes, limit, &at)) {
    // The block table's own room, once apart, is not kept: the name list,
    // rewritten by most commits and growing as the table does, takes it as
    // often as the table would.
    s->tableRoom = {at, at + hashBytes};
  }
  SetLastError(error);
}

void ReleaseTableRoom(Archive* archive) {
  UpdateSession* s = SessionOf(archive);
  ReleaseSpace(archive, s->tableRoom.start, s->tableRoom.end);
  s->tableRoom = {0, 0};
}

void ReleaseSpace(Archive* archive, uint64_t start, uint64_t end) {
  // Failing to note a gap for want of memory only leaves it unused.
  const uint32_t error = GetLastError();
  SessionOf(archive)->space.Release(start, end);
  SetLastError(error);
}

void ReleaseBlockSpace(Archive* archive, uint32_t index) {
  const UpdateSession* s = SessionOf(archive);
  const BlockEntry& b = archive->blockTable[index];
  if (index < s->committedHeader.blockTableEntries && s->committedBlocks != nullptr) {
    const BlockEntry& c = s->committedBlocks[index];
    if (BlockOffset(c) == BlockOffset(b) && c.storedSize == b.storedSize && c.fileSize == b.fileSize &&
        c.flags == b.flags) {
      return;
    }
  }
  ReleaseSpace(archive, BlockOffset(b), BlockOffset(b) + b.storedSize);
}
