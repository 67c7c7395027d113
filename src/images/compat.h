// Does the selected image fit the attached device, and why not when it does not.
#pragma once

#include "driver/console.h"
#include "images/image.h"
#include "protocol/device_info.h"

// The first failing test decides: an unknown device before an unknown image, a different
// product before a different PCB revision.
enum CompatCode {
  COMPAT_OK = 0,
  COMPAT_IMAGE_UNKNOWN = 1,
  COMPAT_DEVICE_UNKNOWN = 2,
  COMPAT_PRODUCT_MISMATCH = 3,
  COMPAT_REVISION_MISMATCH = 4
};

// The device's model text for the user, never null: `model` as the probe set it; for a record
// whose `model` was never set, what the probe would have set (own name, else the table
// name); an empty text when neither exists.
[[nodiscard]] const char* compat_model_text(const DeviceInfo& device);

[[nodiscard]] CompatCode check_compatibility(const DeviceInfo& device, const Image& image);

// Explains a refusal (codes 1 to 4) to the user; prints nothing for COMPAT_OK.
void report_incompatibility(ConsoleOut& out, CompatCode code, const DeviceInfo& device,
                            const Image& image);
