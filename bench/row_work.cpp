// The export's own work per row, apart from the kernel's: parsing reply
// datagrams into rows, and writing rows as lines. Messages are laid out as
// the kernel lays them out (destination, hardware address, probes, cache
// info); lines go to /dev/null through the run's buffer size.
#include <benchmark/benchmark.h>
#include <cstdio>
#include <string>
#include <vector>

#include "arpexport.h"
#include "layer.h"
#include "netlink_builder.h"

namespace {

constexpr std::size_t kRows = 100000;
constexpr std::size_t kDatagram = 32768;

std::string Dotted(std::size_t i) {
  return "10." + std::to_string(100 + i / 65536) + "." +
         std::to_string(i / 256 % 256) + "." + std::to_string(i % 256);
}

Bytes KernelLikeNeigh(std::size_t i) {
  ndmsg ndm{};
  ndm.ndm_family = AF_INET;
  ndm.ndm_ifindex = 2;
  ndm.ndm_state = NUD_PERMANENT;
  const auto b = [i](std::size_t shift) {
    return static_cast<unsigned char>(i >> shift);
  };
  const nda_cacheinfo cache{};
  return Message(RTM_NEWNEIGH, ndm,
                 {Attr(NDA_DST, Ipv4(Dotted(i).c_str())),
                  Attr(NDA_LLADDR, Bytes{2, 0, b(16), b(8), b(0), 1}),
                  Attr(NDA_PROBES, Raw(0U)), Attr(NDA_CACHEINFO, Raw(cache))});
}

// kRows messages cut into datagrams of at most kDatagram bytes, as a dump
// delivers them, addressed to request 1 of port 0.
std::vector<Bytes> Datagrams() {
  std::vector<Bytes> out(1);
  for (std::size_t i = 0; i < kRows; ++i) {
    const Bytes message = KernelLikeNeigh(i);
    if (out.back().size() + message.size() > kDatagram) {
      out.emplace_back();
    }
    AppendAligned(&out.back(), message.data(), message.size());
  }
  for (Bytes &datagram : out) {
    AddressTo(datagram.data(), datagram.size(), 1, 0, false);
  }
  return out;
}

void BM_ParseNeighDump(benchmark::State &state) {
  const std::vector<Bytes> datagrams = Datagrams();
  std::vector<MIB_IPNETROW> rows(kRows);
  for (auto _ : state) {
    RowSink sink{rows.data(), rows.size(), 0, nullptr, nullptr};
    int error = 0;
    for (const Bytes &datagram : datagrams) {
      benchmark::DoNotOptimize(ParseNeighDump(datagram.data(), datagram.size(),
                                              DumpId{1, 0}, &sink, &error));
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() *
                          static_cast<std::int64_t>(kRows));
}
BENCHMARK(BM_ParseNeighDump);

void BM_WriteIpNetRow(benchmark::State &state) {
  std::vector<MIB_IPNETROW> rows(kRows);
  RowSink sink{rows.data(), rows.size(), 0, nullptr, nullptr};
  int error = 0;
  for (const Bytes &datagram : Datagrams()) {
    ParseNeighDump(datagram.data(), datagram.size(), DumpId{1, 0}, &sink,
                   &error);
  }
  std::FILE *pFile = std::fopen("/dev/null", "w");
  static char buffer[1U << 18U];
  (void)std::setvbuf(pFile, buffer, _IOFBF, sizeof buffer);
  for (auto _ : state) {
    flockfile(pFile);
    for (const MIB_IPNETROW &row : rows) {
      WriteIpNetRow(pFile, row);
    }
    funlockfile(pFile);
  }
  (void)std::fclose(pFile);
  state.SetItemsProcessed(state.iterations() *
                          static_cast<std::int64_t>(kRows));
}
BENCHMARK(BM_WriteIpNetRow);

} // namespace

BENCHMARK_MAIN();
