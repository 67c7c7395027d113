#include "serial/net_lookup.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "serial/stop.h"

namespace korvo {

namespace {

// The wait blocks on the lookup's signal, and looks at the stop and the deadline this often:
// a stop has no way to wake it.
constexpr auto LOOKUP_STEP = std::chrono::milliseconds(50);

// Shared by the waiter and the lookup's thread, so that either may be the last to let go.
struct LookupDone {
  std::mutex mutex;
  std::condition_variable signal;
  bool done = false;
};

}  // namespace

NetConnect net_lookup_wait(std::function<void()> lookup, const std::function<uint64_t()>& now_ms,
                           uint64_t deadline_ms) {
  auto state = std::make_shared<LookupDone>();
  std::thread([state, work = std::move(lookup)] {
    work();
    const std::lock_guard<std::mutex> lock(state->mutex);
    state->done = true;
    state->signal.notify_all();
  }).detach();
  std::unique_lock<std::mutex> lock(state->mutex);
  while (!state->done) {
    if (port_stop_requested()) return NetConnect::STOPPED;
    if (now_ms() >= deadline_ms) return NetConnect::TIMED_OUT;
    state->signal.wait_for(lock, LOOKUP_STEP);
  }
  return NetConnect::OK;
}

}  // namespace korvo
