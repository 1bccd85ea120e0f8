// Page memory that releases itself, for the tables and buffers the library
// sizes from untrusted counts: one allocation that fails cleanly.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace platform {

// Empty (null) when the allocation failed.
class PageBuffer {
 public:
  PageBuffer() = default;
  explicit PageBuffer(size_t size) : data_(size ? VirtualAlloc(size) : nullptr), size_(data_ ? size : 0) {}
  ~PageBuffer() { VirtualFree(data_); }
  PageBuffer(const PageBuffer&) = delete;
  PageBuffer& operator=(const PageBuffer&) = delete;
  PageBuffer(PageBuffer&& other) noexcept : data_(other.data_), size_(other.size_) {
    other.data_ = nullptr;
    other.size_ = 0;
  }
  PageBuffer& operator=(PageBuffer&& other) noexcept {
    if (this != &other) {
      VirtualFree(data_);
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

}  // namespace platform
