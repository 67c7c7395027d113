// Bootloader entry, information query, probe and transfer: the host's code against the
// simulated device on the in-memory line.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench.h"
#include "common/bytes.h"
#include "devimage.h"
#include "devsim_line.h"
#include "discovery/probe.h"
#include "protocol/boot.h"
#include "protocol/packet.h"
#include "update/json_reporter.h"
#include "update/outcome.h"
#include "update/transfer.h"

#include <nlohmann/json.hpp>

using namespace korvo;

namespace {

using Bytes = std::vector<uint8_t>;

const std::string NO_BOOTLOADER = "\nError: No response from the bootloader, check cables and power.\n";

struct DeviceBench : Bench {
  DevsimLine device;
  explicit DeviceBench(const DevConfig& config) {
    EXPECT_TRUE(device.attach(line, config, clock.now));
  }
  const DevLog& log() const { return device.model.log; }
  // The probe and the transfer as the driver runs them, on the run's own parts.
  int probe() {
    const Probe found = device_probe(run.link, run.boot.info, run.device);
    run.device = found.device;
    run.probe_state = found.state;
    return code(found.result);
  }
  TransferReport report;
  int transfer() {
    return code(transfer_firmware(run.link, run.boot, run.probe_state, run.device, *run.selected_image,
                                  console_texts, &report));
  }
  // "%" packets the host wrote: 03, 25, 25 in three writes.
  int leave_packets() const {
    const auto& w = line.writes();
    int n = 0;
    for (size_t i = 0; i + 2 < w.size(); ++i) {
      n += w[i].bytes == Bytes{0x03} && w[i + 1].bytes == Bytes{'%'} && w[i + 2].bytes == Bytes{'%'} ? 1 : 0;
    }
    return n;
  }
  // Record packets the host wrote (their payload goes in one write of its own).
  uint32_t record_writes() const {
    return static_cast<uint32_t>(std::count_if(line.writes().begin(), line.writes().end(), [](const LineWrite& w) {
      return w.bytes.size() > 3 && w.bytes[0] == '$';
    }));
  }
  void on_bootloader_speed() {
    EXPECT_EQ(port_set_baud(run.link.port, 115200), 1);
    run.link.current_baud = 115200;
  }
  int count(const std::string& command) const {
    return static_cast<int>(std::count(log().commands.begin(), log().commands.end(), command));
  }
  // How many times the host wrote the whole entry text.
  int entry_texts() const {
    int n = 0;
    for (const LineWrite& w : line.writes()) n += w.bytes == entry_text() ? 1 : 0;
    return n;
  }
  static Bytes entry_text() {
    const std::string t = "^BOOTL$^BOOTL$^BOOTL$";
    return Bytes(t.begin(), t.end());
  }
};

DevConfig app_device() { return DevConfig{}; }

DevConfig boot_device() {
  DevConfig c;
  c.start_side = DEV_BOOT;
  return c;
}

TEST(BootEntry, BootloaderAnsweringOnTheThirdAttemptIsNoError) {
  DevConfig c = app_device();
  c.faults.boot_answers_from = 3;
  DeviceBench b(c);
  ASSERT_TRUE(boot_enter(b.run.link, b.run.boot.info));
  EXPECT_EQ(b.output(), "");
  EXPECT_EQ(b.run.link.current_baud, 115200u);
  EXPECT_EQ(b.line.baud(), 115200u);
  EXPECT_EQ(b.count("&"), 3);
  EXPECT_EQ(b.entry_texts(), 3) << "sent first, then again after each failed attempt";
  EXPECT_EQ(b.line.writes().front().baud, 19200u) << "the first entry text goes at the application's speed";
  EXPECT_TRUE(b.log().violations.empty());
}

TEST(BootEntry, SilenceEndsAtTheApplicationSpeed) {
  DevConfig c = app_device();
  c.faults.device_silent = true;
  DeviceBench b(c);
  EXPECT_FALSE(boot_enter(b.run.link, b.run.boot.info));
  EXPECT_EQ(b.output(), "") << "the step above says what failed";
  EXPECT_EQ(b.run.link.current_baud, 19200u);
  EXPECT_EQ(b.line.baud(), 19200u);
  EXPECT_EQ(b.entry_texts(), 4);
  // The 1000 ms pause comes before the first synchronisation.
  const auto first_zero = std::find_if(b.line.writes().begin(), b.line.writes().end(),
                                       [](const LineWrite& w) { return w.bytes == Bytes{0}; });
  ASSERT_NE(first_zero, b.line.writes().end());
  EXPECT_GE(first_zero->at_ms - b.line.writes().front().at_ms, 1000u);
}

Bytes legacy_reply(Version version, const std::string& name33) {
  Bytes payload(45, 0);
  for (int i = 0; i < 4; ++i) payload[8 + static_cast<size_t>(i)] = static_cast<uint8_t>(version >> (8 * i));
  std::copy(name33.begin(), name33.end(), payload.begin() + 12);
  return payload;
}

TEST(BootInfoQuery, LegacyReplyIsNormalisedOnce) {
  Bench b;
  const std::string name(33, 'L');  // fills the field, no NUL
  b.reply(Bytes{PACKET_ACK});
  b.reply(framed(legacy_reply(0x01020304, name)));
  BootInfo& info = b.run.boot.info;
  info.fill(0x77);
  ASSERT_EQ(code(boot_query_info(b.run.link, info)), 0);
  EXPECT_EQ(info[0] | info[1] << 8, 0x0800);
  EXPECT_EQ(info[2] | info[3] << 8, 56);
  EXPECT_EQ(info[6] | info[7] << 8, 1);
  EXPECT_TRUE(std::all_of(&info[8], &info[28], [](uint8_t v) { return v == 0; }));
  EXPECT_EQ((Bytes{info[28], info[29], info[30], info[31]}), (Bytes{0x04, 0x03, 0x02, 0x01}));
  EXPECT_TRUE(std::all_of(&info[32], &info[65], [](uint8_t v) { return v == 'L'; }));

  // A later reply too short to reach the format word is not moved a second time.
  b.reply(Bytes{PACKET_ACK});
  b.reply(framed({}));
  ASSERT_EQ(code(boot_query_info(b.run.link, info)), 0);
  EXPECT_EQ(info[0] | info[1] << 8, 0x0800);
  EXPECT_EQ(info[2] | info[3] << 8, 0) << "cleared by the query, not set by a normalisation";
  EXPECT_EQ(info[33], 'L');
  EXPECT_EQ(info[28], 0);
}

TEST(BootInfoQuery, FailuresAreOneAndTwo) {
  Bench unacknowledged;
  EXPECT_EQ(code(boot_query_info(unacknowledged.run.link, unacknowledged.run.boot.info)), 1);
  Bench no_reply;
  no_reply.reply(Bytes{PACKET_ACK});
  EXPECT_EQ(code(boot_query_info(no_reply.run.link, no_reply.run.boot.info)), 2);
  Bench oversized;  // 70 bytes for a 65-byte record
  oversized.reply(Bytes{PACKET_ACK});
  oversized.reply(framed(Bytes(70, 0x11)));
  EXPECT_EQ(code(boot_query_info(oversized.run.link, oversized.run.boot.info)), 2);
  EXPECT_EQ(oversized.line.written().back(), PACKET_NAK);
}

struct ProbeCase {
  const char* what;
  DevConfig config;
  uint32_t start_baud;
  int result;
  ProbeState state;
  uint32_t baud;
  uint16_t product, revision;
  const char* model;
};

std::vector<ProbeCase> probe_cases() {
  std::vector<ProbeCase> cases;
  DevConfig app = app_device();
  cases.push_back({"application", app, 19200, 0, ProbeState::APPLICATION, 19200, 68, 6, "Slate Pro"});
  cases.push_back({"application, probe started at 115200", app, 115200, 0, ProbeState::APPLICATION, 19200, 68, 6,
                   "Slate Pro"});
  DevConfig named = app;
  named.identity.name = "Hall B";
  cases.push_back({"application with a name", named, 19200, 0, ProbeState::APPLICATION, 19200, 68, 6, "Hall B"});
  DevConfig boot = boot_device();
  boot.identity.product = 56;
  boot.identity.pcb_revision = 3;
  cases.push_back({"bootloader", boot, 19200, 0, ProbeState::BOOTLOADER, 115200, 56, 3, "Basalt Pro"});
  DevConfig boot_named = boot;
  boot_named.identity.name = std::string(32, 'N');
  cases.push_back({"bootloader with a 32-character name", boot_named, 19200, 0, ProbeState::BOOTLOADER, 115200, 56, 3,
                   "NNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNN"});
  DevConfig unknown = boot;
  unknown.identity.product = 99;
  cases.push_back({"bootloader of an unknown product", unknown, 19200, 0, ProbeState::BOOTLOADER, 115200, 99, 3, nullptr});
  DevConfig legacy = boot;
  legacy.legacy_info = true;
  cases.push_back({"legacy bootloader", legacy, 19200, 0, ProbeState::BOOTLOADER, 115200, 56, 1, "Basalt"});
  DevConfig silent = app;
  silent.faults.device_silent = true;
  cases.push_back({"nothing", silent, 19200, 6, ProbeState::NONE, 19200, 0, 0, nullptr});
  // A revision-7 bootloader whose reply reads revision 6 by the time it arrives: NAKed, and
  // no identity at all rather than the wrong one.
  DevConfig altered = boot_device();
  altered.identity.pcb_revision = 7;
  altered.faults.flips = {{DEV_TARGET_INFO, BOOT_INFO_REVISION, 0x01}};
  cases.push_back({"bootloader reply altered on the way", altered, 19200, 6, ProbeState::NONE, 19200, 0, 0, nullptr});
  return cases;
}

TEST(Probe, TellsApplicationFromBootloaderFromSilence) {
  for (const ProbeCase& c : probe_cases()) {
    SCOPED_TRACE(c.what);
    DeviceBench b(c.config);
    if (c.start_baud != 19200) {
      ASSERT_EQ(port_set_baud(b.run.link.port, c.start_baud), 1);
    }
    b.run.link.current_baud = c.start_baud;
    b.run.device.model = "stale";
    ASSERT_EQ(b.probe(), c.result);
    EXPECT_EQ(b.run.probe_state, c.state);
    EXPECT_EQ(b.run.link.current_baud, c.baud);
    EXPECT_EQ(b.line.baud(), c.baud);
    if (c.result != 0) {
      EXPECT_EQ(b.run.device.pcb_revision, 0u);
      EXPECT_EQ(read_le16(b.run.boot.info, BOOT_INFO_REVISION), 0u) << "nothing of a failed reply is kept";
      continue;
    }
    EXPECT_EQ(b.run.device.product, c.product);
    EXPECT_EQ(b.run.device.pcb_revision, c.revision);
    if (c.model == nullptr) {
      EXPECT_EQ(b.run.device.model, nullptr);
    } else {
      ASSERT_NE(b.run.device.model, nullptr);
      EXPECT_STREQ(b.run.device.model, c.model);
    }
    EXPECT_TRUE(b.log().violations.empty());
    EXPECT_EQ(b.line.writes().front().bytes, (Bytes{'^', 'V', '$'})) << "the application is always asked first";
  }
}

TEST(Probe, LegacyNameOfThirtyThreeBytesStaysInsideItsField) {
  DevConfig c = boot_device();
  c.legacy_info = true;
  c.identity.name = std::string(33, 'Z');
  DeviceBench b(c);
  ASSERT_EQ(b.probe(), 0);
  EXPECT_EQ(std::string(device_name(b.run.device)), std::string(33, 'Z'));
  EXPECT_EQ(b.run.device.version, c.identity.version);
}

TEST(Probe, FailedSpeedChangesCloseThePort) {
  const struct {
    uint32_t start_baud;
    int changes_allowed;
    int result;
  } cases[] = {{115200, 0, 3}, {19200, 0, 4}, {19200, 1, 5}};
  for (const auto& c : cases) {
    DevConfig silent = app_device();
    silent.faults.device_silent = true;
    DeviceBench b(silent);
    b.run.link.current_baud = c.start_baud;
    b.line.baud_changes_left = c.changes_allowed;
    EXPECT_EQ(b.probe(), c.result);
    EXPECT_EQ(b.run.link.current_baud, 0u);
    EXPECT_FALSE(b.run.link.port.backend->has_handle());
    EXPECT_FALSE(b.line.has_handle());
    EXPECT_EQ(b.probe(), 1) << "a closed port is not probed";
  }
}

// ---- transfer ----

struct TransferBench : DeviceBench {
  std::vector<uint8_t> image_bytes;
  Image image;
  DevImage dev_image;
  explicit TransferBench(DevConfig config, const Image& source = image_table()[0])
      : DeviceBench(with_image(config, source)),
        image_bytes(source.data, source.data + source.size),
        image{image_bytes.data(), image_bytes.size()} {
    run.selected_image = &image;
    // As the probe leaves it: a bootloader was found at 115200.
    run.probe_state = config.start_side == DEV_BOOT ? ProbeState::BOOTLOADER : ProbeState::APPLICATION;
    if (run.probe_state == ProbeState::BOOTLOADER) on_bootloader_speed();
    std::string error;
    EXPECT_EQ(devimage_parse(image_bytes, dev_image, error), 0) << error;
  }
  static DevConfig with_image(DevConfig config, const Image& source) {
    auto parsed = std::make_shared<DevImage>();
    std::string error;
    EXPECT_EQ(devimage_parse(Bytes(source.data, source.data + source.size), *parsed, error), 0) << error;
    config.image = parsed;
    return config;
  }
  bool flash_verified() const {
    return devimage_verify(dev_image, log().start_command, log().records, "image").verified;
  }
};

std::string progress(uint32_t percent) {
  char line[48];
  std::snprintf(line, sizeof line, "\rUpdating firmware: %3u%% complete.", percent);
  return line;
}

TEST(Transfer, InstallsTheStandInFromARunningApplication) {
  TransferBench b(app_device());
  std::vector<TransferStage> stages;
  b.report.on_stage = [&stages](TransferStage stage) { stages.push_back(stage); };
  ASSERT_EQ(b.transfer(), 0);
  EXPECT_EQ(stages, (std::vector<TransferStage>{TransferStage::ENTERING, TransferStage::STARTING,
                                                TransferStage::RECORDS, TransferStage::RESTARTING}));
  EXPECT_EQ(b.report.records_sent, 574u);
  EXPECT_TRUE(b.report.announced);
  // Three answers timed a transaction (the command's ACK, the request's ACK, the status reply)
  // for the start command and each record, and the information query's two on entry.
  EXPECT_EQ(b.report.round_trips.count, 3u * 575 + 2);
  EXPECT_EQ(b.run.link.round_trips, nullptr) << "timing ends with the transfer";
  std::string expected = "\n";
  for (uint32_t k = 0; k < 574; ++k) expected += progress(k * 100 / 574);
  expected += "\rUpdating firmware: 100% complete.\n";
  EXPECT_EQ(b.output(), expected);
  EXPECT_TRUE(b.flash_verified());
  EXPECT_EQ(b.log().records.size(), 574u);
  EXPECT_EQ(b.log().repeats, 0u);
  EXPECT_EQ(b.log().start_command,
            (Bytes{'!', 0x00, 0x00, 0x20, 0x00, 0x00, 0x01, 0xF5, 0xB4, 'S', 'T', 'A', 'N', 'D', 'I', 'N'}));
  EXPECT_EQ(b.log().records.front().size(), 237u);
  EXPECT_EQ(b.log().records.back().size(), 97u);
  EXPECT_EQ(b.log().commands.back(), "%");
  EXPECT_EQ(b.run.probe_state, ProbeState::BOOTLOADER);
  EXPECT_EQ(b.run.link.current_baud, 19200u);
  EXPECT_EQ(b.line.baud(), 19200u);
  EXPECT_EQ(b.run.device.version, 0x010E0000u) << "the restarted application reported the new version";
  EXPECT_TRUE(b.log().violations.empty());
  // A full-size record goes out with the length byte 239.
  const auto record = std::find_if(b.line.writes().begin(), b.line.writes().end(),
                                    [](const LineWrite& w) { return w.bytes.size() == 237; });
  ASSERT_NE(record, b.line.writes().end());
  EXPECT_EQ((record - 2)->bytes, Bytes{0xEF});
}

TEST(Transfer, StartsAtOnceOnARunningBootloader) {
  TransferBench b(boot_device());
  ASSERT_EQ(b.transfer(), 0);
  EXPECT_FALSE(b.log().bootl);
  EXPECT_EQ(b.line.writes().front().bytes, Bytes{0x12}) << "the start command's length byte comes first";
  EXPECT_TRUE(b.flash_verified());
}

struct FailureCase {
  const char* what;
  DevConfig config;
  std::string message;
  bool leaves;         // "%" sent
  size_t records;      // records accepted
};

// The step whose transaction failed.
TransferStage failed_in(const FailureCase& c) {
  return c.leaves ? TransferStage::RECORDS : TransferStage::STARTING;
}

std::vector<FailureCase> failure_cases() {
  std::vector<FailureCase> cases;
  const std::string flash = "\nError: FLASH firmware did not match update firmware.\n";
  auto lost = [](const char* stage, int r) {
    char text[120];
    std::snprintf(text, sizeof text,
                  "\nError: %s(%02X) communications with the bootloader, check cables and power.\n", stage, r);
    return std::string(text);
  };
  DevConfig c = boot_device();
  c.faults.status[DEV_TARGET_START] = 'D';
  cases.push_back({"start refused with D", c, flash, false, 0});
  c = boot_device();
  c.faults.nak_packet = 1;
  cases.push_back({"start NAKed", c, lost("Lost1", 1), false, 0});
  c = boot_device();
  c.faults.status[1] = 'D';
  cases.push_back({"first record answered D", c, flash, true, 0});
  c = boot_device();
  c.faults.status[300] = 0x41;
  cases.push_back({"record answered 0x41", c,
                   "\nError: Return status not successful.\nReturn Code: 0041\n" + lost("Lost2", 5), true, 299});
  c = boot_device();
  c.faults.nak_packet = 5;  // start, "#", record 1, "#", record 2
  cases.push_back({"second record NAKed", c, lost("Lost2", 1), true, 1});
  c = boot_device();
  c.faults.pull_after_record = 574;
  cases.push_back({"silent after the last record's status", c, "", true, 574});
  c = boot_device();
  c.faults.pull_after_record = 10;
  cases.push_back({"silent after record 10", c, lost("Lost2", 1), true, 10});
  // Status packets NAKed for their checksum are no verdict, even when the byte reads "@".
  c = boot_device();
  c.faults.flips = {{DEV_TARGET_START, 0, 0x04}};  // "@" arrives as "D"
  cases.push_back({"start status altered on the way", c, lost("Lost1", 6), false, 0});
  c = boot_device();
  c.faults.status[4] = 'D';
  c.faults.flips = {{4, 0, 0x04}};  // "D" arrives as "@"
  cases.push_back({"record 4 refused, its status altered to @", c, lost("Lost2", 6), true, 3});
  c = boot_device();
  c.faults.empty_status.push_back(2);
  cases.push_back({"empty status for record 2", c,
                   "\nError: Return status not successful.\nReturn Code: 0023\n" + lost("Lost2", 5), true, 2});
  return cases;
}

TEST(Transfer, EveryFailureHasItsMessageAndLeavesTheLineAtTheApplicationSpeed) {
  for (const FailureCase& c : failure_cases()) {
    SCOPED_TRACE(c.what);
    TransferBench b(c.config);
    const int result = b.transfer();
    const std::string out = b.output();
    if (c.message.empty()) {  // the update itself went through
      EXPECT_EQ(result, 0);
      continue;
    }
    EXPECT_EQ(result, -1);
    const size_t at = out.rfind("\nError: ");
    ASSERT_NE(at, std::string::npos) << out;
    EXPECT_EQ(out.substr(out.size() - c.message.size()), c.message);
    EXPECT_EQ(b.run.probe_state, ProbeState::NONE);
    EXPECT_EQ(b.run.link.current_baud, 19200u);
    EXPECT_EQ(b.line.baud(), 19200u);
    // Counted on the host's side: a pulled cable never delivers it.
    EXPECT_EQ(b.leave_packets(), c.leaves ? 1 : 0);
    EXPECT_EQ(b.log().records.size(), c.records);
    EXPECT_EQ(b.log().repeats, 0u);
    EXPECT_EQ(b.report.failed_at, failed_in(c));
    // Once the leave command went out, the device is restarting, whatever failed before.
    EXPECT_EQ(b.report.stage == TransferStage::RESTARTING, c.leaves);
    EXPECT_EQ(b.report.leave_sent, c.leaves);
    // Counted by the host: the records before the one that failed.
    EXPECT_EQ(b.report.records_sent + (c.leaves ? 1u : 0u), b.record_writes());
    EXPECT_EQ(out.find("100% complete"), std::string::npos);
  }
}

TEST(Transfer, EntryWithoutAnswerStopsBeforeTheStartCommand) {
  DevConfig c = app_device();
  c.faults.boot_answers_from = 4;
  TransferBench b(c);
  EXPECT_EQ(b.transfer(), -1);
  EXPECT_EQ(b.output(), NO_BOOTLOADER);
  EXPECT_EQ(b.count("!"), 0);
}

TEST(Transfer, ALineOfFixedSpeedIsRefusedBeforeTheEntryCommand) {
  // The bootloader speaks at 115200: a line that cannot follow would strand the device in it.
  TransferBench b(app_device());
  b.line.fixed_speed = true;
  const size_t writes_before = b.line.writes().size();
  EXPECT_EQ(b.transfer(), -1);
  EXPECT_TRUE(b.report.speed_fixed);
  EXPECT_EQ(b.line.writes().size(), writes_before) << "not one byte of the entry went out";
  EXPECT_EQ(b.line.baud(), 19200u);
  EXPECT_EQ(b.run.probe_state, ProbeState::APPLICATION) << "the device still runs its application";
  const DeviceOutcome o = transfer_outcome(TransferResult::FAILED, b.report, b.run.device, b.image, false);
  EXPECT_EQ(o.kind, Outcome::FAILED);
  EXPECT_EQ(o.left, DeviceLeft::AS_IT_WAS);
}

TEST(Transfer, DamagedImagesAreRefusedBeforeAnythingIsSent) {
  // A start command would ready (maybe erase) the flash for an installation that never comes.
  const Image& standin = image_table()[0];
  Bytes flipped(standin.data, standin.data + standin.size);
  flipped[84 + 236 * 100 + 50] ^= 0x10;  // one bit inside record 101: the CRC finds it
  Bytes bad_record(84 + 10 + 2 + 4, 0);  // one good record of 10 bytes, one claiming 2
  bad_record[IMG_IMAGE_SIZE] = static_cast<uint8_t>(bad_record.size());
  bad_record[IMG_RECORD_COUNT] = 2;
  bad_record[84] = 10;
  bad_record[94] = 2;
  Bytes no_records(84 + 4, 0);
  no_records[IMG_IMAGE_SIZE] = 88;
  const std::string damaged = "\nError: The firmware image is damaged.\n";
  const struct {
    const char* what;
    const Bytes& bytes;
    std::string message;
  } cases[] = {{"a flipped bit", flipped, damaged},
               {"a record too short", bad_record, damaged},
               {"no records", no_records, "\nError: The firmware image has no records.\n"}};
  for (const auto& c : cases) {
    for (const DevConfig& config : {app_device(), boot_device()}) {
      SCOPED_TRACE(std::string(c.what) + (config.start_side == DEV_BOOT ? ", bootloader" : ", application"));
      Bytes img = c.bytes;
      img[IMG_PRODUCT] = 68;
      img[IMG_PCB_REVISION] = 6;
      DeviceBench b(config);
      const Image image{img.data(), img.size()};
      b.run.selected_image = &image;
      b.run.probe_state = config.start_side == DEV_BOOT ? ProbeState::BOOTLOADER : ProbeState::APPLICATION;
      if (config.start_side == DEV_BOOT) b.on_bootloader_speed();
      EXPECT_EQ(b.transfer(), -1);
      EXPECT_EQ(b.output(), c.message);
      EXPECT_TRUE(b.line.writes().empty());
      EXPECT_EQ(b.report.stage, TransferStage::CHECKING);
      EXPECT_EQ(b.run.probe_state, ProbeState::NONE);
      EXPECT_EQ(b.line.baud(), 19200u);
    }
    // As JSON Lines the refusal is the result's reason: standard output stays JSON.
    DeviceBench j(boot_device());
    Diagnostics sink(j.run.out, false);
    JsonReporter json_lines(j.run.out, sink);
    const Image image{c.bytes.data(), c.bytes.size()};
    ProbeState state = ProbeState::BOOTLOADER;
    TransferReport report;
    const TransferResult result =
        transfer_firmware(j.run.link, j.run.boot, state, j.run.device, image, json_lines, &report);
    json_lines.finished("COM1", transfer_outcome(result, report, j.run.device, image, false));
    const std::string out = j.output();
    ASSERT_FALSE(out.empty());
    const auto line = nlohmann::json::parse(out.substr(0, out.find('\n')));  // throws: the test fails
    EXPECT_EQ(out.find('\n'), out.size() - 1) << "one line: " << out;
    EXPECT_EQ(line.at("event"), "result");
    EXPECT_EQ(line.at("stage"), "checking");
    EXPECT_NE(line.at("reason").get<std::string>().find("firmware"), std::string::npos);
  }
}

}  // namespace
