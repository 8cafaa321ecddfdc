// SPDX-License-Identifier: Zlib
// lzx/: the LZX compressor: its format's constants, the match finder, Huffman codes and the block
// encoder.
#pragma once

#include "lzx/lzx_match_finder.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace packer {

// Compresses one cabinet folder as LZX with a window of 2^window_bits bytes (15..21), frame by
// frame. Each frame of 32,768 bytes (only the last may be shorter) becomes the payload of one data
// block, handed to the sink in order with its uncompressed size. A program (the stream starts
// with "MZ") gets x86 call translation. Blocks span up to a few frames and are verbatim, aligned
// or uncompressed, whichever is smallest. Memory: the window and a few frames, whatever the
// stream's length. The same frames give the same bytes on every platform.
class LzxEncoder {
public:
  using Sink =
      std::function<void(const std::uint8_t *data, std::size_t size, std::uint32_t uncompressed)>;

  LzxEncoder(unsigned window_bits, Sink sink);

  // The next frame; after the one marked `last` nothing more may come.
  void AddFrame(const std::uint8_t *data, std::uint32_t size, bool last);

  // The largest payload one data block may carry: cabextract and Wine refuse more.
  static constexpr std::uint32_t kMaxBlockData = 32768 + 6144;

private:
  struct Frame {
    std::uint32_t start; // stream position
    std::uint32_t size;
    std::size_t items_end;    // its items are items_[previous frame's items_end, items_end)
    std::uint32_t repeats[3]; // R0-R2 after it
  };
  // The bit stream of the frames being encoded: 16-bit little-endian words filled from their top
  // bit, cut after each frame.
  struct Stream {
    std::vector<std::uint8_t> bytes;
    std::vector<std::size_t> cuts; // end of each frame's payload in `bytes`
    std::uint32_t pending = 0;     // bits not yet in a whole word
    unsigned pending_bits = 0;
    std::vector<std::uint8_t> main_lengths, length_lengths; // the last block's trees

    void Put(std::uint32_t value, unsigned bits);
    void Align();
    void EndFrame();
  };

  void EncodeFrames();
  void EmitBlock(Stream &s, std::size_t first, std::size_t last) const;
  void EmitUncompressed(Stream &s, std::size_t frame) const;
  static void EmitTree(Stream &s, const std::vector<std::uint8_t> &lengths,
                       const std::vector<std::uint8_t> &previous, std::size_t from, std::size_t to);

  unsigned main_symbols_;
  Sink sink_;
  LzxMatchFinder finder_;
  bool translate_ = false;
  std::uint32_t next_start_ = 0; // stream position of the next frame
  std::vector<Frame> frames_;    // parsed, not yet encoded
  std::vector<LzxItem> items_;
  Stream stream_;
};

} // namespace packer
