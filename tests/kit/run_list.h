// SPDX-License-Identifier: Zlib
// The kit's list of runs: which test program to start, with what, and for how long.
#pragma once

#include <string>
#include <vector>

namespace kit {

struct Run {
  std::wstring name;
  std::wstring program;   // relative to the kit, or absolute
  std::wstring directory; // the working directory; empty: the program's folder
  std::vector<std::wstring> arguments;
  std::vector<std::wstring> environment; // NAME=VALUE, added to the runner's own
  std::vector<std::wstring> locks;       // shared state, for the reader: runs never overlap here
  unsigned timeout_seconds = 0;          // 0: the runner's default
  bool gtest = false;                    // reads the program's own XML report
};

// Reads the UTF-8 list ("run NAME" starts a run; "program", "argument", "environment",
// "directory", "lock", "timeout", "gtest" lines describe it; "#" starts a comment). On a
// malformed list returns false with the line at fault in error.
bool ReadRunList(const std::string &text, std::vector<Run> &runs, std::wstring &error);

std::wstring Widen(const std::string &utf8);
std::string Utf8(const std::wstring &text);

} // namespace kit
