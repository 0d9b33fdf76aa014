#include <cstdint>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

#include "platform.h"

namespace {

char g_processHeap; // only its address matters: a non-null handle

// A block that can hold a whole huge page (2 MiB on x86-64 and arm64 with
// 4 KiB pages) would get one at its first write where transparent huge
// pages are "always", as on Debian's kernels: the pages of a large block
// stay small, so that only those written cost memory.
constexpr std::size_t kHugePage = std::size_t{2} << 20U;

void KeepPagesSmall(void *block, std::size_t bytes) {
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<std::uintptr_t>(block);
  const std::uintptr_t first = (begin + page - 1) / page * page;
  const std::uintptr_t end = (begin + bytes) / page * page;
  if (end > first) {
    // A kernel without huge pages refuses the advice: nothing to keep.
    (void)madvise(static_cast<char *>(block) + (first - begin), end - first,
                  MADV_NOHUGEPAGE);
  }
}

} // namespace

HANDLE GetProcessHeap() { return &g_processHeap; }

// Flags 0 as on Windows: the block is not zeroed. A large block is a fresh
// mapping whose pages cost nothing until they are written: the sizing call
// counts the entries of every namespace, and only the caller's own are.
// The handle's type is the platform's.
// cppcheck-suppress constParameter
LPVOID HeapAlloc(HANDLE hHeap, DWORD /*dwFlags*/, SIZE_T dwBytes) {
  if (hHeap != GetProcessHeap()) {
    return nullptr;
  }
  void *block = std::malloc(dwBytes != 0 ? dwBytes : 1);
  if (block != nullptr && dwBytes >= kHugePage) {
    KeepPagesSmall(block, dwBytes);
  }
  return block;
}
