#include <cerrno>
#include <ctime>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include "layer.h"

int NlOpen() {
  return socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
}

int NlSend(int fd, const void *data, std::size_t len) {
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  ssize_t sent = 0;
  do {
    sent = sendto(fd, data, len, 0, reinterpret_cast<sockaddr *>(&kernel),
                  sizeof kernel);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) {
    return -1;
  }
  if (static_cast<std::size_t>(sent) != len) {
    errno = EIO;
    return -1;
  }
  return 0;
}

ssize_t NlReceive(int fd, void *data, std::size_t len) {
  ssize_t got = 0;
  do {
    // MSG_TRUNC reports the datagram's real length: a reply larger than the
    // buffer must fail, never be parsed cut short.
    got = recv(fd, data, len, MSG_TRUNC);
  } while (got < 0 && errno == EINTR);
  if (got > static_cast<ssize_t>(len)) {
    errno = EMSGSIZE;
    return -1;
  }
  return got;
}

void NlClose(int fd) { close(fd); }

void NlBackOff(int attempt) {
  const long ms = attempt < 20 ? attempt : 20;
  const timespec pause{0, ms * 1000000L};
  nanosleep(&pause, nullptr);
}
