// FormatMessageW from a message table of the layer's own: Windows' English
// texts for every status code the layer and the tool can meet.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "layer.h"

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
  case ERROR_INVALID_HANDLE:
    return "The handle is invalid.\n";
  case ERROR_NOT_ENOUGH_MEMORY:
    return "Not enough memory resources are available to process this "
           "command.\n";
  case ERROR_INVALID_DATA:
    return "The data is invalid.\n";
  case ERROR_WRITE_PROTECT:
    return "The media is write protected.\n";
  case ERROR_BAD_UNIT:
    return "The system cannot find the device specified.\n";
  case ERROR_GEN_FAILURE:
    return "A device attached to the system is not functioning.\n";
  case ERROR_SHARING_VIOLATION:
    return "The process cannot access the file because it is being used by "
           "another process.\n";
  case ERROR_NOT_SUPPORTED:
    return "The request is not supported.\n";
  case ERROR_FILE_EXISTS:
    return "The file exists.\n";
  case ERROR_INVALID_PARAMETER:
    return "The parameter is incorrect.\n";
  case ERROR_BROKEN_PIPE:
    return "The pipe has been ended.\n";
  case ERROR_DISK_FULL:
    return "There is not enough space on the disk.\n";
  case ERROR_CALL_NOT_IMPLEMENTED:
    return "This function is not supported on this system.\n";
  case ERROR_INSUFFICIENT_BUFFER:
    return "The data area passed to a system call is too small.\n";
  case ERROR_BUSY:
    return "The requested resource is in use.\n";
  case ERROR_FILENAME_EXCED_RANGE:
    return "The filename or extension is too long.\n";
  case ERROR_FILE_TOO_LARGE:
    return "The file size exceeds the limit allowed and cannot be saved.\n";
  case ERROR_NO_DATA:
    return "The pipe is being closed.\n";
  case ERROR_INVALID_ADDRESS:
    return "Attempt to access invalid address.\n";
  case ERROR_OPERATION_ABORTED:
    return "The I/O operation has been aborted because of either a thread "
           "exit or an application request.\n";
  case ERROR_IO_DEVICE:
    return "The request could not be performed because of an I/O device "
           "error.\n";
  case ERROR_INTERNAL_ERROR:
    return "An internal error occurred.\n";
  case ERROR_TIMEOUT:
    return "This operation returned because the timeout period expired.\n";
  case ERROR_CANT_RESOLVE_FILENAME:
    return "The name of the file cannot be resolved by the system.\n";
  default:
    return nullptr;
  }
}

// An errno that the layer passed on as itself: the C library's text, as a
// sentence like the others.
bool ErrnoMessage(DWORD code, char (&text)[256]) {
  const DWORD err = code & ~APPLICATION_ERROR_MASK;
  if ((code & APPLICATION_ERROR_MASK) == 0 || err == 0 ||
      err > static_cast<DWORD>(kLastErrno)) {
    return false;
  }
  // The program never sets a locale, so the text is the C locale's English.
  (void)std::snprintf(text, sizeof text, "%s.\n",
                      std::strerror(static_cast<int>(err)));
  return true;
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
  char fromErrno[256];
  const char *text = ErrnoMessage(dwMessageId, fromErrno)
                         ? fromErrno
                         : FindMessage(dwMessageId);
  if (text == nullptr) {
    return 0;
  }
  const std::size_t n = std::strlen(text); // ASCII: the table, and C's texts
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
