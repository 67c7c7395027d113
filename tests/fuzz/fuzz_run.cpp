// The whole run, from the scan to the exit routine, against a device played by the fuzzer.
// The input, cut at "~~": first the keys typed, one code a byte, then the device's replies to
// the host's waits. Two small images are built in: 68/6 and the legacy bootloader's 56/1.
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "driver/driver.h"
#include "update/console_reporter.h"
#include "fake_console.h"
#include "fuzz_line.h"
#include "images/image_build.h"

namespace {

// The laptop has COM1 and COM2, both on the device's line; the rest of the scan cannot open.
constexpr int PORTS = 2;
// Unanswered waits before a silent device is given up on everywhere: a 500 ms report wait
// and a 2000 ms ACK wait (two reads: the limit itself has not passed) on each port.
constexpr size_t SILENT_WAITS = PORTS * 3;
// The bootloader's hand-over and the application's restart: the run's only sleeps.
constexpr uint64_t PAUSES_MS = 1000 + 10;

struct RunLine : FuzzLine {
  using FuzzLine::FuzzLine;
  bool open(const PortName& name, uint32_t baud, OpenFailure& failure) override {
    if (name.by_path() || name.number > PORTS) {
      failure.error = OpenError::MISSING;
      return false;
    }
    return FuzzLine::open(name, baud, failure);
  }
};

struct FuzzConsole : FakeConsole {
  FuzzLine* line = nullptr;
  int read_key() override {
    const int code = FakeConsole::read_key();
    line->events.push_back({LineEvent::KEY, 0, Bytes{static_cast<uint8_t>(code)}});
    return code;
  }
};

const ImageTable& images() {
  static std::vector<uint8_t> slate, basalt;
  static ImageTable table{};
  if (table[0].data != nullptr) return table;
  ImagePackSpec pack;  // the stand-in's records, three of them
  pack.record_count = 3;
  FUZZ_CHECK(image_pack(pack, slate) == PackResult::OK);
  pack.product = 56;
  pack.pcb_revision = 1;
  pack.target_name = {"Basalt"};
  pack.record_count = 2;  // the longest record and the shortest
  pack.record_length = IMAGE_RECORD_MAX;
  pack.last_length = IMAGE_RECORD_MIN;
  FUZZ_CHECK(image_pack(pack, basalt) == PackResult::OK);
  table[0] = Image{slate.data(), slate.size()};
  table[1] = Image{basalt.data(), basalt.size()};
  return table;
}

// A start command only right after a "Y"; a record only after a transaction that the wire
// shows succeeded, from the command on.
void check_commands(const FuzzLine& line) {
  int last_key = -1;
  size_t after_command = 0;
  for (size_t i = 0; i < line.events.size(); ++i) {
    const LineEvent& e = line.events[i];
    if (e.kind == LineEvent::KEY) last_key = e.bytes[0];
    if (e.kind != LineEvent::WRITE || e.bytes.size() < 4) continue;  // commands carry 4 bytes or more
    if (e.bytes[0] == '!') {
      FUZZ_CHECK(last_key == 'Y' || last_key == 'y');
    } else if (e.bytes[0] == '$') {
      FUZZ_CHECK(after_command != 0);
      FUZZ_CHECK(status_exchange_ok(line.bytes_read(after_command, i)));
    } else {
      continue;
    }
    after_command = i + 1;
  }
}

// The 100% line only for a run whose every status packet came whole, with a matching
// checksum and "@": check_commands shows it for each exchange before a record, this for the
// last record's. Progress lines only below 100%, and none after it: WatchedTexts.
void check_verified(const FuzzLine& line, bool complete) {
  if (!complete) return;
  size_t last_command = SIZE_MAX;
  for (size_t i = 0; i < line.events.size(); ++i) {
    const LineEvent& e = line.events[i];
    if (e.kind == LineEvent::WRITE && e.bytes.size() >= 4 && (e.bytes[0] == '!' || e.bytes[0] == '$')) {
      last_command = i;
    }
  }
  FUZZ_CHECK(last_command != SIZE_MAX && line.events[last_command].bytes[0] == '$');
  // Its exchange ends where the leave command's checksum byte, "%", is written.
  size_t end = last_command + 1;
  while (end < line.events.size() &&
         !(line.events[end].kind == LineEvent::WRITE && line.events[end].bytes == Bytes{'%'})) {
    ++end;
  }
  FUZZ_CHECK(status_exchange_ok(line.bytes_read(last_command + 1, end)));
}

// The console's texts, with the program's own progress watched as it is told, not read back
// from the text: the device's echo may say anything, "Updating firmware: 101%" included.
struct WatchedTexts : ConsoleReporter {
  using ConsoleReporter::ConsoleReporter;
  bool complete = false;  // the 100% line was shown
  void progress(uint32_t done, uint32_t count) override {
    FUZZ_CHECK(count > 0 && done < count && !complete);
    ConsoleReporter::progress(done, count);
  }
  void transfer_complete() override {
    complete = true;
    ConsoleReporter::transfer_complete();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<Piece> pieces = fuzz_split(Piece(data, size));
  const Piece keys = pieces.front();
  pieces.erase(pieces.begin());
  VirtualClock clock;
  RunLine line(clock, pieces);
  FuzzConsole console;
  console.line = &line;
  console.keys.assign(keys.begin(), keys.end());
  CapturedText text;
  CapturedText diagnostics;
  RunState run;
  run.link.clock = &clock;
  run.link.port.backend = &line;
  run.console = &console;
  run.out = text.out();
  run.out.err = diagnostics.out().file;
  WatchedTexts texts(run.out);
  run.reporter = &texts;
  run.record = false;
  run.images = &images();
  const char* argv[] = {"korvo"};
  const int status = static_cast<int>(korvo_run(run, 1, argv));

  FUZZ_CHECK(status == 0 || status == 1);
  FUZZ_CHECK(!line.has_handle());
  FUZZ_CHECK(clock.now <= line.wait_budget(SILENT_WAITS) + PAUSES_MS);
  check_commands(line);
  check_verified(line, texts.complete);
  // To see what a finding did: KORVO_FUZZ_SHOW=1 korvo_fuzz_run FILE
  if (std::getenv("KORVO_FUZZ_SHOW") != nullptr) {
    const std::string shown = text.text();
    std::fwrite(shown.data(), 1, shown.size(), stderr);
    const std::string told = diagnostics.text();
    std::fprintf(stderr, "\n[standard error]%s", told.c_str());
    std::fprintf(stderr, "\n[exit status %d after %llu ms]\n", status,
                 static_cast<unsigned long long>(clock.now));
  }
  return 0;
}
