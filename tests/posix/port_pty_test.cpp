// The POSIX serial backend against real pseudo-terminals: the master side plays the device.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>

#include <vector>

#include "pty.h"
#include "serial/port.h"
#include "serial/port_posix.h"
#include "serial/stop.h"

using namespace korvo;

namespace {

using std::chrono::steady_clock;

// A run's port on the backend of this platform, with COM<number> pointing at a pty slave.
struct Host {
  std::unique_ptr<PortBackend> backend = port_backend_system();
  SerialPort port{backend.get()};
};

void name_port(int number, const std::string& path) {
  setenv(("KORVO_COM" + std::to_string(number)).c_str(), path.c_str(), 1);
}

TEST(PosixPortOpen, DevicePathComesFromTheEnvironmentOrTtyS) {
  unsetenv("KORVO_COM5");
  EXPECT_EQ(port_posix_device_path(5), "/dev/ttyS4");
  setenv("KORVO_COM5", "/dev/ttyUSB0", 1);
  EXPECT_EQ(port_posix_device_path(5), "/dev/ttyUSB0");
  EXPECT_EQ(port_posix_device_path(15), "/dev/ttyS14");
  unsetenv("KORVO_COM5");
}

TEST(PosixPortOpen, RawLineWithTheSettingsOfThePortKept) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  // Whatever the port had before: flow control, line editing, and parity and stop bits.
  termios before = pty.settings();
  before.c_iflag |= IXON | IXOFF | IXANY | ICRNL | ISTRIP;
  before.c_cflag |= PARENB | PARODD | CSTOPB | CRTSCTS;
  before.c_cflag &= ~static_cast<tcflag_t>(CLOCAL | CREAD);
  before.c_lflag |= ICANON | ECHO | ISIG;
  ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &before), 0);
  // A pty drops PARENB by itself; odd parity and two stop bits it keeps.
  const tcflag_t frame = pty.settings().c_cflag & (PARENB | PARODD | CSTOPB);
  ASSERT_EQ(frame & (PARODD | CSTOPB), static_cast<tcflag_t>(PARODD | CSTOPB));
  ASSERT_NE(pty.settings().c_cflag & CRTSCTS, 0u);

  name_port(41, pty.path);
  Host host;
  ASSERT_EQ(port_open(host.port, 41, BAUD_APPLICATION), 1);
  const termios t = pty.settings();
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | ISTRIP), 0u);
  EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CSTOPB), frame);

  ASSERT_EQ(port_set_baud(host.port, BAUD_BOOTLOADER), 1);
  const termios fast = pty.settings();
  EXPECT_EQ(cfgetospeed(&fast), static_cast<speed_t>(B115200));
  EXPECT_EQ(fast.c_iflag & (IXON | IXOFF | IXANY), 0u);
  ASSERT_EQ(port_set_baud(host.port, BAUD_APPLICATION), 1);
  const termios slow = pty.settings();
  EXPECT_EQ(cfgetospeed(&slow), static_cast<speed_t>(B19200));
  port_close(host.port);
}

// A driver that has the low-latency mode: it starts with some flags and records every change.
struct FakeSerialDriver {
  static inline int flags = 0;
  static inline bool refuse = false;
  static inline std::vector<int> set_flags;
  static int ioctl(int, unsigned long request, void* arg) {
    auto* settings = static_cast<serial_struct*>(arg);
    if (refuse) {
      errno = ENOTTY;
      return -1;
    }
    if (request == TIOCGSERIAL) settings->flags = flags;
    if (request == TIOCSSERIAL) {
      flags = settings->flags;
      set_flags.push_back(flags);
    }
    return 0;
  }
};

TEST(PosixPortOpen, LowLatencyIsAskedForAndPutBackAtClose) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  name_port(48, pty.path);
  port_posix_use_serial_ioctl(FakeSerialDriver::ioctl);
  const int before = ASYNC_SKIP_TEST | ASYNC_SPD_HI;
  for (const bool refuse : {false, true}) {
    SCOPED_TRACE(refuse ? "a driver without the mode" : "a driver with the mode");
    FakeSerialDriver::flags = before;
    FakeSerialDriver::refuse = refuse;
    FakeSerialDriver::set_flags.clear();
    ASSERT_EQ(prctl(PR_SET_TIMERSLACK, 50000UL, 0UL, 0UL, 0UL), 0);
    Host host;
    ASSERT_TRUE(port_open(host.port, 48, BAUD_APPLICATION)) << "a refusal is no reason to fail";
    // The drains' short sleeps are not stretched by the default timer slack either.
    EXPECT_EQ(prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL), 1);
    if (!refuse) {
      EXPECT_EQ(FakeSerialDriver::set_flags, std::vector<int>{before | ASYNC_LOW_LATENCY});
    }
    port_close(host.port);
    EXPECT_EQ(FakeSerialDriver::flags, before);
    EXPECT_EQ(FakeSerialDriver::set_flags.size(), refuse ? 0u : 2u);
  }
  port_posix_use_serial_ioctl(nullptr);
}

TEST(PosixPortIo, EveryByteValuePassesUnchangedBothWays) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  name_port(42, pty.path);
  Host host;
  ASSERT_EQ(port_open(host.port, 42, BAUD_BOOTLOADER), 1);

  std::vector<uint8_t> all(256);
  for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint8_t>(i);
  // Put the bytes a terminal likes to act on first, where a fault would show at once.
  const std::vector<uint8_t> touchy{0x00, 0x0A, 0x0D, 0x11, 0x13, 0x7F, 0xFF, 0x03, 0x1A, 0x04};
  std::vector<uint8_t> sent = touchy;
  sent.insert(sent.end(), all.begin(), all.end());
  const auto count = static_cast<int32_t>(sent.size());

  EXPECT_EQ(port_write(host.port, sent.data(), count), count);
  EXPECT_EQ(pty.receive(sent.size(), 2000), sent);

  pty.send(std::string(sent.begin(), sent.end()));
  std::vector<uint8_t> got(sent.size());
  int32_t have = 0;
  while (have < count) {
    const int32_t n = port_read(host.port, got.data() + have, count - have);
    if (n == 0) break;
    have += n;
  }
  EXPECT_EQ(have, count);
  EXPECT_EQ(got, sent);
  EXPECT_EQ(port_available(host.port), 0);
  port_close(host.port);
}

TEST(PosixPortIo, AvailableCountsAndShortAnswerEndsSoonAfterItsLastByte) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  name_port(42, pty.path);
  Host host;
  ASSERT_EQ(port_open(host.port, 42, BAUD_APPLICATION), 1);
  pty.send("abc");
  // The bytes need a moment to cross the pty.
  for (int i = 0; i < 100 && port_available(host.port) < 3; ++i) clock_system().sleep_ms(5);
  EXPECT_EQ(port_available(host.port), 3);
  uint8_t buf[10] = {};
  const auto start = steady_clock::now();
  EXPECT_EQ(port_read(host.port, buf, 10), 3);
  EXPECT_LT(wall_ms_since(start), 500.0);  // the 10 ms interval, not the 2000 ms wait
  EXPECT_EQ(std::string(buf, buf + 3), "abc");

  // Bytes a read took beyond its request stay counted and in order with later ones, and
  // draining the input takes them too.
  const auto wait_available = [&](int32_t n) {
    for (int i = 0; i < 100 && port_available(host.port) < n; ++i) clock_system().sleep_ms(5);
    return port_available(host.port);
  };
  pty.send("xyz");
  ASSERT_EQ(wait_available(3), 3);
  ASSERT_EQ(port_read(host.port, buf, 1), 1);
  EXPECT_EQ(buf[0], 'x');
  EXPECT_EQ(port_available(host.port), 2);
  pty.send("w");
  ASSERT_EQ(wait_available(3), 3);
  EXPECT_EQ(port_read(host.port, buf, 3), 3);
  EXPECT_EQ(std::string(buf, buf + 3), "yzw");
  pty.send("qq");
  ASSERT_EQ(wait_available(2), 2);
  ASSERT_EQ(port_read(host.port, buf, 1), 1);
  port_drain(host.port);
  EXPECT_EQ(port_available(host.port), 0);
  port_close(host.port);
}

TEST(PosixPortIo, CloseKeepsEveryByteWritten) {
  // The other end reads late, as a device under load would: what was written before the close
  // must still be on the line (a flush at close used to drop it about every other time).
  constexpr int RUNS = 200;
  Pty pty;
  ASSERT_TRUE(pty.ok());
  name_port(42, pty.path);
  int lost = 0;
  for (int i = 0; i < RUNS; ++i) {
    Host host;
    ASSERT_EQ(port_open(host.port, 42, BAUD_BOOTLOADER), 1);
    const uint8_t last[3] = {0xCC, '%', static_cast<uint8_t>(i)};
    ASSERT_EQ(port_write(host.port, last, 3), 3);
    port_close(host.port);
    lost += pty.receive(3, 500) != std::vector<uint8_t>(last, last + 3);
  }
  EXPECT_EQ(lost, 0) << "of " << RUNS << " closes";
}

TEST(PosixPortExclusive, SecondOpenIsRefusedAndLeavesTheHolderAlone) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  name_port(43, pty.path);
  Host first;
  Host second;
  ASSERT_EQ(port_open(first.port, 43, BAUD_APPLICATION), 1);
#ifdef TIOCGEXCL
  EXPECT_TRUE(pty.exclusive());
#endif
  const int free_fd = lowest_free_fd();
  EXPECT_EQ(port_open(second.port, 43, BAUD_APPLICATION), 0);
  EXPECT_EQ(lowest_free_fd(), free_fd);  // the refused open leaked no descriptor
#ifdef TIOCGEXCL
  EXPECT_TRUE(pty.exclusive());  // ...and did not clear the holder's flag on its way out
#endif
  const uint8_t byte = 0x42;
  EXPECT_EQ(port_write(first.port, &byte, 1), 1);
  EXPECT_EQ(pty.receive(1, 1000), std::vector<uint8_t>{0x42});

  port_close(first.port);
#ifdef TIOCGEXCL
  EXPECT_FALSE(pty.exclusive());  // the test's own descriptor keeps the tty alive
#endif
  EXPECT_EQ(port_open(second.port, 43, BAUD_APPLICATION), 1);
  port_close(second.port);
}

TEST(PosixPortExclusive, LockHeldElsewhereFailsWithoutLeakingOrFlagging) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  name_port(44, pty.path);
  // Another program holds the lock but set no exclusive flag.
  ASSERT_EQ(flock(pty.slave, LOCK_EX | LOCK_NB), 0);
  Host host;
  const int free_fd = lowest_free_fd();
  OpenFailure failure;
  EXPECT_EQ(port_open(host.port, 44, BAUD_APPLICATION, &failure), 0);
  EXPECT_EQ(failure.error, OpenError::IN_USE);
  EXPECT_EQ(failure.reason, "it holds a lock on the port");
  EXPECT_EQ(lowest_free_fd(), free_fd);
  EXPECT_FALSE(pty.exclusive());
  EXPECT_FALSE(host.port.backend->has_handle());
  ASSERT_EQ(flock(pty.slave, LOCK_UN), 0);
  EXPECT_EQ(port_open(host.port, 44, BAUD_APPLICATION), 1);
  port_close(host.port);
}

TEST(PosixPortOpen, MissingOrNonTerminalDeviceIsRefused) {
  Host host;
  const int free_fd = lowest_free_fd();
  name_port(45, "/nonexistent/ttyX");
  EXPECT_EQ(port_open(host.port, 45, BAUD_APPLICATION), 0);
  name_port(45, "/dev/null");  // opens and locks, but is no terminal
  EXPECT_EQ(port_open(host.port, 45, BAUD_APPLICATION), 0);
  EXPECT_EQ(lowest_free_fd(), free_fd);
  EXPECT_FALSE(host.port.backend->has_handle());
  unsetenv("KORVO_COM45");
}

TEST(PosixPortSetBaud, RefusedSpeedClosesThePortAndFreesIt) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  name_port(46, pty.path);
  Host host;
  const int free_fd = lowest_free_fd();
  ASSERT_EQ(port_open(host.port, 46, BAUD_APPLICATION), 1);
  EXPECT_EQ(port_set_baud(host.port, 12345), 0);
  EXPECT_FALSE(host.port.backend->has_handle());
  EXPECT_EQ(lowest_free_fd(), free_fd);
  EXPECT_FALSE(pty.exclusive());
  EXPECT_EQ(flock(pty.slave, LOCK_EX | LOCK_NB), 0);  // the lock went with it
  const uint8_t byte = 1;
  EXPECT_EQ(port_write(host.port, &byte, 1), 0);
  port_close(host.port);
}

// One read of a line that says nothing: it waits out its whole 2000 ms, asleep. Its wall time.
double expect_silent_read(SerialPort& port) {
  uint8_t buf[8];
  const double cpu_before = cpu_ms();
  const auto start = steady_clock::now();
  EXPECT_EQ(port_read(port, buf, 8), 0);
  const double wall = wall_ms_since(start);
  const double cpu = cpu_ms() - cpu_before;
  EXPECT_GE(wall, 1990.0);
  EXPECT_LT(wall, 2500.0);
  EXPECT_LT(cpu, 20.0);
  std::printf("silent 2000 ms read: %.1f ms wall, %.3f ms CPU\n", wall, cpu);
  return wall;
}

TEST(PosixPortWait, SilentReadTakesTwoSecondsAndAlmostNoProcessorTime) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  name_port(47, pty.path);
  Host host;
  ASSERT_EQ(port_open(host.port, 47, BAUD_APPLICATION), 1);
  expect_silent_read(host.port);
  port_close(host.port);
}

TEST(PosixPortWait, TricklingBytesCannotStretchOneRead) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  name_port(47, pty.path);
  Host host;
  ASSERT_EQ(port_open(host.port, 47, BAUD_APPLICATION), 1);
  // A byte every 4 ms for 3 s: each comes well within the 10 ms interval of the one before.
  constexpr int TRICKLE = 750;
  std::thread trickle([&pty] {
    for (int i = 0; i < TRICKLE; ++i) {
      pty.send("x");
      std::this_thread::sleep_for(std::chrono::milliseconds(4));
    }
  });
  uint8_t buf[1000];
  const auto start = steady_clock::now();
  const int32_t got = port_read(host.port, buf, sizeof buf);
  const double wall = wall_ms_since(start);
  trickle.join();
  // On a loaded machine the trickle may pause longer than the interval and end the read early;
  // what must never happen is a read that outlasts its own 2000 ms by riding the trickle.
  EXPECT_GT(got, 0);
  EXPECT_LT(got, TRICKLE);
  EXPECT_LT(wall, 2400.0);  // the read's own 2000 ms, not the 3 s of trickle
  std::printf("trickling peer: one read took %.1f ms for %d bytes\n", wall, got);
  port_close(host.port);
}

TEST(PosixPortWait, HangUpMidReadBehavesLikeASilentLine) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  name_port(48, pty.path);
  Host host;
  ASSERT_EQ(port_open(host.port, 48, BAUD_APPLICATION), 1);
  std::thread unplug([&pty] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    pty.close_master();
  });
  expect_silent_read(host.port);  // waited out, did not return at the hang-up
  unplug.join();

  // Once the line is dead, every read still takes its time; writes fail at once.
  expect_silent_read(host.port);
  const uint8_t byte = 0x55;
  const auto start = steady_clock::now();
  EXPECT_EQ(port_write(host.port, &byte, 1), 0);
  EXPECT_LT(wall_ms_since(start), 500.0);
  EXPECT_EQ(port_available(host.port), 0);
  port_close(host.port);
}

double ms_between(steady_clock::time_point from, steady_clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// The stop is process-wide: the next test must not begin stopped, whatever this one's end.
struct StopTakenBack {
  ~StopTakenBack() { port_stop_clear(); }
};

TEST(PosixPortStop, EveryWaitOfEveryThreadEndsAtOnceAndNothingMoreGoesOut) {
  StopTakenBack taken_back;
  Pty silent;
  Pty unread;
  Pty spare;
  ASSERT_TRUE(silent.ok() && unread.ok() && spare.ok());
  name_port(61, silent.path);
  name_port(62, unread.path);
  name_port(63, spare.path);
  Host reader;
  Host writer;
  ASSERT_TRUE(port_open(reader.port, 61, BAUD_BOOTLOADER));
  ASSERT_TRUE(port_open(writer.port, 62, BAUD_BOOTLOADER));

  // A read on a silent line and a write whose line nobody takes from, on threads of their own.
  int32_t read_result = -1;
  int32_t write_result = -1;
  steady_clock::time_point read_ended;
  steady_clock::time_point write_ended;
  const std::vector<uint8_t> block(1U << 20U, 0x5A);
  std::thread reading([&] {
    std::array<uint8_t, 8> buf{};
    read_result = port_read(reader.port, buf.data(), 8);
    read_ended = steady_clock::now();
  });
  std::thread writing([&] {
    write_result = port_write(writer.port, block.data(), static_cast<int32_t>(block.size()));
    write_ended = steady_clock::now();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const steady_clock::time_point stopped = steady_clock::now();
  port_request_stop();
  reading.join();
  writing.join();
  EXPECT_EQ(read_result, 0);
  EXPECT_EQ(write_result, 0);
  EXPECT_LT(ms_between(stopped, read_ended), 200.0);
  EXPECT_LT(ms_between(stopped, write_ended), 200.0);
  // What was queued before the stop is there; the rest of the block never followed it.
  const size_t arrived = unread.receive(block.size(), 500).size();
  EXPECT_GT(arrived, 0U);
  EXPECT_LT(arrived, block.size());

  const uint8_t byte = 0x42;
  EXPECT_EQ(port_write(reader.port, &byte, 1), 0);
  EXPECT_TRUE(silent.receive(1, 100).empty()) << "a write after the stop reached the line";
  Host late;
  OpenFailure failure;
  EXPECT_FALSE(port_open(late.port, 63, BAUD_APPLICATION, &failure));
  EXPECT_EQ(failure.error, OpenError::FAILED);
  EXPECT_FALSE(spare.exclusive());

  // Sleeps and timed reads end at once, without going round until their limits.
  steady_clock::time_point start = steady_clock::now();
  const double cpu_before = cpu_ms();
  clock_system().sleep_ms(2000);
  std::array<uint8_t, 8> buf{};
  EXPECT_EQ(port_read_timed(reader.port, clock_system(), buf.data(), 8, 3000), 0);
  EXPECT_LT(wall_ms_since(start), 100.0);
  EXPECT_LT(cpu_ms() - cpu_before, 20.0);

  silent.send("abc");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(port_available(reader.port), 3) << "counting what waits still works";
  port_stop_clear();
  EXPECT_EQ(port_read(reader.port, buf.data(), 8), 3) << "a cleared stop no longer ends the waits";
  start = steady_clock::now();
  clock_system().sleep_ms(50);
  EXPECT_GE(wall_ms_since(start), 49.0);
  port_close(reader.port);
  port_close(writer.port);
}

}  // namespace

namespace {

// The lock files of serial tools, in a lock folder of the test's own.
struct LockFolder {
  std::string path;
  LockFolder() {
    char pattern[] = "/tmp/korvo-lock-XXXXXX";
    if (mkdtemp(pattern) != nullptr) path = pattern;
    setenv("KORVO_LOCK_DIR", path.c_str(), 1);
  }
  ~LockFolder() {
    unsetenv("KORVO_LOCK_DIR");
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
  std::string lock_for(const std::string& device) const {
    return path + "/LCK.." + device.substr(device.rfind('/') + 1);
  }
};

std::string contents(const std::string& file) {
  std::string text;
  if (std::FILE* f = std::fopen(file.c_str(), "r")) {
    char buffer[64];
    const size_t n = std::fread(buffer, 1, sizeof buffer, f);
    text.assign(buffer, n);
    std::fclose(f);
  }
  return text;
}

void put_contents(const std::string& file, const std::string& text) {
  std::FILE* f = std::fopen(file.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fputs(text.c_str(), f);
  std::fclose(f);
}

std::string lock_text(long pid) {
  char text[16];
  std::snprintf(text, sizeof text, "%10ld\n", pid);
  return text;
}

TEST(PosixPortLock, ALiveHoldersLockRefusesTheOpenAndADeadOnesIsTakenOver) {
  LockFolder folder;
  ASSERT_FALSE(folder.path.empty());
  Pty pty;
  ASSERT_TRUE(pty.ok());
  name_port(50, pty.path);
  const std::string lock = folder.lock_for(pty.path);

  // Held by a live process (a terminal program, say): the device is not even opened.
  const pid_t holder = fork();
  if (holder == 0) {
    pause();
    _exit(0);
  }
  put_contents(lock, lock_text(holder));
  Host host;
  const int free_fd = lowest_free_fd();
  EXPECT_EQ(port_open(host.port, 50, BAUD_APPLICATION), 0);
  EXPECT_EQ(lowest_free_fd(), free_fd);
  EXPECT_FALSE(pty.exclusive());
  EXPECT_EQ(contents(lock), lock_text(holder));

  // The holder is gone and left its lock behind: taken over, and ours while the port is.
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  ASSERT_EQ(port_open(host.port, 50, BAUD_APPLICATION), 1);
  EXPECT_EQ(contents(lock), lock_text(getpid()));
  Host second;  // this run's own lock keeps a second record of it out as well
  EXPECT_EQ(port_open(second.port, 50, BAUD_APPLICATION), 0);
  EXPECT_EQ(contents(lock), lock_text(getpid()));
  port_close(host.port);
  EXPECT_FALSE(std::ifstream(lock).good());
  EXPECT_EQ(port_open(second.port, 50, BAUD_APPLICATION), 1);
  port_close(second.port);
  EXPECT_FALSE(std::ifstream(lock).good());

  // A lock another process put in place of ours while we held the port is theirs: closing
  // leaves it.
  ASSERT_EQ(port_open(second.port, 50, BAUD_APPLICATION), 1);
  put_contents(lock, lock_text(getppid()));
  port_close(second.port);
  EXPECT_EQ(contents(lock), lock_text(getppid()));
}

// Two processes that find the same dead process's lock at once: only one may come away
// holding it, and the file must name that one. Both stay alive until both have answered, as
// holders of a port do.
TEST(PosixPortLock, OfTwoTakingOverTheSameStaleLockOnlyOneGetsIt) {
  LockFolder folder;
  ASSERT_FALSE(folder.path.empty());
  const std::string lock = folder.path + "/LCK..ttyRACE";
  const pid_t gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, nullptr, 0);
  int both_taken = 0;
  int wrong_name = 0;
  for (int round = 0; round < 150; ++round) {
    put_contents(lock, lock_text(gone));
    int go[2];
    int answers[2];
    int release[2];
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(answers), 0);
    ASSERT_EQ(pipe(release), 0);
    pid_t takers[2];
    for (pid_t& taker : takers) {
      taker = fork();
      if (taker == 0) {
        close(go[1]);
        close(release[1]);
        char byte = 0;
        (void)!read(go[0], &byte, 1);  // both start together
        const pid_t answer = port_lock_take(lock) == PortLock::TAKEN ? getpid() : 0;  // 0: not taken
        (void)!write(answers[1], &answer, sizeof answer);
        (void)!read(release[0], &byte, 1);  // held until the parent closes its end
        _exit(0);
      }
    }
    close(go[0]);
    close(answers[1]);
    close(release[0]);
    (void)!write(go[1], "gg", 2);
    pid_t holder = 0;
    int taken = 0;
    pid_t answer = 0;
    for (int i = 0; i < 2 && read(answers[0], &answer, sizeof answer) == static_cast<ssize_t>(sizeof answer); ++i) {
      if (answer == 0) continue;
      ++taken;
      holder = answer;
    }
    if (taken > 1) ++both_taken;
    if (taken == 1 && contents(lock) != lock_text(holder)) ++wrong_name;
    close(go[1]);
    close(answers[0]);
    close(release[1]);
    for (const pid_t taker : takers) waitpid(taker, nullptr, 0);
    ASSERT_GE(taken, 1) << "round " << round << ": nobody took over a dead process's lock";
  }
  EXPECT_EQ(both_taken, 0);
  EXPECT_EQ(wrong_name, 0);
}

// Whatever a local user plants in the world-writable lock folder, at the lock name or at the
// names the lock used to be written under: taking the lock never hangs, changes no file
// outside the folder, takes over what is stale and leaves nothing of its own behind.
enum class Plant { FIFO, EMPTY_DIR, FULL_DIR, SYMLINK, DANGLING, HARD_LINK, OWN_PID, HUGE_PID, OLD_EMPTY, NEW_EMPTY };
enum class At { LOCK, OLD_TEMP, OLD_ASIDE };

struct PlantCase {
  const char* what;
  Plant plant;
  At at;
  PortLock expect;
  bool stays;   // the planted thing is still there afterwards
  bool warned;  // the run is told why it has no lock file
};

void plant(Plant kind, const std::string& at, const std::string& outside, pid_t taker) {
  switch (kind) {
    case Plant::FIFO: ASSERT_EQ(mkfifo(at.c_str(), 0666), 0); break;
    case Plant::EMPTY_DIR: ASSERT_EQ(mkdir(at.c_str(), 0777), 0); break;
    case Plant::FULL_DIR:
      ASSERT_EQ(mkdir(at.c_str(), 0777), 0);
      put_contents(at + "/keep", "mine\n");
      break;
    case Plant::SYMLINK: ASSERT_EQ(symlink(outside.c_str(), at.c_str()), 0); break;
    case Plant::DANGLING: ASSERT_EQ(symlink((outside + ".new").c_str(), at.c_str()), 0); break;
    case Plant::HARD_LINK: ASSERT_EQ(link(outside.c_str(), at.c_str()), 0); break;
    case Plant::OWN_PID: put_contents(at, lock_text(taker)); break;
    case Plant::HUGE_PID: put_contents(at, lock_text(4294967297L)); break;  // 2^32 + 1, not pid 1
    case Plant::OLD_EMPTY: {
      put_contents(at, "");
      const timespec old[2] = {{time(nullptr) - 60, 0}, {time(nullptr) - 60, 0}};
      ASSERT_EQ(utimensat(AT_FDCWD, at.c_str(), old, AT_SYMLINK_NOFOLLOW), 0);
      break;
    }
    case Plant::NEW_EMPTY: put_contents(at, ""); break;
  }
}

std::vector<std::string> entries(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* d = opendir(folder.c_str())) {
    while (const dirent* e = readdir(d)) {
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(PosixPortLock, NothingPlantedHangsLocksOutOrReachesOutsideTheFolder) {
  const PlantCase cases[] = {
      {"FIFO at the lock", Plant::FIFO, At::LOCK, PortLock::TAKEN, false, false},
      {"empty directory at the lock", Plant::EMPTY_DIR, At::LOCK, PortLock::TAKEN, false, false},
      {"directory with a file at the lock", Plant::FULL_DIR, At::LOCK, PortLock::UNAVAILABLE, true, true},
      {"symlink at the lock", Plant::SYMLINK, At::LOCK, PortLock::TAKEN, false, false},
      {"dangling symlink at the lock", Plant::DANGLING, At::LOCK, PortLock::TAKEN, false, false},
      {"hard link at the lock", Plant::HARD_LINK, At::LOCK, PortLock::TAKEN, false, false},
      {"lock naming the taker's own pid", Plant::OWN_PID, At::LOCK, PortLock::TAKEN, false, false},
      {"lock naming pid 4294967297", Plant::HUGE_PID, At::LOCK, PortLock::TAKEN, false, false},
      {"empty lock a minute old", Plant::OLD_EMPTY, At::LOCK, PortLock::TAKEN, false, false},
      {"empty lock just made", Plant::NEW_EMPTY, At::LOCK, PortLock::IN_USE, true, false},
      {"FIFO at LCK..<dev>.<pid>", Plant::FIFO, At::OLD_TEMP, PortLock::TAKEN, true, false},
      {"directory at LCK..<dev>.<pid>", Plant::FULL_DIR, At::OLD_TEMP, PortLock::TAKEN, true, false},
      {"symlink at LCK..<dev>.<pid>", Plant::DANGLING, At::OLD_TEMP, PortLock::TAKEN, true, false},
      {"hard link at LCK..<dev>.<pid>", Plant::HARD_LINK, At::OLD_TEMP, PortLock::TAKEN, true, false},
      {"FIFO at <temp>.stale", Plant::FIFO, At::OLD_ASIDE, PortLock::TAKEN, true, false},
      {"directory at <temp>.stale", Plant::FULL_DIR, At::OLD_ASIDE, PortLock::TAKEN, true, false},
      {"hard link at <temp>.stale", Plant::HARD_LINK, At::OLD_ASIDE, PortLock::TAKEN, true, false},
  };
  const pid_t gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, nullptr, 0);
  for (const PlantCase& c : cases) {
    SCOPED_TRACE(c.what);
    LockFolder folder;
    ASSERT_FALSE(folder.path.empty());
    const std::string lock = folder.path + "/LCK..ttyPLANT";
    const std::string outside = folder.path + ".outside";
    put_contents(outside, "precious\n");
    int go[2];
    int answers[2];
    int release[2];
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(answers), 0);
    ASSERT_EQ(pipe(release), 0);
    const pid_t taker = fork();
    if (taker == 0) {
      close(go[1]);
      close(answers[0]);
      close(release[1]);
      char byte = 0;
      (void)!read(go[0], &byte, 1);
      std::string warning;
      const PortLock got = port_lock_take(lock, &warning);
      const char answer[2] = {static_cast<char>(got), static_cast<char>(!warning.empty())};
      (void)!write(answers[1], answer, 2);
      (void)!read(release[0], &byte, 1);  // holds the lock while the parent looks
      _exit(0);
    }
    close(go[0]);
    close(answers[1]);
    close(release[0]);
    const std::string planted = c.at == At::LOCK       ? lock
                                : c.at == At::OLD_TEMP ? lock + "." + std::to_string(taker)
                                                       : lock + "." + std::to_string(taker) + ".stale";
    plant(c.plant, planted, outside, taker);
    if (c.at != At::LOCK) put_contents(lock, lock_text(gone));  // a stale lock to take over
    struct stat before {};
    ASSERT_EQ(lstat(planted.c_str(), &before), 0);
    (void)!write(go[1], "g", 1);

    pollfd p{answers[0], POLLIN, 0};
    char answer[2] = {-1, -1};
    const bool answered = poll(&p, 1, 5000) == 1 && read(answers[0], answer, 2) == 2;
    EXPECT_TRUE(answered) << "taking the lock hangs";
    if (answered) {
      EXPECT_EQ(static_cast<int>(answer[0]), static_cast<int>(c.expect));
      EXPECT_EQ(answer[1] != 0, c.warned);
      std::vector<std::string> want;
      if (c.expect == PortLock::TAKEN) {
        want.push_back("LCK..ttyPLANT");
        EXPECT_EQ(contents(lock), lock_text(taker));
      }
      if (c.stays) want.push_back(planted.substr(planted.rfind('/') + 1));
      std::sort(want.begin(), want.end());
      EXPECT_EQ(entries(folder.path), want) << "nothing of the taker's own, nothing stale left";
      struct stat after {};
      if (c.stays) {
        EXPECT_EQ(lstat(planted.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_mode, before.st_mode);
        if (c.plant == Plant::FULL_DIR) {
          EXPECT_EQ(contents(planted + "/keep"), "mine\n");
        }
        if (c.plant == Plant::NEW_EMPTY) {
          EXPECT_EQ(after.st_size, 0);
        }
      }
    } else {
      kill(taker, SIGKILL);
    }
    EXPECT_EQ(contents(outside), "precious\n");
    EXPECT_NE(access((outside + ".new").c_str(), F_OK), 0);
    close(go[1]);
    close(answers[0]);
    close(release[1]);
    waitpid(taker, nullptr, 0);
    unlink(outside.c_str());
  }
}

TEST(PosixPortLock, WithoutALockFolderThePortStillOpens) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  name_port(51, pty.path);
  setenv("KORVO_LOCK_DIR", "/nonexistent-korvo-locks", 1);
  Host host;
  OpenFailure failure;
  EXPECT_EQ(port_open(host.port, 51, BAUD_APPLICATION, &failure), 1);
  EXPECT_EQ(failure.warning.rfind("/nonexistent-korvo-locks: cannot create a lock file there (", 0), 0u)
      << failure.warning;
  port_close(host.port);
  // Said once a run, not again for every port.
  EXPECT_EQ(port_open(host.port, 51, BAUD_APPLICATION, &failure), 1);
  EXPECT_EQ(failure.warning, "");
  port_close(host.port);
  unsetenv("KORVO_LOCK_DIR");
}

// Threads opening and closing ports of their own at once, and taking and releasing one lock
// between them: never two holders of a lock, and nothing left behind that would keep this
// process's own stale lock from being taken over.
TEST(PosixPortLock, ThreadsTakingAndReleasingAtOnceLeaveNoStaleEntry) {
  LockFolder folder;
  ASSERT_FALSE(folder.path.empty());
  constexpr int THREADS = 4;
  std::vector<std::unique_ptr<Pty>> ptys;
  for (int i = 0; i < THREADS; ++i) {
    ptys.push_back(std::make_unique<Pty>());
    ASSERT_TRUE(ptys.back()->ok());
    name_port(70 + i, ptys.back()->path);
  }
  const std::string shared = folder.path + "/LCK..shared";
  std::atomic<int> holders{0};
  std::atomic<int> most_holders{0};
  std::atomic<int> taken{0};
  std::atomic<int> failed_opens{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < THREADS; ++i) {
    threads.emplace_back([&, i] {
      Host host;
      for (int round = 0; round < 400; ++round) {
        if (round % 10 == 0 && !port_open(host.port, 70 + i, BAUD_APPLICATION)) ++failed_opens;
        if (port_lock_take(shared) == PortLock::TAKEN) {
          ++taken;
          const int now = ++holders;
          int most = most_holders.load();
          while (now > most && !most_holders.compare_exchange_weak(most, now)) {
          }
          std::this_thread::yield();
          --holders;
          port_lock_release(shared);
        }
        if (round % 10 == 9) port_close(host.port);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failed_opens.load(), 0);
  EXPECT_EQ(most_holders.load(), 1);
  EXPECT_GT(taken.load(), 0);
  for (int i = 0; i < THREADS; ++i) {
    EXPECT_FALSE(std::ifstream(folder.lock_for(ptys[static_cast<size_t>(i)]->path)).good());
    EXPECT_FALSE(ptys[static_cast<size_t>(i)]->exclusive());
  }
  EXPECT_FALSE(std::ifstream(shared).good());
  // A lock naming this process that it no longer holds is stale: taken over, not refused.
  put_contents(shared, lock_text(getpid()));
  EXPECT_EQ(port_lock_take(shared), PortLock::TAKEN);
  port_lock_release(shared);
}

// The terminal the program runs in, however it is named, is refused before anything is
// written to it or changed on it.
TEST(PosixPortOpen, TheUsersOwnTerminalIsRefusedUntouched) {
  enum How { CONTROLLING_BY_PATH, DEV_TTY, STANDARD_INPUT, STANDARD_OUTPUT, STANDARD_ERROR };
  const struct {
    const char* what;
    How how;
  } cases[] = {{"controlling terminal by its path", CONTROLLING_BY_PATH},
               {"/dev/tty", DEV_TTY},
               {"standard input's terminal", STANDARD_INPUT},
               {"standard output's terminal", STANDARD_OUTPUT},
               {"standard error's terminal", STANDARD_ERROR}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Pty pty;
    ASSERT_TRUE(pty.ok());
    const termios before = pty.settings();
    const pid_t child = fork();
    if (child == 0) {
      setsid();  // no controlling terminal, unless the case makes the pty one
      if (c.how == CONTROLLING_BY_PATH || c.how == DEV_TTY) {
        if (ioctl(pty.slave, TIOCSCTTY, 0) != 0) _exit(3);
      } else {
        const int standard = c.how == STANDARD_INPUT ? 0 : c.how == STANDARD_OUTPUT ? 1 : 2;
        if (dup2(pty.slave, standard) != standard) _exit(3);
      }
      Host host;
      OpenFailure failure;
      const PortName name(c.how == DEV_TTY ? std::string("/dev/tty") : pty.path);
      if (port_open(host.port, name, BAUD_APPLICATION, &failure)) _exit(1);
      _exit(failure.error == OpenError::OWN_TERMINAL && !failure.reason.empty() ? 0 : 2);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_EQ(pty.receive(1, 200), std::vector<uint8_t>{}) << "written to the terminal";
    const termios after = pty.settings();
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_FALSE(pty.exclusive());
  }
  // Someone else's terminal is a port like any other.
  Pty other;
  ASSERT_TRUE(other.ok());
  Host host;
  ASSERT_TRUE(port_open(host.port, PortName(other.path), BAUD_APPLICATION));
  port_close(host.port);
}

TEST(PosixPortOpen, NeverOnStandardInputOutputOrError) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  name_port(52, pty.path);
  const pid_t child = fork();
  if (child == 0) {
    close(STDIN_FILENO);
    close(STDOUT_FILENO);
    Host host;
    if (port_open(host.port, 52, BAUD_APPLICATION) != 1) _exit(2);
    // Both still closed: the port lives elsewhere.
    _exit(fcntl(STDIN_FILENO, F_GETFD) == -1 && fcntl(STDOUT_FILENO, F_GETFD) == -1 ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// A driver's account of its output, in place of the pty's: how many bytes its queue still
// holds and what it says of its transmitter. Every other request reaches the pty.
struct FakeOutputDriver {
  enum Transmitter { REFUSES, NEVER_EMPTY, EMPTY_LATE };
  static inline std::atomic<int> queued{0};  // TIOCOUTQ's answer; 0: the pty's own
  static inline std::atomic<Transmitter> transmitter{REFUSES};
  static inline std::atomic<int> transmitter_asks{0};
  // EMPTY_LATE: busy until this long after the last write the port made.
  static inline std::atomic<int64_t> empty_at_ns{0};
  static void use(Transmitter t, int queue) {
    transmitter = t;
    queued = queue;
    transmitter_asks = 0;
    port_posix_use_serial_ioctl(ioctl);
  }
  static int ioctl(int fd, unsigned long request, void* arg) {
    if (request == TIOCOUTQ && queued.load() > 0) {
      *static_cast<int*>(arg) = queued.load();
      return 0;
    }
    if (request == TIOCSERGETLSR) {
      ++transmitter_asks;
      const int64_t now = steady_clock::now().time_since_epoch().count();
      switch (transmitter.load()) {
        case NEVER_EMPTY:
          *static_cast<unsigned int*>(arg) = 0;
          return 0;
        case EMPTY_LATE:
          *static_cast<unsigned int*>(arg) = now >= empty_at_ns.load() ? TIOCSER_TEMT : 0;
          return 0;
        case REFUSES:
        default:
          errno = ENOTTY;
          return -1;
      }
    }
    return ::ioctl(fd, request, arg);
  }
};

// COM53 on a fresh pty, behind the fake output driver (the real ioctls again afterwards).
class PosixPortDrain : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    name_port(53, pty.path);
  }
  void TearDown() override { port_posix_use_serial_ioctl(nullptr); }
  Pty pty;
};

// Written bytes, timed: how long the write and then the close took, and what reached the line.
struct TimedOutput {
  double write_ms = 0;
  double close_ms = 0;
  std::vector<uint8_t> received;
};

TimedOutput write_then_close(Pty& pty, int number, const std::vector<uint8_t>& bytes, int writes) {
  TimedOutput out;
  Host host;
  EXPECT_EQ(port_open(host.port, number, BAUD_BOOTLOADER), 1);
  for (int i = 0; i < writes; ++i) {
    const auto start = steady_clock::now();
    EXPECT_EQ(port_write(host.port, bytes.data(), static_cast<int32_t>(bytes.size())),
              static_cast<int32_t>(bytes.size()));
    out.write_ms = std::max(out.write_ms, wall_ms_since(start));
  }
  const auto start = steady_clock::now();
  port_close(host.port);
  out.close_ms = wall_ms_since(start);
  out.received = pty.receive(bytes.size() * static_cast<size_t>(writes), 500);
  return out;
}

TEST_F(PosixPortDrain, ATransmitterNeverReportedEmptyHoldsNeitherWritesNorTheClose) {
  // A USB adapter whose status never carries "transmitter empty" while its queue is empty:
  // each packet of an update waited out the write's whole 2 s, and the close 2 s more.
  FakeOutputDriver::use(FakeOutputDriver::NEVER_EMPTY, 0);
  const std::vector<uint8_t> packet = {0x06, 0x40, 0x06};
  const TimedOutput out = write_then_close(pty, 53, packet, 5);
  EXPECT_LT(out.write_ms, 500.0);
  EXPECT_LT(out.close_ms, 500.0);
  EXPECT_EQ(out.received.size(), packet.size() * 5);
  // Once it proved useless the report is not asked for again while the port stays open.
  Host host;
  ASSERT_EQ(port_open(host.port, 53, BAUD_BOOTLOADER), 1);
  ASSERT_EQ(port_write(host.port, packet.data(), 3), 3);
  const int asks = FakeOutputDriver::transmitter_asks.load();
  for (int i = 0; i < 20; ++i) ASSERT_EQ(port_write(host.port, packet.data(), 3), 3);
  EXPECT_EQ(FakeOutputDriver::transmitter_asks.load(), asks);
  port_close(host.port);
}

TEST_F(PosixPortDrain, ATransmitterThatEmptiesSoonIsWaitedFor) {
  // A UART (or an adapter between two of its status reports) still sending the last bytes
  // after the queue emptied: the write returns when they have left, not before.
  FakeOutputDriver::use(FakeOutputDriver::EMPTY_LATE, 0);
  Host host;
  ASSERT_EQ(port_open(host.port, 53, BAUD_BOOTLOADER), 1);
  const uint8_t byte = 0x06;
  for (const int late_ms : {5, 25}) {
    SCOPED_TRACE(late_ms);
    const auto start = steady_clock::now();
    FakeOutputDriver::empty_at_ns = (start + std::chrono::milliseconds(late_ms)).time_since_epoch().count();
    EXPECT_EQ(port_write(host.port, &byte, 1), 1);
    const double took = wall_ms_since(start);
    EXPECT_GE(took, late_ms);
    EXPECT_LT(took, late_ms + 200.0);
  }
  port_close(host.port);
}

TEST_F(PosixPortDrain, AQueueThatNeverEmptiesEndsTheWriteInTimeAndTheCloseAtOnce) {
  // An adapter that stopped sending: the write gives up after its 2 s, and the close throws
  // the output away rather than wait for it again.
  FakeOutputDriver::use(FakeOutputDriver::REFUSES, 7);
  const TimedOutput out = write_then_close(pty, 53, {0x06}, 1);
  EXPECT_GE(out.write_ms, PORT_IO_WAIT_MS - 10.0);
  EXPECT_LT(out.write_ms, PORT_IO_WAIT_MS + 500.0);
  EXPECT_LT(out.close_ms, 200.0);
}

}  // namespace
