// What the user learns once an installation has ended, on the diagnostics stream beside the
// program's own texts: whether the device came back running the new firmware, or where it was
// left and what to do next.
#pragma once

#include <string>

#include "console/console.h"
#include "images/image.h"
#include "protocol/device_info.h"
#include "update/transfer.h"

namespace korvo {

// One line for the device on `port` after transfer_firmware returned `result` with `report`;
// `device` is the identity the restarted application reported (when it did).
void report_transfer_verdict(ConsoleOut& out, const std::string& port, TransferResult result,
                             const TransferReport& report, const DeviceInfo& device,
                             const Image& image);

// The line an interruption leaves while the transfer is in `stage`; empty when nothing has
// been sent yet.
std::string transfer_interrupt_note(const std::string& port, TransferStage stage);

}  // namespace korvo
