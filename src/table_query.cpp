#include "arpexport.h"

DWORD FetchIpNetTable(PMIB_IPNETTABLE *ppIpNetTable) {
  PMIB_IPNETTABLE pIpNetTable = nullptr;
  DWORD dwSize = 0;

  // The sizing call only learns how large the table is; 122 asks for a
  // buffer of dwSize bytes. Anything else allocates nothing. The block is
  // zeroed: Windows need not write the bytes of bPhysAddr past a row's
  // dwPhysAddrLen, and the row's six pairs must never show what the heap
  // held before.
  if (GetIpNetTable(nullptr, &dwSize, FALSE) == ERROR_INSUFFICIENT_BUFFER) {
    pIpNetTable = static_cast<PMIB_IPNETTABLE>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, dwSize));
  }

  // The fill call is always made, even without a buffer: its status alone
  // decides. A table that grew since the sizing call fails here with 122.
  const DWORD dwStatus = GetIpNetTable(pIpNetTable, &dwSize, FALSE);
  *ppIpNetTable = pIpNetTable;
  return dwStatus;
}
