// The console's texts: every event as the installer's console has always shown it, byte for
// byte, and korvo's own verdicts as "korvo: " lines on the diagnostics stream.
#pragma once

#include <string>

#include "console/console.h"
#include "update/report.h"

namespace korvo {

class ConsoleReporter : public Reporter {
 public:
  explicit ConsoleReporter(ConsoleOut& out) : out_(out) {}
  // whole_lines: each "korvo: " line on a line of its own, as runs on several threads need
  // (the single run's texts begin with their line break and leave the line open).
  ConsoleReporter(ConsoleOut& out, bool whole_lines) : out_(out), whole_lines_(whole_lines) {}

  void banner() override;
  void argument_unknown(const std::string& word, uint32_t first, uint32_t last) override;
  void port_begin(const std::string& port) override;
  void port_warning(const std::string& port, const std::string& warning) override;
  void port_not_opened(const std::string& port, const OpenFailure& failure, bool searching) override;
  void port_outcome(const std::string& port, PortOutcome outcome) override;
  void device_without_image(const std::string& port, const DeviceInfo& device) override;
  void no_device_found() override;
  void invalid_port(uint32_t number) override;
  void sequence_begin() override;
  void device_bytes(const uint8_t* bytes, size_t count) override;
  void device_gone(const std::string& port) override;
  void device_unknown(const std::string& port, const DeviceInfo& device) override;
  void device_identified(const std::string&, const DeviceInfo&, const Image&) override {}
  void incompatible(CompatCode code, const DeviceInfo& device, const Image& image) override;
  void check_verdict(const std::string& port, CheckVerdict verdict, CompatCode code, const DeviceInfo& device,
                     const Image* image) override;
  void left_alone(const std::string& port, const DeviceInfo& device, const Image& image) override;
  void test_images() override;
  void question(const DeviceInfo& device, const Image& image) override;
  void answer(bool yes) override;
  void stage(TransferStage) override {}
  void image_refused(ImageFault fault, uint32_t record, uint32_t length) override;
  void bootloader_silent() override;
  void progress(uint32_t done, uint32_t count) override;
  void transfer_failed(TransferStage stage, TransactionResult result, uint8_t status) override;
  void transfer_complete() override;
  void retry(const std::string& port, uint32_t attempt, uint32_t attempts, const TransferReport& failed) override;
  void outcome(const std::string& port, TransferResult result, const TransferReport& report,
               const DeviceInfo& device, const Image& image) override;
  void record_failed(const std::string& why) override;
  void slow_adapter(const std::string& port, const SlowAdapter& adapter) override;
  void slow_round_trips(const std::string& port, const RoundTripStats& round_trips) override;
  void stopped(const std::string& port, std::optional<TransferStage> stage) override;
  void exit_wait() override;
  void exit_wait_done() override;

 protected:
  // A "korvo: " line (or lines) for the diagnostics stream, whole. A view that draws on the
  // terminal takes them over to write them above what it draws.
  virtual void diagnostic(const std::string& text);

 private:
  void note(const char* format, ...) __attribute__((format(printf, 2, 3)));

  ConsoleOut& out_;
  bool whole_lines_ = false;
};

// A diagnostic's text without the line breaks around it.
std::string diagnostic_lines(const std::string& text);

// Why the compatibility check refused, in a few words.
const char* compat_reason(CompatCode code);

// The line an interruption leaves while the transfer is in `stage`; empty when nothing has
// been sent yet.
std::string console_interrupt_note(const std::string& port, TransferStage stage);

}  // namespace korvo
