// UTF-16 to the console's narrow text. Linux consoles speak UTF-8, so every
// code page is served as UTF-8.
#include "platform.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// The code point at text[*i], advancing *i; lone surrogates are replaced.
char32_t NextCodePoint(LPCWCH text, int count, int *i) {
  const char32_t unit = text[(*i)++];
  if (unit < 0xD800 || unit > 0xDFFF) {
    return unit;
  }
  if (unit <= 0xDBFF && *i < count && text[*i] >= 0xDC00 &&
      text[*i] <= 0xDFFF) {
    const char32_t low = text[(*i)++];
    return 0x10000 + ((unit - 0xD800) << 10U) + (low - 0xDC00);
  }
  return kReplacement;
}

int EncodeUtf8(char32_t cp, char *out) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6U));
    out[1] = static_cast<char>(0x80 | (cp & 0x3FU));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12U));
    out[1] = static_cast<char>(0x80 | ((cp >> 6U) & 0x3FU));
    out[2] = static_cast<char>(0x80 | (cp & 0x3FU));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18U));
  out[1] = static_cast<char>(0x80 | ((cp >> 12U) & 0x3FU));
  out[2] = static_cast<char>(0x80 | ((cp >> 6U) & 0x3FU));
  out[3] = static_cast<char>(0x80 | (cp & 0x3FU));
  return 4;
}

int Utf16Length(LPCWCH text) {
  int n = 0;
  while (text[n] != 0) {
    ++n;
  }
  return n + 1; // with the terminator, as Windows counts for -1
}

} // namespace

UINT GetConsoleOutputCP() { return CP_UTF8; }

// As on Windows: with cbMultiByte 0 it returns the size needed; otherwise
// the bytes written, or 0 when they do not fit.
int WideCharToMultiByte(UINT /*CodePage*/, DWORD /*dwFlags*/,
                        LPCWCH lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte,
                        LPCCH /*lpDefaultChar*/, LPBOOL /*lpUsedDefaultChar*/) {
  if (lpWideCharStr == nullptr || cbMultiByte < 0 ||
      (cbMultiByte > 0 && lpMultiByteStr == nullptr)) {
    return 0;
  }
  const int count = cchWideChar < 0 ? Utf16Length(lpWideCharStr) : cchWideChar;
  int written = 0;
  for (int i = 0; i < count;) {
    char bytes[4];
    const int n = EncodeUtf8(NextCodePoint(lpWideCharStr, count, &i), bytes);
    if (cbMultiByte != 0) {
      if (written + n > cbMultiByte) {
        return 0;
      }
      for (int k = 0; k < n; ++k) {
        lpMultiByteStr[written + k] = bytes[k];
      }
    }
    written += n;
  }
  return written;
}
