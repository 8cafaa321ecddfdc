// SPDX-License-Identifier: Zlib
#include "lzx/lzx_memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

using namespace packer;

namespace {

// Tables on either side of the size from which they are mapped apart: each comes zeroed, keeps
// what is written, and keeps it when it grows, the rest zero.
TEST(LzxTable, ComesZeroedAndGrowsKeepingWhatItHolds) {
  constexpr std::size_t kMiB = std::size_t{1} << 20;
  struct Case {
    std::size_t size, grown; // in 32-bit entries
  };
  const Case cases[] = {{0, 1},
                        {1, 3},
                        {1000, 70000},
                        {kMiB / 4 - 1, kMiB / 4},
                        {kMiB / 4, 3 * kMiB / 4 + 5},
                        {3 * kMiB / 4 + 5, 2 * kMiB}};
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + " entries, grown to " + std::to_string(c.grown));
    LzxTable<std::uint32_t> table(c.size);
    ASSERT_EQ(table.size(), c.size);
    EXPECT_TRUE(std::all_of(table.data(), table.data() + c.size, [](auto v) { return v == 0; }));
    for (std::size_t i = 0; i < c.size; ++i)
      table[i] = static_cast<std::uint32_t>(i * 2654435761u + 1);
    table.Grow(c.grown);
    ASSERT_EQ(table.size(), c.grown);
    for (std::size_t i = 0; i < c.size; ++i)
      ASSERT_EQ(table[i], static_cast<std::uint32_t>(i * 2654435761u + 1)) << "at " << i;
    EXPECT_TRUE(
        std::all_of(table.data() + c.size, table.data() + c.grown, [](auto v) { return v == 0; }));
  }
  // A vector on the allocator grows through both kinds of memory.
  std::vector<std::uint32_t, LzxAllocator<std::uint32_t>> v;
  for (std::uint32_t i = 0; i < kMiB; ++i)
    v.push_back(i);
  EXPECT_EQ(v[kMiB - 1], kMiB - 1);
  EXPECT_EQ(v[12345], 12345u);
}

} // namespace
