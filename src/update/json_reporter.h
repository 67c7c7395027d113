// JSON Lines on the run's output: one object per event, each with "event", "port" and a UTC
// "time". Diagnostics stay on the diagnostics stream as the console's text.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "console/console.h"
#include "update/diagnostics.h"
#include "update/notes.h"
#include "update/outcome.h"
#include "update/report.h"

namespace korvo {

class JsonReporter : public Reporter {
 public:
  JsonReporter(ConsoleOut& out, Diagnostics& sink) : out_(out), notes_(sink) {}
  // One device of a run over several: every event names its port, the run's end included.
  JsonReporter(ConsoleOut& out, Diagnostics& sink, std::string port)
      : out_(out), notes_(sink), device_port_(std::move(port)) {}

  void banner() override {}
  void argument_unknown(const std::string& word, uint32_t first, uint32_t last) override {
    notes_.argument_unknown(word, first, last);
  }
  void port_begin(const std::string&) override {}
  void port_warning(const std::string&, const std::string& warning) override { notes_.port_warning(warning); }
  void port_not_opened(const std::string&, const OpenFailure& failure, bool searching) override {
    notes_.port_not_opened(failure, searching);
  }
  void port_outcome(const std::string& port, PortOutcome outcome) override;
  void device_without_image(const std::string& port, const DeviceInfo& device) override;
  void invalid_port(uint32_t number) override;
  void sequence_begin() override {}
  void device_bytes(const uint8_t*, size_t) override {}
  void device_identified(const std::string& port, const DeviceInfo& device, const Image& image) override;
  void test_images() override { notes_.test_images(); }
  void question(const DeviceInfo&, const Image&) override {}
  void answer(bool) override {}
  void stage(TransferStage) override {}
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
  // One line: the event's name, its port (null for none) and the time, then the fields.
  void emit(const char* event, const std::string& port, const nlohmann::ordered_json& fields);

  ConsoleOut& out_;
  Notes notes_;
  std::string device_port_;        // the one port this reporter's events are about, if any
  std::string port_;               // the port being served
  int decile_ = -1;                // the last whole 10 % reported
  uint32_t records_ = 0;           // of the transfer under way
};

}  // namespace korvo
