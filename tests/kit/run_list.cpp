// SPDX-License-Identifier: Zlib
#include "run_list.h"

#include <windows.h>

namespace kit {

std::wstring Widen(const std::string &utf8) {
  if (utf8.empty()) {
    return {};
  }
  const int count =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(count), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), count);
  return out;
}

std::string Utf8(const std::wstring &text) {
  if (text.empty()) {
    return {};
  }
  const int count = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                        nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(count), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), count,
                      nullptr, nullptr);
  return out;
}

bool ReadRunList(const std::string &text, std::vector<Run> &runs, std::wstring &error) {
  size_t start = 0;
  // A list saved by a Windows editor may begin with a byte-order mark.
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    start = 3;
  }
  unsigned number = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      end = text.size();
    }
    std::string line = text.substr(start, end - start);
    start = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (line.empty() || line[0] == '#') {
      continue;
    }
    const size_t space = line.find(' ');
    const std::string key = line.substr(0, space);
    const std::wstring value = space == std::string::npos ? L"" : Widen(line.substr(space + 1));
    const auto fail = [&](const wchar_t *why) {
      error = L"line " + std::to_wstring(number) + L": " + why + L": " + Widen(line);
      return false;
    };
    if (key == "run") {
      if (value.empty()) {
        return fail(L"a run without a name");
      }
      runs.push_back({});
      runs.back().name = value;
      continue;
    }
    if (runs.empty()) {
      return fail(L"not inside a run");
    }
    Run &run = runs.back();
    if (key == "program") {
      run.program = value;
    } else if (key == "argument") {
      run.arguments.push_back(value);
    } else if (key == "environment") {
      if (value.find(L'=') == std::wstring::npos || value[0] == L'=') {
        return fail(L"not NAME=VALUE");
      }
      run.environment.push_back(value);
    } else if (key == "directory") {
      run.directory = value;
    } else if (key == "lock") {
      run.locks.push_back(value);
    } else if (key == "timeout") {
      unsigned long seconds = 0;
      for (wchar_t c : value) {
        if (c < L'0' || c > L'9' || seconds > 86400) {
          return fail(L"not a number of seconds");
        }
        seconds = seconds * 10 + static_cast<unsigned long>(c - L'0');
      }
      if (value.empty() || seconds == 0 || seconds > 86400) {
        return fail(L"not a number of seconds from 1 to 86400");
      }
      run.timeout_seconds = static_cast<unsigned>(seconds);
    } else if (key == "gtest") {
      run.gtest = true;
    } else {
      return fail(L"unknown key");
    }
  }
  for (const Run &run : runs) {
    if (run.program.empty()) {
      error = L"run " + run.name + L" names no program";
      return false;
    }
  }
  return true;
}

} // namespace kit
