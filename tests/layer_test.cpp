// The Linux layer without a kernel: reply parsing on captured and hostile
// bytes, the dump loop over a scripted socket, messages and text conversion.
#include <algorithm>
#include <bit>
#include <cerrno>
#include <dlfcn.h>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sys/mman.h>
#include <unistd.h>

#include "arpexport.h"
#include "fake_netlink.h"
#include "layer.h"
#include "support.h"

namespace {

// The captures were taken from a little-endian kernel, and netlink is in the
// host's order: on a big-endian machine they are not what its kernel sends.
// There the messages built in host order below cover the same parsing, and
// a real kernel's dump is read on one in the kernel matrix.
constexpr bool kCapturesFitHost = std::endian::native == std::endian::little;

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

// The request that bytes answer: their first message's sequence and port.
DumpId AnsweredBy(const Bytes &bytes) {
  nlmsghdr first{};
  std::memcpy(&first, bytes.data(), std::min(bytes.size(), sizeof first));
  return {first.nlmsg_seq, first.nlmsg_pid};
}

// Parses bytes from a heap copy of exactly their size, so that any read past
// the end is caught by the sanitizers, into rows of the given capacity.
Parsed Parse(const Bytes &bytes, std::size_t capacity = 16,
             DumpId id = {1, 0}) {
  auto copy = std::make_unique<unsigned char[]>(bytes.size() + 1);
  std::copy(bytes.begin(), bytes.end(), copy.get());
  Parsed p{DumpStep::More, 0, 0, std::vector<MIB_IPNETROW>(capacity)};
  RowSink sink{p.rows.data(), capacity, 0, nullptr, nullptr};
  p.step = ParseNeighDump(copy.get(), bytes.size(), id, &sink, &p.error);
  p.count = sink.count;
  p.rows.resize(capacity < p.count ? capacity
                                   : static_cast<std::size_t>(p.count));
  return p;
}

const Bytes kMac{0x02, 0x00, 0x00, 0x00, 0x0a, 0x01};

TEST(NeighParseTest, CapturedDumpGivesEveryEntryWithTypeAndLength) {
  if (!kCapturesFitHost) {
    GTEST_SKIP() << "the capture is little-endian, this host big-endian";
  }
  const Bytes captured = Fixture("neigh_dump.bin");
  const Parsed p = Parse(captured, 16, AnsweredBy(captured));
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
  RowSink sink{rows.data(), 2, 0, nullptr, nullptr};
  int error = 0;
  EXPECT_EQ(ParseNeighDump(bytes.data(), bytes.size(), {1, 0}, &sink, &error),
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
  // The attributes may come in any order, and a malformed destination does
  // not hide a good one after it.
  const Parsed q = Parse(Message(
      RTM_NEWNEIGH, ndm,
      {Attr(NDA_PROBES, Bytes(4, 0)), Attr(NDA_LLADDR, Bytes{1, 2, 3, 4}),
       Attr(NDA_DST, Bytes(3, 9)), Attr(NDA_DST, Ipv4("10.0.0.2"))}));
  ASSERT_EQ(q.count, 1U);
  EXPECT_EQ(Dotted(q.rows[0].dwAddr), "10.0.0.2");
  EXPECT_EQ(q.rows[0].dwPhysAddrLen, 4U);
  EXPECT_EQ(
      std::memcmp(q.rows[0].bPhysAddr, Bytes{1, 2, 3, 4, 0, 0, 0, 0}.data(), 8),
      0);
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

// Only the answer to our request becomes rows: another process's messages,
// or a reply to another request, are passed over, even a forged end.
TEST(NeighParseTest, MessagesNotAddressedToTheRequestAreNotRows) {
  ndmsg ndm{};
  ndm.ndm_family = AF_INET;
  const Bytes forged =
      Message(RTM_NEWNEIGH, ndm,
              {Attr(NDA_DST, Ipv4("6.6.6.6")),
               Attr(NDA_LLADDR, Bytes{0xde, 0xad, 0xbe, 0xef, 0x00, 0x01})},
              0, 31337);
  const Bytes forgedEnd = Message(NLMSG_DONE, 0, {}, 0, 31337);
  const Parsed p = Parse(Join({Neigh("10.0.0.1", kMac), forged, forgedEnd,
                               Neigh("10.0.0.2", kMac), Done()}));
  EXPECT_EQ(p.step, DumpStep::Done);
  ASSERT_EQ(p.count, 2U);
  EXPECT_EQ(Dotted(p.rows[1].dwAddr), "10.0.0.2");
  // The same bytes, answering another request: nothing at all.
  EXPECT_EQ(Parse(Join({Neigh("10.0.0.1", kMac), Done()}), 16, {2, 0}).step,
            DumpStep::More);
}

TEST(NeighParseTest, CutOrLyingBytesNeverReadPastTheEnd) {
  const Bytes whole = kCapturesFitHost
                          ? Fixture("neigh_dump.bin")
                          : Join({Neigh("10.0.0.1", kMac), Done()});
  for (auto end = whole.begin(); end != whole.end(); ++end) {
    const Parsed p = Parse(Bytes(whole.begin(), end), 16, AnsweredBy(whole));
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
  if (kCapturesFitHost) {
    const Bytes captured = Fixture("neightbl_dump.bin");
    EXPECT_EQ(ParseNeighTableDump(captured.data(), captured.size(),
                                  AnsweredBy(captured), &stamp, &error),
              DumpStep::Done);
    EXPECT_TRUE(stamp.found);
    EXPECT_GE(stamp.entries, 6U);
    EXPECT_GE(stamp.allocs, stamp.entries);
  }

  const Bytes made =
      Join({TableInfo(AF_INET6, 7, 70), TableInfo(AF_INET, 42, 420)});
  stamp = TableStamp{};
  EXPECT_EQ(
      ParseNeighTableDump(made.data(), made.size(), {1, 0}, &stamp, &error),
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
    for (int i = 1; i <= n; ++i) {
      const std::string address =
          "10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256);
      dump.push_back(Neigh(address.c_str(), kMac));
    }
    dump.push_back(Done());
    return dump;
  }
};

constexpr ULONG kHeader = offsetof(MIB_IPNETTABLE, table);

// The fill call with room for capacity rows: its status, the size it asked
// for and the addresses it delivered, in order.
struct Table {
  ULONG status;
  ULONG size;
  std::vector<std::string> lines;
};
Table Fill(std::size_t capacity) {
  std::vector<unsigned char> buffer(kHeader + capacity * sizeof(MIB_IPNETROW));
  auto *table = reinterpret_cast<PMIB_IPNETTABLE>(buffer.data());
  Table t{0, static_cast<ULONG>(buffer.size()), {}};
  t.status = GetIpNetTable(table, &t.size, FALSE);
  for (DWORD i = 0; t.status == NO_ERROR && i < table->dwNumEntries; ++i) {
    t.lines.push_back(Dotted(table->table[i].dwAddr));
  }
  return t;
}

// The size asked for leaves an eighth more, and a few rows, for a table
// that grows a little before the fill call.
TEST_F(LayerTest, SizingUsesTheKernelsEntryCountWithHeadroom) {
  g_netlink.tableDumps = {{Join({TableInfo(AF_INET, 800), Done()})}};
  ULONG size = 0;
  EXPECT_EQ(GetIpNetTable(nullptr, &size, FALSE), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(size, kHeader + (800 + 100 + 8) * sizeof(MIB_IPNETROW));
  EXPECT_EQ(g_netlink.requests, std::vector<std::uint16_t>{RTM_GETNEIGHTBL});
}

TEST_F(LayerTest, SizingCountsByDumpWithoutEntryCount) {
  g_netlink.neighDumps = {Entries(3)};
  ULONG size = 0;
  EXPECT_EQ(GetIpNetTable(nullptr, &size, FALSE), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(size, kHeader + (3 + 8) * sizeof(MIB_IPNETROW));
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
  EXPECT_EQ(g_netlink.backOffs.size(), 7U);
}

// The kernel does not mark a neighbour dump that the table changed under:
// its counters, read before and after, tell. A quiet table is read once.
TEST_F(LayerTest, QuietTableIsOneDumpTrustedAsItIs) {
  const std::vector<Bytes> stamp{Join({TableInfo(AF_INET, 5, 100), Done()})};
  g_netlink.tableDumps = {stamp, stamp};
  g_netlink.neighDumps = {Entries(2)};
  const Table t = Fill(8);
  EXPECT_EQ(t.status, NO_ERROR);
  EXPECT_EQ(t.lines, (std::vector<std::string>{"10.0.0.1", "10.0.0.2"}));
  EXPECT_EQ(g_netlink.requests,
            (std::vector<std::uint16_t>{RTM_GETNEIGHTBL, RTM_GETNEIGH,
                                        RTM_GETNEIGHTBL}));
  // Each request has the fixed header the kernel checks for its type.
  EXPECT_EQ(g_netlink.requestLengths,
            (std::vector<std::uint32_t>{NLMSG_LENGTH(sizeof(ndtmsg)),
                                        NLMSG_LENGTH(sizeof(ndmsg)),
                                        NLMSG_LENGTH(sizeof(ndtmsg))}));
}

// A creation and a deletion leave the entry count as it was; a kernel whose
// statistics are shorter than these headers' must still show them.
TEST_F(LayerTest, ShortStatisticsStillShowAChangingTable) {
  const auto stamp = [](std::uint64_t allocs) {
    return std::vector<Bytes>{Join(
        {TableInfo(AF_INET, 5, allocs, 7, 2 * sizeof(std::uint64_t)), Done()})};
  };
  g_netlink.tableDumps = {stamp(100), stamp(101), stamp(101)};
  g_netlink.neighDumps = {Entries(2), Entries(2)};
  EXPECT_EQ(Fill(8).status, NO_ERROR);
  EXPECT_EQ(std::count(g_netlink.requests.begin(), g_netlink.requests.end(),
                       RTM_GETNEIGH),
            2);
}

// A table that changed: between two reply datagrams, a creation in the
// bucket where one ended repeats an entry, a deletion skips one. The first
// dump's repeats are dropped and a second dump adds what it skipped.
TEST_F(LayerTest, ChangingTableIsTwoDumpsMergedWithEveryEntryOnce) {
  const std::vector<Bytes> moved{Join({TableInfo(AF_INET, 6, 101), Done()})};
  g_netlink.tableDumps = {
      {Join({TableInfo(AF_INET, 5, 100), Done()})}, moved, moved};
  g_netlink.neighDumps = {
      {Join({Neigh("10.0.0.1", kMac), Neigh("10.0.0.2", kMac)}),
       Join({Neigh("10.0.0.2", kMac), Neigh("10.0.0.4", kMac), Done()})},
      {Join({Neigh("10.0.0.1", kMac), Neigh("10.0.0.3", kMac)}),
       Join({Neigh("10.0.0.4", kMac), Done()})}};
  const Table t = Fill(8);
  EXPECT_EQ(t.status, NO_ERROR);
  EXPECT_EQ(t.lines, (std::vector<std::string>{"10.0.0.1", "10.0.0.2",
                                               "10.0.0.4", "10.0.0.3"}));
  EXPECT_EQ(g_netlink.requests,
            (std::vector<std::uint16_t>{RTM_GETNEIGHTBL, RTM_GETNEIGH,
                                        RTM_GETNEIGHTBL, RTM_GETNEIGH,
                                        RTM_GETNEIGHTBL}));
  EXPECT_TRUE(g_netlink.backOffs.empty());
}

// The same address on two interfaces is two entries, never a repeat.
TEST_F(LayerTest, MergeKeepsAnAddressOnTwoInterfaces) {
  const std::vector<Bytes> moved{Join({TableInfo(AF_INET, 6, 101), Done()})};
  g_netlink.tableDumps = {
      {Join({TableInfo(AF_INET, 5, 100), Done()})}, moved, moved};
  const std::vector<Bytes> dump{
      Join({Neigh("10.0.0.1", kMac, NUD_PERMANENT, 2),
            Neigh("10.0.0.1", kMac, NUD_PERMANENT, 3), Done()})};
  g_netlink.neighDumps = {dump, dump};
  EXPECT_EQ(Fill(8).lines, (std::vector<std::string>{"10.0.0.1", "10.0.0.1"}));
}

// The set of keys seen grows with the rows: a second dump that finds many
// more entries than the first still drops every repeat.
TEST_F(LayerTest, MergeOfDumpsOfDifferentSizesKeepsEachEntryOnce) {
  const std::vector<Bytes> moved{Join({TableInfo(AF_INET, 6, 101), Done()})};
  g_netlink.tableDumps = {
      {Join({TableInfo(AF_INET, 5, 100), Done()})}, moved, moved};
  std::vector<Bytes> first = Entries(300);
  first.insert(first.begin() + 100, Neigh("10.0.0.50", kMac)); // a repeat
  g_netlink.neighDumps = {first, Entries(2000)};
  const Table t = Fill(2100);
  ASSERT_EQ(t.status, NO_ERROR);
  ASSERT_EQ(t.lines.size(), 2000U);
  EXPECT_EQ(std::set<std::string>(t.lines.begin(), t.lines.end()).size(),
            2000U);
  EXPECT_EQ(t.lines[299], "10.0.1.44") << "the first dump's rows come first";
  EXPECT_EQ(t.lines[300], "10.0.1.45");
}

// A rehash moves entries between buckets, so a dump across it can skip or
// repeat anything: the table is read again, and a table that rehashes on
// every try is reported busy.
TEST_F(LayerTest, ReadAcrossARehashIsStartedAgain) {
  const auto stamp = [](std::uint64_t allocs, std::uint32_t hashMask) {
    return std::vector<Bytes>{
        Join({TableInfo(AF_INET, 5, allocs, hashMask), Done()})};
  };
  g_netlink.tableDumps = {stamp(100, 7), stamp(101, 15), stamp(101, 15),
                          stamp(101, 15), stamp(101, 15)};
  g_netlink.neighDumps = {Entries(3), Entries(3), Entries(2)};
  const Table t = Fill(8);
  EXPECT_EQ(t.status, NO_ERROR);
  EXPECT_EQ(t.lines, (std::vector<std::string>{"10.0.0.1", "10.0.0.2"}));
  EXPECT_EQ(g_netlink.backOffs, std::vector<int>{1});

  g_netlink = FakeNetlink{};
  for (std::uint32_t i = 0; i < 40; ++i) {
    g_netlink.tableDumps.push_back(stamp(100 + i, (8U << (i % 24)) - 1));
  }
  g_netlink.neighDumps.assign(40, Entries(2));
  EXPECT_EQ(Fill(8).status, ERROR_BUSY);
  EXPECT_EQ(g_netlink.backOffs.size(), 7U);
}

// The first dump found more than the buffer holds: its count, an upper
// bound, is the size asked for.
TEST_F(LayerTest, ChangingTableTooLargeForTheBufferAsksForMore) {
  const std::vector<Bytes> moved{Join({TableInfo(AF_INET, 6, 101), Done()})};
  g_netlink.tableDumps = {
      {Join({TableInfo(AF_INET, 5, 100), Done()})}, moved, moved};
  g_netlink.neighDumps = {Entries(4), Entries(4)};
  const Table t = Fill(2);
  EXPECT_EQ(t.status, ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(t.size, kHeader + 4 * sizeof(MIB_IPNETROW));
}

// Every errno the socket's and the file's calls can give has a code whose
// text says what happened: sandboxes that refuse netlink among them.
TEST_F(LayerTest, SocketFailuresBecomeStatusCodes) {
  // errno 0 with a failure: never success.
  // clang-format off
  const std::pair<int, DWORD> cases[] = {
      {EMFILE, 4}, {ENFILE, 4}, {EACCES, 5}, {EPERM, 5}, {ENOBUFS, 8},
      {EAFNOSUPPORT, 50}, {EPROTONOSUPPORT, 50}, {EOPNOTSUPP, 50},
      {ENOSYS, 120}, {EIO, 1117}, {EINTR, 995}, {EAGAIN, 1460},
      {ETIMEDOUT, 1460}, {EBADF, 6}, {EFBIG, 223}, {ENOSPC, 112}, {EROFS, 19},
      {EPIPE, 109}, {EMSGSIZE, 13}, {EBUSY, 32}, {ELOOP, 1921}, {EINVAL, 87},
      {EHOSTDOWN, APPLICATION_ERROR_MASK | EHOSTDOWN}, {0, 1359}};
  // clang-format on
  for (const auto &[err, status] : cases) {
    g_netlink = FakeNetlink{};
    g_netlink.receiveErrno = err;
    EXPECT_EQ(Fill(4).status, status) << err;
    LPWSTR text = nullptr;
    EXPECT_GT(FormatMessageW(0x1300, nullptr, status, 0x0400,
                             reinterpret_cast<LPWSTR>(&text), 0, nullptr),
              0U)
        << status;
    LocalFree(text);
  }
  g_netlink = FakeNetlink{};
  g_netlink.openErrno = EMFILE;
  ULONG size = 0;
  EXPECT_EQ(GetIpNetTable(nullptr, &size, FALSE), ERROR_TOO_MANY_OPEN_FILES);
  g_netlink = FakeNetlink{};
  g_netlink.neighDumps = {{ErrorReply(-EPERM)}, {{Neigh("10.0.0.1", kMac)}}};
  EXPECT_EQ(GetIpNetTable(nullptr, &size, FALSE), ERROR_ACCESS_DENIED);
  // The socket ends before NLMSG_DONE: a failure, never a short table.
  EXPECT_EQ(GetIpNetTable(nullptr, &size, FALSE), ERROR_BROKEN_PIPE);
  // Replies that stop half-way (the socket's receive timeout): a report,
  // never a wait without end nor the rows that came.
  g_netlink = FakeNetlink{};
  g_netlink.neighDumps = {Entries(3)};
  g_netlink.receiveErrno = EAGAIN;
  g_netlink.receivesBeforeError = 2; // the counters' reply, one row
  EXPECT_EQ(Fill(8).status, ERROR_TIMEOUT);
}

// Counters that were read before the dump and cannot be read after it are
// a failure of their own, not a table that keeps changing.
TEST_F(LayerTest, CountersUnreadableAfterTheDumpAreReported) {
  g_netlink.tableDumps = {{Join({TableInfo(AF_INET, 5, 100), Done()})},
                          {ErrorReply(-EACCES)}};
  g_netlink.neighDumps = {Entries(2)};
  EXPECT_EQ(Fill(8).status, ERROR_ACCESS_DENIED);
  EXPECT_TRUE(g_netlink.backOffs.empty());
}

TEST(MessageTest, EveryCodeTheToolMeetsHasTextEndingInALineEnd) {
  for (const DWORD code :
       {0U,   2U,   3U,   4U,   5U,   6U,    8U,    13U,   19U,  20U,
        31U,  32U,  50U,  80U,  87U,  109U,  112U,  120U,  122U, 170U,
        206U, 223U, 232U, 487U, 995U, 1117U, 1359U, 1460U, 1921U}) {
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
  // An errno passed on as itself has the C library's text.
  EXPECT_EQ(CaptureStdout(
                [] { ReportStatusText(APPLICATION_ERROR_MASK | EHOSTDOWN); }),
            "\tError: Host is down.\n");
}

// The layer's inet_ntoa stands in for the C library's: the same text for
// every address, in storage that the next call overwrites.
TEST(InetNtoaTest, GivesTheCLibrarysTextExactly) {
  using Ntoa = char *(*)(in_addr);
  const auto libc = reinterpret_cast<Ntoa>(dlsym(RTLD_NEXT, "inet_ntoa"));
  ASSERT_NE(libc, nullptr);
  ASSERT_NE(libc, &inet_ntoa) << "the layer's own is not linked in";
  std::vector<std::uint32_t> addresses{0x00000000U, 0x0A000001U, 0xFFFFFFFFU,
                                       0x01020304U, 0x0A0B0C0DU, 0x64C8FAFFU,
                                       0x09630A00U, 0xC0A80001U};
  // The same sample on every run, so that a failure can be repeated.
  std::mt19937 random(20261208); // NOLINT(cert-msc32-c,cert-msc51-cpp)
  for (int i = 0; i < 100000; ++i) {
    addresses.push_back(static_cast<std::uint32_t>(random()));
  }
  for (const std::uint32_t hostOrder : addresses) {
    in_addr a{};
    a.s_addr = htonl(hostOrder);
    const std::string ours = inet_ntoa(a);
    ASSERT_EQ(ours, libc(a)) << hostOrder;
  }
  in_addr first{};
  first.s_addr = htonl(0x0A000001U);
  in_addr second{};
  second.s_addr = htonl(0xFFFFFFFFU);
  const char *text = inet_ntoa(first);
  EXPECT_EQ(inet_ntoa(second), text) << "one buffer, overwritten";
  EXPECT_STREQ(text, "255.255.255.255");
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
