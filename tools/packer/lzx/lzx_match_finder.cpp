// SPDX-License-Identifier: Zlib
#include "lzx/lzx_match_finder.h"

#include "lzx/lzx_format.h"

#include <algorithm>

namespace packer {
namespace {

// How hard the finder looks: candidates per position, fewer once a match is this good, and a
// length that ends the search.
constexpr unsigned kMaxChain = 64;
constexpr std::uint32_t kGoodLength = 24;
constexpr std::uint32_t kNiceLength = 128;
// Longer matches are taken without looking one byte further.
constexpr std::uint32_t kLazyLength = 48;

// What a match costs in bits, roughly, before the block's trees are known: a main symbol, a
// length symbol for long ones, and a new offset's footer.
int Score(std::uint32_t length, std::uint32_t distance, int repeat) {
  int cost = 9 + (length >= 9 ? 6 : 0);
  if (repeat < 0)
    cost += 3 + static_cast<int>(LzxExtraBits(LzxSlotOf(distance + 2)));
  return static_cast<int>(length) * 8 - cost;
}

std::uint32_t NextPowerOfTwo(std::uint32_t n) {
  std::uint32_t p = 1;
  while (p < n)
    p <<= 1;
  return p;
}

} // namespace

LzxMatchFinder::LzxMatchFinder(unsigned window_bits, std::uint32_t lookahead)
    : window_(std::uint32_t{1} << window_bits), max_distance_(LzxMaxDistance(window_bits)),
      data_(window_, lookahead), hash_shift_(32 - std::min(window_bits + 1, 18u)),
      head_(std::size_t{1} << (32 - hash_shift_), 0),
      // A chain entry must outlive every position that can still reach it.
      prev_(NextPowerOfTwo(window_ + lookahead), 0),
      prev_mask_(NextPowerOfTwo(window_ + lookahead) - 1) {}

std::uint8_t *LzxMatchFinder::Append(std::uint32_t size, std::uint32_t keep) {
  // Keep the window before the first unparsed byte, and what the caller still needs.
  return data_.Append(size, std::min(parsed_ > window_ ? parsed_ - window_ : 0, keep));
}

void LzxMatchFinder::InsertUpTo(std::uint32_t position) {
  for (; inserted_ < position && inserted_ + 3 <= data_.end(); ++inserted_) {
    std::uint32_t &head = head_[LzxHash3(At(inserted_), hash_shift_)];
    prev_[inserted_ & prev_mask_] = head;
    head = inserted_ + 1;
  }
}

LzxMatchFinder::Choice LzxMatchFinder::Find(std::uint32_t position, std::uint32_t limit) const {
  Choice best;
  if (limit < kLzxMinMatch)
    return best;
  const std::uint8_t *here = At(position);
  for (int r = 0; r < 3; ++r) {
    const std::uint32_t distance = repeats_[r];
    if (distance > position || distance > max_distance_ || (r > 0 && distance == repeats_[0]) ||
        (r == 2 && distance == repeats_[1]))
      continue;
    const std::uint32_t length = LzxMatchLength(here, here - distance, limit);
    if (length >= kLzxMinMatch) {
      const int score = Score(length, distance, r);
      if (score > best.score)
        best = {length, distance, r, score};
    }
  }
  if (limit < 3 || position + 3 > data_.end() || best.length >= kNiceLength)
    return best;
  std::uint32_t longest = 2;
  std::uint32_t candidate = head_[LzxHash3(here, hash_shift_)];
  for (unsigned tries = kMaxChain; candidate != 0 && tries != 0; --tries) {
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
    if (longest < kGoodLength && length >= kGoodLength)
      tries = std::min(tries, kMaxChain / 4);
    longest = length;
    // A distance held in a register was already weighed as a repeat.
    if (distance != repeats_[0] && distance != repeats_[1] && distance != repeats_[2]) {
      const int score = Score(length, distance, -1);
      if (score > best.score)
        best = {length, distance, -1, score};
    }
    if (length >= kNiceLength || length == limit)
      break;
  }
  return best;
}

void LzxMatchFinder::Emit(const Choice &choice, std::vector<LzxItem> &items) {
  std::uint32_t slot = static_cast<std::uint32_t>(choice.repeat);
  std::uint32_t footer = 0;
  if (choice.repeat < 0) {
    const std::uint32_t formatted = choice.distance + 2;
    slot = LzxSlotOf(formatted);
    footer = formatted - kLzxSlotBases[slot];
    repeats_[2] = repeats_[1];
    repeats_[1] = repeats_[0];
    repeats_[0] = choice.distance;
  } else if (choice.repeat > 0) {
    std::swap(repeats_[0], repeats_[choice.repeat]);
  }
  items.push_back(LzxMatchItem(choice.length, slot, footer));
}

void LzxMatchFinder::Parse(std::uint32_t size, std::vector<LzxItem> &items) {
  const std::uint32_t end = parsed_ + size;
  std::uint32_t position = parsed_;
  const auto limit = [&](std::uint32_t at) { return std::min(kLzxMaxMatch, end - at); };
  InsertUpTo(position);
  Choice current = Find(position, limit(position));
  while (position < end) {
    if (current.score <= 0) {
      items.push_back({*At(position), kLzxNoLengthSymbol, 0});
      InsertUpTo(++position);
      if (position < end)
        current = Find(position, limit(position));
      continue;
    }
    if (current.length < kLazyLength && position + 1 < end) {
      InsertUpTo(position + 1);
      const Choice next = Find(position + 1, limit(position + 1));
      if (next.score > current.score) {
        items.push_back({*At(position), kLzxNoLengthSymbol, 0});
        ++position;
        current = next;
        continue;
      }
    }
    Emit(current, items);
    position += current.length;
    InsertUpTo(position);
    if (position < end)
      current = Find(position, limit(position));
  }
  parsed_ = end;
}

} // namespace packer
