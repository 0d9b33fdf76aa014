#include <cstdlib>

#include "arpexport.h"

namespace {

// The system's texts end their lines in "\r\n". Standard output is a text
// stream, which writes every "\n" as the platform's line end, so the "\r"
// goes here: otherwise the line would end in "\r\r\n" on Windows.
void ToStreamLineEnds(char *text) {
  char *out = text;
  for (const char *in = text; *in != '\0'; ++in) {
    if (in[0] != '\r' || in[1] != '\n') {
      *out++ = *in;
    }
  }
  *out = '\0';
}

// The text is UTF-16; standard output is narrow. Convert the whole text to
// the console's code page so that localized letters are not lost. The C
// allocator, not a container: the program then needs no C++ runtime
// library, which costs more to load than a small table takes to export.
void PrintStatusText(LPCWCH lpText, DWORD dwChars) {
  // Without a console this is 0, which is CP_ACP: the ANSI code page.
  const UINT uCodePage = GetConsoleOutputCP();
  const int cchText = static_cast<int>(dwChars);
  const int cbText = WideCharToMultiByte(uCodePage, 0, lpText, cchText, nullptr,
                                         0, nullptr, nullptr);
  const std::size_t cbBuffer =
      static_cast<std::size_t>(cbText > 0 ? cbText : 0) + 1;
  auto *text = static_cast<char *>(std::calloc(cbBuffer, 1));
  if (text == nullptr) {
    return;
  }
  if (cbText > 0) {
    WideCharToMultiByte(uCodePage, 0, lpText, cchText, text, cbText, nullptr,
                        nullptr);
  }
  ToStreamLineEnds(text);
  std::printf("\tError: %s", text);
  std::free(text);
}

// The system's text for dwStatus in dwLanguageId, allocated for the caller;
// 0 when there is none.
DWORD FormatStatusText(DWORD dwStatus, DWORD dwLanguageId, LPWSTR *lpMsgBuf) {
  return FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM |
                            FORMAT_MESSAGE_IGNORE_INSERTS |
                            FORMAT_MESSAGE_ALLOCATE_BUFFER,
                        nullptr, dwStatus, dwLanguageId,
                        reinterpret_cast<LPWSTR>(lpMsgBuf), 0, nullptr);
}

// A system whose message files lack the user's default language still has
// the text in another: language 0 lets Windows fall back through its own
// languages to US English.
bool MissingLanguage(DWORD dwError) {
  return dwError == ERROR_RESOURCE_LANG_NOT_FOUND ||
         dwError == ERROR_MUI_FILE_NOT_FOUND;
}

} // namespace

void ReportStatusText(DWORD dwStatus) {
  LPWSTR lpMsgBuf = nullptr;
  DWORD dwChars = FormatStatusText(
      dwStatus, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), &lpMsgBuf);
  if (dwChars == 0 && MissingLanguage(GetLastError())) {
    dwChars = FormatStatusText(dwStatus, 0, &lpMsgBuf);
  }
  // A code without system text ends the report after its first line.
  if (dwChars == 0) {
    return;
  }
  PrintStatusText(lpMsgBuf, dwChars);
  LocalFree(lpMsgBuf);
}
