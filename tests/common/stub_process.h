// SPDX-License-Identifier: Zlib
#pragma once

#include <windows.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>

#include "common/process.h"
#include "common/registry.h"
#include "run/run_result.h"

// True for the exit codes of a stub whose start of a setup program failed for a reason other than
// a missing file or folder.
bool SetupLaunchFailed(DWORD exit_code);

// Every value of the ClientState keys of the four applications a stub can run for, under both
// roots (the 32-bit view), as they were when taken: what runs of whole stubs report, to tell what
// they wrote and to put it back.
class ClientStateReports {
public:
  ClientStateReports() : taken_(Read()) {}

  // Under load Wine now and then fails a stub's own start of its setup program with 1359
  // (ERROR_INTERNAL_ERROR): the run ends with the launch failure's code and nothing of the setup
  // program ran. True for such an exit code when every key changed since these were taken holds
  // that error as its extra code; a run without a key to report under changes none.
  bool OnlyWineStartFailures(DWORD exit_code) const;
  // Every key that changed since, as it was when taken; the others are not touched.
  void PutBack() const;

private:
  // By root (0 the current user, 1 the machine) and key name.
  using Keys = std::map<std::pair<int, std::wstring>, std::map<std::wstring, ValueData>>;
  static Keys Read();

  Keys taken_;
};

// RunProcess for a whole stub: a run that ended on a start of its setup program that Wine failed
// has its reports put back and is started once more, said on stderr. A run that ended any other
// way, or with a report of any other error, is never run again.
ProcessOutcome RunStubProcess(const std::wstring &stub, const std::wstring &command_line);

// For a test that starts a setup program in its own process (`launch` returns the RunResult of
// LaunchSetup, ApplySetupPatch or a whole run): a start Wine failed with 1359 ran nothing, so its
// reports are put back and the launch is made once more, said on stderr. Any other result stands.
template <typename Launch> RunResult LaunchOnceMoreIfWineFailed(Launch launch) {
  const ClientStateReports before;
  const RunResult result = launch();
  if (!SetupLaunchFailed(result.exit_code) || result.extra_code != ERROR_INTERNAL_ERROR) {
    return result;
  }
  fprintf(stderr,
          "Wine failed a start of the setup program (%lu); its reports are put back and "
          "it is launched once more\n",
          static_cast<unsigned long>(result.extra_code));
  before.PutBack();
  return launch();
}
