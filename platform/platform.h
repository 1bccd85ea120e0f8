// The operating-system layer. Everything above this folder reaches files,
// folders, errors, time, memory, dynamic libraries, the registry and the
// console only through these functions, whose shapes follow the Win32 calls
// they stand for. The POSIX and Win32 implementations live in posix/ and
// win32/; exactly one is built.
//
// Paths: on POSIX a backslash in any path given here is a folder separator
// and is turned into '/' before the system sees it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// ---- handles ---------------------------------------------------------------

// An open file. kInvalidHandle (all ones, like INVALID_HANDLE_VALUE) marks
// failure; a null handle is never valid either.
using OsHandle = void*;
inline OsHandle InvalidHandle() { return reinterpret_cast<OsHandle>(~static_cast<uintptr_t>(0)); }
inline bool IsValidHandle(OsHandle h) { return h != nullptr && h != InvalidHandle(); }

// ---- Win32 values, same numbers as the system's ---------------------------

constexpr uint32_t kGenericRead = 0x80000000u;
constexpr uint32_t kGenericWrite = 0x40000000u;

constexpr uint32_t kFileShareRead = 0x1;
constexpr uint32_t kFileShareWrite = 0x2;
constexpr uint32_t kFileShareDelete = 0x4;

constexpr uint32_t kCreateNew = 1;
constexpr uint32_t kCreateAlways = 2;
constexpr uint32_t kOpenExisting = 3;
constexpr uint32_t kOpenAlways = 4;
constexpr uint32_t kTruncateExisting = 5;

constexpr uint32_t kFileAttributeReadOnly = 0x1;
constexpr uint32_t kFileAttributeDirectory = 0x10;
constexpr uint32_t kFileAttributeArchive = 0x20;
constexpr uint32_t kFileAttributeNormal = 0x80;
constexpr uint32_t kInvalidFileAttributes = 0xFFFFFFFFu;

constexpr uint32_t kFileBegin = 0;
constexpr uint32_t kFileCurrent = 1;
constexpr uint32_t kFileEnd = 2;
constexpr uint32_t kInvalidSetFilePointer = 0xFFFFFFFFu;
constexpr uint32_t kInvalidFileSize = 0xFFFFFFFFu;

constexpr uint32_t kDriveUnknown = 0;
constexpr uint32_t kDriveNoRootDir = 1;
constexpr uint32_t kDriveRemovable = 2;
constexpr uint32_t kDriveFixed = 3;
constexpr uint32_t kDriveRemote = 4;
constexpr uint32_t kDriveCdrom = 5;
constexpr uint32_t kDriveRamdisk = 6;

// Error codes (the thread's last error always holds Win32 numbers; POSIX
// maps errno onto them).
constexpr uint32_t kErrorSuccess = 0;
constexpr uint32_t kErrorInvalidFunction = 1;
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorTooManyOpenFiles = 4;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr uint32_t kErrorOutOfMemory = 14;
constexpr uint32_t kErrorWriteProtect = 19;
constexpr uint32_t kErrorSharingViolation = 32;
constexpr uint32_t kErrorHandleEof = 38;
constexpr uint32_t kErrorNotSupported = 50;
constexpr uint32_t kErrorFileExists = 80;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorBrokenPipe = 109;
constexpr uint32_t kErrorDiskFull = 112;
constexpr uint32_t kErrorInsufficientBuffer = 122;
constexpr uint32_t kErrorInvalidName = 123;
constexpr uint32_t kErrorModNotFound = 126;
constexpr uint32_t kErrorProcNotFound = 127;
constexpr uint32_t kErrorDirNotEmpty = 145;
constexpr uint32_t kErrorNegativeSeek = 131;
constexpr uint32_t kErrorAlreadyExists = 183;
constexpr uint32_t kErrorFilenameExcedRange = 206;
constexpr uint32_t kErrorNoMoreItems = 259;
constexpr uint32_t kErrorStoppedOnSymlink = 681;
constexpr uint32_t kErrorFileInvalid = 1006;
constexpr uint32_t kErrorIoDevice = 1117;
constexpr uint32_t kErrorFileCorrupt = 1392;
constexpr uint32_t kErrorUnknownProperty = 1608;

// ---- last error --------------------------------------------------------------

uint32_t GetLastError();
void SetLastError(uint32_t code);

// The system's text for an error code (FormatMessage from-system, language
// 0x400). Returns false and leaves text empty when the system has none. The
// text ends as the system ends it (CR LF on Windows and in the POSIX table).
bool FormatSystemMessage(uint32_t code, std::string& text);

// ---- files -------------------------------------------------------------------

// CreateFileA with the given access, share mode and creation disposition;
// attributes: kFileAttributeNormal or 0. Returns InvalidHandle() on failure.
OsHandle CreateFile(const char* path, uint32_t access, uint32_t shareMode,
                    uint32_t disposition, uint32_t attributes);
bool ReadFile(OsHandle file, void* buffer, uint32_t count, uint32_t* bytesRead);
bool WriteFile(OsHandle file, const void* buffer, uint32_t count, uint32_t* bytesWritten);
// SetFilePointer: distanceHigh may be null (then distance is a signed 32-bit
// offset); with it, the 64-bit distance is (*distanceHigh << 32) | distance and
// the new position's high part comes back through it. Returns the low part or
// kInvalidSetFilePointer (check GetLastError when a high part was given).
uint32_t SetFilePointer(OsHandle file, int32_t distance, int32_t* distanceHigh, uint32_t method);
// GetFileSize: low part, high part through sizeHigh when given.
uint32_t GetFileSize(OsHandle file, uint32_t* sizeHigh);
bool SetEndOfFile(OsHandle file);
bool FlushFileBuffers(OsHandle file);
bool CloseHandle(OsHandle file);

// Positioned 64-bit helpers for code that is not bound to the Win32 shape.
bool ReadFileAt(OsHandle file, uint64_t offset, void* buffer, uint32_t count, uint32_t* bytesRead);
bool WriteFileAt(OsHandle file, uint64_t offset, const void* buffer, uint32_t count, uint32_t* bytesWritten);
bool GetFileSize64(OsHandle file, uint64_t* size);
// The file's last-write time as a Windows FILETIME: 100-nanosecond steps
// since 1601-01-01 UTC (GetFileTime's third time).
bool GetFileWriteTime(OsHandle file, uint64_t* fileTime);

// Reading many small files. OpenFileForReading opens an existing file to
// read it through, with the open as its only system call (no look at what
// the path names: a folder opened so is refused by its first read, with
// access denied). ReadOnce is one read at the handle's position: up to count
// bytes, fewer only at the file's end (0 there).
OsHandle OpenFileForReading(const char* path);
bool ReadOnce(OsHandle file, void* buffer, uint32_t count, uint32_t* bytesRead);

// A gathered write: the pieces one after the other from offset on, in one
// write step. Every byte is written or the call fails (ERROR_DISK_FULL for
// a short write the system gave no reason for).
struct WritePiece {
  const void* data;
  uint32_t size;
};
bool WritePiecesAt(OsHandle file, uint64_t offset, const WritePiece* pieces, uint32_t count);

bool DeleteFile(const char* path);
// MoveFileEx with MOVEFILE_REPLACE_EXISTING: an existing target is replaced.
bool MoveFileReplace(const char* from, const char* to);
// Puts replacement in the place of the existing file target in one atomic
// step, keeping target's permissions (ReplaceFile on Windows; chmod, rename
// and a flush of the folder on POSIX). Afterwards replacement's name is gone.
bool ReplaceFile(const char* target, const char* replacement);
// Whether ReplaceFile works while either file is open. Where it does not,
// callers close their handles around the call and reopen the target.
bool CanReplaceOpenFile();
bool CreateDirectory(const char* path);
bool RemoveDirectory(const char* path);
bool SetCurrentDirectory(const char* path);
// GetCurrentDirectoryA: writes the folder (no trailing separator) and returns
// its length; when size is too small returns the size needed including the
// terminator; 0 on failure.
uint32_t GetCurrentDirectory(uint32_t size, char* buffer);
uint32_t GetFileAttributes(const char* path);
// root is a drive root such as "C:\"; POSIX answers kDriveFixed for any
// existing folder and kDriveNoRootDir otherwise.
uint32_t GetDriveType(const char* root);
bool FileExists(const char* path);  // FindFirstFileA succeeds for it

// A path that names its place without the current folder or drive: "X:\..."
// (or "X:/...") everywhere, and on POSIX also one that begins with '/' or '\'.
bool IsAbsolutePath(const char* path);
// The platform's preferred separator when code builds paths: '\' on Windows,
// '/' on POSIX. Code may always use '\' instead; both work.
char PathSeparator();

// ---- output trees ------------------------------------------------------------

// Writing a tree of files below a folder without ever going through a link
// that exists below it. The folder itself is reached as its path says (links
// on the way to it are the user's choice); below it every level is opened
// from its parent's handle, never following a link, so nothing can swap a
// checked level for a link before it is used. On Windows the handle holds
// the folder's path and levels that are reparse points (links, junctions)
// are refused where their attributes show them: a best effort, since the
// check and the use are two calls there.
using FolderHandle = void*;

enum class EntryKind { Missing, File, Folder, Link, Other };

// Opens the folder at path, following links. Null on failure.
FolderHandle OpenFolder(const char* path);
// A second handle of the same folder, closed on its own (for another thread's
// tree: a tree's handles are used by one thread at a time). Null on failure.
FolderHandle DuplicateFolder(FolderHandle folder);
// Opens the folder name (one level, no separator) inside parent, making it
// first when create is set and it is missing. A link there fails with
// kErrorStoppedOnSymlink, a file with kErrorPathNotFound (as a path
// through a file fails). Null on failure.
FolderHandle OpenSubfolder(FolderHandle parent, const char* name, bool create);
void CloseFolder(FolderHandle folder);
// What name inside folder is, not following a link; Missing also when it
// cannot be told (the last error then says why).
EntryKind GetEntryKind(FolderHandle folder, const char* name);
// One entry of a folder as a listing finds it: what it is itself (a link
// not followed), what a link leads to (Missing: to nothing), and of a file
// (or a link to one) its size and last-write time (a FILETIME), and an
// identity (0 where the listing gives none).
struct FolderEntry {
  std::string name;
  EntryKind kind = EntryKind::Missing;
  EntryKind target = EntryKind::Missing;
  uint64_t size = 0;
  uint64_t writeTime = 0;
  uint64_t device = 0;
  uint64_t fileId = 0;
};
// The entries of the folder at path (not "." and ".."), in the order the
// system gives them, learnt with one query per entry (two for a link) or
// from the listing itself where it carries them. False (last error set)
// when the folder cannot be read through.
bool ListFolder(const char* path, std::vector<FolderEntry>* entries);
// The identity ListFolder gives the file at path (links followed); false
// where it cannot be learnt.
bool GetFileIdentity(const char* path, uint64_t* device, uint64_t* fileId);
// Creates the file name inside folder for writing; it must not exist yet
// (no link is ever followed). The file is marked as being written: should
// the process be ended by an interrupt or termination signal (or a crash)
// before FinishFileIn or DeleteFileIn, the file is removed. Each thread has
// one such mark: several threads may each write a file at once, and each
// of those files is removed; a thread's second file created before its
// first is finished takes the mark from the first. At most 128 threads are
// marked at once; a thread beyond them gets kErrorTooManyOpenFiles.
OsHandle CreateFileIn(FolderHandle folder, const char* name);
// The same for a new file under a fresh temporary name beside the others,
// readable and writable only by its owner; the name comes back in *name.
OsHandle CreateTempFileIn(FolderHandle folder, std::string* name);
// Gives a file made by CreateTempFileIn the permissions a new file gets.
bool SetNewFileMode(OsHandle file);
// The file being written is complete: renamed from `from` to `to` inside
// folder (replacing a file there) when they differ, and no longer removed
// on a signal. Takes a write step when it renames.
bool FinishFileIn(FolderHandle folder, const char* from, const char* to);
// Removes name inside folder (a write step); it is no longer being written.
bool DeleteFileIn(FolderHandle folder, const char* name);
// Ends the process on an interrupt, termination or hang-up signal (console
// close on Windows) as it would end anyway, but first removes every file
// being written, on whichever thread. A thread in the middle of creating,
// renaming or removing one finishes that step first (and the process ends
// when the last such step is done); a thread that starts writing another
// file afterwards waits for the end. Also makes a file-size limit a write
// error rather than the end of the process.
void InstallInterruptCleanup();
// Removes every file being written, as the interrupt would, and lets no
// thread start another (they wait for the end of the process). Safe in a
// signal handler: crash capture calls it once its report is written, just
// before it ends the process.
void DropPendingOutput();

// ---- files for reports -------------------------------------------------------

// Safe inside a signal handler: no allocation, no lock.
// Creates the folder; with parents, also every missing folder above it.
// True when it exists as a folder afterwards.
bool MakeFolder(const char* path, bool parents);
// Creates a file that must not exist yet, for writing (kErrorFileExists
// when it does). Backslashes count as separators on POSIX too.
OsHandle CreateNewFile(const char* path);
// Writes text to standard error unbuffered.
void WriteStandardError(const char* text, size_t length);

// For choosing a report folder (not safe in a signal handler): whether new
// files can be made in folder, or, while it does not exist, in the folder
// that would hold it.
bool FolderIsWritable(const char* folder);
// The per-user folder for a program's reports: POSIX
// $XDG_STATE_HOME/NAME/Errors, else ~/.local/state/NAME/Errors; Windows
// %LOCALAPPDATA%\NAME\Errors. Ends in a separator.
bool UserReportFolder(const char* name, std::string& folder);

// ---- files shared between programs ------------------------------------------

// CreateFile for files whose users keep each other out by their share modes,
// in this process or another: a handle that writes, or that shares no
// reading (it must then ask for writing too, as POSIX locks a file for one
// writer only through a descriptor that may write), excludes every other
// such handle on the file; handles that only
// read and share reading go together. A conflict fails at once with
// kErrorSharingViolation; nothing waits. On Windows the share mode does the
// work. On POSIX the open takes a lock of its open file description (flock
// where the system lacks those), held until the handle is closed or the
// process ends; the lock holds against other CreateSharedFile opens only.
// When the path names another file once the lock is held (the file was
// replaced by a rename meanwhile), the open starts again; a truncating
// disposition cuts the file only once the lock is held. Where the file
// system takes no locks the open goes on without one and SharingUnprotected
// turns true. ownerOnly creates a new file readable by its owner alone (mode
// 0600; on Windows the folder's access rules apply).
OsHandle CreateSharedFile(const char* path, uint32_t access, uint32_t shareMode, uint32_t disposition,
                          bool ownerOnly);
bool SharingUnprotected();
// Whether path names the file open through the handle.
bool NamesFile(const char* path, OsHandle file);
// Gives to's file the mode, owner and group of from's; ownerKept turns false
// where the system refuses to give the file away (only privileged processes
// may). Windows keeps no such owner: nothing is done there.
bool CopyOwnership(OsHandle from, OsHandle to, bool* ownerKept);
// The path with every symbolic link in it resolved, absolute (realpath); on
// Windows the path as it is.
bool ResolveLinks(const char* path, std::string* resolved);

// ---- room on disk ------------------------------------------------------------

// Bytes this process may still write on the file system that holds the
// folder of path (path itself need not exist). GetDiskFreeSpaceEx on Windows.
bool GetFreeDiskSpace(const char* path, uint64_t* bytes);
// Makes the folder entry of a file just created survive a power loss: on
// POSIX the folder of path is flushed; Windows commits folder entries on its
// own, so there it only succeeds. A write step.
bool FlushFolderOf(const char* path);

// ---- write faults (tests) ----------------------------------------------------

// Every call that changes a file on disk is one write step: WriteFile,
// WriteFileAt, FlushFileBuffers, SetEndOfFile, DeleteFile, MoveFileReplace,
// ReplaceFile and FlushFolderOf. After SetWriteFault(n, error) the first n steps run as
// usual and every later one fails with error, without touching the disk, as
// if the process had stopped there. Steps are counted since the last
// SetWriteFault or ClearWriteFault; ClearWriteFault lets every step through.
void SetWriteFault(uint64_t allowedSteps, uint32_t error);
// A full disk: after the first n data writes (WriteFile, WriteFileAt) every
// later one fails with kErrorDiskFull; the other steps still work, as
// truncations, flushes and deletions do on a file system out of room. Only
// data writes are counted.
void SetDiskFull(uint64_t allowedWrites);
// GetFreeDiskSpace reports at most this many bytes (until ClearWriteFault).
void SetFreeSpaceLimit(uint64_t bytes);
void ClearWriteFault();
uint64_t WriteStepsTaken();

// ---- process -----------------------------------------------------------------

uint32_t GetTickCount();
// The current time as a FILETIME (GetSystemTimeAsFileTime).
uint64_t GetSystemTimeAsFileTime();
// GetModuleFileNameA of the executable: the full path, zero-terminated; returns
// its length, or 0 on failure. Truncates like Win32 when size is too small.
uint32_t GetModuleFileName(char* buffer, uint32_t size);
// The processors this process may run on (its affinity where the system
// tells it: sched_getaffinity on Linux, the process's affinity mask on
// Windows; else the processors online), at least 1.
uint32_t ProcessorCount();

// ---- memory --------------------------------------------------------------------

// VirtualAlloc(MEM_COMMIT, PAGE_READWRITE): zero-filled; null on failure with
// kErrorNotEnoughMemory. VirtualFree(MEM_RELEASE) takes null gracefully.
void* VirtualAlloc(size_t size);
void VirtualFree(void* block);

// ---- dynamic libraries ---------------------------------------------------------

using ModuleHandle = void*;
// A name without a folder is looked for where libraries are installed (on
// Windows beside the program and in the system's folders), never in the
// current folder.
ModuleHandle LoadLibrary(const char* path);
void* GetProcAddress(ModuleHandle module, const char* name);
// By ordinal (Win32 only; POSIX returns null).
void* GetProcAddressOrdinal(ModuleHandle module, uint16_t ordinal);
bool FreeLibrary(ModuleHandle module);

// ---- registry ------------------------------------------------------------------

using RegistryKey = void*;
enum class RegistryRoot { CurrentUser, Users, LocalMachine };
// RegOpenKeyExA with KEY_QUERY_VALUE. POSIX has no registry: always fails
// with kErrorFileNotFound.
bool RegOpenKey(RegistryRoot root, const char* subKey, RegistryKey* key);
// RegQueryValueExA: data may be null to ask for the size.
bool RegQueryValue(RegistryKey key, const char* valueName, void* data, uint32_t* size);
void RegCloseKey(RegistryKey key);

// ---- console -------------------------------------------------------------------

void ConsoleWrite(const char* text, size_t length);
void ConsoleWrite(const char* text);
void ConsoleFlush();
// One character from standard input, or -1 at end of input.
int ConsoleReadChar();
// True when standard error is an interactive terminal (a console on Windows),
// where progress displays may redraw a line.
bool IsStandardErrorTerminal();
// Standard input and output carry bytes as they are (Windows would turn
// line ends into CR LF and stop at a Ctrl-Z otherwise).
void UseBinaryStandardStreams();

}  // namespace platform
