// TCP connections on POSIX: non-blocking sockets, every wait in poll() beside the stop's
// descriptor.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <memory>

#include "serial/net.h"
#include "serial/net_lookup.h"
#include "serial/port_posix.h"
#include "serial/stop.h"

namespace korvo {

namespace {

// Keep-alive probes find a server that vanished without a word (switched off, cable pulled)
// while korvo waits on a long step: after 10 s of silence, every 5 s, 3 times.
constexpr int KEEPALIVE_IDLE_S = 10;
constexpr int KEEPALIVE_INTERVAL_S = 5;
constexpr int KEEPALIVE_PROBES = 3;

uint64_t monotonic_us() {
  timespec ts{};
  (void)clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000U + static_cast<uint64_t>(ts.tv_nsec) / 1000U;
}

int wait_ms(uint64_t deadline_ms) {
  const uint64_t now = monotonic_us() / 1000U;
  return now >= deadline_ms ? 0 : static_cast<int>(std::min<uint64_t>(deadline_ms - now, INT_MAX));
}

enum class Ready { YES, TIMEOUT, STOPPED, FAILED };

Ready wait_for(int fd, short events, uint64_t deadline_ms) {
  for (;;) {
    if (port_stop_requested()) return Ready::STOPPED;
    std::array<pollfd, 2> p{{{fd, events, 0}, {port_posix_stop_fd(), POLLIN, 0}}};
    const int r = poll(p.data(), p.size(), wait_ms(deadline_ms));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return Ready::FAILED;
    if (r == 0) return Ready::TIMEOUT;
    if ((p[1].revents & POLLIN) != 0) return Ready::STOPPED;
    return Ready::YES;  // ready, or an error the next call reports
  }
}

// The resolver's answer, held by the lookup's thread and the caller alike: a lookup that
// outlives its wait frees it alone.
struct Resolution {
  int error = 0;
  addrinfo* list = nullptr;
  ~Resolution() {
    if (list != nullptr) freeaddrinfo(list);
  }
};

NetConnect resolve(const std::string& host, uint16_t port, uint64_t deadline_ms, std::shared_ptr<Resolution>& out,
                   std::string& why) {
  auto found = std::make_shared<Resolution>();
  const NetConnect waited = net_lookup_wait(
      [found, host, port] {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICSERV;
        addrinfo* list = nullptr;
        found->error = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
        found->list = list;
      },
      [] { return monotonic_us() / 1000U; }, deadline_ms);
  if (waited != NetConnect::OK) return waited;
  if (found->error != 0) {
    why = gai_strerror(found->error);
    return found->error == EAI_NONAME || found->error == EAI_AGAIN || found->error == EAI_FAIL
               ? NetConnect::NO_NAME
               : NetConnect::FAILED;
  }
  out = found;
  return NetConnect::OK;
}

NetConnect connect_error(int error) {
  switch (error) {
    case ECONNREFUSED: return NetConnect::REFUSED;
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ENETDOWN:
    case EHOSTDOWN: return NetConnect::UNREACHABLE;
    case ETIMEDOUT: return NetConnect::TIMED_OUT;
    default: return NetConnect::FAILED;
  }
}

void tune(int fd) {
  const int on = 1;
  (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  (void)setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
#ifdef TCP_KEEPIDLE
  (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &KEEPALIVE_IDLE_S, sizeof KEEPALIVE_IDLE_S);
  (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &KEEPALIVE_INTERVAL_S, sizeof KEEPALIVE_INTERVAL_S);
  (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &KEEPALIVE_PROBES, sizeof KEEPALIVE_PROBES);
#endif
}

struct PosixSocket final : NetSocket {
  int fd = -1;

  ~PosixSocket() override { close(); }

  NetConnect connect_one(const addrinfo& a, uint64_t deadline_ms, std::string& why) {
    fd = ::socket(a.ai_family, a.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a.ai_protocol);
    if (fd < 0) {
      why = std::strerror(errno);
      return NetConnect::FAILED;
    }
    if (::connect(fd, a.ai_addr, a.ai_addrlen) != 0) {
      if (errno != EINPROGRESS && errno != EINTR) {
        why = std::strerror(errno);
        return connect_error(errno);
      }
      const Ready ready = wait_for(fd, POLLOUT, deadline_ms);
      if (ready == Ready::STOPPED) return NetConnect::STOPPED;
      if (ready == Ready::TIMEOUT) return NetConnect::TIMED_OUT;
      int error = 0;
      socklen_t length = sizeof error;
      if (ready == Ready::FAILED || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
      if (error != 0) {
        why = std::strerror(error);
        return connect_error(error);
      }
    }
    tune(fd);
    return NetConnect::OK;
  }

  NetConnect connect(const std::string& host, uint16_t port, uint64_t deadline_ms, std::string& why) override {
    close();
    std::shared_ptr<Resolution> found;
    NetConnect result = resolve(host, port, deadline_ms, found, why);
    if (result != NetConnect::OK) return result;
    // Each address in the resolver's order; the first failure's kind is the one told when
    // none connects (a refusal says more than a later address's silence).
    NetConnect first = NetConnect::FAILED;
    std::string first_why;
    bool tried = false;
    for (const addrinfo* a = found->list; a != nullptr; a = a->ai_next) {
      std::string this_why;
      result = connect_one(*a, deadline_ms, this_why);
      if (result == NetConnect::OK) return result;
      close();
      if (!tried) {
        first = result;
        first_why = this_why;
        tried = true;
      }
      if (result == NetConnect::STOPPED || result == NetConnect::TIMED_OUT) return result;
    }
    why = first_why;
    return first;
  }

  NetIo send(const uint8_t* data, size_t count, uint64_t deadline_ms, size_t& sent) override {
    sent = 0;
    while (sent < count) {
      if (fd < 0) return NetIo::CLOSED;
      if (port_stop_requested()) return NetIo::STOPPED;
      const ssize_t n = ::send(fd, data + sent, count - sent, MSG_NOSIGNAL);
      if (n > 0) {
        sent += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        const Ready ready = wait_for(fd, POLLOUT, deadline_ms);
        if (ready == Ready::STOPPED) return NetIo::STOPPED;
        if (ready == Ready::TIMEOUT) return NetIo::TIMEOUT;
        continue;
      }
      return NetIo::CLOSED;
    }
    return NetIo::OK;
  }

  NetIo receive(uint8_t* buffer, size_t count, uint64_t deadline_ms, size_t& got) override {
    got = 0;
    for (;;) {
      if (fd < 0) return NetIo::CLOSED;
      const ssize_t n = ::recv(fd, buffer, count, 0);
      if (n > 0) {
        got = static_cast<size_t>(n);
        quick_ack();
        return NetIo::OK;
      }
      if (n == 0) return NetIo::CLOSED;
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return NetIo::CLOSED;
      if (monotonic_us() / 1000U >= deadline_ms) return NetIo::TIMEOUT;
      const Ready ready = wait_for(fd, POLLIN, deadline_ms);
      if (ready == Ready::STOPPED) return NetIo::STOPPED;
      if (ready == Ready::TIMEOUT) return NetIo::TIMEOUT;
    }
  }

  // A server that leaves Nagle's algorithm on holds a device's second short answer until our
  // acknowledgement of the first, which a delayed ACK puts off by up to 40 ms: every packet
  // would pay it. Linux takes the request for one quick acknowledgement at a time.
  void quick_ack() const {
#ifdef TCP_QUICKACK
    const int on = 1;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#endif
  }

  void close() override {
    if (fd >= 0) (void)::close(fd);
    fd = -1;
  }

  uint64_t now_us() override { return monotonic_us(); }

  void sleep_until_us(uint64_t deadline_us) override {
    for (;;) {
      const uint64_t now = monotonic_us();
      if (port_stop_requested() || now >= deadline_us) return;
      const uint64_t left = deadline_us - now;
      timespec pause{static_cast<time_t>(left / 1000000U), static_cast<long>(left % 1000000U * 1000U)};
      pollfd p{port_posix_stop_fd(), POLLIN, 0};
#ifdef __linux__
      if (ppoll(&p, 1, &pause, nullptr) > 0) return;  // the stop
#else
      if (poll(&p, 1, static_cast<int>((left + 999U) / 1000U)) > 0) return;
#endif
    }
  }
};

}  // namespace

std::unique_ptr<NetSocket> net_socket_system() { return std::make_unique<PosixSocket>(); }

}  // namespace korvo
