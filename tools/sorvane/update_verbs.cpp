// The verbs that change archives: create, add, delete, rename, set-locale,
// compact.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>

#include "platform/bytes.h"
#include "platform/platform.h"
#include "cli.h"
#include "guide.h"
#include "names.h"
#include "select.h"

namespace sorvane {

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kDefaultHashSize = 1024;

// An archive opened for update, closed when the verb ends.
class WriteArchive {
 public:
  WriteArchive(const std::string& path, uint32_t flags, uint32_t hashSize) {
    const std::string absolute = AbsoluteArchivePath(path);
    // The library makes a new archive in an empty file; a verb that needs
    // one that is there must not leave a header behind when it fails.
    if (IsFolder(absolute)) {
      FailPlain("cannot open archive " + Quote(path) + " for update: it is a folder, not an archive");
      return;
    }
    if ((flags & UPDATE_OPEN_EXISTING) != 0 && IsEmptyFile(absolute)) {
      FailPlain("cannot open archive " + Quote(path) + " for update: the file is empty, not an archive; "
                "it was left as it is");
      return;
    }
    const OpenOutcome outcome = OpenSharing(path, [&] {
      archive_ = OpenArchiveWritable(absolute.c_str(), flags, hashSize);
      return IsUsableArchive(archive_);
    });
    if (outcome == OpenOutcome::Busy) {
      archive_ = nullptr;
    } else if (outcome == OpenOutcome::Failed) {
      if (GetLastError() == ERROR_NOT_SUPPORTED) {
        FailPlain("cannot open archive " + Quote(path) + " for update: its header is of format version 2 or later, "
                  "whose newer tables an update would leave stale; such archives are only read");
      } else {
        ReportUpdateOpenFailure(path, absolute);
      }
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

// A mask the add can store readably: methods the library has (its own may
// go together, one audio coder at most), or one of the provider's methods
// alone (it is handed the whole mask, and its methods do not chain).
bool IsUsableMask(uint32_t mask) {
  constexpr uint32_t kOwn = COMP_HUFFMAN | COMP_IMPLODE | COMP_ADPCM_MONO | COMP_ADPCM_STEREO;
  if (mask == COMP_ZLIB || mask == COMP_BZIP2) return true;
  if (mask == 0 || (mask & ~kOwn) != 0) return false;
  return (mask & (COMP_ADPCM_MONO | COMP_ADPCM_STEREO)) != (COMP_ADPCM_MONO | COMP_ADPCM_STEREO);
}

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
    if (!ParseNumber(text, &mask) || !IsUsableMask(mask)) return false;
    method->mask = mask;
  }
  return true;
}

// Whether the compressor of a method from the outside provider can be had:
// the library stores a sector it cannot compress as it is, which would turn
// "--compress bzip2" in a build without bzip2 into a silent plain copy.
bool MethodAvailable(const Method& method) {
  return (method.flags & BLOCK_IMPLODED) != 0 || CanCompressWith(method.mask);
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
  std::string path;  // "-": standard input, read into data
  std::string name;
  uint64_t size = 0;
  std::vector<uint8_t> data;
  uint64_t time = 0;  // last-write time as the walk found it (0: unknown)
};

// Standard input whole, for "add ARCHIVE - --name NAME". False (reported)
// when it cannot be read or is larger than a stored file can be.
bool ReadStandardInput(std::vector<uint8_t>* data) {
  platform::UseBinaryStandardStreams();
  uint8_t chunk[1 << 16];
  for (;;) {
    const size_t got = std::fread(chunk, 1, sizeof chunk, stdin);
    data->insert(data->end(), chunk, chunk + got);
    if (data->size() > 0xFFFFFFFFu) {
      FailPlain("standard input holds more than 4 GiB, more than a stored file can; nothing was written");
      return false;
    }
    if (got < sizeof chunk) break;
  }
  if (std::ferror(stdin)) {
    FailPlain("cannot read standard input; nothing was written");
    return false;
  }
  return true;
}

// Gathers what the command line names: files, and folders walked in name
// order. Paths that cannot be added are reported and counted as skipped; a
// path that does not exist at all fails the command.
// A stored name as lookups see it: '\' between folders, ASCII letters in
// upper case.
std::string FoldedName(const std::string& name) {
  std::string key = Backslashed(name);
  for (char& c : key) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
  return key;
}

class SourceCollector {
 public:
  SourceCollector(const Args& args, const std::string& archivePath) : args_(args) {
    std::error_code ec;
    if (fs::exists(archivePath, ec)) {
      archive_ = archivePath;
      knownIdentity_ = platform::GetFileIdentity(archivePath.c_str(), &archiveDevice_, &archiveId_);
      archiveSize_ = fs::file_size(archivePath, ec);
    }
  }

  bool Collect(std::vector<Source>* sources) {
    const std::vector<std::string> paths(args_.positional.begin() + 1, args_.positional.end());
    std::error_code ec;
    if (args_.Has("name") && (paths.size() != 1 || fs::is_directory(paths[0], ec))) {
      FailPlain("--name needs exactly one file");
      return false;
    }
    for (const std::string& path : paths) {
      if (path == "-") {
        if (!TakeStandardInput(sources)) return false;
        continue;
      }
      const fs::file_status link = fs::symlink_status(path, ec);
      if (!fs::exists(link)) {
        FailWith("cannot add " + Quote(path), ERROR_FILE_NOT_FOUND);
        return false;
      }
      const fs::file_status target = fs::status(path, ec);
      if (fs::is_directory(target)) {
        std::vector<Walked> walked;
        Walk(fs::path(path), &walked);
        std::sort(walked.begin(), walked.end(), [](const Walked& a, const Walked& b) { return a.path < b.path; });
        for (const Walked& w : walked) {
          const fs::path& file = w.path;
          if (IsWalkedArchive(w)) {
            if (args_.verbose) Note("left out " + Shown(file.string()) + ": it is the archive itself");
            continue;
          }
          const std::string name = StoredNameForPath(file.generic_string());
          if (Excluded(args_.All("exclude"), name)) {
            if (args_.verbose) Note("left out " + Shown(file.string()) + ": --exclude");
            continue;
          }
          if (name.empty()) {
            FailPlain(Quote(file.string()) + " climbs out of its folder; add it from its own folder");
            return false;
          }
          // One odd name in a tree does not hold the rest back.
          const uint32_t problem = CheckStoredName(name.c_str());
          if (problem != NAME_FOLLOWS_RULE) {
            Skip(file.string(), "its name " + Quote(name) + " cannot be stored: " + NameRuleText(problem));
            continue;
          }
          sources->push_back({file.string(), name, w.entry.size, {}, w.entry.writeTime});
        }
      } else if (!SkipsAsFile(path, link, target)) {
        if (IsArchive(path)) {
          Skip(path, "it is the archive itself");
          continue;
        }
        const std::string name = args_.Has("name") ? Backslashed(args_.Value("name")) : StoredNameForPath(path);
        if (name.empty() && !args_.Has("name")) {
          FailPlain(Quote(path) + " climbs out of its folder; give the stored name with --name");
          return false;
        }
        if (!args_.Has("name") && Excluded(args_.All("exclude"), name)) {
          if (args_.verbose) Note("left out " + Shown(path) + ": --exclude");
          continue;
        }
        const uint32_t problem = CheckStoredName(name.c_str());
        if (problem != NAME_FOLLOWS_RULE) {
          FailPlain("cannot add " + Quote(path) + " as " + Quote(name) + ": " + NameRuleText(problem) +
                    (args_.Has("name") ? "" : "; give another with --name"));
          return false;
        }
        sources->push_back({path, name, fs::file_size(path, ec), {}, 0});
      }
    }
    KeepOnePerName(sources);
    return true;
  }

  size_t skipped() const { return skipped_; }

  // Names in an archive ignore the case of ASCII letters: of the sources
  // that come to one name, the first is added and the others skipped,
  // rather than replacing it unseen (--replace) or failing as already
  // stored. A file given twice is added once.
  void KeepOnePerName(std::vector<Source>* sources) {
    std::map<std::string, size_t> first;
    std::vector<Source> kept;
    for (Source& source : *sources) {
      const auto [at, fresh] = first.emplace(FoldedName(source.name), kept.size());
      if (fresh) {
        kept.push_back(std::move(source));
        continue;
      }
      const Source& earlier = kept[at->second];
      if (source.path != "-" && fs::path(source.path).lexically_normal() == fs::path(earlier.path).lexically_normal()) {
        continue;
      }
      Skip(source.path, "its name " + Quote(source.name) + " is that of " + Quote(earlier.path) +
                            " in the archive, where names ignore case");
    }
    *sources = std::move(kept);
  }

  void Skip(const std::string& path, const std::string& why) {
    FailPlain("skipped " + Quote(path) + ": " + why);
    ++skipped_;
  }

 private:
  // A file the walk found, with what the listing told of it.
  struct Walked {
    fs::path path;
    platform::FolderEntry entry;
  };

  // "-": standard input under the --name given.
  bool TakeStandardInput(std::vector<Source>* sources) {
    if (!args_.Has("name")) {
      FailPlain("adding standard input (\"-\") needs the stored name: give --name NAME");
      return false;
    }
    const std::string name = Backslashed(args_.Value("name"));
    const uint32_t problem = CheckStoredName(name.c_str());
    if (problem != NAME_FOLLOWS_RULE) {
      FailPlain("cannot add standard input as " + Quote(name) + ": " + NameRuleText(problem));
      return false;
    }
    Source source{"-", name, 0, {}};
    if (!ReadStandardInput(&source.data)) return false;
    source.size = source.data.size();
    sources->push_back(std::move(source));
    return true;
  }

  // True (reported) for what is no regular file, or a link to nothing.
  bool SkipsAsFile(const std::string& path, const fs::file_status& link, const fs::file_status& target) {
    if (fs::is_symlink(link) && !fs::exists(target)) {
      Skip(path, "a symbolic link to nothing");
      return true;
    }
    if (!fs::is_regular_file(target)) {
      Skip(path, "not a regular file (a device, pipe or socket)");
      return true;
    }
    return false;
  }

  bool IsArchive(const fs::path& path) const {
    std::error_code ec;
    return !archive_.empty() && fs::equivalent(path, archive_, ec);
  }

  // The archive is told by its identity where the listing gives one, so a
  // walk asks nothing more of the files it passes.
  bool IsWalkedArchive(const Walked& w) const {
    if (archive_.empty()) return false;
    if (knownIdentity_ && w.entry.fileId != 0) {
      return w.entry.device == archiveDevice_ && w.entry.fileId == archiveId_;
    }
    return w.entry.size == archiveSize_ && IsArchive(w.path);
  }

  // Folders' own symbolic links are not followed, so no walk loops. Each
  // entry's kind, size and time come from the listing; the file is opened
  // once, when it is added (one that does not open is skipped then).
  void Walk(const fs::path& folder, std::vector<Walked>* files) {
    std::vector<platform::FolderEntry> entries;
    if (!platform::ListFolder(folder.string().c_str(), &entries)) {
      Skip(folder.string(), "the folder cannot be read: " + ErrorText(GetLastError()));
      return;
    }
    std::sort(entries.begin(), entries.end(),
              [](const platform::FolderEntry& a, const platform::FolderEntry& b) { return a.name < b.name; });
    for (platform::FolderEntry& entry : entries) {
      const fs::path path = folder / entry.name;
      using platform::EntryKind;
      if (entry.kind == EntryKind::Folder) {
        Walk(path, files);
      } else if (entry.kind == EntryKind::Link && entry.target == EntryKind::Folder) {
        Skip(path.string(), "a symbolic link to a folder, which is not followed");
      } else if (entry.kind == EntryKind::Link && entry.target == EntryKind::Missing) {
        Skip(path.string(), "a symbolic link to nothing");
      } else if (entry.target != EntryKind::File) {
        Skip(path.string(), "not a regular file (a device, pipe or socket)");
      } else {
        files->push_back({path, std::move(entry)});
      }
    }
  }

  const Args& args_;
  fs::path archive_;
  bool knownIdentity_ = false;
  uint64_t archiveDevice_ = 0, archiveId_ = 0, archiveSize_ = 0;
  size_t skipped_ = 0;
};

// Says why a change of the name list did not happen; false.
bool ListStoreFailed(bool unreadable, const char* consequence) {
  if (unreadable) {
    Fail(std::string("the archive's \"(listfile)\" cannot be read, ") + consequence);
  } else {
    Fail("cannot store the archive's \"(listfile)\"");
  }
  return false;
}

// Adds the names to the neutral "(listfile)" in one store, as the library
// would one by one. A list that is there but cannot be read stays as it is.
bool MergeListfile(ArchiveHandle archive, const std::vector<std::string>& added) {
  std::vector<const char*> names;
  names.reserve(added.size());
  for (const std::string& name : added) names.push_back(name.c_str());
  bool unreadable = false;
  if (AddToNameList(archive, names.data(), static_cast<uint32_t>(names.size()), &unreadable)) return true;
  return ListStoreFailed(unreadable, "so it was left alone");
}

// Takes the lines of the deleted names out of the neutral "(listfile)" in
// one store, except for names some locale still holds.
bool PruneListfile(ArchiveHandle archive, const std::vector<std::string>& deleted) {
  std::vector<const char*> gone;
  for (const std::string& name : deleted) {
    if (!ArchiveHasEntry(archive, name.c_str(), ANY_LOCALE)) gone.push_back(name.c_str());
  }
  if (gone.empty()) return true;
  bool unreadable = false;
  if (RemoveFromNameList(archive, gone.data(), static_cast<uint32_t>(gone.size()), &unreadable)) return true;
  return ListStoreFailed(unreadable, "so it was left alone");
}

bool LocaleOption(const Args& args, uint32_t* locale) {
  if (!NumberOption(args, "locale", 0, locale)) return false;
  SetLocale(*locale);
  return true;
}

// A hash-table size within the bound: 1,048,576 entries, or with --force
// the most the library opens again.
bool HashSizeAllowed(const Args& args, uint32_t size, const std::string& what) {
  if (size == 0 || size > kMaxForcedHashSize) {
    FailPlain(what + " must be between 1 and " + std::to_string(kMaxForcedHashSize) + " entries");
    return false;
  }
  if (size > kMaxHashSize && !args.Has("force")) {
    FailPlain(what + " of " + std::to_string(size) + " entries is more than " + std::to_string(kMaxHashSize) +
              " (16 MiB of table); give --force to allow it");
    return false;
  }
  return true;
}

bool IsListfile(const std::string& name) { return EqualsNoCase(name, "(listfile)"); }

// Rewrites the name list's lines of a name in another letter case.
bool RecaseListed(ArchiveHandle archive, const std::string& to) {
  bool unreadable = false;
  if (RespellInNameList(archive, to.c_str(), &unreadable)) return true;
  return ListStoreFailed(unreadable, "so the new spelling cannot be kept");
}

// Fails (with the message) when the table has fewer free entries than needed.
bool HasRoom(ArchiveHandle archive, const std::string& shownPath, const Needed& needed, bool canGrow) {
  const auto [entries, inUse] = UseOfTable(archive);
  if (needed.total() <= entries - inUse) return true;
  ReportTooSmall(shownPath, true, entries, inUse, needed, canGrow);
  return false;
}

// Rebuilds the table at newSize with every name the command knows. The
// library names entries from the archive's lists itself, keeping only the
// names of stored files: the command adds only its own names, so a list of
// millions of names is never held whole.
bool Regrow(ArchiveHandle archive, const std::string& shownPath, const std::string& verb, uint32_t newSize,
            std::vector<std::string> known, const std::vector<std::string>& extra) {
  known.insert(known.end(), extra.begin(), extra.end());
  const uint32_t unnamed = UnnamedEntries(archive, known);
  if (unnamed != 0) {
    FailPlain("cannot " + verb + " the hash table of " + Quote(shownPath) + ": " + std::to_string(unnamed) +
              " stored file" + (unnamed == 1 ? " has" : "s have") +
              " no known name (give the names with --listfile); nothing was written");
    return false;
  }
  std::vector<const char*> pointers;
  pointers.reserve(known.size());
  for (const std::string& name : known) pointers.push_back(name.c_str());
  if (!SetArchiveNameList(archive, pointers.data(), static_cast<uint32_t>(pointers.size())) ||
      !ResizeHashTable(archive, newSize)) {
    Fail("cannot " + verb + " the hash table of " + Quote(shownPath));
    return false;
  }
  return true;
}

}  // namespace

int RunCreate(const Args& args) {
  uint32_t hashSize = 0;
  if (!NumberOption(args, "hash-size", kDefaultHashSize, &hashSize)) return kExitUsage;
  if (!HashSizeAllowed(args, hashSize, "--hash-size")) return kExitUsage;
  uint32_t format = 0;
  if (!NumberOption(args, "format", 0, &format)) return kExitUsage;
  if (format > 1) {
    FailPlain("--format must be 0 or 1");
    return kExitUsage;
  }
  const uint32_t disposition = (args.Has("force") ? UPDATE_CREATE_ALWAYS : 0) | (format == 1 ? UPDATE_FORMAT_1 : 0);
  WriteArchive archive(args.positional[0], disposition, hashSize);
  if (archive.get() == nullptr) return kExitFailure;
  if (args.Has("attributes")) {
    // Every digest this build can compute, and the files' times.
    const uint32_t flags = ATTRIBUTE_FILETIME | GetSupportedDigests();
    if ((flags & ATTRIBUTE_MD5) == 0) Note("note: MD5 is not supported by this build; it is not recorded");
    if (!SetArchiveAttributes(archive.get(), flags)) {
      Fail("cannot store \"(attributes)\" in " + Quote(args.positional[0]));
      return kExitFailure;
    }
  }
  if (args.verbose) Note("created " + args.positional[0] + " with " + std::to_string(hashSize) + " hash entries");
  return kExitOk;
}

// What add's options ask for.
struct AddOptions {
  Method method;
  uint32_t level = 0, hashSize = 0, locale = 0;
  uint32_t flags = 0;
  std::vector<std::string> userNames;
};

// Reads add's options: kExitOk, or the exit status after a message.
int ParseAddOptions(const Args& args, AddOptions* o) {
  if (args.Has("compress") && !ParseMethod(args.Value("compress"), &o->method)) {
    FailPlain("--compress: " + Quote(args.Value("compress")) +
              " is none of none, implode, implode-only, huffman, wave, zlib, bzip2 or a usable mask (0x01, 0x08, "
              "0x40, 0x80 together with one ADPCM bit at most; 0x02 or 0x10 alone)");
    return kExitUsage;
  }
  if (!MethodAvailable(o->method)) {
    FailPlain("--compress: " + Quote(args.Value("compress")) +
              " is not available in this build (it was made without that library); nothing was written");
    return kExitUsage;
  }
  if (!NumberOption(args, "level", 0, &o->level) ||
      !NumberOption(args, "hash-size", kDefaultHashSize, &o->hashSize) ||
      !NumberOption(args, "locale", 0, &o->locale)) {
    return kExitUsage;
  }
  if (!HashSizeAllowed(args, o->hashSize, "--hash-size")) return kExitUsage;
  uint32_t threads = 0;
  if (!NumberOption(args, "j", 0, &threads)) return kExitUsage;
  SetCompressionThreadCount(threads);
  o->flags = o->method.flags;
  if (args.Has("encrypt")) o->flags |= BLOCK_ENCRYPTED;
  if (args.Has("key-adjusted")) o->flags |= BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED;
  if (args.Has("replace")) o->flags |= ADD_REPLACE;
  if (args.Has("single-unit")) o->flags |= BLOCK_SINGLE_UNIT;
  if (args.Has("listfile") && !ReadUserList(args.Value("listfile"), &o->userNames)) return kExitFailure;
  return kExitOk;
}

// Room for every new name in an existing archive, growing its hash table
// with --grow.
bool MakeRoom(const Args& args, WriteArchive& archive, const std::string& shown, const AddOptions& o,
              const std::vector<std::string>& names, bool keepList) {
  if (!CheckTables(archive.get(), shown, false)) return false;
  const Needed needed = EntriesNeeded(archive.get(), names, o.locale, keepList);
  if (!args.Has("grow") && !HasRoom(archive.get(), shown, needed, true)) return false;
  const auto [entries, inUse] = UseOfTable(archive.get());
  if (needed.total() > entries - inUse) {
    const uint32_t size = HashSizeFor(inUse + needed.total());
    if (!HashSizeAllowed(args, size, "the hash table needed") ||
        !Regrow(archive.get(), shown, "grow", size, o.userNames, names)) {
      return false;
    }
    if (args.verbose) Note("grew the hash table from " + std::to_string(entries) + " to " + std::to_string(size) + " entries");
  }
  return true;
}

// Adds every source inside the open batch; the names added go to added.
// Files already stored are one message, not one per file: the way forward
// is the same for all of them.
void ReportAlreadyStored(const Args& args, const std::vector<std::string>& stored) {
  if (stored.empty()) return;
  const size_t n = stored.size();
  const std::string what = n == 1 ? " file is already stored in this locale and was left as it is"
                                  : " files are already stored in this locale and were left as they are";
  FailPlain(std::to_string(n) + what + "; give --replace to replace " + (n == 1 ? "it" : "them") +
            (args.verbose ? ":" : " (-v names " + std::string(n == 1 ? "it" : "them") + ")"));
  if (args.verbose) {
    for (const std::string& name : stored) FailPlain("  already stored: " + Shown(name));
  }
}

// What the library said of each source, heard in the list's order.
struct AddHeard {
  std::vector<uint32_t> errors;
  std::vector<bool> heard;
  Progress* progress;
};

void HearAdd(void* context, uint32_t index, uint32_t error) {
  auto* heard = static_cast<AddHeard*>(context);
  heard->errors[index] = error;
  heard->heard[index] = true;
  heard->progress->FileDone();
}

// A source the system would not let us read: skipped, as the walk skips
// what it cannot take.
bool IsUnreadable(uint32_t error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_FILE_NOT_FOUND || error == platform::kErrorPathNotFound ||
         error == ERROR_SHARING_VIOLATION;
}

// Adds every source in one library call, which reads, compresses and writes
// many files together; the messages follow in the sources' order.
int AddSources(const Args& args, WriteArchive& archive, const AddOptions& o, const std::vector<Source>& sources,
               uint64_t totalBytes, SourceCollector* collector, std::vector<std::string>* added) {
  int status = kExitOk;
  std::vector<std::string> stored;  // already there: told in one line
  std::vector<AddListItem> items(sources.size());
  for (size_t i = 0; i < sources.size(); ++i) {
    const Source& source = sources[i];
    const bool fromInput = source.path == "-";
    static const uint8_t none = 0;
    items[i].sourcePath = fromInput ? nullptr : source.path.c_str();
    items[i].data = fromInput ? (source.data.empty() ? &none : source.data.data()) : nullptr;
    items[i].size = fromInput ? source.data.size() : source.size;
    items[i].fileTime = source.time;
    items[i].storedName = source.name.c_str();
    items[i].methodMask = o.method.wave && !fromInput ? WaveMask(source.path) : o.method.mask;
  }
  bool ok = false;
  AddHeard heard;
  {
    Progress progress("add", sources.size(), totalBytes);
    heard = AddHeard{std::vector<uint32_t>(sources.size(), 0), std::vector<bool>(sources.size(), false), &progress};
    ok = AddFileList(archive.get(), items.data(), static_cast<uint32_t>(items.size()), o.flags, o.level, o.locale,
                     HearAdd, &heard);
  }
  const uint32_t failure = ok ? 0 : GetLastError();
  for (size_t i = 0; i < sources.size(); ++i) {
    const Source& source = sources[i];
    if (!heard.heard[i]) break;
    const uint32_t error = heard.errors[i];
    if (error == ERR_ALREADY_STORED) {
      status = kExitFailure;
      stored.push_back(source.name);
    } else if (error != 0 && IsUnreadable(error) && source.path != "-") {
      collector->Skip(source.path, "it cannot be read: " + ErrorText(error));
    } else if (error != 0) {
      status = kExitFailure;
      FailWith("cannot add " + Quote(source.path) + " as " + Quote(source.name), error);
    } else {
      added->push_back(source.name);
      if (args.verbose) {
        FileHandle file = nullptr;
        std::string sizes;
        if (ok && OpenArchiveFile(archive.get(), source.name.c_str(), 0, &file)) {
          sizes = " (" + std::to_string(GetArchiveFileInfo(file, INFO_SIZE)) + " -> " +
                  std::to_string(GetArchiveFileInfo(file, INFO_COMPRESSED_SIZE)) + " bytes)";
          CloseArchiveFile(file);
        }
        Note("added " + Shown(source.name) + sizes);
      }
    }
  }
  if (!ok) {
    status = kExitFailure;
    size_t next = 0;
    while (next < sources.size() && heard.heard[next]) ++next;
    const Source& at = sources[next < sources.size() ? next : sources.size() - 1];
    FailWith("cannot add " + Quote(at.path) + " as " + Quote(at.name), failure);
  }
  ReportAlreadyStored(args, stored);
  return status;
}

int RunAdd(const Args& args) {
  AddOptions o;
  if (const int status = ParseAddOptions(args, &o); status != kExitOk) return status;
  const std::string& shown = args.positional[0];
  const std::string absolute = AbsoluteArchivePath(shown);
  std::vector<Source> sources;
  SourceCollector collector(args, absolute);
  if (!collector.Collect(&sources)) return kExitFailure;
  if (sources.empty()) return collector.skipped() != 0 ? kExitSkipped : kExitOk;
  // Known before the archive is opened (or made): the add would fail at
  // that file after all.
  for (const Source& source : sources) {
    if (source.size > 0xFFFFFFFFu) {
      FailPlain("cannot add " + Quote(source.path) + ": it holds " + std::to_string(source.size) +
                " bytes, more than a stored file can (4 GiB); nothing was written");
      return kExitFailure;
    }
  }
  std::vector<std::string> names;
  uint64_t totalBytes = 0;
  for (const Source& source : sources) {
    names.push_back(source.name);
    totalBytes += source.size;
  }
  const bool keepList = !args.Has("no-listfile");

  // Room for every new name is made sure of before anything is written.
  std::error_code ec;
  const bool exists = fs::is_regular_file(absolute, ec) && fs::file_size(absolute, ec) != 0;
  if (!exists && !args.Has("hash-size")) {
    // The command counted what it adds: the table it creates holds it with a
    // quarter to spare, so later adds find room.
    const Needed needed = EntriesNeeded(nullptr, names, o.locale, keepList);
    uint64_t size = kDefaultHashSize;
    while (size * 3 / 4 < needed.total()) size *= 2;
    if (size > kMaxForcedHashSize) size = kMaxForcedHashSize;
    o.hashSize = static_cast<uint32_t>(size);
    if (!HashSizeAllowed(args, o.hashSize, "the hash table needed") || needed.total() > o.hashSize) {
      if (needed.total() > o.hashSize) ReportTooSmall(shown, false, o.hashSize, 0, needed, false);
      return kExitFailure;
    }
  } else if (!exists) {
    const Needed needed = EntriesNeeded(nullptr, names, o.locale, keepList);
    if (needed.total() > o.hashSize) {
      if (!args.Has("grow")) {
        ReportTooSmall(shown, false, o.hashSize, 0, needed, true);
        return kExitFailure;
      }
      o.hashSize = HashSizeFor(needed.total());
      if (!HashSizeAllowed(args, o.hashSize, "the hash table needed")) return kExitFailure;
    }
  }
  // The name list is kept here in one store at the end rather than once per
  // file by the library.
  WriteArchive archive(shown, UPDATE_OPEN_ALWAYS, o.hashSize);
  if (archive.get() == nullptr) return kExitFailure;
  if (exists && !MakeRoom(args, archive, shown, o, names, keepList)) return kExitFailure;
  if (!archive.Begin()) return kExitFailure;
  SetLocale(o.locale);
  std::vector<std::string> added;
  int status = AddSources(args, archive, o, sources, totalBytes, &collector, &added);
  if (archive.Failed()) {
    archive.Commit();
    return kExitFailure;
  }
  if (keepList && !added.empty() && !MergeListfile(archive.get(), added)) status = kExitFailure;
  if (!archive.Commit()) status = kExitFailure;
  return CombineStatus(status, collector.skipped() != 0 ? kExitSkipped : kExitOk);
}

namespace {

// The names a command's NAMEs stand for in locale: a name stored in some
// locale as it is (its own messages follow), else the names of that locale a
// pattern or folder selects, and the hash entries of the files it selects
// that no list names (#INDEX). False when a NAME selects nothing (reported).
bool ExpandNames(const Args& args, ArchiveHandle archive, uint32_t locale, std::vector<std::string>* out,
                 std::vector<uint32_t>* unnamedOut) {
  std::vector<StoredEntry> entries;
  bool listed = false, ok = true;
  for (size_t i = 1; i < args.positional.size(); ++i) {
    const std::string& arg = args.positional[i];
    if (ArchiveHasEntry(archive, arg.c_str(), ANY_LOCALE) ||
        ArchiveHasEntry(archive, Backslashed(arg).c_str(), ANY_LOCALE)) {
      out->push_back(arg);
      continue;
    }
    if (!listed) {
      std::vector<std::string> names;
      if (!ReadUserList(args.Value("listfile"), &names)) return false;
      if (!StoredEntries(archive, names, &entries)) return false;
      std::sort(entries.begin(), entries.end(), LessByName);
      listed = true;
    }
    bool found = true;
    const std::vector<StoredEntry> selected =
        SelectEntries(entries, {arg}, {}, args.Has("no-wildcards"), args.verb, locale, &found);
    size_t taken = 0;
    for (const StoredEntry& e : selected) {
      if (e.locale != locale) continue;
      if (e.name.empty()) unnamedOut->push_back(e.hashIndex);
      else out->push_back(e.name);
      ++taken;
    }
    if (found && taken == 0) NotInArchive(args.verb, arg, locale);
    ok = ok && found && taken != 0;
  }
  return ok;
}

}  // namespace

int RunDelete(const Args& args) {
  uint32_t locale = 0;
  if (!LocaleOption(args, &locale)) return kExitUsage;
  for (size_t i = 1; i < args.positional.size(); ++i) {
    if (IsListfile(args.positional[i]) && !args.Has("force")) {
      FailPlain("\"(listfile)\" holds the names of the archive's files; deleting it loses them all. "
                "Give --force to delete it all the same");
      return kExitUsage;
    }
  }
  // The name list is pruned here once, not by the library after each delete.
  // Its sectors from the first line taken out on are packed anew, on every
  // core as an add packs.
  SetCompressionThreadCount(0);
  WriteArchive archive(args.positional[0], UPDATE_OPEN_EXISTING, 0);
  if (archive.get() == nullptr || !archive.Begin()) return kExitFailure;
  int status = kExitOk;
  std::vector<std::string> typed;
  std::vector<uint32_t> unnamed;
  if (!ExpandNames(args, archive.get(), locale, &typed, &unnamed)) status = kExitFailure;
  // A file no list names goes by its hash entry; one selected twice goes once.
  std::sort(unnamed.begin(), unnamed.end());
  unnamed.erase(std::unique(unnamed.begin(), unnamed.end()), unnamed.end());
  for (const uint32_t index : unnamed) {
    const std::string shown = "#" + std::to_string(index);
    if (!DeleteArchiveEntry(archive.get(), index)) {
      status = kExitFailure;
      Fail("cannot delete " + shown);
    } else if (args.verbose) {
      Note("deleted " + shown);
    }
  }
  std::vector<std::string> deleted;
  // NAMEs may select one file more than once ("Units" and "Units/a.txt"):
  // a name this command deleted already is done, not missing. A second
  // entry of the same name still goes, one delete each.
  std::set<std::string> gone;
  const auto folded = FoldedName;
  for (const std::string& given : typed) {
    const std::string name = StoredNameFor(archive.get(), given, locale, true);
    SetLastError(ERROR_SUCCESS);
    if (DeleteArchiveFile(archive.get(), name.c_str())) {
      deleted.push_back(name);
      gone.insert(folded(name));
      if (args.verbose) Note("deleted " + Shown(name));
      continue;
    }
    if (GetLastError() == ERR_FILE_NOT_STORED && gone.count(folded(name)) != 0) continue;
    status = kExitFailure;
    if (GetLastError() == ERROR_SUCCESS) {
      FailPlain("cannot delete " + Quote(name) + ": only its neutral version is stored (use --locale 0)");
    } else if (GetLastError() == ERR_FILE_NOT_STORED) {
      NotInArchive("delete", given, locale);
    } else {
      Fail("cannot delete " + Quote(name));
    }
  }
  if (!args.Has("no-listfile") && !deleted.empty() && !PruneListfile(archive.get(), deleted)) status = kExitFailure;
  if (!archive.Commit()) status = kExitFailure;
  return status;
}

int RunRename(const Args& args) {
  uint32_t locale = 0;
  if (!LocaleOption(args, &locale)) return kExitUsage;
  const std::string& shown = args.positional[0];
  const std::string to = Backslashed(args.positional[2]);
  if ((IsListfile(args.positional[1]) || IsListfile(to)) && !args.Has("force")) {
    FailPlain("\"(listfile)\" holds the names of the archive's files; renaming it or to it loses them. "
              "Give --force to rename all the same");
    return kExitUsage;
  }
  const uint32_t problem = CheckStoredName(to.c_str());
  if (problem != NAME_FOLLOWS_RULE) {
    FailPlain("cannot rename " + Quote(args.positional[1]) + " to " + Quote(to) + ": " + NameRuleText(problem));
    return kExitFailure;
  }
  // The name list's sectors from the changed line on are packed anew, on
  // every core as an add packs.
  SetCompressionThreadCount(0);
  WriteArchive archive(shown, UPDATE_OPEN_EXISTING | ListFlags(args), 0);
  if (archive.get() == nullptr) return kExitFailure;
  const std::string from = StoredNameFor(archive.get(), args.positional[1], locale, false);
  if (!IsStored(archive.get(), from, locale)) {
    NotInArchive("rename", args.positional[1], locale);
    return kExitFailure;
  }
  if (EqualsNoCase(from, to)) {
    // Name hashes ignore case: the entry stays, only the listed spelling
    // changes.
    if (from == to) {
      FailPlain("cannot rename " + Quote(from) + ": the new name is the same");
      return kExitFailure;
    }
    if (args.Has("no-listfile")) {
      if (args.verbose) Note("nothing to change: names differing only in case are the same name");
      return kExitOk;
    }
    if (!archive.Begin() || !RecaseListed(archive.get(), to) || !archive.Commit()) return kExitFailure;
    if (args.verbose) Note("renamed " + Shown(from) + " to " + Shown(to));
    return kExitOk;
  }
  // A full table lets the old entry carry the new name; only a name list
  // that is not there yet needs an entry of its own.
  Needed needed;
  needed.list = !args.Has("no-listfile") && !IsStored(archive.get(), "(listfile)", 0) ? 1 : 0;
  if (!HasRoom(archive.get(), shown, needed, false) || !archive.Begin()) return kExitFailure;
  SetLastError(ERROR_SUCCESS);
  if (!RenameArchiveFile(archive.get(), from.c_str(), to.c_str())) {
    if (GetLastError() == ERROR_SUCCESS || GetLastError() == ERR_ALREADY_STORED) {
      FailPlain("cannot rename " + Quote(from) + ": " + Quote(to) + " is already stored in this locale");
    } else {
      Fail("cannot rename " + Quote(from) + " to " + Quote(to));
    }
    return kExitFailure;
  }
  if (!archive.Commit()) return kExitFailure;
  if (args.verbose) Note("renamed " + Shown(from) + " to " + Shown(to));
  return kExitOk;
}

int RunSetLocale(const Args& args) {
  uint32_t from = 0, to = 0;
  if (!ParseNumber(args.positional[2], &from) || !ParseNumber(args.positional[3], &to)) {
    FailPlain("locales are numbers, decimal or 0x-hexadecimal");
    return kExitUsage;
  }
  const std::string& shown = args.positional[0];
  WriteArchive archive(shown, UPDATE_OPEN_EXISTING, 0);
  if (archive.get() == nullptr) return kExitFailure;
  const std::string name = StoredNameFor(archive.get(), args.positional[1], from, false);
  if (!IsStored(archive.get(), name, from)) {
    NotInArchive("move", args.positional[1], from);
    return kExitFailure;
  }
  if (from == to) {
    FailPlain("the two locales are the same");
    return kExitFailure;
  }
  if (!archive.Begin()) return kExitFailure;
  SetLastError(ERROR_SUCCESS);
  if (!SetArchiveFileLocale(archive.get(), name.c_str(), from, to)) {
    if (GetLastError() != ERROR_SUCCESS) Fail("cannot move " + Quote(name) + " to locale " + args.positional[3]);
    else FailPlain("cannot move " + Quote(name) + ": it is already stored in locale " + args.positional[3]);
    return kExitFailure;
  }
  if (!archive.Commit()) return kExitFailure;
  if (args.verbose) Note("moved " + Shown(name) + " to locale " + args.positional[3]);
  return kExitOk;
}

int RunCompact(const Args& args) {
  std::vector<std::string> userNames;
  if (args.Has("listfile") && !ReadUserList(args.Value("listfile"), &userNames)) return kExitFailure;
  const std::string& shown = args.positional[0];
  WriteArchive archive(shown, UPDATE_OPEN_EXISTING, 0);
  if (archive.get() == nullptr) return kExitFailure;
  // The extended header's size field is capped at 4 GiB and not trusted.
  const auto size = [&archive]() -> uint64_t {
    ArchiveFacts facts{};
    GetArchiveFacts(archive.get(), FACTS_TABLES, &facts);
    return facts.archiveSize;
  };
  if (!CheckTables(archive.get(), shown, false)) {
    FailPlain("a damaged archive is not compacted; it is unchanged");
    return kExitFailure;
  }
  std::vector<const char*> pointers;
  for (const std::string& name : userNames) pointers.push_back(name.c_str());
  if (!SetArchiveNameList(archive.get(), pointers.data(), static_cast<uint32_t>(pointers.size()))) {
    Fail("cannot keep the names of " + Quote(args.Value("listfile")));
    return kExitFailure;
  }
  // What compaction copies: the blocks in use.
  ArchiveFacts facts{};
  GetArchiveFacts(archive.get(), FACTS_TABLES | FACTS_SPACE, &facts);
  const uint64_t totalBytes = facts.fileDataBytes;
  // The copy is made whole beside the archive: it must fit there first.
  uint64_t needed = 0, available = 0;
  if (GetCompactionRoom(archive.get(), &needed, &available) && needed > available) {
    FailPlain("cannot compact " + Quote(shown) + ": the compacted copy needs " + std::to_string(needed) +
              " bytes of free space beside it, and " + std::to_string(available) +
              " are free; the archive is unchanged");
    return kExitFailure;
  }
  const uint64_t before = size();
  bool ok = false;
  {
    Progress progress("compact", facts.blocksUsed, totalBytes);
    ok = CompactArchive(archive.get());
  }
  if (!ok) {
    if (GetLastError() == ERROR_FILE_INVALID) {
      Fail("cannot compact: an encrypted file would have to move, but its key cannot be found "
           "(its name is in no list; give it with --listfile); the archive is unchanged");
    } else {
      Fail("cannot compact " + Quote(shown));
    }
    return kExitFailure;
  }
  if (GetArchiveUpdateNotes(archive.get()) & UPDATE_NOTE_OWNER_NOT_KEPT) {
    FailPlain("note: the compacted " + Quote(shown) +
              " belongs to this user now: the system refused to give it its former owner");
  }
  if (args.verbose) {
    Note("compacted " + shown + ": " + std::to_string(before) + " -> " + std::to_string(size()) + " bytes");
  }
  return kExitOk;
}

int RunResize(const Args& args) {
  uint32_t size = 0;
  if (!ParseNumber(args.positional[1], &size)) {
    FailPlain(Quote(args.positional[1]) + " is no number of entries");
    return kExitUsage;
  }
  if (!HashSizeAllowed(args, size, "the hash table")) return kExitUsage;
  std::vector<std::string> userNames;
  if (args.Has("listfile") && !ReadUserList(args.Value("listfile"), &userNames)) return kExitFailure;
  const std::string& shown = args.positional[0];
  WriteArchive archive(shown, UPDATE_OPEN_EXISTING, 0);
  if (archive.get() == nullptr) return kExitFailure;
  if (!CheckTables(archive.get(), shown, false)) return kExitFailure;
  const auto [before, inUse] = UseOfTable(archive.get());
  if (inUse > size) {
    FailPlain("cannot resize the hash table of " + Quote(shown) + " to " + std::to_string(size) + " entries: " +
              std::to_string(inUse) + " are in use");
    return kExitFailure;
  }
  if (!Regrow(archive.get(), shown, "resize", size, userNames, {})) return kExitFailure;
  if (args.verbose) {
    Note("resized the hash table of " + shown + " from " + std::to_string(before) + " to " + std::to_string(size) +
         " entries");
  }
  return kExitOk;
}

}  // namespace sorvane
