// A network serial server played by the fuzzer, behind the port the run uses: its first byte
// chooses RFC 2217 or raw TCP (and whether the server hangs up once it has said all), the rest,
// cut at "~~", is what it sends at each of korvo's waits (an empty piece: silence until that
// wait's end). korvo opens the port, probes for a device, drains and closes. Every wait must
// end, the port must never be opened without the server's confirmations, nothing but the
// application's texts may go out on a raw port, and the bytes held must stay bounded.
#include <algorithm>

#include "discovery/probe.h"
#include "fuzz_line.h"
#include "serial/net.h"
#include "serial/rfc2217.h"

namespace {

struct FuzzServer final : NetSocket {
  VirtualClock& clock;
  std::vector<Piece> replies;
  size_t next = 0;
  Piece rest;
  bool hangs_up = false;
  Bytes sent;

  FuzzServer(VirtualClock& c, std::vector<Piece> r, bool hang_up)
      : clock(c), replies(std::move(r)), hangs_up(hang_up) {}

  NetConnect connect(const std::string&, uint16_t, uint64_t, std::string&) override { return NetConnect::OK; }
  NetIo send(const uint8_t* data, size_t count, uint64_t, size_t& done) override {
    sent.insert(sent.end(), data, data + count);
    done = count;
    return NetIo::OK;
  }
  NetIo receive(uint8_t* buffer, size_t count, uint64_t deadline_ms, size_t& got) override {
    got = 0;
    if (rest.empty() && next < replies.size()) {
      rest = replies[next++];
      if (rest.empty()) {
        clock.now = std::max<uint64_t>(clock.now, deadline_ms);
        return NetIo::OK;
      }
    }
    if (!rest.empty()) {
      got = std::min(count, rest.size());
      std::copy_n(rest.begin(), got, buffer);
      rest = rest.subspan(got);
      return NetIo::OK;
    }
    if (hangs_up) return NetIo::CLOSED;
    clock.now = std::max<uint64_t>(clock.now, deadline_ms);
    return NetIo::OK;
  }
  void close() override {}
  uint64_t now_us() override { return clock.now * 1000U; }
  void sleep_until_us(uint64_t deadline_us) override {
    clock.now = std::max<uint64_t>(clock.now, (deadline_us + 999U) / 1000U);
  }
};

// Whether the server's bytes, all of them, confirm every setting the open asks for.
bool confirms_the_line(const std::vector<Piece>& replies) {
  TelnetSession heard;
  Bytes data;
  Bytes reply;
  (void)heard.start();
  for (const Piece& piece : replies) heard.receive(piece.data(), piece.size(), data, reply);
  return heard.answers(ComCommand::SET_DATASIZE) > 0 && heard.answers(ComCommand::SET_PARITY) > 0 &&
         heard.answers(ComCommand::SET_STOPSIZE) > 0 && heard.answers(ComCommand::SET_BAUDRATE) > 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool rfc2217 = (data[0] & 1) == 0;
  const bool hangs_up = (data[0] & 2) != 0;
  const std::vector<Piece> replies = fuzz_split(Piece(data + 1, size - 1));
  size_t served = 0;
  for (const Piece& piece : replies) served += piece.size();

  VirtualClock clock;
  auto server = std::make_unique<FuzzServer>(clock, replies, hangs_up);
  FuzzServer& seen = *server;
  std::unique_ptr<PortBackend> backend = port_backend_network(std::move(server));
  Link link{SerialPort{backend.get()}, BAUD_APPLICATION, &clock};
  OpenFailure failure;
  const bool opened =
      port_open(link.port, PortName(rfc2217 ? "rfc2217://server:2000" : "tcp://server:2000"), BAUD_APPLICATION, &failure);
  if (opened && rfc2217) FUZZ_CHECK(confirms_the_line(replies));
  if (!opened) FUZZ_CHECK(!failure.reason.empty());
  if (opened) {
    BootInfo boot;
    const Probe probe = device_probe(link, boot, DeviceInfo{});
    // A raw port never leaves the application's speed, so nothing but its texts goes out.
    if (!rfc2217) {
      FUZZ_CHECK(probe.state != ProbeState::BOOTLOADER);
      FUZZ_CHECK(std::find(seen.sent.begin(), seen.sent.end(), telnet::IAC) == seen.sent.end());
    }
    FUZZ_CHECK(static_cast<size_t>(port_available(link.port)) <= served);
    port_drain(link.port);
  }
  port_close(link.port);
  // Every wait ends at its deadline: the time spent is bounded by the server's pieces, each
  // at most one wait, and the few waits after them before each step gives up.
  FUZZ_CHECK(clock.now <= (replies.size() + 24) * uint64_t{NET_CONNECT_WAIT_MS});
  return 0;
}
