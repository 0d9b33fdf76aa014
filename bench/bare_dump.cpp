// The floor for any export: one RTM_GETNEIGH dump of the IPv4 neighbour
// table, read to its end with the export's receive size, counting the
// neighbour messages and parsing nothing. Prints the count.
#include <cstdio>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Counts the RTM_NEWNEIGH messages of one datagram; false at the dump's end.
bool CountMessages(const unsigned char *data, int len, long *count) {
  for (const auto *nlh = reinterpret_cast<const nlmsghdr *>(data);
       NLMSG_OK(nlh, static_cast<unsigned>(len)); nlh = NLMSG_NEXT(nlh, len)) {
    if (nlh->nlmsg_type == NLMSG_DONE || nlh->nlmsg_type == NLMSG_ERROR) {
      return false;
    }
    *count += nlh->nlmsg_type == RTM_NEWNEIGH ? 1 : 0;
  }
  return true;
}

} // namespace

int main() {
  struct {
    nlmsghdr header;
    ndmsg body;
  } request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = RTM_GETNEIGH;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = 1;
  request.body.ndm_family = AF_INET;

  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0 || send(fd, &request, sizeof request, 0) < 0) {
    std::perror("bare_dump");
    return 1;
  }
  alignas(nlmsghdr) static unsigned char buffer[32768];
  long count = 0;
  for (;;) {
    const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) {
      std::perror("bare_dump: recv");
      return 1;
    }
    if (!CountMessages(buffer, static_cast<int>(got), &count)) {
      break;
    }
  }
  close(fd);
  std::printf("%ld\n", count);
  return 0;
}
