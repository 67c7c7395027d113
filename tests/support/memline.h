// An in-memory serial line on a virtual clock: the port operations and every protocol above
// them run against it with no real waiting (a 2000 ms wait only moves the clock).
#pragma once

#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <vector>

#include "serial/port.h"

using namespace korvo;

struct VirtualClock : Clock {
  uint64_t now = 0;
  uint32_t now_ms() override { return static_cast<uint32_t>(now); }
  void sleep_ms(uint32_t ms) override { now += ms; }
};

class MemLine;

// Whatever sits at the device end of the line.
struct LinePeer {
  virtual ~LinePeer() = default;
  // The host wrote bytes at virtual time now_ms with its end of the line at baud (0 when the
  // port is closed). Replies go back through line.device_send().
  virtual void on_host_bytes(MemLine& line, std::span<const uint8_t> bytes, uint32_t baud,
                             uint64_t now_ms) = 0;
};

// One port_write as the device saw it.
struct LineWrite {
  uint64_t at_ms = 0;
  uint32_t baud = 0;
  std::vector<uint8_t> bytes;
};

class MemLine : public PortBackend {
 public:
  explicit MemLine(VirtualClock& clock) : clock_(clock) {}

  // Device side: bytes that reach the host's input at virtual time at_ms (all at once).
  void device_send(std::span<const uint8_t> bytes, uint64_t at_ms);
  void device_send(const std::string& text, uint64_t at_ms);
  void set_peer(LinePeer* peer) { peer_ = peer; }

  // Everything the host wrote, one entry per write, and all of it as one byte string.
  const std::vector<LineWrite>& writes() const { return writes_; }
  std::vector<uint8_t> written() const;
  uint32_t baud() const { return open_ ? baud_ : 0; }
  size_t pending() const { return input_.size(); }

  // Faults and counters for the port layer's own tests.
  bool exists = true;           // open fails when false
  OpenError refusal = OpenError::NONE;  // open fails with this when it is not NONE
  std::string warning;          // given with every open, as a missing lock file is
  bool refuse_baud = false;     // set_baud fails (and closes) when true
  bool fixed_speed = false;     // says its speed cannot change, as a raw network port does
  int baud_changes_left = -1;   // >= 0: set_baud fails (and closes) once these are used up
  bool unplugged = false;       // reads wait and return 0, writes return 0
  int write_limit = -1;         // >= 0: writes accept at most this many bytes
  int platform_calls = 0;       // every backend call counts
  int opens = 0;
  PortName opened{0};           // what the last successful open named
  int closes = 0;

  bool open(const PortName& name, uint32_t baud, OpenFailure& failure) override;
  bool set_baud(uint32_t baud) override;
  void close() override;
  bool has_handle() const override { return open_; }
  int32_t write(const uint8_t* data, int32_t count) override;
  int32_t read(uint8_t* buffer, int32_t count) override;
  int32_t available() override;
  bool speed_changeable() const override { return !fixed_speed; }

 private:
  struct Timed {
    uint64_t at_ms;
    uint8_t byte;
  };
  VirtualClock& clock_;
  LinePeer* peer_ = nullptr;
  bool open_ = false;
  uint32_t baud_ = 0;
  std::deque<Timed> input_;  // ordered by arrival
  std::vector<LineWrite> writes_;
};
