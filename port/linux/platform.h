// The few Windows platform declarations arpexport uses, supplied on Linux by
// this directory's units. Types keep the Windows sizes and layouts, so the
// tool's code reads the same records on both systems.
#pragma once

#include <arpa/inet.h> // in_addr, and inet_ntoa: supplied by the program
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unistd.h>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using UINT = unsigned int;
using BOOL = int;
using WCHAR = char16_t;
using LPWSTR = WCHAR *;
using LPCWCH = const WCHAR *;
using LPSTR = char *;
using LPCCH = const char *;
using LPBOOL = BOOL *;
using PULONG = ULONG *;
using LPVOID = void *;
using LPCVOID = const void *;
using HANDLE = void *;
using HLOCAL = void *;
using SIZE_T = std::size_t;

// Windows' calling convention for Windows Sockets' calls: none here.
#define WSAAPI

constexpr BOOL FALSE = 0;
constexpr BOOL TRUE = 1;

// Status codes, with the values Windows gives them.
constexpr DWORD NO_ERROR = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_INVALID_DATA = 13;
constexpr DWORD ERROR_WRITE_PROTECT = 19;
constexpr DWORD ERROR_BAD_UNIT = 20;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_FILE_EXISTS = 80;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_BROKEN_PIPE = 109;
constexpr DWORD ERROR_DISK_FULL = 112;
constexpr DWORD ERROR_CALL_NOT_IMPLEMENTED = 120;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_BUSY = 170;
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
constexpr DWORD ERROR_FILE_TOO_LARGE = 223;
constexpr DWORD ERROR_NO_DATA = 232;
constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;
constexpr DWORD ERROR_INVALID_ADDRESS = 487;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_IO_DEVICE = 1117;
constexpr DWORD ERROR_INTERNAL_ERROR = 1359;
constexpr DWORD ERROR_TIMEOUT = 1460;
constexpr DWORD ERROR_RESOURCE_LANG_NOT_FOUND = 1815;
constexpr DWORD ERROR_CANT_RESOLVE_FILENAME = 1921;
constexpr DWORD ERROR_MUI_FILE_NOT_FOUND = 15100;
// Windows leaves codes with this bit to applications: the layer gives an
// errno without a Windows counterpart as this bit plus the errno, and its
// text is the C library's for that errno.
constexpr DWORD APPLICATION_ERROR_MASK = 0x20000000;

constexpr DWORD HEAP_ZERO_MEMORY = 0x0008;

constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x0100;
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x0200;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x1000;

constexpr WORD LANG_NEUTRAL = 0x00;
constexpr WORD LANG_ENGLISH = 0x09;
constexpr WORD SUBLANG_NEUTRAL = 0x00;
constexpr WORD SUBLANG_DEFAULT = 0x01;
constexpr DWORD MAKELANGID(WORD primary, WORD sub) {
  return static_cast<DWORD>(sub) << 10U | primary;
}

constexpr UINT CP_ACP = 0;
constexpr UINT CP_UTF8 = 65001;

constexpr std::size_t MAXLEN_PHYSADDR = 8;

// dwType values.
constexpr DWORD MIB_IPNET_TYPE_OTHER = 1;
constexpr DWORD MIB_IPNET_TYPE_INVALID = 2;
constexpr DWORD MIB_IPNET_TYPE_DYNAMIC = 3;
constexpr DWORD MIB_IPNET_TYPE_STATIC = 4;

struct MIB_IPNETROW {
  DWORD dwIndex;
  DWORD dwPhysAddrLen;
  BYTE bPhysAddr[MAXLEN_PHYSADDR];
  DWORD dwAddr; // network byte order
  DWORD dwType;
};
static_assert(sizeof(MIB_IPNETROW) == 24, "MIB_IPNETROW must match Windows");
using PMIB_IPNETROW = MIB_IPNETROW *;

struct MIB_IPNETTABLE {
  DWORD dwNumEntries;
  MIB_IPNETROW table[1];
};
static_assert(offsetof(MIB_IPNETTABLE, table) == 4,
              "MIB_IPNETTABLE must match Windows");
using PMIB_IPNETTABLE = MIB_IPNETTABLE *;

// IP Helper: the IPv4 neighbour table of the caller's network namespace.
ULONG GetIpNetTable(PMIB_IPNETTABLE IpNetTable, PULONG SizePointer, BOOL Order);

// Heap: the C allocator behind the Windows names; HEAP_ZERO_MEMORY is the
// one flag it knows.
HANDLE GetProcessHeap();
LPVOID HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes);

// Message text for status codes, from a table of the layer's own.
DWORD FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId,
                     DWORD dwLanguageId, LPWSTR lpBuffer, DWORD nSize,
                     void *Arguments);
HLOCAL LocalFree(HLOCAL hMem);

// The last failure of a C library or system call, as a status code.
DWORD GetLastError();

// Text conversion: Linux consoles speak UTF-8.
UINT GetConsoleOutputCP();
int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr,
                        int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte,
                        LPCCH lpDefaultChar, LPBOOL lpUsedDefaultChar);

// fopen(pszName, "w"): on Linux a file's place is the one the user names.
inline std::FILE *OpenOutputFile(const char *pszName) {
  return std::fopen(pszName, "w");
}

// The stream's last flush. A signal handler runs between two system calls,
// so a stop never finds a write of the flush half done.
inline int FlushOutput(std::FILE *pFile) { return std::fflush(pFile); }

// Empties the file behind an open stream through its descriptor: opening
// the file again could fail, or open another file of that name. The caller
// has flushed the stream, so nothing buffered is written after this.
inline int TruncateStream(std::FILE *pFile) {
  return ftruncate(fileno(pFile), 0);
}

// From GuardOutput to ReleaseOutput, a signal that would end the process
// (SIGINT, SIGTERM, SIGHUP, SIGQUIT and the like) first empties the file
// behind pFile, so that it is never left holding part of a table, and then
// ends the process as that signal does. Signals ignored at the start stay
// ignored.
void GuardOutput(std::FILE *pFile);
void ReleaseOutput();

// A write to a stream whose lock the caller holds. glibc's fwrite_unlocked
// costs two calls and some 150 instructions even for a few bytes; while the
// buffer has room this copies straight into it, the way glibc's own
// putc_unlocked does, and leaves everything else to fwrite_unlocked.
inline std::size_t WriteUnlocked(const void *pData, std::size_t n,
                                 std::FILE *pFile) {
#ifdef __GLIBC__
  if (static_cast<std::size_t>(pFile->_IO_write_end - pFile->_IO_write_ptr) >=
      n) {
    std::memcpy(pFile->_IO_write_ptr, pData, n);
    pFile->_IO_write_ptr += n;
    return n;
  }
#endif
  return fwrite_unlocked(pData, 1, n, pFile);
}
