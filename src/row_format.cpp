#include <algorithm>
#include <cstring>

#include "arpexport.h"

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// Renders "%.2x:%.2x:%.2x:%.2x:%.2x:%.2x" for the first six bytes: printf's
// format parsing cost more than everything else per row on large tables.
void FormatPhysAddr(const BYTE *b, char (&text)[17]) {
  for (std::size_t i = 0; i < 6; ++i) {
    text[3 * i] = kHexDigits[b[i] >> 4U];
    text[3 * i + 1] = kHexDigits[b[i] & 0x0FU];
    if (i < 5) {
      text[3 * i + 2] = ':';
    }
  }
}

} // namespace

void WriteIpNetRow(std::FILE *pFile, const MIB_IPNETROW &row) {
  in_addr addr{};
  addr.s_addr = row.dwAddr;
  // "%s - ": inet_ntoa's text lives in storage that its next call
  // overwrites, so it is copied out at once.
  char address[16 + 3];
  const char *text = inet_ntoa(addr);
  const std::size_t n = std::min(std::strlen(text), std::size_t{15});
  std::copy_n(text, n, address);
  std::copy_n(" - ", 3, address + n);
  // Each write's result is left unchecked: a failed write sets the stream's
  // error state, which the run checks once when it closes the file. The
  // caller holds the stream's lock, so the writes need not take it.
  (void)fwrite_unlocked(address, 1, n + 3, pFile);

  // Always six bytes, whatever dwPhysAddrLen says.
  char phys[17];
  FormatPhysAddr(row.bPhysAddr, phys);
  (void)fwrite_unlocked(phys, 1, sizeof phys, pFile);

  (void)fputc_unlocked('\n', pFile);
}
