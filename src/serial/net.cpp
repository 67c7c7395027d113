#include "serial/net.h"

#include <algorithm>
#include <array>
#include <vector>

#include "serial/rfc2217.h"
#include "serial/stop.h"

namespace korvo {

namespace {

// A write waits out its bytes' line time only when that is long enough to matter: a packet's
// one-byte answers would otherwise pay a whole timer tick each. What is left is waited out
// before a speed change, a purge and the close.
constexpr uint64_t LINE_WAIT_MIN_US = 2000;
constexpr size_t RECEIVE_CHUNK = 2048;
// The device's bytes held unread: far more than a device says between two reads (at 115200
// baud it takes over five seconds to fill). Beyond it a flooding server's bytes are dropped,
// as an overrun drops them on a serial port, so that memory and every wait stay bounded.
constexpr size_t INPUT_MAX = 64 * 1024;

const char* connect_text(NetConnect result) {
  switch (result) {
    case NetConnect::OK: return "connected";
    case NetConnect::REFUSED: return "the connection was refused: nothing listens on that port";
    case NetConnect::UNREACHABLE: return "the host cannot be reached";
    case NetConnect::NO_NAME: return "the host name is not known";
    case NetConnect::TIMED_OUT: return "no answer from the host within 5 s";
    case NetConnect::STOPPED: return "korvo is stopping";
    case NetConnect::FAILED: return "the connection failed";
  }
  return "the connection failed";
}

struct NetPort final : PortBackend {
  std::unique_ptr<NetSocket> socket;
  bool connected = false;
  bool broken = false;     // the server closed the connection: reads wait out their time
  bool lost = false;       // broken since the open, kept through the close: a retry reconnects
  bool rfc2217 = false;
  uint32_t baud = 0;
  TelnetSession telnet;
  std::vector<uint8_t> input;  // the device's bytes received, not yet read
  size_t input_from = 0;
  std::vector<uint8_t> decoded;  // one receive's data, the Telnet commands taken out
  uint64_t line_free_us = 0;   // when what was written has had its line time

  explicit NetPort(std::unique_ptr<NetSocket> s) : socket(std::move(s)) {}
  NetPort(const NetPort&) = delete;
  NetPort& operator=(const NetPort&) = delete;
  ~NetPort() override { close(); }

  bool open(const PortName& name, uint32_t wanted_baud, OpenFailure& failure) override;
  bool set_baud(uint32_t wanted_baud) override;
  void close() override;
  bool has_handle() const override { return connected; }
  int32_t write(const uint8_t* data, int32_t count) override;
  int32_t read(uint8_t* buffer, int32_t count) override;
  int32_t available() override;
  bool speed_changeable() const override { return rfc2217; }
  void discard_input() override;
  bool connection_lost() const override { return lost; }

  size_t held() const { return input.size() - input_from; }
  void keep(const uint8_t* data, size_t count);
  void mark_broken() { broken = lost = true; }
  bool send_all(const std::vector<uint8_t>& bytes, uint64_t deadline_ms);
  NetIo pump(uint64_t deadline_ms);
  void wait_line_free();
  bool command(ComCommand which, const std::vector<uint8_t>& value);
  bool configure(uint32_t wanted_baud, OpenFailure& failure);
  std::string closed_reason() const;
};

bool NetPort::send_all(const std::vector<uint8_t>& bytes, uint64_t deadline_ms) {
  size_t sent = 0;
  const NetIo r = socket->send(bytes.data(), bytes.size(), deadline_ms, sent);
  if (r == NetIo::CLOSED) mark_broken();
  return r == NetIo::OK && sent == bytes.size();
}

// One receive: waits until the deadline for bytes, decodes them and answers the server's
// negotiation. OK when bytes came (data or not).
NetIo NetPort::pump(uint64_t deadline_ms) {
  if (broken) return NetIo::CLOSED;
  std::array<uint8_t, RECEIVE_CHUNK> chunk{};
  size_t got = 0;
  const NetIo r = socket->receive(chunk.data(), chunk.size(), deadline_ms, got);
  if (r == NetIo::CLOSED) mark_broken();
  if (got == 0) return r == NetIo::OK ? NetIo::TIMEOUT : r;
  if (!rfc2217) {
    keep(chunk.data(), got);
    return NetIo::OK;
  }
  decoded.clear();
  std::vector<uint8_t> reply;
  telnet.receive(chunk.data(), got, decoded, reply);
  keep(decoded.data(), decoded.size());
  if (!reply.empty()) (void)send_all(reply, socket->now_ms() + PORT_IO_WAIT_MS);
  return NetIo::OK;
}

void NetPort::keep(const uint8_t* data, size_t count) {
  // What was read goes once it is all read, or once it is much: a reader that always leaves
  // a little must not make the buffer grow for ever.
  if (input_from > 0 && (input_from == input.size() || input_from >= INPUT_MAX)) {
    input.erase(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(input_from));
    input_from = 0;
  }
  const size_t room = INPUT_MAX - std::min(INPUT_MAX, held());
  input.insert(input.end(), data, data + std::min(count, room));
}

void NetPort::wait_line_free() {
  if (socket->now_us() < line_free_us) socket->sleep_until_us(line_free_us);
}

// Sends a com-port command and waits for the server's answer to it, keeping any data that
// arrives meanwhile. A speed's answer must name the speed asked for.
bool NetPort::command(ComCommand which, const std::vector<uint8_t>& value) {
  const uint32_t before = telnet.answers(which);
  const uint64_t deadline = socket->now_ms() + NET_ANSWER_WAIT_MS;
  if (!send_all(TelnetSession::command(which, value), deadline)) return false;
  while (telnet.answers(which) == before) {
    if (port_stop_requested() || socket->now_ms() >= deadline) return false;
    const NetIo r = pump(deadline);
    if (r == NetIo::CLOSED || r == NetIo::STOPPED) return false;
  }
  return telnet.answer(which) == value;
}

// A server that turns a client away (its port already has one, say) often says why in a line
// of text before it closes: passed on, cut short.
std::string NetPort::closed_reason() const {
  constexpr size_t SAID_MAX = 80;
  std::string said;
  for (size_t i = input_from; i < input.size() && said.size() < SAID_MAX; ++i) {
    const auto c = static_cast<char>(input[i]);
    if (c == '\r' || c == '\n') {
      if (!said.empty()) break;
      continue;
    }
    said += c;
  }
  std::string reason = "the server closed the connection";
  if (said.empty()) return reason;
  reason += " saying \"";
  reason += said;
  reason += '"';
  return reason;
}

bool NetPort::configure(uint32_t wanted_baud, OpenFailure& failure) {
  const uint64_t deadline = socket->now_ms() + NET_ANSWER_WAIT_MS;
  if (!send_all(telnet.start(), deadline)) {
    failure.reason = "the server closed the connection";
    return false;
  }
  while (!telnet.ready() && !telnet.refused() && !broken && !port_stop_requested() && socket->now_ms() < deadline) {
    (void)pump(deadline);
  }
  if (!telnet.ready()) {
    failure.reason = broken ? closed_reason()
                            : "the server does not take RFC 2217 com-port control (a raw TCP port is tcp://)";
    return false;
  }
  // Modem lines are neither set nor asked for: a server on a pseudo-terminal never confirms them.
  const bool line = command(ComCommand::SET_DATASIZE, {8}) && command(ComCommand::SET_PARITY, {COM_PARITY_NONE}) &&
                    command(ComCommand::SET_STOPSIZE, {COM_STOPSIZE_ONE});
  if (!line) {
    failure.reason = broken ? closed_reason() : "the server did not confirm 8 data bits, no parity, 1 stop bit";
    return false;
  }
  if (!command(ComCommand::SET_BAUDRATE, TelnetSession::baud_value(wanted_baud))) {
    failure.reason = broken ? closed_reason() : "the server did not confirm " + std::to_string(wanted_baud) + " baud";
    return false;
  }
  baud = wanted_baud;
  return true;
}

bool NetPort::open(const PortName& name, uint32_t wanted_baud, OpenFailure& failure) {
  close();
  lost = false;
  failure.path = name.path;
  if (name.net != NetParse::OK) {
    failure.error = OpenError::MISSING;
    failure.reason = "not a port address: " + name.net_problem;
    return false;
  }
  if (port_stop_requested()) {
    failure.error = OpenError::FAILED;
    failure.reason = "korvo is stopping";
    return false;
  }
  std::string why;
  const NetConnect c = socket->connect(name.address.host, name.address.port,
                                       socket->now_ms() + NET_CONNECT_WAIT_MS, why);
  if (c != NetConnect::OK) {
    failure.error = c == NetConnect::REFUSED || c == NetConnect::NO_NAME ? OpenError::MISSING : OpenError::FAILED;
    failure.reason = connect_text(c);
    if (!why.empty()) {
      failure.reason += " (";
      failure.reason += why;
      failure.reason += ')';
    }
    socket->close();
    return false;
  }
  connected = true;
  rfc2217 = name.address.scheme == NetScheme::RFC2217;
  if (!rfc2217) {
    // The server's own setting: korvo can only trust it is what the application speaks.
    baud = wanted_baud;
    return true;
  }
  if (configure(wanted_baud, failure)) return true;
  failure.error = OpenError::FAILED;
  if (port_stop_requested()) failure.reason = "korvo is stopping";
  close();
  lost = false;  // never established: the failure's reason says what happened
  return false;
}

// Bytes still on their way out leave at the speed they were written at: the change waits for
// their line time. The server changes its line only when it confirms.
bool NetPort::set_baud(uint32_t wanted_baud) {
  if (wanted_baud == baud && !broken) return true;
  bool changed = false;
  if (rfc2217 && !broken) {
    wait_line_free();
    changed = !port_stop_requested() && command(ComCommand::SET_BAUDRATE, TelnetSession::baud_value(wanted_baud));
  }
  if (changed) {
    baud = wanted_baud;
    return true;
  }
  close();
  return false;
}

void NetPort::close() {
  if (connected) {
    // What was written gets its line time before the server sees the connection end; a stop
    // ends the wait, as it ends a serial port's.
    if (!broken) wait_line_free();
    socket->close();
  }
  connected = false;
  broken = false;
  rfc2217 = false;
  baud = 0;
  telnet = TelnetSession{};
  input.clear();
  input_from = 0;
  line_free_us = 0;
}

int32_t NetPort::write(const uint8_t* data, int32_t count) {
  if (!connected || broken || count <= 0 || port_stop_requested()) return 0;
  const auto total = static_cast<size_t>(count);
  std::vector<uint8_t> wire;
  wire.reserve(total + 8);
  if (rfc2217) {
    TelnetSession::escape(data, total, wire);
  } else {
    wire.assign(data, data + total);
  }
  if (!send_all(wire, socket->now_ms() + PORT_IO_WAIT_MS)) return 0;
  const uint64_t now = socket->now_us();
  line_free_us = std::max(now, line_free_us) + net_line_time_us(total, baud);
  if (line_free_us - now >= LINE_WAIT_MIN_US) wait_line_free();
  if (port_stop_requested()) return 0;
  return count;
}

int32_t NetPort::read(uint8_t* buffer, int32_t count) {
  if (!connected || count <= 0) return 0;
  const auto wanted = static_cast<size_t>(count);
  const uint64_t deadline = socket->now_ms() + PORT_IO_WAIT_MS;
  // The first byte: up to PORT_IO_WAIT_MS.
  while (held() == 0) {
    if (port_stop_requested()) return 0;
    if (socket->now_ms() >= deadline) return 0;
    const NetIo r = pump(deadline);
    if (r == NetIo::STOPPED) return 0;
    if (r == NetIo::CLOSED) {
      // A vanished server behaves like a silent line: returning at once would let a caller's
      // retry loop spin.
      socket->sleep_until_us(deadline * 1000U);
      return 0;
    }
  }
  // Then more until the count is in, PORT_READ_INTERVAL_MS pass without a byte, or the
  // read's own time is over.
  while (held() < wanted) {
    const uint64_t interval_end = std::min(socket->now_ms() + PORT_READ_INTERVAL_MS, deadline);
    if (socket->now_ms() >= interval_end) break;
    if (pump(interval_end) != NetIo::OK) break;
  }
  const size_t n = std::min(wanted, held());
  std::copy_n(input.begin() + static_cast<std::ptrdiff_t>(input_from), n, buffer);
  input_from += n;
  return static_cast<int32_t>(n);
}

int32_t NetPort::available() {
  if (!connected) return 0;
  // Takes in what has arrived without waiting; a server that never stops sending ends it
  // once the buffer is full.
  while (held() < INPUT_MAX && pump(0) == NetIo::OK) {
  }
  return static_cast<int32_t>(std::min<size_t>(held(), INT32_MAX));
}

// The server's buffer of the device's bytes goes; the caller reads out what already came.
void NetPort::discard_input() {
  if (!connected || broken || !rfc2217) return;
  wait_line_free();
  (void)send_all(TelnetSession::command(ComCommand::PURGE_DATA, {COM_PURGE_RECEIVED}),
                 socket->now_ms() + PORT_IO_WAIT_MS);
}

// The run's port, serial or network by its name: each open picks the backend for the name.
struct SystemPort final : PortBackend {
  std::unique_ptr<PortBackend> serial;
  std::unique_ptr<PortBackend> network;
  PortBackend* active = nullptr;

  bool open(const PortName& name, uint32_t baud, OpenFailure& failure) override {
    if (active != nullptr) active->close();
    if (name.network()) {
      if (!network) network = port_backend_network(net_socket_system());
      active = network.get();
    } else {
      if (!serial) serial = port_backend_serial();
      active = serial.get();
    }
    return active->open(name, baud, failure);
  }
  bool set_baud(uint32_t baud) override { return active != nullptr && active->set_baud(baud); }
  void close() override {
    if (active != nullptr) active->close();
  }
  bool has_handle() const override { return active != nullptr && active->has_handle(); }
  int32_t write(const uint8_t* data, int32_t count) override { return active->write(data, count); }
  int32_t read(uint8_t* buffer, int32_t count) override { return active->read(buffer, count); }
  int32_t available() override { return active->available(); }
  bool speed_changeable() const override { return active == nullptr || active->speed_changeable(); }
  void discard_input() override {
    if (active != nullptr) active->discard_input();
  }
  bool connection_lost() const override { return active != nullptr && active->connection_lost(); }
};

}  // namespace

uint64_t net_line_time_us(size_t count, uint32_t baud) {
  const uint64_t rate = std::max<uint32_t>(baud, 1200U);
  return (static_cast<uint64_t>(count) * 10000000U + rate - 1U) / rate;
}

std::unique_ptr<PortBackend> port_backend_network(std::unique_ptr<NetSocket> socket) {
  return std::make_unique<NetPort>(std::move(socket));
}

std::unique_ptr<PortBackend> port_backend_system() { return std::make_unique<SystemPort>(); }

}  // namespace korvo
