// Linked into the Linux program only. On Windows a write to a pipe whose
// reader has gone just fails; on Linux it would kill the program with
// SIGPIPE and change its exit status, which is 0 in every case. Ignored,
// the write fails with EPIPE instead, and the run goes on to its end.
#include <csignal>

namespace {

[[maybe_unused]] const bool g_pipeSignalIgnored =
    std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;

} // namespace
