// SPDX-License-Identifier: Zlib
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace packer {

inline constexpr std::uint16_t kRtManifest = 24;

// What the packer reads from a manifest it has checked.
struct ManifestFacts {
  // The level attribute of requestedExecutionLevel as written, and where its value lies in the
  // text; empty with `level_end` 0 when there is none.
  std::string execution_level;
  std::size_t level_begin = 0, level_end = 0;
};

// Windows refuses to start a program whose manifest it cannot read, so a manifest must be UTF-8,
// well-formed XML with no document type and no entities but the five predefined ones, and have
// an `assembly` root in the urn:schemas-microsoft-com:asm.v1 namespace. Throws (status 1)
// naming `what` and the first fault.
ManifestFacts CheckManifest(std::string_view text, const std::string &what);

// The three levels a manifest may request.
bool IsExecutionLevel(std::string_view level);

// `text` (a manifest CheckManifest accepts) requesting `level` instead; one without a requested
// level is refused naming `what`.
std::string WithExecutionLevel(std::string_view text, std::string_view level,
                               const std::string &what);

} // namespace packer
