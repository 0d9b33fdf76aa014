#include "fake_netlink.h"

#include <cerrno>

#include "layer.h"

FakeNetlink g_netlink;

namespace {
std::vector<Bytes> g_pending; // what the open socket still has to deliver
std::uint32_t g_requestSeq;   // the sequence number of the last request
constexpr std::uint32_t kPort = 4711;
} // namespace

int NlOpen(std::uint32_t *pPort) {
  if (g_netlink.openErrno != 0) {
    errno = g_netlink.openErrno;
    return -1;
  }
  ++g_netlink.opens;
  g_pending.clear();
  *pPort = kPort;
  return 100 + g_netlink.opens;
}

int NlSend(int /*fd*/, const void *data, std::size_t len) {
  nlmsghdr h{};
  if (len < sizeof h) {
    errno = EINVAL;
    return -1;
  }
  std::memcpy(&h, data, sizeof h);
  g_netlink.requests.push_back(h.nlmsg_type);
  g_netlink.requestLengths.push_back(h.nlmsg_len);
  g_requestSeq = h.nlmsg_seq;
  auto &queue = h.nlmsg_type == RTM_GETNEIGHTBL ? g_netlink.tableDumps
                                                : g_netlink.neighDumps;
  if (queue.empty()) {
    g_pending = {Done()}; // an empty dump
  } else {
    g_pending = queue.front();
    queue.pop_front();
  }
  return 0;
}

ssize_t NlReceive(int /*fd*/, void *data, std::size_t len) {
  if (g_netlink.receiveErrno && g_netlink.receivesBeforeError-- <= 0) {
    errno = *g_netlink.receiveErrno;
    return -1;
  }
  if (g_pending.empty()) {
    return 0; // the socket has nothing more: EOF
  }
  Bytes next = g_pending.front();
  g_pending.erase(g_pending.begin());
  AddressTo(next.data(), next.size(), g_requestSeq, kPort, true);
  if (next.size() > len) {
    errno = EMSGSIZE;
    return -1;
  }
  std::memcpy(data, next.data(), next.size());
  return static_cast<ssize_t>(next.size());
}

void NlClose(int /*fd*/) { ++g_netlink.closes; }

void NlBackOff(int attempt) { g_netlink.backOffs.push_back(attempt); }
