// SPDX-License-Identifier: Zlib
#include "support/unique_resource.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

constexpr DWORD kCallersError = 12345;

// The kinds of holder, each with a real resource of its kind and a way to tell that it is alive.
struct HandleKind {
  using Holder = UniqueHandle;
  static HANDLE Make() { return CreateEventW(nullptr, TRUE, FALSE, nullptr); }
  static bool IsAlive(HANDLE handle) {
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != FALSE;
  }
};
struct FileKind : HandleKind {
  using Holder = UniqueFile;
  static HANDLE Make() {
    wchar_t program[MAX_PATH + 1] = {};
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    return CreateFileW(program, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
  }
};
struct LocalKind {
  using Holder = UniqueLocal<HLOCAL>;
  static HLOCAL Make() { return LocalAlloc(LMEM_MOVEABLE, 16); }
  static bool IsAlive(HLOCAL memory) { return LocalSize(memory) != 0; }
};

struct HeapKind {
  using Holder = UniqueHeap<void *>;
  static void *Make() { return HeapAlloc(GetProcessHeap(), 0, 16); }
  static bool IsAlive(void *block) { return HeapValidate(GetProcessHeap(), 0, block) != FALSE; }
};

template <typename Kind> class UniqueResourceTest : public ::testing::Test {};
using Kinds = ::testing::Types<HandleKind, FileKind, LocalKind, HeapKind>;
TYPED_TEST_SUITE(UniqueResourceTest, Kinds);

TYPED_TEST(UniqueResourceTest, ReleasesWhatItHoldsOnceKeepingTheLastError) {
  using Holder = typename TypeParam::Holder;
  Holder holder(TypeParam::Make());
  const auto first = holder.Get();
  ASSERT_TRUE(holder.IsValid());
  ASSERT_TRUE(TypeParam::IsAlive(first));

  SetLastError(kCallersError);
  holder.Reset();
  EXPECT_EQ(GetLastError(), kCallersError);
  EXPECT_FALSE(TypeParam::IsAlive(first));
  EXPECT_TRUE(holder == nullptr);

  // The platform may hand out the same value again; a second release must not touch it.
  const Holder next(TypeParam::Make());
  holder.Reset();
  EXPECT_TRUE(TypeParam::IsAlive(next.Get()));

  // Put releases first; the destructor releases too.
  *holder.Put() = TypeParam::Make();
  const auto second = holder.Get();
  *holder.Put() = TypeParam::Make();
  EXPECT_FALSE(TypeParam::IsAlive(second));
  const auto third = holder.Get();
  { const Holder gone(std::move(holder)); }
  EXPECT_FALSE(TypeParam::IsAlive(third));
}

TYPED_TEST(UniqueResourceTest, MovedFromHoldersReleaseNothing) {
  using Holder = typename TypeParam::Holder;
  Holder source(TypeParam::Make());
  const auto value = source.Get();
  Holder target(std::move(source));
  EXPECT_FALSE(source.IsValid());
  source.Reset();
  EXPECT_TRUE(TypeParam::IsAlive(value));

  // Moving into a holder releases what it held before.
  Holder other(TypeParam::Make());
  const auto replaced = other.Get();
  other = std::move(target);
  EXPECT_FALSE(TypeParam::IsAlive(replaced));
  EXPECT_EQ(other.Get(), value);

  // Release gives the value up without releasing it.
  const auto released = other.Release();
  EXPECT_TRUE(other == nullptr);
  EXPECT_TRUE(TypeParam::IsAlive(released));
  Holder(released).Reset();
}

TEST(LastErrorGuard, KeepsTheCallersErrorEvenWhenTheReleaseFails) {
  SetLastError(kCallersError);
  {
    const LastErrorGuard keep;
    SetLastError(ERROR_INVALID_HANDLE);
  }
  EXPECT_EQ(GetLastError(), kCallersError);

  // A handle value that names nothing: closing it fails and sets an error of its own.
  UniqueHandle stale(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7FF0)));
  stale.Reset();
  EXPECT_EQ(GetLastError(), kCallersError);
}

} // namespace
