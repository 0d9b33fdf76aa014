// Console stops while output.txt is open: the handler runs on a thread of
// its own while the tool's thread may be writing.
#include "platform.h"

namespace {

SRWLOCK g_guard = SRWLOCK_INIT;
std::FILE *g_pOutput; // under g_guard; null when no file is guarded

BOOL WINAPI OnConsoleStop(DWORD /*dwCtrlType*/) {
  AcquireSRWLockExclusive(&g_guard);
  if (g_pOutput == nullptr) {
    ReleaseSRWLockExclusive(&g_guard);
    return FALSE; // the system's default: the process ends
  }
  // Every write takes the stream's lock: once it is ours, the write in
  // progress has landed and no other can start.
  _lock_file(g_pOutput);
  (void)_chsize(_fileno(g_pOutput), 0);
  // Ended at once, so that no flush at exit writes the buffer out again.
  TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  return TRUE;
}

} // namespace

void GuardOutput(std::FILE *pFile) {
  AcquireSRWLockExclusive(&g_guard);
  g_pOutput = pFile;
  ReleaseSRWLockExclusive(&g_guard);
  (void)SetConsoleCtrlHandler(OnConsoleStop, TRUE);
}

// Waits for a handler that has started: it ends the process.
void ReleaseOutput() {
  AcquireSRWLockExclusive(&g_guard);
  g_pOutput = nullptr;
  ReleaseSRWLockExclusive(&g_guard);
}
