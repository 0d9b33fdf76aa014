#include <vector>

#include "arpexport.h"

namespace {

// The text is UTF-16; standard output is narrow. Convert the whole text to
// the console's code page so that localized letters are not lost.
void PrintStatusText(LPCWCH lpText, DWORD dwChars) {
  // Without a console this is 0, which is CP_ACP: the ANSI code page.
  const UINT uCodePage = GetConsoleOutputCP();
  const int cchText = static_cast<int>(dwChars);
  const int cbText = WideCharToMultiByte(uCodePage, 0, lpText, cchText, nullptr,
                                         0, nullptr, nullptr);
  std::vector<char> text(static_cast<std::size_t>(cbText > 0 ? cbText : 0) + 1);
  if (cbText > 0) {
    WideCharToMultiByte(uCodePage, 0, lpText, cchText, text.data(), cbText,
                        nullptr, nullptr);
  }
  std::printf("\tError: %s", text.data());
}

} // namespace

void ReportStatusText(DWORD dwStatus) {
  LPWSTR lpMsgBuf = nullptr;
  const DWORD dwChars = FormatMessageW(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
          FORMAT_MESSAGE_ALLOCATE_BUFFER,
      nullptr, dwStatus, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
      reinterpret_cast<LPWSTR>(&lpMsgBuf), 0, nullptr);
  // A code without system text ends the report after its first line.
  if (dwChars == 0) {
    return;
  }
  PrintStatusText(lpMsgBuf, dwChars);
  LocalFree(lpMsgBuf);
}
