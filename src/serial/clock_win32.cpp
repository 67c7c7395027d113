#include <windows.h>

#include <ctime>

#include "serial/clock.h"
#include "serial/port_win32.h"
#include "serial/stop.h"

namespace korvo {

namespace {

// msvcrt's clock() counts real time since the process started, in ms (CLOCKS_PER_SEC is
// 1000), unlike the processor time it gives elsewhere.
struct Win32Clock final : Clock {
  uint32_t now_ms() override {
    return static_cast<uint32_t>(static_cast<unsigned long long>(std::clock()) * 1000ULL /
                                 CLOCKS_PER_SEC);
  }
  uint64_t now_us() override {
    LARGE_INTEGER count{};
    LARGE_INTEGER frequency{};
    if (!QueryPerformanceCounter(&count) || !QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0) {
      return Clock::now_us();
    }
    const auto ticks = static_cast<unsigned long long>(count.QuadPart);
    const auto hz = static_cast<unsigned long long>(frequency.QuadPart);
    return ticks / hz * 1000000ULL + ticks % hz * 1000000ULL / hz;
  }
  // Asleep on the stop's event, so that a stop ends the sleep at once.
  void sleep_ms(uint32_t ms) override {
    if (port_stop_requested()) return;
    const HANDLE stop = port_win32_stop_event();
    if (stop == nullptr || WaitForSingleObject(stop, ms) == WAIT_FAILED) Sleep(ms);
  }
};

}  // namespace

Clock& clock_system() {
  static Win32Clock clock;
  return clock;
}

}  // namespace korvo
