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

// A table that rehashes under a dump is read again, this many times at
// most, after a pause of as many milliseconds as attempts so far. Rehashes
// happen only while the table grows past a power of two, so a few suffice.
constexpr int kDumpAttempts = 8;

// The kernel fills at most about 32 KiB per reply datagram.
constexpr std::size_t kReceiveSize = 32768;

constexpr std::uint64_t kTableHeader = offsetof(MIB_IPNETTABLE, table);

struct DumpRequest {
  nlmsghdr header;
  ndmsg body; // its first byte is the family for both dumps used here
};

std::uint32_t g_lastSeq;

// Runs one dump of `type` on a fresh socket, handing every reply datagram to
// parse until it says otherwise. Returns the last step; *pError with Failed.
template <typename Parse>
DumpStep RunDump(std::uint16_t type, int *pError, Parse parse) {
  DumpId id{++g_lastSeq, 0};
  const int fd = NlOpen(&id.port);
  if (fd < 0) {
    *pError = errno;
    return DumpStep::Failed;
  }
  DumpRequest request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = type;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = id.seq;
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
      step = parse(buffer, static_cast<std::size_t>(got), id);
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
      RunDump(RTM_GETNEIGHTBL, &error,
              [&](const void *data, std::size_t len, const DumpId &id) {
                return ParseNeighTableDump(data, len, id, &stamp, &error);
              });
  if (step != DumpStep::Done) {
    stamp.found = false;
  }
  return stamp;
}

bool SameHash(const TableStamp &a, const TableStamp &b) {
  return a.found && b.found && a.hashMask == b.hashMask &&
         a.hashSeed == b.hashSeed;
}

bool SameTable(const TableStamp &a, const TableStamp &b) {
  return SameHash(a, b) && a.entries == b.entries && a.allocs == b.allocs &&
         a.destroys == b.destroys;
}

// One pass of the neighbour dump, adding to sink.
DumpStep DumpInto(RowSink *sink, int *pError) {
  return RunDump(RTM_GETNEIGH, pError,
                 [&](const void *data, std::size_t len, const DumpId &id) {
                   return ParseNeighDump(data, len, id, sink, pError);
                 });
}

// The kernel resumes each reply datagram of a dump at (bucket, position in
// the bucket's chain), counting the entries of every namespace. A creation
// in that bucket between two datagrams repeats an entry, a deletion skips
// one. So when the table changed during the first dump, its repeats are
// dropped and a second dump, taken at once, adds what the first missed:
// for both to skip one entry, two deletions must hit its bucket, each in
// the microseconds between two datagrams that end there.
DumpStep MergeSecondDump(RowSink *sink, int *pError) {
  if (sink->count > sink->capacity) {
    return DumpStep::Done; // too small already: only the count matters
  }
  // Room for the first dump's rows and a few more before the set grows.
  KeySet seen = MakeKeySet(sink->count + sink->count / 8 + 64);
  DropRepeats(sink, &seen);
  sink->seen = &seen;
  DumpStep step = seen.failed ? DumpStep::Failed : DumpInto(sink, pError);
  sink->seen = nullptr;
  if (seen.failed) {
    *pError = ENOMEM; // without the set, repeats could not be told
    step = DumpStep::Failed;
  }
  FreeKeySet(&seen);
  return step;
}

// One read of the table into sink: one dump when the table's counters held
// still, otherwise two merged. Interrupted when a rehash may have moved
// entries between buckets, which can skip or repeat anything.
DumpStep ReadNeighbours(RowSink *sink, int *pError) {
  sink->count = 0;
  const TableStamp before = ReadTableStamp();
  DumpStep step = DumpInto(sink, pError);
  if (step != DumpStep::Done || !before.found) {
    return step; // without counters, the kernel's own word has to do
  }
  if (SameTable(before, ReadTableStamp())) {
    return DumpStep::Done;
  }
  step = MergeSecondDump(sink, pError);
  if (step != DumpStep::Done) {
    return step;
  }
  return SameHash(before, ReadTableStamp()) ? DumpStep::Done
                                            : DumpStep::Interrupted;
}

// The whole neighbour table into sink, read again, a bounded number of
// times, while the table rehashes under it.
DWORD DumpNeighbours(RowSink *sink) {
  int error = 0;
  for (int attempt = 0; attempt < kDumpAttempts; ++attempt) {
    if (attempt > 0) {
      NlBackOff(attempt);
    }
    const DumpStep step = ReadNeighbours(sink, &error);
    if (step == DumpStep::Done) {
      return NO_ERROR;
    }
    if (step == DumpStep::Failed) {
      return StatusFromErrno(error);
    }
  }
  return ERROR_BUSY; // the table rehashed on every try
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
// upper bound for ours, read without walking the table. An eighth more
// leaves room for a table that grows a little before the fill call. Without
// the count, a dump that only counts.
ULONG SizeTable(PULONG pdwSize) {
  const TableStamp stamp = ReadTableStamp();
  std::uint64_t rows = stamp.entries;
  if (!stamp.found) {
    RowSink counter{nullptr, 0, 0, nullptr};
    const DWORD status = DumpNeighbours(&counter);
    if (status != NO_ERROR) {
      return status;
    }
    rows = counter.count;
  }
  return rows == 0 ? ERROR_NO_DATA : AskForSize(rows + rows / 8 + 8, pdwSize);
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
               (*SizePointer - kTableHeader) / sizeof(MIB_IPNETROW), 0,
               nullptr};
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
