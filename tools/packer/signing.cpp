#include "signing.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sys/wait.h>
#include <vector>

#include "input_file.h"
#include "pack_error.h"

extern char **environ;

namespace packer {
namespace {

// Runs a program found on PATH with its output into `log` and its errors into `log`.err; true
// when it exits 0.
bool Run(const std::vector<std::string> &arguments, const std::string &log) {
  std::vector<char *> argv;
  for (const std::string &a : arguments) {
    argv.push_back(const_cast<char *>(a.c_str()));
  }
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, (log + ".err").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = 0;
  const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  return error == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

std::string FirstLine(const std::string &path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

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

// "notBefore=Jan  2 03:04:05 2026 GMT" as seconds since 1970.
long long ParseCertificateTime(const std::string &line) {
  std::tm tm = {};
  const std::string text = line.substr(line.find('=') + 1);
  if (strptime(text.c_str(), "%b %d %H:%M:%S %Y GMT", &tm) == nullptr) {
    throw PackError("--sign-cert: unreadable start of validity: " + line);
  }
  return timegm(&tm);
}

std::string SigningTime(const std::string &cert, const std::string &log) {
  if (const char *epoch = std::getenv("SOURCE_DATE_EPOCH"); epoch != nullptr && *epoch != '\0') {
    const std::string text = epoch;
    if (text.size() > 11 || text.find_first_not_of("0123456789") != std::string::npos) {
      throw PackError("SOURCE_DATE_EPOCH is not a number of seconds: " + text);
    }
    return std::to_string(std::stoll(text));
  }
  if (!Run({"openssl", "x509", "-in", cert, "-noout", "-startdate"}, log)) {
    throw PackError("--sign-cert: no certificate in " + cert);
  }
  return std::to_string(ParseCertificateTime(FirstLine(log)));
}

} // namespace

void CheckSigning(const std::string &cert, const std::string &key) {
  CheckInputFile(cert, "--sign-cert");
  CheckInputFile(key, "--sign-key");
  if (!OnPath("osslsigncode")) {
    throw PackError(
        "--sign-cert: osslsigncode is not installed (scripts/install-deps.sh installs it)");
  }
  const char *epoch = std::getenv("SOURCE_DATE_EPOCH");
  if ((epoch == nullptr || *epoch == '\0') && !OnPath("openssl")) {
    throw PackError("--sign-cert: openssl is not installed (scripts/install-deps.sh installs it)");
  }
}

void SignImage(const std::string &in, const std::string &out, const std::string &cert,
               const std::string &key, const std::string &log) {
  const std::string time = SigningTime(cert, log);
  if (!Run({"osslsigncode", "sign", "-certs", cert, "-key", key, "-h", "sha256", "-time", time,
            "-in", in, "-out", out},
           log)) {
    const std::string reason = FirstLine(log + ".err");
    throw PackError("signing failed: " + (reason.empty() ? FirstLine(log) : reason));
  }
}

} // namespace packer
