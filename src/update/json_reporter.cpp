#include "update/json_reporter.h"


#include <nlohmann/json.hpp>

#include "console/state.h"
#include "update/device_text.h"
#include "update/transfer.h"

namespace korvo {

namespace {

using json = nlohmann::ordered_json;

json device_json(const DeviceInfo& device) {
  const char* table = product_lookup(device.product, device.pcb_revision);
  return {{"name", device_name(device)},
          {"model", table != nullptr ? json(table) : json(nullptr)},
          {"product", device.product},
          {"pcb_revision", device.pcb_revision},
          {"extra", device.extra == EXTRA_ABSENT ? json(nullptr) : json(device.extra)},
          {"version", version_string(device.version)}};
}

json image_json(const Image& image) {
  return {{"version", version_string(image_version(image))},
          {"target_name", image_target_name(image)},
          {"product", image_field(image, IMG_PRODUCT)},
          {"pcb_revision", image_field(image, IMG_PCB_REVISION)},
          {"records", image_field(image, IMG_RECORD_COUNT)}};
}

const char* verdict_name(CheckVerdict verdict) {
  switch (verdict) {
    case CheckVerdict::UP_TO_DATE: return "up_to_date";
    case CheckVerdict::UPDATE_AVAILABLE: return "update_available";
    case CheckVerdict::DEVICE_NEWER: return "device_newer";
    case CheckVerdict::NOT_COMPATIBLE: return "not_compatible";
  }
  return "unknown";
}

// null when nothing was timed (the transfer ended before its first packet).
json round_trip_json(const RoundTripStats& stats) {
  if (stats.count == 0) return nullptr;
  return json{{"median", stats.median_ms}, {"p99", stats.p99_ms}};
}

}  // namespace

void JsonReporter::emit(const char* event, const std::string& port, const nlohmann::ordered_json& fields) {
  const std::string& about = port.empty() ? device_port_ : port;
  json line = {{"event", event}, {"port", about.empty() ? json(nullptr) : json(about)}, {"time", state_utc_now()}};
  for (const auto& [key, value] : fields.items()) line[key] = value;
  // Text from a device may be any bytes: what is not UTF-8 becomes U+FFFD, never an error.
  const std::string text = line.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
  say_bytes(out_, text.data(), text.size());
}

void JsonReporter::port_outcome(const std::string& port, PortOutcome outcome) {
  const char* what = outcome == PortOutcome::FOUND ? "found" : outcome == PortOutcome::NO_DEVICE ? "no_device" : "not_opened";
  if (outcome == PortOutcome::FOUND) port_ = port;
  emit("port", port, json{{"outcome", what}});
}

void JsonReporter::device_without_image(const std::string& port, const DeviceInfo& device) {
  diagnostics_.device_without_image(port, device);
  emit("device", port, json{{"device", device_json(device)}, {"image", nullptr}});
}

void JsonReporter::stopped(const std::string& port, std::optional<TransferStage> stage) {
  emit("stopped", port, json{{"stage", stage ? json(transfer_stage_name(*stage)) : json(nullptr)}});
}

void JsonReporter::no_device_found() { emit("result", "", json{{"outcome", "no_device"}}); }

void JsonReporter::invalid_port(uint32_t number) {
  emit("result", "", json{{"outcome", "usage"}, {"reason", "COM" + std::to_string(number) + " is no port number between 1 and 99"}});
}

void JsonReporter::device_gone(const std::string& port) {
  emit("result", port, json{{"outcome", "device_gone"}});
}

void JsonReporter::device_unknown(const std::string& port, const DeviceInfo& device) {
  emit("result", port,
       json{{"outcome", "not_compatible"}, {"reason", compat_reason(CompatCode::DEVICE_UNKNOWN)}, {"device", device_json(device)}});
}

void JsonReporter::device_identified(const std::string& port, const DeviceInfo& device, const Image& image) {
  port_ = port;
  emit("device", port,
       json{{"device", device_json(device)},
            {"installed", version_string(device.version)},
            {"offered", version_string(image_version(image))},
            {"image", image_json(image)}});
}

void JsonReporter::incompatible(CompatCode code, const DeviceInfo& device, const Image& image) {
  emit("result", port_,
       json{{"outcome", "not_compatible"}, {"reason", compat_reason(code)}, {"device", device_json(device)},
            {"image", image_json(image)}});
}

void JsonReporter::check_verdict(const std::string& port, CheckVerdict verdict, CompatCode code,
                                 const DeviceInfo& device, const Image* image) {
  json fields = {{"verdict", verdict_name(verdict)},
                 {"device", device_json(device)},
                 {"installed", version_string(device.version)},
                 {"offered", image != nullptr ? json(version_string(image_version(*image))) : json(nullptr)}};
  if (verdict == CheckVerdict::NOT_COMPATIBLE) fields["reason"] = compat_reason(code);
  emit("verdict", port, fields);
}

void JsonReporter::left_alone(const std::string& port, const DeviceInfo& device, const Image& image) {
  emit("result", port,
       json{{"outcome", "up_to_date"},
            {"version_before", version_string(device.version)},
            {"version_after", version_string(device.version)},
            {"offered", version_string(image_version(image))},
            {"verified", true}});
}

// Said in the result: the console's text would break the lines on standard output.
void JsonReporter::image_refused(ImageFault fault, uint32_t record, uint32_t length) {
  switch (fault) {
    case ImageFault::NO_RECORDS:
      refused_ = "the firmware image has no records";
      break;
    case ImageFault::DAMAGED:
      refused_ = "the firmware image is damaged";
      break;
    case ImageFault::RECORD_LENGTH:
      refused_ = "firmware record " + std::to_string(record) + " has an invalid length (" +
                 std::to_string(length) + ")";
      break;
  }
}

void JsonReporter::progress(uint32_t done, uint32_t count) {
  records_ = count;
  const int decile = static_cast<int>(done * 10u / count);
  if (decile == decile_) return;
  decile_ = decile;
  emit("progress", port_, json{{"percent", decile * 10}, {"records_sent", done}, {"records", count}});
}

void JsonReporter::transfer_complete() {
  decile_ = 10;
  emit("progress", port_, json{{"percent", 100}, {"records_sent", records_}, {"records", records_}});
}

void JsonReporter::retry(const std::string& port, uint32_t attempt, uint32_t attempts,
                         const TransferReport& failed) {
  diagnostics_.retry(port, attempt, attempts, failed);
  decile_ = -1;  // the next attempt's progress starts again at 0 %
  emit("retry", port,
       json{{"attempt", attempt},
            {"attempts", attempts},
            {"stage", transfer_stage_name(failed.stage)},
            {"code", static_cast<int>(failed.failure)},
            {"records_sent", failed.records_sent}});
}

void JsonReporter::outcome(const std::string& port, TransferResult result, const TransferReport& report,
                           const DeviceInfo& device, const Image& image) {
  diagnostics_.outcome(port, result, report, device, image);
  const bool updated = result == TransferResult::OK;
  const bool verified = transfer_verified(result, report, device, image);
  json fields = {{"outcome", updated ? "updated" : "failed"},
                 {"version_before", version_string(report.version_before)},
                 {"version_after", report.announced ? json(version_string(device.version)) : json(nullptr)},
                 {"offered", version_string(image_version(image))},
                 {"verified", verified},
                 {"duration_ms", report.duration_ms},
                 {"records_sent", report.records_sent},
                 {"records", report.records},
                 {"round_trip_ms", round_trip_json(report.round_trips)}};
  if (!refused_.empty()) fields["reason"] = refused_;
  if (!updated) {
    fields["stage"] = transfer_stage_name(report.stage);
    fields["code"] = static_cast<int>(report.failure);
  }
  emit("result", port, fields);
}

}  // namespace korvo
