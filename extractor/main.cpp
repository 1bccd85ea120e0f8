// tavrix: extracts every file named in an archive's "(listfile)" into a folder
// beside the archive.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <unordered_set>
#include <vector>

#include "archive/sorvane.h"
#include "diagnostics/diagnostics.h"
#include "extractor/paths.h"
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

// Copies one stored file to outputPath. Returns false when the stored file
// could not be read through; the output is then closed and deleted here.
bool CopyStoredFile(FileHandle file, platform::OsHandle output, const std::string& outputPath,
                    uint8_t* buffer) {
  const bool haveOutput = platform::IsValidHandle(output);
  uint32_t remaining = GetArchiveFileSize(file, nullptr);
  while (remaining != 0) {
    const uint32_t n = std::min(remaining, COPY_CHUNK_SIZE);
    uint32_t got = 0;
    if (!ReadArchiveFile(file, buffer, n, &got, nullptr) || got == 0) {
      if (haveOutput) {
        platform::CloseHandle(output);
        platform::DeleteFile(outputPath.c_str());
      }
      return false;
    }
    got = std::min(got, n);
    if (haveOutput) {
      uint32_t written = 0;
      platform::WriteFile(output, buffer, got, &written);
    }
    remaining -= got;
  }
  return true;
}

void ReportFailedExtraction(const std::string& name) {
  Write("Error extracting file " + extractor::QuotedName(name) + ".\n");
}

// One name of the list: looked up, its folders made, copied out. Names the
// archive does not hold are passed over silently.
void ExtractName(ArchiveHandle archive, const std::string& outputFolder, const std::string& line,
                 uint8_t* buffer, std::unordered_set<std::string>& madeLevels,
                 std::string& currentFolder) {
  const std::string name = extractor::StripLineEnd(line);
  const std::string outputPath = outputFolder + name;
  const size_t lastBackslash = outputPath.rfind('\\');
  const std::string folderPart =
      lastBackslash == std::string::npos ? std::string() : outputPath.substr(0, lastBackslash);

  FileHandle file = nullptr;
  if (!OpenArchiveFile(archive, name.c_str(), 0, &file)) return;

  if (!IsSafeStoredName(name.c_str())) {
    CloseArchiveFile(file);
    ReportFailedExtraction(name);
    return;
  }

  // A level made (or found unmakeable) once stays so for the rest of the
  // run, so each distinct level is created only once; listfiles that jump
  // between folders would otherwise repeat every failing create per name.
  if (folderPart != currentFolder) {
    const std::vector<std::string> chain = extractor::FolderChain(folderPart);
    for (const std::string& level : chain)
      if (madeLevels.insert(level).second) platform::CreateDirectory(level.c_str());
    if (!chain.empty()) platform::SetCurrentDirectory(chain.back().c_str());
    currentFolder = folderPart;
  }

  platform::OsHandle output =
      platform::CreateFile(outputPath.c_str(), platform::kGenericWrite, platform::kFileShareWrite,
                           platform::kCreateAlways, platform::kFileAttributeNormal);
  if (!platform::IsValidHandle(output)) PrintLastSystemError();

  if (!CopyStoredFile(file, output, outputPath, buffer)) {
    CloseArchiveFile(file);
    ReportFailedExtraction(name);
    return;
  }
  CloseArchiveFile(file);
  if (platform::IsValidHandle(output)) platform::CloseHandle(output);
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

  const std::string outputFolder = extractor::OutputFolderFor(archivePath);
  platform::CreateDirectory(outputFolder.c_str());

  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[COPY_CHUNK_SIZE]);
  uint32_t counter = 0;
  if (buffer) {
    // The list runs from the listfile's last name to its first.
    std::unordered_set<std::string> madeLevels;
    std::string currentFolder;
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
      ExtractName(archive, outputFolder, *it, buffer.get(), madeLevels, currentFolder);
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
  Write("Tavrix v1.0\nWritten by Moraine\nNov. 2003\n");
  Write("Uses Quillon's Sorvane Library\n\n");
  Run(argc > 1 ? argv[1] : nullptr);
  Write("Press return to exit");
  platform::ConsoleFlush();
  platform::ConsoleReadChar();
  return 0;
}
