// Open addressing over a power of two of slots, at most half of them in
// use: the table code under the name indexes. The slots say what they hold:
// a Slot is value-initialised free, and free() tells one apart.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "sorvane/sorvane.h"

template <typename Slot>
class ProbeTable {
 public:
  // A table grows up to maxSlots; growing further fails for want of memory.
  explicit ProbeTable(uint32_t maxSlots) : maxSlots_(maxSlots) {}
  ~ProbeTable() { std::free(slots_); }
  ProbeTable(const ProbeTable&) = delete;
  ProbeTable& operator=(const ProbeTable&) = delete;

  bool empty() const { return slots_ == nullptr; }
  uint32_t slotCount() const { return count_; }
  const Slot& at(uint32_t i) const { return slots_[i]; }
  Slot& at(uint32_t i) { return slots_[i]; }

  // The slot from hash on that `same` accepts, or the free slot ending the
  // run (where such a slot would go). The table must have slots.
  template <typename Same>
  Slot* Probe(uint32_t hash, Same same) const {
    for (uint32_t i = hash & (count_ - 1);; i = (i + 1) & (count_ - 1)) {
      Slot* slot = &slots_[i];
      if (slot->free() || same(*slot)) return slot;
    }
  }

  // Fills a free slot Probe returned.
  void Take(Slot* slot, const Slot& value) {
    *slot = value;
    ++used_;
  }

  // Room for one more slot in use: the table doubles (64 slots at first),
  // every slot placed anew by hashOf(slot). False (ERROR_NOT_ENOUGH_MEMORY)
  // when it cannot; the table stays as it was.
  template <typename HashOf>
  bool Reserve(HashOf hashOf) {
    if (slots_ != nullptr && (used_ + 1) * 2 <= count_) return true;
    const uint64_t count = count_ < 64 ? 64 : static_cast<uint64_t>(count_) * 2;
    if (count > maxSlots_) return Fail();
    auto* fresh = static_cast<Slot*>(std::calloc(static_cast<size_t>(count), sizeof(Slot)));
    if (fresh == nullptr) return Fail();
    Slot* old = slots_;
    const uint32_t oldCount = count_;
    slots_ = fresh;
    count_ = static_cast<uint32_t>(count);
    for (uint32_t i = 0; i < oldCount; ++i) {
      if (old[i].free()) continue;
      uint32_t j = hashOf(old[i]) & (count_ - 1);
      while (!slots_[j].free()) j = (j + 1) & (count_ - 1);
      slots_[j] = old[i];
    }
    std::free(old);
    return true;
  }

  void Clear() {
    std::free(slots_);
    slots_ = nullptr;
    count_ = used_ = 0;
  }

 private:
  static bool Fail() {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  Slot* slots_ = nullptr;
  uint32_t count_ = 0;
  uint32_t used_ = 0;
  uint32_t maxSlots_;
};
