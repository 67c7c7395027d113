// The line to the device as the protocols see it: the open port, the speed it was last set to,
// and the clock that times every wait.
#pragma once

#include <cstdint>
#include <vector>

#include "serial/clock.h"
#include "serial/port.h"

namespace korvo {

// Round trips on the line: from a packet's last byte written to the first byte of its answer
// (an acknowledgement, or the reply that follows a request), in microseconds.
struct RoundTrips {
  std::vector<uint32_t> samples_us;
  uint64_t written_us = 0;  // when the last packet's last byte was written
};

struct Link {
  SerialPort port;
  uint32_t current_baud = 0;  // 19200, 115200, or 0 when the port is not usable
  Clock* clock = nullptr;
  RoundTrips* round_trips = nullptr;  // timed while set
};

// Changes the speed and records it: current_baud is baud afterwards, or 0 when the change
// failed (the port is closed then and every later operation on it fails quietly).
bool link_set_speed(Link& link, uint32_t baud);

// Reads with a time limit on the link's port and clock (see port_read_timed).
[[nodiscard]] inline int32_t link_read_timed(Link& link, uint8_t* buffer, int32_t count,
                                             uint32_t timeout_ms) {
  return port_read_timed(link.port, *link.clock, buffer, count, timeout_ms);
}

}  // namespace korvo
