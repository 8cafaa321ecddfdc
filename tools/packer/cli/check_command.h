// SPDX-License-Identifier: Zlib
#pragma once

#include <string>

namespace packer {

// pack-stub --check: lists a stub's resources and says whether it would extract. Returns the exit
// status; a stub that would not extract throws PackError naming the code it would end with.
int Check(const std::string &path);

} // namespace packer
