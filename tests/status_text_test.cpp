// The status text report against the platform's real message table.
#include <algorithm>
#include <cstdlib>

#include "arpexport.h"
#include "support.h"

namespace {

TEST(StatusTextTest, InsufficientBufferHasTabPrefixAndTheWholeSystemText) {
  const std::string out = CaptureStdout([] { ReportStatusText(122); });
  ASSERT_GT(out.size(), std::string("\tError: ").size() + 2);
  EXPECT_EQ(out.rfind("\tError: ", 0), 0U) << out;
  EXPECT_EQ(out.back(), '\n') << "the system text carries its line end";
  EXPECT_EQ(out.find('\n'), out.size() - 1) << "one line only: " << out;
}

TEST(StatusTextTest, CodeWithoutSystemTextPrintsNothing) {
  EXPECT_EQ(CaptureStdout([] { ReportStatusText(0x2000FFFFU); }), "");
}

#ifdef _WIN32
// What the report falls back on: where the message files lack a language
// (here Kazakh, which Wine's have not), the lookup fails for a language
// reason, and language 0 still finds a text.
TEST(StatusTextTest, LanguageZeroHasTextWhereALanguageIsMissing) {
  LPWSTR text = nullptr;
  EXPECT_EQ(FormatMessageW(0x1300, nullptr, ERROR_INSUFFICIENT_BUFFER, 0x043F,
                           reinterpret_cast<LPWSTR>(&text), 0, nullptr),
            0U);
  const DWORD dwError = GetLastError();
  EXPECT_TRUE(dwError == ERROR_RESOURCE_LANG_NOT_FOUND ||
              dwError == ERROR_MUI_FILE_NOT_FOUND)
      << dwError;
  ASSERT_GT(FormatMessageW(0x1300, nullptr, ERROR_INSUFFICIENT_BUFFER, 0,
                           reinterpret_cast<LPWSTR>(&text), 0, nullptr),
            0U);
  LocalFree(text);
}

// Run under a non-English locale: the text holds letters outside ASCII, and
// every one of them must reach standard output.
TEST(StatusTextTest, LocalizedTextIsPrintedWhole) {
  if (std::getenv("ARPEXPORT_EXPECT_LOCALIZED") == nullptr) {
    GTEST_SKIP() << "run with a non-English locale";
  }
  const DWORD code = ERROR_NOT_ENOUGH_MEMORY;
  LPWSTR text = nullptr;
  const DWORD n = FormatMessageW(0x1300, nullptr, code, 0x0400,
                                 reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  ASSERT_GT(n, 0U);
  const std::wstring wide(text, n);
  LocalFree(text);
  ASSERT_TRUE(std::any_of(wide.begin(), wide.end(), [](wchar_t c) {
    return c > 0x7F;
  })) << "the system's text is not localized";

  // Read the bytes back in the console's code page: nothing may be missing.
  // The capture is read back as text, so each line ends in "\n" there.
  std::wstring expected = L"\tError: ";
  for (std::size_t i = 0; i < wide.size(); ++i) {
    if (wide.compare(i, 2, L"\r\n") != 0) {
      expected += wide[i];
    }
  }
  const std::string out = CaptureStdout([&] { ReportStatusText(code); });
  UINT codePage = GetConsoleOutputCP();
  codePage = codePage != 0 ? codePage : CP_ACP;
  std::wstring back(out.size(), L'\0');
  back.resize(static_cast<std::size_t>(
      MultiByteToWideChar(codePage, 0, out.data(), static_cast<int>(out.size()),
                          back.data(), static_cast<int>(back.size()))));
  EXPECT_EQ(back, expected);
}
#endif

} // namespace
