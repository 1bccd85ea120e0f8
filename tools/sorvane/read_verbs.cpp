// The verbs that only read: list, info, extract, verify.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <set>

#include "platform/bytes.h"
#include "platform/output_file.h"
#include "platform/platform.h"
#include "attributes.h"
#include "cli.h"
#include "guide.h"
#include "names.h"
#include "json.h"
#include "ordered_work.h"
#include "select.h"

namespace sorvane {

namespace {

namespace fs = std::filesystem;

// Closes the archive when the verb ends.
class ReadArchive {
 public:
  explicit ReadArchive(const std::string& path) {
    const std::string absolute = AbsoluteArchivePath(path);
    if (IsEmptyFile(absolute)) {
      FailPlain("cannot open archive " + Quote(path) + ": the file is empty, not an archive");
      return;
    }
    if (IsFolder(absolute)) {
      FailPlain("cannot open archive " + Quote(path) + ": it is a folder, not an archive");
      return;
    }
    const OpenOutcome outcome = OpenSharing(path, [&] { return OpenArchive(absolute.c_str(), 0, 0, &archive_); });
    if (outcome == OpenOutcome::Busy) {
      archive_ = nullptr;
    } else if (outcome == OpenOutcome::Failed) {
      if (GetLastError() == ERROR_NOT_SUPPORTED) {
        FailPlain("cannot open archive " + Quote(path) + ": its header is of format version 2 or later and it has no "
                  "classic hash table; only archives that keep one can be read");
      } else {
        Fail("cannot open archive " + Quote(path));
      }
      archive_ = nullptr;
    }
  }
  ~ReadArchive() {
    if (archive_ != nullptr) CloseArchive(archive_);
  }
  ArchiveHandle get() const { return archive_; }

 private:
  ArchiveHandle archive_ = nullptr;
};

std::string FlagWords(uint32_t flags) {
  std::string words;
  auto add = [&words](const char* w) {
    if (!words.empty()) words += ',';
    words += w;
  };
  if (flags & BLOCK_COMPRESSED) add("compressed");
  else if (flags & BLOCK_IMPLODED) add("imploded");
  if (flags & BLOCK_ENCRYPTED) add("encrypted");
  if (flags & BLOCK_KEY_ADJUSTED) add("key-adjusted");
  if (flags & BLOCK_SINGLE_UNIT) add("single-unit");
  else if ((flags & BLOCK_SECTOR_CRC) && (flags & (BLOCK_COMPRESSED | BLOCK_IMPLODED))) add("checksums");
  if ((flags & BLOCK_EXISTS) == 0) add("missing");
  if (words.empty()) words = "stored";
  return words;
}

// The compression methods of an entry's sectors, in the order the decoder
// undoes them; "stored" where a sector kept its bytes as they are.
std::string MethodWords(uint32_t methods) {
  if (methods == 0xFFFFFFFFu) return "?";
  if (methods == 0) return "-";
  static const struct {
    uint32_t bit;
    const char* word;
  } kMethods[] = {{COMP_BZIP2, "bzip2"},          {COMP_IMPLODE, "implode"},
                  {COMP_ZLIB, "zlib"},            {COMP_HUFFMAN, "huffman"},
                  {COMP_ADPCM_STEREO, "adpcm-stereo"}, {COMP_ADPCM_MONO, "adpcm-mono"},
                  {METHOD_SECTOR_STORED, "stored"}};
  std::string words;
  for (const auto& m : kMethods) {
    if ((methods & m.bit) == 0) continue;
    if (!words.empty()) words += '+';
    words += m.word;
    methods &= ~m.bit;
  }
  if (methods != 0) {
    char unknown[16];
    std::snprintf(unknown, sizeof unknown, "%s0x%X", words.empty() ? "" : "+", methods);
    words += unknown;
  }
  return words;
}

// Reads a stored file through into its output file, which Commit puts in
// place only when every byte was read and written; the bytes go out in
// pieces of the buffer's size, each counted as it is written.
template <class Counted>
bool CopyOut(FileHandle file, platform::OutputFile& out, std::vector<uint8_t>& buffer, uint64_t* written,
             Counted counted) {
  // 0xFFFFFFFF is also the largest size a file can have: only with an
  // error set is it the query's failure.
  SetLastError(0);
  uint32_t remaining = GetArchiveFileSize(file, nullptr);
  bool ok = remaining != 0xFFFFFFFFu || GetLastError() == 0;
  *written = 0;
  while (ok && remaining != 0) {
    const uint32_t want = std::min<uint32_t>(remaining, static_cast<uint32_t>(buffer.size()));
    uint32_t got = 0;
    ok = ReadArchiveFile(file, buffer.data(), want, &got, nullptr) && got == want;
    if (ok && got == 0) break;
    if (!ok && GetLastError() == 0) SetLastError(ERROR_FILE_CORRUPT);
    ok = ok && out.Write(buffer.data(), got);
    remaining -= got;
    *written += got;
    counted(got);
  }
  if (!ok) {
    out.Abort();
    return false;
  }
  return out.Commit();
}

bool UserLocale(const Args& args, uint32_t* locale) {
  *locale = 0;
  if (!args.Has("locale")) return true;
  if (ParseNumber(args.Value("locale"), locale)) return true;
  FailPlain(Quote(args.Value("locale")) + " is no locale id (decimal or 0x-hexadecimal)");
  return false;
}

}  // namespace

std::string AbsoluteArchivePath(const std::string& path) {
  std::error_code ec;
  const std::string absolute = fs::absolute(fs::path(path), ec).string();
  // The library keeps paths of fewer than 260 characters; a relative one that
  // fits is better than an absolute one that does not.
  if (ec || absolute.size() > ARCHIVE_MAX_PATH) return path;
  return absolute;
}

namespace {

std::vector<std::string> FlagList(uint32_t flags) {
  std::vector<std::string> words;
  std::string all = FlagWords(flags);
  for (size_t start = 0; start <= all.size();) {
    const size_t comma = std::min(all.find(',', start), all.size());
    words.push_back(all.substr(start, comma - start));
    start = comma + 1;
  }
  return words;
}

void ListTable(const std::vector<StoredEntry>& entries, bool verbose) {
  // The Methods column is as wide as its widest value, so Name never shifts.
  size_t width = 27;
  for (const StoredEntry& e : entries) width = std::max(width, MethodWords(e.methods).size());
  const int w = static_cast<int>(width);
  std::printf("%12s %12s %6s  %-7s %-34s %-*s %s\n", "Size", "Stored", "Ratio", "Locale", "Flags", w, "Methods",
              "Name");
  uint64_t totalSize = 0, totalStored = 0;
  for (const StoredEntry& e : entries) {
    if (!e.blockValid) {
      std::printf("%12s %12s %6s  %-7s %-34s %-*s %s\n", "?", "?", "", LocaleText(e.locale).c_str(), "no-block", w,
                  "?", DisplayName(e).c_str());
      continue;
    }
    char ratio[16] = "-";
    if (e.block.fileSize != 0) {
      std::snprintf(ratio, sizeof ratio, "%u%%",
                    static_cast<unsigned>(static_cast<uint64_t>(e.extent) * 100 / e.block.fileSize));
    }
    std::printf("%12u %12u %6s  %-7s %-34s %-*s %s\n", e.block.fileSize, e.extent, ratio,
                LocaleText(e.locale).c_str(), FlagWords(e.block.flags).c_str(), w, MethodWords(e.methods).c_str(),
                DisplayName(e).c_str());
    totalSize += e.block.fileSize;
    totalStored += e.extent;
  }
  if (verbose) {
    std::printf("%zu files, %llu bytes, %llu stored\n", entries.size(), static_cast<unsigned long long>(totalSize),
                static_cast<unsigned long long>(totalStored));
  }
}

void ListJson(const std::string& path, const std::vector<StoredEntry>& entries) {
  JsonWriter json(stdout);
  json.BeginObject();
  json.String("archive", path);
  json.BeginArray("entries");
  uint64_t totalSize = 0, totalStored = 0;
  for (const StoredEntry& e : entries) {
    json.BeginObject();
    json.Name(e.name.empty() ? DisplayName(e) : e.name);
    json.Number("hash_index", e.hashIndex);
    json.Number("locale", e.locale);
    json.Bool("name_known", !e.name.empty());
    json.Bool("has_block", e.blockValid);
    json.Number("size", e.blockValid ? e.block.fileSize : 0);
    json.Number("stored", e.blockValid ? e.extent : 0);
    json.Number("flags_value", e.block.flags);
    json.BeginArray("flags");
    for (const std::string& w : FlagList(e.blockValid ? e.block.flags : 0)) json.String(nullptr, w);
    json.EndArray();
    json.Number("methods_value", e.methods);
    json.BeginArray("methods");
    const std::string methods = MethodWords(e.methods);
    for (size_t start = 0; methods != "-" && start <= methods.size();) {
      const size_t plus = std::min(methods.find('+', start), methods.size());
      json.String(nullptr, methods.substr(start, plus - start));
      start = plus + 1;
    }
    json.EndArray();
    json.EndObject();
    totalSize += e.blockValid ? e.block.fileSize : 0;
    totalStored += e.blockValid ? e.extent : 0;
  }
  json.EndArray();
  json.Number("files", entries.size());
  json.Number("bytes", totalSize);
  json.Number("stored", totalStored);
  json.EndObject();
  json.Finish();
}

}  // namespace

int RunList(const Args& args) {
  uint32_t locale = 0;
  if (!UserLocale(args, &locale)) return kExitUsage;
  ReadArchive archive(args.positional[0]);
  if (archive.get() == nullptr) return kExitFailure;
  if (!CheckTables(archive.get(), args.positional[0], true)) return kExitFailure;
  std::vector<std::string> names;
  if (!ReadUserList(args.Value("listfile"), &names)) return kExitFailure;
  std::vector<StoredEntry> entries;
  if (!StoredEntries(archive.get(), names, &entries)) return kExitFailure;
  std::sort(entries.begin(), entries.end(), LessByName);
  bool allFound = true;
  // --locale lists that language version alone: a NAME selects among its
  // files, so one stored only in other locales is reported, not shown empty.
  if (args.Has("locale")) {
    std::erase_if(entries, [locale](const StoredEntry& e) { return e.locale != locale; });
  }
  if (args.positional.size() > 1 || args.Has("exclude")) {
    entries = SelectEntries(entries, {args.positional.begin() + 1, args.positional.end()}, args.All("exclude"),
                            args.Has("no-wildcards"), "list", locale, &allFound);
  }
  if (args.Has("json")) {
    ListJson(args.positional[0], entries);
  } else if (args.Has("1")) {
    for (const StoredEntry& e : entries) std::printf("%s\n", DisplayName(e).c_str());
  } else {
    ListTable(entries, args.verbose);
  }
  return allFound ? kExitOk : kExitFailure;
}

namespace {

// Info's last lines: the bytes behind the archive's end and "(attributes)".
void PrintTail(const ArchiveFacts& f) {
  std::printf("past the end:   %llu bytes%s\n", static_cast<unsigned long long>(f.bytesPastEnd),
              f.bytesPastEnd != 0
                  ? ", which no state uses (left by an update that failed); the next update cuts them"
                  : "");
  std::printf("attributes:     %s\n", DescribeAttributes(f).c_str());
}

// Info's first lines: what the header says.
void PrintHeader(const std::string& shown, const ArchiveFacts& f) {
  char signature[16];
  std::snprintf(signature, sizeof signature, "%c%c%c\\x%02X", f.signature[0], f.signature[1], f.signature[2],
                f.signature[3]);
  std::printf("archive:        %s\n", shown.c_str());
  if (f.hasUserData) {
    std::printf("user data:      at %llu, %u bytes of user data, header %u bytes, archive %llu bytes after it\n",
                static_cast<unsigned long long>(f.userDataPos), f.userDataSize, f.userDataHeaderSize,
                static_cast<unsigned long long>(f.headerOffset - f.userDataPos));
  } else {
    std::printf("user data:      none\n");
  }
  std::printf("header offset:  %llu\n", static_cast<unsigned long long>(f.headerOffset));
  std::printf("signature:      %s\n", signature);
  std::printf("header size:    %u\n", f.headerSize);
  if (f.extended) {
    std::printf("archive size:   %llu (the header says %u)\n", static_cast<unsigned long long>(f.archiveSize),
                f.headerArchiveSize);
  } else {
    std::printf("archive size:   %u\n", f.headerArchiveSize);
  }
  std::printf("format version: %u%s\n", f.formatVersion,
              f.extended ? " (extended header: 64-bit positions)" : " (classic header: 32-bit positions)");
  std::printf("sector size:    %u (shift %u)\n", f.sectorSize, f.sectorSizeShift);
}

}  // namespace

namespace {

// Every fact info prints, by the names of the library's record.
void InfoJson(const std::string& path, const ArchiveFacts& f, bool tablesFit) {
  JsonWriter json(stdout);
  json.BeginObject();
  json.String("archive", path);
  json.Bool("tables_fit", tablesFit);
  char signature[16];
  std::snprintf(signature, sizeof signature, "%02x%02x%02x%02x", f.signature[0], f.signature[1], f.signature[2],
                f.signature[3]);
  json.String("signature_hex", signature);
  const struct {
    const char* key;
    uint64_t value;
  } numbers[] = {{"header_offset", f.headerOffset}, {"header_size", f.headerSize},
                 {"header_archive_size", f.headerArchiveSize}, {"archive_size", f.archiveSize},
                 {"format_version", f.formatVersion}, {"sector_size", f.sectorSize},
                 {"sector_size_shift", f.sectorSizeShift}, {"file_size", f.fileSize},
                 {"bytes_past_end", f.bytesPastEnd}, {"hash_table_pos", f.hashTablePos},
                 {"hash_table_entries", f.hashTableEntries}, {"hash_used", f.hashUsed},
                 {"hash_deleted", f.hashDeleted}, {"hash_empty", f.hashEmpty},
                 {"block_table_pos", f.blockTablePos}, {"block_table_entries", f.blockTableEntries},
                 {"blocks_used", f.blocksUsed}, {"high_offset_table_pos", f.highOffsetTablePos},
                 {"high_blocks", f.highBlocks}, {"files", f.hashUsed}, {"file_data_bytes", f.fileDataBytes},
                 {"dead_bytes", f.deadBytes}, {"attributes_flags", f.attributesFlags},
                 {"attributes_count", f.attributesCount}};
  json.Bool("extended", f.extended != 0);
  json.Bool("has_high_offsets", f.hasHighOffsets != 0);
  for (const auto& n : numbers) json.Number(n.key, n.value);
  if (f.hasUserData) {
    json.BeginObject("user_data");
    json.Number("position", f.userDataPos);
    json.Number("size", f.userDataSize);
    json.Number("header_size", f.userDataHeaderSize);
    json.EndObject();
  } else {
    json.Null("user_data");
  }
  json.String("attributes", tablesFit ? DescribeAttributes(f) : "");
  json.EndObject();
  json.Finish();
}

}  // namespace

int RunInfo(const Args& args) {
  ReadArchive archive(args.positional[0]);
  if (archive.get() == nullptr) return kExitFailure;
  ArchiveFacts f{};
  if (!GetArchiveFacts(archive.get(), FACTS_TABLES, &f)) {
    Fail("cannot read " + Quote(args.positional[0]));
    return kExitFailure;
  }
  if (args.Has("json")) {
    const bool fit = CheckTables(archive.get(), args.positional[0], true);
    if (fit && !GetArchiveFacts(archive.get(), FACTS_TABLES | FACTS_SPACE | FACTS_ATTRIBUTES, &f)) {
      Fail("cannot read " + Quote(args.positional[0]));
      return kExitFailure;
    }
    InfoJson(args.positional[0], f, fit);
    return fit ? kExitOk : kExitFailure;
  }
  PrintHeader(args.positional[0], f);
  // What the tables say is worth showing only when they fit the file.
  std::fflush(stdout);
  if (!CheckTables(archive.get(), args.positional[0], true)) return kExitFailure;
  if (!GetArchiveFacts(archive.get(), FACTS_TABLES | FACTS_SPACE | FACTS_ATTRIBUTES, &f)) {
    Fail("cannot read " + Quote(args.positional[0]));
    return kExitFailure;
  }
  std::printf("hash table:     offset %llu, %u entries: %u in use, %u deleted, %u empty\n",
              static_cast<unsigned long long>(f.hashTablePos), f.hashTableEntries, f.hashUsed, f.hashDeleted,
              f.hashEmpty);
  std::printf("block table:    offset %llu, %u entries: %u in use, %u unused\n",
              static_cast<unsigned long long>(f.blockTablePos), f.blockTableEntries, f.blocksUsed,
              f.blockTableEntries - f.blocksUsed);
  if (f.hasHighOffsets) {
    std::printf("high offsets:   offset %llu, %u entries, %u blocks at 4 GiB or beyond\n",
                static_cast<unsigned long long>(f.highOffsetTablePos), f.blockTableEntries, f.highBlocks);
  } else if (f.extended) {
    std::printf("high offsets:   none\n");
  }
  std::printf("files:          %u\n", f.hashUsed);
  std::printf("file data:      %llu bytes\n", static_cast<unsigned long long>(f.fileDataBytes));
  std::printf("dead space:     %llu bytes\n", static_cast<unsigned long long>(f.deadBytes));
  PrintTail(f);
  return kExitOk;
}

namespace {

struct ExtractJob {
  std::string name;  // stored name, or "#index"
  std::string path;  // where it goes below the output folder (stored form)
  uint32_t locale = 0;
  bool byIndex = false;
  uint32_t index = 0;
};

// What an extract leaves out: other language versions of names written.
struct LeftOut {
  std::vector<StoredEntry> versions;
};

std::string LocaleFolder(uint32_t locale) {
  char folder[32];
  std::snprintf(folder, sizeof folder, "locale-%04X\\", locale);
  return folder;
}

ExtractJob JobFor(const StoredEntry& e, const std::string& folder) {
  ExtractJob job;
  job.name = e.name.empty() ? DisplayName(e) : e.name;
  job.path = folder + job.name;
  job.locale = e.locale;
  job.byIndex = e.name.empty();
  job.index = e.hashIndex;
  return job;
}

// What to write: each selected name once, in the version --locale names (or
// the neutral one, or its only one); its other versions under locale-XXXX/
// with --all-locales, else counted in *left.
bool PlanExtract(const Args& args, ArchiveHandle archive, uint32_t locale, std::vector<ExtractJob>* jobs,
                 uint64_t* totalBytes, LeftOut* left, bool* allFound) {
  std::vector<std::string> names;
  if (!ReadUserList(args.Value("listfile"), &names)) return false;
  // Extraction needs no sector tables here: each file's own read finds them.
  std::vector<StoredEntry> entries;
  if (!StoredEntries(archive, names, &entries, kEntriesNoLayout | kEntriesFilesOnly)) return false;
  std::sort(entries.begin(), entries.end(), LessByName);
  const std::vector<StoredEntry> selected =
      SelectEntries(entries, {args.positional.begin() + 1, args.positional.end()}, args.All("exclude"),
                    args.Has("no-wildcards"), "extract", locale, allFound);
  // Versions of one name are neighbours: the sort puts names first, then locales.
  for (size_t i = 0; i < selected.size();) {
    size_t end = i + 1;
    while (!selected[i].name.empty() && end < selected.size() && EqualsNoCase(selected[end].name, selected[i].name)) {
      ++end;
    }
    std::vector<const StoredEntry*> versions;
    for (size_t k = i; k < end; ++k) versions.push_back(&selected[k]);
    const size_t chosen = PreferredVersion(versions, args.Has("locale"), locale);
    for (size_t k = 0; k < versions.size(); ++k) {
      const StoredEntry& e = *versions[k];
      if (k != chosen && !args.Has("all-locales")) {
        left->versions.push_back(e);
        continue;
      }
      jobs->push_back(JobFor(e, k == chosen ? "" : LocaleFolder(e.locale)));
      if (e.blockValid) *totalBytes += e.block.fileSize;
    }
    i = end;
  }
  return true;
}

// One extract run's settings, the same for every thread.
struct ExtractSettings {
  const Args& args;
  ArchiveHandle archive;
  fs::path root;
  bool skipOld = false, keepOld = false;
};

// What one thread writes with: its own walk of the output tree and its own
// buffer (bounded: files larger than it go out in pieces).
struct ExtractThread {
  explicit ExtractThread(platform::FolderHandle root)
      : tree(root, root == nullptr ? platform::GetLastError() : 0, "") {}
  platform::OutputTree tree;
  std::vector<uint8_t> buffer = std::vector<uint8_t>(kExtractBuffer);
  static constexpr size_t kExtractBuffer = 256 << 10;
};

// What became of one job, to be told in the order of the jobs.
struct ExtractOutcome {
  std::vector<Message> messages;
  bool failed = false;
  bool extracted = false, kept = false;
};

// Writes one opened file below the output folder; false after a message.
template <class Counted>
bool WriteOut(const ExtractSettings& o, ExtractThread& t, const ExtractJob& job, FileHandle file,
              ExtractOutcome* outcome, Counted counted) {
  std::string relative = job.path;
  std::replace(relative.begin(), relative.end(), '\\', '/');
  const fs::path target = o.root / fs::path(relative);
  platform::OutputFile out;
  std::string link;
  const platform::OutputStart start = out.Begin(t.tree, job.path, !o.skipOld && !o.keepOld, &link);
  uint64_t written = 0;
  if (start == platform::OutputStart::Link) {
    std::replace(link.begin(), link.end(), '\\', '/');
    FailPlain("refusing " + Quote(job.name) + ": " + Quote((o.root / fs::path(link)).string()) +
              " is a symbolic link; nothing is written through it");
    return false;
  }
  if (start == platform::OutputStart::Exists && o.skipOld) {
    outcome->kept = true;
    if (o.args.verbose) Note("kept " + Shown(target.string()) + " (it exists)");
    return true;
  }
  if (start == platform::OutputStart::Exists) {
    FailPlain("not extracting " + Quote(job.name) + ": " + Quote(target.string()) + " exists (--keep-old-files)");
    return false;
  }
  if (start != platform::OutputStart::Ready || !CopyOut(file, out, t.buffer, &written, counted)) {
    Fail("cannot extract " + Quote(job.name) + " to " + Quote(target.string()));
    return false;
  }
  outcome->extracted = true;
  if (o.args.verbose) Note("extracted " + Shown(job.path) + " (" + std::to_string(written) + " bytes)");
  return true;
}

// One job from start to end, on any thread; its messages are kept in the
// outcome.
template <class Counted>
ExtractOutcome ExtractOne(const ExtractSettings& o, ExtractThread& t, const ExtractJob& job, Counted counted) {
  ExtractOutcome outcome;
  const MessageCapture capture(&outcome.messages);
  if (!IsSafeStoredName(job.name)) {
    FailPlain("refusing " + Quote(job.name) + ": it would be written outside the output folder");
    outcome.failed = true;
    return outcome;
  }
  FileHandle file = nullptr;
  if (!OpenStoredEntry(o.archive, job.name, job.locale, job.index, job.byIndex, &file)) {
    Fail("cannot open " + Quote(job.name));
    outcome.failed = true;
    return outcome;
  }
  outcome.failed = !WriteOut(o, t, job, file, &outcome, counted);
  CloseArchiveFile(file);
  return outcome;
}

// --stdout: the jobs' bytes one after the other, nothing else.
int ExtractToStandardOutput(ArchiveHandle archive, const std::vector<ExtractJob>& jobs) {
  platform::UseBinaryStandardStreams();
  std::vector<uint8_t> buffer(1 << 20);
  int status = kExitOk;
  for (const ExtractJob& job : jobs) {
    FileHandle file = nullptr;
    if (!OpenStoredEntry(archive, job.name, job.locale, job.index, job.byIndex, &file)) {
      Fail("cannot open " + Quote(job.name));
      status = kExitFailure;
      continue;
    }
    for (;;) {
      uint32_t got = 0;
      if (!ReadArchiveFile(file, buffer.data(), static_cast<uint32_t>(buffer.size()), &got, nullptr)) {
        Fail("cannot read " + Quote(job.name));
        status = kExitFailure;
        break;
      }
      if (got == 0) break;
      if (std::fwrite(buffer.data(), 1, got, stdout) != got) {
        CloseArchiveFile(file);
        return kExitFailure;  // the closing check of standard output says why
      }
    }
    CloseArchiveFile(file);
  }
  return status;
}

// -j N: how many threads write files (0 or none given: one per processor).
bool ExtractThreads(const Args& args, uint32_t* threads) {
  *threads = 0;
  if (args.Has("j") && !ParseNumber(args.Value("j"), threads)) {
    FailPlain("-j: " + Quote(args.Value("j")) + " is no number of threads");
    return false;
  }
  if (*threads == 0) *threads = platform::ProcessorCount();
  *threads = std::min(*threads, kMaxWorkThreads);
  return true;
}

int ExtractToFolder(const Args& args, ArchiveHandle archive, const std::vector<ExtractJob>& jobs,
                    uint64_t totalBytes, uint32_t threads) {
  const fs::path root = args.Has("C") ? fs::path(args.Value("C")) : fs::path(".");
  const bool skipOld = args.Has("skip-old-files");
  // The folder given is followed wherever it leads, as the user chose it;
  // below it nothing is written through a link.
  std::error_code made;
  fs::create_directories(root, made);
  platform::FolderHandle rootFolder = platform::OpenFolder(root.string().c_str());
  if (rootFolder == nullptr) {
    Fail("cannot open the output folder \"" + root.string() + "\"");
    return kExitFailure;
  }
  ExtractSettings settings{args, archive, root};
  settings.skipOld = skipOld;
  settings.keepOld = args.Has("k") || args.Has("keep-old-files");

  // Files whose places could meet (one name twice in other letter cases, a
  // file where another needs a folder) go one after the other on one
  // thread, as a run on one thread would write them.
  std::vector<std::string> paths;
  paths.reserve(jobs.size());
  for (const ExtractJob& job : jobs) paths.push_back(job.path);
  const WorkUnits units = threads > 1 ? UnitsByOutputPath(paths) : SingleUnits(jobs.size());
  paths = {};
  threads = static_cast<uint32_t>(std::min<size_t>(threads, units.Count()));
  // Each thread walks the tree from a handle of its own to the same folder.
  std::vector<std::unique_ptr<ExtractThread>> workers;
  workers.push_back(std::make_unique<ExtractThread>(rootFolder));
  while (workers.size() < threads) {
    platform::FolderHandle copy = platform::DuplicateFolder(rootFolder);
    if (copy == nullptr) break;  // no more handles: fewer threads
    workers.push_back(std::make_unique<ExtractThread>(copy));
  }
  threads = static_cast<uint32_t>(workers.size());

  int status = kExitOk;
  uint64_t extracted = 0, kept = 0;
  Progress progress("extract", jobs.size(), totalBytes);
  std::atomic<uint64_t> bytesWritten{0};  // not yet given to the progress display
  InOrder<ExtractOutcome> run(units, 64 * static_cast<size_t>(std::max(threads, 1u)));
  auto counted = [&](uint64_t bytes) {
    bytesWritten += bytes;
    run.IfFree([&] { progress.AddBytes(bytesWritten.exchange(0)); });
  };
  run.Run(
      threads, [&](size_t i, uint32_t t) { return ExtractOne(settings, *workers[t], jobs[i], counted); },
      [&](size_t, ExtractOutcome& outcome) {
        ShowMessages(outcome.messages);
        if (outcome.failed) status = kExitFailure;
        extracted += outcome.extracted ? 1 : 0;
        kept += outcome.kept ? 1 : 0;
        progress.AddBytes(bytesWritten.exchange(0));
        progress.FileDone();
      });
  workers.clear();
  if (args.verbose || skipOld) {
    Note(std::to_string(extracted) + " files extracted" +
         (skipOld ? ", " + std::to_string(kept) + " existing files kept" : std::string()));
  }
  return status;
}

// Nothing is left out without a word: the versions not written are counted
// (and, verbose, named).
void ReportLeftOut(const Args& args, const LeftOut& left) {
  if (left.versions.empty()) return;
  if (args.verbose) {
    for (const StoredEntry& e : left.versions) {
      Note("not written: " + Shown(e.name) + " (locale " + LocaleText(e.locale) + ")");
    }
  }
  const size_t n = left.versions.size();
  Note(std::to_string(n) + (n == 1 ? " version" : " versions") +
       " in other locales not written; give --all-locales");
}

}  // namespace

int RunExtract(const Args& args) {
  uint32_t locale = 0;
  if (!UserLocale(args, &locale)) return kExitUsage;
  if (args.Has("skip-old-files") && (args.Has("k") || args.Has("keep-old-files"))) {
    FailPlain("--skip-old-files and --keep-old-files exclude each other");
    return kExitUsage;
  }
  uint32_t threads = 1;
  if (!ExtractThreads(args, &threads)) return kExitUsage;
  const bool toStdout = args.Has("O") || args.Has("stdout");
  if (toStdout) SetNotesToStandardError();
  ReadArchive archive(args.positional[0]);
  if (archive.get() == nullptr) return kExitFailure;
  std::vector<ExtractJob> jobs;
  uint64_t totalBytes = 0;
  LeftOut left;
  bool allFound = true;
  if (!PlanExtract(args, archive.get(), locale, &jobs, &totalBytes, &left, &allFound)) return kExitFailure;
  const int status = toStdout ? ExtractToStandardOutput(archive.get(), jobs)
                              : ExtractToFolder(args, archive.get(), jobs, totalBytes, threads);
  ReportLeftOut(args, left);
  return allFound ? status : kExitFailure;
}

namespace {

struct Verified {
  StoredEntry entry;
  ArchiveVerifyResult result;
};

struct VerifyCounts {
  size_t damaged = 0, unchecked = 0, mismatched = 0;
};

// Why a file that does not decode is damaged (or not checked).
std::string Problem(const ArchiveVerifyResult& r) {
  switch (r.reason) {
    case VERIFY_NO_BLOCK:
      return "its hash entry names no block";
    case VERIFY_NO_KEY:
      return "its key cannot be found";
    case VERIFY_CANNOT_OPEN:
      return "it cannot be opened: " + ErrorText(r.error);
    default: {
      const std::string where = r.sector != 0xFFFFFFFFu ? "sector " + std::to_string(r.sector) : "data";
      return where + " does not read: " + ErrorText(r.error);
    }
  }
}

// Says what is wrong with one entry (or, verbose, that it is whole).
void Report(const Verified& v, bool verbose, VerifyCounts* counts) {
  const StoredEntry& e = v.entry;
  const ArchiveVerifyResult& r = v.result;
  const std::string which = DisplayName(e) + " (locale " + LocaleText(e.locale) + "): ";
  if (r.reason == VERIFY_KEY_NEEDS_NAME) {
    ++counts->unchecked;
    FailPlain("not checked: " + which + "its key needs its name, which no list gives (--listfile)");
    return;
  }
  if (r.state == VERIFY_DIFFERS) {
    ++counts->mismatched;
    FailPlain("mismatch: " + which + DigestMismatch(r));
    return;
  }
  if (r.state != VERIFY_WHOLE) {
    const bool lacking = r.reason == VERIFY_METHOD_MISSING;
    ++(lacking ? counts->unchecked : counts->damaged);
    FailPlain(std::string(lacking ? "not supported: " : "damaged: ") + which + Problem(r));
    return;
  }
  // Reading never consults the stored size, so a false one damages
  // nothing; it is worth knowing all the same.
  if (e.extent != e.block.storedSize) {
    Note("note: " + which + "its block gives a stored size of " + std::to_string(e.block.storedSize) +
         " bytes, its data take " + std::to_string(e.extent));
  } else if (verbose) {
    Note("ok " + DisplayName(e));
  }
}

// The entries chosen checked, in the order list shows them; every entry
// when chosen is null. *complete is false when the check could not go
// through them all (no memory).
std::vector<Verified> VerifyAll(ArchiveHandle archive, const std::vector<std::string>& names,
                                const std::set<uint32_t>* chosen, Progress* progress, bool* complete) {
  std::vector<const char*> given;
  for (const std::string& name : names) given.push_back(name.c_str());
  struct Context {
    std::vector<Verified> done;
    Progress* progress;
    const std::set<uint32_t>* chosen;
  } context{{}, progress, chosen};
  auto select = [](void* c, const ArchiveEntry* e) {
    const auto* chosen = static_cast<Context*>(c)->chosen;
    return chosen == nullptr || chosen->count(e->hashIndex) != 0;
  };
  auto take = [](void* c, const ArchiveVerifyResult* r) {
    auto* context = static_cast<Context*>(c);
    // An entry that names no block holds no file: the table check told of
    // it, and readers pass over it.
    if (r->reason != VERIFY_NO_BLOCK) {
      context->done.push_back({ToStoredEntry(*r->entry), *r});
      context->done.back().result.entry = nullptr;
    }
    context->progress->AddBytes(r->entry->hasBlock ? r->entry->fileSize : 0);
    context->progress->FileDone();
    return true;
  };
  *complete = VerifySelectedEntries(archive, given.data(), static_cast<uint32_t>(given.size()), select, take, &context);
  std::sort(context.done.begin(), context.done.end(),
            [](const Verified& a, const Verified& b) { return LessByName(a.entry, b.entry); });
  return std::move(context.done);
}

void VerifyJson(const std::string& path, const std::vector<Verified>& results, const VerifyCounts& counts) {
  static const char* const kStates[] = {"whole", "damaged", "not-checked", "differs"};
  JsonWriter json(stdout);
  json.BeginObject();
  json.String("archive", path);
  json.Number("files_checked", results.size() - counts.unchecked);
  json.Number("damaged", counts.damaged);
  json.Number("not_checked", counts.unchecked);
  json.Number("differ", counts.mismatched);
  json.BeginArray("results");
  for (const Verified& v : results) {
    json.BeginObject();
    json.Name(v.entry.name.empty() ? DisplayName(v.entry) : v.entry.name);
    json.Number("locale", v.entry.locale);
    json.String("state", kStates[v.result.state <= VERIFY_DIFFERS ? v.result.state : VERIFY_DAMAGED]);
    if (v.result.state == VERIFY_WHOLE) json.Null("reason");
    else if (v.result.state == VERIFY_DIFFERS) json.String("reason", DigestMismatch(v.result));
    else json.String("reason", Problem(v.result));
    json.EndObject();
  }
  json.EndArray();
  json.EndObject();
  json.Finish();
}

}  // namespace

int RunVerify(const Args& args) {
  ReadArchive archive(args.positional[0]);
  if (archive.get() == nullptr) return kExitFailure;
  if (!CheckTables(archive.get(), args.positional[0], true)) return kExitFailure;
  std::vector<std::string> names;
  if (!ReadUserList(args.Value("listfile"), &names)) return kExitFailure;
  ArchiveFacts facts{};
  if (!GetArchiveFacts(archive.get(), FACTS_TABLES | FACTS_ATTRIBUTES, &facts)) {
    Fail("cannot read " + Quote(args.positional[0]));
    return kExitFailure;
  }
  VerifyCounts counts;
  if (facts.attributesError != 0) {
    FailPlain("damaged: " + AttributesProblem(facts));
    ++counts.damaged;
  }
  const uint32_t unsupported = facts.attributesError == 0
                                   ? facts.attributesFlags & (ATTRIBUTE_CRC32 | ATTRIBUTE_MD5) & ~GetSupportedDigests()
                                   : 0;
  if (unsupported & ATTRIBUTE_MD5) Note("note: MD5 is not supported by this build; MD5s not checked");
  if (unsupported & ATTRIBUTE_CRC32) Note("note: CRC-32 is not supported by this build; CRC-32s not checked");
  // Named files only: the selection decides, the library checks just those.
  bool allFound = true;
  std::set<uint32_t> chosen;
  uint64_t files = facts.hashUsed, bytes = facts.contentBytes;
  if (args.positional.size() > 1) {
    std::vector<StoredEntry> entries;
    if (!StoredEntries(archive.get(), names, &entries, kEntriesFilesOnly)) return kExitFailure;
    const std::vector<StoredEntry> selected =
        SelectEntries(entries, {args.positional.begin() + 1, args.positional.end()}, {}, args.Has("no-wildcards"),
                      "verify", 0, &allFound);
    files = selected.size();
    bytes = 0;
    for (const StoredEntry& e : selected) {
      chosen.insert(e.hashIndex);
      bytes += e.blockValid ? e.block.fileSize : 0;
    }
  }
  std::vector<Verified> results;
  bool complete = true;
  {
    Progress progress("verify", files, bytes);
    results = VerifyAll(archive.get(), names, args.positional.size() > 1 ? &chosen : nullptr, &progress, &complete);
  }
  // Whatever was checked is reported; a check cut short is no clean bill.
  if (!complete) Fail("cannot check every file of " + Quote(args.positional[0]));
  for (const Verified& v : results) Report(v, args.verbose, &counts);
  const size_t damaged = counts.damaged, unchecked = counts.unchecked, mismatched = counts.mismatched;
  if (args.Has("json")) VerifyJson(args.positional[0], results, counts);
  // A summary always (unless -q): silence is no answer to "is it whole?".
  std::string summary = std::to_string(results.size() - unchecked) + " files checked, " + std::to_string(damaged) +
                        " damaged, " + std::to_string(unchecked) + " not checked";
  if (mismatched != 0) summary += ", " + std::to_string(mismatched) + " differ from \"(attributes)\"";
  Note(summary);
  if (damaged != 0 || mismatched != 0 || !allFound || !complete) return kExitFailure;
  return unchecked != 0 ? kExitUnchecked : kExitOk;
}

}  // namespace sorvane
