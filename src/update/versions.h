// Version text, the two aligned version lines and the Y/N question.
#pragma once

#include <cstddef>
#include <cstdint>

#include "images/image.h"
#include "protocol/device_info.h"

struct RunState;

// Writes the text of v ("None", "1.14", "2.05.01b(Beta)") into buffer, NUL-terminated;
// returns its length. 24 bytes hold any version.
size_t format_version(char* buffer, size_t capacity, Version v);
inline constexpr size_t VERSION_TEXT_BYTES = 24;

uint32_t version_text_width(Version v);
void print_version(RunState& run, Version v, uint32_t pad);
void show_versions(RunState& run, const DeviceInfo& device, const Image& image);
// true for Y, false for N (end of input answers N).
[[nodiscard]] bool confirm_update(RunState& run, const DeviceInfo& device, const Image& image);
