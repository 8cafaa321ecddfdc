// SPDX-License-Identifier: Zlib
#include "lzx/lzx_blocks.h"

#include "lzx/huffman_code.h"

#include <algorithm>
#include <limits>

namespace packer {
namespace {

LzxTree MakeTree(const std::vector<std::uint32_t> &counts, unsigned limit) {
  LzxTree tree;
  tree.lengths = HuffmanLengths(counts, limit);
  tree.codes = CanonicalCodes(tree.lengths);
  return tree;
}

std::uint64_t TreeBits(const std::vector<std::uint8_t> &lengths,
                       const std::vector<std::uint8_t> &previous, std::size_t from,
                       std::size_t to) {
  const std::vector<LzxTreeStep> steps = LzxTreeSteps(lengths, previous, from, to);
  const std::vector<std::uint8_t> pretree = LzxPretreeLengths(steps);
  std::uint64_t bits = 4 * kLzxPretreeSymbols;
  for (const LzxTreeStep &step : steps)
    bits += pretree[step.symbol] + step.extra_bits;
  return bits;
}

template <typename Counts, typename Lengths>
std::uint64_t Weighted(const Counts &counts, const Lengths &lengths) {
  std::uint64_t bits = 0;
  for (std::size_t s = 0; s < counts.size(); ++s)
    bits += std::uint64_t{counts[s]} * lengths[s];
  return bits;
}

// A block of one frame stored as it is: header, padding to a word, the registers, the bytes and
// a byte of padding after an odd count. The padding before the registers is taken at its most.
std::uint64_t UncompressedBits(std::uint32_t size) {
  return 3 + 24 + 16 + 8 * (12 + std::uint64_t{size} + size % 2);
}

} // namespace

void LzxSymbolCounts::Add(const LzxItem *begin, const LzxItem *end) {
  for (const LzxItem *item = begin; item != end; ++item) {
    ++main[item->main];
    if (item->main < 256)
      continue;
    if (item->length_symbol != kLzxNoLengthSymbol)
      ++length[item->length_symbol];
    const unsigned extra = LzxExtraBits((item->main - 256u) >> 3);
    footer_bits += extra;
    if (extra >= 3) {
      ++aligned[item->footer & 7];
      ++aligned_footers;
    }
  }
}

void LzxSymbolCounts::Add(const LzxSymbolCounts &other) {
  for (std::size_t s = 0; s < main.size(); ++s)
    main[s] += other.main[s];
  for (std::size_t s = 0; s < length.size(); ++s)
    length[s] += other.length[s];
  for (std::size_t s = 0; s < aligned.size(); ++s)
    aligned[s] += other.aligned[s];
  footer_bits += other.footer_bits;
  aligned_footers += other.aligned_footers;
}

LzxBlockCodes LzxChooseCodes(const LzxSymbolCounts &counts) {
  const std::vector<std::uint32_t> aligned(counts.aligned.begin(), counts.aligned.end());
  LzxBlockCodes codes{MakeTree(counts.main, 16), {}, MakeTree(aligned, 7), false};
  // No match long enough to need the length tree: its lengths are all 0.
  if (std::any_of(counts.length.begin(), counts.length.end(), [](auto c) { return c != 0; }))
    codes.length = MakeTree(counts.length, 16);
  else
    codes.length = {std::vector<std::uint8_t>(kLzxLengthSymbols, 0),
                    std::vector<std::uint16_t>(kLzxLengthSymbols, 0)};
  const std::uint64_t aligned_bits =
      3 * kLzxAlignedSymbols + Weighted(counts.aligned, codes.aligned.lengths);
  codes.use_aligned = aligned_bits < 3 * counts.aligned_footers;
  return codes;
}

std::vector<LzxTreeStep> LzxTreeSteps(const std::vector<std::uint8_t> &lengths,
                                      const std::vector<std::uint8_t> &previous, std::size_t from,
                                      std::size_t to) {
  std::vector<LzxTreeStep> steps;
  for (std::size_t i = from; i < to;) {
    std::size_t run = 0;
    while (i + run < to && lengths[i + run] == 0)
      ++run;
    if (run >= 20) {
      run = std::min<std::size_t>(run, 51);
      steps.push_back({18, 5, static_cast<std::uint8_t>(run - 20)});
      i += run;
    } else if (run >= 4) {
      steps.push_back({17, 4, static_cast<std::uint8_t>(run - 4)});
      i += run;
    } else {
      steps.push_back({static_cast<std::uint8_t>((previous[i] + 17 - lengths[i]) % 17), 0, 0});
      ++i;
    }
  }
  return steps;
}

std::vector<std::uint8_t> LzxPretreeLengths(const std::vector<LzxTreeStep> &steps) {
  std::vector<std::uint32_t> counts(kLzxPretreeSymbols, 0);
  for (const LzxTreeStep &step : steps)
    ++counts[step.symbol];
  return HuffmanLengths(counts, 15);
}

std::uint64_t LzxBlockHeaderBits(const LzxBlockCodes &codes, const LzxPreviousTrees &previous) {
  const std::size_t main_symbols = codes.main.lengths.size();
  return 3 + 24 + (codes.use_aligned ? 3 * kLzxAlignedSymbols : 0) +
         TreeBits(codes.main.lengths, previous.main, 0, 256) +
         TreeBits(codes.main.lengths, previous.main, 256, main_symbols) +
         TreeBits(codes.length.lengths, previous.length, 0, kLzxLengthSymbols);
}

std::uint64_t LzxItemBits(const LzxSymbolCounts &counts, const LzxBlockCodes &codes) {
  std::uint64_t bits =
      Weighted(counts.main, codes.main.lengths) + Weighted(counts.length, codes.length.lengths);
  bits += counts.footer_bits;
  if (codes.use_aligned) // the low three bits of long footers by the aligned code instead
    bits = bits + Weighted(counts.aligned, codes.aligned.lengths) - 3 * counts.aligned_footers;
  return bits;
}

std::uint64_t LzxBlockBits(const LzxSymbolCounts &counts, const LzxBlockCodes &codes,
                           const LzxPreviousTrees &previous) {
  return LzxBlockHeaderBits(codes, previous) + LzxItemBits(counts, codes);
}

std::vector<std::size_t> LzxPlanBlocks(const std::vector<LzxFrame> &frames,
                                       const std::vector<LzxItem> &items, unsigned main_symbols,
                                       const LzxPreviousTrees &previous) {
  const std::size_t n = frames.size();
  std::vector<LzxSymbolCounts> per_frame(n, LzxSymbolCounts(main_symbols));
  for (std::size_t f = 0; f < n; ++f) {
    const std::size_t begin = f == 0 ? 0 : frames[f - 1].items_end;
    per_frame[f].Add(items.data() + begin, items.data() + frames[f].items_end);
  }
  // best[j]: the smallest size of frames [0, j); from[j]: where its last block starts; trees[j]:
  // the trees sent last on that way, which a block from j on is coded against.
  std::vector<std::uint64_t> best(n + 1, std::numeric_limits<std::uint64_t>::max());
  std::vector<std::size_t> from(n + 1, 0);
  std::vector<LzxPreviousTrees> trees(n + 1);
  best[0] = 0;
  trees[0] = previous;
  for (std::size_t first = 0; first < n; ++first) {
    LzxSymbolCounts counts(main_symbols);
    for (std::size_t last = first + 1; last <= n; ++last) {
      counts.Add(per_frame[last - 1]);
      const LzxBlockCodes codes = LzxChooseCodes(counts);
      std::uint64_t bits = LzxBlockBits(counts, codes, trees[first]);
      const bool stored = last == first + 1 && UncompressedBits(frames[first].size) < bits;
      if (stored)
        bits = UncompressedBits(frames[first].size);
      // Each frame ends on a word boundary: about 8 bits of padding.
      bits += 8 * (last - first);
      if (best[first] + bits < best[last]) {
        best[last] = best[first] + bits;
        from[last] = first;
        trees[last] =
            stored ? trees[first] : LzxPreviousTrees{codes.main.lengths, codes.length.lengths};
      }
    }
  }
  std::vector<std::size_t> ends;
  for (std::size_t j = n; j > 0; j = from[j])
    ends.push_back(j);
  std::reverse(ends.begin(), ends.end());
  return ends;
}

} // namespace packer
