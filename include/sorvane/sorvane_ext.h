/* The calls the sorvane tool needs beyond the public interface: answers that
 * only a tool managing archives asks for, kept apart so that the public
 * header stays the interface programs are written against. Installed and
 * exported like the public header; no stability is promised beyond the
 * package version it ships with. */
#ifndef SORVANE_SORVANE_EXT_H
#define SORVANE_SORVANE_EXT_H

#include "sorvane/sorvane.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The longest path, in characters, the library keeps for an archive (a
 * longer one is refused with ERROR_FILENAME_EXCED_RANGE). */
#define ARCHIVE_MAX_PATH 259u

/* Any locale, for ArchiveHasEntry. */
#define ANY_LOCALE ((uint32_t)0xFFFFFFFFu)

/* Whether a hash entry of exactly this name and locale (ANY_LOCALE: of any
 * locale) is in use. Unlike opening, no fallback to the neutral version is
 * made. False as well for an archive that is not open. */
SORVANE_API bool ArchiveHasEntry(ArchiveHandle archive, const char* name, uint32_t locale);

/* Called per name, zero-terminated, with its length; returning false stops. */
typedef bool (*ListedNameCallback)(void* context, const char* name, uint32_t length);

/* Every name the library knows for the archive, each once (names that
 * differ only in case are one name): "(listfile)", "(attributes)",
 * "(signature)", the lines of every language version of its "(listfile)",
 * then the names given with SetArchiveNameList. The lists are read in
 * pieces and their names handed out as they come, so a list of millions of
 * names is never held whole; a list that fails to read part way has handed
 * out the names before the failure. False with ERROR_INVALID_PARAMETER for
 * an archive that is not open or a null callback, ERROR_NOT_ENOUGH_MEMORY
 * when the names' check values cannot be held. */
SORVANE_API bool EnumerateListedNames(ArchiveHandle archive, ListedNameCallback callback, void* context);

/* Adds names to the archive's neutral "(listfile)" in one store, each that
 * no line of it holds yet (case ignored) once, in the order given, each
 * followed by CR LF; a list is made when the archive has none. Empty names,
 * names holding a line end and "(listfile)" are passed over. The list is
 * read once, and its whole sectors are kept as they are stored (enciphered
 * anew for the list's new place, its flags kept): only its last sector and
 * the added lines are compressed, so a large list costs one read, not a
 * new compression. An update like AddBuffer's (inside the batch when one is
 * open). A list that is there but cannot be read is left as it is: false
 * with *unreadable set (unreadable may be null). */
SORVANE_API bool AddToNameList(ArchiveHandle archive, const char* const* names, uint32_t count, bool* unreadable);

/* Takes out of the archive's neutral "(listfile)" every line that equals one
 * of the names (case ignored; "(listfile)" itself is never taken out), each with the line ends that follow it, in
 * one store; nothing is stored when no line goes. The list is read once,
 * and its whole sectors before the first line taken out are kept as they
 * are stored (enciphered anew for the list's new place, its flags kept).
 * Which names some locale still holds is the caller's to judge. An update
 * like AddBuffer's (inside the batch when one is open). A list that is there
 * but cannot be read is left as it is: false with *unreadable set
 * (unreadable may be null). */
SORVANE_API bool RemoveFromNameList(ArchiveHandle archive, const char* const* names, uint32_t count,
                                    bool* unreadable);

/* Writes every line of the archive's neutral "(listfile)" that equals name
 * (case ignored) in name's own spelling, or adds name followed by CR LF
 * when no line does (a list is made when the archive has none); nothing is
 * stored when no line changes. Stored as RemoveFromNameList stores. False
 * with ERROR_INVALID_PARAMETER for an empty name or one holding a line end;
 * a list that is there but cannot be read is left as it is: false with
 * *unreadable set (unreadable may be null). */
SORVANE_API bool RespellInNameList(ArchiveHandle archive, const char* name, bool* unreadable);

/* Every entry EnumerateArchiveEntries hands over, gathered by one call, for
 * callers that pay for each call back (a foreign-function interface does).
 * The table is one block the library allocates: count entries (entrySize
 * bytes each, sizeof(ArchiveEntry) of this library) in hash-table order,
 * and names, every entry's name zero-terminated one after the other in the
 * entries' order (namesSize bytes in all); each entry's name points into
 * it. The table stays valid until FreeArchiveEntryTable, also after the
 * archive is closed. Runs beside reads as EnumerateArchiveEntries does.
 * False with *out null as EnumerateArchiveEntries fails (for a null out
 * too), or with ERROR_NOT_ENOUGH_MEMORY. */
typedef struct ArchiveEntryTable {
  uint32_t structSize;
  uint32_t count;
  uint32_t entrySize;
  const ArchiveEntry* entries;
  const char* names;
  uint64_t namesSize;
} ArchiveEntryTable;
SORVANE_API bool CollectArchiveEntries(ArchiveHandle archive, const char* const* names, uint32_t count,
                                       ArchiveEntryTable** out);
/* Frees a table of CollectArchiveEntries; null does nothing. */
SORVANE_API void FreeArchiveEntryTable(ArchiveEntryTable* table);

/* With keep true, batches begun afterwards (BeginArchiveUpdate, and the
 * batch that goes on after CompactArchive or ResizeHashTable) write new data
 * only past the archive's end, never into its dead space, so that a batch
 * abandoned (or failed) leaves the file byte for byte as it was; the commit
 * makes the same archive as without it, but larger by the dead space it did
 * not reuse, which compaction drops. Bytes past the archive's end that an
 * earlier failure left are still cut when a batch begins. Updates outside
 * batches are not affected. False with ERROR_INVALID_PARAMETER for no
 * archive open for update. */
SORVANE_API bool SetBatchesKeepFile(ArchiveHandle archive, bool keep);

/* Whether this build's compression provider can compress with every method
 * of a COMP_* mask. The library stores a sector it cannot compress as it
 * is, which would turn a method this build lacks into a silent plain copy;
 * a tool asks first. Loads the provider when needed. */
SORVANE_API bool CanCompressWith(uint32_t mask);

/* The bytes compacting the archive would write beside it and those free
 * there. False when either cannot be had (last error set). */
SORVANE_API bool GetCompactionRoom(ArchiveHandle archive, uint64_t* needed, uint64_t* available);

/* VerifyArchiveEntries for the entries select accepts only (called with
 * the entry before it is decoded; the same context goes to both calls). */
SORVANE_API bool VerifySelectedEntries(ArchiveHandle archive, const char* const* names, uint32_t count,
                                       ArchiveEntryCallback select, ArchiveVerifyCallback callback, void* context);

/* The file times "(attributes)" records, by block index: times[i] gets
 * block i's (a Windows FILETIME; 0 where none is recorded) for i < count.
 * Returns how many blocks it covers (0 without a usable "(attributes)" or
 * one without times); the rest are set to 0. Leaves the last error. */
SORVANE_API uint32_t GetRecordedFileTimes(ArchiveHandle archive, uint64_t* times, uint32_t count);

/* What the last update of the archive could not do as asked, though it
 * succeeded: UPDATE_NOTE_* bits, 0 for none (and for an archive not open). */
#define UPDATE_NOTE_OWNER_NOT_KEPT ((uint32_t)0x1u) /* compaction's copy could not be given the
                                                       archive's owner; it belongs to this user */
SORVANE_API uint32_t GetArchiveUpdateNotes(ArchiveHandle archive);

#ifdef __cplusplus
}
#endif

#endif
