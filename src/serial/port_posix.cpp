// Serial ports on POSIX: a tty opened non-blocking, with every wait made in poll() or a sleep.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/serial.h>
#include <sys/sysmacros.h>
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <cstring>
#include <string>

#include "serial/net.h"
#include "serial/port.h"
#include "serial/port_posix.h"
#include "serial/stop.h"

namespace korvo {

namespace {

// Each open port as the fatal-signal handler must see it, whatever thread opened it. A port
// claims a slot when it opens and gives it back when it closes; the handler takes every
// claimed slot for itself, so that of a closing thread and the handler exactly one closes the
// descriptor. Everything the handler reads is atomic (lock-free) or written before an atomic
// publishes it: a handler can reach nothing else, and it may run on any thread.
constexpr size_t SIGNAL_SLOTS = 64;
constexpr size_t SIGNAL_LOCK_BYTES = 4096;

enum SlotOwner : int {
  SLOT_FREE = 0,
  SLOT_PORT = 1,     // an open (or opening) port holds it
  SLOT_CLOSING = 2,  // its port is closing the descriptor: the handler leaves it alone
  SLOT_SIGNAL = 3,   // the signal path has taken it: the port no longer touches the descriptor
};

struct SignalSlot {
  std::atomic<int> owner{SLOT_FREE};
  std::atomic<int> fd{-1};              // set once the line is ours (its flock taken)
  std::atomic<bool> exclusive{false};   // the exclusive flag was set through fd: ours to clear
  std::atomic<int> serial_flags{-1};    // the driver's flags before low latency; -1: unchanged
  std::atomic<uint32_t> baud{0};
  std::atomic<bool> stuck{false};       // its output has stopped leaving
  std::atomic<bool> ask_transmitter{true};  // its driver's transmitter report may be believed
  std::atomic<size_t> lock_length{0};   // 0: no lock file; `lock` is whole and ends in NUL once set
  std::array<char, SIGNAL_LOCK_BYTES> lock{};
};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<size_t>::is_always_lock_free &&
              std::atomic<bool>::is_always_lock_free && std::atomic<uint32_t>::is_always_lock_free);

std::array<SignalSlot, SIGNAL_SLOTS> g_slots;

// A free slot, or -1 when all are taken: the port still works then, only a fatal signal does
// not release it (the system still closes it when the process ends; its lock file goes stale
// and the next run takes it over).
int claim_slot() {
  for (size_t i = 0; i < g_slots.size(); ++i) {
    int expected = SLOT_FREE;
    if (g_slots[i].owner.compare_exchange_strong(expected, SLOT_PORT)) return static_cast<int>(i);
  }
  return -1;
}

int system_serial_ioctl(int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); }
std::atomic<PortSerialIoctl> g_serial_ioctl{system_serial_ioctl};

// USB adapters hold short replies until their latency timer runs out (16 ms by default on the
// common chips); each record's two short replies would pay it. Low-latency mode asks the driver
// to pass bytes on at once. A driver without the mode (a pty, a plain UART) says no, which is
// fine. Gives the flags to put back at close, or -1 when nothing was changed.
int ask_low_latency(int fd) {
#if defined(TIOCGSERIAL) && defined(ASYNC_LOW_LATENCY)
  serial_struct settings{};
  const PortSerialIoctl serial_ioctl = g_serial_ioctl.load();
  if (serial_ioctl(fd, TIOCGSERIAL, &settings) != 0) return -1;
  const int before = settings.flags;
  constexpr int low_latency = static_cast<int>(ASYNC_LOW_LATENCY);
  if ((before & low_latency) != 0) return -1;
  settings.flags = before | low_latency;
  if (serial_ioctl(fd, TIOCSSERIAL, &settings) != 0) return -1;
  return before;
#else
  (void)fd;
  return -1;
#endif
}

// Async-signal-safe: two ioctls.
void restore_latency(int fd, int flags) {
#if defined(TIOCGSERIAL) && defined(ASYNC_LOW_LATENCY)
  if (flags < 0) return;
  serial_struct settings{};
  const PortSerialIoctl serial_ioctl = g_serial_ioctl.load();
  if (serial_ioctl(fd, TIOCGSERIAL, &settings) != 0) return;
  settings.flags = flags;
  (void)serial_ioctl(fd, TIOCSSERIAL, &settings);
#else
  (void)fd;
  (void)flags;
#endif
}

// The system's reason for errno, and the kind of failure it is.
void describe(OpenFailure& failure, int error) {
  failure.reason = std::strerror(error);
  switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      failure.error = OpenError::MISSING;
      break;
    case EACCES:
    case EPERM:
      failure.error = OpenError::DENIED;
      break;
    case EBUSY:
    case EWOULDBLOCK:
      failure.error = OpenError::IN_USE;
      break;
    default:
      failure.error = OpenError::FAILED;
      break;
  }
}

enum WaitResult { WAIT_READY, WAIT_TIMEOUT, WAIT_DEAD, WAIT_STOPPED };

// Blocks in poll() until `events` is possible, the deadline passes, the line is gone or a stop
// is asked for.
WaitResult wait_for(int fd, short events, uint64_t deadline_ms) {
  const int stop = port_posix_stop_fd();  // poll() skips it when negative
  for (;;) {
    if (port_stop_requested()) return WAIT_STOPPED;
    const uint64_t now = clock_posix_monotonic_ms();
    if (now >= deadline_ms) return WAIT_TIMEOUT;
    std::array<pollfd, 2> p{{{fd, events, 0}, {stop, POLLIN, 0}}};
    const int r = poll(p.data(), p.size(), static_cast<int>(deadline_ms - now));
    if (r < 0) {
      if (errno == EINTR) continue;
      return WAIT_DEAD;
    }
    if (r == 0) return WAIT_TIMEOUT;
    if ((p[1].revents & POLLIN) != 0) return WAIT_STOPPED;
    if ((p[0].revents & events) != 0) return WAIT_READY;
    // POLLHUP, POLLERR or POLLNVAL without data: the adapter was pulled or the other side closed.
    return WAIT_DEAD;
  }
}

void sleep_until(uint64_t deadline_ms) {
  const uint64_t now = clock_posix_monotonic_ms();
  if (now < deadline_ms) clock_posix_sleep_ms(deadline_ms - now);
}

// True once the driver has sent everything it was given: its output queue is empty and,
// where the driver reports it, so is the transmitter. queued: bytes still in the queue.
// ask_transmitter: the driver may report its transmitter; cleared once it refuses, since
// pseudo-terminals and most USB adapters always do and every packet would ask again, and once
// the report proved wrong (drain_until).
bool output_sent(int fd, int& queued, bool& ask_transmitter) {
  queued = 0;
  const PortSerialIoctl driver_ioctl = g_serial_ioctl.load();
#ifdef TIOCOUTQ
  if (driver_ioctl(fd, TIOCOUTQ, &queued) != 0 || queued < 0) queued = 0;
#endif
  if (queued > 0) return false;
#ifdef TIOCSERGETLSR
  unsigned int status = 0;
  if (ask_transmitter) {
    if (driver_ioctl(fd, TIOCSERGETLSR, &status) != 0) ask_transmitter = false;
    else if ((status & TIOCSER_TEMT) == 0) return false;
  }
#else
  ask_transmitter = false;
#endif
  return true;
}

// A pause of `us` microseconds; with a stop descriptor (>= 0) it ends when a stop comes.
void pause_us(uint64_t us, int stop_fd) {
  timespec pause{static_cast<time_t>(us / 1000000U), static_cast<long>(us % 1000000U * 1000U)};
  if (stop_fd < 0) {
    (void)nanosleep(&pause, nullptr);  // async-signal-safe, as the signal path needs
    return;
  }
  pollfd p{stop_fd, POLLIN, 0};
#ifdef __linux__
  (void)ppoll(&p, 1, &pause, nullptr);  // as fine-grained as nanosleep
#else
  (void)poll(&p, 1, static_cast<int>((us + 999U) / 1000U));
#endif
}

// How long a transmitter may still be reported busy once the queue is empty and the written
// bytes' wire time has passed. A USB adapter's driver only learns of its transmitter from the
// status the chip sends with each packet, every latency-timer period (16 ms by default); QEMU's
// FTDI adapter never says it is empty at all, which held every write for its whole 2 s.
constexpr uint64_t PORT_TRANSMITTER_GRACE_MS = 50;

// The earliest moment a transmitter still reported busy is no longer believed: `count` bytes
// handed over at `start_ms` have had their wire time and the grace.
uint64_t transmitter_limit(uint64_t start_ms, size_t count, uint32_t baud) {
  const uint64_t rate = std::max<uint32_t>(baud, 1200U);
  const uint64_t wire_ms = (static_cast<uint64_t>(count) * 10000U + rate - 1U) / rate;  // 10 bits a byte
  return start_ms + wire_ms + PORT_TRANSMITTER_GRACE_MS;
}

// Waits until what was written has left, or the deadline passes (false). tcdrain() has no
// bound and would hang on an adapter that stopped sending. An empty queue whose transmitter is
// still reported busy after `believe_until_ms` counts as sent, and the report is not asked for
// again (ask_transmitter). Async-signal-safe with no stop descriptor (-1): ioctl,
// clock_gettime and nanosleep only, so that the signal path drains the same way. With one, a
// stop ends the wait (false).
bool drain_until(int fd, uint32_t baud, uint64_t deadline_ms, uint64_t believe_until_ms, bool& ask_transmitter,
                 int stop_fd = -1) {
  for (;;) {
    int queued = 0;
    if (output_sent(fd, queued, ask_transmitter)) return true;
    const uint64_t now = clock_posix_monotonic_ms();
    if (queued == 0 && now >= believe_until_ms) {
      ask_transmitter = false;
      return true;
    }
    if (now >= deadline_ms) return false;
    if (stop_fd >= 0 && port_stop_requested()) return false;
    // About as long as the queued bytes take on the wire (10 bits a byte; one byte when only
    // the transmitter still holds one). A one-byte acknowledgement leaves in 87 us at 115200:
    // sleeping whole milliseconds would cost every packet several times its wire time.
    const uint64_t bytes = static_cast<uint64_t>(std::max(queued, 1));
    const uint64_t on_wire_us = bytes * 10000000U / std::max<uint32_t>(baud, 1200U) + 20U;
    pause_us(std::min(on_wire_us, (deadline_ms - now) * 1000U), stop_fd);
  }
}

// Close keeps every byte written, a stop or not: it gives them until `deadline_ms` to leave and
// throws output away only when they will not, since close() itself would otherwise wait for
// them (up to 30 s on Linux). stuck: an earlier drain already failed, so waiting again is
// pointless. ask_transmitter: what the writes learned of the driver's transmitter report.
// Async-signal-safe.
void release_output(int fd, uint32_t baud, bool stuck, bool ask_transmitter, uint64_t deadline_ms) {
  const uint64_t believe_until = transmitter_limit(clock_posix_monotonic_ms(), 0, baud);
  if (stuck || !drain_until(fd, baud, deadline_ms, believe_until, ask_transmitter)) (void)tcflush(fd, TCOFLUSH);
}

bool speed_for(uint32_t baud, speed_t& speed) {
  switch (baud) {
    case 19200:
      speed = B19200;
      return true;
    case 115200:
      speed = B115200;
      return true;
    default:
      return false;
  }
}

struct PosixPort final : PortBackend {
  int fd = -1;
  bool owned = false;      // the flock is ours: only then is the line ours to drain or flush
  bool exclusive = false;  // TIOCEXCL set through this descriptor: only then ours to clear
  int serial_flags = -1;   // the driver's flags before low-latency mode; -1: not changed
  uint32_t baud = 0;
  bool stuck = false;      // the last drain ran out of time: the output is not leaving
  bool ask_transmitter = true;  // the driver's transmitter report has not been refused or proved wrong yet
  // Bytes a read took off the line beyond what was asked: a packet's length, checksum and
  // payload arrive together, and each later read would otherwise cost a poll and a read.
  std::array<uint8_t, 256> ahead{};
  size_t ahead_from = 0;
  size_t ahead_to = 0;
  std::string lock;        // the lock file we hold; empty: none
  std::string lock_warning;  // what the run was last told of its lock file, not to be repeated
  int slot = -1;           // our entry in the signal path's table; -1: none

  PosixPort() = default;
  PosixPort(const PosixPort&) = delete;
  PosixPort& operator=(const PosixPort&) = delete;
  ~PosixPort() override { close(); }

  bool open(const PortName& name, uint32_t wanted_baud, OpenFailure& failure) override;
  bool set_baud(uint32_t wanted_baud) override;
  void close() override;
  bool has_handle() const override { return fd >= 0; }
  int32_t write(const uint8_t* data, int32_t count) override;
  int32_t read(uint8_t* buffer, int32_t count) override;
  int32_t available() override;

  ssize_t read_some(uint8_t* to, size_t wanted);
  size_t take_ahead(uint8_t* to, size_t wanted);

  bool apply_speed(termios& t, uint32_t wanted_baud);
  bool configure(uint32_t wanted_baud);
  bool take_descriptor(int opened);

  // The steps of open, in order; each says why it failed and leaves the release to close().
  bool take_lock(const std::string& path, OpenFailure& failure);
  bool open_device(const std::string& path, OpenFailure& failure);
  bool refuse_own_terminal(OpenFailure& failure);
  bool take_flock(OpenFailure& failure);
  bool set_exclusive();
  bool ask_low_latency_mode();
  bool configure_line(uint32_t wanted_baud, OpenFailure& failure);
};

// Writes the speed (and 8 data bits) and reads it back: tcsetattr succeeds when any part of
// the request was taken, so only the read-back shows whether the speed really changed.
bool PosixPort::apply_speed(termios& t, uint32_t wanted_baud) {
  speed_t speed = B0;
  if (!speed_for(wanted_baud, speed)) return false;
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
  t.c_cflag |= CS8;
  if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0) return false;
  // TCSANOW: waiting for output to drain here could hang on a stuck adapter.
  if (tcsetattr(fd, TCSANOW, &t) != 0) return false;
  termios check{};
  if (tcgetattr(fd, &check) != 0) return false;
  const speed_t in = cfgetispeed(&check);
  if (cfgetospeed(&check) != speed || (in != speed && in != B0)) return false;
  if ((check.c_cflag & CSIZE) != CS8) return false;
  baud = wanted_baud;
  if (slot >= 0) g_slots[static_cast<size_t>(slot)].baud.store(wanted_baud);
  return true;
}

bool PosixPort::configure(uint32_t wanted_baud) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return false;
  // Raw bytes both ways. cfmakeraw alone is not enough: it leaves IXOFF/IXANY on, which would
  // swallow or inject 0x11/0x13, and sets neither CLOCAL nor CREAD. Parity and stop bits stay
  // as the port has them.
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                      IXON | IXOFF | IXANY);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag |= CLOCAL | CREAD;
#ifdef CRTSCTS
  t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
  // VMIN 1: with VMIN 0 a non-blocking read of an empty line returns 0 instead of EAGAIN,
  // which could not be told from a line that has gone away.
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (!apply_speed(t, wanted_baud)) return false;
  termios check{};
  if (tcgetattr(fd, &check) != 0) return false;
  if ((check.c_iflag & (IXON | IXOFF | IXANY)) != 0 || (check.c_lflag & ICANON) != 0) return false;

  // DTR raised while the port is open. A pseudo-terminal has no modem lines and says so with
  // ENOTTY or EINVAL: that is no reason to refuse the port.
  int dtr = TIOCM_DTR;
  if (ioctl(fd, TIOCMBIS, &dtr) != 0 && errno != ENOTTY && errno != EINVAL) return false;
  return true;
}

// The lock file first, before the device is even opened: opening a port raises its modem
// lines, which would disturb the program that holds it.
bool PosixPort::take_lock(const std::string& path, OpenFailure& failure) {
  const std::string lock_path = port_lock_path(path);
  if (lock_path.empty()) return true;
  std::string warning;
  switch (port_lock_take(lock_path, &warning)) {
    case PortLock::TAKEN:
      lock = lock_path;
      if (slot >= 0 && lock.size() < SIGNAL_LOCK_BYTES) {
        // The name whole before its length says it is there: a handler never sees half a name.
        SignalSlot& s = g_slots[static_cast<size_t>(slot)];
        lock.copy(s.lock.data(), lock.size());
        s.lock[lock.size()] = '\0';
        s.lock_length.store(lock.size(), std::memory_order_release);
      }
      return true;
    case PortLock::IN_USE:
      failure.error = OpenError::IN_USE;
      failure.reason = "its lock file names a running process";
      return false;
    case PortLock::UNAVAILABLE:
    default:
      // The other two guards still keep other programs off. An unwritable folder is said once
      // a run, not for every port of the scan.
      if (warning != lock_warning) failure.warning = warning;
      if (!warning.empty()) lock_warning = warning;
      return true;
  }
}

// Keeps the port off descriptors 0 to 2: main() opens any of them that were closed, but
// should one still be free, the port must not become the keyboard or the screen.
bool PosixPort::take_descriptor(int opened) {
  fd = opened;
  if (fd >= 0 && fd <= STDERR_FILENO) {
    fd = fcntl(opened, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    (void)::close(opened);
  }
  if (fd >= 0) return true;
  fd = -1;
  return false;
}

bool PosixPort::open_device(const std::string& path, OpenFailure& failure) {
  if (take_descriptor(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))) return true;
  describe(failure, errno);
  return false;
}

// The user's own terminal as the port would get probes on the screen and be left raw at the
// line's speed: refused before anything is written to it or changed on it, by whatever name
// it was given (/dev/tty, its own path, a link).
bool PosixPort::refuse_own_terminal(OpenFailure& failure) {
  struct stat port {};
  if (fstat(fd, &port) != 0) return true;  // the later steps fail on it anyway
  bool own = false;
#ifdef TIOCGSID
  // The controlling terminal of our session, /dev/tty included.
  pid_t session = -1;
  own = ioctl(fd, TIOCGSID, &session) == 0 && session == getsid(0);
#endif
#ifdef __linux__
  own = own || (S_ISCHR(port.st_mode) && port.st_rdev == makedev(5, 0));  // /dev/tty itself
#endif
  for (const int standard : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    struct stat st {};
    if (own || isatty(standard) == 0 || fstat(standard, &st) != 0) continue;
    own = (S_ISCHR(st.st_mode) && S_ISCHR(port.st_mode) && st.st_rdev == port.st_rdev) ||
          (st.st_dev == port.st_dev && st.st_ino == port.st_ino);
  }
  if (!own) return true;
  failure.error = OpenError::OWN_TERMINAL;
  failure.reason = "this is the terminal korvo runs in, not a serial port";
  return false;
}

// Like an unshared open among programs that use flock; TIOCEXCL does not stop root.
bool PosixPort::take_flock(OpenFailure& failure) {
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
    owned = true;
    if (slot >= 0) g_slots[static_cast<size_t>(slot)].fd.store(fd);
    return true;
  }
  describe(failure, errno);
  if (failure.error == OpenError::IN_USE) failure.reason = "it holds a lock on the port";
  return false;
}

// A driver without the exclusive mode is no reason to refuse the port: the lock and the flock
// still guard it.
bool PosixPort::set_exclusive() {
  if (ioctl(fd, TIOCEXCL) == 0) {
    exclusive = true;
    if (slot >= 0) g_slots[static_cast<size_t>(slot)].exclusive.store(true);
  }
  return true;
}

// Wanted for speed, never needed: a driver that says no changes nothing.
bool PosixPort::ask_low_latency_mode() {
  serial_flags = ask_low_latency(fd);
  if (slot >= 0) g_slots[static_cast<size_t>(slot)].serial_flags.store(serial_flags);
#ifdef PR_SET_TIMERSLACK
  // Every write sleeps out its bytes' wire time, a byte's 87 us at 115200 for the length and
  // the checksum of each packet: the default 50 us of timer slack would add to every one.
  (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
  return true;
}

bool PosixPort::configure_line(uint32_t wanted_baud, OpenFailure& failure) {
  if (configure(wanted_baud)) return true;
  failure.error = OpenError::FAILED;
  failure.reason = "not a serial port that takes 8 data bits at this speed";
  return false;
}

bool PosixPort::open(const PortName& name, uint32_t wanted_baud, OpenFailure& failure) {
  close();  // never leak a descriptor when a record is reopened without a close
  if (!name.by_path() && name.number < 1) {
    failure.error = OpenError::MISSING;
    return false;
  }
  const std::string path = name.by_path() ? name.path : port_posix_device_path(name.number);
  failure.path = path;
  if (port_stop_requested()) {
    failure.error = OpenError::FAILED;
    failure.reason = "korvo is stopping";
    return false;
  }
  slot = claim_slot();
  const bool opened = take_lock(path, failure) && open_device(path, failure) &&
                      refuse_own_terminal(failure) && take_flock(failure) && set_exclusive() &&
                      ask_low_latency_mode() && configure_line(wanted_baud, failure);
  if (!opened) close();  // releases whatever the steps so far took
  return opened;
}

bool PosixPort::set_baud(uint32_t wanted_baud) {
  termios t{};
  if (fd >= 0 && tcgetattr(fd, &t) == 0 && apply_speed(t, wanted_baud)) return true;
  close();
  return false;
}

// The one release path, for a full or a half-done open alike.
void PosixPort::close() {
  SignalSlot* s = slot >= 0 ? &g_slots[static_cast<size_t>(slot)] : nullptr;
  if (fd >= 0) {
    // A stale exclusive flag outlives this process while any other descriptor of the tty is
    // open; clear it, but only when it is ours (a refused open must not clear the holder's).
    // The signal path may do the same meanwhile: each step is harmless twice.
    if (exclusive) (void)ioctl(fd, TIOCNXCL);
    if (s != nullptr) s->exclusive.store(false);
    restore_latency(fd, serial_flags);
    if (s != nullptr) s->serial_flags.store(-1);
    // A refused open leaves the output of the tty's holder (or of the user's own terminal)
    // alone.
    if (owned) release_output(fd, baud, stuck, ask_transmitter, clock_posix_monotonic_ms() + PORT_IO_WAIT_MS);
  }
  // Closing the descriptor and dropping the lock happen once: here, or in the signal path when
  // it took the slot first (the process is ending then, and the descriptor is its to close).
  int expected = SLOT_PORT;
  const bool ours = s == nullptr || s->owner.compare_exchange_strong(expected, SLOT_CLOSING);
  if (ours) {
    if (fd >= 0) (void)::close(fd);  // also drops the flock
    if (!lock.empty()) port_lock_release(lock);
  }
  if (s != nullptr && ours) {
    s->fd.store(-1);
    s->lock_length.store(0);
    s->baud.store(0);
    s->stuck.store(false);
    s->ask_transmitter.store(true);
    s->owner.store(SLOT_FREE);
  }
  slot = -1;
  lock.clear();
  fd = -1;
  owned = false;
  exclusive = false;
  serial_flags = -1;
  baud = 0;
  stuck = false;
  ask_transmitter = true;
  ahead_from = ahead_to = 0;
}

int32_t PosixPort::write(const uint8_t* data, int32_t count) {
  if (fd < 0 || count <= 0) return 0;
  const uint64_t start = clock_posix_monotonic_ms();
  const uint64_t deadline = start + PORT_IO_WAIT_MS;
  size_t done = 0;
  const auto total = static_cast<size_t>(count);
  while (done < total) {
    // Nothing more reaches the line once a stop is asked for: the device stays where it is.
    if (port_stop_requested()) return 0;
    const ssize_t n = ::write(fd, data + done, total - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (wait_for(fd, POLLOUT, deadline) == WAIT_READY) continue;
      return 0;
    }
    // The device is gone: fail at once. Callers read after writing, and a read on a dead line
    // waits out its time, so nobody spins on this.
    return 0;
  }
  // Done when the bytes have left, within the write's own deadline. Bytes that did not leave
  // in time were still accepted: the answer that never comes tells the caller, and close
  // throws them away rather than wait for them again.
  const bool sent =
      drain_until(fd, baud, deadline, transmitter_limit(start, total, baud), ask_transmitter, port_posix_stop_fd());
  // A stop cut the wait short: the bytes may still leave (close gives them their time), but
  // the caller must not go on as if they had.
  if (!sent && port_stop_requested()) return 0;
  stuck = !sent;
  if (slot >= 0) {
    g_slots[static_cast<size_t>(slot)].stuck.store(stuck);
    g_slots[static_cast<size_t>(slot)].ask_transmitter.store(ask_transmitter);
  }
  return count;
}

size_t PosixPort::take_ahead(uint8_t* to, size_t wanted) {
  const size_t n = std::min(wanted, ahead_to - ahead_from);
  std::memcpy(to, ahead.data() + ahead_from, n);
  ahead_from += n;
  return n;
}

// One read() of what the line holds; a short request takes up to a buffer's worth and keeps
// the rest for the next call.
ssize_t PosixPort::read_some(uint8_t* to, size_t wanted) {
  if (wanted >= ahead.size()) return ::read(fd, to, wanted);
  const ssize_t n = ::read(fd, ahead.data(), ahead.size());
  if (n <= 0) return n;
  ahead_from = 0;
  ahead_to = static_cast<size_t>(n);
  return static_cast<ssize_t>(take_ahead(to, wanted));
}

int32_t PosixPort::read(uint8_t* buffer, int32_t count) {
  if (fd < 0 || count <= 0) return 0;
  const auto wanted = static_cast<size_t>(count);
  size_t got = take_ahead(buffer, wanted);
  if (got == wanted) return count;
  const uint64_t deadline = clock_posix_monotonic_ms() + PORT_IO_WAIT_MS;
  // The first byte: up to PORT_IO_WAIT_MS.
  while (got == 0) {
    const WaitResult w = wait_for(fd, POLLIN, deadline);
    if (w == WAIT_TIMEOUT || w == WAIT_STOPPED) return 0;
    if (w == WAIT_READY) {
      const ssize_t n = read_some(buffer, wanted);
      if (n > 0) {
        got = static_cast<size_t>(n);
        break;
      }
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
      // read() returning 0, EIO or ENXIO: the other side is gone.
    }
    // A dead line behaves like a silent one, waiting out the read's time; returning at once
    // would let a caller's retry loop spin.
    sleep_until(deadline);
    return 0;
  }
  // Then more until the count is in, PORT_READ_INTERVAL_MS pass without a byte, or the
  // read's own PORT_IO_WAIT_MS are over: bytes trickling in cannot stretch it.
  while (got < wanted) {
    const uint64_t interval_end =
        std::min(clock_posix_monotonic_ms() + PORT_READ_INTERVAL_MS, deadline);
    if (wait_for(fd, POLLIN, interval_end) != WAIT_READY) break;
    const ssize_t n = read_some(buffer + got, wanted - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // no byte after all, or the line went away: keep what came
    got += static_cast<size_t>(n);
  }
  return static_cast<int32_t>(got);
}

int32_t PosixPort::available() {
  int waiting = 0;
  const auto held = static_cast<int32_t>(ahead_to - ahead_from);
  if (fd < 0 || ioctl(fd, FIONREAD, &waiting) != 0 || waiting < 0) return held;
  return held + waiting;
}

}  // namespace

std::string port_posix_device_path(int number) {
  const std::string name = "KORVO_COM" + std::to_string(number);
  const char* path = std::getenv(name.c_str());
  if (path != nullptr && path[0] != '\0') return path;
  return "/dev/ttyS" + std::to_string(number - 1);
}

void port_posix_release_from_signal() {
  // Every port's output shares one wait: a dozen stuck adapters still end within one.
  const uint64_t deadline = clock_posix_monotonic_ms() + PORT_IO_WAIT_MS;
  std::array<bool, SIGNAL_SLOTS> taken{};
  for (size_t i = 0; i < g_slots.size(); ++i) {
    SignalSlot& s = g_slots[i];
    int expected = SLOT_PORT;
    taken[i] = s.owner.compare_exchange_strong(expected, SLOT_SIGNAL);
    const int fd = s.fd.load();
    if (!taken[i] || fd < 0) continue;
    if (s.exclusive.load()) (void)ioctl(fd, TIOCNXCL);
    restore_latency(fd, s.serial_flags.load());
  }
  for (size_t i = 0; i < g_slots.size(); ++i) {
    const int fd = g_slots[i].fd.load();
    if (taken[i] && fd >= 0) {
      release_output(fd, g_slots[i].baud.load(), g_slots[i].stuck.load(), g_slots[i].ask_transmitter.load(), deadline);
    }
  }
  for (size_t i = 0; i < g_slots.size(); ++i) {
    if (!taken[i]) continue;
    SignalSlot& s = g_slots[i];
    const int fd = s.fd.exchange(-1);
    if (fd >= 0) (void)::close(fd);
    if (s.lock_length.load(std::memory_order_acquire) > 0) port_lock_drop(s.lock.data());
    s.lock_length.store(0);
  }
}

std::unique_ptr<PortBackend> port_backend_serial() { return std::make_unique<PosixPort>(); }

const bool PORT_PATHS_ALLOWED = true;

void port_posix_use_serial_ioctl(PortSerialIoctl ioctl_fn) {
  g_serial_ioctl.store(ioctl_fn != nullptr ? ioctl_fn : system_serial_ioctl);
}

}  // namespace korvo
