// The status text report against the platform's real message table.
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

} // namespace
