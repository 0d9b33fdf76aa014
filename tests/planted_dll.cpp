// A stand-in for a system DLL, as someone might plant it beside the program:
// loaded into a process, it leaves a mark, C:\planted-NAME for the DLL file
// NAME, and its one function gives a wrong answer. Built as iphlpapi.dll
// (GetIpNetTable), as ws2_32.dll (inet_ntoa), and under any other name a
// program might load (with inet_ntoa, which does no harm there).
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cwchar>

namespace {

void LeaveMark(HINSTANCE hDll) {
  wchar_t szDll[MAX_PATH];
  const DWORD cch = GetModuleFileNameW(hDll, szDll, MAX_PATH);
  if (cch == 0 || cch == MAX_PATH) {
    return;
  }
  const wchar_t *pszName = std::wcsrchr(szDll, L'\\');
  pszName = pszName != nullptr ? pszName + 1 : szDll;
  wchar_t szMark[MAX_PATH];
  (void)std::swprintf(szMark, MAX_PATH, L"C:\\planted-%ls", pszName);
  const HANDLE hMark =
      CreateFileW(szMark, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (hMark != INVALID_HANDLE_VALUE) {
    CloseHandle(hMark);
  }
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE hDll, DWORD dwReason,
                               LPVOID /*pReserved*/) {
  if (dwReason == DLL_PROCESS_ATTACH) {
    LeaveMark(hDll);
  }
  return TRUE;
}

#ifdef PLANTED_IPHLPAPI
extern "C" __declspec(dllexport) ULONG WINAPI
    GetIpNetTable(void * /*pTable*/, ULONG * /*pdwSize*/, BOOL /*bOrder*/) {
  return ERROR_ACCESS_DENIED;
}
#else
extern "C" __declspec(dllexport) char *WINAPI inet_ntoa(ULONG /*in*/) {
  static char szPlanted[] = "6.6.6.6";
  return szPlanted;
}
#endif
