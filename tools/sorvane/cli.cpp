#include "cli.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>

#include "platform/platform.h"

namespace sorvane {

namespace {

// Drawn at most this often, and only for work that has run this long.
constexpr uint32_t kRedrawMs = 100;
constexpr uint32_t kShowAfterMs = 500;

// The system's codes are shown after their words, as users may search for
// them; the library's own codes are words alone.
std::string CodeText(uint32_t code) {
  if (code >= 0x10000) return "";
  return " (error " + std::to_string(code) + ")";
}

}  // namespace

std::string ErrorText(uint32_t code) {
  std::string text(GetErrorText(code, nullptr, 0), '\0');
  GetErrorText(code, text.data(), static_cast<uint32_t>(text.size() + 1));
  return text;
}

namespace {

thread_local std::vector<Message>* captured = nullptr;

void ShowError(const std::string& line) {
  if (captured != nullptr) {
    captured->push_back({false, line});
    return;
  }
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace

MessageCapture::MessageCapture(std::vector<Message>* into) : previous_(captured) { captured = into; }
MessageCapture::~MessageCapture() { captured = previous_; }

void FailWith(const std::string& what, uint32_t code) {
  ShowError("sorvane: " + what + ": " + ErrorText(code) + CodeText(code) + "\n");
}

void Fail(const std::string& what) { FailWith(what, GetLastError()); }

void FailPlain(const std::string& what) { ShowError("sorvane: " + what + "\n"); }

namespace {
FILE* notes = nullptr;  // standard output unless the verb writes data there
bool quiet = false;
}  // namespace

void SetNotesToStandardError() { notes = stderr; }
void SetQuiet() { quiet = true; }
bool Quiet() { return quiet; }

void Note(const std::string& text) {
  if (quiet) return;
  if (captured != nullptr) {
    captured->push_back({true, text});
    return;
  }
  FILE* out = notes != nullptr ? notes : stdout;
  std::fwrite(text.data(), 1, text.size(), out);
  std::fputc('\n', out);
}

void ShowMessages(const std::vector<Message>& messages) {
  for (const Message& m : messages) {
    if (m.note) Note(m.text);
    else ShowError(m.text);
  }
}

std::string Shown(const std::string& text) {
  const uint32_t length = QuoteStoredName(text.c_str(), nullptr, 0);
  if (length == 0xFFFFFFFFu) return text;
  std::string shown(length + 1, '\0');
  QuoteStoredName(text.c_str(), shown.data(), length + 1);
  shown.resize(length);
  return shown;
}

std::string Quote(const std::string& text) {
  const std::string shown = Shown(text);
  return shown != text ? shown : '"' + shown + '"';
}

std::string NameRuleText(uint32_t problem) {
  switch (problem) {
    case NAME_EMPTY: return "a stored name cannot be empty";
    case NAME_TOO_LONG:
      return "a stored name has at most " + std::to_string(STORED_NAME_MAX) +
             " characters, the most every operation accepts";
    case NAME_LINE_END: return "a stored name holds no line end (CR or LF): the name list keeps one name a line";
    case NAME_LEAVES_FOLDER:
      return "a stored name has no \"..\" component, leading separator or drive: extraction refuses them";
    case NAME_HOLLOW_COMPONENT:
      return "a stored name has no empty or \".\" component: it would extract where another name does";
    default: return "";
  }
}

bool ParseNumber(const std::string& text, uint32_t* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  if (!hex && (text[0] < '0' || text[0] > '9')) return false;
  const unsigned long long v = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
  if (end == nullptr || *end != 0 || v > 0xFFFFFFFFull) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

namespace {

uint32_t waitSeconds = 0;

}  // namespace

void SetWaitSeconds(uint32_t seconds) { waitSeconds = seconds; }

OpenOutcome OpenSharing(const std::string& shownPath, const std::function<bool()>& open) {
  const auto start = std::chrono::steady_clock::now();
  const auto limit = std::chrono::seconds(waitSeconds);
  bool toldWaiting = false;
  // Waiting programs ask at slightly different moments, so that one of them
  // finds the archive free rather than all at once.
  std::minstd_rand jitter(static_cast<uint32_t>(start.time_since_epoch().count()));
  for (;;) {
    if (open()) {
      static bool toldUnprotected = false;
      if (platform::SharingUnprotected() && !toldUnprotected) {
        toldUnprotected = true;
        FailPlain("warning: the file system of " + Quote(shownPath) +
                  " takes no locks: other programs that use the archive at the same time are not kept out");
      }
      return OpenOutcome::Opened;
    }
    if (GetLastError() != ERROR_SHARING_VIOLATION) return OpenOutcome::Failed;
    if (waitSeconds == 0) {
      FailPlain(Quote(shownPath) +
                " is in use by another program (being read or updated); nothing was written. Try again when it is "
                "done, or give --wait SECONDS");
      return OpenOutcome::Busy;
    }
    if (std::chrono::steady_clock::now() - start >= limit) {
      FailPlain(Quote(shownPath) + " is still in use by another program (being read or updated) after " +
                std::to_string(waitSeconds) + " seconds; nothing was written");
      return OpenOutcome::Busy;
    }
    if (!toldWaiting) {
      toldWaiting = true;
      FailPlain(Quote(shownPath) + " is in use by another program; waiting up to " + std::to_string(waitSeconds) +
                " seconds");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10 + jitter() % 40));
  }
}

namespace {

void LibraryProgress(void* context, uint64_t bytes) { static_cast<Progress*>(context)->AddBytes(bytes); }

std::string SizeText(uint64_t bytes) {
  char buffer[32];
  if (bytes < 1024) {
    std::snprintf(buffer, sizeof buffer, "%llu B", static_cast<unsigned long long>(bytes));
  } else if (bytes < (1u << 20)) {
    std::snprintf(buffer, sizeof buffer, "%.1f KiB", static_cast<double>(bytes) / 1024);
  } else if (bytes < (1ull << 30)) {
    std::snprintf(buffer, sizeof buffer, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
  } else {
    std::snprintf(buffer, sizeof buffer, "%.2f GiB", static_cast<double>(bytes) / (1ull << 30));
  }
  return buffer;
}

}  // namespace

namespace {

// SORVANE_PROGRESS=always draws every step at once, also into a file or a
// pipe (for logs, and for tests that cannot wait for a terminal).
bool ProgressAlways() {
  const char* setting = std::getenv("SORVANE_PROGRESS");
  return setting != nullptr && std::string(setting) == "always";
}

}  // namespace

Progress::Progress(const char* label, uint64_t files, uint64_t bytes)
    : label_(label), files_(files), bytes_(bytes), start_(platform::GetTickCount()), always_(ProgressAlways()),
      enabled_(!quiet && (always_ || ((files > 1 || bytes > 0) && platform::IsStandardErrorTerminal()))) {
  SetUpdateProgressCallback(LibraryProgress, this);
}

Progress::~Progress() {
  SetUpdateProgressCallback(nullptr, nullptr);
  if (drawn_) Draw(true);
}

void Progress::Tick() {
  if (!enabled_) return;
  const uint32_t now = platform::GetTickCount();
  if (!always_ && (now - start_ < kShowAfterMs || (drawn_ && now - lastDraw_ < kRedrawMs))) return;
  lastDraw_ = now;
  Draw(false);
}

void Progress::Draw(bool final) {
  constexpr int kWidth = 30;
  // The bar follows the bytes where their total is known: one large file
  // moves it as much as many small ones.
  const bool byBytes = bytes_ != 0;
  const uint64_t total = byBytes ? bytes_ : files_;
  uint64_t done = byBytes ? bytesDone_ : filesDone_;
  if (done > total) done = total;
  const int filled = total == 0 ? kWidth : static_cast<int>(done * kWidth / total);
  char bar[kWidth + 1];
  for (int i = 0; i < kWidth; ++i) bar[i] = i < filled ? '#' : ' ';
  bar[kWidth] = 0;
  const unsigned percent = total == 0 ? 100u : static_cast<unsigned>(done * 100 / total);
  const uint64_t bytesShown = bytesDone_ > bytes_ && bytes_ != 0 ? bytes_ : bytesDone_;
  std::string bytesText = SizeText(bytesShown);
  if (bytes_ != 0) bytesText += " of " + SizeText(bytes_);
  std::fprintf(stderr, "\r%s [%s] %3u%% %llu/%llu files, %s   ", label_, bar, percent,
               static_cast<unsigned long long>(filesDone_ > files_ ? files_ : filesDone_),
               static_cast<unsigned long long>(files_), bytesText.c_str());
  if (final) std::fputc('\n', stderr);
  std::fflush(stderr);
  drawn_ = true;
}

const char* const kExitStatusText =
    "Exit status: 0 done; 1 failed, or damage found; 2 bad command line; 3 done except\n"
    "for skipped inputs; 4 verify found no damage but could not check some files.\n"
    "When several apply, the lowest of 1, 3 and 4 is given.\n"
    "An archive may be read by several programs at once; one that updates it keeps\n"
    "every other out until it is done.\n";

// How NAME arguments select, for the verbs that take them.
#define SELECTION_NOTE                                                                    \
  "A NAME stored exactly is taken as it is ('/' read as '\\' too, #INDEX for a file\n"  \
  "without a known name); otherwise it is a pattern (* within a folder, ** across\n"     \
  "folders, ?, [...]; letters in either case), which selects the names it matches\n"    \
  "and everything in the folders it matches, or a folder, which selects everything\n"   \
  "under it. Patterns and folders leave out \"(listfile)\", \"(attributes)\" and\n"     \
  "\"(signature)\". A NAME that selects nothing is reported (exit status 1).\n"

const std::vector<Verb>& Verbs() {
  static const std::vector<Verb> verbs = {
      {"list", "sorvane list ARCHIVE [NAMES...] [--listfile FILE] [--locale ID] [--exclude PATTERN]",
       "list the stored files: name, size, stored size, ratio, flags and locale",
       "  --listfile FILE  more names to look for, one per line, besides the archive's own list\n"
       "  --locale ID      only the files of this language version\n"
       "  --exclude PATTERN\n"
       "                   leave out names PATTERN matches, whole or in a run of components\n"
       "                   (may be given several times)\n"
       "  --no-wildcards   take every NAME literally (a stored name or a folder)\n"
       "  -1               the names only, one per line\n"
       "  --json           one JSON document (fields in README)\n"
       "Names are shown as stored. Files that no list names are shown as #INDEX (their\n"
       "hash-table entry). Tables that do not fit the file are reported as damage; an\n"
       "entry that names no block (archives made to resist editors carry them) is noted\n"
       "and shown as no-block.\n"
       SELECTION_NOTE,
       {"listfile", "locale", "exclude"}, {"no-wildcards", "json", "1"}, 1, SIZE_MAX, RunList},
      {"info", "sorvane info ARCHIVE [--json]", "show the header, the tables, file counts and dead space",
       "  --json           one JSON document (fields in README)\n"
       "Tables that do not fit the file are reported as damage (exit status 1); an\n"
       "entry that names no block is noted.\n"
       "\"past the end\" counts the bytes behind the archive's end, which an update\n"
       "that failed left; the next update cuts them.\n", {}, {"json"}, 1, 1, RunInfo},
      {"extract",
       "sorvane extract ARCHIVE [NAMES...] [-C DIR] [--listfile FILE] [--locale ID] [--all-locales] [-O] "
       "[--skip-old-files | -k] [-j N]",
       "write stored files to disk (the named ones, or all of them)",
       "  -C DIR           write under DIR instead of the current folder\n"
       "  --listfile FILE  more names to look for besides the archive's own list\n"
       "  --locale ID      the language version to write under a name stored in several\n"
       "                   (default 0, neutral)\n"
       "  --all-locales    write the other versions too, under locale-XXXX/ (the locale id\n"
       "                   in four hex digits)\n"
       "  -O, --stdout     write the selected files' bytes to standard output, nothing else\n"
       "  --exclude PATTERN\n"
       "                   leave out names PATTERN matches (may be given several times)\n"
       "  --no-wildcards   take every NAME literally (a stored name or a folder)\n"
       "  --skip-old-files keep files that exist; -v names them, and a last line counts them\n"
       "  -k, --keep-old-files\n"
       "                   an existing file is an error for its entry (exit status 1)\n"
       "  -j, --jobs N     decode and write files on N threads (default, or 0: one per\n"
       "                   processor; at most 64); the same files, bytes, messages (in\n"
       "                   the same order) and exit status whatever N is; -O uses one\n"
       SELECTION_NOTE
       "Without NAMEs every file is written but \"(listfile)\", \"(attributes)\" and\n"
       "\"(signature)\", which are written when named. A name stored in one locale only is\n"
       "written under its name; of one stored in several, the --locale (or neutral) version,\n"
       "and the others are counted (named with -v) unless --all-locales is given.\n"
       "Names that would land outside the folder (\"..\", a leading separator, a drive)\n"
       "are refused. Files without a known name are written as #INDEX.\n"
       "Existing files are replaced, each only once its new content is complete: a file\n"
       "that fails or is interrupted leaves the old one as it was and nothing half-written.\n"
       "DIR is followed where it leads; below it nothing is written through a symbolic link:\n"
       "an entry whose folder or place is one is refused (exit status 1).\n",
       {"C", "listfile", "locale", "exclude", "j"},
       {"skip-old-files", "keep-old-files", "k", "all-locales", "O", "stdout", "no-wildcards"}, 1, SIZE_MAX,
       RunExtract},
      {"verify", "sorvane verify ARCHIVE [NAMES...] [--listfile FILE]",
       "decode every stored file (or the named ones) and report those that cannot be read",
       "  --listfile FILE  more names, so encrypted files without an offset table can be keyed\n"
       "  --no-wildcards   take every NAME literally (a stored name or a folder)\n"
       "  --json           one JSON document of the results (fields in README)\n"
       SELECTION_NOTE
       "Where the archive has \"(attributes)\", each file's CRC-32 and MD5 are checked against\n"
       "it too, and every mismatch is named.\n"
       "The exit status is 1 when anything is damaged or differs from its attributes, 4 when\n"
       "nothing is but some encrypted files could not be checked because their key needs a\n"
       "name no list gives.\n",
       {"listfile"}, {"no-wildcards", "json"}, 1, SIZE_MAX, RunVerify},
      {"create", "sorvane create ARCHIVE [--hash-size N] [--format 0|1] [--force] [--attributes]", "create a new, empty archive",
       "  --hash-size N    entries of the hash table, the most files it can hold (default 1024,\n"
       "                   at most 1048576 without --force, 4194304 with it)\n"
       "  --format 0|1     0: the classic header, archives up to 4 GiB (default);\n"
       "                   1: the extended header, archives beyond 4 GiB\n"
       "  --force          replace an existing file; allow a hash table beyond 1048576 entries\n"
       "  --attributes     keep \"(attributes)\": the CRC-32, MD5 and time of every file added\n"
       "                   later, which verify checks\n",
       {"hash-size", "format"}, {"force", "attributes"}, 1, 1, RunCreate},
      {"add", "sorvane add ARCHIVE PATH... [options]",
       "store files and folders (folders recursively) in an archive, creating it when missing",
       "  --name NAME      the stored name (a single file only); otherwise the path as given;\n"
       "                   '/' and '\\' both separate, names are stored with '\\'\n"
       "  --compress M     none, implode (default), huffman, wave, zlib, bzip2, or a method\n"
       "                   mask such as 0x08 (bits 0x01 0x08 0x40 0x80 together, one ADPCM\n"
       "                   bit at most; 0x02 zlib and 0x10 bzip2 alone); huffman and wave\n"
       "                   are audio methods and fall back to implode for data that is no\n"
       "                   16-bit PCM WAV; a method this build lacks is refused\n"
       "  --level N        compression level (the audio quality for wave)\n"
       "  --encrypt        encrypt with the key of the name\n"
       "  --key-adjusted   encrypt with the key adjusted by the file's position\n"
       "  --locale ID      store in this language version (default 0, neutral)\n"
       "  --replace        replace files stored under the same name and locale\n"
       "  --single-unit    store each file in one piece, without sectors (read whole;\n"
       "                   at most 256 MiB)\n"
       "  --hash-size N    hash-table entries when the archive is created (default: room for\n"
       "                   what is added with a quarter to spare, at least 1024)\n"
       "  --exclude PATTERN\n"
       "                   leave out files whose stored name PATTERN matches, whole or in a\n"
       "                   run of folders (\".git\", \"*.tmp\"); may be given several times\n"
       "  --grow           when the new names do not fit the hash table, rebuild it at the\n"
       "                   size needed first (every stored file's name must be known)\n"
       "  --listfile FILE  more names of stored files, for --grow\n"
       "  --force          allow --hash-size or --grow beyond 1048576 entries\n"
       "  --no-listfile    leave the archive's \"(listfile)\" alone\n"
       "  -j, --jobs N     compress on N threads (default: one per processor); the archive\n"
       "                   comes out the same whatever N is\n"
       "A PATH of \"-\" is standard input, stored under --name.\n"
       "Nothing is written when the new names do not fit the hash table; the message\n"
       "says which --hash-size would. The archive itself is never added. Paths that\n"
       "cannot be added (dangling links, special files, unreadable files and folders)\n"
       "are reported and skipped, and the exit status is then 3. Only names every\n"
       "operation handles are stored: at most 259 characters, no line end, no \"..\",\n"
       "leading separator, drive, or empty or \".\" component; a --name or a path given\n"
       "that breaks this fails, a file found in a folder is skipped.\n",
       {"name", "compress", "level", "locale", "hash-size", "j", "listfile", "exclude"},
       {"encrypt", "key-adjusted", "replace", "no-listfile", "grow", "force", "single-unit"}, 2, SIZE_MAX, RunAdd},
      {"delete", "sorvane delete ARCHIVE NAME... [--locale ID] [--no-listfile] [--force]", "delete stored files",
       "  --locale ID      the language version to delete (default 0, neutral)\n"
       "  --no-listfile    leave the archive's \"(listfile)\" alone\n"
       "  --force          allow deleting \"(listfile)\" itself, which loses every name\n"
       "  --no-wildcards   take every NAME literally (a stored name or a folder)\n"
       SELECTION_NOTE,
       {"locale"}, {"no-listfile", "force", "no-wildcards"}, 2, SIZE_MAX, RunDelete},
      {"rename", "sorvane rename ARCHIVE OLD NEW [--locale ID] [--no-listfile] [--force]", "rename a stored file",
       "  --locale ID      the language version to rename (default 0, neutral)\n"
       "  --no-listfile    leave the archive's \"(listfile)\" alone\n"
       "  --force          allow renaming \"(listfile)\" or to it\n"
       "OLD is looked up as typed, then with '/' read as '\\'; NEW is stored with '\\'.\n"
       "NEW must be a name every operation handles (see add --help).\n"
       "A rename that changes only letter case changes the name in the \"(listfile)\".\n",
       {"locale"}, {"no-listfile", "force"}, 3, 3, RunRename},
      {"set-locale", "sorvane set-locale ARCHIVE NAME OLD NEW", "move a stored file to another locale",
       "OLD and NEW are locale ids, decimal or 0x-hexadecimal (0 is neutral, 0x407 German ...).\n"
       "NAME is looked up as typed, then with '/' read as the separator '\\'.\n",
       {}, {}, 4, 4, RunSetLocale},
      {"compact", "sorvane compact ARCHIVE [--listfile FILE]", "give back the space of deleted and replaced files",
       "  --listfile FILE  more names, so position-keyed files whose name no list gives can\n"
       "                   be moved\n"
       "A damaged archive (tables that do not fit the file) is refused.\n",
       {"listfile"}, {}, 1, 1, RunCompact},
      {"resize", "sorvane resize ARCHIVE N [--listfile FILE] [--force]",
       "rebuild the hash table with N entries",
       "  --listfile FILE  more names of stored files: every stored file's name must be known\n"
       "  --force          allow more than 1048576 entries (at most 4194304)\n"
       "The old table's space stays dead until the archive is compacted.\n",
       {"listfile"}, {"force"}, 2, 2, RunResize},
      {"mount", "sorvane mount ARCHIVE MOUNTPOINT [--listfile FILE] [--locale ID] [--all-locales] [-f] [-o OPTIONS]",
       "show an archive as a read-only folder (Linux, libfuse3)",
       "  --listfile FILE  more names, besides the archive's own list\n"
       "  --locale ID      the version shown under a name stored in several (default neutral)\n"
       "  --all-locales    the other versions too, under locale-XXXX/\n"
       "  -f               stay in the foreground (Ctrl-C unmounts)\n"
       "  -o OPTIONS       more mount options (as mount -o takes them)\n"
       "Unmount with \"fusermount3 -u MOUNTPOINT\". While mounted the archive is being read:\n"
       "updates fail with the in-use message (unmount first, or give them --wait).\n"
       "Files without a known name, and names that form no tree, show as #INDEX at the top.\n",
       {"listfile", "locale", "o"}, {"all-locales", "f"}, 2, 2, RunMount},
  };
  return verbs;
}

}  // namespace sorvane
