#include "update/outcome.h"

namespace korvo {

namespace {

StopPoint stop_point(TransferStage stage) {
  switch (stage) {
    case TransferStage::CHECKING: return StopPoint::BEFORE_SENDING;
    case TransferStage::ENTERING: return StopPoint::ENTERING;
    case TransferStage::STARTING:
    case TransferStage::RECORDS: return StopPoint::IN_BOOTLOADER;
    case TransferStage::RESTARTING: return StopPoint::RESTARTING;
  }
  return StopPoint::IN_BOOTLOADER;
}

DeviceLeft left_at(StopPoint point) {
  switch (point) {
    case StopPoint::BEFORE_SENDING: return DeviceLeft::AS_IT_WAS;
    case StopPoint::ENTERING: return DeviceLeft::BOOTLOADER_OR_APPLICATION;
    case StopPoint::IN_BOOTLOADER: return DeviceLeft::IN_BOOTLOADER;
    case StopPoint::RESTARTING: return DeviceLeft::RESTARTED;
  }
  return DeviceLeft::IN_BOOTLOADER;
}

FailurePoint failure_point(const TransferReport& t) {
  if (t.speed_fixed) return FailurePoint::SPEED_FIXED;
  switch (t.ended_at()) {
    case TransferStage::CHECKING: return FailurePoint::IMAGE_REFUSED;
    case TransferStage::ENTERING: return FailurePoint::ENTERING;
    case TransferStage::STARTING: return FailurePoint::STARTING;
    case TransferStage::RECORDS:
    case TransferStage::RESTARTING: break;
  }
  // A record that fails is followed by the leave command, so the step that went out last
  // may be the restart.
  return FailurePoint::RECORDS;
}

}  // namespace

bool outcome_verified(const DeviceOutcome& outcome) { return outcome.kind == Outcome::VERIFIED; }

bool outcome_version_after(const DeviceOutcome& o) {
  return (o.transferred && o.transfer.leave_sent && o.transfer.announced) || o.kind == Outcome::VERIFIED ||
         o.kind == Outcome::NEWER_LEFT_ALONE;
}

bool outcome_worth_retrying(const DeviceOutcome& o) {
  if (o.kind == Outcome::NOT_VERIFIED) return true;
  if (o.kind != Outcome::FAILED || o.transfer.image_fault) return false;
  switch (o.failure) {
    case FailurePoint::ENTERING: return true;
    case FailurePoint::STARTING:
    case FailurePoint::RECORDS:
      return o.transfer.failure != TransactionResult::OK && o.transfer.failure != TransactionResult::MISMATCH;
    case FailurePoint::NONE:
    case FailurePoint::IMAGE_REFUSED:
    case FailurePoint::SPEED_FIXED: break;
  }
  return false;
}

int outcome_failure_code(const DeviceOutcome& o) {
  return o.kind == Outcome::FAILED ? static_cast<int>(o.transfer.failure) : 0;
}

DeviceOutcome transfer_outcome(TransferResult result, const TransferReport& transfer, const DeviceInfo& device,
                               const Image& image, bool stopped) {
  DeviceOutcome o;
  o.transferred = true;
  o.transfer = transfer;
  o.device = device;
  o.image = &image;
  if (transfer.speed_fixed || (transfer.image_fault && transfer.ended_at() == TransferStage::CHECKING)) {
    o.kind = Outcome::FAILED;
    o.failure = failure_point(transfer);
    o.left = DeviceLeft::AS_IT_WAS;
    return o;
  }
  if (transfer.boot_refusal != CompatCode::OK) {
    o.kind = Outcome::NOT_COMPATIBLE;
    o.refusal = Refusal::BOOTLOADER_DISAGREES;
    o.compat = transfer.boot_refusal;
    o.boot_device = transfer.boot_device;
    o.left = DeviceLeft::IN_BOOTLOADER;
    return o;
  }
  const bool reported = transfer.leave_sent && transfer.announced;
  if (result == TransferResult::OK && reported && device.version == image_version(image)) {
    o.kind = Outcome::VERIFIED;
    o.left = DeviceLeft::RESTARTED;
    return o;
  }
  // A stop cuts the transfer's waits short: what failed then is the stop, not the line. Only
  // the device's own report after the restart outranks it.
  if (stopped && !reported) {
    o.kind = Outcome::STOPPED;
    o.stop = transfer.leave_sent ? StopPoint::RESTARTING : stop_point(transfer.ended_at());
    o.left = left_at(o.stop);
    return o;
  }
  if (result == TransferResult::OK) {
    o.kind = Outcome::NOT_VERIFIED;
    o.left = DeviceLeft::RESTARTED;
    return o;
  }
  o.kind = Outcome::FAILED;
  o.failure = failure_point(transfer);
  switch (transfer.ended_at()) {
    case TransferStage::ENTERING:
      o.left = DeviceLeft::BOOTLOADER_OR_APPLICATION;
      break;
    case TransferStage::CHECKING:
      o.left = DeviceLeft::AS_IT_WAS;
      break;
    default:
      // Told to restart after a failed record, a device that stays silent still waits in its
      // bootloader: the application it would start is incomplete.
      o.left = reported ? DeviceLeft::RESTARTED : DeviceLeft::IN_BOOTLOADER;
      break;
  }
  return o;
}

DeviceOutcome stopped_outcome(DeviceOutcome outcome) {
  switch (outcome.kind) {
    case Outcome::NO_DEVICE:
    case Outcome::GONE:
      // The probe that found nothing was cut short by the stop: nothing is known of the port.
      outcome.kind = Outcome::STOPPED;
      outcome.stop = StopPoint::BEFORE_SENDING;
      outcome.left = DeviceLeft::AS_IT_WAS;
      break;
    default:
      break;  // decided from what the device said, or already a stop
  }
  return outcome;
}

const char* outcome_name(Outcome kind) {
  switch (kind) {
    case Outcome::VERIFIED: return "verified";
    case Outcome::NOT_VERIFIED: return "not_verified";
    case Outcome::FAILED: return "failed";
    case Outcome::STOPPED: return "stopped";
    case Outcome::UP_TO_DATE: return "up_to_date";
    case Outcome::NEWER_LEFT_ALONE: return "newer_left_alone";
    case Outcome::UPDATE_AVAILABLE: return "update_available";
    case Outcome::NOT_COMPATIBLE: return "not_compatible";
    case Outcome::NO_DEVICE: return "no_device";
    case Outcome::GONE: return "gone";
    case Outcome::DECLINED: return "declined";
  }
  return "unknown";
}

const char* device_left_name(DeviceLeft left) {
  switch (left) {
    case DeviceLeft::AS_IT_WAS: return "as_it_was";
    case DeviceLeft::IN_BOOTLOADER: return "in_bootloader";
    case DeviceLeft::BOOTLOADER_OR_APPLICATION: return "bootloader_or_application";
    case DeviceLeft::RESTARTED: return "restarted";
  }
  return "unknown";
}

}  // namespace korvo
