// korvo's own lines on the diagnostics stream ("korvo: COM3: verified: ..."), one place per
// text. Every renderer (the console's texts, JSON Lines, the rack view) says them through
// the run's one Diagnostics sink.
#pragma once

#include <string>

#include "update/diagnostics.h"
#include "update/outcome.h"
#include "update/report.h"

namespace korvo {

class Notes {
 public:
  explicit Notes(Diagnostics& sink) : sink_(sink) {}

  void argument_unknown(const std::string& word, uint32_t first, uint32_t last);
  void port_warning(const std::string& warning);
  void port_not_opened(const OpenFailure& failure, bool searching);
  void device_without_image(const std::string& port, const DeviceInfo& device);
  void test_images();
  void retry(const std::string& port, uint32_t attempt, uint32_t attempts, const DeviceOutcome& failed);
  void reconnect_failed(const std::string& port, const OpenFailure& failure);
  // How the device's run ended, when there is more to say than the console's own texts.
  void outcome(const std::string& port, const DeviceOutcome& outcome);
  void record_failed(const std::string& why);
  void slow_adapter(const std::string& port, const SlowAdapter& adapter);
  void slow_round_trips(const std::string& port, const RoundTripStats& round_trips);

 private:
  void note(const char* format, ...) __attribute__((format(printf, 2, 3)));
  Diagnostics& sink_;
};

// The line for an outcome (without "\n" around it); empty when the console's texts say it all.
std::string outcome_note(const std::string& port, const DeviceOutcome& outcome);

// Why the compatibility check refused, in a few words.
const char* compat_reason(CompatCode code);

// The line an interruption leaves while the transfer is in `stage`, as a stop there would be
// told; empty when nothing has been sent yet.
std::string console_interrupt_note(const std::string& port, TransferStage stage);

// "version 1.14, model Slate Pro", as the device reported itself.
std::string reported_device(const DeviceInfo& device);

}  // namespace korvo
