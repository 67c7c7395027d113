// The application's ASCII messages ("^...$" at 19200) and its version report.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/device_info.h"

struct SerialPort;

inline constexpr uint32_t APP_MESSAGE_WAIT_MS = 500;   // limit for each byte of a message
inline constexpr size_t APP_MESSAGE_BYTES = 100;       // a message keeps at most 99 characters

// 0: a message was read into buffer (NUL-terminated); 1: no byte in time.
[[nodiscard]] int app_read_message(SerialPort& port, char* buffer, size_t capacity);
// 0: report parsed into info; 1: no usable message or not a report; 2, 3 from the parser.
[[nodiscard]] int app_query_version(SerialPort& port, DeviceInfo& info, bool listen_only);
// 0 parsed; 1 not a version report; 2 name not closed within 31 characters;
// 3 text left over before the "$".
[[nodiscard]] int app_parse_version(DeviceInfo& info, const char* text);

// strtoul semantics with a 32-bit unsigned long: white space, optional sign, digits of the
// base; negative values wrap, magnitudes above 0xFFFFFFFF saturate. *end is set past what
// was consumed (to text itself when no digit followed).
uint32_t parse_u32(const char* text, const char** end, int base);
