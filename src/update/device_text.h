// Text korvo did not write itself (what the device says, port paths from the command line or
// the environment, names the system gives its ports, lock paths), as the user's terminal gets
// it. Such text could otherwise drive the terminal: a name of ESC "]0;..." BEL retitles it,
// ESC "[2J" clears it, CR or BS overwrite what is shown. Every control byte (0x00-0x1F, 0x7F)
// and the C1 bytes that begin or end terminal strings and sequences (0x90 DCS, 0x9B CSI, 0x9C
// ST, 0x9D OSC, 0x9E PM, 0x9F APC) are shown as '?'; so is a C1 control written as UTF-8
// (U+0080-U+009F, bytes C2 80-C2 9F: NEL, CSI, OSC...), which a UTF-8 terminal obeys; every other
// byte as it came.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "console/console.h"

namespace korvo {

inline constexpr char DEVICE_TEXT_REPLACEMENT = '?';

// The length of the control that starts at text[at] (1, or 2 for a UTF-8 C1), 0 when none does.
// at must be inside text.
size_t terminal_control_at(std::string_view text, size_t at);

// A one-line text (a name, a path, a reason) ready for a "%s".
std::string shown_line(std::string_view text);
// The device's own text (its name, a model name taken from it) ready for a "%s".
inline std::string device_text(const char* text) { return shown_line(text); }
// One-line bytes of the device's own (a version text made from its numbers, NULs included),
// written like say_bytes.
void say_device_line(ConsoleOut& out, const void* data, size_t count);
// What the device sent, written like say_bytes: its own line breaks (CR, LF) and TABs stay.
void say_device_bytes(ConsoleOut& out, const void* data, size_t count);

}  // namespace korvo
