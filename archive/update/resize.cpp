// Rebuilding an archive's hash table at another size. A new table can only be built from names: an
// entry's home is the hash of its name, which the table itself does not
// keep. The new table goes to free space and one header write switches to
// it, as every commit does; the old table's bytes become dead space.
#include <cstdlib>
#include <cstring>
#include <new>

#include "archive/read/listed_names.h"
#include "archive/read/read_internal.h"
#include "archive/update/update_internal.h"
#include "sorvane/sorvane.h"


namespace {

// The hash table's byte size must be one that opening accepts again.
constexpr uint32_t kMaxResizedEntries = kMaxTableBytes / kEntryBytes;

// The archive's names held for the length of a call.
class HeldNames {
 public:
  explicit HeldNames(Archive* archive) : archive_(archive), names_(AcquireListedNames(archive)) {}
  ~HeldNames() {
    if (names_ != nullptr) ReleaseListedNames(archive_, names_);
  }
  HeldNames(const HeldNames&) = delete;
  HeldNames& operator=(const HeldNames&) = delete;
  const ListedNames* get() const { return names_; }

 private:
  Archive* archive_;
  ListedNames* names_;
};

// Places every entry in use in table[0..size) at the home of its name;
// moved[i] becomes where entry i went (kNoBlock for one not in use). Names
// come from the archive's lists, only those of entries in use (so a list
// of millions of names costs what the table holds, in one pass made once
// per state of the archive), then from those the caller gave.
bool PlaceEntries(Archive* archive, HashEntry* table, uint32_t size, uint32_t* moved) {
  const HeldNames listed(archive);
  if (listed.get() == nullptr) return false;
  const uint32_t n = archive->header.hashTableEntries;
  for (uint32_t i = 0; i < n; ++i) {
    const HashEntry& e = archive->hashTable[i];
    moved[i] = kNoBlock;
    if (!IsHashEntryInUse(e)) continue;
    uint32_t home = 0;
    if (const char* name = listed.get()->Shown(e.nameHashA, e.nameHashB)) {
      home = HashString(name, HASH_TABLE_INDEX);
    } else if (char* given = CopyKnownName(archive, e.nameHashA, e.nameHashB)) {
      home = HashString(given, HASH_TABLE_INDEX);
      ReleaseName(given);
    } else {
      SetLastError(ERROR_FILE_INVALID);
      return false;
    }
    uint32_t j = home % size;
    while (!IsHashEntryEmpty(table[j])) j = j + 1 == size ? 0 : j + 1;
    table[j] = e;
    moved[i] = j;
  }
  return true;
}

bool ResizeCommitted(Archive* archive, uint32_t size) {
  const uint32_t n = archive->header.hashTableEntries;
  uint32_t inUse = 0;
  for (uint32_t i = 0; i < n; ++i) inUse += IsHashEntryInUse(archive->hashTable[i]) ? 1 : 0;
  if (inUse > size) {
    SetLastError(ERR_HASH_TABLE_FULL);
    return false;
  }
  PageBuffer tableBuffer(static_cast<size_t>(size) * kEntryBytes);
  PageBuffer movedBuffer(static_cast<size_t>(n) * sizeof(uint32_t));
  if (!tableBuffer || !movedBuffer) return false;
  auto* table = reinterpret_cast<HashEntry*>(tableBuffer.bytes());
  auto* moved = reinterpret_cast<uint32_t*>(movedBuffer.bytes());
  std::memset(table, 0xFF, tableBuffer.size());
  if (!PlaceEntries(archive, table, size, moved)) return false;

  const ArchiveHeader before = archive->header;
  UpdateSession* s = BeginOperation(archive);
  if (s == nullptr) return false;
  HashEntry* const old = archive->hashTable;
  archive->hashTable = table;
  archive->header.hashTableEntries = size;
  s->hashChanged = true;
  const bool ok = EndOperation(archive, Outcome::kDone);
  const uint32_t error = GetLastError();
  if (!ok && std::memcmp(&archive->header, &before, sizeof before) == 0) {
    // Given up before the switch: the old table is the archive's again.
    archive->hashTable = old;
    SetLastError(error);
    return false;
  }
  // Switched (a flush after the switch may still have failed): open files
  // follow their entries into the new table.
  tableBuffer.release();
  {
    // Other archives' files open and close on other threads meanwhile.
    std::lock_guard<std::mutex> lock(HandleListsMutex);
    for (uint32_t f = 0; f < OpenFileListCount; ++f) {
      ArchiveFile* file = OpenFileList[f];
      if (file == nullptr || file->archive != archive || file->hashEntry == nullptr) continue;
      const uint32_t index = static_cast<uint32_t>(file->hashEntry - old);
      file->hashEntry = index < n && moved[index] != kNoBlock ? &table[moved[index]] : nullptr;
    }
  }
  platform::VirtualFree(old);
  SetLastError(error);
  return ok;
}

}  // namespace


bool ResizeHashTable(ArchiveHandle archive, uint32_t hashTableSize) {
  if (!CheckUpdatableArchive(archive)) return false;
  if (hashTableSize == 0 || hashTableSize > kMaxResizedEntries) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  bool batchOpen = false;
  if (!CommitBatchSoFar(archive, &batchOpen)) return false;
  const bool ok = ResizeCommitted(archive, hashTableSize);
  const uint32_t error = GetLastError();
  if (batchOpen && !ResumeBatch(archive)) return false;
  SetLastError(error);
  return ok;
}
