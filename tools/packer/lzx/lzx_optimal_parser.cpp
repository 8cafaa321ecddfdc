// SPDX-License-Identifier: Zlib
#include "lzx/lzx_optimal_parser.h"

#include "lzx/huffman_code.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace packer {
namespace {

// What a code's unused symbol is taken to cost, in bits: a parse may still choose it.
constexpr std::uint32_t kUnusedMainBits = 15, kUnusedAlignedBits = 7;
// First guesses, in bits, for a stretch never coded.
constexpr std::uint32_t kGuessMatchBits = 10, kGuessLengthBits = 6;

// Below 2^31, so that costs compare as signed numbers too (SSE2 has no unsigned compare).
constexpr std::uint32_t kInfinite = std::numeric_limits<std::int32_t>::max();
// Lengths compared at once.
constexpr std::uint32_t kLanes = 4;

std::uint32_t Header(std::uint32_t length) { return std::min<std::uint32_t>(length - 2, 7); }

std::uint32_t Cost(std::uint8_t length, std::uint32_t unused_bits) {
  return (length != 0 ? length : unused_bits) * LzxCosts::kBit;
}

// The registers after an item of `length` with `offset` (as in Node). Without branches: which
// item comes next is as good as random, and this runs at every position.
void NextRepeats(const std::uint32_t r[3], std::uint32_t length, std::uint32_t offset,
                 std::uint32_t out[3]) {
  const std::uint32_t o = length != 1 ? offset : 0; // a literal leaves them as R0 does
  const bool fresh = o >= 3;
  const std::uint32_t r0 = r[0], r1 = r[1], r2 = r[2];
  const std::uint32_t picked = o == 1 ? r1 : r2;
  out[0] = o == 0 ? r0 : fresh ? o - 3 : picked;
  out[1] = o == 1 || fresh ? r0 : r1;
  out[2] = o == 2 ? r0 : fresh ? r1 : r2;
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
                                   std::uint64_t stream_size,
                                   const LzxNearOptimalSettings &settings)
    : settings_(settings), trees_(window_bits, lookahead, stream_size, settings.search),
      // Both with lanes to spare after a frame's end, for RelaxLengths.
      nodes_(std::min<std::uint64_t>(kLzxFrameSize, stream_size) + kLanes),
      path_cost_(nodes_.size()) {}

void LzxOptimalParser::Parse(std::vector<LzxFrame> &frames, std::size_t first, std::size_t last,
                             const std::uint32_t repeats[3], const LzxCosts &costs,
                             std::vector<LzxItem> &items) {
  costs_ = &costs;
  // With a lane's worth to spare after the last slot, for RelaxLengths to read.
  match_cost_.resize(costs.match.size() / 8 * (kLzxMaxMatch + 1) + kLanes);
  for (std::size_t slot = 0; slot < costs.match.size() / 8; ++slot)
    for (std::uint32_t length = 2; length <= kLzxMaxMatch; ++length)
      match_cost_[slot * (kLzxMaxMatch + 1) + length] = static_cast<std::uint16_t>(
          costs.match[slot * 8 + Header(length)] + (length >= 9 ? costs.length[length - 9] : 0));
  for (std::size_t f = first; f < last; ++f) {
    frame_start_ = frames[f].start;
    ParseFrame(frames[f], f == first ? repeats : frames[f - 1].repeats, items, frames[f].repeats);
    frames[f].items_end = items.size();
  }
}

std::uint32_t LzxOptimalParser::StepLength(const Node &node) {
  return node.last.length + (node.last.after_literal ? node.first.length + 1 : 0);
}

// The registers at frame position i, from those where its step starts: a match with R0 after a
// literal leaves them as the step's first item does.
void LzxOptimalParser::SetRepeats(std::uint32_t i) {
  const Node &node = nodes_[i];
  const std::uint32_t *from = RegistersAt(i - StepLength(node)).r;
  const bool two = node.last.after_literal;
  const std::uint32_t first_length = node.first.length != 0 ? node.first.length : 1;
  NextRepeats(from, two ? first_length : node.last.length,
              two ? node.first.offset : node.last.offset, RegistersAt(i).r);
}

std::uint32_t LzxOptimalParser::RepeatAfter(std::uint32_t i, std::uint32_t skip,
                                            std::uint32_t distance, std::uint32_t size) const {
  const std::uint32_t from = i + skip;
  if (from + 2 > size || distance > frame_start_ + from)
    return 0;
  const std::uint8_t *here = At(frame_start_ + from), *there = here - distance;
  // Most tries fail at once.
  std::uint16_t a, b;
  std::memcpy(&a, here, 2);
  std::memcpy(&b, there, 2);
  if (a != b)
    return 0;
  return 2 + LzxMatchLength(here + 2, there + 2, std::min(kLzxMaxMatch, size - from) - 2);
}

void LzxOptimalParser::ParseFrame(const LzxFrame &frame, const std::uint32_t repeats[3],
                                  std::vector<LzxItem> &items, std::uint32_t out[3]) {
  const std::uint32_t size = frame.size;
  if (nodes_.size() < size + kLanes) {
    nodes_.resize(size + kLanes);
    path_cost_.resize(size + kLanes); // as in the constructor
  }
  for (std::uint32_t i = 0; i <= size; ++i)
    path_cost_[i] = kInfinite;
  path_cost_[0] = 0;
  std::copy(repeats, repeats + 3, RegistersAt(0).r);

  for (std::uint32_t i = 0; i < size; ++i) {
    if (i > 0)
      SetRepeats(i);
    const std::uint32_t position = frame.start + i;
    const std::uint8_t *here = At(position);
    const std::uint32_t literal = path_cost_[i] + costs_->literal[*here];
    RelaxLiteral(i, literal);
    if (size - i < 2)
      continue;
    // A literal, then a match with R0.
    if (const std::uint32_t after = RepeatAfter(i, 1, RegistersAt(i).r[0], size))
      Relax(i + 1 + after, literal + MatchCost(0, after), {after, 1, 0});
    // Without a match here, a repeat seldom pays for what trying it costs.
    if (settings_.repeats_beside_matches_only && trees_.begin(position) == trees_.end(position))
      continue;
    TryMatches(i, size, TryRepeats(i, size));
  }
  Backtrack(frame.start, size, repeats, items, out);
}

inline void LzxOptimalParser::RelaxLengths(std::uint32_t i, std::uint32_t from, std::uint32_t to,
                                           std::uint32_t base, unsigned slot,
                                           std::uint32_t offset) {
#ifdef __SSE2__
  // Four lengths a compare: most steps are no cheaper than the way known, and one compare then
  // says so for four. Lanes past `to` read and write back padding (see ParseFrame) and are masked.
  static constexpr std::int32_t kFirstLanes[2 * kLanes] = {-1, -1, -1, -1, 0, 0, 0, 0};
  const std::uint16_t *match_cost = &match_cost_[slot * (kLzxMaxMatch + 1)];
  std::uint32_t *path_cost = &path_cost_[i];
  // The items as the nodes hold them: {length, 0, offset} is `item0` + length x `step`.
  const Item zero{0, 0, offset}, one{1, 0, offset};
  std::uint32_t item0, item1;
  std::memcpy(&item0, &zero, sizeof item0);
  std::memcpy(&item1, &one, sizeof item1);
  const std::uint32_t step = item1 - item0;
  const __m128i bases = _mm_set1_epi32(static_cast<int>(base));
  const __m128i steps = _mm_setr_epi32(0, static_cast<int>(step), static_cast<int>(2 * step),
                                       static_cast<int>(3 * step));
  const __m128i none = _mm_setzero_si128();
  for (std::uint32_t length = from; length <= to; length += kLanes) {
    const __m128i costs = _mm_add_epi32(
        bases, _mm_unpacklo_epi16(
                   _mm_loadl_epi64(reinterpret_cast<const __m128i *>(match_cost + length)), none));
    const __m128i known = _mm_loadu_si128(reinterpret_cast<const __m128i *>(path_cost + length));
    __m128i cheaper = _mm_cmplt_epi32(costs, known);
    if (to - length < kLanes - 1)
      cheaper = _mm_and_si128(cheaper, _mm_loadu_si128(reinterpret_cast<const __m128i *>(
                                           kFirstLanes + kLanes - (to - length + 1))));
    if (_mm_movemask_epi8(cheaper) == 0)
      continue;
    _mm_storeu_si128(reinterpret_cast<__m128i *>(path_cost + length),
                     _mm_or_si128(_mm_and_si128(cheaper, costs), _mm_andnot_si128(cheaper, known)));
    // Two nodes a register: each lane's mask and item widened to a node's eight bytes.
    const __m128i items =
        _mm_add_epi32(_mm_set1_epi32(static_cast<int>(item0 + length * step)), steps);
    __m128i *node = reinterpret_cast<__m128i *>(&nodes_[i + length]);
    for (int half = 0; half < 2; ++half) {
      const __m128i mask =
          half == 0 ? _mm_unpacklo_epi32(cheaper, cheaper) : _mm_unpackhi_epi32(cheaper, cheaper);
      const __m128i made =
          half == 0 ? _mm_unpacklo_epi32(items, none) : _mm_unpackhi_epi32(items, none);
      _mm_storeu_si128(node + half,
                       _mm_or_si128(_mm_and_si128(mask, made),
                                    _mm_andnot_si128(mask, _mm_loadu_si128(node + half))));
    }
  }
#else
  for (std::uint32_t length = from; length <= to; ++length)
    Relax(i + length, base + MatchCost(slot, length), {length, 0, offset});
#endif
}

// Matches with the registers: every length up to the longest (only that from the nice length on;
// with each_length_once, only those no register before gave), and the longest followed by a
// literal and R0 again.
std::uint32_t LzxOptimalParser::TryRepeats(std::uint32_t i, std::uint32_t size) {
  const std::uint32_t cost = path_cost_[i];
  const std::uint32_t *repeats = RegistersAt(i).r;
  std::uint32_t shortest = 2;
  for (std::uint32_t r = 0; r < 3; ++r) {
    const std::uint32_t distance = repeats[r];
    if ((r > 0 && distance == repeats[0]) || (r == 2 && distance == repeats[1]))
      continue;
    const std::uint32_t longest = RepeatAfter(i, 0, distance, size);
    if (longest < shortest)
      continue;
    RelaxLengths(i, longest >= settings_.search.nice_length ? longest : shortest, longest, cost, r,
                 r);
    if (settings_.each_length_once)
      shortest = longest + 1;
    if (const std::uint32_t after = RepeatAfter(i, longest + 1, distance, size))
      Relax(i + longest + 1 + after,
            cost + MatchCost(r, longest) + costs_->literal[*At(frame_start_ + i + longest)] +
                MatchCost(0, after),
            {after, 1, 0}, {longest, 0, r});
  }
  return shortest;
}

// The matches found at i with new offsets: each length they give from `shortest` on (only the
// longest from the nice length on), and each longest followed by a literal and the same offset
// again.
void LzxOptimalParser::TryMatches(std::uint32_t i, std::uint32_t size, std::uint32_t shortest) {
  const std::uint32_t cost = path_cost_[i];
  const std::uint32_t *repeats = RegistersAt(i).r;
  const std::uint32_t position = frame_start_ + i;
  const LzxBinaryTrees::Match *matches_end = trees_.end(position);
  std::uint32_t shorter = 1;
  for (const LzxBinaryTrees::Match *match = trees_.begin(position); match != matches_end; ++match) {
    const std::uint32_t longest = LzxBinaryTrees::Length(*match);
    const std::uint32_t distance = LzxBinaryTrees::Distance(*match);
    const std::uint32_t from =
        longest >= settings_.search.nice_length ? longest : std::max(shorter + 1, shortest);
    shorter = longest;
    if (longest < shortest)
      continue;
    // A distance in a register was weighed as a repeat.
    if (distance == repeats[0] || distance == repeats[1] || distance == repeats[2])
      continue;
    const std::uint32_t formatted = distance + 2;
    const unsigned slot = LzxSlotOf(formatted);
    const unsigned extra = LzxExtraBits(slot);
    std::uint32_t footer = extra * LzxCosts::kBit;
    if (costs_->use_aligned && extra >= 3)
      footer =
          (extra - 3) * LzxCosts::kBit + costs_->aligned[(formatted - kLzxSlotBases[slot]) & 7];
    RelaxLengths(i, from, longest, cost + footer, slot, distance + 3);
    if (const std::uint32_t after = RepeatAfter(i, longest + 1, distance, size))
      Relax(i + longest + 1 + after,
            cost + MatchCost(slot, longest) + footer + costs_->literal[*At(position + longest)] +
                MatchCost(0, after),
            {after, 1, 0}, {longest, 0, distance + 3});
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
    if (node.last.after_literal) {
      if (node.first.length != 0) {
        Emit(position, node.first.length, node.first.offset, r, items);
        position += node.first.length;
      }
      Emit(position++, 1, 0, r, items);
    }
    Emit(position, node.last.length, node.last.offset, r, items);
    position += node.last.length;
  }
  std::copy(r, r + 3, out);
}

} // namespace packer
