// FormatMessageW from a message table of the layer's own: Windows' English
// texts for every status code the layer and the tool can meet.
#include <cstdlib>
#include <cstring>

#include "platform.h"

namespace {

struct Message {
  DWORD code;
  const char *text;
};

constexpr Message kMessages[] = {
    {NO_ERROR, "The operation completed successfully.\n"},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\n"},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified.\n"},
    {ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file.\n"},
    {ERROR_ACCESS_DENIED, "Access is denied.\n"},
    {ERROR_NOT_ENOUGH_MEMORY,
     "Not enough memory resources are available to process this command.\n"},
    {ERROR_WRITE_PROTECT, "The media is write protected.\n"},
    {ERROR_GEN_FAILURE,
     "A device attached to the system is not functioning.\n"},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\n"},
    {ERROR_DISK_FULL, "There is not enough space on the disk.\n"},
    {ERROR_INSUFFICIENT_BUFFER,
     "The data area passed to a system call is too small.\n"},
    {ERROR_BUSY, "The requested resource is in use.\n"},
    {ERROR_NO_DATA, "The pipe is being closed.\n"},
};

const char *FindMessage(DWORD code) {
  for (const Message &m : kMessages) {
    if (m.code == code) {
      return m.text;
    }
  }
  return nullptr;
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
