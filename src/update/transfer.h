// The installation: bootloader entry, start command, every record as a packet, leave.
#pragma once

#include "update/report.h"
#include "discovery/probe.h"
#include "images/image.h"
#include "protocol/boot.h"
#include "protocol/device_info.h"
#include "serial/link.h"

namespace korvo {

// The bootloader's buffers, which live for the whole run: the information reply, and the
// command buffer whose leftovers the record packets carry.
struct BootBuffers {
  BootInfo info{};
  CommandBuffer command{};
};

// Installs image on the device the probe found in `state`, telling `reporter` each step, each
// record and each failure. FAILED when a step failed; afterwards the line is at 19200, state
// is NONE after a failure, and after a leave the restarted application's report has refilled
// device. An image that fails its own checks is refused before anything is sent. report,
// when given, keeps where the transfer ended.
[[nodiscard]] TransferResult transfer_firmware(Link& link, BootBuffers& boot, ProbeState& state,
                                               DeviceInfo& device, const Image& image,
                                               Reporter& reporter, TransferReport* report = nullptr);

}  // namespace korvo
