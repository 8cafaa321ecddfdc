// SPDX-License-Identifier: Zlib
#pragma once

#include "cli/options.h"

namespace packer {

// pack-stub -o OUT.exe ...: the bare stub with the payload the options give, written to OUT only
// when every step has succeeded. `argv0` finds the default bare stub beside the program. Returns
// the exit status; a failure throws PackError.
int Pack(const Options &o, const char *argv0);

} // namespace packer
