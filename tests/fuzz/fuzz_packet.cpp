// Bootloader packets. Byte 0 is the receiver's buffer size; the rest, cut at "~~", answers the
// host's waits: first of one packet receive, then of a status transaction.
#include <algorithm>
#include <array>

#include "fuzz_line.h"
#include "protocol/packet.h"

constexpr uint8_t GUARD = 0xA5;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t capacity = data[0];
  VirtualClock clock;
  FuzzLine line(clock, fuzz_split(Piece(data + 1, size - 1)));
  Link link{SerialPort{&line}, BAUD_BOOTLOADER, &clock};
  FUZZ_CHECK(port_open(link.port, 1, BAUD_BOOTLOADER));

  std::array<uint8_t, 256> buffer;
  buffer.fill(GUARD);
  uint8_t length = capacity;
  const RecvResult r = boot_recv_packet(link, buffer.data(), length, BOOT_WAIT_MS);
  FUZZ_CHECK(length <= capacity);
  FUZZ_CHECK(std::all_of(buffer.begin() + capacity, buffer.end(), [](uint8_t b) { return b == GUARD; }));
  const Bytes read = line.bytes_read();
  const Bytes answer = line.bytes_written();
  uint8_t checksum = 0;
  Bytes payload;
  if (r == RecvResult::OK || r == RecvResult::CHECKSUM_FAILED) {
    // Exactly the packet was read and answered: OK and ACK only for a matching checksum.
    FUZZ_CHECK(whole_packet(read, 0, checksum, payload));
    FUZZ_CHECK(answer.size() == 1);
    const bool sound = packet_checksum(payload.data(), static_cast<uint8_t>(payload.size())) == checksum;
    FUZZ_CHECK(sound == (r == RecvResult::OK));
    FUZZ_CHECK(answer[0] == (sound ? PACKET_ACK : PACKET_NAK));
    FUZZ_CHECK(length == (sound ? payload.size() : 0));
    FUZZ_CHECK(std::equal(payload.begin(), payload.end(), buffer.begin()));
  } else if (r == RecvResult::OVERSIZE) {
    FUZZ_CHECK(whole_packet(read, 0, checksum, payload) && payload.size() > capacity);
    FUZZ_CHECK(answer == Bytes{PACKET_NAK});
    FUZZ_CHECK(std::all_of(buffer.begin(), buffer.end(), [](uint8_t b) { return b == GUARD; }));
  } else {
    FUZZ_CHECK(answer.empty());
    FUZZ_CHECK(length == (r == RecvResult::CUT_SHORT ? 0 : capacity));  // nothing came: left as it was
  }

  const size_t from = line.events.size();
  const uint8_t command[] = {'$', 0x01, 0x02, 0x03};
  uint8_t status = 0;
  const TransactionResult t = boot_transaction(link, command, sizeof command, BOOT_WAIT_MS, status);
  FUZZ_CHECK((t == TransactionResult::OK) == status_exchange_ok(line.bytes_read(from)));
  if (t == TransactionResult::OK) FUZZ_CHECK(status == BOOT_STATUS_OK);
  if (t == TransactionResult::MISMATCH) FUZZ_CHECK(status == BOOT_STATUS_MISMATCH);
  if (t == TransactionResult::BAD_STATUS) {
    FUZZ_CHECK(status != BOOT_STATUS_OK && status != BOOT_STATUS_MISMATCH);
  }
  // Each operation gives up after one unanswered 2000 ms wait: two reads, as a wait of exactly
  // the limit has not passed it.
  FUZZ_CHECK(clock.now <= line.wait_budget(4));
  return 0;
}
