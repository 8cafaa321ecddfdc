// SPDX-License-Identifier: Zlib
#pragma once

#include <string>

namespace packer {

// pack-stub --check: lists a stub's resources and signatures and says whether it would extract;
// with `json`, as one JSON object. Returns the exit status; a stub that would not extract, or
// whose signatures are not sound, throws PackError naming the fault.
int Check(const std::string &path, bool json);

// `text` as a JSON string literal; bytes that are not well-formed UTF-8 become U+FFFD.
std::string JsonString(const std::string &text);

} // namespace packer
