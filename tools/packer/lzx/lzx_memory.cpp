// SPDX-License-Identifier: Zlib
#include "lzx/lzx_memory.h"

#include <cstdlib>

#ifdef __linux__
#include <sys/mman.h>
#endif

namespace packer {
namespace {

#ifdef __linux__
constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Smaller tables stay with malloc, where huge pages would waste more than they save.
bool Huge(std::size_t bytes) { return bytes >= kHugePage / 2; }
std::size_t Rounded(std::size_t bytes) { return (bytes + kHugePage - 1) & ~(kHugePage - 1); }
#endif

} // namespace

void *LzxAllocate(std::size_t bytes) {
#ifdef __linux__
  if (Huge(bytes)) {
    // Mapped with a huge page's worth to spare, then cut to start on a huge page boundary.
    const std::size_t size = Rounded(bytes);
    void *mapped =
        mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED)
      throw std::bad_alloc();
    const auto at = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t aligned = (at + kHugePage - 1) & ~(kHugePage - 1);
    if (aligned != at)
      munmap(mapped, aligned - at);
    if (const std::size_t tail = at + size + kHugePage - (aligned + size); tail != 0)
      munmap(reinterpret_cast<void *>(aligned + size), tail);
    madvise(reinterpret_cast<void *>(aligned), size, MADV_HUGEPAGE); // a hint only
    return reinterpret_cast<void *>(aligned);
  }
#endif
  void *memory = std::calloc(bytes != 0 ? bytes : 1, 1);
  if (memory == nullptr)
    throw std::bad_alloc();
  return memory;
}

void LzxRelease(void *memory, std::size_t bytes) {
  if (memory == nullptr)
    return;
#ifdef __linux__
  if (Huge(bytes)) {
    munmap(memory, Rounded(bytes));
    return;
  }
#endif
  std::free(memory);
}

} // namespace packer
