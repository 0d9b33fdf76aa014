// On Windows the tool uses the system's own headers and import libraries.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <iphlpapi.h>
#include <windows.h>
#include <winsock2.h> // must precede windows.h

#include <cstdio>

// Writing under a stream lock that the caller holds: the POSIX names, and
// the Linux layer's WriteUnlocked. The C runtime's own stream calls take its
// lock again, which is allowed: the lock is recursive.
inline void flockfile(std::FILE *pFile) { _lock_file(pFile); }
inline void funlockfile(std::FILE *pFile) { _unlock_file(pFile); }
inline std::size_t WriteUnlocked(const void *pData, std::size_t n,
                                 std::FILE *pFile) {
  return std::fwrite(pData, 1, n, pFile);
}
inline int fputc_unlocked(int c, std::FILE *pFile) {
  return std::fputc(c, pFile);
}
