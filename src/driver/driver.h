// Start-up, the port scan, the update sequence and the exit routine.
#pragma once

#include <cstdint>

#include "driver/run_state.h"

namespace korvo {

inline constexpr uint32_t KORVO_SCAN_FIRST = 1;
inline constexpr uint32_t KORVO_SCAN_LAST = 16;

// The exit statuses of the whole program.
// The exit statuses of the whole program. Interactive runs use the first two only: 0 when
// nothing was changed, 1 for everything else. Scripted runs (--check, --yes, --json) use all.
enum class ExitStatus {
  UNCHANGED = 0,          // interactive: declined, or the image does not fit; scripted: every
                          // device ended as asked (verified, or up to date and left alone)
  ENDED = 1,              // interactive: everything else; scripted: an update failed or could
                          // not be verified
  USAGE = 2,              // scripted: wrong options
  NO_DEVICE = 3,          // scripted: no matching device found
  NOT_COMPATIBLE = 4,     // scripted: the device is not compatible with any embedded image
  UPDATE_AVAILABLE = 100, // --check: an update is available
};

// The whole run on the ports, clock and console that `run` carries; the exit status.
[[nodiscard]] ExitStatus korvo_run(RunState& run, int argc, const char* const* argv);
// Closes the port, waits for a key when the command line was accepted; gives back status
// for main() to end the process with (library code never calls exit()).
[[nodiscard]] ExitStatus exit_program(RunState& run, ExitStatus status);

}  // namespace korvo
