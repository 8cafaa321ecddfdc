// SPDX-License-Identifier: Zlib
#pragma once

#include <optional>
#include <string>

namespace packer {

// What is wrong with `returned` as a signed copy of the image `written`, or nothing when it is
// that image byte for byte but for the checksum and the security directory entry, with one or
// more Authenticode certificates (PKCS #7 signed data) in a table at its end: the table starts
// where the image ended, aligned to 8 bytes with zeros, and nothing follows it.
std::optional<std::string> SignedImageFault(const std::string &written,
                                            const std::string &returned);

} // namespace packer
