// SPDX-License-Identifier: Zlib
#include "lzx/lzx_blocks.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

using namespace packer;

namespace {

constexpr unsigned kMainSymbols = 256 + 8 * 50;

// Frames of literals: 'a' for few kinds of byte, 'b' for as few others, 'r' for all 256 alike.
void AddFrames(const std::string &kinds, std::vector<LzxFrame> &frames,
               std::vector<LzxItem> &items) {
  std::mt19937 random(7);
  for (char kind : kinds) {
    const auto start = static_cast<std::uint32_t>(frames.size() * kLzxFrameSize);
    for (std::uint32_t i = 0; i < kLzxFrameSize; ++i) {
      const unsigned byte = kind == 'r' ? random() % 256 : (kind == 'a' ? 0 : 128) + random() % 8;
      items.push_back({static_cast<std::uint16_t>(byte), kLzxNoLengthSymbol, 0});
    }
    frames.push_back({start, kLzxFrameSize, items.size(), {1, 1, 1}});
  }
}

// Blocks end where the symbols' frequencies change enough to pay for new trees, and nowhere
// else; a frame of bytes that do not compress stands alone (to be stored).
TEST(LzxPlanBlocks, EndBlocksWhereTheStatisticsChange) {
  const struct {
    const char *frames;
    std::vector<std::size_t> ends;
  } rows[] = {
      {"a", {1}},         {"aaaa", {4}},        {"aabb", {2, 4}}, {"abab", {1, 2, 3, 4}},
      {"ara", {1, 2, 3}}, {"aarbb", {2, 3, 5}},
  };
  const LzxPreviousTrees none{std::vector<std::uint8_t>(kMainSymbols, 0),
                              std::vector<std::uint8_t>(kLzxLengthSymbols, 0)};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.frames);
    std::vector<LzxFrame> frames;
    std::vector<LzxItem> items;
    AddFrames(row.frames, frames, items);
    EXPECT_EQ(LzxPlanBlocks(frames, items, kMainSymbols, none), row.ends);
  }
}

} // namespace
