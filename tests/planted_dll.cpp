// Stand-ins for the DLLs the program names, built three ways.
// - As someone might plant it: once loaded it leaves C:\planted-NAME (NAME
//   its file name), and its function answers wrongly: GetIpNetTable as
//   iphlpapi.dll, inet_ntoa as any other.
// - STANDIN_IPHLPAPI: a system IP Helper that, as Windows may, writes of each
//   physical address only the bytes its length counts, and first leaves a
//   pattern in a freed heap block of the table's size, so that a caller's
//   block that is not zeroed shows it. With STANDIN_ROWS=N in the
//   environment it gives N whole rows instead, at once: a table that takes
//   the program a while to write.
// - PLANTING_CONTROL: a program that imports IP Helper by name, as programs
//   do, so that a copy planted beside it loads: the planting works.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>

#ifdef PLANTING_CONTROL
#include <iphlpapi.h>

int main() {
  ULONG size = 0;
  (void)GetIpNetTable(nullptr, &size, FALSE);
  return 0;
}
#else

extern "C" BOOL WINAPI DllMain(HINSTANCE hDll, DWORD dwReason, LPVOID) {
  wchar_t szDll[MAX_PATH];
  if (dwReason == DLL_PROCESS_ATTACH &&
      GetModuleFileNameW(hDll, szDll, MAX_PATH) != 0) {
    wchar_t szMark[MAX_PATH + 16];
    (void)std::swprintf(szMark, MAX_PATH + 16, L"C:\\planted-%ls",
                        std::wcsrchr(szDll, L'\\') + 1);
    CloseHandle(CreateFileW(szMark, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0,
                            nullptr));
  }
  return TRUE;
}

#if defined(STANDIN_IPHLPAPI)
namespace {
// 10.0.0.1 and 10.0.0.3 are still being resolved: no physical address.
struct Row {
  DWORD dwAddr, dwPhysAddrLen;
  BYTE bPhysAddr[6];
};
constexpr Row kRows[] = {{0x0100000A, 0, {}},
                         {0x0200000A, 6, {2, 0, 0, 0, 0, 2}},
                         {0x0300000A, 0, {}}};

DWORD RowsAsked() {
  wchar_t szRows[16];
  const DWORD dwLength = GetEnvironmentVariableW(L"STANDIN_ROWS", szRows, 16);
  return dwLength > 0 && dwLength < 16 ? std::wcstoul(szRows, nullptr, 10) : 0;
}

// Row i of STANDIN_ROWS: 10.x.y.z for i + 1, at 02:00:x:y:z:01.
Row MadeRow(DWORD i) {
  const BYTE x = BYTE((i + 1) >> 16), y = BYTE((i + 1) >> 8), z = BYTE(i + 1);
  return {0x0AU | DWORD(x) << 8 | DWORD(y) << 16 | DWORD(z) << 24,
          6,
          {2, 0, x, y, z, 1}};
}
} // namespace

// Fields one by one, as the layout of MIB_IPNETROW has them.
extern "C" __declspec(dllexport) ULONG WINAPI
    GetIpNetTable(BYTE *pTable, ULONG *pdwSize, BOOL) {
  const DWORD dwAsked = RowsAsked();
  const DWORD dwCount = dwAsked != 0 ? dwAsked : sizeof kRows / sizeof kRows[0];
  const ULONG ulSize = 4 + dwCount * 24;
  if (pTable == nullptr || *pdwSize < ulSize) {
    void *pBlock = HeapAlloc(GetProcessHeap(), 0, ulSize);
    if (pBlock != nullptr) {
      std::memset(pBlock, 0xAB, ulSize);
      HeapFree(GetProcessHeap(), 0, pBlock);
    }
    *pdwSize = ulSize;
    return ERROR_INSUFFICIENT_BUFFER;
  }
  std::memcpy(pTable, &dwCount, 4);
  for (DWORD i = 0; i < dwCount; ++i) {
    const Row row = dwAsked != 0 ? MadeRow(i) : kRows[i];
    BYTE *pRow = pTable + 4 + i * 24;
    const DWORD dwIndex = 1, dwType = 3;
    std::memcpy(pRow, &dwIndex, 4);
    std::memcpy(pRow + 4, &row.dwPhysAddrLen, 4);
    std::memcpy(pRow + 8, row.bPhysAddr, row.dwPhysAddrLen);
    std::memcpy(pRow + 16, &row.dwAddr, 4);
    std::memcpy(pRow + 20, &dwType, 4);
  }
  return NO_ERROR;
}
#elif defined(PLANTED_IPHLPAPI)
extern "C" __declspec(dllexport) ULONG WINAPI
    GetIpNetTable(void *, ULONG *, BOOL) {
  return ERROR_ACCESS_DENIED;
}
#else
extern "C" __declspec(dllexport) char *WINAPI inet_ntoa(ULONG) {
  static char szPlanted[] = "6.6.6.6";
  return szPlanted;
}
#endif
#endif
