#include "driver/driver.h"

#include "images/compat.h"
#include "protocol/app.h"
#include "update/compat_report.h"
#include "update/device_text.h"
#include "update/versions.h"

namespace korvo {

namespace {

constexpr int32_t PORT_NUMBER_MIN = 1;
constexpr int32_t PORT_NUMBER_MAX = 99;

// A key and, when its first code is 0, the second half of the extended key.
void read_whole_key(Console& console) {
  if (console.read_key() == 0) (void)console.read_key();
}

// Probes the open port and keeps what it found as the run's identity.
ProbeResult probe(RunState& run) {
  const Probe found = device_probe(run.link, run.boot.info, run.device);
  run.device = found.device;
  run.probe_state = found.state;
  return found.result;
}

// Walks the port range; true with the port left open and selected_image set.
bool port_scan(RunState& run) {
  for (uint32_t n = run.first_port; n <= run.last_port; ++n) {
    say(run.out, "\nCOM%u: ", n);
    if (!port_open(run.link.port, static_cast<int>(n), BAUD_APPLICATION)) {
      run.link.current_baud = 0;
      say(run.out, "Could not open port.");
      continue;
    }
    run.link.current_baud = BAUD_APPLICATION;
    port_drain(run.link.port);
    if (probe(run) == ProbeResult::FOUND) {
      const auto slot = image_select(*run.images, run.device.product, run.device.pcb_revision);
      if (slot.has_value()) {
        run.selected_image = &(*run.images)[*slot];
        run.found_port = n;
        say(run.out, "A matching Torva device found.");
        return true;
      }
    }
    say(run.out, "No Torva devices detected.");
    port_close(run.link.port);
  }
  return false;
}

ExitStatus update_sequence(RunState& run) {
  say(run.out, "\n");
  // Whatever the device said since the scan, shown as it came (bar terminal controls).
  const int32_t waiting = port_available(run.link.port);
  for (int32_t i = 0; i < waiting; ++i) {
    uint8_t byte = 0;
    if (port_read(run.link.port, &byte, 1) == 1) say_device_bytes(run.out, &byte, 1);
  }
  // A key pressed during the scan must not answer the question to come.
  if (run.console->key_waiting()) read_whole_key(*run.console);

  if (probe(run) != ProbeResult::FOUND) {
    say(run.out, "\nNo Torva device found on COM%u.\n", run.found_port);
    return exit_program(run, ExitStatus::ENDED);
  }
  if (product_lookup(run.device.product, run.device.pcb_revision) == nullptr) {
    say(run.out, "\nThe device on COM%u not compatible with this update.\nProduct name: \"%s\"\n",
        run.found_port, device_text(device_name(run.device)).c_str());
    return exit_program(run, ExitStatus::ENDED);
  }
  const Image& image = *run.selected_image;
  const CompatCode code = check_compatibility(run.device, image);
  if (code != CompatCode::OK) {
    report_incompatibility(run.out, code, run.device, image);
    return exit_program(run, ExitStatus::UNCHANGED);
  }
  if (!confirm_update(run.out, run.console, run.device, image)) {
    return exit_program(run, ExitStatus::UNCHANGED);
  }
  // Success or not, a transfer was attempted: the device may have changed.
  (void)transfer_firmware(run.link, run.boot, run.probe_state, run.device, image, run.out);
  return exit_program(run, ExitStatus::ENDED);
}

}  // namespace

ExitStatus exit_program(RunState& run, ExitStatus status) {
  port_close(run.link.port);
  if (run.wait_for_key) {
    say(run.out, "\nPress any key to exit...");
    read_whole_key(*run.console);
    say(run.out, "\n");
  }
  return status;
}

ExitStatus korvo_run(RunState& run, int argc, const char* const* argv) {
  say(run.out, "\nTorva firmware update utility. Version 1.01\n");
  if (argc > 2) {
    say(run.out, "\nUse: KORVO [x]\n");
    say(run.out, "\nWhere:");
    say(run.out, "\n   x    = Optional, If not 0, then this is a comport number between 1 and 99,");
    say(run.out, "\n          otherwise searches COM1 - COM16.");
    return exit_program(run, ExitStatus::ENDED);
  }
  run.wait_for_key = true;
  const uint32_t requested = argc == 2 ? parse_u32(argv[1], nullptr, 10) : 0;
  const auto as_signed = static_cast<int32_t>(requested);
  if (requested != 0 && (as_signed < PORT_NUMBER_MIN || as_signed > PORT_NUMBER_MAX)) {
    say(run.out, "\nCOM%u is an invalid COM port number.\nChoose a COM port number between 1 and 99\n",
        requested);
    return exit_program(run, ExitStatus::ENDED);
  }
  run.first_port = requested != 0 ? requested : KORVO_SCAN_FIRST;
  run.last_port = requested != 0 ? requested : KORVO_SCAN_LAST;
  if (!port_scan(run)) {
    say(run.out, "\n\nNo updatable Torva devices found.\n");
    return exit_program(run, ExitStatus::ENDED);
  }
  return update_sequence(run);
}

}  // namespace korvo
