// The Linux layer without a kernel: reply parsing on captured and hostile
// bytes, the dump loop over a scripted socket, messages and text conversion.
#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>

#include "arpexport.h"
#include "fake_netlink.h"
#include "layer.h"
#include "support.h"

namespace {

Bytes Fixture(const char *name) {
  std::ifstream in(std::string(ARPEXPORT_TEST_DATA) + "/" + name,
                   std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string Dotted(DWORD addr) {
  in_addr a{};
  a.s_addr = addr;
  return inet_ntoa(a);
}

struct Parsed {
  DumpStep step;
  int error;
  std::uint64_t count;
  std::vector<MIB_IPNETROW> rows;
};

// Parses bytes from a heap copy of exactly their size, so that any read past
// the end is caught by the sanitizers, into rows of the given capacity.
Parsed Parse(const Bytes &bytes, std::size_t capacity = 16) {
  auto copy = std::make_unique<unsigned char[]>(bytes.size() + 1);
  std::copy(bytes.begin(), bytes.end(), copy.get());
  Parsed p{DumpStep::More, 0, 0, std::vector<MIB_IPNETROW>(capacity)};
  RowSink sink{p.rows.data(), capacity, 0};
  p.step = ParseNeighDump(copy.get(), bytes.size(), &sink, &p.error);
  p.count = sink.count;
  p.rows.resize(capacity < p.count ? capacity : p.count);
  return p;
}

const Bytes kMac{0x02, 0x00, 0x00, 0x00, 0x0a, 0x01};

TEST(NeighParseTest, CapturedDumpGivesEveryEntryWithTypeAndLength) {
  const Parsed p = Parse(Fixture("neigh_dump.bin"));
  ASSERT_EQ(p.step, DumpStep::Done);
  ASSERT_EQ(p.count, 6U);
  std::map<std::string, MIB_IPNETROW> byAddress;
  for (const MIB_IPNETROW &row : p.rows) {
    byAddress[Dotted(row.dwAddr)] = row;
    EXPECT_EQ(row.bPhysAddr[6], 0);
    EXPECT_EQ(row.bPhysAddr[7], 0);
  }
  EXPECT_EQ(byAddress["10.9.1.1"].dwType, 4U); // permanent
  EXPECT_EQ(byAddress["10.9.1.1"].dwPhysAddrLen, 6U);
  EXPECT_EQ(byAddress["10.9.1.1"].bPhysAddr[5], 0x01);
  EXPECT_EQ(byAddress["10.9.2.2"].dwType, 4U); // noarp
  EXPECT_EQ(byAddress["10.9.2.3"].dwType, 3U); // stale
  EXPECT_EQ(byAddress["10.9.2.1"].dwType, 2U); // incomplete
  EXPECT_EQ(byAddress["10.9.2.1"].dwPhysAddrLen, 0U);
  EXPECT_EQ(std::memcmp(byAddress["10.9.2.1"].bPhysAddr, Bytes(8).data(), 8),
            0);
}

TEST(NeighParseTest, RowsPastTheCapacityAreCountedNotStored) {
  const Bytes bytes = Join({Neigh("10.0.0.1", kMac), Neigh("10.0.0.2", kMac),
                            Neigh("10.0.0.3", kMac), Done()});
  std::vector<MIB_IPNETROW> rows(3);
  std::memset(rows.data(), 0xAB, rows.size() * sizeof rows[0]);
  RowSink sink{rows.data(), 2, 0};
  int error = 0;
  EXPECT_EQ(ParseNeighDump(bytes.data(), bytes.size(), &sink, &error),
            DumpStep::Done);
  EXPECT_EQ(sink.count, 3U);
  EXPECT_EQ(Dotted(rows[1].dwAddr), "10.0.0.2");
  EXPECT_EQ(rows[2].dwAddr, 0xABABABABU) << "wrote past the capacity";
}

TEST(NeighParseTest, StatesMapToTypes) {
  const std::pair<std::uint16_t, DWORD> cases[] = {
      {NUD_PERMANENT, 4},  {NUD_NOARP, 4},  {NUD_REACHABLE, 3},
      {NUD_STALE, 3},      {NUD_DELAY, 3},  {NUD_PROBE, 3},
      {NUD_INCOMPLETE, 2}, {NUD_FAILED, 2}, {NUD_NONE, 1}};
  for (const auto &[state, type] : cases) {
    const Parsed p = Parse(Neigh("10.0.0.1", kMac, state, 9));
    ASSERT_EQ(p.count, 1U) << state;
    EXPECT_EQ(p.rows[0].dwType, type) << state;
    EXPECT_EQ(p.rows[0].dwIndex, 9U);
  }
}

TEST(NeighParseTest, AttributesOfOddLengthsAreCheckedBeforeUse) {
  ndmsg ndm{};
  ndm.ndm_family = AF_INET;
  // A destination that is not exactly four bytes makes no row.
  for (std::size_t n : {0U, 3U, 5U, 16U}) {
    EXPECT_EQ(
        Parse(Message(RTM_NEWNEIGH, ndm, {Attr(NDA_DST, Bytes(n, 1))})).count,
        0U)
        << n;
  }
  // A long link-layer address is cut to the eight bytes a row holds.
  const Parsed p = Parse(Message(
      RTM_NEWNEIGH, ndm,
      {Attr(NDA_DST, Ipv4("10.0.0.1")), Attr(NDA_LLADDR, Bytes(20, 0x77))}));
  ASSERT_EQ(p.count, 1U);
  EXPECT_EQ(p.rows[0].dwPhysAddrLen, 8U);
  // Other families are not IPv4 rows.
  ndm.ndm_family = AF_INET6;
  EXPECT_EQ(
      Parse(Message(RTM_NEWNEIGH, ndm, {Attr(NDA_DST, Ipv4("1.2.3.4"))})).count,
      0U);
}

TEST(NeighParseTest, ControlMessagesEndOrFailTheDump) {
  EXPECT_EQ(Parse(Neigh("10.0.0.1", kMac)).step, DumpStep::More);
  EXPECT_EQ(Parse(Join({Done(), Neigh("10.0.0.1", kMac)})).count, 0U);

  const Parsed denied =
      Parse(Join({Neigh("10.0.0.1", kMac), ErrorReply(-EPERM)}));
  EXPECT_EQ(denied.step, DumpStep::Failed);
  EXPECT_EQ(denied.error, EPERM);

  const Parsed failedDump = Parse(Done(-ENOBUFS));
  EXPECT_EQ(failedDump.step, DumpStep::Failed);
  EXPECT_EQ(failedDump.error, ENOBUFS);

  EXPECT_EQ(
      Parse(Join({Neigh("10.0.0.1", kMac),
                  Neigh("10.0.0.2", kMac, NUD_PERMANENT, 2, NLM_F_DUMP_INTR)}))
          .step,
      DumpStep::Interrupted);
  EXPECT_EQ(Parse(Done(0, NLM_F_DUMP_INTR)).step, DumpStep::Interrupted);
}

TEST(NeighParseTest, CutOrLyingBytesNeverReadPastTheEnd) {
  const Bytes whole = Fixture("neigh_dump.bin");
  for (auto end = whole.begin(); end != whole.end(); ++end) {
    const Parsed p = Parse(Bytes(whole.begin(), end));
    EXPECT_NE(p.step, DumpStep::Done) << end - whole.begin();
    EXPECT_LE(p.count, 6U) << end - whole.begin();
  }
  // A header that claims more than there is.
  Bytes lying = Neigh("10.0.0.1", kMac);
  lying[0] = 0xFF;
  const Parsed p = Parse(lying);
  EXPECT_EQ(p.step, DumpStep::Failed);
  EXPECT_EQ(p.error, EBADMSG);
  // An attribute that claims more than its message.
  Bytes attr = Neigh("10.0.0.1", kMac);
  attr[NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(ndmsg))] = 0xF0;
  EXPECT_EQ(Parse(attr).count, 0U);
}

TEST(NeighTableParseTest, FindsTheIpv4TablesCounters) {
  TableStamp stamp{};
  int error = 0;
  const Bytes captured = Fixture("neightbl_dump.bin");
  EXPECT_EQ(
      ParseNeighTableDump(captured.data(), captured.size(), &stamp, &error),
      DumpStep::Done);
  EXPECT_TRUE(stamp.found);
  EXPECT_GE(stamp.entries, 6U);
  EXPECT_GE(stamp.allocs, stamp.entries);

  const Bytes made =
      Join({TableInfo(AF_INET6, 7, 70), TableInfo(AF_INET, 42, 420)});
  stamp = TableStamp{};
  EXPECT_EQ(ParseNeighTableDump(made.data(), made.size(), &stamp, &error),
            DumpStep::More);
  EXPECT_TRUE(stamp.found);
  EXPECT_EQ(stamp.entries, 42U);
  EXPECT_EQ(stamp.allocs, 420U);
}

// GetIpNetTable over a scripted socket.
class LayerTest : public ::testing::Test {
protected:
  void SetUp() override { g_netlink = FakeNetlink{}; }
  void TearDown() override {
    EXPECT_EQ(g_netlink.opens, g_netlink.closes) << "socket left open";
  }
  static std::vector<Bytes> Entries(int n) {
    std::vector<Bytes> dump;
    dump.reserve(static_cast<std::size_t>(n) + 1);
    for (int i = 0; i < n; ++i) {
      dump.push_back(Neigh(("10.0.0." + std::to_string(i + 1)).c_str(), kMac));
    }
    dump.push_back(Done());
    return dump;
  }
};

constexpr ULONG kHeader = offsetof(MIB_IPNETTABLE, table);

TEST_F(LayerTest, SizingUsesTheKernelsEntryCountWhenItHasOne) {
  g_netlink.tableDumps = {{Join({TableInfo(AF_INET, 5), Done()})}};
  ULONG size = 0;
  EXPECT_EQ(GetIpNetTable(nullptr, &size, FALSE), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(size, kHeader + 5 * sizeof(MIB_IPNETROW));
  EXPECT_EQ(g_netlink.requests, std::vector<std::uint16_t>{RTM_GETNEIGHTBL});
}

TEST_F(LayerTest, SizingCountsByDumpWithoutEntryCount) {
  g_netlink.neighDumps = {Entries(3)};
  ULONG size = 0;
  EXPECT_EQ(GetIpNetTable(nullptr, &size, FALSE), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(size, kHeader + 3 * sizeof(MIB_IPNETROW));
}

TEST_F(LayerTest, EmptyTableAndNullSize) {
  ULONG size = 0;
  EXPECT_EQ(GetIpNetTable(nullptr, &size, FALSE), ERROR_NO_DATA);
  std::vector<MIB_IPNETROW> rows(2);
  size = sizeof(MIB_IPNETROW) * 2;
  EXPECT_EQ(GetIpNetTable(reinterpret_cast<PMIB_IPNETTABLE>(rows.data()), &size,
                          FALSE),
            ERROR_NO_DATA);
  EXPECT_EQ(GetIpNetTable(nullptr, nullptr, FALSE), ERROR_INVALID_PARAMETER);
}

TEST_F(LayerTest, FillReportsTheExactSizeWhenTheBufferIsTooSmall) {
  g_netlink.neighDumps = {Entries(4), Entries(4)};
  std::vector<unsigned char> buffer(kHeader + 2 * sizeof(MIB_IPNETROW) + 8,
                                    0xAB);
  ULONG size = kHeader + 2 * sizeof(MIB_IPNETROW);
  auto *table = reinterpret_cast<PMIB_IPNETTABLE>(buffer.data());
  EXPECT_EQ(GetIpNetTable(table, &size, FALSE), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(size, kHeader + 4 * sizeof(MIB_IPNETROW));
  EXPECT_EQ(buffer.back(), 0xAB) << "wrote past the buffer";

  buffer.assign(size, 0xAB);
  table = reinterpret_cast<PMIB_IPNETTABLE>(buffer.data());
  ASSERT_EQ(GetIpNetTable(table, &size, FALSE), NO_ERROR);
  EXPECT_EQ(table->dwNumEntries, 4U);
  EXPECT_EQ(Dotted(table->table[3].dwAddr), "10.0.0.4");
}

TEST_F(LayerTest, InterruptedDumpsAreRestartedABoundedNumberOfTimes) {
  const std::vector<Bytes> interrupted{
      Join({Neigh("10.0.0.9", kMac), Done(0, NLM_F_DUMP_INTR)})};
  g_netlink.neighDumps = {interrupted, interrupted, Entries(2)};
  std::vector<MIB_IPNETROW> rows(4);
  ULONG size = sizeof(MIB_IPNETROW) * 4;
  auto *table = reinterpret_cast<PMIB_IPNETTABLE>(rows.data());
  ASSERT_EQ(GetIpNetTable(table, &size, FALSE), NO_ERROR);
  EXPECT_EQ(table->dwNumEntries, 2U);
  EXPECT_EQ(g_netlink.backOffs, (std::vector<int>{1, 2}));

  g_netlink = FakeNetlink{};
  g_netlink.neighDumps.assign(100, interrupted);
  EXPECT_EQ(GetIpNetTable(table, &size, FALSE), ERROR_BUSY);
  EXPECT_EQ(g_netlink.backOffs.size(), 63U);
}

// The kernel does not mark a neighbour dump that the table changed under:
// its counters, read before and after, tell.
TEST_F(LayerTest, DumpIsRepeatedWhenTheTablesCountersMoved) {
  const std::vector<Bytes> stamp5{Join({TableInfo(AF_INET, 5, 100), Done()})};
  const std::vector<Bytes> stamp6{Join({TableInfo(AF_INET, 6, 101), Done()})};
  g_netlink.tableDumps = {stamp5, stamp6, stamp6, stamp6};
  g_netlink.neighDumps = {Entries(1), Entries(2)};
  std::vector<MIB_IPNETROW> rows(4);
  ULONG size = sizeof(MIB_IPNETROW) * 4;
  auto *table = reinterpret_cast<PMIB_IPNETTABLE>(rows.data());
  ASSERT_EQ(GetIpNetTable(table, &size, FALSE), NO_ERROR);
  EXPECT_EQ(table->dwNumEntries, 2U) << "the first, inconsistent dump was kept";
  EXPECT_EQ(g_netlink.requests,
            (std::vector<std::uint16_t>{RTM_GETNEIGHTBL, RTM_GETNEIGH,
                                        RTM_GETNEIGHTBL, RTM_GETNEIGHTBL,
                                        RTM_GETNEIGH, RTM_GETNEIGHTBL}));
}

TEST_F(LayerTest, SocketFailuresBecomeStatusCodes) {
  const std::pair<int, DWORD> cases[] = {{EMFILE, ERROR_TOO_MANY_OPEN_FILES},
                                         {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
                                         {EACCES, ERROR_ACCESS_DENIED},
                                         {ENOBUFS, ERROR_NOT_ENOUGH_MEMORY},
                                         {EPROTONOSUPPORT, ERROR_GEN_FAILURE}};
  for (const auto &[err, status] : cases) {
    g_netlink.openErrno = err;
    ULONG size = 0;
    EXPECT_EQ(GetIpNetTable(nullptr, &size, FALSE), status) << err;
  }
  g_netlink = FakeNetlink{};
  g_netlink.neighDumps = {{ErrorReply(-EPERM)}, {{Neigh("10.0.0.1", kMac)}}};
  ULONG size = 0;
  EXPECT_EQ(GetIpNetTable(nullptr, &size, FALSE), ERROR_ACCESS_DENIED);
  // The socket ends before NLMSG_DONE: a failure, never a short table.
  EXPECT_EQ(GetIpNetTable(nullptr, &size, FALSE), ERROR_GEN_FAILURE);
}

TEST(MessageTest, EveryCodeTheToolMeetsHasTextEndingInALineEnd) {
  for (const DWORD code :
       {0U, 2U, 3U, 4U, 5U, 8U, 19U, 31U, 87U, 112U, 122U, 170U, 232U}) {
    LPWSTR text = nullptr;
    const DWORD n = FormatMessageW(0x1300, nullptr, code, 0x0400,
                                   reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    ASSERT_GT(n, 1U) << code;
    EXPECT_EQ(text[n - 1], u'\n') << code;
    EXPECT_EQ(text[n], u'\0') << code;
    LocalFree(text);
  }
  LPWSTR text = nullptr;
  EXPECT_EQ(FormatMessageW(0x1300, nullptr, 9999, 0x0400,
                           reinterpret_cast<LPWSTR>(&text), 0, nullptr),
            0U);
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(CaptureStdout([] { ReportStatusText(122); }),
            "\tError: The data area passed to a system call is too small.\n");
}

TEST(TextTest, Utf16BecomesUtf8WithSizesAsWindowsCountsThem) {
  const std::u16string text = u"A\u00e9\u20ac\U0001F600";
  const int n = static_cast<int>(text.size());
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text.c_str(), n, nullptr, 0,
                                nullptr, nullptr),
            10);
  char out[16] = {};
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text.c_str(), n, out, 9, nullptr,
                                nullptr),
            0)
      << "a short buffer must fail, not cut";
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out, 16, nullptr,
                                nullptr),
            11);
  EXPECT_STREQ(out, "A\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
  const char16_t lone[] = {0xD800, u'x', 0};
  EXPECT_EQ(
      WideCharToMultiByte(CP_UTF8, 0, lone, -1, out, 16, nullptr, nullptr), 5);
  EXPECT_STREQ(out, "\xef\xbf\xbdx");
}

} // namespace
