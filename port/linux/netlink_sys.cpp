#include <cerrno>
#include <cstdint>
#include <ctime>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "layer.h"

int NlOpen(std::uint32_t *pPort) {
  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) {
    return -1;
  }
  // Connected to the kernel (port 0), the socket refuses datagrams from any
  // other sender; connecting also binds it to a port of its own.
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  sockaddr_nl local{};
  socklen_t localLen = sizeof local;
  if (connect(fd, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) < 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&local), &localLen) < 0) {
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  // The kernel then checks the requests' headers as strictly as it can;
  // a kernel without strict checking takes them as they are.
  const int strict = 1;
  (void)setsockopt(fd, SOL_NETLINK, NETLINK_GET_STRICT_CHK, &strict,
                   sizeof strict);
  // The kernel makes each reply as the last one is read, so a wait is
  // never long: one that is ends the dump with EAGAIN, a report, instead
  // of a run that never ends.
  const timeval patience{10, 0};
  (void)setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  *pPort = local.nl_pid;
  return fd;
}

int NlSend(int fd, const void *data, std::size_t len) {
  ssize_t sent = 0;
  do {
    sent = send(fd, data, len, 0);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) {
    return -1;
  }
  if (static_cast<std::size_t>(sent) != len) {
    errno = EMSGSIZE; // a datagram goes whole or not at all
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
