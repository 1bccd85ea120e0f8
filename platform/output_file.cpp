#include "platform/output_file.h"

#include <utility>

namespace platform {

std::vector<std::string> NameParts(const std::string& name) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : name) {
    if (c == '\\' || c == '/') {
      if (!part.empty()) parts.push_back(std::move(part));
      part.clear();
    } else {
      part += c;
    }
  }
  if (!part.empty()) parts.push_back(std::move(part));
  return parts;
}

namespace {

std::string Joined(const std::vector<std::string>& parts, size_t count) {
  std::string joined;
  for (size_t i = 0; i < count; ++i) {
    if (i != 0) joined += '\\';
    joined += parts[i];
  }
  return joined;
}

}  // namespace

OutputTree::OutputTree(FolderHandle root, uint32_t error, std::string link)
    : root_(root), error_(error), rootLink_(std::move(link)) {}

OutputTree::~OutputTree() {
  for (FolderHandle h : openHandles_) CloseFolder(h);
  CloseFolder(root_);
}

FolderHandle OutputTree::FolderOf(const std::vector<std::string>& levels, std::string* link) {
  link->clear();
  if (root_ == nullptr) {
    *link = rootLink_;
    SetLastError(error_);
    return nullptr;
  }
  size_t same = 0;
  while (same < levels.size() && same < openLevels_.size() && levels[same] == openLevels_[same]) ++same;
  while (openLevels_.size() > same) {
    CloseFolder(openHandles_.back());
    openHandles_.pop_back();
    openLevels_.pop_back();
  }
  for (size_t i = same; i < levels.size(); ++i) {
    FolderHandle parent = i == 0 ? root_ : openHandles_.back();
    FolderHandle next = OpenSubfolder(parent, levels[i].c_str(), true);
    if (next == nullptr) {
      if (GetLastError() == kErrorStoppedOnSymlink) *link = Joined(levels, i + 1);
      return nullptr;
    }
    openLevels_.push_back(levels[i]);
    openHandles_.push_back(next);
  }
  return levels.empty() ? root_ : openHandles_.back();
}

OutputStart OutputFile::Begin(OutputTree& tree, const std::string& name, bool replace, std::string* link) {
  Abort();
  link->clear();
  std::vector<std::string> parts = NameParts(name);
  if (parts.empty() || parts.back() == "..") {
    // The output folder itself, or a name that climbs out of its folder.
    SetLastError(kErrorAccessDenied);
    return OutputStart::Failed;
  }
  if (name.back() == '\\' || name.back() == '/') {
    // A folder's name is no file's: never a file "x" for "x\".
    SetLastError(kErrorInvalidName);
    return OutputStart::Failed;
  }
  const std::string last = parts.back();
  parts.pop_back();
  FolderHandle folder = tree.FolderOf(parts, link);
  if (folder == nullptr) return link->empty() ? OutputStart::Failed : OutputStart::Link;

  // Most files are new: one exclusive create, and only when something is
  // there already a look at what it is.
  file_ = CreateFileIn(folder, last.c_str());
  if (!IsValidHandle(file_) && GetLastError() == kErrorFileExists) {
    switch (GetEntryKind(folder, last.c_str())) {
      case EntryKind::Link:
        SetLastError(kErrorStoppedOnSymlink);
        break;
      case EntryKind::Missing:  // gone again since the create
        SetLastError(kErrorFileExists);
        break;
      case EntryKind::Folder:
        if (!replace) return OutputStart::Exists;
        SetLastError(kErrorAccessDenied);
        break;
      case EntryKind::File:
      case EntryKind::Other:
        if (!replace) return OutputStart::Exists;
        file_ = CreateTempFileIn(folder, &temp_);
        break;
    }
  }
  if (!IsValidHandle(file_)) {
    if (GetLastError() == kErrorStoppedOnSymlink) {
      parts.push_back(last);
      *link = Joined(parts, parts.size());
      return OutputStart::Link;
    }
    temp_.clear();
    return OutputStart::Failed;
  }
  folder_ = folder;
  name_ = last;
  return OutputStart::Ready;
}

bool OutputFile::Write(const void* data, uint32_t count) {
  uint32_t written = 0;
  if (!WriteFile(file_, data, count, &written)) return false;
  if (written != count) {
    SetLastError(kErrorDiskFull);
    return false;
  }
  return true;
}

bool OutputFile::Commit() {
  if (folder_ == nullptr) return false;
  bool ok = temp_.empty() || SetNewFileMode(file_);
  if (!CloseHandle(file_)) ok = false;
  file_ = InvalidHandle();
  if (ok) ok = FinishFileIn(folder_, temp_.empty() ? name_.c_str() : temp_.c_str(), name_.c_str());
  if (!ok) {
    Abort();
    return false;
  }
  folder_ = nullptr;
  temp_.clear();
  return true;
}

void OutputFile::Abort() {
  if (folder_ == nullptr) return;
  const uint32_t error = GetLastError();
  if (IsValidHandle(file_)) CloseHandle(file_);
  file_ = InvalidHandle();
  DeleteFileIn(folder_, temp_.empty() ? name_.c_str() : temp_.c_str());
  folder_ = nullptr;
  temp_.clear();
  SetLastError(error);
}

}  // namespace platform
