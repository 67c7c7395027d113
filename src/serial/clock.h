// Milliseconds and sleeping: the platform's real clock, or a virtual one in the unit tests.
#pragma once

#include <cstdint>

namespace korvo {

struct Clock {
  virtual ~Clock() = default;
  // Real time since the process started, in ms (never processor time). Wraps after 49 days;
  // clock_expired subtracts modulo 2^32, so a wrap between start and now is harmless.
  virtual uint32_t now_ms() = 0;
  // The same clock in microseconds, for timing single exchanges; a clock that only counts
  // milliseconds gives those.
  virtual uint64_t now_us() { return static_cast<uint64_t>(now_ms()) * 1000U; }
  virtual void sleep_ms(uint32_t ms) = 0;
};

// The real clock of this platform.
Clock& clock_system();

// True when more than limit ms have passed since start (an elapsed time equal to the limit
// has not exceeded it).
inline bool clock_expired(Clock& clock, uint32_t start, uint32_t limit) {
  return static_cast<uint32_t>(clock.now_ms() - start) > limit;
}

}  // namespace korvo
