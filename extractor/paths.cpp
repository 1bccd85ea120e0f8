#include "paths.h"

#include <vector>

#include "sorvane/sorvane.h"
#include "platform/platform.h"

namespace extractor {

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

std::vector<std::string> SplitComponents(const std::string& path) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : path) {
    if (IsSeparator(c)) {
      if (!part.empty()) parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  if (!part.empty()) parts.push_back(part);
  return parts;
}

// Drops the last component of an absolute folder, never its root.
void DropLastComponent(std::string& base) {
  size_t end = base.size();
  while (end > 0 && IsSeparator(base[end - 1])) --end;
  size_t cut = end;
  while (cut > 0 && !IsSeparator(base[cut - 1])) --cut;
  if (cut == 0) return;  // nothing but a drive or a name: keep it
  base.resize(cut);
  // "C:\" and "/" keep their separator; deeper folders lose it.
  if (base.size() > 1 && !(base.size() == 3 && base[1] == ':')) base.pop_back();
}

// How many leading characters of a Windows path name its root and are never
// changed: "\\server\share\", "\\?\" or "\\.\" (with "UNC\server\share\" after
// it). A dot there names a host or a device, not a folder to make; every
// other path starts with a drive or a folder, whose dots are changed. POSIX
// has no such roots: "//" is "/" there.
size_t RootLength(const std::string& path) {
  if (platform::PathSeparator() != '\\') return 0;
  if (path.size() < 3 || !IsSeparator(path[0]) || !IsSeparator(path[1])) return 0;
  size_t at = 2;
  size_t components = 2;  // server and share
  if ((path[2] == '?' || path[2] == '.') && path.size() > 3 && IsSeparator(path[3])) {
    at = 4;
    components = path.compare(4, 4, "UNC\\") == 0 || path.compare(4, 4, "UNC/") == 0 ? 3 : 0;
  }
  for (; components > 0 && at < path.size(); --components) {
    while (at < path.size() && !IsSeparator(path[at])) ++at;
    if (at < path.size()) ++at;
  }
  return at;
}

}  // namespace

std::string AbsoluteArchivePath(const std::string& argument) {
  if (platform::IsAbsolutePath(argument.c_str())) return argument;
  const uint32_t needed = platform::GetCurrentDirectory(0, nullptr);
  if (needed == 0) return argument;
  std::vector<char> buffer(needed + 1, '\0');
  const uint32_t length = platform::GetCurrentDirectory(needed + 1, buffer.data());
  if (length == 0 || length > needed) return argument;
  std::string base(buffer.data(), length);
  // A leading separator without a drive names the current drive's root.
  if (!argument.empty() && IsSeparator(argument[0])) return base.substr(0, 2) + argument;
  // "C:name" is relative to another drive's folder, which this one is not.
  if (argument.size() >= 2 && argument[1] == ':') return argument;

  const char separator = platform::PathSeparator();
  for (const std::string& part : SplitComponents(argument)) {
    if (part == ".") continue;
    if (part == "..") {
      DropLastComponent(base);
      continue;
    }
    if (base.empty() || !IsSeparator(base.back())) base += separator;
    base += part;
  }
  return base;
}

std::string OutputFolderFor(const std::string& archivePath) {
  std::string folder = archivePath + "\\";
  for (size_t i = RootLength(folder); i < folder.size(); ++i)
    if (folder[i] == '.') folder[i] = '_';
  return folder;
}

std::vector<std::string> SplitListfile(const char* text, size_t length) {
  std::vector<std::string> names;
  size_t start = 0;
  for (size_t i = 0; i <= length; ++i) {
    const bool end = i == length || text[i] == '\0';
    if (end || text[i] == '\n') {
      if (i > start) names.emplace_back(text + start, i - start);
      start = i + 1;
    }
    if (end) break;
  }
  return names;
}

std::string StripLineEnd(const std::string& line) {
  if (!line.empty() && line.back() == '\r') return line.substr(0, line.size() - 1);
  return line;
}

std::vector<std::string> FolderChain(const std::string& folder) {
  std::string root;
  std::string rest = folder;
  if (folder.size() >= 2 && IsSeparator(folder[0]) && IsSeparator(folder[1])) {
    // \\server\share\ is where a network path starts; it cannot be created.
    const std::vector<std::string> parts = SplitComponents(folder);
    root = "\\\\";
    size_t taken = 0;
    for (; taken < parts.size() && taken < 2; ++taken) root += parts[taken] + "\\";
    rest.clear();
    for (size_t i = taken; i < parts.size(); ++i) rest += parts[i] + "\\";
  } else if (!folder.empty() && IsSeparator(folder[0])) {
    root = folder.substr(0, 1);
  }
  std::vector<std::string> chain;
  std::string level = root;
  for (const std::string& part : SplitComponents(rest)) {
    level += part;
    level += '\\';
    chain.push_back(level);
  }
  return chain;
}

std::string QuotedName(const std::string& name) {
  const uint32_t length = QuoteStoredName(name.c_str(), nullptr, 0);
  if (length == 0xFFFFFFFFu) return "\"" + name + "\"";
  std::string shown(length + 1, '\0');
  QuoteStoredName(name.c_str(), shown.data(), length + 1);
  shown.resize(length);
  return shown != name ? shown : "\"" + name + "\"";
}

}  // namespace extractor
