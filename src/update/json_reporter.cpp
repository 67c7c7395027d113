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

// The result's "outcome" and the --check verdict's "verdict": the names scripts already match.
const char* result_name(const DeviceOutcome& o) {
  switch (o.kind) {
    case Outcome::VERIFIED:
    case Outcome::NOT_VERIFIED: return "updated";
    case Outcome::FAILED: return "failed";
    case Outcome::STOPPED: return "stopped";
    case Outcome::UP_TO_DATE: return "up_to_date";
    case Outcome::NEWER_LEFT_ALONE: return "device_newer";
    case Outcome::UPDATE_AVAILABLE: return "update_available";
    case Outcome::NOT_COMPATIBLE: return "not_compatible";
    case Outcome::NO_DEVICE: return "no_device";
    case Outcome::GONE: return "device_gone";
    case Outcome::DECLINED: return "declined";
  }
  return "unknown";
}

const char* image_fault_text(ImageFault fault) {
  switch (fault) {
    case ImageFault::NO_RECORDS: return "the firmware image has no records";
    case ImageFault::DAMAGED: return "the firmware image is damaged";
    case ImageFault::RECORD_LENGTH: return "a firmware record has an invalid length";
  }
  return "the firmware image was refused";
}

// Why a device was refused, in a few words.
std::string refusal_text(const DeviceOutcome& o) {
  switch (o.refusal) {
    case Refusal::NO_IMAGE: return "no firmware image in this program fits it";
    case Refusal::UNKNOWN_DEVICE: return compat_reason(CompatCode::DEVICE_UNKNOWN);
    case Refusal::BOOTLOADER_DISAGREES:
      return std::string("its bootloader's identity disagrees with its application's: ") + compat_reason(o.compat);
    case Refusal::IMAGE_MISMATCH:
    case Refusal::NONE: break;
  }
  return compat_reason(o.compat);
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
  notes_.device_without_image(port, device);
  emit("device", port, json{{"device", device_json(device)}, {"image", nullptr}});
}

void JsonReporter::invalid_port(uint32_t number) {
  emit("result", "", json{{"outcome", "usage"}, {"reason", "COM" + std::to_string(number) + " is no port number between 1 and 99"}});
}

void JsonReporter::device_identified(const std::string& port, const DeviceInfo& device, const Image& image) {
  port_ = port;
  emit("device", port,
       json{{"device", device_json(device)},
            {"installed", version_string(device.version)},
            {"offered", version_string(image_version(image))},
            {"image", image_json(image)}});
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
                         const DeviceOutcome& failed) {
  notes_.retry(port, attempt, attempts, failed);
  decile_ = -1;  // the next attempt's progress starts again at 0 %
  emit("retry", port,
       json{{"attempt", attempt},
            {"attempts", attempts},
            {"stage", transfer_stage_name(failed.transfer.ended_at())},
            {"code", outcome_failure_code(failed)},
            {"records_sent", failed.transfer.records_sent}});
}

// The one "result" (or, for --check, "verdict") event of a device, mapped from its outcome.
void JsonReporter::finished(const std::string& port, const DeviceOutcome& o) {
  notes_.outcome(port, o);
  const bool no_image = o.kind == Outcome::NOT_COMPATIBLE && o.refusal == Refusal::NO_IMAGE;
  if (o.checked && !no_image && o.kind != Outcome::NO_DEVICE) {
    json fields = {{"verdict", result_name(o)},
                   {"device", device_json(o.device)},
                   {"installed", version_string(o.device.version)},
                   {"offered", o.image != nullptr ? json(version_string(image_version(*o.image))) : json(nullptr)},
                   {"in_bootloader", o.in_bootloader}};
    if (o.kind == Outcome::NOT_COMPATIBLE) fields["reason"] = refusal_text(o);
    emit("verdict", port, fields);
    return;
  }
  json fields = {{"outcome", result_name(o)}, {"left", device_left_name(o.left)}};
  if (o.kind == Outcome::NOT_COMPATIBLE) {
    fields["reason"] = refusal_text(o);
    fields["device"] = device_json(o.device);
    if (o.refusal == Refusal::BOOTLOADER_DISAGREES) fields["bootloader"] = device_json(o.boot_device);
    if (o.image != nullptr) fields["image"] = image_json(*o.image);
  }
  if (o.kind == Outcome::UP_TO_DATE || o.kind == Outcome::NEWER_LEFT_ALONE) {
    fields["version_before"] = version_string(o.before.version);
    fields["version_after"] = version_string(o.device.version);
    fields["offered"] = o.image != nullptr ? json(version_string(image_version(*o.image))) : json(nullptr);
    fields["verified"] = o.kind == Outcome::UP_TO_DATE;
  }
  if (o.transferred) {
    const TransferReport& t = o.transfer;
    fields["version_before"] = version_string(o.before.version);
    fields["version_after"] = outcome_version_after(o) ? json(version_string(o.device.version)) : json(nullptr);
    fields["offered"] = o.image != nullptr ? json(version_string(image_version(*o.image))) : json(nullptr);
    fields["verified"] = outcome_verified(o);
    fields["duration_ms"] = t.duration_ms;
    fields["records_sent"] = t.records_sent;
    fields["records"] = t.records;
    fields["round_trip_ms"] = round_trip_json(t.round_trips);
    fields["attempts"] = o.attempts;
    if (t.image_fault) fields["reason"] = image_fault_text(*t.image_fault);
    if (o.failure == FailurePoint::SPEED_FIXED) fields["reason"] = "the port's speed is fixed (raw TCP): the bootloader's cannot be set";
    if (o.kind == Outcome::FAILED || o.kind == Outcome::STOPPED) {
      fields["stage"] = transfer_stage_name(t.ended_at());
      fields["code"] = outcome_failure_code(o);
    }
  }
  emit("result", port, fields);
}

}  // namespace korvo
