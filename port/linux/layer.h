// Inside the Linux layer: the netlink parser, the socket seam and the errno
// map. Nothing here is seen by the tool's own units.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "platform.h"

// Where the parsing of one reply datagram leaves a dump.
enum class DumpStep {
  More,        // the dump goes on in the next datagram
  Done,        // NLMSG_DONE: the dump is complete
  Failed,      // the kernel reported an error, or the bytes are malformed
  Interrupted, // the table changed during the dump (NLM_F_DUMP_INTR)
};

// The caller's rows. Rows past the capacity are counted but not stored, so
// the caller learns the size it needs.
struct RowSink {
  MIB_IPNETROW *rows;
  std::uint64_t capacity;
  std::uint64_t count;
};

// Parses one datagram of an RTM_GETNEIGH dump into sink. Never reads past len
// nor writes past the capacity. On Failed, *pError holds an errno value.
DumpStep ParseNeighDump(const void *data, std::size_t len, RowSink *sink,
                        int *pError);

// The IPv4 neighbour table's counters, as RTM_GETNEIGHTBL reports them for
// all namespaces together. Equal stamps before and after a dump mean that no
// entry was created or destroyed and the hash did not grow meanwhile.
struct TableStamp {
  bool found;
  std::uint64_t entries;
  std::uint64_t allocs;
  std::uint64_t destroys;
  std::uint64_t hashGrows;
};

// Parses one datagram of an RTM_GETNEIGHTBL dump into *pStamp.
DumpStep ParseNeighTableDump(const void *data, std::size_t len,
                             TableStamp *pStamp, int *pError);

// The socket seam: thin wrappers over the system calls, replaced in tests.
// Each returns -1 with errno set on failure.
int NlOpen();
int NlSend(int fd, const void *data, std::size_t len);
ssize_t NlReceive(int fd, void *data, std::size_t len);
void NlClose(int fd);
// Waits a little before a dump is tried again.
void NlBackOff(int attempt);

// errno as the platform's status code.
DWORD StatusFromErrno(int err);
