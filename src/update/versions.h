// Version text, the two aligned version lines and the Y/N question.
#pragma once

#include <cstdint>

#include "console/console.h"
#include "images/image.h"
#include "protocol/device_info.h"
#include "update/report.h"

namespace korvo {

// Characters the text of v is taken to occupy: minor and third number count as two digits,
// the major as at most two.
uint32_t version_text_width(Version v);
// The text of v, a comma and pad spaces.
void print_version(ConsoleOut& out, Version v, uint32_t pad);
// The device's and the image's version on two lines whose "Model:" columns line up.
void show_versions(ConsoleOut& out, const DeviceInfo& device, const Image& image);
// Asks through the reporter and reads the answer: true for Y, false for N. With no console, or
// once input has ended, nobody can say yes: N.
[[nodiscard]] bool confirm_update(Reporter& reporter, Console* console, const DeviceInfo& device,
                                  const Image& image);

}  // namespace korvo
