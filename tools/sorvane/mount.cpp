// sorvane mount: an archive shown as a read-only folder.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <unordered_map>

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

// The archive's library calls are serialised: the kernel asks from several
// threads at once, and one file handle has one position.
class ArchiveServer : public platform::MountServer {
 public:
  ArchiveServer(ArchiveHandle archive, MountTree tree, int64_t archiveTime, uint64_t archiveBytes)
      : archive_(archive), tree_(std::move(tree)), archiveTime_(archiveTime), archiveBytes_(archiveBytes) {}
  ~ArchiveServer() override {
    for (auto& [node, file] : cache_) {
      if (file != nullptr) CloseArchiveFile(file);
    }
    for (auto& [handle, file] : open_) {
      if (file != nullptr) CloseArchiveFile(file);
    }
  }

  platform::MountError Stat(const char* path, platform::MountStat* out) override {
    const long n = tree_.Find(path);
    if (n < 0) return platform::MountError::NotFound;
    *out = StatOf(tree_.nodes[n]);
    return platform::MountError::None;
  }

  platform::MountError List(const char* path, void (*add)(void*, const char*, const platform::MountStat&),
                            void* sink) override {
    const long n = tree_.Find(path);
    if (n < 0) return platform::MountError::NotFound;
    if (!tree_.nodes[n].folder) return platform::MountError::NotFolder;
    for (const auto& [key, child] : tree_.nodes[n].children) {
      add(sink, tree_.nodes[child].name.c_str(), StatOf(tree_.nodes[child]));
    }
    return platform::MountError::None;
  }

  platform::MountError Open(const char* path, uint64_t* handle) override {
    const long n = tree_.Find(path);
    if (n < 0) return platform::MountError::NotFound;
    const MountNode& node = tree_.nodes[n];
    if (node.folder) return platform::MountError::IsFolder;
    std::lock_guard<std::mutex> lock(mutex_);
    // A file whose key cannot be found is listed, and its reads fail.
    open_[++lastHandle_] = OpenNode(node);
    *handle = lastHandle_;
    return platform::MountError::None;
  }

  long Read(const char* path, uint64_t handle, char* buffer, size_t size, uint64_t offset,
            platform::MountError* error) override {
    std::lock_guard<std::mutex> lock(mutex_);
    FileHandle file = nullptr;
    if (handle != 0) {
      const auto found = open_.find(handle);
      file = found != open_.end() ? found->second : nullptr;
    } else {
      file = Cached(path);
    }
    const uint32_t fileSize = file != nullptr ? GetArchiveFileSize(file, nullptr) : 0;
    if (file == nullptr || fileSize == 0xFFFFFFFFu) {
      *error = platform::MountError::Io;
      return -1;
    }
    if (offset >= fileSize) return 0;
    const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(size, fileSize - offset));
    int32_t high = 0;
    uint32_t got = 0;
    SetLastError(0);
    if (SetArchiveFilePointer(file, static_cast<int32_t>(offset), &high, FILE_BEGIN) == 0xFFFFFFFFu &&
        GetLastError() != 0) {
      *error = platform::MountError::Io;
      return -1;
    }
    if (!ReadArchiveFile(file, buffer, want, &got, nullptr) || got != want) {
      // A damaged sector fails this read only.
      *error = platform::MountError::Io;
      return -1;
    }
    return static_cast<long>(got);
  }

  void Release(uint64_t handle) override {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = open_.find(handle);
    if (found == open_.end()) return;
    if (found->second != nullptr) CloseArchiveFile(found->second);
    open_.erase(found);
  }

  void Totals(uint64_t* bytes, uint64_t* files) override {
    *bytes = archiveBytes_;
    *files = tree_.nodes.size();
  }

 private:
  FileHandle OpenNode(const MountNode& node) {
    FileHandle file = nullptr;
    bool ok;
    if (node.byIndex) {
      ok = OpenArchiveFileByIndex(archive_, node.hashIndex, &file);
    } else {
      const uint32_t saved = GetLocale();
      SetLocale(node.locale);
      ok = OpenArchiveFile(archive_, node.stored.c_str(), 0, &file);
      SetLocale(saved);
    }
    return ok ? file : nullptr;
  }

  // Reads without an open keep a few files open, by node: a file is read
  // in several pieces, and the next file is usually a new one.
  FileHandle Cached(const char* path) {
    const long n = tree_.Find(path);
    if (n < 0 || tree_.nodes[n].folder) return nullptr;
    const auto found = cache_.find(n);
    if (found != cache_.end()) return found->second;
    if (cache_.size() >= kCached) {
      for (auto& [node, file] : cache_) {
        if (file != nullptr) CloseArchiveFile(file);
      }
      cache_.clear();
    }
    return cache_[n] = OpenNode(tree_.nodes[n]);
  }

  static constexpr size_t kCached = 32;
  std::unordered_map<long, FileHandle> cache_;

  platform::MountStat StatOf(const MountNode& node) const {
    platform::MountStat s;
    s.folder = node.folder;
    s.size = node.size;
    s.mtime = node.filetime != 0 ? UnixTime(node.filetime) : archiveTime_;
    return s;
  }

  ArchiveHandle archive_;
  MountTree tree_;
  int64_t archiveTime_;
  uint64_t archiveBytes_;
  std::mutex mutex_;
  std::unordered_map<uint64_t, FileHandle> open_;
  uint64_t lastHandle_ = 0;
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
  std::vector<StoredEntry> entries = StoredEntries(archive, names);
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
