// SPDX-License-Identifier: Zlib
#pragma once

#include "lzx/lzx_format.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace packer {

// One 32 KiB frame of the stream (only the last may be shorter) once parsed.
struct LzxFrame {
  std::uint32_t start; // stream position
  std::uint32_t size;
  std::size_t items_end;    // its items are those from the previous frame's items_end to this
  std::uint32_t repeats[3]; // R0-R2 after it
};

// How often a stretch of items uses each symbol, and what its offsets' footers take.
struct LzxSymbolCounts {
  explicit LzxSymbolCounts(unsigned main_symbols)
      : main(main_symbols, 0), length(kLzxLengthSymbols, 0) {}
  void Add(const LzxItem *begin, const LzxItem *end);
  void Add(const LzxSymbolCounts &other);

  std::vector<std::uint32_t> main, length;
  std::array<std::uint32_t, kLzxAlignedSymbols> aligned{}; // low three bits of long footers
  std::uint64_t footer_bits = 0;                           // all footers, written verbatim
  std::uint64_t aligned_footers = 0;                       // footers of three bits or more
};

struct LzxTree {
  std::vector<std::uint8_t> lengths;
  std::vector<std::uint16_t> codes;
};

// The trees of one block, and whether an aligned block (which codes the low three bits of long
// offsets) comes out smaller than a verbatim one.
struct LzxBlockCodes {
  LzxTree main, length, aligned;
  bool use_aligned;
};
LzxBlockCodes LzxChooseCodes(const LzxSymbolCounts &counts);

// A tree is sent as its code lengths' changes against the previous block's, run-length coded
// with a pretree of 20 symbols.
struct LzxTreeStep {
  std::uint8_t symbol;
  std::uint8_t extra_bits;
  std::uint8_t extra;
};
std::vector<LzxTreeStep> LzxTreeSteps(const std::vector<std::uint8_t> &lengths,
                                      const std::vector<std::uint8_t> &previous, std::size_t from,
                                      std::size_t to);

// The pretree's lengths for those steps (a pretree length is a 4-bit field).
std::vector<std::uint8_t> LzxPretreeLengths(const std::vector<LzxTreeStep> &steps);

// The trees sent last, which the next block's are coded against.
struct LzxPreviousTrees {
  std::vector<std::uint8_t> main, length;
};

// The size in bits of a compressed block of those counts: its header and trees, coded against
// `previous`, and its items.
std::uint64_t LzxBlockBits(const LzxSymbolCounts &counts, const LzxBlockCodes &codes,
                           const LzxPreviousTrees &previous);
// The two parts of it: what precedes the first item, and the items of some of the block's frames.
std::uint64_t LzxBlockHeaderBits(const LzxBlockCodes &codes, const LzxPreviousTrees &previous);
std::uint64_t LzxItemBits(const LzxSymbolCounts &counts, const LzxBlockCodes &codes);

// Where the blocks over `frames` end (the index of the frame after each), so that their total
// size is smallest: a block spans whole frames, sends its own trees, and a block of one frame
// may be stored uncompressed. The sizes are exact but for the trees' coding, which is taken
// against `previous` for every block.
std::vector<std::size_t> LzxPlanBlocks(const std::vector<LzxFrame> &frames,
                                       const std::vector<LzxItem> &items, unsigned main_symbols,
                                       const LzxPreviousTrees &previous);

} // namespace packer
