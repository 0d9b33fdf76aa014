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

// A dump that the table changed under is started again, this many times,
// after a pause of as many milliseconds as attempts so far, up to 20: about
// a second of waiting in all, so that a burst of changes can pass.
constexpr int kDumpAttempts = 64;

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

// The kernel's neighbour table counters, or found false when it has none.
TableStamp ReadTableStamp() {
  TableStamp stamp{};
  int error = 0;
  const DumpStep step =
      RunDump(RTM_GETNEIGHTBL, &error, [&](const void *data, std::size_t len) {
        return ParseNeighTableDump(data, len, &stamp, &error);
      });
  if (step != DumpStep::Done) {
    stamp.found = false;
  }
  return stamp;
}

bool SameTable(const TableStamp &a, const TableStamp &b) {
  return a.found && b.found && a.entries == b.entries && a.allocs == b.allocs &&
         a.destroys == b.destroys && a.hashGrows == b.hashGrows;
}

// One pass of the neighbour dump into sink. The kernel resumes a dump by
// position in its hash table, so an entry created or destroyed between two
// reply datagrams can make it skip or repeat entries without saying so: a
// dump is only trusted when the table's counters did not move meanwhile.
DumpStep DumpOnce(RowSink *sink, int *pError) {
  sink->count = 0;
  const TableStamp before = ReadTableStamp();
  const DumpStep step =
      RunDump(RTM_GETNEIGH, pError, [&](const void *data, std::size_t len) {
        return ParseNeighDump(data, len, sink, pError);
      });
  if (step != DumpStep::Done || !before.found) {
    return step; // without counters, the kernel's own word has to do
  }
  return SameTable(before, ReadTableStamp()) ? DumpStep::Done
                                             : DumpStep::Interrupted;
}

// The whole neighbour dump into sink, started again, a bounded number of
// times, while the table changes under it.
DWORD DumpNeighbours(RowSink *sink) {
  int error = 0;
  for (int attempt = 0; attempt < kDumpAttempts; ++attempt) {
    if (attempt > 0) {
      NlBackOff(attempt);
    }
    const DumpStep step = DumpOnce(sink, &error);
    if (step == DumpStep::Done) {
      return NO_ERROR;
    }
    if (step == DumpStep::Failed) {
      return StatusFromErrno(error);
    }
  }
  return ERROR_BUSY; // the table never held still long enough
}

ULONG AskForSize(std::uint64_t rows, PULONG pdwSize) {
  const std::uint64_t bytes = kTableHeader + rows * sizeof(MIB_IPNETROW);
  if (bytes > UINT32_MAX) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  *pdwSize = static_cast<ULONG>(bytes);
  return ERROR_INSUFFICIENT_BUFFER;
}

// The sizing call. The kernel's count of entries spans all namespaces: an
// upper bound for ours, read without walking the table. Without it, a dump
// that only counts.
ULONG SizeTable(PULONG pdwSize) {
  const TableStamp stamp = ReadTableStamp();
  std::uint64_t rows = stamp.entries;
  if (!stamp.found) {
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
