// A scripted socket seam for the layer: replies per dump, failures on demand.
#pragma once

#include <deque>
#include <optional>
#include <vector>

#include "netlink_builder.h"

struct FakeNetlink {
  // Datagrams for each RTM_GETNEIGH dump in turn, and for the table dump.
  std::deque<std::vector<Bytes>> neighDumps;
  std::deque<std::vector<Bytes>> tableDumps;
  int openErrno = 0;
  // Every receive after the first receivesBeforeError fails with this
  // errno, 0 included, when set.
  std::optional<int> receiveErrno;
  int receivesBeforeError = 0;

  int opens = 0;
  int closes = 0;
  std::vector<std::uint16_t> requests;
  std::vector<std::uint32_t> requestLengths;
  std::vector<int> backOffs;
};

extern FakeNetlink g_netlink;
