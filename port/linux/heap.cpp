#include <cstdlib>
#include <pthread.h>
#include <sys/mman.h>

#include "platform.h"

namespace {

char g_processHeap; // only its address matters: a non-null handle

// A block this large is a mapping of its own, faulted in ahead of use.
constexpr std::size_t kLargeBlock = std::size_t{1} << 21U;

struct Range {
  void *start;
  std::size_t bytes;
};

void *FaultIn(void *arg) {
  Range *range = static_cast<Range *>(arg);
#ifdef MADV_POPULATE_WRITE
  (void)madvise(range->start, range->bytes, MADV_POPULATE_WRITE);
#endif
  std::free(range);
  return nullptr;
}

// A large table is written once from its start to its end while the
// kernel's dump runs, and the first write to each page costs a fault that
// zeroes it: on a virtual machine whose host takes back free memory, about
// as much as parsing the rows. A helper thread faults the block in ahead of
// the writer, on another core; it changes no byte. Without the helper, or
// on a kernel without MADV_POPULATE_WRITE, the writer faults as usual.
void FaultInBehind(void *block, std::size_t bytes) {
  auto *range = static_cast<Range *>(std::malloc(sizeof(Range)));
  if (range == nullptr) {
    return;
  }
  *range = Range{block, bytes};
  pthread_t thread;
  if (pthread_create(&thread, nullptr, FaultIn, range) != 0) {
    std::free(range);
    return;
  }
  (void)pthread_detach(thread);
}

// Like the tool's table buffer, a large block is never given back.
void *AllocateLarge(std::size_t bytes) {
  void *block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) {
    return nullptr;
  }
  FaultInBehind(block, bytes);
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
  if (dwBytes >= kLargeBlock) {
    return AllocateLarge(dwBytes);
  }
  return std::malloc(dwBytes != 0 ? dwBytes : 1);
}
