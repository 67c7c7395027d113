#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>

#include "bench.h"
#include "devimage.h"
#include "devsim_line.h"
#include "driver/driver.h"
#include "driver/rack.h"
#include "driver/update_record.h"

using namespace korvo;

namespace {

const std::string BANNER = "\nTorva firmware update utility. Version 1.01\n";
const std::string KEY_WAIT = "\nPress any key to exit...\n";

struct DriverRun {
  Bench bench{false};
  ImageTable table{};
  int status = -1;

  explicit DriverRun(std::vector<const char*> args, std::initializer_list<int> keys = {'x'},
                     bool ports_exist = true) {
    bench.console.keys = keys;
    bench.line.exists = ports_exist;
    bench.run.images = &table;
    args.insert(args.begin(), "korvo");
    status = code(korvo_run(bench.run, static_cast<int>(args.size()), args.data()));
  }
};

TEST(CommandLine, TwoArgumentsGiveTheUsageWithoutAKeyWait) {
  DriverRun r({"1", "2"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.bench.output(),
            BANNER +
                "\nUse: KORVO [x]\n\nWhere:\n   x    = Optional, If not 0, then this is a comport number "
                "between 1 and 99,\n          otherwise searches COM1 - COM16.");
  EXPECT_EQ(r.bench.diagnostics.text(),
            "korvo: \"2\": one port at most without --check or --yes (korvo --help lists the options)\n");
  EXPECT_EQ(r.bench.console.reads, 0);
  EXPECT_EQ(r.bench.line.platform_calls, 0);
}

TEST(CommandLine, PortNumbersOutsideTheRangeAreRefusedAfterTheKeyWait) {
  const struct {
    const char* arg;
    const char* shown;
  } cases[] = {{"100", "100"}, {"-5", "4294967291"}, {"4294967297", "4294967295"}, {"-1", "4294967295"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arg);
    DriverRun r({c.arg});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.bench.output(), BANNER + "\nCOM" + c.shown +
                                    " is an invalid COM port number.\nChoose a COM port number between 1 "
                                    "and 99\n" + KEY_WAIT);
    EXPECT_EQ(r.bench.console.reads, 1);
    EXPECT_EQ(r.bench.line.opens, 0);
  }
}

std::string scan_lines(uint32_t first, uint32_t last, const char* verdict) {
  std::string text;
  for (uint32_t n = first; n <= last; ++n) text += "\nCOM" + std::to_string(n) + ": " + verdict;
  return text;
}

TEST(CommandLine, ChoosesTheScanRange) {
  const std::string none = "\n\nNo updatable Torva devices found.\n";
  const struct {
    std::vector<const char*> args;
    uint32_t first, last;
  } cases[] = {{{}, 1, 16}, {{"0"}, 1, 16}, {{"abc"}, 1, 16}, {{"7"}, 7, 7}, {{"99"}, 99, 99}, {{" +1"}, 1, 1},
               {{"COM10"}, 10, 10}, {{"com7"}, 7, 7}, {{"COM7:"}, 7, 7}, {{"COM100x"}, 0, 0},
               {{"no-such-tty"}, 1, 16}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "no argument" : c.args[0]);
    DriverRun r(c.args, {'x'}, false);
    EXPECT_EQ(r.status, 1);
    if (c.first == 0) {  // COM100: the number's own range check
      EXPECT_EQ(r.bench.output(), BANNER + "\nCOM100 is an invalid COM port number.\nChoose a COM port number "
                                           "between 1 and 99\n" + KEY_WAIT);
      continue;
    }
    EXPECT_EQ(r.bench.output(), BANNER + scan_lines(c.first, c.last, "Could not open port.") + none + KEY_WAIT);
    // A missing port is no news in a search of the range, but is explained when it was asked for.
    const std::string why = r.bench.diagnostics.text();
    const std::string word = c.args.empty() ? "" : c.args[0];
    if (word == "abc" || word == "no-such-tty") {
      // A word that names nothing still searches, and says so.
      EXPECT_EQ(why, "korvo: \"" + word + "\" is neither a port number nor a serial device: searching COM1 "
                     "to COM16\n");
    } else if (c.first != c.last) {
      EXPECT_EQ(why, "");
    } else {
      EXPECT_EQ(why, "\nkorvo: COM" + std::to_string(c.first) + ": No such file or directory\n");
    }
  }
  // A silent line is opened, probed, closed, and reported as such.
  DriverRun silent({"3"});
  EXPECT_EQ(silent.bench.output(), BANNER + scan_lines(3, 3, "No Torva devices detected.") + none + KEY_WAIT);
  EXPECT_EQ(silent.bench.line.opens, 1);
  EXPECT_EQ(silent.bench.line.closes, 1);
}

TEST(CommandLine, OptionsTouchNoPort) {
  const std::string usage =
      "\nUse: KORVO [x]\n\nWhere:\n   x    = Optional, If not 0, then this is a comport number "
      "between 1 and 99,\n          otherwise searches COM1 - COM16.";
  const auto unknown = [](const char* arg) {
    return "korvo: \"" + std::string(arg) + "\" is not an option of korvo (korvo --help lists them)\n";
  };
  const struct {
    const char* arg;
    int status;
    std::string output;  // how it starts
    std::string told;    // standard error: which argument was not understood
  } cases[] = {{"--help", 0, BANNER + usage + "\n\nOptions:", ""},
               {"-h", 0, BANNER + usage + "\n\nOptions:", ""},
               {"--version", 0, "korvo 1.01\n", ""},
               {"-x", 1, BANNER + usage, unknown("-x")},
               {"--bogus", 1, BANNER + usage, unknown("--bogus")},
               {"-", 1, BANNER + usage, unknown("-")}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arg);
    DriverRun r({c.arg});
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.bench.diagnostics.text(), c.told);
    EXPECT_EQ(r.bench.output().substr(0, c.output.size()), c.output);
    if (c.status == 1) {
      EXPECT_EQ(r.bench.output(), c.output) << "the usage alone";
    }
    EXPECT_EQ(r.bench.line.platform_calls, 0);
    EXPECT_EQ(r.bench.console.reads, 0) << "no key wait";
  }
}

TEST(CommandLine, APortHeldElsewhereIsExplainedEvenInASearch) {
  Bench bench{false};
  ImageTable table{};
  bench.run.images = &table;
  bench.line.refusal = OpenError::IN_USE;
  const char* args[] = {"korvo"};
  EXPECT_EQ(code(korvo_run(bench.run, 1, args)), 1);
  const std::string line = "\nkorvo: COM1: in use by another program (Device or resource busy)";
  EXPECT_EQ(bench.diagnostics.text().substr(0, line.size()), line);
  EXPECT_EQ(bench.output().find("korvo:"), std::string::npos) << "standard output keeps its own texts";
}

TEST(CommandLine, APathNamesTheOnePortEverywhere) {
  if (!PORT_PATHS_ALLOWED) GTEST_SKIP() << "ports are named by number only here";
  // A device under /dev named without its folder is that device, not a search of COM1-16.
  const struct {
    const char* arg;
    const char* path;
  } cases[] = {{"/dev/ttyUSB0", "/dev/ttyUSB0"}, {"null", "/dev/null"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arg);
    DriverRun r({c.arg});
    EXPECT_EQ(r.bench.line.opens, 1);
    EXPECT_EQ(r.bench.line.opened.path, c.path);
    EXPECT_EQ(r.bench.output(), BANNER + "\n" + c.path + ": No Torva devices detected." +
                                    "\n\nNo updatable Torva devices found.\n" + KEY_WAIT);
    EXPECT_EQ(r.bench.diagnostics.text(), "");
  }
}

// A build of stand-in images says so in its version and, on the diagnostics stream alone,
// before it offers one; a build of real images says neither. Standard output is the same.
TEST(TestBuild, SaysSoInItsVersionAndBeforeTheOffer) {
  std::string offered[2];
  for (const bool test_images : {false, true}) {
    SCOPED_TRACE(test_images ? "test images" : "real images");
    Bench version{false};
    version.run.test_images = test_images;
    const char* ask[] = {"korvo", "--version"};
    EXPECT_EQ(code(korvo_run(version.run, 2, ask)), 0);
    EXPECT_EQ(version.output(), test_images ? "korvo 1.01 (test images)\n" : "korvo 1.01\n");

    Bench bench{false};
    DevsimLine device;
    ASSERT_TRUE(device.attach(bench.line, DevConfig{}, bench.clock.now));
    bench.run.images = &image_table();
    bench.run.test_images = test_images;
    bench.console.keys = {'n', 'x'};
    const char* update[] = {"korvo", "1"};
    EXPECT_EQ(code(korvo_run(bench.run, 2, update)), 0) << "declined";
    offered[test_images ? 1 : 0] = bench.output();
    EXPECT_NE(bench.output().find("(Y,N) N\n"), std::string::npos) << bench.output();
    EXPECT_EQ(bench.diagnostics.text(),
              test_images ? "korvo: this build carries test images, not device firmware\n" : "");
  }
  EXPECT_EQ(offered[0], offered[1]);
}

// A path from the command line (or KORVO_COM<n>) and what the port layer says of it are not
// korvo's own text: no control byte of theirs reaches either stream.
TEST(CommandLine, PathsAndReasonsReachTheTerminalSafely) {
  if (!PORT_PATHS_ALLOWED) GTEST_SKIP() << "ports are named by number only here";
  const char* hostile = "/dev/x\x1b]0;t\x07\r\x9b" "2J";
  const std::string shown = "/dev/x?]0;t???2J";
  const struct {
    OpenError refusal;
    std::string verdict;
    std::string told;  // on standard error
  } cases[] = {
      {OpenError::NONE, "No Torva devices detected.", "\nkorvo: lock ?[1m?; going on\n"},
      {OpenError::OWN_TERMINAL, "Could not open port.",
       "\nkorvo: lock ?[1m?; going on\n\nkorvo: " + shown + ": Device or resource busy\n"},
      {OpenError::IN_USE, "Could not open port.",
       "\nkorvo: lock ?[1m?; going on\n\nkorvo: " + shown + ": in use by another program (Device or resource busy)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.verdict);
    Bench bench{false};
    ImageTable table{};
    bench.run.images = &table;
    bench.console.keys = {'x'};
    bench.line.refusal = c.refusal;
    bench.line.warning = "lock \x1b[1m\n; going on";
    const char* args[] = {"korvo", hostile};
    EXPECT_EQ(code(korvo_run(bench.run, 2, args)), 1);
    EXPECT_EQ(bench.output(), BANNER + "\n" + shown + ": " + c.verdict + "\n\nNo updatable Torva devices found.\n" +
                                  KEY_WAIT);
    EXPECT_EQ(bench.diagnostics.text(), c.told);
  }
  // An own terminal is said even while the range is searched.
  Bench search{false};
  ImageTable table{};
  search.run.images = &table;
  search.line.refusal = OpenError::OWN_TERMINAL;
  const char* none[] = {"korvo"};
  EXPECT_EQ(code(korvo_run(search.run, 1, none)), 1);
  EXPECT_NE(search.diagnostics.text().find("\nkorvo: COM16: Device or resource busy"), std::string::npos);
}

TEST(ScriptedOptions, WrongCombinationsAreUsageErrorsThatTouchNoPort) {
  const std::vector<std::vector<const char*>> wrong = {
      {"--check", "--yes"}, {"--json"},          {"--force", "3"},          {"--check", "--bogus"},
      {"--yes", "3", "foo"}, {"--record"},        {"--history", "--check"}, {"--no-record", "--record", "x"},
      {"--retries", "1"},   {"--check", "--retries", "2"}, {"--yes", "--retries", "11"}, {"--yes", "--retries", "x"},
      {"--all"}, {"--check", "--all", "3"}, {"--yes", "0", "3"}, {"--check", "3", "100"},
      // Unattended, a port word is taken exactly or not at all: no "COM99x" read as COM99.
      {"--yes", "COM99x"}, {"--check", "abc"}, {"--check", " 3"}, {"--check", "1", "COM2x"}, {"--yes", "3", "+4"},
      // An option where a value belongs: the option forgotten its value, never a file named "--yes".
      {"--record", "--yes", "3"}, {"--record=--yes", "--yes", "3"}, {"--yes", "--record", "--json", "3"},
      {"--yes", "--retries", "--check", "3"}, {"--yes", "--record", "-y", "3"},
      // Numbers of decimal digits alone: no base, no blank, no sign.
      {"--yes", "--retries", "0x5", "3"}, {"--yes", "--retries", " 5", "3"}, {"--yes", "--retries", "5 ", "3"},
      {"--yes", "--retries=+5", "3"}, {"--yes", "--retries", "5.0", "3"}, {"--yes", "--retries", "", "3"},
      // The history's own options: with --history only, known formats, real dates and times.
      {"--format", "csv"}, {"--yes", "--port", "COM3", "3"}, {"--check", "--output", "x", "3"},
      {"--history", "--format", "pdf"}, {"--history", "--format", "--json"}, {"--history", "--json", "--format=csv"},
      {"--history", "--since", "yesterday"}, {"--history", "--since", "2026-02-30"}, {"--history", "--since", "2026-12-08T24:00"},
      {"--history", "--since", "2026-12-08T07:40+1"}, {"--history", "--port"}, {"--history", "--output", "--format", "csv"}};
  for (const auto& args : wrong) {
    SCOPED_TRACE(args[0] + std::string(" ") + args[1 % args.size()]);
    DriverRun r(args, {});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.bench.output(), "") << "standard output stays for results";
    EXPECT_EQ(r.bench.diagnostics.text().rfind("korvo: ", 0), 0u) << r.bench.diagnostics.text();
    EXPECT_EQ(r.bench.line.platform_calls, 0);
    EXPECT_EQ(r.bench.console.reads, 0) << "no key wait";
  }
  // Help among the new options is the usual help, whatever else is given.
  for (const std::vector<const char*>& help : {std::vector<const char*>{"--check", "--help"}, {"-h", "--json", "--yes"}}) {
    DriverRun r(help, {});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.bench.output().rfind(BANNER + "\nUse: KORVO [x]\n", 0), 0u) << r.bench.output();
    EXPECT_EQ(r.bench.line.platform_calls, 0);
  }
  // Without a device: 3, with no key wait; a number outside 1..99 is a usage error.
  DriverRun none({"--check", "5"}, {});
  EXPECT_EQ(none.status, 3);
  EXPECT_EQ(none.bench.console.reads, 0);
  for (const char* number : {"100", "-5"}) {
    DriverRun far({"--yes", number}, {});
    EXPECT_EQ(far.status, 2);
    EXPECT_EQ(far.bench.line.opens, 0);
  }
}

// Several devices: the run's status is the most serious of theirs, in the order 1, 4, 3, 100.
TEST(ScriptedOptions, SeveralDevicesEndWithTheMostSeriousStatus) {
  using S = ExitStatus;
  const struct {
    std::vector<S> devices;
    S run;
  } cases[] = {
      {{S::UNCHANGED, S::UNCHANGED}, S::UNCHANGED},
      {{S::UNCHANGED, S::UPDATE_AVAILABLE}, S::UPDATE_AVAILABLE},
      {{S::UPDATE_AVAILABLE, S::NO_DEVICE, S::UNCHANGED}, S::NO_DEVICE},
      {{S::NO_DEVICE, S::NOT_COMPATIBLE}, S::NOT_COMPATIBLE},
      {{S::NOT_COMPATIBLE, S::ENDED, S::NO_DEVICE}, S::ENDED},
      {{}, S::NO_DEVICE},
  };
  for (const auto& c : cases) EXPECT_EQ(rack_status(c.devices), c.run) << c.devices.size();
}

// An unattended update on the in-memory line against a device that checks its flash against
// the stand-in: the exit status, what standard error said, the update record's one line.
struct RetryRun {
  Bench bench{false};
  DevsimLine device;
  std::shared_ptr<DevImage> image = std::make_shared<DevImage>();
  UpdateRecord record;
  int status = -1;

  RetryRun(DevConfig config, std::vector<const char*> options) {
    const Image& standin = image_table()[0];
    std::string error;
    EXPECT_EQ(devimage_parse(std::vector<uint8_t>(standin.data, standin.data + standin.size), *image, error), 0);
    config.image = image;
    EXPECT_TRUE(device.attach(bench.line, config, bench.clock.now));
    bench.run.images = &image_table();
    // A file of this test's own: ctest runs the tests of this suite side by side.
    const std::string path = testing::TempDir() + "korvo-record-" +
                             testing::UnitTest::GetInstance()->current_test_info()->name();
    std::remove(path.c_str());
    bench.run.record = true;
    bench.run.record_path = path;
    options.insert(options.begin(), "korvo");
    options.push_back("1");
    status = code(korvo_run(bench.run, static_cast<int>(options.size()), options.data()));
    std::ifstream in(path);
    std::string line;
    EXPECT_TRUE(std::getline(in, line)) << "one record line";
    EXPECT_TRUE(update_record_parse(line, record)) << line;
    std::remove(path.c_str());
  }
  const DevLog& log() const { return device.model.log; }
  bool flash_verified() const {
    return devimage_verify(*image, log().start_command, log().records, "image").verified;
  }
  size_t told(const std::string& text) const {
    size_t n = 0;
    for (size_t at = 0; (at = bench.diagnostics.text().find(text, at)) != std::string::npos; at += text.size()) ++n;
    return n;
  }
};

TEST(ScriptedRetries, AnHonestFailureIsTriedAgainFromTheStartAndADIsNot) {
  // Good packets: "&" of the entry, then "!", "#", and "$", "#" for each record: 20 is the
  // ninth record's "$", which the device NAKs (Lost2(01)) on the first attempt only.
  DevConfig naks_once;
  naks_once.faults.nak_packet = 20;
  DevConfig refuses;  // "D" for the fifth record, on every attempt
  refuses.faults.status[5] = 'D';
  DevConfig refuses_start;  // the start command fails each time with another status (Lost1(05))
  refuses_start.faults.status[DEV_TARGET_START] = 'E';
  DevConfig unplugged;  // the cable goes for good after the third record's status
  unplugged.faults.pull_after_record = 3;
  const std::string retry = "korvo: COM1: attempt 1 of 3: record 9 of 574 failed (Lost2(01)); probing COM1 again for attempt 2";
  const struct {
    const char* what;
    DevConfig device;
    std::vector<const char*> options;
    int status;
    uint32_t starts;            // start commands sent ("!" heard)
    bool verified;
    uint32_t attempts;
    std::vector<std::string> failures;  // stage and code of each attempt that did not verify
    size_t retry_lines;
  } cases[] = {
      {"Lost2 then verified", naks_once, {"--yes"}, 0, 2, true, 2, {"records 1"}, 1},
      {"--retries 0", naks_once, {"--yes", "--retries", "0"}, 1, 1, false, 1, {"records 1"}, 0},
      {"D", refuses, {"--yes", "--retries", "5"}, 1, 1, false, 1, {"records 4"}, 0},
      {"Lost1 every time", refuses_start, {"--yes", "--retries=1"}, 1, 2, false, 2, {"starting 5", "starting 5"}, 1},
      {"device gone", unplugged, {"--yes"}, 1, 1, false, 1, {"records 1"}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RetryRun r(c.device, c.options);
    EXPECT_EQ(r.status, c.status) << r.bench.diagnostics.text();
    EXPECT_EQ(static_cast<uint32_t>(std::count(r.log().commands.begin(), r.log().commands.end(), "!")), c.starts);
    EXPECT_EQ(r.flash_verified(), c.verified);
    EXPECT_EQ(r.log().repeats, 0u) << "no record twice within one transfer";
    EXPECT_EQ(r.record.attempts, c.attempts);
    EXPECT_EQ(r.record.verified, c.verified);
    std::vector<std::string> failures;
    for (const AttemptFailure& f : r.record.failures) failures.push_back(f.stage + " " + std::to_string(f.code));
    EXPECT_EQ(failures, c.failures);
    EXPECT_EQ(r.told(": attempt "), c.retry_lines) << r.bench.diagnostics.text();
    // The final verdict is the last attempt's alone.
    EXPECT_EQ(r.told(": verified: "), c.verified ? 1u : 0u);
  }
  RetryRun once(naks_once, {"--yes"});
  EXPECT_EQ(once.told(retry), 1u) << once.bench.diagnostics.text();
  // Standard output shows each attempt as the console shows a transfer.
  EXPECT_NE(once.bench.output().find(
                "\rUpdating firmware:   1% complete.\nError: Lost2(01) communications with the bootloader, check "
                "cables and power.\n\n\rUpdating firmware:   0% complete."),
            std::string::npos)
      << once.bench.output();
  // In the record, the first failure and then the verified end.
  EXPECT_TRUE(once.record.updated);
  EXPECT_EQ(once.record.version_before, "1.13");
}

// Bits flipped both ways: whatever korvo says, the device's own flash verdict agrees, and the
// same seed flips the same bits.
TEST(ScriptedRetries, ANoisyLineNeverEndsInAFalseSuccess) {
  uint64_t flipped = 0;
  uint32_t retried = 0;
  for (uint64_t seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    DevConfig noisy;
    noisy.faults.ber = 3e-6;
    noisy.faults.seed = seed;
    RetryRun r(noisy, {"--yes", "--retries", "3"});
    EXPECT_EQ(r.status == 0, r.flash_verified()) << r.bench.diagnostics.text();
    EXPECT_EQ(r.record.verified, r.flash_verified());
    EXPECT_EQ(r.log().repeats, 0u);
    flipped += r.log().flipped_in + r.log().flipped_out;
    retried += r.record.attempts - 1;
    if (seed == 1) {
      RetryRun again(noisy, {"--yes", "--retries", "3"});
      EXPECT_EQ(again.log().flipped_in, r.log().flipped_in);
      EXPECT_EQ(again.record.attempts, r.record.attempts);
    }
  }
  EXPECT_GT(flipped, 0u);
  EXPECT_GT(retried, 0u) << "at 3e-6 most first attempts meet a flipped bit";
}

// --output: the report's file is made only once the record has opened, so a record that
// cannot be read leaves an earlier report as it was.
TEST(ScriptedOptions, AReportFileIsWrittenOnlyFromARecordThatOpens) {
  const std::string report = testing::TempDir() + "korvo-driver-report.csv";
  const std::string record = testing::TempDir() + "korvo-driver-record.jsonl";
  const auto contents = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  std::ofstream(report, std::ios::binary) << "an earlier report\r\n";
  std::ofstream(record, std::ios::binary) << "";
  // A folder is no record: refused before the report is touched.
  const std::string folder = testing::TempDir();
  DriverRun unreadable({"--history", "--record", folder.c_str(), "--format", "csv", "--output", report.c_str()}, {});
  EXPECT_EQ(unreadable.status, 1);
  EXPECT_NE(unreadable.bench.diagnostics.text().find("korvo: cannot read the update record"), std::string::npos)
      << unreadable.bench.diagnostics.text();
  EXPECT_EQ(contents(report), "an earlier report\r\n");
  // A record that opens replaces it; nothing goes to standard output.
  DriverRun read({"--history", "--record", record.c_str(), "--format", "csv", "--output", report.c_str()}, {});
  EXPECT_EQ(read.status, 0) << read.bench.diagnostics.text();
  EXPECT_EQ(contents(report).rfind("time,", 0), 0u) << contents(report);
  EXPECT_EQ(read.bench.output(), "");
  // A report that cannot be made is said, and is no success.
  const std::string nowhere = testing::TempDir() + "korvo-no-such-folder/report.csv";
  DriverRun unwritable({"--history", "--record", record.c_str(), "--format", "csv", "--output", nowhere.c_str()}, {});
  EXPECT_EQ(unwritable.status, 1);
  EXPECT_NE(unwritable.bench.diagnostics.text().find("korvo: cannot write"), std::string::npos);
  std::remove(report.c_str());
  std::remove(record.c_str());
}

TEST(ExitRoutine, ReadsBothHalvesOfAnExtendedKey) {
  DriverRun r({"100"}, {0, 59, 'y'});
  EXPECT_EQ(r.bench.console.keys.size(), 1u) << "F1 is consumed whole, nothing more";
  DriverRun eof({"100"}, {});
  EXPECT_EQ(eof.status, 1);
  EXPECT_EQ(eof.bench.console.reads, 1) << "end of input ends the wait at once";
}

}  // namespace
