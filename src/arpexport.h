// The tool's units: one pass from the platform's neighbour table to output.txt.
#pragma once

#include <cstdio>

#include "platform.h"

// Run sequence: opens output.txt, fetches the table, writes or reports.
// Always returns 0, the process's exit status.
int RunExport();

// Neighbour table query by the platform's two-call sizing protocol. Stores the
// table buffer (or null) in *ppIpNetTable and returns the fill call's status.
DWORD FetchIpNetTable(PMIB_IPNETTABLE *ppIpNetTable);

// Row format: one line "a.b.c.d - xx:xx:xx:xx:xx:xx" per row. The caller
// holds the stream's lock (flockfile). False, with nothing written, when the
// address has no text.
bool WriteIpNetRow(std::FILE *pFile, const MIB_IPNETROW &row);

// Status text report: "\tError: " and the system's text for dwStatus, if any.
void ReportStatusText(DWORD dwStatus);
