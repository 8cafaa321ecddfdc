// SPDX-License-Identifier: Zlib
#include "lzx/lzx_hash_chains.h"

#include "lzx/lzx_format.h"
#include "packer/lzx_match_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

using namespace packer;

namespace {

using test::Bytes;

TEST(LzxHashChains, EachLongerMatchIsRealAndFurtherAndTheLastIsTheLongest) {
  std::mt19937 random(16);
  const auto text = [&](std::size_t n, unsigned letters) {
    return test::RandomLetters(random, n, letters);
  };
  struct Case {
    std::string label;
    unsigned window_bits;
    Bytes input;
    std::uint64_t announced; // the stream size the chains are told
  };
  Bytes far = text(32768, 200);
  far.insert(far.end(), far.begin(), far.begin() + 200);
  const std::vector<Case> cases = {
      {"two letters", 15, text(5000, 2), 5000},
      {"one byte value", 15, Bytes(2000, 0x41), 2000},
      {"a run at the window's edge", 15, far, far.size()},
      {"announced as 1 byte", 15, text(5000, 3), 1},
  };
  // An unbounded search, so that the last match is the longest there is.
  const LzxChainSearch search{
      .max_chain = 1u << 30, .good_length = kLzxMaxMatch, .nice_length = kLzxMaxMatch};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    const auto size = static_cast<std::uint32_t>(c.input.size());
    LzxHashChains chains(c.window_bits, size, c.announced, search);
    std::copy(c.input.begin(), c.input.end(), chains.Append(size, 0));
    const std::uint32_t max_distance = LzxMaxDistance(c.window_bits);
    for (std::uint32_t p = 0; p < size; ++p) {
      chains.InsertUpTo(p);
      const std::uint32_t limit = std::min(kLzxMaxMatch, size - p);
      std::uint32_t shorter = 2, nearer = 0;
      chains.ForEachLonger(p, limit, [&](std::uint32_t length, std::uint32_t distance) {
        EXPECT_GT(length, shorter);
        EXPECT_GT(distance, nearer);
        EXPECT_TRUE(distance >= 1 && distance <= p && distance <= max_distance);
        EXPECT_TRUE(length <= limit && std::equal(c.input.begin() + p, c.input.begin() + p + length,
                                                  c.input.begin() + (p - distance)));
        shorter = length, nearer = distance;
      });
      const std::uint32_t longest = test::LongestByHand(c.input, p, limit, max_distance);
      ASSERT_EQ(shorter, std::max(longest, 2u)) << "at " << p;
    }
  }
}

} // namespace
