// SPDX-License-Identifier: Zlib
#include "base/messages.h"

#include "base/pack_error.h"

#include <cstdarg>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace packer {
namespace {

bool g_quiet = false;
bool g_strict = false;

#ifdef _WIN32
HANDLE ConsoleOf(std::FILE *stream) {
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  DWORD mode = 0;
  return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) ? handle : nullptr;
}
#endif

} // namespace

#ifdef _WIN32
bool IsTerminal(std::FILE *stream) { return ConsoleOf(stream) != nullptr; }

void Print(std::FILE *stream, const std::string &text) {
  const HANDLE console = ConsoleOf(stream);
  const int size = static_cast<int>(text.size());
  const int units = console != nullptr && size != 0
                        ? MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0)
                        : 0;
  if (units == 0) {
    std::fwrite(text.data(), 1, text.size(), stream);
    return;
  }
  std::wstring wide(units, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), units);
  std::fflush(stream);
  DWORD written = 0;
  WriteConsoleW(console, wide.data(), static_cast<DWORD>(units), &written, nullptr);
}
#else
bool IsTerminal(std::FILE *stream) { return isatty(fileno(stream)) == 1; }

void Print(std::FILE *stream, const std::string &text) {
  std::fwrite(text.data(), 1, text.size(), stream);
}
#endif

void SetQuiet(bool quiet) { g_quiet = quiet; }
bool Quiet() { return g_quiet; }

void Note(const std::string &text) {
  if (!g_quiet) {
    Print(stderr, "pack-stub: note: " + text + "\n");
  }
}

void SetStrict(bool strict) { g_strict = strict; }

void Warn(const std::string &text) {
  if (g_strict) {
    throw PackError("warning: " + text + " (--strict fails the pack on every warning)");
  }
  if (!g_quiet) {
    Print(stderr, "pack-stub: warning: " + text + "\n");
  }
}

void Error(const std::string &text) { Print(stderr, "pack-stub: " + text + "\n"); }

std::string Printable(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    out += byte < 0x20 || byte == 0x7F ? Formatted("\\x%02X", byte) : std::string(1, c);
  }
  return out;
}

std::string Formatted(const char *format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  std::va_list again;
  va_copy(again, arguments);
  std::string text(std::vsnprintf(nullptr, 0, format, arguments), '\0');
  va_end(arguments);
  std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  return text;
}

} // namespace packer
