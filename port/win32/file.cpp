// output.txt in the directory the user sees.
#include "platform.h"

namespace {

using Wow64DisableFn = BOOL(WINAPI *)(PVOID *);
using Wow64RevertFn = BOOL(WINAPI *)(PVOID);

// Looked up when called: 32-bit Windows XP has neither function, and a
// program that imported them would not load there.
FARPROC Kernel32Function(const char *pszName) {
  const HMODULE hKernel32 = GetModuleHandleW(L"kernel32.dll");
  return hKernel32 != nullptr ? GetProcAddress(hKernel32, pszName) : nullptr;
}

} // namespace

std::FILE *OpenOutputFile(const char *pszName) {
  const auto pDisable = FunctionCast<Wow64DisableFn>(
      Kernel32Function("Wow64DisableWow64FsRedirection"));
  const auto pRevert = FunctionCast<Wow64RevertFn>(
      Kernel32Function("Wow64RevertWow64FsRedirection"));
  PVOID pOldValue = nullptr;
  // Fails where there is nothing to redirect: a 64-bit or a 32-bit Windows.
  const bool bOff = pDisable != nullptr && pRevert != nullptr &&
                    pDisable(&pOldValue) != FALSE;
  std::FILE *pFile = std::fopen(pszName, "w");
  // Back on at once: the rest of the process sees the system it expects.
  const DWORD dwError = GetLastError();
  if (bOff) {
    (void)pRevert(pOldValue);
  }
  SetLastError(dwError);
  return pFile;
}
