#include "serial/port.h"

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

bool port_set_baud(SerialPort& port, uint32_t baud) {
  return usable(port) && port.backend->set_baud(baud);
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
  uint8_t scratch = 0;
  // Asked again after every byte, so bytes arriving meanwhile go too.
  while (port_available(port) != 0) {
    if (port_read(port, &scratch, 1) == 0) break;
  }
}

}  // namespace korvo
