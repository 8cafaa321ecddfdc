// SPDX-License-Identifier: Zlib
#include "fuzz/fuzz_support.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>

#include "base/byte_stream.h"
#include "base/messages.h"
#include "fuzz/mspack_memory.h"

namespace packer::fuzz {

void Fault(const std::string &what) {
  std::fprintf(stderr, "fault: %s\n", what.c_str());
  std::abort();
}

void ExpectInputError(const PackError &error) {
  const std::string text = error.what();
  if (error.status != 1 || text.empty() || text.find_first_of("\r\n") != std::string::npos) {
    Fault("not a one-line error of status 1 (status " + std::to_string(error.status) +
          "): " + text);
  }
}

void SilenceOutput() {
  SetQuiet(true);
  if (std::freopen("/dev/null", "w", stdout) == nullptr) {
    Fault("cannot send stdout to /dev/null");
  }
}

MemoryFile::MemoryFile(const std::uint8_t *data, std::size_t size)
    : fd_(memfd_create("fuzz-input", 0)) {
  if (fd_ < 0) {
    Fault("memfd_create failed");
  }
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = write(fd_, data + done, size - done);
    if (n <= 0) {
      Fault("cannot write the input to its memfd");
    }
    done += static_cast<std::size_t>(n);
  }
  path_ = "/proc/self/fd/" + std::to_string(fd_);
}

MemoryFile::~MemoryFile() { close(fd_); }

namespace {
std::vector<std::string> scratch_folders;
void RemoveScratchFolders() {
  for (const std::string &folder : scratch_folders) {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }
}
} // namespace

std::string ScratchFolder() {
  const char *tmp = std::getenv("TMPDIR");
  std::string name =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/pack-stub-fuzz.XXXXXX";
  if (mkdtemp(name.data()) == nullptr) {
    Fault("cannot make a scratch folder");
  }
  if (scratch_folders.empty()) {
    std::atexit(RemoveScratchFolders);
  }
  scratch_folders.push_back(name);
  return name;
}

std::vector<std::string> FolderListing(const std::string &folder) {
  std::vector<std::string> names;
  for (const auto &entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

CabinetMethod MethodFromByte(std::uint8_t selector) {
  constexpr CabinetMethod kMethods[] = {
      {CabinetCompression::kMszip, 0},
      {CabinetCompression::kLzx, 15},
      {CabinetCompression::kLzx, 18},
      {CabinetCompression::kLzx, 21},
      {CabinetCompression::kNone, 0},
      {CabinetCompression::kLzx, 15, LzxParse::kFast},
      {CabinetCompression::kLzx, 18, LzxParse::kFast},
      {CabinetCompression::kLzx, 21, LzxParse::kFast},
      {CabinetCompression::kLzx, 16, LzxParse::kMax},
  };
  return kMethods[selector % std::size(kMethods)];
}

void RoundTrip(const std::uint8_t *data, std::size_t size, CabinetMethod method) {
  const std::string how = method.compression == CabinetCompression::kMszip ? std::string("MSZIP")
                          : method.compression == CabinetCompression::kNone
                              ? std::string("stored")
                              : "LZX " + std::to_string(method.window_bits) +
                                    (method.lzx_parse == LzxParse::kFast  ? " (fast)"
                                     : method.lzx_parse == LzxParse::kMax ? " (max)"
                                                                          : "");
  MemorySource input(data, size);
  MemorySink cabinet;
  try {
    WriteSetupCabinet(input, size, cabinet, "--setup", method);
  } catch (const PackError &e) {
    Fault(how + ": the cabinet writer refused readable input: " + e.what());
  }
  try {
    MemorySource written(cabinet.bytes());
    const CabinetSummary s = InspectCabinet(written, cabinet.bytes().size(), "the cabinet");
    if (s.compression != method.compression || s.file_size != size || s.file_name != "setup.exe" ||
        (method.compression == CabinetCompression::kLzx && s.window_bits != method.window_bits)) {
      Fault(how + ": the checker reads another cabinet than the one written");
    }
  } catch (const PackError &e) {
    Fault(how + ": the checker refuses the cabinet the writer made: " + e.what());
  }
  std::vector<std::uint8_t> decoded;
  std::string error;
  if (!ExtractWithLibmspack(cabinet.bytes(), decoded, error)) {
    Fault(how + ": " + error);
  }
  if (decoded.size() != size || !std::equal(decoded.begin(), decoded.end(), data)) {
    const auto differ = std::mismatch(decoded.begin(), decoded.end(), data, data + size);
    Fault(how + ": libmspack decodes " + std::to_string(decoded.size()) + " bytes for " +
          std::to_string(size) + ", first difference at " +
          std::to_string(differ.first - decoded.begin()));
  }
}

} // namespace packer::fuzz
