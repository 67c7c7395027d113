// The simulated device on a real pseudo-terminal: served in-process, and as korvo-devsim
// with a command run against it.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "devmodel.h"
#include "devserve.h"
#include "devsim_harness_posix.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The host's end of the line, opened like a serial port.
struct HostEnd {
  int fd = -1;
  explicit HostEnd(const std::string& path) { fd = ::open(path.c_str(), O_RDWR | O_NOCTTY); }
  ~HostEnd() {
    if (fd >= 0) ::close(fd);
  }
  bool speed(speed_t s) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0) return false;
    ::cfmakeraw(&t);
    ::cfsetispeed(&t, s);
    ::cfsetospeed(&t, s);
    return ::tcsetattr(fd, TCSANOW, &t) == 0;
  }
  bool send(const Bytes& bytes) { return ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()); }
  bool send(const std::string& s) { return send(Bytes(s.begin(), s.end())); }
  // Up to count bytes, waiting at most wait_ms for each.
  Bytes receive(size_t count, int wait_ms = 2000) {
    Bytes got;
    while (got.size() < count) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, wait_ms) <= 0) break;
      uint8_t buffer[256];
      const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, count - got.size()));
      if (n <= 0) break;
      got.insert(got.end(), buffer, buffer + n);
    }
    return got;
  }
};

std::string as_text(const Bytes& b) { return std::string(b.begin(), b.end()); }

TEST(DevsimPty, HostTalksToTheDeviceOverARealPty) {
  DevServerThread runner;
  DevConfig config;
  config.identity.name = "Pty";
  ASSERT_EQ(devserver_start(runner, config), 0);
  const std::string report = "^=V \"Pty\" 1.13,68,6,0$";
  {
    HostEnd host(runner.server.path);
    ASSERT_GE(host.fd, 0);
    ASSERT_TRUE(host.speed(B19200));
    ASSERT_TRUE(host.send("^V$"));
    EXPECT_EQ(as_text(host.receive(report.size())), report);
  }
  // The host closed the port; opened again, the line still answers.
  HostEnd host(runner.server.path);
  ASSERT_TRUE(host.speed(B19200));
  ASSERT_TRUE(host.send("^V$"));
  EXPECT_EQ(as_text(host.receive(report.size())), report);
  // At 115200 the application hears garbage.
  ASSERT_TRUE(host.speed(B115200));
  ASSERT_TRUE(host.send("^V$"));
  EXPECT_TRUE(host.receive(1, 300).empty());
  // Into the bootloader and its information query.
  ASSERT_TRUE(host.speed(B19200));
  ASSERT_TRUE(host.send("^BOOTL$^BOOTL$^BOOTL$"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_TRUE(host.speed(B115200));
  for (int i = 0; i < 256; ++i) ASSERT_TRUE(host.send(Bytes{0}));
  ASSERT_TRUE(host.send(Bytes{0x03, '&', '&'}));
  const Bytes reply = host.receive(1 + 2 + 64);
  ASSERT_EQ(reply.size(), 67u);
  EXPECT_EQ(reply[0], 0xCC);
  EXPECT_EQ(reply[1], 66);
  EXPECT_EQ(std::string(reply.begin() + 3 + 32, reply.begin() + 3 + 35), "Pty");
  devserver_stop(runner);

  const DevLog& log = runner.server.model.log;
  EXPECT_EQ(log.commands, (std::vector<std::string>{"V", "V", "BOOTL", "sync", "&"}));
  ASSERT_EQ(log.violations.size(), 1u);
  EXPECT_EQ(log.violations[0].what, "version query at 115200 baud");
}

uint64_t us_since(std::chrono::steady_clock::time_point start) {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count());
}

TEST(DevsimPty, PacedLineTakesTheWireTimeOfItsBytes) {
  DevServerThread runner;
  DevConfig config;
  config.identity.name = "P";
  config.timing.pacing = true;
  ASSERT_EQ(devserver_start(runner, config), 0);
  const std::string report = "^=V \"P\" 1.13,68,6,0$";
  constexpr int QUERIES = 30;
  {
    HostEnd host(runner.server.path);
    ASSERT_TRUE(host.speed(B19200));
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < QUERIES; ++i) {
      ASSERT_TRUE(host.send("^V$"));
      ASSERT_EQ(as_text(host.receive(report.size())), report);
    }
    // Each exchange is 3 + 20 bytes of 521 us: no reply may come sooner. (Later is the
    // machine's business; the bound only catches gross errors.)
    const uint64_t wire_us = QUERIES * (3 + report.size()) * 521;
    const uint64_t took_us = us_since(start);
    EXPECT_GE(took_us, wire_us);
    EXPECT_LT(took_us, wire_us * 2);
  }
  devserver_stop(runner);
  // The server woke for the query and for the reply's deadline, not for every byte.
  EXPECT_LE(runner.server.wakeups, 4u * QUERIES);
  const DevLineLog& line = runner.server.model.log.line;
  EXPECT_EQ(line.received_bytes, 3u * QUERIES);
  EXPECT_EQ(line.sent_bytes, report.size() * QUERIES);
  EXPECT_EQ(line.sent_us, report.size() * QUERIES * 521);
  const DevLineReport r = devmodel_line_report(line);
  ASSERT_EQ(r.turns.size(), QUERIES - 1u);  // the first query answers nothing
  for (const DevTurn& t : r.turns) EXPECT_GE(t.host_from_us, t.device_done_us);
}

TEST(DevsimPty, LatencyTimerHoldsShortRepliesOnly) {
  DevServerThread runner;
  DevConfig config;
  config.start_side = DEV_BOOT;
  config.timing.latency_timer_ms = 40;
  ASSERT_EQ(devserver_start(runner, config), 0);
  HostEnd host(runner.server.path);
  ASSERT_TRUE(host.speed(B115200));
  // A record with no flash open: the ACK alone, one byte, waits for the timer.
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(host.send(Bytes{0x03, '$', '$'}));
  EXPECT_EQ(host.receive(1), Bytes{0xCC});
  EXPECT_GE(us_since(start), 40000u);
  EXPECT_LT(us_since(start), 80000u);
  // The ACK and the 66-byte BootInfo packet: a full adapter packet leaves at once, the last
  // five bytes wait.
  start = std::chrono::steady_clock::now();
  ASSERT_TRUE(host.send(Bytes{0x03, '&', '&'}));
  EXPECT_EQ(host.receive(DEV_ADAPTER_PACKET_BYTES).size(), DEV_ADAPTER_PACKET_BYTES);
  EXPECT_LT(us_since(start), 30000u);
  EXPECT_EQ(host.receive(5).size(), 5u);
  EXPECT_GE(us_since(start), 40000u);
  devserver_stop(runner);
  // What the adapter held reached the host late, and the line's account says so (the lone
  // ACK, the BootInfo packet's held tail; not the ACK that left in a full packet), but the
  // simulator's own lag leaves the adapter's hold out.
  const DevLineLog& line = runner.server.model.log.line;
  ASSERT_EQ(line.late_us.size(), 3u);
  for (const uint64_t late : line.late_us) EXPECT_LT(late, 30000u);
  std::vector<bool> held;
  for (const DevBusy& span : line.busy) {
    if (!span.host) held.push_back(span.handed_us >= span.to_us + 30000);
  }
  EXPECT_EQ(held, (std::vector<bool>{true, false, true}));
}

// A three-record image and the packets a host sends for it (see the unit tests).
Bytes tiny_image() {
  Bytes img(84, 0);
  img[0] = 107;
  img[8] = 68;
  img[12] = 6;
  img[24] = 3;
  img[28] = 0x10;
  img[33] = 0x20;
  for (uint8_t i = 0; i < 7; ++i) img[44 + i] = static_cast<uint8_t>(i + 1);
  const Bytes records{10, 0, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 5, 0, 0x21, 0x22,
                      0x23, 4, 0, 0x31, 0x32, 0, 0, 0, 0};
  img.insert(img.end(), records.begin(), records.end());
  return img;
}

const std::vector<Bytes> TINY_PACKETS = {
    {0x12, 0x6D, '!', 0, 0, 0x20, 0, 0, 0, 0, 0x10, 1, 2, 3, 4, 5, 6, 7},
    {0x0D, 0xC3, '$', 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x10, 0x01, 0x02},
    {0x08, 0xA3, '$', 0x21, 0x22, 0x13, 0x14, 0x15},
    {0x07, 0x9E, '$', 0x31, 0x22, 0x13, 0x14},
};

// printf(1) escapes for bytes.
std::string octal(const Bytes& bytes) {
  std::string out;
  char e[8];
  for (uint8_t b : bytes) {
    std::snprintf(e, sizeof e, "\\%03o", b);
    out += e;
  }
  return out;
}

struct TempDir {
  std::string path;
  TempDir() {
    char pattern[] = "/tmp/korvo-devsim-XXXXXX";
    path = ::mkdtemp(pattern) ? pattern : "";
  }
  ~TempDir() {
    std::error_code ignored;  // a leftover in /tmp fails no test
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
  std::string write(const std::string& name, const Bytes& bytes) const {
    std::ofstream(path + "/" + name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                             static_cast<std::streamsize>(bytes.size()));
    return path + "/" + name;
  }
};

TEST(DevsimCommand, RunsACommandOnItsPtyAndChecksTheFlash) {
  TempDir dir;
  ASSERT_FALSE(dir.path.empty());
  const std::string image = dir.write("tiny.bin", tiny_image());
  std::string flash;
  for (const Bytes& p : TINY_PACKETS) flash += octal(p);
  const std::string report = "^=V \"Q\" 1.13,68,6,0$";
  const std::string host =
      "stty -F \"$KORVO_COM3\" raw -echo 19200 || exit 9\n"
      "exec 3<>\"$KORVO_COM3\"\n"
      "printf '^V$' >&3\n"
      "timeout 5 head -c " + std::to_string(report.size()) + " <&3; echo\n"
      "printf '^BOOTL$' >&3\n"
      "sleep 0.3\n"
      "stty -F \"$KORVO_COM3\" 115200\n"
      "printf '" + flash + "' >&3\n"
      "timeout 5 head -c 4 <&3 | od -An -tx1\n"
      "exit 7\n";
  const std::string script = dir.write("host.sh", Bytes(host.begin(), host.end()));
  DevsimHarness harness;
  const auto devsim = [&](const std::string& options, const std::string& command) {
    HarnessProgram run;
    run.argv = {"/bin/sh", "-c", "exec \"$0\" --name Q " + options + " -- " + command + " 2>&1",
                std::string(KORVO_BIN_DIR) + "/korvo-devsim", image, script, dir.path + "/timing.txt"};
    run.timeout_ms = 20000;
    return harness.run(run);
  };
  HarnessResult r = devsim("--image \"$1\" --com 3", "/bin/sh \"$2\"");
  EXPECT_EQ(r.exit_status, 7) << r.output;  // the command's own status
  EXPECT_NE(r.output.find(report + "\n"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find(" cc cc cc cc"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("korvo-devsim: flash verified: 3 records match " + image + "\n"), std::string::npos)
      << r.output;
  EXPECT_EQ(r.output.find("line:"), std::string::npos) << r.output;  // the line's account is for --pacing

  // With --exit-status the flash verdict is the status; paced, the line's account comes first.
  r = devsim("--image \"$1\" --com 3 --exit-status --pacing --timing-log \"$3\"", "/bin/sh \"$2\"");
  EXPECT_EQ(r.exit_status, 0) << r.output;
  // The host sent "^V$", "^BOOTL$" and 46 bytes of packets; the device a report and 4 ACKs.
  EXPECT_NE(r.output.find("korvo-devsim: line: sent 24 bytes (0.011 s on the wire), received 56 bytes (0.009 s)\n"
                          "korvo-devsim: line idle: "),
            std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("(exchanges: 1)\nkorvo-devsim: own lag handing bytes over: median "), std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("(chunks: 5)\nkorvo-devsim: pty round trip with nothing to do: median "), std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("(rounds: 200)\nkorvo-devsim: records received"), std::string::npos) << r.output;
  std::ifstream timing(dir.path + "/timing.txt");
  std::string summary, header, turn;
  ASSERT_TRUE(std::getline(timing, summary) && std::getline(timing, header) && std::getline(timing, turn));
  // The wire times to the microsecond: 20 report bytes at 521 us and 4 ACKs at 87 us out, 10
  // message bytes at 521 us and 46 packet bytes at 87 us in.
  EXPECT_TRUE(std::regex_match(summary, std::regex("# summary: sent_us=10768 received_us=9212 host_wait_us=[0-9]+ "
                                                   "device_wait_us=[0-9]+ lag_median_us=[0-9]+ "
                                                   "floor_median_us=[1-9][0-9]* exchanges=1")))
      << summary;
  EXPECT_EQ(header[0], '#');
  EXPECT_TRUE(std::regex_match(turn, std::regex("[0-9]+ [0-9]+ [0-9]+"))) << turn;
  EXPECT_FALSE(std::getline(timing, turn));
  EXPECT_EQ(devsim("--image \"$1\" --exit-status", "/bin/true").exit_status, 1);  // nothing flashed
  EXPECT_EQ(devsim("--exit-status", "/bin/true").exit_status, 1);                 // no image to match
}

TEST(DevsimCommand, HelpVersionAndBadOptions) {
  DevsimHarness harness;
  // Standard error joins standard output; a line of its own gives the status.
  const auto devsim = [&](const std::vector<std::string>& args) {
    HarnessProgram p;
    p.argv = {"/bin/sh", "-c", "\"$0\" \"$@\" 2>&1; echo \"status $?\"",
              std::string(KORVO_BIN_DIR) + "/korvo-devsim"};
    p.argv.insert(p.argv.end(), args.begin(), args.end());
    p.timeout_ms = 20000;
    return harness.run(p).output;
  };
  for (const char* help : {"--help", "-h"}) {
    const std::string h = devsim(std::vector<std::string>{help});
    EXPECT_NE(h.find("Usage: korvo-devsim [options] [-- command [args...]]\n"), std::string::npos) << h;
    EXPECT_NE(h.find("\nstatus 0\n"), std::string::npos) << h;
    for (const char* option :
         {"--status TARGET=BYTE", "--pull-after", "--zero-flood", "--pacing", "--trace", "--image", "--link",
          "--com", "--change-from", "--huge-reply", "--fw-version V"})
      EXPECT_NE(h.find(option), std::string::npos) << option;
  }
  EXPECT_EQ(devsim({"--version"}), "korvo-devsim 1.01\nstatus 0\n");
  // Errors name the word at fault and end with status 2, before any pty is made.
  struct Bad {
    std::vector<std::string> args;
    std::string says;
  };
  for (const Bad& bad :
       {Bad{{"--bogus"}, "--bogus"}, Bad{{"--product", "70000"}, "--product: bad value 70000"},
        Bad{{"--status", "info=D"}, "--status: bad value info=D"}, Bad{{"--name"}, "--name"},
        Bad{{"stray"}, "stray"}, Bad{{"--version", "1.14"}, "--fw-version"}, Bad{{"--com", "3"}, "--com"}}) {
    const std::string out = devsim(bad.args);
    EXPECT_EQ(out.rfind("korvo-devsim: ", 0), 0u) << out;
    EXPECT_NE(out.find(bad.says), std::string::npos) << out;
    EXPECT_NE(out.find("\nstatus 2\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("serving"), std::string::npos) << out;
  }
}

TEST(DevsimCommand, StopsOnSigtermAndReportsAnUnverifiedFlash) {
  TempDir dir;
  ASSERT_FALSE(dir.path.empty());
  const std::string image = dir.write("tiny.bin", tiny_image());
  const std::string link = dir.path + "/com";
  DevsimHarness harness;
  HarnessProgram run;
  // Serve with a link, send it the start command and one record, then stop it.
  run.argv = {"/bin/sh", "-c",
              "\"$0\" --side boot --image \"$1\" --link \"$2\" 2>\"$2.log\" & pid=$!\n"
              "for i in 1 2 3 4 5 6 7 8 9 10; do [ -e \"$2\" ] && break; sleep 0.2; done\n"
              "stty -F \"$2\" raw -echo 115200\n"
              "printf '" + octal(TINY_PACKETS[0]) + octal(TINY_PACKETS[1]) + "' > \"$2\"\n"
              "sleep 0.3; kill -TERM $pid; wait $pid; echo \"status $?\"\n"
              "[ -e \"$2\" ] || echo 'link removed'\n"
              "cat \"$2.log\"\n",
              std::string(KORVO_BIN_DIR) + "/korvo-devsim", image, link};
  run.timeout_ms = 20000;
  const HarnessResult r = harness.run(run);
  EXPECT_EQ(r.exit_status, 0) << r.output;
  EXPECT_NE(r.output.find("status 1\n"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("link removed"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("korvo-devsim: flash NOT verified: 1 records received, 3 expected"),
            std::string::npos)
      << r.output;

  // With a command, a signal sent to korvo-devsim goes on to the command, whose status counts.
  HarnessProgram with_command;
  with_command.argv = {"/bin/sh", "-c",
                       "\"$0\" -- /bin/sleep 30 2>/dev/null & pid=$!\n"
                       "sleep 0.3; kill -TERM $pid; wait $pid; echo \"status $?\"\n",
                       std::string(KORVO_BIN_DIR) + "/korvo-devsim"};
  with_command.timeout_ms = 20000;
  EXPECT_EQ(harness.run(with_command).output, "status 143\n");
}

}  // namespace
