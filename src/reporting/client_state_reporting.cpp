// SPDX-License-Identifier: Zlib
#include "reporting/client_state_reporting.h"

#include "support/bounded_string.h"
#include "support/registry_contract.h"

namespace {

constexpr REGSAM kReportAccess = KEY_QUERY_VALUE | KEY_SET_VALUE;
constexpr wchar_t kFullSuffix[] = L"-full";
constexpr size_t kApCapacity = 128;
constexpr uint32_t kRetryRecordBase = 0x30000;

// The stub never creates the key: without it, the update client does not know the application
// and there is nobody to report to.
bool OpenForReport(const RunConfiguration &configuration, RegistryKey &key) {
  return OpenClientStateKey(ClientStateRoot(configuration.system_level), configuration.app_guid,
                            kReportAccess, key) == ERROR_SUCCESS;
}

} // namespace

void MarkFullInstall(const RunConfiguration &configuration) {
  RegistryKey key;
  if (!OpenForReport(configuration, key)) {
    return;
  }
  FixedBuffer<kApCapacity> ap;
  const LSTATUS read = key.ReadStringValue(kApValueName, ap.text, kApCapacity);
  if (read == ERROR_FILE_NOT_FOUND) {
    ap.Clear();
  } else if (read != ERROR_SUCCESS) {
    return; // a value the stub cannot read whole is not its to rewrite
  }
  if (EndsWithNoCase(ap.text, kFullSuffix) || !ap.Append(kFullSuffix)) {
    return;
  }
  key.WriteStringValue(kApValueName, ap.text);
}

void RecordFailure(const RunConfiguration &configuration, const RunResult &result) {
  if (result.exit_code == RESULT_SUCCESS) {
    return;
  }
  RegistryKey key;
  if (!OpenForReport(configuration, key)) {
    return;
  }
  uint32_t recorded = 0;
  if (key.ReadDwordValue(kInstallerResultValueName, recorded) == ERROR_SUCCESS && recorded != 0) {
    return; // the first report stands, usually the setup program's own, which knows more
  }
  key.WriteDwordValue(kInstallerResultValueName, 1);
  key.WriteDwordValue(kInstallerErrorValueName, result.exit_code);
  key.WriteDwordValue(kInstallerExtraCode1ValueName, result.extra_code);
}

void RecordRemovalRetries(const RunConfiguration &configuration, int32_t max_removal_attempts) {
  RegistryKey key;
  if (!OpenForReport(configuration, key)) {
    return;
  }
  const uint32_t retries =
      max_removal_attempts < 2 ? 0 : static_cast<uint32_t>(max_removal_attempts - 1) & 0xFFFF;
  key.WriteDwordValue(kInstallerExtraCode1ValueName, kRetryRecordBase | retries);
}
