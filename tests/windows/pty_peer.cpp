// Host-side (Linux) helper for the Windows serial tests under Wine: plays the device end of a
// pseudo-terminal that the Wine prefix sees as one COM port, and runs the Windows test
// program against it.
//
//   pty_peer [--silent <log file>] <dosdevices dir> <com number> <command> [args...]
//
// Every comN link in the dosdevices folder is removed first (Wine links COM ports to the
// machine's real serial devices by itself), then comN is linked to the pty's slave side.
// The test program steers the peer with one-byte commands on the line:
//   'S'  send "LATE" now
//   'P'  send "abc" now
//   'E'  send back every byte that follows, until a 0 byte
//   'T'  report the line settings the program made, as one text line:
//        "<speed> cstopb=<0|1> ixon=<0|1> ixoff=<0|1> crtscts=<0|1>"
//        (a pty keeps no data size or parity: Linux forces 8 bits without parity on it)
//   'W'  stop reading the line for 3 s, so that the program's writes back up
//   'C'  report how many 'x' bytes came since the last report, as "<count>\n"
//   'H'  hang up: close the line for good
// Bytes that are not commands are ignored. With --silent the peer never answers (a port
// with no device) and logs what it received instead: one line per run of bytes at one
// speed, "<speed>:" and the bytes in hex. The exit status is the test program's; 124
// when it had to be stopped after the time limit.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int PEER_LIMIT_MS = 120000;  // the whole run, a stuck program included

bool send_all(int fd, const char* data, size_t count) {
  while (count > 0) {
    const ssize_t n = write(fd, data, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

bool link_port(const std::string& dir, const std::string& number, const char* slave) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return false;
  while (const dirent* entry = readdir(d)) {
    if (strncasecmp(entry->d_name, "com", 3) == 0) unlink((dir + "/" + entry->d_name).c_str());
  }
  closedir(d);
  return symlink(slave, (dir + "/com" + number).c_str()) == 0;
}

unsigned speed_of(speed_t s) {
  switch (s) {
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    default: return 0;
  }
}

void report_settings(int master, int slave) {
  termios t{};
  tcgetattr(slave, &t);
  char text[128];
  const int n = std::snprintf(
      text, sizeof text, "%u cstopb=%d ixon=%d ixoff=%d crtscts=%d\n",
      speed_of(cfgetospeed(&t)), (t.c_cflag & CSTOPB) != 0,
      (t.c_iflag & IXON) != 0, (t.c_iflag & IXOFF) != 0, (t.c_cflag & CRTSCTS) != 0);
  send_all(master, text, static_cast<size_t>(n));
}

using Clock = std::chrono::steady_clock;

struct Peer {
  int master = -1;
  int slave = -1;
  bool echoing = false;
  Clock::time_point deaf_until{};
  unsigned long filler = 0;  // 'x' bytes received
};

// Acts on what the test program sent; false once the line was hung up.
bool serve(Peer& peer, const unsigned char* bytes, size_t count) {
  const int master = peer.master;
  bool& echoing = peer.echoing;
  for (size_t i = 0; i < count; ++i) {
    const unsigned char b = bytes[i];
    if (echoing) {
      if (b == 0) {
        echoing = false;
      } else {
        send_all(master, reinterpret_cast<const char*>(&b), 1);
      }
      continue;
    }
    switch (b) {
      case 'S': send_all(master, "LATE", 4); break;
      case 'P': send_all(master, "abc", 3); break;
      case 'E': echoing = true; break;
      case 'T': report_settings(master, peer.slave); break;
      case 'x': ++peer.filler; break;
      case 'C': {
        char text[32];
        const int n = std::snprintf(text, sizeof text, "%lu\n", peer.filler);
        send_all(master, text, static_cast<size_t>(n));
        peer.filler = 0;
        break;
      }
      case 'W': peer.deaf_until = Clock::now() + std::chrono::milliseconds(3000); break;
      case 'H': return false;
      default: break;
    }
  }
  return true;
}

}  // namespace

// The silent peer's record of the line.
struct Log {
  std::FILE* file = nullptr;
  unsigned speed = 0;

  void add(const unsigned char* bytes, size_t count, unsigned now_speed) {
    if (now_speed != speed) {
      std::fprintf(file, "%s%u:", speed == 0 ? "" : "\n", now_speed);
      speed = now_speed;
    }
    for (size_t i = 0; i < count; ++i) std::fprintf(file, " %02x", bytes[i]);
    std::fflush(file);
  }
};

int main(int argc, char** argv) {
  Log log;
  if (argc > 2 && std::strcmp(argv[1], "--silent") == 0) {
    log.file = std::fopen(argv[2], "w");
    if (log.file == nullptr) {
      std::perror("pty_peer: log");
      return 2;
    }
    argc -= 2;
    argv += 2;
  }
  const bool silent = log.file != nullptr;
  if (argc < 4) {
    std::fprintf(stderr, "use: pty_peer [--silent <log file>] <dosdevices dir> <com number> "
                         "<command> [args...]\n");
    return 2;
  }
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    std::perror("pty_peer: pty");
    return 2;
  }
  const char* slave_name = ptsname(master);
  // Held open so the pty stays raw and the master never reads as hung up while the
  // program reopens the port; dropped with the master on 'H'.
  int slave = slave_name ? open(slave_name, O_RDWR | O_NOCTTY) : -1;
  termios raw{};
  if (slave < 0 || tcgetattr(slave, &raw) != 0) {
    std::perror("pty_peer: slave");
    return 2;
  }
  // Raw, but with settings a device port may well have been left in by another program, so
  // that the test sees which ones the open changes and which it keeps.
  cfmakeraw(&raw);
  raw.c_cflag |= CSTOPB | CRTSCTS;
  raw.c_iflag |= IXON | IXOFF;
  cfsetspeed(&raw, B9600);
  tcsetattr(slave, TCSANOW, &raw);
  if (!link_port(argv[1], argv[2], slave_name)) {
    std::perror("pty_peer: link");
    return 2;
  }

  const pid_t child = fork();
  if (child == 0) {
    close(master);
    close(slave);
    execvp(argv[3], argv + 3);
    std::perror("pty_peer: exec");
    _exit(127);
  }
  if (child < 0) {
    std::perror("pty_peer: fork");
    return 2;
  }

  bool line_up = true;
  Peer peer{master, slave};
  int status = 0;
  const auto started = Clock::now();
  for (;;) {
    if (waitpid(child, &status, WNOHANG) == child) break;
    if (Clock::now() - started > std::chrono::milliseconds(PEER_LIMIT_MS)) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      unlink((std::string(argv[1]) + "/com" + argv[2]).c_str());
      std::fprintf(stderr, "pty_peer: test program stopped after %d ms\n", PEER_LIMIT_MS);
      return 124;
    }
    // The child's end is noticed within 100 ms even when the line is quiet.
    pollfd p{master, POLLIN, 0};
    const bool listening = line_up && Clock::now() >= peer.deaf_until;
    const int ready = listening ? poll(&p, 1, 100) : poll(nullptr, 0, 100);
    if (ready > 0 && (p.revents & POLLIN) != 0) {
      unsigned char buffer[256];
      const ssize_t n = read(master, buffer, sizeof buffer);
      if (n > 0 && silent) {
        termios t{};
        tcgetattr(slave, &t);
        log.add(buffer, static_cast<size_t>(n), speed_of(cfgetospeed(&t)));
      } else if (n > 0 && !serve(peer, buffer, static_cast<size_t>(n))) {
        close(master);
        close(slave);
        line_up = false;
      }
    }
  }
  if (line_up) {
    close(master);
    close(slave);
  }
  // The pty's name goes to the next pty opened: the link must not outlive this one.
  unlink((std::string(argv[1]) + "/com" + argv[2]).c_str());
  if (silent) {
    std::fputc('\n', log.file);
    std::fclose(log.file);
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
