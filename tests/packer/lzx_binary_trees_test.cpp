// SPDX-License-Identifier: Zlib
#include "lzx/lzx_binary_trees.h"

#include "lzx/lzx_format.h"
#include "lzx/lzx_optimal_parser.h"
#include "packer/lzx_match_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

using namespace packer;

namespace {

using test::Bytes;

TEST(LzxBinaryTrees, EachLongerMatchIsRealNoNearerAndTheLastIsTheLongest) {
  std::mt19937 random(15);
  const auto text = [&](std::size_t n, unsigned letters) {
    return test::RandomLetters(random, n, letters);
  };
  struct Case {
    std::string label;
    unsigned window_bits;
    Bytes input;
    std::uint64_t announced; // the stream size the trees are told
  };
  Bytes run(3000, 0x41); // matches reach the longest length and the frame's end
  Bytes far = text(32768, 200);
  far.insert(far.end(), far.begin(), far.begin() + 200); // at the window's edge and beyond
  const std::vector<Case> cases = {
      {"two letters", 15, text(6000, 2), 6000},
      {"four letters", 16, text(8000, 4), 8000},
      {"one byte value", 15, run, 3000},
      {"a run at the window's edge", 15, far, far.size()},
      {"announced as 1 byte", 15, text(5000, 3), 1},
  };
  // An unbounded search: nothing cut short, so the last match is the longest there is.
  const LzxTreeSearch search{
      .max_depth = 1u << 30, .nice_length = kLzxMaxMatch, .max_matches_kept = kLzxMaxMatch};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    const auto size = static_cast<std::uint32_t>(c.input.size());
    LzxBinaryTrees trees(c.window_bits, size, c.announced, search);
    std::copy(c.input.begin(), c.input.end(), trees.Append(size, 0));
    // One frame for all, so that only the stream's end limits a match.
    trees.FindMatches({LzxFrame{0, size, 0, {}}});
    const std::uint32_t max_distance = LzxMaxDistance(c.window_bits);
    std::size_t found = 0, threes = 0, found_threes = 0;
    // Positions inside a match of the nice length are only added to the trees.
    std::uint32_t covered = 0;
    for (std::uint32_t p = 0; p < size; ++p) {
      if (p < covered) {
        ASSERT_EQ(trees.begin(p), trees.end(p)) << "at " << p;
        continue;
      }
      std::uint32_t shorter = 0, nearer = 0;
      for (const auto *m = trees.begin(p); m != trees.end(p); ++m, ++found) {
        const std::uint32_t length = LzxBinaryTrees::Length(*m);
        const std::uint32_t distance = LzxBinaryTrees::Distance(*m);
        ASSERT_GT(length, shorter) << "at " << p;
        ASSERT_GE(distance, nearer) << "at " << p;
        ASSERT_TRUE(distance >= 1 && distance <= p && distance <= max_distance) << "at " << p;
        ASSERT_LE(p + length, size);
        ASSERT_TRUE(std::equal(c.input.begin() + p, c.input.begin() + p + length,
                               c.input.begin() + (p - distance)))
            << "at " << p << ": no match of " << length << " at " << distance;
        shorter = length, nearer = distance;
      }
      // Three bytes alike come from a table that keeps the newest of each hash, so another three
      // bytes of the same hash may hide them; four and more are found without fail.
      const std::uint32_t longest =
          test::LongestByHand(c.input, p, std::min(kLzxMaxMatch, size - p), max_distance);
      if (longest == 3) {
        ++threes;
        found_threes += shorter == 3 ? 1 : 0;
      } else {
        ASSERT_EQ(shorter < 3 ? 0 : shorter, longest) << "at " << p;
      }
      if (shorter >= search.nice_length)
        covered = p + shorter;
    }
    EXPECT_GT(found, 0u);
    // Most are found all the same; those missed lie far back, where a newer three bytes of the
    // same hash took their place.
    EXPECT_GE(found_threes * 10, threes * 6) << found_threes << " of " << threes;
  }
}

// The encoder finds a group's matches before the next group's bytes have come; a match the end of
// the bytes at hand cut short must not order the trees as if the strings were equal, or later
// searches report matches that are not there.
TEST(LzxBinaryTrees, MatchesStayRealWhenTheBytesComeInPieces) {
  std::mt19937 random(31);
  struct Case {
    std::string label;
    unsigned letters;
    std::uint32_t piece;
    LzxTreeSearch search;
  };
  const LzxTreeSearch unbounded{
      .max_depth = 1u << 30, .nice_length = kLzxMaxMatch, .max_matches_kept = kLzxMaxMatch};
  const LzxTreeSearch default_search = kLzxNearOptimal.search;
  const std::vector<Case> cases = {
      {"two letters, pieces of 1000", 2, 1000, unbounded},
      {"three letters, pieces of 300", 3, 300, unbounded},
      {"two letters, pieces of 4096, the default search", 2, 4096, default_search},
      {"four letters, pieces of 200, the default search", 4, 200, default_search},
  };
  constexpr std::uint32_t kSize = 60000;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    const Bytes input = test::RandomLetters(random, kSize, c.letters);
    LzxBinaryTrees trees(17, c.piece, kSize, c.search);
    std::size_t found = 0;
    for (std::uint32_t start = 0; start < kSize; start += c.piece) {
      const std::uint32_t size = std::min(c.piece, kSize - start);
      std::copy_n(input.begin() + start, size, trees.Append(size, 0));
      trees.FindMatches({LzxFrame{start, size, 0, {}}});
      for (std::uint32_t p = start; p < start + size; ++p)
        for (const auto *m = trees.begin(p); m != trees.end(p); ++m, ++found) {
          const std::uint32_t length = LzxBinaryTrees::Length(*m);
          const std::uint32_t distance = LzxBinaryTrees::Distance(*m);
          ASSERT_TRUE(distance >= 1 && distance <= p && p + length <= start + size) << "at " << p;
          ASSERT_TRUE(std::equal(input.begin() + p, input.begin() + p + length,
                                 input.begin() + (p - distance)))
              << "at " << p << ": no match of " << length << " at " << distance;
        }
    }
    EXPECT_GT(found, 0u);
  }
}

} // namespace
