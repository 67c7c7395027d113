// Start-up, the port scan, the update sequence and the exit routine.
#pragma once

#include <cstdint>

struct RunState;

inline constexpr uint32_t KORVO_SCAN_FIRST = 1;
inline constexpr uint32_t KORVO_SCAN_LAST = 16;

// The whole run on the ports, clock and console that `run` carries; the exit status.
int korvo_run(RunState& run, int argc, const char* const* argv);
// Closes the port, waits for a key when the command line was accepted; gives back status
// for main() to end the process with (library code never calls exit()).
[[nodiscard]] int exit_program(RunState& run, int status);
