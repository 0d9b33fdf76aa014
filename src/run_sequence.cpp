#include "arpexport.h"

namespace {

// Large enough that a big table leaves in a few large writes.
char g_outputBuffer[1U << 18U];

// The stream is locked once for the whole table rather than at each of the
// three writes of every row.
void WriteIpNetTable(std::FILE *pFile, const MIB_IPNETTABLE &table) {
  flockfile(pFile);
  for (DWORD i = 0; i < table.dwNumEntries; ++i) {
    WriteIpNetRow(pFile, table.table[i]);
  }
  funlockfile(pFile);
}

// Buffered write errors surface at the flush or the close. Returns the
// platform's code for the first failure, or NO_ERROR.
DWORD CloseOutput(std::FILE *pFile) {
  DWORD dwError = NO_ERROR;
  if (std::fflush(pFile) != 0 || std::ferror(pFile) != 0) {
    dwError = GetLastError();
    if (dwError == NO_ERROR) {
      dwError = ERROR_GEN_FAILURE; // a failure must never read as success
    }
  }
  if (std::fclose(pFile) != 0 && dwError == NO_ERROR) {
    dwError = GetLastError();
    if (dwError == NO_ERROR) {
      dwError = ERROR_GEN_FAILURE;
    }
  }
  return dwError;
}

// Opening the file again empties it: a file cut short by a failed write
// would pass for a smaller table.
void EmptyOutput() {
  std::FILE *pFile = std::fopen("output.txt", "w");
  if (pFile != nullptr) {
    (void)std::fclose(pFile);
  }
}

} // namespace

int RunExport() {
  // Opened first, so every run leaves the file created and emptied.
  std::FILE *pFile = std::fopen("output.txt", "w");
  if (pFile == nullptr) {
    const DWORD dwError = GetLastError();
    std::printf("Cannot open output.txt.\n");
    ReportStatusText(dwError);
    return 0;
  }
  // Without the large buffer the run is only slower, never wrong.
  (void)std::setvbuf(pFile, g_outputBuffer, _IOFBF, sizeof g_outputBuffer);

  // The table buffer is held until the process ends.
  PMIB_IPNETTABLE pIpNetTable = nullptr;
  const DWORD dwStatus = FetchIpNetTable(&pIpNetTable);
  if (dwStatus == NO_ERROR && pIpNetTable != nullptr) {
    WriteIpNetTable(pFile, *pIpNetTable);
  } else if (dwStatus != NO_ERROR && dwStatus != ERROR_NO_DATA) {
    // ERROR_NO_DATA is how the platform says the table is empty.
    std::printf("GetIpNetTable failed.\n");
    ReportStatusText(dwStatus);
  }

  const DWORD dwWrite = CloseOutput(pFile);
  if (dwWrite != NO_ERROR) {
    EmptyOutput();
    std::printf("Cannot write output.txt.\n");
    ReportStatusText(dwWrite);
  }
  return 0;
}
