#include "driver/driver.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <cstring>
#include <vector>

#include "images/compat.h"
#include "protocol/app.h"
#include "console/state.h"
#include "driver/options.h"
#include "driver/rack.h"
#include "driver/unattended.h"
#include "serial/stop.h"
#include "driver/history.h"
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

// Probes the open port and keeps what it found as the session's identity.
ProbeResult probe(PortSession& s) {
  const Probe found = device_probe(s.link, s.boot.info, s.device);
  s.device = found.device;
  s.probe_state = found.state;
  return found.result;
}

// Walks the port range (or the one port named by its path); true with the port left open and
// selected_image set.
bool port_scan(const RunConfig& config, PortSession& s) {
  Reporter& report = *s.reporter;
  const bool by_path = !s.device_path.empty();
  const uint32_t first = by_path ? 1 : s.first_port;
  const uint32_t last = by_path ? 1 : s.last_port;
  const bool searching = !by_path && first != last;
  for (uint32_t n = first; n <= last; ++n) {
    const PortName name = by_path ? PortName(s.device_path) : PortName(static_cast<int>(n));
    const std::string label = by_path ? s.device_path : "COM" + std::to_string(n);
    report.port_begin(label);
    OpenFailure failure;
    const bool opened = port_open(s.link.port, name, BAUD_APPLICATION, &failure);
    if (!failure.warning.empty()) report.port_warning(label, failure.warning);
    if (!opened) {
      s.link.current_baud = 0;
      if (!searching) s.open_failure = failure;
      report.port_outcome(label, PortOutcome::NOT_OPENED);
      report.port_not_opened(label, failure, searching);
      continue;
    }
    s.link.current_baud = BAUD_APPLICATION;
    port_drain(s.link.port);
    const bool answered = probe(s) == ProbeResult::FOUND;
    if (answered) {
      const auto slot = image_select(*config.images, s.device.product, s.device.pcb_revision);
      if (slot.has_value()) {
        s.selected_image = &(*config.images)[*slot];
        s.found_port = label;
        s.found_number = static_cast<int>(n);
        report.port_outcome(label, PortOutcome::FOUND);
        return true;
      }
    }
    report.port_outcome(label, PortOutcome::NO_DEVICE);
    if (!answered && !searching) s.bootloader_unheard = !port_speed_changeable(s.link.port);
    if (answered) {
      s.answered_without_image = true;
      s.without_image = s.device;
      report.device_without_image(label, s.device);
    }
    port_close(s.link.port);
  }
  return false;
}

// The port as the system lists it: the path opened and what it says of the adapter.
PortListing listed_port(const PortSession& s) {
  for (const PortListing& port : port_list()) {
    const bool same = s.device_path.empty() ? "COM" + std::to_string(port.number) == s.found_port
                                            : port.path == s.device_path;
    if (same) return port;
  }
  PortListing unknown;
  unknown.path = s.device_path;
  return unknown;
}

// The record's outcome and where the failure was: the names the JSON result uses.
const char* record_outcome(const DeviceOutcome& o) {
  switch (o.kind) {
    case Outcome::VERIFIED:
    case Outcome::NOT_VERIFIED: return "updated";
    case Outcome::STOPPED: return "stopped";
    case Outcome::NOT_COMPATIBLE: return "not_compatible";
    case Outcome::NEWER_LEFT_ALONE: return "device_newer";
    default: return "failed";
  }
}

// One line in the update record for a transfer that was attempted; a record that cannot be
// written is said, never a failed update.
void record_update(const RunConfig& config, const PortSession& s, const DeviceOutcome& o,
                   const std::vector<AttemptFailure>& failures) {
  if (!config.record || !o.transferred || o.image == nullptr) return;
  const Image& image = *o.image;
  const TransferReport& transfer = o.transfer;
  const PortListing port = listed_port(s);
  UpdateRecord record;
  record.time = state_utc_now();
  record.host = state_host_name();
  record.korvo_version = "1.01";
  record.port = s.found_port;
  record.path = port.path;
  record.adapter = port.details;
  record.device_name = device_name(o.before);
  record.device_model = device_model_text(o.before);
  record.product = o.before.product;
  record.pcb_revision = o.before.pcb_revision;
  record.extra = o.before.extra;
  record.version_before = version_string(o.before.version);
  record.image_version = version_string(image_version(image));
  record.image_target = image_target_name(image);
  record.image_sha256 = image.sha256 != nullptr ? image.sha256 : "";
  record.image_records = transfer.records;
  record.outcome = record_outcome(o);
  record.left = device_left_name(o.left);
  record.updated = o.kind == Outcome::VERIFIED || o.kind == Outcome::NOT_VERIFIED;
  if (o.kind == Outcome::FAILED || o.kind == Outcome::STOPPED || o.kind == Outcome::NOT_COMPATIBLE) {
    record.failed_stage = transfer_stage_name(transfer.ended_at());
    record.failed_code = outcome_failure_code(o);
  }
  if (outcome_version_after(o)) record.version_after = version_string(o.device.version);
  record.verified = outcome_verified(o);
  record.duration_ms = transfer.duration_ms;
  if (transfer.round_trips.count > 0) {
    record.round_trip_median_ms = transfer.round_trips.median_ms;
    record.round_trip_p99_ms = transfer.round_trips.p99_ms;
  }
  record.attempts = o.attempts;
  record.failures = failures;
  std::string why;
  if (!update_record_append(record, config.record_path, why)) {
    s.reporter->record_failed(why);
  }
}

// An adapter that holds the device's answers for more than a few ms makes the update take
// twice as long or more: said before the question, while the user can still change it. Read
// after the open, which on Linux has asked the driver for low latency.
void warn_of_slow_adapter(const PortSession& s, const Image& image) {
  const PortName name = s.device_path.empty() ? PortName(s.found_number) : PortName(s.device_path);
  const std::optional<SlowAdapter> slow = slow_adapter_of(port_latency(name), image_field(image, IMG_RECORD_COUNT));
  if (!slow) return;
  s.reporter->slow_adapter(s.found_port, *slow);
}

// Between attempts of an unattended update: long enough for a device that was told to leave
// its bootloader to have started and for a half-heard packet to be forgotten.
constexpr uint32_t RETRY_PAUSE_MS = 1000;

// Before a retry's probe: a network port whose server ended the connection (restarted, or a
// gateway rebooted) is connected to again by the same name, within the usual connect wait,
// since the device may well be waiting in its bootloader behind it. A serial port is never
// reopened. false when the server cannot be reached again: told, unless a stop ended it.
bool reconnect_if_lost(PortSession& s) {
  const PortName name(s.device_path);
  if (!name.network() || !port_connection_lost(s.link.port)) return true;
  OpenFailure failure;
  if (port_open(s.link.port, name, BAUD_APPLICATION, &failure)) {
    s.link.current_baud = BAUD_APPLICATION;
    return true;
  }
  s.link.current_baud = 0;
  if (!port_stop_requested()) s.reporter->reconnect_failed(s.found_port, failure);
  return false;
}

// Who answers the question: the user, or the command line.
enum class Answer { ASK = 0, YES = 1, YES_FORCED = 2, CHECK = 3 };

// What to do with the device the probe found and the selected image: the same decision
// before the first attempt and before every retry.
struct Offer {
  Outcome refused = Outcome::UPDATE_AVAILABLE;  // UPDATE_AVAILABLE: install it
  Refusal refusal = Refusal::NONE;
  CompatCode compat = CompatCode::OK;
};

Offer offer_for(const PortSession& s, const Image& image, Answer answer) {
  Offer offer;
  if (product_lookup(s.device.product, s.device.pcb_revision) == nullptr) {
    offer.refused = Outcome::NOT_COMPATIBLE;
    offer.refusal = Refusal::UNKNOWN_DEVICE;
    offer.compat = CompatCode::DEVICE_UNKNOWN;
    return offer;
  }
  offer.compat = check_compatibility(s.device, image);
  if (offer.compat != CompatCode::OK) {
    offer.refused = Outcome::NOT_COMPATIBLE;
    offer.refusal = Refusal::IMAGE_MISMATCH;
    return offer;
  }
  // A device waiting in its bootloader runs no firmware at all: whatever version it names,
  // it needs its image (that is how an interrupted update is recovered).
  if (answer != Answer::YES || s.probe_state == ProbeState::BOOTLOADER) return offer;
  if (s.device.version == image_version(image)) offer.refused = Outcome::UP_TO_DATE;
  if (s.device.version > image_version(image)) offer.refused = Outcome::NEWER_LEFT_ALONE;
  return offer;
}

// An outcome of the session as it stands (device, image, port) before any transfer.
DeviceOutcome session_outcome(const PortSession& s, Outcome kind) {
  DeviceOutcome o;
  o.kind = kind;
  o.device = s.device;
  o.before = s.device;
  o.image = s.selected_image;
  o.in_bootloader = s.probe_state == ProbeState::BOOTLOADER;
  return o;
}

DeviceOutcome refused_outcome(const PortSession& s, const Offer& offer) {
  DeviceOutcome o = session_outcome(s, offer.refused);
  o.refusal = offer.refusal;
  o.compat = offer.compat;
  return o;
}

DeviceOutcome update_sequence(const RunConfig& config, PortSession& s, Answer answer) {
  Reporter& report = *s.reporter;
  report.sequence_begin();
  // Whatever the device said since the scan, shown as it came (bar terminal controls).
  const int32_t waiting = port_available(s.link.port);
  for (int32_t i = 0; i < waiting; ++i) {
    uint8_t byte = 0;
    if (port_read(s.link.port, &byte, 1) == 1) report.device_bytes(&byte, 1);
  }
  if (probe(s) != ProbeResult::FOUND) return session_outcome(s, Outcome::GONE);
  const Image& image = *s.selected_image;
  if (product_lookup(s.device.product, s.device.pcb_revision) != nullptr) {
    report.device_identified(s.found_port, s.device, image);
  }
  const Offer offer = offer_for(s, image, answer);
  if (offer.refused != Outcome::UPDATE_AVAILABLE) return refused_outcome(s, offer);
  if (config.test_images) report.test_images();
  warn_of_slow_adapter(s, image);
  if (answer == Answer::ASK) {
    // No key typed while the scan and the probes ran (a held-down "y", an arrow key and a
    // "y") may answer the question to come.
    config.console->discard_typeahead();
    if (!confirm_update(report, config.console, s.device, image)) return session_outcome(s, Outcome::DECLINED);
  } else {
    report.question(s.device, image);
    report.answer(true);
  }
  // Success or not, a transfer was attempted: the device may have changed.
  const DeviceInfo before = s.device;
  const bool began_in_bootloader = s.probe_state == ProbeState::BOOTLOADER;
  TransferReport transfer;
  const std::string port = s.found_port;
  transfer.on_stage = [port](TransferStage stage) {
    console_set_interrupt_note(console_interrupt_note(port, stage).c_str());
  };
  // Unattended, an honest failure is retried as the installer would: a new probe of the
  // same port, the same decision as before the first attempt, then the whole transfer from
  // the start. The question was answered once.
  const uint32_t attempts = answer == Answer::ASK ? 1 : 1 + config.retries;
  const uint32_t began = s.link.clock->now_ms();
  std::vector<AttemptFailure> failures;
  uint32_t attempt = 1;
  TransferResult result = transfer_firmware(s.link, s.boot, s.probe_state, s.device, image, report, &transfer);
  DeviceOutcome outcome = transfer_outcome(result, transfer, s.device, image, port_stop_requested());
  for (;;) {
    if (outcome.kind != Outcome::FAILED && outcome.kind != Outcome::NOT_VERIFIED) break;
    failures.push_back({transfer_stage_name(transfer.ended_at()), transfer.failure_code()});
    if (attempt == attempts || !outcome_worth_retrying(outcome) || port_stop_requested()) break;
    report.retry(s.found_port, attempt + 1, attempts, outcome);
    // Whatever the device still had to say after the failure goes with the pause.
    s.link.clock->sleep_ms(RETRY_PAUSE_MS);
    const bool reachable = reconnect_if_lost(s);
    port_drain(s.link.port);
    const DeviceInfo last = s.device;
    const ProbeState left_in = s.probe_state;
    if (!reachable || probe(s) != ProbeResult::FOUND) {
      // Out of reach or no longer there: the failure stands as it was, with what was known of
      // the device.
      s.device = last;
      s.probe_state = left_in;
      if (port_stop_requested()) outcome = transfer_outcome(result, transfer, s.device, image, true);
      break;
    }
    const Offer again = offer_for(s, image, answer == Answer::ASK ? Answer::YES : answer);
    if (again.refused == Outcome::UP_TO_DATE || again.refused == Outcome::NEWER_LEFT_ALONE) {
      // Its application now reports the image's version (the last attempt took after all) or a
      // newer one: nothing to install, and never a downgrade without --force.
      outcome = refused_outcome(s, again);
      outcome.kind = again.refused == Outcome::UP_TO_DATE ? Outcome::VERIFIED : Outcome::NEWER_LEFT_ALONE;
      outcome.transferred = true;
      outcome.transfer = transfer;
      outcome.left = DeviceLeft::RESTARTED;
      break;
    }
    if (again.refused != Outcome::UPDATE_AVAILABLE) {
      // Another device, or one that no longer fits: the failure stands as it was.
      s.device = last;
      s.probe_state = left_in;
      break;
    }
    ++attempt;
    result = transfer_firmware(s.link, s.boot, s.probe_state, s.device, image, report, &transfer);
    outcome = transfer_outcome(result, transfer, s.device, image, port_stop_requested());
  }
  outcome.before = before;
  outcome.in_bootloader = began_in_bootloader;
  outcome.attempts = attempt;
  outcome.transfer.duration_ms = s.link.clock->now_ms() - began;
  outcome.transfer.version_before = before.version;
  if (outcome.kind == Outcome::NOT_COMPATIBLE) outcome.device = before;
  // Through a network the round trips are the network's: no adapter's timer to blame.
  const bool network = PortName(s.device_path).network();
  if (!network && transfer.round_trips.count >= ROUND_TRIP_SAMPLES_MIN &&
      transfer.round_trips.median_ms > ROUND_TRIP_SLOW_MS) {
    report.slow_round_trips(s.found_port, transfer.round_trips);
  }
  record_update(config, s, outcome, failures);
  return outcome;
}

// The old table: 0 when nothing was changed, 1 for everything else.
ExitStatus interactive_status(const DeviceOutcome& o) {
  const bool unchanged = o.kind == Outcome::DECLINED ||
                         (o.kind == Outcome::NOT_COMPATIBLE && o.refusal == Refusal::IMAGE_MISMATCH);
  return unchanged ? ExitStatus::UNCHANGED : ExitStatus::ENDED;
}

// --check: the scan's identity against the selected image; nothing else is sent.
DeviceOutcome check_device(PortSession& s) {
  const Image& image = *s.selected_image;
  Offer offer = offer_for(s, image, Answer::YES);
  DeviceOutcome o = offer.refused == Outcome::UPDATE_AVAILABLE ? session_outcome(s, Outcome::UPDATE_AVAILABLE)
                                                               : refused_outcome(s, offer);
  o.checked = true;
  return o;
}

// The scan, then the check or the update; how it ended, told once, and a stop taken into
// account where it cut the run short.
DeviceOutcome port_run(const RunConfig& config, PortSession& s, Answer answer) {
  DeviceOutcome outcome;
  std::string port = s.found_port;
  if (!port_scan(config, s)) {
    outcome.kind = s.answered_without_image ? Outcome::NOT_COMPATIBLE : Outcome::NO_DEVICE;
    if (s.answered_without_image) {
      outcome.refusal = Refusal::NO_IMAGE;
      outcome.device = outcome.before = s.without_image;
    }
    outcome.open_error = s.open_failure.error;
    outcome.open_reason = s.open_failure.reason;
    outcome.bootloader_unheard = !s.answered_without_image && s.bootloader_unheard;
    // A search of the range ends in no one port.
    const bool one_port = !s.device_path.empty() || s.first_port == s.last_port;
    port = !one_port ? "" : !s.device_path.empty() ? s.device_path : "COM" + std::to_string(s.first_port);
  } else {
    port = s.found_port;
    outcome = answer == Answer::CHECK ? check_device(s) : update_sequence(config, s, answer);
  }
  if (port_stop_requested()) outcome = stopped_outcome(outcome);
  s.reporter->finished(port, outcome);
  // Said now: an interruption from here on has nothing to add.
  console_set_interrupt_note("");
  return outcome;
}

}  // namespace

ExitStatus scripted_status(const DeviceOutcome& o) {
  switch (o.kind) {
    case Outcome::NO_DEVICE:
    case Outcome::GONE:
      return ExitStatus::NO_DEVICE;
    case Outcome::NOT_COMPATIBLE:
      return ExitStatus::NOT_COMPATIBLE;
    case Outcome::UPDATE_AVAILABLE:
      return ExitStatus::UPDATE_AVAILABLE;
    case Outcome::VERIFIED:
    case Outcome::UP_TO_DATE:
    case Outcome::NEWER_LEFT_ALONE:
      return ExitStatus::UNCHANGED;
    case Outcome::NOT_VERIFIED:
    case Outcome::FAILED:
    case Outcome::STOPPED:
    case Outcome::DECLINED:
      return ExitStatus::ENDED;
  }
  return ExitStatus::ENDED;
}

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
  say(out, "\n   --history        show the update record (with --json: its lines)");
  say(out, "\n   --format F       with --history: table, csv, html (a page to hand over) or json");
  say(out, "\n   --since TIME     with --history: updates from then on (2026-12-08, 2026-12-08T07:40Z)");
  say(out, "\n   --port NAME      with --history: the updates of this port only");
  say(out, "\n   --output FILE    with --history: into FILE instead of standard output\n");
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

bool port_word_exact(const std::string& word) {
  NetAddress address;
  const NetParse net = net_address_parse(word, address);
  if (net != NetParse::NOT_NETWORK) return net == NetParse::OK;
  if (PORT_PATHS_ALLOWED && word.find('/') != std::string::npos) return true;
  std::string number = word;
  const auto letter = [](char c, char upper) { return c == upper || c == upper + ('a' - 'A'); };
  if (number.size() > 3 && letter(number[0], 'C') && letter(number[1], 'O') && letter(number[2], 'M')) {
    number.erase(0, 3);
    if (!number.empty() && number.back() == ':') number.pop_back();
  }
  const bool digits = !number.empty() && std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; });
  return digits || port_name_of_word(word).has_value();
}

std::string port_url_problem(const std::string& word) {
  NetAddress address;
  std::string why;
  if (net_address_parse(word, address, &why) != NetParse::BAD) return "";
  std::string text = "names no network port: ";
  text += why;
  text += " (rfc2217://HOST:PORT or tcp://HOST:PORT)";
  return text;
}

PortArgument port_argument(const char* arg) {
  PortArgument port;
  // A network port's URL, on every platform; a malformed one too, whose open then says what
  // is wrong with it rather than a search of the range for some other device.
  NetAddress address;
  if (net_address_parse(arg, address) != NetParse::NOT_NETWORK) {
    port.path = arg;
    return port;
  }
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
    // The usage text is the program's own; which argument it did not take is korvo's to say.
    if (request == Request::UNKNOWN_OPTION) {
      std::string line = "korvo: \"";
      line += shown_line(argv[1]);
      line += "\" is not an option of korvo (korvo --help lists them)";
      run.diagnostics->say(line);
    } else if (argc > 2) {
      std::string line = "korvo: \"";
      line += shown_line(argv[2]);
      line += "\": one port at most without --check or --yes (korvo --help lists the options)";
      run.diagnostics->say(line);
    }
    print_usage(run.out);
    if (request == Request::HELP) {
      print_options(run.out);
      return ExitStatus::UNCHANGED;
    }
    return exit_program(run, ExitStatus::ENDED);
  }
  run.wait_for_key = true;
  if (!take_port_argument(run, argc == 2 ? argv[1] : nullptr)) return exit_program(run, ExitStatus::ENDED);
  return exit_program(run, interactive_status(port_run(run, run, Answer::ASK)));
}

// --history: the record in the format asked for, on standard output or into --output's file.
ExitStatus history_run(ConsoleOut& out, const RunOptions& options) {
  HistoryQuery query;
  query.record = options.record;
  query.format = history_format_of(options.format).value_or(HistoryFormat::TABLE);
  query.since = options.since;
  query.port = options.port_filter;
  if (options.output.empty()) return update_record_history(out, query) ? ExitStatus::UNCHANGED : ExitStatus::ENDED;

  // Writing the report over the record it is read from would lose the record.
  const std::string record = options.record.empty() ? state_default_record_path() : options.record;
  std::error_code same_error;
  if (!record.empty() && std::filesystem::equivalent(record, options.output, same_error)) {
    tell(out, "korvo: --output %s is the update record itself; choose another file\n", shown_line(options.output).c_str());
    return ExitStatus::USAGE;
  }
  std::FILE* file = nullptr;
  ConsoleOut to{nullptr, out.err};
  const bool read = update_record_history(to, query, [&](ConsoleOut& report) {
    file = std::fopen(options.output.c_str(), "wb");
    if (file == nullptr) {
      tell(out, "korvo: cannot write %s: %s\n", shown_line(options.output).c_str(), std::strerror(errno));
      return false;
    }
    report.file = file;
    return true;
  });
  if (file == nullptr) return ExitStatus::ENDED;
  const bool written = std::ferror(file) == 0;
  const int write_error = errno;
  if (std::fclose(file) != 0 || !written) {
    tell(out, "korvo: cannot write %s: %s\n", shown_line(options.output).c_str(),
         std::strerror(written ? errno : write_error));
    return ExitStatus::ENDED;
  }
  return read ? ExitStatus::UNCHANGED : ExitStatus::ENDED;
}

// --check and --yes on one port or the range: nobody is asked, nothing waits for a key, the
// exit status says how it ended.
ExitStatus unattended_run(RunState& run, const RunOptions& options) {
  // Nobody is there to see a word read as something it did not say ("COM99x" as COM99).
  if (!options.ports.empty() && !port_url_problem(options.ports[0]).empty()) {
    tell(run.out, "korvo: \"%s\" %s\n", shown_line(options.ports[0]).c_str(),
         port_url_problem(options.ports[0]).c_str());
    return ExitStatus::USAGE;
  }
  if (!options.ports.empty() && !port_word_exact(options.ports[0])) {
    tell(run.out, "korvo: \"%s\" names no port: a number 1 to 99, COMn or a device path (korvo --help lists the options)\n",
         shown_line(options.ports[0]).c_str());
    return ExitStatus::USAGE;
  }
  run.reporter->banner();
  if (!take_port_argument(run, options.ports.empty() ? nullptr : options.ports[0].c_str())) {
    return ExitStatus::USAGE;
  }
  return scripted_status(unattended_port(run, run, options.check, options.force));
}

}  // namespace

DeviceOutcome unattended_port(const RunConfig& config, PortSession& session, bool check, bool force) {
  const DeviceOutcome outcome = port_run(config, session, check ? Answer::CHECK : force ? Answer::YES_FORCED : Answer::YES);
  port_close(session.link.port);
  return outcome;
}

ExitStatus korvo_run(RunState& run, int argc, const char* const* argv) {
  RunOptions options;
  std::string message;
  const OptionsResult parsed = options_parse(argc, argv, options, message);
  if (parsed == OptionsResult::USAGE) {
    tell(run.out, "korvo: %s (korvo --help lists the options)\n", device_text(message.c_str()).c_str());
    return ExitStatus::USAGE;
  }
  // One sink for every "korvo: " line of the run, unless the caller brought one.
  Diagnostics sink(run.out, !options.json);
  Diagnostics* const given_sink = run.diagnostics;
  if (given_sink == nullptr) run.diagnostics = &sink;
  // The console's texts unless the caller chose another reporter; help is always text.
  ConsoleReporter console_texts(run.out, *run.diagnostics);
  JsonReporter json_lines(run.out, *run.diagnostics);
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
    status = history_run(run.out, options);
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
  run.diagnostics = given_sink;
  return status;
}

}  // namespace korvo
