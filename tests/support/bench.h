// A fresh run on an in-memory line: virtual clock, scripted console, captured output.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "driver/run_state.h"
#include "update/console_reporter.h"
#include "fake_console.h"
#include "memline.h"
#include "result_code.h"

using namespace korvo;

struct Bench {
  VirtualClock clock;
  MemLine line{clock};
  FakeConsole console;
  CapturedText text;
  CapturedText diagnostics;
  RunState run;
  ConsoleReporter console_texts{run.out};  // the console's texts, into `text`

  // The port starts open at 19200, as the scan leaves it.
  explicit Bench(bool open = true) {
    run.link.clock = &clock;
    run.link.port.backend = &line;
    run.console = &console;
    run.out = text.out();
    run.out.err = diagnostics.out().file;
    run.record = false;  // never the user's own update record
    if (open) {
      (void)port_open(run.link.port, 1, 19200);
      run.link.current_baud = 19200;
    }
  }

  std::string output() const { return text.text(); }
  // Bytes the device answers with, arriving ms after the current time.
  void reply(const std::vector<uint8_t>& bytes, uint64_t after_ms = 0) {
    line.device_send(bytes, clock.now + after_ms);
  }
  void reply_text(const std::string& text_bytes, uint64_t after_ms = 0) {
    line.device_send(text_bytes, clock.now + after_ms);
  }
};

// A packet as the device frames it: length, checksum, payload. (Built in place: GCC 12 at -O3
// takes an insert into a brace-initialised vector for a write out of bounds.)
inline std::vector<uint8_t> framed(const std::vector<uint8_t>& payload) {
  uint8_t sum = 0;
  for (uint8_t b : payload) sum = static_cast<uint8_t>(sum + b);
  std::vector<uint8_t> out;
  out.reserve(payload.size() + 2);
  out.push_back(static_cast<uint8_t>(payload.size() + 2));
  out.push_back(sum);
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}
