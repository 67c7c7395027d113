// The installation: bootloader entry, start command, every record as a packet, leave.
#pragma once

#include <functional>

#include "console/console.h"
#include "discovery/probe.h"
#include "images/image.h"
#include "protocol/boot.h"
#include "protocol/device_info.h"
#include "serial/link.h"

namespace korvo {

enum class TransferResult { OK = 0, FAILED = -1 };

// The steps of an installation, in order. The step a transfer ended in tells where the
// device was left.
enum class TransferStage {
  CHECKING = 0,    // the image is checked: nothing has been sent
  ENTERING = 1,    // the application is told to start its bootloader
  STARTING = 2,    // the start command, in the bootloader
  RECORDS = 3,     // the records
  RESTARTING = 4,  // the bootloader was told to start the application; its report awaited
};

// What an installation did, for the verdict that follows it.
struct TransferReport {
  TransferStage stage = TransferStage::CHECKING;  // the step it ended in
  uint32_t records_sent = 0;  // records the bootloader accepted
  bool announced = false;     // after the leave command, the application reported itself
                              // (its report refilled the device's identity)
  // Called as each step begins, before any of its bytes is sent.
  std::function<void(TransferStage)> on_stage;
};

// The bootloader's buffers, which live for the whole run: the information reply, and the
// command buffer whose leftovers the record packets carry.
struct BootBuffers {
  BootInfo info{};
  CommandBuffer command{};
};

// Installs image on the device the probe found in `state`. FAILED when a step failed (its
// message has been printed); afterwards the line is at 19200, state is NONE after a failure,
// and after a leave the restarted application's report has refilled device. An image that
// fails its own checks is refused before anything is sent. report, when given, follows the
// steps and keeps where the transfer ended.
[[nodiscard]] TransferResult transfer_firmware(Link& link, BootBuffers& boot, ProbeState& state,
                                               DeviceInfo& device, const Image& image,
                                               ConsoleOut& out, TransferReport* report = nullptr);

}  // namespace korvo
