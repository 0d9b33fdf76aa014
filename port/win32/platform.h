// On Windows the tool uses the system's own headers and records. Its two
// calls outside KERNEL32 are declared there and defined by the program:
// GetIpNetTable in system_dll.cpp, which takes it from the system
// directory's IP Helper, and inet_ntoa in port/common, a conversion of its
// own. The program imports no DLL that Windows might look for beside it,
// and loads no part of Windows Sockets.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// inet_ntoa as a plain declaration, not an import from WS2_32.
#define WINSOCK_API_LINKAGE
#include <iphlpapi.h>
#include <windows.h>
#include <winsock2.h> // must precede windows.h

#include <cstdio>
#include <io.h>

// A function that GetProcAddress found, as the type it has: from FARPROC by
// way of void (*)(), which GCC accepts as a cast between function types
// without a warning.
template <typename Fn> Fn FunctionCast(FARPROC pProc) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(pProc));
}

// A KERNEL32 function looked up when called, for what the oldest Windows
// lacks (a program that imported it would not load there); null where there
// is none.
template <typename Fn> Fn Kernel32Function(const char *pszName) {
  const HMODULE hKernel32 = GetModuleHandleW(L"kernel32.dll");
  return FunctionCast<Fn>(
      hKernel32 != nullptr ? GetProcAddress(hKernel32, pszName) : nullptr);
}

// Opens a file in the current directory for writing, truncating it, as
// fopen(pszName, "w") does. In a 32-bit program on 64-bit Windows the
// system would send a file under System32 to SysWOW64, out of the user's
// sight: here it lands in the directory the user is in.
std::FILE *OpenOutputFile(const char *pszName);

// The console-stop guard's lock (see GuardOutput). Every write to the
// guarded stream holds it, so a stop takes it between two writes: the one
// in progress has landed and no other can start. Only the tool's thread
// and the stop handler take it, each briefly, and the handler never gives
// it back, so a plain interlocked flag is all it needs: no initialisation,
// and on every Windows.
inline volatile LONG g_outputLock = 0;
inline void LockOutput() {
  while (InterlockedExchange(&g_outputLock, 1) != 0) {
    Sleep(1);
  }
}
inline void UnlockOutput() { (void)InterlockedExchange(&g_outputLock, 0); }
template <typename Call> auto UnderOutputLock(Call call) {
  LockOutput();
  const auto result = call();
  UnlockOutput();
  return result;
}

// Writing under a stream lock that the caller holds: the POSIX names, and
// the Linux layer's WriteUnlocked. The C runtime's stream lock is its own
// business; each write here takes the guard's lock instead, for that write
// alone, so that a stop need not wait for the whole table.
inline void flockfile(std::FILE * /*pFile*/) {}
inline void funlockfile(std::FILE * /*pFile*/) {}
inline std::size_t WriteUnlocked(const void *pData, std::size_t n,
                                 std::FILE *pFile) {
  return UnderOutputLock([&] { return std::fwrite(pData, 1, n, pFile); });
}
inline int fputc_unlocked(int c, std::FILE *pFile) {
  return UnderOutputLock([&] { return std::fputc(c, pFile); });
}
// The last write of all, the flush, under the guard's lock too: a stop
// that emptied the file while it ran would have it land past the end.
inline int FlushOutput(std::FILE *pFile) {
  return UnderOutputLock([&] { return std::fflush(pFile); });
}

// Empties the file behind an open stream through its descriptor. The caller
// has flushed the stream, so nothing buffered is written after this.
inline int TruncateStream(std::FILE *pFile) {
  return _chsize(_fileno(pFile), 0);
}

// From GuardOutput to ReleaseOutput, a console stop (Ctrl+C, Ctrl+Break,
// the console window closed) first empties the file behind pFile and then
// ends the process with the status a stopped console program has. Windows
// sends logoff and shutdown to services only: those end the program here
// without a handler, as a forced kill does.
void GuardOutput(std::FILE *pFile);
void ReleaseOutput();
