#include "tests/support/file_tree.h"

#include <filesystem>
#include <functional>
#include <regex>

namespace fs = std::filesystem;

namespace testsupport {

std::map<std::string, Bytes> ReadTree(const std::string& root) {
  std::map<std::string, Bytes> tree;
  if (!fs::exists(root)) return tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) tree[fs::relative(entry.path(), root).generic_string()] = ReadBytes(entry.path().string());
  }
  return tree;
}

std::string Digest(const Bytes& data) {
  return std::to_string(data.size()) + " bytes #" +
         std::to_string(std::hash<std::string>{}(std::string(data.begin(), data.end())));
}

std::map<std::string, std::string> Snapshot(const fs::path& root) {
  std::map<std::string, std::string> entries;
  if (!fs::exists(fs::symlink_status(root))) return entries;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    const std::string key = fs::relative(it->path(), root).generic_string();
    if (it->is_symlink()) {
      entries[key] = "-> " + fs::read_symlink(it->path()).string();
    } else if (it->is_directory()) {
      entries[key] = "/";
    } else {
      entries[key] = Digest(ReadBytes(it->path().string()));
    }
  }
  return entries;
}

void WriteTree(const std::string& root, const std::map<std::string, Bytes>& files) {
  for (const auto& [name, data] : files) {
    const fs::path p = fs::path(root) / name;
    fs::create_directories(p.parent_path());
    WriteBytes(p.string(), data);
  }
}

std::string MaskElapsed(const std::string& output) {
  static const std::regex elapsed(" files extracted in [0-9]+ miliseconds\\.\n");
  return std::regex_replace(output, elapsed, " files extracted in # miliseconds.\n");
}

}  // namespace testsupport
