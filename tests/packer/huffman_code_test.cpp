// SPDX-License-Identifier: Zlib
#include "lzx/huffman_code.h"

#include <gtest/gtest.h>

#include <string>

using namespace packer;

namespace {

std::vector<std::uint32_t> Fibonacci(std::size_t n) {
  std::vector<std::uint32_t> counts = {1, 1};
  while (counts.size() < n) {
    counts.push_back(counts[counts.size() - 1] + counts[counts.size() - 2]);
  }
  return counts;
}

// Lengths that a decoder building lookup tables accepts: a complete code (the Kraft sum is
// exactly 1), none over the limit, every used symbol coded; no more frequent symbol with a longer
// code than a rarer one, also where the limit bites; and canonical codes that are prefix-free.
TEST(HuffmanLengths, GiveACompleteCodeWithinTheLimit) {
  struct Case {
    std::string label;
    std::vector<std::uint32_t> counts;
    unsigned limit;
    std::vector<std::uint8_t> expected; // empty: checked by the rules alone
  };
  const Case cases[] = {
      {"one symbol used: the first unused one is added", {0, 0, 9, 0}, 16, {1, 0, 1, 0}},
      {"none used", {0, 0, 0}, 16, {1, 1, 0}},
      {"all equal, a power of two", std::vector<std::uint32_t>(8, 5), 16, {3, 3, 3, 3, 3, 3, 3, 3}},
      {"all equal, not a power of two", std::vector<std::uint32_t>(5, 7), 16, {}},
      {"Fibonacci, unlimited", Fibonacci(12), 16, {}},
      {"Fibonacci beyond the main tree's limit", Fibonacci(24), 16, {}},
      {"Fibonacci beyond the aligned tree's limit", Fibonacci(8), 4, {}},
      {"the main tree's size, skewed",
       [] {
         std::vector<std::uint32_t> c(656);
         for (std::size_t s = 0; s < c.size(); ++s)
           c[s] = s % 7 == 0 ? 0 : static_cast<std::uint32_t>(1 + (s * s) % 1000);
         return c;
       }(),
       16,
       {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    const std::vector<std::uint8_t> lengths = HuffmanLengths(c.counts, c.limit);
    ASSERT_EQ(lengths.size(), c.counts.size());
    if (!c.expected.empty()) {
      EXPECT_EQ(lengths, c.expected);
    }
    std::uint64_t kraft = 0; // in units of 2^-limit
    for (std::size_t s = 0; s < lengths.size(); ++s) {
      EXPECT_LE(lengths[s], c.limit);
      EXPECT_TRUE(c.counts[s] == 0 || lengths[s] != 0) << "symbol " << s;
      kraft += lengths[s] == 0 ? 0 : std::uint64_t{1} << (c.limit - lengths[s]);
    }
    EXPECT_EQ(kraft, std::uint64_t{1} << c.limit);
    for (std::size_t s = 0; s < lengths.size(); ++s)
      for (std::size_t t = 0; t < lengths.size(); ++t)
        if (c.counts[s] > c.counts[t] && c.counts[t] != 0) {
          EXPECT_LE(lengths[s], lengths[t]) << "symbol " << s << " against " << t;
        }

    const std::vector<std::uint16_t> codes = CanonicalCodes(lengths);
    for (std::size_t s = 0; s < lengths.size(); ++s) {
      for (std::size_t t = 0; t < lengths.size(); ++t) {
        if (s != t && lengths[s] != 0 && lengths[t] != 0 && lengths[s] <= lengths[t]) {
          EXPECT_NE(codes[t] >> (lengths[t] - lengths[s]), codes[s])
              << "code " << s << " begins code " << t;
        }
      }
    }
  }
}

} // namespace
