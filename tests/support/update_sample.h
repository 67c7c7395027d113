// One verified update of a Slate 8 from 1.13 to 1.14 as the record keeps it; each test names
// the time, the port and the device, and changes what it is about.
#pragma once

#include <string>

#include "driver/update_record.h"

inline korvo::UpdateRecord verified_update(const char* time, const char* port, const char* path, const char* name) {
  korvo::UpdateRecord r;
  r.time = time;
  r.korvo_version = "1.01";
  r.port = port;
  r.path = path;
  r.adapter = "USB 0403:6001 FT232R";
  r.device_name = name;
  r.device_model = "Slate 8";
  r.product = 68;
  r.pcb_revision = 6;
  r.version_before = "1.13";
  r.image_version = "1.14";
  r.image_target = "slate8";
  r.updated = true;
  r.version_after = "1.14";
  r.verified = true;
  r.duration_ms = 41234;
  return r;
}

// The same update failed in its records (code 3) after three attempts, with nothing reported
// after it.
inline korvo::UpdateRecord failed_in_records(korvo::UpdateRecord r) {
  r.updated = false;
  r.verified = false;
  r.failed_stage = "records";
  r.failed_code = 3;
  r.version_after = "";
  r.attempts = 3;
  return r;
}
