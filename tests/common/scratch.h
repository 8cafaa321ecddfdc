// SPDX-License-Identifier: Zlib
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// A fresh directory under the Wine prefix's temporary folder, removed with everything inside
// when the test ends.
class ScratchDirectory {
public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory &) = delete;
  ScratchDirectory &operator=(const ScratchDirectory &) = delete;

  // The directory's path with its final backslash.
  const std::wstring &path() const { return path_; }
  std::wstring operator/(const std::wstring &name) const { return path_ + name; }

private:
  std::wstring path_;
};

// Removes a file or a directory tree, read-only items included; missing paths are fine.
void RemoveTree(const std::wstring &path);

bool PathExists(const std::wstring &path);
bool IsDirectory(const std::wstring &path);
// Writes content as it stands (any bytes), replacing the file.
void WriteTextFile(const std::wstring &path, const std::string &content);
// The whole file, or "<unreadable>" when it cannot be opened.
std::string ReadFileBytes(const std::wstring &path);

// The names inside a directory, without "." and "..", sorted.
std::vector<std::wstring> ListDirectory(const std::wstring &directory);

// The directory of the running test program, with its final backslash.
std::wstring ProgramDirectory();

// Creates directory and every missing parent.
void CreateDirectories(const std::wstring &directory);

// "QV_", five upper-case hexadecimal digits and ".tmp": the name of a run's work directory.
bool IsWorkDirectoryName(const std::wstring &name);

std::string Narrow(const std::wstring &text);
// As a program that records text in UTF-8 writes it (a path of the kit's folder may be any).
std::string Utf8(const std::wstring &text);
// The characters' UTF-16LE bytes, as files and registry values store them.
std::string Utf16Bytes(const std::wstring &text);
