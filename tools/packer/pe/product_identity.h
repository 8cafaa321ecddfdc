// SPDX-License-Identifier: Zlib
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "pe/icon_file.h"
#include "pe/resources.h"
#include "pe/version_block.h"
#include "platform/input_file.h"

namespace packer {

// The product's identity given at pack time; what is not given stays as the bare stub has it.
struct ProductIdentity {
  std::optional<VersionInfo> version; // the whole version block, built from the options alone
  std::optional<std::string> icon;    // an .ico file
  std::optional<std::string> execution_level;
  std::optional<std::string> manifest; // a manifest file, replacing the stub's whole
};

// Replaces the bare stub's version block, icon group and images, and manifest in `entries` (in
// directory order) with what `identity` gives. A file that cannot be used is refused (status 1).
void ApplyIdentity(const ProductIdentity &identity, std::vector<ResourceEntry> &entries);

// What a stub shows of itself, for --check: each read from the first resource of its kind, and
// `*_damaged` when that resource is there but cannot be read.
struct IdentityReport {
  std::optional<VersionInfo> version;
  bool version_damaged = false;
  std::vector<IconImage> icons; // the first group's entries
  bool icons_damaged = false;
  std::optional<std::string> execution_level;
  bool manifest_damaged = false;
};
IdentityReport InspectIdentity(const InputFile &file, const std::vector<ResourceEntry> &entries);

} // namespace packer
