// The archive library's public operations: opening and reading MPQ archives,
// looking stored files up, recovering their keys, and (update side) creating
// archives and adding, deleting, renaming, re-localing and compacting files.
//
// Conventions: every operation returns a success flag (value queries return
// the value, 0xFFFFFFFF marking failure) and leaves the reason of a failure in
// the thread's last error (GetLastError()). Handles are the addresses of the
// library's records; they are checked against the library's open lists before
// use, so a stale or foreign handle fails with ERROR_INVALID_PARAMETER.
//
// Threads. The read side may be called from several threads at once:
// - Opening and closing archives (OpenArchive, CloseArchive) and stored
//   files (OpenArchiveFile, OpenArchiveFileInLocale, OpenArchiveFileByIndex,
//   OpenFileFromAnyArchive, CloseArchiveFile), SetArchivePriority, and the
//   handle queries (GetHandleName, GetFileArchive, GetArchiveFileInfo) may
//   run on any threads at once: the process-wide lists of open archives and
//   files, and their order by priority, are guarded. An open that searches
//   every archive sees the list as it is at one moment; an archive found
//   stays whole until the open is done, even if another thread closes it.
// - Reading (ReadArchiveFile, SetArchiveFilePointer, GetArchiveFileSize)
//   through different file handles may run at once, of the same archive or
//   of different ones: a handle keeps its own position and its own decoded
//   tables, and the archive file is read at explicit offsets, never through
//   a position the handles share (a loaded outside provider, written for
//   one thread, is called by one at a time). The calls that read a whole
//   archive (EnumerateArchiveEntries(With), VerifyArchiveEntries, GetArchiveFacts,
//   CheckArchiveTables, GetStoredExtent, GetCompressionMethods, and
//   ArchiveHasEntry, EnumerateListedNames, CollectArchiveEntries of
//   sorvane_ext.h) and
//   SetArchiveNameList may run beside them and beside each other, and so
//   may SetBaseDirectory, GetBaseDirectory and MakeLibraryPath.
// - One file handle is used by one thread at a time: its position and what
//   it has decoded are its own and unguarded. It may pass to another thread
//   between calls.
// - The last error (GetLastError) is the calling thread's own.
// What must not run at once:
// - An update (every call of the update side below, CompactArchive and
//   ResizeHashTable included) with any other call on the same archive or a
//   file open on it. The update side is used by one thread at a time (the
//   compression threads and the progress callback are process-wide); reads
//   of other archives may go on meanwhile.
// - CloseArchive with a call on that archive or on a file open on it (it
//   closes those files), and CloseArchiveFile with a call on that file.
// - SetLocale with a call that uses the process-wide locale it sets
//   (OpenArchiveFile, OpenFileFromAnyArchive, and the update side's adds,
//   deletes and renames): which locale such a call uses then is not
//   defined. Threads that read in their own locales use
//   OpenArchiveFileInLocale, which never looks at the process-wide locale.
// - LibraryStartup and LibraryShutdown with any other call, and
//   UnloadStormLibrary with a read or an update that may be in the outside
//   provider's code (LoadStormLibrary may run anywhere: reads call it).
//
// Sharing an archive file. Every archive handle (OpenArchive,
// OpenArchiveWritable) holds the file with the Windows share modes, also on
// POSIX systems, where the library takes a lock of the open file itself
// (kept until the archive is closed or the program ends, killed or not):
// - handles that only read (OpenArchive without OPEN_WRITE, and
//   OpenArchiveWritable with UPDATE_READ_ONLY) share the file with each
//   other, in this program or in others;
// - a handle that may update (OpenArchiveWritable, OpenArchive with
//   OPEN_WRITE) excludes every other archive handle on that file, a second
//   one of the same program included: the one writer sees no reader that an
//   update could hand another state's bytes, and no second writer.
// An open that conflicts fails at once with ERROR_SHARING_VIOLATION and is
// not tried again under the base folder; the library never waits, callers
// that want to wait try again later. Only archive handles take part: other
// programs that open the file as a plain file are not kept out. Compaction
// puts a new file in the archive's place and holds it the same way; on
// Windows, where an open file cannot be replaced, it closes its handle for
// the replace and opens the archive again; a program that opens the archive
// in that moment makes the compaction fail with ERROR_SHARING_VIOLATION (the
// archive whole, compacted or not, and the handle of no further use). On file
// systems that take no locks (some network and FUSE ones) archives open
// without exclusion.
//
// The header is plain C11 and C++: C programs and foreign-function
// interfaces call the same operations. Installed as <sorvane/sorvane.h>.
#ifndef SORVANE_SORVANE_H
#define SORVANE_SORVANE_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

// The package's version; GetSorvaneVersion() gives the one of the library a
// program runs with, SORVANE_VERSION the one it was compiled against.
#define SORVANE_VERSION_MAJOR 1
#define SORVANE_VERSION_MINOR 6
#define SORVANE_VERSION_PATCH 0
#define SORVANE_VERSION_STRING "1.6.0"
#define SORVANE_VERSION \
  ((SORVANE_VERSION_MAJOR << 16) | (SORVANE_VERSION_MINOR << 8) | SORVANE_VERSION_PATCH)

// Every public operation is declared on a line that begins with SORVANE_API;
// a shared library exports those and nothing else. Programs that link the
// static library on Windows define SORVANE_STATIC (the package files do).
#if defined(_WIN32) && defined(SORVANE_BUILDING_DLL)
#define SORVANE_API __declspec(dllexport)
#elif defined(_WIN32) && !defined(SORVANE_STATIC)
#define SORVANE_API __declspec(dllimport)
#elif defined(__GNUC__)
#define SORVANE_API __attribute__((visibility("default")))
#else
#define SORVANE_API
#endif

// On Windows a program takes GetLastError, SetLastError, OVERLAPPED and the
// ERROR_* codes from <windows.h>: the library's last error is the system's.
// The library's own code includes no system header above its platform
// layer, so there the header declares the two calls with the system's shape.
#if defined(_WIN32) && !defined(SORVANE_INTERNAL)
#include <windows.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct Archive* ArchiveHandle;
typedef struct ArchiveFile* FileHandle;

// ---- Win32 shapes the operations take ------------------------------------------

// Elsewhere the last error is the library's, with the same numbers.
#if defined(_WIN32) && defined(SORVANE_INTERNAL)
__declspec(dllimport) unsigned long __stdcall GetLastError(void);
__declspec(dllimport) void __stdcall SetLastError(unsigned long code);
#endif
#if !defined(_WIN32) || defined(SORVANE_INTERNAL)
// The same layout as the system's (whose Offset and OffsetHigh share a union
// with a pointer, which changes neither size nor offsets).
typedef struct OVERLAPPED {
  uintptr_t Internal;
  uintptr_t InternalHigh;
  uint32_t Offset;
  uint32_t OffsetHigh;
  void* hEvent;
} OVERLAPPED;

#define ERROR_SUCCESS ((uint32_t)0u)
#define ERROR_FILE_NOT_FOUND ((uint32_t)2u)
#define ERROR_ACCESS_DENIED ((uint32_t)5u)
#define ERROR_NOT_ENOUGH_MEMORY ((uint32_t)8u)
#define ERROR_SHARING_VIOLATION ((uint32_t)32u)
#define ERROR_NOT_SUPPORTED ((uint32_t)50u)
#define ERROR_INVALID_PARAMETER ((uint32_t)87u)
#define ERROR_FILE_INVALID ((uint32_t)1006u)
#define ERROR_FILE_CORRUPT ((uint32_t)1392u)
#define ERROR_UNKNOWN_PROPERTY ((uint32_t)1608u)
#endif
#if !defined(_WIN32)
SORVANE_API uint32_t GetLastError(void);
SORVANE_API void SetLastError(uint32_t code);
#endif

// The version of the library the program runs with, laid out as
// SORVANE_VERSION: major << 16 | minor << 8 | patch.
SORVANE_API uint32_t GetSorvaneVersion(void);

// ---- the library's own error codes --------------------------------------------------

#define ERR_NOT_ARCHIVE ((uint32_t)0x85200065u)
#define ERR_FILE_NOT_STORED ((uint32_t)0x85200066u)
#define ERR_HASH_TABLE_FULL ((uint32_t)0x85200069u)
#define ERR_ALREADY_STORED ((uint32_t)0x8520006Au)
#define ERR_READ_ONLY_NEEDS_EXISTING ((uint32_t)0x8520006Cu)

// ---- flags ----------------------------------------------------------------------

#define BLOCK_IMPLODED ((uint32_t)0x00000100u)
#define BLOCK_COMPRESSED ((uint32_t)0x00000200u)
#define BLOCK_ENCRYPTED ((uint32_t)0x00010000u)
#define BLOCK_KEY_ADJUSTED ((uint32_t)0x00020000u)
#define BLOCK_SINGLE_UNIT ((uint32_t)0x01000000u)
#define BLOCK_SECTOR_CRC ((uint32_t)0x04000000u)
#define BLOCK_EXISTS ((uint32_t)0x80000000u)

#define OPEN_CD_ONLY ((uint32_t)0x00000001u)
#define OPEN_WRITE ((uint32_t)0x00008000u)

#define UPDATE_KEEP_LISTFILE ((uint32_t)0x1u)
#define UPDATE_OPEN_EXISTING ((uint32_t)0x4u)
#define UPDATE_CREATE_ALWAYS ((uint32_t)0x8u)
#define UPDATE_READ_ONLY ((uint32_t)0x10u)
#define UPDATE_OPEN_ALWAYS ((uint32_t)0x20u)
// A new archive gets the extended header (format version 1): positions are
// 64-bit, so it may grow past 4 GB. Archives of the classic header stay
// within 4 GB (updates that would pass it fail with error 223).
#define UPDATE_FORMAT_1 ((uint32_t)0x40u)

#define ADD_REPLACE ((uint32_t)0x1u)

// Compression method bits of a sector's method mask.
#define COMP_HUFFMAN ((uint32_t)0x01u)
#define COMP_ZLIB ((uint32_t)0x02u)   // provided by the external provider
#define COMP_IMPLODE ((uint32_t)0x08u)
#define COMP_BZIP2 ((uint32_t)0x10u)  // provided by the external provider
#define COMP_ADPCM_MONO ((uint32_t)0x40u)
#define COMP_ADPCM_STEREO ((uint32_t)0x80u)
// GetCompressionMethods: some sector is stored without compression.
#define METHOD_SECTOR_STORED ((uint32_t)0x100u)

// GetArchiveFileInfo codes.
#define INFO_SECTOR_SHIFT ((uint32_t)1u)
#define INFO_HASH_TABLE_SIZE ((uint32_t)2u)
#define INFO_BLOCK_TABLE_SIZE ((uint32_t)3u)
#define INFO_HANDLE_KIND ((uint32_t)4u)
#define INFO_SIZE ((uint32_t)5u)
#define INFO_COMPRESSED_SIZE ((uint32_t)6u)
#define INFO_FLAGS ((uint32_t)7u)
#define INFO_ARCHIVE ((uint32_t)8u)
#define INFO_POSITION ((uint32_t)9u)
#define INFO_LOCALE ((uint32_t)10u)
#define INFO_PRIORITY ((uint32_t)11u)
#define INFO_HASH_INDEX ((uint32_t)12u)

// Hash types of HashString.
#define HASH_TABLE_INDEX ((uint32_t)0u)
#define HASH_NAME_A ((uint32_t)1u)
#define HASH_NAME_B ((uint32_t)2u)
#define HASH_FILE_KEY ((uint32_t)3u)

// ---- hashing and encryption -------------------------------------------------------

// Fills the cipher's table of 0x500 words the hashes and the cipher use.
// Run by LibraryStartup and on first use; calling it again does no harm.
// Always true.
SORVANE_API bool BuildCryptTable(void);
// The hash of a stored name of one of the HASH_* types: the hash-table slot
// (HASH_TABLE_INDEX, before masking with the table size), the two name
// checks (HASH_NAME_A, HASH_NAME_B) or the file key of a name without
// folder (HASH_FILE_KEY). ASCII letters are folded to upper case; '/' is a
// character of its own, so "dir/x" and "dir\x" hash apart. A null name
// hashes as the empty one.
SORVANE_API uint32_t HashString(const char* name, uint32_t hashType);
// Enciphers (EncryptBlock) or deciphers (DecryptBlock) byteLength / 4 little-
// endian words in place with the key; trailing bytes stay as they are. False
// with ERROR_INVALID_PARAMETER for null data.
SORVANE_API bool EncryptBlock(void* data, uint32_t byteLength, uint32_t key);
SORVANE_API bool DecryptBlock(void* data, uint32_t byteLength, uint32_t key);
// Finds the key that deciphers the first two words at `words` (8 readable
// bytes) so that the first becomes expectedFirst and the second has a zero
// upper half (a sector offset table's start). Returns the key plus one, or 0
// when none does.
SORVANE_API uint32_t DetectFileKey(const void* words, uint32_t expectedFirst);
// The keys the hash table and the block table are enciphered with (the
// hashes of "(hash table)" and "(block table)" of type HASH_FILE_KEY).
SORVANE_API uint32_t HashTableKey(void);
SORVANE_API uint32_t BlockTableKey(void);

// ---- archives ---------------------------------------------------------------------

// Opens the archive at path (tried again under the base folder,
// MakeLibraryPath, when it is not found as given) and puts its handle in
// *out. priority orders the open archives for searches over all of them
// (higher first). flags: OPEN_CD_ONLY opens only from a CD drive (a plain
// false otherwise), OPEN_WRITE opens the file for writing as well (and
// excludes other handles, see above). The header is looked for at every
// multiple of 512 bytes, behind a user-data block too. Errors:
// ERROR_INVALID_PARAMETER (null path or out), 206 (path too long),
// ERROR_FILE_NOT_FOUND, ERROR_SHARING_VIOLATION, ERR_NOT_ARCHIVE (no header),
// ERROR_FILE_CORRUPT (tables or user data that do not fit),
// ERROR_NOT_ENOUGH_MEMORY.
SORVANE_API bool OpenArchive(const char* path, uint32_t priority, uint32_t flags, ArchiveHandle* out);
// Closes the archive and every file still open on it; an open batch is
// abandoned. False with ERROR_INVALID_PARAMETER for no open archive.
SORVANE_API bool CloseArchive(ArchiveHandle archive);
// Gives the archive another priority among the open archives (higher is
// searched first). False with ERROR_INVALID_PARAMETER for no open archive.
SORVANE_API bool SetArchivePriority(ArchiveHandle archive, uint32_t priority);
// The base folder relative archive paths are tried under when they are not
// found as given (set at startup to the program's folder). '/' becomes '\'
// and a trailing separator is added. False for a folder that does not exist
// or is too long; ERROR_INVALID_PARAMETER for a null or empty path.
SORVANE_API bool SetBaseDirectory(const char* path);
// Copies the base folder, zero-terminated, into buffer; at most size bytes
// (a shorter buffer gets a cut copy without terminator). False with
// ERROR_INVALID_PARAMETER for a null buffer.
SORVANE_API bool GetBaseDirectory(char* buffer, uint32_t size);
// Path under the base folder: an absolute path stays as it is, a relative
// one gets the base folder before it. With a null buffer returns the bytes
// needed (terminator included); else writes it and returns 0, or the bytes
// needed when size is too small. 0xFFFFFFFF for a null path.
SORVANE_API uint32_t MakeLibraryPath(const char* path, char* buffer, uint32_t size);

// The original interface's identification: its banner text (copied by
// CopyLibraryBanner, which returns its size with the terminator and copies
// at most size bytes; a null buffer sets ERROR_INVALID_PARAMETER), its
// version number 2.0 and its 64-bit version 0x0002000600000001. They stay
// as that interface gave them; the package's version is SORVANE_VERSION.
SORVANE_API const char* GetLibraryBanner(void);
SORVANE_API uint32_t CopyLibraryBanner(char* buffer, uint32_t size);
SORVANE_API float GetLibraryVersionNumber(void);
SORVANE_API uint64_t GetLibraryVersion64(void);

// Set up the cipher table and the base folder, and close every open handle;
// run automatically at static initialisation and at exit; callable again.
SORVANE_API void LibraryStartup(void);
SORVANE_API void LibraryShutdown(void);

// ---- stored files -----------------------------------------------------------------

// searchScope 0: the given archive, or all open archives when archive is null.
// Any other scope: all open archives, then the disk.
// Opens the stored file `name` in the current locale (falling back to the
// neutral one) and puts its handle in *out. Errors: ERROR_INVALID_PARAMETER
// (null name or out, an archive that is not open), ERROR_FILE_NOT_FOUND or
// ERR_FILE_NOT_STORED, ERROR_FILE_INVALID (its key cannot be found),
// ERROR_NOT_ENOUGH_MEMORY.
SORVANE_API bool OpenArchiveFile(ArchiveHandle archive, const char* name, uint32_t searchScope, FileHandle* out);
// The index form: hash-table entry index of the given archive.
SORVANE_API bool OpenArchiveFileByIndex(ArchiveHandle archive, uint32_t index, FileHandle* out);
// OpenArchiveFile over every open archive (scope 0, no archive).
SORVANE_API bool OpenFileFromAnyArchive(const char* name, FileHandle* out);
// OpenArchiveFile with scope 0 in the given locale instead of the
// process-wide one: the stored file `name` of that locale, else of the
// neutral one (locale 0), in the given archive or, when archive is null, in
// every open archive in priority order. "#INDEX" names a hash entry as with
// OpenArchiveFile. For threads that read in locales of their own: SetLocale
// on another thread changes nothing here. Errors as OpenArchiveFile's; an
// archive that another thread closes during the call makes it fail with
// ERROR_INVALID_PARAMETER (a named archive) or ERROR_FILE_NOT_FOUND (one
// found by searching).
SORVANE_API bool OpenArchiveFileInLocale(ArchiveHandle archive, const char* name, uint32_t locale,
                                         FileHandle* out);
// Closes a file handle. False with ERROR_INVALID_PARAMETER for a null handle
// or one that is not open, except that with no file open at all the last
// error is left as it was.
SORVANE_API bool CloseArchiveFile(FileHandle file);
// The path an archive handle was opened with, or the name a file handle was
// opened by ("#INDEX" for the index form), copied with its terminator, at
// most bufferSize bytes. GetHandleNameAlias is the same call under the
// original interface's second name. False for a handle of neither kind;
// ERROR_INVALID_PARAMETER for a null handle or buffer.
SORVANE_API bool GetHandleName(const void* handle, char* buffer, uint32_t bufferSize);
SORVANE_API bool GetHandleNameAlias(const void* handle, char* buffer, uint32_t bufferSize);
// The archive a file handle reads from (null for a file opened from disk).
// False with ERROR_INVALID_PARAMETER for no open file or a null out.
SORVANE_API bool GetFileArchive(FileHandle file, ArchiveHandle* out);
// One fact of an archive or file handle, by INFO_* code (the archive's
// sector shift and table sizes; a file's size, stored size, flags, archive,
// position, locale, priority and hash index; the handle's kind, 1 archive
// or 2 file). 0xFFFFFFFF with ERROR_INVALID_PARAMETER for a null or
// unknown handle, ERROR_UNKNOWN_PROPERTY for a code that does not fit it.
SORVANE_API uint32_t GetArchiveFileInfo(const void* handle, uint32_t infoCode);
// The locale (language id, 0 neutral) that opening by name looks for first,
// process-wide. SetLocale returns the locale it set; GetLocale the current.
// The library never changes it on its own, also not for a moment; see
// "Threads" above for what SetLocale must not race with.
SORVANE_API uint32_t SetLocale(uint32_t locale);
SORVANE_API uint32_t GetLocale(void);

// Seek methods of SetArchiveFilePointer: the distance counts from the start
// of the file, from the current position, or from the end. On Windows they
// come from <windows.h> (which this header includes), with the same values.
#if !defined(_WIN32) && !defined(FILE_BEGIN)
#define FILE_BEGIN ((uint32_t)0u)
#define FILE_CURRENT ((uint32_t)1u)
#define FILE_END ((uint32_t)2u)
#endif

// Reads up to count bytes at the file's position into buffer and advances
// the position; *bytesRead (when not null) gets the bytes read, fewer at the
// file's end. overlapped, when not null, gives the position to read at
// instead (Offset). Errors: ERROR_INVALID_PARAMETER (no open file, null
// buffer), ERROR_FILE_CORRUPT or ERROR_FILE_INVALID (data that does not
// decode), ERROR_NOT_SUPPORTED (a compression method this build lacks).
SORVANE_API bool ReadArchiveFile(FileHandle file, void* buffer, uint32_t count, uint32_t* bytesRead,
                                 OVERLAPPED* overlapped);
// Moves the file's position by distance, a signed 32-bit value, from
// FILE_BEGIN, FILE_CURRENT or FILE_END; where that lands outside the file
// and distanceHigh is not null, by the 64-bit distance *distanceHigh and
// distance make (past 2 GiB of a larger file). A stored file's position
// stays within its size: a move outside it changes nothing and returns
// 0xFFFFFFFF with no error code. Returns the new position's low 32 bits
// (*distanceHigh set to 0), 0xFFFFFFFF with ERROR_INVALID_PARAMETER for no
// open file.
SORVANE_API uint32_t SetArchiveFilePointer(FileHandle file, int32_t distance, int32_t* distanceHigh,
                                           uint32_t method);
// The file's size (upper 32 bits in *sizeHigh when not null); 0xFFFFFFFF
// with ERROR_INVALID_PARAMETER for no open file.
SORVANE_API uint32_t GetArchiveFileSize(FileHandle file, uint32_t* sizeHigh);
// The bytes the data of a hash entry's file take in the archive as its own
// layout says (per-file header, sector offset table and sectors, or the plain
// data). Its block's stored size should be the same; where it is not, the
// writer falsified that size, which reading does not consult. 0xFFFFFFFF when
// the layout cannot be read (or its key not found).
SORVANE_API uint32_t GetStoredExtent(ArchiveHandle archive, uint32_t hashIndex);

// The compression methods the sectors of a hash entry's file name: the union
// of their method masks (COMP_*), COMP_IMPLODE for an imploded file's
// compressed sectors, and METHOD_SECTOR_STORED when a sector is kept as it
// is (compression did not save enough). 0 for a file stored whole without
// sector table; 0xFFFFFFFF when the table cannot be read (or its key found).
SORVANE_API uint32_t GetCompressionMethods(ArchiveHandle archive, uint32_t hashIndex);

// Loads the outside compression provider (its zlib and bzip2 methods) when
// one is installed; without it the built-in stand-in serves. True when one
// is loaded. UnloadStormLibrary returns to the stand-in.
SORVANE_API bool LoadStormLibrary(void);
SORVANE_API void UnloadStormLibrary(void);

// ---- names as paths ---------------------------------------------------------------

// False for a stored name whose output would land outside the folder it is
// written under: a leading separator, a drive ("C:"), or a component of two
// or more dots (with trailing spaces). Both '\' and '/' count as separators.
SORVANE_API bool IsSafeStoredName(const char* name);

// The rule for names a program should store: names every operation of the
// library and both programs handle. The operations themselves accept any
// name; CheckStoredName tells whether a name follows the rule, and if not,
// which part it breaks (the first of these that applies):
//  NAME_EMPTY             no name at all;
//  NAME_TOO_LONG          more than STORED_NAME_MAX bytes;
//  NAME_LINE_END          a CR or LF, which the name list cannot hold (nor a
//                         NUL, which a C string cannot carry anyway);
//  NAME_LEAVES_FOLDER     refused by extraction (IsSafeStoredName false);
//  NAME_HOLLOW_COMPONENT  an empty component (doubled or trailing separator)
//                         or a "." one: it extracts where another name does.
#define STORED_NAME_MAX 259u
#define NAME_FOLLOWS_RULE ((uint32_t)0u)
#define NAME_EMPTY ((uint32_t)1u)
#define NAME_TOO_LONG ((uint32_t)2u)
#define NAME_LINE_END ((uint32_t)3u)
#define NAME_LEAVES_FOLDER ((uint32_t)4u)
#define NAME_HOLLOW_COMPONENT ((uint32_t)5u)
SORVANE_API uint32_t CheckStoredName(const char* name);

// A name as a user should see it. A name with a control character (C0, DEL
// or C1), with bytes that are no UTF-8, or that starts with "$'" is shown
// in the shell's $'...' form: such bytes as \a \b \t \n \v \f \r or \ooo
// (three octal digits), backslash and quote as \\ and \'; other names are
// shown as they are. Returns the length of the shown form without its
// terminating zero; the buffer gets it, zero-terminated, when size exceeds
// that length, else an empty string (size 0: nothing is written).
// 0xFFFFFFFF with ERROR_INVALID_PARAMETER for a null name.
SORVANE_API uint32_t QuoteStoredName(const char* name, char* buffer, uint32_t size);

// ---- error codes in words ----------------------------------------------------------

// The words for an error code the library or the system sets (the library's
// own ERR_* codes and the ERROR_* codes it leaves as well as any other code
// the system knows), without a trailing period or line end; "unknown error"
// for a code nobody describes. Returns the length of the text without its
// terminating zero; the buffer gets it, zero-terminated, when size exceeds
// that length, else an empty string (size 0 or a null buffer: nothing is
// written). Never fails; leaves the last error as it was.
SORVANE_API uint32_t GetErrorText(uint32_t code, char* buffer, uint32_t size);

// ---- enumerating the stored entries ------------------------------------------------

// One hash entry in use, as EnumerateArchiveEntries hands it over. The
// library sets structSize to the size of the struct it fills; later versions
// only append fields, so a caller reads the fields that lie below structSize.
typedef struct ArchiveEntry {
  uint32_t structSize;
  uint32_t hashIndex;   // the entry's index in the hash table
  uint32_t locale;      // the entry's language version (0: neutral)
  uint32_t hasBlock;    // 1 when the entry names a block of the block table
  uint32_t blockIndex;  // the block it names (may lie outside the table)
  uint32_t flags;       // the block's BLOCK_* flags; 0 without block
  uint32_t fileSize;    // the file's size; 0 without block
  uint32_t blockStoredSize;  // the stored size the block table gives
  // The bytes the data takes as its own layout says (GetStoredExtent), or
  // blockStoredSize when that layout cannot be read; 0 without block.
  uint32_t storedSize;
  // GetCompressionMethods for the entry; 0xFFFFFFFF without block or when
  // the sector table cannot be read.
  uint32_t methods;
  uint32_t nameKnown;  // 1 when name is a name that hashes to this entry
  // The stored name when known, else "#" and the hash index in decimal (the
  // form the sorvane tool shows). Valid for the callback's duration only.
  const char* name;
} ArchiveEntry;

// Called once per entry, in hash-table order; returning false stops the
// enumeration (EnumerateArchiveEntries then returns true).
typedef bool (*ArchiveEntryCallback)(void* context, const ArchiveEntry* entry);

// Walks every hash entry in use (entries beyond the file's end, of a table
// cut short, are left out), naming each entry from "(listfile)",
// "(attributes)", "(signature)", the lines of every language version of the
// archive's "(listfile)" and the count names given (null when count is 0);
// where several names hash alike, the first in that order wins. False with
// ERROR_INVALID_PARAMETER for an archive that is not open, a null callback
// or null names with a nonzero count; ERROR_NOT_ENOUGH_MEMORY when the names
// cannot be indexed.
SORVANE_API bool EnumerateArchiveEntries(ArchiveHandle archive, const char* const* names, uint32_t count,
                                         ArchiveEntryCallback callback, void* context);

// What EnumerateArchiveEntriesWith leaves out.
#define ENTRIES_NO_LAYOUT ((uint32_t)0x1u)  // storedSize is blockStoredSize, methods 0xFFFFFFFF:
                                            // no sector table is read (for callers that only
                                            // want names, locales, flags and sizes)
// EnumerateArchiveEntries, leaving out what flags (ENTRIES_*) say; unknown
// flags fail with ERROR_INVALID_PARAMETER.
SORVANE_API bool EnumerateArchiveEntriesWith(ArchiveHandle archive, const char* const* names, uint32_t count,
                                             uint32_t flags, ArchiveEntryCallback callback, void* context);

// ---- what an archive holds: facts, table checks, verification ----------------------

// What GetArchiveFacts gathers; the cheap parts first.
#define FACTS_TABLES ((uint32_t)0x1u)      // header, tables and their use
#define FACTS_SPACE ((uint32_t)0x2u)       // file data and dead space: reads each block's layout
#define FACTS_ATTRIBUTES ((uint32_t)0x4u)  // "(attributes)": reads and parses it

// An open archive's header and table facts. structSize as for ArchiveEntry.
// Positions are in bytes from the start of the file; fields of a part not
// asked for are zero.
typedef struct ArchiveFacts {
  uint32_t structSize;
  // FACTS_TABLES: the header as found.
  uint64_t headerOffset;        // where the header lies in the file
  uint8_t signature[4];         // its first four bytes
  uint32_t headerSize;          // as the header says
  uint32_t headerArchiveSize;   // the archive size the header gives
  uint64_t archiveSize;         // where the archive's content ends (its furthest table or block for an
                                // extended header, whose size field is not to be trusted)
  uint32_t formatVersion;       // 0 classic, 1 extended (64-bit positions)
  uint32_t extended;            // 1 for the extended header
  uint32_t sectorSize;          // 512 << sectorSizeShift
  uint32_t sectorSizeShift;
  uint32_t hasUserData;         // 1 when a user-data block leads to the header
  uint64_t userDataPos;         // where it lies
  uint32_t userDataSize;        // its user data
  uint32_t userDataHeaderSize;  // its header
  uint64_t fileSize;            // the file's size
  uint64_t bytesPastEnd;        // bytes behind the archive's end (an update that failed left them)
  // FACTS_TABLES: the tables and their use.
  uint64_t hashTablePos;        // relative to the header, as the header gives it
  uint32_t hashTableEntries;
  uint32_t hashEntriesInFile;   // those of a table cut short by the file's end that lie within it
  uint32_t hashUsed, hashDeleted, hashEmpty;
  uint64_t blockTablePos;       // relative to the header
  uint32_t blockTableEntries;
  uint32_t blocksUsed;          // blocks some hash entry in use names
  uint64_t contentBytes;        // the files' sizes over the entries in use (what reading them all gives)
  uint32_t hasHighOffsets;      // 1 when an extended header keeps a high-offset table
  uint64_t highOffsetTablePos;  // relative to the header
  uint32_t highBlocks;          // blocks at 4 GiB or beyond
  // FACTS_SPACE.
  uint64_t fileDataBytes;       // the bytes the blocks in use take (their layout's extent)
  uint64_t deadBytes;           // the archive's bytes neither header, tables nor live data use
  // FACTS_ATTRIBUTES.
  uint32_t attributesPresent;   // 1 when the archive holds a neutral "(attributes)"
  uint32_t attributesError;     // 0, or why a present one cannot be used (ERROR_NOT_SUPPORTED for an
                                // unknown version, ERROR_FILE_CORRUPT for a size no layout fits)
  uint32_t attributesVersion;
  uint32_t attributesFlags;     // ATTRIBUTE_* arrays it holds
  uint32_t attributesCount;     // items it holds (block-table entries when usable)
  uint32_t attributesSize;      // its size in bytes when it was read
} ArchiveFacts;

// Fills facts with the parts what asks for (FACTS_*). False with
// ERROR_INVALID_PARAMETER for an archive that is not open, a null facts or
// no known part; the system's error when the file's size cannot be had.
// Damaged tables are no failure: their facts are what the tables say.
SORVANE_API bool GetArchiveFacts(ArchiveHandle archive, uint32_t what, ArchiveFacts* facts);

// What in an archive's tables does not fit its file.
#define TABLE_HASH_PAST_END ((uint32_t)1u)      // the hash table starts at or past the file's end
#define TABLE_BLOCKS_PAST_END ((uint32_t)2u)    // the block table does
#define TABLE_ENTRY_NAMES_NO_BLOCK ((uint32_t)3u)  // a hash entry names a block past the table
#define TABLE_BLOCK_PAST_END ((uint32_t)4u)     // a block's data runs past the file's end
typedef struct ArchiveTableProblem {
  uint32_t structSize;
  uint32_t kind;        // TABLE_*
  uint32_t hashIndex;   // the hash entry (entry and block kinds)
  uint32_t blockIndex;  // the block (entry and block kinds)
  uint32_t blockTableEntries;
  uint64_t start, end;  // the table's start (its kinds), or the block's bytes
  uint64_t fileSize;
} ArchiveTableProblem;
typedef bool (*ArchiveTableProblemCallback)(void* context, const ArchiveTableProblem* problem);

// Checks that the tables and every block in use lie within the file (a
// table that starts inside it and runs past its end reads as zeros, which
// some writers rely on, and is no problem; a block's stored size may be
// false, and the data's own layout decides then). Calls callback (may be
// null) per problem until it returns false, and stores their number in
// *problems (may be null). False only when the archive is not open
// (ERROR_INVALID_PARAMETER) or its size cannot be had.
SORVANE_API bool CheckArchiveTables(ArchiveHandle archive, ArchiveTableProblemCallback callback, void* context,
                                    uint32_t* problems);

// A verified entry's state.
#define VERIFY_WHOLE ((uint32_t)0u)        // every sector decodes; digests agree where recorded
#define VERIFY_DAMAGED ((uint32_t)1u)
#define VERIFY_NOT_CHECKED ((uint32_t)2u)  // whether it is whole cannot be told
#define VERIFY_DIFFERS ((uint32_t)3u)      // decodes, but not to what "(attributes)" records
// Why, for any state but VERIFY_WHOLE.
#define VERIFY_NO_BLOCK ((uint32_t)1u)        // the hash entry names no block (damaged)
#define VERIFY_NO_KEY ((uint32_t)2u)          // an encrypted file's key cannot be found (damaged)
#define VERIFY_KEY_NEEDS_NAME ((uint32_t)3u)  // its key needs its name, which no list gives (not checked)
#define VERIFY_CANNOT_OPEN ((uint32_t)4u)     // opening fails with error (damaged)
#define VERIFY_UNREADABLE ((uint32_t)5u)      // reading stops at sector with error (damaged)
#define VERIFY_METHOD_MISSING ((uint32_t)6u)  // a method this build lacks (not checked)
#define VERIFY_DIGEST ((uint32_t)7u)          // differs: see digestsDiffering

typedef struct ArchiveVerifyResult {
  uint32_t structSize;
  const ArchiveEntry* entry;  // the entry, as EnumerateArchiveEntries gives it
  uint32_t state;             // VERIFY_WHOLE ... VERIFY_DIFFERS
  uint32_t reason;            // VERIFY_NO_BLOCK ... VERIFY_DIGEST; 0 when whole
  uint32_t error;             // the error behind CANNOT_OPEN, UNREADABLE, METHOD_MISSING
  uint32_t sector;            // where UNREADABLE stopped; 0xFFFFFFFF when the data has no sectors
  uint32_t digestsDiffering;  // ATTRIBUTE_CRC32 and/or ATTRIBUTE_MD5
  uint32_t recordedCrc, actualCrc;
  uint8_t recordedMd5[16], actualMd5[16];
} ArchiveVerifyResult;
typedef bool (*ArchiveVerifyCallback)(void* context, const ArchiveVerifyResult* result);

// Decodes every stored entry (as EnumerateArchiveEntries names them, with
// the names given) and checks its content against "(attributes)" where that
// records a CRC-32 or MD5 this build can compute (GetSupportedDigests), and
// calls callback with each entry's result, in hash-table order, until it
// returns false. A present "(attributes)" that cannot be used shows in
// GetArchiveFacts; its entries are then checked by decoding alone. False as
// EnumerateArchiveEntries is.
SORVANE_API bool VerifyArchiveEntries(ArchiveHandle archive, const char* const* names, uint32_t count,
                                      ArchiveVerifyCallback callback, void* context);

// The ATTRIBUTE_CRC32 and ATTRIBUTE_MD5 bits this build can compute (CRC-32
// comes from zlib, MD5 from libgcrypt).
SORVANE_API uint32_t GetSupportedDigests(void);

// ---- update side ----------------------------------------------------------------

// Opens (or creates) an archive for update. updateFlags: one of
// UPDATE_OPEN_EXISTING, UPDATE_CREATE_ALWAYS, UPDATE_OPEN_ALWAYS, with
// UPDATE_READ_ONLY (no update allowed), UPDATE_KEEP_LISTFILE (keep the
// neutral "(listfile)" current: adds and renames put their names in it,
// deletes take out names no locale still holds; without it the list is left
// as it is) and UPDATE_FORMAT_1 (see above); hashTableSize: the
// entries of a new archive's hash table, 1 to 4,194,304 (else the creation
// fails with ERROR_INVALID_PARAMETER).
// Returns the handle, null on failure, or the all-ones value when the file
// itself cannot be opened or created (test with IsUsableArchive); the last
// error says why (ERR_NOT_ARCHIVE, ERROR_FILE_CORRUPT,
// ERROR_SHARING_VIOLATION, ERR_READ_ONLY_NEEDS_EXISTING, the system's).
SORVANE_API ArchiveHandle OpenArchiveWritable(const char* path, uint32_t updateFlags, uint32_t hashTableSize);
// Neither null nor the all-ones value.
// Neither null nor the all-ones value OpenArchiveWritable returns.
SORVANE_API bool IsUsableArchive(ArchiveHandle archive);
// CloseArchive for a handle of OpenArchiveWritable; the second argument is
// the original interface's and has no meaning.
SORVANE_API bool CloseWritableArchive(ArchiveHandle archive, uint32_t ignored);

// Stores a file from disk (AddFileFromDisk, AddFile, AddWaveFile) or from
// memory (AddFileFromMemory, AddBuffer, AddWaveBuffer) under storedName in
// the current locale. flags: BLOCK_* bits to store with (BLOCK_COMPRESSED,
// BLOCK_IMPLODED, BLOCK_ENCRYPTED, BLOCK_KEY_ADJUSTED, BLOCK_SINGLE_UNIT,
// BLOCK_SECTOR_CRC) and ADD_REPLACE to replace a file of that name;
// methodMask: COMP_* methods for compressed sectors; level or quality: the
// method's level (the audio methods' quality, 0 to 2). AddFile and AddBuffer
// take the default methods for the flags, the Wave forms the audio methods.
// Errors: ERROR_INVALID_PARAMETER (no archive open for update, null or
// unusable names), ERR_ALREADY_STORED, ERR_HASH_TABLE_FULL,
// ERROR_FILE_NOT_FOUND (source), ERROR_ACCESS_DENIED (read-only handle),
// ERROR_NOT_SUPPORTED (a method this build lacks), 223 (past 4 GB), and the
// system's write errors.
SORVANE_API bool AddFileFromDisk(ArchiveHandle archive, const char* sourcePath, const char* storedName,
                                 uint32_t flags, uint32_t methodMask, uint32_t level);
SORVANE_API bool AddFileFromMemory(ArchiveHandle archive, const void* data, uint32_t size,
                                   const char* storedName, uint32_t flags, uint32_t methodMask, uint32_t level);
SORVANE_API bool AddFile(ArchiveHandle archive, const char* sourcePath, const char* storedName, uint32_t flags);
SORVANE_API bool AddWaveFile(ArchiveHandle archive, const char* sourcePath, const char* storedName,
                             uint32_t flags, uint32_t quality);
SORVANE_API bool AddBuffer(ArchiveHandle archive, const void* data, uint32_t size, const char* storedName,
                           uint32_t flags);
SORVANE_API bool AddWaveBuffer(ArchiveHandle archive, const void* data, uint32_t size,
                               const char* storedName, uint32_t flags, uint32_t quality);

// Adds many files in one call, in the given locale, as AddFileFromDisk and
// AddFileFromMemory one after the other would (the same stored files, hash
// entries and name-list upkeep), but faster: each source file is opened
// once and read whole, the sectors of many files are compressed at once on
// the compression threads (SetCompressionThreadCount), and the stored bytes
// go to the archive in the list's order, many files to a write. The archive
// comes out byte for byte the same whatever the thread count. Files larger
// than 1 MiB, single-unit files, archives with per-file headers and a
// provider from outside take the one-by-one path inside the call.
//
// Each item is a file on disk (sourcePath) or memory (data, size bytes,
// with sourcePath null). For a file on disk, size is what the caller knows
// of it (a folder walk's answer) and spares asking the system again; the
// file is stored as it is when read, also when that differs. fileTime is
// the last-write time (a FILETIME) "(attributes)" records; 0 takes the
// file's own (the current time for memory). methodMask: the COMP_* methods
// of this file's compressed sectors. flags and level apply to every item,
// as for AddFileFromDisk.
//
// callback (may be null) hears of every item, in the list's order, on the
// calling thread: error 0 when it was entered in the update, else why it
// was refused (ERR_ALREADY_STORED, ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED
// (a folder), the system's read errors...); a refused item changes nothing
// and the others go on. Without an open batch the whole list is one update:
// committed together when the call ends, so a stop at any moment leaves the
// archive as it was or with every entered item. Returns false, with the last
// error, for bad arguments (ERROR_INVALID_PARAMETER, nothing done) and for a
// failure on the archive's side (a write error, a full hash table, no
// memory): then nothing of the call stays (inside a batch, the batch is
// abandoned as for any add) and no further items are reported.
typedef struct AddListItem {
  const char* sourcePath;
  const void* data;
  uint64_t size;
  uint64_t fileTime;
  const char* storedName;
  uint32_t methodMask;
} AddListItem;
typedef void (*AddListCallback)(void* context, uint32_t index, uint32_t error);
SORVANE_API bool AddFileList(ArchiveHandle archive, const AddListItem* items, uint32_t count, uint32_t flags,
                             uint32_t level, uint32_t locale, AddListCallback callback, void* context);

// Delete, rename or re-locale a stored file (of the current locale;
// SetArchiveFileLocale of oldLocale) and commit. Errors:
// ERROR_INVALID_PARAMETER, ERROR_FILE_NOT_FOUND or ERR_FILE_NOT_STORED,
// ERR_ALREADY_STORED (the new name or locale is taken), ERROR_ACCESS_DENIED
// (read-only handle), and the system's write errors. Three refusals leave
// the last error as it was: a delete of a name stored only in the neutral
// locale, and a re-locale between equal locales or of a name not stored in
// oldLocale.
SORVANE_API bool DeleteArchiveFile(ArchiveHandle archive, const char* name);
// Deletes the file of the hash entry at hashIndex, whatever its name and
// locale: the way to a file no list names (OpenArchiveFileByIndex's index).
// Its name, being unknown, stays in "(listfile)" if it is there.
SORVANE_API bool DeleteArchiveEntry(ArchiveHandle archive, uint32_t hashIndex);
SORVANE_API bool RenameArchiveFile(ArchiveHandle archive, const char* oldName, const char* newName);
SORVANE_API bool SetArchiveFileLocale(ArchiveHandle archive, const char* name, uint32_t oldLocale,
                                      uint32_t newLocale);
// Failures and room. An update that fails on the archive's side (a full
// disk, ERROR_DISK_FULL, or any other write error) cuts the file back to
// where the committed archive ends, so the room it took is free again; bytes
// past that end, where even the cut failed, are cut before the next update
// writes anything. A creation that fails removes the file it made, or leaves
// an empty file it found empty (a refused hash-table size keeps its header);
// one that succeeds flushes its folder too, so that the new name survives a
// power loss. Compaction builds its copy whole beside the archive: when the
// file system has no room for it (counting what the cut gives back), it fails
// with ERROR_DISK_FULL before it writes anything.
SORVANE_API bool CompactArchive(ArchiveHandle archive);

// "(attributes)": per stored file its CRC-32, file time (a Windows FILETIME)
// and MD5 of the whole content, and a patch bit. Every update of an archive
// that has one keeps it current: an added file gets the CRC-32 and MD5 of
// the bytes a reader gets back (the source's, or for audio-coded sectors
// what their lossy coding decodes to) and the source's modification time
// (the current time for data from memory); renames and compaction keep the
// items with their files, and compaction takes the digests of audio-coded
// files anew (older adds recorded those of the source). SetArchiveAttributes starts one with the given attributes (or
// replaces the one there), computing the digests of every stored file (their
// times are unknown and stay unrecorded). ERROR_NOT_SUPPORTED when this build
// cannot compute a digest asked for, ERROR_INVALID_PARAMETER for no or
// unknown flags.
#define ATTRIBUTE_CRC32 ((uint32_t)0x1u)
#define ATTRIBUTE_FILETIME ((uint32_t)0x2u)
#define ATTRIBUTE_MD5 ((uint32_t)0x4u)
#define ATTRIBUTE_PATCH_BIT ((uint32_t)0x8u)
SORVANE_API bool SetArchiveAttributes(ArchiveHandle archive, uint32_t flags);

// Batches. Every update above is committed before it returns, in a way that a
// stop at any moment leaves either the archive as it was or the change whole.
// Between BeginArchiveUpdate and CommitArchiveUpdate updates are committed
// together instead: the tables and the name list are written once, at the
// commit, and until then the archive on disk stays as it was (the archive's
// handle sees the changes at once). Inside a batch:
//  - an update that fails for its own reason (a source that cannot be read,
//    a name already stored, a name not found) changes nothing and the batch
//    goes on;
//  - a failure on the archive's side (a write error, a full hash table, no
//    memory) abandons the whole batch: the archive is as it was before
//    BeginArchiveUpdate, every further update fails with that error, and
//    CommitArchiveUpdate reports it and ends the batch;
//  - CompactArchive commits what the batch holds so far before it compacts;
//    the batch goes on afterwards.
// AbandonArchiveUpdate drops the batch's changes; closing the archive with a
// batch open does the same. A second BeginArchiveUpdate, or a commit or
// abandon without a batch, fails with ERROR_INVALID_PARAMETER.
SORVANE_API bool BeginArchiveUpdate(ArchiveHandle archive);
SORVANE_API bool CommitArchiveUpdate(ArchiveHandle archive);
SORVANE_API bool AbandonArchiveUpdate(ArchiveHandle archive);
// Adding a file may compress its sectors on several threads at once (the
// caller's among them): count threads, 0 for one per processor, at most 64.
// The stored bytes and the order of writes are the same whatever the count;
// the library's other work stays on the calling thread. The default is 1.
// Returns the count before the call.
SORVANE_API uint32_t SetCompressionThreadCount(uint32_t count);

// The error that abandoned the archive's open batch; 0 while the batch (or
// no batch) is open and usable, 0xFFFFFFFF for a handle that is no archive
// open for update.
SORVANE_API uint32_t GetArchiveUpdateFailure(ArchiveHandle archive);

// ---- help for callers that guide a user -------------------------------------------

// Names the caller knows for the archive besides those of its own name lists
// (a user's list, say). Finding a file's key by its name (opening by index,
// compaction's re-keying) and rebuilding the hash table look them up too.
// The library keeps a copy until the archive is closed or the call is made
// again; count 0 forgets them.
SORVANE_API bool SetArchiveNameList(ArchiveHandle archive, const char* const* names, uint32_t count);

// Rebuilds the archive's hash table with hashTableSize entries (at most
// 4,194,304, the most an archive is opened with). Every entry in use needs a
// known name: "(listfile)", "(attributes)", "(signature)", a line of the
// archive's name lists or a name given with SetArchiveNameList; otherwise
// nothing changes and the call fails with ERROR_FILE_INVALID. Fewer entries
// than files in use: ERR_HASH_TABLE_FULL. The new table goes to free space
// and one header write switches to it, so a stop at any moment leaves the
// old table or the new one; the old table's bytes are dead space until the
// archive is compacted. An open batch is committed first and goes on
// afterwards, as with CompactArchive. Open files of the archive stay usable.
SORVANE_API bool ResizeHashTable(ArchiveHandle archive, uint32_t hashTableSize);

// Called during adds and compaction with the number of bytes handled since
// the last call (source bytes stored, data bytes copied), on the thread that
// called the library. Null turns it off. Process-wide.
typedef void (*UpdateProgressCallback)(void* context, uint64_t bytes);
SORVANE_API void SetUpdateProgressCallback(UpdateProgressCallback callback, void* context);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // SORVANE_SORVANE_H
