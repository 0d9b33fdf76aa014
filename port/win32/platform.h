// On Windows the tool uses the system's own headers and import libraries.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <iphlpapi.h>
#include <windows.h>
#include <winsock2.h> // must precede windows.h

#include <cstdio>
#include <io.h>

// Writing under a stream lock that the caller holds: the POSIX names, and
// the Linux layer's WriteUnlocked. Each of the C runtime's stream calls
// takes the stream's lock by itself, so the lock is not held across rows:
// a console stop (see GuardOutput) takes it between two writes instead of
// waiting for the whole table.
inline void flockfile(std::FILE * /*pFile*/) {}
inline void funlockfile(std::FILE * /*pFile*/) {}
inline std::size_t WriteUnlocked(const void *pData, std::size_t n,
                                 std::FILE *pFile) {
  return std::fwrite(pData, 1, n, pFile);
}
inline int fputc_unlocked(int c, std::FILE *pFile) {
  return std::fputc(c, pFile);
}

// Empties the file behind an open stream through its descriptor. The caller
// has flushed the stream, so nothing buffered is written after this.
inline int TruncateStream(std::FILE *pFile) {
  return _chsize(_fileno(pFile), 0);
}

// From GuardOutput to ReleaseOutput, a console stop (Ctrl+C, Ctrl+Break,
// the console window closed, logoff, shutdown) first empties the file behind
// pFile and then ends the process with the status a stopped console program
// has.
void GuardOutput(std::FILE *pFile);
void ReleaseOutput();
