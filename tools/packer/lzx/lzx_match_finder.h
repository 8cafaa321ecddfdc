// SPDX-License-Identifier: Zlib
#pragma once

#include "lzx/lzx_format.h"
#include "lzx/lzx_window.h"

#include <cstdint>
#include <vector>

namespace packer {

// Finds the matches of one folder's stream with hash chains and a one-step lazy parse, and keeps
// the repeated-offset registers as the decoder will. Holds the window and up to `lookahead`
// unparsed bytes after it, and no more: memory does not grow with the stream. Deterministic:
// positions, not addresses, are hashed.
class LzxMatchFinder {
public:
  LzxMatchFinder(unsigned window_bits, std::uint32_t lookahead);

  // Room for the next `size` stream bytes, to be filled by the caller, who still needs the bytes
  // from stream position `keep` on. Neither the bytes waiting to be parsed nor those from `keep`
  // on may exceed `lookahead`.
  std::uint8_t *Append(std::uint32_t size, std::uint32_t keep);
  // The stream byte at `position`, which must be in the window or waiting.
  const std::uint8_t *At(std::uint32_t position) const { return data_.At(position); }

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
  void InsertUpTo(std::uint32_t position);
  void Emit(const Choice &choice, std::vector<LzxItem> &items);

  std::uint32_t window_;
  std::uint32_t max_distance_;
  LzxWindow data_;
  std::uint32_t parsed_ = 0;   // stream position after the last parsed byte
  std::uint32_t inserted_ = 0; // positions below this are in the hash chains
  unsigned hash_shift_;
  std::vector<std::uint32_t> head_; // per hash: last position + 1, 0 for none
  std::vector<std::uint32_t> prev_; // per position (masked): the one before it, + 1
  std::uint32_t prev_mask_;
  std::uint32_t repeats_[3] = {1, 1, 1};
};

} // namespace packer
