// The pieces of an unattended run that a run over several devices shares with a single one.
#pragma once

#include <cstdint>
#include <string>

#include "driver/driver.h"
#include "driver/run_state.h"
#include "update/outcome.h"

namespace korvo {

// A port argument as the command line reads it.
struct PortArgument {
  uint32_t number = 0;         // the number read, 0 for the whole range
  std::string path;            // a device named by its path instead
  bool unknown_word = false;   // no number, no path, no device: read as 0
};
// A number (as strtoul reads it), COMn, a path, or a word the platform knows as a port.
PortArgument port_argument(const char* arg);
// The word is exactly a port's name: decimal digits, COMn or COMn:, a path, or a word the
// platform knows as a port (\\.\COMn on Windows, ttyUSB0 for /dev/ttyUSB0 here).
bool port_word_exact(const std::string& word);
// For a word in the form of a network port's URL that names none: what is wrong, as a whole
// sentence after the quoted word; empty for any other word.
std::string port_url_problem(const std::string& word);

// The scan of the session's ports, then the check (check) or the update (force: whatever the
// versions), its outcome told once to the session's reporter; the port is closed afterwards.
DeviceOutcome unattended_port(const RunConfig& config, PortSession& session, bool check, bool force);

// The exit status of a scripted run that ended so.
ExitStatus scripted_status(const DeviceOutcome& outcome);

}  // namespace korvo
