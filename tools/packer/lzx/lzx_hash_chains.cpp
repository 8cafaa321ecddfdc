// SPDX-License-Identifier: Zlib
#include "lzx/lzx_hash_chains.h"

#include "lzx/lzx_format.h"

#include <algorithm>

namespace packer {
namespace {

std::uint32_t NextPowerOfTwo(std::uint32_t n) {
  std::uint32_t p = 1;
  while (p < n)
    p <<= 1;
  return p;
}

} // namespace

LzxHashChains::LzxHashChains(unsigned window_bits, std::uint32_t lookahead,
                             std::uint64_t stream_size, const LzxChainSearch &search)
    : search_(search), max_distance_(LzxMaxDistance(window_bits)),
      data_(std::uint32_t{1} << window_bits, lookahead, stream_size),
      hash_shift_(32 - std::min(LzxTableBits(window_bits, stream_size) + 1, 18u)),
      head_(std::size_t{1} << (32 - hash_shift_)),
      // A chain entry must outlive every position that can still reach it; a stream shorter than
      // that needs one entry per position only.
      prev_full_(NextPowerOfTwo((std::uint32_t{1} << window_bits) + lookahead)),
      prev_(std::min<std::uint64_t>(prev_full_,
                                    std::uint64_t{1} << LzxTableBits(window_bits, stream_size))),
      prev_mask_(static_cast<std::uint32_t>(prev_.size() - 1)) {}

std::uint8_t *LzxHashChains::Append(std::uint32_t size, std::uint32_t keep) {
  return data_.Append(size, keep);
}

void LzxHashChains::InsertUpTo(std::uint32_t position) {
  // A stream longer than announced: positions below the old size keep their entries. Once the
  // table has its full size, positions wrap around it.
  if (prev_.size() < prev_full_ && data_.end() > prev_.size()) {
    prev_.Grow(prev_full_);
    prev_mask_ = static_cast<std::uint32_t>(prev_.size() - 1);
  }
  for (; inserted_ < position && inserted_ + 3 <= data_.end(); ++inserted_) {
    std::uint32_t &head = head_[LzxHash3(At(inserted_), hash_shift_)];
    prev_[inserted_ & prev_mask_] = head;
    head = inserted_ + 1;
  }
}

} // namespace packer
