// SPDX-License-Identifier: Zlib
#include "signing.h"

#include <cstdlib>
#include <fstream>

#include "input_file.h"
#include "native_path.h"
#include "pack_error.h"
#include "signing_platform.h"

namespace packer {

std::string FirstLine(const std::string &path) {
  std::ifstream in(NativePath(path));
  std::string line;
  std::getline(in, line);
  if (!line.empty() && line.back() == '\r') {
    line.pop_back();
  }
  return line;
}

namespace {

const char *SourceDateEpoch() {
  const char *epoch = std::getenv("SOURCE_DATE_EPOCH");
  return epoch != nullptr && *epoch != '\0' ? epoch : nullptr;
}

std::string SigningTime(const std::string &cert, const std::string &log) {
  if (const char *epoch = SourceDateEpoch(); epoch != nullptr) {
    const std::string text = epoch;
    if (text.size() > 11 || text.find_first_not_of("0123456789") != std::string::npos) {
      throw PackError("SOURCE_DATE_EPOCH is not a number of seconds: " + text);
    }
    return std::to_string(std::stoll(text));
  }
  return std::to_string(CertificateStart(cert, log));
}

} // namespace

void CheckSigning(const std::string &cert, const std::string &key) {
  CheckInputFile(cert, "--sign-cert");
  CheckInputFile(key, "--sign-key");
  CheckSigningTools(SourceDateEpoch() == nullptr);
}

void SignImage(const std::string &in, const std::string &out, const std::string &cert,
               const std::string &key, const std::string &log) {
  const std::string time = SigningTime(cert, log);
  if (!RunProgram({"osslsigncode", "sign", "-certs", cert, "-key", key, "-h", "sha256", "-time",
                   time, "-in", in, "-out", out},
                  log)) {
    std::string reason = FirstLine(log + ".err");
    if (reason.empty()) {
      reason = FirstLine(log);
    }
    throw PackError("signing failed: " +
                    (reason.empty() ? std::string("osslsigncode gave no reason") : reason));
  }
}

} // namespace packer
