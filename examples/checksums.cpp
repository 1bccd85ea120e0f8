// Reads every file an archive's "(listfile)" names through the library and
// prints each one's size, compression methods and FNV-1a checksum:
//   checksums ARCHIVE
// Exits 1 when a file does not read; a C++ program on the public header.
#include <sorvane/sorvane.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct CloseFile {
  void operator()(ArchiveFile* file) const { CloseArchiveFile(file); }
};
using File = std::unique_ptr<ArchiveFile, CloseFile>;

File Open(ArchiveHandle archive, const std::string& name) {
  FileHandle file = nullptr;
  return File(OpenArchiveFile(archive, name.c_str(), 0, &file) ? file : nullptr);
}

bool ReadAll(const File& file, std::vector<unsigned char>* data) {
  if (!file) return false;
  const uint32_t size = GetArchiveFileSize(file.get(), nullptr);
  if (size == 0xFFFFFFFFu) return false;
  data->resize(size);
  if (size == 0) return true;  // a read needs a buffer, an empty vector may have none
  uint32_t got = 0;
  return ReadArchiveFile(file.get(), data->data(), static_cast<uint32_t>(data->size()), &got, nullptr) &&
         got == data->size();
}

uint32_t Fnv1a(const std::vector<unsigned char>& data) {
  uint32_t hash = 2166136261u;
  for (unsigned char byte : data) hash = (hash ^ byte) * 16777619u;
  return hash;
}

std::string Methods(ArchiveHandle archive, const File& file) {
  const uint32_t hashIndex = GetArchiveFileInfo(file.get(), INFO_HASH_INDEX);
  const uint32_t methods = GetCompressionMethods(archive, hashIndex);
  if (methods == 0xFFFFFFFFu) return "?";
  std::string words;
  const std::pair<uint32_t, const char*> names[] = {
      {COMP_BZIP2, "bzip2"},          {COMP_IMPLODE, "implode"},   {COMP_ZLIB, "zlib"},
      {COMP_HUFFMAN, "huffman"},      {COMP_ADPCM_STEREO, "adpcm-stereo"},
      {COMP_ADPCM_MONO, "adpcm-mono"}, {METHOD_SECTOR_STORED, "stored"}};
  for (const auto& [bit, word] : names) {
    if (methods & bit) words += (words.empty() ? "" : "+") + std::string(word);
  }
  return words.empty() ? "-" : words;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: checksums ARCHIVE\n");
    return 2;
  }
  ArchiveHandle archive = nullptr;
  if (!OpenArchive(argv[1], 0, 0, &archive)) {
    std::fprintf(stderr, "checksums: cannot open %s: error %lu\n", argv[1], static_cast<unsigned long>(GetLastError()));
    return 1;
  }
  int status = 0;
  std::vector<unsigned char> list;
  if (!ReadAll(Open(archive, "(listfile)"), &list)) {
    std::fprintf(stderr, "checksums: no readable (listfile)\n");
    status = 1;
  }
  std::istringstream lines(std::string(list.begin(), list.end()));
  for (std::string name; std::getline(lines, name);) {
    if (!name.empty() && name.back() == '\r') name.pop_back();
    if (name.empty()) continue;
    const File file = Open(archive, name);
    std::vector<unsigned char> data;
    if (!file || !ReadAll(file, &data)) {
      std::printf("%10s  %-27s %8s  %s: error %lu\n", "?", "?", "?", name.c_str(),
                  static_cast<unsigned long>(GetLastError()));
      status = 1;
      continue;
    }
    std::printf("%10zu  %-27s %08x  %s\n", data.size(), Methods(archive, file).c_str(), Fnv1a(data), name.c_str());
  }
  CloseArchive(archive);
  return status;
}
