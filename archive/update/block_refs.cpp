// What the update side knows of each block: the in-use hash entries naming
// it in the pending state, and the extent its data take, remembered between
// updates while the block's entry stays the same.
#include <cstdlib>
#include <cstring>
#include <new>

#include "archive/update/update_internal.h"
#include "archive/read/read_internal.h"
#include "sorvane/sorvane.h"

namespace {

// Counts the in-use entries naming blocks [from, to) that the pending table
// does not have yet. A hostile table's entries may name blocks past its end;
// a block appended there is named by them too, and must not lose its space
// when one of them lets go of it while the block's own file still uses it.
// Entries that change later leave these counts too high, never too low.
void CountReferences(const Archive* archive, uint32_t* refs, uint32_t from, uint32_t to) {
  for (uint32_t i = 0; i < archive->header.hashTableEntries; ++i) {
    const HashEntry& e = archive->hashTable[i];
    if (IsHashEntryInUse(e) && e.blockIndex >= from && e.blockIndex < to && refs[e.blockIndex] != 0xFFFFFFFFu) {
      ++refs[e.blockIndex];
    }
  }
}

}  // namespace

uint32_t KnownExtent(const Archive* archive, uint32_t index) {
  const BlockEntry& block = archive->blockTable[index];
  const BlockExtents* known = ExtentsOf(archive);
  if (known != nullptr && index < known->count && std::memcmp(&known->entries[index], &block, sizeof block) == 0) {
    return known->extents[index];
  }
  return block.storedSize;
}

uint32_t BlockExtent(Archive* archive, uint32_t index, const HashEntry& entry, const uint64_t* fileSize) {
  const BlockEntry& block = archive->blockTable[index];
  const BlockExtents* known = ExtentsOf(archive);
  if (known != nullptr && index < known->count && std::memcmp(&known->entries[index], &block, sizeof block) == 0) {
    return known->extents[index];
  }
  const uint32_t error = GetLastError();
  uint32_t extent = block.storedSize;
  uint32_t own = 0;
  if (StoredExtent(archive, entry, &own, fileSize)) extent = own;
  SetLastError(error);
  NoteBlockExtent(archive, index, block, extent);
  return extent;
}

void NoteBlockExtent(Archive* archive, uint32_t index, const BlockEntry& block, uint32_t extent) {
  UpdateState* state = UpdateStateOf(archive);
  if (state == nullptr) return;
  BlockExtents* known = state->extents;
  if (known == nullptr) {
    known = state->extents = new (std::nothrow) BlockExtents;
    if (known == nullptr) return;
  }
  if (index >= known->count) {
    // Unknown slots hold an entry no block has (offset and sizes all ones
    // with no flags), so they never match.
    const uint32_t count = index + 1 > known->count * 2 ? index + 1 : known->count * 2;
    void* entries = std::realloc(known->entries, static_cast<size_t>(count) * sizeof(BlockEntry));
    if (entries != nullptr) known->entries = static_cast<BlockEntry*>(entries);
    void* extents = std::realloc(known->extents, static_cast<size_t>(count) * sizeof(uint32_t));
    if (extents != nullptr) known->extents = static_cast<uint32_t*>(extents);
    if (entries == nullptr || extents == nullptr) return;
    for (uint32_t i = known->count; i < count; ++i) known->entries[i] = BlockEntry{~0u, ~0u, ~0u, 0, 0xFFFF, 0};
    known->count = count;
  }
  known->entries[index] = block;
  known->extents[index] = extent;
}

bool ReserveBlockEntry(Archive* archive) {
  UpdateSession* s = SessionOf(archive);
  const uint32_t count = archive->header.blockTableEntries;
  if (count == 0xFFFFFFFFu / kEntryBytes) {
    SetLastError(kErrorFileTooLarge);
    return false;
  }
  if (count < s->blockCapacity) return true;
  uint64_t capacity = static_cast<uint64_t>(s->blockCapacity) * 2;
  if (capacity > 0xFFFFFFFFu / kEntryBytes) capacity = 0xFFFFFFFFu / kEntryBytes;
  auto* blocks = AllocateEntries<BlockEntry>(capacity);
  auto* refs = AllocateEntries<uint32_t>(capacity);
  if (blocks == nullptr || refs == nullptr) {
    platform::VirtualFree(blocks);
    platform::VirtualFree(refs);
    return false;
  }
  std::memcpy(blocks, archive->blockTable, static_cast<size_t>(count) * sizeof(BlockEntry));
  std::memcpy(refs, s->blockRefs, static_cast<size_t>(s->blockCapacity) * sizeof(uint32_t));
  CountReferences(archive, refs, s->blockCapacity, static_cast<uint32_t>(capacity));
  platform::VirtualFree(archive->blockTable);
  platform::VirtualFree(s->blockRefs);
  archive->blockTable = blocks;
  s->blockRefs = refs;
  s->blockCapacity = static_cast<uint32_t>(capacity);
  return true;
}

void ChangeBlockReference(Archive* archive, uint32_t oldIndex, uint32_t newIndex) {
  UpdateSession* s = SessionOf(archive);
  const uint32_t count = archive->header.blockTableEntries;
  if (newIndex < count && s->blockRefs[newIndex] != 0xFFFFFFFFu) ++s->blockRefs[newIndex];
  if (oldIndex < count && s->blockRefs[oldIndex] != 0 && --s->blockRefs[oldIndex] == 0) {
    ReleaseBlockSpace(archive, oldIndex);
    if (oldIndex < s->freeFrom) s->freeFrom = oldIndex;
  }
}

// Taking an entry no pending name refers to never touches the committed
// state: the new table goes to new room at the commit, and the data the
// entry described stay out of the free space for as long as the committed
// state names them (a block this session wrote gave its space back when it
// lost its last name). Without this, every delete would leave an entry
// that no later add fills, and alternating adds and deletes would grow the
// table, and the copies of it each commit leaves, without end.
uint32_t FreeBlockEntry(Archive* archive) {
  UpdateSession* s = SessionOf(archive);
  const uint32_t count = archive->header.blockTableEntries;
  uint32_t i = s->freeFrom;
  while (i < count && s->blockRefs[i] != 0) ++i;
  s->freeFrom = i;
  if (i == count) return count;
  if (KeptAttributes(archive) == nullptr && FindExactHashEntry(archive, kAttributesName, 0) != nullptr) {
    return count;
  }
  return i;
}

uint32_t BlockReferences(const Archive* archive, uint32_t index) {
  if (index >= archive->header.blockTableEntries) return 0;
  return SessionOf(archive)->blockRefs[index];
}
