#include "driver/rack.h"

#include <algorithm>
#include <array>
#include <memory>
#include <thread>

#include "console/terminal.h"
#include "driver/unattended.h"
#include "serial/stop.h"
#include "update/console_reporter.h"
#include "update/outcome.h"
#include "update/device_text.h"
#include "update/json_reporter.h"
#include "update/rack_view.h"

namespace korvo {

namespace {

constexpr uint32_t PORT_NUMBER_MAX = 99;

// One port of the run, as it is shown and opened.
struct RackTarget {
  std::string label;    // "COM3", or the device's path
  uint32_t number = 0;  // 0: by path
  std::string path;
};

PortName name_of(const RackTarget& target) {
  return target.path.empty() ? PortName(static_cast<int>(target.number)) : PortName(target.path);
}

// Each device once, under the first name it was given: two threads on one device would only
// have the second find it in use.
void add_target(std::vector<RackTarget>& targets, const RackTarget& target) {
  const std::string identity = port_identity(name_of(target));
  for (const RackTarget& t : targets) {
    if (t.label == target.label) return;
    if (!identity.empty() && port_identity(name_of(t)) == identity) return;
  }
  targets.push_back(target);
}

void add_number(std::vector<RackTarget>& targets, uint32_t number) {
  RackTarget target;
  target.label = "COM" + std::to_string(number);
  target.number = number;
  add_target(targets, target);
}

void add_path(std::vector<RackTarget>& targets, const std::string& path) {
  RackTarget target;
  target.label = path;
  target.path = path;
  add_target(targets, target);
}

// The ports named on the command line, each once; false (with why) for a word that names
// none: with several ports, "0" or an unknown word cannot mean "search the range".
bool named_targets(const std::vector<std::string>& words, std::vector<RackTarget>& targets, std::string& why) {
  for (const std::string& word : words) {
    const PortArgument port = port_argument(word.c_str());
    if (!port_url_problem(word).empty()) {
      why = std::string(1, '"');
      why += shown_line(word);
      why += "\" ";
      why += port_url_problem(word);
      return false;
    }
    if (!port_word_exact(word)) {
      // Appended piece by piece: GCC 12 at -O2 sees a false overlap (-Wrestrict) in a text
      // put before a temporary.
      why = std::string(1, '"');
      why += shown_line(word);
      why += "\" names no port (a number 1 to 99, COMn or a device path)";
      return false;
    }
    if (!port.path.empty()) {
      add_path(targets, port.path);
    } else if (port.number >= 1 && port.number <= PORT_NUMBER_MAX) {
      add_number(targets, port.number);
    } else {
      // No text before the word: GCC 12 at -O2 sees a false overlap (-Wrestrict) in that.
      why = shown_line(word);
      why += ": names no port (a number 1 to 99, COMn or a device path)";
      return false;
    }
  }
  return true;
}

// --all: the ports of the scan range that exist, then every serial port the system lists
// beyond it, each device once (the listing gives a port korvo knows by number that number).
std::vector<RackTarget> all_targets() {
  std::vector<RackTarget> targets;
  for (uint32_t n = KORVO_SCAN_FIRST; n <= KORVO_SCAN_LAST; ++n) {
    // A number of the range that names no device here is no port to show or report.
    if (!port_identity(PortName(static_cast<int>(n))).empty()) add_number(targets, n);
  }
  for (const PortListing& port : port_list()) {
    if (port.number > 0) {
      add_number(targets, static_cast<uint32_t>(port.number));
    } else {
      add_path(targets, port.path);
    }
  }
  return targets;
}

// How one device's run ended.
struct DeviceEnd {
  ExitStatus status = ExitStatus::NO_DEVICE;
  bool stopped = false;
};

// One port's whole unattended run, on a thread of its own: its own backend and session,
// sharing only the configuration, which no thread changes, and the output.
DeviceEnd serve(const RunConfig& config, Clock& clock, const RackTarget& target, Reporter& reporter, bool check,
                bool force) {
  std::unique_ptr<PortBackend> backend = config.make_backend ? config.make_backend() : port_backend_system();
  PortSession session;
  session.link.port.backend = backend.get();
  session.link.clock = &clock;
  session.reporter = &reporter;
  session.first_port = session.last_port = target.number;
  session.device_path = target.path;
  const DeviceOutcome outcome = unattended_port(config, session, check, force);
  return DeviceEnd{scripted_status(outcome), outcome.kind == Outcome::STOPPED};
}

// The order in which a device's status makes the run's: the first found wins.
constexpr std::array<ExitStatus, 4> SERIOUSNESS = {ExitStatus::ENDED, ExitStatus::NOT_COMPATIBLE,
                                                   ExitStatus::NO_DEVICE, ExitStatus::UPDATE_AVAILABLE};

}  // namespace

ExitStatus rack_status(const std::vector<ExitStatus>& devices) {
  if (devices.empty()) return ExitStatus::NO_DEVICE;
  for (const ExitStatus status : SERIOUSNESS) {
    if (std::find(devices.begin(), devices.end(), status) != devices.end()) return status;
  }
  return ExitStatus::UNCHANGED;
}

ExitStatus rack_run(RunState& run, const RunOptions& options) {
  std::vector<RackTarget> targets;
  if (options.all) {
    targets = all_targets();
  } else {
    std::string why;
    if (!named_targets(options.ports, targets, why)) {
      tell(run.out, "korvo: %s (korvo --help lists the options)\n", why.c_str());
      return ExitStatus::USAGE;
    }
  }
  // Rows that do not fit on the screen cannot be redrawn once they have scrolled away.
  const bool live = !options.json && console_live_view(run.out.file) &&
                    targets.size() < static_cast<size_t>(console_lines(run.out.file));
  RackView view(run.out, *run.link.clock, live ? RackMode::LIVE : RackMode::LINES, console_columns(run.out.file));
  Diagnostics& sink = *run.diagnostics;
  std::vector<std::unique_ptr<Reporter>> reporters;
  for (const RackTarget& target : targets) {
    if (options.json) {
      reporters.push_back(std::make_unique<JsonReporter>(run.out, sink, target.label));
    } else {
      reporters.push_back(std::make_unique<RackReporter>(view, view.add_row(target.label), sink, options.all));
    }
  }
  if (!options.json) {
    ConsoleReporter(run.out, sink).banner();
    // korvo's lines go above the rows, so that a redrawing leaves them whole.
    sink.route([&view](const std::string& text) { view.diagnostic(text); });
  }

  // Ctrl-C now stops every device where it stands, and the summary still follows.
  console_stop_on_interrupt(true, !live);
  std::vector<DeviceEnd> ends(targets.size());
  {
    std::vector<std::thread> threads;
    threads.reserve(targets.size());
    for (size_t i = 0; i < targets.size(); ++i) {
      threads.emplace_back([&, i] {
        ends[i] = serve(run, *run.link.clock, targets[i], *reporters[i], options.check, options.force);
      });
    }
    for (std::thread& thread : threads) thread.join();
  }
  if (!options.json) {
    view.finish();
    sink.route({});
  }
  console_stop_on_interrupt(false);
  // A console being closed waits for this before the system ends the process.
  console_stop_done();

  // --all counts the devices it found; a port it named by itself and found nothing on is
  // no device that was asked for.
  std::vector<ExitStatus> statuses;
  for (const DeviceEnd& end : ends) {
    if (options.all && end.status == ExitStatus::NO_DEVICE && !end.stopped) continue;
    statuses.push_back(end.status);
  }
  return rack_status(statuses);
}

}  // namespace korvo
