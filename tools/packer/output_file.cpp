// SPDX-License-Identifier: Zlib
#include "output_file.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "native_path.h"
#include "pack_error.h"

namespace packer {
namespace fs = std::filesystem;

#ifndef _WIN32
namespace {

// What the signal handler removes: fixed buffers, since it may only make async-signal-safe calls.
constexpr std::size_t kMaxFiles = 8;
constexpr std::size_t kMaxPath = 4096;
char g_directory[kMaxPath];
char g_files[kMaxFiles][kMaxPath];
volatile std::sig_atomic_t g_file_count = 0;

void RemoveStaged() {
  for (std::sig_atomic_t i = 0; i < g_file_count; ++i) {
    unlink(g_files[i]);
  }
  if (g_directory[0] != '\0') {
    rmdir(g_directory);
  }
}

extern "C" void OnSignal(int signal) {
  RemoveStaged();
  _exit(128 + signal);
}

} // namespace

StagingDirectory::StagingDirectory(const std::string &out) {
  const fs::path folder = fs::path(out).parent_path();
  std::string pattern = (folder.empty() ? fs::path(".") : folder) / ".pack-stub.XXXXXX";
  if (pattern.size() >= kMaxPath - 64) {
    throw PackError("-o: the path is too long: " + out);
  }
  if (mkdtemp(pattern.data()) == nullptr) {
    throw PackError("-o: cannot write into " +
                    (folder.empty() ? std::string(".") : folder.string()) + ": " +
                    std::strerror(errno));
  }
  path_ = pattern;
  std::memcpy(g_directory, path_.c_str(), path_.size() + 1);
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    sigaction(signal, &action, nullptr);
  }
}

StagingDirectory::~StagingDirectory() {
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    std::signal(signal, SIG_DFL);
  }
  RemoveStaged();
  g_file_count = 0;
  g_directory[0] = '\0';
}

std::string StagingDirectory::File(const std::string &name) {
  const std::string path = path_ + "/" + name;
  if (g_file_count == kMaxFiles) {
    throw std::logic_error("too many staged files");
  }
  std::memcpy(g_files[g_file_count], path.c_str(), path.size() + 1);
  g_file_count = g_file_count + 1;
  return path;
}

void StagingDirectory::Publish(const std::string &file, const std::string &out) {
  const mode_t mask = umask(0);
  umask(mask);
  if (chmod(file.c_str(), 0777 & ~mask) != 0 || std::rename(file.c_str(), out.c_str()) != 0) {
    throw PackError("cannot write " + out + ": " + std::strerror(errno));
  }
}

std::FILE *OpenStaged(const std::string &path) { return std::fopen(path.c_str(), "wb"); }

int CloseStaged(std::FILE *file) { return std::fclose(file); }

#endif

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
  if (fs::is_directory(path, error)) {
    throw PackError("-o: is a directory: " + out);
  }
  if (!fs::exists(path, error)) {
    return;
  }
  for (const std::string &input : inputs) {
    if (fs::equivalent(path, NativePath(input), error)) {
      throw PackError("-o: would overwrite its own input " + input);
    }
  }
}

} // namespace packer
