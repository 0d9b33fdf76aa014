#include "arpexport.h"

namespace {

// Large enough that a big table leaves in a few large writes.
char g_outputBuffer[1U << 18U];

// The stream is locked once for the whole table rather than at each of the
// three writes of every row. Returns NO_ERROR, or the code for a row that
// could not be written; the rows after it are not written.
DWORD WriteIpNetTable(std::FILE *pFile, const MIB_IPNETTABLE &table) {
  DWORD dwError = NO_ERROR;
  flockfile(pFile);
  for (DWORD i = 0; i < table.dwNumEntries; ++i) {
    if (!WriteIpNetRow(pFile, table.table[i])) {
      dwError = ERROR_INVALID_DATA;
      break;
    }
  }
  funlockfile(pFile);
  return dwError;
}

// The platform's code for the failure just seen; never NO_ERROR.
DWORD LastFailure() {
  const DWORD dwError = GetLastError();
  return dwError != NO_ERROR ? dwError : ERROR_GEN_FAILURE;
}

// Buffered write errors surface at the flush. A file that is not a whole
// table is emptied through the stream's own descriptor before the guard
// ends, so that neither a stop nor the close can leave part of one. Returns
// the first failure, or NO_ERROR.
DWORD FinishOutput(std::FILE *pFile, DWORD dwError) {
  if ((FlushOutput(pFile) != 0 || std::ferror(pFile) != 0) &&
      dwError == NO_ERROR) {
    dwError = LastFailure();
  }
  if (dwError != NO_ERROR) {
    (void)TruncateStream(pFile);
  }
  ReleaseOutput();
  if (std::fclose(pFile) != 0 && dwError == NO_ERROR) {
    dwError = LastFailure();
    // Closed already: opening it again is all that is left.
    std::FILE *pAgain = OpenOutputFile("output.txt");
    if (pAgain != nullptr) {
      (void)std::fclose(pAgain);
    }
  }
  return dwError;
}

} // namespace

int RunExport() {
  // Opened first, so every run leaves the file created and emptied.
  std::FILE *pFile = OpenOutputFile("output.txt");
  if (pFile == nullptr) {
    const DWORD dwError = GetLastError();
    std::printf("Cannot open output.txt.\n");
    ReportStatusText(dwError);
    return 0;
  }
  GuardOutput(pFile);
  // Without the large buffer the run is only slower, never wrong.
  (void)std::setvbuf(pFile, g_outputBuffer, _IOFBF, sizeof g_outputBuffer);

  // The table buffer is held until the process ends.
  PMIB_IPNETTABLE pIpNetTable = nullptr;
  DWORD dwWrite = NO_ERROR;
  const DWORD dwStatus = FetchIpNetTable(&pIpNetTable);
  if (dwStatus == NO_ERROR && pIpNetTable != nullptr) {
    dwWrite = WriteIpNetTable(pFile, *pIpNetTable);
  } else if (dwStatus != NO_ERROR && dwStatus != ERROR_NO_DATA) {
    // ERROR_NO_DATA is how the platform says the table is empty.
    std::printf("GetIpNetTable failed.\n");
    ReportStatusText(dwStatus);
  }

  dwWrite = FinishOutput(pFile, dwWrite);
  if (dwWrite != NO_ERROR) {
    std::printf("Cannot write output.txt.\n");
    ReportStatusText(dwWrite);
  }
  return 0;
}
