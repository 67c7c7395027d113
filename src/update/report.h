// What the steps of a run have to tell, as typed events. The steps never print: a reporter
// turns each event into the console's texts, JSON Lines or a live view, one place per text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "images/compat.h"
#include "images/image.h"
#include "protocol/device_info.h"
#include "protocol/packet.h"
#include "serial/port.h"

namespace korvo {

enum class TransferResult { OK = 0, FAILED = -1 };

// The steps of an installation, in order. The step a transfer ended in tells where the
// device was left.
enum class TransferStage {
  CHECKING = 0,    // the image is checked: nothing has been sent
  ENTERING = 1,    // the application is told to start its bootloader
  STARTING = 2,    // the start command, in the bootloader
  RECORDS = 3,     // the records
  RESTARTING = 4,  // the bootloader was told to start the application; its report awaited
};

// The step's name in records and JSON: "checking", "entering", "starting", "records",
// "restarting".
const char* transfer_stage_name(TransferStage stage);

// Why the embedded image was not sent at all.
enum class ImageFault {
  NO_RECORDS = 1,      // record_count is 0
  DAMAGED = 2,         // it fails the checks the build made
  RECORD_LENGTH = 3,   // a record's length outside 3..252 (the checks make this unreachable)
};

// The round trips of a transfer (see RoundTrips), in ms; count 0 when none was timed.
struct RoundTripStats {
  uint32_t count = 0;
  double median_ms = 0;
  double p99_ms = 0;
};
// Median and 99th percentile (nearest rank) of samples in microseconds.
RoundTripStats round_trip_stats(std::vector<uint32_t> samples_us);
// A median above this is an adapter holding the device's answers (its latency timer), not
// the line: an answer of a few bytes takes well under a millisecond at 115200.
inline constexpr double ROUND_TRIP_SLOW_MS = 5.0;
// Fewer round trips than this say nothing of the adapter: one caught while the machine was
// busy would make the median of a transfer that failed at its start command.
inline constexpr uint32_t ROUND_TRIP_SAMPLES_MIN = 20;

// A USB-serial adapter whose latency timer holds the device's short answers, found before the
// question.
struct SlowAdapter {
  uint32_t timer_ms = 0;     // the timer's value now
  uint32_t added_ms = 0;     // what it will add to this update (adapter_latency_cost_ms)
  // Where the setting lives: true for a driver setting in the system's device settings
  // (Windows), false for a sysfs file (setting_path) that korvo's low-latency request did
  // not change.
  bool driver_setting = false;
  std::string setting_path;  // the sysfs file, when there is one
};
// Timers of 1 and 2 ms cost next to nothing; above that an update is worth a warning.
inline constexpr uint32_t ADAPTER_LATENCY_OK_MS = 2;
// The time an adapter's latency timer adds to a transfer of `records` records. Each record
// (and the start command before them) is one transaction with two answers from the device:
// the command's acknowledgement, then the request's acknowledgement with the status reply
// right behind it, which the adapter passes on together. The adapter holds each of the two
// for its timer.
uint32_t adapter_latency_cost_ms(uint32_t timer_ms, uint32_t records);
// What to warn of before a transfer of `records` records through a port with this latency
// timer; none for a port without one or with one of at most ADAPTER_LATENCY_OK_MS.
std::optional<SlowAdapter> slow_adapter_of(const std::optional<PortLatency>& latency, uint32_t records);

// What an installation did, for the verdict that follows it.
struct TransferReport {
  // The last step whose bytes went out: RESTARTING once the leave command was sent, whether
  // after the last record or after a failed one.
  TransferStage stage = TransferStage::CHECKING;
  // The step whose transaction failed (ENTERING: the bootloader did not answer); none when
  // nothing failed.
  std::optional<TransferStage> failed_at;
  uint32_t records_sent = 0;  // records the bootloader accepted
  uint32_t records = 0;       // records of the image
  // The failed transaction's result and the status byte it judged; OK when none failed.
  TransactionResult failure = TransactionResult::OK;
  uint8_t status = 0;
  bool leave_sent = false;    // the bootloader was told to start the application
  bool announced = false;     // after the leave command, the application reported itself
  // The bootloader's own identity (from its checksummed reply) against the image: not OK when
  // the image does not fit what the bootloader says it is, and nothing was sent after the entry.
  CompatCode boot_refusal = CompatCode::OK;
  DeviceInfo boot_device;     // that identity, when the bootloader answered
  std::optional<ImageFault> image_fault;  // the image was refused before anything was sent
  // The port cannot change its speed (a raw network port), so the bootloader could not be
  // followed: refused before the entry command, nothing was sent.
  bool speed_fixed = false;
  Version version_before = 0; // what the device ran when the transfer began
  uint32_t duration_ms = 0;   // from the image check to the restarted application's report
  RoundTripStats round_trips; // every packet's answers during the transfer
  // Called as each step begins, before any of its bytes is sent (the driver keeps the note
  // an interruption leaves up to date with it).
  std::function<void(TransferStage)> on_stage;

  // The step it ended in: the one that failed, else the last that went out.
  TransferStage ended_at() const { return failed_at.value_or(stage); }
  // The failed transaction's result as a number; 0 when no transaction failed.
  int failure_code() const { return failed_at ? static_cast<int>(failure) : 0; }
};

// Where the scan stood on one port.
enum class PortOutcome {
  NOT_OPENED = 0,    // the port could not be opened
  NO_DEVICE = 1,     // nothing answered, or what answered has no image here
  FOUND = 2,         // a device with a matching image: the scan ends here
};

struct DeviceOutcome;

struct Reporter {
  virtual ~Reporter() = default;

  // The run begins (after the command line was read).
  virtual void banner() = 0;
  // A port argument that is no number, no COMn, no path and no device: the whole range is
  // searched instead.
  virtual void argument_unknown(const std::string& word, uint32_t first, uint32_t last) = 0;

  // The scan: each port as it is visited, then its verdict.
  virtual void port_begin(const std::string& port) = 0;
  // Something the user should know of a port that opened or not (a lock file it could not
  // take, say); the port is used all the same when it opened.
  virtual void port_warning(const std::string& port, const std::string& warning) = 0;
  // Why a port could not be opened (only what the user can act on during a search).
  virtual void port_not_opened(const std::string& port, const OpenFailure& failure, bool searching) = 0;
  virtual void port_outcome(const std::string& port, PortOutcome outcome) = 0;
  // A device answered, but no image of the table fits it.
  virtual void device_without_image(const std::string& port, const DeviceInfo& device) = 0;
  // A port number outside 1..99 on the command line.
  virtual void invalid_port(uint32_t number) = 0;

  // The update sequence: what the device sent meanwhile, then the fresh identity.
  virtual void sequence_begin() = 0;
  virtual void device_bytes(const uint8_t* bytes, size_t count) = 0;
  virtual void device_identified(const std::string& port, const DeviceInfo& device, const Image& image) = 0;

  // This program carries test images, and one of them is about to be offered.
  virtual void test_images() = 0;
  // The question and its answer (true: Y).
  virtual void question(const DeviceInfo& device, const Image& image) = 0;
  virtual void answer(bool yes) = 0;

  // The transfer.
  virtual void stage(TransferStage stage) = 0;
  virtual void image_refused(ImageFault fault, uint32_t record, uint32_t length) = 0;
  virtual void bootloader_silent() = 0;
  // done of count records accepted; the next one goes out now.
  virtual void progress(uint32_t done, uint32_t count) = 0;
  virtual void transfer_failed(TransferStage stage, TransactionResult result, uint8_t status) = 0;
  virtual void transfer_complete() = 0;
  // An unattended update tries the whole transfer again: attempt (2 and up) of attempts is
  // about to begin, once the device answers a new probe; failed is how the previous one ended.
  virtual void retry(const std::string& port, uint32_t attempt, uint32_t attempts,
                     const DeviceOutcome& failed) = 0;
  // Before a retry's probe: the network server had ended the connection, and connecting to it
  // again failed (failure says why); the failure before stands.
  virtual void reconnect_failed(const std::string& port, const OpenFailure& failure) = 0;
  // Before the question: the port's adapter holds the device's answers for its latency timer.
  virtual void slow_adapter(const std::string& port, const SlowAdapter& adapter) = 0;
  // After the transfer: its median round trip, over at least ROUND_TRIP_SAMPLES_MIN, was above
  // ROUND_TRIP_SLOW_MS.
  virtual void slow_round_trips(const std::string& port, const RoundTripStats& round_trips) = 0;

  // How the device's run ended, decided once (port: where the scan stopped; empty when a
  // search of the range found nothing). Every renderer tells it from this value alone.
  virtual void finished(const std::string& port, const DeviceOutcome& outcome) = 0;

  // The update record could not be written (the update itself stands).
  virtual void record_failed(const std::string& why) = 0;

  // The last key wait of an interactive run, and its end.
  virtual void exit_wait() = 0;
  virtual void exit_wait_done() = 0;
};

}  // namespace korvo
