// Text that came from the device, as the user's terminal gets it. A device could otherwise
// drive the terminal: a name of ESC "]0;..." BEL retitles it, ESC "[2J" clears it. The bytes
// that start such a sequence, ESC (0x1B) and the 8-bit CSI (0x9B), are shown as '?'; every
// other byte is shown as the device sent it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "console/console.h"

namespace korvo {

inline constexpr char DEVICE_TEXT_REPLACEMENT = '?';

// The device's text (its name, a model name taken from it) ready for a "%s".
std::string device_text(const char* text);
// Bytes of the device's own (what it sent, a version text made from its numbers), written
// like say_bytes.
void say_device_bytes(ConsoleOut& out, const void* data, size_t count);

}  // namespace korvo
