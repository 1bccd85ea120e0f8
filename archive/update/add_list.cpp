// Adding a list of files: small files are read a window at a time, the
// sectors of the whole window are compressed together on the compression
// threads, and the stored forms are entered and written in the list's order,
// gathered into large writes. Everything that decides where bytes go runs
// on the calling thread in that order, so the archive does not depend on the
// threads; it is the archive the one-by-one adds of the same list make.
#include <cstring>
#include <memory>
#include <new>

#include "archive/update/parallel.h"
#include "archive/update/update_internal.h"
#include "archive/read/provider.h"
#include "platform/bytes.h"
#include "sorvane/sorvane.h"

namespace {

// Larger files stream through the one-by-one path, whose working set does
// not grow with the file.
constexpr uint64_t kSmallFileBytes = 1u << 20;
// Source bytes read and compressed together: enough sectors to keep every
// thread busy, few enough to stay a bounded working set.
constexpr uint32_t kWindowBytes = 4u << 20;
constexpr uint32_t kWindowFiles = 4096;
// Stored bytes gathered into one write.
constexpr uint32_t kGatherBytes = 4u << 20;
// The fewest bytes a sector can have (a sector-size shift of 0).
constexpr uint32_t kSmallestSector = 512;

bool IsBn3Archive(const Archive* archive) { return std::memcmp(archive->header.signature, kSignatureBn3, 4) == 0; }

// Consecutive stored bytes, written together once they reach kGatherBytes,
// once the next ones go elsewhere, or when the window they lie in is to be
// filled again. The bytes are not copied: they stay where they are until
// the write.
class GatherWriter {
 public:
  GatherWriter(platform::OsHandle file, platform::WritePiece* pieces) : file_(file), pieces_(pieces) {}
  bool Append(uint64_t at, const uint8_t* data, uint32_t count) {
    if (count == 0) return true;
    if (pieceCount_ != 0 && at != start_ + used_ && !Flush()) return false;
    if (pieceCount_ == 0) start_ = at;
    pieces_[pieceCount_++] = platform::WritePiece{data, count};
    used_ += count;
    if (used_ >= kGatherBytes || pieceCount_ == kGatherPieces) return Flush();
    return true;
  }
  bool Flush() {
    if (pieceCount_ == 0) return true;
    if (!platform::WritePiecesAt(file_, start_, pieces_, pieceCount_)) return false;
    start_ += used_;
    used_ = 0;
    pieceCount_ = 0;
    return true;
  }
  static constexpr uint32_t kGatherPieces = 8192;

 private:
  platform::OsHandle file_;
  platform::WritePiece* pieces_;
  uint64_t start_ = 0;
  uint64_t used_ = 0;
  uint32_t pieceCount_ = 0;
};

// One small file of the window.
struct WindowFile {
  uint32_t item = 0;
  uint32_t offset = 0;  // of its bytes in the input area, and of its sectors' room in the output area
  uint32_t size = 0;
  uint32_t flags = 0;
  uint32_t mask = 0;
  uint32_t level = 0;
  uint32_t firstTask = 0;  // its sectors' results: results[firstTask + j]
  uint32_t sectors = 0;
  uint32_t readError = 0;  // the source could not be read: the item is refused with this
  bool streams = false;    // changed since the caller looked: stored through the one-by-one path
  uint64_t time = 0;
  std::unique_ptr<ContentDigest> digest;
};

struct ListAdd {
  Archive* archive = nullptr;
  const AddListItem* items = nullptr;
  uint32_t count = 0;
  uint32_t flags = 0;  // without ADD_REPLACE and BLOCK_SECTOR_CRC
  bool replace = false;
  uint32_t level = 0;
  uint32_t locale = 0;
  AddListCallback callback = nullptr;
  void* context = nullptr;
  bool added = false;

  PageBuffer input, output, tables;
  std::unique_ptr<platform::WritePiece[]> pieces;
  std::unique_ptr<StoredSector[]> results;
  std::unique_ptr<uint32_t[]> taskFile;
  std::unique_ptr<WindowFile[]> files;
  uint32_t inputCapacity = 0;
  uint32_t fileCount = 0;
  uint32_t taskCount = 0;
  const AttributesTable* attributes = nullptr;

  bool Allocate() {
    inputCapacity = static_cast<uint32_t>(kWindowBytes + kSmallFileBytes + 1);
    const uint32_t maxTasks = inputCapacity / kSmallestSector + kWindowFiles;
    input = PageBuffer(inputCapacity);
    output = PageBuffer(inputCapacity);
    // Each file's offset table until the window is written: one entry per
    // sector and one more per file.
    tables = PageBuffer(4 * (static_cast<size_t>(maxTasks) + kWindowFiles));
    pieces.reset(new (std::nothrow) platform::WritePiece[GatherWriter::kGatherPieces]);
    results.reset(new (std::nothrow) StoredSector[maxTasks]);
    taskFile.reset(new (std::nothrow) uint32_t[maxTasks]);
    files.reset(new (std::nothrow) WindowFile[kWindowFiles]);
    if (!input || !output || !tables || pieces == nullptr || results == nullptr || taskFile == nullptr || files == nullptr) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return false;
    }
    return true;
  }

  uint32_t SectorSize() const { return archive->sectorSize; }
};

// Whether an item takes the one-by-one path: what the window does not
// handle (large and single-unit files, per-file headers, a provider that
// takes one call at a time) and the names whose upkeep the session does.
bool TakesOwnPath(const ListAdd& job, const AddListItem& item) {
  if (item.size > kSmallFileBytes || IsSingleUnit(job.flags) || IsBn3Archive(job.archive)) return true;
  if (IsListfileName(item.storedName) || IsAttributesName(item.storedName)) return true;
  return !CompressesOnThreads(job.flags, item.methodMask);
}

// Reads a file whole into room bytes at out: one open and, for a file of
// the size the caller found, one read (asked for one byte more, which a
// file of that size does not give). *grew: it has more bytes than that.
bool ReadWhole(const char* path, uint32_t expected, uint8_t* out, uint64_t* time, uint32_t* size, bool* grew) {
  *grew = false;
  platform::OsHandle file = platform::OpenFileForReading(path);
  if (!platform::IsValidHandle(file)) return false;
  uint32_t total = 0;
  bool ok = true;
  for (;;) {
    uint32_t got = 0;
    if (!platform::ReadOnce(file, out + total, expected + 1 - total, &got)) {
      ok = false;
      break;
    }
    total += got;
    // A regular file gives less than asked for only at its end.
    if (got == 0 || total >= expected) break;
  }
  if (ok && time != nullptr && !platform::GetFileWriteTime(file, time)) *time = 0;
  const uint32_t error = GetLastError();
  platform::CloseHandle(file);
  SetLastError(error);
  *size = total;
  *grew = total > expected;
  return ok;
}

// Fills the window from item `first` on: reads each file and works out its
// sectors. Returns the item after the last one taken.
uint32_t FillWindow(ListAdd* job, uint32_t first) {
  job->fileCount = 0;
  job->taskCount = 0;
  job->attributes = KeptAttributes(job->archive);
  const uint32_t sectorSize = job->SectorSize();
  uint32_t used = 0;
  uint32_t i = first;
  for (; i < job->count && job->fileCount < kWindowFiles && used < kWindowBytes; ++i) {
    const AddListItem& item = job->items[i];
    if (TakesOwnPath(*job, item)) break;
    const uint32_t expected = static_cast<uint32_t>(item.size);
    if (used + static_cast<uint64_t>(expected) + 1 > job->inputCapacity) break;
    WindowFile& f = job->files[job->fileCount++];
    f = WindowFile{};
    f.item = i;
    f.offset = used;
    f.time = item.fileTime;
    uint8_t* bytes = job->input.bytes() + used;
    if (item.sourcePath == nullptr) {
      std::memcpy(bytes, item.data, expected);
      f.size = expected;
      if (job->attributes != nullptr && f.time == 0) f.time = platform::GetSystemTimeAsFileTime();
    } else {
      bool grew = false;
      uint64_t* time = job->attributes != nullptr && f.time == 0 ? &f.time : nullptr;
      if (!ReadWhole(item.sourcePath, expected, bytes, time, &f.size, &grew)) {
        f.readError = GetLastError();
        f.size = 0;
        continue;
      }
      if (grew) {
        f.streams = true;
        f.size = 0;
        continue;
      }
      if (time != nullptr && f.time == 0) f.time = platform::GetSystemTimeAsFileTime();
    }
    used += f.size;
    f.flags = job->flags;
    if (f.size == 0) f.flags &= ~(BLOCK_COMPRESSED | BLOCK_IMPLODED | BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED);
    f.level = job->level;
    f.mask = AddMaskFor(bytes, f.size, f.flags, item.methodMask, &f.level);
    if (job->attributes != nullptr) {
      f.digest.reset(new (std::nothrow) ContentDigest(job->attributes->flags));
    }
    f.sectors = static_cast<uint32_t>((static_cast<uint64_t>(f.size) + sectorSize - 1) / sectorSize);
    f.firstTask = job->taskCount;
    if (HasSectorTable(f.flags)) {
      for (uint32_t j = 0; j < f.sectors; ++j) job->taskFile[job->taskCount++] = job->fileCount - 1;
    }
  }
  return i;
}

uint32_t SectorLength(const WindowFile& f, uint32_t j, uint32_t sectorSize) {
  return j + 1 == f.sectors ? f.size - j * sectorSize : sectorSize;
}

void CompressTask(void* context, uint32_t task) {
  ListAdd* job = static_cast<ListAdd*>(context);
  const WindowFile& f = job->files[job->taskFile[task]];
  const uint32_t sectorSize = job->SectorSize();
  const uint32_t j = task - f.firstTask;
  const size_t at = f.offset + static_cast<size_t>(j) * sectorSize;
  job->results[task] = CompressAddSector(job->input.bytes() + at, SectorLength(f, j, sectorSize),
                                         job->output.bytes() + at, j, f.flags, f.mask, f.level);
}

// The digests of what a reader gets back: the source's bytes, except for
// audio-coded sectors, whose lossy coding gives other bytes back (a sector
// that does not decode is left for reading to report; its source stands in).
void DigestTask(void* context, uint32_t index) {
  ListAdd* job = static_cast<ListAdd*>(context);
  WindowFile& f = job->files[index];
  if (f.digest == nullptr || f.readError != 0 || f.streams) return;
  const uint8_t* source = job->input.bytes() + f.offset;
  if (!HasSectorTable(f.flags) || !IsLossyAdd(f.flags, f.mask)) {
    f.digest->Update(source, f.size);
    return;
  }
  const uint32_t sectorSize = job->SectorSize();
  PageBuffer decoded(sectorSize);
  for (uint32_t j = 0; j < f.sectors; ++j) {
    const uint32_t length = SectorLength(f, j, sectorSize);
    const uint8_t* plain = source + static_cast<size_t>(j) * sectorSize;
    const StoredSector& s = job->results[f.firstTask + j];
    if (decoded && s.length < length && DecodeStoredSector(f.flags, decoded.bytes(), length, s.data, s.length)) {
      plain = decoded.bytes();
    }
    f.digest->Update(plain, length);
  }
}

// Enters one window file in the pending tables and hands its stored form to
// the writer, as AddToSession would store it.
Outcome StoreWindowFile(ListAdd* job, WindowFile& f, GatherWriter* writer) {
  Archive* archive = job->archive;
  const AddListItem& item = job->items[f.item];
  const char* name = item.storedName;
  HashEntry* slot = FindFreeHashSlot(archive, name, job->locale, job->replace);
  if (slot == nullptr) return GetLastError() == ERR_HASH_TABLE_FULL ? Outcome::kArchiveFailed : Outcome::kRefused;
  if (!NoteHashChange(archive, slot)) return Outcome::kArchiveFailed;
  if (f.readError != 0) {
    SetLastError(f.readError);
    return Outcome::kRefused;
  }
  const uint32_t sectorSize = job->SectorSize();
  const bool hasTable = HasSectorTable(f.flags);
  const uint32_t tableBytes = hasTable ? 4 * (f.sectors + 1) : 0;
  // The room the one-by-one add takes, so that both place files alike.
  const uint64_t room = static_cast<uint64_t>(tableBytes) + f.size;
  uint32_t stored = tableBytes;
  if (hasTable) {
    for (uint32_t j = 0; j < f.sectors; ++j) stored += job->results[f.firstTask + j].length;
  } else {
    stored = f.size;
  }
  const BlockChoice choice = ChooseBlock(archive, *slot);
  if (choice.grows && !ReserveBlockEntry(archive)) return Outcome::kArchiveFailed;
  uint64_t position = 0;
  if (!AllocateSpace(archive, room, &position)) return Outcome::kArchiveFailed;
  ReleaseSpace(archive, position + stored, position + room);
  BlockEntry block{};
  SetBlockOffset(block, position);
  block.fileSize = f.size;
  block.flags = f.flags | BLOCK_EXISTS;
  const bool encrypted = (f.flags & BLOCK_ENCRYPTED) != 0;
  const uint32_t key = encrypted ? FileKey(name, block) : 0;
  block.storedSize = stored;

  uint64_t at = static_cast<uint64_t>(archive->headerOffset) + position;
  uint8_t* source = job->input.bytes() + f.offset;
  if (hasTable) {
    uint8_t* table = job->tables.bytes() + 4 * (static_cast<size_t>(f.firstTask) + (&f - job->files.get()));
    uint32_t offset = tableBytes;
    for (uint32_t j = 0; j < f.sectors; ++j) {
      platform::StoreLE32(table + 4 * j, offset);
      offset += job->results[f.firstTask + j].length;
    }
    platform::StoreLE32(table + 4 * f.sectors, offset);
    if (encrypted) EncryptBlock(table, tableBytes, key - 1);
    if (!writer->Append(at, table, tableBytes)) return Outcome::kArchiveFailed;
    at += tableBytes;
  }
  for (uint32_t j = 0; j < f.sectors; ++j) {
    StoredSector s{source + static_cast<size_t>(j) * sectorSize, SectorLength(f, j, sectorSize)};
    if (hasTable) s = job->results[f.firstTask + j];
    if (encrypted) EncryptBlock(s.data, s.length, key + j);
    if (!writer->Append(at, s.data, s.length)) return Outcome::kArchiveFailed;
    at += s.length;
  }
  InstallBlock(archive, slot, name, choice, block, job->locale);
  if (f.digest != nullptr) NoteStoredContent(archive, choice.blockIndex, StoredContent{f.digest.get(), f.time});
  ReportUpdateProgress(f.size);
  return Outcome::kDone;
}

// One item through the one-by-one path. Bytes still gathered go first: the
// space they take may be handed out again once a replaced file frees it.
Outcome StoreOnItsOwn(ListAdd* job, uint32_t index, GatherWriter* writer) {
  if (!writer->Flush()) return Outcome::kArchiveFailed;
  const AddListItem& item = job->items[index];
  AddSource source;
  source.path = item.sourcePath;
  source.memory = static_cast<const uint8_t*>(item.data);
  source.memorySize = static_cast<uint32_t>(item.size);
  return AddToSession(job->archive, source, item.storedName, job->flags | (job->replace ? ADD_REPLACE : 0),
                      item.methodMask, job->level, job->locale);
}

// What follows an item's outcome: the name list's upkeep and the caller's
// word. False when the archive's side failed.
bool Settle(ListAdd* job, uint32_t index, Outcome outcome) {
  const char* name = job->items[index].storedName;
  if (outcome == Outcome::kArchiveFailed) return false;
  uint32_t error = 0;
  if (outcome == Outcome::kDone) {
    job->added = true;
    if (IsListfileName(name)) ForgetSessionList(job->archive);
    else ListfileAddName(job->archive, name);
    if (IsAttributesName(name)) ForgetSessionAttributes(job->archive);
  } else {
    error = GetLastError();
  }
  if (job->callback != nullptr) job->callback(job->context, index, error);
  return true;
}

bool RunList(ListAdd* job) {
  GatherWriter writer(job->archive->fileHandle, job->pieces.get());
  for (uint32_t i = 0; i < job->count;) {
    const uint32_t end = FillWindow(job, i);
    if (end == i) {
      if (!Settle(job, i, StoreOnItsOwn(job, i, &writer))) return false;
      ++i;
      continue;
    }
    RunInParallel(job->taskCount, CompressTask, job);
    if (job->attributes != nullptr) RunInParallel(job->fileCount, DigestTask, job);
    for (uint32_t n = 0; n < job->fileCount; ++n) {
      WindowFile& f = job->files[n];
      const Outcome outcome = f.streams ? StoreOnItsOwn(job, f.item, &writer) : StoreWindowFile(job, f, &writer);
      if (!Settle(job, f.item, outcome)) return false;
      f.digest.reset();
    }
    // The next window reuses the memory these bytes lie in.
    if (!writer.Flush()) return false;
    i = end;
  }
  return writer.Flush();
}

bool CheckItems(const AddListItem* items, uint32_t count, uint32_t flags) {
  if (items == nullptr && count != 0) return false;
  for (uint32_t i = 0; i < count; ++i) {
    const AddListItem& item = items[i];
    if (item.storedName == nullptr || !CheckAddArguments(flags, item.methodMask)) return false;
    if (item.sourcePath == nullptr && (item.data == nullptr || item.size > 0xFFFFFFFFu)) return false;
  }
  return true;
}

}  // namespace

bool AddFileList(ArchiveHandle archive, const AddListItem* items, uint32_t count, uint32_t flags, uint32_t level,
                 uint32_t locale, AddListCallback callback, void* context) {
  if (archive == nullptr || !CheckItems(items, count, flags)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (!CheckEntryLocale(locale)) return false;
  if (!CheckUpdatableArchive(archive)) return false;
  if (count == 0) return true;
  UpdateSession* session = BeginOperation(archive);
  if (session == nullptr) return false;
  ListAdd job;
  job.archive = archive;
  job.items = items;
  job.count = count;
  job.replace = (flags & ADD_REPLACE) != 0;
  job.flags = flags & ~(ADD_REPLACE | BLOCK_SECTOR_CRC);
  job.level = level;
  job.locale = locale;
  job.callback = callback;
  job.context = context;
  // The window is filled before an item's provider could be asked about.
  if ((job.flags & BLOCK_COMPRESSED) != 0) LoadStormLibrary();
  if (!job.Allocate() || !RunList(&job)) return EndOperation(archive, Outcome::kArchiveFailed);
  if (job.added) return EndOperation(archive, Outcome::kDone);
  // Nothing entered: a session of its own ends without a write.
  if (!session->explicitBatch) EndOperation(archive, Outcome::kRefused);
  SetLastError(ERROR_SUCCESS);
  return true;
}
