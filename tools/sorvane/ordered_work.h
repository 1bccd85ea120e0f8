// Work done on several threads whose results are handed on in the order of
// the items, as one thread doing them one after the other would hand them
// on: extract writes files in parallel and says what happened to each in
// the order of its list.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace sorvane {

// Items grouped into units, each unit's items done in their order by one
// thread: unit u holds items[starts[u]] .. items[starts[u + 1] - 1], and
// units come in the order of their first items.
struct WorkUnits {
  std::vector<size_t> items;
  std::vector<size_t> starts;  // one entry more than there are units

  size_t Count() const { return starts.empty() ? 0 : starts.size() - 1; }
  size_t First(size_t unit) const { return items[starts[unit]]; }
};

// Every item a unit of its own.
WorkUnits SingleUnits(size_t count);

// Units for files written below one folder, paths[i] the place of item i
// ('\' and '/' both separate): items whose places could be one and the
// same file, or where one's place could be a folder on the way to the
// other's, share a unit, so that they meet each other in the order of the
// list whatever the threads do. Places are compared as a file system that
// ignores letter case would (and as Windows, which drops a component's
// trailing dots and blanks); "." and empty components count for nothing;
// a component with a byte beyond ASCII or a '~' may be any such component,
// and one with a '~' (a short name) also any beside it that is no plain 8.3
// name.
WorkUnits UnitsByOutputPath(const std::vector<std::string>& paths);

// What the threads beyond the first would cost too much for: at most this
// many, whatever was asked.
constexpr uint32_t kMaxWorkThreads = 64;

// Runs work(item, thread) for every item of the units on `threads` threads
// (the caller's is thread 0; fewer when there are fewer units or the
// system gives no more), and emit(item, result) for each item in the
// order of the items, one call at a time, on whichever thread finished the
// item that let it go. A unit is started only while its first item is
// fewer than `window` items past the next one to emit, so results wait in
// memory for at most about that many items (plus the rest of units
// already started).
template <class Result>
class InOrder {
 public:
  InOrder(const WorkUnits& units, size_t window) : units_(units), window_(window == 0 ? 1 : window) {}
  InOrder(const InOrder&) = delete;
  InOrder& operator=(const InOrder&) = delete;

  template <class Work, class Emit>
  void Run(uint32_t threads, Work work, Emit emit) {
    auto loop = [&](uint32_t thread) {
      for (;;) {
        size_t unit;
        {
          std::unique_lock<std::mutex> lock(mutex_);
          for (;;) {
            if (nextUnit_ == units_.Count()) return;
            if (units_.First(nextUnit_) < emitted_ + window_) break;
            ++waiting_;
            room_.wait(lock);
            --waiting_;
          }
          unit = nextUnit_++;
        }
        for (size_t k = units_.starts[unit]; k < units_.starts[unit + 1]; ++k) {
          const size_t item = units_.items[k];
          Result result = work(item, thread);
          std::lock_guard<std::mutex> lock(mutex_);
          if (item != emitted_) {
            pending_.emplace(item, std::move(result));
            continue;
          }
          emit(item, result);
          ++emitted_;
          for (auto it = pending_.begin(); it != pending_.end() && it->first == emitted_;) {
            emit(it->first, it->second);
            ++emitted_;
            it = pending_.erase(it);
          }
          if (waiting_ != 0) room_.notify_all();
        }
      }
    };
    if (threads > kMaxWorkThreads) threads = kMaxWorkThreads;
    if (threads > units_.Count()) threads = static_cast<uint32_t>(units_.Count());
    std::vector<std::thread> helpers;
    for (uint32_t t = 1; t < threads; ++t) {
      try {
        helpers.emplace_back(loop, t);
      } catch (const std::system_error&) {
        break;  // the system gives no more threads: the ones there are do it all
      }
    }
    loop(0);
    for (std::thread& helper : helpers) helper.join();
  }

  // Runs fn under the lock emit runs under, unless another thread holds it
  // at the moment (then fn is not run).
  template <class Fn>
  void IfFree(Fn fn) {
    std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (lock.owns_lock()) fn();
  }

 private:
  const WorkUnits& units_;
  const size_t window_;
  std::mutex mutex_;
  std::condition_variable room_;  // the window moved on
  size_t nextUnit_ = 0;
  size_t emitted_ = 0;
  size_t waiting_ = 0;
  std::map<size_t, Result> pending_;  // finished, waiting for an earlier item
};

}  // namespace sorvane
