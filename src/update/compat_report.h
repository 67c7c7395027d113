// Why the selected image was refused, in the user's words.
#pragma once

#include "console/console.h"
#include "images/compat.h"
#include "images/image.h"
#include "protocol/device_info.h"

namespace korvo {

// Explains a refusal (codes 1 to 4) to the user; prints nothing for CompatCode::OK.
void report_incompatibility(ConsoleOut& out, CompatCode code, const DeviceInfo& device,
                            const Image& image);

}  // namespace korvo
