// A pseudo-terminal pair standing in for a serial line or a console, and small helpers for
// timing and for tests that run code in a child process.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

struct Pty {
  int master = -1;
  int slave = -1;  // the test's own descriptor of the slave, as another program would hold it
  std::string path;

  Pty() {
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) == 0) path = name;
  }
  ~Pty() {
    close_master();
    if (slave >= 0) ::close(slave);
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  bool ok() const { return master >= 0 && slave >= 0; }
  void close_master() {
    if (master >= 0) ::close(master);
    master = -1;
  }
  // The slave's settings, as the master side sees them.
  termios settings() const {
    termios t{};
    tcgetattr(master, &t);
    return t;
  }
  bool exclusive() const {
#ifdef TIOCGEXCL
    int flag = 0;
    ioctl(slave, TIOCGEXCL, &flag);
    return flag != 0;
#else
    return false;
#endif
  }
  // Every byte reaches the line, or the test fails.
  void send(const std::string& bytes) const {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ADD_FAILURE() << "write to the pty master failed after " << done << " of " << bytes.size()
                      << " bytes";
        return;
      }
      done += static_cast<size_t>(n);
    }
  }
  // What the other end of the line receives, until `want` bytes or `wait_ms` pass.
  std::vector<uint8_t> receive(size_t want, int wait_ms) const {
    std::vector<uint8_t> got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    while (got.size() < want) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      uint8_t buf[512];
      const ssize_t n = ::read(master, buf, sizeof buf);
      if (n <= 0) break;
      got.insert(got.end(), buf, buf + n);
    }
    return got;
  }
};

// Processor time of this process so far (user and system), in ms.
inline double cpu_ms() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

inline double wall_ms_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// The lowest free descriptor number: unchanged after an operation means nothing leaked.
inline int lowest_free_fd() {
  const int probe = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (probe >= 0) ::close(probe);
  return probe;
}
