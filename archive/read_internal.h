// Internal operations of the read side that other archive units (the update
// side, compaction) build on. Not part of the public interface.
#pragma once

#include <cstdint>

#include "archive/records.h"

// ---- archives and the open lists (archive_open.cpp) ---------------------------------

// Largest accepted sectorSizeShift: 512 << 15 is a 16 MiB sector, far beyond
// what any writer uses, and keeps a read's buffers (one sector plus a group
// of 16) within a few hundred MiB even for hostile headers.
constexpr uint16_t kMaxSectorSizeShift = 15;

// Position of the first archive header at a multiple of 512, or 0xFFFFFFFF.
uint32_t FindArchiveHeader(platform::OsHandle file);

// Reads and checks the header at archiveStart and loads both tables,
// decrypted, into a new zero-filled record (path, fileHandle, sectorSize,
// headerOffset, tables, header; refCount 1). The record does not own the file
// handle until this succeeds. Fails with ERROR_FILE_CORRUPT for header values
// no archive can have (see archive_open.cpp), or with the read's or the
// allocator's error. Does not touch ArchiveList.
bool LoadArchiveRecord(platform::OsHandle file, uint32_t archiveStart, const char* path,
                       Archive** out);
// Closes the record's file and releases its tables and the record itself.
void ReleaseArchiveRecord(Archive* archive);

// Inserts into ArchiveList and keeps it in priority order (false: no memory).
bool AddToArchiveList(Archive* archive);
// Removes from ArchiveList, keeping the order of the others.
void RemoveFromArchiveList(Archive* archive);
// Stable insertion sort, highest priority first.
void SortArchiveList();

// ---- lookup (lookup.cpp) ------------------------------------------------------------

// Probe for name/locale, falling back to locale 0. Empty entries stop the
// probe; deletion marks (IsHashEntryDeleted) are passed over and never match.
HashEntry* FindHashEntry(Archive* archive, const char* name, uint32_t locale);
HashEntry* FindHashEntryFrom(Archive* archive, uint32_t startIndex, uint32_t nameA,
                             uint32_t nameB, uint32_t locale);
// Walks ArchiveList in priority order with CurrentLocale.
bool FindInAllArchives(const char* name, Archive** archive, HashEntry** entry);

// The block entry of an open stored file, or null when its hash entry no
// longer names a block of the table.
const BlockEntry* BlockOfFile(const ArchiveFile* file);

// "#N" (a '#' followed by a decimal digit): true, with N in *index (saturating
// at 0xFFFFFFFF).
bool ParseIndexName(const char* name, uint32_t* index);

// ---- keys (keys.cpp) ------------------------------------------------------------------

// HashString(name, HASH_FILE_KEY), adjusted by the block's offset and size
// when BLOCK_KEY_ADJUSTED is set.
uint32_t FileKey(const char* name, const BlockEntry& block);
// The key of an entry's file, 0 when none is found. With *name null, a name
// found in the archive's name lists is stored there (release with ReleaseName).
uint32_t FindFileKey(Archive* archive, const HashEntry* entry, char** name);
// The first name of the archive's name lists (every known locale) whose two
// check values are nameA and nameB; release with ReleaseName. Null when none.
char* FindListedName(Archive* archive, uint32_t nameA, uint32_t nameB);
uint32_t LineLength(const char* text);
const char* NextLine(const char* text);

// Names handed out by the functions above.
char* CopyName(const char* name);
void ReleaseName(char* name);

// ---- reading (read.cpp) ------------------------------------------------------------

// The offset from the block's start at which the data (offset table or plain
// bytes) begins: 0, or in a "BN3\x1a" archive the first word of the per-file
// header. False when it cannot be read or lies beyond the block.
// A decrypted sector offset table of sectorCount + 1 entries is sound when
// its first entry is its own size, its entries never decrease, no sector is
// stored longer than it reads (which also bounds it by the sector size), and
// its end lies within limit bytes of the data start.
bool SectorOffsetsValid(const uint32_t* offsets, uint32_t sectorCount, uint32_t fileSize,
                        uint32_t sectorSize, uint32_t limit);

bool ReadDataOffset(const Archive* archive, const BlockEntry& block, uint32_t* dataOffset);
