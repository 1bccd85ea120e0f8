// Output files below one folder, written so that a failed or interrupted
// file never costs the file it replaces and no link below the folder is
// ever gone through. Built on the output-tree calls of platform.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace platform {

// The folder files are written below, and the levels under it opened so
// far: files of one folder in a row reuse its handle.
class OutputTree {
 public:
  // Takes the root (from OpenFolder or OpenSubfolder). A null root makes
  // every file fail with `error`; with a non-empty `link` as a link
  // refusal naming it.
  OutputTree(FolderHandle root, uint32_t error, std::string link);
  ~OutputTree();
  OutputTree(const OutputTree&) = delete;
  OutputTree& operator=(const OutputTree&) = delete;

  // The folder of the levels given, made where missing. Null on failure,
  // the last error set; a link met on the way comes back in *link as the
  // levels up to it joined with '\'.
  FolderHandle FolderOf(const std::vector<std::string>& levels, std::string* link);

 private:
  FolderHandle root_;
  uint32_t error_;
  std::string rootLink_;
  std::vector<std::string> openLevels_;
  std::vector<FolderHandle> openHandles_;  // one per level of openLevels_
};

// The parts of a relative name: '\' and '/' both separate, empty parts go.
std::vector<std::string> NameParts(const std::string& name);

enum class OutputStart {
  Ready,   // the file is open for writing
  Exists,  // something is there and the caller keeps what exists
  Link,    // a link on the way or in the file's place; *link names it
  Failed,  // the last error says why
};

// One file being written. Where an entry exists it is replaced only by a
// complete file, renamed over it at Commit; a new file that does not
// complete is removed. Destroying an uncommitted file aborts it.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile() { Abort(); }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // replace: whether an existing file is replaced (otherwise Exists). A
  // folder in the file's place is never replaced: access denied.
  OutputStart Begin(OutputTree& tree, const std::string& name, bool replace, std::string* link);
  // Writes all of data or fails (a short write is a full disk).
  bool Write(const void* data, uint32_t count);
  // Puts the file in its place. On failure it is removed, the last error kept.
  bool Commit();
  // Removes what was written; the last error is kept.
  void Abort();

 private:
  FolderHandle folder_ = nullptr;  // owned by the tree
  OsHandle file_ = InvalidHandle();
  std::string name_;
  std::string temp_;  // the name written under, when it is not name_
};

}  // namespace platform
