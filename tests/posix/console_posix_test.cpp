// The POSIX console, run in child processes: with a pipe, /dev/null or a pty as standard input,
// and killed by signals while it holds the terminal and a serial port; and the state kept
// between runs, written by several processes at once.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "console/console.h"
#include "console/state.h"
#include "driver/history.h"
#include "driver/update_record.h"
#include "pty.h"
#include "serial/port.h"
#include "serial/stop.h"

using namespace korvo;

namespace {

constexpr int32_t READY = 1000;

struct Pipe {
  std::array<int, 2> fd{-1, -1};
  Pipe() { EXPECT_EQ(pipe(fd.data()), 0); }
  ~Pipe() {
    close_read();
    close_write();
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  int read_end() const { return fd[0]; }
  int write_end() const { return fd[1]; }
  void close_read() {
    if (fd[0] >= 0) ::close(fd[0]);
    fd[0] = -1;
  }
  void close_write() {
    if (fd[1] >= 0) ::close(fd[1]);
    fd[1] = -1;
  }
};

// A child's report to the test. A child that cannot report ends with a status of its own,
// which the test's exit-status check shows, rather than leaving a gap the test misreads.
void put(int fd, int32_t value) {
  ssize_t n;
  do {
    n = ::write(fd, &value, sizeof value);
  } while (n < 0 && errno == EINTR);
  if (n != static_cast<ssize_t>(sizeof value)) _exit(91);
}

// Up to n values from the child, each within wait_ms.
std::vector<int32_t> take(int fd, size_t n, int wait_ms = 3000) {
  std::vector<int32_t> got;
  while (got.size() < n) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, wait_ms) <= 0) break;
    int32_t v = 0;
    if (::read(fd, &v, sizeof v) != static_cast<ssize_t>(sizeof v)) break;
    got.push_back(v);
  }
  return got;
}

// Runs body in a child in a process group of its own (so job-control stops are not
// discarded), with stdin_fd as its standard input and default signal dispositions.
pid_t spawn(int stdin_fd, const std::function<void()>& body) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  setpgid(0, 0);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP}) signal(sig, SIG_DFL);
  if (dup2(stdin_fd, STDIN_FILENO) < 0) _exit(90);
  body();
  _exit(0);
}

int wait_child(pid_t pid, int options = 0) {
  int status = 0;
  // Bounded: a child that hangs is killed and reported instead of hanging the suite.
  for (int i = 0; i < 500; ++i) {
    const pid_t r = waitpid(pid, &status, options | WNOHANG);
    if (r == pid) return status;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  ADD_FAILURE() << "child did not end in time";
  return status;
}

TEST(PosixConsolePipe, EachByteIsAKeyAndEndOfInputAnswersAtOnce) {
  Pipe in;
  Pipe out;
  const std::string typed = "ab\x1b[A\n";
  ASSERT_EQ(::write(in.write_end(), typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
  in.close_write();
  const pid_t pid = spawn(in.read_end(), [&] {
    Console& console = console_system();
    put(out.write_end(), console.key_waiting() ? 1 : 0);
    for (int i = 0; i < 8; ++i) put(out.write_end(), console.read_key());
  });
  out.close_write();
  const std::vector<int32_t> got = take(out.read_end(), 9);
  const std::vector<int32_t> want{0, 'a', 'b', 0x1B, '[', 'A', '\n', CONSOLE_END_OF_INPUT,
                                  CONSOLE_END_OF_INPUT};
  EXPECT_EQ(got, want);
  const int status = wait_child(pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(PosixConsolePipe, EmptyInputEndsTheFirstRead) {
  Pipe out;
  const int null_fd = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(null_fd, 0);
  const pid_t pid = spawn(null_fd, [&] { put(out.write_end(), console_system().read_key()); });
  ::close(null_fd);
  out.close_write();
  EXPECT_EQ(take(out.read_end(), 1), std::vector<int32_t>{CONSOLE_END_OF_INPUT});
  (void)wait_child(pid);
}

// A child whose console is the pty: it reports READY, then every key it reads (and after a
// first half of 0, whether the second half is waiting), until 'q'; then it exits normally.
pid_t spawn_terminal_reader(const Pty& term, const Pipe& out) {
  return spawn(term.slave, [&] {
    Console& console = console_system();
    put(out.write_end(), READY);
    for (;;) {
      const int code = console.read_key();
      put(out.write_end(), code);
      if (code == 0) put(out.write_end(), console.key_waiting() ? 1 : 0);
      if (code == 'q' || code == CONSOLE_END_OF_INPUT) break;
    }
    std::exit(0);  // the normal way out, through atexit
  });
}

TEST(PosixConsoleTerminal, EscapeSequencesAreOneKeyAndTheTerminalComesBack) {
  Pty term;
  ASSERT_TRUE(term.ok());
  const termios saved = term.settings();
  ASSERT_NE(saved.c_lflag & ICANON, 0u);
  Pipe out;
  const pid_t pid = spawn_terminal_reader(term, out);
  out.close_write();
  ASSERT_EQ(take(out.read_end(), 1), std::vector<int32_t>{READY});

  const termios raw = term.settings();
  EXPECT_EQ(raw.c_lflag & (ICANON | ECHO), 0u);
  EXPECT_NE(raw.c_lflag & ISIG, 0u);

  term.send("\x1b[A");     // up
  term.send("\x1bOP");     // F1, application mode
  term.send("\x1b[15~");   // F5
  term.send("\x1b[1;5C");  // Ctrl+right
  term.send("\x1b[[B");    // F2 on the Linux console
  term.send("\x1b[200~");  // bracketed-paste start: a sequence we do not name
  term.send("\xc3\xa9");   // one accented letter in UTF-8
  term.send("\x1bN");      // ESC and then N: two keys, the N must not be lost
  term.send("\x1b");       // ESC alone
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  term.send("yq");
  // A first half of 0 is followed by 1 (second half waiting), then the second half.
  const std::vector<int32_t> want{0, 1, 72, 0, 1, 59, 0, 1, 63, 0, 1, 77, 0, 1, 60, 0, 1, 255,
                                  0xC3, 0x1B, 'N', 0x1B, 'y', 'q'};
  EXPECT_EQ(take(out.read_end(), want.size()), want);

  const int status = wait_child(pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const termios after = term.settings();
  EXPECT_EQ(after.c_lflag, saved.c_lflag);
  EXPECT_EQ(after.c_cc[VMIN], saved.c_cc[VMIN]);
}

TEST(PosixConsoleTerminal, StopGivesTheTerminalBackAndContinueTakesItAgain) {
  Pty term;
  ASSERT_TRUE(term.ok());
  const termios saved = term.settings();
  Pipe out;
  const pid_t pid = spawn_terminal_reader(term, out);
  out.close_write();
  ASSERT_EQ(take(out.read_end(), 1), std::vector<int32_t>{READY});

  ASSERT_EQ(kill(pid, SIGTSTP), 0);
  const int stopped = wait_child(pid, WUNTRACED);
  ASSERT_TRUE(WIFSTOPPED(stopped));
  EXPECT_EQ(term.settings().c_lflag, saved.c_lflag);

  ASSERT_EQ(kill(pid, SIGCONT), 0);
  bool raw_again = false;
  for (int i = 0; i < 200 && !raw_again; ++i) {
    raw_again = (term.settings().c_lflag & ICANON) == 0;
    if (!raw_again) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(raw_again);
  term.send("q");
  EXPECT_EQ(take(out.read_end(), 1), std::vector<int32_t>{'q'});
  (void)wait_child(pid);
  EXPECT_EQ(term.settings().c_lflag, saved.c_lflag);
}

TEST(PosixConsoleSignals, DeathBySignalRestoresTheTerminalAndFreesThePort) {
  char folder[] = "/tmp/korvo-lock-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  setenv("KORVO_LOCK_DIR", folder, 1);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(sig));
    Pty term;
    Pty line;
    ASSERT_TRUE(term.ok() && line.ok());
    setenv("KORVO_COM49", line.path.c_str(), 1);
    const std::string lock = std::string(folder) + "/LCK.." + line.path.substr(line.path.rfind('/') + 1);
    const termios saved = term.settings();
    const std::vector<uint8_t> last{0xCC, 0x03, '%', '%'};
    Pipe out;
    const pid_t pid = spawn(term.slave, [&] {
      Console& console = console_system();
      auto backend = port_backend_system();
      SerialPort port{backend.get()};
      if (port_open(port, 49, BAUD_APPLICATION) != 1) _exit(91);
      if (port_write(port, last.data(), 4) != 4) _exit(93);
      put(out.write_end(), READY);
      (void)console.read_key();  // blocks until the signal
      _exit(92);
    });
    out.close_write();
    ASSERT_EQ(take(out.read_end(), 1), std::vector<int32_t>{READY});
    EXPECT_EQ(term.settings().c_lflag & ICANON, 0u);
#ifdef TIOCGEXCL
    EXPECT_TRUE(line.exclusive());
#endif
    EXPECT_TRUE(std::ifstream(lock).good());

    ASSERT_EQ(kill(pid, sig), 0);
    const int status = wait_child(pid);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), sig);
    EXPECT_EQ(term.settings().c_lflag, saved.c_lflag);
#ifdef TIOCGEXCL
    // The test still holds the tty open, so a flag left behind would lock it out.
    EXPECT_FALSE(line.exclusive());
#endif
    EXPECT_FALSE(std::ifstream(lock).good()) << "the lock file outlived its holder";
    EXPECT_EQ(line.receive(last.size(), 500), last) << "bytes written before the signal";
  }
  unsetenv("KORVO_LOCK_DIR");
  rmdir(folder);
}

// Everything the child wrote to its standard error, once it has ended.
std::string all_of(int fd) {
  std::string text;
  char buffer[256];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
  return text;
}

// A lock folder of the test's own, and the lock a pty's port takes in it.
struct Locks {
  char folder[32] = "/tmp/korvo-lock-XXXXXX";
  Locks() {
    EXPECT_NE(mkdtemp(folder), nullptr);
    setenv("KORVO_LOCK_DIR", folder, 1);
  }
  ~Locks() {
    unsetenv("KORVO_LOCK_DIR");
    rmdir(folder);
  }
  std::string of(const Pty& line) const {
    return std::string(folder) + "/LCK.." + line.path.substr(line.path.rfind('/') + 1);
  }
};

TEST(PosixConsoleSignals, DeathBySignalFreesThePortsOfEveryThreadAndSaysEachNote) {
  Locks locks;
  Pty first;
  Pty second;
  ASSERT_TRUE(first.ok() && second.ok());
  setenv("KORVO_COM47", first.path.c_str(), 1);
  setenv("KORVO_COM48", second.path.c_str(), 1);
  Pipe out;
  Pipe err;
  const int null_fd = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(null_fd, 0);
  const pid_t pid = spawn(null_fd, [&] {
    if (dup2(err.write_end(), STDERR_FILENO) < 0) _exit(90);
    (void)console_system();
    std::atomic<int> ready{0};
    // Each thread opens its own port, says where its device is, and waits on its silent line.
    const auto run = [&ready](int number, const char* note, uint8_t mark) {
      auto backend = port_backend_system();
      SerialPort port{backend.get()};
      if (!port_open(port, number, BAUD_APPLICATION)) _exit(91);
      console_set_interrupt_note(note);
      if (port_write(port, &mark, 1) != 1) _exit(93);
      ++ready;
      std::array<uint8_t, 8> buf{};
      for (;;) (void)port_read(port, buf.data(), 8);
    };
    std::thread(run, 47, "korvo: COM47 left here\n", 0xA1).detach();
    std::thread(run, 48, "korvo: COM48 left there\n", 0xB2).detach();
    while (ready.load() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    put(out.write_end(), READY);
    for (;;) pause();
  });
  ::close(null_fd);
  out.close_write();
  err.close_write();
  ASSERT_EQ(take(out.read_end(), 1), std::vector<int32_t>{READY});
  EXPECT_TRUE(first.exclusive() && second.exclusive());

  ASSERT_EQ(kill(pid, SIGINT), 0);
  const int status = wait_child(pid);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGINT);
  for (const Pty* line : {&first, &second}) {
    EXPECT_FALSE(line->exclusive()) << line->path;
    EXPECT_FALSE(std::ifstream(locks.of(*line)).good()) << "the lock file outlived its holder";
  }
  EXPECT_EQ(first.receive(1, 500), std::vector<uint8_t>{0xA1});
  EXPECT_EQ(second.receive(1, 500), std::vector<uint8_t>{0xB2});
  const std::string said = all_of(err.read_end());
  EXPECT_NE(said.find("korvo: COM47 left here\n"), std::string::npos) << said;
  EXPECT_NE(said.find("korvo: COM48 left there\n"), std::string::npos) << said;
  unsetenv("KORVO_COM47");
  unsetenv("KORVO_COM48");
}

// In stop mode the first Ctrl-C or kill stops the ports and the program goes on; a second
// one, or a hang-up at any time, ends it the usual way.
TEST(PosixConsoleSignals, StopModeFirstInterruptStopsTheWaitsAndTheNextEnds) {
  constexpr int32_t STOPPED = 2000;
  const struct {
    int first;
    int second;  // 0: the first already ends the process
  } cases[] = {{SIGINT, SIGINT}, {SIGTERM, SIGINT}, {SIGHUP, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(strsignal(c.first));
    Locks locks;
    Pty line;
    ASSERT_TRUE(line.ok());
    setenv("KORVO_COM46", line.path.c_str(), 1);
    Pipe out;
    Pipe err;
    const int null_fd = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(null_fd, 0);
    const pid_t pid = spawn(null_fd, [&] {
      if (dup2(err.write_end(), STDERR_FILENO) < 0) _exit(90);
      (void)console_system();
      console_stop_on_interrupt(true);
      auto backend = port_backend_system();
      SerialPort port{backend.get()};
      if (!port_open(port, 46, BAUD_APPLICATION)) _exit(91);
      put(out.write_end(), READY);
      std::array<uint8_t, 8> buf{};
      while (!port_stop_requested()) (void)port_read(port, buf.data(), 8);
      put(out.write_end(), STOPPED);
      const uint8_t byte = 0x55;
      put(out.write_end(), port_write(port, &byte, 1));
      for (;;) pause();
    });
    ::close(null_fd);
    out.close_write();
    err.close_write();
    ASSERT_EQ(take(out.read_end(), 1), std::vector<int32_t>{READY});

    const auto sent = std::chrono::steady_clock::now();
    ASSERT_EQ(kill(pid, c.first), 0);
    if (c.second != 0) {
      EXPECT_EQ(take(out.read_end(), 2, 1000), (std::vector<int32_t>{STOPPED, 0}));
      EXPECT_LT(wall_ms_since(sent), 500.0) << "the read under way ended late";
      int status = 0;
      EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0) << "the first interruption ended the process";
      EXPECT_TRUE(std::ifstream(locks.of(line)).good()) << "the program still holds its port";
      ASSERT_EQ(kill(pid, c.second), 0);
    }
    const int status = wait_child(pid);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), c.second != 0 ? c.second : c.first);
    EXPECT_FALSE(line.exclusive());
    EXPECT_FALSE(std::ifstream(locks.of(line)).good()) << "the lock file outlived its holder";
    EXPECT_TRUE(line.receive(1, 100).empty()) << "written after the stop";
    const std::string said = all_of(err.read_end());
    const std::string stopping = "korvo: stopping every device (again to end at once)\n";
    EXPECT_EQ(said == stopping, c.second != 0) << said;
    unsetenv("KORVO_COM46");
  }
}

// Two writers at once, each appending 100 long records to a file whose folders neither finds:
// every line arrives whole, none is lost, and only the user can read them.
TEST(PosixState, WritersAtOnceAppendWholeLinesAndLoseNone) {
  char pattern[] = "/tmp/korvo-state-test-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  const std::string path = dir + "/state/korvo/updates.jsonl";
  constexpr int PER_WRITER = 100;
  Pipe go;
  std::vector<pid_t> writers;
  for (int writer = 0; writer < 2; ++writer) {
    const pid_t pid = fork();
    if (pid == 0) {
      go.close_write();
      char start = 0;
      if (::read(go.read_end(), &start, 1) != 0) _exit(92);  // both start when the pipe closes
      UpdateRecord r;
      r.time = state_utc_now();
      r.port = "COM" + std::to_string(writer + 1);
      r.adapter = std::string(8000, static_cast<char>('a' + writer));  // a line larger than a page
      for (int i = 0; i < PER_WRITER; ++i) {
        r.image_records = static_cast<uint32_t>(i);
        std::string why;
        if (!update_record_append(r, path, why)) _exit(1);
      }
      _exit(0);
    }
    writers.push_back(pid);
  }
  go.close_write();
  for (pid_t pid : writers) {
    const int status = wait_child(pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }

  std::ifstream in(path, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  std::istringstream lines(text);
  std::set<std::pair<std::string, uint32_t>> seen;
  size_t count = 0;
  size_t blank = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    // A writer that meets the other's line half written starts its own with a newline: an
    // empty line, which readers pass over.
    if (line.empty()) {
      --count;
      ++blank;
      continue;
    }
    UpdateRecord r;
    ASSERT_TRUE(update_record_parse(line, r)) << "line " << count + 1;
    EXPECT_EQ(r.adapter, std::string(8000, r.port == "COM1" ? 'a' : 'b'));
    seen.insert({r.port, r.image_records});
  }
  EXPECT_EQ(count, 2u * PER_WRITER);
  EXPECT_EQ(seen.size(), 2u * PER_WRITER);
  EXPECT_LT(blank, 2u * PER_WRITER);

  struct stat info {};
  ASSERT_EQ(stat((dir + "/state/korvo").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(std::system(("rm -rf " + dir).c_str()), 0);
}

// A record that is not a regular file never holds the program: a FIFO without a reader (whose
// open would wait for one), /dev/zero (whose reads never end), a socket. Each is refused by
// name within the time limit, in a child so that a hang is killed and reported.
TEST(PosixState, ARecordThatIsNotARegularFileIsRefusedWithoutWaiting) {
  char pattern[] = "/tmp/korvo-state-test-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  const std::string fifo = dir + "/updates.jsonl";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string socket_path = dir + "/socket.jsonl";
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_path.c_str());
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

  enum Action { APPEND, TABLE, JSON };
  const struct {
    const char* what;
    std::string path;
    Action action;
    std::string said;  // in the reason or on standard error
  } cases[] = {
      {"append to a FIFO", fifo, APPEND, fifo + " is not a regular file (a FIFO)"},
      {"append to /dev/zero", "/dev/zero", APPEND, "/dev/zero is not a regular file (a character device)"},
      {"append to a socket", socket_path, APPEND, socket_path + " is not a regular file (a socket)"},
      {"history of a FIFO", fifo, TABLE, "korvo: cannot read the update record " + fifo + ": not a regular file (a FIFO)\n"},
      {"history of /dev/zero", "/dev/zero", JSON,
       "korvo: cannot read the update record /dev/zero: not a regular file (a character device)\n"},
      {"history of a socket", socket_path, TABLE,
       "korvo: cannot read the update record " + socket_path + ": not a regular file (a socket)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Pipe result;
    Pipe said;
    const pid_t pid = fork();
    if (pid == 0) {
      std::string text;
      bool ok;
      if (c.action == APPEND) {
        UpdateRecord r;
        r.time = state_utc_now();
        ok = update_record_append(r, c.path, text);
      } else {
        ConsoleOut out;
        out.err = fdopen(said.write_end(), "w");
        HistoryQuery query;
        query.record = c.path;
        query.format = c.action == JSON ? HistoryFormat::JSON : HistoryFormat::TABLE;
        ok = update_record_history(out, query);
        std::fflush(out.err);
      }
      (void)!::write(said.write_end(), text.data(), text.size());
      put(result.write_end(), ok ? 1 : 0);
      _exit(0);
    }
    result.close_write();
    said.close_write();
    const std::vector<int32_t> got = take(result.read_end(), 1, 5000);
    if (got.empty()) kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_EQ(got.size(), 1u) << "still waiting after 5 s";
    EXPECT_EQ(got[0], 0) << "refused";
    EXPECT_EQ(all_of(said.read_end()), c.said);
  }
  ::close(listener);
  EXPECT_EQ(std::system(("rm -rf " + dir).c_str()), 0);
}

TEST(PosixState, DefaultRecordPathFailuresAndTime) {
  const char* saved_state = std::getenv("XDG_STATE_HOME");
  const char* saved_home = std::getenv("HOME");
  const std::string old_state = saved_state ? saved_state : "";
  const std::string old_home = saved_home ? saved_home : "";
  const struct {
    const char* state;  // null: unset
    const char* want;
  } cases[] = {{"/srv/state", "/srv/state/korvo/updates.jsonl"},
               {nullptr, "/home/tech/.local/state/korvo/updates.jsonl"},
               {"", "/home/tech/.local/state/korvo/updates.jsonl"},
               {"relative/state", "/home/tech/.local/state/korvo/updates.jsonl"}};
  setenv("HOME", "/home/tech", 1);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.state ? c.state : "(unset)");
    if (c.state) {
      setenv("XDG_STATE_HOME", c.state, 1);
    } else {
      unsetenv("XDG_STATE_HOME");
    }
    EXPECT_EQ(state_default_record_path(), c.want);
  }
  if (saved_state) setenv("XDG_STATE_HOME", old_state.c_str(), 1); else unsetenv("XDG_STATE_HOME");
  if (saved_home) setenv("HOME", old_home.c_str(), 1); else unsetenv("HOME");

  // A folder that cannot be made: the reason names it and says why.
  std::string why;
  EXPECT_FALSE(state_append_line("/dev/null/korvo/updates.jsonl", "{}", why));
  EXPECT_EQ(why, "cannot make the folder /dev/null/korvo: Not a directory");

  const std::string now = state_utc_now();
  ASSERT_TRUE(std::regex_match(now, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)"))) << now;
  std::tm utc{};
  ASSERT_NE(strptime(now.c_str(), "%Y-%m-%dT%H:%M:%SZ", &utc), nullptr);
  EXPECT_LE(std::labs(static_cast<long>(timegm(&utc) - std::time(nullptr))), 2L);
  EXPECT_FALSE(state_host_name().empty());
}

}  // namespace
