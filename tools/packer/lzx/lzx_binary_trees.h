// SPDX-License-Identifier: Zlib
#pragma once

#include "lzx/lzx_blocks.h"
#include "lzx/lzx_window.h"

#include <cstdint>
#include <vector>

namespace packer {

// How hard the binary trees look.
struct LzxTreeSearch {
  // Tree nodes visited per position, and a length that ends the search: the longest match is
  // then taken up to its real length, and the positions it covers are only added to the trees.
  unsigned max_depth;
  std::uint32_t nice_length;
  // The longest matches kept per position; shorter ones go first.
  std::uint32_t max_matches_kept;
};

// The match finder of the near-optimal parse. One binary tree per hash of four bytes holds every
// earlier position of the window, ordered by the strings that start there; adding a position
// walks its tree from the newest node down and meets, on the way, the earlier strings that share
// the most bytes with it, nearest first among equals. So one walk finds each longer match at the
// nearest distance that gives it, and re-roots the tree at the new position. The nearest two and
// three bytes alike come from tables of their own: keyed by four bytes, the trees stay small and
// a walk of a given depth reaches further back. Every match of a group of frames is found once and
// kept, for the parse's passes to read again. A position joins its tree only once the nice length
// of bytes after it has come, since a string cut short by the end of the bytes at hand cannot be
// put in order; until then it is compared with directly. Holds the window and up to `lookahead`
// unparsed bytes after it; memory does not grow with the stream. Deterministic: positions, not
// addresses, are hashed.
class LzxBinaryTrees {
public:
  // A match found, as length << 22 | distance: distances stay below 2^21.
  using Match = std::uint32_t;
  static std::uint32_t Length(Match match) { return match >> 22; }
  static std::uint32_t Distance(Match match) { return match & ((1u << 22) - 1); }

  // `stream_size`: the bytes the stream will hold, which sizes the tables when it is shorter than
  // the window; should more come, they grow.
  LzxBinaryTrees(unsigned window_bits, std::uint32_t lookahead, std::uint64_t stream_size,
                 const LzxTreeSearch &search);

  // Room for the next `size` stream bytes, to be filled by the caller, who still needs the bytes
  // from stream position `keep` on.
  std::uint8_t *Append(std::uint32_t size, std::uint32_t keep);
  const std::uint8_t *At(std::uint32_t position) const { return data_.At(position); }

  // Finds the matches of `frames`, all bytes appended since the last call; no match reaches past
  // the end of its frame.
  void FindMatches(const std::vector<LzxFrame> &frames);
  // The matches at `position` (found by the last FindMatches), longest last; each longer than the
  // one before and no nearer.
  const Match *begin(std::uint32_t position) const {
    return matches_.data() + first_match_[position - cached_];
  }
  const Match *end(std::uint32_t position) const {
    return matches_.data() + first_match_[position - cached_ + 1];
  }

private:
  // Adds `position` to its tree when `add` (else only walks it); when `record`, keeps the matches
  // met on the way and returns the longest one's length.
  std::uint32_t Search(std::uint32_t position, std::uint32_t frame_end, bool record, bool add);
  // The root of `position`'s tree (+ 1, 0 for none), which the position becomes when `add`; with
  // `available` over 11, asks for what the searches 4 and 8 positions on will read first.
  std::uint32_t TakeRoot(std::uint32_t position, std::uint32_t available, bool add);
  // Where the bytes at `p` are found in head_, pairs_ and triples_.
  std::uint32_t RootKey(const std::uint8_t *p) const { return LzxHash4(p, hash_shift_); }
  static std::uint32_t PairKey(const std::uint8_t *p) { return p[0] | p[1] << 8; }
  static std::uint32_t TripleKey(const std::uint8_t *p) { return LzxHash3(p, 16); }
  // Which node of children_ a position has: positions wrap around the table.
  std::uint32_t NodeMask() const { return static_cast<std::uint32_t>(children_.size() / 2 - 1); }
  // The distance to the nearest earlier two bytes alike (0 for none); `position` becomes theirs.
  std::uint32_t TakePair(std::uint32_t position);
  // The same for the newest earlier three bytes of the same hash (which may differ).
  std::uint32_t TakeTriple(std::uint32_t position);
  // The distances to the nearest two and three bytes alike (0 for none), from TakePair and
  // TakeTriple.
  struct Nearest {
    std::uint32_t pair = 0, triple = 0;
  };
  Nearest TakeNearest(std::uint32_t position);
  // What one search has met so far: the longest length, and the longest kept (clipped to the
  // frame), which are no further off than any met later.
  struct Found {
    std::uint32_t frame_limit;
    std::uint32_t best = 2, kept = 0;
  };
  void ConsiderNearest(Found &found, std::uint32_t position, std::uint32_t tree_limit,
                       std::uint32_t triple_distance);
  // Keeps the match at `distance` of `length` if longer than those met before.
  void Consider(Found &found, std::uint32_t distance, std::uint32_t length);
  std::uint32_t Complete(std::size_t first, const std::uint8_t *here, std::uint32_t frame_limit,
                         std::uint32_t pair_distance, std::uint32_t kept);

  LzxTreeSearch search_;
  std::uint32_t window_;
  std::uint32_t max_distance_;
  LzxWindow data_;
  std::uint32_t searched_ = 0; // the first position whose matches are not yet found
  std::uint32_t added_ = 0;    // the first position not yet in the trees
  std::uint32_t cached_ = 0;   // the first position of the matches held
  unsigned hash_shift_;
  LzxTable<std::uint32_t> head_;    // per hash: the newest position + 1, 0 for none
  LzxTable<std::uint32_t> pairs_;   // per two bytes: their newest position + 1, 0 for none
  LzxTable<std::uint32_t> triples_; // per hash of three bytes: the newest position + 1, 0 for none
  // Per position (masked): the roots of its subtrees of smaller and greater strings, + 1. Written
  // when the position is added, before anything reads them.
  LzxTable<std::uint32_t> children_;
  std::vector<Match, LzxAllocator<Match>> matches_;
  std::vector<std::uint32_t, LzxAllocator<std::uint32_t>>
      first_match_; // per position from cached_, and one more
};

} // namespace packer
