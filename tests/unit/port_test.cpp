// The generic port operations on the in-memory line: limits are checked to the millisecond.
#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <vector>
#include <string>

#include "memline.h"
#include "serial/port.h"
#include "serial/stop.h"

using namespace korvo;

namespace {

// A line and its port, opened at 19200 unless asked otherwise.
struct Line {
  VirtualClock clock;
  MemLine line{clock};
  SerialPort port{&line};

  explicit Line(bool open = true) {
    if (open) {
      EXPECT_EQ(port_open(port, 1, BAUD_APPLICATION), 1);
    }
  }
};

// Counts clock reads, and forces time on after very many so that a spinning loop ends and
// fails the test instead of hanging it.
struct CountingClock : VirtualClock {
  int reads = 0;
  uint32_t now_ms() override {
    if (++reads > 10000) now += 1000;
    return VirtualClock::now_ms();
  }
};

// A device that keeps talking: each read lets one more byte in, for a while.
struct ChattyLine : MemLine {
  using MemLine::MemLine;
  VirtualClock* clock = nullptr;
  int extra = 0;
  int32_t read(uint8_t* buffer, int32_t count) override {
    if (extra > 0) {
      --extra;
      device_send(std::string("z"), clock->now);
    }
    return MemLine::read(buffer, count);
  }
};

TEST(PortReadTimed, CountZeroReadsNothing) {
  Line l;
  l.line.device_send(std::string("abc"), 0);
  const int calls = l.line.platform_calls;
  std::array<uint8_t, 4> buf{};
  EXPECT_EQ(port_read_timed(l.port, l.clock, buf.data(), 0, 500), 0);
  EXPECT_EQ(l.line.platform_calls, calls);
  EXPECT_EQ(l.clock.now, 0u);
  EXPECT_EQ(l.line.pending(), 3u);
}

TEST(PortReadTimed, LimitZeroStillMakesOneRead) {
  Line l;
  l.line.device_send(std::string("ab"), 0);
  const int calls = l.line.platform_calls;
  std::array<uint8_t, 5> buf{};
  EXPECT_EQ(port_read_timed(l.port, l.clock, buf.data(), 5, 0), 2);
  EXPECT_EQ(buf[0], 'a');
  EXPECT_EQ(buf[1], 'b');
  EXPECT_EQ(l.line.platform_calls, calls + 1);
}

TEST(PortReadTimed, SilentLineWaitsOutTheReadNotJustTheLimit) {
  Line l;
  std::array<uint8_t, 5> buf{};
  EXPECT_EQ(port_read_timed(l.port, l.clock, buf.data(), 5, 500), 0);
  EXPECT_EQ(l.clock.now, PORT_IO_WAIT_MS);
}

TEST(PortReadTimed, PartialAnswerEndsAtTheReadUnderWay) {
  Line l;
  l.line.device_send(std::string("123"), 0);
  std::array<uint8_t, 5> buf{};
  EXPECT_EQ(port_read_timed(l.port, l.clock, buf.data(), 5, 500), 3);
  EXPECT_EQ(std::string(buf.begin(), buf.begin() + 3), "123");
  // 10 ms interval after the third byte, then one silent read of 2000 ms.
  EXPECT_EQ(l.clock.now, PORT_READ_INTERVAL_MS + PORT_IO_WAIT_MS);
}

TEST(PortReadTimed, BytesAcrossSeveralReadsAreJoined) {
  Line l;
  l.line.device_send(std::string("ab"), 0);
  l.line.device_send(std::string("cd"), 1500);
  std::array<uint8_t, 4> buf{};
  EXPECT_EQ(port_read_timed(l.port, l.clock, buf.data(), 4, 2000), 4);
  EXPECT_EQ(std::string(buf.begin(), buf.end()), "abcd");
}

TEST(PortReadTimed, ElapsedEqualToTheLimitIsNotExpired) {
  // A silent read takes exactly 2000 ms: with a 2000 ms limit a second read follows.
  Line equal;
  std::array<uint8_t, 1> buf{};
  EXPECT_EQ(port_read_timed(equal.port, equal.clock, buf.data(), 1, 2000), 0);
  EXPECT_EQ(equal.clock.now, 2 * PORT_IO_WAIT_MS);

  Line one_less;
  EXPECT_EQ(port_read_timed(one_less.port, one_less.clock, buf.data(), 1, 1999), 0);
  EXPECT_EQ(one_less.clock.now, PORT_IO_WAIT_MS);

  VirtualClock clock;
  clock.now = 100;
  EXPECT_FALSE(clock_expired(clock, 50, 50));
  clock.now = 101;
  EXPECT_TRUE(clock_expired(clock, 50, 50));
  // Across the 32-bit wrap of the millisecond count.
  clock.now = 0x1'0000'0005;
  EXPECT_FALSE(clock_expired(clock, 0xFFFF'FFFBu, 10));
  clock.now = 0x1'0000'0006;
  EXPECT_TRUE(clock_expired(clock, 0xFFFF'FFFBu, 10));
}

TEST(PortClosed, NoPlatformCallAndZeroResults) {
  Line l(false);
  std::array<uint8_t, 4> buf{1, 2, 3, 4};
  EXPECT_EQ(port_write(l.port, buf.data(), 4), 0);
  EXPECT_EQ(port_read(l.port, buf.data(), 4), 0);
  EXPECT_EQ(port_available(l.port), 0);
  EXPECT_EQ(port_set_baud(l.port, BAUD_BOOTLOADER), 0);
  port_drain(l.port);
  port_close(l.port);
  EXPECT_EQ(l.line.platform_calls, 0);
  EXPECT_FALSE(l.port.backend->has_handle());
}

TEST(PortClosed, TimedReadSleepsOutItsLimitWithoutSpinning) {
  CountingClock clock;
  MemLine line(clock);
  SerialPort port{&line};
  std::array<uint8_t, 4> buf{};
  EXPECT_EQ(port_read_timed(port, clock, buf.data(), 4, 500), 0);
  EXPECT_GT(clock.now, 500u);
  EXPECT_LT(clock.reads, 10);
  EXPECT_EQ(line.platform_calls, 0);
}

// After a stop every read of a real port fails at once: a timed read must end with it rather
// than go round until its limit.
TEST(PortStop, TimedReadEndsWithTheFirstFailedReadWithoutSpinning) {
  struct StoppedLine : MemLine {
    using MemLine::MemLine;
    int reads = 0;
    int32_t read(uint8_t*, int32_t) override {
      ++reads;
      return 0;
    }
  };
  CountingClock clock;
  StoppedLine line(clock);
  SerialPort port{&line};
  ASSERT_TRUE(port_open(port, 1, BAUD_APPLICATION));
  line.device_send(std::string("ab"), 0);
  std::array<uint8_t, 4> buf{};
  port_request_stop();
  EXPECT_TRUE(port_stop_requested());
  EXPECT_EQ(port_read_timed(port, clock, buf.data(), 4, 10000), 0);
  EXPECT_EQ(line.reads, 1);
  EXPECT_LT(clock.reads, 10);
  EXPECT_EQ(port_available(port), 2) << "what is waiting can still be counted";
  // Bytes a stopped write left queued must not go out at another speed: no change, closed.
  EXPECT_FALSE(port_set_baud(port, BAUD_BOOTLOADER));
  EXPECT_FALSE(line.has_handle());
  port_stop_clear();
  EXPECT_FALSE(port_stop_requested());
}

TEST(PortOpen, MissingDeviceLeavesTheRecordReusable) {
  Line l(false);
  l.line.exists = false;
  EXPECT_EQ(port_open(l.port, 3, BAUD_APPLICATION), 0);
  EXPECT_FALSE(l.port.backend->has_handle());
  EXPECT_FALSE(l.line.has_handle());
  l.line.exists = true;
  EXPECT_EQ(port_open(l.port, 4, BAUD_APPLICATION), 1);
  EXPECT_EQ(l.line.baud(), BAUD_APPLICATION);
}

TEST(PortSetBaud, FailureClosesOnceAndForAll) {
  Line l;
  EXPECT_EQ(port_set_baud(l.port, BAUD_BOOTLOADER), 1);
  EXPECT_EQ(l.line.baud(), BAUD_BOOTLOADER);

  l.line.refuse_baud = true;
  EXPECT_EQ(port_set_baud(l.port, BAUD_APPLICATION), 0);
  EXPECT_FALSE(l.port.backend->has_handle());
  EXPECT_EQ(l.line.closes, 1);
  const int calls = l.line.platform_calls;
  const uint8_t byte = 0x55;
  EXPECT_EQ(port_write(l.port, &byte, 1), 0);
  port_close(l.port);
  EXPECT_EQ(l.line.closes, 1);  // nothing released a second time
  EXPECT_EQ(l.line.platform_calls, calls);
}

TEST(PortDrain, ReadsUntilAQueryFindsTheQueueEmpty) {
  VirtualClock clock;
  ChattyLine line(clock);
  line.clock = &clock;
  SerialPort port{&line};
  ASSERT_EQ(port_open(port, 1, BAUD_APPLICATION), 1);
  line.device_send(std::string("xy"), 0);
  line.extra = 5;  // five more bytes arrive while draining
  port_drain(port);
  EXPECT_EQ(line.pending(), 0u);
  EXPECT_EQ(line.extra, 0);
  EXPECT_EQ(clock.now, 0u);  // never waited on an empty line
}

TEST(PortDrain, UnpluggedLineDoesNotLoop) {
  Line l;
  l.line.device_send(std::string("xyz"), 0);
  l.line.unplugged = true;  // reports waiting bytes, but reads give nothing
  port_drain(l.port);
  EXPECT_LE(l.clock.now, PORT_IO_WAIT_MS);
}

}  // namespace

// The adapter's latency timer as the system keeps it: sysfs text with its newline, a registry
// number given as decimal text; anything else is no timer.
TEST(AdapterLatency, ReadFromSysfsOrRegistryValues) {
  const struct {
    const char* name;
    const char* value;  // nullptr: absent
    std::optional<uint32_t> timer;
  } cases[] = {{"latency_timer", "16\n", 16u},  {"LatencyTimer", "1", 1u},     {"latency_timer", "2", 2u},
               {"LatencyTimer", nullptr, std::nullopt}, {"latency_timer", "", std::nullopt},
               {"latency_timer", "x16", std::nullopt},  {"latency_timer", "16 ms", std::nullopt},
               {"LatencyTimer", "256", std::nullopt},   {"serial", "16", std::nullopt}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + "=" + (c.value != nullptr ? c.value : "(none)"));
    std::vector<std::string> asked;
    const DeviceValues store = [&](const std::string& name) -> std::optional<std::string> {
      asked.push_back(name);
      if (c.value == nullptr || name != c.name) return std::nullopt;
      return std::string(c.value);
    };
    EXPECT_EQ(adapter_latency_timer(store), c.timer);
    EXPECT_FALSE(asked.empty());
  }
  PortListing port;
  port.name = "USB Serial Port (COM12)";
  port.usb_id = "0403:6001";
  port.serial = "A50285BI";
  port.driver = "FTSER2K";
  port.latency_timer_ms = 16;
  EXPECT_EQ(port_listing_details(port),
            "USB Serial Port (COM12), usb 0403:6001, serial A50285BI, driver FTSER2K, latency timer 16 ms");
  port.serial.clear();
  port.latency_timer_ms.reset();
  EXPECT_EQ(port_listing_details(port), "USB Serial Port (COM12), usb 0403:6001, driver FTSER2K");
}
