// tavrix: extracts every file named in an archive's "(listfile)" into a folder
// beside the archive.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "sorvane/sorvane.h"
#include "diagnostics/diagnostics.h"
#include "paths.h"
#include "platform/output_file.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t COPY_CHUNK_SIZE = 4000000;

void Write(const std::string& text) { platform::ConsoleWrite(text.data(), text.size()); }

void PrintLastSystemError() {
  std::string text;
  if (platform::FormatSystemMessage(platform::GetLastError(), text)) Write(text + "\n");
}

// Reads the whole listfile. The declared size is the archive's claim, so the
// buffer grows with what the reads deliver rather than by that claim alone.
bool ReadListfile(FileHandle listfile, uint32_t size, std::vector<char>& text) {
  uint32_t total = 0;
  while (total < size) {
    const uint32_t want = std::min(size - total, COPY_CHUNK_SIZE);
    try {
      text.resize(static_cast<size_t>(total) + want);
    } catch (const std::bad_alloc&) {
      return false;
    }
    uint32_t got = 0;
    if (!ReadArchiveFile(listfile, text.data() + total, want, &got, nullptr)) return false;
    total += std::min(got, want);
    if (got < want) break;
  }
  text.resize(total);
  return true;
}

// Copies one stored file into its output file. A read that fails or gives
// nothing, and a write that fails or falls short, leave no output behind.
bool CopyStoredFile(FileHandle file, platform::OutputFile& output, uint8_t* buffer) {
  uint32_t remaining = GetArchiveFileSize(file, nullptr);
  while (remaining != 0) {
    const uint32_t n = std::min(remaining, COPY_CHUNK_SIZE);
    uint32_t got = 0;
    if (!ReadArchiveFile(file, buffer, n, &got, nullptr) || got == 0) return false;
    got = std::min(got, n);
    if (!output.Write(buffer, got)) return false;
    remaining -= got;
  }
  return output.Commit();
}

void ReportFailedExtraction(const std::string& name) {
  Write("Error extracting file " + extractor::QuotedName(name) + ".\n");
}

// One name of the list: looked up, its folders made, copied out. Names the
// archive does not hold are passed over silently.
void ExtractName(ArchiveHandle archive, platform::OutputTree& tree, const std::string& line,
                 uint8_t* buffer) {
  const std::string name = extractor::StripLineEnd(line);

  FileHandle file = nullptr;
  if (!OpenArchiveFile(archive, name.c_str(), 0, &file)) return;

  if (!IsSafeStoredName(name.c_str())) {
    CloseArchiveFile(file);
    ReportFailedExtraction(name);
    return;
  }

  // The folders are walked from the output folder's own handle and never
  // through a link, so a link planted below it cannot send the file
  // elsewhere. An existing file is replaced only by a complete one.
  platform::OutputFile output;
  std::string link;
  const platform::OutputStart start = output.Begin(tree, name, true, &link);
  if (start == platform::OutputStart::Link) {
    Write("Not extracting " + extractor::QuotedName(name) + ": " + extractor::QuotedName(link) + " is a symbolic link.\n");
  } else if (start != platform::OutputStart::Ready) {
    PrintLastSystemError();
  }
  if (start != platform::OutputStart::Ready || !CopyStoredFile(file, output, buffer)) {
    output.Abort();
    CloseArchiveFile(file);
    ReportFailedExtraction(name);
    return;
  }
  CloseArchiveFile(file);
}

// The output folder's handle. The folders above it are made and followed as
// the path says; the output folder itself has a name anyone can predict, so
// it is made or opened like the levels below it, never through a link.
platform::OutputTree OpenOutputTree(const std::string& outputFolder) {
  const std::string path = outputFolder.substr(0, outputFolder.size() - 1);
  size_t cut = path.find_last_of("\\/");
  // On Windows "X:name" lies in the folder current on drive X, which "X:"
  // names: the drive is no part of the folder's own name.
  if (cut == std::string::npos && platform::PathSeparator() == '\\' && path.size() > 2 && path[1] == ':') cut = 1;
  const std::string parent = cut == std::string::npos ? std::string(".") : path.substr(0, cut + 1);
  const std::string last = cut == std::string::npos ? path : path.substr(cut + 1);
  for (const std::string& level : extractor::FolderChain(parent)) platform::CreateDirectory(level.c_str());
  platform::FolderHandle above = platform::OpenFolder(parent.c_str());
  platform::FolderHandle root = above != nullptr ? platform::OpenSubfolder(above, last.c_str(), true) : nullptr;
  const uint32_t error = platform::GetLastError();
  platform::CloseFolder(above);
  return platform::OutputTree(root, error, error == platform::kErrorStoppedOnSymlink ? path : std::string());
}

void Run(const char* argument) {
  if (argument == nullptr) {
    Write("No arguements passed.\n");
    return;
  }
  const uint32_t startTick = platform::GetTickCount();

  // Later steps move the current directory, so a relative path would stop
  // meaning the same place after the first extracted name.
  const std::string archivePath = extractor::AbsoluteArchivePath(argument);
  ArchiveHandle archive = nullptr;
  if (!OpenArchive(archivePath.c_str(), 0, 0, &archive)) {
    Write("Error opening MPQ file.\n");
    return;
  }

  FileHandle listfile = nullptr;
  if (!OpenArchiveFile(archive, "(listfile)", 0, &listfile)) {
    Write("Error reading listfile.\n");
    CloseArchive(archive);
    return;
  }
  const uint32_t size = GetArchiveFileSize(listfile, nullptr);
  std::vector<char> text;
  if (size == 0 || size == 0xFFFFFFFFu || !ReadListfile(listfile, size, text)) {
    CloseArchiveFile(listfile);
    CloseArchive(archive);
    return;
  }
  Write("Listfile read...extracting files.\n");
  CloseArchiveFile(listfile);
  std::vector<std::string> names = extractor::SplitListfile(text.data(), text.size());
  std::vector<char>().swap(text);

  platform::OutputTree tree = OpenOutputTree(extractor::OutputFolderFor(archivePath));

  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[COPY_CHUNK_SIZE]);
  uint32_t counter = 0;
  if (buffer) {
    // The list runs from the listfile's last name to its first.
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
      ExtractName(archive, tree, *it, buffer.get());
      ++counter;
    }
  }
  names.clear();
  buffer.reset();

  const uint32_t elapsed = platform::GetTickCount() - startTick;
  Write(std::to_string(counter) + " files extracted in " + std::to_string(elapsed) +
        " miliseconds.\n");
  CloseArchive(archive);
}

}  // namespace

int main(int argc, char** argv) {
  // A crash leaves a report in "Errors" beside the program (or the user's
  // folder) instead of vanishing.
  InstallCrashCapture("tavrix");
  // Ctrl-C or a closed terminal leaves no half-written file behind.
  platform::InstallInterruptCleanup();
  Write("Tavrix v1.0\nWritten by Moraine\nNov. 2003\n");
  Write("Uses Quillon's Sorvane Library\n\n");
  Run(argc > 1 ? argv[1] : nullptr);
  Write("Press return to exit");
  platform::ConsoleFlush();
  platform::ConsoleReadChar();
  return 0;
}
