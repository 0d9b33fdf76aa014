// libFuzzer target: hostile bytes as rtnetlink replies. Drives the pure
// parsers and GetIpNetTable itself, whose every dump receives the input.
// Buffers are exactly the size the caller states, so that the sanitizers
// catch any read or write past them.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "layer.h"

namespace {

const std::uint8_t *g_data;
std::size_t g_size;
bool g_delivered;

void Require(bool condition) {
  if (!condition) {
    std::abort();
  }
}

void FuzzParsers(const std::uint8_t *data, std::size_t size) {
  for (const std::uint64_t capacity : {0U, 1U, 3U}) {
    auto rows = std::make_unique<MIB_IPNETROW[]>(capacity);
    RowSink sink{rows.get(), capacity, 0};
    int error = 0;
    ParseNeighDump(data, size, &sink, &error);
    for (std::uint64_t i = 0; i < sink.count && i < capacity; ++i) {
      Require(rows[i].dwPhysAddrLen <= MAXLEN_PHYSADDR);
    }
  }
  TableStamp stamp{};
  int error = 0;
  ParseNeighTableDump(data, size, &stamp, &error);
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
int NlOpen() { return 3; }
int NlSend(int /*fd*/, const void * /*data*/, std::size_t /*len*/) {
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
