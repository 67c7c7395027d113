// How a device's run ended, told alike everywhere: the exit status, the console's "korvo: "
// line, the JSON result, the rack row and the update record all come from one outcome. The
// devices are simulated on the in-memory line, each port on its own thread with a virtual
// clock of its own, so that a run over several ports is seen by the unit tests (and by
// ThreadSanitizer when the suite is built with it).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "bench.h"
#include "devimage.h"
#include "devsim_line.h"
#include "driver/driver.h"
#include "driver/update_record.h"
#include "images/image.h"
#include "serial/stop.h"
#include "update/outcome.h"
#include "update/rack_view.h"

namespace {

// Each serving thread's own time: the ports' waits do not move one another's clocks.
thread_local VirtualClock t_clock;

struct ThreadClock : Clock {
  uint32_t now_ms() override { return t_clock.now_ms(); }
  void sleep_ms(uint32_t ms) override { t_clock.sleep_ms(ms); }
};

// When a scenario stops the whole run (as Ctrl-C does).
enum class StopAt { NEVER, ENTRY_TEXT, LEAVE_COMMAND };

struct Scenario {
  const char* what;
  DevConfig device;
  StopAt stop = StopAt::NEVER;
  bool fixed_speed = false;  // the line cannot change its speed, as a raw network port
};

const std::shared_ptr<DevImage>& standin_image() {
  static const std::shared_ptr<DevImage> image = [] {
    auto parsed = std::make_shared<DevImage>();
    const Image& standin = image_table()[0];
    std::string error;
    EXPECT_EQ(devimage_parse(std::vector<uint8_t>(standin.data, standin.data + standin.size), *parsed, error), 0);
    return parsed;
  }();
  return image;
}

// A port whose device is made when it is opened: COMn serves scenario n.
class ScenarioPort : public PortBackend {
 public:
  ScenarioPort(const std::vector<Scenario>& scenarios, std::vector<DevLog>& logs, std::mutex& logs_lock)
      : scenarios_(scenarios), logs_(logs), logs_lock_(logs_lock) {}
  ~ScenarioPort() override {
    if (index_ < 0) return;
    std::lock_guard<std::mutex> lock(logs_lock_);
    logs_[static_cast<size_t>(index_)] = device_.model.log;
  }

  bool open(const PortName& name, uint32_t baud, OpenFailure& failure) override {
    if (index_ < 0 && name.number >= 1 && static_cast<size_t>(name.number) <= scenarios_.size()) {
      index_ = name.number - 1;
      DevConfig config = scenarios_[static_cast<size_t>(index_)].device;
      config.image = standin_image();
      if (!device_.attach(line_, config, t_clock.now)) return false;
      // Asked for another speed, a raw network port can only give up the connection.
      line_.fixed_speed = line_.refuse_baud = scenarios_[static_cast<size_t>(index_)].fixed_speed;
    }
    return line_.open(name, baud, failure);
  }
  bool set_baud(uint32_t baud) override { return line_.set_baud(baud); }
  void close() override { line_.close(); }
  bool has_handle() const override { return line_.has_handle(); }
  bool speed_changeable() const override { return line_.speed_changeable(); }
  int32_t write(const uint8_t* data, int32_t count) override {
    const int32_t written = line_.write(data, count);
    if (index_ >= 0) {
      const StopAt stop = scenarios_[static_cast<size_t>(index_)].stop;
      const DevLog& log = device_.model.log;
      if ((stop == StopAt::ENTRY_TEXT && log.bootl) ||
          (stop == StopAt::LEAVE_COMMAND && !log.commands.empty() && log.commands.back() == "%")) {
        port_request_stop();
      }
    }
    return written;
  }
  int32_t read(uint8_t* buffer, int32_t count) override { return line_.read(buffer, count); }
  int32_t available() override { return line_.available(); }

 private:
  const std::vector<Scenario>& scenarios_;
  std::vector<DevLog>& logs_;
  std::mutex& logs_lock_;
  MemLine line_{t_clock};
  DevsimLine device_;
  int index_ = -1;
};

struct ScenarioRun {
  std::vector<Scenario> scenarios;
  ThreadClock clock;
  FakeConsole console;
  CapturedText text;
  CapturedText diagnostics;
  std::vector<DevLog> logs;
  std::mutex logs_lock;
  std::string record_path;
  int status = -1;

  ScenarioRun(std::vector<Scenario> s, std::vector<const char*> options) : scenarios(std::move(s)) {
    logs.resize(scenarios.size());
    RunState run;
    run.link.clock = &clock;
    run.console = &console;
    run.out = text.out();
    run.out.err = diagnostics.out().file;
    run.images = &image_table();
    run.test_images = true;  // a line every port would say: the run says it once
    run.make_backend = [this] { return std::make_unique<ScenarioPort>(scenarios, logs, logs_lock); };
    // A single port runs on this thread, through its own backend.
    std::unique_ptr<PortBackend> own = run.make_backend();
    run.link.port.backend = own.get();
    record_path = testing::TempDir() + "korvo-outcome-" + testing::UnitTest::GetInstance()->current_test_info()->name();
    std::remove(record_path.c_str());
    run.record_path = record_path;
    options.insert(options.begin(), "korvo");
    std::vector<std::string> ports;
    for (size_t i = 1; i <= scenarios.size(); ++i) ports.push_back(std::to_string(i));
    for (const std::string& port : ports) options.push_back(port.c_str());
    status = code(korvo_run(run, static_cast<int>(options.size()), options.data()));
    port_stop_clear();
    own.reset();
  }
  ~ScenarioRun() { std::remove(record_path.c_str()); }

  // The record's lines by port.
  std::map<std::string, UpdateRecord> records() const {
    std::map<std::string, UpdateRecord> by_port;
    std::ifstream in(record_path);
    for (std::string line; std::getline(in, line);) {
      UpdateRecord record;
      EXPECT_TRUE(update_record_parse(line, record)) << line;
      by_port[record.port] = record;
    }
    return by_port;
  }
  // The JSON result (or --check verdict) of each port.
  std::map<std::string, nlohmann::json> results() const {
    std::map<std::string, nlohmann::json> by_port;
    const std::string out = text.text();
    for (size_t at = 0; at < out.size();) {
      const size_t end = out.find('\n', at);
      const auto line = nlohmann::json::parse(out.substr(at, end - at));  // throws: the test fails
      if (line.at("event") == "result" || line.at("event") == "verdict") by_port[line.at("port")] = line;
      at = end == std::string::npos ? out.size() : end + 1;
    }
    return by_port;
  }
  // The summary table's row of a port: its outcome column.
  std::string row(const std::string& port) const {
    const std::string out = text.text();
    const size_t table = out.rfind("\nPort ");
    if (table == std::string::npos) return "";
    const size_t at = out.find("\n" + port + " ", table + 1);
    if (at == std::string::npos) return "";
    const std::string line = out.substr(at + 1, out.find('\n', at + 1) - at - 1);
    // Port, device, version and time come first, each followed by at least two spaces.
    const size_t time = line.find(" s  ");
    return time == std::string::npos ? line : line.substr(line.find_first_not_of(' ', time + 3));
  }
  bool said(const std::string& text_part) const { return diagnostics.text().find(text_part) != std::string::npos; }
};

DevConfig device() { return DevConfig{}; }

uint32_t version(uint8_t major, uint8_t minor) { return uint32_t{major} << 24 | uint32_t{minor} << 16; }

// Each case as a port of one run over several devices: the rack row, the record and (from a
// second run with --json) the JSON result must tell the same end.
TEST(Outcomes, EveryEndIsToldAlikeInTheRowTheJsonResultAndTheRecord) {
  std::vector<Scenario> s(10);
  s[0] = {"plain update", device()};
  s[1] = {"the bootloader names another PCB revision", device()};
  s[1].device.faults.change_from_query = 3;  // the scan's and the sequence's "^V$", then the entry's "&"
  s[1].device.faults.change_revision = 7;
  s[2] = {"a retry finds a newer version", device()};
  s[2].device.faults.nak_packet = 100;
  s[2].device.faults.change_from_query = 4;  // the retry's probe
  s[2].device.faults.change_version = version(1, 20);
  s[3] = {"found in its bootloader, same version", device()};
  s[3].device.start_side = DEV_BOOT;
  s[3].device.identity.version = version(1, 14);
  s[4] = {"slow restart", device()};
  s[4].device.timing.app_start_ms = 3000;
  s[5] = {"D for record 5", device()};
  s[5].device.faults.status[5] = 'D';
  s[6] = {"silent", device()};
  s[6].device.faults.device_silent = true;
  s[7] = {"runs a newer version", device()};
  s[7].device.identity.version = version(1, 20);
  s[8] = {"a retry meets a bootloader of another product", device()};
  s[8].device.faults.nak_packet = 100;
  s[8].device.faults.change_from_query = 5;  // the retry's "&" (its application is silent then)
  s[8].device.faults.change_product = 56;
  s[8].device.faults.change_revision = 4;
  s[9] = {"no image fits it", device()};
  s[9].device.identity.pcb_revision = 5;

  const struct {
    std::string row;          // the summary's outcome
    std::string json;         // the result's "outcome"
    std::string left;         // the result's and the record's "left"; "" no record
    std::string record;       // the record's "outcome"; "" no record
    bool verified;            // JSON and record
    uint32_t starts;          // start commands the device accepted
    bool flashed;             // the device's own flash matches the image
    std::string note;         // on standard error, "" for none expected
  } expected[] = {
      {"verified", "updated", "restarted", "updated", true, 1, true, "COM1: verified"},
      {"not compatible: its bootloader disagrees; in its bootloader", "not_compatible", "in_bootloader",
       "not_compatible", false, 0, false, "COM2: the device's bootloader says it is product 68, PCB revision 7"},
      {"runs a newer version, left alone", "device_newer", "restarted", "device_newer", false, 1, false,
       "COM3: the device now reports version 1.20"},
      {"verified", "updated", "restarted", "updated", true, 1, true, "COM4: verified"},
      {"verified", "updated", "restarted", "updated", true, 1, true, "COM5: attempt 1 of 3: the device did not announce"},
      {"failed at record 5 of 574; restarted", "failed", "restarted", "failed", false, 1, false,
       "COM6: the update stopped after 4 of 574 records"},
      {"no device", "no_device", "", "", false, 0, false, ""},
      {"runs a newer version, left alone", "device_newer", "", "", false, 0, false, ""},
      {"not compatible: its bootloader disagrees; in its bootloader", "not_compatible", "in_bootloader",
       "not_compatible", false, 1, false, "COM9: the device's bootloader says it is product 56"},
      {"no image fits it", "not_compatible", "", "", false, 0, false,
       "COM10: a device answered (product 68, PCB revision 5, model Slate), but no firmware image"},
  };
  static_assert(std::size(expected) == 10);

  ScenarioRun rack(s, {"--yes"});
  EXPECT_EQ(rack.status, 1) << "COM6 failed";
  const auto records = rack.records();
  for (size_t i = 0; i < s.size(); ++i) {
    const std::string port = "COM" + std::to_string(i + 1);
    SCOPED_TRACE(port + ": " + s[i].what);
    const auto& e = expected[i];
    EXPECT_EQ(rack.row(port), e.row) << rack.text.text();
    EXPECT_EQ(rack.logs[i].starts, e.starts);
    EXPECT_EQ(devimage_verify(*standin_image(), rack.logs[i].start_command, rack.logs[i].records, "image").verified,
              e.flashed);
    EXPECT_EQ(rack.logs[i].repeats, 0u);
    if (!e.note.empty()) {
      EXPECT_TRUE(rack.said("korvo: " + e.note)) << rack.diagnostics.text();
    }
    const auto record = records.find(port);
    ASSERT_EQ(record != records.end(), !e.record.empty());
    if (record == records.end()) continue;
    EXPECT_EQ(record->second.outcome, e.record);
    EXPECT_EQ(record->second.left, e.left);
    EXPECT_EQ(record->second.verified, e.verified);
    // A failure code only where the line failed.
    EXPECT_EQ(record->second.failed_code != 0, e.record == "failed");
  }
  // Every line of standard error is whole, each said once.
  const std::string errors = rack.diagnostics.text();
  EXPECT_EQ(errors.back(), '\n');
  EXPECT_EQ(errors.find("this build carries test images"), errors.rfind("this build carries test images"));

  ScenarioRun json(s, {"--yes", "--json"});
  EXPECT_EQ(json.status, 1);
  const auto results = json.results();
  for (size_t i = 0; i < s.size(); ++i) {
    const std::string port = "COM" + std::to_string(i + 1);
    SCOPED_TRACE(port + ": " + s[i].what);
    const auto result = results.find(port);
    ASSERT_NE(result, results.end()) << json.text.text();
    EXPECT_EQ(result->second.at("outcome"), expected[i].json);
    if (!expected[i].left.empty()) {
      EXPECT_EQ(result->second.at("left"), expected[i].left);
    }
    if (result->second.contains("verified")) {
      EXPECT_EQ(result->second.at("verified"), expected[i].verified);
    }
  }
  EXPECT_EQ(json.diagnostics.text().find("this build carries test images"),
            json.diagnostics.text().rfind("this build carries test images"))
      << "said once however many devices";
}

// --check: a device waiting in its bootloader runs no firmware, whatever version it names.
TEST(Outcomes, ADeviceInItsBootloaderNeedsItsImage) {
  std::vector<Scenario> s(1);
  s[0] = {"in its bootloader, same version", device()};
  s[0].device.start_side = DEV_BOOT;
  s[0].device.identity.version = version(1, 14);
  ScenarioRun check(s, {"--check", "--json"});
  EXPECT_EQ(check.status, 100);
  const auto verdict = check.results().at("COM1");
  EXPECT_EQ(verdict.at("verdict"), "update_available");
  EXPECT_EQ(verdict.at("in_bootloader"), true);
  EXPECT_EQ(check.logs[0].starts, 0u) << "a check sends nothing";
}

// A stop is told where it found the device, recorded as a stop and never as a line failure.
TEST(Outcomes, AStopIsToldWhereItFoundTheDevice) {
  const struct {
    StopAt at;
    uint32_t app_start_ms;
    std::string note;
    std::string stage;
    std::string left;
  } cases[] = {
      {StopAt::LEAVE_COMMAND, 3000, "korvo: COM1: interrupted while the device restarted; a new run on COM1 checks it",
       "restarting", "restarted"},
      {StopAt::ENTRY_TEXT, 100,
       "korvo: COM1: interrupted while the device was starting its bootloader; a new run on COM1 finds it and "
       "installs the image",
       "entering", "bootloader_or_application"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.note);
    std::vector<Scenario> s(1);
    s[0] = {"stopped", device(), c.at};
    s[0].device.timing.app_start_ms = c.app_start_ms;
    ScenarioRun run(s, {"--yes"});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.said(c.note + "\n")) << run.diagnostics.text();
    EXPECT_FALSE(run.said("cables and power")) << "a stop is no line fault";
    EXPECT_FALSE(run.said("left in its bootloader")) << run.diagnostics.text();
    EXPECT_EQ(run.diagnostics.text().find("korvo: COM1:"), run.diagnostics.text().rfind("korvo: COM1:"))
        << "one line for the device";
    const auto records = run.records();
    ASSERT_EQ(records.count("COM1"), 1u);
    const UpdateRecord& r = records.at("COM1");
    EXPECT_EQ(r.outcome, "stopped");
    EXPECT_EQ(r.failed_code, 0);
    EXPECT_EQ(r.failed_stage, c.stage);
    EXPECT_EQ(r.left, c.left);
  }
}

// Through a port of fixed speed a waiting bootloader cannot be heard: the port is still
// "no device", but it says what could not be asked, and no other port is told so.
TEST(Outcomes, APortOfFixedSpeedSaysWhatItCouldNotHear) {
  std::vector<Scenario> s(2);
  s[0] = {"in its bootloader behind a raw port", device()};
  s[0].device.start_side = DEV_BOOT;
  s[0].fixed_speed = true;
  s[1] = {"in its bootloader on a serial port", device()};
  s[1].device.start_side = DEV_BOOT;
  ScenarioRun check(s, {"--check"});
  EXPECT_EQ(check.status, 3);
  EXPECT_EQ(check.row("COM1"), "no device") << check.text.text();
  EXPECT_EQ(check.row("COM2").rfind("update available: ", 0), 0u) << check.text.text();
  EXPECT_TRUE(check.said("korvo: COM1: nothing answered at 19200 baud; a device waiting in its bootloader answers "
                         "only at 115200 baud"))
      << check.diagnostics.text();
  EXPECT_FALSE(check.said("korvo: COM2: nothing answered")) << check.diagnostics.text();
  EXPECT_TRUE(check.logs[0].commands.empty() || check.logs[0].commands.back() != "sync")
      << "nothing was sent for a bootloader";
}

// The transfer's report is read once, into the outcome's kind, failure point and place the
// device was left; the row's words and the retry decision follow from those alone.
TEST(Outcomes, ATransferReportIsDecidedOnce) {
  struct Case {
    const char* what;
    TransferReport report;
    TransferResult result;
    Outcome kind;
    FailurePoint failure;
    DeviceLeft left;
    bool retried;
    std::string row;
  };
  const auto report = [](TransferStage stage, std::optional<TransferStage> failed_at, TransactionResult failure,
                         uint32_t sent, bool leave_sent, bool announced) {
    TransferReport r;
    r.stage = stage;
    r.failed_at = failed_at;
    r.failure = failure;
    r.records_sent = sent;
    r.records = 574;
    r.leave_sent = leave_sent;
    r.announced = announced;
    return r;
  };
  using S = TransferStage;
  using T = TransactionResult;
  std::vector<Case> cases = {
      {"a lost record, restarted", report(S::RESTARTING, S::RECORDS, T::NO_STATUS, 8, true, true),
       TransferResult::FAILED, Outcome::FAILED, FailurePoint::RECORDS, DeviceLeft::RESTARTED, true,
       "failed at record 9 of 574; restarted"},
      {"a lost record, silent after", report(S::RESTARTING, S::RECORDS, T::NO_STATUS, 8, true, false),
       TransferResult::FAILED, Outcome::FAILED, FailurePoint::RECORDS, DeviceLeft::IN_BOOTLOADER, true,
       "failed at record 9 of 574; in its bootloader"},
      {"D for a record", report(S::RESTARTING, S::RECORDS, T::MISMATCH, 4, true, true), TransferResult::FAILED,
       Outcome::FAILED, FailurePoint::RECORDS, DeviceLeft::RESTARTED, false, "failed at record 5 of 574; restarted"},
      {"no bootloader", report(S::ENTERING, S::ENTERING, T::OK, 0, false, false), TransferResult::FAILED,
       Outcome::FAILED, FailurePoint::ENTERING, DeviceLeft::BOOTLOADER_OR_APPLICATION, true,
       "failed while entering its bootloader"},
      {"start command lost", report(S::STARTING, S::STARTING, T::NO_STATUS, 0, false, false),
       TransferResult::FAILED, Outcome::FAILED, FailurePoint::STARTING, DeviceLeft::IN_BOOTLOADER, true,
       "failed in its bootloader"},
      {"silent after the restart", report(S::RESTARTING, std::nullopt, T::OK, 574, true, false), TransferResult::OK,
       Outcome::NOT_VERIFIED, FailurePoint::NONE, DeviceLeft::RESTARTED, true, "not verified: silent after the restart"},
  };
  Case speed{"raw TCP", report(S::CHECKING, S::CHECKING, T::OK, 0, false, false), TransferResult::FAILED,
             Outcome::FAILED, FailurePoint::SPEED_FIXED, DeviceLeft::AS_IT_WAS, false,
             "failed: speed fixed (raw TCP), nothing sent"};
  speed.report.speed_fixed = true;
  cases.push_back(speed);
  Case damaged{"a damaged image", report(S::CHECKING, std::nullopt, T::OK, 0, false, false), TransferResult::FAILED,
               Outcome::FAILED, FailurePoint::IMAGE_REFUSED, DeviceLeft::AS_IT_WAS, false,
               "failed: image refused, nothing sent"};
  damaged.report.image_fault = ImageFault::DAMAGED;
  cases.push_back(damaged);
  // A record found unsendable half-way: records went out, so it is no "nothing sent", and a
  // device whose leave command was lost to a stop waits in its bootloader.
  Case unsendable{"an unsendable record", report(S::RESTARTING, std::nullopt, T::OK, 100, true, true),
                  TransferResult::FAILED, Outcome::FAILED, FailurePoint::RECORDS, DeviceLeft::RESTARTED, false,
                  "failed at record 101 of 574; restarted"};
  unsendable.report.image_fault = ImageFault::RECORD_LENGTH;
  cases.push_back(unsendable);
  Case unsendable_silent = unsendable;
  unsendable_silent.what = "an unsendable record, leave command not sent";
  unsendable_silent.report = report(S::RECORDS, std::nullopt, T::OK, 100, false, false);
  unsendable_silent.report.image_fault = ImageFault::RECORD_LENGTH;
  unsendable_silent.left = DeviceLeft::IN_BOOTLOADER;
  unsendable_silent.row = "failed at record 101 of 574; in its bootloader";
  cases.push_back(unsendable_silent);

  DeviceInfo device;
  device.version = version(1, 13);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const DeviceOutcome o = transfer_outcome(c.result, c.report, device, image_table()[0], false);
    EXPECT_EQ(o.kind, c.kind);
    EXPECT_EQ(o.failure, c.failure);
    EXPECT_EQ(o.left, c.left);
    EXPECT_EQ(outcome_worth_retrying(o), c.retried);
    EXPECT_EQ(rack_outcome_text(o), c.row);
    EXPECT_EQ(outcome_failure_code(o), c.kind == Outcome::FAILED ? static_cast<int>(c.report.failure) : 0);
  }
}

}  // namespace
