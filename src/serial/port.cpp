#include "serial/port.h"

#include "serial/stop.h"

namespace korvo {

namespace {

bool usable(const SerialPort& port) {
  return port.backend != nullptr && port.backend->has_handle();
}

}  // namespace

bool port_open(SerialPort& port, const PortName& name, uint32_t baud, OpenFailure* failure) {
  OpenFailure ignored;
  OpenFailure& why = failure != nullptr ? *failure : ignored;
  why = OpenFailure{};
  if (port.backend == nullptr) {
    why.error = OpenError::FAILED;
    return false;
  }
  return port.backend->open(name, baud, why);
}

// After a stop nothing more is said on the line, so no new speed is needed; and bytes a stopped
// write left queued would go out at the new one, garbled. The port is closed instead, which
// lets them leave at the speed they were written at.
bool port_set_baud(SerialPort& port, uint32_t baud) {
  if (!usable(port)) return false;
  if (port_stop_requested()) {
    port.backend->close();
    return false;
  }
  return port.backend->set_baud(baud);
}

void port_close(SerialPort& port) {
  if (usable(port)) port.backend->close();
}

int32_t port_write(SerialPort& port, const uint8_t* data, int32_t count) {
  if (!usable(port) || count <= 0) return 0;
  return port.backend->write(data, count);
}

int32_t port_read(SerialPort& port, uint8_t* buffer, int32_t count) {
  if (!usable(port) || count <= 0) return 0;
  return port.backend->read(buffer, count);
}

int32_t port_available(SerialPort& port) {
  if (!usable(port)) return 0;
  return port.backend->available();
}

int32_t port_read_timed(SerialPort& port, Clock& clock, uint8_t* buffer, int32_t count,
                        uint32_t timeout_ms) {
  const uint32_t start = clock.now_ms();
  int32_t remaining = count;
  // The limit is tested only between reads: one read may itself wait PORT_IO_WAIT_MS.
  while (remaining > 0 && !clock_expired(clock, start, timeout_ms)) {
    const int32_t n = port_read(port, buffer, remaining);
    // Every read fails at once after a stop: going round until the limit would spin.
    if (n == 0 && port_stop_requested()) break;
    if (n == 0 && !usable(port)) {
      // A closed port answers at once: sleep out the limit instead of spinning on it.
      const uint32_t elapsed = clock.now_ms() - start;
      clock.sleep_ms(elapsed > timeout_ms ? 1 : timeout_ms - elapsed + 1);
      continue;
    }
    buffer += n;
    remaining -= n;
  }
  return count - remaining;
}

void port_drain(SerialPort& port) {
  if (usable(port)) port.backend->discard_input();
  uint8_t scratch = 0;
  // Asked again after every byte, so bytes arriving meanwhile go too; but a line that never
  // falls silent (a server flooding the connection) must not hold the run for ever.
  for (uint32_t taken = 0; taken < PORT_DRAIN_MAX && port_available(port) != 0; ++taken) {
    if (port_read(port, &scratch, 1) == 0) break;
  }
}

bool port_speed_changeable(const SerialPort& port) {
  return !usable(port) || port.backend->speed_changeable();
}

bool port_connection_lost(const SerialPort& port) {
  return port.backend != nullptr && port.backend->connection_lost();
}

std::optional<uint32_t> adapter_latency_timer(const DeviceValues& values) {
  for (const char* name : {"latency_timer", "LatencyTimer"}) {
    const std::optional<std::string> text = values(name);
    if (!text.has_value()) continue;
    uint32_t ms = 0;
    size_t digits = 0;
    for (const char c : *text) {
      if (c < '0' || c > '9') break;
      ms = ms * 10 + static_cast<uint32_t>(c - '0');
      if (ms > 255) return std::nullopt;
      ++digits;
    }
    // sysfs ends its values with a newline; anything else after the digits is no number.
    const std::string rest = text->substr(digits);
    if (digits == 0 || rest.find_first_not_of("\r\n \t") != std::string::npos) return std::nullopt;
    return ms;
  }
  return std::nullopt;
}

std::string port_listing_details(const PortListing& port) {
  std::string text;
  const auto add = [&text](const std::string& label, const std::string& value) {
    if (value.empty()) return;
    if (!text.empty()) text += ", ";
    text += label + value;
  };
  add("", port.name);
  add("usb ", port.usb_id);
  add("serial ", port.serial);
  add("driver ", port.driver);
  if (port.latency_timer_ms) add("latency timer ", std::to_string(*port.latency_timer_ms) + " ms");
  return text;
}

}  // namespace korvo
