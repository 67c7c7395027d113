// The pieces of an unattended run that a run over several devices shares with a single one.
#pragma once

#include <cstdint>
#include <string>

#include "driver/driver.h"
#include "driver/run_state.h"

namespace korvo {

// A port argument as the command line reads it.
struct PortArgument {
  uint32_t number = 0;         // the number read, 0 for the whole range
  std::string path;            // a device named by its path instead
  bool unknown_word = false;   // no number, no path, no device: read as 0
};
// A number (as strtoul reads it), COMn, a path, or a word the platform knows as a port.
PortArgument port_argument(const char* arg);

// The scan of the run's ports, then the check (check) or the update (force: whatever the
// versions); the port is closed afterwards. The exit status of scripted runs.
ExitStatus unattended_port(RunState& run, bool check, bool force);

}  // namespace korvo
