#include <cstdlib>

#include "platform.h"

namespace {

char g_processHeap; // only its address matters: a non-null handle

} // namespace

HANDLE GetProcessHeap() { return &g_processHeap; }

// As on Windows, the block is zeroed only with HEAP_ZERO_MEMORY. A large
// block is a fresh mapping, zero already, whose pages cost nothing until
// they are written (calloc knows and clears nothing): the sizing call
// counts the entries of every namespace, and only the caller's own are.
// The handle's type is the platform's.
// cppcheck-suppress constParameter
LPVOID HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes) {
  if (hHeap != GetProcessHeap() || (dwFlags & ~HEAP_ZERO_MEMORY) != 0) {
    return nullptr;
  }
  const SIZE_T n = dwBytes != 0 ? dwBytes : 1;
  return (dwFlags & HEAP_ZERO_MEMORY) != 0 ? std::calloc(n, 1) : std::malloc(n);
}
