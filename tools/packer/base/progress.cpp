// SPDX-License-Identifier: Zlib
#include "base/progress.h"

#include <cstdio>

#include "base/messages.h"

namespace packer {

Progress::Progress(std::string what, std::uint64_t total, std::uint64_t threshold)
    : what_(std::move(what)), total_(total),
      shown_(total > threshold && !Quiet() && IsTerminal(stderr)) {
  Advance(0);
}

Progress::~Progress() {
  if (width_ != 0) {
    Show("");
  }
}

void Progress::Advance(std::uint64_t bytes) {
  done_ += bytes;
  if (!shown_) {
    return;
  }
  const int percent = static_cast<int>(done_ * 100 / total_);
  if (percent == percent_) {
    return;
  }
  percent_ = percent;
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start_;
  char line[160];
  if (elapsed.count() > 0 && done_ != 0) {
    std::snprintf(line, sizeof line, "pack-stub: %s: %d%%, %.1f MB/s", what_.c_str(), percent,
                  static_cast<double>(done_) / 1e6 / elapsed.count());
  } else {
    std::snprintf(line, sizeof line, "pack-stub: %s: %d%%", what_.c_str(), percent);
  }
  Show(line);
}

// Overwrites what is on the line with spaces rather than an escape sequence, which not every
// Windows console reads.
void Progress::Show(const std::string &line) {
  std::string text = "\r" + line;
  if (line.size() < width_) {
    text += std::string(width_ - line.size(), ' ') + "\r" + line;
  }
  width_ = line.size();
  Print(stderr, text);
  std::fflush(stderr);
}

} // namespace packer
