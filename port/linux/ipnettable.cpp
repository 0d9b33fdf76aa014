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

// A dump request: the header and the fixed part that the kernel expects
// for its type, ndmsg for neighbours and ndtmsg for their tables, whose
// lengths it checks under strict checking.
template <typename Body> struct DumpRequest {
  nlmsghdr header;
  Body body;
};

void SetFamily(ndmsg *body) { body->ndm_family = AF_INET; }
void SetFamily(ndtmsg *body) { body->ndtm_family = AF_INET; }

std::uint32_t g_lastSeq;

// Runs one dump of `type` on a fresh socket, handing every reply datagram to
// parse until it says otherwise. Returns the last step; *pError with Failed.
template <typename Body, typename Parse>
DumpStep RunDump(std::uint16_t type, int *pError, Parse parse) {
  DumpId id{++g_lastSeq, 0};
  const int fd = NlOpen(&id.port);
  if (fd < 0) {
    *pError = errno;
    return DumpStep::Failed;
  }
  DumpRequest<Body> request{};
  request.header.nlmsg_len = NLMSG_LENGTH(sizeof(Body));
  request.header.nlmsg_type = type;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = id.seq;
  SetFamily(&request.body);

  DumpStep step = DumpStep::Failed;
  if (NlSend(fd, &request, request.header.nlmsg_len) < 0) {
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

// The kernel's neighbour table counters into *pStamp, whose found stays
// false when the kernel has none. Failed, with *pError, when they could not
// be asked for.
DumpStep ReadTableStamp(TableStamp *pStamp, int *pError) {
  *pStamp = TableStamp{};
  const DumpStep step = RunDump<ndtmsg>(
      RTM_GETNEIGHTBL, pError,
      [&](const void *data, std::size_t len, const DumpId &id) {
        return ParseNeighTableDump(data, len, id, pStamp, pError);
      });
  if (step != DumpStep::Done) {
    pStamp->found = false;
  }
  return step;
}

// The counters where they can be had; found false otherwise, whatever the
// reason: a table read or sized without them relies on the kernel's word.
TableStamp CountersIfAny() {
  TableStamp stamp{};
  int ignored = 0;
  (void)ReadTableStamp(&stamp, &ignored);
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
  return RunDump<ndmsg>(
      RTM_GETNEIGH, pError,
      [&](const void *data, std::size_t len, const DumpId &id) {
        const DumpStep step = ParseNeighDump(data, len, id, sink, pError);
        const std::uint64_t stored =
            sink->count < sink->capacity ? sink->count : sink->capacity;
        PrefaultWritten(sink->prefault, sink->rows + stored);
        return step;
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
// entries between buckets, which can skip or repeat anything. Once the
// counters were had before the dump, failing to read them again fails the
// read.
DumpStep ReadNeighbours(RowSink *sink, int *pError) {
  sink->count = 0;
  const TableStamp before = CountersIfAny();
  DumpStep step = DumpInto(sink, pError);
  if (step != DumpStep::Done || !before.found) {
    return step;
  }
  TableStamp after{};
  if (ReadTableStamp(&after, pError) == DumpStep::Failed) {
    return DumpStep::Failed;
  }
  if (SameTable(before, after)) {
    return DumpStep::Done;
  }
  step = MergeSecondDump(sink, pError);
  if (step != DumpStep::Done) {
    return step;
  }
  if (ReadTableStamp(&after, pError) == DumpStep::Failed) {
    return DumpStep::Failed;
  }
  return SameHash(before, after) ? DumpStep::Done : DumpStep::Interrupted;
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
      return StatusFromFailure(error);
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
  const TableStamp stamp = CountersIfAny();
  std::uint64_t rows = stamp.entries;
  if (!stamp.found) {
    RowSink counter{nullptr, 0, 0, nullptr, nullptr};
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
  // At most a ULONG's worth of rows, which fits every size_t.
  const auto capacity = static_cast<std::size_t>((*SizePointer - kTableHeader) /
                                                 sizeof(MIB_IPNETROW));
  RowSink sink{
      IpNetTable->table, capacity, 0, nullptr,
      StartPrefault(IpNetTable->table, capacity * sizeof(MIB_IPNETROW))};
  const DWORD status = DumpNeighbours(&sink);
  StopPrefault(sink.prefault);
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
