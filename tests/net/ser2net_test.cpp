// The real korvo binary against simulated devices behind a real ser2net: the devices on
// pseudo-terminals, ser2net serving each on a 127.0.0.1 port in RFC 2217 mode (and raw), as an
// installer's gateway would. Skipped (exit 77) where ser2net is not installed.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "devsim_harness_posix.h"

namespace {

const std::string IMAGE = KORVO_SLOT1_IMAGE;
const std::string TEST_BUILD = "korvo: this build carries test images, not device firmware\n";

// KORVO_SER2NET names the one to use (none when it names no program); otherwise the usual
// places.
std::string ser2net_path() {
  if (const char* given = std::getenv("KORVO_SER2NET"); given != nullptr && given[0] != '\0') {
    return ::access(given, X_OK) == 0 ? given : "";
  }
  for (const char* path : {"/usr/sbin/ser2net", "/usr/bin/ser2net", "/usr/local/sbin/ser2net"}) {
    if (::access(path, X_OK) == 0) return path;
  }
  return "";
}

// A port nobody listens on now (the kernel's choice of a free one).
uint16_t free_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  uint16_t port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0) {
    port = ntohs(a.sin_port);
  }
  ::close(fd);
  return port;
}

bool accepts(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

// Waits (in short sleeps) until every port accepts, for at most 5 s.
bool wait_listening(const std::vector<uint16_t>& ports) {
  for (int i = 0; i < 100; ++i) {
    bool all = true;
    for (const uint16_t p : ports) all = all && accepts(p);
    if (all) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

// The child only makes async-signal-safe calls: the simulated devices' threads run meanwhile.
pid_t spawn(const std::vector<std::string>& args, const std::string& log) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (out >= 0) {
    ::dup2(out, STDOUT_FILENO);
    ::dup2(out, STDERR_FILENO);
  }
  ::execv(argv[0], argv.data());
  ::_exit(127);
}

void end(pid_t& pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  for (int i = 0; i < 40; ++i) {
    if (::waitpid(pid, nullptr, WNOHANG) == pid) {
      pid = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ::kill(pid, SIGKILL);
  (void)::waitpid(pid, nullptr, 0);
  pid = -1;
}

struct Accepter {
  std::string device;  // the pty
  bool raw = false;
  uint16_t port = 0;
};

// One ser2net with a connection per accepter, its configuration in a folder of its own.
class Ser2net {
 public:
  Ser2net() {
    char folder[] = "/tmp/korvo-ser2net-XXXXXX";
    if (::mkdtemp(folder) != nullptr) dir_ = folder;
  }
  ~Ser2net() {
    stop();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  bool start(std::vector<Accepter>& accepters) {
    std::ofstream yaml(dir_ + "/ser2net.yaml");
    int n = 0;
    std::vector<uint16_t> ports;
    for (Accepter& a : accepters) {
      if (a.port == 0) a.port = free_port();
      ports.push_back(a.port);
      yaml << "connection: &k" << n++ << "\n"
           << "  accepter: " << (a.raw ? "tcp" : "telnet(rfc2217),tcp") << ",127.0.0.1," << a.port << "\n"
           << "  connector: serialdev," << a.device << ",19200n81,local\n";
    }
    yaml.close();
    pid_ = spawn({ser2net_path(), "-n", "-d", "-P", dir_ + "/pid", "-c", dir_ + "/ser2net.yaml"}, dir_ + "/log");
    return wait_listening(ports);
  }
  void stop() { end(pid_); }
  pid_t pid() const { return pid_; }
  std::string log() const {
    std::ifstream in(dir_ + "/log");
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

 private:
  std::string dir_;
  pid_t pid_ = -1;
};

DevConfig flashing_device() {
  DevConfig device;
  auto image = std::make_shared<DevImage>();
  std::string error;
  EXPECT_EQ(devimage_load(IMAGE, *image, error), 0) << error;
  device.image = image;
  return device;
}

std::string url(const Accepter& a) {
  return std::string(a.raw ? "tcp" : "rfc2217") + "://127.0.0.1:" + std::to_string(a.port);
}

class Ser2netE2E : public ::testing::Test {
 protected:
  DevsimHarness harness;
  Ser2net server;
  std::vector<Accepter> accepters;

  // Devices on COM1..COMn, each behind its own ser2net port (raw where asked).
  void serve(const std::vector<DevConfig>& devices, const std::vector<bool>& raw = {}) {
    for (size_t i = 0; i < devices.size(); ++i) harness.add_device(static_cast<int>(i) + 1, devices[i]);
    ASSERT_TRUE(harness.start()) << harness.error();
    for (size_t i = 0; i < devices.size(); ++i) {
      accepters.push_back(Accepter{harness.path(static_cast<int>(i) + 1), i < raw.size() && raw[i], 0});
    }
    ASSERT_TRUE(server.start(accepters)) << server.log();
  }
  HarnessResult korvo(std::vector<std::string> args, uint32_t timeout_ms = 120000) {
    HarnessProgram p;
    p.argv = {harness_korvo_path()};
    p.argv.insert(p.argv.end(), args.begin(), args.end());
    p.timeout_ms = timeout_ms;
    return harness.run(p);
  }
  int count(int com, const std::string& command) {
    const DevLog log = harness.log(com);
    return static_cast<int>(std::count(log.commands.begin(), log.commands.end(), command));
  }
  // Every byte reached the device at the speed of the side it was meant for: ser2net set the
  // pty's speed as korvo asked.
  void expect_clean_wire(int com) {
    const DevLog log = harness.log(com);
    EXPECT_TRUE(log.violations.empty()) << log.violations.front().what;
  }
};

TEST_F(Ser2netE2E, YesThroughRfc2217Verifies) {
  serve({flashing_device()});
  const std::string at = url(accepters[0]);
  HarnessResult r = korvo({"--check", at});
  EXPECT_EQ(r.exit_status, 100) << r.output << r.errors;
  EXPECT_NE(r.output.find(at + ": Slate Pro, installed 1.13, offered 1.14: update available"), std::string::npos)
      << r.output;
  r = korvo({"--yes", at});
  EXPECT_EQ(r.exit_status, 0) << r.output << r.errors;
  EXPECT_EQ(r.errors, TEST_BUILD + "korvo: " + at +
                          ": verified: the device restarted and runs version 1.14, model Slate Pro, the version "
                          "of this update\n");
  EXPECT_TRUE(harness.verify(1, IMAGE).verified) << harness.verify(1, IMAGE).text;
  EXPECT_EQ(count(1, "$"), 574);
  expect_clean_wire(1);
  // The update record names the port as it was given.
  std::ifstream record(harness.record_path());
  const std::string text((std::istreambuf_iterator<char>(record)), {});
  EXPECT_NE(text.find("\"port\":\"" + at + "\""), std::string::npos) << text;
}

TEST_F(Ser2netE2E, TheQuestionIsAskedAndAnsweredThroughTheServer) {
  serve({flashing_device()});
  HarnessProgram p;
  p.argv = {harness_korvo_path(), url(accepters[0])};
  p.input = "y";
  p.timeout_ms = 120000;
  const HarnessResult r = harness.run(p);
  EXPECT_EQ(r.exit_status, 1) << "the interactive program's status after a change" << r.errors;
  EXPECT_NE(r.output.find("Continue with update to newer version? (Y,N) Y\n"), std::string::npos) << r.output;
  EXPECT_TRUE(harness.verify(1, IMAGE).verified);
  expect_clean_wire(1);
}

TEST_F(Ser2netE2E, FourDevicesBehindFourPortsInOneRun) {
  serve({flashing_device(), flashing_device(), flashing_device(), flashing_device()});
  std::vector<std::string> args = {"--yes", "--no-record"};
  for (const Accepter& a : accepters) args.push_back(url(a));
  const HarnessResult r = korvo(args, 180000);
  EXPECT_EQ(r.exit_status, 0) << r.output << r.errors;
  for (int com = 1; com <= 4; ++com) {
    EXPECT_TRUE(harness.verify(com, IMAGE).verified) << com;
    EXPECT_NE(r.errors.find("korvo: " + url(accepters[static_cast<size_t>(com) - 1]) + ": verified"),
              std::string::npos)
        << r.errors;
    expect_clean_wire(com);
  }
}

TEST_F(Ser2netE2E, NetworkAndSerialPortsInOneRun) {
  // COM2 is reached on its pty directly (ser2net opens a device only for a client).
  serve({flashing_device(), flashing_device()});
  const HarnessResult r = korvo({"--yes", "--no-record", url(accepters[0]), "2"});
  EXPECT_EQ(r.exit_status, 0) << r.output << r.errors;
  EXPECT_NE(r.errors.find("korvo: " + url(accepters[0]) + ": verified"), std::string::npos) << r.errors;
  EXPECT_NE(r.errors.find("korvo: COM2: verified"), std::string::npos) << r.errors;
  for (int com = 1; com <= 2; ++com) {
    EXPECT_TRUE(harness.verify(com, IMAGE).verified) << com;
    expect_clean_wire(com);
  }
}

TEST_F(Ser2netE2E, ARawPortChecksButRefusesTheUpdateBeforeTheBootloader) {
  DevConfig waiting = flashing_device();
  waiting.start_side = DEV_BOOT;
  serve({flashing_device(), waiting}, {true, true});
  const std::string at = url(accepters[0]);
  HarnessResult r = korvo({"--check", at});
  EXPECT_EQ(r.exit_status, 100) << r.output << r.errors;
  // A device waiting in its bootloader cannot be heard at the one speed: no device, and why.
  const std::string waiting_at = url(accepters[1]);
  const HarnessResult unheard = korvo({"--check", waiting_at});
  EXPECT_EQ(unheard.exit_status, 3) << unheard.output << unheard.errors;
  EXPECT_NE(unheard.errors.find("korvo: " + waiting_at + ": nothing answered at 19200 baud; a device waiting in "
                                "its bootloader answers only at 115200 baud"),
            std::string::npos)
      << unheard.errors;
  r = korvo({"--yes", at});
  EXPECT_EQ(r.exit_status, 1) << r.output << r.errors;
  EXPECT_NE(r.errors.find("korvo: " + at + ": the update needs the line switched to 115200 baud for the "
                          "bootloader, and this port's speed is fixed by its server (a raw TCP port); nothing "
                          "was sent to the device; it was left as it was"),
            std::string::npos)
      << r.errors;
  const DevLog log = harness.log(1);
  EXPECT_FALSE(log.bootl) << "the entry command never went out";
  EXPECT_EQ(count(1, "!"), 0);
  expect_clean_wire(1);
}

TEST_F(Ser2netE2E, AFailingDeviceIsReportedNotVerified) {
  DevConfig device = flashing_device();
  device.faults.status[5] = 'D';
  serve({device});
  const std::string at = url(accepters[0]);
  const HarnessResult r = korvo({"--yes", "--retries", "0", at});
  EXPECT_EQ(r.exit_status, 1) << r.output << r.errors;
  EXPECT_EQ(r.errors.find(": verified"), std::string::npos) << r.errors;
  EXPECT_FALSE(harness.verify(1, IMAGE).verified);
  expect_clean_wire(1);
}

// ser2net killed mid-update, then either gone for good or started again on the same port at
// once (a restarted server, a rebooted gateway): unattended, the retry connects to it again.
struct Vanish {
  const char* name;
  bool comes_back;
};
void PrintTo(const Vanish& c, std::ostream* out) { *out << c.name; }

class Ser2netVanish : public Ser2netE2E, public ::testing::WithParamInterface<Vanish> {};

TEST_P(Ser2netVanish, AServerKilledMidUpdate) {
  const Vanish& c = GetParam();
  serve({flashing_device()});
  const std::string at = url(accepters[0]);
  std::atomic<bool> done{false};
  std::atomic<bool> restarted{false};
  // Ends ser2net once the device has taken 100 records (and starts it again where asked).
  std::thread killer([&] {
    while (!done.load()) {
      if (harness.log(1).records.size() >= 100) {
        server.stop();
        if (c.comes_back) restarted = server.start(accepters);
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  const auto start = std::chrono::steady_clock::now();
  const HarnessResult r = korvo({"--yes", "--json", "--retries", "1", at});
  done = true;
  killer.join();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
  EXPECT_FALSE(r.timed_out);
  EXPECT_LT(seconds.count(), 60) << "every wait bounded";
  const std::string unreachable =
      "korvo: " + at + ": the connection to the server was lost, and the server could not be reached again: ";
  // The retry was announced either way; the JSON result counts the transfers that ran.
  EXPECT_NE(r.errors.find("korvo: " + at + ": attempt 1 of 2: "), std::string::npos) << r.errors;
  const size_t result = r.output.find("\"event\":\"result\"");
  ASSERT_NE(result, std::string::npos) << r.output;
  const std::string result_line = r.output.substr(result, r.output.find('\n', result) - result);
  if (c.comes_back) {
    ASSERT_TRUE(restarted.load()) << server.log();
    EXPECT_EQ(r.exit_status, 0) << r.output << r.errors;
    EXPECT_NE(r.errors.find("korvo: " + at + ": verified"), std::string::npos) << r.errors;
    EXPECT_EQ(r.errors.find(unreachable), std::string::npos) << r.errors;
    EXPECT_NE(result_line.find("\"outcome\":\"updated\""), std::string::npos) << result_line;
    EXPECT_NE(result_line.find("\"verified\":true"), std::string::npos) << result_line;
    EXPECT_NE(result_line.find("\"attempts\":2"), std::string::npos) << result_line;
    EXPECT_TRUE(harness.verify(1, IMAGE).verified) << harness.verify(1, IMAGE).text;
  } else {
    EXPECT_EQ(r.exit_status, 1) << r.output << r.errors;
    EXPECT_EQ(r.errors.find(": verified"), std::string::npos) << r.errors;
    EXPECT_NE(r.errors.find(unreachable + "the connection was refused"), std::string::npos) << r.errors;
    EXPECT_NE(r.errors.find("the device was left in its bootloader"), std::string::npos) << r.errors;
    EXPECT_NE(result_line.find("\"outcome\":\"failed\""), std::string::npos) << result_line;
    EXPECT_NE(result_line.find("\"attempts\":1"), std::string::npos) << result_line;
    EXPECT_FALSE(harness.verify(1, IMAGE).verified);
  }
}

INSTANTIATE_TEST_SUITE_P(Ser2netE2E, Ser2netVanish,
                         ::testing::Values(Vanish{"StaysAway", false}, Vanish{"ComesBackAtOnce", true}),
                         [](const ::testing::TestParamInfo<Vanish>& info) { return std::string(info.param.name); });

TEST_F(Ser2netE2E, ASecondClientIsTurnedAwayWithTheServersReasonAndTheUpdateGoesOn) {
  serve({flashing_device()});
  const std::string at = url(accepters[0]);
  const std::string second_log = "/tmp/korvo-second-" + std::to_string(::getpid()) + ".txt";
  int second_status = -1;
  // A second korvo on the same port while the first is halfway through its records.
  std::thread second([&] {
    for (int i = 0; i < 3000 && harness.log(1).records.size() < 200; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const pid_t pid = spawn({harness_korvo_path(), "--check", at}, second_log);
    int status = 0;
    if (::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) second_status = WEXITSTATUS(status);
  });
  const HarnessResult r = korvo({"--yes", "--no-record", at});
  second.join();
  std::ifstream in(second_log);
  const std::string said((std::istreambuf_iterator<char>(in)), {});
  std::remove(second_log.c_str());
  EXPECT_EQ(second_status, 3) << said;
  EXPECT_NE(said.find("korvo: " + at + ": the server closed the connection saying \"Port already in use\""),
            std::string::npos)
      << said;
  EXPECT_EQ(r.exit_status, 0) << r.errors;
  EXPECT_TRUE(harness.verify(1, IMAGE).verified);
  expect_clean_wire(1);
}

TEST_F(Ser2netE2E, CtrlCStopsTheUpdateAndTheNextRunFinishesIt) {
  serve({flashing_device()});
  const std::string at = url(accepters[0]);
  HarnessProgram cut;
  cut.argv = {harness_korvo_path(), "--yes", "--no-record", at};
  cut.signal_com = 1;
  cut.signal_record = 100;
  cut.signal = SIGINT;
  cut.timeout_ms = 60000;
  HarnessResult r = harness.run(cut);
  EXPECT_FALSE(r.timed_out);
  EXPECT_NE(r.errors.find("korvo: " + at + ": interrupted during the update; the device was left in its bootloader"),
            std::string::npos)
      << r.errors;
  EXPECT_LT(harness.log(1).records.size(), 574u);
  r = korvo({"--yes", "--no-record", at});
  EXPECT_EQ(r.exit_status, 0) << r.output << r.errors;
  EXPECT_TRUE(harness.verify(1, IMAGE).verified);
  expect_clean_wire(1);
}

TEST_F(Ser2netE2E, ASlowLinkStillVerifies) {
  serve({flashing_device()});
  const uint16_t proxy_port = free_port();
  pid_t proxy = spawn({std::string(KORVO_BIN_DIR) + "/korvo-delay-proxy", std::to_string(proxy_port), "127.0.0.1",
                       std::to_string(accepters[0].port), "20"},
                      "/dev/null");
  ASSERT_TRUE(wait_listening({proxy_port}));
  const std::string at = "rfc2217://127.0.0.1:" + std::to_string(proxy_port);
  const HarnessResult r = korvo({"--yes", "--no-record", at}, 300000);
  end(proxy);
  EXPECT_EQ(r.exit_status, 0) << r.output << r.errors;
  EXPECT_TRUE(harness.verify(1, IMAGE).verified);
  expect_clean_wire(1);
}

}  // namespace

// Without ser2net there is nothing to test against: the whole program says so with 77, which
// ctest counts as skipped. Listing the tests works either way.
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (ser2net_path().empty() && !::testing::GTEST_FLAG(list_tests)) {
    std::printf("ser2net is not installed: skipped\n");
    return 77;
  }
  return RUN_ALL_TESTS();
}
