// Pure functions from reply bytes to rows: every length is checked before it
// is read, whatever the bytes claim.
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include "layer.h"

namespace {

DWORD TypeFromState(unsigned state) {
  if ((state & (NUD_PERMANENT | NUD_NOARP)) != 0U) {
    return MIB_IPNET_TYPE_STATIC;
  }
  if ((state & (NUD_REACHABLE | NUD_STALE | NUD_DELAY | NUD_PROBE)) != 0U) {
    return MIB_IPNET_TYPE_DYNAMIC;
  }
  if ((state & (NUD_INCOMPLETE | NUD_FAILED)) != 0U) {
    return MIB_IPNET_TYPE_INVALID;
  }
  return MIB_IPNET_TYPE_OTHER;
}

// The attributes that follow a fixed header of hdrSize bytes, and their
// length; a negative length when the message is too short for the header.
const rtattr *FirstAttr(const nlmsghdr *nlh, std::size_t hdrSize, int *pLen) {
  const auto hdrLen = static_cast<int>(NLMSG_LENGTH(NLMSG_ALIGN(hdrSize)));
  *pLen = static_cast<int>(nlh->nlmsg_len) - hdrLen;
  return reinterpret_cast<const rtattr *>(reinterpret_cast<const char *>(nlh) +
                                          hdrLen);
}

// The hardware address, zero-padded; at most MAXLEN_PHYSADDR bytes of it.
void ReadPhysAddr(const rtattr *rta, MIB_IPNETROW *row) {
  const auto payload = static_cast<std::size_t>(RTA_PAYLOAD(rta));
  const std::size_t n = payload < MAXLEN_PHYSADDR ? payload : MAXLEN_PHYSADDR;
  std::memset(row->bPhysAddr, 0, sizeof row->bPhysAddr);
  std::memcpy(row->bPhysAddr, RTA_DATA(rta), n);
  row->dwPhysAddrLen = static_cast<DWORD>(n);
}

// One RTM_NEWNEIGH message as a row. False for anything that is not a
// well-formed IPv4 neighbour with a 4-byte destination.
bool ReadNeighRow(const nlmsghdr *nlh, MIB_IPNETROW *row) {
  if (nlh->nlmsg_len < NLMSG_LENGTH(sizeof(ndmsg))) {
    return false;
  }
  const auto *ndm = static_cast<const ndmsg *>(NLMSG_DATA(nlh));
  if (ndm->ndm_family != AF_INET) {
    return false;
  }
  *row = MIB_IPNETROW{};
  row->dwIndex = static_cast<DWORD>(ndm->ndm_ifindex);
  row->dwType = TypeFromState(ndm->ndm_state);

  // The kernel puts the destination and the hardware address first; the
  // attributes after them carry nothing a row holds.
  constexpr unsigned kDst = 1U;
  constexpr unsigned kLladdr = 2U;
  unsigned found = 0;
  int len = 0;
  for (const rtattr *rta = FirstAttr(nlh, sizeof(ndmsg), &len);
       found != (kDst | kLladdr) && RTA_OK(rta, len);
       rta = RTA_NEXT(rta, len)) {
    const unsigned type = rta->rta_type & NLA_TYPE_MASK;
    if (type == NDA_DST && (found & kDst) == 0U &&
        RTA_PAYLOAD(rta) == sizeof row->dwAddr) {
      std::memcpy(&row->dwAddr, RTA_DATA(rta), sizeof row->dwAddr);
      found |= kDst;
    } else if (type == NDA_LLADDR && (found & kLladdr) == 0U) {
      ReadPhysAddr(rta, row);
      found |= kLladdr;
    }
  }
  return (found & kDst) != 0U;
}

// NLMSG_ERROR carries the kernel's negative errno; 0 is an acknowledgement.
DumpStep ReadError(const nlmsghdr *nlh, int *pError) {
  if (nlh->nlmsg_len < NLMSG_LENGTH(sizeof(int))) {
    *pError = EBADMSG;
    return DumpStep::Failed;
  }
  int code = 0;
  std::memcpy(&code, NLMSG_DATA(nlh), sizeof code);
  if (code == 0) {
    return DumpStep::More;
  }
  *pError = code < 0 && code != INT_MIN ? -code : EPROTO;
  return DumpStep::Failed;
}

// NLMSG_DONE may carry a negative errno when the dump itself failed.
DumpStep ReadDone(const nlmsghdr *nlh, int *pError) {
  int code = 0;
  if (nlh->nlmsg_len >= NLMSG_LENGTH(sizeof(int))) {
    std::memcpy(&code, NLMSG_DATA(nlh), sizeof code);
  }
  if (code < 0) {
    *pError = code != INT_MIN ? -code : EPROTO;
    return DumpStep::Failed;
  }
  return DumpStep::Done;
}

// NLMSG_OK, with its comparisons made between values of one signedness.
bool MessageFits(const nlmsghdr *nlh, int len) {
  return len >= static_cast<int>(sizeof(nlmsghdr)) &&
         nlh->nlmsg_len >= sizeof(nlmsghdr) &&
         nlh->nlmsg_len <= static_cast<unsigned>(len);
}

// The walk shared by both dumps: control messages are handled here, each
// data message of dataType goes to onData.
template <typename OnData>
DumpStep WalkDump(const void *data, std::size_t size, const DumpId &id,
                  std::uint16_t dataType, int *pError, OnData onData) {
  if (size > INT_MAX) {
    *pError = EMSGSIZE;
    return DumpStep::Failed;
  }
  int len = static_cast<int>(size);
  for (const auto *nlh = static_cast<const nlmsghdr *>(data);
       MessageFits(nlh, len); nlh = NLMSG_NEXT(nlh, len)) {
    if (nlh->nlmsg_seq != id.seq || nlh->nlmsg_pid != id.port) {
      continue; // not the answer to our request
    }
    if ((nlh->nlmsg_flags & NLM_F_DUMP_INTR) != 0) {
      return DumpStep::Interrupted;
    }
    if (nlh->nlmsg_type == NLMSG_DONE) {
      return ReadDone(nlh, pError);
    }
    if (nlh->nlmsg_type == NLMSG_ERROR) {
      if (ReadError(nlh, pError) == DumpStep::Failed) {
        return DumpStep::Failed;
      }
    } else if (nlh->nlmsg_type == dataType) {
      onData(nlh);
    }
  }
  // Bytes left over that do not make a whole message: a cut or lying reply.
  if (len != 0) {
    *pError = EBADMSG;
    return DumpStep::Failed;
  }
  return DumpStep::More;
}

// Copies the field of `size` bytes at `offset` in the attribute's payload
// into *out, if the payload reaches that far.
template <typename T>
bool ReadField(const rtattr *rta, std::size_t offset, T *out) {
  if (RTA_PAYLOAD(rta) < offset + sizeof *out) {
    return false;
  }
  std::memcpy(out, static_cast<const char *>(RTA_DATA(rta)) + offset,
              sizeof *out);
  return true;
}

// One RTM_NEWNEIGHTBL message: only the IPv4 table's counters matter. Each
// field is read on its own: the structures have grown over the kernel's
// versions, and an older kernel's shorter attribute still holds the first
// fields.
void ReadTableCounters(const nlmsghdr *nlh, TableStamp *stamp) {
  if (nlh->nlmsg_len < NLMSG_LENGTH(sizeof(ndtmsg))) {
    return;
  }
  const auto *ndtm = static_cast<const ndtmsg *>(NLMSG_DATA(nlh));
  if (ndtm->ndtm_family != AF_INET) {
    return;
  }
  int len = 0;
  for (const rtattr *rta = FirstAttr(nlh, sizeof(ndtmsg), &len);
       RTA_OK(rta, len); rta = RTA_NEXT(rta, len)) {
    const auto type = rta->rta_type & NLA_TYPE_MASK;
    if (type == NDTA_CONFIG) {
      std::uint32_t entries = 0;
      if (ReadField(rta, offsetof(ndt_config, ndtc_entries), &entries)) {
        stamp->entries = entries;
        stamp->found = true;
      }
      (void)ReadField(rta, offsetof(ndt_config, ndtc_hash_mask),
                      &stamp->hashMask);
      (void)ReadField(rta, offsetof(ndt_config, ndtc_hash_rnd),
                      &stamp->hashSeed);
    } else if (type == NDTA_STATS) {
      (void)ReadField(rta, offsetof(ndt_stats, ndts_allocs), &stamp->allocs);
      (void)ReadField(rta, offsetof(ndt_stats, ndts_destroys),
                      &stamp->destroys);
    }
  }
}

} // namespace

DumpStep ParseNeighDump(const void *data, std::size_t len, const DumpId &id,
                        RowSink *sink, int *pError) {
  return WalkDump(
      data, len, id, RTM_NEWNEIGH, pError, [sink](const nlmsghdr *nlh) {
        // Rows go straight into the caller's buffer while it has
        // room; a repeat is overwritten by the next row.
        if (sink->count >= sink->capacity) {
          MIB_IPNETROW scratch;
          sink->count += ReadNeighRow(nlh, &scratch) ? 1 : 0;
          return;
        }
        MIB_IPNETROW *row = &sink->rows[sink->count];
        if (ReadNeighRow(nlh, row) &&
            (sink->seen == nullptr || InsertKey(sink->seen, *row))) {
          ++sink->count;
        }
      });
}

DumpStep ParseNeighTableDump(const void *data, std::size_t len,
                             const DumpId &id, TableStamp *pStamp,
                             int *pError) {
  return WalkDump(
      data, len, id, RTM_NEWNEIGHTBL, pError,
      [pStamp](const nlmsghdr *nlh) { ReadTableCounters(nlh, pStamp); });
}
