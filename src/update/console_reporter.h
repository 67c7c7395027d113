// The console's texts: every event as the installer's console has always shown it, byte for
// byte, and korvo's own lines through the run's diagnostics sink.
#pragma once

#include <memory>
#include <string>

#include "console/console.h"
#include "update/diagnostics.h"
#include "update/notes.h"
#include "update/outcome.h"
#include "update/report.h"

namespace korvo {

class ConsoleReporter : public Reporter {
 public:
  // With a sink of its own, for a run that has none to share.
  explicit ConsoleReporter(ConsoleOut& out);
  ConsoleReporter(ConsoleOut& out, Diagnostics& sink) : out_(out), notes_(sink) {}

  void banner() override;
  void argument_unknown(const std::string& word, uint32_t first, uint32_t last) override;
  void port_begin(const std::string& port) override;
  void port_warning(const std::string& port, const std::string& warning) override;
  void port_not_opened(const std::string& port, const OpenFailure& failure, bool searching) override;
  void port_outcome(const std::string& port, PortOutcome outcome) override;
  void device_without_image(const std::string& port, const DeviceInfo& device) override;
  void invalid_port(uint32_t number) override;
  void sequence_begin() override;
  void device_bytes(const uint8_t* bytes, size_t count) override;
  void device_identified(const std::string&, const DeviceInfo&, const Image&) override {}
  void test_images() override;
  void question(const DeviceInfo& device, const Image& image) override;
  void answer(bool yes) override;
  void stage(TransferStage) override {}
  void image_refused(ImageFault fault, uint32_t record, uint32_t length) override;
  void bootloader_silent() override;
  void progress(uint32_t done, uint32_t count) override;
  void transfer_failed(TransferStage stage, TransactionResult result, uint8_t status) override;
  void transfer_complete() override;
  void retry(const std::string& port, uint32_t attempt, uint32_t attempts, const DeviceOutcome& failed) override;
  void reconnect_failed(const std::string& port, const OpenFailure& failure) override;
  void finished(const std::string& port, const DeviceOutcome& outcome) override;
  void record_failed(const std::string& why) override;
  void slow_adapter(const std::string& port, const SlowAdapter& adapter) override;
  void slow_round_trips(const std::string& port, const RoundTripStats& round_trips) override;
  void exit_wait() override;
  void exit_wait_done() override;

 private:
  std::unique_ptr<Diagnostics> own_sink_;
  ConsoleOut& out_;
  Notes notes_;
};

}  // namespace korvo
