// The application's ASCII messages ("^...$" at 19200) and its version report.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/device_info.h"
#include "serial/link.h"

namespace korvo {

inline constexpr uint32_t APP_MESSAGE_WAIT_MS = 500;   // limit for each byte of a message
inline constexpr size_t APP_MESSAGE_BYTES = 100;       // a message keeps at most 99 characters

// Results of asking for and parsing the version report.
enum class AppResult {
  OK = 0,
  NOT_A_REPORT = 1,     // no usable message in time, or not a version report
  NAME_UNCLOSED = 2,    // the name is not closed by a quote within 31 characters
  TEXT_LEFT_OVER = 3,   // text the report's grammar does not take stands before the "$"
};

// true: a message was read into buffer (NUL-terminated); false: no byte came in time.
[[nodiscard]] bool app_read_message(Link& link, char* buffer, size_t capacity);
// Fills info from the report (sending "^V$" first unless listen_only). `model` is kept as it
// was when the report fails.
[[nodiscard]] AppResult app_query_version(Link& link, DeviceInfo& info, bool listen_only);
[[nodiscard]] AppResult app_parse_version(DeviceInfo& info, const char* text);

// strtoul semantics with a 32-bit unsigned long: white space, optional sign, digits of the
// base; negative values wrap, magnitudes above 0xFFFFFFFF saturate. *end is set past what
// was consumed (to text itself when no digit followed).
uint32_t parse_u32(const char* text, const char** end, int base);

}  // namespace korvo
