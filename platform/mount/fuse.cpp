// Serving a mount through libfuse3's high-level interface.
#define FUSE_USE_VERSION 31
#include <fuse3/fuse.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/mount/mount.h"

namespace platform {

namespace {

MountServer* Server() { return static_cast<MountServer*>(fuse_get_context()->private_data); }

int Errno(MountError e) {
  switch (e) {
    case MountError::None: return 0;
    case MountError::NotFound: return -ENOENT;
    case MountError::NotFolder: return -ENOTDIR;
    case MountError::IsFolder: return -EISDIR;
    case MountError::ReadOnly: return -EROFS;
    default: return -EIO;
  }
}

void Fill(const MountStat& s, struct stat* st) {
  std::memset(st, 0, sizeof *st);
  st->st_mode = s.folder ? (S_IFDIR | 0555) : (S_IFREG | 0444);
  st->st_nlink = s.folder ? 2 : 1;
  st->st_size = static_cast<off_t>(s.size);
  st->st_blocks = static_cast<blkcnt_t>((s.size + 511) / 512);
  st->st_mtim.tv_sec = s.mtime;
  st->st_atim = st->st_ctim = st->st_mtim;
  st->st_uid = getuid();
  st->st_gid = getgid();
}

int GetAttr(const char* path, struct stat* st, struct fuse_file_info*) {
  MountStat s;
  const MountError e = Server()->Stat(path, &s);
  if (e == MountError::None) Fill(s, st);
  return Errno(e);
}

struct ListSink {
  void* buffer;
  fuse_fill_dir_t filler;
  fuse_fill_dir_flags flags;
};

// With each name go its attributes, where the kernel takes them: a listed
// file then needs no lookup of its own.
int ReadDir(const char* path, void* buffer, fuse_fill_dir_t filler, off_t, struct fuse_file_info*,
            enum fuse_readdir_flags flags) {
  filler(buffer, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  filler(buffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  ListSink sink{buffer, filler,
                (flags & FUSE_READDIR_PLUS) != 0 ? FUSE_FILL_DIR_PLUS : static_cast<fuse_fill_dir_flags>(0)};
  return Errno(Server()->List(
      path,
      [](void* s, const char* name, const MountStat& ms) {
        auto* sink = static_cast<ListSink*>(s);
        struct stat st;
        Fill(ms, &st);
        sink->filler(sink->buffer, name, &st, 0, sink->flags);
      },
      &sink));
}

bool noOpen = false;  // the kernel reads without opening when we let it

int Open(const char* path, struct fuse_file_info* fi) {
  if ((fi->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
  // Opening costs two round trips per file and tells nothing a read does
  // not: where the kernel can skip it, it is skipped.
  if (noOpen) {
    MountStat s;
    const MountError e = Server()->Stat(path, &s);
    if (e != MountError::None) return Errno(e);
    return s.folder ? -EISDIR : -ENOSYS;
  }
  uint64_t handle = 0;
  const MountError e = Server()->Open(path, &handle);
  if (e == MountError::None) {
    fi->fh = handle;
    fi->keep_cache = 1;  // the archive does not change while mounted
  }
  return Errno(e);
}

int Read(const char* path, char* buffer, size_t size, off_t offset, struct fuse_file_info* fi) {
  MountError e = MountError::None;
  const long got = Server()->Read(path, fi != nullptr ? fi->fh : 0, buffer, size, static_cast<uint64_t>(offset), &e);
  return got < 0 ? Errno(e) : static_cast<int>(got);
}

int Release(const char*, struct fuse_file_info* fi) {
  Server()->Release(fi->fh);
  return 0;
}

int StatFs(const char*, struct statvfs* st) {
  uint64_t bytes = 0, files = 0;
  Server()->Totals(&bytes, &files);
  std::memset(st, 0, sizeof *st);
  st->f_bsize = st->f_frsize = 4096;
  st->f_blocks = (bytes + 4095) / 4096;
  st->f_files = files;
  st->f_namemax = 255;
  return 0;
}

void* Init(struct fuse_conn_info* conn, struct fuse_config* config) {
  // Nothing changes while mounted: the kernel may keep what it learnt.
  config->kernel_cache = 1;
  config->entry_timeout = config->attr_timeout = config->negative_timeout = 3600;
  if (conn->capable & FUSE_CAP_NO_OPEN_SUPPORT) {
    conn->want |= FUSE_CAP_NO_OPEN_SUPPORT;
    noOpen = true;
  }
  MountServer* server = Server();
  server->Started();
  return server;
}

}  // namespace

bool MountAvailable() { return true; }

int ServeMount(const std::string& program, const std::string& mountpoint, MountServer* server, bool foreground,
               const std::string& options) {
  static struct fuse_operations ops = {};
  ops.getattr = GetAttr;
  ops.readdir = ReadDir;
  ops.open = Open;
  ops.read = Read;
  ops.release = Release;
  ops.statfs = StatFs;
  ops.init = Init;
  std::string all = "ro,default_permissions,fsname=sorvane,subtype=sorvane";
  if (!options.empty()) all += "," + options;
  std::vector<std::string> words = {program, mountpoint, "-o", all};
  if (foreground) words.push_back("-f");
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  return fuse_main(static_cast<int>(argv.size() - 1), argv.data(), &ops, server);
}

}  // namespace platform
