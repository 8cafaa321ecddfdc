// SPDX-License-Identifier: Zlib
#pragma once

#include <string>
#include <vector>

// What signing needs of the system, one implementation per platform.
namespace packer {

// Runs a program found on PATH with its output into `log` and its errors into `log`.err; true
// when it exits 0.
bool RunProgram(const std::vector<std::string> &arguments, const std::string &log);

// Refuses, naming what to do instead, when osslsigncode (or what reading the certificate's start
// of validity needs) is not there.
void CheckSigningTools(bool reads_certificate_time);

// The start of the first certificate's validity in `cert`, in seconds since 1970; `log` is a
// scratch file.
long long CertificateStart(const std::string &cert, const std::string &log);

// The first line of a text file, without its line end; empty when there is none.
std::string FirstLine(const std::string &path);

} // namespace packer
