// output.txt in the directory the user sees.
#include "platform.h"

namespace {

using Wow64DisableFn = BOOL(WINAPI *)(PVOID *);
using Wow64RevertFn = BOOL(WINAPI *)(PVOID);

} // namespace

std::FILE *OpenOutputFile(const char *pszName) {
  // 32-bit Windows XP has neither.
  const auto pDisable =
      Kernel32Function<Wow64DisableFn>("Wow64DisableWow64FsRedirection");
  const auto pRevert =
      Kernel32Function<Wow64RevertFn>("Wow64RevertWow64FsRedirection");
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
