// Win32 pieces shared by the serial backend, the clock and the console of this platform.
#pragma once

#include <windows.h>

namespace korvo {

// A manual-reset event set once a stop is asked for (serial/stop.h), for the waits of the
// ports and the clock to wait on beside their own; nullptr when the system gave none (then
// only the flag tells, between waits).
HANDLE port_win32_stop_event();

}  // namespace korvo
