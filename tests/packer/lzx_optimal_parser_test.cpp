// SPDX-License-Identifier: Zlib
#include "lzx/lzx_optimal_parser.h"

#include "lzx/lzx_format.h"
#include "lzx/lzx_lazy_parser.h"
#include "lzx_match_check.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

using namespace packer;
using packer::test::Bytes;

namespace {

constexpr std::uint32_t kFrame = kLzxFrameSize;
constexpr std::uint32_t kGroup = 8 * kFrame;

unsigned MainSymbols(unsigned window_bits) { return 256 + 8 * LzxPositionSlots(window_bits); }

// The near-optimal parse of `input` under `costs`, group by group of eight frames as the encoder
// parses it.
std::vector<LzxItem> ParseOptimal(const Bytes &input, unsigned window_bits, const LzxCosts &costs,
                                  const LzxNearOptimalSettings &settings = kLzxNearOptimal) {
  LzxOptimalParser parser(window_bits, kGroup, input.size(), settings);
  std::vector<LzxItem> items;
  std::uint32_t repeats[3] = {1, 1, 1};
  const auto total = static_cast<std::uint32_t>(input.size());
  for (std::uint32_t at = 0; at < total; at += kGroup) {
    std::vector<LzxFrame> frames;
    for (std::uint32_t start = at; start < std::min(total, at + kGroup); start += kFrame) {
      const std::uint32_t size = std::min(kFrame, total - start);
      std::copy_n(input.begin() + start, size, parser.Append(size, at));
      frames.push_back({start, size, 0, {}});
    }
    parser.FindMatches(frames);
    parser.Parse(frames, 0, frames.size(), repeats, costs, items);
    std::copy_n(frames.back().repeats, 3, repeats);
  }
  return items;
}

std::vector<LzxItem> ParseLazy(const Bytes &input, unsigned window_bits) {
  LzxLazyParser parser(window_bits, kFrame, input.size());
  std::vector<LzxItem> items;
  for (std::uint32_t start = 0; start < input.size(); start += kFrame) {
    const auto size =
        static_cast<std::uint32_t>(std::min<std::size_t>(kFrame, input.size() - start));
    std::copy_n(input.begin() + start, size, parser.Append(size, start));
    parser.Parse(size, items);
  }
  return items;
}

// The costs that fit the lazy parse of `input` best: its own codes'.
LzxCosts LazyCosts(const Bytes &input, unsigned window_bits) {
  const std::vector<LzxItem> lazy = ParseLazy(input, window_bits);
  LzxSymbolCounts counts(MainSymbols(window_bits));
  counts.Add(lazy.data(), lazy.data() + lazy.size());
  return LzxCosts::From(LzxChooseCodes(counts));
}

// What `items` cost under `costs`, in the parsers' 1/16 bits: symbols, and footers as written.
std::uint64_t CostOf(const std::vector<LzxItem> &items, const LzxCosts &costs) {
  std::uint64_t cost = 0;
  for (const LzxItem &item : items) {
    if (item.main < 256) {
      cost += costs.literal[item.main];
      continue;
    }
    cost += costs.match[item.main - 256u];
    if (item.length_symbol != kLzxNoLengthSymbol)
      cost += costs.length[item.length_symbol];
    const unsigned extra = LzxExtraBits((item.main - 256u) >> 3);
    if (costs.use_aligned && extra >= 3)
      cost += (extra - 3) * LzxCosts::kBit + costs.aligned[item.footer & 7];
    else
      cost += extra * LzxCosts::kBit;
  }
  return cost;
}

std::uint32_t LengthOf(const LzxItem &item) {
  if (item.main < 256)
    return 1;
  const unsigned header = (item.main - 256u) % 8;
  return header == 7 ? item.length_symbol + 9u : header + 2u;
}

Bytes Random(std::mt19937 &random, std::size_t n) {
  Bytes b(n);
  for (auto &x : b)
    x = static_cast<std::uint8_t>(random());
  return b;
}

// `period` random bytes, then copied on to `size` bytes, but for one byte in every `gap`, which
// is changed (the next copy repeats the change).
Bytes BrokenCopy(std::mt19937 &random, std::uint32_t period, std::uint32_t gap, std::uint32_t size,
                 std::vector<std::uint32_t> &changed) {
  Bytes b = Random(random, period);
  while (b.size() < size) {
    std::uint8_t byte = b[b.size() - period];
    if ((b.size() - period) % gap == gap - 1) {
      byte = static_cast<std::uint8_t>(byte + 1 + random() % 255);
      changed.push_back(static_cast<std::uint32_t>(b.size()));
    }
    b.push_back(byte);
  }
  return b;
}

// Under the very costs that fit the lazy parse best, the near-optimal parse that weighs every
// offset of every length costs no more than the lazy one: it weighs every match the lazy parse
// could have taken, but for three bytes alike that another three of the same hash hid, which
// random bytes have most of (there it may cost 0.01 % more). (The default cuts its choices for
// speed, so it may cost a little more.)
TEST(LzxOptimalParser, CostsNoMoreThanTheLazyParseUnderTheSameCosts) {
  std::mt19937 random(17);
  std::vector<std::uint32_t> changed;
  const struct {
    const char *name;
    unsigned window_bits;
    Bytes input;
    std::uint64_t slack_per_million;
  } rows[] = {
      {"letters", 15, test::RandomLetters(random, 3 * kFrame + 99, 4), 0},
      {"letters, far window", 21, test::RandomLetters(random, 3 * kFrame + 99, 12), 0},
      {"a broken copy", 17, BrokenCopy(random, 5000, 61, 4 * kFrame, changed), 0},
      {"two groups of runs", 16, BrokenCopy(random, 300, 7, kGroup + 2 * kFrame + 5, changed), 0},
      {"random", 15, Random(random, 2 * kFrame), 100},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    const LzxCosts costs = LazyCosts(row.input, row.window_bits);
    const std::uint64_t lazy = CostOf(ParseLazy(row.input, row.window_bits), costs);
    EXPECT_LE(CostOf(ParseOptimal(row.input, row.window_bits, costs, kLzxNearOptimalMax), costs),
              lazy + lazy * row.slack_per_million / 1000000);
  }
}

// A copy at one distance is coded with that distance once and R0 from then on; a byte that
// breaks it is one literal between two R0 matches ("match, literal, R0 again"), never a new
// distance or a longer detour.
TEST(LzxOptimalParser, ResumesACopyWithR0AfterOneLiteral) {
  const struct {
    std::uint32_t period, gap;
    unsigned window_bits;
  } rows[] = {{3000, 97, 15}, {3000, 9, 15}, {20, 31, 16}, {30000, 400, 21}, {7, 5, 15}};
  for (const auto &row : rows) {
    SCOPED_TRACE("period " + std::to_string(row.period) + ", a byte in " + std::to_string(row.gap) +
                 " changed");
    std::mt19937 random(row.period + row.gap);
    std::vector<std::uint32_t> changed;
    const Bytes input = BrokenCopy(random, row.period, row.gap, 3 * kFrame + 1000, changed);
    const std::vector<LzxItem> items =
        ParseOptimal(input, row.window_bits, LazyCosts(input, row.window_bits));
    std::uint32_t position = 0, literals = 0, new_distances = 0;
    auto next_change = changed.begin();
    for (const LzxItem &item : items) {
      const std::uint32_t length = LengthOf(item);
      if (position >= row.period) {
        // No match fits in a frame's last byte.
        if (item.main < 256 && position % kFrame == kFrame - 1) {
          literals += next_change != changed.end() && *next_change == position;
        } else if (item.main < 256) {
          ++literals;
          EXPECT_TRUE(next_change != changed.end() && *next_change == position)
              << "a literal at " << position << " where the copy goes on";
        } else if ((item.main - 256u) >> 3 != 0) {
          ++new_distances;
        }
      }
      while (next_change != changed.end() && *next_change < position + length)
        ++next_change;
      position += length;
    }
    ASSERT_EQ(position, input.size());
    EXPECT_EQ(literals, changed.size()) << "not every changed byte is one literal";
    EXPECT_LE(new_distances, 1u) << "the copy's distance is sent more than once";
  }
}

} // namespace
