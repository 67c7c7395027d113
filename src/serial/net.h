// Ports of network serial servers behind the serial seam: the socket calls of the platform
// (net_posix.cpp, net_win32.cpp) below, the port's behaviour (bounded waits, speed changes
// through the server, line time) above them and free of the platform.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "serial/port.h"

namespace korvo {

// Longest wait for a connection, and for the server's answer to a com-port command: longer
// than a read's, since a slow link or a busy server pays a few round trips for them.
inline constexpr uint32_t NET_CONNECT_WAIT_MS = 5000;
inline constexpr uint32_t NET_ANSWER_WAIT_MS = 3000;

enum class NetConnect {
  OK = 0,
  REFUSED = 1,      // nothing listens on that port
  UNREACHABLE = 2,  // no route to the host or its network
  NO_NAME = 3,      // the host name is not known
  TIMED_OUT = 4,    // no answer within the wait
  STOPPED = 5,      // a stop came while connecting
  FAILED = 6,       // anything else
};

enum class NetIo {
  OK = 0,
  TIMEOUT = 1,  // the deadline passed
  CLOSED = 2,   // the server closed the connection, or it broke
  STOPPED = 3,  // a stop was asked for
};

// One TCP connection, in the platform's calls. Every wait ends at its deadline or at a stop.
struct NetSocket {
  virtual ~NetSocket() = default;
  // Resolves and connects, then sets TCP_NODELAY (every packet waits for its answer: Nagle's
  // algorithm would hold the next) and keep-alive. why: the system's own words on failure.
  virtual NetConnect connect(const std::string& host, uint16_t port, uint64_t deadline_ms, std::string& why) = 0;
  // Sends all it can before the deadline; sent: how many went.
  virtual NetIo send(const uint8_t* data, size_t count, uint64_t deadline_ms, size_t& sent) = 0;
  // Waits for bytes until the deadline (none when it has passed), then takes what is there,
  // up to count.
  virtual NetIo receive(uint8_t* buffer, size_t count, uint64_t deadline_ms, size_t& got) = 0;
  virtual void close() = 0;
  // The clock of the waits, and a sleep that a stop ends.
  virtual uint64_t now_us() = 0;
  virtual void sleep_until_us(uint64_t deadline_us) = 0;
  uint64_t now_ms() { return now_us() / 1000U; }
};

// The platform's sockets.
std::unique_ptr<NetSocket> net_socket_system();

// A port on a network serial server, over the given connection (the platform's, or a test's).
std::unique_ptr<PortBackend> port_backend_network(std::unique_ptr<NetSocket> socket);
// The platform's serial devices alone (port_posix.cpp, port_win32.cpp).
std::unique_ptr<PortBackend> port_backend_serial();

// The line time of `count` bytes at `baud`, 10 bits a byte, in microseconds.
uint64_t net_line_time_us(size_t count, uint32_t baud);

}  // namespace korvo
