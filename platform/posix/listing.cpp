// Folder listings that carry what a walk needs of each entry, so that a
// walk over many small files asks the system once per entry.
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace platform {

using posix::NativePath;
using posix::SetLastErrorFromErrno;

namespace {

EntryKind KindOf(mode_t mode) {
  if (S_ISREG(mode)) return EntryKind::File;
  if (S_ISDIR(mode)) return EntryKind::Folder;
  if (S_ISLNK(mode)) return EntryKind::Link;
  return EntryKind::Other;
}

void TakeFacts(const struct stat& st, FolderEntry* entry) {
  entry->size = static_cast<uint64_t>(st.st_size);
  entry->writeTime = posix::FileTimeFrom(st.st_mtim);
  entry->device = static_cast<uint64_t>(st.st_dev);
  entry->fileId = static_cast<uint64_t>(st.st_ino);
}

}  // namespace

bool ListFolder(const char* path, std::vector<FolderEntry>* entries) {
  entries->clear();
  if (path == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  const std::string native = NativePath(path);
  DIR* folder = opendir(native.c_str());
  if (folder == nullptr) {
    SetLastErrorFromErrno(errno, native.c_str());
    return false;
  }
  const int fd = dirfd(folder);
  bool ok = true;
  for (;;) {
    errno = 0;
    const struct dirent* d = readdir(folder);
    if (d == nullptr) {
      if (errno != 0) {
        SetLastErrorFromErrno(errno, native.c_str());
        ok = false;
      }
      break;
    }
    if (d->d_name[0] == '.' && (d->d_name[1] == 0 || (d->d_name[1] == '.' && d->d_name[2] == 0))) continue;
    FolderEntry entry;
    entry.name = d->d_name;
    // A folder needs nothing but its kind, which the listing often gives.
    if (d->d_type == DT_DIR) {
      entry.kind = entry.target = EntryKind::Folder;
      entries->push_back(std::move(entry));
      continue;
    }
    struct stat st;
    if (fstatat(fd, d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      // Gone since the listing, or not to be looked at: left for the
      // caller to meet as missing.
      entries->push_back(std::move(entry));
      continue;
    }
    entry.kind = KindOf(st.st_mode);
    entry.target = entry.kind;
    if (entry.kind == EntryKind::Link) {
      entry.target = fstatat(fd, d->d_name, &st, 0) == 0 ? KindOf(st.st_mode) : EntryKind::Missing;
    }
    if (entry.target == EntryKind::File) TakeFacts(st, &entry);
    entries->push_back(std::move(entry));
  }
  closedir(folder);
  return ok;
}

bool GetFileIdentity(const char* path, uint64_t* device, uint64_t* fileId) {
  if (path == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  const std::string native = NativePath(path);
  struct stat st;
  if (stat(native.c_str(), &st) != 0) {
    SetLastErrorFromErrno(errno, native.c_str());
    return false;
  }
  *device = static_cast<uint64_t>(st.st_dev);
  *fileId = static_cast<uint64_t>(st.st_ino);
  return true;
}

}  // namespace platform
