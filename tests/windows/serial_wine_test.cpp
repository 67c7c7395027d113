// The Win32 serial backend on a real COM device under Wine: a pseudo-terminal whose other
// end is played by pty_peer (see its commands there). The tests share one open port and
// run in the order written; the hang-up comes last.
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "serial/port.h"
#include "serial/stop.h"

using namespace korvo;

#ifndef KORVO_WINE_COM
#define KORVO_WINE_COM 7
#endif

namespace {

// Counts the reads that reach the platform, to show how often a caller goes round.
struct CountingBackend final : PortBackend {
  std::unique_ptr<PortBackend> real = port_backend_system();
  int reads = 0;

  bool open(const PortName& name, uint32_t baud, OpenFailure& failure) override {
    return real->open(name, baud, failure);
  }
  bool set_baud(uint32_t baud) override { return real->set_baud(baud); }
  void close() override { real->close(); }
  bool has_handle() const override { return real->has_handle(); }
  int32_t write(const uint8_t* data, int32_t count) override { return real->write(data, count); }
  int32_t read(uint8_t* buffer, int32_t count) override {
    ++reads;
    return real->read(buffer, count);
  }
  int32_t available() override { return real->available(); }
};

struct Line {
  CountingBackend backend;
  SerialPort port{&backend};
};

Line& line() {
  static Line l;
  return l;
}

uint32_t now() { return clock_system().now_ms(); }

bool say_to_peer(const std::string& text) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const auto count = static_cast<int32_t>(text.size());
  return port_write(line().port, bytes, count) == count;
}

std::string read_timed(int32_t count, uint32_t limit_ms) {
  std::string got(static_cast<size_t>(count), '\0');
  const int32_t n =
      port_read_timed(line().port, clock_system(), reinterpret_cast<uint8_t*>(got.data()), count, limit_ms);
  got.resize(static_cast<size_t>(n));
  return got;
}

std::string line_settings() {
  if (!say_to_peer("T")) return "no write";
  std::string got(128, '\0');
  // The report is one short burst: one read collects it.
  const int32_t n = port_read(line().port, reinterpret_cast<uint8_t*>(got.data()), 128);
  got.resize(static_cast<size_t>(n));
  return got;
}

TEST(WineSerial, OpensConfiguresAndCarriesBytesBothWays) {
  SerialPort& port = line().port;
  ASSERT_EQ(port_open(port, KORVO_WINE_COM, BAUD_APPLICATION), 1);
  EXPECT_TRUE(port.backend->has_handle());

  // The device's end started at 9600 baud with 2 stop bits, XON/XOFF and RTS/CTS flow
  // control: speed and flow control change, the framing stays as it was.
  EXPECT_EQ(line_settings(), "19200 cstopb=1 ixon=0 ixoff=0 crtscts=0\n");

  ASSERT_TRUE(say_to_peer(std::string("Ehello") + '\0'));
  EXPECT_EQ(read_timed(5, 1000), "hello");

  ASSERT_EQ(port_set_baud(port, BAUD_BOOTLOADER), 1);
  EXPECT_EQ(line_settings(), "115200 cstopb=1 ixon=0 ixoff=0 crtscts=0\n");
  ASSERT_TRUE(say_to_peer(std::string("E\x01\xff\x80 ok") + '\0'));
  EXPECT_EQ(read_timed(6, 1000), std::string("\x01\xff\x80 ok"));
}

TEST(WineSerial, MissingPortFailsAndLeavesTheRecordReusable) {
  CountingBackend other;
  SerialPort port{&other};
  // Only the scenario's own port exists in the prefix.
  EXPECT_EQ(port_open(port, KORVO_WINE_COM + 1, BAUD_APPLICATION), 0);
  EXPECT_FALSE(port.backend->has_handle());
  EXPECT_FALSE(other.has_handle());
  EXPECT_EQ(port_open(port, 99, BAUD_APPLICATION), 0);
  EXPECT_FALSE(other.has_handle());
  port_close(port);
}

TEST(WineSerial, ReadThatTimesOutIsCancelledAndItsBytesGoToTheNextRead) {
  SerialPort& port = line().port;
  std::array<uint8_t, 8> first;
  first.fill(0xAA);

  const uint32_t start = now();
  EXPECT_EQ(port_read(port, first.data(), 4), 0);
  const uint32_t waited = now() - start;
  EXPECT_GE(waited, PORT_IO_WAIT_MS - 20);
  EXPECT_LT(waited, PORT_IO_WAIT_MS + 1000);

  // The bytes come only after that read has given up. Were it still outstanding, they
  // would land in `first`, which its caller has long stopped looking at.
  ASSERT_TRUE(say_to_peer("S"));
  Sleep(500);
  for (uint8_t b : first) EXPECT_EQ(b, 0xAA);
  EXPECT_EQ(port_available(port), 4);

  std::array<uint8_t, 8> second{};
  ASSERT_EQ(port_read(port, second.data(), 4), 4);
  EXPECT_EQ(std::memcmp(second.data(), "LATE", 4), 0);
  EXPECT_EQ(port_available(port), 0);
}

TEST(WineSerial, ReadReturnsTheBytesThatCameWhenFewerThanAsked) {
  ASSERT_TRUE(say_to_peer("P"));
  std::array<uint8_t, 8> buffer{};
  const uint32_t start = now();
  const int32_t n = port_read(line().port, buffer.data(), 8);
  const uint32_t waited = now() - start;
  ASSERT_EQ(n, 3);
  EXPECT_EQ(std::memcmp(buffer.data(), "abc", 3), 0);
  EXPECT_LT(waited, PORT_IO_WAIT_MS + 1000);
  std::printf("[ info     ] a 3-of-8-byte read took %u ms\n", static_cast<unsigned>(waited));
}

TEST(WineSerial, DrainEmptiesTheInputQueue) {
  SerialPort& port = line().port;
  ASSERT_TRUE(say_to_peer("PP"));
  Sleep(300);
  EXPECT_EQ(port_available(port), 6);
  port_drain(port);
  EXPECT_EQ(port_available(port), 0);
}

TEST(WineSerial, WriteThatTimesOutIsCancelledAndTheNextWriteWorks) {
  SerialPort& port = line().port;
  ASSERT_TRUE(say_to_peer("C"));
  ASSERT_EQ(read_timed(2, 1000), "0\n");
  ASSERT_TRUE(say_to_peer("W"));
  // Far more than the pty holds while nobody reads it; 'x' means nothing to the peer.
  const std::string flood(1 << 20, 'x');
  const uint32_t start = now();
  EXPECT_EQ(port_write(port, reinterpret_cast<const uint8_t*>(flood.data()),
                       static_cast<int32_t>(flood.size())),
            0);
  const uint32_t waited = now() - start;
  EXPECT_GE(waited, PORT_IO_WAIT_MS - 20);
  EXPECT_LT(waited, PORT_IO_WAIT_MS + 1000);

  // The next write starts while the peer is still deaf: it waits its turn behind what did
  // go out and is the only transfer on the record, so its own count comes back.
  ASSERT_TRUE(say_to_peer(std::string("Eback") + '\0'));
  EXPECT_EQ(read_timed(4, 2000), "back");

  // The write was stopped: the rest of it never reaches the device later.
  Sleep(1000);
  ASSERT_TRUE(say_to_peer("C"));
  std::string reply(16, '\0');
  reply.resize(static_cast<size_t>(
      port_read(port, reinterpret_cast<uint8_t*>(reply.data()), static_cast<int32_t>(16))));
  const unsigned long went_out = std::strtoul(reply.c_str(), nullptr, 10);
  EXPECT_GT(went_out, 0u);
  EXPECT_LT(went_out, flood.size());
  std::printf("[ info     ] %lu of %zu bytes went out before the write was stopped\n", went_out,
              flood.size());
}

// A stop from another thread (as the console handler's) ends the read under way at once;
// then nothing is written or opened and the clock does not sleep, until it is taken back.
TEST(WineSerial, AStopEndsTheReadUnderWayAndEveryLaterTransfer) {
  SerialPort& port = line().port;
  std::array<uint8_t, 4> buffer{};
  int32_t got = -1;
  uint32_t ended = 0;
  std::thread reading([&] {
    got = port_read(port, buffer.data(), 4);
    ended = now();
  });
  Sleep(300);
  const uint32_t stopped = now();
  port_request_stop();
  reading.join();
  EXPECT_EQ(got, 0);
  EXPECT_LT(ended - stopped, 300u);

  const uint8_t byte = 'x';
  EXPECT_EQ(port_write(port, &byte, 1), 0);
  CountingBackend other;
  SerialPort late{&other};
  OpenFailure failure;
  EXPECT_FALSE(port_open(late, KORVO_WINE_COM + 1, BAUD_APPLICATION, &failure));
  EXPECT_EQ(failure.error, OpenError::FAILED);
  uint32_t start = now();
  clock_system().sleep_ms(2000);
  EXPECT_EQ(read_timed(4, 3000), "");
  EXPECT_LT(now() - start, 300u);

  port_stop_clear();
  ASSERT_TRUE(say_to_peer(std::string("Eagain") + '\0'));
  EXPECT_EQ(read_timed(5, 1000), "again");
}

// Last: the line is gone afterwards.
TEST(WineSerial, ADeviceThatWentAwayNeverMakesACallerSpin) {
  SerialPort& port = line().port;
  ASSERT_TRUE(say_to_peer("H"));
  Sleep(300);

  std::array<uint8_t, 4> buffer{};
  uint32_t start = now();
  EXPECT_EQ(port_read(port, buffer.data(), 4), 0);
  EXPECT_GE(now() - start, PORT_IO_WAIT_MS - 20);

  // A timed read goes round only once per full read wait, however fast the reads fail.
  const int reads_before = line().backend.reads;
  start = now();
  EXPECT_EQ(port_read_timed(port, clock_system(), buffer.data(), 4, 3000), 0);
  const uint32_t waited = now() - start;
  EXPECT_GT(waited, 3000u);
  EXPECT_LE(line().backend.reads - reads_before, 3);

  EXPECT_EQ(port_available(port), 0);
  const uint8_t byte = 'x';
  start = now();
  EXPECT_EQ(port_write(port, &byte, 1), 0);
  EXPECT_LE(now() - start, PORT_IO_WAIT_MS + 1000);
  port_close(port);
  EXPECT_FALSE(line().backend.has_handle());
}

}  // namespace
