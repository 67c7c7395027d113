// Is the application running, the bootloader, or nothing?
#pragma once

#include "protocol/boot.h"
#include "protocol/device_info.h"
#include "serial/link.h"

namespace korvo {

enum class ProbeState { NONE = 0, APPLICATION = 1, BOOTLOADER = 2 };

enum class ProbeResult {
  FOUND = 0,             // a device answered; the state says which side
  PORT_UNUSABLE = 1,     // current_baud is 0
  SPEED_19200_FAILED = 3,   // the port is closed now and current_baud 0
  SPEED_115200_FAILED = 4,  // the port is closed now and current_baud 0
  SPEED_BACK_FAILED = 5,    // back to 19200 after a silent bootloader; port closed
  SILENT = 6,            // neither side answered (on a port of fixed speed: the application
                         // did not; its bootloader cannot be asked); the port is at 19200
};

struct Probe {
  ProbeResult result = ProbeResult::SILENT;
  ProbeState state = ProbeState::NONE;
  // Who answered. Starts as the identity the caller knew, so what a failed report leaves
  // (its model, an identity group it carried) stays as it was.
  DeviceInfo device;
};

// Asks the application at 19200, then the bootloader at 115200 (its reply lands in boot_info).
// The link's speed afterwards tells which side answered.
[[nodiscard]] Probe device_probe(Link& link, BootInfo& boot_info, const DeviceInfo& known);

// The identity a bootloader's information reply gives (its checksum was checked when it was
// taken off the line).
[[nodiscard]] DeviceInfo boot_identity(const BootInfo& info);

}  // namespace korvo
