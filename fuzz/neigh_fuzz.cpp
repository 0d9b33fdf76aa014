// libFuzzer target: hostile bytes as rtnetlink replies. Drives the pure
// parsers and GetIpNetTable itself, whose every dump receives the input.
// Buffers are exactly the size the caller states, so that the sanitizers
// catch any read or write past them.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "layer.h"
#include "netlink_builder.h"

namespace {

const std::uint8_t *g_data;
std::size_t g_size;
bool g_delivered;
std::uint32_t g_seq;
constexpr std::uint32_t kPort = 99;

void Require(bool condition) {
  if (!condition) {
    std::abort();
  }
}

// The parsers take the first message's sequence number and port as the
// request's, so that the input is read as the answer.
void FuzzParsers(const std::uint8_t *data, std::size_t size) {
  DumpId id{0, 0};
  if (size >= sizeof(nlmsghdr)) {
    nlmsghdr first{};
    std::memcpy(&first, data, sizeof first);
    id = DumpId{first.nlmsg_seq, first.nlmsg_pid};
  }
  for (const std::uint64_t capacity : {0U, 1U, 3U}) {
    auto rows = std::make_unique<MIB_IPNETROW[]>(capacity);
    KeySet seen = MakeKeySet(capacity);
    RowSink sink{rows.get(), capacity, 0, capacity == 3 ? &seen : nullptr,
                 nullptr};
    int error = 0;
    ParseNeighDump(data, size, id, &sink, &error);
    for (std::uint64_t i = 0; i < sink.count && i < capacity; ++i) {
      Require(rows[i].dwPhysAddrLen <= MAXLEN_PHYSADDR);
    }
    FreeKeySet(&seen);
  }
  TableStamp stamp{};
  int error = 0;
  ParseNeighTableDump(data, size, id, &stamp, &error);
}

void FuzzGetIpNetTable() {
  ULONG size = 0;
  GetIpNetTable(nullptr, &size, FALSE);
  for (const ULONG capacity : {0U, 1U, 2U, 5U}) {
    const ULONG bytes = 4 + capacity * sizeof(MIB_IPNETROW);
    auto buffer = std::make_unique<std::uint8_t[]>(bytes);
    auto *table = reinterpret_cast<PMIB_IPNETTABLE>(buffer.get());
    size = bytes;
    const ULONG status = GetIpNetTable(table, &size, FALSE);
    if (status == NO_ERROR) {
      Require(table->dwNumEntries > 0 && table->dwNumEntries <= capacity);
    } else if (status == ERROR_INSUFFICIENT_BUFFER) {
      Require(size > bytes); // asks for more, never overflows
    }
  }
}

} // namespace

// The socket seam, answering every request with the input, then EOF.
int NlOpen(std::uint32_t *pPort) {
  *pPort = kPort;
  return 3;
}
int NlSend(int /*fd*/, const void *data, std::size_t len) {
  nlmsghdr request{};
  std::memcpy(&request, data, len < sizeof request ? len : sizeof request);
  g_seq = request.nlmsg_seq;
  g_delivered = false;
  return 0;
}
ssize_t NlReceive(int /*fd*/, void *data, std::size_t len) {
  if (g_delivered) {
    return 0;
  }
  g_delivered = true;
  const std::size_t n = g_size < len ? g_size : len;
  if (n > 0) {
    std::memcpy(data, g_data, n);
  }
  AddressTo(static_cast<unsigned char *>(data), n, g_seq, kPort, false);
  return static_cast<ssize_t>(n);
}
void NlClose(int /*fd*/) {}
void NlBackOff(int /*attempt*/) {}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  auto copy = std::make_unique<std::uint8_t[]>(size);
  if (size > 0) {
    std::memcpy(copy.get(), data, size);
  }
  FuzzParsers(copy.get(), size);
  g_data = copy.get();
  g_size = size;
  FuzzGetIpNetTable();
  return 0;
}
