#include "update/rack_view.h"

#include <algorithm>
#include <cstdio>

#include "protocol/device_info.h"
#include "protocol/version.h"
#include "serial/stop.h"
#include "update/device_label.h"
#include "update/device_text.h"

namespace korvo {

namespace {

// Progress is redrawn at most this often; a change of state at once.
constexpr uint32_t LIVE_REDRAW_MS = 100;
constexpr int BAR_WIDTH = 20;
constexpr size_t DEVICE_COLUMN_MOST = 28;

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
      // Appended piece by piece: GCC 12 at -O2 sees a false overlap (-Wrestrict) in "[" + a
      // temporary.
      line += '[';
      line.append(static_cast<size_t>(filled), '#');
      line.append(static_cast<size_t>(BAR_WIDTH - filled), '.');
      line += "] ";
      line += percent;
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

void RackReporter::port_not_opened(const std::string&, const OpenFailure& failure, bool searching) {
  if (failure.error == OpenError::MISSING && hide_missing_) {
    view_.change(row_, [](RackRow& row) { row.hidden = true; row.outcome = "no such port"; });
    return;
  }
  notes_.port_not_opened(failure, searching);
}

void RackReporter::port_outcome(const std::string&, PortOutcome outcome) {
  if (outcome == PortOutcome::FOUND) state("found");
}

void RackReporter::device_without_image(const std::string& port, const DeviceInfo& device) {
  notes_.device_without_image(port, device);
  view_.change(row_, [&](RackRow& row) {
    row.device = device_label(device);
    row.before = version_text(device.version);
  });
}

void RackReporter::sequence_begin() { state("identifying"); }

void RackReporter::device_identified(const std::string&, const DeviceInfo& device, const Image& image) {
  const std::string text = "runs " + version_text(device.version) + ", image " + version_text(image_version(image));
  view_.change(row_, [&](RackRow& row) {
    row.device = device_label(device);
    row.before = version_text(device.version);
    row.state = text;
  }, "found " + device_label(device) + ": " + text);
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

void RackReporter::retry(const std::string& port, uint32_t attempt, uint32_t attempts, const DeviceOutcome& failed) {
  notes_.retry(port, attempt, attempts, failed);
  const std::string text = "retry " + std::to_string(attempt) + "/" + std::to_string(attempts);
  view_.change(row_, [&](RackRow& row) {
    row.attempt = text;
    row.percent = -1;
    row.state = "probing again";
  }, text);
}

std::string rack_outcome_text(const DeviceOutcome& o) {
  const TransferReport& t = o.transfer;
  switch (o.kind) {
    case Outcome::VERIFIED:
      return "verified";
    case Outcome::NOT_VERIFIED:
      return t.announced ? std::string("not verified: reports ") + version_text(o.device.version)
                         : std::string("not verified: silent after the restart");
    case Outcome::FAILED:
      switch (o.failure) {
        case FailurePoint::IMAGE_REFUSED: return "failed: image refused, nothing sent";
        case FailurePoint::SPEED_FIXED: return "failed: speed fixed (raw TCP), nothing sent";
        case FailurePoint::RECORDS:
          return "failed at record " + std::to_string(t.records_sent + 1) + " of " + std::to_string(t.records) +
                 (o.left == DeviceLeft::RESTARTED ? "; restarted" : "; in its bootloader");
        case FailurePoint::ENTERING: return "failed while entering its bootloader";
        case FailurePoint::STARTING:
        case FailurePoint::NONE: break;
      }
      return "failed in its bootloader";
    case Outcome::STOPPED:
      switch (o.stop) {
        case StopPoint::BEFORE_SENDING: return "stopped before anything was sent";
        case StopPoint::ENTERING: return "stopped while entering its bootloader";
        case StopPoint::IN_BOOTLOADER: return "stopped in its bootloader";
        case StopPoint::RESTARTING: return "stopped while restarting";
      }
      break;
    case Outcome::UP_TO_DATE:
      return o.checked ? "up to date" : "up to date, left alone";
    case Outcome::NEWER_LEFT_ALONE:
      return o.checked ? "runs a newer version than the image" : "runs a newer version, left alone";
    case Outcome::UPDATE_AVAILABLE:
      return std::string("update available: ") +
             (o.image != nullptr ? version_text(image_version(*o.image)) : std::string("?")) +
             (o.in_bootloader ? " (in its bootloader)" : "");
    case Outcome::NOT_COMPATIBLE:
      switch (o.refusal) {
        case Refusal::NO_IMAGE: return "no image fits it";
        case Refusal::UNKNOWN_DEVICE: return "not compatible: unknown device";
        case Refusal::BOOTLOADER_DISAGREES: return "not compatible: its bootloader disagrees; in its bootloader";
        case Refusal::IMAGE_MISMATCH:
        case Refusal::NONE: break;
      }
      return std::string("not compatible: ") + compat_reason(o.compat);
    case Outcome::NO_DEVICE:
      switch (o.open_error) {
        case OpenError::NONE: return "no device";
        case OpenError::MISSING: return "not opened: no such port";
        case OpenError::DENIED: return "not opened: permission denied";
        case OpenError::IN_USE: return "not opened: in use by another program";
        case OpenError::OWN_TERMINAL: return "not opened: korvo's own terminal";
        case OpenError::FAILED: break;
      }
      return o.open_reason.empty() ? std::string("not opened") : std::string("not opened: ") + shown_line(o.open_reason);
    case Outcome::GONE:
      return "gone: no longer answers";
    case Outcome::DECLINED:
      return "declined";
  }
  return "ended";
}

void RackReporter::finished(const std::string& port, const DeviceOutcome& o) {
  notes_.outcome(port, o);
  // A port of the range that this computer lacks stays out of the view.
  bool hidden = false;
  view_.change(row_, [&](RackRow& row) { hidden = row.hidden; });
  if (hidden) return;
  const std::string after = outcome_version_after(o) ? version_text(o.device.version) : "";
  view_.change(row_, [&](RackRow& row) {
    if (o.kind != Outcome::NO_DEVICE && o.kind != Outcome::STOPPED) row.device = device_label(o.kind == Outcome::NOT_COMPATIBLE && o.refusal == Refusal::BOOTLOADER_DISAGREES ? o.boot_device : o.device);
    if (o.transferred) row.after = after;
  });
  ended(rack_outcome_text(o));
}

}  // namespace korvo
