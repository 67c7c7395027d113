// What a run is made of, in two parts that only the driver composes: the configuration every
// port's thread reads and none changes, and one port's session (its line, what its device
// said, where its scan stopped). Each step below is handed just the parts it uses.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "console/console.h"
#include "discovery/probe.h"
#include "images/image.h"
#include "protocol/device_info.h"
#include "serial/link.h"
#include "update/diagnostics.h"
#include "update/report.h"
#include "update/transfer.h"

namespace korvo {

// Shared read-only by every port of the run.
struct RunConfig {
  const ImageTable* images = nullptr;
  bool test_images = false;   // the images are stand-ins (a test build): said before they are offered
  uint32_t retries = 0;       // unattended updates: whole transfers tried again after a failure
  bool record = true;         // append the update record after a transfer (tests say no)
  std::string record_path;    // the record's file; empty: the default one
  // A port backend for each of several devices served at once (each needs its own); unset:
  // the system's ports.
  std::function<std::unique_ptr<PortBackend>()> make_backend;
  Console* console = nullptr;
  ConsoleOut out;
  // The run's one sink for "korvo: " lines (thread-safe); korvo_run makes one when none is set.
  Diagnostics* diagnostics = nullptr;
};

// One port's run.
struct PortSession {
  Link link;                  // the port, its current speed and the clock
  ProbeState probe_state = ProbeState::NONE;
  DeviceInfo device;
  BootBuffers boot;
  const Image* selected_image = nullptr;
  uint32_t first_port = 0;
  uint32_t last_port = 0;
  std::string device_path;    // a port named by its path instead of the range
  std::string found_port;     // where the scan stopped: "COM3", or the path
  int found_number = 0;       // its COM number when found by number
  bool answered_without_image = false;  // the scan met a device that no image fits
  DeviceInfo without_image;   // the last such device
  // A silent port of fixed speed (a raw network port): a device waiting in its bootloader,
  // which speaks at another speed, could not have been heard.
  bool bootloader_unheard = false;
  OpenFailure open_failure;   // why a single named port did not open (error NONE: it did)
  // Where the steps' events go; korvo_run uses the console's texts on `out` when none is set.
  Reporter* reporter = nullptr;
};

// A whole single-port run: the process's configuration and its one session.
struct RunState : RunConfig, PortSession {
  bool wait_for_key = false;  // the interactive program's last key wait is due
};

}  // namespace korvo
