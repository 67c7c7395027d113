// Everything that lives for the whole run, in one record that only the driver composes: each
// step below it is handed just the parts it uses. A test starts from a fresh one.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "console/console.h"
#include "discovery/probe.h"
#include "images/image.h"
#include "protocol/device_info.h"
#include "serial/link.h"
#include "update/report.h"
#include "update/transfer.h"

namespace korvo {

struct RunState {
  Link link;                  // the port, its current speed and the clock
  ProbeState probe_state = ProbeState::NONE;
  DeviceInfo device;
  BootBuffers boot;
  const ImageTable* images = nullptr;
  bool test_images = false;   // the images are stand-ins (a test build): said before they are offered
  const Image* selected_image = nullptr;
  bool wait_for_key = false;
  uint32_t retries = 0;       // unattended updates: whole transfers tried again after a failure
  uint32_t first_port = 0;
  uint32_t last_port = 0;
  std::string device_path;    // a port named by its path instead of the range
  std::string found_port;     // where the scan stopped: "COM3", or the path
  int found_number = 0;       // its COM number when found by number
  bool answered_without_image = false;  // the scan met a device that no image fits
  bool record = true;         // append the update record after a transfer (tests say no)
  std::string record_path;    // the record's file; empty: the default one
  // How far the last transfer came: where the device was left if the run is stopped.
  std::optional<TransferStage> stage_reached;
  // A port backend for each of several devices served at once (each needs its own); unset:
  // the system's ports.
  std::function<std::unique_ptr<PortBackend>()> make_backend;
  Console* console = nullptr;
  ConsoleOut out;
  // Where the steps' events go; korvo_run uses the console's texts on `out` when none is set.
  Reporter* reporter = nullptr;
};

}  // namespace korvo
