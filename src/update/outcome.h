// How one device's run ended, decided once from what the device said, as a value. The console's
// "korvo: " lines, the JSON result, the rack row and the update record are mappings of it; none
// of them works the verdict out again.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "images/compat.h"
#include "images/image.h"
#include "protocol/device_info.h"
#include "update/report.h"

namespace korvo {

enum class Outcome {
  VERIFIED = 0,          // updated, and the device reports the image's version
  NOT_VERIFIED = 1,      // updated, but it reports another version or stayed silent
  FAILED = 2,            // a step of the transfer failed (or the image was refused)
  STOPPED = 3,           // the user stopped the run before this device's had ended
  UP_TO_DATE = 4,        // it runs the offered version (unattended: left alone)
  NEWER_LEFT_ALONE = 5,  // it runs a newer version (unattended: left alone)
  UPDATE_AVAILABLE = 6,  // --check: it needs the update
  NOT_COMPATIBLE = 7,    // no image of this program fits it (why says which test refused)
  NO_DEVICE = 8,         // nothing answered
  GONE = 9,              // it answered the scan, but not the update's own probe
  DECLINED = 10,         // the user said N
};

// Why an image was not offered to a device.
enum class Refusal {
  NONE = 0,
  NO_IMAGE = 1,              // the scan met a device that no image of the table fits
  UNKNOWN_DEVICE = 2,        // the product table does not know its product and revision
  IMAGE_MISMATCH = 3,        // the selected image does not fit it (compat says why)
  BOOTLOADER_DISAGREES = 4,  // its bootloader's identity does not fit the image its application's did
};

// Where the device was left.
enum class DeviceLeft {
  AS_IT_WAS = 0,               // nothing was sent that changes it
  IN_BOOTLOADER = 1,           // waiting in its bootloader: a new run installs the image
  BOOTLOADER_OR_APPLICATION = 2,  // the bootloader was asked for and did not answer
  RESTARTED = 3,               // told to start its application (which may not have announced itself)
};

// When a stop came.
enum class StopPoint {
  BEFORE_SENDING = 0,   // nothing of an update had gone out
  ENTERING = 1,         // while the device was asked to start its bootloader
  IN_BOOTLOADER = 2,    // during the start command or the records
  RESTARTING = 3,       // after the leave command, while its report was awaited
};

// Where a FAILED device's transfer failed. The renderers put it into words; none of them reads
// it off the transfer's report again.
enum class FailurePoint {
  NONE = 0,           // not a failure
  IMAGE_REFUSED = 1,  // the image failed its checks before anything was sent
  SPEED_FIXED = 2,    // the port cannot follow the bootloader's speed: refused before the entry
  ENTERING = 3,       // the bootloader did not answer the entry command
  STARTING = 4,       // the start command failed
  RECORDS = 5,        // a record failed (or turned out unsendable): records_sent of records went
};

struct DeviceOutcome {
  Outcome kind = Outcome::NO_DEVICE;
  DeviceLeft left = DeviceLeft::AS_IT_WAS;
  Refusal refusal = Refusal::NONE;
  CompatCode compat = CompatCode::OK;   // with IMAGE_MISMATCH and BOOTLOADER_DISAGREES
  StopPoint stop = StopPoint::BEFORE_SENDING;
  FailurePoint failure = FailurePoint::NONE;  // with FAILED
  bool in_bootloader = false;           // found waiting in its bootloader
  bool checked = false;                 // a --check verdict: nothing was sent
  // NO_DEVICE on a port of fixed speed (a raw network port): a device waiting in its
  // bootloader could not have been heard.
  bool bootloader_unheard = false;
  DeviceInfo device;                    // what the device said last (after a restart: the new report)
  DeviceInfo before;                    // what it said when the update began
  DeviceInfo boot_device;               // its bootloader's identity, with BOOTLOADER_DISAGREES
  const Image* image = nullptr;         // the image offered; null when none was
  bool transferred = false;             // a transfer was attempted: there is a record to write
  TransferReport transfer;              // the last attempt (all attempts' duration)
  uint32_t attempts = 0;
  // A single port that did not open: why (NONE when it opened, or for a search of the range).
  OpenError open_error = OpenError::NONE;
  std::string open_reason;
};

// Whether the device answers after the restart with the image's version: the only "verified".
[[nodiscard]] bool outcome_verified(const DeviceOutcome& outcome);
// Whether device holds a version the device reported after the update: its application
// announced itself after the restart, or a new probe found the image's or a newer version.
[[nodiscard]] bool outcome_version_after(const DeviceOutcome& outcome);
// Whether a new attempt can mend it: the line lost a packet or a verdict, the bootloader did
// not answer, or the restarted device does not report the image. Never an image refused before
// sending, never a port that cannot follow the bootloader, never a bootloader that disagrees
// with the image, never "D" (the flash does not match what was sent: that is reported).
[[nodiscard]] bool outcome_worth_retrying(const DeviceOutcome& outcome);
// A failed transfer's code (the failing transaction's result); 0 for any other end, a stop
// included: a stop is no failure of the line.
[[nodiscard]] int outcome_failure_code(const DeviceOutcome& outcome);

// The outcome of a transfer that ran (its last attempt's report, the device as it reported
// itself afterwards); stopped: the user's stop had come when it ended.
[[nodiscard]] DeviceOutcome transfer_outcome(TransferResult result, const TransferReport& transfer,
                                             const DeviceInfo& device, const Image& image, bool stopped);

// A device's run that ended unfinished because of a stop: where the stop found it.
[[nodiscard]] DeviceOutcome stopped_outcome(DeviceOutcome outcome);

// Names in JSON and the update record: "verified", "not_verified", "failed", "stopped",
// "up_to_date", "newer_left_alone", "update_available", "not_compatible", "no_device",
// "gone", "declined"; and "as_it_was", "in_bootloader", "bootloader_or_application",
// "restarted".
const char* outcome_name(Outcome kind);
const char* device_left_name(DeviceLeft left);

}  // namespace korvo
