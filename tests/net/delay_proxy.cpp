// A TCP relay that holds every chunk for a fixed time in each direction, as a slow link would:
// korvo-delay-proxy LISTEN_PORT TARGET_HOST TARGET_PORT DELAY_MS. Listens on 127.0.0.1,
// serves each connection on a thread of its own, and keeps the gaps between chunks as they
// came. For tests and the benchmark only.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Held {
  Clock::time_point due;
  std::vector<char> bytes;
};

int connect_to(const char* host, const char* port) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (getaddrinfo(host, port, &hints, &list) != 0) return -1;
  int fd = -1;
  for (addrinfo* a = list; a != nullptr && fd < 0; a = a->ai_next) {
    fd = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (fd >= 0 && connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(list);
  return fd;
}

void no_delay(int fd) {
  const int on = 1;
  (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool write_all(int fd, const std::vector<char>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Both directions of one connection: what is read waits in its queue until its time.
void relay(int client, const char* host, const char* port, std::chrono::milliseconds delay) {
  const int server = connect_to(host, port);
  if (server < 0) {
    close(client);
    return;
  }
  no_delay(client);
  no_delay(server);
  const int ends[2] = {client, server};
  std::deque<Held> queues[2];  // [0]: client to server, [1]: server to client
  bool open[2] = {true, true};
  for (;;) {
    const Clock::time_point now = Clock::now();
    for (int d = 0; d < 2; ++d) {
      while (!queues[d].empty() && queues[d].front().due <= now) {
        if (!write_all(ends[1 - d], queues[d].front().bytes)) open[d] = false;
        queues[d].pop_front();
      }
      // A side that closed is passed on once what it sent has been delivered.
      if (!open[d] && queues[d].empty()) {
        close(client);
        close(server);
        return;
      }
    }
    int wait_ms = -1;
    for (const auto& q : queues) {
      if (q.empty()) continue;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(q.front().due - now).count() + 1;
      wait_ms = wait_ms < 0 ? static_cast<int>(left) : std::min(wait_ms, static_cast<int>(left));
    }
    pollfd p[2] = {{open[0] ? client : -1, POLLIN, 0}, {open[1] ? server : -1, POLLIN, 0}};
    if (poll(p, 2, wait_ms) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int d = 0; d < 2; ++d) {
      if ((p[d].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      std::vector<char> bytes(4096);
      const ssize_t n = recv(ends[d], bytes.data(), bytes.size(), 0);
      if (n <= 0) {
        open[d] = false;
        continue;
      }
      bytes.resize(static_cast<size_t>(n));
      queues[d].push_back(Held{Clock::now() + delay, std::move(bytes)});
    }
  }
  close(client);
  close(server);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: korvo-delay-proxy LISTEN_PORT TARGET_HOST TARGET_PORT DELAY_MS\n");
    return 2;
  }
  std::signal(SIGPIPE, SIG_IGN);
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  (void)setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[1])));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 8) != 0) {
    std::perror("korvo-delay-proxy");
    return 1;
  }
  const std::chrono::milliseconds delay(std::atoi(argv[4]));
  for (;;) {
    const int client = accept(listener, nullptr, nullptr);
    if (client < 0) continue;
    std::thread(relay, client, argv[2], argv[3], delay).detach();
  }
}
