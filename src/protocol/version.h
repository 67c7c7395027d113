// The packed firmware version that devices and images share, and its text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace korvo {

// Major in bits 24-31, minor 16-23, a third number (non-zero marks a beta) 8-15,
// letter 0-7 (1 = a). Compared as an unsigned number; 0 means none.
using Version = uint32_t;

inline constexpr unsigned version_major(Version v) { return (v >> 24) & 0xFFu; }
inline constexpr unsigned version_minor(Version v) { return (v >> 16) & 0xFFu; }
inline constexpr unsigned version_third(Version v) { return (v >> 8) & 0xFFu; }
inline constexpr unsigned version_letter(Version v) { return v & 0xFFu; }

// Writes the text of v ("None", "1.14", "2.05.01b(Beta)") into buffer, NUL-terminated, and
// returns its length, which counts every byte of the text: a letter value past 26 can make a
// NUL byte inside it. A short buffer gets a truncated, terminated text and the length the
// whole text needs. VERSION_TEXT_BYTES hold any version.
size_t format_version(char* buffer, size_t capacity, Version v);
inline constexpr size_t VERSION_TEXT_BYTES = 24;
// The same text as a string, every byte of it (a NUL inside included).
std::string version_string(Version v);

}  // namespace korvo
