// SPDX-License-Identifier: Zlib
// The staging folder on POSIX systems: mkdtemp beside OUT, removed by a signal handler too, and
// published with rename, which replaces OUT (or a symbolic link at OUT) in one step.
#include "platform/output_file.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/pack_error.h"

namespace packer {
namespace fs = std::filesystem;

namespace {

// What the signal handler removes: fixed buffers, since it may only make async-signal-safe calls.
constexpr std::size_t kMaxFiles = 8;
constexpr std::size_t kMaxPath = 4096;
char g_directory[kMaxPath];
char g_files[kMaxFiles][kMaxPath];
volatile std::sig_atomic_t g_file_count = 0;
volatile std::sig_atomic_t g_helper = 0;

void RemoveStaged() {
  for (std::sig_atomic_t i = 0; i < g_file_count; ++i) {
    unlink(g_files[i]);
  }
  if (g_directory[0] != '\0') {
    rmdir(g_directory);
  }
}

extern "C" void OnSignal(int signal) {
  if (const pid_t helper = g_helper; helper != 0) {
    kill(-helper, SIGKILL); // its process group: what a signing command started goes too
    waitpid(helper, nullptr, 0);
  }
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

void SetStagedHelper(std::intptr_t process) { g_helper = static_cast<std::sig_atomic_t>(process); }

// As lstat sees it: a symbolic link is what is replaced, whatever it points to.
const char *RefusedKind(const std::string &out) {
  struct stat status;
  if (lstat(out.c_str(), &status) != 0 || S_ISREG(status.st_mode) || S_ISLNK(status.st_mode)) {
    return nullptr;
  }
  if (S_ISDIR(status.st_mode)) {
    return "a directory";
  }
  if (S_ISFIFO(status.st_mode)) {
    return "a FIFO";
  }
  if (S_ISSOCK(status.st_mode)) {
    return "a socket";
  }
  return S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode) ? "a device"
                                                            : "an unknown kind of file";
}

void StagingDirectory::Publish(const std::string &file, const std::string &out) {
  RefuseOutputKind(out);
  const mode_t mask = umask(0);
  umask(mask);
  if (chmod(file.c_str(), 0777 & ~mask) != 0 || std::rename(file.c_str(), out.c_str()) != 0) {
    throw PackError("cannot write " + out + ": " + std::strerror(errno));
  }
}

std::FILE *OpenStaged(const std::string &path) { return std::fopen(path.c_str(), "wb"); }

int CloseStaged(std::FILE *file) { return std::fclose(file); }

} // namespace packer
