// SPDX-License-Identifier: Zlib
#include "lzx/lzx_encoder.h"

#include "base/little_endian.h"
#include "lzx/huffman_code.h"
#include "lzx/lzx_format.h"

#include <algorithm>
#include <cstring>

namespace packer {
namespace {

// Frames parsed before their blocks are chosen: larger blocks send their trees less often.
constexpr std::size_t kFramesPerGroup = 8;
// The translation size in the stream header; calls into the first 12,000,000 bytes of the
// program are made absolute.
constexpr std::int32_t kTranslationSize = 12000000;
// Beyond 1 GiB the decoders translate nothing.
constexpr std::uint32_t kTranslatedFrames = 32768;

enum BlockType : std::uint32_t { kVerbatim = 1, kAligned = 2, kUncompressed = 3 };

// Turns the relative operands of E8 (call) instructions into absolute ones, as the decoder
// expects; the bytes of the last 10 of a frame never start one.
void TranslateCalls(std::uint8_t *frame, std::uint32_t size, std::uint32_t index) {
  if (index >= kTranslatedFrames || size <= 10)
    return;
  const std::int64_t base = std::int64_t{index} * kLzxFrameSize;
  for (std::uint32_t i = 0; i < size - 10;) {
    if (frame[i] != 0xE8) {
      ++i;
      continue;
    }
    const std::int64_t current = base + i;
    const auto value = static_cast<std::int64_t>(static_cast<std::int32_t>(Get32(frame + i + 1)));
    if (value >= -current && value < kTranslationSize) {
      const std::int64_t translated =
          value < kTranslationSize - current ? value + current : value - kTranslationSize;
      Put32(frame + i + 1, static_cast<std::uint32_t>(translated));
    }
    i += 5;
  }
}

struct Tree {
  std::vector<std::uint8_t> lengths;
  std::vector<std::uint16_t> codes;
};

Tree MakeTree(const std::vector<std::uint32_t> &counts, unsigned limit) {
  Tree tree;
  tree.lengths = HuffmanLengths(counts, limit);
  tree.codes = CanonicalCodes(tree.lengths);
  return tree;
}

// The trees of one block, from the symbols its items use, and whether an aligned block (which
// codes the low three bits of long offsets) comes out smaller than a verbatim one.
struct BlockCodes {
  Tree main, length, aligned;
  bool use_aligned;
};

BlockCodes ChooseCodes(const LzxItem *begin, const LzxItem *end, unsigned main_symbols) {
  std::vector<std::uint32_t> main_counts(main_symbols, 0);
  std::vector<std::uint32_t> length_counts(kLzxLengthSymbols, 0);
  std::vector<std::uint32_t> aligned_counts(kLzxAlignedSymbols, 0);
  std::uint64_t aligned_footers = 0;
  for (const LzxItem *item = begin; item != end; ++item) {
    ++main_counts[item->main];
    if (item->main < 256)
      continue;
    if (item->length_symbol != kLzxNoLengthSymbol)
      ++length_counts[item->length_symbol];
    if (LzxExtraBits((item->main - 256u) >> 3) >= 3) {
      ++aligned_counts[item->footer & 7];
      ++aligned_footers;
    }
  }
  BlockCodes codes{MakeTree(main_counts, 16), {}, MakeTree(aligned_counts, 7), false};
  // No match long enough to need the length tree: its lengths are all 0.
  if (std::any_of(length_counts.begin(), length_counts.end(), [](auto c) { return c != 0; }))
    codes.length = MakeTree(length_counts, 16);
  else
    codes.length = {std::vector<std::uint8_t>(kLzxLengthSymbols, 0),
                    std::vector<std::uint16_t>(kLzxLengthSymbols, 0)};
  std::uint64_t aligned_bits = 3 * kLzxAlignedSymbols;
  for (unsigned symbol = 0; symbol < kLzxAlignedSymbols; ++symbol)
    aligned_bits += std::uint64_t{aligned_counts[symbol]} * codes.aligned.lengths[symbol];
  codes.use_aligned = aligned_bits < 3 * aligned_footers;
  return codes;
}

} // namespace

void LzxEncoder::Stream::Put(std::uint32_t value, unsigned bits) {
  while (bits > 16) {
    bits -= 16;
    Put(value >> bits, 16);
  }
  pending = pending << bits | (value & ((1u << bits) - 1));
  pending_bits += bits;
  if (pending_bits >= 16) {
    pending_bits -= 16;
    const std::uint32_t word = pending >> pending_bits;
    bytes.push_back(static_cast<std::uint8_t>(word));
    bytes.push_back(static_cast<std::uint8_t>(word >> 8));
    pending &= (1u << pending_bits) - 1;
  }
}

void LzxEncoder::Stream::Align() {
  if (pending_bits != 0)
    Put(0, 16 - pending_bits);
}

void LzxEncoder::Stream::EndFrame() {
  Align();
  cuts.push_back(bytes.size());
}

LzxEncoder::LzxEncoder(unsigned window_bits, Sink sink)
    : main_symbols_(256 + 8 * LzxPositionSlots(window_bits)), sink_(std::move(sink)),
      finder_(window_bits, kFramesPerGroup * kLzxFrameSize) {
  stream_.main_lengths.assign(main_symbols_, 0);
  stream_.length_lengths.assign(kLzxLengthSymbols, 0);
}

void LzxEncoder::AddFrame(const std::uint8_t *data, std::uint32_t size, bool last) {
  const std::uint32_t start = next_start_;
  const std::uint32_t keep = frames_.empty() ? start : frames_.front().start;
  std::uint8_t *room = finder_.Append(size, keep);
  std::memcpy(room, data, size);
  if (start == 0) {
    translate_ = size >= 2 && data[0] == 'M' && data[1] == 'Z';
    stream_.Put(translate_ ? 1 : 0, 1);
    if (translate_)
      stream_.Put(static_cast<std::uint32_t>(kTranslationSize), 32);
  }
  if (translate_)
    TranslateCalls(room, size, start / kLzxFrameSize);
  finder_.Parse(size, items_);
  Frame frame{start, size, items_.size(), {}};
  std::copy(finder_.repeats(), finder_.repeats() + 3, frame.repeats);
  frames_.push_back(frame);
  next_start_ = start + size;
  if (last || frames_.size() == kFramesPerGroup)
    EncodeFrames();
}

// One block over all waiting frames, or one block per frame (uncompressed where that is smaller),
// whichever is smaller; a frame whose payload would exceed what a data block carries rules out
// the first.
void LzxEncoder::EncodeFrames() {
  Stream joint = stream_;
  bool joint_fits = frames_.size() > 1;
  if (joint_fits) {
    EmitBlock(joint, 0, frames_.size());
    for (std::size_t i = 0; i < joint.cuts.size(); ++i)
      if (joint.cuts[i] - (i == 0 ? 0 : joint.cuts[i - 1]) > kMaxBlockData)
        joint_fits = false;
  }
  for (std::size_t f = 0; f < frames_.size(); ++f) {
    Stream compressed = stream_;
    EmitBlock(compressed, f, f + 1);
    Stream uncompressed = stream_;
    EmitUncompressed(uncompressed, f);
    stream_ = compressed.bytes.size() < uncompressed.bytes.size() ? std::move(compressed)
                                                                  : std::move(uncompressed);
  }
  if (joint_fits && joint.bytes.size() <= stream_.bytes.size())
    stream_ = std::move(joint);

  std::size_t from = 0;
  for (std::size_t i = 0; i < frames_.size(); ++i) {
    sink_(stream_.bytes.data() + from, stream_.cuts[i] - from, frames_[i].size);
    from = stream_.cuts[i];
  }
  frames_.clear();
  items_.clear();
  stream_.bytes.clear();
  stream_.cuts.clear();
}

void LzxEncoder::EmitTree(Stream &s, const std::vector<std::uint8_t> &lengths,
                          const std::vector<std::uint8_t> &previous, std::size_t from,
                          std::size_t to) {
  struct Code {
    std::uint8_t symbol;
    std::uint8_t extra_bits;
    std::uint8_t extra;
  };
  std::vector<Code> codes;
  for (std::size_t i = from; i < to;) {
    std::size_t run = 0;
    while (i + run < to && lengths[i + run] == 0)
      ++run;
    if (run >= 20) {
      run = std::min<std::size_t>(run, 51);
      codes.push_back({18, 5, static_cast<std::uint8_t>(run - 20)});
      i += run;
    } else if (run >= 4) {
      codes.push_back({17, 4, static_cast<std::uint8_t>(run - 4)});
      i += run;
    } else {
      codes.push_back({static_cast<std::uint8_t>((previous[i] + 17 - lengths[i]) % 17), 0, 0});
      ++i;
    }
  }
  std::vector<std::uint32_t> counts(kLzxPretreeSymbols, 0);
  for (const Code &c : codes)
    ++counts[c.symbol];
  const Tree pretree = MakeTree(counts, 15);
  for (unsigned symbol = 0; symbol < kLzxPretreeSymbols; ++symbol)
    s.Put(pretree.lengths[symbol], 4);
  for (const Code &c : codes) {
    s.Put(pretree.codes[c.symbol], pretree.lengths[c.symbol]);
    if (c.extra_bits != 0)
      s.Put(c.extra, c.extra_bits);
  }
}

void LzxEncoder::EmitBlock(Stream &s, std::size_t first, std::size_t last) const {
  const std::size_t items_begin = first == 0 ? 0 : frames_[first - 1].items_end;
  const std::size_t items_end = frames_[last - 1].items_end;
  const BlockCodes codes =
      ChooseCodes(items_.data() + items_begin, items_.data() + items_end, main_symbols_);
  const Tree &main = codes.main, &length = codes.length, &aligned = codes.aligned;
  const bool use_aligned = codes.use_aligned;

  std::uint32_t size = 0;
  for (std::size_t f = first; f < last; ++f)
    size += frames_[f].size;
  s.Put(use_aligned ? kAligned : kVerbatim, 3);
  s.Put(size, 24);
  if (use_aligned)
    for (unsigned symbol = 0; symbol < kLzxAlignedSymbols; ++symbol)
      s.Put(aligned.lengths[symbol], 3);
  EmitTree(s, main.lengths, s.main_lengths, 0, 256);
  EmitTree(s, main.lengths, s.main_lengths, 256, main_symbols_);
  EmitTree(s, length.lengths, s.length_lengths, 0, kLzxLengthSymbols);
  s.main_lengths = main.lengths;
  s.length_lengths = length.lengths;

  std::size_t i = items_begin;
  for (std::size_t f = first; f < last; ++f) {
    for (; i < frames_[f].items_end; ++i) {
      const LzxItem &item = items_[i];
      s.Put(main.codes[item.main], main.lengths[item.main]);
      if (item.main < 256)
        continue;
      if (item.length_symbol != kLzxNoLengthSymbol)
        s.Put(length.codes[item.length_symbol], length.lengths[item.length_symbol]);
      const unsigned extra = LzxExtraBits((item.main - 256u) >> 3);
      if (use_aligned && extra >= 3) {
        s.Put(item.footer >> 3, extra - 3);
        s.Put(aligned.codes[item.footer & 7], aligned.lengths[item.footer & 7]);
      } else {
        s.Put(item.footer, extra);
      }
    }
    s.EndFrame();
  }
}

void LzxEncoder::EmitUncompressed(Stream &s, std::size_t index) const {
  const Frame &frame = frames_[index];
  s.Put(kUncompressed, 3);
  s.Put(frame.size, 24);
  // The registers start on a word boundary, and at least one bit of padding precedes them.
  s.Put(0, 16 - s.pending_bits);
  for (std::uint32_t r : frame.repeats)
    for (int shift = 0; shift < 32; shift += 8)
      s.bytes.push_back(static_cast<std::uint8_t>(r >> shift));
  const std::uint8_t *data = finder_.At(frame.start);
  s.bytes.insert(s.bytes.end(), data, data + frame.size);
  if (frame.size % 2 != 0)
    s.bytes.push_back(0);
  s.EndFrame();
}

} // namespace packer
