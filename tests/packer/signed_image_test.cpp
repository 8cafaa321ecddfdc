// SPDX-License-Identifier: Zlib
#include "pe/signed_image.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "base/little_endian.h"

namespace fs = std::filesystem;
using namespace packer;

namespace {

using Bytes = std::vector<std::uint8_t>;

// A PE32+ image's headers as far as a signer touches them, in 509 bytes: not a multiple of 8, so
// that the certificate table needs padding before it.
constexpr std::size_t kImageSize = 509;
constexpr std::size_t kPe = 0x40;
constexpr std::size_t kChecksum = kPe + 24 + 64;
constexpr std::size_t kSecurityEntry = kPe + 24 + 112 + 4 * 8;
constexpr std::size_t kTable = 512;

Bytes Image() {
  Bytes image(kImageSize);
  for (std::size_t i = 0; i < image.size(); ++i) {
    image[i] = static_cast<std::uint8_t>(i * 7 + 1);
  }
  image[0] = 'M';
  image[1] = 'Z';
  Put32(&image[0x3C], kPe);
  Put32(&image[kPe], 0x00004550);
  Put16(&image[kPe + 24], 0x20B);
  Put32(&image[kSecurityEntry], 0);
  Put32(&image[kSecurityEntry + 4], 0);
  return image;
}

// One WIN_CERTIFICATE of `length` bytes in all, padded to 8.
void AddCertificate(Bytes &file, std::uint32_t length, std::uint16_t revision = 0x200,
                    std::uint16_t type = 2) {
  const std::size_t at = file.size();
  file.resize(at + ((length + 7) & ~7u), 0x30);
  Put32(&file[at], length);
  Put16(&file[at + 4], revision);
  Put16(&file[at + 6], type);
}

// `image` signed as a signer signs it: checksum rewritten, padding, the table, its entry.
Bytes Signed(const Bytes &image, std::vector<std::uint32_t> lengths = {100}) {
  Bytes file = image;
  Put32(&file[kChecksum], 0x1234);
  file.resize(kTable, 0);
  for (std::uint32_t length : lengths) {
    AddCertificate(file, length);
  }
  Put32(&file[kSecurityEntry], kTable);
  Put32(&file[kSecurityEntry + 4], static_cast<std::uint32_t>(file.size() - kTable));
  return file;
}

class SignedImageTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir_ =
        fs::temp_directory_path() / ("signed_image_test-" + std::to_string(std::random_device{}()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Write(const std::string &name, const Bytes &bytes) {
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path.string();
  }

  fs::path dir_;
};

// What a signer may return, and what it must not, with the fault each is refused for.
TEST_F(SignedImageTest, AcceptsASignatureAddedAndNothingElse) {
  const Bytes image = Image();
  struct Case {
    const char *name;
    std::function<Bytes()> returned;
    const char *fault; // null: accepted
  };
  const Case cases[] = {
      {"one signature", [&] { return Signed(image); }, nullptr},
      {"two signatures",
       [&] {
         return Signed(image, {100, 61});
       },
       nullptr},
      {"the last entry unpadded",
       [&] {
         Bytes f = Signed(image, {101});
         f.resize(f.size() - 3);
         Put32(&f[kSecurityEntry + 4], static_cast<std::uint32_t>(f.size() - kTable));
         return f;
       },
       nullptr},
      {"a payload byte changed",
       [&] {
         Bytes f = Signed(image);
         f[300] ^= 1;
         return f;
       },
       "it changed the image at byte 300"},
      {"a header byte beside the checksum changed",
       [&] {
         Bytes f = Signed(image);
         f[kChecksum + 4] ^= 1;
         return f;
       },
       "it changed the image at byte"},
      {"the image returned as it was", [&] { return image; }, "it added no signature"},
      {"cut short", [&] { return Bytes(image.begin(), image.begin() + 400); }, "fewer than"},
      {"data after the table",
       [&] {
         Bytes f = Signed(image);
         f.push_back('x');
         return f;
       },
       "data follows its certificate table"},
      {"a table that runs past the end",
       [&] {
         Bytes f = Signed(image);
         Put32(&f[kSecurityEntry + 4], static_cast<std::uint32_t>(f.size()));
         return f;
       },
       "runs past the end"},
      {"padding that is not zero",
       [&] {
         Bytes f = Signed(image);
         f[kImageSize] = 1;
         return f;
       },
       "added more than a signature"},
      {"the table not where the image ended",
       [&] {
         Bytes f = Signed(image);
         f.insert(f.begin() + kTable, 8, 0);
         Put32(&f[kSecurityEntry], kTable + 8);
         return f;
       },
       "added more than a signature"},
      {"an entry that is no Authenticode signature",
       [&] {
         Bytes f = image;
         f.resize(kTable, 0);
         AddCertificate(f, 100, 0x200, 1);
         Put32(&f[kSecurityEntry], kTable);
         Put32(&f[kSecurityEntry + 4], static_cast<std::uint32_t>(f.size() - kTable));
         return f;
       },
       "something other than an Authenticode signature"},
      {"an entry longer than the table",
       [&] {
         Bytes f = Signed(image);
         Put32(&f[kTable], 4096);
         return f;
       },
       "impossible length"},
      {"an empty entry",
       [&] {
         Bytes f = Signed(image);
         Put32(&f[kTable], 8);
         return f;
       },
       "impossible length"},
  };
  const std::string written = Write("image.exe", image);
  for (const Case &c : cases) {
    const std::optional<std::string> fault =
        SignedImageFault(written, Write("returned.exe", c.returned()));
    if (c.fault == nullptr) {
      EXPECT_FALSE(fault) << c.name << ": " << *fault;
    } else {
      ASSERT_TRUE(fault) << c.name;
      EXPECT_NE(fault->find(c.fault), std::string::npos) << c.name << ": " << *fault;
    }
  }
}

} // namespace
