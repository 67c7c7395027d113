// The one COM port of a run: open, configure, read and write with bounded waits.
// Nothing here prints; results are counts or 1/0 and the callers decide what they mean.
#pragma once

#include <cstdint>
#include <memory>

inline constexpr uint32_t PORT_IO_WAIT_MS = 2000;       // longest wait of one read or write
inline constexpr uint32_t PORT_READ_INTERVAL_MS = 10;   // a read ends this long after its last byte
inline constexpr uint32_t PORT_QUEUE_BYTES = 10000;     // driver queue size asked for, each way

inline constexpr uint32_t BAUD_APPLICATION = 19200;
inline constexpr uint32_t BAUD_BOOTLOADER = 115200;

// Milliseconds and sleeping: real on a machine, virtual in the unit tests.
struct Clock {
  virtual ~Clock() = default;
  // Real time since the process started, in ms (never processor time).
  virtual uint32_t now_ms() = 0;
  virtual void sleep_ms(uint32_t ms) = 0;
};
Clock& clock_system();

// The platform calls behind the port operations: one backend per platform, plus the
// in-memory line of the tests. The generic code in port.cpp only reaches a backend
// whose port is usable, so a backend never sees an operation on a closed port.
struct PortBackend {
  virtual ~PortBackend() = default;
  // Opens and configures COM<number>; on failure releases everything it acquired.
  virtual bool open(int number, uint32_t baud) = 0;
  // On failure releases everything: the port is closed afterwards.
  virtual bool set_baud(uint32_t baud) = 0;
  virtual void close() = 0;
  virtual bool has_handle() const = 0;
  // Both wait at most PORT_IO_WAIT_MS; 0 on failure or time-out. A transfer that timed
  // out is finished (cancelled and collected) before they return.
  virtual int32_t write(const uint8_t* data, int32_t count) = 0;
  // Waits for the first byte, then collects until count bytes are in or
  // PORT_READ_INTERVAL_MS pass without one.
  virtual int32_t read(uint8_t* buffer, int32_t count) = 0;
  virtual int32_t available() = 0;
};
// The real serial ports of this platform.
std::unique_ptr<PortBackend> port_backend_system();

struct SerialPort {
  PortBackend* backend = nullptr;
  Clock* clock = nullptr;
  uint32_t is_open = 0;
};

[[nodiscard]] int port_open(SerialPort& port, int number, uint32_t baud);
[[nodiscard]] int port_set_baud(SerialPort& port, uint32_t baud);
int port_close(SerialPort& port);
[[nodiscard]] int32_t port_write(SerialPort& port, const uint8_t* data, int32_t count);
[[nodiscard]] int32_t port_read(SerialPort& port, uint8_t* buffer, int32_t count);
[[nodiscard]] int32_t port_available(SerialPort& port);
[[nodiscard]] int32_t port_read_timed(SerialPort& port, uint8_t* buffer, int32_t count,
                                      uint32_t timeout_ms);
void port_drain(SerialPort& port);

uint32_t clock_ms(Clock& clock);
bool clock_expired(Clock& clock, uint32_t start, uint32_t limit);
