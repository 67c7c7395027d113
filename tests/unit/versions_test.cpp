#include "update/console_reporter.h"
#include "update/versions.h"

#include <gtest/gtest.h>

#include <cctype>
#include <optional>
#include <string>
#include <vector>

#include "driver/run_state.h"
#include "fake_console.h"
#include "image_bytes.h"
#include "update/device_text.h"
#include "update/rack_view.h"
#include "serial/stop.h"
#include "memline.h"

using namespace korvo;

namespace {

constexpr Version ver(uint32_t major, uint32_t minor, uint32_t third = 0, uint32_t letter = 0) {
  return major << 24 | minor << 16 | third << 8 | letter;
}

constexpr Version V1_14 = ver(1, 14);

struct VersionsTest : ::testing::Test {
  RunState run;
  FakeConsole console;
  CapturedText capture;
  ConsoleReporter console_texts{run.out};

  VersionsTest() {
    run.out = capture.out();
    run.console = &console;
  }

  DeviceInfo device(Version v, const char* model = "Slate Pro") {
    DeviceInfo info;
    info.product = 68;
    info.pcb_revision = 6;
    info.version = v;
    info.model = model;
    return info;
  }

  std::string printed(Version v, uint32_t pad) {
    CapturedText one;
    RunState r;
    r.out = one.out();
    print_version(r.out, v, pad);
    return one.text();
  }

  std::string lines(Version device_version, Version image_version) {
    CapturedText one;
    RunState r;
    r.out = one.out();
    const ImageBytes image = image_bytes_make(68, 6, image_version, "SlatePro");
    show_versions(r.out, device(device_version), image.image());
    return one.text();
  }

  bool ask(Version device_version, Version image_version) {
    const ImageBytes image = image_bytes_make(68, 6, image_version, "SlatePro");
    return confirm_update(console_texts, run.console, device(device_version), image.image());
  }
};

TEST_F(VersionsTest, TextOfEachKindOfVersion) {
  EXPECT_EQ(printed(0, 1), "None, ");
  EXPECT_EQ(printed(V1_14, 0), "1.14,");
  EXPECT_EQ(printed(ver(1, 14, 0, 1), 1), "1.14a, ");
  EXPECT_EQ(printed(ver(1, 14, 2), 1), "1.14.02(Beta), ");
  EXPECT_EQ(printed(ver(2, 5, 1, 2), 3), "2.05.01b(Beta),   ");
  EXPECT_EQ(printed(ver(10, 0), 20), "10.00," + std::string(20, ' '));
  // The top byte is unsigned, and three-digit parts print in full.
  EXPECT_EQ(printed(ver(200, 100, 255), 1), "200.100.255(Beta), ");
  // Letters past z give whatever byte 96 + letter makes, modulo 256, NUL included...
  EXPECT_EQ(printed(ver(1, 14, 0, 27), 1), "1.14{, ");
  EXPECT_EQ(printed(ver(1, 14, 0, 255), 1), "1.14_, ");
  // ...shown as '?' when it is a control byte, like every control byte from the device.
  EXPECT_EQ(printed(ver(1, 14, 2, 160), 1), "1.14.02?(Beta), ");
}

TEST_F(VersionsTest, WidthCountsTwoDigitsPerPart) {
  EXPECT_EQ(version_text_width(0), 4u);
  EXPECT_EQ(version_text_width(V1_14), 4u);
  EXPECT_EQ(version_text_width(ver(1, 14, 0, 1)), 5u);
  EXPECT_EQ(version_text_width(ver(1, 14, 2)), 13u);
  EXPECT_EQ(version_text_width(ver(2, 5, 1, 2)), 14u);
  EXPECT_EQ(version_text_width(ver(9, 99)), 4u);
  EXPECT_EQ(version_text_width(ver(10, 0)), 5u);
  EXPECT_EQ(version_text_width(ver(128, 0)), 5u);
  EXPECT_EQ(version_text_width(ver(255, 255, 255, 255)), 15u);
}

TEST_F(VersionsTest, FormattedTextStaysInsideAShortBuffer) {
  char buffer[VERSION_TEXT_BYTES];
  EXPECT_EQ(format_version(buffer, sizeof buffer, ver(2, 5, 1, 2)), 14u);
  EXPECT_STREQ(buffer, "2.05.01b(Beta)");
  EXPECT_EQ(format_version(buffer, sizeof buffer, 0), 4u);
  EXPECT_STREQ(buffer, "None");
  // Longest text there is, and a cut one: the full length comes back, the text is terminated.
  EXPECT_EQ(format_version(buffer, sizeof buffer, ver(255, 255, 255, 26)), 18u);
  EXPECT_STREQ(buffer, "255.255.255z(Beta)");
  char small[6];
  EXPECT_EQ(format_version(small, sizeof small, ver(1, 14, 2, 1)), 14u);
  EXPECT_STREQ(small, "1.14.");
}

TEST_F(VersionsTest, ModelColumnsLineUp) {
  EXPECT_EQ(lines(V1_14, V1_14),
            "\n Current Version: 1.14, Model: Slate Pro"
            "\n Update Version:  1.14, Model: SlatePro");
  // The narrower text gets the difference in width as extra spaces, either way round.
  EXPECT_EQ(lines(V1_14, ver(1, 14, 2)),
            "\n Current Version: 1.14,          Model: Slate Pro"
            "\n Update Version:  1.14.02(Beta), Model: SlatePro");
  EXPECT_EQ(lines(ver(10, 0), V1_14),
            "\n Current Version: 10.00, Model: Slate Pro"
            "\n Update Version:  1.14,  Model: SlatePro");
  EXPECT_EQ(lines(0, V1_14),
            "\n Current Version: None, Model: Slate Pro"
            "\n Update Version:  1.14, Model: SlatePro");
  // Three-digit parts are counted as two, so that line's column lies one further right.
  EXPECT_EQ(lines(ver(100, 0), ver(1, 100)),
            "\n Current Version: 100.00, Model: Slate Pro"
            "\n Update Version:  1.100,  Model: SlatePro");
}

TEST_F(VersionsTest, EqualVersionsAskToUpdateAnyway) {
  console.keys = {'Y'};
  EXPECT_TRUE(ask(V1_14, V1_14));
  EXPECT_EQ(capture.text(),
            "\nThe firmware in the Slate Pro matches this update.\n"
            "\n Current Version: 1.14, Model: Slate Pro"
            "\n Update Version:  1.14, Model: SlatePro"
            "\n\nUpdate anyway? (Y,N) Y\n");
}

TEST_F(VersionsTest, NewerImageAsksToContinue) {
  console.keys = {'N'};
  EXPECT_FALSE(ask(V1_14, ver(1, 14, 2)));
  EXPECT_EQ(capture.text(),
            "\n\nThis update is newer than the firmware inside the Slate Pro.\n"
            "\n Current Version: 1.14,          Model: Slate Pro"
            "\n Update Version:  1.14.02(Beta), Model: SlatePro"
            "\n\nContinue with update to newer version? (Y,N) N\n"
            "\nUpdate cancelled.\n\n");
}

TEST_F(VersionsTest, OlderImageAsksToBeSure) {
  console.keys = {'y'};
  EXPECT_TRUE(ask(ver(10, 0), V1_14));
  EXPECT_EQ(capture.text(),
            "\n\nThis update is OLDER than the firmware inside the Slate Pro!\n"
            "\n Current Version: 10.00, Model: Slate Pro"
            "\n Update Version:  1.14,  Model: SlatePro"
            "\n\nAre you sure you want to update with an OLDER version of firmware? (Y,N) Y\n");
}

TEST_F(VersionsTest, DeviceTextCannotStartATerminalControlSequence) {
  // ESC, BEL and CSI from the device's name, and from a version letter (96 + 0xBB and
  // 96 + 0x3B wrap to 0x1B and 0x9B), become '?'; every other byte stays as it came.
  console.keys = {'n'};
  const ImageBytes image = image_bytes_make(68, 6, V1_14, "SlatePro");
  EXPECT_FALSE(confirm_update(console_texts, run.console, device(ver(1, 15, 0, 0xBB), "\x1b]0;x\x07\x9b" "2J"),
                              image.image()));
  EXPECT_EQ(capture.text(),
            "\n\nThis update is OLDER than the firmware inside the ?]0;x??2J!\n"
            "\n Current Version: 1.15?, Model: ?]0;x??2J"
            "\n Update Version:  1.14,  Model: SlatePro"
            "\n\nAre you sure you want to update with an OLDER version of firmware? (Y,N) N\n"
            "\nUpdate cancelled.\n\n");
  EXPECT_EQ(printed(ver(1, 14, 0, 0x3B), 0), "1.14?,");
}

// Each class of byte, in a one-line text (a name, a path, a version) and in the bytes the
// device sends after the scan, which keep its own line breaks.
TEST(OutsideText, EachClassOfByteInALineAndInTheEcho) {
  const struct {
    const char* what;
    std::string bytes;
    std::string line;
    std::string echo;
  } cases[] = {
      {"printable ASCII", "Slate Pro 1.14 /dev/ttyUSB0 ~", "Slate Pro 1.14 /dev/ttyUSB0 ~",
       "Slate Pro 1.14 /dev/ttyUSB0 ~"},
      {"NUL, BEL, BS, ESC, 0x1F", std::string("a\0b\x07" "c\x08" "d\x1b" "e\x1f", 10), "a?b?c?d?e?",
       "a?b?c?d?e?"},
      {"the device's line breaks", "1\r\n2\t3\n", "1??2?3?", "1\r\n2\t3\n"},
      {"other C0 controls around them", "\x0b\x0c\x0e", "???", "???"},
      {"DEL", "x\x7f", "x?", "x?"},
      {"C1 bytes that start or end strings and sequences", "\x90\x9b\x9c\x9d\x9e\x9f", "??????",
       "??????"},
      {"other C1 bytes, and UTF-8", "\x80\x8f\x91\x9a\xa0\xff \xc3\xa9", "\x80\x8f\x91\x9a\xa0\xff \xc3\xa9",
       "\x80\x8f\x91\x9a\xa0\xff \xc3\xa9"},
      {"C1 controls written as UTF-8: NEL, CSI, the first and the last", "a\xc2\x85" "b\xc2\x9b" "2J\xc2\x80\xc2\x9f",
       "a?b?2J??", "a?b?2J??"},
      {"UTF-8 beside them: NBSP, a lone lead byte, one before a letter", "\xc2\xa0 \xc2" "x \xc2",
       "\xc2\xa0 \xc2" "x \xc2", "\xc2\xa0 \xc2" "x \xc2"},
      {"a retitle and a clear", "\x1b]0;pwned\x07\x9b" "2J", "?]0;pwned??2J", "?]0;pwned??2J"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(shown_line(c.bytes), c.line);
    CapturedText line;
    RunState one;
    one.out = line.out();
    say_device_line(one.out, c.bytes.data(), c.bytes.size());
    EXPECT_EQ(line.text(), c.line);
    CapturedText echo;
    one.out = echo.out();
    say_device_bytes(one.out, c.bytes.data(), c.bytes.size());
    EXPECT_EQ(echo.text(), c.echo);
  }
}

// Which of the three questions a pair of versions gets.
std::string question(Version device_version, Version image_version) {
  RunState run;
  FakeConsole console{'n'};
  CapturedText capture;
  run.out = capture.out();
  run.console = &console;
  ConsoleReporter console_texts(run.out);
  DeviceInfo device;
  device.version = device_version;
  device.model = "Onyx";
  const ImageBytes image = image_bytes_make(68, 6, image_version, "SlatePro");
  EXPECT_FALSE(confirm_update(console_texts, run.console, device, image.image()));
  const std::string text = capture.text();
  if (text.find("Update anyway?") != std::string::npos) return "equal";
  if (text.find("newer version?") != std::string::npos) return "newer";
  if (text.find("OLDER version") != std::string::npos) return "older";
  return text;
}

TEST(VersionOrder, LaterPartsOnlyBreakTies) {
  EXPECT_EQ(question(V1_14, ver(1, 14, 0, 1)), "newer");        // 1.14 -> 1.14a
  EXPECT_EQ(question(ver(1, 14, 0, 1), V1_14), "older");
  EXPECT_EQ(question(ver(1, 14, 0, 26), ver(1, 14, 1)), "newer");  // 1.14z -> 1.14.01(Beta)
  EXPECT_EQ(question(ver(1, 14, 99), ver(1, 15)), "newer");       // 1.14.99(Beta) -> 1.15
  EXPECT_EQ(question(ver(1, 15), ver(1, 14, 99)), "older");
}

TEST(VersionOrder, NoVersionAndHighMajors) {
  EXPECT_EQ(question(0, ver(0, 0, 0, 1)), "newer");
  EXPECT_EQ(question(0, 0), "equal");
  // The top byte is unsigned: 200.00 is above 1.14, not a negative number below it.
  EXPECT_EQ(question(ver(200, 0), V1_14), "older");
  EXPECT_EQ(question(ver(127, 255), ver(128, 0)), "newer");
}

TEST_F(VersionsTest, OtherKeysAreSkippedSilently) {
  // Enter, both halves of a function key, a digit, then a lower-case answer.
  console.keys = {'\r', 0, 59, 0xE0, 'x', '1', 'n'};
  EXPECT_FALSE(ask(V1_14, V1_14));
  EXPECT_EQ(console.reads, 7);
  const std::string text = capture.text();
  const std::string tail = "(Y,N) N\n\nUpdate cancelled.\n\n";
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

TEST_F(VersionsTest, SecondHalfOfAnExtendedKeyIsJudgedByItself) {
  console.keys = {0, 'y'};
  EXPECT_TRUE(ask(V1_14, V1_14));
  EXPECT_EQ(console.reads, 2);
  EXPECT_TRUE(capture.text().ends_with("(Y,N) Y\n"));
}

TEST_F(VersionsTest, EndOfInputAnswersNo) {
  console.keys = {'\r', 'q'};
  EXPECT_FALSE(ask(V1_14, ver(1, 15)));
  EXPECT_EQ(console.reads, 3);  // read once past the end, and never again
  EXPECT_TRUE(capture.text().ends_with("(Y,N) N\n\nUpdate cancelled.\n\n"));
}

}  // namespace

// A slow latency timer is said before the question with what it costs and how to lower it;
// 1 and 2 ms are not worth a word. Round trips: median and nearest-rank 99th percentile.
TEST(SlowAdapter, WarnedAboveTwoMillisecondsWithCostAndRemedy) {
  EXPECT_FALSE(slow_adapter_of(std::nullopt, 574).has_value());
  for (uint32_t ms : {1u, 2u}) EXPECT_FALSE(slow_adapter_of(PortLatency{ms, true, ""}, 574).has_value()) << ms;
  const std::optional<SlowAdapter> three = slow_adapter_of(PortLatency{3, false, "/sys/x"}, 574);
  ASSERT_TRUE(three.has_value());
  EXPECT_EQ(three->added_ms, 575u * 2 * 3);

  CapturedText capture;
  ConsoleOut out = capture.out();
  out.err = out.file;
  ConsoleReporter texts(out);
  say(out, "\nThe heading\n");  // a line the console's texts ended: the notes follow it directly
  texts.slow_adapter("COM12", *slow_adapter_of(PortLatency{16, true, ""}, 574));
  texts.slow_adapter("/dev/ttyUSB0",
                     *slow_adapter_of(PortLatency{16, false, "/sys/bus/usb-serial/devices/ttyUSB0/latency_timer"}, 574));
  EXPECT_EQ(capture.text(),
            "\nThe heading\nkorvo: COM12: the USB-serial adapter's latency timer is 16 ms, which adds about 18.4 s to this "
            "update; an administrator can set it to 1 ms in Device Manager: the port's Properties, Port "
            "Settings, Advanced, Latency Timer\n"
            "korvo: /dev/ttyUSB0: the USB-serial adapter's latency timer is 16 ms although korvo asked its "
            "driver for low latency, which adds about 18.4 s to this update; set it to 1 ms with \"echo 1 | "
            "sudo tee /sys/bus/usb-serial/devices/ttyUSB0/latency_timer\" or for good with the udev rule in "
            "korvo's README (USB-serial adapters)\n");

  std::vector<uint32_t> samples(200, 16000);
  samples[0] = 90;
  samples[199] = 31000;
  samples[198] = 30000;
  samples[197] = 30000;
  const RoundTripStats stats = round_trip_stats(samples);
  EXPECT_EQ(stats.count, 200u);
  EXPECT_DOUBLE_EQ(stats.median_ms, 16.0);
  EXPECT_DOUBLE_EQ(stats.p99_ms, 30.0);
  EXPECT_DOUBLE_EQ(round_trip_stats({100, 300}).median_ms, 0.2);
  EXPECT_EQ(round_trip_stats({}).count, 0u);
}

namespace {

// The screen a terminal shows after `text`, for the sequences the rack view uses: CSI n F
// (to the start of the line n up), CSI J (clear to the end of the screen), CSI 2K (clear the
// line), LF, and printable bytes that overwrite.
std::vector<std::string> screen_of(const std::string& text) {
  std::vector<std::string> screen(1);
  size_t row = 0;
  size_t col = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\x1b' && i + 1 < text.size() && text[i + 1] == '[') {
      size_t end = i + 2;
      while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end])) != 0) ++end;
      const int n = end > i + 2 ? std::stoi(text.substr(i + 2, end - i - 2)) : 0;
      const char op = text[end];
      if (op == 'F') {
        row = row >= static_cast<size_t>(n) ? row - static_cast<size_t>(n) : 0;
        col = 0;
      } else if (op == 'J') {
        screen.resize(row + 1);
        screen[row].resize(std::min(col, screen[row].size()));
      } else if (op == 'K' && n == 2) {
        screen[row].clear();
      } else {
        ADD_FAILURE() << "unexpected sequence " << op;
      }
      i = end;
      continue;
    }
    if (c == '\n') {
      ++row;
      col = 0;
      if (screen.size() <= row) screen.resize(row + 1);
      continue;
    }
    if (screen[row].size() <= col) screen[row].resize(col + 1, ' ');
    screen[row][col++] = c;
  }
  return screen;
}

}  // namespace

// Rows redrawn in place with korvo's lines above them: whatever the order of the events, the
// terminal ends up showing each line once and every row as it last stood.
TEST_F(VersionsTest, RackRowsAreRedrawnInPlaceBelowTheDiagnostics) {
  CapturedText terminal;
  ConsoleOut out{terminal.out().file, terminal.out().file};  // one terminal for both streams
  VirtualClock clock;
  RackView view(out, clock, RackMode::LIVE, 60);
  Diagnostics sink(out, false);
  sink.route([&view](const std::string& text) { view.diagnostic(text); });
  RackReporter first(view, view.add_row("COM3"), sink, true);
  RackReporter second(view, view.add_row("/dev/ttyUSB12"), sink, true);
  RackReporter missing(view, view.add_row("COM9"), sink, true);
  const ImageBytes image = image_bytes_make(68, 6, V1_14, "SlatePro");
  first.port_begin("COM3");
  second.port_begin("/dev/ttyUSB12");
  missing.port_begin("COM9");
  OpenFailure none;
  none.error = OpenError::MISSING;
  missing.port_not_opened("COM9", none, false);  // left out of the view
  first.device_identified("COM3", device(ver(1, 13)), image.image());
  first.stage(TransferStage::RECORDS);
  first.progress(287, 574);
  clock.now += 500;
  second.port_outcome("/dev/ttyUSB12", PortOutcome::NO_DEVICE);
  second.finished("/dev/ttyUSB12", DeviceOutcome{});
  first.test_images();
  second.test_images();  // said once
  first.progress(300, 574);  // the same tenth, within the redraw interval: not drawn yet
  std::vector<std::string> screen = screen_of(terminal.text());
  const std::vector<std::string> running = {
      "korvo: this build carries test images, not device firmware",
      "COM3           Slate Pro  [##########..........]  50%",
      "/dev/ttyUSB12  -          no device",
      ""};
  EXPECT_EQ(screen, running) << terminal.text();

  // Ctrl-C: the stop is said above the rows (the signal handler leaves it to the view).
  port_request_stop();
  // A line wider than the terminal would wrap and shift every later redraw: cut at its width.
  TransferReport report;
  report.stage = TransferStage::RECORDS;
  report.records_sent = 400;
  report.records = 574;
  report.failed_at = TransferStage::RECORDS;
  report.failure = TransactionResult::COMMAND_FAILED;
  first.finished("COM3", transfer_outcome(TransferResult::FAILED, report, device(ver(1, 13)), image.image(), false));
  view.finish();
  port_stop_clear();
  screen = screen_of(terminal.text());
  ASSERT_EQ(screen.size(), 10u) << terminal.text();  // the rows, a blank line, the table, the line after
  EXPECT_EQ(screen[1], "korvo: stopping every device (again to end at once)");
  EXPECT_EQ(screen[2], "korvo: COM3: the update stopped after 400 of 574 records; the device was left in its "
                       "bootloader; a new run on COM3 installs the image");
  EXPECT_EQ(screen[3], "COM3           Slate Pro  failed at record 401 of 574; in i");
  EXPECT_EQ(screen[4], "/dev/ttyUSB12  -          no device");
  EXPECT_EQ(screen[6], "Port           Device     Version             Time      Outcome");
  EXPECT_EQ(screen[7], "COM3           Slate Pro  1.13                0.5 s     failed at record 401 of 574; in its bootloader");
}
