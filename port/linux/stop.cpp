// Signals that end the process while output.txt is open. A process-directed
// signal goes to a thread that does not block it; the layer's only other
// thread blocks every signal, so the handler runs on the tool's thread,
// between two of its system calls: the write in progress has landed, and no
// other follows the truncation.
#include <csignal>
#include <cstddef>
#include <unistd.h>

#include "platform.h"

namespace {

// Every signal whose default action ends the process and that a user, a
// shell, a service manager or a limit sends. SIGPIPE and SIGXFSZ are
// ignored instead: a write then fails and the run reports it.
constexpr int kStopSignals[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM,
                                SIGALRM, SIGUSR1, SIGUSR2, SIGXCPU};
constexpr std::size_t kCount = sizeof kStopSignals / sizeof kStopSignals[0];

volatile sig_atomic_t g_outputFd = -1;
struct sigaction g_previous[kCount];
bool g_installed[kCount];

// Async-signal-safe throughout. With its default action back and no longer
// blocked, the signal raised again acts at once.
void OnStop(int signal) {
  const int fd = g_outputFd;
  if (fd >= 0) {
    (void)ftruncate(fd, 0);
  }
  struct sigaction byDefault {};
  byDefault.sa_handler = SIG_DFL;
  (void)sigaction(signal, &byDefault, nullptr);
  sigset_t self;
  sigemptyset(&self);
  sigaddset(&self, signal);
  (void)sigprocmask(SIG_UNBLOCK, &self, nullptr);
  (void)raise(signal);
}

} // namespace

void GuardOutput(std::FILE *pFile) {
  g_outputFd = fileno(pFile);
  struct sigaction stop {};
  stop.sa_handler = OnStop;
  sigemptyset(&stop.sa_mask);
  for (const int signal : kStopSignals) {
    sigaddset(&stop.sa_mask, signal); // one stop at a time
  }
  for (std::size_t i = 0; i < kCount; ++i) {
    struct sigaction &previous = g_previous[i];
    g_installed[i] = sigaction(kStopSignals[i], nullptr, &previous) == 0 &&
                     previous.sa_handler != SIG_IGN &&
                     sigaction(kStopSignals[i], &stop, nullptr) == 0;
  }
}

void ReleaseOutput() {
  for (std::size_t i = 0; i < kCount; ++i) {
    if (g_installed[i]) {
      (void)sigaction(kStopSignals[i], &g_previous[i], nullptr);
      g_installed[i] = false;
    }
  }
  g_outputFd = -1;
}
