// SPDX-License-Identifier: Zlib
#include "lzx/lzx_optimal_parser.h"

#include "lzx/huffman_code.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace packer {
namespace {

// Two-byte matches are found, at their nearest, up to this distance: further off they never
// pay.
constexpr std::uint32_t kPairDistance = 1024;
// What a code's unused symbol is taken to cost, in bits: a parse may still choose it.
constexpr std::uint32_t kUnusedMainBits = 15, kUnusedAlignedBits = 7;
// First guesses, in bits, for a stretch never coded.
constexpr std::uint32_t kGuessMatchBits = 10, kGuessLengthBits = 6;

constexpr std::uint32_t kInfinite = std::numeric_limits<std::uint32_t>::max();

std::uint32_t Length(std::uint32_t match) { return match >> 22; }
std::uint32_t Distance(std::uint32_t match) { return match & ((1u << 22) - 1); }

std::uint32_t Header(std::uint32_t length) { return std::min<std::uint32_t>(length - 2, 7); }

std::uint32_t Cost(std::uint8_t length, std::uint32_t unused_bits) {
  return (length != 0 ? length : unused_bits) * LzxCosts::kBit;
}

// The registers after an item of `length` with `offset` (as in Node).
void NextRepeats(const std::uint32_t r[3], std::uint32_t length, std::uint32_t offset,
                 std::uint32_t out[3]) {
  std::uint32_t next[3] = {r[0], r[1], r[2]};
  if (length != 1 && offset != 0) {
    if (offset < 3) {
      std::swap(next[0], next[offset]);
    } else {
      next[2] = r[1];
      next[1] = r[0];
      next[0] = offset - 3;
    }
  }
  std::copy(next, next + 3, out);
}

} // namespace

LzxCosts LzxCosts::Guess(const std::uint8_t *data, std::uint32_t size, unsigned main_symbols) {
  std::vector<std::uint32_t> counts(256, 0);
  for (std::uint32_t i = 0; i < size; ++i)
    ++counts[data[i]];
  const std::vector<std::uint8_t> lengths = HuffmanLengths(counts, 16);
  LzxCosts costs;
  for (unsigned b = 0; b < 256; ++b)
    costs.literal[b] = Cost(lengths[b], kUnusedMainBits);
  costs.match.assign(main_symbols - 256, kGuessMatchBits * kBit);
  costs.length.fill(kGuessLengthBits * kBit);
  costs.aligned.fill(3 * kBit);
  costs.use_aligned = false;
  return costs;
}

LzxCosts LzxCosts::From(const LzxBlockCodes &codes) {
  LzxCosts costs;
  const std::vector<std::uint8_t> &main = codes.main.lengths;
  for (unsigned b = 0; b < 256; ++b)
    costs.literal[b] = Cost(main[b], kUnusedMainBits);
  costs.match.resize(main.size() - 256);
  for (std::size_t s = 256; s < main.size(); ++s)
    costs.match[s - 256] = Cost(main[s], kUnusedMainBits);
  for (unsigned s = 0; s < kLzxLengthSymbols; ++s)
    costs.length[s] = Cost(codes.length.lengths[s], kUnusedMainBits);
  for (unsigned s = 0; s < kLzxAlignedSymbols; ++s)
    costs.aligned[s] = Cost(codes.aligned.lengths[s], kUnusedAlignedBits);
  costs.use_aligned = codes.use_aligned;
  return costs;
}

LzxOptimalParser::LzxOptimalParser(unsigned window_bits, std::uint32_t lookahead,
                                   const LzxNearOptimalSettings &settings)
    : settings_(settings), window_(std::uint32_t{1} << window_bits),
      max_distance_(LzxMaxDistance(window_bits)), data_(window_, lookahead),
      hash_shift_(32 - std::min(window_bits - 1, 20u)),
      head_(std::size_t{1} << (32 - hash_shift_), 0), pairs_(65536, 0),
      children_(2 * std::size_t{window_}, 0), nodes_(kLzxFrameSize + 1) {}

std::uint8_t *LzxOptimalParser::Append(std::uint32_t size, std::uint32_t keep) {
  // Keep the window before the first position still to be searched, and what the caller needs.
  return data_.Append(size, std::min(searched_ > window_ ? searched_ - window_ : 0, keep));
}

void LzxOptimalParser::FindMatches(const std::vector<LzxFrame> &frames) {
  cached_ = searched_;
  matches_.clear();
  first_match_.clear();
  std::uint32_t covered = searched_; // positions below this lie inside a long match
  for (const LzxFrame &frame : frames) {
    const std::uint32_t frame_end = frame.start + frame.size;
    for (std::uint32_t position = std::max(frame.start, searched_); position < frame_end;
         ++position) {
      first_match_.push_back(static_cast<std::uint32_t>(matches_.size()));
      const std::uint32_t longest = SearchTree(position, frame_end, position >= covered);
      if (longest >= settings_.nice_length)
        covered = position + longest;
    }
  }
  first_match_.push_back(static_cast<std::uint32_t>(matches_.size()));
  searched_ = data_.end();
}

std::uint32_t LzxOptimalParser::SearchTree(std::uint32_t position, std::uint32_t frame_end,
                                           bool record) {
  const std::uint32_t available = data_.end() - position;
  if (available < 3)
    return 0;
  const std::uint32_t tree_limit = std::min(settings_.nice_length, available);
  const std::uint32_t frame_limit = std::min(kLzxMaxMatch, frame_end - position);
  const std::uint8_t *here = At(position);
  const std::uint32_t mask = window_ - 1;
  std::uint32_t &head = head_[LzxHash3(here, hash_shift_)];
  // The next position's tree root is a cache miss otherwise.
  if (available > 3)
    __builtin_prefetch(&head_[LzxHash3(here + 1, hash_shift_)]);
  std::uint32_t candidate = std::exchange(head, position + 1);
  // Where the next smaller and the next greater string go: the new node's subtrees at first.
  std::uint32_t *smaller = &children_[2 * std::size_t{position & mask}];
  std::uint32_t *greater = smaller + 1;
  std::uint32_t smaller_length = 0, greater_length = 0, best = 2, kept = 0;
  const std::size_t first = matches_.size();
  const std::uint32_t pair = std::exchange(pairs_[here[0] | here[1] << 8], position + 1);
  const std::uint32_t pair_distance = pair != 0 ? position - (pair - 1) : 0;
  for (unsigned depth = settings_.max_depth;; --depth) {
    const std::uint32_t at = candidate - 1;
    if (candidate == 0 || position - at > max_distance_ || depth == 0) {
      *smaller = *greater = 0;
      break;
    }
    const std::uint8_t *there = At(at);
    std::uint32_t length = std::min(smaller_length, greater_length);
    length += LzxMatchLength(here + length, there + length, tree_limit - length);
    if (record && length > best) {
      best = length;
      const std::uint32_t clipped = std::min(length, frame_limit);
      if (clipped > kept && clipped >= 3) {
        matches_.push_back(clipped << 22 | (position - at));
        kept = clipped;
      }
    }
    std::uint32_t *node = &children_[2 * std::size_t{at & mask}];
    if (length >= tree_limit) {
      // As good as the tree can tell: the new node takes this one's place.
      *smaller = node[0];
      *greater = node[1];
      break;
    }
    if (there[length] < here[length]) {
      *smaller = candidate;
      smaller = node + 1;
      candidate = *smaller;
      smaller_length = length;
    } else {
      *greater = candidate;
      greater = node;
      candidate = *greater;
      greater_length = length;
    }
  }
  return record ? Complete(first, here, frame_limit, pair_distance, kept) : 0;
}

// The matches found at `here` from `first` on, the longest (of `kept`) taken to its full length
// and the nearest two bytes alike added, unless a longer match is as near; the fewest kept.
std::uint32_t LzxOptimalParser::Complete(std::size_t first, const std::uint8_t *here,
                                         std::uint32_t frame_limit, std::uint32_t pair_distance,
                                         std::uint32_t kept) {
  if (pair_distance != 0 && pair_distance <= kPairDistance && frame_limit >= 2 &&
      (matches_.size() == first || Distance(matches_[first]) > pair_distance))
    matches_.insert(matches_.begin() + static_cast<std::ptrdiff_t>(first),
                    2u << 22 | pair_distance);
  if (matches_.size() == first)
    return 0;
  if (kept == settings_.nice_length && frame_limit > settings_.nice_length) {
    const std::uint32_t distance = Distance(matches_.back());
    kept = LzxMatchLength(here, here - distance, frame_limit);
    matches_.back() = kept << 22 | distance;
  }
  if (matches_.size() - first > settings_.max_matches_kept)
    matches_.erase(matches_.begin() + static_cast<std::ptrdiff_t>(first),
                   matches_.end() - settings_.max_matches_kept);
  return kept;
}

void LzxOptimalParser::Parse(std::vector<LzxFrame> &frames, std::size_t first, std::size_t last,
                             const std::uint32_t repeats[3], const LzxCosts &costs,
                             std::vector<LzxItem> &items) {
  for (std::size_t f = first; f < last; ++f) {
    frame_start_ = frames[f].start;
    ParseFrame(frames[f], f == first ? repeats : frames[f - 1].repeats, costs, items,
               frames[f].repeats);
    frames[f].items_end = items.size();
  }
}

void LzxOptimalParser::Relax(std::uint32_t to, std::uint32_t cost, std::uint32_t length,
                             std::uint32_t offset, bool after_literal, std::uint32_t first_length,
                             std::uint32_t first_offset) {
  Node &node = nodes_[to];
  if (cost >= node.cost)
    return;
  node.cost = cost;
  node.length = length;
  node.offset = offset;
  node.first_length = first_length;
  node.first_offset = first_offset;
  node.after_literal = after_literal;
}

std::uint32_t LzxOptimalParser::StepLength(const Node &node) {
  return node.length + (node.after_literal ? node.first_length + 1 : 0);
}

// The registers at frame position i, from those where its step starts: a match with R0 after a
// literal leaves them as the step's first item does.
void LzxOptimalParser::SetRepeats(std::uint32_t i) {
  Node &node = nodes_[i];
  const std::uint32_t *from = nodes_[i - StepLength(node)].repeats;
  if (node.after_literal)
    NextRepeats(from, node.first_length != 0 ? node.first_length : 1, node.first_offset,
                node.repeats);
  else
    NextRepeats(from, node.length, node.offset, node.repeats);
}

std::uint32_t LzxOptimalParser::MatchCost(unsigned slot, std::uint32_t length) const {
  return costs_->match[slot * 8 + Header(length)] + length_cost_[length];
}

std::uint32_t LzxOptimalParser::RepeatAfter(std::uint32_t i, std::uint32_t skip,
                                            std::uint32_t distance, std::uint32_t size) const {
  const std::uint32_t from = i + skip;
  if (from + 2 > size || distance > frame_start_ + from)
    return 0;
  const std::uint8_t *here = At(frame_start_ + from), *there = here - distance;
  // Most tries fail at once.
  if (here[0] != there[0] || here[1] != there[1])
    return 0;
  return 2 + LzxMatchLength(here + 2, there + 2, std::min(kLzxMaxMatch, size - from) - 2);
}

void LzxOptimalParser::ParseFrame(const LzxFrame &frame, const std::uint32_t repeats[3],
                                  const LzxCosts &costs, std::vector<LzxItem> &items,
                                  std::uint32_t out[3]) {
  const std::uint32_t size = frame.size;
  for (std::uint32_t i = 0; i <= size; ++i)
    nodes_[i].cost = kInfinite;
  nodes_[0].cost = 0;
  std::copy(repeats, repeats + 3, nodes_[0].repeats);
  costs_ = &costs;
  for (std::uint32_t length = 2; length <= kLzxMaxMatch; ++length)
    length_cost_[length] = length >= 9 ? costs.length[length - 9] : 0;

  for (std::uint32_t i = 0; i < size; ++i) {
    if (i > 0)
      SetRepeats(i);
    const Node &node = nodes_[i];
    const std::uint32_t position = frame.start + i;
    const std::uint8_t *here = At(position);
    const std::uint32_t literal = node.cost + costs.literal[*here];
    Relax(i + 1, literal, 1, 0);
    if (size - i < 2)
      continue;
    // A literal, then a match with R0.
    if (const std::uint32_t after = RepeatAfter(i, 1, node.repeats[0], size))
      Relax(i + 1 + after, literal + MatchCost(0, after), after, 0, true);
    TryRepeats(i, node, size);
    TryMatches(i, node, size);
  }
  Backtrack(frame.start, size, repeats, items, out);
}

// Matches with the registers: every length up to the longest (only that from the nice length on),
// and the longest followed by a literal and R0 again.
void LzxOptimalParser::TryRepeats(std::uint32_t i, const Node &node, std::uint32_t size) {
  for (std::uint32_t r = 0; r < 3; ++r) {
    const std::uint32_t distance = node.repeats[r];
    if ((r > 0 && distance == node.repeats[0]) || (r == 2 && distance == node.repeats[1]))
      continue;
    const std::uint32_t longest = RepeatAfter(i, 0, distance, size);
    if (longest == 0)
      continue;
    for (std::uint32_t length = longest >= settings_.nice_length ? longest : 2; length <= longest;
         ++length)
      Relax(i + length, node.cost + MatchCost(r, length), length, r);
    if (const std::uint32_t after = RepeatAfter(i, longest + 1, distance, size))
      Relax(i + longest + 1 + after,
            node.cost + MatchCost(r, longest) + costs_->literal[*At(frame_start_ + i + longest)] +
                MatchCost(0, after),
            after, 0, true, longest, r);
  }
}

// The matches found at i with new offsets: each length they give (only the longest from
// the nice length on), and each longest followed by a literal and the same offset again.
void LzxOptimalParser::TryMatches(std::uint32_t i, const Node &node, std::uint32_t size) {
  const std::uint32_t position = frame_start_ + i;
  const Match *match = matches_.data() + first_match_[position - cached_];
  const Match *matches_end = matches_.data() + first_match_[position - cached_ + 1];
  for (std::uint32_t shorter = 1; match != matches_end; ++match) {
    const std::uint32_t longest = Length(*match), distance = Distance(*match);
    const std::uint32_t from = longest >= settings_.nice_length ? longest : shorter + 1;
    shorter = longest;
    // A distance in a register was weighed as a repeat.
    if (distance == node.repeats[0] || distance == node.repeats[1] || distance == node.repeats[2])
      continue;
    const std::uint32_t formatted = distance + 2;
    const unsigned slot = LzxSlotOf(formatted);
    const unsigned extra = LzxExtraBits(slot);
    std::uint32_t footer = extra * LzxCosts::kBit;
    if (costs_->use_aligned && extra >= 3)
      footer =
          (extra - 3) * LzxCosts::kBit + costs_->aligned[(formatted - kLzxSlotBases[slot]) & 7];
    for (std::uint32_t length = from; length <= longest; ++length)
      Relax(i + length, node.cost + MatchCost(slot, length) + footer, length, distance + 3);
    if (const std::uint32_t after = RepeatAfter(i, longest + 1, distance, size))
      Relax(i + longest + 1 + after,
            node.cost + MatchCost(slot, longest) + footer +
                costs_->literal[*At(position + longest)] + MatchCost(0, after),
            after, 0, true, longest, distance + 3);
  }
}

void LzxOptimalParser::Emit(std::uint32_t position, std::uint32_t length, std::uint32_t offset,
                            std::uint32_t r[3], std::vector<LzxItem> &items) const {
  if (length == 1) {
    items.push_back({*At(position), kLzxNoLengthSymbol, 0});
  } else if (offset < 3) {
    items.push_back(LzxMatchItem(length, offset, 0));
  } else {
    const std::uint32_t formatted = offset - 3 + 2;
    const unsigned slot = LzxSlotOf(formatted);
    items.push_back(LzxMatchItem(length, slot, formatted - kLzxSlotBases[slot]));
  }
  NextRepeats(r, length, offset, r);
}

void LzxOptimalParser::Backtrack(std::uint32_t start, std::uint32_t size,
                                 const std::uint32_t repeats[3], std::vector<LzxItem> &items,
                                 std::uint32_t out[3]) {
  steps_.clear();
  for (std::uint32_t i = size; i > 0;) {
    steps_.push_back(i);
    const Node &node = nodes_[i];
    i -= StepLength(node);
  }
  std::uint32_t r[3] = {repeats[0], repeats[1], repeats[2]};
  std::uint32_t position = start;
  for (auto step = steps_.rbegin(); step != steps_.rend(); ++step) {
    const Node &node = nodes_[*step];
    if (node.after_literal) {
      if (node.first_length != 0) {
        Emit(position, node.first_length, node.first_offset, r, items);
        position += node.first_length;
      }
      Emit(position++, 1, 0, r, items);
    }
    Emit(position, node.length, node.offset, r, items);
    position += node.length;
  }
  std::copy(r, r + 3, out);
}

} // namespace packer
