#include "protocol/app.h"

#include <cstring>

namespace korvo {

namespace {

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 99;
}

// Moves one character on, never past the terminating NUL.
void advance(const char*& p) {
  if (*p != '\0') ++p;
}

constexpr uint8_t VERSION_QUERY[] = {'^', 'V', '$'};
constexpr uint16_t DEFAULT_PRODUCT = 56;  // a report without its identity group
constexpr uint16_t DEFAULT_REVISION = 1;
constexpr size_t NAME_MAX_CHARS = 31;

}  // namespace

uint32_t parse_u32(const char* text, const char** end, int base) {
  const char* p = text;
  while (is_space(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  // A "0x" prefix is taken in base 16 only when a hex digit follows it.
  if (base == 16 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && digit_value(p[2]) < 16) p += 2;
  const char* digits = p;
  uint64_t value = 0;
  bool saturated = false;
  while (digit_value(*p) < base) {
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit_value(*p));
    if (value > 0xFFFFFFFFu) {
      saturated = true;
      value = 0xFFFFFFFFu;
    }
    ++p;
  }
  if (p == digits) {  // no digit: nothing consumed
    if (end != nullptr) *end = text;
    return 0;
  }
  if (end != nullptr) *end = p;
  if (saturated) return 0xFFFFFFFFu;
  const auto v = static_cast<uint32_t>(value);
  return negative ? static_cast<uint32_t>(0u - v) : v;
}

bool app_read_message(Link& link, char* buffer, size_t capacity) {
  if (capacity == 0) return false;
  size_t position = 0;
  while (position + 1 < capacity) {
    uint8_t byte = 0;
    if (link_read_timed(link, &byte, 1, APP_MESSAGE_WAIT_MS) != 1) return false;
    if (byte == '^') {
      position = 0;  // a new message starts: drop whatever came before
      continue;
    }
    buffer[position++] = static_cast<char>(byte);
    if (byte == '$') break;
  }
  buffer[position] = '\0';
  return true;
}

AppResult app_query_version(Link& link, DeviceInfo& info, bool listen_only) {
  if (!listen_only) {
    // A failed write shows up as silence below.
    (void)port_write(link.port, VERSION_QUERY, static_cast<int32_t>(sizeof VERSION_QUERY));
  }
  info.product = 0;
  info.pcb_revision = 0;
  info.version = 0;
  info.extra = EXTRA_ABSENT;
  info.name.fill('\0');
  char message[APP_MESSAGE_BYTES];
  for (;;) {
    if (!app_read_message(link, message, sizeof message)) return AppResult::NOT_A_REPORT;
    const bool empty = message[0] == '$';
    const bool plus = message[0] == '+' && message[1] == '$';
    if (!empty && !plus) break;
  }
  return app_parse_version(info, message);
}

AppResult app_parse_version(DeviceInfo& info, const char* text) {
  if (std::strncmp(text, "=V \"", 4) != 0) return AppResult::NOT_A_REPORT;
  const char* p = text + 4;
  size_t n = 0;
  while (*p != '"' && *p != '\0' && n < NAME_MAX_CHARS) info.name[n++] = *p++;
  info.name[n] = '\0';
  if (*p != '"') return AppResult::NAME_UNCLOSED;
  advance(p);  // closing quote
  advance(p);  // separator

  // Built in unsigned 32-bit arithmetic: a part above 255 spills into its neighbour.
  uint32_t version = parse_u32(p, &p, 10) << 24;
  advance(p);
  version += parse_u32(p, &p, 10) << 16;
  if (*p == '.') {
    advance(p);
    version += parse_u32(p, &p, 10) << 8;
  }
  if (*p >= 'a' && *p <= 'z') {
    version += static_cast<uint32_t>(*p - 'a' + 1);
    advance(p);
  }
  info.version = version;
  if (*p == '(') {
    while (*p != ')' && *p != '\0') advance(p);
    if (*p == '\0') return AppResult::TEXT_LEFT_OVER;  // unclosed comment
    advance(p);
  }
  if (*p == ',') {
    advance(p);
    info.product = static_cast<uint16_t>(parse_u32(p, &p, 10));
    advance(p);
    info.pcb_revision = static_cast<uint16_t>(parse_u32(p, &p, 10));
    advance(p);
    info.extra = parse_u32(p, &p, 16);
  } else {
    info.product = DEFAULT_PRODUCT;
    info.pcb_revision = DEFAULT_REVISION;
    info.extra = EXTRA_ABSENT;
  }
  if (*p != '$') return AppResult::TEXT_LEFT_OVER;
  device_set_model(info);
  return AppResult::OK;
}

}  // namespace korvo
