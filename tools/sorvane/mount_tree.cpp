#include "mount_tree.h"

#include <cstdio>

#include "guide.h"
#include "select.h"

namespace sorvane {

namespace {

std::string Upper(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return s;
}

std::vector<std::string> Components(const std::string& name) {
  std::vector<std::string> parts(1);
  for (char c : name) {
    if (c == '\\' || c == '/') parts.emplace_back();
    else parts.back() += c;
  }
  return parts;
}

class Builder {
 public:
  explicit Builder(const std::vector<uint64_t>& times) : times_(times) { tree_.nodes.emplace_back(); }

  // Places a file at path (components), false when the path cannot form a
  // tree with what is there.
  bool Place(const std::vector<std::string>& path, const StoredEntry& e, bool byIndex) {
    for (const std::string& part : path) {
      if (part.empty() || part == "." || part == ".." || part.size() > 255) return false;
    }
    size_t at = 0;
    for (size_t i = 0; i + 1 < path.size(); ++i) {
      const auto found = tree_.nodes[at].children.find(Upper(path[i]));
      if (found == tree_.nodes[at].children.end()) {
        at = Add(at, path[i]);
      } else if (!tree_.nodes[found->second].folder) {
        return false;
      } else {
        at = found->second;
      }
    }
    if (tree_.nodes[at].children.count(Upper(path.back())) != 0) return false;
    const size_t n = Add(at, path.back());
    MountNode& file = tree_.nodes[n];
    file.folder = false;
    file.stored = e.name;
    file.locale = e.locale;
    file.hashIndex = e.hashIndex;
    file.byIndex = byIndex;
    file.size = e.blockValid ? e.block.fileSize : 0;
    const uint32_t block = e.blockIndex;
    file.filetime = block < times_.size() ? times_[block] : 0;
    return true;
  }

  // Makes the folders a path needs, where nothing else stands.
  void Folders(const std::vector<std::string>& path) {
    for (const std::string& part : path) {
      if (part.empty() || part == "." || part == ".." || part.size() > 255) return;
    }
    size_t at = 0;
    for (size_t i = 0; i + 1 < path.size(); ++i) {
      const auto found = tree_.nodes[at].children.find(Upper(path[i]));
      if (found == tree_.nodes[at].children.end()) at = Add(at, path[i]);
      else if (!tree_.nodes[found->second].folder) return;
      else at = found->second;
    }
  }

  MountTree Take() {
    for (size_t n = 0; n < tree_.nodes.size(); ++n) {
      MountNode& node = tree_.nodes[n];
      for (const auto& [key, child] : node.children) {
        tree_.nodes[child].parent = n;
        tree_.nodes[child].place = node.listed.size();
        node.listed.push_back(child);
      }
    }
    return std::move(tree_);
  }

 private:
  size_t Add(size_t parent, const std::string& name) {
    tree_.nodes.emplace_back();
    tree_.nodes.back().name = name;
    const size_t n = tree_.nodes.size() - 1;
    tree_.nodes[parent].children.emplace(Upper(name), n);
    return n;
  }

  MountTree tree_;
  const std::vector<uint64_t>& times_;
};

}  // namespace

long MountTree::Find(const std::string& path) const {
  size_t at = 0;
  for (const std::string& part : Components(path)) {
    if (part.empty()) continue;
    const auto found = nodes[at].children.find(Upper(part));
    if (found == nodes[at].children.end()) return -1;
    at = found->second;
  }
  return static_cast<long>(at);
}

long MountTree::Child(size_t at, const std::string& name) const {
  const auto found = nodes[at].children.find(Upper(name));
  return found == nodes[at].children.end() ? -1 : static_cast<long>(found->second);
}

MountTree BuildMountTree(const std::vector<StoredEntry>& entries, bool localeGiven, uint32_t locale,
                         bool allLocales, const std::vector<uint64_t>& times) {
  Builder builder(times);
  struct Placement {
    std::vector<std::string> path;
    const StoredEntry* entry;
  };
  std::vector<Placement> placements;
  std::vector<const StoredEntry*> misfits;
  // Versions of one name are neighbours in list order.
  for (size_t i = 0; i < entries.size();) {
    size_t end = i + 1;
    while (!entries[i].name.empty() && end < entries.size() && EqualsNoCase(entries[end].name, entries[i].name)) {
      ++end;
    }
    std::vector<const StoredEntry*> versions;
    for (size_t k = i; k < end; ++k) versions.push_back(&entries[k]);
    const size_t chosen = PreferredVersion(versions, localeGiven, locale);
    for (size_t k = 0; k < versions.size(); ++k) {
      const StoredEntry& e = *versions[k];
      if (e.name.empty()) {
        misfits.push_back(&e);
      } else if (k == chosen || allLocales) {
        std::vector<std::string> path = Components(e.name);
        if (k != chosen) {
          char folder[32];
          std::snprintf(folder, sizeof folder, "locale-%04X", e.locale);
          path.insert(path.begin(), folder);
        }
        placements.push_back({std::move(path), &e});
      }
    }
    i = end;
  }
  // Folders first: a file named as a folder is the one that gives way.
  for (const Placement& p : placements) builder.Folders(p.path);
  for (const Placement& p : placements) {
    if (!builder.Place(p.path, *p.entry, false)) misfits.push_back(p.entry);
  }
  for (const StoredEntry* e : misfits) builder.Place({std::string("#").append(std::to_string(e->hashIndex))}, *e, true);
  return builder.Take();
}

}  // namespace sorvane
