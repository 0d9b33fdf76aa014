// Builds rtnetlink reply bytes for the layer's tests and the fuzz target.
#pragma once

#include <arpa/inet.h>
#include <cstdint>
#include <cstring>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <string>
#include <sys/socket.h>
#include <vector>

using Bytes = std::vector<unsigned char>;

// Grows by resize and memcpy: GCC 12 at -O3 takes a range insert into an
// empty vector for a write past its end (-Wstringop-overflow).
inline void AppendAligned(Bytes *out, const void *data, std::size_t len) {
  const std::size_t at = out->size();
  out->resize(NLMSG_ALIGN(at + len));
  if (len > 0) {
    std::memcpy(out->data() + at, data, len);
  }
}

inline Bytes Attr(std::uint16_t type, const Bytes &payload) {
  rtattr rta{};
  rta.rta_type = type;
  rta.rta_len = static_cast<std::uint16_t>(RTA_LENGTH(payload.size()));
  Bytes out;
  AppendAligned(&out, &rta, sizeof rta);
  AppendAligned(&out, payload.data(), payload.size());
  return out;
}

// One message: header, fixed part, then attributes as given. A port other
// than 0 makes it a message from another process: the fake socket seam
// addresses every other message to the request it answers.
template <typename Fixed>
Bytes Message(std::uint16_t type, const Fixed &fixed,
              const std::vector<Bytes> &attrs = {}, std::uint16_t flags = 0,
              std::uint32_t port = 0) {
  Bytes body;
  AppendAligned(&body, &fixed, sizeof fixed);
  for (const Bytes &a : attrs) {
    AppendAligned(&body, a.data(), a.size());
  }
  nlmsghdr h{};
  h.nlmsg_len = static_cast<std::uint32_t>(NLMSG_HDRLEN + body.size());
  h.nlmsg_type = type;
  h.nlmsg_flags = static_cast<std::uint16_t>(NLM_F_MULTI | flags);
  h.nlmsg_seq = 1;
  h.nlmsg_pid = port;
  Bytes out;
  AppendAligned(&out, &h, sizeof h);
  AppendAligned(&out, body.data(), body.size());
  return out;
}

inline Bytes Ipv4(const char *dotted) {
  Bytes b(4);
  inet_pton(AF_INET, dotted, b.data());
  return b;
}

inline Bytes Neigh(const char *address, const Bytes &lladdr,
                   std::uint16_t state = NUD_PERMANENT, int ifindex = 2,
                   std::uint16_t flags = 0) {
  ndmsg ndm{};
  ndm.ndm_family = AF_INET;
  ndm.ndm_ifindex = ifindex;
  ndm.ndm_state = state;
  std::vector<Bytes> attrs{Attr(NDA_DST, Ipv4(address))};
  if (!lladdr.empty()) {
    attrs.push_back(Attr(NDA_LLADDR, lladdr));
  }
  return Message(RTM_NEWNEIGH, ndm, attrs, flags);
}

inline Bytes Done(int code = 0, std::uint16_t flags = 0) {
  return Message(NLMSG_DONE, code, {}, flags);
}

inline Bytes ErrorReply(int negativeErrno) {
  nlmsgerr err{};
  err.error = negativeErrno;
  return Message(NLMSG_ERROR, err);
}

template <typename T> Bytes Raw(const T &value) {
  Bytes raw(sizeof value);
  std::memcpy(raw.data(), &value, sizeof value);
  return raw;
}

// A neighbour table's description with its entry count, allocations and
// hash size; an older kernel sends fewer bytes of statistics.
inline Bytes TableInfo(std::uint8_t family, std::uint32_t entries,
                       std::uint64_t allocs = 0, std::uint32_t hashMask = 7,
                       std::size_t statsBytes = sizeof(ndt_stats)) {
  ndtmsg ndtm{};
  ndtm.ndtm_family = family;
  ndt_config config{};
  config.ndtc_entries = entries;
  config.ndtc_hash_mask = hashMask;
  ndt_stats stats{};
  stats.ndts_allocs = allocs;
  Bytes statsBytesSent = Raw(stats);
  statsBytesSent.resize(statsBytes);
  const std::string name = family == AF_INET ? "arp_cache" : "ndisc_cache";
  return Message(
      RTM_NEWNEIGHTBL, ndtm,
      {Attr(NDTA_NAME, Bytes(name.c_str(), name.c_str() + name.size() + 1)),
       Attr(NDTA_CONFIG, Raw(config)), Attr(NDTA_STATS, statsBytesSent)});
}

inline Bytes Join(const std::vector<Bytes> &parts) {
  Bytes out;
  for (const Bytes &p : parts) {
    AppendAligned(&out, p.data(), p.size());
  }
  return out;
}

// Addresses the messages of a datagram to the request (seq, port), walking
// their headers as far as their lengths allow; with keepForeign, messages
// from another port stay as they are.
inline void AddressTo(unsigned char *data, std::size_t len, std::uint32_t seq,
                      std::uint32_t port, bool keepForeign) {
  std::size_t at = 0;
  while (at + sizeof(nlmsghdr) <= len) {
    nlmsghdr h{};
    std::memcpy(&h, data + at, sizeof h);
    if (!keepForeign || h.nlmsg_pid == 0) {
      h.nlmsg_seq = seq;
      h.nlmsg_pid = port;
      std::memcpy(data + at, &h, sizeof h);
    }
    if (h.nlmsg_len < sizeof h) {
      break;
    }
    at += (std::size_t{h.nlmsg_len} + NLMSG_ALIGNTO - 1) &
          ~std::size_t{NLMSG_ALIGNTO - 1};
  }
}
