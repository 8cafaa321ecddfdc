// SPDX-License-Identifier: Zlib
#include "lzx/huffman_code.h"

#include <algorithm>

namespace packer {
namespace {

// The symbols with a nonzero count by (count, symbol), so that ties always break the same way.
std::vector<std::uint32_t> SortedLeaves(const std::vector<std::uint32_t> &counts) {
  std::vector<std::uint32_t> leaves;
  for (std::uint32_t s = 0; s < counts.size(); ++s)
    if (counts[s] != 0)
      leaves.push_back(s);
  std::stable_sort(leaves.begin(), leaves.end(),
                   [&](std::uint32_t a, std::uint32_t b) { return counts[a] < counts[b]; });
  return leaves;
}

// Unlimited Huffman lengths of the symbols with a nonzero count, by the two-queue method over
// the sorted leaves.
std::vector<std::uint8_t> PlainLengths(const std::vector<std::uint32_t> &counts) {
  const std::vector<std::uint32_t> leaves = SortedLeaves(counts);
  const std::size_t n = leaves.size();
  // Nodes 0..n-1 are the leaves in sorted order; n.. the merged ones, made in order of weight.
  std::vector<std::uint64_t> weight(2 * n - 1);
  std::vector<std::size_t> parent(2 * n - 1, 0);
  for (std::size_t i = 0; i < n; ++i)
    weight[i] = counts[leaves[i]];
  std::size_t next_leaf = 0, next_node = n, made = n;
  const auto take = [&]() {
    if (next_leaf < n && (next_node == made || weight[next_leaf] <= weight[next_node]))
      return next_leaf++;
    return next_node++;
  };
  while (made < 2 * n - 1) {
    const std::size_t a = take(), b = take();
    weight[made] = weight[a] + weight[b];
    parent[a] = parent[b] = made;
    ++made;
  }
  std::vector<std::uint32_t> depth(2 * n - 1, 0);
  for (std::size_t i = 2 * n - 1; i-- > 0;)
    if (i != 2 * n - 2)
      depth[i] = depth[parent[i]] + 1;
  std::vector<std::uint8_t> lengths(counts.size(), 0);
  for (std::size_t i = 0; i < n; ++i)
    lengths[leaves[i]] = static_cast<std::uint8_t>(std::min<std::uint32_t>(depth[i], 255));
  return lengths;
}

// The best lengths none longer than `limit`, by package-merge: each level of the code is a list
// of the leaves merged with packages of pairs from the level below, and the cheapest 2n - 2
// items of the top list say how often each leaf is counted, which is its length.
std::vector<std::uint8_t> LimitedLengths(const std::vector<std::uint32_t> &counts, unsigned limit) {
  const std::vector<std::uint32_t> leaves = SortedLeaves(counts);
  struct Item {
    std::uint64_t weight;
    bool leaf;
  };
  std::vector<std::vector<Item>> levels(limit); // levels[0]: the deepest, leaves alone
  for (std::uint32_t s : leaves)
    levels[0].push_back({counts[s], true});
  for (unsigned level = 1; level < limit; ++level) {
    const std::vector<Item> &below = levels[level - 1];
    std::vector<Item> &list = levels[level];
    std::size_t leaf = 0, pair = 0;
    while (leaf < leaves.size() || pair + 1 < below.size()) {
      const bool take_leaf = pair + 1 >= below.size() ||
                             (leaf < leaves.size() &&
                              counts[leaves[leaf]] <= below[pair].weight + below[pair + 1].weight);
      if (take_leaf) {
        list.push_back({counts[leaves[leaf++]], true});
      } else {
        list.push_back({below[pair].weight + below[pair + 1].weight, false});
        pair += 2;
      }
    }
  }
  std::vector<std::uint8_t> lengths(counts.size(), 0);
  std::size_t chosen = 2 * leaves.size() - 2;
  for (unsigned level = limit; level-- > 0;) {
    std::size_t leaf_count = 0, packages = 0;
    for (std::size_t i = 0; i < chosen; ++i)
      (levels[level][i].leaf ? leaf_count : packages) += 1;
    for (std::size_t i = 0; i < leaf_count; ++i)
      ++lengths[leaves[i]];
    chosen = 2 * packages;
  }
  return lengths;
}

} // namespace

std::vector<std::uint8_t> HuffmanLengths(const std::vector<std::uint32_t> &counts, unsigned limit) {
  std::vector<std::uint32_t> work = counts;
  auto used = std::count_if(work.begin(), work.end(), [](std::uint32_t c) { return c != 0; });
  for (std::size_t s = 0; s < work.size() && used < 2; ++s)
    if (work[s] == 0)
      work[s] = 1, ++used;
  std::vector<std::uint8_t> lengths = PlainLengths(work);
  if (*std::max_element(lengths.begin(), lengths.end()) <= limit)
    return lengths;
  return LimitedLengths(work, limit);
}

std::vector<std::uint16_t> CanonicalCodes(const std::vector<std::uint8_t> &lengths) {
  std::uint32_t count[18] = {};
  for (auto l : lengths)
    ++count[l];
  count[0] = 0;
  std::uint32_t next[18] = {};
  std::uint32_t code = 0;
  for (unsigned bits = 1; bits < 18; ++bits) {
    code = (code + count[bits - 1]) << 1;
    next[bits] = code;
  }
  std::vector<std::uint16_t> codes(lengths.size(), 0);
  for (std::size_t s = 0; s < lengths.size(); ++s)
    if (lengths[s] != 0)
      codes[s] = static_cast<std::uint16_t>(next[lengths[s]]++);
  return codes;
}

} // namespace packer
