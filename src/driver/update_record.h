// The update record: one JSON line for every run that reached the transfer, appended to a file
// that outlives the run (`korvo --history` reads it back). What went to which device, when,
// from which machine, and whether it came back running it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "console/console.h"

namespace korvo {

// Our own lines are well under a kilobyte; anything far longer is not one of them.
inline constexpr size_t UPDATE_RECORD_LINE_LIMIT = 64 * 1024;
inline constexpr const char* UPDATE_RECORD_NO_DEFAULT = "this system gives the update record no default place";

// An attempt of an unattended update that did not end verified: the step it ended in and the
// failing transaction's code (0 when none failed, as after a restart without a verdict).
struct AttemptFailure {
  std::string stage;
  int code = 0;
};

struct UpdateRecord {
  std::string time;            // UTC, ISO 8601, from state_utc_now()
  std::string host;
  std::string korvo_version;   // "1.01"
  std::string port;            // "COM3" or the path given
  std::string path;            // the device path opened ("/dev/ttyS2", "\\.\COM3")
  std::string adapter;         // what the system says of the adapter (a PortListing's details), "" unknown
  std::string device_name, device_model;
  uint32_t product = 0, pcb_revision = 0, extra = 0xFFFFFFFF;
  std::string version_before;  // version text, e.g. "1.13" ("None" for 0)
  std::string image_version, image_target, image_sha256;
  uint32_t image_records = 0;
  bool updated = false;        // the transfer ran to its end
  // "updated", "failed", "stopped" (the user stopped the run), "not_compatible" (the
  // bootloader's identity refused the image), "device_newer" (a retry found a newer version and
  // left it alone); empty: from `updated`, as lines written before these existed.
  std::string outcome;
  // Where the device was left: "restarted", "in_bootloader", "bootloader_or_application",
  // "as_it_was"; empty when the line does not say.
  std::string left;
  std::string failed_stage;    // "" when updated; otherwise e.g. "checking", "entering", "starting", "records", "restarting"
  int failed_code = 0;         // the failing transaction's code, 0 when none (and for a stop)
  std::string version_after;   // what the restarted application reported; "" when it did not announce itself
  bool verified = false;
  uint64_t duration_ms = 0;     // all attempts together
  // The transfer's round trips (a packet's last byte to its answer), in ms; null when none was timed.
  std::optional<double> round_trip_median_ms, round_trip_p99_ms;
  uint32_t attempts = 1;        // whole transfers run (unattended runs try again after a failure)
  std::vector<AttemptFailure> failures;  // every attempt that did not end verified, in order
};

// The record as one JSON object on one line, without the newline. Text that is not valid
// UTF-8 (a device's name may hold any bytes) has each bad byte replaced by U+FFFD.
std::string update_record_json(const UpdateRecord& record);

// A stored line read back into a record. False for a damaged line: not JSON, not an object,
// or a field of the wrong type; the fields a table needs (time, port, device, version_before,
// outcome) must be there. whole false: only what the history's table shows is kept (every
// other field is checked all the same), which spares copying texts nobody reads there.
bool update_record_parse(std::string_view line, UpdateRecord& record, bool whole = true);

// Appends the record's line to path (the default file when path is empty). False with a
// reason in why when it could not be written.
bool update_record_append(const UpdateRecord& record, const std::string& path, std::string& why);

}  // namespace korvo
