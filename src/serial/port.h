// The one COM port of a run: open, configure, read and write with bounded waits.
// Nothing here prints; results are byte counts or yes/no, and the callers decide what they mean.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "serial/clock.h"
#include "serial/net_address.h"

namespace korvo {

inline constexpr uint32_t PORT_IO_WAIT_MS = 2000;       // longest wait of one read or write
inline constexpr uint32_t PORT_READ_INTERVAL_MS = 10;   // a read ends this long after its last byte
inline constexpr uint32_t PORT_DRAIN_MAX = 64 * 1024;  // bytes a drain throws away at most
inline constexpr uint32_t PORT_QUEUE_BYTES = 10000;     // driver queue size asked for, each way

inline constexpr uint32_t BAUD_APPLICATION = 19200;
inline constexpr uint32_t BAUD_BOOTLOADER = 115200;

// Which port to open: COM<number>, (where the platform has device paths) a device named by
// its path, or on every platform a port of a network serial server named by its URL (kept in
// path as the user gave it).
struct PortName {
  int number = 0;
  std::string path;  // empty: by number
  NetParse net = NetParse::NOT_NETWORK;
  NetAddress address;  // with net OK
  std::string net_problem;  // with net BAD: what is wrong with the URL
  PortName(int n) : number(n) {}  // NOLINT: a number names a port as it always has
  explicit PortName(std::string device_path) : path(std::move(device_path)) {
    net = net_address_parse(path, address, &net_problem);
  }
  bool by_path() const { return !path.empty(); }
  // A URL of a network port, well-formed or not: never a device.
  bool network() const { return net != NetParse::NOT_NETWORK; }
};

// Why an open failed, for the user: the path tried and the system's own words.
enum class OpenError {
  NONE = 0,
  MISSING = 1,  // no such device
  DENIED = 2,   // no permission to open it
  IN_USE = 3,   // another program holds it
  FAILED = 4,   // anything else: opened but not configurable, or an error of its own
  OWN_TERMINAL = 5,  // the user's own terminal (the keyboard and screen), never a port
};
struct OpenFailure {
  OpenError error = OpenError::NONE;
  std::string path;
  std::string reason;
  // Something the user should know even when the port opened, such as a lock file that could
  // not be made; empty when there is nothing to say.
  std::string warning;
};

// What the system keeps of one serial device as named values: on Linux the attribute files
// of its sysfs folder, on Windows the values of its device registry key (numbers as decimal
// text); none when absent. The seam between the system and what korvo makes of it.
using DeviceValues = std::function<std::optional<std::string>(const std::string& name)>;

// The latency timer an adapter's driver keeps, in ms ("latency_timer" in sysfs, "LatencyTimer"
// in the registry); none when the driver keeps none or the value is no number 0..255.
std::optional<uint32_t> adapter_latency_timer(const DeviceValues& values);

// A serial port the system knows of, for listing: never opened to be listed.
struct PortListing {
  std::string path;     // what opens it (a device path, or \\.\COMn)
  int number = 0;       // the COM number it answers to, 0 when none
  std::string details;  // what the system says of it, the fields below in one line
  std::string name;     // the friendly name (Windows), or the USB maker and product
  std::string usb_id;   // USB vendor:product, "0403:6001"
  std::string serial;   // the USB serial number
  std::string driver;   // ftdi_sio, FTDIBUS, serial8250
  std::optional<uint32_t> latency_timer_ms;  // where the adapter's driver keeps one
};
// The fields of a listing as one line ("name, usb 0403:6001, serial A1, driver ftdi_sio, latency
// timer 16 ms"), leaving out what is unknown.
std::string port_listing_details(const PortListing& port);

// An adapter's latency timer as it stands now, and where the setting lives.
struct PortLatency {
  uint32_t timer_ms = 0;
  bool driver_setting = false;  // in the system's device settings (an administrator's)
  std::string setting_path;     // the file that sets it, where there is one
};
// The latency timer of the adapter behind the port of this name; none for a port without one.
std::optional<PortLatency> port_latency(const PortName& name);
// What a port is beneath its name, to tell two names of one device apart: its device's real
// path (links resolved) where ports have paths, "COMn" on Windows; empty when no such device
// exists.
std::string port_identity(const PortName& name);
// The serial ports present, in a stable order.
std::vector<PortListing> port_list();
// Whether a command-line argument may name a device by its path on this platform.
extern const bool PORT_PATHS_ALLOWED;
// A command-line word that names a port in this platform's own way, beyond a number, COMn or
// a path: on POSIX a character device under /dev named without its folder ("ttyUSB0"); on
// Windows the device path "\\.\COMn". None: the word keeps its usual reading.
std::optional<PortName> port_name_of_word(const std::string& word);

// The platform calls behind the port operations: one backend per platform, plus the
// in-memory line of the tests. The generic code in port.cpp only reaches a backend
// whose port is usable, so a backend never sees an operation on a closed port.
struct PortBackend {
  virtual ~PortBackend() = default;
  // Opens and configures the port; on failure releases everything it acquired and says why.
  virtual bool open(const PortName& name, uint32_t baud, OpenFailure& failure) = 0;
  // On failure releases everything: the port is closed afterwards.
  virtual bool set_baud(uint32_t baud) = 0;
  // Keeps every byte written: output is thrown away only when it could not leave within a
  // bounded wait (an adapter that stopped sending), so that closing never hangs on it.
  virtual void close() = 0;
  // The port is open and usable.
  virtual bool has_handle() const = 0;
  // Both wait at most PORT_IO_WAIT_MS in all; 0 on failure or time-out. A transfer that
  // timed out is finished (cancelled and collected) before they return.
  // A write is done when its bytes have left the driver, as far as the driver can tell.
  virtual int32_t write(const uint8_t* data, int32_t count) = 0;
  // Waits for the first byte, then collects until count bytes are in, PORT_READ_INTERVAL_MS
  // pass without one, or PORT_IO_WAIT_MS have passed since the read began.
  virtual int32_t read(uint8_t* buffer, int32_t count) = 0;
  virtual int32_t available() = 0;
  // Whether set_baud can change the line's speed at all (a raw network port's speed is fixed
  // in the server's settings): asked before a step that needs another speed begins.
  virtual bool speed_changeable() const { return true; }
  // Asks whatever holds input on the way (a network server's buffer) to throw it away; the
  // caller then reads out what already arrived.
  virtual void discard_input() {}
  // The far end ended the connection, or it broke, since the last open (a network server that
  // restarted, say); still true after the close that followed, until the next open. A serial
  // device has no connection to lose.
  virtual bool connection_lost() const { return false; }
};
// The real serial ports of this platform.
std::unique_ptr<PortBackend> port_backend_system();

struct SerialPort {
  PortBackend* backend = nullptr;
};

// true: opened and configured; false: the port is closed, and failure (when given) says why.
[[nodiscard]] bool port_open(SerialPort& port, const PortName& name, uint32_t baud,
                             OpenFailure* failure = nullptr);
// false: the port was not usable, or the change failed and closed it.
[[nodiscard]] bool port_set_baud(SerialPort& port, uint32_t baud);
// Harmless on a closed port.
void port_close(SerialPort& port);
// Bytes written or read; 0 on failure, time-out or a port that is not usable.
[[nodiscard]] int32_t port_write(SerialPort& port, const uint8_t* data, int32_t count);
[[nodiscard]] int32_t port_read(SerialPort& port, uint8_t* buffer, int32_t count);
// Bytes waiting in the driver's input queue; 0 when the port is not usable.
[[nodiscard]] int32_t port_available(SerialPort& port);
// Reads until count bytes are in or the limit has passed; the limit is tested only between
// reads, so one read's own wait may stretch it. Bytes received.
[[nodiscard]] int32_t port_read_timed(SerialPort& port, Clock& clock, uint8_t* buffer,
                                      int32_t count, uint32_t timeout_ms);
// Throws away pending input, including bytes that arrive meanwhile.
void port_drain(SerialPort& port);
// false for a usable port whose speed cannot be changed; true otherwise (a closed port fails
// its change anyway).
[[nodiscard]] bool port_speed_changeable(const SerialPort& port);
// The port's network connection was lost since it was opened (see PortBackend), whether or
// not the port has been closed since; false for a serial port.
[[nodiscard]] bool port_connection_lost(const SerialPort& port);

}  // namespace korvo
