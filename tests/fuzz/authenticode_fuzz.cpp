// SPDX-License-Identifier: Zlib
// The Authenticode reader on any file: the certificate table, the PKCS#7 signatures in it (nested
// ones and time stamps too), the certificates they name and the digest recomputed from the file.
#include "fuzz/fuzz_support.h"
#include "pe/authenticode.h"
#include "pe/pe_image.h"
#include "platform/input_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static const bool silenced = (packer::fuzz::SilenceOutput(), true);
  (void)silenced;
  const packer::fuzz::MemoryFile file(data, size);
  try {
    const packer::InputFile input(file.path(), "--check");
    const packer::PeImage image = packer::ReadPeImage(input);
    const packer::AuthenticodeReport report = packer::InspectAuthenticode(input, image);
    // What --check reports must be what the gate decides on, and a fault must show as one line.
    const std::string fault = report.FirstFault();
    if (fault.find('\n') != std::string::npos) {
      packer::fuzz::Fault("a fault of several lines: " + fault);
    }
    if (report.content_digest.size() != 64) {
      packer::fuzz::Fault("a content digest that is not SHA-256");
    }
    for (const packer::SignatureReport &signature : report.signatures) {
      if (report.Sound() && !(signature.digest_matches && signature.signature_verifies)) {
        packer::fuzz::Fault("a sound report with a signature that does not hold");
      }
      for (const std::string *text : {&signature.subject, &signature.issuer,
                                      &signature.timestamp_authority, &signature.fault}) {
        if (text->find('\n') != std::string::npos) {
          packer::fuzz::Fault("a name or fault of several lines: " + *text);
        }
      }
    }
  } catch (const packer::PackError &e) {
    packer::fuzz::ExpectInputError(e);
  }
  return 0;
}
