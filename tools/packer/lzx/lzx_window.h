// SPDX-License-Identifier: Zlib
#pragma once

#include "lzx/lzx_memory.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

namespace packer {

// The bytes a parser works on: the window behind the next unparsed byte and up to `lookahead`
// bytes after it, addressed by stream position. Memory does not grow with the stream, and a
// stream announced shorter than the window takes only its own size (a 6 KiB program need not
// clear megabytes); should more come, the room grows to its full size.
class LzxWindow {
public:
  LzxWindow(std::uint32_t window, std::uint32_t lookahead, std::uint64_t stream_size)
      : full_(window + lookahead),
        data_(static_cast<std::size_t>(std::min<std::uint64_t>(full_, stream_size))) {}

  // Room for the next `size` stream bytes, to be filled by the caller; the bytes before stream
  // position `keep` may go.
  std::uint8_t *Append(std::uint32_t size, std::uint32_t keep) {
    if (end_ - base_ + size > data_.size() && data_.size() < full_)
      data_.Grow(full_);
    if (end_ - base_ + size > data_.size()) {
      std::memmove(data_.data(), data_.data() + (keep - base_), end_ - keep);
      base_ = keep;
    }
    std::uint8_t *room = data_.data() + (end_ - base_);
    end_ += size;
    return room;
  }
  const std::uint8_t *At(std::uint32_t position) const { return data_.data() + (position - base_); }
  // The stream position after the last appended byte.
  std::uint32_t end() const { return end_; }

private:
  std::uint32_t full_;
  LzxTable<std::uint8_t> data_;
  std::uint32_t base_ = 0; // stream position of data_[0]
  std::uint32_t end_ = 0;
};

// The hash of the three bytes at `p`, in 32 - `shift` bits: positions, not addresses, so that
// the same input gives the same matches everywhere.
// The bits that index tables of one entry per window position when the stream is `stream_size`
// bytes long: no more than its own size needs, and at least the smallest window.
inline unsigned LzxTableBits(unsigned window_bits, std::uint64_t stream_size) {
  unsigned bits = 15;
  while (bits < window_bits && (std::uint64_t{1} << bits) < stream_size)
    ++bits;
  return bits;
}

inline std::uint32_t LzxHash3(const std::uint8_t *p, unsigned shift) {
  return ((p[0] | p[1] << 8 | p[2] << 16) * 0x9E3779B1u) >> shift;
}

// The same of the four bytes at `p`, read little-endian on any host (one load on x86).
inline std::uint32_t LzxHash4(const std::uint8_t *p, unsigned shift) {
  const std::uint32_t v = p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
  return (v * 0x9E3779B1u) >> shift;
}

// How many bytes from `a` and `b` on are equal, up to `limit`.
inline std::uint32_t LzxMatchLength(const std::uint8_t *a, const std::uint8_t *b,
                                    std::uint32_t limit) {
  std::uint32_t n = 0;
  while (n + 8 <= limit) {
    std::uint64_t x, y;
    std::memcpy(&x, a + n, 8);
    std::memcpy(&y, b + n, 8);
    if (x != y)
      return n + static_cast<std::uint32_t>(std::countr_zero(x ^ y)) / 8; // little-endian
    n += 8;
  }
  while (n < limit && a[n] == b[n])
    ++n;
  return n;
}

} // namespace packer
