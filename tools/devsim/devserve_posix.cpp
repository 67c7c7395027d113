#include "devserve.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#if __has_include(<sys/prctl.h>)
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <cstdlib>

namespace {

constexpr size_t READ_CHUNK_BYTES = 4096;
// After a failed read (nobody holds the slave), look again this much later instead of
// spinning on a descriptor that keeps reporting the hang-up.
constexpr int HOST_GONE_RETRY_MS = 50;

uint32_t baud_number(speed_t speed) {
  switch (speed) {
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    default: return 0;
  }
}

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

void queue(DevServer& s, std::vector<DevOutput> outputs) {
  for (DevOutput& o : outputs) {
    const uint64_t at = o.at_us;
    s.due.emplace(at, std::move(o));
  }
}

// The outputs the write just passed to the pty reached the host now.
void stamp_handed(DevServer& s) {
  if (s.handing.empty()) return;
  const uint64_t now_us = devserver_now_us(s);
  const std::lock_guard<std::mutex> hold(s.lock);
  for (const DevPendingOutput& o : s.handing)
    devmodel_handed_over(s.model, o.span, o.due_us, now_us, o.released_us);
  s.handing.clear();
}

// The adapter passes on the first count bytes it holds at released_us (its model's time, which
// the runner's wake-up may follow late); outputs whose last byte is among them have reached
// the host.
void release(DevServer& s, size_t count, uint64_t released_us) {
  const auto end = s.held.begin() + static_cast<std::ptrdiff_t>(count);
  s.to_host.insert(s.to_host.end(), s.held.begin(), end);
  s.held.erase(s.held.begin(), end);
  size_t gone = 0;
  for (; gone < s.held_outputs.size() && s.held_outputs[gone].end <= count; ++gone) {
    s.handing.push_back(s.held_outputs[gone].output);
    s.handing.back().released_us = released_us;
  }
  s.held_outputs.erase(s.held_outputs.begin(), s.held_outputs.begin() + static_cast<std::ptrdiff_t>(gone));
  for (DevHeldOutput& h : s.held_outputs) h.end -= count;
}

// Hands over what is due (through the adapter, when there is one) and writes it; a pty that
// takes only part keeps the rest for POLLOUT (a delay left out of the line's account: at
// these sizes it takes everything).
void write_due(DevServer& s, uint64_t now_us) {
  const uint64_t timer_us = static_cast<uint64_t>(s.model.config.timing.latency_timer_ms) * 1000;
  for (; !s.due.empty() && s.due.begin()->first <= now_us; s.due.erase(s.due.begin())) {
    const DevOutput& out = s.due.begin()->second;
    if (timer_us == 0) {
      s.to_host.insert(s.to_host.end(), out.bytes.begin(), out.bytes.end());
      s.handing.push_back({out.span, out.at_us});
      continue;
    }
    if (s.held.empty()) s.held_since_us = out.at_us;
    s.held.insert(s.held.end(), out.bytes.begin(), out.bytes.end());
    s.held_outputs.push_back({{out.span, out.at_us}, s.held.size()});
    // A full packet leaves at once; the rest waits for more bytes or for the timer.
    while (s.held.size() >= DEV_ADAPTER_PACKET_BYTES) {
      release(s, DEV_ADAPTER_PACKET_BYTES, out.at_us);
      s.held_since_us = out.at_us;
    }
  }
  if (!s.held.empty() && now_us >= s.held_since_us + timer_us)
    release(s, s.held.size(), s.held_since_us + timer_us);
  while (!s.to_host.empty()) {
    const ssize_t n = ::write(s.master, s.to_host.data(), s.to_host.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      s.to_host.clear();  // the line is gone: the bytes are lost, as on a real one
      break;
    }
    s.to_host.erase(s.to_host.begin(), s.to_host.begin() + n);
  }
  stamp_handed(s);
}

// When something is next due, UINT64_MAX for never.
uint64_t next_due(const DevServer& s) {
  uint64_t at = s.due.empty() ? UINT64_MAX : s.due.begin()->first;
  if (!s.held.empty())
    at = std::min(at, s.held_since_us + static_cast<uint64_t>(s.model.config.timing.latency_timer_ms) * 1000);
  return at;
}

}  // namespace

uint64_t devserver_now_us(const DevServer& server) {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now() - server.start)
                                   .count());
}

uint32_t devserver_host_baud(const DevServer& server) {
  // The master's settings report what the host set on the slave.
  termios tio{};
  if (::tcgetattr(server.master, &tio) != 0) return 0;
  return baud_number(cfgetospeed(&tio));
}

std::vector<uint64_t> devserver_round_trips(DevServer& s, int rounds) {
  constexpr int GIVE_UP_MS = 1000;
  std::vector<uint64_t> trips;
  std::thread echo([fd = s.slave, rounds] {
    uint8_t byte = 0;
    for (int i = 0; i < rounds; ++i) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, GIVE_UP_MS) <= 0 || ::read(fd, &byte, 1) != 1 || ::write(fd, &byte, 1) != 1) return;
    }
  });
  for (int i = 0; i < rounds; ++i) {
    // Between exchanges both ends sleep; waking them is most of what a round trip costs.
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const uint64_t start = devserver_now_us(s);
    uint8_t byte = 0x55;
    if (::write(s.master, &byte, 1) != 1) break;
    pollfd p{s.master, POLLIN, 0};
    if (::poll(&p, 1, GIVE_UP_MS) <= 0 || ::read(s.master, &byte, 1) != 1) break;
    trips.push_back(devserver_now_us(s) - start);
  }
  echo.join();
  (void)::tcflush(s.slave, TCIOFLUSH);  // nothing of it may reach the host
  s.start = std::chrono::steady_clock::now();  // the device's own time starts now
  return trips;
}

int devserver_open(DevServer& s, const DevConfig& config) {
  s.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (s.master < 0) return 1;
  const char* name = nullptr;
  if (::grantpt(s.master) != 0 || ::unlockpt(s.master) != 0 || (name = ::ptsname(s.master)) == nullptr) {
    devserver_close(s);
    return 1;
  }
  s.path = name;
  s.slave = ::open(s.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios tio{};
  if (s.slave < 0 || ::tcgetattr(s.slave, &tio) != 0) {
    devserver_close(s);
    return 1;
  }
  // Raw: no echo, no line editing, no newline translation; bytes pass unchanged.
  ::cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  ::cfsetispeed(&tio, B19200);
  ::cfsetospeed(&tio, B19200);
  const int flags = ::fcntl(s.master, F_GETFL);
  if (::tcsetattr(s.slave, TCSANOW, &tio) != 0 || flags < 0 ||
      ::fcntl(s.master, F_SETFL, flags | O_NONBLOCK) != 0) {
    devserver_close(s);
    return 1;
  }
  if (devmodel_init(s.model, config) != 0) {
    devserver_close(s);
    return 2;
  }
  s.start = std::chrono::steady_clock::now();
  s.due.clear();
  s.to_host.clear();
  s.held.clear();
  s.held_outputs.clear();
  s.handing.clear();
  s.host_gone = 0;
  s.wakeups = 0;
  if (!config.faults.device_silent) {
    for (const DevUnsolicited& u : config.faults.unsolicited) {
      DevOutput o{static_cast<uint64_t>(u.at_ms) * 1000, DEV_BAUD_APP,
                  std::vector<uint8_t>(u.bytes.begin(), u.bytes.end())};
      devmodel_runner_out(s.model, o, "(unsolicited)");
      s.due.emplace(o.at_us, std::move(o));
    }
  }
  return 0;
}

int devserver_run(DevServer& s, int stop_fd) {
#ifdef PR_SET_TIMERSLACK
  // Output is due every few bytes: the default 50 us of timer slack would make every chunk
  // that late, and the host's answer with it.
  (void)::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
  std::vector<uint8_t> buffer(READ_CHUNK_BYTES);
  const uint64_t read_delay_us = uint64_t{s.model.config.timing.read_delay_ms} * 1000;
  // A late reader: when the bytes waiting now will be taken off the line (0: none waiting),
  // and the speed the host had set when they came.
  uint64_t read_at_us = 0;
  uint32_t arrival_baud = 0;
  for (;;) {
    write_due(s, devserver_now_us(s));
    // To the microsecond: a paced line has a deadline every few bytes. While bytes wait for a
    // late reader, only their time or output wakes the loop.
    const uint64_t now = devserver_now_us(s);
    const bool holding = read_at_us != 0 && now < read_at_us;
    uint64_t at = next_due(s);
    if (holding) at = std::min(at, read_at_us);
    const uint64_t wait_us = at <= now ? 0 : at - now;
    const timespec timeout{static_cast<time_t>(wait_us / 1000000), static_cast<long>(wait_us % 1000000 * 1000)};
    const short wanted = static_cast<short>((holding ? 0 : POLLIN) | (s.to_host.empty() ? 0 : POLLOUT));
    pollfd fds[2] = {{wanted == 0 ? -1 : s.master, wanted, 0}, {stop_fd, POLLIN, 0}};
    const int ready = ::ppoll(fds, 2, at == UINT64_MAX ? nullptr : &timeout, nullptr);
    // The host's bytes are taken as arriving when the wait ended, not after the work below.
    const uint64_t woke_us = devserver_now_us(s);
    ++s.wakeups;
    if (ready < 0) {
      if (errno == EINTR) continue;
      return 1;
    }
    if (fds[1].revents != 0) return 0;
    if (read_at_us == 0) {
      if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      // Sampled when the bytes are seen: racy around a speed change, which the model allows for.
      arrival_baud = devserver_host_baud(s);
      if (read_delay_us != 0) {
        read_at_us = woke_us + read_delay_us;
        continue;
      }
    } else if (woke_us < read_at_us) {
      continue;
    }
    read_at_us = 0;
    const ssize_t n = ::read(s.master, buffer.data(), buffer.size());
    if (n > 0) {
      const std::lock_guard<std::mutex> hold(s.lock);
      devmodel_feed(s.model, std::span(buffer.data(), static_cast<size_t>(n)), arrival_baud, woke_us);
      queue(s, devmodel_take_output(s.model));
      if (s.after_feed) s.after_feed(s);
    } else if (n == 0 || errno == EIO) {
      // Nobody holds the slave side: the host is gone, not an error of ours.
      ++s.host_gone;
      pollfd stop = {stop_fd, POLLIN, 0};
      if (::poll(&stop, 1, HOST_GONE_RETRY_MS) > 0) return 0;
    } else if (errno != EINTR && errno != EAGAIN) {
      return 1;
    }
  }
}

void devserver_close(DevServer& s) {
  close_fd(s.slave);
  close_fd(s.master);
}

int devserver_start(DevServerThread& r, const DevConfig& config) {
  if (::pipe2(r.stop_pipe, O_CLOEXEC) != 0) return 1;
  const int result = devserver_open(r.server, config);
  if (result != 0) {
    close_fd(r.stop_pipe[0]);
    close_fd(r.stop_pipe[1]);
    return result;
  }
  r.thread = std::thread([&r] { devserver_run(r.server, r.stop_pipe[0]); });
  return 0;
}

void devserver_stop(DevServerThread& r) {
  if (r.thread.joinable()) {
    const char stop = 1;
    while (::write(r.stop_pipe[1], &stop, 1) < 0 && errno == EINTR) {
    }
    r.thread.join();
  }
  close_fd(r.stop_pipe[0]);
  close_fd(r.stop_pipe[1]);
  devserver_close(r.server);
}
