// Linked into the Linux program only. On Windows a write that fails just
// fails; on Linux a write to a pipe whose reader has gone raises SIGPIPE,
// and one past the file-size limit (ulimit -f) raises SIGXFSZ, and either
// would kill the program part-way through the file. Ignored, the write
// fails with EPIPE or EFBIG instead, and the run reports it, empties the
// file and exits with 0.
#include <csignal>

namespace {

[[maybe_unused]] const bool g_writeSignalsIgnored =
    std::signal(SIGPIPE, SIG_IGN) != SIG_ERR &&
    std::signal(SIGXFSZ, SIG_IGN) != SIG_ERR;

} // namespace
