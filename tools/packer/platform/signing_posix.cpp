// SPDX-License-Identifier: Zlib
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/pack_error.h"
#include "platform/output_file.h"
#include "platform/signing_platform.h"

extern char **environ;

namespace packer {
namespace {

bool OnPath(const std::string &program) {
  const char *path = std::getenv("PATH");
  std::string folders = path != nullptr ? path : "";
  for (std::size_t start = 0; start <= folders.size();) {
    const std::size_t end = std::min(folders.find(':', start), folders.size());
    const std::string folder = folders.substr(start, end - start);
    if (!folder.empty() && access((folder + "/" + program).c_str(), X_OK) == 0) {
      return true;
    }
    start = end + 1;
  }
  return false;
}

} // namespace

// In a session of its own and with no input, the program has no terminal to ask on: OpenSSL asks
// for a pass phrase on the controlling terminal, whatever standard input is, and would wait. The
// session is also a process group, which ends as a whole when the time is up: a shell's children
// with it.
RunOutcome RunProgram(const std::vector<std::string> &arguments, const std::string &log,
                      SigningDeadline deadline) {
  std::vector<char *> argv;
  for (const std::string &a : arguments) {
    argv.push_back(const_cast<char *>(a.c_str()));
  }
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, (log + ".err").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  pid_t pid = 0;
  const int error = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    return RunOutcome::kFailed;
  }
  SetStagedHelper(pid);
  int status = 0;
  RunOutcome outcome = RunOutcome::kFailed;
  for (;;) {
    const pid_t ended = waitpid(pid, &status, WNOHANG);
    if (ended == pid) {
      outcome = WIFEXITED(status) && WEXITSTATUS(status) == 0 ? RunOutcome::kExitedZero
                                                              : RunOutcome::kFailed;
      break;
    }
    if (ended < 0 && errno != EINTR) {
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(-pid, SIGKILL);
      waitpid(pid, &status, 0);
      outcome = RunOutcome::kTimedOut;
      break;
    }
    usleep(20000);
  }
  SetStagedHelper(0);
  return outcome;
}

RunOutcome RunShellCommand(const std::string &command, const std::string &log,
                           SigningDeadline deadline) {
  return RunProgram({"/bin/sh", "-c", command}, log, deadline);
}

std::string ShellQuoted(const std::string &path) {
  std::string quoted = "'";
  for (char c : path) {
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return quoted + "'";
}

void CheckSigningTools(bool reads_certificate_time) {
  if (!OnPath("osslsigncode")) {
    throw PackError(
        "--sign-cert: osslsigncode is not installed (scripts/install-deps.sh installs it)");
  }
  if (reads_certificate_time && !OnPath("openssl")) {
    throw PackError("--sign-cert: openssl is not installed (scripts/install-deps.sh installs it)");
  }
}

// From "notBefore=Jan  2 03:04:05 2026 GMT" as openssl prints it.
long long CertificateStart(const std::string &cert, const std::string &log) {
  if (RunProgram({"openssl", "x509", "-in", cert, "-noout", "-startdate"}, log) !=
      RunOutcome::kExitedZero) {
    throw PackError("--sign-cert: no certificate in " + cert);
  }
  const std::string line = FirstLine(log);
  std::tm tm = {};
  const std::string text = line.substr(line.find('=') + 1);
  if (strptime(text.c_str(), "%b %d %H:%M:%S %Y GMT", &tm) == nullptr) {
    throw PackError("--sign-cert: unreadable start of validity: " + line);
  }
  return timegm(&tm);
}

} // namespace packer
