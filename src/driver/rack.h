// Several devices at once (--check or --yes with more than one port, or --all): each port on
// a thread of its own, one view of all of them, one exit status.
#pragma once

#include <vector>

#include "driver/driver.h"
#include "driver/options.h"
#include "driver/run_state.h"

namespace korvo {

// The run's exit status from its devices' own: 0 only when every device ended as asked,
// otherwise the most serious, in the order 1, 4, 3, then 100 (a check found an update).
ExitStatus rack_status(const std::vector<ExitStatus>& devices);

ExitStatus rack_run(RunState& run, const RunOptions& options);

}  // namespace korvo
