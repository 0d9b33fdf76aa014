// GetIpNetTable from Windows' own IP Helper, loaded by full path from the
// system directory and bound on first use. Windows looks for a DLL that is
// not one of its known DLLs in the program's own folder first, and IP Helper
// is not one on every Windows this program is for: imported by name, a file
// called iphlpapi.dll beside the program (in a download folder, say) would
// run inside it, with the user's rights.
#include "platform.h"

#include <cwchar>

namespace {

// LOAD_LIBRARY_SEARCH_SYSTEM32, which the headers of the oldest Windows this
// is built for do not declare.
constexpr DWORD kSearchSystem32 = 0x00000800;

using SetDefaultDllDirectoriesFn = BOOL(WINAPI *)(DWORD);
using GetIpNetTableFn = ULONG(WINAPI *)(PMIB_IPNETTABLE, PULONG, WINBOOL);

GetIpNetTableFn g_pGetIpNetTable;

// Every later load in the process, also one that a system DLL makes by name,
// searches the system directory alone where Windows can (8 and later; Vista
// and 7 with update KB2533623, looked up here since XP lacks it). Elsewhere
// the current folder at least leaves the search, and IP Helper brings
// its own dependencies from its own folder. Returns the flags for loading.
DWORD ConfineDllSearch() {
  const auto pSetDefault =
      Kernel32Function<SetDefaultDllDirectoriesFn>("SetDefaultDllDirectories");
  if (pSetDefault != nullptr && pSetDefault(kSearchSystem32) != FALSE) {
    return kSearchSystem32;
  }
  (void)SetDllDirectoryW(L"");
  return LOAD_WITH_ALTERED_SEARCH_PATH;
}

// The system directory's copy of pszDll, never one found by name elsewhere;
// null, with the reason in GetLastError, when there is none.
HMODULE LoadSystemDll(const wchar_t *pszDll, DWORD dwFlags) {
  wchar_t szPath[MAX_PATH];
  const UINT cchDir = GetSystemDirectoryW(szPath, MAX_PATH);
  const std::size_t cchDll = std::wcslen(pszDll);
  if (cchDir == 0) {
    return nullptr;
  }
  if (cchDir + 1 + cchDll >= MAX_PATH) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  szPath[cchDir] = L'\\';
  std::wmemcpy(szPath + cchDir + 1, pszDll, cchDll + 1);
  return LoadLibraryExW(szPath, nullptr, dwFlags);
}

// pszName from the system's pszDll, or null with the reason in GetLastError.
template <typename Fn>
Fn SystemFunction(const wchar_t *pszDll, const char *pszName, DWORD dwFlags) {
  const HMODULE hDll = LoadSystemDll(pszDll, dwFlags);
  return FunctionCast<Fn>(hDll != nullptr ? GetProcAddress(hDll, pszName)
                                          : nullptr);
}

// Bound on the first call: a Windows that cannot give the function fails
// the table call with the reason (126 for a missing DLL, 127 for a missing
// function), and the run reports it as it reports any other failure of that
// call.
DWORD BindGetIpNetTable() {
  if (g_pGetIpNetTable != nullptr) {
    return NO_ERROR;
  }
  g_pGetIpNetTable = SystemFunction<GetIpNetTableFn>(
      L"iphlpapi.dll", "GetIpNetTable", ConfineDllSearch());
  if (g_pGetIpNetTable != nullptr) {
    return NO_ERROR;
  }
  const DWORD dwError = GetLastError();
  return dwError != NO_ERROR ? dwError : ERROR_PROC_NOT_FOUND;
}

} // namespace

extern "C" ULONG WINAPI GetIpNetTable(PMIB_IPNETTABLE IpNetTable,
                                      PULONG SizePointer, WINBOOL Order) {
  const DWORD dwStatus = BindGetIpNetTable();
  return dwStatus != NO_ERROR
             ? dwStatus
             : g_pGetIpNetTable(IpNetTable, SizePointer, Order);
}
