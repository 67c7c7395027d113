// The view of a run over several devices at once: one row per port, redrawn in place on a
// terminal or told as plain lines elsewhere, and a summary table at the end. Each port's run
// reports to its own RackReporter, on its own thread; the view puts them together.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "console/console.h"
#include "serial/clock.h"
#include "update/notes.h"
#include "update/outcome.h"
#include "update/report.h"

namespace korvo {

// How the rows reach the user.
enum class RackMode {
  LIVE = 0,   // a terminal: the rows redrawn in place
  LINES = 1,  // a pipe or a file: a line per change of state and per 10 % of progress
};

struct RackRow {
  std::string port;
  std::string device;     // "Hall B (Slate Pro)" once it answered
  std::string before;     // the version it ran when found
  std::string after;      // the version it reported after the update
  std::string state;      // what it does now
  std::string attempt;    // "retry 2/3" while an update is tried again
  int percent = -1;       // of the records, while they go out
  std::string outcome;    // how it ended; empty while running
  bool hidden = false;    // a port of the scan range that this computer does not have
  uint32_t began_ms = 0;
  uint32_t ended_ms = 0;
};

class RackView {
 public:
  RackView(ConsoleOut& out, Clock& clock, RackMode mode, int columns);

  // Before the runs begin: a row per port, in the order shown.
  size_t add_row(const std::string& port);
  // Shows the rows as they stand; a row changed with `told` set makes a plain line of `told`.
  template <typename Change>
  void change(size_t row, Change&& what, const std::string& told = "") {
    std::lock_guard<std::mutex> lock(mutex_);
    what(rows_[row]);
    if (!told.empty()) tell_line(rows_[row], told);
    draw(told.empty());
  }
  // A "korvo: " line of a port's run: above the rows on a terminal, said once however many
  // ports have it to say.
  void diagnostic(const std::string& text);
  // The last drawing, then the summary table.
  void finish();

  uint32_t now_ms() { return clock_.now_ms(); }

 private:
  void tell_line(const RackRow& row, const std::string& text);
  void draw(bool may_wait);
  void erase();
  bool stop_due() const;
  void say_stop();  // with the rows erased
  std::string row_line(const RackRow& row) const;

  ConsoleOut& out_;
  Clock& clock_;
  RackMode mode_;
  int columns_;
  std::mutex mutex_;
  std::vector<RackRow> rows_;
  std::set<std::string> said_;  // diagnostics already shown
  size_t drawn_ = 0;            // rows on the screen below the cursor's line
  uint32_t drawn_at_ms_ = 0;
  bool drawn_once_ = false;
  bool stop_said_ = false;      // the stop was said above the rows
};

// One port's events as its row of the view; korvo's own lines go through the run's sink.
class RackReporter : public Reporter {
 public:
  RackReporter(RackView& view, size_t row, Diagnostics& sink, bool hide_missing)
      : view_(view), row_(row), notes_(sink), hide_missing_(hide_missing) {}

  void banner() override {}
  void argument_unknown(const std::string&, uint32_t, uint32_t) override {}
  void port_begin(const std::string& port) override;
  void port_warning(const std::string&, const std::string& warning) override { notes_.port_warning(warning); }
  void port_not_opened(const std::string& port, const OpenFailure& failure, bool searching) override;
  void port_outcome(const std::string& port, PortOutcome outcome) override;
  void device_without_image(const std::string& port, const DeviceInfo& device) override;
  void invalid_port(uint32_t) override {}
  void sequence_begin() override;
  void device_bytes(const uint8_t*, size_t) override {}
  void device_identified(const std::string& port, const DeviceInfo& device, const Image& image) override;
  void test_images() override { notes_.test_images(); }
  void question(const DeviceInfo&, const Image&) override {}
  void answer(bool) override {}
  void stage(TransferStage stage) override;
  void image_refused(ImageFault, uint32_t, uint32_t) override {}
  void bootloader_silent() override {}
  void progress(uint32_t done, uint32_t count) override;
  void transfer_failed(TransferStage, TransactionResult, uint8_t) override {}
  void transfer_complete() override;
  void retry(const std::string& port, uint32_t attempt, uint32_t attempts, const DeviceOutcome& failed) override;
  void reconnect_failed(const std::string& port, const OpenFailure& failure) override {
    notes_.reconnect_failed(port, failure);
  }
  void finished(const std::string& port, const DeviceOutcome& outcome) override;
  void record_failed(const std::string& why) override { notes_.record_failed(why); }
  void slow_adapter(const std::string& port, const SlowAdapter& adapter) override {
    notes_.slow_adapter(port, adapter);
  }
  void slow_round_trips(const std::string& port, const RoundTripStats& round_trips) override {
    notes_.slow_round_trips(port, round_trips);
  }
  void exit_wait() override {}
  void exit_wait_done() override {}

 private:
  void state(const std::string& text);
  void ended(const std::string& text);

  RackView& view_;
  size_t row_;
  Notes notes_;
  bool hide_missing_;
  int decile_ = -1;  // the last whole 10 % told as a line
};

// A row's outcome for a device's end ("verified", "failed at record 300 of 574; restarted").
std::string rack_outcome_text(const DeviceOutcome& outcome);

}  // namespace korvo
