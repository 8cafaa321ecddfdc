// SPDX-License-Identifier: Zlib
#include "lzx/lzx_match_finder.h"

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

TEST(LzxMatchFinder, EveryMatchIsRealAndWithinTheWindow) {
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

  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    constexpr std::uint32_t kLookahead = 2 * kLzxFrameSize;
    LzxMatchFinder finder(c.window_bits, kLookahead);
    Replay replay(c.window_bits);
    for (std::uint32_t at = 0; at < c.input.size(); at += kLzxFrameSize) {
      const std::uint32_t size =
          std::min<std::uint32_t>(kLzxFrameSize, static_cast<std::uint32_t>(c.input.size()) - at);
      std::copy_n(c.input.begin() + at, size, finder.Append(size, at));
      std::vector<LzxItem> items;
      finder.Parse(size, items);
      const Bytes parsed(c.input.begin(), c.input.begin() + at + size);
      replay.Apply(items, parsed);
      ASSERT_EQ(replay.out().size(), parsed.size());
    }
    EXPECT_TRUE(replay.out() == c.input) << "the items give other bytes";
    EXPECT_GT(replay.matches(), 0u);
  }
}

} // namespace
