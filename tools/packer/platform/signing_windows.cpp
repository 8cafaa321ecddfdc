// SPDX-License-Identifier: Zlib
// Signing on Windows: osslsigncode when it is on PATH. Windows has no other signer a program may
// assume, so without it the packer points to signing afterwards with signtool.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <iterator>
#include <wincrypt.h>

#include "base/pack_error.h"
#include "platform/input_file.h"
#include "platform/native_path.h"
#include "platform/output_file.h"
#include "platform/signing_platform.h"

namespace packer {
namespace {

std::wstring FindOnPath(const std::string &program) {
  const DWORD size = GetEnvironmentVariableW(L"PATH", nullptr, 0);
  if (size == 0) {
    return {};
  }
  std::wstring folders(size, L'\0');
  folders.resize(GetEnvironmentVariableW(L"PATH", folders.data(), size));
  std::wstring found(32768, L'\0');
  const DWORD length = SearchPathW(folders.c_str(), WidePath(program).c_str(), L".exe",
                                   static_cast<DWORD>(found.size()), found.data(), nullptr);
  found.resize(length < found.size() ? length : 0);
  return found;
}

// One argument as CommandLineToArgvW and the C runtime read it back.
std::wstring Quote(const std::wstring &argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    return argument;
  }
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    quoted.push_back(c);
    backslashes = 0;
  }
  quoted.append(backslashes * 2, L'\\');
  return quoted + L"\"";
}

// A file the program started inherits as one of its standard handles.
HANDLE Inheritable(const std::wstring &path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherited = {sizeof(inherited), nullptr, TRUE};
  return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_DELETE, &inherited,
                     disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Starts `program` with `command_line` detached from the console and with no input, so that it
// has no console to ask on and can never wait for a pass phrase. It runs in a job, so that when
// the time is up what it started (a shell's children) ends with it.
RunOutcome Run(const std::wstring &program, std::wstring command_line, const std::string &log,
               SigningDeadline deadline) {
  const HANDLE files[] = {Inheritable(L"NUL", GENERIC_READ, OPEN_EXISTING),
                          Inheritable(WidePath(log), GENERIC_WRITE, CREATE_ALWAYS),
                          Inheritable(WidePath(log + ".err"), GENERIC_WRITE, CREATE_ALWAYS)};
  RunOutcome outcome = RunOutcome::kFailed;
  const HANDLE job = CreateJobObjectW(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (job != nullptr &&
      SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits)) &&
      std::none_of(std::begin(files), std::end(files),
                   [](HANDLE file) { return file == INVALID_HANDLE_VALUE; })) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = files[0];
    startup.hStdOutput = files[1];
    startup.hStdError = files[2];
    PROCESS_INFORMATION process = {};
    if (CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                       DETACHED_PROCESS | CREATE_SUSPENDED, nullptr, nullptr, &startup, &process)) {
      AssignProcessToJobObject(job, process.hProcess);
      ResumeThread(process.hThread);
      CloseHandle(process.hThread);
      SetStagedHelper(reinterpret_cast<std::intptr_t>(process.hProcess));
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      const DWORD wait = deadline == SigningDeadline::max() ? INFINITE
                         : left.count() <= 0                ? 0
                         : left.count() >= INFINITE - 1     ? INFINITE - 1
                                                            : static_cast<DWORD>(left.count());
      DWORD code = 1;
      if (WaitForSingleObject(process.hProcess, wait) == WAIT_OBJECT_0) {
        outcome = GetExitCodeProcess(process.hProcess, &code) && code == 0 ? RunOutcome::kExitedZero
                                                                           : RunOutcome::kFailed;
      } else {
        TerminateJobObject(job, 1);
        WaitForSingleObject(process.hProcess, INFINITE);
        outcome = RunOutcome::kTimedOut;
      }
      SetStagedHelper(0);
      CloseHandle(process.hProcess);
    }
  }
  if (job != nullptr) {
    CloseHandle(job);
  }
  for (HANDLE file : files) {
    if (file != INVALID_HANDLE_VALUE) {
      CloseHandle(file);
    }
  }
  return outcome;
}

} // namespace

RunOutcome RunProgram(const std::vector<std::string> &arguments, const std::string &log,
                      SigningDeadline deadline) {
  const std::wstring program = FindOnPath(arguments[0]);
  if (program.empty()) {
    return RunOutcome::kFailed;
  }
  std::wstring command_line = Quote(program);
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    command_line += L" " + Quote(WidePath(arguments[i]));
  }
  return Run(program, command_line, log, deadline);
}

// cmd.exe from the system folder, never one found beside the packer or on PATH. With /s, cmd
// takes everything between the first and the last quote as the command, whatever quotes it holds.
RunOutcome RunShellCommand(const std::string &command, const std::string &log,
                           SigningDeadline deadline) {
  std::wstring system(MAX_PATH, L'\0');
  system.resize(GetSystemDirectoryW(system.data(), MAX_PATH));
  const std::wstring cmd = system + L"\\cmd.exe";
  return Run(cmd, L"cmd.exe /d /s /c \"" + WidePath(command) + L"\"", log, deadline);
}

// Windows file names cannot hold a quote, so quotes alone keep a path one word.
std::string ShellQuoted(const std::string &path) { return "\"" + path + "\""; }

void CheckSigningTools(bool) {
  if (FindOnPath("osslsigncode").empty()) {
    throw PackError("--sign-cert: osslsigncode is not on PATH; pack without --sign-cert and sign "
                    "afterwards with signtool: signtool sign /fd SHA256 /f CERT.pfx /tr URL /td "
                    "SHA256 OUT.exe, or through --sign-command");
  }
}

// Read by the system's certificate library, not by openssl, which Windows does not have. Loaded
// from the system folder only when signing, so that packing never loads it.
long long CertificateStart(const std::string &cert, const std::string &) {
  const InputFile file(cert, "--sign-cert");
  if (file.size() > (1u << 20)) {
    throw PackError("--sign-cert: no certificate in " + cert);
  }
  std::string text(file.size(), '\0');
  file.ReadAt(0, text.data(), text.size());
  const HMODULE crypt32 = LoadLibraryExW(L"crypt32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  const auto decode = reinterpret_cast<decltype(&CryptStringToBinaryA)>(
      reinterpret_cast<void *>(GetProcAddress(crypt32, "CryptStringToBinaryA")));
  const auto parse = reinterpret_cast<decltype(&CertCreateCertificateContext)>(
      reinterpret_cast<void *>(GetProcAddress(crypt32, "CertCreateCertificateContext")));
  const auto release = reinterpret_cast<decltype(&CertFreeCertificateContext)>(
      reinterpret_cast<void *>(GetProcAddress(crypt32, "CertFreeCertificateContext")));
  if (decode == nullptr || parse == nullptr || release == nullptr) {
    throw PackError("--sign-cert: cannot load crypt32.dll: " + SystemErrorText(GetLastError()));
  }
  std::string der = text;
  DWORD size = 0;
  if (decode(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER, nullptr,
             &size, nullptr, nullptr)) {
    der.resize(size);
    decode(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER,
           reinterpret_cast<BYTE *>(der.data()), &size, nullptr, nullptr);
  }
  const CERT_CONTEXT *certificate =
      parse(X509_ASN_ENCODING, reinterpret_cast<const BYTE *>(der.data()),
            static_cast<DWORD>(der.size()));
  if (certificate == nullptr) {
    throw PackError("--sign-cert: no certificate in " + cert);
  }
  const FILETIME start = certificate->pCertInfo->NotBefore;
  release(certificate);
  // FILETIME counts 100 ns from 1601; 11,644,473,600 seconds lie between 1601 and 1970.
  const ULONGLONG ticks = (ULONGLONG{start.dwHighDateTime} << 32) | start.dwLowDateTime;
  return static_cast<long long>(ticks / 10000000) - 11644473600LL;
}

} // namespace packer
