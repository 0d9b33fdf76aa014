// Console stops while output.txt is open: the handler runs on a thread of
// its own while the tool's thread may be writing.
#include "platform.h"

namespace {

std::FILE *g_pOutput; // under the output lock; null when nothing is guarded

BOOL WINAPI OnConsoleStop(DWORD /*dwCtrlType*/) {
  LockOutput();
  if (g_pOutput == nullptr) {
    UnlockOutput();
    return FALSE; // the system's default: the process ends
  }
  // The lock is ours: the write in progress has landed and no other can
  // start. It stays ours until the process is gone.
  (void)_chsize(_fileno(g_pOutput), 0);
  // Ended at once, so that no flush at exit writes the buffer out again.
  TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  return TRUE;
}

} // namespace

void GuardOutput(std::FILE *pFile) {
  LockOutput();
  g_pOutput = pFile;
  UnlockOutput();
  (void)SetConsoleCtrlHandler(OnConsoleStop, TRUE);
}

// Waits for a handler that has started: it ends the process.
void ReleaseOutput() {
  LockOutput();
  g_pOutput = nullptr;
  UnlockOutput();
}
