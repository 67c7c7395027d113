#include "devsim_harness_posix.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <filesystem>

extern char** environ;

namespace {

// Without a pidfd the end of the program is looked for this often.
constexpr int CHILD_CHECK_MS = 20;

uint64_t now_ms() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

void set_nonblocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> out;
  for (std::string& t : texts) out.push_back(t.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

DevsimHarness::DevsimHarness() {
  char folder[] = "/tmp/korvo-state-XXXXXX";
  if (::mkdtemp(folder) != nullptr) state_dir_ = folder;
}

DevsimHarness::~DevsimHarness() {
  stop();
  std::error_code ignored;  // a leftover in /tmp fails no test
  if (!state_dir_.empty()) std::filesystem::remove_all(state_dir_, ignored);
}

void DevsimHarness::add_device(int com, const DevConfig& config) {
  Port port;
  port.com = com;
  port.config = config;
  ports_.push_back(std::move(port));
}

void DevsimHarness::add_missing(int com) {
  Port port;
  port.com = com;
  port.kind = HARNESS_MISSING;
  port.path = "/nonexistent-korvo-port/COM" + std::to_string(com);
  ports_.push_back(std::move(port));
}

void DevsimHarness::add_silent(int com) {
  Port port;
  port.com = com;
  port.kind = HARNESS_SILENT;
  port.config.faults.device_silent = true;
  ports_.push_back(std::move(port));
}

bool DevsimHarness::start() {
  for (Port& port : ports_) {
    if (port.kind == HARNESS_MISSING || port.server) continue;
    port.server = std::make_unique<DevServerThread>();
    const int com = port.com;
    port.server->server.after_feed = [this, com](DevServer& s) {
      if (hook_com_.load() != com) return;
      const size_t accepted = s.model.log.records.size();
      const int gone = hook_output_record_.load();
      if (gone > 0 && accepted >= static_cast<size_t>(gone)) output_gone_ = true;
      const int record = hook_record_.load();
      const pid_t pid = child_.load();
      if (record <= 0 || pid <= 0 || hook_fired_.load()) return;
      if (accepted < static_cast<size_t>(record)) return;
      hook_fired_ = true;
      ::kill(pid, hook_signal_.load());
    };
    if (devserver_start(*port.server, port.config) != 0) {
      error_ = "cannot serve COM" + std::to_string(com) + " on a pty";
      port.server.reset();
      return false;
    }
    port.path = port.server->server.path;
  }
  return true;
}

void DevsimHarness::stop() {
  for (Port& port : ports_)
    if (port.server) devserver_stop(*port.server);
}

const DevsimHarness::Port* DevsimHarness::find(int com) const {
  for (const Port& port : ports_)
    if (port.com == com) return &port;
  return nullptr;
}

std::string DevsimHarness::path(int com) const {
  const Port* port = find(com);
  return port == nullptr ? std::string() : port->path;
}

DevLog DevsimHarness::log(int com) const {
  const Port* port = find(com);
  if (port == nullptr || !port->server) return DevLog{};
  DevServer& server = port->server->server;
  const std::lock_guard<std::mutex> hold(server.lock);
  return server.model.log;
}

bool DevsimHarness::exclusive(int com) const {
  const Port* port = find(com);
  int flag = 0;
#ifdef TIOCGEXCL
  if (port != nullptr && port->server) ::ioctl(port->server->server.slave, TIOCGEXCL, &flag);
#endif
  return flag != 0;
}

DevFlashVerdict DevsimHarness::verify(int com, const std::string& image_path) const {
  DevImage image;
  std::string error;
  if (devimage_load(image_path, image, error) != 0) return {false, "flash NOT verified: " + error};
  const DevLog device = log(com);
  return devimage_verify(image, device.start_command, device.records, image_path);
}

std::vector<std::string> DevsimHarness::environment() const {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    // Only the ports of this run are visible to the program.
    if (std::string(*e).rfind("KORVO_COM", 0) != 0) env.emplace_back(*e);
  }
  for (const Port& port : ports_)
    env.push_back("KORVO_COM" + std::to_string(port.com) + "=" + port.path);
  // Never the user's own update record.
  std::erase_if(env, [](const std::string& e) { return e.rfind("XDG_STATE_HOME=", 0) == 0; });
  env.push_back("XDG_STATE_HOME=" + state_dir_);
  return env;
}

HarnessResult DevsimHarness::run(const HarnessProgram& p) {
  HarnessResult r;
  if (p.argv.empty()) {
    ADD_FAILURE() << "no program to run";
    return r;
  }
  if (!start()) {
    ADD_FAILURE() << error_;
    return r;
  }
  // A program that ends before taking its input must not end the test with SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
  int out[2] = {-1, -1};
  int in_parent = -1;
  int in_child = -1;
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "no pipe for the output";
    return r;
  }
  // Standard error goes to a file of its own, read once the program has ended.
  std::FILE* errors = std::tmpfile();
  const int err_fd = errors != nullptr ? ::fileno(errors) : -1;
  if (p.terminal) {
    in_parent = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    const char* name = nullptr;
    if (in_parent >= 0 && ::grantpt(in_parent) == 0 && ::unlockpt(in_parent) == 0 &&
        (name = ::ptsname(in_parent)) != nullptr)
      in_child = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  } else {
    int in[2] = {-1, -1};
    if (::pipe2(in, O_CLOEXEC) == 0) {
      in_child = in[0];
      in_parent = in[1];
    }
  }
  if (in_child < 0 || in_parent < 0) {
    close_fd(in_child);
    close_fd(in_parent);
    close_fd(out[0]);
    close_fd(out[1]);
    ADD_FAILURE() << "no input for the program";
    if (errors != nullptr) std::fclose(errors);
    return r;
  }
  std::vector<std::string> env_texts = environment();
  std::vector<std::string> arg_texts = p.argv;
  for (std::string& arg : arg_texts) {
    const char* terminal_path = p.terminal ? ::ptsname(in_parent) : nullptr;
    if (arg == HARNESS_TERMINAL_PATH && terminal_path != nullptr) arg = terminal_path;
  }
  const std::vector<char*> envp = pointers(env_texts);
  const std::vector<char*> argv = pointers(arg_texts);

  hook_fired_ = false;
  hook_com_ = p.signal_com;
  hook_record_ = p.signal_record;
  hook_signal_ = p.signal;
  hook_output_record_ = p.output_gone_record;
  output_gone_ = false;
  // A descriptor of the terminal of its own: the loop below closes in_parent once the
  // program has let go of the terminal, and the modes are looked at after that.
  termios terminal_before{};
  int terminal = p.terminal ? ::fcntl(in_parent, F_DUPFD_CLOEXEC, 0) : -1;
  const bool have_terminal = terminal >= 0 && ::tcgetattr(terminal, &terminal_before) == 0;
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Its own session: the terminal of the test run is none of its business.
    ::setsid();
    // A terminal becomes its controlling terminal, so that a typed ^C works as it would.
    if (p.terminal) ::ioctl(in_child, TIOCSCTTY, 0);
    ::dup2(in_child, STDIN_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    if (err_fd >= 0) ::dup2(err_fd, STDERR_FILENO);
    if (p.stdin_closed) ::close(STDIN_FILENO);
    if (p.stdout_closed) ::close(STDOUT_FILENO);
    // As a shell starts it: the harness's own SIGPIPE setting is not the program's.
    ::signal(SIGPIPE, SIG_DFL);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  close_fd(in_child);
  close_fd(out[1]);
  if (pid < 0) {
    close_fd(in_parent);
    close_fd(out[0]);
    close_fd(terminal);
    ADD_FAILURE() << "cannot start " << p.argv[0];
    if (errors != nullptr) std::fclose(errors);
    return r;
  }
  r.started = true;
  child_ = pid;
  int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  set_nonblocking(out[0]);
  set_nonblocking(in_parent);

  size_t input_done = 0;
  if (!p.terminal && p.input.empty()) close_fd(in_parent);
  size_t key = 0;
  size_t search_from = 0;
  uint64_t trigger_at = 0;
  bool triggered = false;
  bool exited = false;
  int status = 0;
  const uint64_t deadline = now_ms() + p.timeout_ms;
  char buffer[4096];
  while (!exited || out[0] >= 0) {
    const uint64_t now = now_ms();
    if (now >= deadline) {
      if (!exited) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        exited = true;
      }
      r.timed_out = true;
      break;
    }
    uint64_t wait = deadline - now;
    if (p.terminal && key < p.keys.size() && in_parent >= 0) {
      const HarnessKey& k = p.keys[key];
      if (!triggered && (k.after_output.empty() || r.output.find(k.after_output, search_from) != std::string::npos)) {
        triggered = true;
        trigger_at = now;
      }
      if (triggered) {
        if (now >= trigger_at + k.delay_ms) {
          [[maybe_unused]] const ssize_t n = ::write(in_parent, k.bytes.data(), k.bytes.size());
          ++key;
          search_from = r.output.size();
          triggered = false;
          continue;
        }
        wait = std::min<uint64_t>(wait, trigger_at + k.delay_ms - now);
      }
    }
    if ((!exited && pidfd < 0) || (p.output_gone_record > 0 && out[0] >= 0))
      wait = std::min<uint64_t>(wait, CHILD_CHECK_MS);
    pollfd fds[3] = {{out[0], POLLIN, 0},
                     {exited ? -1 : pidfd, POLLIN, 0},
                     {in_parent, static_cast<short>(p.terminal ? POLLIN : POLLOUT), 0}};
    if (::poll(fds, 3, static_cast<int>(wait)) < 0 && errno != EINTR) break;
    if (output_gone_ && out[0] >= 0) {
      close_fd(out[0]);
      continue;
    }
    if (fds[0].revents != 0) {
      const ssize_t n = ::read(out[0], buffer, sizeof buffer);
      if (n > 0) r.output.append(buffer, static_cast<size_t>(n));
      else if (n == 0 || (errno != EAGAIN && errno != EINTR)) close_fd(out[0]);
    }
    if (!exited && (fds[1].revents != 0 || pidfd < 0)) {
      if (::waitpid(pid, &status, pidfd < 0 ? WNOHANG : 0) == pid) exited = true;
    }
    if (fds[2].revents != 0) {
      if (p.terminal) {
        // Echo of the typed keys, if the program leaves echo on: not wanted, but never
        // allowed to fill up.
        const ssize_t n = ::read(in_parent, buffer, sizeof buffer);
        if (n > 0) r.terminal_output.append(buffer, static_cast<size_t>(n));
        else if (errno != EAGAIN) close_fd(in_parent);
      } else {
        const ssize_t n = ::write(in_parent, p.input.data() + input_done, p.input.size() - input_done);
        if (n > 0) input_done += static_cast<size_t>(n);
        if ((n < 0 && errno != EAGAIN && errno != EINTR) || input_done == p.input.size())
          close_fd(in_parent);
      }
    }
  }
  child_ = -1;
  // What reached the terminal in the program's last moments.
  for (ssize_t n = 1; p.terminal && in_parent >= 0 && n > 0;) {
    n = ::read(in_parent, buffer, sizeof buffer);
    if (n > 0) r.terminal_output.append(buffer, static_cast<size_t>(n));
  }
  termios terminal_after{};
  r.terminal_restored = have_terminal && ::tcgetattr(terminal, &terminal_after) == 0 &&
                        terminal_after.c_lflag == terminal_before.c_lflag &&
                        terminal_after.c_iflag == terminal_before.c_iflag;
  close_fd(terminal);
  close_fd(pidfd);
  close_fd(in_parent);
  close_fd(out[0]);
  if (r.timed_out)
    ADD_FAILURE() << p.argv[0] << " did not end within " << p.timeout_ms << " ms; output so far:\n"
                  << r.output;
  if (errors != nullptr) {
    std::rewind(errors);
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, errors)) > 0;) r.errors.append(buffer, n);
    std::fclose(errors);
  }
  if (WIFEXITED(status)) r.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
  return r;
}
