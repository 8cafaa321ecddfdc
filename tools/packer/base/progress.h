// SPDX-License-Identifier: Zlib
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "base/byte_stream.h"

namespace packer {

// One line on stderr, rewritten in place, with the share of a long piece of work done and its
// rate; cleared when the work ends, however it ends. Shown only on a terminal, without --quiet,
// and for work of more than `threshold` bytes: decided by size, never by time, so that when it
// appears is known beforehand.
class Progress {
public:
  Progress(std::string what, std::uint64_t total, std::uint64_t threshold);
  ~Progress();
  Progress(const Progress &) = delete;
  Progress &operator=(const Progress &) = delete;

  void Advance(std::uint64_t bytes);

private:
  void Show(const std::string &line);

  std::string what_;
  std::uint64_t total_;
  std::uint64_t done_ = 0;
  int percent_ = -1;
  bool shown_;
  std::size_t width_ = 0; // of the line on screen, for clearing it
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// A source that advances a progress line by every byte read through it.
class ProgressSource final : public ByteSource {
public:
  ProgressSource(ByteSource &source, Progress &progress) : source_(source), progress_(progress) {}

  std::size_t Read(std::uint8_t *buffer, std::size_t count) override {
    const std::size_t read = source_.Read(buffer, count);
    progress_.Advance(read);
    return read;
  }
  bool Skip(std::uint64_t count) override { return source_.Skip(count); }
  bool Failed() const override { return source_.Failed(); }

private:
  ByteSource &source_;
  Progress &progress_;
};

} // namespace packer
