// SPDX-License-Identifier: Zlib
#include "lzx/lzx_lazy_parser.h"

#include "lzx/lzx_format.h"

#include <algorithm>

namespace packer {
namespace {

// What a match costs in bits, roughly, before the block's trees are known: a main symbol, a
// length symbol for long ones, and a new offset's footer.
int Score(std::uint32_t length, std::uint32_t distance, int repeat) {
  int cost = 9 + (length >= 9 ? 6 : 0);
  if (repeat < 0)
    cost += 3 + static_cast<int>(LzxExtraBits(LzxSlotOf(distance + 2)));
  return static_cast<int>(length) * 8 - cost;
}

} // namespace

LzxLazyParser::LzxLazyParser(unsigned window_bits, std::uint32_t lookahead,
                             std::uint64_t stream_size, const LzxLazySettings &settings)
    : settings_(settings), window_(std::uint32_t{1} << window_bits),
      max_distance_(LzxMaxDistance(window_bits)),
      chains_(window_bits, lookahead, stream_size, settings.search) {}

std::uint8_t *LzxLazyParser::Append(std::uint32_t size, std::uint32_t keep) {
  // Keep the window before the first unparsed byte, and what the caller still needs.
  return chains_.Append(size, std::min(parsed_ > window_ ? parsed_ - window_ : 0, keep));
}

LzxLazyParser::Choice LzxLazyParser::Find(std::uint32_t position, std::uint32_t limit) const {
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
  if (best.length >= settings_.search.nice_length)
    return best;
  chains_.ForEachLonger(position, limit, [&](std::uint32_t length, std::uint32_t distance) {
    // A distance held in a register was already weighed as a repeat.
    if (distance != repeats_[0] && distance != repeats_[1] && distance != repeats_[2]) {
      const int score = Score(length, distance, -1);
      if (score > best.score)
        best = {length, distance, -1, score};
    }
  });
  return best;
}

void LzxLazyParser::Emit(const Choice &choice, std::vector<LzxItem> &items) {
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

void LzxLazyParser::Parse(std::uint32_t size, std::vector<LzxItem> &items) {
  const std::uint32_t end = parsed_ + size;
  std::uint32_t position = parsed_;
  const auto limit = [&](std::uint32_t at) { return std::min(kLzxMaxMatch, end - at); };
  chains_.InsertUpTo(position);
  Choice current = Find(position, limit(position));
  while (position < end) {
    if (current.score <= 0) {
      items.push_back({*At(position), kLzxNoLengthSymbol, 0});
      chains_.InsertUpTo(++position);
      if (position < end)
        current = Find(position, limit(position));
      continue;
    }
    if (current.length < settings_.lazy_length && position + 1 < end) {
      chains_.InsertUpTo(position + 1);
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
    chains_.InsertUpTo(position);
    if (position < end)
      current = Find(position, limit(position));
  }
  parsed_ = end;
}

} // namespace packer
