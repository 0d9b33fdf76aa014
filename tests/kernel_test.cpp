// The layer against real kernel tables in throwaway network namespaces.
// Needs root; skips elsewhere, except under CI where a skip is a failure.
#include <fcntl.h>
#include <linux/netlink.h>
#include <net/if.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <sstream>
#include <sys/mman.h>
#include <vector>

#include "layer.h"
#include "support.h"

namespace {

std::string Sh(const std::string &command) {
  std::string out;
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    return out;
  }
  char chunk[4096];
  std::size_t n = 0;
  while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) {
    out.append(chunk, n);
  }
  pclose(pipe);
  return out;
}

// A namespace with one veth pair; the test thread enters it and leaves it.
class NamespaceTest : public ::testing::Test {
protected:
  void SetUp() override {
    name_ = "arpx-k" + std::to_string(getpid());
    // The suite's own namespace helper, as the shell tests use it.
    const std::string setup =
        std::string(ARPEXPORT_NETNS) + " make " + name_ + " 10.77.0.1/16";
    if (geteuid() != 0 || std::system((setup + " 2>/dev/null").c_str()) != 0) {
      std::system(("ip netns del " + name_ + " 2>/dev/null").c_str());
      if (std::getenv("CI") != nullptr &&
          std::string(std::getenv("CI")) == "true") {
        FAIL() << "network namespaces are needed under CI (root, iproute2)";
      }
      GTEST_SKIP() << "needs root and network namespaces";
    }
    home_ = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    const int target =
        open(("/var/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(setns(target, CLONE_NEWNET), 0);
    close(target);
    entered_ = true;
  }
  void TearDown() override {
    if (entered_) {
      setns(home_, CLONE_NEWNET);
      close(home_);
    }
    std::system(("ip netns del " + name_ + " 2>/dev/null").c_str());
  }
  void Ip(const std::string &args) {
    ASSERT_EQ(std::system(("ip -n " + name_ + " " + args).c_str()), 0) << args;
  }
  // address -> (lladdr, state) as ip lists them.
  std::map<std::string, std::pair<std::string, std::string>> Listed() {
    std::map<std::string, std::pair<std::string, std::string>> out;
    std::istringstream lines(Sh("ip -n " + name_ + " -4 neigh show nud all"));
    std::string line;
    while (std::getline(lines, line)) {
      std::istringstream words(line);
      std::string address;
      std::string word;
      std::string lladdr;
      std::string state;
      words >> address;
      while (words >> word) {
        if (word == "lladdr") {
          words >> lladdr;
        } else {
          state = word; // the last word is the state
        }
      }
      out[address] = {lladdr, state};
    }
    return out;
  }

  std::string name_;

private:
  int home_ = -1;
  bool entered_ = false;
};

std::string Mac(const MIB_IPNETROW &row) {
  char text[32];
  (void)std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x",
                      row.bPhysAddr[0], row.bPhysAddr[1], row.bPhysAddr[2],
                      row.bPhysAddr[3], row.bPhysAddr[4], row.bPhysAddr[5]);
  return text;
}

TEST_F(NamespaceTest, EveryEntryInEveryStateBecomesARow) {
  Ip("neigh add 10.77.1.1 lladdr 02:00:00:00:01:01 dev v0 nud permanent");
  Ip("neigh add 10.77.1.2 lladdr 02:00:00:00:01:02 dev v0 nud noarp");
  Ip("neigh add 10.77.1.3 lladdr 02:00:00:00:01:03 dev v0 nud stale");
  Ip("neigh add 10.77.1.4 lladdr 02:00:00:00:01:04 dev v0 nud reachable");
  Ip("neigh add 10.77.1.5 dev v0 nud incomplete");
  Ip("neigh add 10.77.1.6 dev v0 nud failed");
  Ip("neigh add 10.77.1.7 lladdr 02:00:00:00:01:07 dev v1 nud permanent");
  const auto listed = Listed();
  ASSERT_EQ(listed.size(), 7U);

  ULONG size = 0;
  ASSERT_EQ(GetIpNetTable(nullptr, &size, FALSE), ERROR_INSUFFICIENT_BUFFER);
  std::vector<unsigned char> buffer(size, 0xCD);
  auto *table = reinterpret_cast<PMIB_IPNETTABLE>(buffer.data());
  ASSERT_EQ(GetIpNetTable(table, &size, FALSE), NO_ERROR);
  ASSERT_EQ(table->dwNumEntries, 7U);

  const std::map<std::string, DWORD> types{{"PERMANENT", 4},  {"NOARP", 4},
                                           {"STALE", 3},      {"REACHABLE", 3},
                                           {"INCOMPLETE", 2}, {"FAILED", 2}};
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    const MIB_IPNETROW &row = table->table[i];
    in_addr a{};
    a.s_addr = row.dwAddr;
    const std::string address = inet_ntoa(a);
    ASSERT_EQ(listed.count(address), 1U) << address;
    const auto &[lladdr, state] = listed.at(address);
    EXPECT_EQ(Mac(row), lladdr.empty() ? "00:00:00:00:00:00" : lladdr);
    EXPECT_EQ(row.dwPhysAddrLen, lladdr.empty() ? 0U : 6U) << address;
    EXPECT_EQ(row.bPhysAddr[6] | row.bPhysAddr[7], 0) << address;
    EXPECT_EQ(row.dwType, types.at(state)) << address;
    EXPECT_EQ(row.dwIndex,
              if_nametoindex(address == "10.77.1.7" ? "v1" : "v0"));
  }
}

// Another process that may send to netlink sockets (root, or a container's
// network agent) cannot queue datagrams on the layer's socket: it is
// connected to the kernel. An unconnected socket takes them.
TEST_F(NamespaceTest, SocketTakesDatagramsFromTheKernelOnly) {
  std::uint32_t port = 0;
  const int ours = NlOpen(&port);
  ASSERT_GE(ours, 0);
  const int plain = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  const int forger = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  ASSERT_GE(plain, 0);
  ASSERT_GE(forger, 0);
  sockaddr_nl plainAddr{};
  plainAddr.nl_family = AF_NETLINK;
  socklen_t len = sizeof plainAddr;
  ASSERT_EQ(bind(plain, reinterpret_cast<sockaddr *>(&plainAddr), len), 0);
  ASSERT_EQ(getsockname(plain, reinterpret_cast<sockaddr *>(&plainAddr), &len),
            0);

  nlmsghdr forged{};
  forged.nlmsg_len = sizeof forged;
  forged.nlmsg_type = NLMSG_DONE;
  forged.nlmsg_seq = 1;
  forged.nlmsg_pid = port;
  sockaddr_nl to{};
  to.nl_family = AF_NETLINK;
  to.nl_pid = port;
  errno = 0;
  EXPECT_EQ(sendto(forger, &forged, sizeof forged, 0,
                   reinterpret_cast<sockaddr *>(&to), sizeof to),
            -1);
  EXPECT_EQ(errno, ECONNREFUSED);
  to.nl_pid = plainAddr.nl_pid;
  EXPECT_EQ(sendto(forger, &forged, sizeof forged, 0,
                   reinterpret_cast<sockaddr *>(&to), sizeof to),
            static_cast<ssize_t>(sizeof forged))
      << "an unconnected socket should take it: the test proves nothing";
  NlClose(ours);
  close(plain);
  close(forger);
}

// A large block is faulted in by a helper thread while its
// owner writes to it from its start, as the parser does: the helper must
// never change a byte, and must stay its 1 MiB ahead of the writer, so that
// the part of the block that a small table never reaches costs nothing,
// also where the kernel would give it huge pages.
TEST(PrefaultTest, FaultsInABoundedDistanceAheadOfTheWriterOnly) {
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  constexpr std::size_t kBytes = std::size_t{32} << 20U;
  constexpr std::size_t kWritten = std::size_t{4} << 20U;
  auto *block =
      static_cast<unsigned char *>(HeapAlloc(GetProcessHeap(), 0, kBytes));
  const auto address = reinterpret_cast<std::uintptr_t>(block);
  unsigned char *start = block + ((address + page - 1) / page * page - address);
  Prefault *pf = StartPrefault(block, kBytes);
  ASSERT_NE(pf, nullptr);
  for (std::size_t at = 0; at < kWritten; at += page) {
    start[at] = static_cast<unsigned char>(at / page % 251 + 1);
    PrefaultWritten(pf, start + at + 1);
  }
  std::vector<unsigned char> resident(kBytes / page - 1);
  const std::size_t ahead = (kWritten + (std::size_t{1} << 19U)) / page;
  for (int wait = 0; wait < 200 && (resident[ahead] & 1U) == 0; ++wait) {
    usleep(10000);
    ASSERT_EQ(mincore(start, resident.size() * page, resident.data()), 0);
  }
  StopPrefault(pf);
  for (std::size_t at = 0; at < kWritten; at += page) {
    ASSERT_EQ(start[at], at / page % 251 + 1) << at;
  }
  if ((resident[ahead] & 1U) == 0) {
    GTEST_SKIP() << "this kernel does not fault blocks in ahead "
                    "(MADV_POPULATE_WRITE came in Linux 5.14)";
  }
  const std::size_t far = (kWritten + (std::size_t{1} << 20U)) / page + 1;
  EXPECT_EQ(std::count_if(resident.begin() + static_cast<std::ptrdiff_t>(far),
                          resident.end(),
                          [](unsigned char r) { return r & 1U; }),
            0)
      << "pages faulted in past the writer and the helper's 1 MiB";
  EXPECT_EQ(std::count(resident.begin(), resident.begin() + kWritten / page, 0),
            0)
      << "pages written but not resident";
  EXPECT_EQ(StartPrefault(block, 1U << 20U), nullptr) << "a small block";
}

} // namespace
