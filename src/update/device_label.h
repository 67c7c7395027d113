// How korvo's own texts name a device and a version (the device's own text made safe).
#pragma once

#include <string>

#include "protocol/device_info.h"
#include "protocol/version.h"

namespace korvo {

// A version as text; a version letter can make any byte, so it is shown as the device's text is.
std::string version_text(Version v);
// "Hall B (Slate Pro)" for a device with a name of its own, else its model: the product
// table's, else the one it reported, else "product N".
std::string device_label(const DeviceInfo& device);

}  // namespace korvo
