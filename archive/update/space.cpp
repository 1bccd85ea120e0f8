// Free space of an archive file under update: sorted gaps, first fit.
#include "archive/update/space.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "sorvane/sorvane.h"

namespace {

// Win32's "file size exceeds the limit".
constexpr uint32_t kErrorFileTooLarge = 223;

}  // namespace

ExtentList::~ExtentList() { std::free(items_); }

bool ExtentList::Reserve(size_t count) {
  if (count <= capacity_) return true;
  size_t grown = capacity_ < 16 ? 16 : capacity_ * 2;
  if (grown < count) grown = count;
  void* bigger = std::realloc(items_, grown * sizeof(Extent));
  if (bigger == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  items_ = static_cast<Extent*>(bigger);
  capacity_ = grown;
  return true;
}

bool ExtentList::Append(Extent e) { return Insert(size_, e); }

bool ExtentList::Insert(size_t at, Extent e) {
  if (!Reserve(size_ + 1)) return false;
  std::memmove(items_ + at + 1, items_ + at, (size_ - at) * sizeof(Extent));
  items_[at] = e;
  ++size_;
  return true;
}

void ExtentList::Erase(size_t at) {
  std::memmove(items_ + at, items_ + at + 1, (size_ - at - 1) * sizeof(Extent));
  --size_;
}

void ExtentList::SortAndMerge() {
  if (size_ == 0) return;
  std::sort(items_, items_ + size_, [](const Extent& a, const Extent& b) { return a.start < b.start; });
  size_t out = 0;
  for (size_t i = 1; i < size_; ++i) {
    if (items_[i].start <= items_[out].end) {
      if (items_[i].end > items_[out].end) items_[out].end = items_[i].end;
    } else {
      items_[++out] = items_[i];
    }
  }
  size_ = out + 1;
}

size_t ExtentList::LowerBound(uint64_t position) const {
  size_t low = 0, high = size_;
  while (low < high) {
    const size_t mid = low + (high - low) / 2;
    if (items_[mid].start < position) low = mid + 1;
    else high = mid;
  }
  return low;
}

bool FreeSpace::Build(ExtentList* used, uint64_t floor) {
  gaps_.Clear();
  owned_.Clear();
  used->SortAndMerge();
  uint64_t cursor = floor;
  for (size_t i = 0; i < used->size(); ++i) {
    const Extent& e = (*used)[i];
    if (e.end <= cursor || e.start == e.end) continue;
    if (e.start > cursor && !gaps_.Append({cursor, e.start})) return false;
    cursor = e.end;
  }
  tail_ = cursor;
  return true;
}

bool FreeSpace::Allocate(uint64_t size, uint64_t limit, uint64_t* start) {
  size_t gap = 0;
  while (gap < gaps_.size() && gaps_[gap].end - gaps_[gap].start < size) ++gap;
  const uint64_t at = gap < gaps_.size() ? gaps_[gap].start : tail_;
  if (at > limit || size > limit - at) {
    SetLastError(kErrorFileTooLarge);
    return false;
  }
  return TakeFromGap(gap, size, start);
}

bool FreeSpace::AllocateInGap(uint64_t size, uint64_t limit, uint64_t* start) {
  if (size == 0) return false;
  size_t best = gaps_.size();
  for (size_t gap = 0; gap < gaps_.size(); ++gap) {
    const uint64_t room = gaps_[gap].end - gaps_[gap].start;
    if (room < size || gaps_[gap].start > limit || size > limit - gaps_[gap].start) continue;
    if (best == gaps_.size() || room < gaps_[best].end - gaps_[best].start) best = gap;
  }
  return best < gaps_.size() && TakeFromGap(best, size, start);
}

// Hands out size bytes at the start of gaps_[gap], or of the tail when gap
// is past the last one.
bool FreeSpace::TakeFromGap(size_t gap, uint64_t size, uint64_t* start) {
  const uint64_t at = gap < gaps_.size() ? gaps_[gap].start : tail_;
  if (size != 0) {
    if (!owned_.Insert(owned_.LowerBound(at), {at, at + size})) return false;
    if (gap < gaps_.size()) {
      gaps_[gap].start += size;
      if (gaps_[gap].start == gaps_[gap].end) gaps_.Erase(gap);
    } else {
      tail_ += size;
    }
  }
  *start = at;
  return true;
}

bool FreeSpace::Release(uint64_t start, uint64_t end) {
  if (start >= end) return true;
  size_t i = owned_.LowerBound(start + 1);
  if (i == 0) return true;
  Extent& e = owned_[--i];
  if (start < e.start || end > e.end) return true;
  if (start == e.start && end == e.end) {
    owned_.Erase(i);
  } else if (end == e.end) {
    e.end = start;
  } else if (start == e.start) {
    e.start = end;
  } else {
    const Extent after{end, e.end};
    e.end = start;
    if (!owned_.Insert(i + 1, after)) return false;
  }
  return AddGap(start, end);
}

bool FreeSpace::AddGap(uint64_t start, uint64_t end) {
  if (end >= tail_) {
    tail_ = start;
    while (gaps_.size() != 0 && gaps_[gaps_.size() - 1].end == tail_) {
      tail_ = gaps_[gaps_.size() - 1].start;
      gaps_.Erase(gaps_.size() - 1);
    }
    return true;
  }
  const size_t next = gaps_.LowerBound(start);
  const bool joinsPrevious = next > 0 && gaps_[next - 1].end == start;
  const bool joinsNext = next < gaps_.size() && gaps_[next].start == end;
  if (joinsPrevious && joinsNext) {
    gaps_[next - 1].end = gaps_[next].end;
    gaps_.Erase(next);
  } else if (joinsPrevious) {
    gaps_[next - 1].end = end;
  } else if (joinsNext) {
    gaps_[next].start = start;
  } else {
    return gaps_.Insert(next, {start, end});
  }
  return true;
}
