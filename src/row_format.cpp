#include "arpexport.h"

void WriteIpNetRow(std::FILE *pFile, const MIB_IPNETROW &row) {
  in_addr addr{};
  addr.s_addr = row.dwAddr;
  // inet_ntoa's text lives in storage that its next call overwrites: write
  // it at once.
  std::fprintf(pFile, "%s - ", inet_ntoa(addr));

  // Always six bytes, whatever dwPhysAddrLen says.
  const BYTE *b = row.bPhysAddr;
  std::fprintf(pFile, "%.2x:%.2x:%.2x:%.2x:%.2x:%.2x", unsigned{b[0]},
               unsigned{b[1]}, unsigned{b[2]}, unsigned{b[3]}, unsigned{b[4]},
               unsigned{b[5]});
  std::fprintf(pFile, "\n");
}
