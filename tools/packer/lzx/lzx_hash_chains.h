// SPDX-License-Identifier: Zlib
#pragma once

#include "lzx/lzx_window.h"

#include <algorithm>
#include <cstdint>

namespace packer {

// How far the hash chains look.
struct LzxChainSearch {
  // Candidates tried per position, a quarter of them once a match is `good_length` long, and a
  // length that ends the search.
  unsigned max_chain;
  std::uint32_t good_length;
  std::uint32_t nice_length;
};

// The match finder of the fast parse: per hash of three bytes, a chain of the positions that had
// it, newest first. Holds the window and up to `lookahead` unparsed bytes after it, and no more:
// memory does not grow with the stream. Deterministic: positions, not addresses, are hashed.
class LzxHashChains {
public:
  // `stream_size`: the bytes the stream will hold, which sizes the tables when it is shorter than
  // the window; should more come, they grow.
  LzxHashChains(unsigned window_bits, std::uint32_t lookahead, std::uint64_t stream_size,
                const LzxChainSearch &search);

  // Room for the next `size` stream bytes, to be filled by the caller, who still needs the bytes
  // from stream position `keep` on. Neither the bytes waiting to be searched nor those from `keep`
  // on may exceed `lookahead`.
  std::uint8_t *Append(std::uint32_t size, std::uint32_t keep);
  // The stream byte at `position`, which must be in the window or waiting.
  const std::uint8_t *At(std::uint32_t position) const { return data_.At(position); }
  std::uint32_t end() const { return data_.end(); }

  // Puts the positions before `position` on their chains.
  void InsertUpTo(std::uint32_t position);
  // Calls visit(length, distance) for each match at `position` (on the chains already) longer
  // than those before it, nearest first, up to `limit` bytes long.
  template <typename Visit>
  void ForEachLonger(std::uint32_t position, std::uint32_t limit, Visit visit) const;

private:
  LzxChainSearch search_;
  std::uint32_t max_distance_;
  LzxWindow data_;
  std::uint32_t inserted_ = 0; // positions below this are on the chains
  unsigned hash_shift_;
  LzxTable<std::uint32_t> head_; // per hash: last position + 1, 0 for none
  std::uint32_t prev_full_;      // prev_'s size once the stream outgrows its announced size
  LzxTable<std::uint32_t> prev_; // per position (masked): the one before it, + 1
  std::uint32_t prev_mask_;
};

template <typename Visit>
void LzxHashChains::ForEachLonger(std::uint32_t position, std::uint32_t limit, Visit visit) const {
  if (limit < 3 || position + 3 > data_.end())
    return;
  const std::uint8_t *here = At(position);
  std::uint32_t longest = 2;
  std::uint32_t candidate = head_[LzxHash3(here, hash_shift_)];
  for (unsigned tries = search_.max_chain; candidate != 0 && tries != 0; --tries) {
    const std::uint32_t at = candidate - 1;
    const std::uint32_t distance = position - at;
    if (at >= position || distance > max_distance_)
      break;
    candidate = prev_[at & prev_mask_];
    const std::uint8_t *there = here - distance;
    if (there[longest] != here[longest] || there[0] != here[0])
      continue;
    const std::uint32_t length = LzxMatchLength(here, there, limit);
    if (length <= longest)
      continue;
    if (longest < search_.good_length && length >= search_.good_length)
      tries = std::min(tries, search_.max_chain / 4);
    longest = length;
    visit(length, distance);
    if (length >= search_.nice_length || length == limit)
      break;
  }
}

} // namespace packer
