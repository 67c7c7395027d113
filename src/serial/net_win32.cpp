// TCP connections on Windows: Winsock sockets in non-blocking mode, every wait in
// WaitForMultipleObjects on the socket's event beside the stop's event.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>

#include <algorithm>
#include <memory>
#include <string>

#include "serial/net.h"
#include "serial/net_lookup.h"
#include "serial/port_win32.h"
#include "serial/stop.h"

namespace korvo {

namespace {

// Keep-alive probes find a server that vanished without a word: after 10 s of silence, every
// 5 s.
constexpr ULONG KEEPALIVE_IDLE_MS = 10000;
constexpr ULONG KEEPALIVE_INTERVAL_MS = 5000;

// Winsock is started once for the process, when the first network port is opened.
bool winsock_ready() {
  static const bool ready = [] {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return ready;
}

uint64_t monotonic_us() {
  LARGE_INTEGER count{};
  LARGE_INTEGER frequency{};
  if (!QueryPerformanceCounter(&count) || !QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0) {
    return static_cast<uint64_t>(GetTickCount64()) * 1000U;
  }
  const auto ticks = static_cast<unsigned long long>(count.QuadPart);
  const auto hz = static_cast<unsigned long long>(frequency.QuadPart);
  return ticks / hz * 1000000ULL + ticks % hz * 1000000ULL / hz;
}

DWORD wait_ms(uint64_t deadline_ms) {
  const uint64_t now = monotonic_us() / 1000U;
  return now >= deadline_ms ? 0 : static_cast<DWORD>(std::min<uint64_t>(deadline_ms - now, 0x7FFFFFFF));
}

std::string system_text(int error) {
  char text[256] = {};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                 static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
  std::string s(text, n);
  while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ' || s.back() == '.')) s.pop_back();
  if (s.empty()) s = "error " + std::to_string(error);
  return s;
}

enum class Ready { YES, TIMEOUT, STOPPED, FAILED };

// Waits for the socket's event (any of its network events) or the stop.
Ready wait_for(WSAEVENT event, uint64_t deadline_ms) {
  if (port_stop_requested()) return Ready::STOPPED;
  const HANDLE stop = port_win32_stop_event();
  const HANDLE both[2] = {event, stop};
  const DWORD r = WaitForMultipleObjects(stop != nullptr ? 2 : 1, both, FALSE, wait_ms(deadline_ms));
  if (r == WAIT_OBJECT_0) return Ready::YES;
  if (r == WAIT_OBJECT_0 + 1) return Ready::STOPPED;
  if (r == WAIT_TIMEOUT) return Ready::TIMEOUT;
  return Ready::FAILED;
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
        hints.ai_protocol = IPPROTO_TCP;
        addrinfo* list = nullptr;
        found->error = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
        found->list = list;
      },
      [] { return monotonic_us() / 1000U; }, deadline_ms);
  if (waited != NetConnect::OK) return waited;
  if (found->error != 0) {
    why = system_text(found->error);
    return found->error == WSAHOST_NOT_FOUND || found->error == WSANO_DATA || found->error == WSATRY_AGAIN
               ? NetConnect::NO_NAME
               : NetConnect::FAILED;
  }
  out = found;
  return NetConnect::OK;
}

NetConnect connect_error(int error) {
  switch (error) {
    case WSAECONNREFUSED: return NetConnect::REFUSED;
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
    case WSAENETDOWN:
    case WSAEHOSTDOWN: return NetConnect::UNREACHABLE;
    case WSAETIMEDOUT: return NetConnect::TIMED_OUT;
    default: return NetConnect::FAILED;
  }
}

void tune(SOCKET s) {
  const BOOL on = TRUE;
  (void)setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  (void)setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on);
  tcp_keepalive keepalive{1, KEEPALIVE_IDLE_MS, KEEPALIVE_INTERVAL_MS};
  DWORD returned = 0;
  (void)WSAIoctl(s, SIO_KEEPALIVE_VALS, &keepalive, sizeof keepalive, nullptr, 0, &returned, nullptr, nullptr);
  // Every segment acknowledged at once: a server that leaves Nagle's algorithm on holds a
  // device's second short answer until our acknowledgement of the first, which a delayed ACK
  // puts off by up to 200 ms. Windows before 10 (and Wine) say no; nothing else depends on it.
  DWORD frequency = 1;
  (void)WSAIoctl(s, SIO_TCP_SET_ACK_FREQUENCY, &frequency, sizeof frequency, nullptr, 0, &returned, nullptr,
                 nullptr);
}

struct Win32Socket final : NetSocket {
  SOCKET s = INVALID_SOCKET;
  WSAEVENT event = WSA_INVALID_EVENT;

  ~Win32Socket() override { close(); }

  NetConnect connect_one(const addrinfo& a, uint64_t deadline_ms, std::string& why) {
    s = ::socket(a.ai_family, a.ai_socktype, a.ai_protocol);
    event = WSACreateEvent();
    if (s == INVALID_SOCKET || event == WSA_INVALID_EVENT ||
        WSAEventSelect(s, event, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE) != 0) {
      why = system_text(WSAGetLastError());
      return NetConnect::FAILED;
    }
    if (::connect(s, a.ai_addr, static_cast<int>(a.ai_addrlen)) == 0) {
      tune(s);
      return NetConnect::OK;
    }
    if (WSAGetLastError() != WSAEWOULDBLOCK) {
      const int error = WSAGetLastError();
      why = system_text(error);
      return connect_error(error);
    }
    for (;;) {
      const Ready ready = wait_for(event, deadline_ms);
      if (ready == Ready::STOPPED) return NetConnect::STOPPED;
      if (ready == Ready::TIMEOUT) return NetConnect::TIMED_OUT;
      WSANETWORKEVENTS events{};
      if (ready == Ready::FAILED || WSAEnumNetworkEvents(s, event, &events) != 0) {
        why = system_text(WSAGetLastError());
        return NetConnect::FAILED;
      }
      if ((events.lNetworkEvents & FD_CONNECT) == 0) continue;
      const int error = events.iErrorCode[FD_CONNECT_BIT];
      if (error != 0) {
        why = system_text(error);
        return connect_error(error);
      }
      tune(s);
      return NetConnect::OK;
    }
  }

  NetConnect connect(const std::string& host, uint16_t port, uint64_t deadline_ms, std::string& why) override {
    close();
    if (!winsock_ready()) {
      why = "Winsock did not start";
      return NetConnect::FAILED;
    }
    std::shared_ptr<Resolution> found;
    NetConnect result = resolve(host, port, deadline_ms, found, why);
    if (result != NetConnect::OK) return result;
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

  // The event is reset before the call is tried again, so that a network event arriving in
  // between sets it anew: no wakeup is lost and none is spun on.
  Ready wait_again(uint64_t deadline_ms) {
    const Ready ready = wait_for(event, deadline_ms);
    WSANETWORKEVENTS events{};
    if (ready == Ready::YES) (void)WSAEnumNetworkEvents(s, event, &events);
    return ready;
  }

  NetIo send(const uint8_t* data, size_t count, uint64_t deadline_ms, size_t& sent) override {
    sent = 0;
    while (sent < count) {
      if (s == INVALID_SOCKET) return NetIo::CLOSED;
      if (port_stop_requested()) return NetIo::STOPPED;
      const int chunk = static_cast<int>(std::min<size_t>(count - sent, 1 << 20));
      const int n = ::send(s, reinterpret_cast<const char*>(data + sent), chunk, 0);
      if (n > 0) {
        sent += static_cast<size_t>(n);
        continue;
      }
      if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
        const Ready ready = wait_again(deadline_ms);
        if (ready == Ready::STOPPED) return NetIo::STOPPED;
        if (ready == Ready::TIMEOUT) return NetIo::TIMEOUT;
        if (ready == Ready::FAILED) return NetIo::CLOSED;
        continue;
      }
      return NetIo::CLOSED;
    }
    return NetIo::OK;
  }

  NetIo receive(uint8_t* buffer, size_t count, uint64_t deadline_ms, size_t& got) override {
    got = 0;
    for (;;) {
      if (s == INVALID_SOCKET) return NetIo::CLOSED;
      const int n = ::recv(s, reinterpret_cast<char*>(buffer), static_cast<int>(std::min<size_t>(count, 1 << 20)), 0);
      if (n > 0) {
        got = static_cast<size_t>(n);
        return NetIo::OK;
      }
      if (n == 0) return NetIo::CLOSED;
      if (WSAGetLastError() != WSAEWOULDBLOCK) return NetIo::CLOSED;
      if (monotonic_us() / 1000U >= deadline_ms) return NetIo::TIMEOUT;
      const Ready ready = wait_again(deadline_ms);
      if (ready == Ready::STOPPED) return NetIo::STOPPED;
      if (ready == Ready::TIMEOUT) return NetIo::TIMEOUT;
      if (ready == Ready::FAILED) return NetIo::CLOSED;
    }
  }

  void close() override {
    if (s != INVALID_SOCKET) (void)closesocket(s);
    if (event != WSA_INVALID_EVENT) (void)WSACloseEvent(event);
    s = INVALID_SOCKET;
    event = WSA_INVALID_EVENT;
  }

  uint64_t now_us() override { return monotonic_us(); }

  // Whole milliseconds, rounded up: the line time is never cut short.
  void sleep_until_us(uint64_t deadline_us) override {
    const uint64_t now = monotonic_us();
    if (port_stop_requested() || now >= deadline_us) return;
    const DWORD ms = static_cast<DWORD>(std::min<uint64_t>((deadline_us - now + 999U) / 1000U, 0x7FFFFFFF));
    const HANDLE stop = port_win32_stop_event();
    if (stop == nullptr || WaitForSingleObject(stop, ms) == WAIT_FAILED) Sleep(ms);
  }
};

}  // namespace

std::unique_ptr<NetSocket> net_socket_system() { return std::make_unique<Win32Socket>(); }

}  // namespace korvo
