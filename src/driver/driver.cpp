#include "driver/driver.h"

#include <cstring>

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

// Why a port could not be opened, on the diagnostics stream. While the whole range is searched
// only what the user can act on is said: a port that is missing or not a usable serial port
// is no news there.
void explain_open_failure(RunState& run, const OpenFailure& failure, bool searching) {
  if (searching && failure.error != OpenError::DENIED && failure.error != OpenError::IN_USE &&
      failure.error != OpenError::OWN_TERMINAL)
    return;
  // The path comes from the command line or KORVO_COM<n>: shown safely, as device text is.
  const std::string shown_path = shown_line(failure.path);
  const std::string shown_reason = shown_line(failure.reason);
  const char* path = shown_path.c_str();
  const char* reason = shown_reason.c_str();
  switch (failure.error) {
    case OpenError::DENIED:
      tell(run.out,
           "\nkorvo: %s: %s (the port belongs to a group, usually dialout, that this user is not "
           "in: sudo usermod -aG dialout $USER, then log in again)",
           path, reason);
      break;
    case OpenError::IN_USE:
      tell(run.out, "\nkorvo: %s: in use by another program (%s)", path, reason);
      break;
    default:
      tell(run.out, "\nkorvo: %s: %s", path, reason);
      break;
  }
}

// Walks the port range (or the one port named by its path); true with the port left open and
// selected_image set.
bool port_scan(RunState& run) {
  const bool by_path = !run.device_path.empty();
  const uint32_t first = by_path ? 1 : run.first_port;
  const uint32_t last = by_path ? 1 : run.last_port;
  const bool searching = !by_path && first != last;
  for (uint32_t n = first; n <= last; ++n) {
    const PortName name = by_path ? PortName(run.device_path) : PortName(static_cast<int>(n));
    const std::string label = by_path ? shown_line(run.device_path) : "COM" + std::to_string(n);
    say(run.out, "\n%s: ", label.c_str());
    OpenFailure failure;
    const bool opened = port_open(run.link.port, name, BAUD_APPLICATION, &failure);
    if (!failure.warning.empty()) tell(run.out, "\nkorvo: %s", shown_line(failure.warning).c_str());
    if (!opened) {
      run.link.current_baud = 0;
      say(run.out, "Could not open port.");
      explain_open_failure(run, failure, searching);
      continue;
    }
    run.link.current_baud = BAUD_APPLICATION;
    port_drain(run.link.port);
    if (probe(run) == ProbeResult::FOUND) {
      const auto slot = image_select(*run.images, run.device.product, run.device.pcb_revision);
      if (slot.has_value()) {
        run.selected_image = &(*run.images)[*slot];
        run.found_port = label;
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
    say(run.out, "\nNo Torva device found on %s.\n", run.found_port.c_str());
    return exit_program(run, ExitStatus::ENDED);
  }
  if (product_lookup(run.device.product, run.device.pcb_revision) == nullptr) {
    say(run.out, "\nThe device on %s not compatible with this update.\nProduct name: \"%s\"\n",
        run.found_port.c_str(), device_text(device_name(run.device)).c_str());
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

namespace {

void print_usage(ConsoleOut& out) {
  say(out, "\nUse: KORVO [x]\n");
  say(out, "\nWhere:");
  say(out, "\n   x    = Optional, If not 0, then this is a comport number between 1 and 99,");
  say(out, "\n          otherwise searches COM1 - COM16.");
}

void print_options(ConsoleOut& out) {
  say(out, "\n\nOptions:");
  say(out, "\n   COMn         the same as n");
  if (PORT_PATHS_ALLOWED) say(out, "\n   PATH         the serial device with this path, such as /dev/ttyUSB0");
  say(out, "\n   -l, --list   list the serial ports of this computer and end");
  say(out, "\n   -h, --help   show this text and end");
  say(out, "\n   --version    show the program's version and end\n");
}

void print_ports(ConsoleOut& out) {
  const std::vector<PortListing> ports = port_list();
  if (ports.empty()) say(out, "No serial ports found.\n");
  for (const PortListing& port : ports) {
    // Names and details as the system (and the adapter's own USB strings) give them.
    say(out, "%s", shown_line(port.path).c_str());
    if (port.number > 0) say(out, "  COM%d", port.number);
    if (!port.details.empty()) say(out, "  %s", shown_line(port.details).c_str());
    say(out, "\n");
  }
}

// What the single argument asks for, before any port is touched.
enum class Request { UPDATE, HELP, VERSION, LIST, UNKNOWN_OPTION };

Request request_of(const char* arg) {
  if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) return Request::HELP;
  if (CONSOLE_SLASH_HELP && std::strcmp(arg, "/?") == 0) return Request::HELP;
  if (std::strcmp(arg, "--version") == 0) return Request::VERSION;
  if (std::strcmp(arg, "-l") == 0 || std::strcmp(arg, "--list") == 0) return Request::LIST;
  // "-5" stays a number, read as the command line always read numbers.
  if (arg[0] == '-' && !(arg[1] >= '0' && arg[1] <= '9')) return Request::UNKNOWN_OPTION;
  return Request::UPDATE;
}

// "COM7" and "com7" name port 7 as "7" does.
const char* port_number_text(const char* arg) {
  auto letter = [](char c, char upper) { return c == upper || c == upper + ('a' - 'A'); };
  if (letter(arg[0], 'C') && letter(arg[1], 'O') && letter(arg[2], 'M') && arg[3] >= '0' &&
      arg[3] <= '9') {
    return arg + 3;
  }
  return arg;
}

}  // namespace

ExitStatus korvo_run(RunState& run, int argc, const char* const* argv) {
  const Request request = argc == 2 ? request_of(argv[1]) : Request::UPDATE;
  if (request == Request::VERSION) {
    say(run.out, "korvo 1.01\n");
    return ExitStatus::UNCHANGED;
  }
  if (request == Request::LIST) {
    print_ports(run.out);
    return ExitStatus::UNCHANGED;
  }
  say(run.out, "\nTorva firmware update utility. Version 1.01\n");
  if (argc > 2 || request != Request::UPDATE) {
    print_usage(run.out);
    if (request == Request::HELP) {
      print_options(run.out);
      return ExitStatus::UNCHANGED;
    }
    return exit_program(run, ExitStatus::ENDED);
  }
  run.wait_for_key = true;
  if (argc == 2 && PORT_PATHS_ALLOWED && std::strchr(argv[1], '/') != nullptr) {
    run.device_path = argv[1];
  }
  const uint32_t requested =
      argc == 2 && run.device_path.empty() ? parse_u32(port_number_text(argv[1]), nullptr, 10) : 0;
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
