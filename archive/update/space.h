// Where an update may write: the parts of an archive file that neither the
// state on disk (the committed one) nor the state being built (the pending
// one) uses. Positions are archive-relative, in 64 bits.
#pragma once

#include <cstddef>
#include <cstdint>

struct Extent {
  uint64_t start;
  uint64_t end;  // one past the last byte
};

// A growable array of extents; every operation that grows it may fail for
// want of memory (ERROR_NOT_ENOUGH_MEMORY).
class ExtentList {
 public:
  ExtentList() = default;
  ~ExtentList();
  ExtentList(const ExtentList&) = delete;
  ExtentList& operator=(const ExtentList&) = delete;

  bool Append(Extent e);
  bool Insert(size_t at, Extent e);
  void Erase(size_t at);
  void Clear() { size_ = 0; }
  size_t size() const { return size_; }
  Extent& operator[](size_t i) { return items_[i]; }
  const Extent& operator[](size_t i) const { return items_[i]; }
  // Sorts by start and joins extents that overlap or touch.
  void SortAndMerge();
  // Index of the first extent whose start is not below position.
  size_t LowerBound(uint64_t position) const;

 private:
  bool Reserve(size_t count);
  Extent* items_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// The free space of one update: gaps between used extents, and everything
// from the tail on. Space handed out is remembered, so that what the same
// update stops using can be handed out again; space the committed state uses
// is never in here at all.
class FreeSpace {
 public:
  // used: every extent either state uses (any order, overlaps allowed);
  // nothing below floor is ever handed out.
  bool Build(ExtentList* used, uint64_t floor);

  // First fit: the lowest gap that holds size bytes, else the tail. Fails
  // with ERROR_FILE_TOO_LARGE (223) when the space would end beyond limit.
  bool Allocate(uint64_t size, uint64_t limit, uint64_t* start);
  // Best fit among the gaps alone: the smallest that holds size bytes, so
  // that a table goes back into the hole an older copy of it left rather
  // than splitting a larger one. False, with nothing handed out and the last
  // error untouched, when no gap below limit holds it.
  bool AllocateInGap(uint64_t size, uint64_t limit, uint64_t* start);
  // Gives back [start, end) when this update handed it out (all of it or its
  // end part); anything else is left alone.
  bool Release(uint64_t start, uint64_t end);

  uint64_t tail() const { return tail_; }
  // Hands out nothing below the tail from now on (space given back by this
  // update itself included).
  void KeepToTail() { gaps_.Clear(); }

 private:
  bool AddGap(uint64_t start, uint64_t end);
  bool TakeFromGap(size_t gap, uint64_t size, uint64_t* start);

  ExtentList gaps_;   // sorted, disjoint, not touching, all below tail_
  ExtentList owned_;  // handed out by this update, sorted, disjoint
  uint64_t tail_ = 0;
};
