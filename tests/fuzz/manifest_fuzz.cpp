// SPDX-License-Identifier: Zlib
// --manifest on any file: the check that stands in for Windows' own reader, and the edit
// --execution-level makes to a manifest it accepted.
#include <string>

#include "fuzz/fuzz_support.h"
#include "pe/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  using packer::fuzz::Fault;
  const std::string text(reinterpret_cast<const char *>(data), size);
  packer::ManifestFacts facts;
  try {
    facts = packer::CheckManifest(text, "--manifest fuzz.xml");
  } catch (const packer::PackError &e) {
    packer::fuzz::ExpectInputError(e);
    return 0;
  }
  if (text.find("urn:schemas-microsoft-com:asm.v1") == std::string::npos) {
    Fault("a manifest without the assembly namespace was accepted");
  }
  if (facts.level_end == 0) {
    return 0;
  }
  if (facts.level_begin > facts.level_end || facts.level_end > size ||
      text.compare(facts.level_begin, facts.level_end - facts.level_begin, facts.execution_level) !=
          0) {
    Fault("the requested level is not where the check says it is");
  }
  // The edit keeps the manifest one the check accepts, with the new level in place.
  try {
    const std::string edited =
        packer::WithExecutionLevel(text, "requireAdministrator", "--execution-level");
    if (packer::CheckManifest(edited, "edited").execution_level != "requireAdministrator") {
      Fault("the edited manifest requests another level");
    }
  } catch (const packer::PackError &e) {
    // Only an attribute value quoted otherwise than the new one could break it: the value it
    // replaces lies between quotes, and the new one holds none.
    Fault(std::string("an accepted manifest, edited, is refused: ") + e.what());
  }
  return 0;
}
