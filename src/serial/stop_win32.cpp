// The stop on Windows: a flag, and a manual-reset event that every wait of a port or of the
// clock also waits on.
#include <windows.h>

#include <atomic>

#include "serial/port_win32.h"
#include "serial/stop.h"

namespace korvo {

namespace {

std::atomic<bool> g_stop{false};
std::atomic<HANDLE> g_event{nullptr};

HANDLE stop_event() {
  HANDLE known = g_event.load();
  if (known != nullptr) return known;
  const HANDLE made = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (made == nullptr) return nullptr;
  HANDLE expected = nullptr;
  if (g_event.compare_exchange_strong(expected, made)) return made;
  // Another thread made one first: use theirs.
  CloseHandle(made);
  return expected;
}

// Made while the program loads, so that the waits have it before anyone can ask for a stop.
const HANDLE g_made_at_start = stop_event();

}  // namespace

void port_request_stop() {
  g_stop.store(true);
  const HANDLE event = stop_event();
  if (event != nullptr) SetEvent(event);
}

bool port_stop_requested() { return g_stop.load(); }

void port_stop_clear() {
  g_stop.store(false);
  const HANDLE event = g_event.load();
  if (event != nullptr) ResetEvent(event);
}

HANDLE port_win32_stop_event() {
  (void)g_made_at_start;
  return stop_event();
}

}  // namespace korvo
