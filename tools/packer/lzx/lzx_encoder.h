// SPDX-License-Identifier: Zlib
// lzx/: the LZX compressor: its format's constants, the match finder, Huffman codes and the block
// encoder.
#pragma once

#include "lzx/lzx_blocks.h"
#include "lzx/lzx_match_finder.h"
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

private:
  // The bit stream of the frames being encoded: 16-bit little-endian words filled from their top
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

  const std::uint8_t *At(std::uint32_t position) const;
  std::vector<std::size_t> ParseNearOptimal();
  LzxSymbolCounts CountSymbols(std::size_t first, std::size_t last) const;
  LzxCosts CostsOf(std::size_t first, std::size_t last) const; // under the codes of those frames
  void EncodeFrames();
  void EmitPlanned(const std::vector<std::size_t> &ends);
  bool MisleadsLibmspack() const;
  void EmitAlone(std::size_t frame);
  void EmitBlock(Stream &s, std::size_t first, std::size_t last) const;
  void EmitUncompressed(Stream &s, std::size_t frame) const;
  static void EmitTree(Stream &s, const std::vector<std::uint8_t> &lengths,
                       const std::vector<std::uint8_t> &previous, std::size_t from, std::size_t to);

  unsigned main_symbols_;
  std::uint64_t stream_size_;
  std::uint64_t sent_ = 0; // payload bytes handed to the sink
  Sink sink_;
  std::optional<LzxMatchFinder> fast_;      // parses each frame as it comes
  std::optional<LzxOptimalParser> optimal_; // parses the waiting frames together
  std::uint32_t repeats_[3] = {1, 1, 1};    // R0-R2 before the waiting frames (near-optimal)
  std::optional<LzxCosts> last_costs_;      // of the last block encoded (near-optimal)
  bool translate_ = false;
  std::uint32_t next_start_ = 0; // stream position of the next frame
  std::vector<LzxFrame> frames_; // waiting to be encoded
  std::vector<LzxItem> items_;
  Stream stream_;
};

} // namespace packer
