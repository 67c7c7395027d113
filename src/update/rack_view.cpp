#include "update/rack_view.h"

#include <algorithm>
#include <cstdio>

#include "protocol/device_info.h"
#include "protocol/version.h"
#include "serial/stop.h"
#include "update/device_text.h"

namespace korvo {

namespace {

// Progress is redrawn at most this often; a change of state at once.
constexpr uint32_t LIVE_REDRAW_MS = 100;
constexpr int BAR_WIDTH = 20;
constexpr size_t DEVICE_COLUMN_MOST = 28;

std::string version_text(Version v) { return shown_line(version_string(v)); }

// "Hall B (Slate Pro)" for a device with a name of its own, else the product table's model.
std::string device_label(const DeviceInfo& device) {
  const char* table = product_lookup(device.product, device.pcb_revision);
  std::string model = table != nullptr ? table : device_text(device_model_text(device));
  if (model.empty()) model = "product " + std::to_string(device.product);
  const std::string name = device_text(device_name(device));
  return name.empty() ? model : name + " (" + model + ")";
}

// Where a device was left when its run stopped in `stage`, for the row's outcome.
std::string left_where(std::optional<TransferStage> stage) {
  switch (stage.value_or(TransferStage::CHECKING)) {
    case TransferStage::CHECKING:
      return "before anything was sent";
    case TransferStage::ENTERING:
      return "while entering its bootloader";
    case TransferStage::STARTING:
    case TransferStage::RECORDS:
      return "in its bootloader";
    case TransferStage::RESTARTING:
      return "while restarting";
  }
  return "";
}

std::string padded(std::string text, size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

std::string seconds_text(uint32_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", ms / 1000.0);
  return text;
}

}  // namespace

RackView::RackView(ConsoleOut& out, Clock& clock, RackMode mode, int columns)
    : out_(out), clock_(clock), mode_(mode), columns_(std::max(columns, 40)) {}

size_t RackView::add_row(const std::string& port) {
  std::lock_guard<std::mutex> lock(mutex_);
  RackRow row;
  row.port = port;
  row.state = "waiting";
  rows_.push_back(row);
  return rows_.size() - 1;
}

void RackView::tell_line(const RackRow& row, const std::string& text) {
  if (mode_ != RackMode::LINES) return;
  say(out_, "%s: %s\n", shown_line(row.port).c_str(), text.c_str());
}

std::string RackView::row_line(const RackRow& row) const {
  size_t port_width = 4;
  size_t device_width = 6;
  for (const RackRow& r : rows_) {
    port_width = std::max(port_width, shown_line(r.port).size());
    device_width = std::max(device_width, std::min(r.device.size(), DEVICE_COLUMN_MOST));
  }
  std::string line = padded(shown_line(row.port), port_width) + "  " +
                     padded(row.device.empty() ? "-" : row.device.substr(0, DEVICE_COLUMN_MOST), device_width) +
                     "  ";
  if (!row.outcome.empty()) {
    line += row.outcome;
  } else {
    if (!row.attempt.empty()) line += row.attempt + "  ";
    if (row.percent >= 0) {
      const int filled = row.percent * BAR_WIDTH / 100;
      char percent[16];
      std::snprintf(percent, sizeof percent, "%3d%%", row.percent);
      line += "[" + std::string(static_cast<size_t>(filled), '#') +
              std::string(static_cast<size_t>(BAR_WIDTH - filled), '.') + "] " + percent;
    } else {
      line += row.state;
    }
  }
  // A line wider than the terminal would wrap and throw the redrawing off by a line.
  if (line.size() >= static_cast<size_t>(columns_)) line.resize(static_cast<size_t>(columns_) - 1);
  return line;
}

// Moves back to the first row and clears everything below: the rows are drawn again from there.
void RackView::erase() {
  if (mode_ != RackMode::LIVE || drawn_ == 0) return;
  const std::string up = "\x1b[" + std::to_string(drawn_) + "F\x1b[J";
  say_bytes(out_, up.data(), up.size());
  drawn_ = 0;
}

// Ctrl-C leaves the saying of it to the view: above the rows, like korvo's other lines.
bool RackView::stop_due() const { return mode_ == RackMode::LIVE && !stop_said_ && port_stop_requested(); }

void RackView::say_stop() {
  stop_said_ = true;
  tell(out_, "%s", CONSOLE_STOP_LINE);
}

void RackView::draw(bool may_wait) {
  if (mode_ != RackMode::LIVE) return;
  if (stop_due()) {
    erase();
    say_stop();
    may_wait = false;
  }
  const uint32_t now = clock_.now_ms();
  if (may_wait && drawn_once_ && now - drawn_at_ms_ < LIVE_REDRAW_MS) return;
  std::string screen;
  if (drawn_ > 0) screen += "\x1b[" + std::to_string(drawn_) + "F";
  size_t lines = 0;
  for (const RackRow& row : rows_) {
    if (row.hidden) continue;
    screen += "\x1b[2K" + row_line(row) + "\n";
    ++lines;
  }
  // Rows hidden since the last drawing leave lines below: cleared.
  if (lines < drawn_) screen += "\x1b[J";
  say_bytes(out_, screen.data(), screen.size());
  drawn_ = lines;
  drawn_at_ms_ = now;
  drawn_once_ = true;
}

void RackView::diagnostic(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string lines = diagnostic_lines(text);
  if (lines.empty() || !said_.insert(lines).second) return;
  erase();
  if (stop_due()) say_stop();  // first: the device's lines that follow are what the stop did
  tell(out_, "%s\n", lines.c_str());
  draw(false);
}

void RackView::finish() {
  std::lock_guard<std::mutex> lock(mutex_);
  draw(false);
  size_t port_width = 4;
  size_t device_width = 6;
  for (const RackRow& row : rows_) {
    if (row.hidden) continue;
    port_width = std::max(port_width, shown_line(row.port).size());
    device_width = std::max(device_width, row.device.size());
  }
  say(out_, "\n%s  %s  %-18s  %-8s  %s\n", padded("Port", port_width).c_str(),
      padded("Device", device_width).c_str(), "Version", "Time", "Outcome");
  for (const RackRow& row : rows_) {
    if (row.hidden) continue;
    std::string versions = row.before.empty() ? "-" : row.before;
    if (!row.after.empty()) versions += " -> " + row.after;
    const uint32_t took = row.ended_ms >= row.began_ms ? row.ended_ms - row.began_ms : 0;
    say(out_, "%s  %s  %-18s  %-8s  %s\n", padded(shown_line(row.port), port_width).c_str(),
        padded(row.device.empty() ? "-" : row.device, device_width).c_str(), versions.c_str(),
        seconds_text(took).c_str(), row.outcome.empty() ? "not finished" : row.outcome.c_str());
  }
}

void RackReporter::state(const std::string& text) {
  view_.change(row_, [&](RackRow& row) { row.state = text; row.percent = -1; }, text);
}

void RackReporter::ended(const std::string& text) {
  const uint32_t now = view_.now_ms();
  view_.change(row_, [&](RackRow& row) {
    row.outcome = text;
    row.ended_ms = now;
  }, text);
}

void RackReporter::port_begin(const std::string&) {
  const uint32_t now = view_.now_ms();
  // Where the range's ports that this computer lacks are left out, none is told before its open.
  view_.change(row_, [&](RackRow& row) {
    row.state = "probing";
    row.began_ms = now;
  }, hide_missing_ ? "" : "probing");
}

void RackReporter::port_not_opened(const std::string& port, const OpenFailure& failure, bool searching) {
  if (failure.error == OpenError::MISSING && hide_missing_) {
    view_.change(row_, [](RackRow& row) { row.hidden = true; row.outcome = "no such port"; });
    return;
  }
  ConsoleReporter::port_not_opened(port, failure, searching);
  std::string why = "not opened";
  switch (failure.error) {
    case OpenError::MISSING:
      why += ": no such port";
      break;
    case OpenError::DENIED:
      why += ": permission denied";
      break;
    case OpenError::IN_USE:
      why += ": in use by another program";
      break;
    case OpenError::OWN_TERMINAL:
      why += ": korvo's own terminal";
      break;
    case OpenError::FAILED:
    case OpenError::NONE:
      if (!failure.reason.empty()) why += ": " + shown_line(failure.reason);
      break;
  }
  ended(why);
}

void RackReporter::port_outcome(const std::string&, PortOutcome outcome) {
  if (outcome == PortOutcome::NO_DEVICE) ended("no device");
  if (outcome == PortOutcome::FOUND) state("found");
}

void RackReporter::device_without_image(const std::string& port, const DeviceInfo& device) {
  ConsoleReporter::device_without_image(port, device);
  view_.change(row_, [&](RackRow& row) {
    row.device = device_label(device);
    row.before = version_text(device.version);
    row.outcome = "no image fits it";
  }, "no image fits it");
}

void RackReporter::sequence_begin() { state("identifying"); }

void RackReporter::device_gone(const std::string&) { ended("gone: no longer answers"); }

void RackReporter::device_unknown(const std::string&, const DeviceInfo& device) {
  view_.change(row_, [&](RackRow& row) { row.device = device_label(device); });
  ended("not compatible: unknown device");
}

void RackReporter::device_identified(const std::string&, const DeviceInfo& device, const Image& image) {
  const std::string text = "runs " + version_text(device.version) + ", image " + version_text(image_version(image));
  view_.change(row_, [&](RackRow& row) {
    row.device = device_label(device);
    row.before = version_text(device.version);
    row.state = text;
  }, "found " + device_label(device) + ": " + text);
}

void RackReporter::incompatible(CompatCode code, const DeviceInfo&, const Image&) {
  ended(std::string("not compatible: ") + compat_reason(code));
}

void RackReporter::check_verdict(const std::string&, CheckVerdict verdict, CompatCode code, const DeviceInfo& device,
                                 const Image* image) {
  view_.change(row_, [&](RackRow& row) {
    row.device = device_label(device);
    row.before = version_text(device.version);
  });
  switch (verdict) {
    case CheckVerdict::UP_TO_DATE:
      ended("up to date");
      break;
    case CheckVerdict::UPDATE_AVAILABLE:
      ended("update available: " + (image != nullptr ? version_text(image_version(*image)) : std::string("?")));
      break;
    case CheckVerdict::DEVICE_NEWER:
      ended("runs a newer version than the image");
      break;
    case CheckVerdict::NOT_COMPATIBLE:
      ended(std::string("not compatible: ") + compat_reason(code));
      break;
  }
}

void RackReporter::left_alone(const std::string&, const DeviceInfo& device, const Image& image) {
  ended(device.version == image_version(image) ? "up to date, left alone" : "runs a newer version, left alone");
}

void RackReporter::stage(TransferStage stage) {
  switch (stage) {
    case TransferStage::CHECKING:
      state("checking the image");
      break;
    case TransferStage::ENTERING:
      state("entering its bootloader");
      break;
    case TransferStage::STARTING:
      state("starting the update");
      break;
    case TransferStage::RECORDS:
      decile_ = -1;
      progress(0, 1);
      break;
    case TransferStage::RESTARTING:
      state("restarting");
      break;
  }
}

void RackReporter::progress(uint32_t done, uint32_t count) {
  const int percent = count == 0 ? 0 : static_cast<int>(uint64_t{done} * 100 / count);
  const int decile = percent / 10;
  std::string told;
  if (decile != decile_) {
    decile_ = decile;
    told = "updating " + std::to_string(decile * 10) + "%";
  }
  view_.change(row_, [&](RackRow& row) { row.percent = percent; }, told);
}

void RackReporter::transfer_complete() { progress(1, 1); }

void RackReporter::retry(const std::string& port, uint32_t attempt, uint32_t attempts, const TransferReport& failed) {
  ConsoleReporter::retry(port, attempt, attempts, failed);
  const std::string text = "retry " + std::to_string(attempt) + "/" + std::to_string(attempts);
  view_.change(row_, [&](RackRow& row) {
    row.attempt = text;
    row.percent = -1;
    row.state = "probing again";
  }, text);
}

void RackReporter::outcome(const std::string& port, TransferResult result, const TransferReport& report,
                           const DeviceInfo& device, const Image& image) {
  ConsoleReporter::outcome(port, result, report, device, image);
  const std::string after = report.announced ? version_text(device.version) : "";
  std::string text;
  if (result == TransferResult::OK) {
    if (!report.announced) {
      text = "not verified: silent after the restart";
    } else if (device.version == image_version(image)) {
      text = "verified";
    } else {
      text = "not verified: reports " + after;
    }
  } else if (report.stage == TransferStage::RECORDS) {
    text = "failed at record " + std::to_string(report.records_sent + 1) + " of " + std::to_string(report.records) +
           (report.announced ? "; restarted" : "; in its bootloader");
  } else if (report.stage == TransferStage::CHECKING) {
    text = "failed: image refused, nothing sent";
  } else {
    text = std::string("failed ") + left_where(report.stage);
  }
  view_.change(row_, [&](RackRow& row) { row.after = after; });
  ended(text);
}

void RackReporter::stopped(const std::string& port, std::optional<TransferStage> stage) {
  ConsoleReporter::stopped(port, stage);
  ended("stopped " + left_where(stage));
}

}  // namespace korvo
