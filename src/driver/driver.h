// Start-up, the port scan, the update sequence and the exit routine.
#pragma once

#include <cstdint>

#include "driver/run_state.h"

namespace korvo {

inline constexpr uint32_t KORVO_SCAN_FIRST = 1;
inline constexpr uint32_t KORVO_SCAN_LAST = 16;

// The exit statuses of the whole program.
enum class ExitStatus {
  UNCHANGED = 0,  // the user declined, or the image does not fit the device
  ENDED = 1,      // everything else, a finished update included
};

// The whole run on the ports, clock and console that `run` carries; the exit status.
[[nodiscard]] ExitStatus korvo_run(RunState& run, int argc, const char* const* argv);
// Closes the port, waits for a key when the command line was accepted; gives back status
// for main() to end the process with (library code never calls exit()).
[[nodiscard]] ExitStatus exit_program(RunState& run, ExitStatus status);

}  // namespace korvo
