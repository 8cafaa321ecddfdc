// SPDX-License-Identifier: Zlib
#pragma once

namespace packer {

// How LZX finds its matches: a near-optimal parse (the default), the same parse working harder
// for the smallest output, or a greedy one with a one-step lazy choice, several times faster.
enum class LzxParse { kNearOptimal, kMax, kFast };

} // namespace packer
