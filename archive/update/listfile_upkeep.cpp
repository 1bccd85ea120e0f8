// Keeping the name list "(listfile)": read once per session, changed in
// memory by every add, rename and delete, stored once when the session
// commits.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "archive/read/attributes_read.h"
#include "archive/read/lines.h"
#include "archive/read/listed_names.h"
#include "archive/update/parallel.h"
#include "archive/update/update_internal.h"
#include "compression/scomp.h"
#include "platform/bytes.h"
#include "sorvane/sorvane.h"
#include "sorvane/sorvane_ext.h"

namespace {

const char kListfileName[] = "(listfile)";
constexpr uint32_t kListfileFlags = BLOCK_KEY_ADJUSTED | BLOCK_ENCRYPTED | BLOCK_COMPRESSED | ADD_REPLACE;

// The neutral list's block when FindHashEntry reads that one (the list a
// locale of its own is not kept sector by sector).
const BlockEntry* NeutralListBlock(Archive* archive) {
  const HashEntry* exact = FindExactHashEntry(archive, kListfileName, 0);
  if (exact == nullptr || exact != FindHashEntry(archive, kListfileName, 0) || archive->blockTable == nullptr ||
      exact->blockIndex >= archive->header.blockTableEntries) {
    return nullptr;
  }
  return &archive->blockTable[exact->blockIndex];
}

// The session's list, read on first use. False when there is a list that
// cannot be read (it is then left as it is).
SessionList* LoadedList(Archive* archive) {
  SessionList* list = &SessionOf(archive)->list;
  if (!list->loaded) {
    bool present = false;
    list->loaded = true;
    // The neutral list, which is the one stored back: an update made in a
    // locale that has a list of its own must not put that one in its place.
    list->unusable = !ReadListfile(archive, 0, &list->text, &list->size, &list->capacity, &present);
    list->firstChange = 0xFFFFFFFFu;
    // The block read, so that the store can tell it is still the one there.
    const BlockEntry* block = present && !list->unusable ? NeutralListBlock(archive) : nullptr;
    list->blockKnown = block != nullptr;
    if (block != nullptr) list->block = *block;
  }
  return list->unusable ? nullptr : list;
}


uint32_t LineHash(const uint8_t* text, uint32_t length) {
  uint32_t h = 2166136261u;
  for (uint32_t i = 0; i < length; ++i) h = (h ^ UpperAscii(text[i])) * 16777619u;
  return h;
}

void DropIndex(SessionList* list) {
  list->index.Clear();
  list->scans = 0;
}

// The first lookups after the index was dropped scan the text (a rename
// makes two, and its removal drops the index); from the fourth on the index
// is built, and appends keep it.
constexpr uint32_t kScansBeforeIndex = 4;

void NoteChange(SessionList* list, uint32_t at) {
  if (at < list->firstChange) list->firstChange = at;
  list->dirty = true;
}

// The slot holding the line equal to line[0..length) (case ignored), or the
// free slot where it would go.
SessionList::Line* IndexSlot(SessionList* list, const uint8_t* line, uint32_t length) {
  const auto* text = reinterpret_cast<const uint8_t*>(list->text);
  return list->index.Probe(LineHash(line, length), [list, text, line, length](const SessionList::Line& slot) {
    const uint32_t pos = slot.offset - 1;
    return LineLengthAt(text, list->size, pos) == length &&
           MatchNoCase(text + pos, reinterpret_cast<const char*>(line), length);
  });
}

// Notes the line at pos unless an equal one came before it.
bool IndexLine(SessionList* list, uint32_t pos, uint32_t length) {
  const auto* text = reinterpret_cast<const uint8_t*>(list->text);
  const bool room = list->index.Reserve([list, text](const SessionList::Line& slot) {
    const uint32_t at = slot.offset - 1;
    return LineHash(text + at, LineLengthAt(text, list->size, at));
  });
  if (!room) return false;
  SessionList::Line* slot = IndexSlot(list, text + pos, length);
  if (slot->free()) list->index.Take(slot, SessionList::Line{pos + 1});
  return true;
}

bool BuildIndex(SessionList* list) {
  const auto* text = reinterpret_cast<const uint8_t*>(list->text);
  const bool built = ForEachLine(text, list->size, IsLineBreak,
                                 [list](uint32_t pos, uint32_t length) { return IndexLine(list, pos, length); });
  if (!built) {
    DropIndex(list);
    return false;
  }
  return !list->index.empty() || list->index.Reserve([](const SessionList::Line&) { return 0u; });
}

// FindListedLine through the index; names that are no single line (empty,
// or holding a line break) are looked for in the text itself.
int64_t FindInList(SessionList* list, const char* name) {
  const uint32_t length = static_cast<uint32_t>(std::strlen(name));
  if (list->size == 0) return -1;
  if (list->index.empty() && list->scans < kScansBeforeIndex) ++list->scans;
  if (length == 0 || std::strpbrk(name, "\r\n") != nullptr ||
      (list->index.empty() && (list->scans < kScansBeforeIndex || !BuildIndex(list)))) {
    return FindListedLine(reinterpret_cast<const uint8_t*>(list->text), list->size, name);
  }
  const SessionList::Line* slot = IndexSlot(list, reinterpret_cast<const uint8_t*>(name), length);
  return slot->free() ? -1 : static_cast<int64_t>(slot->offset) - 1;
}

// True when some locale still holds the name: its line must stay listed, or
// the extractor and the key search would lose that version.
bool NameStillStored(Archive* archive, const char* name) {
  const uint32_t n = archive->header.hashTableEntries;
  const uint32_t a = HashString(name, HASH_NAME_A);
  const uint32_t b = HashString(name, HASH_NAME_B);
  for (uint32_t step = 0, i = HashString(name, HASH_TABLE_INDEX) % n; step < n; ++step, i = (i + 1 == n) ? 0 : i + 1) {
    const HashEntry& e = archive->hashTable[i];
    if (IsHashEntryDeleted(e)) continue;
    if (IsHashEntryFree(e)) return false;
    if (e.nameHashA == a && e.nameHashB == b) return true;
  }
  return false;
}

}  // namespace

bool ListfileAddName(Archive* archive, const char* name) {
  if ((archive->openFlags & UPDATE_KEEP_LISTFILE) == 0 || IsListfileName(name)) return true;
  // A name that holds a line break (or none at all) cannot be one line.
  if (name[0] == 0 || std::strpbrk(name, "\r\n") != nullptr) return true;
  // A list that is there but cannot be read is never replaced by a new one.
  SessionList* list = LoadedList(archive);
  if (list == nullptr) return false;
  if (FindInList(list, name) >= 0) return true;
  const uint32_t length = static_cast<uint32_t>(std::strlen(name));
  if (!GrowText(&list->text, &list->capacity, static_cast<uint64_t>(list->size) + length + 4)) return false;
  char* out = list->text;
  uint32_t used = list->size;
  NoteChange(list, used);
  if (used != 0 && !IsLineBreak(static_cast<uint8_t>(out[used - 1]))) {
    out[used++] = '\r';
    out[used++] = '\n';
  }
  std::memcpy(out + used, name, length);
  used += length;
  out[used++] = '\r';
  out[used++] = '\n';
  const uint32_t line = used - 2 - length;
  list->size = used;
  // An index that cannot take the line is dropped and built again.
  if (!list->index.empty() && !IndexLine(list, line, length)) DropIndex(list);
  return true;
}

bool ListfileRemoveName(Archive* archive, const char* name) {
  if ((archive->openFlags & UPDATE_KEEP_LISTFILE) == 0 || IsListfileName(name)) return true;
  if (NameStillStored(archive, name)) return true;
  SessionList* list = LoadedList(archive);
  if (list == nullptr || list->size == 0) return false;
  auto* t = reinterpret_cast<uint8_t*>(list->text);
  uint32_t size = list->size;
  int64_t found = FindInList(list, name);
  if (found < 0) return true;
  const uint32_t length = static_cast<uint32_t>(std::strlen(name));
  // Another writer's list may give the name more than once (in any case):
  // a line left behind would send the extractor after a file that is gone.
  // The first line found is the first in the text, so the rest are after it.
  const bool oneLine = length != 0 && std::strpbrk(name, "\r\n") == nullptr;
  uint32_t firstChange = size;
  while (found >= 0) {
    const uint32_t pos = static_cast<uint32_t>(found);
    uint32_t from = pos, to = pos + length;
    if (pos == 0) {
      // The first line goes with its line end (a CR LF pair, or one character).
      if (to < size) ++to;
      if (to < size && IsLineBreak(t[to])) ++to;
    } else if (to < size) {
      // A later line goes with the line end before it; its own one stays.
      --from;
      if (from >= 1 && IsLineBreak(t[from - 1])) --from;
    }
    std::memmove(t + from, t + to, size - to);
    size -= to - from;
    firstChange = std::min(firstChange, from);
    if (!oneLine) break;
    // Past a removed later line its own line end stays at from.
    const uint32_t next = from == 0 ? 0 : from + 1;
    if (next >= size) break;
    const int64_t more = FindListedLine(t + next, size - next, name);
    found = more < 0 ? -1 : next + more;
  }
  list->size = size;
  NoteChange(list, firstChange);
  // Later lines moved: the index is built again when next needed.
  DropIndex(list);
  return true;
}

void ForgetSessionList(Archive* archive) {
  ReleaseSessionList(&SessionOf(archive)->list);
  DropListedNames(archive);
}

void ReleaseSessionList(SessionList* list) {
  DropIndex(list);
  std::free(list->text);
  list->text = nullptr;
  list->size = list->capacity = 0;
  list->loaded = list->unusable = list->dirty = list->blockKnown = false;
  list->firstChange = 0xFFFFFFFFu;
}

// ---- adding names to a stored list (AddToNameList) ----------------------------------

namespace {

uint32_t FoldedHash(const char* s, size_t n) {
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < n; ++i) h = (h ^ UpperAscii(static_cast<uint8_t>(s[i]))) * 16777619u;
  return h;
}

// The names asked for that no line of the list holds yet, by their letters
// (case ignored); the list's lines are checked against them as it streams.
class WantedNames {
 public:
  bool Init(const char* const* names, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
      const char* name = names[i];
      if (name == nullptr || name[0] == 0 || std::strpbrk(name, "\r\n") != nullptr || IsListfileName(name)) continue;
      const uint32_t length = static_cast<uint32_t>(strnlen(name, ListScanner::kMaxLine + 1));
      if (length > ListScanner::kMaxLine) continue;
      if (!slots_.Reserve([this](const Slot& t) { return FoldedHash(names_[t.index()], lengths_[t.index()]); })) {
        return false;
      }
      Slot* s = Find(name, length);
      if (!s->free()) continue;
      if (!Keep(name, length)) return false;
      slots_.Take(s, Slot{count_, true});
      lengthSeen_[length % 64] = true;
    }
    return true;
  }
  // A line of the list: a name it holds is wanted no more.
  void Listed(const char* line, uint32_t length) {
    if (slots_.empty() || !lengthSeen_[length % 64]) return;
    Slot* s = Find(line, length);
    if (!s->free()) s->wanted = false;
  }
  // Whether a line of the list is one of the names given.
  bool Holds(const char* line, uint32_t length) {
    return !slots_.empty() && lengthSeen_[length % 64] && !Find(line, length)->free();
  }
  // Whether name (one of those given) is still wanted; it is not afterwards.
  bool Take(const char* name) {
    if (slots_.empty() || name == nullptr) return false;
    const uint32_t length = static_cast<uint32_t>(strnlen(name, ListScanner::kMaxLine + 1));
    Slot* s = Find(name, length);
    if (s->free() || !s->wanted) return false;
    s->wanted = false;
    return true;
  }
  ~WantedNames() { std::free(names_); std::free(lengths_); }

 private:
  struct Slot {
    uint32_t index1;  // 1 + index into names_, 0 when free
    bool wanted;
    bool free() const { return index1 == 0; }
    uint32_t index() const { return index1 - 1; }
  };
  Slot* Find(const char* name, uint32_t length) {
    return slots_.Probe(FoldedHash(name, length), [this, name, length](const Slot& t) {
      return lengths_[t.index()] == length && MatchNoCase(reinterpret_cast<const uint8_t*>(names_[t.index()]), name, length);
    });
  }
  bool Keep(const char* name, uint32_t length) {
    if (count_ == capacity_) {
      const uint32_t grown = capacity_ == 0 ? 16 : capacity_ * 2;
      auto* n = static_cast<const char**>(std::realloc(names_, grown * sizeof(char*)));
      if (n == nullptr) return Fail();
      names_ = n;
      auto* l = static_cast<uint32_t*>(std::realloc(lengths_, grown * sizeof(uint32_t)));
      if (l == nullptr) return Fail();
      lengths_ = l;
      capacity_ = grown;
    }
    names_[count_] = name;
    lengths_[count_] = length;
    ++count_;
    return true;
  }
  static bool Fail() {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  ProbeTable<Slot> slots_{1u << 28};
  const char** names_ = nullptr;
  uint32_t* lengths_ = nullptr;
  uint32_t count_ = 0, capacity_ = 0;
  bool lengthSeen_[64] = {};
};

}  // namespace

namespace {

constexpr uint32_t kPieceBytes = 1u << 20;

// What a read of the neutral list leaves: its size, whether it ends a line,
// the bytes after its last whole sector (the sectors before it are kept as
// stored) and, for the attributes, the digest of all of it.
struct ReadList {
  bool present = false;
  uint32_t size = 0;
  bool endsLine = true;
  char* tail = nullptr;
  uint32_t tailSize = 0;
  ~ReadList() { std::free(tail); }
};

// Streams the neutral list through the wanted names (and the digest, when
// one is given). False when it is there and cannot be read whole.
bool ScanNeutralList(Archive* archive, WantedNames* wanted, ContentDigest* digest, ReadList* out) {
  out->present = FindExactHashEntry(archive, kListfileName, 0) != nullptr;
  if (!out->present) return true;
  FileHandle file = nullptr;
  if (!OpenArchiveFileInLocale(archive, kListfileName, 0, &file)) return false;
  const uint32_t size = GetArchiveFileSize(file, nullptr);
  bool ok = StoredSizeFits(file);
  const uint32_t sectorSize = archive->sectorSize;
  const uint32_t tailStart = size - size % sectorSize;
  PageBuffer piece(kPieceBytes);
  ok = ok && (static_cast<bool>(piece) || (SetLastError(ERROR_NOT_ENOUGH_MEMORY), false));
  if (ok && size != tailStart) {
    out->tail = static_cast<char*>(std::malloc(size - tailStart));
    ok = out->tail != nullptr || (SetLastError(ERROR_NOT_ENOUGH_MEMORY), false);
  }
  // Lines as the tool splits them: at CR, LF and zero bytes.
  char line[ListScanner::kMaxLine + 1];
  uint32_t lineLength = 0;
  uint32_t got = 0;
  char last = '\n';
  while (ok && got < size) {
    const uint32_t want = size - got < kPieceBytes ? size - got : kPieceBytes;
    uint32_t n = 0;
    ok = ReadArchiveFile(file, piece.bytes(), want, &n, nullptr);
    if (ok && n != want) ok = (SetLastError(ERROR_FILE_CORRUPT), false);
    if (!ok) break;
    const char* bytes = reinterpret_cast<const char*>(piece.bytes());
    if (digest != nullptr) digest->Update(bytes, n);
    if (got + n > tailStart) {
      const uint32_t from = got > tailStart ? 0 : tailStart - got;
      std::memcpy(out->tail + (got + from - tailStart), bytes + from, n - from);
    }
    for (uint32_t i = 0; i < n; ++i) {
      const char c = bytes[i];
      if (c != '\r' && c != '\n' && c != 0) {
        if (lineLength < sizeof line) line[lineLength] = c;
        ++lineLength;
        continue;
      }
      if (lineLength != 0 && lineLength <= ListScanner::kMaxLine) wanted->Listed(line, lineLength);
      lineLength = 0;
    }
    if (n != 0) last = bytes[n - 1];
    got += n;
  }
  if (ok && lineLength != 0 && lineLength <= ListScanner::kMaxLine) wanted->Listed(line, lineLength);
  const uint32_t error = GetLastError();
  CloseArchiveFile(file);
  SetLastError(error);
  if (!ok) return false;
  out->size = size;
  out->tailSize = size - tailStart;
  out->endsLine = size == 0 || last == '\r' || last == '\n';
  return true;
}

// Puts the new block in the list's entry, as an add that replaces it does.
void InstallListBlock(Archive* archive, HashEntry* slot, const BlockEntry& block, uint32_t blockIndex, bool grows,
                      uint32_t oldIndex) {
  if (grows) {
    archive->blockTable[blockIndex] = BlockEntry{};
    ++archive->header.blockTableEntries;
  }
  if (blockIndex == oldIndex) {
    ReleaseBlockSpace(archive, oldIndex);
  } else {
    ChangeBlockReference(archive, oldIndex, blockIndex);
  }
  archive->blockTable[blockIndex] = block;
  NoteBlockExtent(archive, blockIndex, block, block.storedSize);
  slot->blockIndex = blockIndex;
  SessionOf(archive)->hashChanged = true;
  SessionOf(archive)->blocksChanged = true;
}

// The new list's bytes after the kept sectors: two runs, one after the other.
struct ListRest {
  const char* first = nullptr;
  uint32_t firstSize = 0;
  const char* second = nullptr;
  uint32_t secondSize = 0;
  uint64_t size() const { return static_cast<uint64_t>(firstSize) + secondSize; }
  // Copies length bytes from offset on.
  void Copy(uint8_t* out, uint64_t offset, uint32_t length) const {
    if (offset < firstSize) {
      const uint32_t n = firstSize - offset < length ? firstSize - static_cast<uint32_t>(offset) : length;
      std::memcpy(out, first + offset, n);
      out += n;
      offset += n;
      length -= n;
    }
    if (length != 0) std::memcpy(out, second + (offset - firstSize), length);
  }
};

constexpr uint32_t kGroupSectors = 64;

// Sectors of a list to pack (and encipher, key on for each sector).
struct ListGroup {
  uint8_t* input = nullptr;
  uint8_t* output = nullptr;
  uint32_t sectorSize = 0;
  uint32_t bytes = 0;
  uint32_t count = 0;
  uint32_t key = 0;
  bool encrypted = false;
  const uint8_t* stored[kGroupSectors] = {};
  uint32_t lengths[kGroupSectors] = {};
};

void PackListSector(void* context, uint32_t j) {
  auto* g = static_cast<ListGroup*>(context);
  uint8_t* in = g->input + static_cast<size_t>(j) * g->sectorSize;
  uint8_t* out = g->output + static_cast<size_t>(j) * g->sectorSize;
  const uint32_t length = j + 1 == g->count ? g->bytes - j * g->sectorSize : g->sectorSize;
  uint32_t outLength = length;
  uint8_t* stored = in;
  if (CompressSector(out, &outLength, in, length, COMP_IMPLODE, 0, 0) && outLength > 0 && outLength < length) {
    stored = out;
  } else {
    outLength = length;
  }
  if (g->encrypted) EncryptBlock(stored, outLength, g->key + j);
  g->stored[j] = stored;
  g->lengths[j] = outLength;
}

// Stores the list as the first kept of its whole stored sectors (the old
// list held oldSize bytes; the sectors are re-encrypted for the new place)
// followed by rest, compressed anew. kRefused with nothing written when the
// stored list is not laid out for it.
Outcome StoreKeepingSectors(Archive* archive, uint32_t oldSize, uint32_t kept, const ListRest& rest) {
  HashEntry* slot = FindExactHashEntry(archive, kListfileName, 0);
  if (slot == nullptr || archive->blockTable == nullptr || slot->blockIndex >= archive->header.blockTableEntries ||
      std::memcmp(archive->header.signature, kSignatureBn3, 4) == 0) {
    return Outcome::kRefused;
  }
  const BlockEntry old = archive->blockTable[slot->blockIndex];
  const uint32_t sectorSize = archive->sectorSize;
  if ((old.flags & BLOCK_COMPRESSED) == 0 || (old.flags & BLOCK_IMPLODED) != 0 || IsSingleUnit(old.flags) ||
      HasChecksumBlock(old.flags) || !HasSectorTable(old.flags) || old.fileSize != oldSize || kept == 0 ||
      kept > oldSize / sectorSize) {
    return Outcome::kRefused;
  }
  const bool encrypted = (old.flags & BLOCK_ENCRYPTED) != 0;
  const uint32_t oldKey = encrypted ? FileKey(kListfileName, old) : 0;
  // The stored offset table, checked as a reader checks it.
  BlockData where;
  const uint32_t oldSectors = (oldSize + sectorSize - 1) / sectorSize;
  const uint32_t oldTableBytes = 4 * (oldSectors + 1);
  if (!LocateBlockData(archive, old, &where) || where.room < oldTableBytes) return Outcome::kRefused;
  PageBuffer oldTable(oldTableBytes);
  if (!oldTable || !ReadExactAt(archive->fileHandle, where.start, oldTable.bytes(), oldTableBytes)) {
    return Outcome::kRefused;
  }
  auto* oldOffsets = reinterpret_cast<uint32_t*>(oldTable.bytes());
  if (encrypted) DecryptBlock(oldOffsets, oldTableBytes, oldKey - 1);
  for (uint32_t i = 0; i <= oldSectors; ++i) oldOffsets[i] = platform::LoadLE32(&oldOffsets[i]);
  if (!SectorOffsetsValid(oldOffsets, oldSectors, oldSize, sectorSize, where.room, false)) return Outcome::kRefused;
  const uint64_t keptSize = static_cast<uint64_t>(kept) * sectorSize;
  const uint64_t newSize = keptSize + rest.size();
  const uint64_t sectors = (newSize + sectorSize - 1) / sectorSize;
  const uint64_t tableBytes = 4 * (sectors + 1);
  const uint64_t keptBytes = oldOffsets[kept] - oldOffsets[0];
  const uint64_t room = tableBytes + keptBytes + rest.size();
  if (newSize > 0xFFFFFFFFu || room > 0xFFFFFFFFu) {
    SetLastError(kErrorFileTooLarge);
    return Outcome::kRefused;
  }
  if (!NoteHashChange(archive, slot)) return Outcome::kArchiveFailed;
  const uint32_t oldIndex = slot->blockIndex;
  const bool grows = BlockReferences(archive, oldIndex) != 1;
  const uint32_t blockIndex = grows ? archive->header.blockTableEntries : oldIndex;
  if (grows && !ReserveBlockEntry(archive)) return Outcome::kArchiveFailed;
  uint64_t position = 0;
  if (!AllocateSpace(archive, room, &position)) return Outcome::kArchiveFailed;
  BlockEntry block{};
  SetBlockOffset(block, position);
  block.fileSize = static_cast<uint32_t>(newSize);
  block.flags = old.flags;
  const uint32_t newKey = encrypted ? FileKey(kListfileName, block) : 0;
  const uint64_t at = static_cast<uint64_t>(archive->headerOffset) + position;

  PageBuffer table(static_cast<size_t>(tableBytes));
  PageBuffer piece(kPieceBytes + 2 * static_cast<size_t>(sectorSize));
  bool ok = static_cast<bool>(table) && static_cast<bool>(piece);
  if (!ok) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  auto* offsets = reinterpret_cast<uint32_t*>(table.bytes());
  // The kept sectors: read in pieces, each deciphered with its old key and
  // enciphered with its new one.
  uint32_t write = static_cast<uint32_t>(tableBytes);
  for (uint32_t first = 0; ok && first < kept;) {
    uint32_t last = first + 1;
    while (last < kept && oldOffsets[last + 1] - oldOffsets[first] <= kPieceBytes) ++last;
    const uint32_t bytes = oldOffsets[last] - oldOffsets[first];
    ok = bytes <= kPieceBytes + 2 * sectorSize &&
         ReadExactAt(archive->fileHandle, where.start + oldOffsets[first], piece.bytes(), bytes);
    if (!ok) {
      if (GetLastError() == 0) SetLastError(ERROR_FILE_CORRUPT);
      break;
    }
    for (uint32_t i = first; i < last; ++i) {
      uint8_t* sector = piece.bytes() + (oldOffsets[i] - oldOffsets[first]);
      const uint32_t length = oldOffsets[i + 1] - oldOffsets[i];
      if (encrypted) {
        DecryptBlock(sector, length, oldKey + i);
        EncryptBlock(sector, length, newKey + i);
      }
      offsets[i] = write + (oldOffsets[i] - oldOffsets[first]);
    }
    ok = WriteExactAt(archive->fileHandle, at + write, piece.bytes(), bytes);
    write += bytes;
    first = last;
  }
  // The rest, compressed as a list is, a group of sectors at a time on the
  // compression threads; each sector is packed on its own, so the bytes do
  // not depend on the threads.
  ListGroup group;
  group.sectorSize = sectorSize;
  group.encrypted = encrypted;
  // A group holds at most 4 MiB and no more sectors than are left: the
  // archive's sector size (up to 16 MiB) is no budget.
  const uint64_t left = sectors - kept;
  const uint32_t perGroup = static_cast<uint32_t>(
      std::max<uint64_t>(1, std::min<uint64_t>({kGroupSectors, (4u << 20) / sectorSize, left})));
  PageBuffer in(static_cast<size_t>(perGroup) * sectorSize), out(static_cast<size_t>(perGroup) * sectorSize);
  ok = ok && ((in && out) || (SetLastError(ERROR_NOT_ENOUGH_MEMORY), false));
  group.input = in.bytes();
  group.output = out.bytes();
  for (uint64_t i = kept; ok && i < sectors; i += group.count) {
    const uint64_t start = i * sectorSize;
    group.count = static_cast<uint32_t>(sectors - i < perGroup ? sectors - i : perGroup);
    group.bytes = static_cast<uint32_t>(newSize - start < static_cast<uint64_t>(group.count) * sectorSize
                                            ? newSize - start
                                            : static_cast<uint64_t>(group.count) * sectorSize);
    group.key = newKey + static_cast<uint32_t>(i);
    rest.Copy(in.bytes(), start - keptSize, group.bytes);
    RunInParallel(group.count, PackListSector, &group);
    for (uint32_t j = 0; ok && j < group.count; ++j) {
      offsets[i + j] = write;
      ok = WriteExactAt(archive->fileHandle, at + write, group.stored[j], group.lengths[j]);
      write += group.lengths[j];
    }
  }
  if (ok) {
    offsets[sectors] = write;
    for (uint64_t i = 0; i <= sectors; ++i) platform::StoreLE32(table.bytes() + 4 * i, offsets[i]);
    if (encrypted) EncryptBlock(table.bytes(), static_cast<uint32_t>(tableBytes), newKey - 1);
    ok = WriteExactAt(archive->fileHandle, at, table.bytes(), static_cast<uint32_t>(tableBytes));
  }
  if (!ok) {
    const uint32_t error = GetLastError();
    ReleaseSpace(archive, position, position + room);
    SetLastError(error);
    return Outcome::kArchiveFailed;
  }
  ReleaseSpace(archive, position + write, position + room);
  block.storedSize = write;
  InstallListBlock(archive, slot, block, blockIndex, grows, oldIndex);
  return Outcome::kDone;
}

}  // namespace

namespace {

// A batch's renames and deletes change the session's copy of the list, which
// is stored only when the batch commits. A call that reads the stored list
// stores that copy first: else it would edit the list without them, and
// dropping the copy after its own store would lose them. False when the
// archive failed.
bool StorePendingList(Archive* archive) {
  return !SessionOf(archive)->list.dirty || StoreSessionList(archive) != Outcome::kArchiveFailed;
}

}  // namespace

bool AddToNameList(ArchiveHandle archive, const char* const* names, uint32_t count, bool* unreadable) {
  if (unreadable != nullptr) *unreadable = false;
  if (!IsOpenArchive(archive) || (names == nullptr && count != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (!CheckUpdatableArchive(archive)) return false;
  WantedNames wanted;
  if (!wanted.Init(names, count)) return false;
  if (BeginOperation(archive) == nullptr) return false;
  if (!StorePendingList(archive)) return EndOperation(archive, Outcome::kArchiveFailed);
  const AttributesTable* attributes = KeptAttributes(archive);
  ContentDigest digest(attributes != nullptr ? attributes->flags : 0);
  ReadList list;
  if (!ScanNeutralList(archive, &wanted, attributes != nullptr ? &digest : nullptr, &list)) {
    if (unreadable != nullptr) *unreadable = true;
    return EndOperation(archive, Outcome::kRefused);
  }
  // The lines to add, in the order given, each once.
  char* added = nullptr;
  uint32_t addedSize = 0, addedCapacity = 0;
  bool ok = true;
  for (uint32_t i = 0; ok && i < count; ++i) {
    if (!wanted.Take(names[i])) continue;
    const uint32_t length = static_cast<uint32_t>(std::strlen(names[i]));
    ok = GrowText(&added, &addedCapacity, static_cast<uint64_t>(addedSize) + length + 4);
    if (!ok) break;
    if (addedSize == 0 && !list.endsLine) {
      std::memcpy(added, "\r\n", 2);
      addedSize = 2;
    }
    std::memcpy(added + addedSize, names[i], length);
    std::memcpy(added + addedSize + length, "\r\n", 2);
    addedSize += length + 2;
  }
  if (!ok || addedSize == 0) {
    std::free(added);
    // Nothing to store: the operation changed nothing either way.
    const uint32_t error = GetLastError();
    EndOperation(archive, Outcome::kRefused);
    SetLastError(error);
    return ok;
  }
  Outcome outcome = Outcome::kRefused;
  // Unused unless the sectors are kept: a whole store digests for itself.
  if (attributes != nullptr) digest.Update(added, addedSize);
  if (list.present) {
    ListRest rest;
    rest.first = list.tail;
    rest.firstSize = list.tailSize;
    rest.second = added;
    rest.secondSize = addedSize;
    outcome = StoreKeepingSectors(archive, list.size, list.size / archive->sectorSize, rest);
  }
  if (outcome == Outcome::kRefused) {
    // A list laid out otherwise (or none) is stored whole.
    char* text = nullptr;
    uint32_t size = 0, capacity = 0;
    bool present = false;
    ok = !list.present || ReadWholeStoredFile(archive, kListfileName, 0, &text, &size, &capacity, &present);
    ok = ok && GrowText(&text, &capacity, static_cast<uint64_t>(size) + addedSize);
    if (ok) {
      std::memcpy(text + size, added, addedSize);
      AddSource source;
      source.memory = reinterpret_cast<const uint8_t*>(text);
      source.memorySize = size + addedSize;
      outcome = AddToSession(archive, source, kListfileName, kListfileFlags, COMP_IMPLODE, 0, 0);
    } else if (list.present && unreadable != nullptr) {
      *unreadable = true;
    }
    std::free(text);
  } else if (outcome == Outcome::kDone && attributes != nullptr) {
    NoteStoredContent(archive, FindExactHashEntry(archive, kListfileName, 0)->blockIndex,
                      StoredContent{&digest, platform::GetSystemTimeAsFileTime()});
  }
  std::free(added);
  if (outcome == Outcome::kDone) ForgetSessionList(archive);
  return EndOperation(archive, outcome);
}

namespace {

// Stores text as the neutral list. read is the stored list's block the text
// was read from while it is still the one there (else null): its whole
// sectors before firstChange are kept, and only the rest is compressed anew.
Outcome StoreListText(Archive* archive, const char* text, uint32_t size, uint32_t firstChange,
                      const BlockEntry* read) {
  Outcome outcome = Outcome::kRefused;
  const BlockEntry* now = read != nullptr ? NeutralListBlock(archive) : nullptr;
  if (now != nullptr && std::memcmp(now, read, sizeof *read) == 0) {
    const uint32_t oldSize = read->fileSize;
    const uint32_t same = firstChange < size ? firstChange : size;
    const uint32_t kept = (same < oldSize ? same : oldSize) / archive->sectorSize;
    const AttributesTable* attributes = KeptAttributes(archive);
    ContentDigest digest(attributes != nullptr ? attributes->flags : 0);
    if (attributes != nullptr) digest.Update(text, size);
    ListRest rest;
    rest.first = text + static_cast<size_t>(kept) * archive->sectorSize;
    rest.firstSize = size - kept * archive->sectorSize;
    outcome = StoreKeepingSectors(archive, oldSize, kept, rest);
    if (outcome == Outcome::kDone && attributes != nullptr) {
      NoteStoredContent(archive, FindExactHashEntry(archive, kListfileName, 0)->blockIndex,
                        StoredContent{&digest, platform::GetSystemTimeAsFileTime()});
    }
  }
  if (outcome == Outcome::kRefused) {
    static const uint8_t kEmpty = 0;
    AddSource source;
    source.memory = size != 0 ? reinterpret_cast<const uint8_t*>(text) : &kEmpty;
    source.memorySize = size;
    outcome = AddToSession(archive, source, kListfileName, kListfileFlags, COMP_IMPLODE, 0, 0);
  }
  return outcome;
}


}  // namespace

Outcome StoreSessionList(Archive* archive) {
  SessionList* list = &SessionOf(archive)->list;
  if (!list->dirty) return Outcome::kDone;
  Outcome outcome = StoreListText(archive, list->text, list->size, list->firstChange,
                                  list->blockKnown ? &list->block : nullptr);
  DropListedNames(archive);
  const uint32_t error = GetLastError();
  // No room for the list in the hash table leaves the old one; the other
  // changes still commit, as the list's upkeep never fails an operation.
  if (outcome == Outcome::kArchiveFailed && error == ERR_HASH_TABLE_FULL) outcome = Outcome::kRefused;
  if (outcome != Outcome::kArchiveFailed) list->dirty = false;
  // The stored list is another block now: a later store keeps nothing.
  if (outcome == Outcome::kDone) list->blockKnown = false;
  SetLastError(error);
  return outcome;
}

namespace {

// Reads the neutral list whole, lets edit change it (it sets the first byte
// it changed, or leaves 0xFFFFFFFF when nothing changed; false when it
// fails) and stores it once, keeping its whole sectors before that byte.
template <typename Edit>
bool EditNameList(Archive* archive, bool* unreadable, Edit edit) {
  if (BeginOperation(archive) == nullptr) return false;
  if (!StorePendingList(archive)) return EndOperation(archive, Outcome::kArchiveFailed);
  char* text = nullptr;
  uint32_t size = 0, capacity = 0;
  bool present = false;
  if (!ReadListfile(archive, 0, &text, &size, &capacity, &present)) {
    const uint32_t error = GetLastError();
    std::free(text);
    if (unreadable != nullptr) *unreadable = true;
    EndOperation(archive, Outcome::kRefused);
    SetLastError(error);
    return false;
  }
  BlockEntry read{};
  const BlockEntry* block = present ? NeutralListBlock(archive) : nullptr;
  if (block != nullptr) read = *block;
  uint32_t firstChange = 0xFFFFFFFFu;
  const bool edited = edit(&text, &size, &capacity, &firstChange);
  if (!edited || firstChange == 0xFFFFFFFFu) {
    std::free(text);
    // Nothing to store: the operation changed nothing either way.
    const uint32_t error = edited ? ERROR_SUCCESS : GetLastError();
    EndOperation(archive, Outcome::kRefused);
    SetLastError(error);
    return edited;
  }
  const Outcome outcome = StoreListText(archive, text, size, firstChange, block != nullptr ? &read : nullptr);
  std::free(text);
  if (outcome == Outcome::kDone) ForgetSessionList(archive);
  return EndOperation(archive, outcome);
}

// Calls line(pos, end, next) for each line of text: its letters end at end,
// its line ends at next.
template <typename Line>
void ForEachListLine(const char* text, uint32_t size, Line line) {
  for (uint32_t pos = 0; pos < size;) {
    uint32_t end = pos;
    while (end < size && !IsLineBreak(static_cast<uint8_t>(text[end]))) ++end;
    uint32_t next = end;
    while (next < size && IsLineBreak(static_cast<uint8_t>(text[next]))) ++next;
    line(pos, end, next);
    pos = next;
  }
}

}  // namespace

bool RemoveFromNameList(ArchiveHandle archive, const char* const* names, uint32_t count, bool* unreadable) {
  if (unreadable != nullptr) *unreadable = false;
  if (!IsOpenArchive(archive) || (names == nullptr && count != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (!CheckUpdatableArchive(archive)) return false;
  // The names to take out, by their letters (case ignored).
  WantedNames gone;
  if (!gone.Init(names, count)) return false;
  return EditNameList(archive, unreadable, [&gone](char** text, uint32_t* size, uint32_t*, uint32_t* firstChange) {
    // Each line goes with the line ends that follow it; the text closes up
    // in place.
    char* t = *text;
    uint32_t kept = 0;
    ForEachListLine(t, *size, [&](uint32_t pos, uint32_t end, uint32_t next) {
      if (gone.Holds(t + pos, end - pos)) {
        if (*firstChange == 0xFFFFFFFFu) *firstChange = kept;
        return;
      }
      if (kept != pos) std::memmove(t + kept, t + pos, next - pos);
      kept += next - pos;
    });
    *size = kept;
    return true;
  });
}

bool RespellInNameList(ArchiveHandle archive, const char* name, bool* unreadable) {
  if (unreadable != nullptr) *unreadable = false;
  if (!IsOpenArchive(archive) || name == nullptr || name[0] == 0 || std::strpbrk(name, "\r\n") != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const size_t letters = std::strlen(name);
  if (letters > 0xFFFF0000u) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (!CheckUpdatableArchive(archive)) return false;
  const uint32_t length = static_cast<uint32_t>(letters);
  return EditNameList(archive, unreadable, [name, length](char** text, uint32_t* size, uint32_t* capacity,
                                                          uint32_t* firstChange) {
    // Letters of one name differ only in case: each line changes in place.
    char* t = *text;
    bool found = false;
    ForEachListLine(t, *size, [&](uint32_t pos, uint32_t end, uint32_t) {
      if (end - pos != length || !MatchNoCase(reinterpret_cast<const uint8_t*>(t + pos), name, length)) return;
      found = true;
      if (std::memcmp(t + pos, name, length) == 0) return;
      std::memcpy(t + pos, name, length);
      if (*firstChange == 0xFFFFFFFFu) *firstChange = pos;
    });
    if (found) return true;
    if (!GrowText(text, capacity, static_cast<uint64_t>(*size) + length + 4)) return false;
    t = *text;
    uint32_t used = *size;
    *firstChange = used;
    if (used != 0 && !IsLineBreak(static_cast<uint8_t>(t[used - 1]))) {
      t[used++] = '\r';
      t[used++] = '\n';
    }
    std::memcpy(t + used, name, length);
    used += length;
    t[used++] = '\r';
    t[used++] = '\n';
    *size = used;
    return true;
  });
}
