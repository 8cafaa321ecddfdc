// SPDX-License-Identifier: Zlib
// What signing asks of Windows, for real under Wine: running a program found on PATH with its
// arguments intact and its output in the logs, and reading a certificate's start of validity.
#include "platform/signing_platform.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <wincrypt.h>

#include <filesystem>
#include <string>

#include "base/pack_error.h"
#include "common/scratch.h"
#include "platform/native_path.h"

namespace packer {
namespace {

// Made with openssl req -x509 (P-256); openssl x509 -startdate says Dec 9 14:24:55 2026 GMT.
constexpr char kCertificate[] = R"(-----BEGIN CERTIFICATE-----
MIIBljCCAT2gAwIBAgIUB+tpOpXcq2mVrAe+BsoNY48DYx8wCgYIKoZIzj0EAwIw
ITEfMB0GA1UEAwwWcGFjay1zdHViIHNpZ25pbmcgdGVzdDAeFw0yNjEyMDkxNDI0
NTVaFw0yNjEyMTAxNDI0NTVaMCExHzAdBgNVBAMMFnBhY2stc3R1YiBzaWduaW5n
IHRlc3QwWTATBgcqhkjOPQIBBggqhkjOPQMBBwNCAAQtnpfm5yO5ArTjhITryeII
pJv3Tzt2QbRFcdx+/WuyEGenjrMKLYXLqv2yE+rFUN7TKYHRfMX7wBnW5pSyQ1Tp
o1MwUTAdBgNVHQ4EFgQUxhg7eZj5EusMb74TEm4PDYozW88wHwYDVR0jBBgwFoAU
xhg7eZj5EusMb74TEm4PDYozW88wDwYDVR0TAQH/BAUwAwEB/zAKBggqhkjOPQQD
AgNHADBEAiBzdyaUzmqscKMmyjCsQnhnalLWmNuIwY2xPhIilOaBLwIgEHqtPAp8
4RfiYy+6uQtN4EeQ6u4N5J02wRFfZWw829g=
-----END CERTIFICATE-----
)";
constexpr long long kCertificateStart = 1796826295;

std::string Utf8(const std::wstring &path) { return Utf8Path(std::filesystem::path(path)); }

// The packer itself is the program on PATH: it echoes an argument it does not know on stderr
// and exits 2, and prints its usage on stdout and exits 0. Each run has a log of its own: Wine
// releases an exited program's output file a moment late.
TEST(SigningWindowsTest, RunProgramPassesArgumentsIntactAndReportsTheExitStatus) {
  const ScratchDirectory scratch;
  SetEnvironmentVariableW(L"PATH", (ProgramDirectory() + L"windows").c_str());

  // Spaces, quotes, backslashes before a quote and at the end: every rule of the quoting.
  const std::string odd = R"(two words "quoted" a\"b c\\d e\)";
  const std::string refused = Utf8(scratch / L"refused");
  EXPECT_EQ(RunProgram({"pack-stub", odd}, refused), RunOutcome::kFailed);
  EXPECT_EQ(FirstLine(refused + ".err"), "pack-stub: unknown argument: " + odd + " (see --help)");

  const std::string help = Utf8(scratch / L"help");
  EXPECT_EQ(RunProgram({"pack-stub", "--help"}, help), RunOutcome::kExitedZero);
  EXPECT_EQ(FirstLine(help).substr(0, 16), "Usage: pack-stub");

  EXPECT_EQ(RunProgram({"no-such-program-anywhere", "--help"}, Utf8(scratch / L"missing")),
            RunOutcome::kFailed);
}

TEST(SigningWindowsTest, CertificateStartReadsPemAndDerAndRefusesWhatIsNoCertificate) {
  const ScratchDirectory scratch;
  const std::string log = Utf8(scratch / L"log");
  WriteTextFile(scratch / L"cert.pem", kCertificate);
  EXPECT_EQ(CertificateStart(Utf8(scratch / L"cert.pem"), log), kCertificateStart);
  // The same certificate as DER: the PEM body decoded.
  DWORD size = 0;
  CryptStringToBinaryA(kCertificate, 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr,
                       nullptr);
  std::string der(size, '\0');
  ASSERT_TRUE(CryptStringToBinaryA(kCertificate, 0, CRYPT_STRING_BASE64HEADER,
                                   reinterpret_cast<BYTE *>(der.data()), &size, nullptr, nullptr));
  WriteTextFile(scratch / L"cert.der", der);
  EXPECT_EQ(CertificateStart(Utf8(scratch / L"cert.der"), log), kCertificateStart);

  const std::string pem = kCertificate;
  for (const std::string &bytes :
       {std::string("not a certificate\n"), pem.substr(0, 200) + "\n-----END CERTIFICATE-----\n",
        der.substr(0, der.size() - 1)}) {
    WriteTextFile(scratch / L"bad", bytes);
    const std::string path = Utf8(scratch / L"bad");
    try {
      CertificateStart(path, log);
      ADD_FAILURE() << "accepted: " << bytes;
    } catch (const PackError &e) {
      EXPECT_EQ(std::string(e.what()), "--sign-cert: no certificate in " + path);
    }
  }
}

} // namespace
} // namespace packer
