// SPDX-License-Identifier: Zlib
// The cabinet checker as --setup-cab uses it, over the cabinet's bytes in memory.
#include "base/byte_stream.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  packer::MemorySource source(data, size);
  try {
    const packer::CabinetSummary s = packer::InspectCabinet(source, size, "--setup-cab");
    if (s.compression == packer::CabinetCompression::kLzx &&
        (s.window_bits < 15 || s.window_bits > 21)) {
      packer::fuzz::Fault("an LZX window outside 2^15..2^21 passes");
    }
  } catch (const packer::PackError &e) {
    packer::fuzz::ExpectInputError(e);
  }
  return 0;
}
