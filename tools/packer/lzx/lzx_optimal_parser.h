// SPDX-License-Identifier: Zlib
#pragma once

#include "lzx/lzx_binary_trees.h"
#include "lzx/lzx_blocks.h"
#include "lzx/lzx_format.h"

#include <array>
#include <cstdint>
#include <vector>

namespace packer {

// What each thing a parse may code costs, in 1/16 bits: from a block's codes, or a first guess.
struct LzxCosts {
  static constexpr std::uint32_t kBit = 16;

  // A guess for a stretch never coded: literals as their bytes' frequencies would code them,
  // matches at a flat price.
  static LzxCosts Guess(const std::uint8_t *data, std::uint32_t size, unsigned main_symbols);
  // What the codes of a block charge; a symbol they leave out is dear, not impossible.
  static LzxCosts From(const LzxBlockCodes &codes);

  std::array<std::uint32_t, 256> literal;
  std::vector<std::uint32_t> match; // per main symbol from 256 on
  std::array<std::uint32_t, kLzxLengthSymbols> length;
  std::array<std::uint32_t, kLzxAlignedSymbols> aligned;
  bool use_aligned;
};

// How hard the near-optimal parse works.
struct LzxNearOptimalSettings {
  LzxTreeSearch search;
  // Passes over a group of frames before its blocks are chosen, each under the codes of the one
  // before: the first group starts from a guess, the others from the codes of the block before
  // them. Then passes over each block chosen, under its own codes.
  int first_group_passes, group_passes, block_passes;
  // Each length weighed once at a position, with the first offset that gives it in the order R0,
  // R1, R2, then the new offsets nearest first; else with every offset that gives it.
  bool each_length_once;
  // Repeated offsets tried only where the match finder found a match; else everywhere.
  bool repeats_beside_matches_only;
};

// The default: a second pass only where the first had nothing but a guess to go by, and each
// position's choices cut as above. Over real programs of at most 2 MiB it is some 0.23 % larger
// than wimlib's LZX:100, cabinet headers included, and takes about its processor time.
inline constexpr LzxNearOptimalSettings kLzxNearOptimal{
    .search = {.max_depth = 40, .nice_length = 160, .max_matches_kept = 16},
    .first_group_passes = 2,
    .group_passes = 1,
    .block_passes = 1,
    .each_length_once = true,
    .repeats_beside_matches_only = true};
// `lzx-max`: every group and every block twice, every offset of every length weighed.
inline constexpr LzxNearOptimalSettings kLzxNearOptimalMax{
    .search = {.max_depth = 32, .nice_length = 128, .max_matches_kept = 16},
    .first_group_passes = 2,
    .group_passes = 2,
    .block_passes = 2,
    .each_length_once = false,
    .repeats_beside_matches_only = false};

// A near-optimal parse: binary trees find every useful match length and distance at each
// position, and a minimum-cost path through each frame is chosen under a cost model, carrying the
// repeated-offset registers along the path (each position keeps those of its cheapest path).
// Holds the window and up to `lookahead` unparsed bytes after it, with their matches; memory does
// not grow with the stream. Deterministic: positions, not addresses, are hashed.
class LzxOptimalParser {
public:
  // `stream_size`: the bytes the stream will hold, which sizes the tables when it is shorter than
  // the window.
  LzxOptimalParser(unsigned window_bits, std::uint32_t lookahead, std::uint64_t stream_size,
                   const LzxNearOptimalSettings &settings = kLzxNearOptimal);
  const LzxNearOptimalSettings &settings() const { return settings_; }

  // As LzxBinaryTrees.
  std::uint8_t *Append(std::uint32_t size, std::uint32_t keep) { return trees_.Append(size, keep); }
  const std::uint8_t *At(std::uint32_t position) const { return trees_.At(position); }
  void FindMatches(const std::vector<LzxFrame> &frames) { trees_.FindMatches(frames); }
  // Parses frames[first, last) (their matches found) with `costs`, from the registers after the
  // frame before `first` (`repeats` for the first one), appending their items; sets each frame's
  // items_end and repeats.
  void Parse(std::vector<LzxFrame> &frames, std::size_t first, std::size_t last,
             const std::uint32_t repeats[3], const LzxCosts &costs, std::vector<LzxItem> &items);

private:
  // One item of a step: a literal (length 1), or a match with `offset` 0-2 for a register, else
  // its distance + 3. Packed, so that a node stays small: the parse writes nodes at random.
  struct Item {
    std::uint32_t length : 9;
    std::uint32_t after_literal : 1; // the step is `first`, a literal, then this, an R0 match
    std::uint32_t offset : 22;
  };
  // The last step of the cheapest known way to a position (its cost is in path_cost_). One item, or
  // a match with R0 after a literal, or after a match (`first`) and a literal: LZX's registers make
  // a match broken by one byte cheap, which the cheapest path to each position alone does not see.
  struct Node {
    Item last;
    Item first; // length 0 for none
  };
  static_assert(sizeof(Node) == 8); // RelaxLengths writes two a register
  // The registers at a position, on its cheapest path; set once the position is reached.
  struct Registers {
    std::uint32_t r[3];
  };
  // Those of the last positions only, in a ring: a step reaches back at most 515 bytes (a match, a
  // literal, a match), and a ring of 1024 stays in the core's first cache where one per position
  // of the frame did not.
  static constexpr std::uint32_t kRegisterRing = 1024;
  static_assert(kRegisterRing > 2 * kLzxMaxMatch + 1);
  Registers &RegistersAt(std::uint32_t i) { return registers_[i % kRegisterRing]; }

  // One frame under costs_, from `repeats`; appends its items and sets `out` to the registers
  // after them.
  void ParseFrame(const LzxFrame &frame, const std::uint32_t repeats[3],
                  std::vector<LzxItem> &items, std::uint32_t out[3]);
  // What a match in `slot` of `length` costs, but for its footer.
  std::uint32_t MatchCost(unsigned slot, std::uint32_t length) const {
    return match_cost_[slot * (kLzxMaxMatch + 1) + length];
  }
  // The length of a match at `distance` from frame position i + skip, 0 if less than 2.
  inline std::uint32_t RepeatAfter(std::uint32_t i, std::uint32_t skip, std::uint32_t distance,
                                   std::uint32_t size) const;
  // Each returns the shortest length that its matches did not weigh (with each_length_once).
  std::uint32_t TryRepeats(std::uint32_t i, std::uint32_t size);
  void TryMatches(std::uint32_t i, std::uint32_t size, std::uint32_t shortest);
  void Emit(std::uint32_t position, std::uint32_t length, std::uint32_t offset, std::uint32_t r[3],
            std::vector<LzxItem> &items) const;
  // A step to frame position `to` for `cost`, if no cheaper one is known.
  void Relax(std::uint32_t to, std::uint32_t cost, Item last, Item first = {}) {
    if (cost < path_cost_[to]) {
      path_cost_[to] = cost;
      nodes_[to] = {last, first};
    }
  }
  // The literal step from frame position i, for `cost`. Without a branch: whether a literal is the
  // cheaper way to the next position is as good as random.
  void RelaxLiteral(std::uint32_t i, std::uint32_t cost) {
    const std::uint32_t known = path_cost_[i + 1];
    const Node known_node = nodes_[i + 1];
    const bool cheaper = cost < known;
    path_cost_[i + 1] = cheaper ? cost : known;
    nodes_[i + 1] = cheaper ? Node{{1, 0, 0}, {}} : known_node;
  }
  // Relax for each length of [from, to] from frame position i: for `base` + MatchCost(slot,
  // length), with the item {length, 0, offset}.
  void RelaxLengths(std::uint32_t i, std::uint32_t from, std::uint32_t to, std::uint32_t base,
                    unsigned slot, std::uint32_t offset);
  static std::uint32_t StepLength(const Node &node);
  void SetRepeats(std::uint32_t i);
  void Backtrack(std::uint32_t start, std::uint32_t size, const std::uint32_t repeats[3],
                 std::vector<LzxItem> &items, std::uint32_t out[3]);

  LzxNearOptimalSettings settings_;
  LzxBinaryTrees trees_;
  std::vector<Node, LzxAllocator<Node>> nodes_;
  // Per position, the cost of its node's path: apart, so that trying the lengths of a match reads
  // four bytes a position, not the whole node (2 % of the packing time).
  std::vector<std::uint32_t, LzxAllocator<std::uint32_t>> path_cost_;
  std::array<Registers, kRegisterRing> registers_{};
  // The frame being parsed: where it starts, and its costs, with what a match of each slot and
  // length costs (but for its footer) laid out for the parse: 16 bits hold two codes' 16-bit
  // lengths in 1/16 bits, and the table then stays in the core's first cache.
  std::uint32_t frame_start_ = 0;
  const LzxCosts *costs_ = nullptr;
  std::vector<std::uint16_t> match_cost_;
  std::vector<std::uint32_t> steps_;
};

} // namespace packer
