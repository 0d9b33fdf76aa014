#include <cstdint>
#include <cstdlib>
#include <sys/mman.h>

#include "platform.h"

namespace {

char g_processHeap; // only its address matters: a non-null handle

constexpr std::size_t kHugePage = std::size_t{1} << 21U;

// A large table is written once from its start to its end: in 2 MiB pages
// that takes a page fault every 2 MiB instead of every 4 KiB, and page
// faults cost more than parsing. So a block of 2 MiB or more is whole huge
// pages of its own, aligned to them. The advice may be refused; the block
// is the same. Like the tool's table buffer, it is never given back.
void *AllocateHugePages(std::size_t bytes) {
  const std::size_t rounded = (bytes + kHugePage - 1) & ~(kHugePage - 1);
  void *mapped = mmap(nullptr, rounded + kHugePage, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) {
    return nullptr;
  }
  const std::size_t misalignment =
      reinterpret_cast<std::uintptr_t>(mapped) & (kHugePage - 1);
  char *block = static_cast<char *>(mapped) +
                (misalignment != 0 ? kHugePage - misalignment : 0);
  (void)madvise(block, rounded, MADV_HUGEPAGE);
  return block;
}

} // namespace

HANDLE GetProcessHeap() { return &g_processHeap; }

// Flags 0 as on Windows: the block is not zeroed. The handle's type is the
// platform's.
// cppcheck-suppress constParameter
LPVOID HeapAlloc(HANDLE hHeap, DWORD /*dwFlags*/, SIZE_T dwBytes) {
  if (hHeap != GetProcessHeap()) {
    return nullptr;
  }
  if (dwBytes >= kHugePage) {
    return AllocateHugePages(dwBytes);
  }
  return std::malloc(dwBytes != 0 ? dwBytes : 1);
}
