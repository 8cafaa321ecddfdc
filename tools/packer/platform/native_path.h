// SPDX-License-Identifier: Zlib
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

namespace packer {

// Every path in the packer is UTF-8 text, as the command line gave it; these hand it to the
// system's file calls, which take UTF-16 on Windows, whatever the code page.
std::filesystem::path NativePath(const std::string &path);
std::string Utf8Path(const std::filesystem::path &path);

// std::fopen of a UTF-8 path.
std::FILE *OpenFile(const std::string &path, const char *mode);

#ifdef _WIN32
std::wstring WidePath(const std::string &path);
// The system's one-line text for a Windows error code.
std::string SystemErrorText(unsigned long code);
#endif

// The path of the running packer, for the bare stub beside it.
std::string ProgramPath(const char *argv0);

} // namespace packer
