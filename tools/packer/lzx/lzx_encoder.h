// SPDX-License-Identifier: Zlib
// lzx/: the LZX compressor of cabinet folders.
//
// The format. A folder's bytes are one stream, cut into frames of 32 KiB (the last may be
// shorter); each frame's compressed bits end on a 16-bit boundary and fill one cabinet data
// block. The stream is a sequence of blocks, each spanning whole frames here (the format allows
// any size), of three types: uncompressed (the bytes as they are, after the three registers
// below), verbatim and aligned. A compressed block codes items: a literal byte, or a match of 2
// to 257 bytes at a distance of up to the window size. Its main tree codes 256 literals and, per
// position slot, eight length headers (2 to 8, or "9 and more", whose rest goes through the
// length tree); a slot stands for a range of distances, whose footer bits follow the symbol.
// Slots 0 to 2 repeat one of the last three distances (R0 to R2), kept as an LRU list: a match
// with R1 or R2 swaps it with R0, a new distance pushes the list down. An aligned block also
// codes the low three footer bits of long distances with an eight-symbol tree, which pays when
// those bits are skewed. The trees are sent per block as changes against the previous block's
// lengths, run-length coded through a pretree. A program's E8 (call) operands are made absolute
// first, so that calls to one function look alike (translation, see TranslateCalls).
//
// The parses. An LZX encoder chooses which items cover the stream; the rest is bookkeeping.
// - The near-optimal parse (`lzx`, `lzx-max`; LzxOptimalParser, with LzxBinaryTrees finding the
//   matches): binary trees find, at every position, each longer match at its nearest distance,
//   once per group of eight frames. Then the cheapest path through each frame is found under a
//   cost model (bits per symbol from Huffman code lengths), forward, position by position,
//   carrying R0-R2 along each position's cheapest path, and also trying "match, literal, R0
//   again", which the registers make cheap. The first pass over a group goes by the codes of the
//   block before it (or a guess); its output gives codes for the next pass. The group's blocks
//   are then chosen by computed size (LzxPlanBlocks), and each block parsed again under its own
//   codes. Passes per group and per block are the settings of each strength.
// - The fast parse (`lzx-fast`; LzxLazyParser, with LzxHashChains finding the matches): hash
//   chains and a one-step lazy choice under a rough guess of bits, frame by frame as they come.
// The blocks. Either way the items of a group are then laid out as blocks and written once.
// The layout (ChooseLayout) is decided on sizes computed exactly, before a bit is written: a
// compressed block's header and trees (coded against the trees sent before it), each frame's
// items under the block's codes, each frame's end padded to a 16-bit word, and a stored frame's
// padding, which depends on the bit it starts at. Two limits of the decoders are checked on those
// sizes. A data block holds at most kMaxBlockData bytes: a planned block whose frames would not
// fit becomes blocks of one frame, each compressed or stored, whichever is smaller. libmspack
// misreads a short last frame whose data block starts on a 4 KiB read (MisleadsLibmspack): then
// the frames before it take other sizes, the cheapest first: other blocks around the last whole
// frame (alone, or joined with a neighbour), then every frame alone, then that frame stored, then
// compressed. The writer (Write) then puts out each block of the layout as it is.
#pragma once

#include "lzx/lzx_blocks.h"
#include "lzx/lzx_lazy_parser.h"
#include "lzx/lzx_optimal_parser.h"
#include "lzx/lzx_parse.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace packer {

// Compresses one cabinet folder as LZX with a window of 2^window_bits bytes (15..21), frame by
// frame. Each frame of 32,768 bytes (only the last may be shorter) becomes the payload of one data
// block, handed to the sink in order with its uncompressed size. A program (the stream starts
// with "MZ") gets x86 call translation. Blocks span whole frames, up to a few, where that makes
// the output smaller, and are verbatim, aligned or uncompressed, whichever is smallest. Memory: the
// window and a few frames, whatever the stream's length. The same frames give the same bytes on
// every platform.
class LzxEncoder {
public:
  using Sink =
      std::function<void(const std::uint8_t *data, std::size_t size, std::uint32_t uncompressed)>;

  // `stream_size`: the bytes all frames will hold.
  LzxEncoder(unsigned window_bits, std::uint64_t stream_size, Sink sink,
             LzxParse parse = LzxParse::kNearOptimal);

  // The next frame; after the one marked `last` nothing more may come.
  void AddFrame(const std::uint8_t *data, std::uint32_t size, bool last);

  // The largest payload one data block may carry: cabextract and Wine refuse more.
  static constexpr std::uint32_t kMaxBlockData = 32768 + 6144;

  // How a group of frames is written: its blocks, each of whole frames, compressed under the codes
  // chosen for it or stored; and each frame's payload in bytes, computed before a bit is written.
  struct Layout {
    struct Block {
      std::size_t first, last; // frames [first, last) of the group
      bool stored;
      LzxBlockCodes codes; // of a compressed block
    };
    std::vector<Block> blocks;
    std::vector<std::uint32_t> payload;
    LzxPreviousTrees trees; // sent last, which the next block's are coded against
  };
  // The layout of the group handed to the sink last: the sizes it received are those computed.
  const Layout &last_layout() const { return layout_; }

private:
  // The bit stream of the frames being written: 16-bit little-endian words filled from their top
  // bit, cut after each frame.
  struct Stream {
    std::vector<std::uint8_t> bytes;
    std::vector<std::size_t> cuts; // end of each frame's payload in `bytes`
    std::uint32_t pending = 0;     // bits not yet in a whole word
    unsigned pending_bits = 0;
    LzxPreviousTrees trees; // the last compressed block's

    void Put(std::uint32_t value, unsigned bits);
    void Align();
    void EndFrame();
  };
  // A block that could come next in a layout, with its frames' payloads.
  struct Candidate {
    Layout::Block block;
    std::vector<std::uint32_t> payload;
  };

  const std::uint8_t *At(std::uint32_t position) const;
  std::vector<std::size_t> ParseNearOptimal();
  LzxSymbolCounts CountSymbols(std::size_t first, std::size_t last) const;
  LzxCosts CostsOf(std::size_t first, std::size_t last) const; // under the codes of those frames
  void EncodeFrames();

  Layout ChooseLayout(const std::vector<std::size_t> &ends) const;
  Layout Planned(const std::vector<std::size_t> &ends) const;
  std::optional<std::size_t> LastWholeFrame() const;
  std::vector<std::vector<std::size_t>> AroundLastWhole(const std::vector<std::size_t> &ends) const;
  static bool FitDataBlocks(const std::vector<std::uint32_t> &payload);
  // How EachFrameAlone writes the last whole frame.
  enum class Tail { kSmaller, kStored, kLastWholeCompressed };
  Layout EachFrameAlone(Tail tail) const;
  Layout StartLayout() const;
  std::uint64_t BitsBefore(const Layout &layout) const;
  Candidate Compressed(const Layout &layout, std::size_t first, std::size_t last) const;
  Candidate Stored(const Layout &layout, std::size_t frame) const;
  static void Append(Layout &layout, Candidate candidate);
  void AppendAlone(Layout &layout, std::size_t frame) const;
  bool MisleadsLibmspack(const Layout &layout) const;

  void Write(const Layout &layout);
  void EmitBlock(const Layout::Block &block);
  void EmitUncompressed(std::size_t frame);
  void EmitTree(const std::vector<std::uint8_t> &lengths, const std::vector<std::uint8_t> &previous,
                std::size_t from, std::size_t to);

  unsigned main_symbols_;
  std::uint64_t stream_size_;
  std::uint64_t sent_ = 0; // payload bytes handed to the sink
  Sink sink_;
  std::optional<LzxLazyParser> fast_;       // parses each frame as it comes
  std::optional<LzxOptimalParser> optimal_; // parses the waiting frames together
  std::uint32_t repeats_[3] = {1, 1, 1};    // R0-R2 before the waiting frames (near-optimal)
  std::optional<LzxCosts> last_costs_;      // of the last block encoded (near-optimal)
  bool translate_ = false;
  std::uint32_t next_start_ = 0; // stream position of the next frame
  std::vector<LzxFrame> frames_; // waiting to be encoded
  std::vector<LzxItem> items_;
  std::vector<LzxSymbolCounts> frame_counts_; // of each waiting frame's final items
  Layout layout_;
  Stream stream_;
};

// Turns the relative operands of E8 (call) instructions in frame `index` of a program into
// absolute ones, as the decoder expects: none in its last 10 bytes, none from 1 GiB on.
void LzxTranslateCalls(std::uint8_t *frame, std::uint32_t size, std::uint32_t index);

} // namespace packer
