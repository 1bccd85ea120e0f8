#include "ordered_work.h"

#include <algorithm>
#include <cstring>
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

// Whether the system could give this component a short name of its own,
// which a component with a '~' may be: anything but a plain 8.3 name of
// ASCII letters, digits and the few marks such names allow.
bool MayHaveShortName(const std::string& part) {
  size_t end = part.size();
  while (end > 0 && (part[end - 1] == '.' || part[end - 1] == ' ')) --end;
  const size_t dot = part.find('.');
  const size_t base = std::min(dot, end);
  if (base == 0 || base > 8 || (dot < end && (end - dot - 1 > 3 || part.find('.', dot + 1) < end))) return true;
  for (size_t i = 0; i < end; ++i) {
    const unsigned char c = static_cast<unsigned char>(part[i]);
    if (c >= 0x80 || c <= ' ' || std::strchr("\"*+,/:;<=>?[\\]|", c) != nullptr) return true;
  }
  return false;
}

// One component of a path as UnitsByOutputPath sees it.
struct Level {
  size_t place;   // hash of the folded key of the place after it
  size_t folder;  // hash of the folded key of the folder it is in
  bool tilde;     // it could be a short name of another component
  bool longName;  // another component could be a short name of it
};

// The levels of a path's places: the folder on the way after each
// component, the last one the place itself. Two places with one hash are
// taken as one: that costs only the order they keep.
void PlaceHashes(const std::string& path, std::vector<Level>* levels) {
  levels->clear();
  std::string key;
  size_t start = 0;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i != path.size() && path[i] != '\\' && path[i] != '/') continue;
    const std::string part = path.substr(start, i - start);
    start = i + 1;
    if (part.empty() || part == ".") continue;
    Level level;
    level.folder = std::hash<std::string>{}(key);
    if (!levels->empty()) key += '/';
    AppendFolded(&key, part);
    level.place = std::hash<std::string>{}(key);
    level.tilde = part.find('~') != std::string::npos;
    level.longName = MayHaveShortName(part);
    levels->push_back(level);
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
  // Places of files: items at the same one go together. So do items whose
  // components in one folder could be a short name and the name it stands
  // for: which comes first decides whether the second is refused.
  std::unordered_map<size_t, size_t> fileAt, tildeIn;
  std::vector<Level> levels;
  for (size_t i = 0; i < count; ++i) {
    PlaceHashes(paths[i], &levels);
    if (levels.empty()) continue;
    const auto [it, fresh] = fileAt.emplace(levels.back().place, i);
    if (!fresh) Join(parent, it->second, i);
    for (const Level& level : levels) {
      if (!level.tilde) continue;
      const auto [in, first] = tildeIn.emplace(level.folder, i);
      if (!first) Join(parent, in->second, i);
    }
  }
  // A file on the way to another: its folder cannot be made while the file
  // is there, nor the file while the folder is.
  for (size_t i = 0; i < count; ++i) {
    PlaceHashes(paths[i], &levels);
    for (size_t k = 0; k < levels.size(); ++k) {
      const auto it = k + 1 < levels.size() ? fileAt.find(levels[k].place) : fileAt.end();
      if (it != fileAt.end()) Join(parent, it->second, i);
      const auto in = levels[k].longName ? tildeIn.find(levels[k].folder) : tildeIn.end();
      if (in != tildeIn.end()) Join(parent, in->second, i);
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
