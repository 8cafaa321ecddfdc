// SPDX-License-Identifier: Zlib
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "common/scratch.h"

// A stub mapped for reading its resources only, the way the shell and tools map it; the stub's
// own code reads the same resources through the handle.
class ResourceModule {
public:
  explicit ResourceModule(const std::wstring &path)
      : module_(LoadLibraryExW(path.c_str(), nullptr,
                               LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)) {
    EXPECT_NE(module_, nullptr) << Narrow(path) << ": " << GetLastError();
  }
  ~ResourceModule() {
    if (module_ != nullptr) {
      FreeLibrary(module_);
    }
  }
  ResourceModule(const ResourceModule &) = delete;
  ResourceModule &operator=(const ResourceModule &) = delete;

  HMODULE module() const { return module_; }

protected:
  HMODULE module_;
};
