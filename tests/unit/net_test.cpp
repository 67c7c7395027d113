// Network ports: the URL forms, the Telnet and com-port layer on byte strings, and the port
// itself over an in-memory connection on a virtual clock, against a server that behaves as
// the network serial servers do (or fails as they can).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver/unattended.h"
#include "serial/net.h"
#include "serial/net_address.h"
#include "serial/net_lookup.h"
#include "serial/rfc2217.h"
#include "serial/stop.h"

using namespace korvo;
using namespace korvo::telnet;

namespace {

using Bytes = std::vector<uint8_t>;

TEST(NetAddress, ReadsTheUrlFormsAndRefusesMalformedOnes) {
  const struct {
    const char* word;
    NetParse parse;
    NetScheme scheme;
    const char* host;
    uint16_t port;
  } cases[] = {
      {"rfc2217://127.0.0.1:4001", NetParse::OK, NetScheme::RFC2217, "127.0.0.1", 4001},
      {"RFC2217://gateway.local:7000/", NetParse::OK, NetScheme::RFC2217, "gateway.local", 7000},
      {"tcp://rack-3:65535", NetParse::OK, NetScheme::TCP, "rack-3", 65535},
      {"tcp://[::1]:2217", NetParse::OK, NetScheme::TCP, "::1", 2217},
      {"rfc2217://[fe80::1:2]:1", NetParse::OK, NetScheme::RFC2217, "fe80::1:2", 1},
      {"rfc2217://host", NetParse::BAD, NetScheme::RFC2217, "", 0},
      {"rfc2217://host:0", NetParse::BAD, NetScheme::RFC2217, "", 0},
      {"rfc2217://host:65536", NetParse::BAD, NetScheme::RFC2217, "", 0},
      {"rfc2217://host:12a", NetParse::BAD, NetScheme::RFC2217, "", 0},
      {"rfc2217://:4001", NetParse::BAD, NetScheme::RFC2217, "", 0},
      {"tcp://::1:4001", NetParse::BAD, NetScheme::RFC2217, "", 0},
      {"tcp://[::1:4001", NetParse::BAD, NetScheme::RFC2217, "", 0},
      {"tcp://[::1]4001", NetParse::BAD, NetScheme::RFC2217, "", 0},
      {"tcp://a b:1", NetParse::BAD, NetScheme::RFC2217, "", 0},
      {"tcp://host:1/x", NetParse::BAD, NetScheme::RFC2217, "", 0},
      {"/dev/ttyUSB0", NetParse::NOT_NETWORK, NetScheme::RFC2217, "", 0},
      {"COM3", NetParse::NOT_NETWORK, NetScheme::RFC2217, "", 0},
      {"socket://host:1", NetParse::NOT_NETWORK, NetScheme::RFC2217, "", 0},
  };
  for (const auto& c : cases) {
    NetAddress a;
    std::string why;
    EXPECT_EQ(net_address_parse(c.word, a, &why), c.parse) << c.word;
    if (c.parse == NetParse::BAD) {
      EXPECT_FALSE(why.empty()) << c.word;
    }
    if (c.parse != NetParse::OK) continue;
    EXPECT_EQ(a.scheme, c.scheme) << c.word;
    EXPECT_EQ(a.host, c.host) << c.word;
    EXPECT_EQ(a.port, c.port) << c.word;
    EXPECT_EQ(a.text, c.word) << "shown as given";
  }
  NetAddress upper;
  NetAddress lower;
  ASSERT_EQ(net_address_parse("tcp://GATEWAY:7000", upper), NetParse::OK);
  ASSERT_EQ(net_address_parse("rfc2217://gateway:7000", lower), NetParse::OK);
  EXPECT_EQ(net_address_identity(upper), net_address_identity(lower)) << "one server port, whatever the scheme";
}

TEST(NetAddress, TheCommandLineTakesUrlsOnEveryPlatform) {
  const struct {
    const char* word;
    bool exact;
    bool problem;
  } cases[] = {{"rfc2217://10.0.0.5:4001", true, false},
               {"tcp://[::1]:4001", true, false},
               {"tcp://gw", false, true},
               {"rfc2217://gw:99999", false, true},
               {"COM3", true, false}};
  for (const auto& c : cases) {
    EXPECT_EQ(port_word_exact(c.word), c.exact) << c.word;
    EXPECT_EQ(!port_url_problem(c.word).empty(), c.problem) << c.word;
    if (c.exact && std::string(c.word).find("://") != std::string::npos) {
      EXPECT_EQ(port_argument(c.word).path, c.word) << "opened and shown as given";
      EXPECT_FALSE(port_argument(c.word).unknown_word);
    }
  }
}

// A lookup that returns, and two that hang (a resolver waiting on a dead name server) until a
// deadline or a stop ends the wait. One that hangs is left to finish alone afterwards, into
// state it still shares.
TEST(NetLookup, TheWaitEndsWhenTheLookupReturnsAtTheDeadlineOrAtAStop) {
  enum class Hang { NO, PAST_DEADLINE, UNTIL_STOPPED };
  const struct {
    const char* what;
    Hang hang;
    NetConnect result;
  } cases[] = {{"returns", Hang::NO, NetConnect::OK},
               {"hangs past the deadline", Hang::PAST_DEADLINE, NetConnect::TIMED_OUT},
               {"hangs until a stop", Hang::UNTIL_STOPPED, NetConnect::STOPPED}};
  for (const auto& c : cases) {
    struct Shared {
      std::promise<void> release;
      std::shared_future<void> released = release.get_future().share();
      std::promise<int> answer;
    };
    auto shared = std::make_shared<Shared>();
    std::future<int> answered = shared->answer.get_future();
    if (c.hang == Hang::NO) shared->release.set_value();
    // Each look at the clock finds 20 ms gone.
    uint64_t clock_ms = 0;
    const auto now_ms = [&clock_ms] { return clock_ms += 20; };
    std::thread stopper;
    if (c.hang == Hang::UNTIL_STOPPED) {
      stopper = std::thread([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        port_request_stop();
      });
    }
    const auto began = std::chrono::steady_clock::now();
    // The lookup's own bound only keeps a faulty wait from hanging the test.
    const NetConnect result = net_lookup_wait(
        [shared] {
          (void)shared->released.wait_for(std::chrono::seconds(10));
          shared->answer.set_value(42);
        },
        now_ms, c.hang == Hang::PAST_DEADLINE ? 100 : UINT64_MAX);
    const auto took = std::chrono::steady_clock::now() - began;
    const bool answered_before = answered.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    if (stopper.joinable()) stopper.join();
    port_stop_clear();
    EXPECT_EQ(result, c.result) << c.what;
    if (c.hang != Hang::NO) {
      EXPECT_FALSE(answered_before) << c.what << ": the wait held on until the lookup returned";
      EXPECT_LT(took, std::chrono::seconds(2)) << c.what;
      shared->release.set_value();
    }
    ASSERT_EQ(answered.wait_for(std::chrono::seconds(10)), std::future_status::ready) << c.what;
    EXPECT_EQ(answered.get(), 42) << c.what;
  }
}

// What a network serial server in Telnet com-port mode sends first: it will suppress
// go-ahead and echo, wants no echo from us, wants binary from us and the com-port option.
const Bytes SERVER_GREETING = {IAC, WILL, OPT_SGA, IAC, WILL, 1, IAC, DONT, 1, IAC, DO, OPT_BINARY,
                               IAC, DO, OPT_COM_PORT};

// Feeds bytes one call per byte: every split point of every command is crossed.
void feed_split(TelnetSession& t, const Bytes& bytes, Bytes& data, Bytes& reply) {
  for (const uint8_t b : bytes) t.receive(&b, 1, data, reply);
}

TEST(Telnet, NegotiatesBinaryAndComPortWithAServerOfItsOwnMind) {
  TelnetSession t;
  EXPECT_EQ(t.start(), (Bytes{IAC, WILL, OPT_BINARY, IAC, DO, OPT_BINARY, IAC, WILL, OPT_COM_PORT}));
  Bytes data;
  Bytes reply;
  feed_split(t, SERVER_GREETING, data, reply);
  EXPECT_TRUE(data.empty());
  // Go-ahead suppression accepted, echo refused; what we asked for needs no answer.
  EXPECT_EQ(reply, (Bytes{IAC, DO, OPT_SGA, IAC, DONT, 1}));
  EXPECT_FALSE(t.ready()) << "the server has not yet said it sends binary";
  reply.clear();
  feed_split(t, {IAC, WILL, OPT_BINARY, IAC, WILL, OPT_BINARY, IAC, DO, OPT_COM_PORT}, data, reply);
  EXPECT_TRUE(t.ready());
  EXPECT_TRUE(reply.empty()) << "repeats of agreed options are not answered: no loop";
  EXPECT_FALSE(t.refused());
}

TEST(Telnet, ARefusalOfBinaryOrComPortIsFinal) {
  const Bytes refusals[] = {{IAC, WONT, OPT_BINARY}, {IAC, DONT, OPT_BINARY}, {IAC, DONT, OPT_COM_PORT}};
  for (const Bytes& refusal : refusals) {
    TelnetSession t;
    (void)t.start();
    Bytes data;
    Bytes reply;
    feed_split(t, refusal, data, reply);
    EXPECT_TRUE(t.refused()) << int{refusal[1]} << " " << int{refusal[2]};
    EXPECT_FALSE(t.ready());
  }
}

TEST(Telnet, DataKeepsEveryByteValueAndCommandsAreTakenOut) {
  TelnetSession t;
  (void)t.start();
  Bytes data;
  Bytes reply;
  // 0xFF doubled, a NOP, a line-state notice and a baud answer whose value holds a doubled
  // 0xFF, among the device's bytes.
  const Bytes wire = {'a', IAC, IAC, 'b', IAC, 241, 0x00, IAC, SB, OPT_COM_PORT, 106, 0x60, IAC, SE, 'c',
                      IAC, SB, OPT_COM_PORT, 101, 0x00, 0x00, IAC, IAC, 0x10, IAC, SE, 0x0D, 0x0A};
  feed_split(t, wire, data, reply);
  EXPECT_EQ(data, (Bytes{'a', 0xFF, 'b', 0x00, 'c', 0x0D, 0x0A}));
  EXPECT_TRUE(reply.empty());
  EXPECT_EQ(t.answers(ComCommand::SET_BAUDRATE), 1u);
  EXPECT_EQ(t.answer(ComCommand::SET_BAUDRATE), (Bytes{0x00, 0x00, 0xFF, 0x10}));
  // The same in one piece gives the same.
  TelnetSession whole;
  (void)whole.start();
  Bytes data2;
  whole.receive(wire.data(), wire.size(), data2, reply);
  EXPECT_EQ(data2, data);
}

TEST(Telnet, OutgoingBytesAreEscaped) {
  Bytes out;
  const Bytes raw = {0x01, 0xFF, 0xFF, 0x02};
  TelnetSession::escape(raw.data(), raw.size(), out);
  EXPECT_EQ(out, (Bytes{0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0x02}));
  EXPECT_EQ(TelnetSession::command(ComCommand::SET_BAUDRATE, TelnetSession::baud_value(115200)),
            (Bytes{IAC, SB, OPT_COM_PORT, 1, 0x00, 0x01, 0xC2, 0x00, IAC, SE}));
  EXPECT_EQ(TelnetSession::command(ComCommand::SET_BAUDRATE, TelnetSession::baud_value(0x00FF0000)),
            (Bytes{IAC, SB, OPT_COM_PORT, 1, 0x00, 0xFF, 0xFF, 0x00, 0x00, IAC, SE}));
}

// The far end of an in-memory connection, on a virtual clock.
struct FakeServer {
  uint64_t now_us = 1000000;
  Bytes from_client;
  std::deque<uint8_t> to_client;
  NetConnect connect_result = NetConnect::OK;
  bool gone = false;            // the server closed the connection
  bool binary = true;           // agrees to send binary when asked
  bool confirm = true;          // answers com-port commands
  uint32_t baud_answer = 0;     // nonzero: answers every speed with this one
  uint8_t parity = 0, datasize = 0, stopsize = 0;
  uint32_t baud = 0;
  int purges = 0;
  Bytes device_data;            // the data bytes the client sent, escapes undone
  std::string turn_away;        // said, and the connection closed, once the client has spoken
  bool flood = false;           // once all else is said, device bytes without end

  void push(const Bytes& bytes) { to_client.insert(to_client.end(), bytes.begin(), bytes.end()); }

  // A small Telnet reader of its own, for the client's side.
  enum { DATA, GOT_IAC, VERB, SUB, SUB_IAC } state = DATA;
  uint8_t verb = 0;
  Bytes sub;
  void take(const Bytes& bytes) {
    for (const uint8_t b : bytes) {
      from_client.push_back(b);
      switch (state) {
        case DATA:
          if (b == IAC) state = GOT_IAC; else device_data.push_back(b);
          break;
        case GOT_IAC:
          if (b == IAC) { device_data.push_back(b); state = DATA; }
          else if (b == SB) { sub.clear(); state = SUB; }
          else { verb = b; state = VERB; }
          break;
        case VERB:
          if (verb == DO && b == OPT_BINARY) push({IAC, binary ? WILL : WONT, OPT_BINARY});
          state = DATA;
          break;
        case SUB:
          if (b == IAC) state = SUB_IAC; else sub.push_back(b);
          break;
        case SUB_IAC:
          if (b == SE) { command(); state = DATA; } else { sub.push_back(b); state = SUB; }
          break;
      }
    }
    if (!turn_away.empty()) {
      push(Bytes(turn_away.begin(), turn_away.end()));
      turn_away.clear();
      gone = true;
    }
  }
  void command() {
    if (sub.size() < 3 || sub[0] != OPT_COM_PORT) return;
    Bytes value(sub.begin() + 2, sub.end());
    switch (sub[1]) {
      case 1:
        baud = uint32_t{value[0]} << 24 | uint32_t{value[1]} << 16 | uint32_t{value[2]} << 8 | value[3];
        if (baud_answer != 0) value = TelnetSession::baud_value(baud_answer);
        break;
      case 2: datasize = value[0]; break;
      case 3: parity = value[0]; break;
      case 4: stopsize = value[0]; break;
      case 12: ++purges; break;
      default: break;
    }
    if (!confirm) return;
    Bytes answer{IAC, SB, OPT_COM_PORT, static_cast<uint8_t>(sub[1] + COM_SERVER_OFFSET)};
    TelnetSession::escape(value.data(), value.size(), answer);
    answer.insert(answer.end(), {IAC, SE});
    push(answer);
  }
};

struct FakeSocket final : NetSocket {
  FakeServer& s;
  explicit FakeSocket(FakeServer& server) : s(server) {}
  NetConnect connect(const std::string&, uint16_t, uint64_t, std::string&) override {
    if (s.connect_result == NetConnect::OK) s.push(SERVER_GREETING);
    return s.connect_result;
  }
  NetIo send(const uint8_t* data, size_t count, uint64_t, size_t& sent) override {
    sent = 0;
    if (s.gone) return NetIo::CLOSED;
    s.take(Bytes(data, data + count));
    sent = count;
    return NetIo::OK;
  }
  NetIo receive(uint8_t* buffer, size_t count, uint64_t deadline_ms, size_t& got) override {
    got = 0;
    while (got < count && !s.to_client.empty()) {
      buffer[got++] = s.to_client.front();
      s.to_client.pop_front();
    }
    if (got > 0) return NetIo::OK;
    if (s.gone) return NetIo::CLOSED;
    if (s.flood) {
      std::fill_n(buffer, count, uint8_t{'x'});
      got = count;
      s.now_us += 1;  // faster than any reader
      return NetIo::OK;
    }
    s.now_us = std::max(s.now_us, deadline_ms * 1000);  // the wait passes
    return NetIo::TIMEOUT;
  }
  void close() override {}
  uint64_t now_us() override { return s.now_us; }
  void sleep_until_us(uint64_t deadline_us) override { s.now_us = std::max(s.now_us, deadline_us); }
};

struct NetBench {
  FakeServer server;
  std::unique_ptr<PortBackend> backend = port_backend_network(std::make_unique<FakeSocket>(server));
  SerialPort port{backend.get()};
  OpenFailure failure;
  bool open(const std::string& url) { return port_open(port, PortName(url), BAUD_APPLICATION, &failure); }
  uint64_t now_ms() const { return server.now_us / 1000; }
};

TEST(NetPort, OpenConfiguresTheServersLineAndWaitsForEachConfirmation) {
  NetBench b;
  ASSERT_TRUE(b.open("rfc2217://gw:4001")) << b.failure.reason;
  EXPECT_EQ(b.server.baud, 19200u);
  EXPECT_EQ(b.server.datasize, 8);
  EXPECT_EQ(b.server.parity, COM_PARITY_NONE);
  EXPECT_EQ(b.server.stopsize, COM_STOPSIZE_ONE);
  EXPECT_TRUE(port_speed_changeable(b.port));
  // No modem line is set or asked for (SET-CONTROL is command 5).
  const Bytes set_control = {IAC, SB, OPT_COM_PORT, 5};
  EXPECT_EQ(std::search(b.server.from_client.begin(), b.server.from_client.end(), set_control.begin(),
                        set_control.end()),
            b.server.from_client.end());
  ASSERT_TRUE(port_set_baud(b.port, BAUD_BOOTLOADER));
  EXPECT_EQ(b.server.baud, 115200u);
}

TEST(NetPort, DataBytesCrossUnchangedBothWays) {
  NetBench b;
  ASSERT_TRUE(b.open("rfc2217://gw:4001"));
  const Bytes packet = {0x03, 0xFF, 0x24, 0xFF};
  ASSERT_EQ(port_write(b.port, packet.data(), 4), 4);
  EXPECT_EQ(b.server.device_data, packet);
  b.server.push({0x06, IAC, IAC, 0x15});
  uint8_t got[8] = {};
  ASSERT_EQ(port_read(b.port, got, 3), 3);
  EXPECT_EQ(Bytes(got, got + 3), (Bytes{0x06, 0xFF, 0x15}));
}

TEST(NetPort, AWriteTakesTheLineTimeOfALongPacket) {
  NetBench b;
  ASSERT_TRUE(b.open("rfc2217://gw:4001"));
  const Bytes record(240, 0x55);  // 125 ms at 19200
  const uint64_t before = b.server.now_us;
  ASSERT_EQ(port_write(b.port, record.data(), 240), 240);
  EXPECT_EQ(b.server.now_us - before, net_line_time_us(240, 19200));
  EXPECT_EQ(net_line_time_us(240, 19200), 125000u);
}

TEST(NetPort, ARawPortKeepsItsSpeedAndSaysSo) {
  NetBench b;
  ASSERT_TRUE(b.open("tcp://gw:4001"));
  EXPECT_FALSE(port_speed_changeable(b.port));
  EXPECT_TRUE(port_set_baud(b.port, BAUD_APPLICATION)) << "the speed it has";
  const Bytes ff = {0xFF};
  ASSERT_EQ(port_write(b.port, ff.data(), 1), 1);
  EXPECT_EQ(b.server.from_client, ff) << "raw: no Telnet at all, no doubling";
  EXPECT_FALSE(port_set_baud(b.port, BAUD_BOOTLOADER));
  EXPECT_FALSE(b.backend->has_handle()) << "a failed change closes the port, as a serial port's does";
}

TEST(NetPort, OpenFailsWithAReasonAndWithinItsTime) {
  const struct {
    const char* what;
    std::function<void(FakeServer&)> setup;
    const char* reason;
  } cases[] = {
      {"refused", [](FakeServer& s) { s.connect_result = NetConnect::REFUSED; }, "refused"},
      {"no name", [](FakeServer& s) { s.connect_result = NetConnect::NO_NAME; }, "not known"},
      {"no binary", [](FakeServer& s) { s.binary = false; }, "RFC 2217"},
      {"silent server", [](FakeServer& s) { s.confirm = false; }, "did not confirm"},
      {"other speed", [](FakeServer& s) { s.baud_answer = 9600; }, "did not confirm 19200 baud"},
      {"server gone", [](FakeServer& s) { s.gone = true; }, "closed the connection"},
      {"port taken", [](FakeServer& s) { s.turn_away = "\r\nPort already in use\r\n"; },
       "the server closed the connection saying \"Port already in use\""},
  };
  for (const auto& c : cases) {
    NetBench b;
    c.setup(b.server);
    const uint64_t start = b.now_ms();
    EXPECT_FALSE(b.open("rfc2217://gw:4001")) << c.what;
    EXPECT_NE(b.failure.reason.find(c.reason), std::string::npos) << c.what << ": " << b.failure.reason;
    EXPECT_EQ(b.failure.path, "rfc2217://gw:4001");
    EXPECT_FALSE(b.backend->has_handle()) << c.what;
    EXPECT_LE(b.now_ms() - start, uint64_t{NET_CONNECT_WAIT_MS} + 4 * NET_ANSWER_WAIT_MS) << c.what;
  }
}

TEST(NetPort, AVanishedServerReadsAsSilenceAndRefusesWrites) {
  NetBench b;
  ASSERT_TRUE(b.open("rfc2217://gw:4001"));
  b.server.gone = true;
  uint8_t byte = 0;
  const uint64_t start = b.now_ms();
  EXPECT_EQ(port_read(b.port, &byte, 1), 0);
  EXPECT_EQ(b.now_ms() - start, PORT_IO_WAIT_MS) << "waits out the read's time: no caller spins";
  EXPECT_EQ(port_write(b.port, &byte, 1), 0);
  EXPECT_FALSE(port_set_baud(b.port, BAUD_BOOTLOADER));
}

TEST(NetPort, DrainPurgesTheServersBufferAndReadsOutWhatCame) {
  NetBench b;
  ASSERT_TRUE(b.open("rfc2217://gw:4001"));
  b.server.push({'x', 'y', 'z'});
  port_drain(b.port);
  EXPECT_EQ(b.server.purges, 1);
  EXPECT_EQ(port_available(b.port), 0);
}

// A server that floods the connection: what is held stays bounded, the drain and every read
// end, and an RFC 2217 server's answers among the flood are still heard.
TEST(NetPort, AFloodingServerCannotHoldTheRunOrItsMemory) {
  for (const char* url : {"tcp://gw:4001", "rfc2217://gw:4001"}) {
    SCOPED_TRACE(url);
    NetBench b;
    ASSERT_TRUE(b.open(url)) << b.failure.reason;
    b.server.flood = true;
    const int32_t held = port_available(b.port);
    EXPECT_GT(held, 0);
    EXPECT_LE(held, 64 * 1024);
    port_drain(b.port);
    uint8_t buffer[16];
    const uint64_t began = b.now_ms();
    EXPECT_EQ(port_read(b.port, buffer, sizeof buffer), 16);
    EXPECT_LE(b.now_ms() - began, uint64_t{PORT_IO_WAIT_MS});
    if (std::string(url).rfind("rfc2217", 0) == 0) {
      EXPECT_TRUE(port_set_baud(b.port, BAUD_BOOTLOADER));
      EXPECT_EQ(b.server.baud, 115200u);
    }
  }
}

TEST(NetPort, AStopEndsTheWaitsAndOpensNothing) {
  NetBench b;
  ASSERT_TRUE(b.open("rfc2217://gw:4001"));
  port_request_stop();
  uint8_t byte = 0;
  const uint64_t start = b.now_ms();
  EXPECT_EQ(port_read(b.port, &byte, 1), 0);
  EXPECT_EQ(b.now_ms(), start) << "no wait after a stop";
  EXPECT_EQ(port_write(b.port, &byte, 1), 0);
  NetBench other;
  EXPECT_FALSE(other.open("rfc2217://gw:4002"));
  port_stop_clear();
}

}  // namespace
