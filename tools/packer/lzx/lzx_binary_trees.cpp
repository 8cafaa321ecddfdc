// SPDX-License-Identifier: Zlib
#include "lzx/lzx_binary_trees.h"

#include "lzx/lzx_format.h"

#include <algorithm>
#include <utility>

namespace packer {
namespace {

// Two-byte matches are found, at their nearest, up to this distance: further off they never
// pay.
constexpr std::uint32_t kPairDistance = 1024;

} // namespace

LzxBinaryTrees::LzxBinaryTrees(unsigned window_bits, std::uint32_t lookahead,
                               std::uint64_t stream_size, const LzxTreeSearch &search)
    : search_(search), window_(std::uint32_t{1} << window_bits),
      max_distance_(LzxMaxDistance(window_bits)),
      data_(window_, lookahead + search.nice_length, stream_size),
      hash_shift_(32 - std::min(LzxTableBits(window_bits, stream_size) - 1, 20u)),
      head_(std::size_t{1} << (32 - hash_shift_)), pairs_(65536), triples_(65536),
      children_(std::size_t{2} << LzxTableBits(window_bits, stream_size)) {}

std::uint8_t *LzxBinaryTrees::Append(std::uint32_t size, std::uint32_t keep) {
  // Keep the window before the first position still to be added, and what the caller needs.
  return data_.Append(size, std::min(added_ > window_ ? added_ - window_ : 0, keep));
}

void LzxBinaryTrees::FindMatches(const std::vector<LzxFrame> &frames) {
  // A stream longer than announced: positions below the old size keep their nodes. Once the
  // table spans the window, positions wrap around it.
  if (children_.size() < 2 * std::size_t{window_} && data_.end() > children_.size() / 2)
    children_.Grow(2 * std::size_t{window_});
  // A position is added to its tree only once the nice length of bytes after it has come: a
  // string cut short by the end of the bytes at hand cannot be put in order. Those searched
  // before, at the end of the bytes then, are added now.
  const std::uint32_t end = data_.end();
  const std::uint32_t addable = end >= search_.nice_length ? end - search_.nice_length + 1 : 0;
  for (; added_ < std::min(searched_, addable); ++added_)
    Search(added_, end, false, true);
  cached_ = searched_;
  matches_.clear();
  first_match_.clear();
  std::uint32_t covered = searched_; // positions below this lie inside a long match
  for (const LzxFrame &frame : frames) {
    const std::uint32_t frame_end = frame.start + frame.size;
    for (std::uint32_t position = std::max(frame.start, searched_); position < frame_end;
         ++position) {
      first_match_.push_back(static_cast<std::uint32_t>(matches_.size()));
      const bool add = position < addable;
      const std::uint32_t longest = Search(position, frame_end, position >= covered, add);
      added_ += add ? 1 : 0;
      if (longest >= search_.nice_length)
        covered = position + longest;
    }
  }
  first_match_.push_back(static_cast<std::uint32_t>(matches_.size()));
  searched_ = data_.end();
}

// Also asks for what the searches a few positions on read first, each a cache miss otherwise: a
// load from memory takes longer than one search, so what was asked for one position ahead had not
// come when it was needed. The tree root and the two- and three-byte tables eight positions on;
// the root's node and string, and the nearest three bytes alike, four positions on, whose table
// entries were asked for four positions ago. Asked for one position ahead, the root alone: the
// packing took about 13 % more time. The prefetches stay in this function: GCC takes a function
// that only prefetches for one without effect and drops every call to it.
std::uint32_t LzxBinaryTrees::TakeRoot(std::uint32_t position, std::uint32_t available, bool add) {
  const std::uint8_t *here = At(position);
  std::uint32_t &head = head_[RootKey(here)];
  if (available > 11) {
    __builtin_prefetch(&head_[RootKey(here + 8)]);
    __builtin_prefetch(&pairs_[PairKey(here + 8)]);
    __builtin_prefetch(&triples_[TripleKey(here + 8)]);
    // Only bytes the searches may read: older ones may have left the window's buffer.
    if (const std::uint32_t ahead = head_[RootKey(here + 4)]; ahead != 0) {
      __builtin_prefetch(&children_[2 * std::size_t{(ahead - 1) & NodeMask()}]);
      if (position + 4 - (ahead - 1) <= max_distance_)
        __builtin_prefetch(At(ahead - 1));
    }
    if (const std::uint32_t triple = triples_[TripleKey(here + 4)];
        triple != 0 && position + 4 - (triple - 1) <= max_distance_)
      __builtin_prefetch(At(triple - 1));
  }
  const std::uint32_t root = head;
  if (add)
    head = position + 1;
  return root;
}

std::uint32_t LzxBinaryTrees::TakePair(std::uint32_t position) {
  const std::uint8_t *here = At(position);
  const std::uint32_t pair = std::exchange(pairs_[PairKey(here)], position + 1);
  return pair != 0 ? position - (pair - 1) : 0;
}

std::uint32_t LzxBinaryTrees::TakeTriple(std::uint32_t position) {
  const std::uint8_t *here = At(position);
  const std::uint32_t triple = std::exchange(triples_[TripleKey(here)], position + 1);
  return triple != 0 ? position - (triple - 1) : 0;
}

// Taken on a position's first search only: a second, which only adds it to its tree, would put
// an older position back in the tables.
LzxBinaryTrees::Nearest LzxBinaryTrees::TakeNearest(std::uint32_t position) {
  if (position < searched_)
    return {};
  return {TakePair(position), TakeTriple(position)};
}

std::uint32_t LzxBinaryTrees::Search(std::uint32_t position, std::uint32_t frame_end, bool record,
                                     bool add) {
  const std::uint32_t available = data_.end() - position;
  if (available < 3)
    return 0;
  const std::uint32_t tree_limit = std::min(search_.nice_length, available);
  const std::uint32_t frame_limit = std::min(kLzxMaxMatch, frame_end - position);
  const std::uint8_t *here = At(position);
  const std::uint32_t mask = NodeMask();
  // The last three bytes have no tree: they are too few for its key.
  std::uint32_t candidate = available >= 4 ? TakeRoot(position, available, add) : 0;
  // Where the next smaller and the next greater string go: the new node's subtrees at first. A
  // search that adds nothing walks the same way and writes nothing.
  std::uint32_t *smaller = &children_[2 * std::size_t{position & mask}];
  std::uint32_t *greater = smaller + 1;
  std::uint32_t smaller_length = 0, greater_length = 0;
  const std::size_t first = matches_.size();
  const Nearest nearest = TakeNearest(position);
  Found found{frame_limit};
  if (record)
    ConsiderNearest(found, position, tree_limit, nearest.triple);
  for (unsigned depth = search_.max_depth;; --depth) {
    const std::uint32_t at = candidate - 1;
    if (candidate == 0 || position - at > max_distance_ || depth == 0) {
      if (add)
        *smaller = *greater = 0;
      break;
    }
    const std::uint8_t *there = At(at);
    std::uint32_t length = std::min(smaller_length, greater_length);
    length += LzxMatchLength(here + length, there + length, tree_limit - length);
    if (record)
      Consider(found, position - at, length);
    std::uint32_t *node = &children_[2 * std::size_t{at & mask}];
    if (length >= tree_limit) {
      // As good as the tree can tell: the new node takes this one's place.
      if (add) {
        *smaller = node[0];
        *greater = node[1];
      }
      break;
    }
    if (there[length] < here[length]) {
      if (add)
        *smaller = candidate;
      smaller = node + 1;
      candidate = *smaller;
      smaller_length = length;
    } else {
      if (add)
        *greater = candidate;
      greater = node;
      candidate = *greater;
      greater_length = length;
    }
  }
  return record ? Complete(first, here, frame_limit, nearest.pair, found.kept) : 0;
}

// What lies nearer than the trees can tell: the positions not yet in them, one by one, then the
// nearest three bytes alike in them (a tree node that shares as many is further).
void LzxBinaryTrees::ConsiderNearest(Found &found, std::uint32_t position, std::uint32_t tree_limit,
                                     std::uint32_t triple_distance) {
  const std::uint8_t *here = At(position);
  for (std::uint32_t at = position; at-- > added_;)
    Consider(found, position - at, LzxMatchLength(here, At(at), tree_limit));
  if (triple_distance != 0 && position - triple_distance < added_ &&
      triple_distance <= max_distance_)
    Consider(found, triple_distance, LzxMatchLength(here, here - triple_distance, tree_limit));
}

void LzxBinaryTrees::Consider(Found &found, std::uint32_t distance, std::uint32_t length) {
  if (length <= found.best)
    return;
  found.best = length;
  const std::uint32_t clipped = std::min(length, found.frame_limit);
  if (clipped > found.kept && clipped >= 3) {
    matches_.push_back(clipped << 22 | distance);
    found.kept = clipped;
  }
}

// The matches found at `here` from `first` on, the longest (of `kept`) taken to its full length
// and the nearest two bytes alike added, unless a longer match is as near; the fewest kept.
std::uint32_t LzxBinaryTrees::Complete(std::size_t first, const std::uint8_t *here,
                                       std::uint32_t frame_limit, std::uint32_t pair_distance,
                                       std::uint32_t kept) {
  if (pair_distance != 0 && pair_distance <= kPairDistance && frame_limit >= 2 &&
      (matches_.size() == first || Distance(matches_[first]) > pair_distance))
    matches_.insert(matches_.begin() + static_cast<std::ptrdiff_t>(first),
                    2u << 22 | pair_distance);
  if (matches_.size() == first)
    return 0;
  if (kept == search_.nice_length && frame_limit > search_.nice_length) {
    const std::uint32_t distance = Distance(matches_.back());
    kept = LzxMatchLength(here, here - distance, frame_limit);
    matches_.back() = kept << 22 | distance;
  }
  if (matches_.size() - first > search_.max_matches_kept)
    matches_.erase(matches_.begin() + static_cast<std::ptrdiff_t>(first),
                   matches_.end() - search_.max_matches_kept);
  return kept;
}

} // namespace packer
