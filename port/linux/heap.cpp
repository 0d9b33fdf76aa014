#include <cstdlib>

#include "platform.h"

namespace {

char g_processHeap; // only its address matters: a non-null handle

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
  return std::malloc(dwBytes != 0 ? dwBytes : 1);
}
