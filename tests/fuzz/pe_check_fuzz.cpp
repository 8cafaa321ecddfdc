// SPDX-License-Identifier: Zlib
// --check on any file: the PE image reader, the resource tree and the whole judgement of the
// payload layout and the cabinet in it.
#include "cli/check_command.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static const bool silenced = (packer::fuzz::SilenceOutput(), true);
  (void)silenced;
  const packer::fuzz::MemoryFile file(data, size);
  try {
    packer::Check(file.path(), false);
  } catch (const packer::PackError &e) {
    packer::fuzz::ExpectInputError(e);
  }
  return 0;
}
