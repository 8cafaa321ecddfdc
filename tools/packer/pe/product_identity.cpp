// SPDX-License-Identifier: Zlib
#include "pe/product_identity.h"

#include <algorithm>

#include "base/pack_error.h"
#include "pe/manifest.h"

namespace packer {
namespace {

// Larger than any icon or manifest a program carries; it bounds what is read into memory from a
// file given on the command line or a stub being checked.
constexpr std::uint64_t kMaxIconFile = std::uint64_t{64} << 20;
constexpr std::uint64_t kMaxManifest = std::uint64_t{1} << 20;

std::vector<std::uint8_t> ReadWhole(const std::string &path, const std::string &what,
                                    std::uint64_t limit, const char *kind) {
  const InputFile file(path, what);
  if (file.size() > limit) {
    throw PackError(what + " " + path + ": too large for " + kind + " (" +
                    std::to_string(file.size()) + " bytes)");
  }
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(file.size()));
  file.ReadAt(0, bytes.data(), bytes.size());
  return bytes;
}

bool OfType(const ResourceEntry &e, std::uint16_t type) {
  return e.type == ResourceId::Integer(type);
}

ResourceEntry InMemory(std::uint16_t type, ResourceId name, std::uint16_t language,
                       std::vector<std::uint8_t> bytes, const std::string &origin) {
  ResourceEntry entry;
  entry.type = ResourceId::Integer(type);
  entry.name = std::move(name);
  entry.language = language;
  entry.size = bytes.size();
  entry.bytes = std::move(bytes);
  entry.origin = origin;
  return entry;
}

void RemoveType(std::vector<ResourceEntry> &entries, std::uint16_t type) {
  entries.erase(std::remove_if(entries.begin(), entries.end(),
                               [&](const ResourceEntry &e) { return OfType(e, type); }),
                entries.end());
}

// The first resource of `type`, or none.
const ResourceEntry *FirstOf(const std::vector<ResourceEntry> &entries, std::uint16_t type) {
  const auto found = std::find_if(entries.begin(), entries.end(),
                                  [&](const ResourceEntry &e) { return OfType(e, type); });
  return found == entries.end() ? nullptr : &*found;
}

void ApplyVersion(const VersionInfo &info, std::vector<ResourceEntry> &entries) {
  const ResourceEntry *old = FirstOf(entries, kRtVersion);
  const ResourceId name = old ? old->name : ResourceId::Integer(1);
  const std::uint16_t language = old ? old->language : kLanguageUsEnglish;
  RemoveType(entries, kRtVersion);
  entries.push_back(
      InMemory(kRtVersion, name, language, WriteVersionBlock(info), "the version options"));
}

// The icon's images become RT_ICON 1 to n, replacing every image and group of the stub; the
// group keeps the stub's group's name, which is the program's icon to Explorer.
void ApplyIcon(const std::string &path, std::vector<ResourceEntry> &entries) {
  const std::vector<IconImage> images =
      ReadIconFile(ReadWhole(path, "--icon", kMaxIconFile, "an icon"), "--icon " + path);
  const ResourceEntry *old = FirstOf(entries, kRtGroupIcon);
  const ResourceId name = old ? old->name : ResourceId::Integer(1);
  const std::uint16_t language = old ? old->language : kLanguageUsEnglish;
  RemoveType(entries, kRtGroupIcon);
  RemoveType(entries, kRtIcon);
  entries.push_back(InMemory(kRtGroupIcon, name, language, WriteIconGroup(images, 1), "--icon"));
  for (std::size_t i = 0; i < images.size(); ++i) {
    entries.push_back(InMemory(kRtIcon, ResourceId::Integer(static_cast<std::uint16_t>(i + 1)),
                               language, images[i].data, "--icon"));
  }
}

void ApplyManifest(const ProductIdentity &identity, std::vector<ResourceEntry> &entries) {
  auto old = std::find_if(entries.begin(), entries.end(),
                          [](const ResourceEntry &e) { return OfType(e, kRtManifest); });
  std::string text;
  std::string origin;
  if (identity.manifest) {
    const std::vector<std::uint8_t> bytes =
        ReadWhole(*identity.manifest, "--manifest", kMaxManifest, "a manifest");
    text.assign(bytes.begin(), bytes.end());
    CheckManifest(text, "--manifest " + *identity.manifest);
    origin = "--manifest";
  } else {
    if (old == entries.end()) {
      throw PackError("--execution-level: the bare stub has no manifest to change");
    }
    text.assign(old->bytes.begin(), old->bytes.end());
    text = WithExecutionLevel(text, *identity.execution_level, "--execution-level: the bare stub");
    origin = "--execution-level";
  }
  const ResourceId name = old != entries.end() ? old->name : ResourceId::Integer(1);
  const std::uint16_t language = old != entries.end() ? old->language : kLanguageUsEnglish;
  RemoveType(entries, kRtManifest);
  entries.push_back(InMemory(kRtManifest, name, language,
                             std::vector<std::uint8_t>(text.begin(), text.end()), origin));
}

std::optional<std::vector<std::uint8_t>> Load(const InputFile &file, const ResourceEntry &entry,
                                              std::uint64_t limit) {
  if (entry.size > limit) {
    return std::nullopt;
  }
  ResourceEntry copy = entry;
  LoadIntoMemory(copy, file);
  return std::move(copy.bytes);
}

} // namespace

void ApplyIdentity(const ProductIdentity &identity, std::vector<ResourceEntry> &entries) {
  if (identity.version) {
    ApplyVersion(*identity.version, entries);
  }
  if (identity.icon) {
    ApplyIcon(*identity.icon, entries);
  }
  if (identity.manifest || identity.execution_level) {
    ApplyManifest(identity, entries);
  }
  SortEntries(entries);
}

IdentityReport InspectIdentity(const InputFile &file, const std::vector<ResourceEntry> &entries) {
  IdentityReport report;
  if (const ResourceEntry *version = FirstOf(entries, kRtVersion)) {
    const auto bytes = Load(file, *version, 0xFFFF);
    report.version = bytes ? ReadVersionBlock(*bytes) : std::nullopt;
    report.version_damaged = !report.version;
  }
  if (const ResourceEntry *group = FirstOf(entries, kRtGroupIcon)) {
    const auto bytes = Load(file, *group, 6 + 14 * 0xFFFF);
    const auto icons = bytes ? ReadIconGroup(*bytes) : std::nullopt;
    report.icons_damaged = !icons;
    if (icons) {
      report.icons = *icons;
    }
  }
  if (const ResourceEntry *manifest = FirstOf(entries, kRtManifest)) {
    const auto bytes = Load(file, *manifest, kMaxManifest);
    try {
      if (!bytes) {
        throw PackError("too large");
      }
      const ManifestFacts facts =
          CheckManifest(std::string(bytes->begin(), bytes->end()), "the manifest");
      if (facts.level_end != 0) {
        report.execution_level = facts.execution_level;
      }
    } catch (const PackError &) {
      report.manifest_damaged = true;
    }
  }
  return report;
}

} // namespace packer
