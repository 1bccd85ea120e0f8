// Compaction: keeps only the blocks some hash entry names, packed behind the
// header in block order, followed by the hash table and the block table.
// Position-keyed files are re-encrypted for their new place. The new archive
// is built whole in a temporary file beside the old one (what precedes the
// header copied byte for byte), flushed, and then put in the archive's place
// in one atomic step; the old file is never written to.
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "archive/format/tables.h"
#include "archive/update/update_internal.h"
#include "archive/read/read_internal.h"
#include "sorvane/sorvane_ext.h"
#include "platform/bytes.h"

namespace {

constexpr uint32_t COMPACT_COPY_CHUNK = 65536;
constexpr uint32_t COMPACT_NAME_TRIES = 10000;

// The last bytes of a temporary file until it has taken the archive's
// place: written first, far beyond everything else, so that a file left by
// an interrupted compaction is known as such (and removed by the next one)
// at every stage of its making, and a file of the same name that is not one
// of ours is never touched. A stop before the first write leaves an empty
// file, which holds nothing to lose either.
constexpr uint8_t kTemporaryMark[32] = {'U', 'n', 'f', 'i', 'n', 'i', 's', 'h', 'e', 'd', ' ', 'c', 'o', 'm', 'p', 'a',
                                        'c', 't', 'i', 'o', 'n', 0x1A, 0xC3, 0x5E, 0x9B, 0x01, 0x7D, 0xE4, 0x22, 0x86,
                                        0x4F, 0xB0};

// A file of the name that some program holds (a compaction of the same
// archive under another path, still writing) is in use, not left over.
bool IsLeftoverTemporary(const char* path) {
  platform::OsHandle file = platform::CreateSharedFile(path, platform::kGenericRead | platform::kGenericWrite, 0,
                                                       platform::kOpenExisting, false);
  if (!platform::IsValidHandle(file)) return false;
  uint64_t size = 0;
  uint8_t tail[sizeof kTemporaryMark] = {};
  const bool marked = platform::GetFileSize64(file, &size) &&
                      (size == 0 || (size >= sizeof kTemporaryMark &&
                                     ReadExactAt(file, size - sizeof kTemporaryMark, tail, sizeof tail) &&
                                     std::memcmp(tail, kTemporaryMark, sizeof tail) == 0));
  platform::CloseHandle(file);
  return marked;
}

// The temporary file; closed and removed unless it became the archive.
class TempFile {
 public:
  ~TempFile() { Discard(); }
  // Tries "%s.compact", then "%s.compact.%04u"; a name held by a leftover of
  // an earlier compaction is freed and taken.
  bool Create(const char* archivePath) {
    for (uint32_t i = 0; i <= COMPACT_NAME_TRIES; ++i) {
      if (i == 0) std::snprintf(path_, sizeof path_, "%s.compact", archivePath);
      else std::snprintf(path_, sizeof path_, "%s.compact.%04u", archivePath, i - 1);
      if (TryOpen()) return true;
      const uint32_t error = GetLastError();
      if (IsLeftoverTemporary(path_) && platform::DeleteFile(path_) && TryOpen()) return true;
      SetLastError(error);
    }
    return false;
  }
  platform::OsHandle handle() const { return handle_; }
  const char* path() const { return path_; }
  void Close() {
    if (platform::IsValidHandle(handle_)) platform::CloseHandle(handle_);
    handle_ = platform::InvalidHandle();
  }
  void Discard() {
    if (!created_) return;
    const uint32_t error = GetLastError();
    Close();
    platform::DeleteFile(path_);
    created_ = false;
    SetLastError(error);
  }
  // The file is the archive now: its handle goes to the caller.
  platform::OsHandle TakeOver() {
    platform::OsHandle h = handle_;
    handle_ = platform::InvalidHandle();
    created_ = false;
    return h;
  }
  void Replaced() { created_ = false; }

 private:
  // Made anew (never an existing file or link followed), readable by this
  // user alone while it holds the archive's data, and held against every
  // other archive handle until it is the archive.
  bool TryOpen() {
    handle_ = platform::CreateSharedFile(path_, platform::kGenericRead | platform::kGenericWrite, 0,
                                         platform::kCreateNew, true);
    created_ = platform::IsValidHandle(handle_);
    return created_;
  }
  char path_[kMaxPath + 32] = {};
  platform::OsHandle handle_ = platform::InvalidHandle();
  bool created_ = false;
};

bool CopyRange(platform::OsHandle from, uint64_t fromPos, platform::OsHandle to, uint64_t toPos,
               uint64_t length, uint8_t* chunk) {
  for (uint64_t done = 0; done < length;) {
    const uint32_t n = (length - done < COMPACT_COPY_CHUNK) ? static_cast<uint32_t>(length - done) : COMPACT_COPY_CHUNK;
    if (!ReadExactAt(from, fromPos + done, chunk, n) || !WriteExactAt(to, toPos + done, chunk, n)) {
      return false;
    }
    done += n;
    ReportUpdateProgress(n);
  }
  return true;
}

bool IsListfileEntry(const HashEntry& entry) {
  return entry.nameHashA == HashString("(listfile)", HASH_NAME_A) &&
         entry.nameHashB == HashString("(listfile)", HASH_NAME_B);
}

// The old and new key of a file found by its name: "(listfile)" itself, or
// a name of the archive's name lists with the entry's check values.
bool KeysFromName(Archive* archive, const HashEntry& entry, const BlockEntry& oldBlock,
                  const BlockEntry& newBlock, uint32_t* oldKey, uint32_t* newKey) {
  if (IsListfileEntry(entry)) {
    *oldKey = FileKey("(listfile)", oldBlock);
    *newKey = FileKey("(listfile)", newBlock);
    return true;
  }
  char* name = FindListedName(archive, entry.nameHashA, entry.nameHashB);
  if (name == nullptr) return false;
  *oldKey = FileKey(name, oldBlock);
  *newKey = FileKey(name, newBlock);
  ReleaseName(name);
  return true;
}

// Re-encrypts a position-keyed block already copied unchanged to its new
// place in the temporary file: its table, sectors and checksum block, or its
// single unit. A file whose key cannot be found fails the compaction
// (ERROR_FILE_INVALID): moved without re-keying it would never decrypt
// again. Single-unit and plain files have no table to recover a key from and
// need their name. Blocks too damaged to be read at all stay as copied.
bool RekeyBlock(Archive* archive, const HashEntry& entry, const BlockEntry& oldBlock,
                const BlockEntry& newBlock, platform::OsHandle temp) {
  const uint32_t fileSize = oldBlock.fileSize;
  BlockData where;
  if (!LocateBlockData(archive, oldBlock, &where)) return true;
  const uint64_t sectors = (static_cast<uint64_t>(fileSize) + archive->sectorSize - 1) / archive->sectorSize;
  const uint64_t needed = HasSectorTable(oldBlock.flags) ? 4 * (sectors + 1) : IsSingleUnit(oldBlock.flags) ? 1 : fileSize;
  if (needed > where.room) return true;
  SectorLayout layout;
  uint32_t oldKey = 0, newKey = 0;
  bool haveKey = false;
  bool readable = false;
  // The table's first word is known, which gives the key without a name;
  // a key that decodes no sensible table is a chance hit and is not used.
  const uint32_t detected = DetectTableKey(archive, oldBlock);
  if (detected != 0 && LoadSectorLayout(archive, oldBlock, detected, &layout)) {
    oldKey = detected;
    newKey = MovedKey(oldKey, oldBlock, newBlock);
    haveKey = readable = true;
  } else if (KeysFromName(archive, entry, oldBlock, newBlock, &oldKey, &newKey)) {
    haveKey = true;
    readable = LoadSectorLayout(archive, oldBlock, oldKey, &layout);
    if (!readable && GetLastError() == ERROR_NOT_ENOUGH_MEMORY) return false;
  }
  if (!haveKey) {
    SetLastError(ERROR_FILE_INVALID);
    return false;
  }
  if (!readable || oldKey == newKey) return true;
  bool readFailed = false;
  return WriteRekeyedCopy(archive, oldBlock, layout, oldKey, newKey, temp,
                          static_cast<uint64_t>(archive->headerOffset) + BlockOffset(newBlock), &readFailed);
}

// Deleted marks that end a probe run (the next entry is empty) turn into
// empty entries: no lookup passes them any more. The others are rewritten as
// the current mark, so that marks of older writes, which some readers take
// for empty, stop cutting runs. No entry moves.
void ClearTrailingDeletedMarks(HashEntry* table, uint32_t n) {
  for (uint32_t j = 0; j < n; ++j) {
    if (!IsHashEntryEmpty(table[j])) continue;
    for (uint32_t i = (j == 0 ? n - 1 : j - 1), steps = 0; steps < n && IsHashEntryDeleted(table[i]);
         i = (i == 0 ? n - 1 : i - 1), ++steps) {
      MarkHashEntryEmpty(table[i]);
    }
  }
  for (uint32_t i = 0; i < n; ++i) {
    if (IsHashEntryDeleted(table[i])) MarkHashEntryDeleted(table[i]);
  }
}

}  // namespace

namespace {

// Moves the finished temporary file into the archive's place and makes the
// record's handle the new file's. Where the system cannot replace an open
// file, both handles are closed around the step and the archive reopened.
bool ReplaceArchiveFile(Archive* archive, const char* target, TempFile* temp) {
  // The archive's mode, owner and group go to the new file before it takes
  // the archive's place, not while it is written.
  bool ownerKept = true;
  if (!platform::CopyOwnership(archive->fileHandle, temp->handle(), &ownerKept)) return false;
  archive->ownerNotKept = !ownerKept;
  if (platform::CanReplaceOpenFile()) {
    if (!platform::ReplaceFile(target, temp->path())) return false;
    platform::CloseHandle(archive->fileHandle);
    archive->fileHandle = temp->TakeOver();
    return true;
  }
  temp->Close();
  platform::CloseHandle(archive->fileHandle);
  // Between the replace and the open another program may take the archive;
  // this one then fails with the sharing violation, the archive complete.
  const bool replaced = platform::ReplaceFile(target, temp->path());
  const uint32_t error = GetLastError();
  if (replaced) temp->Replaced();
  archive->fileHandle = platform::CreateSharedFile(archive->path, platform::kGenericRead | platform::kGenericWrite,
                                                   platform::kFileShareRead, platform::kOpenExisting, false);
  if (!replaced) SetLastError(error);
  return replaced;
}

// The file a symbolic link names (a link stays a link: the file it names is
// compacted, with the new file made beside that one so the rename stays on
// its file system), checked to be the archive's own.
bool CompactionTarget(const Archive* archive, std::string* target) {
  if (!platform::ResolveLinks(archive->path, target)) return false;
  if (target->size() >= kMaxPath) {
    SetLastError(platform::kErrorFilenameExcedRange);
    return false;
  }
  if (!platform::NamesFile(target->c_str(), archive->fileHandle)) {
    // Someone moved another file to the archive's name behind its back.
    SetLastError(ERROR_SHARING_VIOLATION);
    return false;
  }
  return true;
}

constexpr uint32_t kUnused = 0xFFFFFFFFu;

// The compacted archive as planned before anything is written: its tables,
// where each old block goes (newIndex, kUnused when dropped) and where the
// parts of the new file lie, archive-relative.
struct CompactionPlan {
  uint32_t hashEntries = 0;
  uint32_t blockCount = 0;  // old blocks
  uint32_t newCount = 0;    // blocks kept
  uint32_t dropped = 0;
  PageBuffer hashBuffer, blockBuffer, indexBuffer, firstUserBuffer;
  CompactedAttributes attributes;
  uint64_t dataStart = 0;
  uint64_t hashPos = 0, blockPos = 0, highPos = 0, end = 0;
  bool needsHigh = false;
  ArchiveHeader header{};

  HashEntry* newHash() { return reinterpret_cast<HashEntry*>(hashBuffer.bytes()); }
  BlockEntry* newBlocks() { return reinterpret_cast<BlockEntry*>(blockBuffer.bytes()); }
  uint32_t* newIndex() { return reinterpret_cast<uint32_t*>(indexBuffer.bytes()); }
  uint32_t* firstUser() { return reinterpret_cast<uint32_t*>(firstUserBuffer.bytes()); }
};

// The plan's tables, with the hash table copied; which blocks some entry
// names, and the first entry naming each.
bool FindFirstUsers(const Archive* archive, CompactionPlan* plan) {
  const uint32_t hashEntries = plan->hashEntries = archive->header.hashTableEntries;
  const uint32_t blockCount = plan->blockCount =
      archive->blockTable != nullptr ? archive->header.blockTableEntries : 0;
  plan->hashBuffer = PageBuffer(static_cast<size_t>(hashEntries) * kEntryBytes);
  // One more for the attributes' own block when theirs is shared.
  plan->blockBuffer = PageBuffer((static_cast<size_t>(blockCount) + 1) * sizeof(BlockEntry));
  plan->indexBuffer = PageBuffer(blockCount != 0 ? static_cast<size_t>(blockCount) * 4 : 1);
  plan->firstUserBuffer = PageBuffer(blockCount != 0 ? static_cast<size_t>(blockCount) * 4 : 1);
  if (!plan->hashBuffer || !plan->blockBuffer || !plan->indexBuffer || !plan->firstUserBuffer) return false;
  HashEntry* newHash = plan->newHash();
  uint32_t* firstUser = plan->firstUser();
  std::memcpy(newHash, archive->hashTable, static_cast<size_t>(hashEntries) * kEntryBytes);
  for (uint32_t i = 0; i < blockCount; ++i) firstUser[i] = kUnused;
  for (uint32_t e = 0; e < hashEntries; ++e) {
    const HashEntry& entry = newHash[e];
    if (IsHashEntryInUse(entry) && entry.blockIndex < blockCount && firstUser[entry.blockIndex] == kUnused) {
      firstUser[entry.blockIndex] = e;
    }
  }
  return true;
}

// Data starts behind the header; a header-size field that is out of reason
// (below 32, or past where the archive's contents begin) gives way to 32.
uint32_t CompactedDataStart(const Archive* archive, CompactionPlan* plan) {
  const ArchiveHeader& header = archive->header;
  const uint32_t* firstUser = plan->firstUser();
  uint64_t contentStart = HashTablePos(header);
  if (header.blockTableEntries != 0 && BlockTablePos(header) < contentStart) contentStart = BlockTablePos(header);
  for (uint32_t i = 0; i < plan->blockCount; ++i) {
    if (firstUser[i] != kUnused && BlockOffset(archive->blockTable[i]) < contentStart) {
      contentStart = BlockOffset(archive->blockTable[i]);
    }
  }
  const uint32_t minimum = archive->extended ? kExtendedHeaderBytes : kHeaderBytes;
  return (header.headerSize >= minimum && header.headerSize <= contentStart) ? header.headerSize : minimum;
}

// The new layout: the kept blocks packed in block order from the data
// start, then both tables. Laid out first, so the temporary file's end (and
// its mark) is known before anything is written.
bool PlanLayout(Archive* archive, CompactionPlan* plan) {
  const uint64_t base = archive->headerOffset;
  // Classic archives end below 4 GiB; the extended header reaches 2^48.
  const uint64_t fileLimit = archive->extended ? (1ull << 48) - 1 : ClassicFileLimit;
  const uint32_t* firstUser = plan->firstUser();
  uint32_t* newIndex = plan->newIndex();
  BlockEntry* newBlocks = plan->newBlocks();
  plan->dataStart = CompactedDataStart(archive, plan);
  uint64_t write = plan->dataStart;
  uint64_t size = 0;
  const uint64_t* fileSize = platform::GetFileSize64(archive->fileHandle, &size) ? &size : nullptr;
  for (uint32_t i = 0; i < plan->blockCount; ++i) {
    if (firstUser[i] == kUnused) {
      newIndex[i] = kUnused;
      ++plan->dropped;
      continue;
    }
    const uint32_t m = newIndex[i] = i - plan->dropped;
    const BlockEntry& oldBlock = archive->blockTable[i];
    // What the data take by their own layout; a falsified stored size would
    // cut them short or drag other bytes along.
    uint32_t extent = oldBlock.storedSize;
    StoredExtent(archive, archive->hashTable[firstUser[i]], &extent, fileSize);
    newBlocks[m] = oldBlock;
    if (i == plan->attributes.block && !plan->attributes.apart) {
      newBlocks[m] = plan->attributes.entry;
      extent = plan->attributes.entry.storedSize;
    }
    SetBlockOffset(newBlocks[m], write);
    newBlocks[m].storedSize = extent;
    write += extent;
    if (base + write > fileLimit) {
      SetLastError(kErrorFileTooLarge);
      return false;
    }
  }
  uint32_t newCount = plan->blockCount - plan->dropped;
  if (plan->attributes.apart) {
    BlockEntry& own = newBlocks[newCount++] = plan->attributes.entry;
    SetBlockOffset(own, write);
    write += own.storedSize;
    if (base + write > fileLimit) {
      SetLastError(kErrorFileTooLarge);
      return false;
    }
  }
  plan->newCount = newCount;
  plan->hashPos = write;
  plan->blockPos = plan->hashPos + static_cast<uint64_t>(plan->hashEntries) * kEntryBytes;
  for (uint32_t m = 0; m < newCount; ++m) plan->needsHigh = plan->needsHigh || newBlocks[m].offsetHigh != 0;
  plan->highPos = plan->needsHigh ? plan->blockPos + static_cast<uint64_t>(newCount) * kEntryBytes : 0;
  plan->end = plan->blockPos + static_cast<uint64_t>(newCount) * (kEntryBytes + (plan->needsHigh ? 2 : 0));
  if (base + plan->end > fileLimit) {
    SetLastError(kErrorFileTooLarge);
    return false;
  }
  return true;
}

// Block indices follow their blocks; entries naming no block of the table
// are lowered by the number dropped, as every later index is. The new
// header names the new tables.
void RemapEntries(const Archive* archive, CompactionPlan* plan) {
  HashEntry* newHash = plan->newHash();
  const uint32_t* newIndex = plan->newIndex();
  for (uint32_t e = 0; e < plan->hashEntries; ++e) {
    HashEntry& entry = newHash[e];
    if (!IsHashEntryInUse(entry)) continue;
    entry.blockIndex = entry.blockIndex < plan->blockCount ? newIndex[entry.blockIndex] : entry.blockIndex - plan->dropped;
  }
  if (plan->attributes.apart) newHash[plan->attributes.hashIndex].blockIndex = plan->newCount - 1;
  ClearTrailingDeletedMarks(newHash, plan->hashEntries);
  plan->header = archive->header;
  SettleFormatVersion(plan->header, archive->extended);
  SetTablePositions(&plan->header, plan->hashPos, plan->blockPos, plan->highPos);
  plan->header.blockTableEntries = plan->newCount;
  plan->header.archiveSize = plan->end > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(plan->end);
}

// Copies (and where the key follows the position, re-keys) each kept block
// to its new place.
bool WriteCompactedBlocks(Archive* archive, CompactionPlan* plan, platform::OsHandle out, uint8_t* chunk) {
  const uint64_t base = archive->headerOffset;
  for (uint32_t i = 0; i < plan->blockCount; ++i) {
    if (plan->newIndex()[i] == kUnused) continue;
    const BlockEntry& oldBlock = archive->blockTable[i];
    const BlockEntry& newBlock = plan->newBlocks()[plan->newIndex()[i]];
    if (i == plan->attributes.block && !plan->attributes.apart) {
      if (!WriteExactAt(out, base + BlockOffset(newBlock), plan->attributes.bytes, newBlock.storedSize)) return false;
      continue;
    }
    if (!CopyRange(archive->fileHandle, BlockPosition(archive, oldBlock), out, base + BlockOffset(newBlock),
                   newBlock.storedSize, chunk)) {
      return false;
    }
    const uint32_t rekeyed = BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED;
    if ((oldBlock.flags & rekeyed) == rekeyed && BlockOffset(oldBlock) != BlockOffset(newBlock) &&
        !RekeyBlock(archive, plan->newHash()[plan->firstUser()[i]], oldBlock, newBlock, out)) {
      return false;
    }
  }
  if (!plan->attributes.apart) return true;
  const BlockEntry& own = plan->newBlocks()[plan->newCount - 1];
  return WriteExactAt(out, base + BlockOffset(own), plan->attributes.bytes, own.storedSize);
}

// The temporary archive whole: the mark, then everything before the header
// and the header's own bytes as they are, the blocks, the tables and at
// last the new header; flushed.
bool WriteTemporaryArchive(Archive* archive, CompactionPlan* plan, platform::OsHandle out) {
  const uint64_t base = archive->headerOffset;
  PageBuffer chunk(COMPACT_COPY_CHUNK);
  if (!chunk) return false;
  if (!WriteExactAt(out, base + plan->end, kTemporaryMark, sizeof kTemporaryMark) ||
      !CopyRange(archive->fileHandle, 0, out, 0, base + plan->dataStart, chunk.bytes()) ||
      !WriteCompactedBlocks(archive, plan, out, chunk.bytes())) {
    return false;
  }
  uint8_t rawHeader[kExtendedHeaderBytes];
  SerializeExtendedHeader(plan->header, rawHeader);
  return WriteEncryptedTable(out, base + plan->hashPos, plan->newHash(), plan->hashEntries, HashTableKey()) &&
         WriteEncryptedTable(out, base + plan->blockPos, plan->newBlocks(), plan->newCount, BlockTableKey()) &&
         (!plan->needsHigh || WriteHighOffsetTable(out, base + plan->highPos, plan->newBlocks(), plan->newCount)) &&
         WriteExactAt(out, base, rawHeader, archive->extended ? kExtendedHeaderBytes : kHeaderBytes) &&
         platform::FlushFileBuffers(out);
}

// The archive is the new file now; the record takes the plan's state.
// Open files of it keep working: keys that follow the position move with
// their blocks, and the hash table keeps its array, so the entries they
// refer to stay where they are.
void AdoptCompacted(Archive* archive, CompactionPlan* plan, PageBuffer finalBlocks) {
  {
    // Other archives' files open and close on other threads meanwhile.
    std::lock_guard<std::mutex> lock(HandleListsMutex);
    for (uint32_t f = 0; f < OpenFileListCount; ++f) {
      ArchiveFile* file = OpenFileList[f];
      if (file == nullptr || file->archive != archive || file->hashEntry == nullptr || file->fileKey == 0) continue;
      const uint32_t index = file->hashEntry->blockIndex;
      if (index >= plan->blockCount || plan->newIndex()[index] == kUnused) continue;
      const BlockEntry& before = archive->blockTable[index];
      if ((before.flags & BLOCK_KEY_ADJUSTED) == 0) continue;
      file->fileKey = MovedKey(file->fileKey, before, plan->newBlocks()[plan->newIndex()[index]]);
    }
  }
  std::memcpy(archive->hashTable, plan->newHash(), static_cast<size_t>(plan->hashEntries) * kEntryBytes);
  if (plan->newCount != 0) {
    std::memcpy(finalBlocks.bytes(), plan->newBlocks(), static_cast<size_t>(plan->newCount) * sizeof(BlockEntry));
  }
  platform::VirtualFree(archive->blockTable);
  archive->blockTable = reinterpret_cast<BlockEntry*>(finalBlocks.release());
  archive->header = plan->header;
  archive->committedEnd = plan->end;
  for (uint32_t m = 0; m < plan->newCount; ++m) {
    NoteBlockExtent(archive, m, plan->newBlocks()[m], plan->newBlocks()[m].storedSize);
  }
}

bool CompactCommitted(Archive* archive) {
  std::string target;
  if (!CompactionTarget(archive, &target)) return false;
  archive->ownerNotKept = false;
  TempFile temp;
  if (!temp.Create(target.c_str())) return false;
  CompactionPlan plan;
  if (!FindFirstUsers(archive, &plan)) return false;
  // "(attributes)" follows the blocks to their new indexes.
  if (!PrepareCompactedAttributes(archive, plan.firstUser(), plan.blockCount, kUnused, &plan.attributes)) {
    return false;
  }
  if (!PlanLayout(archive, &plan)) return false;
  RemapEntries(archive, &plan);
  if (!WriteTemporaryArchive(archive, &plan, temp.handle())) return false;
  PageBuffer finalBlocks(plan.newCount != 0 ? static_cast<size_t>(plan.newCount) * sizeof(BlockEntry) : 0);
  if (plan.newCount != 0 && !finalBlocks) return false;

  if (!ReplaceArchiveFile(archive, target.c_str(), &temp)) return false;
  const uint32_t reopenError = GetLastError();
  AdoptCompacted(archive, &plan, std::move(finalBlocks));
  if (!platform::IsValidHandle(archive->fileHandle)) {
    SetLastError(reopenError);
    return false;
  }
  // The mark is dead now; a file that cannot be cut keeps it harmlessly
  // behind the archive's end.
  CutFileAt(archive, archive->headerOffset + plan.end);
  SetLastError(ERROR_SUCCESS);
  return true;
}

}  // namespace

bool CompactArchive(ArchiveHandle archive) {
  if (!CheckUpdatableArchive(archive)) return false;
  bool batchOpen = false;
  if (!CommitBatchSoFar(archive, &batchOpen)) return false;
  const bool ok = CheckCompactionRoom(archive) && CompactCommitted(archive);
  const uint32_t error = GetLastError();
  if (batchOpen && !ResumeBatch(archive)) return false;
  SetLastError(error);
  return ok;
}

extern "C" uint32_t GetArchiveUpdateNotes(ArchiveHandle archive) {
  if (!IsOpenArchive(archive)) return 0;
  return archive->ownerNotKept ? UPDATE_NOTE_OWNER_NOT_KEPT : 0;
}
