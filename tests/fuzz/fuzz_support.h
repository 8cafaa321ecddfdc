// SPDX-License-Identifier: Zlib
// tests/fuzz/: libFuzzer targets over the packer's parsers and codecs, each also built without the
// fuzzer into a program that replays its corpus (replay_main.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/pack_error.h"
#include "cabinet/cabinet.h"

namespace packer::fuzz {

// What the packer must do with input it cannot use: a one-line PackError with status 1. Anything
// else (another status, several lines, no text) aborts, which the fuzzer reports as a finding.
void ExpectInputError(const PackError &error);

// Aborts with `what` on stderr: a property of the packer that the input broke.
[[noreturn]] void Fault(const std::string &what);

// Messages for the user are not what a target checks: stdout goes to /dev/null and notes and
// warnings are not shown. Errors still reach stderr through ExpectInputError's callers.
void SilenceOutput();

// Bytes in an anonymous file (memfd) whose path opens like any regular file, for the readers
// that take a path (InputFile) and the parts that open it again by that path.
class MemoryFile {
public:
  MemoryFile(const std::uint8_t *data, std::size_t size);
  ~MemoryFile();
  MemoryFile(const MemoryFile &) = delete;
  MemoryFile &operator=(const MemoryFile &) = delete;

  const std::string &path() const { return path_; }

private:
  int fd_;
  std::string path_;
};

// A fresh folder under the temporary folder, removed with everything in it at exit.
std::string ScratchFolder();

// The files in `folder` by name, sorted.
std::vector<std::string> FolderListing(const std::string &folder);

// Compresses `data` into a cabinet by `method` (WriteSetupCabinet over memory), checks the cabinet
// with InspectCabinet, and decodes it with libmspack: the decoded bytes must be `data`.
void RoundTrip(const std::uint8_t *data, std::size_t size, CabinetMethod method);

// The ways the packer puts a setup program into a cabinet, by `selector` modulo 8: MSZIP, LZX at
// windows 15, 18 and 21 with each parse, stored.
CabinetMethod MethodFromByte(std::uint8_t selector);

} // namespace packer::fuzz
