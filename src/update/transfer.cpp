#include "update/transfer.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "common/bytes.h"
#include "images/compat.h"
#include "images/image_check.h"
#include "protocol/app.h"
#include "protocol/packet.h"

namespace korvo {

namespace {

constexpr uint32_t START_COMMAND_BYTES = 16;
// A record of L bytes goes out as a payload of L + 1: the longest must still be framable.
static_assert(IMAGE_RECORD_MAX + 1 <= PACKET_MAX_PAYLOAD);

// Follows the steps for the caller; a transfer without a report keeps one of its own.
struct Steps {
  TransferReport own;
  TransferReport& report;
  Reporter& reporter;
  Steps(TransferReport* given, Reporter& to, uint32_t records)
      : report(given != nullptr ? *given : own), reporter(to) {
    report.stage = TransferStage::CHECKING;
    report.failed_at.reset();
    report.records_sent = 0;
    report.records = records;
    report.failure = TransactionResult::OK;
    report.status = 0;
    report.leave_sent = false;
    report.announced = false;
    report.boot_refusal = CompatCode::OK;
    report.boot_device = DeviceInfo{};
    report.image_fault.reset();
    report.speed_fixed = false;
  }
  void begin(TransferStage stage) {
    report.stage = stage;
    if (report.on_stage) report.on_stage(stage);
    reporter.stage(stage);
  }
  void failed(TransactionResult result, uint8_t status) {
    report.failed_at = report.stage;
    report.failure = result;
    report.status = status;
    reporter.transfer_failed(report.stage, result, status);
  }
};

// Tells a bootloader to start the application, which then announces itself; a missing report
// only leaves the identity reset. The stage says RESTARTING only once the command went out: a
// stopped port sends nothing, and the device then still waits in its bootloader.
void leave_bootloader(Link& link, BootBuffers& boot, ProbeState state, DeviceInfo& device, Steps& steps) {
  if (state != ProbeState::BOOTLOADER) return;
  const TransferStage before = steps.report.stage;
  if (steps.report.on_stage) steps.report.on_stage(TransferStage::RESTARTING);
  steps.reporter.stage(TransferStage::RESTARTING);
  steps.report.leave_sent = boot_leave(link, boot.command);
  steps.report.stage = steps.report.leave_sent ? TransferStage::RESTARTING : before;
  if (steps.report.leave_sent) steps.report.announced = app_query_version(link, device, true) == AppResult::OK;
}

// The build checks every image it embeds; one that fails the same checks now is a damaged
// copy of the program, and none of it may reach a device.
bool image_sound(const Image& image) {
  ImageCheck check;
  return image_check(image_bytes(image), check) == 0;
}

// The device is left where it can be updated again: back to 19200 and nothing identified.
TransferResult give_up(Link& link, ProbeState& state) {
  (void)link_set_speed(link, BAUD_APPLICATION);
  state = ProbeState::NONE;
  return TransferResult::FAILED;
}

TransferResult transfer_steps(Link& link, BootBuffers& boot, ProbeState& state, DeviceInfo& device,
                              const Image& image, Reporter& reporter, Steps& steps) {
  const std::span<const uint8_t> bytes = image_bytes(image);
  const uint32_t count = steps.report.records;
  if (count == 0) {
    // The build refuses such an image, so this is a damaged program. A start command would
    // have the bootloader get ready (perhaps erase) for an installation that never comes.
    steps.report.image_fault = ImageFault::NO_RECORDS;
    reporter.image_refused(ImageFault::NO_RECORDS, 0, 0);
    return give_up(link, state);
  }
  if (!image_sound(image)) {
    steps.report.image_fault = ImageFault::DAMAGED;
    reporter.image_refused(ImageFault::DAMAGED, 0, 0);
    return give_up(link, state);
  }
  if (state != ProbeState::BOOTLOADER && !port_speed_changeable(link.port)) {
    // The bootloader speaks at another speed: a line that cannot follow it would leave the
    // device waiting there out of reach. Asked before the entry command, so nothing is sent.
    steps.report.speed_fixed = true;
    steps.report.failed_at = TransferStage::CHECKING;
    return TransferResult::FAILED;
  }
  if (state != ProbeState::BOOTLOADER) {
    steps.begin(TransferStage::ENTERING);
    if (!boot_enter(link, boot.info)) {
      steps.report.failed_at = TransferStage::ENTERING;
      reporter.bootloader_silent();
      state = ProbeState::NONE;
      return TransferResult::FAILED;
    }
    state = ProbeState::BOOTLOADER;
    // The application's report has no checksum, so one flipped bit can name another revision;
    // the bootloader's reply has one. The image is committed only to what both say it fits.
    // (A device found in its bootloader was identified by that reply in the first place.)
    steps.report.boot_device = boot_identity(boot.info);
    // A bootloader without a name of its own is shown by the model its application named.
    if (*device_model_text(steps.report.boot_device) == '\0') {
      steps.report.boot_device.model = product_lookup(device.product, device.pcb_revision);
    }
    steps.report.boot_refusal = check_compatibility(steps.report.boot_device, image);
    if (steps.report.boot_refusal != CompatCode::OK) {
      // Left as a failed entry leaves it: waiting in its bootloader, the line back at 19200.
      return give_up(link, state);
    }
  }

  steps.begin(TransferStage::STARTING);
  CommandBuffer& command = boot.command;
  command[0] = '!';
  put_be32(command, 1, image_field(image, IMG_TARGET_START));
  put_be32(command, 5, image_field(image, IMG_TARGET_LENGTH));
  std::memcpy(&command[9], &bytes[IMG_START_BYTES], IMAGE_START_BYTES);
  uint8_t status = 0;
  TransactionResult r = boot_transaction(link, command.data(), START_COMMAND_BYTES, BOOT_WAIT_MS, status);
  if (r != TransactionResult::OK) {
    steps.failed(r, status);
    return give_up(link, state);
  }

  steps.begin(TransferStage::RECORDS);
  size_t offset = IMAGE_HEADER_BYTES;
  for (uint32_t n = count; n != 0; --n) {
    reporter.progress(count - n, count);
    ImageRecord record;
    if (image_record(bytes, offset, record) != ImageResult::OK) {
      // The checks above make this unreachable for the images we carry; should one slip
      // through, none of the bad record is sent.
      steps.report.image_fault = ImageFault::RECORD_LENGTH;
      reporter.image_refused(ImageFault::RECORD_LENGTH, count - n + 1, record.length);
      leave_bootloader(link, boot, state, device, steps);
      return give_up(link, state);
    }
    // "$", record bytes 2..L-2, and the three bytes earlier commands left behind: the
    // devices expect exactly this payload of L + 1 bytes.
    command[0] = '$';
    std::memcpy(&command[1], record.payload.data(), record.length - 3);
    r = boot_transaction(link, command.data(), static_cast<uint8_t>((record.length + 1) % 256),
                         BOOT_WAIT_MS, status);
    if (r != TransactionResult::OK) {
      steps.failed(r, status);
      leave_bootloader(link, boot, state, device, steps);
      return give_up(link, state);
    }
    ++steps.report.records_sent;
    offset += record.length;
  }
  reporter.transfer_complete();
  leave_bootloader(link, boot, state, device, steps);
  return TransferResult::OK;
}

}  // namespace

TransferResult transfer_firmware(Link& link, BootBuffers& boot, ProbeState& state,
                                 DeviceInfo& device, const Image& image, Reporter& reporter,
                                 TransferReport* report) {
  Steps steps(report, reporter, image_field(image, IMG_RECORD_COUNT));
  steps.report.version_before = device.version;
  RoundTrips trips;
  RoundTrips* const outer = link.round_trips;
  link.round_trips = &trips;
  const uint32_t began = link.clock->now_ms();
  const TransferResult result = transfer_steps(link, boot, state, device, image, reporter, steps);
  steps.report.duration_ms = link.clock->now_ms() - began;
  link.round_trips = outer;
  steps.report.round_trips = round_trip_stats(std::move(trips.samples_us));
  return result;
}

RoundTripStats round_trip_stats(std::vector<uint32_t> samples_us) {
  RoundTripStats stats;
  if (samples_us.empty()) return stats;
  std::sort(samples_us.begin(), samples_us.end());
  const size_t n = samples_us.size();
  stats.count = static_cast<uint32_t>(n);
  stats.median_ms = n % 2 == 1 ? samples_us[n / 2] / 1000.0
                               : (samples_us[n / 2 - 1] + static_cast<double>(samples_us[n / 2])) / 2000.0;
  // Nearest rank: the smallest sample with at least 99 % of them at or below it.
  const size_t rank = (n * 99 + 99) / 100;
  stats.p99_ms = samples_us[rank - 1] / 1000.0;
  return stats;
}

uint32_t adapter_latency_cost_ms(uint32_t timer_ms, uint32_t records) {
  constexpr uint64_t HELD_ANSWERS_PER_TRANSACTION = 2;
  const uint64_t cost = (static_cast<uint64_t>(records) + 1) * HELD_ANSWERS_PER_TRANSACTION * timer_ms;
  return static_cast<uint32_t>(std::min<uint64_t>(cost, UINT32_MAX));
}

const char* transfer_stage_name(TransferStage stage) {
  switch (stage) {
    case TransferStage::CHECKING: return "checking";
    case TransferStage::ENTERING: return "entering";
    case TransferStage::STARTING: return "starting";
    case TransferStage::RECORDS: return "records";
    case TransferStage::RESTARTING: return "restarting";
  }
  return "unknown";
}

std::optional<SlowAdapter> slow_adapter_of(const std::optional<PortLatency>& latency, uint32_t records) {
  if (!latency || latency->timer_ms <= ADAPTER_LATENCY_OK_MS) return std::nullopt;
  SlowAdapter slow;
  slow.timer_ms = latency->timer_ms;
  slow.added_ms = adapter_latency_cost_ms(latency->timer_ms, records);
  slow.driver_setting = latency->driver_setting;
  slow.setting_path = latency->setting_path;
  return slow;
}

}  // namespace korvo
