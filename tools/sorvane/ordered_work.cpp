#include "ordered_work.h"

#include <functional>
#include <numeric>
#include <unordered_map>

namespace sorvane {

WorkUnits SingleUnits(size_t count) {
  WorkUnits units;
  units.items.resize(count);
  std::iota(units.items.begin(), units.items.end(), size_t{0});
  units.starts.resize(count + 1);
  std::iota(units.starts.begin(), units.starts.end(), size_t{0});
  return units;
}

namespace {

// One component as a file system that folds it could see it: ASCII
// letters in one case, trailing dots and blanks gone. Components that
// such a system might fold in ways not known here all become one.
void AppendFolded(std::string* key, const std::string& part) {
  size_t end = part.size();
  while (end > 0 && (part[end - 1] == '.' || part[end - 1] == ' ')) --end;
  if (end == 0) end = part.size();  // all dots or blanks: left as it is
  for (size_t i = 0; i < end; ++i) {
    const unsigned char c = static_cast<unsigned char>(part[i]);
    if (c >= 0x80 || c == '~') {
      *key += '\x01';
      return;
    }
  }
  for (size_t i = 0; i < end; ++i) {
    const char c = part[i];
    *key += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  }
}

// The hashes of the folded keys of a path's places: the folder on the way
// after each component, the last one the place itself. Two places with one
// hash are taken as one: that costs only the order they keep.
void PlaceHashes(const std::string& path, std::vector<size_t>* hashes) {
  hashes->clear();
  std::string key;
  size_t start = 0;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i != path.size() && path[i] != '\\' && path[i] != '/') continue;
    const std::string part = path.substr(start, i - start);
    start = i + 1;
    if (part.empty() || part == ".") continue;
    if (!hashes->empty()) key += '/';
    AppendFolded(&key, part);
    hashes->push_back(std::hash<std::string>{}(key));
  }
}

size_t Root(std::vector<size_t>& parent, size_t i) {
  while (parent[i] != i) {
    parent[i] = parent[parent[i]];
    i = parent[i];
  }
  return i;
}

void Join(std::vector<size_t>& parent, size_t a, size_t b) {
  a = Root(parent, a);
  b = Root(parent, b);
  // The earlier item stays the root, so a unit's root is its first item.
  if (a < b) parent[b] = a;
  else if (b < a) parent[a] = b;
}

}  // namespace

WorkUnits UnitsByOutputPath(const std::vector<std::string>& paths) {
  const size_t count = paths.size();
  std::vector<size_t> parent(count);
  std::iota(parent.begin(), parent.end(), size_t{0});
  // Places of files: items at the same one go together.
  std::unordered_map<size_t, size_t> fileAt;
  std::vector<size_t> hashes;
  for (size_t i = 0; i < count; ++i) {
    PlaceHashes(paths[i], &hashes);
    if (hashes.empty()) continue;
    const auto [it, fresh] = fileAt.emplace(hashes.back(), i);
    if (!fresh) Join(parent, it->second, i);
  }
  // A file on the way to another: its folder cannot be made while the file
  // is there, nor the file while the folder is.
  for (size_t i = 0; i < count; ++i) {
    PlaceHashes(paths[i], &hashes);
    for (size_t k = 0; k + 1 < hashes.size(); ++k) {
      const auto it = fileAt.find(hashes[k]);
      if (it != fileAt.end()) Join(parent, it->second, i);
    }
  }
  // Each unit's items in order, units in the order of their first items.
  std::vector<size_t> unitOf(count), sizes;
  for (size_t i = 0; i < count; ++i) {
    const size_t root = Root(parent, i);
    if (root == i) {
      unitOf[i] = sizes.size();
      sizes.push_back(0);
    } else {
      unitOf[i] = unitOf[root];  // the root came first
    }
    ++sizes[unitOf[i]];
  }
  WorkUnits units;
  units.starts.resize(sizes.size() + 1, 0);
  for (size_t u = 0; u < sizes.size(); ++u) units.starts[u + 1] = units.starts[u] + sizes[u];
  std::vector<size_t> fill(units.starts.begin(), units.starts.end() - 1);
  units.items.resize(count);
  for (size_t i = 0; i < count; ++i) units.items[fill[unitOf[i]]++] = i;
  return units;
}

}  // namespace sorvane
