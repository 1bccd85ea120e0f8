// Internal steps shared by the update units (update.cpp, add.cpp, modify.cpp,
// compact.cpp). Not part of the public interface.
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/records.h"
#include "platform/platform.h"

// Page memory that releases itself; empty (null) when the allocation failed.
class PageBuffer {
 public:
  PageBuffer() = default;
  explicit PageBuffer(size_t size) : data_(size ? platform::VirtualAlloc(size) : nullptr), size_(data_ ? size : 0) {}
  ~PageBuffer() { platform::VirtualFree(data_); }
  PageBuffer(const PageBuffer&) = delete;
  PageBuffer& operator=(const PageBuffer&) = delete;
  PageBuffer(PageBuffer&& other) noexcept : data_(other.data_), size_(other.size_) {
    other.data_ = nullptr;
    other.size_ = 0;
  }
  PageBuffer& operator=(PageBuffer&& other) noexcept {
    if (this != &other) {
      platform::VirtualFree(data_);
      data_ = other.data_;
      size_ = other.size_;
      other.data_ = nullptr;
      other.size_ = 0;
    }
    return *this;
  }
  uint8_t* bytes() const { return static_cast<uint8_t*>(data_); }
  size_t size() const { return size_; }
  explicit operator bool() const { return data_ != nullptr; }
  // Hands the block to a record that releases it with VirtualFree.
  void* release() {
    void* d = data_;
    data_ = nullptr;
    size_ = 0;
    return d;
  }

 private:
  void* data_ = nullptr;
  size_t size_ = 0;
};

// A hash entry that names a file: neither empty nor a deletion mark.
inline bool IsHashEntryInUse(const HashEntry& e) { return !IsHashEntryFree(e); }
// Empty (0xFFFFFFFF in some word, not a mark): a probe run ends here.
inline bool IsHashEntryEmpty(const HashEntry& e) { return IsHashEntryFree(e) && !IsHashEntryDeleted(e); }
inline void MarkHashEntryDeleted(HashEntry& e) { e = kDeletedMark; }
inline void MarkHashEntryEmpty(HashEntry& e) {
  e.nameHashA = kFreeWord;
  e.nameHashB = kFreeWord;
  e.locale = kFreeWord;
  e.blockIndex = kFreeWord;
}

// Null or unknown archive: ERROR_INVALID_PARAMETER; opened without OPEN_WRITE:
// ERROR_ACCESS_DENIED.
bool CheckUpdatableArchive(Archive* archive);

// Exact positioned I/O on the archive file: a short transfer fails too
// (ERROR_HANDLE_EOF when the system reported none).
bool ReadExactAt(platform::OsHandle file, uint64_t position, void* buffer, uint32_t count);
bool WriteExactAt(platform::OsHandle file, uint64_t position, const void* buffer, uint32_t count);

// Table and header write-back. Each reports whether every byte reached the file.
bool WriteBackHashTable(Archive* archive);
bool WriteBackBlockTable(Archive* archive);
bool WriteBackHeader(Archive* archive);

// ASCII case-insensitive comparison, the same folding the name hash uses.
bool EqualNoCase(const char* a, const char* b);

// The entry to store name/locale in: the entry already holding them (only when
// replace is allowed, else ERR_ALREADY_STORED), else the first deleted mark of
// the probe run, else the empty entry ending it; ERR_HASH_TABLE_FULL when the
// run covers the whole table without one.
HashEntry* FindFreeHashSlot(Archive* archive, const char* name, uint32_t locale, bool replace);

// The entry of name in exactly this locale, or null.
HashEntry* FindExactHashEntry(Archive* archive, const char* name, uint32_t locale);

// Name-list upkeep (archives opened with UPDATE_KEEP_LISTFILE).
bool ListfileAddName(Archive* archive, const char* name);
bool ListfileRemoveName(Archive* archive, const char* name);

// Reads the name list visible in the current locale. *present tells whether
// the archive holds one at all; the result is false when a list is present
// but could not be read whole. The buffer has one spare zero byte after the
// text and `extra` more bytes of room.
bool ReadListfile(Archive* archive, uint32_t extra, PageBuffer* text, uint32_t* size,
                  bool* present);
// Position of the first whole-line occurrence of name in text (case
// ignored), or -1: it starts the text or follows a CR or LF, and ends the text
// or stands before a CR or LF.
int64_t FindListedLine(const uint8_t* text, uint32_t size, const char* name);
// Stores text as the neutral "(listfile)", replacing the old one.
bool StoreListfile(Archive* archive, const uint8_t* text, uint32_t size);
