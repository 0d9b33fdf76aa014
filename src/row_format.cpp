#include <algorithm>
#include <array>
#include <cstring>

#include "arpexport.h"

namespace {

// Each byte's two lower-case hexadecimal digits.
constexpr std::array<std::array<char, 2>, 256> MakeHexPairs() {
  constexpr char kDigits[] = "0123456789abcdef";
  std::array<std::array<char, 2>, 256> pairs{};
  for (std::size_t v = 0; v < pairs.size(); ++v) {
    pairs[v] = {kDigits[v >> 4U], kDigits[v & 0x0FU]};
  }
  return pairs;
}

constexpr auto kHexPairs = MakeHexPairs();

// Renders "%.2x:%.2x:%.2x:%.2x:%.2x:%.2x" for the first six bytes: printf's
// format parsing cost more than everything else per row on large tables.
void FormatPhysAddr(const BYTE *b, char (&text)[17]) {
  for (std::size_t i = 0; i < 6; ++i) {
    std::memcpy(&text[3 * i], kHexPairs[b[i]].data(), 2);
    if (i < 5) {
      text[3 * i + 2] = ':';
    }
  }
}

} // namespace

bool WriteIpNetRow(std::FILE *pFile, const MIB_IPNETROW &row) {
  // Always six bytes, whatever dwPhysAddrLen says. Formatted first, so that
  // its stores have landed by the time its write reads them back.
  char phys[17];
  FormatPhysAddr(row.bPhysAddr, phys);

  in_addr addr{};
  addr.s_addr = row.dwAddr;
  // "%s - ": inet_ntoa's text lives in storage that its next call
  // overwrites, so it is copied out at once, a byte at a time: it was
  // stored a moment ago in small pieces, and the wide reads of strlen and
  // memcpy would wait for each of them to land.
  char address[16 + 3];
  const char *text = inet_ntoa(addr);
  if (text == nullptr) {
    return false; // Windows allows it; no line rather than a wrong one
  }
  std::size_t n = 0;
  while (n < 15 && text[n] != '\0') {
    address[n] = text[n];
    ++n;
  }
  std::copy_n(" - ", 3, address + n);
  // Each write's result is left unchecked: a failed write sets the stream's
  // error state, which the run checks once when it closes the file. The
  // caller holds the stream's lock, so the writes need not take it.
  (void)WriteUnlocked(address, n + 3, pFile);
  (void)WriteUnlocked(phys, sizeof phys, pFile);
  (void)fputc_unlocked('\n', pFile);
  return true;
}
