// The console on POSIX: single keys from a terminal without echo or Enter; a pipe or file
// gives one key per byte.
//
// Extended keys follow the shape of the Windows console: the first code is 0 and the next
// read_key() gives the second half. An escape sequence (ESC [ ... final byte, ESC O x) is
// consumed whole and becomes 0 then the Windows code of that key (up 72, down 80, left 75,
// right 77, home 71, end 79, page up 73, page down 81, insert 82, delete 83, F1-F10 59-68,
// F11 133, F12 134) or CONSOLE_KEY_OTHER for any other sequence. None of these second halves
// is a letter a Y/N question could take. A lone ESC is the key 27.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "console/console.h"
#include "console/notes.h"
#include "serial/port_posix.h"
#include "serial/stop.h"

namespace korvo {

namespace {

constexpr int CONSOLE_KEY_OTHER = 255;     // second half of an escape sequence we do not name
constexpr int CONSOLE_SEQUENCE_GAP_MS = 50;  // a terminal sends a sequence's bytes together
constexpr uint8_t KEY_ESC = 0x1B;

// The terminal as we found it, for the exit and signal paths. Plain statics: a signal handler
// can reach nothing else.
termios g_saved_termios{};
termios g_raw_termios{};
volatile sig_atomic_t g_terminal_changed = 0;

constexpr std::array<int, 4> FATAL_SIGNALS = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Graceful stop mode, and how many interruptions it has taken so far.
std::atomic<bool> g_stop_mode{false};
std::atomic<int> g_interruptions{0};
std::atomic<bool> g_stop_said{true};  // the handler writes CONSOLE_STOP_LINE

void write_notes() {
  char note[CONSOLE_NOTE_BYTES];
  for (size_t i = 0; i < CONSOLE_NOTE_SLOTS; ++i) {
    const size_t length = console_note_copy(i, note);
    if (length > 0) (void)!::write(STDERR_FILENO, note, length);
  }
}

void restore_terminal() {
  if (g_terminal_changed != 0) (void)tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_termios);
}

void restore_at_exit() { restore_terminal(); }

void unblock_and_raise(int sig) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  (void)sigprocmask(SIG_UNBLOCK, &set, nullptr);
  (void)raise(sig);
}

void set_disposition(int sig, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigfillset(&action.sa_mask);  // one handler at a time
  action.sa_flags = SA_RESTART;
  (void)sigaction(sig, &action, nullptr);
}

// Ctrl-C, Ctrl-\, kill, hang-up: give the terminal and every port back, then die by the same
// signal so the shell sees how the program ended. In stop mode the first Ctrl-C or kill only
// asks the ports to stop, and the program winds down on its own. Async-signal-safe calls only.
extern "C" void on_fatal_signal(int sig) {
  if ((sig == SIGINT || sig == SIGTERM) && g_stop_mode.load() && g_interruptions.fetch_add(1) == 0) {
    const int saved_errno = errno;
    port_request_stop();
    if (g_stop_said.load()) (void)!::write(STDERR_FILENO, CONSOLE_STOP_LINE, sizeof CONSOLE_STOP_LINE - 1);
    errno = saved_errno;
    return;
  }
  restore_terminal();
  write_notes();
  port_posix_release_from_signal();
  set_disposition(sig, SIG_DFL);
  unblock_and_raise(sig);
}

// Ctrl-Z: the shell gets its terminal back while we are stopped, and we take it again after.
extern "C" void on_stop_signal(int sig) {
  const int saved_errno = errno;
  restore_terminal();
  set_disposition(sig, SIG_DFL);
  unblock_and_raise(sig);  // stops here until SIGCONT
  set_disposition(sig, on_stop_signal);
  if (g_terminal_changed != 0) (void)tcsetattr(STDIN_FILENO, TCSANOW, &g_raw_termios);
  errno = saved_errno;
}

// Leaves signals that the caller chose to ignore (nohup, background jobs) ignored.
void install_handler(int sig, void (*handler)(int)) {
  struct sigaction old {};
  if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) return;
  set_disposition(sig, handler);
}

// One byte from stdin within wait_ms (-1: no limit); -1 when none comes or input has ended.
int stdin_byte(int wait_ms) {
  for (;;) {
    pollfd p{STDIN_FILENO, POLLIN, 0};
    const int r = poll(&p, 1, wait_ms);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return -1;
    uint8_t b = 0;
    const ssize_t n = ::read(STDIN_FILENO, &b, 1);
    if (n == 1) return b;
    // Someone else's O_NONBLOCK on a shared terminal: poll again, which blocks.
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    return -1;
  }
}

int csi_tilde_code(int number) {
  switch (number) {
    case 1: case 7: return 71;  // home
    case 2: return 82;          // insert
    case 3: return 83;          // delete
    case 4: case 8: return 79;  // end
    case 5: return 73;          // page up
    case 6: return 81;          // page down
    case 11: case 12: case 13: case 14: case 15: return 59 + (number - 11);  // F1-F5
    case 17: case 18: case 19: case 20: case 21: return 64 + (number - 17);  // F6-F10
    case 23: return 133;        // F11
    case 24: return 134;        // F12
    default: return CONSOLE_KEY_OTHER;
  }
}

// Final letter of ESC [ ... or ESC O x (modifiers such as ESC [ 1 ; 5 C do not matter).
int final_letter_code(int letter) {
  switch (letter) {
    case 'A': return 72;
    case 'B': return 80;
    case 'C': return 77;
    case 'D': return 75;
    case 'H': return 71;
    case 'F': return 79;
    case 'P': case 'Q': case 'R': case 'S': return 59 + (letter - 'P');  // F1-F4
    default: return CONSOLE_KEY_OTHER;
  }
}

struct PosixConsole final : Console {
  bool terminal = false;
  int pending_byte = -1;  // read ahead while looking for a sequence, not yet a key
  int pending_code = -1;  // second half of an extended key

  PosixConsole();
  bool key_waiting() override;
  int read_key() override;
  void discard_typeahead() override;

  int next_byte(int wait_ms) {
    if (pending_byte >= 0) {
      const int b = pending_byte;
      pending_byte = -1;
      return b;
    }
    return stdin_byte(wait_ms);
  }
  int read_escape();
  void skip_utf8_tail(int lead);
};

PosixConsole::PosixConsole() {
  // Installed whatever stdin is: they also release the serial port on the way out.
  for (int sig : FATAL_SIGNALS) install_handler(sig, on_fatal_signal);
  if (isatty(STDIN_FILENO) == 0 || tcgetattr(STDIN_FILENO, &g_saved_termios) != 0) return;
  terminal = true;
  g_raw_termios = g_saved_termios;
  // Keys without Enter and without echo; ISIG stays so Ctrl-C still interrupts.
  g_raw_termios.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  g_raw_termios.c_cc[VMIN] = 1;
  g_raw_termios.c_cc[VTIME] = 0;
  // Marked before the change so a signal arriving in between still restores.
  g_terminal_changed = 1;
  (void)std::atexit(restore_at_exit);
  install_handler(SIGTSTP, on_stop_signal);
  (void)tcsetattr(STDIN_FILENO, TCSANOW, &g_raw_termios);
}

bool PosixConsole::key_waiting() {
  if (!terminal) return false;
  if (pending_code >= 0 || pending_byte >= 0) return true;
  pollfd p{STDIN_FILENO, POLLIN, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

int PosixConsole::read_key() {
  if (pending_code >= 0) {
    const int code = pending_code;
    pending_code = -1;
    return code;
  }
  const int b = next_byte(-1);
  if (b < 0) return CONSOLE_END_OF_INPUT;
  if (!terminal) return b;  // a pipe or file: every byte is a key
  if (b == KEY_ESC) return read_escape();
  if (b >= 0xC2 && b <= 0xF4) skip_utf8_tail(b);
  return b;
}

// Everything the terminal holds and the halves of a key read so far: a key held down or
// typed while the scan ran must not answer what is asked next.
void PosixConsole::discard_typeahead() {
  if (!terminal) return;
  pending_byte = -1;
  pending_code = -1;
  (void)tcflush(STDIN_FILENO, TCIFLUSH);
}

// After ESC: a sequence becomes 0 plus its second half; anything else leaves ESC a key.
int PosixConsole::read_escape() {
  const int introducer = next_byte(CONSOLE_SEQUENCE_GAP_MS);
  if (introducer == 'O') {
    const int letter = next_byte(CONSOLE_SEQUENCE_GAP_MS);
    pending_code = letter < 0 ? CONSOLE_KEY_OTHER : final_letter_code(letter);
    return 0;
  }
  if (introducer != '[') {
    pending_byte = introducer;  // -1 (nothing came) leaves nothing pending
    return KEY_ESC;
  }
  int number = 0;             // the first parameter: the key number of ESC [ n ~
  bool in_first_number = true;
  for (bool first = true;; first = false) {
    const int c = next_byte(CONSOLE_SEQUENCE_GAP_MS);
    if (c < 0) {
      pending_code = CONSOLE_KEY_OTHER;  // cut short: what came of it is consumed
      return 0;
    }
    if (first && c == '[') {
      // The Linux console's F1-F5: ESC [ [ A to ESC [ [ E.
      const int letter = next_byte(CONSOLE_SEQUENCE_GAP_MS);
      pending_code = letter >= 'A' && letter <= 'E' ? 59 + (letter - 'A') : CONSOLE_KEY_OTHER;
      return 0;
    }
    if (c >= 0x40 && c <= 0x7E) {  // the final byte; modifiers (ESC [ 1 ; 5 C) do not matter
      pending_code = c == '~' ? csi_tilde_code(number) : final_letter_code(c);
      return 0;
    }
    if (c >= '0' && c <= '9') {
      if (in_first_number && number < 1000) number = number * 10 + (c - '0');
    } else if (c >= 0x3A && c <= 0x3F) {
      in_first_number = false;  // ';' and the other parameter bytes end the key number
    } else if (c < 0x20 || c > 0x2F) {
      // Neither parameter, intermediate nor final byte: the sequence was broken off here.
      pending_byte = c;
      pending_code = CONSOLE_KEY_OTHER;
      return 0;
    }
  }
}

// A typed non-ASCII character is one key, though UTF-8 sends it as several bytes.
void PosixConsole::skip_utf8_tail(int lead) {
  int tail = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
  while (tail-- > 0) {
    const int c = next_byte(CONSOLE_SEQUENCE_GAP_MS);
    if (c < 0) return;
    if (c < 0x80 || c > 0xBF) {
      pending_byte = c;
      return;
    }
  }
}

}  // namespace

void console_prepare_process() {
  // open() takes the lowest free number, so each closed one is filled in turn.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int null_fd = ::open("/dev/null", O_RDWR);
    if (null_fd >= 0 && null_fd != fd) {
      (void)dup2(null_fd, fd);
      (void)::close(null_fd);
    }
  }
  // Writes to a vanished reader fail with EPIPE instead; the update carries on to its end.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  (void)sigaction(SIGPIPE, &ignore, nullptr);
}

Console& console_system() {
  static PosixConsole console;
  return console;
}

void console_stop_on_interrupt(bool on, bool say_so) {
  g_stop_said.store(say_so);
  g_interruptions.store(0);
  g_stop_mode.store(on);
  // The handlers may not be there yet when the console is not used.
  if (on) {
    for (int sig : FATAL_SIGNALS) install_handler(sig, on_fatal_signal);
  }
}

void console_stop_done() {}

void console_exact_bytes(std::FILE*) {}

const bool CONSOLE_SLASH_HELP = false;

}  // namespace korvo
