// SPDX-License-Identifier: Zlib
#include "platform/output_file.h"

#include <filesystem>

#include "base/pack_error.h"
#include "platform/native_path.h"

namespace packer {
namespace fs = std::filesystem;

void RefuseOutputKind(const std::string &out) {
  if (const char *kind = RefusedKind(out); kind != nullptr) {
    throw PackError("-o: " + out + " is " + kind + ", not a regular file; it is left as it is");
  }
}

void CheckOutput(const std::string &out, const std::vector<std::string> &inputs) {
  if (out.empty()) {
    throw PackError("-o needs a file name", 2);
  }
  std::error_code error;
  const fs::path path = NativePath(out);
  const fs::path folder = path.parent_path();
  if (!folder.empty() && !fs::is_directory(folder, error)) {
    throw PackError("-o: no such directory: " + Utf8Path(folder));
  }
  RefuseOutputKind(out);
  // A symbolic link is replaced, so what it points to is safe even when it is an input.
  if (fs::is_symlink(path, error) || !fs::exists(path, error)) {
    return;
  }
  for (const std::string &input : inputs) {
    if (fs::equivalent(path, NativePath(input), error)) {
      throw PackError("-o: would overwrite its own input " + input);
    }
  }
}

} // namespace packer
