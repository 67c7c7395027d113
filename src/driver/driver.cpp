#include "driver/driver.h"

#include <cstring>
#include <vector>

#include "images/compat.h"
#include "protocol/app.h"
#include "console/state.h"
#include "driver/options.h"
#include "driver/rack.h"
#include "driver/unattended.h"
#include "serial/stop.h"
#include "driver/update_record.h"
#include "update/console_reporter.h"
#include "update/json_reporter.h"
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
    const bool opened = port_open(run.link.port, name, BAUD_APPLICATION, &failure);
    if (!failure.warning.empty()) report.port_warning(label, failure.warning);
    if (!opened) {
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
        run.found_number = static_cast<int>(n);
        report.port_outcome(label, PortOutcome::FOUND);
        return true;
      }
    }
    report.port_outcome(label, PortOutcome::NO_DEVICE);
    if (answered) {
      run.answered_without_image = true;
      report.device_without_image(label, run.device);
    }
    port_close(run.link.port);
  }
  return false;
}

// The port as the system lists it: the path opened and what it says of the adapter.
PortListing listed_port(const RunState& run) {
  for (const PortListing& port : port_list()) {
    const bool same = run.device_path.empty() ? "COM" + std::to_string(port.number) == run.found_port
                                              : port.path == run.device_path;
    if (same) return port;
  }
  PortListing unknown;
  unknown.path = run.device_path;
  return unknown;
}

// One line in the update record for a transfer that was attempted; a record that cannot be
// written is said, never a failed update.
void record_update(RunState& run, const DeviceInfo& before, const Image& image, TransferResult result,
                   const TransferReport& transfer, uint32_t attempts,
                   const std::vector<AttemptFailure>& failures) {
  if (!run.record) return;
  const PortListing port = listed_port(run);
  UpdateRecord record;
  record.time = state_utc_now();
  record.host = state_host_name();
  record.korvo_version = "1.01";
  record.port = run.found_port;
  record.path = port.path;
  record.adapter = port.details;
  record.device_name = device_name(before);
  record.device_model = device_model_text(before);
  record.product = before.product;
  record.pcb_revision = before.pcb_revision;
  record.extra = before.extra;
  record.version_before = version_string(before.version);
  record.image_version = version_string(image_version(image));
  record.image_target = image_target_name(image);
  record.image_sha256 = image.sha256 != nullptr ? image.sha256 : "";
  record.image_records = transfer.records;
  record.updated = result == TransferResult::OK;
  if (!record.updated) {
    record.failed_stage = transfer_stage_name(transfer.stage);
    record.failed_code = static_cast<int>(transfer.failure);
  }
  if (transfer.announced) record.version_after = version_string(run.device.version);
  record.verified = transfer_verified(result, transfer, run.device, image);
  record.duration_ms = transfer.duration_ms;
  if (transfer.round_trips.count > 0) {
    record.round_trip_median_ms = transfer.round_trips.median_ms;
    record.round_trip_p99_ms = transfer.round_trips.p99_ms;
  }
  record.attempts = attempts;
  record.failures = failures;
  std::string why;
  if (!update_record_append(record, run.record_path, why)) {
    run.reporter->record_failed(why);
  }
}

// An adapter that holds the device's answers for more than a few ms makes the update take
// twice as long or more: said before the question, while the user can still change it. Read
// after the open, which on Linux has asked the driver for low latency.
void warn_of_slow_adapter(RunState& run, const Image& image) {
  const PortName name = run.device_path.empty() ? PortName(run.found_number) : PortName(run.device_path);
  const std::optional<SlowAdapter> slow = slow_adapter_of(port_latency(name), image_field(image, IMG_RECORD_COUNT));
  if (!slow) return;
  run.reporter->slow_adapter(run.found_port, *slow);
}

// How the update sequence ended.
enum class SequenceEnd {
  GONE = 0,           // the device no longer answered
  UNKNOWN = 1,        // the product table does not know it
  INCOMPATIBLE = 2,   // the image does not fit it
  DECLINED = 3,       // the user said N
  LEFT_ALONE = 4,     // unattended: it already runs this version or a newer one
  VERIFIED = 5,       // updated, and it came back running the update
  NOT_VERIFIED = 6,   // updated, but it did not come back running the update
  FAILED = 7,         // the transfer failed
};

// Between attempts of an unattended update: long enough for a device that was told to leave
// its bootloader to have started and for a half-heard packet to be forgotten.
constexpr uint32_t RETRY_PAUSE_MS = 1000;

// Whether a transfer that did not end verified failed in a way a new attempt can mend: the
// line lost a packet or a verdict, or the bootloader did not answer. Never an image refused
// before sending, never "D" (the flash does not match what was sent: that is reported).
bool worth_retrying(TransferResult result, const TransferReport& transfer) {
  if (result == TransferResult::OK) return true;  // no verdict, or not the update's version
  if (transfer.stage == TransferStage::ENTERING) return true;
  return transfer.failure != TransactionResult::OK && transfer.failure != TransactionResult::MISMATCH;
}

// Who answers the question: the user, or the command line.
enum class Answer { ASK = 0, YES = 1, YES_FORCED = 2 };

SequenceEnd update_sequence(RunState& run, Answer answer) {
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
    return SequenceEnd::GONE;
  }
  if (product_lookup(run.device.product, run.device.pcb_revision) == nullptr) {
    report.device_unknown(run.found_port, run.device);
    return SequenceEnd::UNKNOWN;
  }
  const Image& image = *run.selected_image;
  report.device_identified(run.found_port, run.device, image);
  const CompatCode code = check_compatibility(run.device, image);
  if (code != CompatCode::OK) {
    report.incompatible(code, run.device, image);
    return SequenceEnd::INCOMPATIBLE;
  }
  if (answer == Answer::YES && run.device.version >= image_version(image)) {
    report.left_alone(run.found_port, run.device, image);
    return SequenceEnd::LEFT_ALONE;
  }
  if (run.test_images) report.test_images();
  warn_of_slow_adapter(run, image);
  if (answer == Answer::ASK) {
    // No key typed while the scan and the probes ran (a held-down "y", an arrow key and a
    // "y") may answer the question to come.
    run.console->discard_typeahead();
    if (!confirm_update(report, run.console, run.device, image)) return SequenceEnd::DECLINED;
  } else {
    report.question(run.device, image);
    report.answer(true);
  }
  // Success or not, a transfer was attempted: the device may have changed.
  const DeviceInfo before = run.device;
  TransferReport transfer;
  transfer.on_stage = [&run](TransferStage stage) {
    run.stage_reached = stage;
    console_set_interrupt_note(console_interrupt_note(run.found_port, stage).c_str());
  };
  // Unattended, an honest failure is retried as the installer would: a new probe of the
  // same port, then the whole transfer from the start. The question was answered once.
  const uint32_t attempts = answer == Answer::ASK ? 1 : 1 + run.retries;
  const uint32_t began = run.link.clock->now_ms();
  std::vector<AttemptFailure> failures;
  uint32_t attempt = 1;
  TransferResult result =
      transfer_firmware(run.link, run.boot, run.probe_state, run.device, image, report, &transfer);
  for (;;) {
    if (transfer_verified(result, transfer, run.device, image)) break;
    failures.push_back({transfer_stage_name(transfer.stage),
                        result == TransferResult::OK ? 0 : static_cast<int>(transfer.failure)});
    if (attempt == attempts || !worth_retrying(result, transfer) || port_stop_requested()) break;
    report.retry(run.found_port, attempt + 1, attempts, transfer);
    // Whatever the device still had to say after the failure goes with the pause.
    run.link.clock->sleep_ms(RETRY_PAUSE_MS);
    port_drain(run.link.port);
    const DeviceInfo last = run.device;
    const ProbeState left_in = run.probe_state;
    if (probe(run) != ProbeResult::FOUND || check_compatibility(run.device, image) != CompatCode::OK) {
      // No longer there (or another device is): the failure stands as it was, with what was
      // known of the device.
      run.device = last;
      run.probe_state = left_in;
      break;
    }
    ++attempt;
    result = transfer_firmware(run.link, run.boot, run.probe_state, run.device, image, report, &transfer);
  }
  // Where the device was left is the step the last attempt ended in, not the leave command
  // that a failure still sends.
  run.stage_reached = transfer.stage;
  transfer.duration_ms = run.link.clock->now_ms() - began;
  transfer.version_before = before.version;
  console_set_interrupt_note("");
  report.outcome(run.found_port, result, transfer, run.device, image);
  if (transfer.round_trips.count >= ROUND_TRIP_SAMPLES_MIN && transfer.round_trips.median_ms > ROUND_TRIP_SLOW_MS) {
    report.slow_round_trips(run.found_port, transfer.round_trips);
  }
  record_update(run, before, image, result, transfer, attempt, failures);
  if (result != TransferResult::OK) return SequenceEnd::FAILED;
  return transfer_verified(result, transfer, run.device, image) ? SequenceEnd::VERIFIED : SequenceEnd::NOT_VERIFIED;
}

// The old table: 0 when nothing was changed, 1 for everything else.
ExitStatus interactive_status(SequenceEnd end) {
  return end == SequenceEnd::INCOMPATIBLE || end == SequenceEnd::DECLINED ? ExitStatus::UNCHANGED
                                                                          : ExitStatus::ENDED;
}

// The table of scripted runs.
ExitStatus scripted_status(SequenceEnd end) {
  switch (end) {
    case SequenceEnd::GONE:
      return ExitStatus::NO_DEVICE;
    case SequenceEnd::UNKNOWN:
    case SequenceEnd::INCOMPATIBLE:
      return ExitStatus::NOT_COMPATIBLE;
    case SequenceEnd::DECLINED:
    case SequenceEnd::NOT_VERIFIED:
    case SequenceEnd::FAILED:
      return ExitStatus::ENDED;
    case SequenceEnd::LEFT_ALONE:
    case SequenceEnd::VERIFIED:
      return ExitStatus::UNCHANGED;
  }
  return ExitStatus::ENDED;
}

// --check: the scan's identity against the selected image; nothing else is sent.
ExitStatus check_device(RunState& run) {
  const Image& image = *run.selected_image;
  CompatCode code = CompatCode::OK;
  CheckVerdict verdict = CheckVerdict::UP_TO_DATE;
  if (product_lookup(run.device.product, run.device.pcb_revision) == nullptr) {
    code = CompatCode::DEVICE_UNKNOWN;
  } else {
    code = check_compatibility(run.device, image);
  }
  if (code != CompatCode::OK) {
    verdict = CheckVerdict::NOT_COMPATIBLE;
  } else if (run.device.version < image_version(image)) {
    verdict = CheckVerdict::UPDATE_AVAILABLE;
  } else if (run.device.version > image_version(image)) {
    verdict = CheckVerdict::DEVICE_NEWER;
  }
  run.reporter->check_verdict(run.found_port, verdict, code, run.device, &image);
  switch (verdict) {
    case CheckVerdict::UPDATE_AVAILABLE:
      return ExitStatus::UPDATE_AVAILABLE;
    case CheckVerdict::NOT_COMPATIBLE:
      return ExitStatus::NOT_COMPATIBLE;
    default:
      return ExitStatus::UNCHANGED;
  }
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
  say(out, "\nUnattended runs (before or after the port; no question, no key wait):");
  say(out, "\n   --check          report the device's versions and whether it needs the update");
  say(out, "\n   -y, --yes        update when the image is newer; leave the device alone otherwise");
  say(out, "\n   --force          with --yes: update whatever the versions");
  say(out, "\n   --retries N      with --yes: run a failed transfer again up to N times (0-10, default 2)");
  say(out, "\n   --json           with --check or --yes: JSON Lines on standard output");
  say(out, "\n   --all            with --check or --yes: every port of COM1 - COM16 and of --list");
  say(out, "\n   (with --check or --yes, several ports or --all are served at once, side by side)");
  say(out, "\n   --record FILE    the update record to append to (every run that updates)");
  say(out, "\n   --no-record      append nothing to the update record");
  say(out, "\n   --history        show the update record (with --json: its lines)\n");
  say(out, "\nExit status of unattended runs: 0 every device ended as asked (verified, or up to");
  say(out, "\ndate and left alone), 100 --check found an update available, 1 an update failed or");
  say(out, "\nwas not verified, 2 wrong options, 3 no matching device, 4 not compatible. Without");
  say(out, "\nthese options: 0 nothing was changed, 1 otherwise.\n");
  if (!PORT_PATHS_ALLOWED) return;  // where ports have paths, the environment maps numbers to them
  say(out, "\nEnvironment:");
  say(out, "\n   KORVO_COM<n>     the device of port n (unset: /dev/ttyS<n-1>)");
  say(out, "\n   KORVO_LOCK_DIR   the folder of the ports' lock files (unset: /var/lock, else /run/lock)\n");
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

namespace {

// Reads the port argument into the run: false (after saying so) for a number outside 1..99.
bool take_port_argument(RunState& run, const char* arg) {
  uint32_t requested = 0;
  if (arg != nullptr) {
    const PortArgument port = port_argument(arg);
    run.device_path = port.path;
    requested = port.number;
    if (port.unknown_word) {
      run.reporter->argument_unknown(arg, KORVO_SCAN_FIRST, KORVO_SCAN_LAST);
    }
  }
  const auto as_signed = static_cast<int32_t>(requested);
  if (requested != 0 && (as_signed < PORT_NUMBER_MIN || as_signed > PORT_NUMBER_MAX)) {
    run.reporter->invalid_port(requested);
    return false;
  }
  run.first_port = requested != 0 ? requested : KORVO_SCAN_FIRST;
  run.last_port = requested != 0 ? requested : KORVO_SCAN_LAST;
  return true;
}

// The program as the installer at the keyboard knows it: the old command line, the question,
// the key wait and the old exit statuses.
ExitStatus interactive_run(RunState& run, int argc, const char* const* argv) {
  const Request request = argc == 2 ? request_of(argv[1]) : Request::UPDATE;
  if (request == Request::VERSION) {
    say(run.out, run.test_images ? "korvo 1.01 (test images)\n" : "korvo 1.01\n");
    return ExitStatus::UNCHANGED;
  }
  if (request == Request::LIST) {
    print_ports(run.out);
    return ExitStatus::UNCHANGED;
  }
  run.reporter->banner();
  if (argc > 2 || request != Request::UPDATE) {
    print_usage(run.out);
    if (request == Request::HELP) {
      print_options(run.out);
      return ExitStatus::UNCHANGED;
    }
    return exit_program(run, ExitStatus::ENDED);
  }
  run.wait_for_key = true;
  if (!take_port_argument(run, argc == 2 ? argv[1] : nullptr)) return exit_program(run, ExitStatus::ENDED);
  if (!port_scan(run)) {
    run.reporter->no_device_found();
    return exit_program(run, ExitStatus::ENDED);
  }
  return exit_program(run, interactive_status(update_sequence(run, Answer::ASK)));
}

// --check and --yes on one port or the range: nobody is asked, nothing waits for a key, the
// exit status says how it ended.
ExitStatus unattended_run(RunState& run, const RunOptions& options) {
  run.reporter->banner();
  if (!take_port_argument(run, options.ports.empty() ? nullptr : options.ports[0].c_str())) {
    return ExitStatus::USAGE;
  }
  return unattended_port(run, options.check, options.force);
}

}  // namespace

ExitStatus unattended_port(RunState& run, bool check, bool force) {
  if (!port_scan(run)) {
    run.reporter->no_device_found();
    return run.answered_without_image ? ExitStatus::NOT_COMPATIBLE : ExitStatus::NO_DEVICE;
  }
  if (check) return exit_program(run, check_device(run));
  const SequenceEnd end = update_sequence(run, force ? Answer::YES_FORCED : Answer::YES);
  return exit_program(run, scripted_status(end));
}

ExitStatus korvo_run(RunState& run, int argc, const char* const* argv) {
  RunOptions options;
  std::string message;
  const OptionsResult parsed = options_parse(argc, argv, options, message);
  if (parsed == OptionsResult::USAGE) {
    tell(run.out, "korvo: %s (korvo --help lists the options)\n", device_text(message.c_str()).c_str());
    return ExitStatus::USAGE;
  }
  // The console's texts unless the caller chose another reporter; help is always text.
  ConsoleReporter console_texts(run.out);
  JsonReporter json_lines(run.out);
  Reporter* const given = run.reporter;
  const bool json = options.json && parsed != OptionsResult::HELP;
  if (given == nullptr) run.reporter = json ? static_cast<Reporter*>(&json_lines) : &console_texts;
  if (options.no_record) run.record = false;
  if (options.retries > 0) run.retries = static_cast<uint32_t>(options.retries);
  if (!options.record.empty()) run.record_path = options.record;
  ExitStatus status = ExitStatus::ENDED;
  if (parsed == OptionsResult::HELP) {
    const char* help[] = {argv[0], "--help"};
    status = interactive_run(run, 2, help);
  } else if (options.history) {
    status = update_record_history(run.out, options.record, options.json) ? ExitStatus::UNCHANGED
                                                                           : ExitStatus::ENDED;
  } else if (parsed == OptionsResult::NONE) {
    status = interactive_run(run, argc, argv);
  } else if ((options.check || options.yes) && options_rack(options)) {
    status = rack_run(run, options);
  } else if (options.check || options.yes) {
    status = unattended_run(run, options);
  } else {
    // Only options of the record: the interactive program on the ports given (more than one
    // is its usage text).
    std::vector<const char*> args{argv[0]};
    for (const std::string& port : options.ports) args.push_back(port.c_str());
    status = interactive_run(run, static_cast<int>(args.size()), args.data());
  }
  run.reporter = given;
  return status;
}

}  // namespace korvo
