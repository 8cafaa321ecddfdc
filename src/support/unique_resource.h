// SPDX-License-Identifier: Zlib
#pragma once

#include <windows.h>

// Owning holders for what the platform hands out: one kind per way of releasing and per invalid
// value, each move-only and releasing what it holds once. A release never disturbs the thread's
// last-error value, so a function can return false right after a failed call and let its
// holders clean up behind the reason its caller is about to read.

// Keeps the thread's last-error value across a scope.
class LastErrorGuard {
public:
  LastErrorGuard() : error_(GetLastError()) {}
  ~LastErrorGuard() { SetLastError(error_); }
  LastErrorGuard(const LastErrorGuard &) = delete;
  LastErrorGuard &operator=(const LastErrorGuard &) = delete;

private:
  DWORD error_;
};

// The releases behind every holder, each under a LastErrorGuard, each doing nothing for a value
// that holds nothing (null, or INVALID_HANDLE_VALUE for a handle). Out of line: one copy of each
// costs the stub less than a guard and a test at every holder.
void CloseHandleKeepingLastError(HANDLE handle);
void LocalFreeKeepingLastError(HLOCAL memory);
void HeapFreeKeepingLastError(void *memory);

template <typename Traits> class UniqueResource {
public:
  using Type = typename Traits::Type;

  UniqueResource() = default;
  explicit UniqueResource(Type value) : value_(value) {}
  UniqueResource(UniqueResource &&other) : value_(other.Release()) {}
  UniqueResource &operator=(UniqueResource &&other) {
    if (this != &other) {
      Reset(other.Release());
    }
    return *this;
  }
  ~UniqueResource() { Reset(); }

  bool IsValid() const { return value_ != Traits::Invalid(); }
  Type Get() const { return value_; }
  // Releases what is held and gives the slot to a platform call that fills it. Tested here too:
  // the usual holder is a fresh one, and the compiler then leaves the release out.
  Type *Put() {
    if (IsValid()) {
      Reset();
    }
    return &value_;
  }
  // Gives up ownership without releasing.
  Type Release() {
    const Type value = value_;
    value_ = Traits::Invalid();
    return value;
  }
  // Forgets the old value before releasing it, so no path can release it twice.
  void Reset(Type value = Traits::Invalid()) {
    const Type old = value_;
    value_ = value;
    Traits::Close(old);
  }

  // Compared with nullptr, a holder is equal when it holds nothing, whatever its invalid value.
  bool operator==(decltype(nullptr)) const { return !IsValid(); }

private:
  Type value_ = Traits::Invalid();
};

// Processes, threads and tokens: null when none is held.
struct HandleTraits {
  using Type = HANDLE;
  static Type Invalid() { return nullptr; }
  static void Close(Type handle) { CloseHandleKeepingLastError(handle); }
};
using UniqueHandle = UniqueResource<HandleTraits>;

// Files and directories as CreateFileW opens them: INVALID_HANDLE_VALUE when none is held.
struct FileTraits {
  using Type = HANDLE;
  static Type Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Type handle) { CloseHandleKeepingLastError(handle); }
};
using UniqueFile = UniqueResource<FileTraits>;

// What the platform allocates for the caller to release with LocalFree: an argument vector,
// token information, a SID string, a security descriptor.
template <typename Pointer> struct LocalTraits {
  using Type = Pointer;
  static Type Invalid() { return nullptr; }
  static void Close(Type memory) { LocalFreeKeepingLastError(memory); }
};
template <typename Pointer> using UniqueLocal = UniqueResource<LocalTraits<Pointer>>;

// Blocks of the process heap: the cabinet library's narrow and wide names.
template <typename Pointer> struct HeapTraits {
  using Type = Pointer;
  static Type Invalid() { return nullptr; }
  static void Close(Type memory) { HeapFreeKeepingLastError(memory); }
};
template <typename Pointer> using UniqueHeap = UniqueResource<HeapTraits<Pointer>>;
