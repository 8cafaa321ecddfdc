// SPDX-License-Identifier: Zlib
// A --resource TYPE or NAME as the command line gives it: digits as an integer identifier, else a
// name converted from UTF-8 to UTF-16 and upper-cased as the stub looks it up.
#include <algorithm>
#include <string>

#include "fuzz/fuzz_support.h"
#include "pe/resource_id.h"

namespace {

void CheckName(const std::string &text, const packer::ResourceId &id) {
  using packer::fuzz::Fault;
  if (id.text.empty() || id.text.size() > 65535 || text[0] == '#') {
    Fault("a name that should have been refused passes");
  }
  // Strict UTF-8 converts both ways without loss.
  if (packer::Utf16ToUtf8(id.text) != text) {
    Fault("the name does not convert back to the text given");
  }
  const std::u16string upper = packer::UpcaseName(id.text);
  // Within ASCII only a-z have another case.
  for (std::size_t i = 0; i < upper.size() && upper.size() == id.text.size(); ++i) {
    const char16_t unit = id.text[i];
    if (unit < 0x80 && upper[i] != (unit >= u'a' && unit <= u'z' ? unit - 32 : unit)) {
      Fault("upper-casing maps an ASCII character wrongly");
    }
  }
  if (upper.size() != id.text.size()) {
    Fault("upper-casing changes the name's length");
  }
  if (id.Display().empty()) {
    Fault("a name with nothing to show");
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  try {
    const packer::ResourceId id = packer::ParseResourceId(text, "--resource NAME");
    if (!id.is_integer) {
      CheckName(text, id);
    } else if (id.integer == 0 ||
               !std::all_of(text.begin(), text.end(),
                            [](char c) { return c >= '0' && c <= '9'; }) ||
               std::stoul(text) != id.integer) {
      packer::fuzz::Fault("an integer identifier that is not the digits given");
    }
  } catch (const packer::PackError &e) {
    packer::fuzz::ExpectInputError(e);
  }
  return 0;
}
