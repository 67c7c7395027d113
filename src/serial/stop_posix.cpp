// The stop on POSIX: a flag, and a pipe holding one byte once the stop is asked for. The byte
// is never read, so the pipe stays readable and every poll() that includes it ends at once.
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

#include "serial/port_posix.h"
#include "serial/stop.h"

namespace korvo {

namespace {

std::atomic<bool> g_stop{false};
// Both ends of the pipe in one word, so that a signal handler and threads that race to make it
// agree on one pipe: (read end + 1) << 32 | (write end + 1); 0 while there is none.
std::atomic<uint64_t> g_pipe{0};
static_assert(std::atomic<uint64_t>::is_always_lock_free, "the signal path needs a lock-free word");

// Off descriptors 0 to 2 (which a closed standard stream would offer), close-on-exec and
// non-blocking: a full pipe never blocks a handler. Async-signal-safe calls only.
int settle(int fd) {
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  (void)::close(fd);
  if (moved >= 0) (void)fcntl(moved, F_SETFL, O_NONBLOCK);
  return moved;
}

int read_end(uint64_t pipe) { return static_cast<int>(pipe >> 32U) - 1; }
int write_end(uint64_t pipe) { return static_cast<int>(pipe & 0xFFFFFFFFU) - 1; }

void close_pipe(uint64_t pipe) {
  if (pipe == 0) return;
  (void)::close(read_end(pipe));
  (void)::close(write_end(pipe));
}

uint64_t stop_pipe() {
  const uint64_t known = g_pipe.load(std::memory_order_acquire);
  if (known != 0) return known;
  int ends[2] = {-1, -1};
  if (::pipe(ends) != 0) return 0;
  const int in = settle(ends[0]);
  const int out = settle(ends[1]);
  if (in < 0 || out < 0) {
    if (in >= 0) (void)::close(in);
    if (out >= 0) (void)::close(out);
    return 0;
  }
  uint64_t made = static_cast<uint64_t>(in + 1) << 32U | static_cast<uint64_t>(out + 1);
  uint64_t expected = 0;
  if (g_pipe.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) return made;
  // Another caller made one first: use theirs.
  close_pipe(made);
  return expected;
}

void renew_in_child();

// Made while the program loads, so that the pollers have it before anyone can ask for a stop.
const uint64_t g_made_at_start = [] {
  (void)pthread_atfork(nullptr, nullptr, renew_in_child);
  return stop_pipe();
}();

}  // namespace

void port_request_stop() {
  const int saved_errno = errno;
  g_stop.store(true);
  const uint64_t pipe = stop_pipe();
  const char byte = 's';
  // One byte is enough; a full pipe (several requests) is already readable.
  if (pipe != 0) (void)!::write(write_end(pipe), &byte, 1);
  errno = saved_errno;
}

bool port_stop_requested() { return g_stop.load(); }

void port_stop_clear() {
  g_stop.store(false);
  const uint64_t pipe = g_pipe.load(std::memory_order_acquire);
  if (pipe == 0) return;
  char bytes[64];
  while (::read(read_end(pipe), bytes, sizeof bytes) > 0) {
  }
}

namespace {

// A forked child shares its parent's pipe: a stop in either would end the other's waits.
// The child gets one of its own, stopped as its parent was.
void renew_in_child() {
  close_pipe(g_pipe.exchange(0));
  if (g_stop.load()) {
    port_request_stop();
  } else {
    (void)stop_pipe();
  }
}

}  // namespace

int port_posix_stop_fd() {
  (void)g_made_at_start;
  const uint64_t pipe = stop_pipe();
  return pipe != 0 ? read_end(pipe) : -1;
}

}  // namespace korvo
