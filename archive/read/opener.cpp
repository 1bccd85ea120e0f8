// The steps opening for reading and opening for update share: finding the
// file (under the base folder too), loading its record and listing it.
#include <cstring>

#include "archive/read/read_internal.h"
#include "sorvane/sorvane.h"
#include "platform/platform.h"

void OwnedFile::Close() {
  if (!platform::IsValidHandle(file_)) return;
  const uint32_t error = GetLastError();
  platform::CloseHandle(file_);
  file_ = platform::InvalidHandle();
  SetLastError(error);
}

bool CheckRecordPath(const char* path) {
  // The record keeps the opening path in kMaxPath characters; longer paths
  // would be kept cut, so they are refused.
  if (std::strlen(path) < kMaxPath) return true;
  SetLastError(platform::kErrorFilenameExcedRange);
  return false;
}

platform::OsHandle OpenArchivePath(const char* path, uint32_t access, uint32_t disposition,
                                   char (&opened)[kMaxPath], bool* busy) {
  // Readers share the file with each other; a writer keeps every other
  // archive handle out, in this process or another (see the share modes in
  // sorvane.h).
  platform::OsHandle file =
      platform::CreateSharedFile(path, access, platform::kFileShareRead, disposition, false);
  *busy = !platform::IsValidHandle(file) && GetLastError() == ERROR_SHARING_VIOLATION;
  if (platform::IsValidHandle(file)) std::strcpy(opened, path);
  // An archive in use is that archive, busy: another of the same name under
  // the base folder is not what the caller asked for.
  if (platform::IsValidHandle(file) || *busy) return file;
  const uint32_t firstError = GetLastError();
  // MakeLibraryPath counts the terminator, so a size it gives is never 0.
  const uint32_t needed = MakeLibraryPath(path, nullptr, 0);
  if (needed == 0xFFFFFFFFu || needed > kMaxPath || MakeLibraryPath(path, opened, kMaxPath) != 0) {
    SetLastError(firstError);
    return file;
  }
  file = platform::CreateSharedFile(opened, access, platform::kFileShareRead, disposition, false);
  *busy = !platform::IsValidHandle(file) && GetLastError() == ERROR_SHARING_VIOLATION;
  return file;
}

Archive* LoadOpenedArchive(platform::OsHandle file, const char* opened) {
  OwnedFile owned(file);
  HeaderSearch found;
  if (!FindArchiveHeader(file, &found) || found.archiveStart == 0xFFFFFFFFu) {
    // Nothing at any multiple of 512 carries a signature; a user-data block
    // that points nowhere makes the file a damaged archive rather than none.
    owned.Close();
    SetLastError(found.strayUserData ? ERROR_FILE_CORRUPT : ERR_NOT_ARCHIVE);
    return nullptr;
  }
  Archive* archive = nullptr;
  if (!LoadArchiveRecord(file, found.archiveStart, opened, &archive)) return nullptr;
  owned.Release();
  archive->userDataPos = found.userDataPos;
  archive->userDataSize = found.userDataSize;
  archive->userDataHeaderSize = found.userDataHeaderSize;
  return archive;
}

bool ListOpenedArchive(Archive* archive, uint32_t priority, uint32_t flags) {
  archive->priority = priority;
  archive->openFlags = flags;
  if (AddToArchiveList(archive)) return true;
  const uint32_t error = GetLastError();
  ReleaseArchiveRecord(archive);
  SetLastError(error);
  return false;
}
