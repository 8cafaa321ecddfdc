// SPDX-License-Identifier: Zlib
// The setup program of the demo product. A stub runs it in its install form,
//   "<work dir>\setup.exe" --install-archive="<work dir>\ONDREL.PACKED.7Z"
//       [--previous-version="<version>"] <the caller's arguments>
// and a patch stub first runs the installed copy in its patch form,
//   "<installed>" --update-setup-exe="<patch>" --new-setup-exe="<new>" <the caller's arguments>
// It installs nothing: it checks that the archive it is handed is a 7z archive, or builds the
// new setup program from the patch, and records what it received where a person can read it.
// It exits 0, or with one of its own codes (demo_setup.h), or in the install form with the code
// the caller asked for with --demo-fail=N.
#include <windows.h>

#include <stdint.h>
#include <string.h>
#include <wchar.h>

#include "demo_setup.h"
#include "setup/setup_switches.h"

namespace {

constexpr char kSevenZipSignature[] = {'7', 'z', '\xBC', '\xAF', '\x27', '\x1C'};

enum class Form { kUnknown, kInstall, kPatch };

struct Request {
  Form form = Form::kUnknown;
  const wchar_t *archive = nullptr;
  const wchar_t *patch = nullptr;
  const wchar_t *new_setup = nullptr;
  bool fail = false;
  DWORD fail_code = 0;
};

struct Archive {
  bool readable = false;
  DWORD error = 0;
  uint64_t size = 0;
  bool signature = false;
};

// Text built by appending; one append that does not fit spoils it, so nothing is cut silently.
// Plain arrays rather than std::wstring keep the program at a tenth of the size.
class Text {
public:
  static constexpr size_t kCapacity = 8192;

  Text &operator<<(const wchar_t *text) {
    const size_t length = wcslen(text);
    overflowed_ = overflowed_ || length > kCapacity - length_;
    if (!overflowed_) {
      wmemcpy(text_ + length_, text, length);
      length_ += length;
      text_[length_] = L'\0';
    }
    return *this;
  }
  Text &operator<<(uint64_t number) {
    wchar_t digits[21];
    wchar_t *first = digits + 20;
    *first = L'\0';
    do {
      *--first = static_cast<wchar_t>(L'0' + number % 10);
      number /= 10;
    } while (number != 0);
    return *this << first;
  }
  bool fits() const { return !overflowed_; }
  const wchar_t *text() const { return text_; }
  int length() const { return static_cast<int>(length_); }

private:
  wchar_t text_[kCapacity + 1] = {};
  size_t length_ = 0;
  // All zero to start with, so the static instances take no room in the file.
  bool overflowed_ = false;
};

// The text after prefix when argument starts with it, or null.
const wchar_t *ValueAfter(const wchar_t *argument, const wchar_t *prefix) {
  const size_t length = wcslen(prefix);
  return wcsncmp(argument, prefix, length) == 0 ? argument + length : nullptr;
}

// The value of --name=value when argument is that switch, or null. The platform's splitting of
// the command line has taken off the value's double quotes.
const wchar_t *SwitchValue(const wchar_t *argument, const wchar_t *name) {
  const wchar_t *after_dashes = ValueAfter(argument, L"--");
  const wchar_t *after_name = after_dashes != nullptr ? ValueAfter(after_dashes, name) : nullptr;
  return after_name != nullptr ? ValueAfter(after_name, L"=") : nullptr;
}

// 1 to 4294967295 in decimal; 0 is no failure to ask for.
bool ParseFailCode(const wchar_t *text, DWORD &code) {
  uint64_t value = 0;
  for (const wchar_t *digit = text; *digit != L'\0'; ++digit) {
    if (*digit < L'0' || *digit > L'9') {
      return false;
    }
    value = value * 10 + (*digit - L'0');
    if (value > 0xFFFFFFFFull) {
      return false;
    }
  }
  code = static_cast<DWORD>(value);
  return *text != L'\0' && value != 0;
}

// The form's switches come first, with values; the previous version and the caller's arguments
// follow, and only --demo-fail among them means anything, in the install form.
bool ParseRequest(int argc, wchar_t **argv, Request &request) {
  const auto value = [&](int i, const wchar_t *name) {
    const wchar_t *found = i < argc ? SwitchValue(argv[i], name) : nullptr;
    return found != nullptr && *found != L'\0' ? found : nullptr;
  };
  request.patch = value(1, kUpdateSetupExeSwitch);
  request.new_setup = value(2, kNewSetupExeSwitch);
  if (request.patch != nullptr && request.new_setup != nullptr) {
    request.form = Form::kPatch;
    return true;
  }
  request.archive = value(1, kInstallArchiveSwitch);
  if (request.archive == nullptr) {
    return false;
  }
  request.form = Form::kInstall;
  for (int i = 2; i < argc; ++i) {
    if (const wchar_t *code = ValueAfter(argv[i], kDemoFailSwitch)) {
      request.fail = true;
      if (!ParseFailCode(code, request.fail_code)) {
        return false;
      }
    }
  }
  return true;
}

Archive InspectArchive(const wchar_t *path) {
  Archive archive;
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    archive.error = GetLastError();
    return archive;
  }
  LARGE_INTEGER size = {};
  char head[sizeof(kSevenZipSignature)] = {};
  DWORD read = 0;
  archive.readable =
      GetFileSizeEx(file, &size) && ReadFile(file, head, sizeof(head), &read, nullptr);
  archive.error = archive.readable ? 0 : GetLastError();
  archive.size = static_cast<uint64_t>(size.QuadPart);
  archive.signature = read == sizeof(head) && memcmp(head, kSevenZipSignature, read) == 0;
  CloseHandle(file);
  return archive;
}

DWORD InstallOutcome(const Request &request, const Archive &archive) {
  if (!archive.readable) {
    return DEMO_SETUP_ARCHIVE_UNREADABLE;
  }
  if (!archive.signature) {
    return DEMO_SETUP_NOT_A_7Z_ARCHIVE;
  }
  return request.fail ? request.fail_code : 0;
}

void DescribeInstall(const Request &request, const Archive &archive, Text &text) {
  text << L"archive: " << request.archive << L"\r\n";
  if (archive.readable) {
    text << L"archive size: " << archive.size << L" bytes\r\n";
    text << L"7z signature: " << (archive.signature ? L"yes" : L"no") << L"\r\n";
  } else {
    text << L"archive unreadable: error " << uint64_t{archive.error} << L"\r\n";
  }
}

// The demo's patch format is the marker followed by the new setup program as it is; a real one
// would carry only the differences.
DWORD ApplyPatch(const Request &request) {
  HANDLE patch = CreateFileW(request.patch, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  if (patch == INVALID_HANDLE_VALUE) {
    return DEMO_SETUP_BAD_PATCH;
  }
  static char buffer[64 * 1024];
  constexpr DWORD kMarkerSize = sizeof(kDemoPatchMarker) - 1;
  DWORD read = 0;
  if (!ReadFile(patch, buffer, kMarkerSize, &read, nullptr) || read != kMarkerSize ||
      memcmp(buffer, kDemoPatchMarker, kMarkerSize) != 0) {
    CloseHandle(patch);
    return DEMO_SETUP_BAD_PATCH;
  }
  HANDLE created = CreateFileW(request.new_setup, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  bool ok = created != INVALID_HANDLE_VALUE;
  while (ok && ReadFile(patch, buffer, sizeof(buffer), &read, nullptr) && read != 0) {
    DWORD written = 0;
    ok = WriteFile(created, buffer, read, &written, nullptr) && written == read;
  }
  CloseHandle(patch);
  if (created != INVALID_HANDLE_VALUE) {
    CloseHandle(created);
  }
  return ok ? 0 : DEMO_SETUP_NEW_SETUP_UNWRITTEN;
}

// %LOCALAPPDATA%\Velmora\Ondrel\<name>, its folders made as needed.
bool WriteRecord(const wchar_t *name, const Text &record) {
  static Text path;
  wchar_t base[MAX_PATH];
  const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", base, MAX_PATH);
  if (!record.fits() || length == 0 || length >= MAX_PATH) {
    return false;
  }
  path << base;
  for (const wchar_t *folder : kDemoRecordFolders) {
    path << L"\\" << folder;
    if (!CreateDirectoryW(path.text(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      return false;
    }
  }
  path << L"\\" << name;

  // UTF-8 takes at most three bytes for each UTF-16 unit.
  static char bytes[3 * Text::kCapacity];
  const int size = WideCharToMultiByte(CP_UTF8, 0, record.text(), record.length(), bytes,
                                       sizeof(bytes), nullptr, nullptr);
  HANDLE file = CreateFileW(path.text(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  DWORD written = 0;
  const bool wrote = WriteFile(file, bytes, static_cast<DWORD>(size), &written, nullptr) &&
                     written == static_cast<DWORD>(size);
  return CloseHandle(file) && wrote;
}

} // namespace

int wmain(int argc, wchar_t **argv) {
  static Text record;
  record << L"command line: " << GetCommandLineW() << L"\r\n";
  Request request;
  DWORD outcome = DEMO_SETUP_BAD_COMMAND_LINE;
  if (!ParseRequest(argc, argv, request)) {
    record << L"not understood: the first argument must be --" << kInstallArchiveSwitch
           << L"=\"<path>\" or --" << kUpdateSetupExeSwitch << L"=\"<path>\" --"
           << kNewSetupExeSwitch
           << L"=\"<path>\", and --demo-fail needs a code from 1 to 4294967295\r\n";
  } else if (request.form == Form::kPatch) {
    outcome = ApplyPatch(request);
  } else {
    const Archive archive = InspectArchive(request.archive);
    DescribeInstall(request, archive, record);
    outcome = InstallOutcome(request, archive);
  }
  record << L"exit code: " << uint64_t{outcome} << L"\r\n";
  // A run that failed already keeps its own code; an unwritten record only fails a success.
  const wchar_t *name = request.form == Form::kPatch ? kDemoPatchRecordName : kDemoRecordName;
  if (!WriteRecord(name, record) && outcome == 0) {
    return DEMO_SETUP_RECORD_FAILED;
  }
  return static_cast<int>(outcome);
}
