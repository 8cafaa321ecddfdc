// SPDX-License-Identifier: Zlib
// cli/: the command line of pack-stub: its options, read and checked as a whole before anything
// is done, and the pack and check commands they lead to.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "cabinet/cabinet.h"
#include "lzx/lzx_format.h"
#include "pe/product_identity.h"

namespace packer {

// LZX with the largest window: the setup program is smallest (a quarter smaller than with MSZIP
// over bench/lzx-corpus.sh), and cabinet.dll expands it nearly as fast.
constexpr CabinetMethod kDefaultCabinetMethod{CabinetCompression::kLzx, kLzxMaxWindowBits};

struct Options {
  std::optional<std::string> out, stub, archive, setup, setup_cab, cab_compression, patch,
      previous_version, rcdata_file, sign_cert, sign_key, sign_pass_file, sign_pkcs11_module,
      sign_command, check, file_version, product_version, icon, execution_level, manifest;
  std::vector<std::array<std::string, 3>> resources;
  std::vector<std::string> sign_timestamps;
  std::vector<std::string> version_info; // KEY=VALUE, in the order given
  bool no_layout_check = false;
  bool strict = false;
  bool quiet = false;
  bool json = false;                                    // --check --json
  CabinetMethod cabinet_method = kDefaultCabinetMethod; // from --cab-compression
  ProductIdentity identity; // from the version, icon and manifest options
};

// The options, or none when --help or --version has been answered.
// A usage error throws PackError with status 2.
std::optional<Options> ParseOptions(int argc, char **argv);

} // namespace packer
