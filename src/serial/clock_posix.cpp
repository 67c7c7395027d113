#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>

#include "serial/clock.h"
#include "serial/port_posix.h"
#include "serial/stop.h"

namespace korvo {

uint64_t clock_posix_monotonic_ms() {
  timespec ts{};
  // CLOCK_MONOTONIC cannot fail with a valid pointer; it never jumps with the wall clock.
  (void)clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000U + static_cast<uint64_t>(ts.tv_nsec) / 1000000U;
}

namespace {

void plain_sleep_ms(uint64_t ms) {
  timespec left{static_cast<time_t>(ms / 1000U), static_cast<long>((ms % 1000U) * 1000000U)};
  // A signal cuts nanosleep short; go on sleeping for what is left.
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace

void clock_posix_sleep_ms(uint64_t ms) {
  const int stop = port_posix_stop_fd();
  if (stop < 0) {
    if (!port_stop_requested()) plain_sleep_ms(ms);
    return;
  }
  // Asleep on the stop's descriptor, so that a stop ends the sleep at once.
  const uint64_t end = clock_posix_monotonic_ms() + ms;
  for (;;) {
    const uint64_t now = clock_posix_monotonic_ms();
    if (port_stop_requested() || now >= end) return;
    pollfd p{stop, POLLIN, 0};
    const int r = poll(&p, 1, static_cast<int>(std::min<uint64_t>(end - now, INT_MAX)));
    if (r >= 0) return;  // the time is up, or the stop came
    if (errno != EINTR) {
      plain_sleep_ms(end - now);  // no poll to be had: the sleep still lasts its time
      return;
    }
  }
}

namespace {

// Taken while the program loads, so now_ms() counts from (about) the start of the process.
const uint64_t g_process_start_ms = clock_posix_monotonic_ms();

struct PosixClock final : Clock {
  uint32_t now_ms() override {
    return static_cast<uint32_t>(clock_posix_monotonic_ms() - g_process_start_ms);
  }
  uint64_t now_us() override {
    timespec ts{};
    (void)clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000U + static_cast<uint64_t>(ts.tv_nsec) / 1000U;
  }
  void sleep_ms(uint32_t ms) override { clock_posix_sleep_ms(ms); }
};

}  // namespace

Clock& clock_system() {
  static PosixClock clock;
  return clock;
}

}  // namespace korvo
