// Does the selected image fit the attached device? The verdict only; the texts that explain
// a refusal live with the other user-facing texts.
#pragma once

#include "images/image.h"
#include "protocol/device_info.h"

namespace korvo {

// The first failing test decides: an unknown device before an unknown image, a different
// product before a different PCB revision.
enum class CompatCode {
  OK = 0,
  IMAGE_UNKNOWN = 1,
  DEVICE_UNKNOWN = 2,
  PRODUCT_MISMATCH = 3,
  REVISION_MISMATCH = 4,
};

[[nodiscard]] CompatCode check_compatibility(const DeviceInfo& device, const Image& image);

}  // namespace korvo
