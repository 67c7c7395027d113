// The simulated device, checked where a fault of its own would hide a host bug: framing and
// checksums, acknowledgements, the BootInfo layouts, the record rule of the flash check and
// the speed check. Expected bytes are written out by hand, not derived from the model.
#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

#include "devimage.h"
#include "devmodel.h"
#include "devoptions.h"
#include "devsim_line.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes packet(const Bytes& payload) {
  Bytes p;
  p.reserve(payload.size() + 2);
  p.push_back(static_cast<uint8_t>(payload.size() + 2));
  p.push_back(static_cast<uint8_t>(std::accumulate(payload.begin(), payload.end(), 0u) & 0xFF));
  p.insert(p.end(), payload.begin(), payload.end());
  return p;
}

const Bytes ACK{0xCC};
const Bytes STATUS_OK{0x03, '@', '@'};

struct Device {
  DevModel m;
  explicit Device(const DevConfig& c) { EXPECT_EQ(devmodel_init(m, c), 0); }
  // Feeds at t_ms; everything the device scheduled in answer, as one byte string.
  Bytes feed(const Bytes& in, uint32_t baud, uint64_t t_ms) {
    devmodel_feed(m, in, baud, t_ms * 1000);
    Bytes all;
    for (const DevOutput& o : devmodel_take_output(m)) all.insert(all.end(), o.bytes.begin(), o.bytes.end());
    return all;
  }
  Bytes boot(const Bytes& payload, uint64_t t_ms) { return feed(packet(payload), DEV_BAUD_BOOT, t_ms); }
};

DevConfig boot_config() {
  DevConfig c;
  c.start_side = DEV_BOOT;
  return c;
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// A tiny image: three records whose packets take bytes left behind in the host's buffer.
Bytes tiny_image() {
  Bytes img(84, 0);
  auto le32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) img[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
  };
  le32(0, 107);
  le32(8, 68);
  le32(12, 6);
  le32(16, 0x010E0000);
  le32(20, 10);
  le32(24, 3);
  le32(28, 0x10);
  le32(32, 0x2000);
  for (uint8_t i = 0; i < 7; ++i) img[44 + i] = static_cast<uint8_t>(i + 1);
  const Bytes records = {10, 0, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18,
                         5,  0, 0x21, 0x22, 0x23,
                         4,  0, 0x31, 0x32};
  img.insert(img.end(), records.begin(), records.end());
  img.insert(img.end(), {0, 0, 0, 0});
  return img;
}

const Bytes START = {'!', 0, 0, 0x20, 0, 0, 0, 0, 0x10, 1, 2, 3, 4, 5, 6, 7};
// What a host sends for tiny_image(): "$", record bytes 2..L-2, then three buffer bytes that
// the start command and the records before left behind.
const Bytes REC1 = {'$', 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x10, 0x01, 0x02};
const Bytes REC2 = {'$', 0x21, 0x22, 0x13, 0x14, 0x15};
const Bytes REC3 = {'$', 0x31, 0x22, 0x13, 0x14};

DevImage parsed_tiny() {
  DevImage image;
  std::string error;
  EXPECT_EQ(devimage_parse(tiny_image(), image, error), 0) << error;
  return image;
}

TEST(DevModelApp, VersionReportsFollowTheIdentity) {
  DevConfig c;
  c.identity.name = "";
  c.identity.version = 0x02050102;
  c.identity.comment = "RC";
  c.identity.product = 68;
  c.identity.pcb_revision = 6;
  c.identity.extra = 0x1F;
  EXPECT_EQ(devmodel_report(c.identity, false), "^=V \"\" 2.05.01b(RC),68,6,1F$");
  c.identity.name = "Onyx";
  c.identity.version = 0x010E0000;
  c.identity.comment.clear();
  c.identity.identity_group = false;
  EXPECT_EQ(devmodel_report(c.identity, false), "^=V \"Onyx\" 1.14$");
  const std::string long_report = devmodel_report(c.identity, true);
  EXPECT_GT(long_report.size() - 1, 99u);  // the text after "^"
  EXPECT_EQ(long_report.back(), '$');

  c.faults.stray = "\x01zz";
  c.faults.empty_before = 1;
  c.faults.plus_before = 2;
  Device d(c);
  EXPECT_EQ(d.feed(text("^V$"), DEV_BAUD_APP, 5), text("\x01zz^$^+$^+$^=V \"Onyx\" 1.14$"));
  EXPECT_EQ(d.m.log.commands, std::vector<std::string>{"V"});
  EXPECT_TRUE(d.m.log.violations.empty());
  // Text outside any message (a console's, say) is heard and counted, never answered.
  EXPECT_TRUE(d.feed(text("Y\n"), DEV_BAUD_APP, 6).empty());
  EXPECT_EQ(d.m.log.stray_bytes, 2u);
  EXPECT_EQ(d.m.log.bytes_heard, 5u);
}

TEST(DevModelApp, QueryAtTheWrongSpeedIsGarbageAndFlagged) {
  Device d{DevConfig{}};
  EXPECT_TRUE(d.feed(text("^V$"), DEV_BAUD_BOOT, 0).empty());
  ASSERT_EQ(d.m.log.violations.size(), 1u);
  EXPECT_TRUE(d.m.log.commands.empty());
  // A silent application makes a late speed sample harmless: nothing is flagged.
  DevConfig silent;
  silent.faults.app_silent = true;
  Device s(silent);
  EXPECT_TRUE(s.feed(text("^V$"), DEV_BAUD_APP, 0).empty());
  EXPECT_TRUE(s.feed(text("^V$"), DEV_BAUD_BOOT, 600).empty());
  EXPECT_TRUE(s.m.log.violations.empty());
}

TEST(DevModelApp, EntryTextStartsTheBootloaderWhichAnswersTheInformationQuery) {
  DevConfig c;
  c.identity.name = "Hall A";
  c.identity.product = 56;
  c.identity.pcb_revision = 4;
  c.identity.version = 0x010E0000;
  Device d(c);
  EXPECT_TRUE(d.feed(text("^BOOTL$^BOOTL$^BOOTL$"), DEV_BAUD_APP, 0).empty());
  EXPECT_TRUE(d.m.log.bootl);
  // The host's synchronisation, one zero at a time, then "&".
  for (int i = 0; i < 256; ++i) EXPECT_TRUE(d.feed({0x00}, DEV_BAUD_BOOT, 1000).empty());
  const Bytes reply = d.boot({'&'}, 1001);
  ASSERT_EQ(reply.size(), 1u + 2 + 64);
  EXPECT_EQ(reply[0], 0xCC);
  EXPECT_EQ(reply[1], 66);  // length counts itself, the checksum and 64 bytes
  const Bytes info(reply.begin() + 3, reply.end());
  EXPECT_EQ(reply[2], std::accumulate(info.begin(), info.end(), 0u) & 0xFF);
  EXPECT_NE(info[0] | info[1] << 8, 0);            // a normal layout
  EXPECT_EQ(info[2] | info[3] << 8, 56);           // product
  EXPECT_EQ(info[6] | info[7] << 8, 4);            // PCB revision
  EXPECT_EQ(devimage_le32(info, 28), 0x010E0000u);  // version
  EXPECT_EQ(std::string(info.begin() + 32, info.begin() + 38), "Hall A");
  EXPECT_EQ(info[38], 0);
  EXPECT_EQ(d.m.log.commands, (std::vector<std::string>{"BOOTL", "sync", "&"}));
  // Every byte counts as heard, the entry text's rest that a restarting device ignores too.
  EXPECT_EQ(d.m.log.bytes_heard, 21u + 256u + 3u);
  EXPECT_EQ(d.m.log.stray_bytes, 0u);
}

TEST(DevModelBoot, LegacyLayoutAndNameLengths) {
  DevConfig c = boot_config();
  c.legacy_info = true;
  c.identity.name = std::string(33, 'N');
  c.identity.version = 0x01020300;
  Device d(c);
  const Bytes reply = d.boot({'&'}, 0);
  ASSERT_EQ(reply.size(), 1u + 2 + 45);
  const Bytes info(reply.begin() + 3, reply.end());
  EXPECT_EQ(info[0] | info[1] << 8, 0);
  EXPECT_EQ(devimage_le32(info, 2) | info[6] | info[7], 0u);  // no product, no revision
  EXPECT_EQ(devimage_le32(info, 8), 0x01020300u);
  EXPECT_EQ(std::string(info.begin() + 12, info.end()), std::string(33, 'N'));

  // The normal layout holds 32 name bytes, with no terminator when all are used.
  DevConfig n = boot_config();
  n.identity.name = std::string(40, 'M');
  const Bytes normal = devmodel_boot_info(n, n.identity);
  ASSERT_EQ(normal.size(), 64u);
  EXPECT_EQ(std::string(normal.begin() + 32, normal.end()), std::string(32, 'M'));
  n.faults.info_bytes = 70;
  EXPECT_EQ(devmodel_boot_info(n, n.identity).size(), 70u);
}

TEST(DevModelBoot, PacketLinkFramingAndAcknowledgements) {
  Device d(boot_config());
  // Zero bytes before a length byte are skipped; a good packet gets ACK.
  EXPECT_EQ(d.feed(cat({{0, 0, 0}, packet({'#'})}), DEV_BAUD_BOOT, 0), cat({ACK, STATUS_OK}));
  // The host acknowledges the reply; that byte is not the start of a packet.
  EXPECT_EQ(d.feed(cat({ACK, packet({'#'})}), DEV_BAUD_BOOT, 1), cat({ACK, STATUS_OK}));
  EXPECT_EQ(d.m.log.host_acks, 1u);
  // A bad checksum is dropped without an answer, and so is a length byte of 1.
  EXPECT_TRUE(d.feed({0x03, 0x24, '#'}, DEV_BAUD_BOOT, 2).empty());
  EXPECT_TRUE(d.feed({0x01, 0x00}, DEV_BAUD_BOOT, 3).empty());
  EXPECT_EQ(d.m.log.garbage, 1u);
  // A half packet is forgotten after a second of silence.
  EXPECT_TRUE(d.feed({0x10, 0x00, 0x01}, DEV_BAUD_BOOT, 10).empty());
  EXPECT_EQ(d.boot({'#'}, 2000), cat({ACK, STATUS_OK}));

  DevConfig noisy = boot_config();
  noisy.faults.answer_garbage = true;
  Device g(noisy);
  EXPECT_EQ(g.feed({0x03, 0x24, '#'}, DEV_BAUD_BOOT, 0), Bytes{0x33});
}

TEST(DevModelBoot, ReplyFaults) {
  DevConfig c = boot_config();
  c.faults.status[DEV_TARGET_START] = 'D';
  c.faults.status[2] = 0x41;
  c.faults.empty_status = {1};
  c.faults.bad_checksum = {3};
  c.faults.huge_reply = {DEV_TARGET_INFO};
  c.faults.nak_packet = 2;
  Device d(c);
  const Bytes huge = d.boot({'&'}, 0);
  ASSERT_EQ(huge.size(), 1u + 2 + 255);
  EXPECT_EQ(huge[1], 0x01);
  EXPECT_EQ(huge[2], std::accumulate(huge.begin() + 3, huge.end(), 0u) & 0xFF);
  EXPECT_EQ(d.boot(START, 1), Bytes{0x33});  // packet 2: NAK, and not taken
  EXPECT_EQ(d.boot(START, 2), ACK);
  EXPECT_EQ(d.boot({'#'}, 3), cat({ACK, {0x03, 'D', 'D'}}));

  DevConfig r = boot_config();
  r.faults.status[2] = 0x41;
  r.faults.empty_status = {1};
  r.faults.bad_checksum = {3};
  r.faults.flips = {{2, 0, 0x01}};
  Device e(r);
  EXPECT_EQ(e.boot(START, 0), ACK);
  EXPECT_EQ(e.boot({'#'}, 1), cat({ACK, STATUS_OK}));
  EXPECT_EQ(e.boot(REC1, 2), ACK);
  EXPECT_EQ(e.boot({'#'}, 3), cat({ACK, {0x02, 0x00}}));
  EXPECT_EQ(e.boot(REC2, 4), ACK);
  // Altered on the way: the payload byte changes, the device's checksum stays.
  EXPECT_EQ(e.boot({'#'}, 5), cat({ACK, {0x03, 0x41, 0x40}}));
  EXPECT_EQ(e.boot(REC3, 6), ACK);
  EXPECT_EQ(e.boot({'#'}, 7), cat({ACK, {0x03, 0x41, '@'}}));
  // Only records with a good status went into the flash.
  EXPECT_EQ(e.m.log.records, (std::vector<Bytes>{REC1, REC3}));
}

TEST(DevFlash, RecordRuleUsesTheBytesEarlierCommandsLeft) {
  const DevImage image = parsed_tiny();
  EXPECT_EQ(devimage_start_command(image), START);
  EXPECT_EQ(devimage_record_packets(image, START), (std::vector<Bytes>{REC1, REC2, REC3}));
  EXPECT_TRUE(devimage_verify(image, START, {REC1, REC2, REC3}, "tiny.bin").verified);
  EXPECT_EQ(devimage_verify(image, START, {REC1, REC2, REC3}, "tiny.bin").text,
            "flash verified: 3 records match tiny.bin");
  // A record missing, one sent twice, a host that clears its buffer, a wrong start.
  EXPECT_FALSE(devimage_verify(image, START, {REC1, REC2}, "t").verified);
  EXPECT_FALSE(devimage_verify(image, START, {REC1, REC2, REC2, REC3}, "t").verified);
  EXPECT_FALSE(devimage_verify(image, START, {REC1, {'$', 0x21, 0x22, 0, 0, 0}, REC3}, "t").verified);
  Bytes wrong_start = START;
  wrong_start[4] = 0x01;
  EXPECT_FALSE(devimage_verify(image, wrong_start, {REC1, REC2, REC3}, "t").verified);
  EXPECT_FALSE(devimage_verify(image, {}, {}, "t").verified);

  std::string error;
  DevImage bad;
  Bytes cut = tiny_image();
  cut[84] = 11;  // the first record now overruns the trailer
  EXPECT_NE(devimage_parse(cut, bad, error), 0);
}

TEST(DevFlash, InterruptedUpdateThenCompleteOneVerifies) {
  DevConfig c = boot_config();
  c.image = std::make_shared<DevImage>(parsed_tiny());
  c.identity.version = 0x01000000;
  Device d(c);
  uint64_t t = 0;
  for (const Bytes& command : {START, REC1, START, REC1, REC2, REC3}) {
    EXPECT_EQ(d.boot(command, t++), ACK);
    EXPECT_EQ(d.boot({'#'}, t++), cat({ACK, STATUS_OK}));
  }
  EXPECT_EQ(d.m.log.starts, 2u);
  EXPECT_EQ(d.m.log.record_packets, 4u);
  EXPECT_EQ(d.m.log.repeats, 0u);
  EXPECT_TRUE(devimage_verify(*c.image, d.m.log.start_command, d.m.log.records, "t").verified);
  // Leaving: the restarted application reports the version it was given.
  EXPECT_EQ(d.boot({'%'}, 100), cat({ACK, text("^=V \"\" 1.14,68,6,0$")}));
  EXPECT_TRUE(d.feed(text("^V$"), DEV_BAUD_APP, 150).empty());  // still restarting
  const Bytes report = d.feed(text("^V$"), DEV_BAUD_APP, 300);
  EXPECT_EQ(report, text("^=V \"\" 1.14,68,6,0$"));
}

TEST(DevModelSpeed, CheckFlagsOnlyReliableSamples) {
  Device d(boot_config());
  // Zero bytes and packets at 19200 reach a bootloader as garbage: flagged, unanswered.
  EXPECT_TRUE(d.feed({0, 0, 0}, DEV_BAUD_APP, 0).empty());
  EXPECT_TRUE(d.feed(packet({'&'}), DEV_BAUD_APP, 1).empty());
  EXPECT_EQ(d.m.log.violations.size(), 2u);
  // The host's ACK of a reply and the leave command may be read after its switch to
  // 19200: taken, never flagged.
  ASSERT_FALSE(d.boot({'&'}, 2).empty());
  EXPECT_TRUE(d.feed(ACK, DEV_BAUD_APP, 3).empty());
  EXPECT_EQ(d.m.log.host_acks, 1u);
  EXPECT_EQ(d.feed(packet({'%'}), DEV_BAUD_APP, 4), cat({ACK, text("^=V \"\" 1.13,68,6,0$")}));
  EXPECT_EQ(d.m.log.violations.size(), 2u);
  // A query at 19200 to a bootloader (the probe's) is not the host's fault.
  Device p(boot_config());
  EXPECT_TRUE(p.feed(text("^V$"), DEV_BAUD_APP, 0).empty());
  EXPECT_TRUE(p.m.log.violations.empty());
}

TEST(DevModelTiming, PacingDelaysAndZeroFlood) {
  DevConfig c = boot_config();
  c.timing.pacing = true;
  c.timing.ack_delay_ms = 2;
  c.faults.zero_flood = 3;
  c.faults.zero_flood_gap_ms = 1500;
  c.faults.zero_flood_packet = 2;
  DevModel m;
  ASSERT_EQ(devmodel_init(m, c), 0);
  const uint64_t byte_us = 87;  // 10 bits at 115200, rounded up
  devmodel_feed(m, packet({'#'}), DEV_BAUD_BOOT, 0);
  std::vector<DevOutput> out = devmodel_take_output(m);
  // A chunk is due once its last stop bit has passed: the ACK, then the status packet.
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].at_us, 3 * byte_us + 2000 + byte_us);
  EXPECT_EQ(out[1].at_us, out[0].at_us + 3 * byte_us);
  // The runner handed the status packet over 50 us late: the host had it only then.
  devmodel_handed_over(m, out[0].span, out[0].at_us, out[0].at_us);
  devmodel_handed_over(m, out[1].span, out[1].at_us, out[1].at_us + 50);
  devmodel_feed(m, packet({'#'}), DEV_BAUD_BOOT, 100000);
  out = devmodel_take_output(m);
  ASSERT_EQ(out.size(), 5u);
  EXPECT_EQ(out[0].bytes, Bytes{0});
  EXPECT_EQ(out[1].at_us - out[0].at_us, 1500000u);
  EXPECT_EQ(out[3].bytes, ACK);

  // The line's account: the host answered once, 100 ms less the first exchange after it.
  const DevLineLog& line = m.log.line;
  EXPECT_EQ(line.received_bytes, 6u);
  EXPECT_EQ(line.received_us, 6 * byte_us);
  EXPECT_EQ(line.sent_bytes, 11u);
  EXPECT_EQ(line.sent_us, 11 * byte_us);
  const DevLineReport report = devmodel_line_report(line);
  ASSERT_EQ(report.turns.size(), 1u);
  EXPECT_EQ(report.turns[0].device_done_us, 3 * byte_us + 2000 + 4 * byte_us + 50);
  EXPECT_EQ(report.turns[0].host_from_us, 100000u);
  EXPECT_EQ(report.host_wait_us, 100000 - report.turns[0].device_done_us);
  EXPECT_EQ(line.late_us, (std::vector<uint64_t>{0, 50}));
  // The device's own waits: two ACK delays, the late hand-over and the three gaps of the
  // zero flood.
  EXPECT_EQ(report.device_wait_us, 2000 + 50 + 2000 + 3 * (1500000 - byte_us));
  EXPECT_EQ(devmodel_percentile({7, 1, 5, 3}, 50), 3u);
  EXPECT_EQ(devmodel_percentile({7, 1, 5, 3}, 99), 7u);
  EXPECT_EQ(devmodel_percentile({}, 99), 0u);
}

TEST(DevModelFaults, CableAttemptsAndChangingIdentity) {
  DevConfig c = boot_config();
  c.faults.pull_after_record = 1;
  c.faults.back_after_ms = 1000;
  c.faults.boot_answers_from = 2;
  c.faults.change_from_query = 2;
  c.faults.change_revision = 5;
  Device d(c);
  EXPECT_TRUE(d.boot({'&'}, 0).empty());  // first entry attempt: silent
  const Bytes info = d.boot({'&'}, 10);
  ASSERT_EQ(info.size(), 67u);
  EXPECT_EQ(info[3 + 6], 6);  // the first answered query still has revision 6
  EXPECT_EQ(d.boot({'&'}, 20)[3 + 6], 5);
  EXPECT_EQ(d.boot(START, 30), ACK);
  EXPECT_EQ(d.boot({'#'}, 31), cat({ACK, STATUS_OK}));
  EXPECT_EQ(d.boot(REC1, 32), ACK);
  EXPECT_EQ(d.boot({'#'}, 33), cat({ACK, STATUS_OK}));
  EXPECT_TRUE(d.boot(REC2, 34).empty());  // cable pulled
  EXPECT_GT(d.m.log.lost_bytes, 0u);
  EXPECT_EQ(d.boot({'%'}, 1100).at(0), 0xCC);  // and back
  EXPECT_EQ(d.m.log.records.size(), 1u);

  DevConfig s;
  s.faults.device_silent = true;
  Device quiet(s);
  EXPECT_TRUE(quiet.feed(text("^V$"), DEV_BAUD_APP, 0).empty());
  EXPECT_EQ(quiet.m.log.commands, std::vector<std::string>{"V"});
}

TEST(DevOptions, EveryFaultCanBeSwitchedOnFromTheCommandLine) {
  DevsimOptions o;
  std::string error;
  const std::vector<std::string> args = {
      "--name", "Zone\\x41", "--product", "5", "--product", "56", "--revision", "3", "--extra", "1f",
      "--no-group", "--fw-version", "2.05.01b", "--comment", "RC", "--side", "boot", "--legacy",
      "--format-word", "0x100", "--app-silent", "--silent", "--answer-from", "3", "--nak-packet", "4",
      "--status", "start=D", "--status", "7=0x41", "--empty-status", "2", "--bad-checksum", "info",
      "--flip", "info:6:0x01", "--huge-reply", "5", "--info-bytes", "70", "--pull-after", "9", "--back-after", "1500", "--stray", "ab",
      "--empty-before", "2", "--plus-before", "1", "--unsolicited", "250:^+$", "--zero-flood", "100:20:3",
      "--long-report", "--change-from", "2", "--change-revision", "5", "--change-product", "45",
      "--change-version", "1.20", "--change-name", "X", "--answer-garbage", "--ack-delay", "1",
      "--reply-delay", "2", "--report-delay", "3", "--boot-ready", "400", "--app-start=50", "--pacing",
      "--read-delay", "25",
      "--trace", "t.txt", "--image", "i.bin", "--link", "/tmp/x", "--com", "3", "--", "korvo", "3"};
  ASSERT_EQ(devsim_parse_options(args, o, error), DEVSIM_RUN) << error;
  const DevConfig& c = o.config;
  EXPECT_EQ(c.identity.name, "ZoneA");
  EXPECT_EQ(c.identity.product, 56);  // the last one given counts
  EXPECT_EQ(c.identity.extra, 0x1Fu);
  EXPECT_FALSE(c.identity.identity_group);
  EXPECT_EQ(c.identity.version, 0x02050102u);
  EXPECT_EQ(c.start_side, DEV_BOOT);
  EXPECT_TRUE(c.legacy_info && c.faults.app_silent && c.faults.device_silent && c.faults.long_report &&
              c.faults.answer_garbage && c.timing.pacing);
  EXPECT_EQ(c.faults.status.at(DEV_TARGET_START), 'D');
  EXPECT_EQ(c.faults.status.at(7), 0x41);
  EXPECT_EQ(c.faults.bad_checksum, std::vector<int>{DEV_TARGET_INFO});
  ASSERT_EQ(c.faults.flips.size(), 1u);
  EXPECT_EQ(c.faults.flips[0].target, DEV_TARGET_INFO);
  EXPECT_EQ(c.faults.flips[0].offset, 6u);
  EXPECT_EQ(c.faults.flips[0].mask, 0x01);
  EXPECT_EQ(c.faults.zero_flood_packet, 3);
  EXPECT_EQ(c.faults.zero_flood_gap_ms, 20u);
  EXPECT_EQ(c.faults.unsolicited.at(0).bytes, "^+$");
  EXPECT_EQ(c.faults.change_version.value_or(0), 0x01140000u);
  EXPECT_EQ(c.timing.app_start_ms, 50u);
  EXPECT_EQ(c.timing.read_delay_ms, 25u);
  EXPECT_EQ(o.command, (std::vector<std::string>{"korvo", "3"}));

  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"--product", "70000"}, {"--status", "info=D"}, {"--fw-version", "1"},
        {"--side", "both"}, {"--com", "3"}, {"--bogus"}, {"--name"}, {"--info-bytes", "254"},
        {"--trace", ""}, {"--zero-flood", "5:x"}, {"--flip", "3:0:0"}, {"--flip", "3:0"}, {"--product", "-1"}, {"--version=1.14"}}) {
    DevsimOptions b;
    EXPECT_EQ(devsim_parse_options(bad, b, error), DEVSIM_USAGE) << bad[0];
    EXPECT_NE(error.find(bad[0].substr(0, bad[0].find('='))), std::string::npos) << error;
  }
  // The tool's own version, and a word after "--" that is the command's, not an option.
  DevsimOptions v;
  EXPECT_EQ(devsim_parse_options({"--version"}, v, error), DEVSIM_EXIT);
  EXPECT_EQ(error, "korvo-devsim 1.01\n");
  EXPECT_EQ(devsim_parse_options({"--com", "2", "--", "x", "--bogus"}, v, error), DEVSIM_RUN) << error;
  EXPECT_EQ(v.command, (std::vector<std::string>{"x", "--bogus"}));
}

TEST(DevsimLine, RepliesArriveOnTheVirtualClock) {
  VirtualClock clock;
  MemLine line(clock);
  DevsimLine device;
  DevConfig c;
  c.identity.name = "Z";
  c.timing.report_delay_ms = 30;
  c.faults.unsolicited = {{1000, "^+$"}};
  ASSERT_TRUE(device.attach(line, c));
  OpenFailure failure;
  ASSERT_TRUE(line.open(3, DEV_BAUD_APP, failure));
  const std::string query = "^V$";
  line.write(reinterpret_cast<const uint8_t*>(query.data()), 3);
  EXPECT_EQ(line.available(), 0);  // due in 30 ms
  uint8_t buffer[64] = {};
  const int32_t n = line.read(buffer, sizeof buffer);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), static_cast<size_t>(n)), "^=V \"Z\" 1.13,68,6,0$");
  EXPECT_EQ(clock.now, 30u + PORT_READ_INTERVAL_MS);
  // The unsolicited message follows the report on the line, at its own time.
  EXPECT_EQ(line.read(buffer, sizeof buffer), 3);
  EXPECT_GE(clock.now, 1000u);
}

}  // namespace
