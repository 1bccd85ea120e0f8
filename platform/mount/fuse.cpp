// Serving a mount through libfuse3's low-level interface: the server's node
// numbers are the inode numbers, so a lookup is one step in its tree, and
// listings hand the kernel entries it keeps (a listed file is read with no
// lookup of its own). Nothing is ever forgotten: the tree outlives the mount.
#define FUSE_USE_VERSION 312
#include <fuse3/fuse_lowlevel.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <vector>

#include "platform/mount/mount.h"

namespace platform {

namespace {

// The archive does not change while mounted: what the kernel learns it may
// keep for as long as it likes.
constexpr double kKeep = 86400.0;

MountServer* Server(fuse_req_t req) { return static_cast<MountServer*>(fuse_req_userdata(req)); }

int Errno(MountError e) {
  switch (e) {
    case MountError::None: return 0;
    case MountError::NotFound: return ENOENT;
    case MountError::NotFolder: return ENOTDIR;
    case MountError::IsFolder: return EISDIR;
    case MountError::ReadOnly: return EROFS;
    default: return EIO;
  }
}

void Fill(uint64_t node, const MountStat& s, struct stat* st) {
  std::memset(st, 0, sizeof *st);
  st->st_ino = static_cast<ino_t>(node);
  st->st_mode = s.folder ? (S_IFDIR | 0555) : (S_IFREG | 0444);
  st->st_nlink = s.folder ? 2 : 1;
  st->st_size = static_cast<off_t>(s.size);
  st->st_blocks = static_cast<blkcnt_t>((s.size + 511) / 512);
  st->st_blksize = 128 * 1024;  // a reader's buffer: the kernel's largest read
  st->st_mtim.tv_sec = s.mtime;
  st->st_atim = st->st_ctim = st->st_mtim;
  st->st_uid = getuid();
  st->st_gid = getgid();
}

void Entry(uint64_t node, const MountStat& s, fuse_entry_param* e) {
  std::memset(e, 0, sizeof *e);
  e->ino = node;
  e->generation = 1;
  e->attr_timeout = e->entry_timeout = kKeep;
  Fill(node, s, &e->attr);
}

// Reads come without opens where the kernel can do that: an open costs a
// round trip per file and tells nothing a read does not (the mount is
// read-only, so the system itself refuses opens for writing). Set while the
// first request is answered, read by the threads that answer later ones.
std::atomic<bool> noOpen{false};

void Init(void*, fuse_conn_info* conn) {
  if (conn->capable & FUSE_CAP_NO_OPEN_SUPPORT) {
    conn->want |= FUSE_CAP_NO_OPEN_SUPPORT;
    noOpen = true;
  }
  // Listings always carry the entries: a program that lists a folder and
  // then reads its files (a file manager, find and cat) asks nothing more.
  if (conn->capable & FUSE_CAP_READDIRPLUS) {
    conn->want |= FUSE_CAP_READDIRPLUS;
    conn->want &= ~FUSE_CAP_READDIRPLUS_AUTO;
  }
  // Several reads of one file may be under way at once. The kernel's
  // readahead (its offer, which a file system may only lower) and its
  // largest read (max_pages) are kept as they come.
  if (conn->capable & FUSE_CAP_ASYNC_READ) conn->want |= FUSE_CAP_ASYNC_READ;
}

void Lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  uint64_t node = 0;
  MountStat s;
  const MountError e = Server(req)->Lookup(parent, name, &node, &s);
  if (e != MountError::None) {
    // A name that is not there stays not there: the kernel may remember.
    if (e == MountError::NotFound) {
      fuse_entry_param none;
      std::memset(&none, 0, sizeof none);
      none.entry_timeout = kKeep;
      fuse_reply_entry(req, &none);
      return;
    }
    fuse_reply_err(req, Errno(e));
    return;
  }
  fuse_entry_param entry;
  Entry(node, s, &entry);
  fuse_reply_entry(req, &entry);
}

void GetAttr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
  MountStat s;
  const MountError e = Server(req)->Stat(ino, &s);
  if (e != MountError::None) {
    fuse_reply_err(req, Errno(e));
    return;
  }
  struct stat st;
  Fill(ino, s, &st);
  fuse_reply_attr(req, &st, kKeep);
}

void Open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  if ((fi->flags & O_ACCMODE) != O_RDONLY) {
    fuse_reply_err(req, EROFS);
    return;
  }
  MountStat s;
  const MountError e = Server(req)->Stat(ino, &s);
  if (e != MountError::None || s.folder) {
    fuse_reply_err(req, e != MountError::None ? Errno(e) : EISDIR);
    return;
  }
  if (noOpen) {
    fuse_reply_err(req, ENOSYS);  // the kernel then stops asking
    return;
  }
  fi->keep_cache = 1;  // the archive does not change while mounted
  fuse_reply_open(req, fi);
}

// Programs that read a folder's files one after another (a file manager
// making previews, grep -r, cp -r) would wait a round trip per file: once a
// file is read from its start, the files listed after it are read ahead on
// a thread of its own and handed to the kernel's cache, as its readahead
// does within one file. A few files and megabytes at most, each once.
class Prefetcher {
 public:
  Prefetcher(fuse_session* session, MountServer* server) : session_(session), server_(server) {
    thread_ = std::thread([this] { Run(); });
  }
  ~Prefetcher() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
  void ReadFrom(uint64_t node) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      wanted_ = node;
    }
    wake_.notify_one();
  }

 private:
  static constexpr int kFiles = 32;
  static constexpr uint64_t kBytes = 4u << 20;
  static constexpr uint64_t kLargest = 1u << 20;  // larger files: the kernel reads ahead in them

  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stop_ || wanted_ != 0; });
      if (stop_) return;
      const uint64_t from = wanted_;
      wanted_ = 0;
      lock.unlock();
      Push(from);
      lock.lock();
    }
  }

  void Push(uint64_t node) {
    uint64_t bytes = 0;
    for (int i = 0; i < kFiles && bytes < kBytes && !stopping(); ++i) {
      node = server_->NextFile(node);
      if (node == 0) return;
      if (!pushed_.insert(node).second) continue;
      MountStat st;
      if (server_->Stat(node, &st) != MountError::None || st.folder || st.size == 0 || st.size > kLargest) continue;
      buffer_.resize(st.size);
      MountError e = MountError::None;
      if (server_->Read(node, buffer_.data(), st.size, 0, &e) != static_cast<long>(st.size)) continue;
      fuse_bufvec data = FUSE_BUFVEC_INIT(st.size);
      data.buf[0].mem = buffer_.data();
      if (fuse_lowlevel_notify_store(session_, node, 0, &data, static_cast<fuse_buf_copy_flags>(0)) == -ENOSYS) {
        return;
      }
      bytes += st.size;
    }
  }

  bool stopping() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stop_;
  }

  fuse_session* const session_;
  MountServer* const server_;
  std::mutex mutex_;
  std::condition_variable wake_;
  uint64_t wanted_ = 0;
  bool stop_ = false;
  std::unordered_set<uint64_t> pushed_;  // the thread's own
  std::vector<char> buffer_;
  std::thread thread_;
};

std::atomic<Prefetcher*> prefetcher{nullptr};

void Read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
  if (offset == 0) {
    Prefetcher* ahead = prefetcher.load();
    if (ahead != nullptr) ahead->ReadFrom(ino);
  }
  // The kernel's reads are at most its largest request: one buffer per
  // thread serves them all.
  thread_local std::vector<char> buffer;
  if (buffer.size() < size) buffer.resize(size);
  MountError e = MountError::None;
  const long got = Server(req)->Read(ino, buffer.data(), size, static_cast<uint64_t>(offset), &e);
  if (got < 0) {
    // A damaged sector fails this read only.
    fuse_reply_err(req, Errno(e));
    return;
  }
  fuse_reply_buf(req, buffer.data(), static_cast<size_t>(got));
}

struct ListSink {
  fuse_req_t req;
  bool plus;
  std::vector<char> buffer;
  size_t used = 0;
  uint64_t next;  // the offset the entry after the one being added has
};

bool AddListed(void* sinkPointer, const char* name, uint64_t child, const MountStat& st) {
  auto* sink = static_cast<ListSink*>(sinkPointer);
  char* at = sink->buffer.data() + sink->used;
  const size_t room = sink->buffer.size() - sink->used;
  size_t need;
  if (sink->plus) {
    fuse_entry_param entry;
    Entry(child, st, &entry);
    need = fuse_add_direntry_plus(sink->req, at, room, name, &entry, static_cast<off_t>(sink->next + 1));
  } else {
    struct stat attr;
    Fill(child, st, &attr);
    need = fuse_add_direntry(sink->req, at, room, name, &attr, static_cast<off_t>(sink->next + 1));
  }
  if (need > room) return false;
  sink->used += need;
  ++sink->next;
  return true;
}

// Offsets count entries: "." is 0, ".." 1, the folder's own entries from 2.
void List(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, bool plus) {
  ListSink sink{req, plus, std::vector<char>(size), 0, static_cast<uint64_t>(offset)};
  MountStat self;
  const MountError e = Server(req)->Stat(ino, &self);
  if (e != MountError::None || !self.folder) {
    fuse_reply_err(req, e != MountError::None ? Errno(e) : ENOTDIR);
    return;
  }
  // "." and ".." go without attributes (node 0 in a listing with them):
  // the kernel knows those folders itself.
  for (const char* dots : {".", ".."}) {
    if (sink.next >= 2) break;
    if (sink.next == 1 && dots[1] == '\0') continue;
    char* at = sink.buffer.data() + sink.used;
    const size_t room = sink.buffer.size() - sink.used;
    const off_t next = static_cast<off_t>(sink.next + 1);
    size_t need;
    if (plus) {
      fuse_entry_param entry;
      std::memset(&entry, 0, sizeof entry);
      entry.attr.st_ino = static_cast<ino_t>(ino);
      entry.attr.st_mode = S_IFDIR;
      need = fuse_add_direntry_plus(req, at, room, dots, &entry, next);
    } else {
      struct stat attr;
      std::memset(&attr, 0, sizeof attr);
      attr.st_ino = static_cast<ino_t>(ino);
      attr.st_mode = S_IFDIR;
      need = fuse_add_direntry(req, at, room, dots, &attr, next);
    }
    if (need > room) break;
    sink.used += need;
    ++sink.next;
  }
  if (sink.next >= 2) {
    const MountError le = Server(req)->List(ino, sink.next - 2, AddListed, &sink);
    if (le != MountError::None) {
      fuse_reply_err(req, Errno(le));
      return;
    }
  }
  fuse_reply_buf(req, sink.buffer.data(), sink.used);
}

void ReadDir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
  List(req, ino, size, offset, false);
}

void ReadDirPlus(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
  List(req, ino, size, offset, true);
}

void StatFs(fuse_req_t req, fuse_ino_t) {
  uint64_t bytes = 0, files = 0;
  Server(req)->Totals(&bytes, &files);
  struct statvfs st;
  std::memset(&st, 0, sizeof st);
  st.f_bsize = st.f_frsize = 4096;
  st.f_blocks = (bytes + 4095) / 4096;
  st.f_files = files;
  st.f_namemax = 255;
  fuse_reply_statfs(req, &st);
}

}  // namespace

bool MountAvailable() { return true; }

int ServeMount(const std::string& program, const std::string& mountpoint, MountServer* server, bool foreground,
               const std::string& options) {
  fuse_lowlevel_ops ops;
  std::memset(&ops, 0, sizeof ops);
  ops.init = Init;
  ops.lookup = Lookup;
  ops.getattr = GetAttr;
  ops.open = Open;
  ops.read = Read;
  ops.readdir = ReadDir;
  ops.readdirplus = ReadDirPlus;
  ops.statfs = StatFs;
  std::string all = "ro,default_permissions,fsname=sorvane,subtype=sorvane";
  // The caller's options go on, and "ro" once more after them: the last of
  // "ro" and "rw" wins, and nothing may write through this mount.
  if (!options.empty()) all += "," + options + ",ro";
  std::vector<std::string> words = {program, "-o", all};
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size() - 1), argv.data());
  fuse_session* session = fuse_session_new(&args, &ops, sizeof ops, server);
  if (session == nullptr) return 2;  // libfuse said which option it did not take
  int status = 1;
  // The program's own handlers (which remove a half-written output) would
  // keep libfuse from taking Ctrl-C and termination, which must unmount; a
  // mount writes no output. Signals the parent chose to ignore stay ignored.
  for (int s : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction previous;
    if (sigaction(s, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) signal(s, SIG_DFL);
  }
  if (fuse_set_signal_handlers(session) == 0) {
    if (fuse_session_mount(session, mountpoint.c_str()) == 0) {
      // In the background from here on: the caller's shell goes on once the
      // folder shows the archive.
      if (fuse_daemonize(foreground ? 1 : 0) == 0) {
        auto ahead = std::make_unique<Prefetcher>(session, server);
        prefetcher = ahead.get();
        // The loop's settings are ours to free (the older call without them
        // leaks its own).
        fuse_loop_config* config = fuse_loop_cfg_create();
        const int loop = config != nullptr ? fuse_session_loop_mt(session, config) : -1;
        if (config != nullptr) fuse_loop_cfg_destroy(config);
        prefetcher = nullptr;
        ahead.reset();
        // Ended by an unmount, or by Ctrl-C or a termination signal in the
        // foreground (which unmount below): both are a normal end.
        status = loop < 0 ? 1 : 0;
      }
      fuse_session_unmount(session);
    }
    fuse_remove_signal_handlers(session);
  }
  fuse_session_destroy(session);
  fuse_opt_free_args(&args);
  return status;
}

}  // namespace platform
