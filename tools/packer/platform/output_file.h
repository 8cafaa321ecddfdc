// SPDX-License-Identifier: Zlib
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace packer {

// A private folder beside OUT that holds everything written before OUT appears (the image, the
// cabinet, the signed image), so that OUT is never seen half-written and an interrupted or
// failed run leaves nothing: the folder goes when this does, and when SIGINT, SIGTERM or
// SIGHUP ends the packer.
class StagingDirectory {
public:
  explicit StagingDirectory(const std::string &out);
  ~StagingDirectory();
  StagingDirectory(const StagingDirectory &) = delete;
  StagingDirectory &operator=(const StagingDirectory &) = delete;

  // The path of a file in the folder; at most a few names are used.
  std::string File(const std::string &name);
  // Moves `file` to `out`, with the permissions a new file gets under the umask.
  void Publish(const std::string &file, const std::string &out);

private:
  std::string path_;
};

// Opens a file of the staging folder for writing, and closes it. On Windows an interrupt closes
// it too, since a file open there keeps its folder from being removed.
std::FILE *OpenStaged(const std::string &path);
int CloseStaged(std::FILE *file);

// Refuses an OUT that cannot be written: a missing folder, one of the inputs, or anything but a
// regular file or a symbolic link (which is replaced, not followed): a directory, FIFO, device
// or socket is left as it is.
void CheckOutput(const std::string &out, const std::vector<std::string> &inputs);

// Refuses OUT when it is a directory, FIFO, device or socket, which RefusedKind names ("a FIFO";
// null for a regular file, a symbolic link, or nothing there). Publish checks once more, just
// before OUT is replaced.
void RefuseOutputKind(const std::string &out);
const char *RefusedKind(const std::string &out);

// The program running for the staging folder (the signer, a process id or a Windows process
// handle), 0 for none. It runs without the terminal, which an interrupt therefore does not
// reach: the packer ends it before it removes the staged files.
void SetStagedHelper(std::intptr_t process);

} // namespace packer
