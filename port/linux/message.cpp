// FormatMessageW from a message table of the layer's own: Windows' English
// texts for every status code the layer and the tool can meet.
#include <cstdlib>
#include <cstring>

#include "platform.h"

namespace {

const char *FindMessage(DWORD code) {
  switch (code) {
  case NO_ERROR:
    return "The operation completed successfully.\n";
  case ERROR_FILE_NOT_FOUND:
    return "The system cannot find the file specified.\n";
  case ERROR_PATH_NOT_FOUND:
    return "The system cannot find the path specified.\n";
  case ERROR_TOO_MANY_OPEN_FILES:
    return "The system cannot open the file.\n";
  case ERROR_ACCESS_DENIED:
    return "Access is denied.\n";
  case ERROR_NOT_ENOUGH_MEMORY:
    return "Not enough memory resources are available to process this "
           "command.\n";
  case ERROR_WRITE_PROTECT:
    return "The media is write protected.\n";
  case ERROR_GEN_FAILURE:
    return "A device attached to the system is not functioning.\n";
  case ERROR_INVALID_PARAMETER:
    return "The parameter is incorrect.\n";
  case ERROR_DISK_FULL:
    return "There is not enough space on the disk.\n";
  case ERROR_INSUFFICIENT_BUFFER:
    return "The data area passed to a system call is too small.\n";
  case ERROR_BUSY:
    return "The requested resource is in use.\n";
  case ERROR_NO_DATA:
    return "The pipe is being closed.\n";
  default:
    return nullptr;
  }
}

bool SupportedLanguage(DWORD lang) {
  return lang == 0 || lang == MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT) ||
         lang == MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL) ||
         lang == MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT);
}

} // namespace

// Only what the tool asks for: system text, allocated for the caller.
DWORD FormatMessageW(DWORD dwFlags, LPCVOID /*lpSource*/, DWORD dwMessageId,
                     DWORD dwLanguageId, LPWSTR lpBuffer, DWORD /*nSize*/,
                     void * /*Arguments*/) {
  constexpr DWORD kNeeded =
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER;
  if ((dwFlags & kNeeded) != kNeeded || lpBuffer == nullptr ||
      !SupportedLanguage(dwLanguageId)) {
    return 0;
  }
  const char *text = FindMessage(dwMessageId);
  if (text == nullptr) {
    return 0;
  }
  const std::size_t n = std::strlen(text); // the table holds ASCII only
  auto *wide = static_cast<WCHAR *>(std::malloc((n + 1) * sizeof(WCHAR)));
  if (wide == nullptr) {
    return 0;
  }
  for (std::size_t i = 0; i <= n; ++i) {
    wide[i] = static_cast<WCHAR>(text[i]);
  }
  std::memcpy(lpBuffer, &wide, sizeof wide); // the buffer's address goes back
  return static_cast<DWORD>(n);
}

HLOCAL LocalFree(HLOCAL hMem) {
  std::free(hMem);
  return nullptr;
}
