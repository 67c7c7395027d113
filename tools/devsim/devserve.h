// Serving the device model on a real pseudo-terminal (POSIX): the host opens the slave
// side like a serial port; the server reads what it writes, samples the speed the host set,
// feeds the model and writes the model's bytes when they are due.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "devmodel.h"

// A USB adapter sends the host packets of 64 bytes, two of them its own status.
inline constexpr size_t DEV_ADAPTER_PACKET_BYTES = 62;

// An output on its way to the host: its stretch on the line and when it was due.
struct DevPendingOutput {
  size_t span = SIZE_MAX;
  uint64_t due_us = 0;
  uint64_t released_us = 0;  // when the modelled adapter let it go; 0: none held it
};

// An output whose bytes the adapter holds, and where its last byte ends among them.
struct DevHeldOutput {
  DevPendingOutput output;
  size_t end = 0;
};

struct DevServer {
  DevModel model;
  int master = -1;
  // The server's own descriptor of the slave side, open for the server's whole life: the
  // line never hangs up and keeps its settings while the host closes and reopens it.
  int slave = -1;
  std::string path;                        // the slave's name, for the host to open
  std::chrono::steady_clock::time_point start;
  std::multimap<uint64_t, DevOutput> due;  // by time; equal times keep their order
  std::vector<uint8_t> to_host;            // handed over, not yet taken by the pty
  // The USB adapter of --latency-timer: bytes it holds, and since when.
  std::vector<uint8_t> held;
  uint64_t held_since_us = 0;
  std::vector<DevHeldOutput> held_outputs;
  std::vector<DevPendingOutput> handing;   // passed to the pty by the write under way
  // Held while the model changes; lock it to read the model while the server runs.
  std::mutex lock;
  // Called in the serving thread, with the lock held, after every batch of host bytes was
  // fed to the model.
  std::function<void(DevServer&)> after_feed;
  uint32_t host_gone = 0;                  // reads that failed with EIO
  uint64_t wakeups = 0;                    // waits that ended: a paced line wakes per chunk, not per byte
};

// 0 serving-ready; 1 no pty; 2 the trace file cannot be written.
[[nodiscard]] int devserver_open(DevServer& server, const DevConfig& config);
// Serves until stop_fd becomes readable (it is not read). 0, or 1 on a broken pty.
int devserver_run(DevServer& server, int stop_fd);
void devserver_close(DevServer& server);
// The speed the host's end is set to, 0 when it cannot be read.
uint32_t devserver_host_baud(const DevServer& server);
uint64_t devserver_now_us(const DevServer& server);
// One-byte round trips through the pty to an echo on the server's own slave descriptor that
// does nothing else, with the line idle in between: what the rig itself adds to every exchange
// before the host does anything. Microseconds each; run it before the host opens the line.
std::vector<uint64_t> devserver_round_trips(DevServer& server, int rounds);

// A server in a background thread, for tests and harnesses.
struct DevServerThread {
  DevServer server;
  int stop_pipe[2] = {-1, -1};
  std::thread thread;
};

[[nodiscard]] int devserver_start(DevServerThread& runner, const DevConfig& config);
// Stops and joins the thread and closes the pty; the model stays readable.
void devserver_stop(DevServerThread& runner);
