// Keeping the name list "(listfile)": read once per session, changed in
// memory by every add, rename and delete, stored once when the session
// commits.
#include <cstdlib>
#include <cstring>

#include "archive/read/lines.h"
#include "archive/update/update_internal.h"
#include "sorvane/sorvane.h"

namespace {

const char kListfileName[] = "(listfile)";
constexpr uint32_t kListfileFlags = BLOCK_KEY_ADJUSTED | BLOCK_ENCRYPTED | BLOCK_COMPRESSED | ADD_REPLACE;

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
  }
  return list->unusable ? nullptr : list;
}


uint32_t LineHash(const uint8_t* text, uint32_t length) {
  uint32_t h = 2166136261u;
  for (uint32_t i = 0; i < length; ++i) h = (h ^ UpperAscii(text[i])) * 16777619u;
  return h;
}

void DropIndex(SessionList* list) { list->index.Clear(); }

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
  if (length == 0 || std::strpbrk(name, "\r\n") != nullptr ||
      (list->index.empty() && !BuildIndex(list))) {
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
  list->dirty = true;
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
  const uint32_t size = list->size;
  const int64_t found = FindInList(list, name);
  if (found < 0) return true;
  const uint32_t pos = static_cast<uint32_t>(found);
  const uint32_t length = static_cast<uint32_t>(std::strlen(name));
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
  list->size = size - (to - from);
  list->dirty = true;
  // Later lines moved: the index is built again when next needed.
  DropIndex(list);
  return true;
}

void ForgetSessionList(Archive* archive) { ReleaseSessionList(&SessionOf(archive)->list); }

void ReleaseSessionList(SessionList* list) {
  DropIndex(list);
  std::free(list->text);
  list->text = nullptr;
  list->size = list->capacity = 0;
  list->loaded = list->unusable = list->dirty = false;
}

Outcome StoreSessionList(Archive* archive) {
  SessionList* list = &SessionOf(archive)->list;
  if (!list->dirty) return Outcome::kDone;
  static const uint8_t kEmpty = 0;
  AddSource source;
  source.memory = list->size != 0 ? reinterpret_cast<const uint8_t*>(list->text) : &kEmpty;
  source.memorySize = list->size;
  Outcome outcome = AddToSession(archive, source, kListfileName, kListfileFlags, COMP_IMPLODE, 0, 0);
  const uint32_t error = GetLastError();
  // No room for the list in the hash table leaves the old one; the other
  // changes still commit, as the list's upkeep never fails an operation.
  if (outcome == Outcome::kArchiveFailed && error == ERR_HASH_TABLE_FULL) outcome = Outcome::kRefused;
  if (outcome != Outcome::kArchiveFailed) list->dirty = false;
  SetLastError(error);
  return outcome;
}
