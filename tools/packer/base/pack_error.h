// SPDX-License-Identifier: Zlib
// base/: what every part of the packer shares: its errors, its messages to the user, byte streams
// and little-endian fields.
#pragma once

#include <stdexcept>
#include <string>

namespace packer {

// A one-line reason the packer stops; status 1 for bad input, 2 for a usage error.
struct PackError : std::runtime_error {
  int status;
  explicit PackError(const std::string &message, int exit_status = 1)
      : std::runtime_error(message), status(exit_status) {}
};

} // namespace packer
