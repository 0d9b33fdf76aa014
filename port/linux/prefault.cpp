// A large block of rows is written once from its start while the kernel's
// dump runs, and the first write to each page costs a fault that zeroes it:
// on a virtual machine whose host takes back free memory, about as much as
// parsing the rows. A helper thread on the other core faults pages in a
// little ahead of the writer (MADV_POPULATE_WRITE, which changes no byte),
// and never further, so that the part of the block that the caller's table
// does not reach costs nothing.
#include <atomic>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "layer.h"

struct Prefault {
  unsigned char *start; // page-aligned
  std::size_t bytes;    // whole pages
  std::atomic<std::size_t> written;
  std::atomic<std::uint32_t> stop; // a futex word: 1 once stopped
  pthread_t thread;
};

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "the stop word must be usable as a futex");

namespace {

// How far ahead of the writer pages are faulted in; a table that does not
// reach kFirstHelp gets no help, and so costs no page it does not use. The
// writer fills some 50 KiB a millisecond, so a look every millisecond keeps
// well ahead; looking more often cost a tenth of a core on a VM.
constexpr std::size_t kAhead = std::size_t{1} << 20U;
constexpr std::size_t kFirstHelp = std::size_t{64} << 10U;
constexpr std::size_t kSmallestBlock = std::size_t{2} << 20U;
constexpr long kPollNanoseconds = 1000000;

Prefault g_prefault; // one fill at a time

// Sleeps for one poll, or until StopPrefault wakes it.
void Pause(Prefault *pf) {
  const timespec pause{0, kPollNanoseconds};
  (void)syscall(SYS_futex, &pf->stop, FUTEX_WAIT_PRIVATE, 0U, &pause, nullptr,
                0U);
}

std::size_t Ahead(const Prefault &pf, std::size_t written, std::size_t page) {
  if (written < kFirstHelp) {
    return 0;
  }
  const std::size_t target = (written + kAhead + page - 1) / page * page;
  return target < pf.bytes ? target : pf.bytes;
}

void *FaultIn(void *arg) {
#ifdef MADV_POPULATE_WRITE
  auto *pf = static_cast<Prefault *>(arg);
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  std::size_t done = 0;
  while (pf->stop.load(std::memory_order_acquire) == 0U && done < pf->bytes) {
    const std::size_t target =
        Ahead(*pf, pf->written.load(std::memory_order_relaxed), page);
    if (target > done) {
      if (madvise(pf->start + done, target - done, MADV_POPULATE_WRITE) != 0) {
        break; // a kernel without it: the writer faults as usual
      }
      done = target;
    } else {
      Pause(pf);
    }
  }
#else
  (void)arg;
#endif
  return nullptr;
}

} // namespace

Prefault *StartPrefault(void *block, std::size_t bytes) {
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<std::uintptr_t>(block);
  const std::uintptr_t first = (begin + page - 1) / page * page;
  const std::uintptr_t end = (begin + bytes) / page * page;
  if (bytes < kSmallestBlock || end <= first) {
    return nullptr; // faulted in as it is written, at no more cost
  }
  Prefault *pf = &g_prefault;
  pf->start = static_cast<unsigned char *>(block) + (first - begin);
  pf->bytes = end - first;
  // Small pages, also where transparent huge pages are "always": a huge
  // page would be faulted in whole at the first row, and 2 MiB at a time
  // ahead of the writer. A kernel without huge pages refuses the advice.
  (void)madvise(pf->start, pf->bytes, MADV_NOHUGEPAGE);
  pf->written.store(0, std::memory_order_relaxed);
  pf->stop.store(0U, std::memory_order_relaxed);
  // The helper blocks every signal, so that a signal that stops the run is
  // handled on the writer's thread, between two of its writes.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  const int created = pthread_create(&pf->thread, nullptr, FaultIn, pf);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return created == 0 ? pf : nullptr;
}

void PrefaultWritten(Prefault *pf, const void *end) {
  if (pf == nullptr) {
    return;
  }
  const auto at = reinterpret_cast<std::uintptr_t>(end);
  const auto start = reinterpret_cast<std::uintptr_t>(pf->start);
  pf->written.store(at > start ? at - start : 0, std::memory_order_relaxed);
}

void StopPrefault(Prefault *pf) {
  if (pf == nullptr) {
    return;
  }
  pf->stop.store(1U, std::memory_order_release);
  (void)syscall(SYS_futex, &pf->stop, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr,
                0U);
  (void)pthread_join(pf->thread, nullptr);
}
