// Writes the raw reply bytes of one rtnetlink dump to standard output, for
// test fixtures and fuzz seeds:  capture_dump neigh|neightbl > file
#include <cstdio>
#include <cstring>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char **argv) {
  if (argc != 2) {
    (void)std::fputs("usage: capture_dump neigh|neightbl\n", stderr);
    return 2;
  }
  const bool table = std::strcmp(argv[1], "neightbl") == 0;
  struct {
    nlmsghdr header;
    ndmsg body;
  } request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = table ? RTM_GETNEIGHTBL : RTM_GETNEIGH;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = 1;
  request.body.ndm_family = AF_INET;

  const int fd = socket(AF_NETLINK, SOCK_RAW, NETLINK_ROUTE);
  if (fd < 0 || send(fd, &request, sizeof request, 0) < 0) {
    std::perror("netlink");
    return 1;
  }
  alignas(nlmsghdr) static unsigned char buffer[32768];
  for (;;) {
    const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) {
      std::perror("recv");
      return 1;
    }
    const auto size = static_cast<std::size_t>(got);
    if (std::fwrite(buffer, 1, size, stdout) != size) {
      std::perror("write");
      return 1;
    }
    const auto *last = reinterpret_cast<const nlmsghdr *>(buffer);
    int len = static_cast<int>(got);
    for (; len >= static_cast<int>(sizeof(nlmsghdr)) &&
           last->nlmsg_len >= sizeof(nlmsghdr) &&
           last->nlmsg_len <= static_cast<unsigned>(len);
         last = NLMSG_NEXT(last, len)) {
      if (last->nlmsg_type == NLMSG_DONE || last->nlmsg_type == NLMSG_ERROR) {
        close(fd);
        return 0;
      }
    }
  }
}
