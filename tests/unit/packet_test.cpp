#include <gtest/gtest.h>

#include <array>

#include "bench.h"
#include "protocol/packet.h"

using namespace korvo;

namespace {

using Bytes = std::vector<uint8_t>;

TEST(PacketWire, FramesAreThreeWritesWithLengthAndChecksum) {
  Bench b;
  const uint8_t status = BOOT_STATUS_REQUEST;
  EXPECT_EQ(code(boot_send_packet(b.run.link, &status, 1, false, 2000)), 0);
  EXPECT_EQ(b.line.written(), (Bytes{0x03, 0x23, 0x23}));
  ASSERT_EQ(b.line.writes().size(), 3u);

  Bench empty;
  EXPECT_EQ(code(boot_send_packet(empty.run.link, nullptr, 0, false, 2000)), 0);
  EXPECT_EQ(empty.line.written(), (Bytes{0x02, 0x00}));

  Bench big;
  Bytes payload(237);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
  EXPECT_EQ(code(boot_send_packet(big.run.link, payload.data(), 237, false, 2000)), 0);
  const Bytes wire = big.line.written();
  ASSERT_EQ(wire.size(), 239u);
  EXPECT_EQ(wire[0], 0xEF);
  EXPECT_EQ(wire[1], packet_checksum(payload.data(), 237));
  EXPECT_TRUE(std::equal(payload.begin(), payload.end(), wire.begin() + 2));
}

TEST(PacketWire, ChecksumWrapsModulo256) {
  const std::array<uint8_t, 3> bytes{0xFF, 0x02, 0x80};
  EXPECT_EQ(packet_checksum(bytes.data(), 3), 0x81);
}

TEST(PacketWire, EachFailedWriteHasItsOwnResult) {
  const uint8_t cmd[] = {'&', 'x'};
  for (int limit : {0}) {
    Bench b;
    b.line.write_limit = limit;
    EXPECT_EQ(code(boot_send_packet(b.run.link, cmd, 2, false, 2000)), 1);
  }
  Bench closed(false);
  EXPECT_EQ(code(boot_send_packet(closed.run.link, cmd, 2, true, 2000)), 1);
  Bench short_payload;
  short_payload.line.write_limit = 1;  // length and checksum go, the 2-byte payload does not
  EXPECT_EQ(code(boot_send_packet(short_payload.run.link, cmd, 2, false, 2000)), 3);
}

TEST(PacketAck, ZeroBytesAreSkippedBeforeTheAnswer) {
  const uint8_t cmd = '&';
  Bench ok;
  ok.reply({0x00, 0x00, PACKET_ACK});
  EXPECT_EQ(code(boot_send_packet(ok.run.link, &cmd, 1, true, 2000)), 0);

  Bench nak;
  nak.reply({PACKET_NAK, PACKET_ACK});
  EXPECT_EQ(code(boot_send_packet(nak.run.link, &cmd, 1, true, 2000)), 5);
  EXPECT_EQ(nak.line.pending(), 1u) << "only the NAK is consumed";

  Bench none;
  none.reply({PACKET_NAK});
  EXPECT_EQ(code(boot_send_packet(none.run.link, &cmd, 1, false, 2000)), 0) << "no wait without want_ack";
  EXPECT_EQ(none.line.pending(), 1u);
}

TEST(PacketAck, SilenceGivesFourAfterTheLimitStretchedByOneRead) {
  const uint8_t cmd = '&';
  Bench b;
  EXPECT_EQ(code(boot_send_packet(b.run.link, &cmd, 1, true, 2000)), 4);
  // The limit is tested between reads only: the read under way at 2000 ms runs its course.
  EXPECT_GT(b.clock.now, 2000u);
  EXPECT_LE(b.clock.now, 4000u);

  // A zero byte restarts the limit.
  Bench zeros;
  zeros.reply({0x00}, 1500);
  zeros.reply({PACKET_ACK}, 3000);
  EXPECT_EQ(code(boot_send_packet(zeros.run.link, &cmd, 1, true, 2000)), 0);
}

TEST(PacketReceive, GoodAndBadChecksumsAreAnswered) {
  Bench good;
  good.reply({0x00, 0x00});
  good.reply(framed({'@', 0x00, 0x41}));
  std::array<uint8_t, 8> buffer{};
  uint8_t length = buffer.size();
  EXPECT_EQ(code(boot_recv_packet(good.run.link, buffer.data(), length, 2000)), 0);
  EXPECT_EQ(length, 3);
  EXPECT_EQ(buffer[2], 0x41);
  EXPECT_EQ(good.line.written(), Bytes{PACKET_ACK});

  Bench bad;
  Bytes packet = framed({'@', 0x01});
  packet[1] ^= 0x5A;
  bad.reply(packet);
  length = buffer.size();
  buffer.fill(0);
  EXPECT_EQ(code(boot_recv_packet(bad.run.link, buffer.data(), length, 2000)), code(RecvResult::CHECKSUM_FAILED));
  EXPECT_EQ(length, 0);
  EXPECT_EQ(buffer[0], '@') << "the bytes stay as received";
  EXPECT_EQ(bad.line.written(), Bytes{PACKET_NAK});

  Bench empty;
  empty.reply({0x02, 0x00});
  length = buffer.size();
  EXPECT_EQ(code(boot_recv_packet(empty.run.link, buffer.data(), length, 2000)), 0);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(empty.line.written(), Bytes{PACKET_ACK});
}

TEST(PacketReceive, MissingPiecesGiveTheirResultsAndSendNothing) {
  std::array<uint8_t, 8> buffer{};
  Bench silent;
  uint8_t length = 8;
  EXPECT_EQ(code(boot_recv_packet(silent.run.link, buffer.data(), length, 2000)), 6);
  EXPECT_EQ(length, 8) << "unchanged";

  Bench no_checksum;
  no_checksum.reply({0x05});
  length = 8;
  EXPECT_EQ(code(boot_recv_packet(no_checksum.run.link, buffer.data(), length, 2000)), 7);
  EXPECT_EQ(length, 8);

  Bench cut;
  cut.reply({0x07, 0x00, 'a', 'b'});  // announces 5 bytes, 2 come
  length = 8;
  EXPECT_EQ(code(boot_recv_packet(cut.run.link, buffer.data(), length, 2000)), 8);
  EXPECT_EQ(length, 0);
  EXPECT_TRUE(cut.line.written().empty());
}

TEST(PacketReceive, OversizedAnnouncementNeverPassesTheBuffer) {
  // A length byte of 1 announces 255 bytes; the status buffer holds one.
  Bench b;
  Bytes packet(257, 0xAB);
  packet[0] = 0x01;
  packet[1] = packet_checksum(&packet[2], 255);
  b.reply(packet);
  b.reply(framed({'@'}), 100);
  std::array<uint8_t, 3> guarded{0x11, 0x22, 0x33};
  uint8_t length = 1;
  EXPECT_EQ(code(boot_recv_packet(b.run.link, &guarded[1], length, 2000)), code(RecvResult::OVERSIZE));
  EXPECT_EQ(length, 0);
  EXPECT_EQ(guarded, (std::array<uint8_t, 3>{0x11, 0x22, 0x33}));
  EXPECT_EQ(b.line.written(), Bytes{PACKET_NAK});
  // The whole packet left the line: the next one is read in step.
  length = 1;
  EXPECT_EQ(code(boot_recv_packet(b.run.link, &guarded[1], length, 2000)), 0);
  EXPECT_EQ(guarded[1], '@');

  // A 70-byte information reply against the 65-byte record.
  Bench info;
  info.reply(framed(Bytes(70, 0x5C)));
  std::array<uint8_t, 66> record{};
  record[65] = 0xEE;
  length = 65;
  EXPECT_EQ(code(boot_recv_packet(info.run.link, record.data(), length, 2000)), code(RecvResult::OVERSIZE));
  EXPECT_EQ(record[65], 0xEE);
  EXPECT_EQ(record[0], 0x00);
  EXPECT_EQ(info.line.pending(), 0u);
}

// A transaction's result code; the status byte it judged goes to status.
int transact(Bench& b, const uint8_t* command, uint8_t count, uint32_t timeout_ms,
             uint8_t* status = nullptr) {
  uint8_t judged = 0;
  const int result = code(boot_transaction(b.run.link, command, count, timeout_ms, judged));
  if (status != nullptr) *status = judged;
  return result;
}

// The device answers a transaction: ACK to the command, ACK to "#", then the status packet.
void answer_transaction(Bench& b, const Bytes& status_packet) {
  Bytes all{PACKET_ACK, PACKET_ACK};
  all.insert(all.end(), status_packet.begin(), status_packet.end());
  b.reply(all);
}

TEST(PacketTransaction, StatusBytesAreJudgedAndHandedUp) {
  const uint8_t cmd[] = {'!', 1, 2};
  struct Case {
    Bytes status_packet;
    int result;
    uint8_t status;
  };
  const Case cases[] = {
      {framed({'@'}), 0, '@'},
      {framed({'D'}), 4, 'D'},
      {framed({0x41}), 5, 0x41},
      {framed({}), 5, '#'},  // an empty status leaves the request's "#" in place
  };
  for (const Case& c : cases) {
    Bench b;
    answer_transaction(b, c.status_packet);
    uint8_t status = 0;
    EXPECT_EQ(transact(b, cmd, 3, 2000, &status), c.result);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(b.output(), "") << "the packet link never prints";
    const Bytes expected{0x05, '!' + 3, '!', 1, 2, 0x03, 0x23, 0x23, PACKET_ACK};
    EXPECT_EQ(b.line.written(), expected);
  }
}

TEST(PacketTransaction, EachStageFailsWithItsOwnCode) {
  const uint8_t cmd = '$';
  Bench no_ack;
  EXPECT_EQ(transact(no_ack, &cmd, 1, 2000), 1);
  Bench nak;
  nak.reply({PACKET_NAK});
  EXPECT_EQ(transact(nak, &cmd, 1, 2000), 1);
  Bench status_refused;
  status_refused.reply({PACKET_ACK, PACKET_NAK});
  EXPECT_EQ(transact(status_refused, &cmd, 1, 2000), 2);
  Bench no_status;
  no_status.reply({PACKET_ACK, PACKET_ACK});
  EXPECT_EQ(transact(no_status, &cmd, 1, 2000), 3);
  Bench oversized;
  answer_transaction(oversized, framed({'@', '@'}));
  EXPECT_EQ(transact(oversized, &cmd, 1, 2000), 3);
  EXPECT_EQ(oversized.output(), "");
}

TEST(PacketTransaction, StatusWithBadChecksumIsNoVerdict) {
  // "D" and "@" are one bit apart: a NAKed status is neither, whatever byte arrived.
  const uint8_t cmd = '$';
  for (const uint8_t byte : {BOOT_STATUS_OK, BOOT_STATUS_MISMATCH, uint8_t{0x41}}) {
    SCOPED_TRACE(byte);
    Bench b;
    Bytes status = framed({byte});
    status[1] ^= 0x04;
    answer_transaction(b, status);
    EXPECT_EQ(transact(b, &cmd, 1, 2000), code(TransactionResult::CORRUPT_STATUS));
    EXPECT_EQ(b.line.written().back(), PACKET_NAK);
    EXPECT_EQ(b.output(), "");
  }
}

TEST(PacketWaits, EndlessZeroBytesEndAsATimeOut) {
  // A line that sends nothing but zeros, one every 100 ms, for a minute: each zero restarts
  // the wait, yet the wait ends 10 s after it began (plus the read under way then).
  const auto flood = [](Bench& b) {
    for (uint64_t at = 0; at <= 60000; at += 100) b.reply({0x00}, at);
  };
  const uint8_t cmd = '&';
  Bench ack;
  flood(ack);
  EXPECT_EQ(code(boot_send_packet(ack.run.link, &cmd, 1, true, 2000)), code(SendResult::NO_ANSWER));
  EXPECT_GT(ack.clock.now, BOOT_ZERO_WAIT_MS);
  EXPECT_LE(ack.clock.now, BOOT_ZERO_WAIT_MS + PORT_IO_WAIT_MS + PORT_READ_INTERVAL_MS);

  Bench reply;
  flood(reply);
  std::array<uint8_t, 4> buffer{};
  uint8_t length = 4;
  EXPECT_EQ(code(boot_recv_packet(reply.run.link, buffer.data(), length, 2000)), code(RecvResult::NO_LENGTH));
  EXPECT_LE(reply.clock.now, BOOT_ZERO_WAIT_MS + PORT_IO_WAIT_MS + PORT_READ_INTERVAL_MS);
  EXPECT_TRUE(reply.line.written().empty());
}

}  // namespace
