// SPDX-License-Identifier: Zlib
#include "base/byte_stream.h"

#include <algorithm>
#include <cstring>

namespace packer {

std::size_t MemorySource::Read(std::uint8_t *buffer, std::size_t count) {
  const std::size_t n = std::min(count, size_ - position_);
  if (n != 0)
    std::memcpy(buffer, data_ + position_, n);
  position_ += n;
  return n;
}

bool MemorySource::Skip(std::uint64_t count) {
  position_ += static_cast<std::size_t>(std::min<std::uint64_t>(count, size_ - position_));
  return true;
}

bool MemorySink::Write(const std::uint8_t *data, std::size_t count) {
  bytes_.insert(bytes_.end(), data, data + count);
  return true;
}

bool MemorySink::Patch(std::uint64_t offset, const std::uint8_t *data, std::size_t count) {
  if (offset > bytes_.size() || count > bytes_.size() - offset)
    return false;
  std::copy(data, data + count, bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
  return true;
}

} // namespace packer
