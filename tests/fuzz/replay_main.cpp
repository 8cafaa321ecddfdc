// SPDX-License-Identifier: Zlib
// A fuzz target without the fuzzer: feeds every file named, or every file in the folders named,
// to the target once, so that its corpus runs as a test in every build.
//   TARGET_replay PATH...
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

namespace {

int Replay(const std::filesystem::path &file) {
  std::ifstream in(file, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  if (!in.eof() && in.fail()) {
    std::fprintf(stderr, "cannot read %s\n", file.c_str());
    return 1;
  }
  std::fprintf(stderr, "%s\n", file.c_str());
  // A copy of its own, so that a read past the end is caught as it is under the fuzzer: in the
  // sanitizer build (tools/packer's sanitize preset runs these replays with AddressSanitizer).
  // The default build's replays have no sanitizer and catch only crashes and failed checks.
  const std::vector<std::uint8_t> input(bytes.begin(), bytes.end());
  LLVMFuzzerTestOneInput(input.data(), input.size());
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  std::vector<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i) {
    if (std::filesystem::is_directory(argv[i])) {
      for (const auto &entry : std::filesystem::recursive_directory_iterator(argv[i])) {
        if (entry.is_regular_file()) {
          files.push_back(entry.path());
        }
      }
    } else {
      files.push_back(argv[i]);
    }
  }
  if (files.empty()) {
    std::fprintf(stderr, "usage: %s FILE-OR-FOLDER... (with at least one input)\n", argv[0]);
    return 2;
  }
  std::sort(files.begin(), files.end());
  int failed = 0;
  for (const auto &file : files) {
    failed |= Replay(file);
  }
  std::fprintf(stderr, "%zu inputs replayed\n", files.size());
  return failed;
}
