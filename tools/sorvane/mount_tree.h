// The folder tree a mounted archive shows: stored names split at their
// separators, looked up without regard to case as the archive's names are.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "names.h"

namespace sorvane {

struct MountNode {
  std::string name;  // the component shown (its first spelling for folders)
  bool folder = true;
  // Files: the entry read, by stored name in its locale or by index.
  std::string stored;
  uint32_t locale = 0;
  uint32_t hashIndex = 0;
  bool byIndex = false;
  uint64_t size = 0;
  uint64_t filetime = 0;  // from "(attributes)", 0 when none
  std::map<std::string, size_t> children;  // upper-cased component: node index
  std::vector<size_t> listed;              // the children in that order
  size_t parent = 0;                       // the folder that lists it
  size_t place = 0;                        // where it is in parent's listed
};

struct MountTree {
  std::vector<MountNode> nodes;  // nodes[0] is the root
  // The node of a path ("/a/b"), or -1.
  long Find(const std::string& path) const;
  // The child of folder node at named name (in any case), or -1.
  long Child(size_t at, const std::string& name) const;
};

// The tree of entries: the version --locale names (else the neutral one,
// else the only one) under the name; other versions under locale-XXXX/ when
// allLocales, else left out; unknown names, and names that cannot form a
// tree (a file beside a folder of that name, empty or ".." components, a
// leading separator), at the top as #INDEX. times: by block index, from
// "(attributes)".
MountTree BuildMountTree(const std::vector<StoredEntry>& entries, bool localeGiven, uint32_t locale,
                         bool allLocales, const std::vector<uint64_t>& times);

}  // namespace sorvane
