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

// The bytes a frame's payload takes when its bits end on a 16-bit word.
std::uint32_t WordBytes(std::uint64_t bits) {
  return static_cast<std::uint32_t>((bits + 15) / 16 * 2);
}

} // namespace

void LzxTranslateCalls(std::uint8_t *frame, std::uint32_t size, std::uint32_t index) {
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

LzxEncoder::LzxEncoder(unsigned window_bits, std::uint64_t stream_size, Sink sink, LzxParse parse)
    : main_symbols_(256 + 8 * LzxPositionSlots(window_bits)), stream_size_(stream_size),
      sink_(std::move(sink)) {
  const LzxNearOptimalSettings &settings =
      parse == LzxParse::kMax ? kLzxNearOptimalMax : kLzxNearOptimal;
  if (parse == LzxParse::kFast)
    fast_.emplace(window_bits, kFramesPerGroup * kLzxFrameSize, stream_size);
  else
    optimal_.emplace(window_bits, kFramesPerGroup * kLzxFrameSize, stream_size, settings);
  stream_.trees.main.assign(main_symbols_, 0);
  stream_.trees.length.assign(kLzxLengthSymbols, 0);
}

const std::uint8_t *LzxEncoder::At(std::uint32_t position) const {
  return fast_ ? fast_->At(position) : optimal_->At(position);
}

void LzxEncoder::AddFrame(const std::uint8_t *data, std::uint32_t size, bool last) {
  const std::uint32_t start = next_start_;
  const std::uint32_t keep = frames_.empty() ? start : frames_.front().start;
  std::uint8_t *room = fast_ ? fast_->Append(size, keep) : optimal_->Append(size, keep);
  std::memcpy(room, data, size);
  if (start == 0) {
    translate_ = size >= 2 && data[0] == 'M' && data[1] == 'Z';
    stream_.Put(translate_ ? 1 : 0, 1);
    if (translate_)
      stream_.Put(static_cast<std::uint32_t>(kTranslationSize), 32);
  }
  if (translate_)
    LzxTranslateCalls(room, size, start / kLzxFrameSize);
  LzxFrame frame{start, size, 0, {}};
  if (fast_) {
    fast_->Parse(size, items_);
    frame.items_end = items_.size();
    std::copy(fast_->repeats(), fast_->repeats() + 3, frame.repeats);
  }
  frames_.push_back(frame);
  next_start_ = start + size;
  if (last || frames_.size() == kFramesPerGroup)
    EncodeFrames();
}

LzxSymbolCounts LzxEncoder::CountSymbols(std::size_t first, std::size_t last) const {
  LzxSymbolCounts counts(main_symbols_);
  const std::size_t begin = first == 0 ? 0 : frames_[first - 1].items_end;
  counts.Add(items_.data() + begin, items_.data() + frames_[last - 1].items_end);
  return counts;
}

LzxCosts LzxEncoder::CostsOf(std::size_t first, std::size_t last) const {
  return LzxCosts::From(LzxChooseCodes(CountSymbols(first, last)));
}

// Parses the waiting frames together, a few times, each pass under the codes of the one before;
// chooses the blocks; and parses each block again, a few times, under its own codes. Returns
// where the blocks end.
std::vector<std::size_t> LzxEncoder::ParseNearOptimal() {
  const std::size_t n = frames_.size();
  optimal_->FindMatches(frames_);
  const std::uint32_t size = frames_.back().start + frames_.back().size - frames_.front().start;
  // The first pass goes by the last block's codes: a stream rarely changes much from one group
  // to the next.
  LzxCosts costs =
      last_costs_ ? *last_costs_ : LzxCosts::Guess(At(frames_.front().start), size, main_symbols_);
  const int group_passes =
      last_costs_ ? optimal_->settings().group_passes : optimal_->settings().first_group_passes;
  for (int pass = 0; pass < group_passes; ++pass) {
    if (pass > 0)
      costs = CostsOf(0, n);
    items_.clear();
    optimal_->Parse(frames_, 0, n, repeats_, costs, items_);
  }
  const std::vector<std::size_t> ends =
      LzxPlanBlocks(frames_, items_, main_symbols_, stream_.trees);
  for (int pass = 0; pass < optimal_->settings().block_passes; ++pass) {
    std::vector<LzxCosts> block_costs;
    for (std::size_t b = 0; b < ends.size(); ++b)
      block_costs.push_back(CostsOf(b == 0 ? 0 : ends[b - 1], ends[b]));
    items_.clear();
    for (std::size_t b = 0; b < ends.size(); ++b) {
      const std::size_t first = b == 0 ? 0 : ends[b - 1];
      optimal_->Parse(frames_, first, ends[b], first == 0 ? repeats_ : frames_[first - 1].repeats,
                      block_costs[b], items_);
    }
  }
  std::copy(frames_.back().repeats, frames_.back().repeats + 3, repeats_);
  last_costs_ = CostsOf(ends.size() < 2 ? 0 : ends[ends.size() - 2], n);
  return ends;
}

// The blocks planned, each kept where its frames' payloads fit data blocks, else frame by frame.
LzxEncoder::Layout LzxEncoder::ChooseLayout(const std::vector<std::size_t> &ends) const {
  Layout planned = Planned(ends);
  if (!MisleadsLibmspack(planned))
    return planned;
  // Other sizes for the frames before the last, until libmspack reads into the last one in time,
  // dearer step by step: other blocks around the last whole frame; every frame alone; the last
  // whole frame stored.
  for (const std::vector<std::size_t> &other : AroundLastWhole(ends)) {
    Layout layout = Planned(other);
    if (!MisleadsLibmspack(layout))
      return layout;
  }
  Layout alone = EachFrameAlone(Tail::kSmaller);
  if (!MisleadsLibmspack(alone))
    return alone;
  Layout stored = EachFrameAlone(Tail::kStored);
  if (!MisleadsLibmspack(stored))
    return stored;
  // The last whole frame was stored already: compressed, it has another size, if a larger one.
  Layout compressed = EachFrameAlone(Tail::kLastWholeCompressed);
  return FitDataBlocks(compressed.payload) ? compressed : stored;
}

LzxEncoder::Layout LzxEncoder::Planned(const std::vector<std::size_t> &ends) const {
  Layout layout = StartLayout();
  for (std::size_t b = 0, first = 0; b < ends.size(); first = ends[b++]) {
    if (ends[b] - first > 1) {
      Candidate joint = Compressed(layout, first, ends[b]);
      if (FitDataBlocks(joint.payload)) {
        Append(layout, std::move(joint));
        continue;
      }
    }
    for (std::size_t f = first; f < ends[b]; ++f)
      AppendAlone(layout, f);
  }
  return layout;
}

// The last whole frame of a stream whose last frame is shorter, if this group holds it.
std::optional<std::size_t> LzxEncoder::LastWholeFrame() const {
  const std::uint64_t whole = stream_size_ - stream_size_ % kLzxFrameSize;
  for (std::size_t f = 0; f < frames_.size(); ++f)
    if (frames_[f].start + frames_[f].size == whole && whole != stream_size_)
      return f;
  return std::nullopt;
}

// The blocks `ends` with other boundaries around the last whole frame: the frame in a block of its
// own, in one with the frame after it, in one with the frame before it. Each gives the frame other
// codes, so another size, at a cost of a few bytes.
std::vector<std::vector<std::size_t>>
LzxEncoder::AroundLastWhole(const std::vector<std::size_t> &ends) const {
  const std::optional<std::size_t> frame = LastWholeFrame();
  if (!frame)
    return {};
  const auto with = [&](std::initializer_list<std::size_t> add, std::size_t remove) {
    std::vector<std::size_t> other = ends;
    other.insert(other.end(), add);
    std::erase(other, remove);
    std::sort(other.begin(), other.end());
    other.erase(std::unique(other.begin(), other.end()), other.end());
    return other;
  };
  std::vector<std::vector<std::size_t>> others;
  const auto keep = [&](std::vector<std::size_t> other) {
    if (other != ends && std::find(others.begin(), others.end(), other) == others.end())
      others.push_back(std::move(other));
  };
  const std::size_t f = *frame;
  // A block's end; 0 is none, so removing it removes nothing.
  keep(f > 0 ? with({f, f + 1}, 0) : with({f + 1}, 0));
  if (f + 1 < frames_.size()) // the frame after is in this group
    keep(with({f + 2}, f + 1));
  if (f > 0)
    keep(with({f + 1}, f));
  return others;
}

bool LzxEncoder::FitDataBlocks(const std::vector<std::uint32_t> &payload) {
  return std::all_of(payload.begin(), payload.end(),
                     [](std::uint32_t bytes) { return bytes <= kMaxBlockData; });
}

// Every frame a block of its own, compressed or stored, whichever is smaller; but the last whole
// frame as `tail` says. The shorter frame after it is as the others: its size does not count.
LzxEncoder::Layout LzxEncoder::EachFrameAlone(Tail tail) const {
  Layout layout = StartLayout();
  const std::optional<std::size_t> last_whole = LastWholeFrame();
  for (std::size_t f = 0; f < frames_.size(); ++f) {
    if (tail == Tail::kSmaller || f != last_whole)
      AppendAlone(layout, f);
    else if (tail == Tail::kStored)
      Append(layout, Stored(layout, f));
    else
      Append(layout, Compressed(layout, f, f + 1));
  }
  return layout;
}

LzxEncoder::Layout LzxEncoder::StartLayout() const { return Layout{{}, {}, stream_.trees}; }

// The bits the next frame of `layout` holds before its block: the stream's header, in the first
// frame of all; else none, as every frame ends on a word.
std::uint64_t LzxEncoder::BitsBefore(const Layout &layout) const {
  return layout.payload.empty() ? 8 * std::uint64_t{stream_.bytes.size()} + stream_.pending_bits
                                : 0;
}

LzxEncoder::Candidate LzxEncoder::Compressed(const Layout &layout, std::size_t first,
                                             std::size_t last) const {
  LzxSymbolCounts counts(main_symbols_);
  for (std::size_t f = first; f < last; ++f)
    counts.Add(frame_counts_[f]);
  Candidate candidate{{first, last, false, LzxChooseCodes(counts)}, {}};
  std::uint64_t bits = BitsBefore(layout) + LzxBlockHeaderBits(candidate.block.codes, layout.trees);
  for (std::size_t f = first; f < last; ++f) {
    bits += LzxItemBits(frame_counts_[f], candidate.block.codes);
    candidate.payload.push_back(WordBytes(bits));
    bits = 0;
  }
  return candidate;
}

// The header; padding to a word, at least one bit; the registers; the bytes, and one more after
// an odd count.
LzxEncoder::Candidate LzxEncoder::Stored(const Layout &layout, std::size_t frame) const {
  const std::uint64_t header = BitsBefore(layout) + 3 + 24;
  const std::uint32_t size = frames_[frame].size;
  return {{frame, frame + 1, true, {}},
          {static_cast<std::uint32_t>(2 * (header / 16 + 1)) + 12 + size + size % 2}};
}

void LzxEncoder::Append(Layout &layout, Candidate candidate) {
  if (!candidate.block.stored)
    layout.trees = {candidate.block.codes.main.lengths, candidate.block.codes.length.lengths};
  layout.payload.insert(layout.payload.end(), candidate.payload.begin(), candidate.payload.end());
  layout.blocks.push_back(std::move(candidate.block));
}

// One frame as a block of its own, compressed or stored, whichever is smaller.
void LzxEncoder::AppendAlone(Layout &layout, std::size_t frame) const {
  Candidate compressed = Compressed(layout, frame, frame + 1);
  Candidate stored = Stored(layout, frame);
  Append(layout,
         compressed.payload[0] < stored.payload[0] ? std::move(compressed) : std::move(stored));
}

// libmspack (so cabextract) learns the size of a shorter last frame only when it reads into that
// frame's data block, 4,096 bytes at a time; if the data before that block ends on such a read,
// it decodes the last frame as a whole one and fails. Whether that happens depends on the sizes
// of all frames before the last.
bool LzxEncoder::MisleadsLibmspack(const Layout &layout) const {
  const std::optional<std::size_t> last_whole = LastWholeFrame();
  if (!last_whole)
    return false;
  std::uint64_t end = sent_;
  for (std::size_t i = 0; i <= *last_whole; ++i)
    end += layout.payload[i];
  return end % 4096 == 0;
}

void LzxEncoder::EncodeFrames() {
  const std::vector<std::size_t> ends =
      optimal_ ? ParseNearOptimal() : LzxPlanBlocks(frames_, items_, main_symbols_, stream_.trees);
  frame_counts_.clear();
  for (std::size_t f = 0; f < frames_.size(); ++f)
    frame_counts_.push_back(CountSymbols(f, f + 1));
  layout_ = ChooseLayout(ends);
  Write(layout_);

  std::size_t from = 0;
  for (std::size_t i = 0; i < frames_.size(); ++i) {
    sink_(stream_.bytes.data() + from, stream_.cuts[i] - from, frames_[i].size);
    from = stream_.cuts[i];
  }
  sent_ += from;
  frames_.clear();
  items_.clear();
  stream_.bytes.clear();
  stream_.cuts.clear();
}

void LzxEncoder::Write(const Layout &layout) {
  for (const Layout::Block &block : layout.blocks)
    if (block.stored)
      EmitUncompressed(block.first);
    else
      EmitBlock(block);
}

void LzxEncoder::EmitTree(const std::vector<std::uint8_t> &lengths,
                          const std::vector<std::uint8_t> &previous, std::size_t from,
                          std::size_t to) {
  const std::vector<LzxTreeStep> steps = LzxTreeSteps(lengths, previous, from, to);
  const std::vector<std::uint8_t> pretree = LzxPretreeLengths(steps);
  const std::vector<std::uint16_t> codes = CanonicalCodes(pretree);
  for (unsigned symbol = 0; symbol < kLzxPretreeSymbols; ++symbol)
    stream_.Put(pretree[symbol], 4);
  for (const LzxTreeStep &step : steps) {
    stream_.Put(codes[step.symbol], pretree[step.symbol]);
    if (step.extra_bits != 0)
      stream_.Put(step.extra, step.extra_bits);
  }
}

void LzxEncoder::EmitBlock(const Layout::Block &block) {
  Stream &s = stream_;
  const LzxTree &main = block.codes.main, &length = block.codes.length,
                &aligned = block.codes.aligned;
  const bool use_aligned = block.codes.use_aligned;

  std::uint32_t size = 0;
  for (std::size_t f = block.first; f < block.last; ++f)
    size += frames_[f].size;
  s.Put(use_aligned ? kAligned : kVerbatim, 3);
  s.Put(size, 24);
  if (use_aligned)
    for (unsigned symbol = 0; symbol < kLzxAlignedSymbols; ++symbol)
      s.Put(aligned.lengths[symbol], 3);
  EmitTree(main.lengths, s.trees.main, 0, 256);
  EmitTree(main.lengths, s.trees.main, 256, main_symbols_);
  EmitTree(length.lengths, s.trees.length, 0, kLzxLengthSymbols);
  s.trees.main = main.lengths;
  s.trees.length = length.lengths;

  std::size_t i = block.first == 0 ? 0 : frames_[block.first - 1].items_end;
  for (std::size_t f = block.first; f < block.last; ++f) {
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

void LzxEncoder::EmitUncompressed(std::size_t index) {
  Stream &s = stream_;
  const LzxFrame &frame = frames_[index];
  s.Put(kUncompressed, 3);
  s.Put(frame.size, 24);
  // The registers start on a word boundary, and at least one bit of padding precedes them.
  s.Put(0, 16 - s.pending_bits);
  for (std::uint32_t r : frame.repeats)
    for (int shift = 0; shift < 32; shift += 8)
      s.bytes.push_back(static_cast<std::uint8_t>(r >> shift));
  const std::uint8_t *data = At(frame.start);
  s.bytes.insert(s.bytes.end(), data, data + frame.size);
  if (frame.size % 2 != 0)
    s.bytes.push_back(0);
  s.EndFrame();
}

} // namespace packer
