// SPDX-License-Identifier: Zlib
#include "cli/check_command.h"

#include <vector>

#include "base/messages.h"
#include "base/pack_error.h"
#include "layout/layout_check.h"
#include "pe/pe_image.h"
#include "pe/resources.h"
#include "platform/input_file.h"

namespace packer {

int Check(const std::string &path) {
  const InputFile file(path, "--check");
  const PeImage image = ReadPeImage(file);
  const std::vector<ResourceEntry> entries = ReadResources(file, image);
  std::string listing = Formatted("%-8s %-24s %8s %12s\n", "TYPE", "NAME", "LANGUAGE", "SIZE");
  for (const ResourceEntry &e : entries) {
    listing +=
        Formatted("%-8s %-24s %8u %12llu\n", e.type.Display().c_str(), e.name.Display().c_str(),
                  e.language, static_cast<unsigned long long>(e.size));
  }
  Print(stdout, listing);
  PayloadLayout layout = JudgeLayout(entries);
  std::string cabinet;
  if (!layout.fault && !layout.patch) {
    layout.fault = JudgeCabinet(*layout.setup, &cabinet);
  }
  if (layout.fault) {
    throw PackError(path + ": " + layout.fault->Message());
  }
  WarnAboutPayload(layout, entries);
  if (!cabinet.empty()) {
    Print(stdout, "cabinet: " + cabinet + "\n");
  }
  Print(stdout, Formatted("%s extracts (a %s stub); it runs from folders of up to %zu characters\n",
                          path.c_str(), layout.patch ? "patch" : "full", LongestFolder(layout)));
  return 0;
}

} // namespace packer
