// korvo-devsim: a simulated device on a pseudo-terminal, to talk to by hand or to run the
// utility against with no device attached.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "devoptions.h"
#include "devserve.h"

namespace {

int signal_pipe[2] = {-1, -1};

// Marks a signal that a process sent (kill), as opposed to one the terminal raised.
constexpr int SENT_BY_PROCESS = 0x80;

void on_signal(int sig, siginfo_t* info, void*) {
  const int saved = errno;
  const char byte = static_cast<char>(sig | (info != nullptr && info->si_code == SI_USER ? SENT_BY_PROCESS : 0));
  [[maybe_unused]] const ssize_t n = ::write(signal_pipe[1], &byte, 1);
  errno = saved;
}

void catch_signals() {
  struct sigaction action {};
  action.sa_sigaction = on_signal;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGCHLD}) sigaction(sig, &action, nullptr);
}

pid_t start_command(const DevsimOptions& o, const std::string& path) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  // The child gets the terminal as it is and the signals as they were.
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGCHLD}) sigaction(sig, &action, nullptr);
  if (o.com != 0) ::setenv(("KORVO_COM" + std::to_string(o.com)).c_str(), path.c_str(), 1);
  std::vector<char*> argv;
  for (const std::string& a : o.command) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  ::execvp(argv[0], argv.data());
  std::fprintf(stderr, "korvo-devsim: cannot run %s\n", argv[0]);
  ::_exit(127);
}

double seconds(uint64_t us) { return static_cast<double>(us) / 1e6; }
double ms(uint64_t us) { return static_cast<double>(us) / 1e3; }

// The paced line's account: wire times, idle times, the host's turnaround.
void report_line(const DevLineLog& line, const DevLineReport& report, const std::vector<uint64_t>& floor) {
  std::fprintf(stderr, "korvo-devsim: line: sent %llu bytes (%.3f s on the wire), received %llu bytes (%.3f s)\n",
               static_cast<unsigned long long>(line.sent_bytes), seconds(line.sent_us),
               static_cast<unsigned long long>(line.received_bytes), seconds(line.received_us));
  std::fprintf(stderr, "korvo-devsim: line idle: %.3f s waiting for the host, %.3f s for the device\n",
               seconds(report.host_wait_us), seconds(report.device_wait_us));
  std::vector<uint64_t> turns;
  for (const DevTurn& t : report.turns) turns.push_back(t.host_from_us - t.device_done_us);
  std::fprintf(stderr, "korvo-devsim: host turnaround: median %.3f ms, 99th percentile %.3f ms (exchanges: %zu)\n",
               ms(devmodel_percentile(turns, 50)), ms(devmodel_percentile(turns, 99)), turns.size());
  // Counted above as waiting for the device: the host could not have the bytes sooner.
  std::fprintf(stderr,
               "korvo-devsim: own lag handing bytes over: median %.3f ms, 99th percentile %.3f ms (chunks: %zu)\n",
               ms(devmodel_percentile(line.late_us, 50)), ms(devmodel_percentile(line.late_us, 99)),
               line.late_us.size());
  std::fprintf(stderr,
               "korvo-devsim: pty round trip with nothing to do: median %.3f ms, 99th percentile %.3f ms (rounds: %zu)\n",
               ms(devmodel_percentile(floor, 50)), ms(devmodel_percentile(floor, 99)), floor.size());
}

// The line's account once more, for scripts: one line of key=value in microseconds.
bool write_timing_log(std::FILE* file, const DevLineLog& line, const DevLineReport& report,
                      const std::vector<uint64_t>& floor) {
  const auto u = [](uint64_t v) { return static_cast<unsigned long long>(v); };
  std::fprintf(file,
               "# summary: sent_us=%llu received_us=%llu host_wait_us=%llu device_wait_us=%llu "
               "lag_median_us=%llu floor_median_us=%llu exchanges=%zu\n",
               u(line.sent_us), u(line.received_us), u(report.host_wait_us), u(report.device_wait_us),
               u(devmodel_percentile(line.late_us, 50)), u(devmodel_percentile(floor, 50)), report.turns.size());
  std::fputs("# device's last byte out (us), host's next byte in (us), turnaround (us)\n", file);
  for (const DevTurn& t : report.turns)
    std::fprintf(file, "%llu %llu %llu\n", static_cast<unsigned long long>(t.device_done_us),
                 static_cast<unsigned long long>(t.host_from_us),
                 static_cast<unsigned long long>(t.host_from_us - t.device_done_us));
  return std::fclose(file) == 0;
}

bool make_link(const std::string& link, const std::string& target) {
  struct stat st {};
  // Only an old link of ours may be replaced, never a file.
  if (::lstat(link.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) return false;
    ::unlink(link.c_str());
  }
  return ::symlink(target.c_str(), link.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  DevsimOptions o;
  std::string error;
  switch (devsim_parse_options(std::vector<std::string>(argv + 1, argv + argc), o, error)) {
    case DEVSIM_RUN:
      break;
    case DEVSIM_EXIT:
      std::fputs(error.c_str(), stdout);
      return 0;
    case DEVSIM_USAGE:
      std::fprintf(stderr, "korvo-devsim: %s\n(korvo-devsim --help lists the options)\n", error.c_str());
      return 2;
  }
  if (!o.image_path.empty()) {
    auto image = std::make_shared<DevImage>();
    if (devimage_load(o.image_path, *image, error) != 0) {
      std::fprintf(stderr, "korvo-devsim: %s\n", error.c_str());
      return 2;
    }
    o.config.image = image;
  }
  std::FILE* timing_log = nullptr;
  if (!o.timing_log.empty() && (timing_log = std::fopen(o.timing_log.c_str(), "w")) == nullptr) {
    std::fprintf(stderr, "korvo-devsim: cannot write the timing log %s\n", o.timing_log.c_str());
    return 2;
  }
  if (::pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return 2;
  catch_signals();

  DevServer server;
  const int opened = devserver_open(server, o.config);
  if (opened != 0) {
    std::fprintf(stderr, "korvo-devsim: %s\n",
                 opened == 2 ? ("cannot write the trace " + o.config.trace_path).c_str()
                             : "cannot create a pseudo-terminal");
    return 2;
  }
  // Measured while nobody else holds the line, to set the host's turnaround against.
  constexpr int FLOOR_ROUNDS = 200;
  const std::vector<uint64_t> floor =
      o.config.timing.pacing ? devserver_round_trips(server, FLOOR_ROUNDS) : std::vector<uint64_t>{};
  std::fprintf(stderr, "korvo-devsim: serving a simulated device on %s\n", server.path.c_str());
  if (!o.link_path.empty()) {
    if (!make_link(o.link_path, server.path)) {
      std::fprintf(stderr, "korvo-devsim: cannot make the link %s\n", o.link_path.c_str());
      devserver_close(server);
      return 2;
    }
    std::fprintf(stderr, "korvo-devsim: %s -> %s\n", o.link_path.c_str(), server.path.c_str());
  }

  pid_t child = -1;
  int child_status = 0;
  if (!o.command.empty()) child = start_command(o, server.path);
  if (child < 0 && !o.command.empty()) {
    std::fprintf(stderr, "korvo-devsim: cannot start the command\n");
    child_status = 2 << 8;  // reported as exit status 2
  }

  bool done = !o.command.empty() && child < 0;
  while (!done) {
    if (devserver_run(server, signal_pipe[0]) != 0) {
      std::fprintf(stderr, "korvo-devsim: the pseudo-terminal failed\n");
      break;
    }
    char byte = 0;
    while (::read(signal_pipe[0], &byte, 1) == 1) {
      const int sig = static_cast<unsigned char>(byte) & ~SENT_BY_PROCESS;
      if (sig == SIGCHLD && child > 0) {
        if (::waitpid(child, &child_status, WNOHANG) == child) {
          child = 0;
          done = true;
        }
      } else if (sig == SIGINT || sig == SIGTERM) {
        // With a command running, the command decides when the run ends. A ^C typed on
        // the terminal has reached it already; a signal sent to us alone is passed on.
        if (child > 0) {
          if ((static_cast<unsigned char>(byte) & SENT_BY_PROCESS) != 0) ::kill(child, sig);
        } else {
          done = true;
        }
      }
    }
  }
  if (child > 0) {
    ::kill(child, SIGTERM);
    ::waitpid(child, &child_status, 0);
  }
  if (!o.link_path.empty()) ::unlink(o.link_path.c_str());
  devserver_close(server);

  const DevLog& log = server.model.log;
  const DevLineReport line = devmodel_line_report(log.line);
  if (o.config.timing.pacing) report_line(log.line, line, floor);
  if (timing_log != nullptr && !write_timing_log(timing_log, log.line, line, floor))
    std::fprintf(stderr, "korvo-devsim: cannot write the timing log %s\n", o.timing_log.c_str());
  std::fprintf(
      stderr,
      "korvo-devsim: records received: %zu accepted since the last start command, %u record packets heard\n",
      log.records.size(), log.record_packets);
  if (o.config.faults.ber > 0)
    std::fprintf(stderr,
                 "korvo-devsim: noisy line: %llu bits flipped on the way to the device, %llu to the host; "
                 "%u packets dropped for a bad checksum; %u start commands accepted\n",
                 static_cast<unsigned long long>(log.flipped_in), static_cast<unsigned long long>(log.flipped_out),
                 log.garbage, log.starts);
  for (const DevViolation& v : log.violations)
    std::fprintf(stderr, "korvo-devsim: speed violation at %.3f ms: %s\n",
                 static_cast<double>(v.at_us) / 1000.0, v.what.c_str());
  bool verified = !o.exit_status;  // with --exit-status, no image is no match
  if (o.config.image) {
    const DevFlashVerdict verdict =
        devimage_verify(*o.config.image, log.start_command, log.records, o.image_path);
    verified = verdict.verified;
    std::fprintf(stderr, "korvo-devsim: %s\n", verdict.text.c_str());
  }
  if (!o.command.empty() && !o.exit_status) {
    if (WIFEXITED(child_status)) return WEXITSTATUS(child_status);
    if (WIFSIGNALED(child_status)) return 128 + WTERMSIG(child_status);
    return 2;
  }
  return verified ? 0 : 1;
}
