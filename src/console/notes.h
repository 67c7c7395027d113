// The interruption notes behind console_set_interrupt_note, one for each thread that has one
// set, so that several runs at once each leave their own line. For the platform consoles'
// interruption paths.
#pragma once

#include <cstddef>

namespace korvo {

inline constexpr std::size_t CONSOLE_NOTE_SLOTS = 64;

// Copies note `index` (below CONSOLE_NOTE_SLOTS) into `out`, which holds CONSOLE_NOTE_BYTES, and
// gives its length; 0 when that slot has none. Async-signal-safe, and safe beside a thread that
// changes its note meanwhile (the copy may then be of the old or the new text).
std::size_t console_note_copy(std::size_t index, char* out);

}  // namespace korvo
