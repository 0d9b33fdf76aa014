// GetIpNetTable over rtnetlink: a dump of the kernel's IPv4 neighbour table
// in the caller's network namespace, delivered as Windows' records.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include "layer.h"

namespace {

// A dump the kernel marks interrupted is started again, this many times.
constexpr int kDumpAttempts = 10;

// The kernel fills at most about 32 KiB per reply datagram.
constexpr std::size_t kReceiveSize = 32768;

constexpr std::uint64_t kTableHeader = offsetof(MIB_IPNETTABLE, table);

struct DumpRequest {
  nlmsghdr header;
  ndmsg body; // its first byte is the family for both dumps used here
};

// Runs one dump of `type` on a fresh socket, handing every reply datagram to
// parse until it says otherwise. Returns the last step; *pError with Failed.
template <typename Parse>
DumpStep RunDump(std::uint16_t type, int *pError, Parse parse) {
  const int fd = NlOpen();
  if (fd < 0) {
    *pError = errno;
    return DumpStep::Failed;
  }
  DumpRequest request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = type;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = 1;
  request.body.ndm_family = AF_INET;

  DumpStep step = DumpStep::Failed;
  if (NlSend(fd, &request, sizeof request) < 0) {
    *pError = errno;
  } else {
    alignas(nlmsghdr) static unsigned char buffer[kReceiveSize];
    do {
      const ssize_t got = NlReceive(fd, buffer, sizeof buffer);
      if (got <= 0) {
        *pError = got < 0 ? errno : EPIPE; // EOF before NLMSG_DONE
        step = DumpStep::Failed;
        break;
      }
      step = parse(buffer, static_cast<std::size_t>(got));
    } while (step == DumpStep::More);
  }
  NlClose(fd);
  return step;
}

// The whole neighbour dump into sink, restarted while the kernel reports
// that the table changed under it.
DWORD DumpNeighbours(RowSink *sink) {
  int error = 0;
  for (int attempt = 0; attempt < kDumpAttempts; ++attempt) {
    sink->count = 0;
    const DumpStep step =
        RunDump(RTM_GETNEIGH, &error, [&](const void *data, std::size_t len) {
          return ParseNeighDump(data, len, sink, &error);
        });
    if (step == DumpStep::Done) {
      return NO_ERROR;
    }
    if (step == DumpStep::Failed) {
      return StatusFromErrno(error);
    }
  }
  return ERROR_BUSY; // the table never held still long enough
}

// The kernel's count of neighbour table entries across all namespaces: an
// upper bound for ours, read without walking the table.
bool TableEntryBound(std::uint64_t *pEntries) {
  bool found = false;
  int error = 0;
  const DumpStep step =
      RunDump(RTM_GETNEIGHTBL, &error, [&](const void *data, std::size_t len) {
        return ParseNeighTableDump(data, len, pEntries, &found, &error);
      });
  return step == DumpStep::Done && found;
}

ULONG AskForSize(std::uint64_t rows, PULONG pdwSize) {
  const std::uint64_t bytes = kTableHeader + rows * sizeof(MIB_IPNETROW);
  if (bytes > UINT32_MAX) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  *pdwSize = static_cast<ULONG>(bytes);
  return ERROR_INSUFFICIENT_BUFFER;
}

// The sizing call: the cheap bound when the kernel gives one, otherwise a
// dump that only counts.
ULONG SizeTable(PULONG pdwSize) {
  std::uint64_t rows = 0;
  if (!TableEntryBound(&rows)) {
    RowSink counter{nullptr, 0, 0};
    const DWORD status = DumpNeighbours(&counter);
    if (status != NO_ERROR) {
      return status;
    }
    rows = counter.count;
  }
  return rows == 0 ? ERROR_NO_DATA : AskForSize(rows, pdwSize);
}

} // namespace

// The order flag is accepted and ignored: rows come in the kernel's order.
ULONG GetIpNetTable(PMIB_IPNETTABLE IpNetTable, PULONG SizePointer,
                    BOOL /*Order*/) {
  if (SizePointer == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  if (IpNetTable == nullptr || *SizePointer < kTableHeader) {
    return SizeTable(SizePointer);
  }
  RowSink sink{IpNetTable->table,
               (*SizePointer - kTableHeader) / sizeof(MIB_IPNETROW), 0};
  const DWORD status = DumpNeighbours(&sink);
  if (status != NO_ERROR) {
    return status;
  }
  if (sink.count == 0) {
    return ERROR_NO_DATA;
  }
  if (sink.count > sink.capacity) {
    return AskForSize(sink.count, SizePointer);
  }
  IpNetTable->dwNumEntries = static_cast<DWORD>(sink.count);
  return NO_ERROR;
}
