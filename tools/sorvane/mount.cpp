// sorvane mount: an archive shown as a read-only folder.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

#include "cli.h"
#include "guide.h"
#include "mount_tree.h"
#include "names.h"
#include "platform/mount/mount.h"

namespace sorvane {

namespace {

namespace fs = std::filesystem;

// Seconds since 1970 of a Windows FILETIME (100 ns since 1601), or 0.
int64_t UnixTime(uint64_t filetime) {
  constexpr uint64_t kEpoch = 116444736000000000ull;
  return filetime > kEpoch ? static_cast<int64_t>((filetime - kEpoch) / 10000000ull) : 0;
}

// FILE_BEGIN's value: the tools build without <windows.h>, which defines it
// there.
constexpr uint32_t kFromStart = 0;

// One open file of the archive and the sectors it decoded last. Used by one
// thread at a time (the library's rule for a file handle): the pool below
// hands it out whole.
struct OpenFile {
  long node = -1;
  FileHandle file = nullptr;
  uint32_t size = 0;
  // Reads are cut into whole sectors where the file must be decoded: the
  // kernel asks in pages, so a sector larger than a page, or a reader that
  // seeks, would otherwise have the same sector decoded again for each
  // piece. Plain files are read as asked.
  uint32_t sectorSize = 0;  // 0: no sector is kept
  struct Kept {
    uint32_t index = 0xFFFFFFFFu;
    std::vector<char> bytes;
  };
  Kept kept[2];
  unsigned nextKept = 0;

  ~OpenFile() {
    if (file != nullptr) CloseArchiveFile(file);
  }

  // count bytes at offset through the library; false on a damaged sector.
  bool ReadAt(char* out, uint32_t offset, uint32_t count) const {
    // With the high word given, an offset past 2 GiB is the 64-bit distance
    // it and the low word make.
    int32_t high = 0;
    uint32_t got = 0;
    if (SetArchiveFilePointer(file, static_cast<int32_t>(offset), &high, kFromStart) != offset) return false;
    return ReadArchiveFile(file, out, count, &got, nullptr) && got == count;
  }

  // Sector index, decoded once while it stays among the last two.
  const Kept* Sector(uint32_t index) {
    for (const Kept& k : kept) {
      if (k.index == index) return &k;
    }
    Kept& k = kept[nextKept];
    nextKept = (nextKept + 1) % 2;
    const uint64_t start = static_cast<uint64_t>(index) * sectorSize;
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(sectorSize, size - start));
    k.bytes.resize(n);
    k.index = 0xFFFFFFFFu;
    if (!ReadAt(k.bytes.data(), static_cast<uint32_t>(start), n)) return nullptr;
    k.index = index;
    return &k;
  }

  bool Read(char* out, uint32_t offset, uint32_t count) {
    if (sectorSize == 0) return ReadAt(out, offset, count);
    while (count > 0) {
      const uint32_t index = offset / sectorSize;
      const uint32_t within = offset % sectorSize;
      const uint64_t sectorEnd = std::min<uint64_t>(static_cast<uint64_t>(index + 1) * sectorSize, size);
      if (within == 0 && offset + static_cast<uint64_t>(count) >= sectorEnd) {
        // Whole sectors go straight to the caller.
        const uint64_t last = std::min<uint64_t>(offset + static_cast<uint64_t>(count), size);
        const uint32_t whole = static_cast<uint32_t>(last == size ? last - offset
                                                                  : (last - offset) / sectorSize * sectorSize);
        if (!ReadAt(out, offset, whole)) return false;
        out += whole;
        offset += whole;
        count -= whole;
        continue;
      }
      const Kept* k = Sector(index);
      if (k == nullptr) return false;
      const uint32_t n = std::min<uint32_t>(count, static_cast<uint32_t>(k->bytes.size()) - within);
      std::memcpy(out, k->bytes.data() + within, n);
      out += n;
      offset += n;
      count -= n;
    }
    return true;
  }
};

// The archive's sector size where sectors are worth keeping: a header may
// claim any shift, and a kept sector is memory of its full size.
uint32_t KeptSectorSize(ArchiveHandle archive) {
  const uint32_t shift = GetArchiveFileInfo(archive, INFO_SECTOR_SHIFT);
  return shift <= 11 ? 512u << shift : 0;
}

// The kernel asks from several threads at once, mostly without opening
// (reads name the file by path), and reads one file in several pieces. Open
// files are pooled: a read takes one of its file (or opens it), uses it
// alone and gives it back, so reads of different files, and of one file from
// several readers, run at once, and a file read piece by piece keeps its
// offset table and its last sectors. The library guards its own lists; the
// only lock here is the pool's.
class ArchiveServer : public platform::MountServer {
 public:
  ArchiveServer(ArchiveHandle archive, MountTree tree, int64_t archiveTime, uint64_t archiveBytes)
      : archive_(archive), tree_(std::move(tree)), archiveTime_(archiveTime), archiveBytes_(archiveBytes),
        sectorSize_(KeptSectorSize(archive)) {}

  // Node numbers are tree indexes plus one: the root is kMountRoot.
  platform::MountError Lookup(uint64_t parent, const char* name, uint64_t* node,
                              platform::MountStat* out) override {
    const MountNode* folder = NodeOf(parent);
    if (folder == nullptr) return platform::MountError::NotFound;
    if (!folder->folder) return platform::MountError::NotFolder;
    const long child = tree_.Child(parent - 1, name);
    if (child < 0) return platform::MountError::NotFound;
    *node = static_cast<uint64_t>(child) + 1;
    *out = StatOf(tree_.nodes[child]);
    return platform::MountError::None;
  }

  platform::MountError Stat(uint64_t node, platform::MountStat* out) override {
    const MountNode* n = NodeOf(node);
    if (n == nullptr) return platform::MountError::NotFound;
    *out = StatOf(*n);
    return platform::MountError::None;
  }

  platform::MountError List(uint64_t node, uint64_t from,
                            bool (*add)(void*, const char*, uint64_t, const platform::MountStat&),
                            void* sink) override {
    const MountNode* n = NodeOf(node);
    if (n == nullptr) return platform::MountError::NotFound;
    if (!n->folder) return platform::MountError::NotFolder;
    for (uint64_t i = from; i < n->listed.size(); ++i) {
      const MountNode& child = tree_.nodes[n->listed[i]];
      if (!add(sink, child.name.c_str(), n->listed[i] + 1, StatOf(child))) break;
    }
    return platform::MountError::None;
  }

  long Read(uint64_t node, char* buffer, size_t size, uint64_t offset, platform::MountError* error) override {
    const MountNode* n = NodeOf(node);
    if (n == nullptr || n->folder) {
      *error = n == nullptr ? platform::MountError::NotFound : platform::MountError::IsFolder;
      return -1;
    }
    if (offset >= n->size) return 0;
    // A file whose key cannot be found is listed, and its reads fail.
    std::unique_ptr<OpenFile> file = Take(static_cast<long>(node - 1));
    if (file == nullptr) {
      *error = platform::MountError::Io;
      return -1;
    }
    const uint64_t left = file->size > offset ? file->size - offset : 0;
    const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(size, left));
    // A damaged sector fails this read only.
    const bool ok = want == 0 || file->Read(buffer, static_cast<uint32_t>(offset), want);
    Give(std::move(file));
    if (!ok) {
      *error = platform::MountError::Io;
      return -1;
    }
    return static_cast<long>(want);
  }

  uint64_t NextFile(uint64_t node) override {
    const MountNode* n = NodeOf(node);
    if (n == nullptr || node == platform::kMountRoot) return 0;
    const MountNode& folder = tree_.nodes[n->parent];
    for (size_t i = n->place + 1; i < folder.listed.size(); ++i) {
      if (!tree_.nodes[folder.listed[i]].folder) return folder.listed[i] + 1;
    }
    return 0;
  }

  void Totals(uint64_t* bytes, uint64_t* files) override {
    *bytes = archiveBytes_;
    *files = tree_.nodes.size();
  }

 private:
  std::unique_ptr<OpenFile> Take(long n) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto it = idle_.begin(); it != idle_.end(); ++it) {
        if ((*it)->node == n) {
          std::unique_ptr<OpenFile> file = std::move(*it);
          idle_.erase(it);
          return file;
        }
      }
    }
    const MountNode& node = tree_.nodes[n];
    auto file = std::make_unique<OpenFile>();
    file->node = n;
    const bool ok = OpenStoredEntry(archive_, node.stored, node.locale, node.hashIndex, node.byIndex, &file->file);
    if (!ok) {
      file->file = nullptr;
      return nullptr;
    }
    // 0xFFFFFFFF is also the largest size a file can have: only with an
    // error set is it the query's failure.
    SetLastError(0);
    file->size = GetArchiveFileSize(file->file, nullptr);
    if (file->size == 0xFFFFFFFFu && GetLastError() != 0) return nullptr;
    const uint32_t flags = GetArchiveFileInfo(file->file, INFO_FLAGS);
    if ((flags & (BLOCK_COMPRESSED | BLOCK_IMPLODED | BLOCK_ENCRYPTED)) != 0 && (flags & BLOCK_SINGLE_UNIT) == 0) {
      file->sectorSize = sectorSize_;
    }
    return file;
  }

  void Give(std::unique_ptr<OpenFile> file) {
    std::unique_ptr<OpenFile> dropped;
    std::lock_guard<std::mutex> lock(mutex_);
    idle_.push_front(std::move(file));
    if (idle_.size() > kIdle) {
      dropped = std::move(idle_.back());
      idle_.pop_back();
    }
  }

  const MountNode* NodeOf(uint64_t node) const {
    return node >= 1 && node <= tree_.nodes.size() ? &tree_.nodes[node - 1] : nullptr;
  }

  platform::MountStat StatOf(const MountNode& node) const {
    platform::MountStat s;
    s.folder = node.folder;
    s.size = node.size;
    s.mtime = node.filetime != 0 ? UnixTime(node.filetime) : archiveTime_;
    return s;
  }

  ArchiveHandle archive_;
  const MountTree tree_;
  const int64_t archiveTime_;
  const uint64_t archiveBytes_;
  const uint32_t sectorSize_;
  // Files read lately, the latest first: enough for the kernel's readers
  // at once and a reader going back and forth between a few files.
  static constexpr size_t kIdle = 64;
  std::mutex mutex_;
  std::list<std::unique_ptr<OpenFile>> idle_;
};

}  // namespace

int RunMount(const Args& args) {
  if (!platform::MountAvailable()) {
    FailPlain("mount is not available in this build (it was made without libfuse3)");
    return kExitUsage;
  }
  uint32_t locale = 0;
  if (args.Has("locale") && !ParseNumber(args.Value("locale"), &locale)) {
    FailPlain(Quote(args.Value("locale")) + " is no locale id (decimal or 0x-hexadecimal)");
    return kExitUsage;
  }
  const std::string& shown = args.positional[0];
  std::error_code ec;
  const fs::path mountpoint = fs::absolute(args.positional[1], ec);
  if (!fs::is_directory(mountpoint, ec)) {
    FailPlain("cannot mount on " + Quote(args.positional[1]) + ": it is no folder");
    return kExitFailure;
  }
  ArchiveHandle archive = nullptr;
  const std::string absolute = AbsoluteArchivePath(shown);
  if (IsFolder(absolute)) {
    FailPlain("cannot open archive " + Quote(shown) + ": it is a folder, not an archive");
    return kExitFailure;
  }
  // Held as a reader while mounted: updates wait or fail with the in-use
  // message. The lock belongs to the open file, so it stays with the
  // background process.
  const OpenOutcome outcome = OpenSharing(shown, [&] { return OpenArchive(absolute.c_str(), 0, 0, &archive); });
  if (outcome != OpenOutcome::Opened) {
    if (outcome == OpenOutcome::Failed) Fail("cannot open archive " + Quote(shown));
    return kExitFailure;
  }
  std::vector<std::string> names;
  if (!ReadUserList(args.Value("listfile"), &names)) return kExitFailure;
  std::vector<StoredEntry> entries;
  if (!StoredEntries(archive, names, &entries, kEntriesFilesOnly)) return kExitFailure;
  std::sort(entries.begin(), entries.end(), LessByName);
  ArchiveFacts facts{};
  GetArchiveFacts(archive, FACTS_TABLES, &facts);
  std::vector<uint64_t> times(facts.blockTableEntries);
  GetRecordedFileTimes(archive, times.data(), static_cast<uint32_t>(times.size()));
  const auto written = fs::last_write_time(absolute, ec);
  const int64_t archiveTime =
      ec ? 0
         : std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::file_clock::to_sys(written).time_since_epoch())
               .count();
  ArchiveServer server(archive, BuildMountTree(entries, args.Has("locale"), locale, args.Has("all-locales"), times),
                       archiveTime, facts.fileSize);
  const int status = platform::ServeMount("sorvane", mountpoint.string(), &server, args.Has("f"), args.Value("o"));
  CloseArchive(archive);
  return status == 0 ? kExitOk : kExitFailure;
}

}  // namespace sorvane
