// A growable block of bytes that an exported array hands to its consumer:
// 64-byte aligned, as Arrow's buffers should be, and freed by the array's
// release wherever and whenever the consumer calls it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace tamsel::table {

class Buffer {
 public:
  Buffer() = default;
  ~Buffer() { std::free(data_); }
  Buffer(Buffer&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)),
        size_(std::exchange(o.size_, 0)),
        capacity_(std::exchange(o.capacity_, 0)) {}
  Buffer& operator=(Buffer&& o) noexcept {
    std::swap(data_, o.data_);
    std::swap(size_, o.size_);
    std::swap(capacity_, o.capacity_);
    return *this;
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;

  uint8_t* data() { return data_; }
  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

  void reserve(size_t capacity) {
    if (capacity <= capacity_) return;
    const size_t grown = std::max(capacity, capacity_ * 2);
    // Rounded up to the alignment, as aligned_alloc asks.
    const size_t bytes = (std::max<size_t>(grown, 64) + 63) & ~size_t{63};
    auto* fresh = static_cast<uint8_t*>(std::aligned_alloc(64, bytes));
    if (!fresh) throw std::bad_alloc();
    if (size_) std::memcpy(fresh, data_, size_);
    std::free(data_);
    data_ = fresh;
    capacity_ = bytes;
  }
  // Grows to `size` bytes; the new ones are zero.
  void resize(size_t size) {
    reserve(size);
    if (size > size_) std::memset(data_ + size_, 0, size - size_);
    size_ = size;
  }
  void append(const void* bytes, size_t n) {
    if (size_ + n > capacity_) reserve(size_ + n);
    if (n) std::memcpy(data_ + size_, bytes, n);
    size_ += n;
  }
  template <class T>
  void push(T value) {
    append(&value, sizeof value);
  }
  template <class T>
  T* as() {
    return reinterpret_cast<T*>(data_);
  }
  void clear() { size_ = 0; }

 private:
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

}  // namespace tamsel::table
