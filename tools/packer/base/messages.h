// SPDX-License-Identifier: Zlib
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace packer {

// Text for the user, UTF-8 like every text in the packer. A Windows console takes it as UTF-16
// (WriteConsoleW), which shows every character whatever the console's code page; a file, a pipe
// and a Unix terminal get the bytes as they are.
void Print(std::FILE *stream, const std::string &text);

// Whether `stream` (stdout or stderr) is a terminal or a console.
bool IsTerminal(std::FILE *stream);

// --quiet: notes and warnings are not shown, nor progress; errors always are.
void SetQuiet(bool quiet);
bool Quiet();

// One line on stderr each: "pack-stub: note: ...", "pack-stub: warning: ...", "pack-stub: ...".
void Note(const std::string &text);
// Under --strict a warning ends the pack as an error would (every one is raised before OUT is
// published).
void SetStrict(bool strict);
void Warn(const std::string &text);
void Error(const std::string &text);

// Text from the input (a resource name, a cabinet's file name) as a message shows it: control
// characters as \xNN, so that every message stays one line.
std::string Printable(std::string_view text);

// printf's formatting into a string, for text that Print then shows.
std::string Formatted(const char *format, ...) __attribute__((format(gnu_printf, 1, 2)));

} // namespace packer
