// SPDX-License-Identifier: Zlib
#pragma once

#include "lzx/lzx_format.h"
#include "lzx/lzx_hash_chains.h"

#include <cstdint>
#include <vector>

namespace packer {

// How the fast parse works.
struct LzxLazySettings {
  LzxChainSearch search;
  // Longer matches are taken without looking one byte further.
  std::uint32_t lazy_length;
};

inline constexpr LzxLazySettings kLzxLazy{
    .search = {.max_chain = 64, .good_length = 24, .nice_length = 128}, .lazy_length = 48};

// The fast parse (`lzx-fast`): at each position the best of the repeated offsets and the hash
// chains' matches, scored by a rough guess of bits saved, taken unless the next position offers
// a better one (a one-step lazy choice). Keeps the repeated-offset registers as the decoder will.
class LzxLazyParser {
public:
  // `stream_size`: the bytes the stream will hold, which sizes the tables when it is shorter than
  // the window.
  LzxLazyParser(unsigned window_bits, std::uint32_t lookahead, std::uint64_t stream_size,
                const LzxLazySettings &settings = kLzxLazy);

  // Room for the next `size` stream bytes, to be filled by the caller, who still needs the bytes
  // from stream position `keep` on. Neither the bytes waiting to be parsed nor those from `keep`
  // on may exceed `lookahead`.
  std::uint8_t *Append(std::uint32_t size, std::uint32_t keep);
  // The stream byte at `position`, which must be in the window or waiting.
  const std::uint8_t *At(std::uint32_t position) const { return chains_.At(position); }

  // Parses the next `size` appended bytes into `items`; no match reaches past them.
  void Parse(std::uint32_t size, std::vector<LzxItem> &items);
  // R0, R1 and R2 after everything parsed so far.
  const std::uint32_t *repeats() const { return repeats_; }

private:
  struct Choice {
    std::uint32_t length = 0;
    std::uint32_t distance = 0;
    int repeat = -1; // 0-2: the register used; -1: a new offset
    int score = 0;   // bits saved against literals, roughly
  };
  Choice Find(std::uint32_t position, std::uint32_t limit) const;
  void Emit(const Choice &choice, std::vector<LzxItem> &items);

  LzxLazySettings settings_;
  std::uint32_t window_;
  std::uint32_t max_distance_;
  LzxHashChains chains_;
  std::uint32_t parsed_ = 0; // stream position after the last parsed byte
  std::uint32_t repeats_[3] = {1, 1, 1};
};

} // namespace packer
