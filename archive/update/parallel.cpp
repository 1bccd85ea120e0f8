// A small pool of threads for sector compression. The library is used from
// one thread; only the pure per-sector work (the codecs, which allocate
// their work areas per call and keep no state between calls) runs here.
#include "archive/update/parallel.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "sorvane/sorvane.h"

namespace {

constexpr uint32_t kMaxThreads = 64;

class Pool {
 public:
  ~Pool() { Resize(1); }

  uint32_t threads() const { return threads_; }

  // Starts or stops helpers so that `count` threads (the caller's included)
  // share the work; fewer when the system refuses more.
  void Resize(uint32_t count) {
    if (count == threads_) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    for (uint32_t i = 0; i + 1 < threads_; ++i) helpers_[i].join();
    helpers_ = nullptr;
    threads_ = 1;
    stop_ = false;
    if (count <= 1) return;
    helpers_ = std::unique_ptr<std::thread[]>(new (std::nothrow) std::thread[count - 1]);
    if (helpers_ == nullptr) return;
    for (uint32_t i = 0; i + 1 < count; ++i) {
      try {
        helpers_[i] = std::thread([this] { Work(); });
      } catch (...) {
        break;
      }
      ++threads_;
    }
  }

  void Run(uint32_t count, void (*task)(void*, uint32_t), void* context) {
    if (threads_ <= 1 || count <= 1) {
      for (uint32_t i = 0; i < count; ++i) task(context, i);
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      task_ = task;
      context_ = context;
      count_ = count;
      next_ = 0;
      busy_ = threads_ - 1;
      ++generation_;
    }
    wake_.notify_all();
    Take();
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return busy_ == 0; });
  }

 private:
  // Runs pieces until none is left.
  void Take() {
    for (uint32_t i = next_++; i < count_; i = next_++) task_(context_, i);
  }

  void Work() {
    uint64_t seen = 0;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [&] { return stop_ || generation_ != seen; });
        if (stop_) return;
        seen = generation_;
      }
      Take();
      std::lock_guard<std::mutex> lock(mutex_);
      if (--busy_ == 0) done_.notify_one();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  std::unique_ptr<std::thread[]> helpers_;
  uint32_t threads_ = 1;
  bool stop_ = false;
  uint64_t generation_ = 0;
  uint32_t busy_ = 0;
  void (*task_)(void*, uint32_t) = nullptr;
  void* context_ = nullptr;
  uint32_t count_ = 0;
  std::atomic<uint32_t> next_{0};
};

Pool& ThePool() {
  static Pool pool;
  return pool;
}

}  // namespace

void RunInParallel(uint32_t count, void (*task)(void* context, uint32_t index), void* context) {
  ThePool().Run(count, task, context);
}

uint32_t CompressionThreads() { return ThePool().threads(); }

uint32_t SetCompressionThreadCount(uint32_t count) {
  const uint32_t previous = ThePool().threads();
  if (count == 0) count = std::thread::hardware_concurrency();
  if (count == 0) count = 1;
  if (count > kMaxThreads) count = kMaxThreads;
  ThePool().Resize(count);
  return previous;
}
