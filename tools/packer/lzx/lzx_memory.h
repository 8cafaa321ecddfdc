// SPDX-License-Identifier: Zlib
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>

namespace packer {

// The encoder's large tables are read and written at random, a few megabytes for each megabyte
// of input: on Linux they get transparent huge pages, which spare most of the page faults and TLB
// misses (about a tenth of the packing time). Elsewhere they are plain zeroed memory. Either way
// the memory comes zero-filled, untouched pages cost nothing, and the output is the same.
void *LzxAllocate(std::size_t bytes);
void LzxRelease(void *memory, std::size_t bytes);

// An allocator on those, for a vector that grows in place of a table.
template <typename T> struct LzxAllocator {
  using value_type = T;
  LzxAllocator() = default;
  template <typename U> LzxAllocator(const LzxAllocator<U> &) {}
  T *allocate(std::size_t n) { return static_cast<T *>(LzxAllocate(n * sizeof(T))); }
  void deallocate(T *p, std::size_t n) { LzxRelease(p, n * sizeof(T)); }
  bool operator==(const LzxAllocator &) const { return true; }
};

// A zero-filled table of `T`, without a pass over it to clear it.
template <typename T> class LzxTable {
public:
  explicit LzxTable(std::size_t size)
      : data_(static_cast<T *>(LzxAllocate(size * sizeof(T)))), size_(size) {}
  ~LzxTable() { LzxRelease(data_, size_ * sizeof(T)); }
  LzxTable(const LzxTable &) = delete;
  LzxTable &operator=(const LzxTable &) = delete;

  // Grows to `size`, keeping what it holds; the rest is zero.
  void Grow(std::size_t size) {
    T *grown = static_cast<T *>(LzxAllocate(size * sizeof(T)));
    std::copy(data_, data_ + size_, grown);
    LzxRelease(data_, size_ * sizeof(T));
    data_ = grown;
    size_ = size;
  }
  std::size_t size() const { return size_; }
  T *data() { return data_; }
  const T *data() const { return data_; }
  T &operator[](std::size_t i) { return data_[i]; }
  const T &operator[](std::size_t i) const { return data_[i]; }

private:
  T *data_;
  std::size_t size_;
};

} // namespace packer
