// SPDX-License-Identifier: Zlib
#include "common/stub_process.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "config/run_configuration.h"
#include "run/run_result.h"

namespace {

const HKEY kRoots[] = {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE};
// The applications whole stubs run for; tests of single operations use made-up ones of their own.
constexpr const wchar_t *kGuids[] = {kDefaultAppGuid, kBetaAppGuid, kDevAppGuid, kSxsAppGuid};

HKEY OpenKey(HKEY root, const std::wstring &subkey, REGSAM access) {
  HKEY key = nullptr;
  return RegOpenKeyExW(root, subkey.c_str(), 0, access | KEY_WOW64_32KEY, &key) == ERROR_SUCCESS
             ? key
             : nullptr;
}

} // namespace

bool SetupLaunchFailed(DWORD exit_code) {
  return exit_code == RESULT_SETUP_LAUNCH_FAILED || exit_code == RESULT_PATCH_SETUP_LAUNCH_FAILED;
}

ClientStateReports::Keys ClientStateReports::Read() {
  Keys keys;
  for (int root = 0; root < 2; ++root) {
    for (const wchar_t *guid : kGuids) {
      if (const HKEY key = OpenKey(kRoots[root], ClientStateSubkey(guid), KEY_READ)) {
        keys[{root, guid}] = ReadValues(key);
        RegCloseKey(key);
      }
    }
  }
  return keys;
}

bool ClientStateReports::OnlyWineStartFailures(DWORD exit_code) const {
  if (!SetupLaunchFailed(exit_code)) {
    return false;
  }
  for (const auto &[where, values] : Read()) {
    const auto before = taken_.find(where);
    if (before != taken_.end() && before->second == values) {
      continue;
    }
    const auto extra = values.find(L"InstallerExtraCode1");
    if (extra == values.end() || extra->second != ValueData::Dword(ERROR_INTERNAL_ERROR)) {
      return false;
    }
  }
  return true;
}

void ClientStateReports::PutBack() const {
  const Keys now = Read();
  for (const auto &[where, values] : taken_) {
    const auto changed = now.find(where);
    if (changed != now.end() && changed->second == values) {
      continue;
    }
    if (const HKEY key = OpenKey(kRoots[where.first], ClientStateSubkey(where.second),
                                 KEY_QUERY_VALUE | KEY_SET_VALUE)) {
      ReplaceValues(key, values);
      RegCloseKey(key);
    }
  }
}

ProcessOutcome RunStubProcess(const std::wstring &stub, const std::wstring &command_line) {
  const ClientStateReports before;
  const ProcessOutcome outcome = RunProcess(stub, command_line);
  if (!outcome.started || !before.OnlyWineStartFailures(outcome.exit_code)) {
    return outcome;
  }
  fprintf(stderr,
          "%ls ended with %lu: Wine failed its start of the setup program; its reports are put "
          "back and it is started once more\n",
          stub.c_str(), static_cast<unsigned long>(outcome.exit_code));
  before.PutBack();
  return RunProcess(stub, command_line);
}
