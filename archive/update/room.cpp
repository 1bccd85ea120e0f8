// Room for compaction: the copy is made whole beside the archive before it
// takes the archive's place, so the file system must hold both at once. A
// compaction that cannot fit is refused before it writes anything, rather
// than failing a full disk's last byte later.
#include "archive/update/update_internal.h"
#include "archive/read/read_internal.h"
#include "sorvane/sorvane_ext.h"

namespace {

// The mark behind a compaction's unfinished copy.
constexpr uint64_t kMarkBytes = 32;

}  // namespace

bool CompactionRoom(Archive* archive, uint64_t* needed, uint64_t* available) {
  const ArchiveHeader& h = archive->header;
  const uint32_t blockCount = archive->blockTable != nullptr ? h.blockTableEntries : 0;
  PageBuffer seenBuffer(blockCount != 0 ? blockCount : 1);
  if (!seenBuffer) return false;
  uint8_t* seen = seenBuffer.bytes();
  // The copy holds every block some entry names, as far as its own layout
  // reaches, behind the header's own bytes, then both tables and the mark.
  uint64_t data = 0;
  uint64_t contentStart = HashTablePos(h);
  if (h.blockTableEntries != 0 && BlockTablePos(h) < contentStart) contentStart = BlockTablePos(h);
  uint32_t kept = 0;
  uint64_t archiveFileSize = 0;
  const uint64_t* knownSize =
      platform::GetFileSize64(archive->fileHandle, &archiveFileSize) ? &archiveFileSize : nullptr;
  for (uint32_t i = 0; i < h.hashTableEntries; ++i) {
    const HashEntry& e = archive->hashTable[i];
    if (!IsHashEntryInUse(e) || e.blockIndex >= blockCount || seen[e.blockIndex]) continue;
    seen[e.blockIndex] = 1;
    ++kept;
    data += BlockExtent(archive, e.blockIndex, e, knownSize);
    const uint64_t offset = BlockOffset(archive->blockTable[e.blockIndex]);
    if (offset < contentStart) contentStart = offset;
  }
  const uint32_t minimum = archive->extended ? kExtendedHeaderBytes : kHeaderBytes;
  const uint64_t headerBytes = h.headerSize >= minimum && h.headerSize <= contentStart ? h.headerSize : minimum;
  const uint64_t tables = static_cast<uint64_t>(h.hashTableEntries) * kEntryBytes +
                          static_cast<uint64_t>(kept) * (kEntryBytes + (archive->extended ? 2 : 0));
  *needed = archive->headerOffset + headerBytes + data + tables + kMarkBytes;

  uint64_t room = 0, fileSize = 0;
  if (!platform::GetFreeDiskSpace(archive->path, &room)) return false;
  // Bytes past the committed end are cut before the copy starts.
  const uint64_t end = archive->headerOffset + ArchiveContentEnd(archive);
  if (platform::GetFileSize64(archive->fileHandle, &fileSize) && fileSize > end) room += fileSize - end;
  *available = room;
  return true;
}

bool CheckCompactionRoom(Archive* archive) {
  const uint32_t error = GetLastError();
  CutPastCommittedEnd(archive);
  uint64_t needed = 0, available = 0;
  // Where the room cannot be learnt the copy is tried all the same.
  if (!CompactionRoom(archive, &needed, &available) || needed <= available) {
    SetLastError(error);
    return true;
  }
  SetLastError(platform::kErrorDiskFull);
  return false;
}

extern "C" bool GetCompactionRoom(ArchiveHandle archive, uint64_t* needed, uint64_t* available) {
  if (!IsOpenArchive(archive) || needed == nullptr || available == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  return CompactionRoom(archive, needed, available);
}
