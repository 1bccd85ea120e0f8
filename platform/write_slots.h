// The files being written by the output trees' threads, kept for the
// interrupt cleanup (a signal handler on POSIX, the console handler on
// Windows) so that it can remove the half-written ones. Both output_tree.cpp
// files share this logic; each gives only its own system calls through Os:
//   Place                      where a file being written is, as a slot keeps it
//   Fits(where...)             whether a place fits in a Place
//   Record(&place, where...)   keeps a place that fits
//   Holds(place, where...)     whether a Place is that place
//   Remove(place)              removes that file (async-signal-safe on POSIX)
//   ThreadId, CurrentThread()  who claimed a slot (ThreadId{}: nobody)
//   kSlotsOutliveThreads       whether a thread may end without giving its
//                              slot back; then ThreadEnded(id) tells whether
//                              a slot's owner is gone
//   Nap()                      a short sleep while a step in progress finishes
//   WaitForTheEnd()            blocks the thread until the process ends
//   StepDoneWhileEnding(n)     what a thread does after its step once the
//                              process is ending (n: what BeginEnding was given)
// Everything a sweep touches is a lock-free atomic or a plain field behind
// one: no allocation, no lock, so POSIX can sweep from a signal handler.
#pragma once

#include <atomic>
#include <csignal>

#if defined(__GNUC__) || defined(__clang__)
#define SORVANE_SIGNAL_TLS __attribute__((tls_model("initial-exec")))
#else
#define SORVANE_SIGNAL_TLS
#endif

namespace platform::internal {

// One record (a slot) per thread that writes, claimed at its first file and
// given back when the thread ends. A slot's lock says who may touch its
// record and its file: its thread while it creates, renames or removes the
// file (kOwner: the record and the file change together), or a sweep that
// took the slot to remove the file (kTaken). Once the process is ending
// every slot a sweep met stays taken, so no thread starts another file: it
// waits for the end instead. A sweep that finds a thread in the middle of
// its step leaves that file to the thread, which removes it when the step
// is done.
template <class Os>
class WriteSlots {
 public:
  using Place = typename Os::Place;
  using ThreadId = typename Os::ThreadId;

  static constexpr int kSlots = 128;
  enum : int { kIdle = 0, kOwner = 1, kTaken = 2 };

  struct Slot {
    std::atomic<int> lock{kIdle};
    std::atomic<ThreadId> owner{};
    volatile std::sig_atomic_t armed = 0;  // read and written by whoever holds the lock
    Place place{};
  };
  static_assert(std::atomic<int>::is_always_lock_free && std::atomic<ThreadId>::is_always_lock_free,
                "signal handlers use these atomics");

  // One step that creates, renames or removes a file being written: the
  // thread's slot is held for it, so no sweep acts on it meanwhile. slot()
  // is null when every slot is another thread's.
  class Step {
   public:
    Step() : slot_(OwnSlot()) {
      if (slot_ == nullptr) return;
      int expected = kIdle;
      // Only a sweep takes a slot from its thread, and only once the
      // process is ending.
      if (!slot_->lock.compare_exchange_strong(expected, kOwner)) Os::WaitForTheEnd();
      stepSlot = slot_;
    }
    ~Step() {
      if (slot_ == nullptr) return;
      slot_->lock.store(kIdle);
      stepSlot = nullptr;
      const int number = ending.load();
      if (number == 0) return;
      // A sweep came during the step, or passed this slot by: this
      // thread's file goes now.
      Take(*slot_);
      Os::StepDoneWhileEnding(number);
      Os::WaitForTheEnd();
    }
    Step(const Step&) = delete;
    Step& operator=(const Step&) = delete;
    Slot* slot() const { return slot_; }

   private:
    Slot* slot_;
  };

  // Marks the file at `where` as the thread's file being written (inside a
  // Step). A place the record cannot hold is not marked: its create failed.
  template <class... Where>
  static void Arm(Slot* slot, const Where&... where) {
    if (!Os::Fits(where...)) return;
    slot->armed = 0;
    Os::Record(&slot->place, where...);
    slot->armed = 1;
  }

  // Inside a Step: the thread's file is finished and stays (Disarm), or the
  // file at `where` was removed, so if it was the thread's there is nothing
  // left to remove (DisarmIf).
  static void Disarm(Slot* slot) {
    if (slot != nullptr) slot->armed = 0;
  }
  template <class... Where>
  static void DisarmIf(Slot* slot, const Where&... where) {
    if (slot != nullptr && slot->armed != 0 && Os::Holds(slot->place, where...)) slot->armed = 0;
  }

  // Marks the process as ending; number (never 0) is what threads that
  // finish a step from then on pass to StepDoneWhileEnding. The first mark
  // stays.
  static void BeginEnding(int number) {
    int expected = 0;
    ending.compare_exchange_strong(expected, number);
  }

  // Takes the slot unless its thread is in a step, waiting up to `naps`
  // naps for the step, and removes its file. False when the step goes on.
  static bool Take(Slot& slot, int naps = 0) {
    for (int napped = 0;; ++napped) {
      int expected = kIdle;
      if (slot.lock.compare_exchange_strong(expected, kTaken)) {
        RemoveFile(slot);
        return true;
      }
      if (expected == kTaken) return true;
      if (napped == naps) return false;
      Os::Nap();
    }
  }

  // Takes every slot no thread is in a step with and removes its file;
  // returns how many threads are in a step (the caller's own `self` not
  // counted).
  static int Sweep(const Slot* self, int naps = 0) {
    int busy = 0;
    for (Slot& slot : slots) {
      if (!Take(slot, naps) && &slot != self) ++busy;
    }
    return busy;
  }

  // Removes the slot's file if it has one, whoever holds the lock: for a
  // crash that cut the thread's own step short.
  static void RemoveFile(Slot& slot) {
    if (slot.armed == 0) return;
    slot.armed = 0;
    Os::Remove(slot.place);
  }

  // The slot the calling thread holds for a step, or null.
  static Slot* StepSlot() { return stepSlot; }

 private:
  // Gives the thread's slot back when it ends.
  struct Keeper {
    bool kept = false;
    ~Keeper() {
      Slot* slot = ownSlot;
      if (slot == nullptr) return;
      ownSlot = nullptr;
      int expected = kIdle;
      if (slot->lock.compare_exchange_strong(expected, kOwner)) {
        slot->armed = 0;
        slot->lock.store(kIdle);
      }
      slot->owner.store(ThreadId{});
    }
  };

  static Slot* Keep(Slot& slot) {
    keeper.kept = true;  // the first use registers its destructor for this thread
    ownSlot = &slot;
    return &slot;
  }

  // The calling thread's slot, claimed on first use; null when every slot
  // is another thread's.
  static Slot* OwnSlot() {
    if (ownSlot != nullptr) return ownSlot;
    const ThreadId me = Os::CurrentThread();
    for (Slot& slot : slots) {
      ThreadId expected{};
      if (slot.owner.compare_exchange_strong(expected, me)) return Keep(slot);
    }
    if constexpr (Os::kSlotsOutliveThreads) {
      // Not every runtime runs a thread's thread_local destructors when it
      // ends, so a slot can outlive its thread: one whose thread has ended
      // and that holds no file being written is taken over.
      for (Slot& slot : slots) {
        ThreadId owner = slot.owner.load();
        if (owner == ThreadId{} || owner == me || !Os::ThreadEnded(owner)) continue;
        int idle = kIdle;
        if (!slot.lock.compare_exchange_strong(idle, kOwner)) continue;
        const bool took = slot.armed == 0 && slot.owner.compare_exchange_strong(owner, me);
        slot.lock.store(kIdle);
        if (took) return Keep(slot);
      }
    }
    return nullptr;
  }

  static inline constinit Slot slots[kSlots];
  static inline constinit std::atomic<int> ending{0};
  // The calling thread's slot, and the one it holds during a step (a crash
  // handler reads the latter: plain pointers, no constructor).
  static inline thread_local Slot* ownSlot SORVANE_SIGNAL_TLS = nullptr;
  static inline thread_local Slot* stepSlot SORVANE_SIGNAL_TLS = nullptr;
  static inline thread_local Keeper keeper;
};

}  // namespace platform::internal
