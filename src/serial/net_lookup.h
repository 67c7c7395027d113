// A host name lookup bounded like every other wait of a network port. The system's lookup
// (getaddrinfo) has no time limit of its own and no way to be cancelled, so it runs on a
// thread of its own; the platform files hand over just the call.
#pragma once

#include <cstdint>
#include <functional>

#include "serial/net.h"

namespace korvo {

// Runs `lookup` on a thread of its own and waits until it has returned (OK), a stop is asked
// for (STOPPED) or now_ms() reaches deadline_ms (TIMED_OUT). A wait that ends first leaves the
// thread to finish alone, so `lookup` must own everything it touches: its result goes into
// state it shares with the caller (a shared_ptr it captured), read only after OK.
NetConnect net_lookup_wait(std::function<void()> lookup, const std::function<uint64_t()>& now_ms,
                           uint64_t deadline_ms);

}  // namespace korvo
