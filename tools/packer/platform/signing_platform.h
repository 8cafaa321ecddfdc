// SPDX-License-Identifier: Zlib
#pragma once

#include <chrono>
#include <string>
#include <vector>

// What signing needs of the system, one implementation per platform.
namespace packer {

using SigningDeadline = std::chrono::steady_clock::time_point;

// How a signer run ended.
enum class RunOutcome { kExitedZero, kFailed, kTimedOut };

// Runs a program found on PATH with its output into `log` and its errors into `log`.err, without
// a terminal and with the caller's environment. A program still running at `deadline` is ended,
// with everything it started.
RunOutcome RunProgram(const std::vector<std::string> &arguments, const std::string &log,
                      SigningDeadline deadline = SigningDeadline::max());

// Runs `command` through the platform's shell (/bin/sh -c, cmd.exe /c) as RunProgram runs a
// program.
RunOutcome RunShellCommand(const std::string &command, const std::string &log,
                           SigningDeadline deadline);

// `path` as one word of a command for the platform's shell.
std::string ShellQuoted(const std::string &path);

// Refuses, naming what to do instead, when osslsigncode (or what reading the certificate's start
// of validity needs) is not there.
void CheckSigningTools(bool reads_certificate_time);

// The start of the first certificate's validity in `cert`, in seconds since 1970; `log` is a
// scratch file.
long long CertificateStart(const std::string &cert, const std::string &log);

// The first line of a text file, without its line end; empty when there is none.
std::string FirstLine(const std::string &path);

} // namespace packer
