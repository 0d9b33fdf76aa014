// A stand-in for a DLL the program names, as someone might plant it: once
// loaded it leaves C:\planted-NAME (NAME its file name), and its function
// answers wrongly: GetIpNetTable as iphlpapi.dll, inet_ntoa as any other.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cwchar>

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

#ifdef PLANTED_IPHLPAPI
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
