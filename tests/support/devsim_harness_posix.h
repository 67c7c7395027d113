// End-to-end harness: simulated devices on real pseudo-terminals in background threads, and
// a program (the real korvo binary) run against them with KORVO_COM<n> pointing at them,
// its input scripted, its output captured and its run bounded by a wall-clock limit.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "devimage.h"
#include "devserve.h"

#ifdef KORVO_BIN_DIR
inline std::string harness_korvo_path() { return std::string(KORVO_BIN_DIR) + "/korvo"; }
#endif

// Bytes typed into the program's terminal: once its output, from where the previous key
// was typed on, contains after_output (no wait when empty), and delay_ms after that.
struct HarnessKey {
  std::string after_output;
  uint32_t delay_ms = 0;
  std::string bytes;
};

// An argument that the harness replaces with the path of the program's own terminal.
inline const std::string HARNESS_TERMINAL_PATH = "{terminal}";

struct HarnessProgram {
  std::vector<std::string> argv;  // argv[0] is the program's path; see HARNESS_TERMINAL_PATH
  // Standard input: a pipe fed with `input` and then closed, or (terminal) a pty on which
  // `keys` are typed.
  bool terminal = false;
  std::string input;
  std::vector<HarnessKey> keys;
  uint32_t timeout_ms = 60000;    // killed and the test failed after this long
  // Send `signal` to the program once the device on COM signal_com has accepted record
  // signal_record (counted from its last start command); 0: never.
  int signal_com = 0;
  int signal_record = 0;
  int signal = SIGINT;
  // Instead of (or as well as) the signal: once that device has accepted this record, the
  // harness stops reading the output and closes its end of the pipe, as a pager that was
  // quit; 0 never.
  int output_gone_record = 0;
  // Start the program with standard input or output closed, as `<&-` and `>&-` do.
  bool stdin_closed = false;
  bool stdout_closed = false;
};

struct HarnessResult {
  bool started = false;
  std::string output;       // everything the program wrote to standard output
  std::string errors;       // and to standard error
  std::string terminal_output;  // what reached its terminal (the typed keys' echo included)
  int exit_status = -1;     // when it exited
  int signal = 0;           // when a signal ended it
  bool timed_out = false;
  bool terminal_restored = false;  // a terminal's modes afterwards were those it started with
};

enum HarnessPortKind { HARNESS_DEVICE, HARNESS_MISSING, HARNESS_SILENT };

class DevsimHarness {
 public:
  DevsimHarness();
  DevsimHarness(const DevsimHarness&) = delete;
  DevsimHarness& operator=(const DevsimHarness&) = delete;
  ~DevsimHarness();

  // Before start(): what COM n is. A silent pty takes the bytes and never answers; a
  // missing port names a path that does not exist.
  void add_device(int com, const DevConfig& config);
  void add_missing(int com);
  void add_silent(int com);
  // Creates the ptys and starts serving (run() does it too); false (with error()) when
  // that fails. Ports added later are started by the next call.
  [[nodiscard]] bool start();
  // Stops serving; what the devices logged stays readable.
  void stop();

  std::string path(int com) const;
  // Runs a program to its end (or its time limit) against the ports; may be called again,
  // the devices keep their state between runs. The program leads a session of its own: a
  // tty it opens without O_NOCTTY becomes its controlling terminal (in a shell script,
  // `timeout cmd <tty` then stops on SIGTTIN).
  HarnessResult run(const HarnessProgram& program);

  // What a device heard and did (a copy, safe while serving).
  DevLog log(int com) const;
  // The exclusive flag of a device's tty, as a program that opens it next would meet it.
  bool exclusive(int com) const;
  // The flash of a device against an image file.
  DevFlashVerdict verify(int com, const std::string& image_path) const;
  const std::string& error() const { return error_; }
  // The update record the programs write: each harness gives them a state folder of its own
  // (XDG_STATE_HOME), removed with it.
  std::string record_path() const { return state_dir_ + "/korvo/updates.jsonl"; }

 private:
  struct Port {
    int com = 0;
    HarnessPortKind kind = HARNESS_DEVICE;
    DevConfig config;
    std::unique_ptr<DevServerThread> server;
    std::string path;
  };
  const Port* find(int com) const;
  std::vector<std::string> environment() const;

  std::vector<Port> ports_;
  std::string error_;
  std::string state_dir_;
  // The record hook, read by the serving threads.
  std::atomic<pid_t> child_{-1};
  std::atomic<int> hook_com_{0};
  std::atomic<int> hook_record_{0};
  std::atomic<int> hook_signal_{0};
  std::atomic<bool> hook_fired_{false};
  std::atomic<int> hook_output_record_{0};
  std::atomic<bool> output_gone_{false};
};
