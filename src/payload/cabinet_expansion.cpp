// SPDX-License-Identifier: Zlib
#include "payload/cabinet_expansion.h"

#include <fcntl.h>
#include <windows.h>
// fdi.h needs the declarations of windows.h first.
#include <fdi.h>

#include "payload/target_file.h"
#include "run/stage_profile.h"
#include "support/platform_seam.h"
#include "support/system_library.h"
#include "support/unique_resource.h"

namespace {

struct CabinetLibrary {
  HMODULE module;
  decltype(&::FDICreate) create;
  decltype(&::FDIDestroy) destroy;
  decltype(&::FDICopy) copy;
};

// The only process-wide state: constant-initialised, filled on first use, never unloaded.
constinit CabinetLibrary g_cabinet_library{};

struct CabinetContext {
  PathBuffer &destination;
  TargetFile file;
  bool succeeded = false;
  // The size the cabinet announces for the file being written.
  uint32_t announced_size = 0;
};

bool LoadCabinetLibrary() {
  if (g_cabinet_library.module == nullptr) {
    g_cabinet_library.module = LoadSystemLibrary(L"cabinet.dll");
    if (g_cabinet_library.module == nullptr) {
      return false;
    }
  }
  const HMODULE module = g_cabinet_library.module;
  g_cabinet_library.create = LookUp<decltype(&::FDICreate)>(module, "FDICreate");
  g_cabinet_library.destroy = LookUp<decltype(&::FDIDestroy)>(module, "FDIDestroy");
  g_cabinet_library.copy = LookUp<decltype(&::FDICopy)>(module, "FDICopy");
  return g_cabinet_library.create != nullptr && g_cabinet_library.destroy != nullptr &&
         g_cabinet_library.copy != nullptr;
}

// A UTF-8 copy of the first count characters on the process heap, NUL-terminated and freed
// with the holder; null when the conversion or the allocation fails. A count of -1 converts
// through the text's own NUL.
class NarrowText {
public:
  NarrowText(const wchar_t *text, int count) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, count, nullptr, 0, nullptr, nullptr);
    if (size == 0) {
      return;
    }
    // An explicit count leaves the NUL out of the size; make room for it.
    const int allocated = count < 0 ? size : size + 1;
    text_.Reset(static_cast<char *>(HeapAlloc(GetProcessHeap(), 0, allocated)));
    if (text_.IsValid()) {
      WideCharToMultiByte(CP_UTF8, 0, text, count, text_.Get(), size, nullptr, nullptr);
      text_.Get()[allocated - 1] = '\0';
    }
  }

  char *get() const { return text_.Get(); }

private:
  UniqueHeap<char *> text_;
};

FNALLOC(CabinetAlloc) { return HeapAlloc(GetProcessHeap(), 0, cb); }

FNFREE(CabinetFree) { HeapFree(GetProcessHeap(), 0, pv); }

FNOPEN(CabinetOpen) {
  (void)pmode;
  // The library speaks the C runtime's open flags.
  DWORD access = GENERIC_READ;
  if (oflag & _O_RDWR) {
    access = GENERIC_READ | GENERIC_WRITE;
  } else if (oflag & _O_WRONLY) {
    access = GENERIC_WRITE;
  }
  const DWORD disposition = (oflag & _O_CREAT) ? CREATE_ALWAYS : OPEN_EXISTING;

  const int count = MultiByteToWideChar(CP_UTF8, 0, pszFile, -1, nullptr, 0);
  if (count == 0) {
    return -1;
  }
  const UniqueHeap<wchar_t *> wide(
      static_cast<wchar_t *>(HeapAlloc(GetProcessHeap(), 0, count * sizeof(wchar_t))));
  if (!wide.IsValid()) {
    return -1;
  }
  MultiByteToWideChar(CP_UTF8, 0, pszFile, -1, wide.Get(), count);
  return reinterpret_cast<INT_PTR>(
      platform::CreateFileW(wide.Get(), access, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                            disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
}

FNREAD(CabinetRead) {
  DWORD read = 0;
  if (!ReadFile(reinterpret_cast<HANDLE>(hf), pv, cb, &read, nullptr)) {
    return static_cast<UINT>(-1);
  }
  return read;
}

FNWRITE(CabinetWrite) {
  DWORD written = 0;
  if (!platform::WriteFile(reinterpret_cast<HANDLE>(hf), pv, cb, &written, nullptr)) {
    return static_cast<UINT>(-1);
  }
  return written;
}

FNCLOSE(CabinetClose) { return CloseHandle(reinterpret_cast<HANDLE>(hf)) ? 0 : -1; }

FNSEEK(CabinetSeek) {
  // The library's origins 0, 1 and 2 are FILE_BEGIN, FILE_CURRENT and FILE_END.
  const DWORD position = SetFilePointer(reinterpret_cast<HANDLE>(hf), dist, nullptr, seektype);
  return position == INVALID_SET_FILE_POINTER ? -1 : static_cast<LONG>(position);
}

// Gives the finished file the entry's date as its creation time (the DOS date is local time)
// and the entry's read-only, hidden, system and archive bits, then closes the library's handle.
// True when the file holds as many bytes as the cabinet announced.
bool FinishExpandedFile(const FDINOTIFICATION &notification, uint32_t announced_size) {
  const auto file = reinterpret_cast<HANDLE>(notification.hf);
  // Some cabinet libraries end a file whose data was cut short or failed to decode as if it
  // were complete; a short file must not pass for the setup program.
  LARGE_INTEGER size = {};
  const bool complete = GetFileSizeEx(file, &size) && size.QuadPart == announced_size;

  FILE_BASIC_INFO basic = {};
  FILETIME local = {};
  FILETIME utc = {};
  if (DosDateTimeToFileTime(notification.date, notification.time, &local) &&
      LocalFileTimeToFileTime(&local, &utc)) {
    basic.CreationTime.LowPart = utc.dwLowDateTime;
    basic.CreationTime.HighPart = static_cast<LONG>(utc.dwHighDateTime);
  }
  basic.FileAttributes = notification.attribs & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                                 FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
  platform::SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof(basic));
  CloseHandle(file);
  return complete;
}

FNFDINOTIFY(CabinetNotify) {
  auto &context = *static_cast<CabinetContext *>(pfdin->pv);
  switch (fdint) {
  case fdintCABINET_INFO:
  case fdintENUMERATE:
    return 0;
  case fdintCOPY_FILE:
    // Every file the cabinet announces goes to the one destination, whatever its stored name.
    context.file.Open(context.destination.text);
    context.announced_size = static_cast<uint32_t>(pfdin->cb);
    return reinterpret_cast<INT_PTR>(context.file.Duplicate());
  case fdintCLOSE_FILE_INFO:
    if (FinishExpandedFile(*pfdin, context.announced_size)) {
      context.succeeded = true;
    }
    // The payload cabinet holds one file: stop the library here.
    return -1;
  default:
    // A file continued from or into another cabinet cannot be expanded from this one.
    return -1;
  }
}

} // namespace

bool ExpandCabinet(const wchar_t *source, PathBuffer &destination) {
  if (!LoadCabinetLibrary()) {
    return false;
  }

  // Position 0 is never a separator: a path whose only backslash is its first character has
  // no folder to open the cabinet from.
  int separator = lstrlenW(source) - 1;
  while (separator >= 1 && source[separator] != L'\\') {
    --separator;
  }
  if (separator < 1) {
    return false;
  }
  const NarrowText cabinet_name(source + separator + 1, -1);
  const NarrowText cabinet_path(source, separator + 1);
  if (cabinet_name.get() == nullptr || cabinet_path.get() == nullptr) {
    return false;
  }

  ERF error = {};
  const HFDI context =
      g_cabinet_library.create(CabinetAlloc, CabinetFree, CabinetOpen, CabinetRead, CabinetWrite,
                               CabinetClose, CabinetSeek, cpuUNKNOWN, &error);
  if (context == nullptr) {
    return false;
  }

  CabinetContext expansion{destination, {}, false};
  g_cabinet_library.copy(context, cabinet_name.get(), cabinet_path.get(), 0, CabinetNotify, nullptr,
                         &expansion);
  g_cabinet_library.destroy(context);

  // The destination closes with the context, flushed or marked for deletion (a closed record
  // refuses the mark).
  if (expansion.succeeded) {
    MarkStage(Stage::kSetupExpanded);
    FlushFileBuffers(expansion.file.Handle());
    MarkStage(Stage::kSetupFlushed);
  } else {
    expansion.file.MarkForDeletion();
  }
  return expansion.succeeded;
}
