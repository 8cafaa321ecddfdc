// SPDX-License-Identifier: Zlib
// pack-stub: edits a bare stub into a packed one (cli/options.cpp has its usage).
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "base/messages.h"
#include "base/pack_error.h"
#include "cli/check_command.h"
#include "cli/options.h"
#include "cli/pack_command.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

int PackStub(int argc, char **argv) {
  try {
    const std::optional<packer::Options> options = packer::ParseOptions(argc, argv);
    if (!options) {
      return 0;
    }
    return options->check ? packer::Check(*options->check, options->json)
                          : packer::Pack(*options, argv[0]);
  } catch (const packer::PackError &e) {
    packer::Error(e.what());
    return e.status;
  } catch (const std::exception &e) {
    packer::Error(e.what());
    return 1;
  }
}

} // namespace

#ifdef _WIN32
// The system holds the command line in UTF-16; the packer's paths and texts are UTF-8, so that
// any file name works whatever the code page.
int wmain(int argc, wchar_t **wide_argv) {
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) {
    // A lone surrogate has no UTF-8 form: refused rather than turned into another name.
    const int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide_argv[i], -1, nullptr,
                                         0, nullptr, nullptr);
    if (size == 0) {
      packer::Error("argument " + std::to_string(i) + " is not valid UTF-16");
      return 1;
    }
    std::string text(size - 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide_argv[i], -1, text.data(), size, nullptr, nullptr);
    arguments.push_back(std::move(text));
  }
  std::vector<char *> argv;
  for (std::string &argument : arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  return PackStub(argc, argv.data());
}
#else
int main(int argc, char **argv) { return PackStub(argc, argv); }
#endif
