// The real korvo binary over real pseudo-terminals against the simulated device: whole
// standard output compared byte for byte, exit status, and the wire checked through the model.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "devsim_harness_posix.h"
#include "serial/port_posix.h"
#include "update/report.h"

namespace {

const std::string IMAGE = KORVO_SLOT1_IMAGE;
const std::string BANNER = "\nTorva firmware update utility. Version 1.01\n";
const std::string KEY_WAIT = "\nPress any key to exit...\n";
// Before each offer of the stand-in, on standard error.
const std::string TEST_BUILD = "korvo: this build carries test images, not device firmware\n";
const std::string CANCELLED = "N\n\nUpdate cancelled.\n\n";
const std::string NO_BOOTLOADER = "\nError: No response from the bootloader, check cables and power.\n";
const std::string FLASH_MISMATCH = "\nError: FLASH firmware did not match update firmware.\n";
const std::string CLOSING =
    "\nPlease check the Torva website for the proper firmware for your product,\nor for a more recent "
    "version of this program.\n\n";

std::string found(int com) { return "\nCOM" + std::to_string(com) + ": A matching Torva device found."; }

std::string lines(const std::string& device_version, int device_pad, const std::string& device_model,
                  const std::string& image_version, int image_pad, const std::string& image_name) {
  return "\n Current Version: " + device_version + "," + std::string(static_cast<size_t>(device_pad), ' ') +
         "Model: " + device_model + "\n Update Version:  " + image_version + "," +
         std::string(static_cast<size_t>(image_pad), ' ') + "Model: " + image_name;
}

std::string newer(const std::string& model, const std::string& version_lines) {
  return "\n\nThis update is newer than the firmware inside the " + model + ".\n" + version_lines +
         "\n\nContinue with update to newer version? (Y,N) ";
}
std::string equal(const std::string& model, const std::string& version_lines) {
  return "\nThe firmware in the " + model + " matches this update.\n" + version_lines +
         "\n\nUpdate anyway? (Y,N) ";
}
std::string older(const std::string& model, const std::string& version_lines) {
  return "\n\nThis update is OLDER than the firmware inside the " + model + "!\n" + version_lines +
         "\n\nAre you sure you want to update with an OLDER version of firmware? (Y,N) ";
}

// The progress line from 0% up to the record before `failed_at` (1-based), or to 100%.
std::string progress(uint32_t records, uint32_t failed_at = 0) {
  std::string text = "\n";
  const uint32_t shown = failed_at != 0 ? failed_at : records;
  for (uint32_t k = 0; k < shown; ++k) {
    char line[48];
    std::snprintf(line, sizeof line, "\rUpdating firmware: %3u%% complete.", k * 100 / records);
    text += line;
  }
  if (failed_at == 0) text += "\rUpdating firmware: 100% complete.\n";
  return text;
}

std::string lost(const char* stage, int code) {
  char text[120];
  std::snprintf(text, sizeof text,
                "\nError: %s(%02X) communications with the bootloader, check cables and power.\n", stage, code);
  return text;
}

// The stand-in's own version lines against a device at 1.13 without a name of its own.
const std::string STANDARD_LINES = lines("1.13", 1, "Slate Pro", "1.14", 1, "SlatePro");

struct E2E : ::testing::Test {
  DevsimHarness harness;

  HarnessResult korvo(std::vector<std::string> args, const std::string& input, uint32_t timeout_ms = 60000) {
    if (!started_) {
      EXPECT_TRUE(harness.start()) << harness.error();
      started_ = true;
    }
    HarnessProgram p;
    p.argv = {harness_korvo_path()};
    p.argv.insert(p.argv.end(), args.begin(), args.end());
    p.input = input;
    p.timeout_ms = timeout_ms;
    return harness.run(p);
  }
  HarnessResult run_program(HarnessProgram p) {
    if (!started_) {
      EXPECT_TRUE(harness.start()) << harness.error();
      started_ = true;
    }
    p.argv.insert(p.argv.begin(), harness_korvo_path());
    return harness.run(p);
  }
  int count(int com, const std::string& command) {
    const DevLog log = harness.log(com);
    return static_cast<int>(std::count(log.commands.begin(), log.commands.end(), command));
  }
  void expect_clean_wire(int com) {
    const DevLog log = harness.log(com);
    EXPECT_TRUE(log.violations.empty()) << log.violations.front().what;
    EXPECT_EQ(log.repeats, 0u);
  }

 private:
  bool started_ = false;
};

// A device whose restarted application runs what its flash holds: the image's version once
// the flash matches it.
DevConfig flashing_device() {
  DevConfig device;
  auto image = std::make_shared<DevImage>();
  std::string error;
  EXPECT_EQ(devimage_load(IMAGE, *image, error), 0) << error;
  device.image = image;
  return device;
}

TEST_F(E2E, UpdatesARunningApplication) {
  harness.add_device(3, flashing_device());
  const HarnessResult r = korvo({"3"}, "y");
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.output, BANNER + found(3) + "\n" + newer("Slate Pro", STANDARD_LINES) + "Y\n" + progress(574) +
                          KEY_WAIT);
  EXPECT_TRUE(harness.verify(3, IMAGE).verified) << harness.verify(3, IMAGE).text;
  EXPECT_EQ(r.errors, TEST_BUILD + "korvo: COM3: verified: the device restarted and runs version 1.14, model Slate Pro, the "
                      "version of this update\n");
  const DevLog log = harness.log(3);
  // Scan, fresh probe, entry, then the bootloader's side.
  ASSERT_GE(log.commands.size(), 6u);
  EXPECT_EQ(std::vector<std::string>(log.commands.begin(), log.commands.begin() + 3),
            (std::vector<std::string>{"V", "V", "BOOTL"}));
  EXPECT_EQ(count(3, "!"), 1);
  EXPECT_EQ(count(3, "$"), 574);
  EXPECT_EQ(count(3, "#"), 575);
  EXPECT_EQ(log.commands.back(), "%");
  EXPECT_EQ(log.start_command, (std::vector<uint8_t>{'!', 0x00, 0x00, 0x20, 0x00, 0x00, 0x01, 0xF5, 0xB4, 'S',
                                                     'T', 'A', 'N', 'D', 'I', 'N'}));
  expect_clean_wire(3);
}

TEST_F(E2E, UpdatesADeviceWaitingInItsBootloader) {
  DevConfig device;
  device.start_side = DEV_BOOT;
  device.identity.version = 0x010C0000;
  harness.add_device(5, device);
  const HarnessResult r = korvo({"5"}, "Y");
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.output, BANNER + found(5) + "\n" +
                          newer("Slate Pro", lines("1.12", 1, "Slate Pro", "1.14", 1, "SlatePro")) + "Y\n" +
                          progress(574) + KEY_WAIT);
  EXPECT_TRUE(harness.verify(5, IMAGE).verified);
  EXPECT_FALSE(harness.log(5).bootl) << "no entry text to a running bootloader";
  expect_clean_wire(5);
}

TEST_F(E2E, ADeviceThatDoesNotComeBackIsNotCalledVerified) {
  // Found in its bootloader, updated, and then its application never says a word.
  DevConfig device;
  device.start_side = DEV_BOOT;
  device.faults.app_silent = true;
  harness.add_device(4, device);
  const HarnessResult r = korvo({"4"}, "y");
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.output.find("\rUpdating firmware: 100% complete.\n"), std::string::npos) << r.output;
  EXPECT_EQ(r.errors, TEST_BUILD + "korvo: COM4: not verified: the device did not announce itself after the restart; a new "
                      "run on COM4 checks it\n");
}

TEST_F(E2E, DecliningAfterEachHeadingChangesNothing) {
  const struct {
    uint32_t version;
    std::string prompt;
  } cases[] = {
      {0x010E0000, equal("Slate Pro", lines("1.14", 1, "Slate Pro", "1.14", 1, "SlatePro"))},
      {0x010D0000, newer("Slate Pro", STANDARD_LINES)},
      {0x010F0000, older("Slate Pro", lines("1.15", 1, "Slate Pro", "1.14", 1, "SlatePro"))},
      // Alignment: the wider text gets one space, the other the difference more.
      {0x010E0200, older("Slate Pro", lines("1.14.02(Beta)", 1, "Slate Pro", "1.14", 10, "SlatePro"))},
      {0x0A000000, older("Slate Pro", lines("10.00", 1, "Slate Pro", "1.14", 2, "SlatePro"))},
      {0, newer("Slate Pro", lines("None", 1, "Slate Pro", "1.14", 1, "SlatePro"))},
  };
  int com = 1;
  for (const auto& c : cases) {
    DevConfig device;
    device.identity.version = c.version;
    harness.add_device(com++, device);
  }
  com = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(com);
    const HarnessResult r = korvo({std::to_string(com)}, "xn");
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.output, BANNER + found(com) + "\n" + c.prompt + CANCELLED + KEY_WAIT);
    EXPECT_FALSE(harness.log(com).bootl);
    ++com;
  }
}

TEST_F(E2E, EndOfInputAnswersNo) {
  harness.add_device(2, DevConfig{});
  const HarnessResult r = korvo({"2"}, "");
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.output, BANNER + found(2) + "\n" + newer("Slate Pro", STANDARD_LINES) + CANCELLED + KEY_WAIT);
}

TEST_F(E2E, ScanReportsEveryPortUntilTheMatchingDevice) {
  DevConfig other_revision;
  other_revision.identity.pcb_revision = 5;
  DevConfig named;
  named.identity.name = "Studio 1";
  harness.add_missing(1);
  harness.add_silent(2);
  harness.add_device(3, other_revision);
  harness.add_device(4, named);
  harness.add_device(5, DevConfig{});  // never reached
  const HarnessResult r = korvo({}, "n", 90000);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.output, BANNER + "\nCOM1: Could not open port.\nCOM2: No Torva devices detected.\nCOM3: No Torva "
                               "devices detected." +
                          found(4) + "\n" +
                          newer("Studio 1", lines("1.13", 1, "Studio 1", "1.14", 1, "SlatePro")) + CANCELLED +
                          KEY_WAIT);
  EXPECT_TRUE(harness.log(5).commands.empty());
}

TEST_F(E2E, NoUpdatableDevice) {
  DevConfig other_revision;
  other_revision.identity.pcb_revision = 5;
  harness.add_device(3, other_revision);
  const HarnessResult r = korvo({"3"}, "");
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.output,
            BANNER + "\nCOM3: No Torva devices detected.\n\nNo updatable Torva devices found.\n" + KEY_WAIT);
  EXPECT_EQ(r.errors, "\nkorvo: COM3: a device answered (product 68, PCB revision 5, model Slate), but no "
                      "firmware image in this program fits it\n");
}

TEST_F(E2E, DeviceThatChangedBetweenScanAndUpdate) {
  DevConfig known;  // revision 5 is in the product table, but has no image
  known.faults.change_from_query = 2;
  known.faults.change_revision = 5;
  DevConfig unknown;
  unknown.faults.change_from_query = 2;
  unknown.faults.change_revision = 7;
  harness.add_device(3, known);
  harness.add_device(4, unknown);

  HarnessResult r = korvo({"3"}, "y");
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.output, BANNER + found(3) + "\n" + "\nUnsupported PCB Revision: Rev 5.\n" +
                          "This firmware won't work on this version of the Slate,\ndevice not updated.\n" + CLOSING +
                          KEY_WAIT);
  r = korvo({"4"}, "y");
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.output, BANNER + found(4) + "\n" +
                          "\nThe device on COM4 not compatible with this update.\nProduct name: \"\"\n" + KEY_WAIT);
  EXPECT_FALSE(harness.log(3).bootl);
  EXPECT_FALSE(harness.log(4).bootl);
}

TEST_F(E2E, DeviceUnpluggedBetweenScanAndUpdate) {
  DevConfig device;
  device.faults.pull_at_query = 2;
  harness.add_device(6, device);
  const HarnessResult r = korvo({"6"}, "y");
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.output, BANNER + found(6) + "\n" + "\nNo Torva device found on COM6.\n" + KEY_WAIT);
  EXPECT_FALSE(harness.log(6).bootl);
}

TEST_F(E2E, WhatTheDeviceSaidAfterTheScanIsEchoedWithItsLineBreaks) {
  DevConfig device;
  device.faults.after_report = "^+$ALARM\x01 zone 3\r\n\tok$";
  harness.add_device(3, device);
  const HarnessResult r = korvo({"3"}, "n");
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.output, BANNER + found(3) + "\n" + "^+$ALARM? zone 3\r\n\tok$" + newer("Slate Pro", STANDARD_LINES) +
                          CANCELLED + KEY_WAIT);
}

TEST_F(E2E, DeviceTextCannotStartATerminalControlSequence) {
  // A name that would retitle the terminal, and an echo that would clear it and overwrite its
  // own line: every control byte shows as '?'.
  DevConfig device;
  device.identity.name = "\x1b]0;pwned\x07";
  device.faults.after_report = "^+$\x1b[2J\x9b" "1m\x08\x07\x9d" "0;x\x9c$";
  harness.add_device(3, device);
  const HarnessResult r = korvo({"3"}, "n");
  EXPECT_EQ(r.exit_status, 0);
  const std::string shown = "?]0;pwned?";
  EXPECT_EQ(r.output, BANNER + found(3) + "\n" + "^+$?[2J?1m???0;x?$" +
                          newer(shown, lines("1.13", 1, shown, "1.14", 1, "SlatePro")) + CANCELLED + KEY_WAIT);
}

TEST_F(E2E, KeyTypedDuringTheScanDoesNotAnswer) {
  // The device takes its time to answer, so the key typed once "COM3: " shows is surely in
  // before the scan ends, however loaded the machine.
  DevConfig slow;
  slow.timing.report_delay_ms = 300;
  harness.add_device(3, slow);
  HarnessProgram p;
  p.argv = {"3"};
  p.terminal = true;
  // Keys while the scan runs are thrown away, however many (a held-down "y", an arrow key and
  // a "y"); "n" at the prompt answers.
  for (const std::string typed : {"y", "yyyy", "\x1b[Ay"}) {
    SCOPED_TRACE(typed);
    p.keys = {{"COM3: ", 0, typed}, {"(Y,N) ", 100, "n"}, {"exit...", 100, "q"}};
    const HarnessResult r = run_program(p);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_NE(r.output.find(CANCELLED), std::string::npos) << r.output;
    EXPECT_FALSE(harness.log(3).bootl);
  }
}

struct FailureCase {
  const char* what;
  DevConfig device;
  std::string tail;    // after the "Y\n" answer
  bool leaves;         // "%" reached the device
  std::string left;    // the verdict on standard error, after "\nkorvo: COMn: "
};

TEST_F(E2E, EveryTransferFailureEndsWithItsMessageAndStatusOne) {
  std::vector<FailureCase> cases;
  const auto in_bootloader = [](int com) {
    const std::string at = "COM" + std::to_string(com);
    return "the device was left in its bootloader; a new run on " + at + " installs the image";
  };
  const auto stopped = [](int com, int sent) {
    const std::string at = "COM" + std::to_string(com);
    return "the update stopped after " + std::to_string(sent) + " of 574 records; the device restarted and "
           "reports version 1.13, model Slate Pro; a new run on " + at + " installs the image";
  };
  DevConfig d;
  d.faults.boot_answers_from = 4;
  cases.push_back({"entry without answer", d, NO_BOOTLOADER, false,
                   "the device did not answer from its bootloader; it may wait there or still run its "
                   "application: check cables and power, then a new run on COM1 finds it either way"});
  d = DevConfig{};
  d.faults.status[DEV_TARGET_START] = 'D';
  cases.push_back({"start refused", d, FLASH_MISMATCH, false, in_bootloader(2)});
  // Good packets counted from the entry's "&": "!" is the second, record 2 the sixth.
  d = DevConfig{};
  d.faults.nak_packet = 2;
  cases.push_back({"start not acknowledged", d, lost("Lost1", 1), false, in_bootloader(3)});
  d = DevConfig{};
  d.faults.nak_packet = 6;
  cases.push_back({"record NAKed", d, progress(574, 2) + lost("Lost2", 1), true, stopped(4, 1)});
  d = DevConfig{};
  d.faults.status[3] = 'D';
  cases.push_back({"record answered D", d, progress(574, 3) + FLASH_MISMATCH, true, stopped(5, 2)});
  d = DevConfig{};
  d.faults.status[3] = 0x41;
  cases.push_back({"record answered 0x41", d,
                   progress(574, 3) + "\nError: Return status not successful.\nReturn Code: 0041\n" +
                       lost("Lost2", 5),
                   true, stopped(6, 2)});
  d = DevConfig{};
  d.faults.pull_after_record = 100;
  cases.push_back({"silent after record 100", d, progress(574, 101) + lost("Lost2", 1), false,
                   "the update stopped after 100 of 574 records; the device was left in its bootloader; a new "
                   "run on COM7 installs the image"});
  // A refusal that reads "@" by the time it arrives: NAKed, and no verdict at all.
  d = DevConfig{};
  d.faults.status[300] = 'D';
  d.faults.flips = {{300, 0, 0x04}};
  cases.push_back({"record 300 refused, altered to @", d, progress(574, 300) + lost("Lost2", 6), true,
                   stopped(8, 299)});
  int com = 1;
  for (const FailureCase& c : cases) harness.add_device(com++, c.device);
  com = 1;
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.what);
    const HarnessResult r = korvo({std::to_string(com)}, "y");
    EXPECT_EQ(r.exit_status, 1);
    const std::string head = BANNER + found(com) + "\n" + newer("Slate Pro", STANDARD_LINES) + "Y\n";
    ASSERT_EQ(r.output.substr(0, head.size()), head);
    EXPECT_EQ(r.output.substr(head.size()), c.tail + KEY_WAIT);
    EXPECT_EQ(r.errors, TEST_BUILD + "korvo: COM" + std::to_string(com) + ": " + c.left + "\n");
    EXPECT_FALSE(harness.verify(com, IMAGE).verified);
    EXPECT_EQ(count(com, "%") == 1, c.leaves);
    expect_clean_wire(com);
    ++com;
  }
}

}  // namespace

namespace {

constexpr int RECORDS_OF_IMAGE = 574;

// An update cut short must leave a device that the next run finds and finishes.
struct Interruption {
  const char* how;
  int record;
  int signal;  // 0: the cable is pulled after the record instead
};

TEST_F(E2E, AnInterruptedUpdateIsFinishedByTheNextRun) {
  const Interruption cases[] = {
      {"cable pulled", 1, 0},   {"cable pulled", 287, 0}, {"cable pulled", 574, 0},
      {"SIGINT", 1, SIGINT},    {"SIGTERM", 287, SIGTERM}, {"SIGINT", 574, SIGINT},
  };
  int com = 1;
  for (const Interruption& c : cases) {
    DevConfig device;
    if (c.signal == 0) {
      device.faults.pull_after_record = c.record;
      device.faults.back_after_ms = 2500;
    }
    harness.add_device(com++, device);
  }
  com = 1;
  for (const Interruption& c : cases) {
    SCOPED_TRACE(std::string(c.how) + " after record " + std::to_string(c.record));
    HarnessProgram first;
    first.argv = {std::to_string(com)};
    if (c.signal != 0) {
      first.terminal = true;
      first.keys = {{"(Y,N) ", 0, "y"}};
      first.signal_com = com;
      first.signal_record = c.record;
      first.signal = c.signal;
    } else {
      first.input = "y";
    }
    const HarnessResult cut = run_program(first);
    const std::string at = "COM" + std::to_string(com);
    if (c.signal != 0) {
      EXPECT_EQ(cut.signal, c.signal) << cut.output;
      EXPECT_EQ(cut.errors, TEST_BUILD + "\nkorvo: " + at + ": interrupted during the update; the device was left in its "
                            "bootloader; a new run on " + at + " installs the image\n");
    } else {
      EXPECT_EQ(cut.exit_status, 1);
      // After the last record the update itself went through; only the restart went unseen.
      const std::string verdict = c.record == RECORDS_OF_IMAGE ? "; a new run on " + at + " checks it"
                                                                : "; a new run on " + at + " installs the image";
      EXPECT_NE(cut.errors.find(verdict), std::string::npos) << cut.errors;
    }
    EXPECT_GE(harness.log(com).records.size(), static_cast<size_t>(c.record));

    // The cable is back (or the run gone): the next run finishes the job.
    usleep(c.signal == 0 ? 1000 * 1000 : 0);
    const HarnessResult again = korvo({std::to_string(com)}, "y");
    EXPECT_EQ(again.exit_status, 1) << again.output;
    EXPECT_NE(again.output.find(found(com)), std::string::npos) << again.output;
    EXPECT_NE(again.output.find("\rUpdating firmware: 100% complete.\n"), std::string::npos) << again.output;
    EXPECT_TRUE(harness.verify(com, IMAGE).verified) << harness.verify(com, IMAGE).text;
    expect_clean_wire(com);
    ++com;
  }
}

// The simulator's own flash verdict as the exit status, against what korvo said: a reply
// altered on the way (its checksum byte still the device's) never ends in 100%.
TEST_F(E2E, AlteredRepliesNeverEndInAFalseSuccess) {
  const struct {
    const char* what;
    std::string faults;
    int flash_status;  // 0: the flash holds the image
    bool complete;     // "100% complete" shown
  } cases[] = {
      {"clean line", "", 0, true},
      {"record 200 refused, its status altered to @", "--status 200=D --flip 200:0:0x04", 1, false},
      {"start status altered from @ to D", "--flip start:0:0x04", 1, false},
      // A revision-7 device in its bootloader whose reply reads revision 6: nothing is sent.
      {"revision 7 read as 6", "--side boot --revision 7 --flip info:6:0x01", 1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    HarnessProgram p;
    p.argv = {"/bin/sh", "-c",
              "exec \"$0\" --com 3 --image \"$1\" --exit-status " + c.faults + " -- \"$2\" 3",
              std::string(KORVO_BIN_DIR) + "/korvo-devsim", IMAGE, harness_korvo_path()};
    p.input = "y";
    p.timeout_ms = 60000;
    const HarnessResult r = harness.run(p);
    EXPECT_EQ(r.exit_status, c.flash_status) << r.errors;
    EXPECT_EQ(r.output.find("100% complete") != std::string::npos, c.complete) << r.output;
  }
}

}  // namespace

namespace {

// The command line, seen from outside: the real binary as a process.
TEST_F(E2E, CommandLineAsAProcess) {
  for (int com = 1; com <= 16; ++com) harness.add_missing(com);

  HarnessProgram usage;
  usage.argv = {"1", "2"};
  usage.terminal = true;  // no key is ever typed: a key wait would run into the time limit
  usage.timeout_ms = 10000;
  HarnessResult r = run_program(usage);
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.output, BANNER +
                          "\nUse: KORVO [x]\n\nWhere:\n   x    = Optional, If not 0, then this is a comport number "
                          "between 1 and 99,\n          otherwise searches COM1 - COM16.");

  const struct {
    const char* arg;
    const char* shown;
  } refused[] = {{"100", "100"}, {"-5", "4294967291"}, {"4294967297", "4294967295"}};
  for (const auto& c : refused) {
    HarnessProgram p;
    p.argv = {c.arg};
    p.terminal = true;
    p.keys = {{"exit...", 50, "k"}};
    p.timeout_ms = 10000;
    r = run_program(p);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.output, BANNER + "\nCOM" + c.shown +
                            " is an invalid COM port number.\nChoose a COM port number between 1 and 99\n" +
                            KEY_WAIT);
  }

  std::string scan;
  for (int com = 1; com <= 16; ++com) scan += "\nCOM" + std::to_string(com) + ": Could not open port.";
  r = korvo({"abc"}, "");  // not a number: reads as 0, the whole range
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.output, BANNER + scan + "\n\nNo updatable Torva devices found.\n" + KEY_WAIT);
  EXPECT_EQ(r.errors, "korvo: \"abc\" is neither a port number nor a serial device: searching COM1 to COM16\n");
}

// Asking the program about itself talks to no device; a port named as COMn or by its path is
// the one port used.
TEST_F(E2E, OptionsAndPortNamesAsAProcess) {
  harness.add_device(10, DevConfig{});
  const auto heard_nothing = [&] {
    const DevLog log = harness.log(10);
    EXPECT_TRUE(log.commands.empty()) << log.commands.front();
    EXPECT_EQ(log.garbage, 0u);
  };
  const struct {
    const char* arg;
    int status;
    const char* starts;
  } options[] = {{"--help", 0, "\nTorva firmware update utility. Version 1.01\n\nUse: KORVO [x]\n"},
                 {"--version", 0, "korvo 1.01 (test images)\n"},
                 {"--list", 0, ""},
                 {"--frobnicate", 1, "\nTorva firmware update utility. Version 1.01\n\nUse: KORVO [x]\n"}};
  for (const auto& c : options) {
    SCOPED_TRACE(c.arg);
    HarnessProgram p;
    p.argv = {c.arg};
    p.terminal = true;  // no key is typed: a key wait would run into the time limit
    p.timeout_ms = 10000;
    const HarnessResult r = run_program(p);
    EXPECT_EQ(r.exit_status, c.status);
    EXPECT_EQ(r.output.substr(0, std::strlen(c.starts)), c.starts);
    heard_nothing();
  }
  // The simulated device is a pseudo-terminal mapped to COM10: the list names it so.
  HarnessProgram list;
  list.argv = {"--list"};
  const HarnessResult listed = run_program(list);
  EXPECT_NE(listed.output.find(harness.path(10) + "  COM10"), std::string::npos) << listed.output;

  HarnessResult r = korvo({"COM10"}, "n");
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.output.substr(0, BANNER.size() + 9), BANNER + "\nCOM10: A");
  EXPECT_EQ(count(10, "V"), 2) << "the scan's query and the fresh probe's, nothing else";

  r = korvo({harness.path(10)}, "y");
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.output.substr(0, BANNER.size() + harness.path(10).size() + 4),
            BANNER + "\n" + harness.path(10) + ": A");
  EXPECT_TRUE(harness.verify(10, IMAGE).verified) << harness.verify(10, IMAGE).text;
  expect_clean_wire(10);
}

// The user's own terminal named as the port, by /dev/tty or by its path: refused before a
// probe reaches the screen or the terminal's modes are touched.
TEST_F(E2E, OwnTerminalIsNeverThePort) {
  for (const std::string& port : {std::string("/dev/tty"), HARNESS_TERMINAL_PATH}) {
    SCOPED_TRACE(port);
    HarnessProgram p;
    p.argv = {port};
    p.terminal = true;
    p.keys = {{"exit...", 50, "k"}};
    p.timeout_ms = 10000;
    const HarnessResult r = run_program(p);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.output.substr(0, BANNER.size() + 1), BANNER + "\n");
    EXPECT_NE(r.output.find(": Could not open port.\n\nNo updatable Torva devices found.\n" + KEY_WAIT),
              std::string::npos)
        << r.output;
    EXPECT_EQ(r.terminal_output, "") << "bytes written to the user's terminal";
    EXPECT_TRUE(r.terminal_restored);
  }
}

}  // namespace

namespace {

// Hostile launches: standard streams closed or gone mid-run, and a device that takes the
// host's bytes off the line late. Every byte still reaches the device and nothing else does.
constexpr int RECORDS = 574;
constexpr uint32_t LATE_READ_MS = 30;

// What a late-reading device heard, once it has had the time to take the last bytes in.
DevLog settled_log(const DevsimHarness& harness, int com) {
  usleep(5 * LATE_READ_MS * 1000);
  return harness.log(com);
}

TEST_F(E2E, ClosedStandardInputIsTheEndOfInputNotThePort) {
  DevConfig device;
  device.faults.after_report = "y";  // a device that "types" yes
  harness.add_device(3, device);
  HarnessProgram p;
  p.argv = {"3"};
  p.stdin_closed = true;
  const HarnessResult r = run_program(p);
  EXPECT_EQ(r.exit_status, 0) << r.output;
  EXPECT_NE(r.output.find(CANCELLED + KEY_WAIT), std::string::npos) << r.output;
  EXPECT_FALSE(harness.log(3).bootl);
}

TEST_F(E2E, ClosedStandardOutputSendsNoTextDownTheLine) {
  harness.add_device(3, DevConfig{});
  HarnessProgram p;
  p.argv = {"3"};
  p.input = "y";
  p.stdout_closed = true;
  const HarnessResult r = run_program(p);
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.output, "");
  EXPECT_TRUE(harness.verify(3, IMAGE).verified) << harness.verify(3, IMAGE).text;
  EXPECT_EQ(harness.log(3).stray_bytes, 0u);
  expect_clean_wire(3);
}

TEST_F(E2E, PagerQuitMidTransferLeavesTheUpdateToFinish) {
  harness.add_device(3, DevConfig{});
  HarnessProgram p;
  p.argv = {"3"};
  p.terminal = true;
  p.keys = {{"(Y,N) ", 0, "yq"}};  // the q answers the key wait at the end
  p.signal_com = 3;
  p.output_gone_record = RECORDS / 10;
  char locks[] = "/tmp/korvo-e2e-locks-XXXXXX";
  ASSERT_NE(mkdtemp(locks), nullptr);
  setenv("KORVO_LOCK_DIR", locks, 1);
  const HarnessResult r = run_program(p);
  unsetenv("KORVO_LOCK_DIR");
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_TRUE(r.terminal_restored);
  EXPECT_TRUE(harness.verify(3, IMAGE).verified) << harness.verify(3, IMAGE).text;
  // The port is free again: no exclusive flag, no lock file.
  EXPECT_FALSE(harness.exclusive(3));
  EXPECT_TRUE(std::filesystem::is_empty(locks));
  std::filesystem::remove_all(locks);
  expect_clean_wire(3);
}

// The last byte before the port closes, each time: the acknowledgement of a refusing status
// (it ends the run), of the BootInfo of a device without an image, and the leave command.
TEST_F(E2E, LateReadingPeerGetsTheLastBytesBeforeClose) {
  constexpr int ROUNDS = 5;
  DevConfig refuses;
  refuses.faults.status[DEV_TARGET_START] = 'D';
  DevConfig no_image;
  no_image.start_side = DEV_BOOT;
  no_image.identity.pcb_revision = 5;
  DevConfig leaves;
  leaves.faults.status[1] = 'D';
  for (DevConfig* c : {&refuses, &no_image, &leaves}) c->timing.read_delay_ms = LATE_READ_MS;
  for (int round = 0; round < ROUNDS; ++round) {
    harness.add_device(3 * round + 1, refuses);
    harness.add_device(3 * round + 2, no_image);
    harness.add_device(3 * round + 3, leaves);
  }
  int lost = 0;
  for (int round = 0; round < ROUNDS; ++round) {
    SCOPED_TRACE(round);
    const int com = 3 * round + 1;
    EXPECT_EQ(korvo({std::to_string(com)}, "y").exit_status, 1);
    EXPECT_EQ(korvo({std::to_string(com + 1)}, "").exit_status, 1);
    EXPECT_EQ(korvo({std::to_string(com + 2)}, "y").exit_status, 1);
    // BootInfo and start status; the BootInfo alone; BootInfo, start and record 1 statuses.
    const uint32_t refused_acks = settled_log(harness, com).host_acks;
    const uint32_t info_acks = settled_log(harness, com + 1).host_acks;
    const DevLog left = settled_log(harness, com + 2);
    const auto leaves_sent = std::count(left.commands.begin(), left.commands.end(), "%");
    lost += (refused_acks != 2) + (info_acks != 1) + (leaves_sent != 1);
    EXPECT_EQ(refused_acks, 2u);
    EXPECT_EQ(info_acks, 1u);
    EXPECT_EQ(leaves_sent, 1);
    for (int c = com; c < com + 3; ++c) expect_clean_wire(c);
  }
  std::printf("late-reading peer: %d of %d runs lost their last byte\n", lost, 3 * ROUNDS);
}

TEST_F(E2E, LateReadingPeerGetsTheFourthEntryText) {
  constexpr int ROUNDS = 2;
  // "^V$" twice, the entry text, then three silent attempts: 256 sync zeros, the "&" packet
  // and the entry text again.
  constexpr uint64_t WIRE_BYTES = 3 + 3 + 21 + 3 * (256 + 3 + 21);
  DevConfig deaf;
  deaf.faults.boot_answers_from = 99;
  deaf.timing.read_delay_ms = LATE_READ_MS;
  for (int com = 1; com <= ROUNDS; ++com) harness.add_device(com, deaf);
  for (int com = 1; com <= ROUNDS; ++com) {
    SCOPED_TRACE(com);
    const HarnessResult r = korvo({std::to_string(com)}, "y");
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.output.substr(r.output.size() - NO_BOOTLOADER.size() - KEY_WAIT.size()), NO_BOOTLOADER + KEY_WAIT);
    EXPECT_EQ(settled_log(harness, com).bytes_heard, WIRE_BYTES);
  }
}

}  // namespace

namespace {

// Scripted runs: nobody asked, nothing waits for a key, the exit status tells how it ended.
std::vector<nlohmann::json> json_lines(const std::string& text) {
  std::vector<nlohmann::json> lines;
  size_t at = 0;
  for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    lines.push_back(nlohmann::json::parse(text.substr(at, end - at)));  // throws: the test fails
  }
  EXPECT_EQ(at, text.size()) << "the last line ends in a newline";
  return lines;
}

std::vector<std::string> record_lines(const DevsimHarness& harness) {
  std::ifstream in(harness.record_path());
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A FIFO where the record belongs: the update's verdict and status stand, a "korvo: " warning
// names it, and the program ends instead of waiting for a reader (holding the port and its lock).
// --history on it ends at once too.
TEST_F(E2E, ARecordThatIsAFifoHoldsNothing) {
  DevConfig older = flashing_device();
  older.identity.version = 0x010D0000;
  harness.add_device(1, older);
  const std::string record = harness.record_path();
  ASSERT_EQ(std::system(("mkdir -p '" + record.substr(0, record.rfind('/')) + "'").c_str()), 0);
  ASSERT_EQ(mkfifo(record.c_str(), 0600), 0);

  HarnessResult r = korvo({"--yes", "1"}, "", 30000);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_status, 0) << r.errors;
  EXPECT_TRUE(harness.verify(1, IMAGE).verified);
  EXPECT_NE(r.errors.find("\nkorvo: the update record was not written: " + record + " is not a regular file (a FIFO)"),
            std::string::npos)
      << r.errors;

  r = korvo({"--history"}, "", 10000);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.output, "");
  EXPECT_EQ(r.errors, "korvo: cannot read the update record " + record + ": not a regular file (a FIFO)\n");
}

TEST_F(E2E, CheckReportsEachVerdictAndSendsNothingToTheBootloader) {
  const struct {
    const char* what;
    uint32_t version;
    uint16_t revision;
    int status;
    std::string verdict;  // the line after the scan's, "" for none
  } cases[] = {
      {"older firmware", 0x010D0000, 6, 100, "Slate Pro, installed 1.13, offered 1.14: update available"},
      {"the same", 0x010E0000, 6, 0, "Slate Pro, installed 1.14, offered 1.14: up to date"},
      {"newer firmware", 0x010F0000, 6, 0, "Slate Pro, installed 1.15, offered 1.14: the device runs newer firmware"},
      {"no image for revision 5", 0x010D0000, 5, 4, ""},
  };
  int com = 1;
  for (const auto& c : cases) {
    DevConfig device;
    device.identity.version = c.version;
    device.identity.pcb_revision = c.revision;
    harness.add_device(com++, device);
  }
  harness.add_missing(com);
  com = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string at = "COM" + std::to_string(com);
    const HarnessResult r = korvo({"--check", std::to_string(com)}, "");
    EXPECT_EQ(r.exit_status, c.status) << r.output << r.errors;
    if (!c.verdict.empty()) {
      EXPECT_EQ(r.output, BANNER + found(com) + "\n\n" + at + ": " + c.verdict + "\n");
    } else {
      EXPECT_EQ(r.output, BANNER + "\n" + at + ": No Torva devices detected.\n\nNo updatable Torva devices found.\n");
    }
    const DevLog log = harness.log(com);
    EXPECT_FALSE(log.bootl);
    EXPECT_EQ(count(com, "&"), 0) << "no bootloader byte";
    EXPECT_EQ(count(com, "V"), 1) << "the scan's query and nothing more";
    ++com;
  }
  HarnessResult r = korvo({std::to_string(com), "--check"}, "");  // options after the port too
  EXPECT_EQ(r.exit_status, 3) << r.output;
  EXPECT_TRUE(record_lines(harness).empty()) << "a check records nothing";

  r = korvo({"--check", "--json", "1"}, "");
  EXPECT_EQ(r.exit_status, 100);
  const std::vector<nlohmann::json> lines = json_lines(r.output);
  ASSERT_EQ(lines.size(), 2u) << r.output;
  for (const nlohmann::json& line : lines) {
    EXPECT_EQ(line.at("port"), "COM1");
    EXPECT_TRUE(line.at("time").is_string());
  }
  EXPECT_EQ(lines[1].at("event"), "verdict");
  EXPECT_EQ(lines[1].at("verdict"), "update_available");
  EXPECT_EQ(lines[1].at("installed"), "1.13");
  EXPECT_EQ(lines[1].at("offered"), "1.14");
  EXPECT_EQ(lines[1].at("device").at("model"), "Slate Pro");
}

TEST_F(E2E, YesUpdatesLeavesAloneOrFailsWithItsOwnStatus) {
  DevConfig older = flashing_device();
  older.identity.version = 0x010D0000;
  DevConfig current = flashing_device();
  current.identity.version = 0x010E0000;
  DevConfig refusing = flashing_device();
  refusing.faults.status[3] = 'D';
  DevConfig ahead = flashing_device();
  ahead.identity.version = 0x010F0000;
  harness.add_device(1, older);
  harness.add_device(2, current);
  harness.add_device(3, refusing);
  harness.add_device(4, ahead);

  HarnessResult r = korvo({"--yes", "1"}, "");
  EXPECT_EQ(r.exit_status, 0) << r.output << r.errors;
  EXPECT_EQ(r.output, BANNER + found(1) + "\n" + newer("Slate Pro", STANDARD_LINES) + "Y\n" + progress(574));
  EXPECT_TRUE(harness.verify(1, IMAGE).verified);

  r = korvo({"-y", "2"}, "");
  EXPECT_EQ(r.exit_status, 0) << r.output;
  EXPECT_EQ(r.output, BANNER + found(2) + "\n\n\nCOM2: Slate Pro runs 1.14, this update offers 1.14: left as it is.\n");
  EXPECT_FALSE(harness.log(2).bootl) << "no bootloader byte";

  r = korvo({"--yes", "3"}, "");
  EXPECT_EQ(r.exit_status, 1) << r.output;
  EXPECT_NE(r.output.find(FLASH_MISMATCH), std::string::npos) << r.output;

  r = korvo({"--yes", "4"}, "");
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_FALSE(harness.log(4).bootl) << "a newer device is left alone without --force";
  r = korvo({"--yes", "--force", "4"}, "");
  EXPECT_EQ(r.exit_status, 0) << r.errors;
  EXPECT_NE(r.output.find("OLDER version of firmware? (Y,N) Y\n"), std::string::npos) << r.output;
  EXPECT_TRUE(harness.verify(4, IMAGE).verified);

  // One record line for each run that reached the transfer: COM1, COM3 and the forced COM4.
  const std::vector<std::string> records = record_lines(harness);
  ASSERT_EQ(records.size(), 3u);
  const auto first = nlohmann::json::parse(records[0]);
  EXPECT_EQ(first.at("port"), "COM1");
  EXPECT_EQ(first.at("version_before"), "1.13");
  EXPECT_EQ(first.at("version_after"), "1.14");
  EXPECT_EQ(first.at("outcome"), "updated");
  EXPECT_EQ(first.at("verified"), true);
  EXPECT_EQ(first.at("image").at("records"), 574);
  const auto failed = nlohmann::json::parse(records[1]);
  EXPECT_EQ(failed.at("outcome"), "failed");
  EXPECT_EQ(failed.at("failed_stage"), "records");
  EXPECT_EQ(failed.at("failed_code"), 4);
  EXPECT_EQ(failed.at("verified"), false);

  // The record read back: a table of three rows, or the lines as stored.
  HarnessProgram history;
  history.argv = {"--history"};
  r = run_program(history);
  EXPECT_EQ(r.exit_status, 0) << r.errors;
  EXPECT_NE(r.output.find("1.13 -> 1.14"), std::string::npos) << r.output;
  history.argv = {"--history", "--json"};
  r = run_program(history);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(json_lines(r.output).size(), 3u);
}

// The first attempt loses a record (the device NAKs it), the second is cut by Ctrl-C: korvo
// stops at once with the line that says where the device was left, and tries nothing more.
TEST_F(E2E, YesInterruptedDuringARetryStopsAtOnce) {
  DevConfig device = flashing_device();
  device.faults.nak_packet = 20;  // the ninth record's "$", on the first attempt only
  harness.add_device(5, device);
  HarnessProgram cut;
  cut.argv = {"--yes", "--no-record", "5"};
  cut.signal_com = 5;
  cut.signal_record = 100;
  cut.signal = SIGINT;
  const HarnessResult r = run_program(cut);
  EXPECT_EQ(r.signal, SIGINT) << r.output << r.errors;
  EXPECT_EQ(r.errors, TEST_BUILD +
                          "korvo: COM5: attempt 1 of 3: record 9 of 574 failed (Lost2(01)); probing COM5 again "
                          "for attempt 2\n"
                          "\nkorvo: COM5: interrupted during the update; the device was left in its bootloader; a "
                          "new run on COM5 installs the image\n");
  EXPECT_NE(r.output.find(lost("Lost2", 1) + "\n\rUpdating firmware:   0% complete."), std::string::npos)
      << r.output;
  EXPECT_EQ(count(5, "!"), 2);
  expect_clean_wire(5);
}

TEST_F(E2E, YesJsonIsOneObjectPerEvent) {
  harness.add_device(3, flashing_device());
  const HarnessResult r = korvo({"--json", "--yes", "3"}, "");
  EXPECT_EQ(r.exit_status, 0) << r.errors;
  const std::vector<nlohmann::json> lines = json_lines(r.output);
  ASSERT_GE(lines.size(), 3u) << r.output;
  std::vector<int> percents;
  for (const nlohmann::json& line : lines) {
    EXPECT_EQ(line.at("port"), "COM3");
    EXPECT_EQ(line.at("time").get<std::string>().size(), 20u) << line;
    if (line.at("event") == "progress") percents.push_back(line.at("percent").get<int>());
  }
  EXPECT_EQ(percents, (std::vector<int>{0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100}));
  const nlohmann::json& device = lines[1];
  EXPECT_EQ(device.at("event"), "device");
  EXPECT_EQ(device.at("installed"), "1.13");
  EXPECT_EQ(device.at("image").at("target_name"), "SlatePro");
  const nlohmann::json& result = lines.back();
  EXPECT_EQ(result.at("event"), "result");
  EXPECT_EQ(result.at("outcome"), "updated");
  EXPECT_EQ(result.at("verified"), true);
  EXPECT_EQ(result.at("version_before"), "1.13");
  EXPECT_EQ(result.at("version_after"), "1.14");
  EXPECT_EQ(result.at("records_sent"), 574);
  EXPECT_TRUE(harness.verify(3, IMAGE).verified);
}

}  // namespace

// An adapter's 16 ms latency timer between device and host: the record holds the measured
// round trips, a note after the update names the likely cause, and the time it added matches
// the estimate the warning before the question gives (within 20 %). Without it, no note.
TEST_F(E2E, SlowAdapterRoundTripsAreMeasuredAndNamed) {
  DevConfig slow = flashing_device();
  slow.timing.latency_timer_ms = 16;
  harness.add_device(3, flashing_device());
  harness.add_device(4, slow);
  const HarnessResult fast_run = korvo({"3"}, "y");
  const HarnessResult slow_run = korvo({"4"}, "y");
  EXPECT_TRUE(harness.verify(4, IMAGE).verified) << harness.verify(4, IMAGE).text;
  EXPECT_EQ(fast_run.errors.find("round trip"), std::string::npos);
  EXPECT_EQ(fast_run.errors.find("latency timer"), std::string::npos) << fast_run.errors;
  EXPECT_NE(slow_run.errors.find("korvo: COM4: the device's answers took 16."), std::string::npos) << slow_run.errors;
  EXPECT_NE(slow_run.errors.find("most likely a USB-serial adapter's latency timer held them"), std::string::npos);
  EXPECT_EQ(slow_run.output, BANNER + found(4) + "\n" + newer("Slate Pro", STANDARD_LINES) + "Y\n" + progress(574) +
                                 KEY_WAIT)
      << "standard output does not change";

  const std::vector<std::string> lines = record_lines(harness);
  ASSERT_EQ(lines.size(), 2u);
  const auto fast = nlohmann::json::parse(lines[0]);
  const auto record = nlohmann::json::parse(lines[1]);
  ASSERT_TRUE(fast["round_trip_ms"].is_object()) << lines[0];
  EXPECT_LT(fast["round_trip_ms"]["median"].get<double>(), 5.0);
  ASSERT_TRUE(record["round_trip_ms"].is_object()) << lines[1];
  const double median = record["round_trip_ms"]["median"].get<double>();
  EXPECT_GE(median, 16.0);
  EXPECT_LT(median, 20.0);
  EXPECT_GE(record["round_trip_ms"]["p99"].get<double>(), median);
  const double added = record["duration_ms"].get<double>() - fast["duration_ms"].get<double>();
  const double estimate = korvo::adapter_latency_cost_ms(16, RECORDS_OF_IMAGE);
  EXPECT_NEAR(added, estimate, estimate * 0.2) << "measured " << added << " ms, estimated " << estimate;
}

namespace {

// Lines of a run over several devices that begin with this port.
std::vector<std::string> port_lines(const std::string& output, const std::string& port) {
  std::vector<std::string> found;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(port + ": ", 0) == 0) found.push_back(line.substr(port.size() + 2));
  }
  return found;
}

uint64_t elapsed_ms(std::chrono::steady_clock::time_point since) {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count());
}

}  // namespace

// Four ports at once: two devices update and verify, one refuses a record, one port is silent.
// Each has its own outcome, record line and JSON events; the run's status is the worst.
TEST_F(E2E, RackServesEachDeviceOnItsOwn) {
  DevConfig refusing = flashing_device();
  refusing.faults.status[6] = 'D';
  DevConfig naking = flashing_device();
  naking.faults.nak_packet = 20;  // a record of the first attempt only: COM2 verifies on a retry
  harness.add_device(1, flashing_device());
  harness.add_device(2, naking);
  harness.add_device(3, refusing);
  harness.add_silent(4);

  HarnessResult r = korvo({"--yes", "1", "2", "COM3", "4"}, "");
  EXPECT_EQ(r.exit_status, 1) << r.output << r.errors;
  EXPECT_EQ(port_lines(r.output, "COM1").back(), "verified") << r.output;
  EXPECT_EQ(port_lines(r.output, "COM2").back(), "verified") << r.output;
  EXPECT_EQ(port_lines(r.output, "COM3").back(), "failed at record 6 of 574; restarted") << r.output;
  EXPECT_EQ(port_lines(r.output, "COM4").back(), "no device") << r.output;
  const std::vector<std::string> tenths = {"updating 0%",  "updating 10%", "updating 20%", "updating 30%",
                                           "updating 40%", "updating 50%", "updating 60%", "updating 70%",
                                           "updating 80%", "updating 90%", "updating 100%"};
  std::vector<std::string> told;
  for (const std::string& line : port_lines(r.output, "COM1")) {
    if (line.rfind("updating", 0) == 0) told.push_back(line);
  }
  EXPECT_EQ(told, tenths);
  const std::vector<std::string> second = port_lines(r.output, "COM2");
  EXPECT_NE(std::find(second.begin(), second.end(), "retry 2/3"), second.end()) << r.output;
  EXPECT_NE(r.output.find("COM1  Slate Pro  1.13 -> 1.14"), std::string::npos) << r.output;
  EXPECT_TRUE(harness.verify(1, IMAGE).verified);
  EXPECT_TRUE(harness.verify(2, IMAGE).verified);
  EXPECT_FALSE(harness.verify(3, IMAGE).verified);
  EXPECT_FALSE(harness.log(4).bootl);
  for (int com : {1, 2, 3}) expect_clean_wire(com);

  std::vector<std::string> ports;
  for (const std::string& line : record_lines(harness)) {
    const auto record = nlohmann::json::parse(line);
    ports.push_back(record.at("port"));
    EXPECT_EQ(record.at("verified"), record.at("port") != "COM3") << line;
  }
  std::sort(ports.begin(), ports.end());
  EXPECT_EQ(ports, (std::vector<std::string>{"COM1", "COM2", "COM3"}));

  // The same run as JSON Lines: every event names its port, each port ends with its result;
  // COM2 named again by its path is still one device.
  r = korvo({"--json", "--check", "1", "2", "4", harness.path(2)}, "");
  EXPECT_EQ(r.exit_status, 3) << "a named port without a device" << r.output;
  std::map<std::string, std::string> verdicts;
  for (const nlohmann::json& line : json_lines(r.output)) {
    const std::string event = line.at("event");
    if (event == "verdict") verdicts[line.at("port")] = line.at("verdict");
    if (event == "result") verdicts[line.at("port")] = line.at("outcome");
  }
  EXPECT_EQ(verdicts, (std::map<std::string, std::string>{
                          {"COM1", "up_to_date"}, {"COM2", "up_to_date"}, {"COM4", "no_device"}}));
}

// --all over the whole range: silent ports wait out their probes side by side, so the run
// takes about as long as one silent port, not sixteen of them.
TEST_F(E2E, RackCheckOfAllPortsTakesAboutAsLongAsTheSlowest) {
  for (int com = 1; com <= 16; ++com) {
    if (com == 3 || com == 9) {
      harness.add_device(com, flashing_device());
    } else if (com % 2 == 0) {
      harness.add_silent(com);
    } else {
      harness.add_missing(com);
    }
  }
  auto began = std::chrono::steady_clock::now();
  HarnessResult r = korvo({"--check", "2"}, "");
  const uint64_t silent_ms = elapsed_ms(began);
  EXPECT_EQ(r.exit_status, 3);

  began = std::chrono::steady_clock::now();
  r = korvo({"--check", "--all"}, "");
  const uint64_t all_ms = elapsed_ms(began);
  EXPECT_EQ(r.exit_status, 100) << r.output << r.errors;
  // The slowest port as the summary timed it: --all also opens the computer's own serial
  // ports, which another test's scan may be holding meanwhile.
  uint64_t slowest_ms = silent_ms;
  const std::regex took(R"(  (\d+)\.(\d) s  )");
  for (std::sregex_iterator it(r.output.begin(), r.output.end(), took), end; it != end; ++it) {
    slowest_ms = std::max<uint64_t>(slowest_ms, std::stoul((*it)[1]) * 1000 + std::stoul((*it)[2]) * 100 + 100);
  }
  EXPECT_LT(all_ms, slowest_ms * 3 / 2) << "slowest port " << slowest_ms << " ms, all " << all_ms << " ms\n"
                                        << r.output;
  std::printf("one silent port %llu ms, the slowest port %llu ms, all 16+ ports at once %llu ms\n",
              static_cast<unsigned long long>(silent_ms), static_cast<unsigned long long>(slowest_ms),
              static_cast<unsigned long long>(all_ms));
  EXPECT_EQ(port_lines(r.output, "COM3").back(), "update available: 1.14") << r.output;
  EXPECT_EQ(port_lines(r.output, "COM9").back(), "update available: 1.14") << r.output;
  EXPECT_EQ(port_lines(r.output, "COM8").back(), "no device") << r.output;
  EXPECT_TRUE(port_lines(r.output, "COM5").empty()) << "a port the computer does not have is not shown";
  EXPECT_FALSE(harness.log(3).bootl);

  // Nor reported in JSON: its events are the devices' and the ports that exist.
  r = korvo({"--check", "--all", "--json"}, "");
  EXPECT_EQ(r.exit_status, 100);
  std::set<std::string> ports;
  for (const nlohmann::json& line : json_lines(r.output)) ports.insert(line.at("port"));
  EXPECT_EQ(ports.count("COM5"), 0u) << r.output;
  EXPECT_EQ(ports.count("COM8"), 1u) << r.output;
}

// Ctrl-C on the terminal during four updates: every device stops where it is, the summary
// says where, the terminal and the lock files are as before, and a new run finishes them all.
TEST_F(E2E, RackStoppedByCtrlCLeavesEveryDeviceForTheNextRun) {
  // Each packet's ACK 5 ms late: a device served a little sooner than the one whose record
  // sends the signal is still far from its end when the stop comes, however busy the machine.
  for (int com = 1; com <= 4; ++com) {
    DevConfig device = flashing_device();
    device.timing.ack_delay_ms = 5;
    harness.add_device(com, device);
  }
  HarnessProgram cut;
  cut.argv = {"--yes", "1", "2", "3", "4"};
  cut.terminal = true;
  cut.signal_com = 2;
  cut.signal_record = 200;
  cut.signal = SIGINT;
  HarnessResult r = run_program(cut);
  EXPECT_EQ(r.signal, 0) << "the run ends on its own after the stop";
  EXPECT_EQ(r.exit_status, 1) << r.output;
  EXPECT_TRUE(r.terminal_restored);
  for (int com = 1; com <= 4; ++com) {
    const std::string at = "COM" + std::to_string(com);
    // The summary's row says where the device was left.
    const std::string row = at + "  Slate Pro  1.13 ";
    const size_t summary = r.output.find(row);
    ASSERT_NE(summary, std::string::npos) << r.output;
    EXPECT_NE(r.output.find("stopped in its bootloader\n", summary), std::string::npos) << r.output;
    EXPECT_NE(r.errors.find("korvo: " + at + ": interrupted during the update"), std::string::npos) << r.errors;
    EXPECT_FALSE(std::filesystem::exists(korvo::port_lock_path(harness.path(com)))) << at;
    EXPECT_FALSE(harness.exclusive(com)) << at;
    EXPECT_LT(harness.log(com).records.size(), 574u) << at;
  }
  EXPECT_NE(r.errors.find("korvo: stopping every device"), std::string::npos) << r.errors;

  r = korvo({"--yes", "--no-record", "1", "2", "3", "4"}, "");
  EXPECT_EQ(r.exit_status, 0) << r.output << r.errors;
  for (int com = 1; com <= 4; ++com) {
    EXPECT_TRUE(harness.verify(com, IMAGE).verified) << com;
    expect_clean_wire(com);
  }
}
