// The verbs that change archives: create, add, delete, rename, set-locale,
// compact.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>

#include "archive/attributes.h"
#include "archive/records.h"
#include "platform/bytes.h"
#include "platform/platform.h"
#include "tools/sorvane/cli.h"
#include "tools/sorvane/names.h"

namespace sorvane {

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kDefaultHashSize = 1024;
constexpr uint32_t kListfileFlags = BLOCK_KEY_ADJUSTED | BLOCK_ENCRYPTED | BLOCK_COMPRESSED | ADD_REPLACE;

// An archive opened for update, closed when the verb ends.
class WriteArchive {
 public:
  WriteArchive(const std::string& path, uint32_t flags, uint32_t hashSize) {
    const std::string absolute = AbsoluteArchivePath(path);
    archive_ = OpenArchiveWritable(absolute.c_str(), flags, hashSize);
    if (!IsUsableArchive(archive_)) {
      Fail("cannot open archive \"" + path + "\" for update");
      archive_ = nullptr;
    }
  }
  ~WriteArchive() {
    // A batch still open here was given up; closing drops it.
    if (archive_ != nullptr) CloseWritableArchive(archive_, 0);
  }
  ArchiveHandle get() const { return archive_; }

  // Every verb's changes are one batch: on disk they all appear at the
  // commit, or none do.
  bool Begin() {
    if (BeginArchiveUpdate(archive_)) return true;
    Fail("cannot start the update");
    return false;
  }
  bool Commit() {
    if (CommitArchiveUpdate(archive_)) return true;
    Fail("cannot write the changes; the archive keeps its earlier contents");
    return false;
  }
  // True once a failure on the archive's side has given the batch up.
  bool Failed() const { return GetArchiveUpdateFailure(archive_) != 0; }

 private:
  ArchiveHandle archive_ = nullptr;
};

bool NumberOption(const Args& args, const char* name, uint32_t fallback, uint32_t* value) {
  *value = fallback;
  if (!args.Has(name)) return true;
  if (ParseNumber(args.Value(name), value)) return true;
  FailPlain(std::string("--") + name + ": " + Quote(args.Value(name)) + " is no number");
  return false;
}

uint32_t ListFlags(const Args& args) { return args.Has("no-listfile") ? 0 : UPDATE_KEEP_LISTFILE; }

// How files are to be stored.
struct Method {
  uint32_t flags = BLOCK_COMPRESSED;
  uint32_t mask = COMP_IMPLODE;
  bool wave = false;  // pick the ADPCM channel count from each file's header
};

bool ParseMethod(const std::string& text, Method* method) {
  if (text == "none") {
    method->flags = 0;
    method->mask = 0;
  } else if (text == "implode") {
    method->mask = COMP_IMPLODE;
  } else if (text == "implode-only") {
    method->flags = BLOCK_IMPLODED;
    method->mask = COMP_IMPLODE;
  } else if (text == "huffman") {
    method->mask = COMP_HUFFMAN;
  } else if (text == "wave") {
    method->mask = COMP_ADPCM_STEREO | COMP_HUFFMAN;
    method->wave = true;
  } else if (text == "zlib") {
    method->mask = COMP_ZLIB;
  } else if (text == "bzip2") {
    method->mask = COMP_BZIP2;
  } else {
    uint32_t mask = 0;
    if (!ParseNumber(text, &mask) || mask == 0 || mask > 0xFF) return false;
    method->mask = mask;
  }
  return true;
}

// A mono 16-bit PCM WAV is audio-coded with one channel.
uint32_t WaveMask(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  uint8_t header[36] = {};
  const size_t got = f != nullptr ? std::fread(header, 1, sizeof header, f) : 0;
  if (f != nullptr) std::fclose(f);
  if (got == sizeof header && platform::LoadLE16(&header[22]) == 1) return COMP_ADPCM_MONO | COMP_HUFFMAN;
  return COMP_ADPCM_STEREO | COMP_HUFFMAN;
}

struct Source {
  std::string path;
  std::string name;
};

// Files of the command line, folders walked in name order.
bool CollectSources(const Args& args, std::vector<Source>* sources) {
  const std::vector<std::string> paths(args.positional.begin() + 1, args.positional.end());
  if (args.Has("name") && (paths.size() != 1 || fs::is_directory(paths[0]))) {
    FailPlain("--name needs exactly one file");
    return false;
  }
  for (const std::string& path : paths) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
      std::vector<fs::path> files;
      for (fs::recursive_directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_regular_file(ec)) files.push_back(it->path());
      }
      if (ec) {
        FailPlain("cannot walk the folder \"" + path + "\": " + ec.message());
        return false;
      }
      std::sort(files.begin(), files.end());
      for (const fs::path& file : files) {
        const std::string name = StoredNameForPath(file.generic_string());
        if (name.empty()) {
          FailPlain(Quote(file.string()) + " climbs out of its folder; add it from its own folder");
          return false;
        }
        sources->push_back({file.string(), name});
      }
    } else if (fs::is_regular_file(path, ec)) {
      const std::string name = args.Has("name") ? args.Value("name") : StoredNameForPath(path);
      if (name.empty()) {
        FailPlain("\"" + path + "\" climbs out of its folder; give the stored name with --name");
        return false;
      }
      sources->push_back({path, name});
    } else {
      FailWith("cannot add \"" + path + "\"", ERROR_FILE_NOT_FOUND);
      return false;
    }
  }
  return true;
}

// Adds the names to the neutral "(listfile)" in one store, as the library
// would one by one. A list that is there but cannot be read stays as it is.
bool MergeListfile(ArchiveHandle archive, const std::vector<std::string>& added) {
  const uint32_t savedLocale = GetLocale();
  SetLocale(0);
  std::string text;
  bool ok = true;
  if (!ReadStoredFile(archive, "(listfile)", &text)) {
    if (GetLastError() != ERROR_FILE_NOT_FOUND) {
      Fail("the archive's \"(listfile)\" cannot be read, so it was left alone");
      SetLocale(savedLocale);
      return false;
    }
    text.clear();
  }
  std::set<std::string> listed;
  auto upper = [](std::string s) {
    for (char& c : s) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    }
    return s;
  };
  for (const std::string& name : SplitNames(text)) listed.insert(upper(name));
  const size_t before = text.size();
  for (const std::string& name : added) {
    if (name.empty() || name.find_first_of("\r\n") != std::string::npos || upper(name) == "(LISTFILE)") continue;
    if (!listed.insert(upper(name)).second) continue;
    if (!text.empty() && text.back() != '\r' && text.back() != '\n') text += "\r\n";
    text += name + "\r\n";
  }
  if (text.size() != before) {
    ok = AddBuffer(archive, text.data(), static_cast<uint32_t>(text.size()), "(listfile)", kListfileFlags);
    if (!ok) Fail("cannot store the archive's \"(listfile)\"");
  }
  SetLocale(savedLocale);
  return ok;
}

// Takes the lines of the deleted names out of the neutral "(listfile)" in
// one store, except for names some locale still holds.
bool PruneListfile(ArchiveHandle archive, const std::vector<std::string>& deleted) {
  std::set<uint64_t> stillStored;
  for (uint32_t i = 0; i < archive->header.hashTableEntries; ++i) {
    const HashEntry& e = archive->hashTable[i];
    if (!IsHashEntryFree(e)) stillStored.insert((static_cast<uint64_t>(e.nameHashA) << 32) | e.nameHashB);
  }
  auto upper = [](std::string s) {
    for (char& c : s) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    }
    return s;
  };
  std::set<std::string> gone;
  for (const std::string& name : deleted) {
    const uint64_t key = (static_cast<uint64_t>(HashString(name.c_str(), HASH_NAME_A)) << 32) |
                         HashString(name.c_str(), HASH_NAME_B);
    if (stillStored.count(key) == 0) gone.insert(upper(name));
  }
  if (gone.empty()) return true;
  const uint32_t savedLocale = GetLocale();
  SetLocale(0);
  std::string text;
  if (!ReadStoredFile(archive, "(listfile)", &text)) {
    const bool absent = GetLastError() == ERROR_FILE_NOT_FOUND;
    if (!absent) Fail("the archive's \"(listfile)\" cannot be read, so it was left alone");
    SetLocale(savedLocale);
    return absent;
  }
  // Each line goes with the line end that follows it.
  std::string kept;
  for (size_t pos = 0; pos < text.size();) {
    size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string::npos) end = text.size();
    size_t next = end;
    while (next < text.size() && (text[next] == '\r' || text[next] == '\n')) ++next;
    if (gone.count(upper(text.substr(pos, end - pos))) == 0) kept += text.substr(pos, next - pos);
    pos = next;
  }
  bool ok = true;
  if (kept.size() != text.size()) {
    static const char none = 0;
    ok = AddBuffer(archive, kept.empty() ? &none : kept.data(), static_cast<uint32_t>(kept.size()), "(listfile)",
                   kListfileFlags);
    if (!ok) Fail("cannot store the archive's \"(listfile)\"");
  }
  SetLocale(savedLocale);
  return ok;
}

bool LocaleOption(const Args& args, uint32_t* locale) {
  if (!NumberOption(args, "locale", 0, locale)) return false;
  SetLocale(*locale);
  return true;
}

}  // namespace

int RunCreate(const Args& args) {
  uint32_t hashSize = 0;
  if (!NumberOption(args, "hash-size", kDefaultHashSize, &hashSize)) return kExitUsage;
  if (hashSize == 0 || hashSize > 0x0FFFFFFDu) {
    FailPlain("--hash-size must be between 1 and 268435453");
    return kExitUsage;
  }
  const uint32_t disposition = args.Has("force") ? UPDATE_CREATE_ALWAYS : 0;
  WriteArchive archive(args.positional[0], disposition, hashSize);
  if (archive.get() == nullptr) return kExitFailure;
  if (args.Has("attributes")) {
    // Every digest this build can compute, and the files' times.
    const uint32_t flags = ATTRIBUTE_FILETIME | SupportedDigests();
    if ((flags & ATTRIBUTE_MD5) == 0) Note("note: MD5 is not supported by this build; it is not recorded");
    if (!SetArchiveAttributes(archive.get(), flags)) {
      Fail("cannot store \"(attributes)\" in \"" + args.positional[0] + "\"");
      return kExitFailure;
    }
  }
  if (args.verbose) Note("created " + args.positional[0] + " with " + std::to_string(hashSize) + " hash entries");
  return kExitOk;
}

int RunAdd(const Args& args) {
  Method method;
  if (args.Has("compress") && !ParseMethod(args.Value("compress"), &method)) {
    FailPlain("--compress: " + Quote(args.Value("compress")) +
              " is none of none, implode, implode-only, huffman, wave, zlib, bzip2 or a mask 0x01..0xFF");
    return kExitUsage;
  }
  uint32_t level = 0, hashSize = 0, locale = 0;
  if (!NumberOption(args, "level", 0, &level) || !NumberOption(args, "hash-size", kDefaultHashSize, &hashSize) ||
      !NumberOption(args, "locale", 0, &locale)) {
    return kExitUsage;
  }
  uint32_t threads = 0;
  if (!NumberOption(args, "j", 0, &threads)) return kExitUsage;
  SetCompressionThreadCount(threads);
  uint32_t flags = method.flags;
  if (args.Has("encrypt")) flags |= BLOCK_ENCRYPTED;
  if (args.Has("key-adjusted")) flags |= BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED;
  if (args.Has("replace")) flags |= ADD_REPLACE;

  std::vector<Source> sources;
  if (!CollectSources(args, &sources)) return kExitFailure;
  // The name list is kept here in one store at the end rather than once per
  // file by the library.
  WriteArchive archive(args.positional[0], UPDATE_OPEN_ALWAYS, hashSize);
  if (archive.get() == nullptr || !archive.Begin()) return kExitFailure;
  SetLocale(locale);

  int status = kExitOk;
  std::vector<std::string> added;
  Progress progress("add", sources.size());
  for (const Source& source : sources) {
    progress.Advance();
    const uint32_t mask = method.wave ? WaveMask(source.path) : method.mask;
    if (!AddFileFromDisk(archive.get(), source.path.c_str(), source.name.c_str(), flags, mask, level)) {
      const uint32_t error = GetLastError();
      FailWith("cannot add \"" + source.path + "\" as \"" + source.name + "\"", error);
      status = kExitFailure;
      if (archive.Failed()) break;
      continue;
    }
    added.push_back(source.name);
    if (args.verbose) {
      FileHandle file = nullptr;
      std::string sizes;
      if (OpenArchiveFile(archive.get(), source.name.c_str(), 0, &file)) {
        sizes = " (" + std::to_string(GetArchiveFileInfo(file, INFO_SIZE)) + " -> " +
                std::to_string(GetArchiveFileInfo(file, INFO_COMPRESSED_SIZE)) + " bytes)";
        CloseArchiveFile(file);
      }
      Note("added " + source.name + sizes);
    }
  }
  if (archive.Failed()) {
    archive.Commit();
    return kExitFailure;
  }
  if (!args.Has("no-listfile") && !added.empty() && !MergeListfile(archive.get(), added)) status = kExitFailure;
  if (!archive.Commit()) status = kExitFailure;
  return status;
}

int RunDelete(const Args& args) {
  uint32_t locale = 0;
  if (!LocaleOption(args, &locale)) return kExitUsage;
  // The name list is pruned here once, not by the library after each delete.
  WriteArchive archive(args.positional[0], UPDATE_OPEN_EXISTING, 0);
  if (archive.get() == nullptr || !archive.Begin()) return kExitFailure;
  int status = kExitOk;
  std::vector<std::string> deleted;
  for (size_t i = 1; i < args.positional.size(); ++i) {
    const std::string& name = args.positional[i];
    SetLastError(ERROR_SUCCESS);
    if (DeleteArchiveFile(archive.get(), name.c_str())) {
      deleted.push_back(name);
      if (args.verbose) Note("deleted " + name);
      continue;
    }
    status = kExitFailure;
    if (GetLastError() == ERROR_SUCCESS) {
      FailPlain("cannot delete \"" + name + "\": only its neutral version is stored (use --locale 0)");
    } else {
      Fail("cannot delete \"" + name + "\"");
    }
  }
  if (!args.Has("no-listfile") && !deleted.empty() && !PruneListfile(archive.get(), deleted)) status = kExitFailure;
  if (!archive.Commit()) status = kExitFailure;
  return status;
}

int RunRename(const Args& args) {
  uint32_t locale = 0;
  if (!LocaleOption(args, &locale)) return kExitUsage;
  WriteArchive archive(args.positional[0], UPDATE_OPEN_EXISTING | ListFlags(args), 0);
  if (archive.get() == nullptr || !archive.Begin()) return kExitFailure;
  const std::string& from = args.positional[1];
  const std::string& to = args.positional[2];
  SetLastError(ERROR_SUCCESS);
  if (!RenameArchiveFile(archive.get(), from.c_str(), to.c_str())) {
    if (GetLastError() == ERROR_SUCCESS) {
      FailPlain("cannot rename \"" + from + "\": \"" + to + "\" is already stored in this locale");
    } else {
      Fail("cannot rename \"" + from + "\" to \"" + to + "\"");
    }
    return kExitFailure;
  }
  if (!archive.Commit()) return kExitFailure;
  if (args.verbose) Note("renamed " + from + " to " + to);
  return kExitOk;
}

int RunSetLocale(const Args& args) {
  uint32_t from = 0, to = 0;
  if (!ParseNumber(args.positional[2], &from) || !ParseNumber(args.positional[3], &to)) {
    FailPlain("locales are numbers, decimal or 0x-hexadecimal");
    return kExitUsage;
  }
  WriteArchive archive(args.positional[0], UPDATE_OPEN_EXISTING, 0);
  if (archive.get() == nullptr || !archive.Begin()) return kExitFailure;
  const std::string& name = args.positional[1];
  SetLastError(ERROR_SUCCESS);
  if (!SetArchiveFileLocale(archive.get(), name.c_str(), from, to)) {
    if (GetLastError() != ERROR_SUCCESS) Fail("cannot move \"" + name + "\" to locale " + args.positional[3]);
    else if (from == to) FailPlain("the two locales are the same");
    else FailPlain("cannot move \"" + name + "\": it is not stored in locale " + args.positional[2]);
    return kExitFailure;
  }
  if (!archive.Commit()) return kExitFailure;
  if (args.verbose) Note("moved " + name + " to locale " + args.positional[3]);
  return kExitOk;
}

int RunCompact(const Args& args) {
  WriteArchive archive(args.positional[0], UPDATE_OPEN_EXISTING, 0);
  if (archive.get() == nullptr) return kExitFailure;
  const uint32_t before = archive.get()->header.archiveSize;
  if (!CompactArchive(archive.get())) {
    if (GetLastError() == ERROR_FILE_INVALID) {
      Fail("cannot compact: an encrypted file would have to move, but its key cannot be found "
           "(its name is in no list); the archive is unchanged");
    } else {
      Fail("cannot compact \"" + args.positional[0] + "\"");
    }
    return kExitFailure;
  }
  if (args.verbose) {
    Note("compacted " + args.positional[0] + ": " + std::to_string(before) + " -> " +
         std::to_string(archive.get()->header.archiveSize) + " bytes");
  }
  return kExitOk;
}

}  // namespace sorvane
