// Opens arbitrary bytes for update and runs a short program of changes on
// them: adds (memory and disk, every method mask, plain, encrypted and
// position-keyed), replaces, renames, deletes, locale moves, compaction and
// the calls that edit the stored name list.
// Then every file is read back by name and by index, through the update
// handle and again after reopening the archive through the read side.
//
// Input: kProgramBytes of program (two bytes per step, see RunStep), then the
// archive's bytes. An empty archive part makes the library create a new one.
//
// With TAVRIX_UPDATE_FUZZ_CHECK=1 in the environment the target also keeps a
// model of the files its own steps stored and aborts when one of them reads
// back different from what was stored, on either handle. That is off by
// default: a hostile table can legitimately tie a new file to entries the
// target does not know about, so a mismatch needs a look before it counts.
// TAVRIX_UPDATE_FUZZ_TRACE=1 prints every step and its outcome.
//
// Always checked: the archive file never grows beyond what the input and the
// steps' own files can justify. New data placed behind a block that only
// claims to reach gigabytes makes a sparse file that large, and the next
// compaction copies all of it; the target stops there with a clear message
// rather than timing out and filling the disk.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "sorvane/sorvane.h"
#include "sorvane/sorvane_ext.h"

namespace {

constexpr size_t kSteps = 8;
constexpr size_t kProgramBytes = 2 * kSteps;
constexpr uint32_t kMaxHashEntries = 1u << 18;

using Bytes = std::vector<uint8_t>;

const std::string& ScratchPath() {
  static const std::string path = [] {
    std::random_device random;
    return (std::filesystem::temp_directory_path() /
            ("update-fuzz-" + std::to_string(random()) + ".mpq"))
        .string();
  }();
  return path;
}

const std::string& SourcePath() {
  static const std::string path = ScratchPath() + ".src";
  return path;
}

void RemoveScratchFiles() {
  std::error_code ignored;
  std::filesystem::remove(ScratchPath(), ignored);
  std::filesystem::remove(SourcePath(), ignored);
}

// Each step adds at most a few KB and may move the tables and the name list
// behind it; far more than this is unjustified. The tables are as large as
// the header says, which may be far more than the file holds (the missing
// part reads as zeros), and every update that writes them writes them whole.
uint64_t GrowthLimit(size_t archiveBytes, uint64_t claimedTableBytes) {
  return 16 * static_cast<uint64_t>(archiveBytes) + 4 * claimedTableBytes + (4u << 20);
}

bool EnvironmentSays(const char* variable) {
  const char* v = std::getenv(variable);
  return v != nullptr && v[0] == '1';
}
bool Checking() {
  static const bool on = EnvironmentSays("TAVRIX_UPDATE_FUZZ_CHECK");
  return on;
}
bool Tracing() {
  static const bool on = EnvironmentSays("TAVRIX_UPDATE_FUZZ_TRACE");
  return on;
}

void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

// The seed archives' names and a few new ones, "(listfile)" among them so the
// list's own upkeep meets adds, renames and deletes of the list itself.
constexpr const char* kNames[8] = {"a.txt", "dir\\b.bin", "z.bin",      "w.wav",
                                   "(listfile)", "t.txt",  "new\\n1.dat", "new\\N2.WAV"};
constexpr uint32_t kLocales[4] = {0, 0x409, 0x407, 0x40C};
constexpr uint32_t kSizes[8] = {0, 1, 17, 511, 512, 513, 1500, 4700};

struct Method {
  uint32_t flags;
  uint32_t mask;
};
constexpr Method kMethods[8] = {
    {0, 0},
    {BLOCK_IMPLODED, COMP_IMPLODE},
    {BLOCK_COMPRESSED, COMP_IMPLODE},
    {BLOCK_COMPRESSED, COMP_HUFFMAN},
    {BLOCK_COMPRESSED, COMP_ZLIB},
    {BLOCK_COMPRESSED, COMP_BZIP2},
    {BLOCK_COMPRESSED, COMP_ADPCM_MONO | COMP_HUFFMAN},
    {BLOCK_COMPRESSED, COMP_ADPCM_STEREO | COMP_HUFFMAN},
};
constexpr uint32_t kEncryption[4] = {0, BLOCK_ENCRYPTED, BLOCK_ENCRYPTED | BLOCK_KEY_ADJUSTED,
                                     BLOCK_KEY_ADJUSTED};

void PutLE(Bytes& out, size_t at, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// Content of an added file: a 16-bit PCM wave for the audio masks (so the
// audio coder really runs), else text or noise. Deterministic per step.
Bytes Content(uint32_t size, bool wave, uint32_t seed) {
  Bytes out(size);
  std::minstd_rand random(seed + 1);
  if (wave && size >= 44) {
    static const uint8_t header[44] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
                                       16,  0,   0,   0,   1, 0, 1, 0, 0x22, 0x56, 0, 0, 0x44, 0xAC, 0, 0,
                                       2,   0,   16,  0,   'd', 'a', 't', 'a', 0, 0, 0, 0};
    std::memcpy(out.data(), header, sizeof header);
    if (seed & 1) out[22] = 2;  // stereo
    PutLE(out, 4, size - 8, 4);
    PutLE(out, 40, size - 44, 4);
    int sample = 0;
    for (size_t i = 44; i + 1 < size; i += 2) {
      sample += static_cast<int>(random() % 2001) - 1000;
      sample = sample > 30000 ? 30000 : sample < -30000 ? -30000 : sample;
      PutLE(out, i, static_cast<uint32_t>(sample), 2);
    }
    return out;
  }
  static const char* words[] = {"alpha ", "beta ", "gamma\r\n", "delta ", "update "};
  for (size_t i = 0; i < size;) {
    if (seed & 2) {
      out[i++] = static_cast<uint8_t>(random());
      continue;
    }
    for (const char* w = words[random() % 5]; *w != 0 && i < size; ++w) out[i++] = static_cast<uint8_t>(*w);
  }
  return out;
}

std::string Upper(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return s;
}

// What the target's own steps stored, by upper-case name and locale. The
// audio coder is lossy: for its files only the length is known.
struct Stored {
  Bytes content;
  bool lossy = false;
};
using Model = std::map<std::pair<std::string, uint32_t>, Stored>;

void Forget(Model& model, const char* name, uint32_t locale) { model.erase({Upper(name), locale}); }

void Move(Model& model, const char* from, uint32_t fromLocale, const char* to, uint32_t toLocale) {
  auto it = model.find({Upper(from), fromLocale});
  if (it == model.end()) {
    Forget(model, to, toLocale);
    return;
  }
  Stored stored = std::move(it->second);
  model.erase(it);
  // A file renamed to the name list becomes the list, which the library
  // rewrites behind every change (see Remember).
  if (Upper(to) == "(LISTFILE)") return;
  model[{Upper(to), toLocale}] = std::move(stored);
}

void Remember(Model& model, const char* name, uint32_t locale, const Bytes& content, bool lossy) {
  // The name list is rewritten by the library behind every change.
  if (Upper(name) == "(LISTFILE)") return;
  model[{Upper(name), locale}] = Stored{content, lossy};
}

// One step: b0 picks the operation (low three bits) and a size or level,
// b1 the names, method, encryption or locales. Returns what it did, for the
// trace (TAVRIX_UPDATE_FUZZ_TRACE=1) that tells what a finding's input runs.
std::string RunStep(ArchiveHandle archive, uint8_t b0, uint8_t b1, uint32_t step, Model& model) {
  const char* name = kNames[b1 & 7];
  const char* other = kNames[(b1 >> 3) & 7];
  const uint32_t locale = GetLocale();
  char what[160];
  bool ok = true;
  switch (b0 & 7) {
    case 0:    // add from memory
    case 1:    // replace from memory
    case 2: {  // add or replace from disk
      const Method& method = kMethods[(b1 >> 3) & 7];
      const bool wave = (method.mask & (COMP_ADPCM_MONO | COMP_ADPCM_STEREO)) != 0;
      const Bytes content = Content(kSizes[(b0 >> 3) & 7], wave, step * 31 + b0 + b1);
      uint32_t flags = method.flags | kEncryption[b1 >> 6];
      if ((b0 & 7) == 1 || ((b0 & 7) == 2 && (b0 & 0x80))) flags |= ADD_REPLACE;
      const uint32_t level = (b0 >> 6) & 1 ? 2 : 0;
      static const uint8_t none = 0;
      if ((b0 & 7) == 2) {
        WriteFile(SourcePath(), content.data(), content.size());
        ok = AddFileFromDisk(archive, SourcePath().c_str(), name, flags, method.mask, level);
      } else {
        ok = AddFileFromMemory(archive, content.empty() ? &none : content.data(),
                               static_cast<uint32_t>(content.size()), name, flags, method.mask, level);
      }
      if (ok) Remember(model, name, locale, content, wave);
      std::snprintf(what, sizeof what, "add%s \"%s\" %zu bytes, flags 0x%X, mask 0x%X, level %u, locale 0x%X",
                    (b0 & 7) == 2 ? " from disk" : "", name, content.size(), flags, method.mask, level, locale);
      break;
    }
    case 3:
      ok = RenameArchiveFile(archive, name, other);
      if (ok) Move(model, name, locale, other, locale);
      std::snprintf(what, sizeof what, "rename \"%s\" to \"%s\" in locale 0x%X", name, other, locale);
      break;
    case 4:
      ok = DeleteArchiveFile(archive, name);
      if (ok) Forget(model, name, locale);
      std::snprintf(what, sizeof what, "delete \"%s\" in locale 0x%X", name, locale);
      break;
    case 5: {
      const uint32_t from = kLocales[(b1 >> 3) & 3];
      const uint32_t to = kLocales[(b1 >> 5) & 3];
      ok = SetArchiveFileLocale(archive, name, from, to);
      if (ok) Move(model, name, from, name, to);
      std::snprintf(what, sizeof what, "move \"%s\" from locale 0x%X to 0x%X", name, from, to);
      break;
    }
    case 6:
      ok = CompactArchive(archive);
      std::snprintf(what, sizeof what, "compact");
      break;
    default:
      if ((b1 & 0xC0) == 0xC0) {
        // The calls that edit the stored name list itself, as the tool's
        // add, delete and rename make them.
        const char* names[2] = {name, other};
        const uint32_t call = (b1 >> 2) & 3;
        if (call == 0) {
          ok = AddToNameList(archive, names, 2, nullptr);
        } else if (call == 1) {
          ok = RemoveFromNameList(archive, names, 2, nullptr);
        } else {
          ok = RespellInNameList(archive, call == 2 ? name : other, nullptr);
        }
        std::snprintf(what, sizeof what, "name list call %u with \"%s\", \"%s\"", call, name, other);
        break;
      }
      SetLocale(kLocales[b1 & 3]);
      std::snprintf(what, sizeof what, "use locale 0x%X", GetLocale());
      break;
  }
  return std::string(what) + (ok ? ": done" : ": failed, error " + std::to_string(GetLastError()));
}

// Reads in chunks up to a budget, so a block that claims gigabytes costs
// time in proportion to what it really decodes.
void ReadThrough(FileHandle file) {
  static std::vector<uint8_t> buffer(1 << 16);
  constexpr uint64_t kBudget = 1 << 24;
  uint64_t total = 0;
  GetArchiveFileSize(file, nullptr);
  GetArchiveFileInfo(file, INFO_FLAGS);
  while (total < kBudget) {
    uint32_t got = 0;
    if (!ReadArchiveFile(file, buffer.data(), static_cast<uint32_t>(buffer.size()), &got, nullptr) ||
        got == 0) {
      break;
    }
    total += got;
  }
}

// The whole file must be there, byte for byte, and nothing after it. Says
// what differs when it is not.
std::string ReadBackProblem(ArchiveHandle archive, const std::string& name, uint32_t locale,
                            const Stored& stored) {
  const Bytes& expected = stored.content;
  SetLocale(locale);
  FileHandle file = nullptr;
  if (!OpenArchiveFile(archive, name.c_str(), 0, &file)) return "does not open, error " + std::to_string(GetLastError());
  Bytes got(expected.size() + 1);
  uint32_t count = 0;
  std::string problem;
  const uint32_t size = GetArchiveFileSize(file, nullptr);
  if (size != expected.size()) {
    problem = "claims " + std::to_string(size) + " bytes";
  } else if (!ReadArchiveFile(file, got.data(), static_cast<uint32_t>(got.size()), &count, nullptr)) {
    problem = "read fails, error " + std::to_string(GetLastError());
  } else if (count != expected.size()) {
    problem = "reads " + std::to_string(count) + " bytes";
  } else if (!stored.lossy && count != 0 && std::memcmp(got.data(), expected.data(), count) != 0) {
    uint32_t at = 0;
    while (got[at] == expected[at]) ++at;
    problem = "differs from byte " + std::to_string(at) + " on";
  }
  CloseArchiveFile(file);
  return problem;
}

void ReadEverything(ArchiveHandle archive, const Model& model, const char* when) {
  for (const auto& [key, stored] : model) {
    if (!Checking()) break;
    const std::string problem = ReadBackProblem(archive, key.first, key.second, stored);
    if (!problem.empty()) {
      std::fprintf(stderr, "%s: \"%s\" (locale 0x%X, %zu bytes) does not read back as stored: %s\n", when,
                   key.first.c_str(), key.second, stored.content.size(), problem.c_str());
      RemoveScratchFiles();
      std::abort();
    }
  }
  for (uint32_t locale : kLocales) {
    SetLocale(locale);
    for (const char* name : kNames) {
      FileHandle file = nullptr;
      if (!OpenArchiveFile(archive, name, 0, &file)) continue;
      ReadThrough(file);
      CloseArchiveFile(file);
    }
  }
  const uint32_t entries = GetArchiveFileInfo(archive, INFO_HASH_TABLE_SIZE);
  for (uint32_t i = 0; i < entries && i < 4096; ++i) {
    FileHandle file = nullptr;
    if (!OpenArchiveFileByIndex(archive, i, &file)) continue;
    ReadThrough(file);
    CloseArchiveFile(file);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The paths first: statics made after the handler is registered would be
  // destroyed before it runs.
  SourcePath();
  std::atexit(RemoveScratchFiles);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kProgramBytes) return 0;
  WriteFile(ScratchPath(), data + kProgramBytes, size - kProgramBytes);
  SetLocale(0);
  // The hash size counts only when the archive part is empty and one is made.
  const uint32_t hashSize = 1u + (data[0] >> 3);
  ArchiveHandle archive =
      OpenArchiveWritable(ScratchPath().c_str(), UPDATE_OPEN_EXISTING | UPDATE_KEEP_LISTFILE, hashSize);
  if (!IsUsableArchive(archive)) return 0;
  // A lookup walks the hash table until a free entry, and a table that runs
  // past the file's end reads as zeros, which are entries in use: with the
  // hundreds of lookups below, a claimed table of millions of entries takes
  // seconds per input without being wrong. Such tables are left to the open
  // target, which looks up far less.
  if (GetArchiveFileInfo(archive, INFO_HASH_TABLE_SIZE) > kMaxHashEntries) {
    CloseWritableArchive(archive, 0);
    return 0;
  }
  // "(attributes)" holds up to 29 bytes per block-table entry, and every
  // update of an archive that keeps one writes it whole as well.
  const uint64_t blockEntries = GetArchiveFileInfo(archive, INFO_BLOCK_TABLE_SIZE);
  const uint64_t claimedTableBytes =
      16 * (static_cast<uint64_t>(GetArchiveFileInfo(archive, INFO_HASH_TABLE_SIZE)) + blockEntries) +
      29 * blockEntries;

  Model model;
  for (uint32_t i = 0; i < kSteps; ++i) {
    const std::string what = RunStep(archive, data[2 * i], data[2 * i + 1], i, model);
    if (Tracing()) std::fprintf(stderr, "step %u: %s\n", i + 1, what.c_str());
    std::error_code ignored;
    const uint64_t now = std::filesystem::file_size(ScratchPath(), ignored);
    if (now != static_cast<uintmax_t>(-1) && now > GrowthLimit(size - kProgramBytes, claimedTableBytes)) {
      std::fprintf(stderr, "step %u (%s) grew the %zu-byte archive to %llu bytes\n", i + 1, what.c_str(),
                   size - kProgramBytes, static_cast<unsigned long long>(now));
      RemoveScratchFiles();
      std::abort();
    }
  }
  ReadEverything(archive, model, "update handle");
  CloseWritableArchive(archive, 0);

  ArchiveHandle reopened = nullptr;
  if (OpenArchive(ScratchPath().c_str(), 0, 0, &reopened)) {
    ReadEverything(reopened, model, "reopened");
    CloseArchive(reopened);
  } else if (Checking() && !model.empty()) {
    std::fprintf(stderr, "the changed archive does not open again (error %u)\n", static_cast<unsigned>(GetLastError()));
    std::abort();
  }
  SetLocale(0);
  return 0;
}
