#include "driver/driver.h"

#include <cstring>

#include "images/compat.h"
#include "protocol/app.h"
#include "update/console_reporter.h"
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

// Walks the port range (or the one port named by its path); true with the port left open and
// selected_image set.
bool port_scan(RunState& run) {
  Reporter& report = *run.reporter;
  const bool by_path = !run.device_path.empty();
  const uint32_t first = by_path ? 1 : run.first_port;
  const uint32_t last = by_path ? 1 : run.last_port;
  const bool searching = !by_path && first != last;
  for (uint32_t n = first; n <= last; ++n) {
    const PortName name = by_path ? PortName(run.device_path) : PortName(static_cast<int>(n));
    const std::string label = by_path ? run.device_path : "COM" + std::to_string(n);
    report.port_begin(label);
    OpenFailure failure;
    if (!port_open(run.link.port, name, BAUD_APPLICATION, &failure)) {
      run.link.current_baud = 0;
      report.port_outcome(label, PortOutcome::NOT_OPENED);
      report.port_not_opened(label, failure, searching);
      continue;
    }
    run.link.current_baud = BAUD_APPLICATION;
    port_drain(run.link.port);
    const bool answered = probe(run) == ProbeResult::FOUND;
    if (answered) {
      const auto slot = image_select(*run.images, run.device.product, run.device.pcb_revision);
      if (slot.has_value()) {
        run.selected_image = &(*run.images)[*slot];
        run.found_port = label;
        report.port_outcome(label, PortOutcome::FOUND);
        return true;
      }
    }
    report.port_outcome(label, PortOutcome::NO_DEVICE);
    if (answered) report.device_without_image(label, run.device);
    port_close(run.link.port);
  }
  return false;
}

ExitStatus update_sequence(RunState& run) {
  Reporter& report = *run.reporter;
  report.sequence_begin();
  // Whatever the device said since the scan, shown as it came (bar terminal controls).
  const int32_t waiting = port_available(run.link.port);
  for (int32_t i = 0; i < waiting; ++i) {
    uint8_t byte = 0;
    if (port_read(run.link.port, &byte, 1) == 1) report.device_bytes(&byte, 1);
  }
  if (probe(run) != ProbeResult::FOUND) {
    report.device_gone(run.found_port);
    return exit_program(run, ExitStatus::ENDED);
  }
  if (product_lookup(run.device.product, run.device.pcb_revision) == nullptr) {
    report.device_unknown(run.found_port, run.device);
    return exit_program(run, ExitStatus::ENDED);
  }
  const Image& image = *run.selected_image;
  report.device_identified(run.found_port, run.device, image);
  const CompatCode code = check_compatibility(run.device, image);
  if (code != CompatCode::OK) {
    report.incompatible(code, run.device, image);
    return exit_program(run, ExitStatus::UNCHANGED);
  }
  if (run.test_images) report.test_images();
  // No key typed while the scan and the probes ran (a held-down "y", an arrow key and a "y")
  // may answer the question to come.
  run.console->discard_typeahead();
  if (!confirm_update(report, run.console, run.device, image)) {
    return exit_program(run, ExitStatus::UNCHANGED);
  }
  // Success or not, a transfer was attempted: the device may have changed.
  TransferReport transfer;
  transfer.on_stage = [&run](TransferStage stage) {
    console_set_interrupt_note(console_interrupt_note(run.found_port, stage).c_str());
  };
  const TransferResult result =
      transfer_firmware(run.link, run.boot, run.probe_state, run.device, image, report, &transfer);
  console_set_interrupt_note("");
  report.outcome(run.found_port, result, transfer, run.device, image);
  return exit_program(run, ExitStatus::ENDED);
}

}  // namespace

ExitStatus exit_program(RunState& run, ExitStatus status) {
  port_close(run.link.port);
  if (run.wait_for_key) {
    ConsoleReporter console_texts(run.out);
    Reporter& report = run.reporter != nullptr ? *run.reporter : console_texts;
    report.exit_wait();
    read_whole_key(*run.console);
    report.exit_wait_done();
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
  say(out, "%s", CONSOLE_SLASH_HELP ? "\n   -h, --help, /?  show this text and end"
                                    : "\n   -h, --help   show this text and end");
  say(out, "\n   --version    show the program's version and end\n");
  if (!PORT_PATHS_ALLOWED) return;  // where ports have paths, the environment maps numbers to them
  say(out, "\nEnvironment:");
  say(out, "\n   KORVO_COM<n>     the device of port n (unset: /dev/ttyS<n-1>)");
  say(out, "\n   KORVO_LOCK_DIR   the folder of the ports' lock files (unset: /var/lock, else /run/lock)\n");
}

void print_ports(ConsoleOut& out) {
  const std::vector<PortListing> ports = port_list();
  if (ports.empty()) say(out, "No serial ports found.\n");
  for (const PortListing& port : ports) {
    say(out, "%s", port.path.c_str());
    if (port.number > 0) say(out, "  COM%d", port.number);
    if (!port.details.empty()) say(out, "  %s", port.details.c_str());
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

struct PortArgument {
  uint32_t number = 0;         // the number read, 0 for the whole range
  std::string path;            // a device named by its path instead
  bool unknown_word = false;   // no number, no path, no device: read as 0
};

// A number (as strtoul reads it), COMn, a path, or a word the platform knows as a port.
PortArgument port_argument(const char* arg) {
  PortArgument port;
  if (PORT_PATHS_ALLOWED && std::strchr(arg, '/') != nullptr) {
    port.path = arg;
    return port;
  }
  const char* digits = port_number_text(arg);
  const char* end = digits;
  port.number = parse_u32(digits, &end, 10);
  if (end != digits) return port;
  if (const std::optional<PortName> named = port_name_of_word(arg)) {
    if (named->by_path()) {
      port.path = named->path;
    } else {
      port.number = static_cast<uint32_t>(named->number);
    }
    return port;
  }
  port.unknown_word = arg[0] != '\0';
  return port;
}

}  // namespace

namespace {

// The whole run, its events going to run.reporter.
ExitStatus korvo_run_reported(RunState& run, int argc, const char* const* argv) {
  const Request request = argc == 2 ? request_of(argv[1]) : Request::UPDATE;
  if (request == Request::VERSION) {
    say(run.out, run.test_images ? "korvo 1.01 (test images)\n" : "korvo 1.01\n");
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
  uint32_t requested = 0;
  if (argc == 2) {
    const PortArgument port = port_argument(argv[1]);
    run.device_path = port.path;
    requested = port.number;
    if (port.unknown_word) {
      tell(run.out, "\nkorvo: \"%s\" is neither a port number nor a serial device: searching COM%u to COM%u",
           device_text(argv[1]).c_str(), KORVO_SCAN_FIRST, KORVO_SCAN_LAST);
    }
  }
  const auto as_signed = static_cast<int32_t>(requested);
  if (requested != 0 && (as_signed < PORT_NUMBER_MIN || as_signed > PORT_NUMBER_MAX)) {
    run.reporter->invalid_port(requested);
    return exit_program(run, ExitStatus::ENDED);
  }
  run.first_port = requested != 0 ? requested : KORVO_SCAN_FIRST;
  run.last_port = requested != 0 ? requested : KORVO_SCAN_LAST;
  if (!port_scan(run)) {
    run.reporter->no_device_found();
    return exit_program(run, ExitStatus::ENDED);
  }
  return update_sequence(run);
}

}  // namespace

ExitStatus korvo_run(RunState& run, int argc, const char* const* argv) {
  // The console's texts unless the caller chose another reporter.
  ConsoleReporter console_texts(run.out);
  if (run.reporter == nullptr) run.reporter = &console_texts;
  const ExitStatus status = korvo_run_reported(run, argc, argv);
  if (run.reporter == &console_texts) run.reporter = nullptr;
  return status;
}

}  // namespace korvo
