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

// What makes a reply the answer to our request: the request's sequence
// number and our socket's port. Other messages are never read as rows.
struct DumpId {
  std::uint32_t seq;
  std::uint32_t port;
};

// (interface index, address) as one key: within a namespace it names one
// neighbour, so a key seen twice in a dump is a repeat, never two entries.
struct KeySet {
  std::uint64_t *slots; // open addressing; 0 is an empty slot
  std::uint64_t mask;   // slot count - 1, a power of two minus one
  std::uint64_t size;   // keys held
  bool failed;          // it could not grow: no memory
};

// A helper thread that faults a large block in a bounded distance ahead of
// the rows written to it. StartPrefault gives null for a small block or
// when no thread can be had; the others accept null.
struct Prefault;
Prefault *StartPrefault(void *block, std::size_t bytes);
// The rows now end at end.
void PrefaultWritten(Prefault *pf, const void *end);
// Stops the helper and waits for it.
void StopPrefault(Prefault *pf);

// The caller's rows. Rows past the capacity are counted but not stored, so
// the caller learns the size it needs. With seen set, a row whose key is in
// it already is dropped, and every kept row's key is added. With prefault
// set, it is told where the rows end after each datagram.
struct RowSink {
  MIB_IPNETROW *rows;
  std::uint64_t capacity;
  std::uint64_t count;
  KeySet *seen;
  Prefault *prefault;
};

// Parses one datagram of an RTM_GETNEIGH dump into sink. Never reads past len
// nor writes past the capacity. On Failed, *pError holds an errno value.
DumpStep ParseNeighDump(const void *data, std::size_t len, const DumpId &id,
                        RowSink *sink, int *pError);

// A set with room for capacity keys before it first grows; failed when
// there is no memory for it. Freed with FreeKeySet.
KeySet MakeKeySet(std::uint64_t capacity);
void FreeKeySet(KeySet *set);
// Adds the row's key; false when it was there already. The set doubles
// when three quarters full; if it cannot, it is marked failed and the key
// counts as new.
bool InsertKey(KeySet *set, const MIB_IPNETROW &row);
// Drops every row whose key an earlier row has, keeping the order; the keys
// of the rows kept end up in set.
void DropRepeats(RowSink *sink, KeySet *set);

// The IPv4 neighbour table's counters, as RTM_GETNEIGHTBL reports them for
// all namespaces together, and which hash table holds the entries. Equal
// stamps before and after a dump mean that no entry was created or
// destroyed meanwhile. A rehash builds a new hash table, with a new size
// and seed; the kernel's count of rehashes also counts attempts that found
// no memory and changed nothing, so the size and seed tell instead.
struct TableStamp {
  bool found;
  std::uint64_t entries;
  std::uint64_t allocs;
  std::uint64_t destroys;
  std::uint32_t hashMask;
  std::uint32_t hashSeed;
};

// Parses one datagram of an RTM_GETNEIGHTBL dump into *pStamp. Each field
// is read only when its attribute is long enough for it: a kernel older
// than these headers sends shorter ones.
DumpStep ParseNeighTableDump(const void *data, std::size_t len,
                             const DumpId &id, TableStamp *pStamp, int *pError);

// The socket seam: thin wrappers over the system calls, replaced in tests.
// Each returns -1 with errno set on failure. NlOpen connects the socket to
// the kernel, so that no other process can queue datagrams on it, and gives
// its port; a receive on it that waits 10 seconds for a reply fails with
// EAGAIN.
int NlOpen(std::uint32_t *pPort);
int NlSend(int fd, const void *data, std::size_t len);
ssize_t NlReceive(int fd, void *data, std::size_t len);
void NlClose(int fd);
// Waits a little before a dump is tried again.
void NlBackOff(int attempt);

// errno as the platform's status code: 0 is NO_ERROR; one without a
// Windows counterpart, up to kLastErrno, is APPLICATION_ERROR_MASK plus
// itself, whose text is the C library's.
constexpr int kLastErrno = 4095;
DWORD StatusFromErrno(int err);
// The same for a step that failed: never NO_ERROR, whatever err says.
DWORD StatusFromFailure(int err);
