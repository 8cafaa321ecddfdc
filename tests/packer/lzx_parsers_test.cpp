// SPDX-License-Identifier: Zlib
// Both parsers (lzx_lazy_parser.cpp, lzx_optimal_parser.cpp) keep one rule, so one table.
#include "lzx/lzx_lazy_parser.h"
#include "lzx/lzx_optimal_parser.h"

#include "lzx/lzx_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>

using namespace packer;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Replays the finder's items as a decoder would, with its own repeated-offset registers: each
// match must lie within what came before and within the window, and copy the bytes that are
// really there.
class Replay {
public:
  explicit Replay(unsigned window_bits) : window_(std::uint32_t{1} << window_bits) {}

  void Apply(const std::vector<LzxItem> &items, const Bytes &input) {
    for (const LzxItem &item : items) {
      if (item.main < 256) {
        out_.push_back(static_cast<std::uint8_t>(item.main));
        continue;
      }
      const unsigned slot = (item.main - 256) / 8, header = (item.main - 256) % 8;
      const std::uint32_t length = header == 7 ? item.length_symbol + 9u : header + 2u;
      std::uint32_t distance = repeats_[std::min(slot, 2u)];
      if (slot >= 3) {
        distance = LzxSlotBase(slot) + item.footer - 2;
        repeats_[2] = repeats_[1], repeats_[1] = repeats_[0], repeats_[0] = distance;
      } else if (slot > 0) {
        std::swap(repeats_[0], repeats_[slot]);
      }
      ASSERT_GE(distance, 1u);
      ASSERT_LE(distance, out_.size()) << "a match before the stream's start";
      ASSERT_LE(distance, window_ - 3) << "a match beyond the window";
      ASSERT_LE(out_.size() + length, input.size()) << "a match past the parsed bytes";
      for (std::uint32_t i = 0; i < length; ++i) {
        out_.push_back(out_[out_.size() - distance]);
      }
      ++matches_;
    }
  }

  const Bytes &out() const { return out_; }
  std::size_t matches() const { return matches_; }

private:
  std::uint32_t window_;
  std::uint32_t repeats_[3] = {1, 1, 1};
  Bytes out_;
  std::size_t matches_ = 0;
};

// Both parsers over `input` frame by frame (the near-optimal one two frames at a time, under its
// first guess of costs), their items replayed.
void ParseAndReplay(unsigned window_bits, const Bytes &input, std::uint64_t announced, bool optimal,
                    Replay &replay) {
  constexpr std::uint32_t kLookahead = 2 * kLzxFrameSize;
  LzxLazyParser finder(window_bits, kLookahead, announced);
  LzxOptimalParser parser(window_bits, kLookahead, announced);
  std::uint32_t repeats[3] = {1, 1, 1};
  const auto total = static_cast<std::uint32_t>(input.size());
  for (std::uint32_t at = 0; at < total; at += kLookahead) {
    std::vector<LzxFrame> frames;
    for (std::uint32_t start = at; start < std::min(total, at + kLookahead);
         start += kLzxFrameSize) {
      const std::uint32_t size = std::min(kLzxFrameSize, total - start);
      std::copy_n(input.begin() + start, size,
                  optimal ? parser.Append(size, at) : finder.Append(size, start));
      frames.push_back({start, size, 0, {}});
    }
    std::vector<LzxItem> items;
    if (optimal) {
      parser.FindMatches(frames);
      const std::uint32_t size = frames.back().start + frames.back().size - at;
      parser.Parse(frames, 0, frames.size(), repeats,
                   LzxCosts::Guess(parser.At(at), size, 256 + 8 * LzxPositionSlots(window_bits)),
                   items);
      std::copy_n(frames.back().repeats, 3, repeats);
    } else {
      for (const LzxFrame &frame : frames)
        finder.Parse(frame.size, items);
    }
    const std::uint32_t end = frames.back().start + frames.back().size;
    replay.Apply(items, Bytes(input.begin(), input.begin() + end));
    ASSERT_EQ(replay.out().size(), end);
  }
}

TEST(LzxParsers, EveryMatchIsRealAndWithinTheWindow) {
  std::mt19937 random(21);
  const auto noise = [&](std::size_t n) {
    Bytes b(n);
    for (auto &x : b)
      x = static_cast<std::uint8_t>(random());
    return b;
  };
  struct Case {
    std::string label;
    unsigned window_bits;
    Bytes input;
    // The stream size the parsers are told, which sizes their tables; 0 for the input's own.
    std::uint64_t announced = 0;
  };
  std::vector<Case> cases;
  cases.push_back({"one byte value", 15, Bytes(200000, 0x41)});
  // A random run repeated at a period just inside, and just outside, the smallest window.
  for (std::uint32_t period : {32768u - 8, 32768u - 3, 32768u + 5}) {
    const Bytes run = noise(period);
    Bytes input;
    for (int i = 0; i < 5; ++i)
      input.insert(input.end(), run.begin(), run.end());
    cases.push_back({"period " + std::to_string(period), 15, input});
  }
  // Short runs that come back at every distance, so the registers are used and rotated.
  Bytes mixed;
  const Bytes words[3] = {noise(5), noise(11), noise(300)};
  while (mixed.size() < 300000) {
    const Bytes &w = words[random() % 3];
    mixed.insert(mixed.end(), w.begin(), w.end());
    const Bytes gap = noise(random() % 40);
    mixed.insert(mixed.end(), gap.begin(), gap.end());
  }
  cases.push_back({"mixed, window 2^15", 15, mixed});
  cases.push_back({"mixed, window 2^17", 17, mixed});
  // Tables sized for less than comes must grow without losing what they hold.
  cases.push_back({"mixed, announced as 1 byte", 17, mixed, 1});
  cases.push_back({"mixed, announced as 40,000 bytes", 15, mixed, 40000});
  // A random run again at the longest distance allowed, and one byte further.
  for (std::uint32_t distance : {32768u - 4, 32768u - 3}) {
    Bytes edge = noise(distance);
    edge.insert(edge.end(), edge.begin(), edge.begin() + 3000);
    cases.push_back({"a run at distance " + std::to_string(distance), 15, edge});
  }
  // One copy at one distance, broken by a byte every few dozen: R0 resumed after a literal, and
  // carried across frames.
  Bytes broken = noise(40000);
  while (broken.size() < 200000)
    broken.push_back(random() % 37 == 0 ? static_cast<std::uint8_t>(random())
                                        : broken[broken.size() - 40000]);
  cases.push_back({"a copy broken by single bytes", 17, broken});

  for (const Case &c : cases) {
    for (bool optimal : {false, true}) {
      SCOPED_TRACE(c.label + (optimal ? ", near-optimal" : ", fast"));
      Replay replay(c.window_bits);
      ParseAndReplay(c.window_bits, c.input, c.announced != 0 ? c.announced : c.input.size(),
                     optimal, replay);
      EXPECT_TRUE(replay.out() == c.input) << "the items give other bytes";
      EXPECT_GT(replay.matches(), 0u);
    }
  }
}

} // namespace
