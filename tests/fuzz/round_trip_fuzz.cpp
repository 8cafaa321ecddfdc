// SPDX-License-Identifier: Zlib
// Any bytes as a setup program: compressed into a cabinet, checked by our checker and decoded by
// libmspack. The first byte picks the method (MethodFromByte); the rest is the program.
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  packer::fuzz::RoundTrip(data + 1, size - 1, packer::fuzz::MethodFromByte(data[0]));
  return 0;
}
