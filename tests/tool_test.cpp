// The tool's own units against a scripted platform: the two-call protocol,
// the run sequence on every path, and the failure report byte for byte.
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sys/resource.h>

#include "arpexport.h"
#include "fake_platform.h"
#include "support.h"

namespace {

constexpr ULONG kRowsBytes = sizeof(MIB_IPNETROW);
constexpr ULONG kHeader = offsetof(MIB_IPNETTABLE, table);

class ToolTest : public ScratchDirTest {
protected:
  void SetUp() override {
    ScratchDirTest::SetUp();
    ResetFakePlatform();
    g_fake.messages[ERROR_INSUFFICIENT_BUFFER] =
        u"The data area passed to a system call is too small.\r\n";
    g_fake.messages[ERROR_ACCESS_DENIED] = u"Access is denied.\r\n";
    g_fake.messages[ERROR_DISK_FULL] =
        u"There is not enough space on the disk.\r\n";
    g_fake.messages[ERROR_INVALID_DATA] = u"The data is invalid.\r\n";
    g_fake.messages[ERROR_FILE_TOO_LARGE] =
        u"The file size exceeds the limit allowed and cannot be saved.\r\n";
  }
  void TearDown() override {
    EXPECT_EQ(g_fake.textsOutstanding, 0) << "message text not released";
    // A stop while the file is open must find it guarded; once the guard
    // has ended, nothing more may be written.
    EXPECT_EQ(g_fake.guarded, nullptr) << "the guard was not released";
    for (const FakeCall &call : g_fake.calls) {
      EXPECT_TRUE(call.guarded) << "the table was asked for unguarded";
    }
    if (g_fake.fileAtRelease) {
      EXPECT_EQ(*g_fake.fileAtRelease, Output()) << "written after the guard";
    }
    ResetFakePlatform();
    ScratchDirTest::TearDown();
  }

  // Runs the tool; returns its standard output. Exit status is always 0.
  static std::string Run() {
    int status = -1;
    std::string out = CaptureStdout([&] { status = RunExport(); });
    EXPECT_EQ(status, 0);
    return out;
  }
  static std::string Output() { return ReadBytes("output.txt"); }
};

// The fake writes of each physical address only the bytes its length
// counts, as Windows may: a row still being resolved shows six zero pairs,
// never what the heap block held before.
TEST_F(ToolTest, TwoCallProtocolAllocatesExactlyAndWritesRowsInOrder) {
  g_fake.rows = {MakeRow("192.168.0.1", {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}),
                 MakeRow("10.0.0.1", {0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, 3),
                 MakeRow("10.0.0.3", {}, 3),
                 MakeRow("192.168.0.1", {1, 2, 3, 4, 5, 6}, 2, 7)};
  EXPECT_EQ(Run(), "");
  EXPECT_EQ(Output(), "192.168.0.1 - 00:1a:2b:3c:4d:5e\n"
                      "10.0.0.1 - ff:ff:ff:ff:ff:ff\n"
                      "10.0.0.3 - 00:00:00:00:00:00\n"
                      "192.168.0.1 - 01:02:03:04:05:06\n");
  EXPECT_EQ(g_fake.allocationFlags, std::vector<DWORD>{HEAP_ZERO_MEMORY});

  const ULONG needed = kHeader + 4 * kRowsBytes;
  ASSERT_EQ(g_fake.calls.size(), 2U);
  EXPECT_FALSE(g_fake.calls[0].hadBuffer);
  EXPECT_EQ(g_fake.calls[0].sizeIn, 0U);
  EXPECT_TRUE(g_fake.calls[1].hadBuffer);
  EXPECT_EQ(g_fake.calls[1].sizeIn, needed);
  EXPECT_EQ(g_fake.calls[0].order, FALSE);
  EXPECT_EQ(g_fake.calls[1].order, FALSE);
  EXPECT_EQ(g_fake.allocations, std::vector<SIZE_T>{needed});
}

TEST_F(ToolTest, AllocatesOnlyWhenTheSizingCallAsksForIt) {
  for (const ULONG sizing : {NO_ERROR, ERROR_NO_DATA, ERROR_ACCESS_DENIED}) {
    ResetFakePlatform();
    g_fake.sizingStatus = sizing;
    g_fake.fillStatus = NO_ERROR; // success without a buffer: an empty table
    EXPECT_EQ(Run(), "") << sizing;
    EXPECT_EQ(Output(), "") << sizing;
    EXPECT_TRUE(g_fake.allocations.empty()) << sizing;
    ASSERT_EQ(g_fake.calls.size(), 2U) << sizing;
    EXPECT_FALSE(g_fake.calls[1].hadBuffer) << sizing;
  }
}

TEST_F(ToolTest, FailedAllocationStillMakesTheFillCallWithoutBuffer) {
  g_fake.rows = {MakeRow("10.0.0.1", {1, 2, 3, 4, 5, 6})};
  g_fake.failAllocation = true;
  EXPECT_EQ(Run(), "GetIpNetTable failed.\n"
                   "\tError: The data area passed to a system call is too "
                   "small.\n");
  ASSERT_EQ(g_fake.calls.size(), 2U);
  EXPECT_FALSE(g_fake.calls[1].hadBuffer);
  EXPECT_EQ(Output(), "");
}

TEST_F(ToolTest, TableThatGrowsBetweenTheCallsFailsWithoutRetry) {
  g_fake.rows = {MakeRow("10.0.0.1", {1, 2, 3, 4, 5, 6})};
  g_fake.rowsAddedAfterSizing = {MakeRow("10.0.0.2", {1, 2, 3, 4, 5, 7})};
  EXPECT_EQ(Run(), "GetIpNetTable failed.\n"
                   "\tError: The data area passed to a system call is too "
                   "small.\n");
  EXPECT_EQ(g_fake.calls.size(), 2U);
  EXPECT_EQ(g_fake.allocations.size(), 1U);
  EXPECT_EQ(Output(), "");
}

// Asked for in the user's default language; where the message files lack
// it (1815, 15100), once more in language 0, which falls back to one they
// have. Another failure is not a language's, and is not asked again.
TEST_F(ToolTest, FailureReportAsksForSystemTextAndReleasesIt) {
  const std::vector<DWORD> once{0x0400};
  const std::vector<DWORD> twice{0x0400, 0};
  for (const auto &[missing, languages] :
       {std::pair{NO_ERROR, once},
        std::pair{ERROR_RESOURCE_LANG_NOT_FOUND, twice},
        std::pair{ERROR_MUI_FILE_NOT_FOUND, twice},
        std::pair{ERROR_NOT_ENOUGH_MEMORY, once}}) {
    g_fake.formatFlags.clear();
    g_fake.formatLanguages.clear();
    g_fake.textsFreed = 0;
    g_fake.missingLanguageError = missing;
    g_fake.fillStatus = ERROR_ACCESS_DENIED;
    const std::string text = missing == ERROR_NOT_ENOUGH_MEMORY
                                 ? ""
                                 : "\tError: Access is denied.\n";
    EXPECT_EQ(Run(), "GetIpNetTable failed.\n" + text) << missing;
    EXPECT_EQ(g_fake.formatFlags, std::vector<DWORD>(languages.size(), 0x1300));
    EXPECT_EQ(g_fake.formatLanguages, languages) << missing;
    EXPECT_EQ(g_fake.textsFreed, text.empty() ? 0 : 1) << missing;
    g_fake.calls.clear();
  }
}

TEST_F(ToolTest, CodeWithoutTextEndsTheReportAfterItsFirstLine) {
  g_fake.fillStatus = 0x2000FFFFU;
  EXPECT_EQ(Run(), "GetIpNetTable failed.\n");
  EXPECT_EQ(g_fake.textsFreed, 0);
  EXPECT_EQ(g_fake.formatLanguages, std::vector<DWORD>{0x0400});
  EXPECT_EQ(Output(), "");
}

// The system's "\r\n" reaches the text stream as its own line end, once;
// a lone "\r" is text and stays.
TEST_F(ToolTest, SystemLineEndsBecomeTheStreamsOwn) {
  g_fake.fillStatus = ERROR_ACCESS_DENIED;
  g_fake.messages[ERROR_ACCESS_DENIED] = u"Two\r\nlines\r and a CR.\r\n";
  EXPECT_EQ(Run(), "GetIpNetTable failed.\n"
                   "\tError: Two\nlines\r and a CR.\n");
}

TEST_F(ToolTest, LocalizedTextIsPrintedWhole) {
  g_fake.fillStatus = ERROR_ACCESS_DENIED;
  g_fake.messages[ERROR_ACCESS_DENIED] = u"Zugriff verweigert – größer 😀\n";
  EXPECT_EQ(Run(), "GetIpNetTable failed.\n"
                   "\tError: Zugriff verweigert – größer 😀\n");
}

TEST_F(ToolTest, EmptyTableIsASuccessThatPrintsNothing) {
  std::ofstream("output.txt") << "old contents\n";
  EXPECT_EQ(Run(), "");
  EXPECT_TRUE(std::filesystem::exists("output.txt"));
  EXPECT_EQ(Output(), "");
}

TEST_F(ToolTest, ExistingFileIsTruncatedOnBothPaths) {
  g_fake.rows = {MakeRow("10.0.0.1", {1, 2, 3, 4, 5, 6})};
  std::ofstream("output.txt") << std::string(10000, 'x');
  Run();
  EXPECT_EQ(Output(), "10.0.0.1 - 01:02:03:04:05:06\n");

  ResetFakePlatform();
  g_fake.fillStatus = ERROR_ACCESS_DENIED;
  Run();
  EXPECT_EQ(Output(), "");
}

TEST_F(ToolTest, OutputThatCannotBeOpenedIsReportedAndNothingIsFetched) {
  std::filesystem::create_directory("output.txt");
  g_fake.rows = {MakeRow("10.0.0.1", {1, 2, 3, 4, 5, 6})};
  EXPECT_EQ(Run(), "Cannot open output.txt.\n\tError: Access is denied.\n");
  EXPECT_TRUE(g_fake.calls.empty());
}

TEST_F(ToolTest, WritesThatFailAreReported) {
  std::filesystem::create_symlink("/dev/full", "output.txt");
  g_fake.rows = {MakeRow("10.0.0.1", {1, 2, 3, 4, 5, 6})};
  EXPECT_EQ(Run(), "Cannot write output.txt.\n"
                   "\tError: There is not enough space on the disk.\n");
}

// A row whose address has no text (inet_ntoa may give none) is neither
// read through nor skipped: the table is not whole, so the file is empty.
TEST_F(ToolTest, RowWithoutAddressTextEmptiesTheFileAndIsReported) {
  g_fake.rows = {MakeRow("10.0.0.1", {1, 2, 3, 4, 5, 6}),
                 MakeRow("10.0.0.2", {1, 2, 3, 4, 5, 7}),
                 MakeRow("10.0.0.3", {1, 2, 3, 4, 5, 8})};
  g_fake.addressWithoutText = inet_addr("10.0.0.2");
  EXPECT_EQ(Run(), "Cannot write output.txt.\n\tError: The data is invalid.\n");
  EXPECT_EQ(Output(), "");
}

// Past the file-size limit a write fails (the program ignores SIGXFSZ).
// The file is emptied through the open stream: here it has been renamed
// meanwhile, and opening "output.txt" again would miss it.
TEST_F(ToolTest, FileSizeLimitEmptiesTheOpenFileAndIsReported) {
  for (int i = 0; i < 2000; ++i) {
    g_fake.rows.push_back(MakeRow("10.0.0.1", {1, 2, 3, 4, 5, 6}));
  }
  g_fake.duringFill = [] {
    std::filesystem::rename("output.txt", "moved.txt");
  };
  rlimit previous{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
  const auto ignored = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = previous;
  small.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const std::string out = Run();
  (void)setrlimit(RLIMIT_FSIZE, &previous);
  (void)std::signal(SIGXFSZ, ignored);
  EXPECT_EQ(out, "Cannot write output.txt.\n\tError: The file size exceeds "
                 "the limit allowed and cannot be saved.\n");
  EXPECT_EQ(ReadBytes("moved.txt"), "");
  EXPECT_FALSE(std::filesystem::exists("output.txt"));
}

} // namespace
